// Reads one picture file through the command line's intake (cli::readPicture) and prints its size
// or why it was refused, so that a test can run the intake in a process of its own under a
// memory limit. Exit status: 0 read, 2 refused, 1 bad arguments.

#include "cli/pictureintake.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: pictureprobe <picture file>\n");
        return 1;
    }
    const cli::Picture picture = cli::readPicture(QString::fromLocal8Bit(argv[1]));
    if (picture.image.isNull()) {
        std::printf("refused: %s\n", picture.failure.toUtf8().constData());
        return 2;
    }
    std::printf("%dx%d\n", picture.image.width(), picture.image.height());
    return 0;
}
