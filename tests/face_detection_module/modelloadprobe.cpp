// modelloadprobe MODEL [ROOM_MIB]: loads the landmark model without the cache, with the address
// space limited to what this fresh process takes plus ROOM_MIB when given, and prints the number
// of the core::ModelFailure it gave. A fresh process holds no memory freed earlier in which the
// model could fit whatever the limit. Exit status 2 when the limit cannot be set.
#include "face_detection_module/facedetectionmodule.h"

#include <QString>

#include <cstdio>
#include <cstdlib>

#include <sys/resource.h>
#include <unistd.h>

int main(int argc, char* argv[])
{
    if (argc < 2) {
        return 2;
    }
    if (argc > 2) {
        FILE* statm = std::fopen("/proc/self/statm", "r");
        long pages = 0;
        const bool read = statm && std::fscanf(statm, "%ld", &pages) == 1;
        if (statm) {
            std::fclose(statm);
        }
        rlimit limit{};
        if (!read || getrlimit(RLIMIT_AS, &limit) != 0) {
            return 2;
        }
        limit.rlim_cur = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(std::atoi(argv[2])) << 20);
        if (setrlimit(RLIMIT_AS, &limit) != 0) {
            return 2;
        }
    }
    core::ModelFailure failure = core::ModelFailure::None;
    const auto module = core::FaceDetectionModule::load(argv[1], QString(), &failure);
    std::printf("%d\n", int(failure));
    return 0;
}
