// Reads a video's headers as the program does, after saying "ready" on standard output, so that a
// test can stop and continue it meanwhile. Prints "WIDTH HEIGHT TURN". Arguments: FILE FIRST_WAIT_MS.
#include "video/videoorientation.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: videoshapeprobe FILE FIRST_WAIT_MS\n");
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    video::videoShape(path); // GStreamer and its plugins loaded, so that the read below starts at once
    std::printf("ready\n");
    std::fflush(stdout);
    const video::VideoShape shape =
        video::videoShape(path, std::chrono::milliseconds(std::atoll(argv[2])));
    std::printf("%d %d %d\n", shape.width, shape.height, shape.turn);
    return 0;
}
