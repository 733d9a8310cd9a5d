// Reads a video's headers as the program does, again and again for READ_FOR_MS after saying
// "ready" on standard output, so that a test can stop and continue it meanwhile: whenever the stop
// lands, it lands in one of the reads. Prints "WIDTH HEIGHT TURN MS" for each read, MS being how
// long it took. Arguments: FILE FIRST_WAIT_MS READ_FOR_MS.
#include "video/videoorientation.h"

#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: videoshapeprobe FILE FIRST_WAIT_MS READ_FOR_MS\n");
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    const std::chrono::milliseconds firstWait(std::atoll(argv[2]));
    const qint64 readFor = std::atoll(argv[3]);
    video::videoShape(path); // GStreamer and its plugins loaded, so that the reads below start at once
    std::printf("ready\n");
    std::fflush(stdout);
    QElapsedTimer all;
    all.start();
    while (all.elapsed() < readFor) {
        QElapsedTimer one;
        one.start();
        const video::VideoShape shape = video::videoShape(path, firstWait);
        std::printf("%d %d %d %lld\n", shape.width, shape.height, shape.turn, one.elapsed());
    }
    return 0;
}
