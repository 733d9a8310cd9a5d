// Reads one package as the program does, for tests that run it in a child process under a
// memory limit. Prints "ok" or the refusal reason on stdout and "peak-kib N elapsed-ms N" on
// stderr; exits 0 when the package was taken, 1 when it was refused, 2 on wrong usage.

#include "core/facemaskproject.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>

#include <cstdio>

#include <sys/resource.h>

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 2) {
        std::fprintf(stderr, "usage: packageprobe PACKAGE\n");
        return 2;
    }
    QElapsedTimer clock;
    clock.start();
    const core::PackageReading reading = core::readPackage(arguments.at(1));
    const qint64 elapsed = clock.elapsed();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%s\n", reading.result.ok ? "ok" : qPrintable(reading.result.reason));
    std::fprintf(stderr, "peak-kib %ld elapsed-ms %lld\n", usage.ru_maxrss, elapsed);
    return reading.result.ok ? 0 : 1;
}
