// Decodes one PNG file with core::png::decode and prints its size, so that a test can run the
// decoder in a process of its own under a memory limit. Exit status: 0 decoded, 2 refused,
// 1 unreadable file or bad arguments.

#include "core/pngcodec.h"

#include <QByteArray>
#include <QFile>
#include <QImage>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: pngprobe <file.png>\n");
        return 1;
    }
    QFile file(QString::fromLocal8Bit(argv[1]));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    const QImage picture = core::png::decode(file.readAll());
    if (picture.isNull()) {
        std::printf("refused\n");
        return 2;
    }
    std::printf("%dx%d\n", picture.width(), picture.height());
    return 0;
}
