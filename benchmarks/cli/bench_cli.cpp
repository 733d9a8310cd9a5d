// Prints the throughput of making packages of 20 pictures with every core at once (the batch of
// facemask-cli make) against one picture at a time with the same loaded model, and the same
// comparison for the whole program (model loading included). On a shared machine other work
// takes cores too, so the ceiling is measured in the same rounds: plain arithmetic on one thread
// against the same arithmetic spread over the workers. First of all, a fresh facemask-cli
// process detecting one 512 x 512 face, end to end, against a plain dlib program doing the same,
// with the landmark model's compact copy present (warm) and absent (cold). Nothing is asserted.

#include "face_detection_module/facedetectionmodule.h"
#include "cli/packagemaker.h"
#include "cli/parallelbatch.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

namespace {

constexpr int pictureCount = 20;
constexpr int rounds = 3;

double processCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

// Wall and processor seconds of one run; wall is negative when a package was not written.
struct Timing {
    double wall = -1;
    double cpu = 0;
};

// The test pictures in turn: portraits, groups, no face, one large photograph of many faces;
// each under a name of its own in folder, since make writes one package per base name.
QStringList twentyPictures(const QString& folder)
{
    const QStringList names{"astronaut.png", "Tom_Cruise_avp_2014_4.jpg", "2008_001009.jpg",
                            "2007_007763.jpg", "2008_002079.jpg", "chelsea.png", "camera.png",
                            "bald_guys.jpg"};
    QStringList pictures;
    for (int i = 0; i < pictureCount; ++i) {
        const QString name = names[i % names.size()];
        const QString copy = QDir(folder).filePath(QStringLiteral("%1-%2").arg(i).arg(name));
        QFile::link(QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces/") + name, copy);
        pictures << copy;
    }
    return pictures;
}

std::vector<cli::PackageRequest> requestsInto(const QString& folder, const QStringList& pictures)
{
    std::vector<cli::PackageRequest> requests;
    for (int i = 0; i < pictures.size(); ++i) {
        cli::PackageRequest request;
        request.picturePath = pictures[i];
        request.packagePath = QDir(folder).filePath(QStringLiteral("%1.pmk").arg(i));
        request.properties.name = QStringLiteral("Bench");
        request.replaceExisting = true;
        requests.push_back(request);
    }
    return requests;
}

// A fixed amount of arithmetic that touches no memory, so that nothing but cores limits it.
double arithmetic(int units)
{
    volatile double sink = 0;
    for (int unit = 0; unit < units; ++unit) {
        double x = 1.0;
        for (int i = 0; i < 40'000'000; ++i) {
            x = x * 1.0000001 + 1e-9;
        }
        sink = sink + x;
    }
    return sink;
}

// Seconds for units of arithmetic on one thread, or spread over workers threads.
double arithmeticSeconds(int units, int workers)
{
    QElapsedTimer clock;
    clock.start();
    std::vector<std::thread> threads;
    for (int w = 1; w < workers; ++w) {
        threads.emplace_back([units, workers] { arithmetic(units / workers); });
    }
    arithmetic(units - (workers - 1) * (units / workers));
    for (std::thread& thread : threads) {
        thread.join();
    }
    return clock.nsecsElapsed() / 1e9;
}

Timing oneAtATime(core::FaceDetectionModule& module, const std::vector<cli::PackageRequest>& requests)
{
    QElapsedTimer clock;
    clock.start();
    const double cpu = processCpuSeconds();
    for (const cli::PackageRequest& request : requests) {
        if (!cli::makePackage(module, request).written) {
            return {};
        }
    }
    return {clock.nsecsElapsed() / 1e9, processCpuSeconds() - cpu};
}

Timing batch(core::FaceDetectionModule& module, const std::vector<cli::PackageRequest>& requests,
             int workers)
{
    std::vector<char> written(requests.size(), 0);
    QElapsedTimer clock;
    clock.start();
    const double cpu = processCpuSeconds();
    cli::runBatch(
        module, int(requests.size()), workers,
        [&](core::FaceDetectionModule& own, int index) {
            written[index] = cli::makePackage(own, requests[index]).written;
        },
        [](const cli::BatchEvent&) {});
    const Timing timing{clock.nsecsElapsed() / 1e9, processCpuSeconds() - cpu};
    return std::all_of(written.begin(), written.end(), [](char ok) { return ok; }) ? timing : Timing{};
}

double wholeProgram(const QStringList& pictures, const QString& folder, const QString& jobs)
{
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    process.start(QStringLiteral(FACEMASK_CLI_PROGRAM),
                  QStringList{"make", "--force", "--jobs", jobs, "--out-dir", folder} + pictures);
    if (!process.waitForFinished(600'000) || process.exitCode() != 0) {
        return -1;
    }
    return clock.nsecsElapsed() / 1e9;
}

// Seconds a fresh process takes from start to exit, or -1 when it fails.
double processSeconds(const QString& program, const QStringList& arguments, const QString& cacheHome)
{
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), cacheHome);
    process.setProcessEnvironment(environment);
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    if (!process.waitForFinished(600'000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        return -1;
    }
    return clock.nsecsElapsed() / 1e9;
}

void benchmarkOneFreshDetection()
{
    const QString picture = QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces/astronaut.png");
    const QStringList cliArguments{"detect", picture};
    QTemporaryDir cacheHome;
    std::vector<double> stock, warm, cold;
    // The first run writes the compact copy; the warm runs find it.
    processSeconds(QStringLiteral(FACEMASK_CLI_PROGRAM), cliArguments, cacheHome.path());
    // In turns, so that a busy machine slows all three alike.
    for (int round = 0; round < 3; ++round) {
        stock.push_back(processSeconds(QStringLiteral(FACEMASK_STOCK_DETECT_PROGRAM),
                                       {"shape_predictor.dat", picture}, cacheHome.path()));
        warm.push_back(processSeconds(QStringLiteral(FACEMASK_CLI_PROGRAM), cliArguments, cacheHome.path()));
        warm.push_back(processSeconds(QStringLiteral(FACEMASK_CLI_PROGRAM), cliArguments, cacheHome.path()));
        QTemporaryDir emptyCacheHome;
        cold.push_back(processSeconds(QStringLiteral(FACEMASK_CLI_PROGRAM), cliArguments, emptyCacheHome.path()));
    }
    for (const std::vector<double>* times : {&stock, &warm, &cold}) {
        if (std::any_of(times->begin(), times->end(), [](double t) { return t < 0; })) {
            std::fprintf(stderr, "bench_cli: a detection process failed\n");
            return;
        }
    }
    const double stockBest = *std::min_element(stock.begin(), stock.end());
    const double warmBest = *std::min_element(warm.begin(), warm.end());
    const double coldBest = *std::min_element(cold.begin(), cold.end());
    std::printf("One 512 x 512 face in a fresh process, end to end (best of %zu, %zu, %zu)\n", stock.size(),
                warm.size(), cold.size());
    std::printf("  %-52s %7.3f s\n", "stock dlib program (deserialize, detector, detect)", stockBest);
    std::printf("  %-52s %7.3f s  %6.3f x stock   (target <= 0.3)\n", "facemask-cli detect, compact copy present",
                warmBest, warmBest / stockBest);
    std::printf("  %-52s %7.3f s  %6.3f x stock\n\n", "facemask-cli detect, no copy yet (writes it)", coldBest,
                coldBest / stockBest);
}

void printRatio(const char* label, double reference, double measured)
{
    std::printf("%-44s one at a time %7.2f s, batch %7.2f s: %.2fx the throughput\n", label,
                reference, measured, reference / measured);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication::setAttribute(Qt::AA_Use96Dpi);
    QCoreApplication application(argc, argv);
    benchmarkOneFreshDetection();
    if (application.arguments().contains(QStringLiteral("--one-picture"))) {
        return 0;
    }
    const int workers = QThread::idealThreadCount();
    QTemporaryDir folder;
    const QStringList pictures = twentyPictures(folder.path());

    QElapsedTimer loading;
    loading.start();
    const std::unique_ptr<core::FaceDetectionModule> module = core::FaceDetectionModule::load();
    if (!module || !folder.isValid()) {
        std::fprintf(stderr, "bench_cli: run in a folder holding shape_predictor.dat\n");
        return 1;
    }
    std::printf("%d pictures, %d workers; landmark model loaded once in %.2f s\n", pictureCount,
                workers, loading.nsecsElapsed() / 1e9);

    const std::vector<cli::PackageRequest> requests = requestsInto(folder.path(), pictures);
    std::vector<double> sequential, parallel, ceilingOne, ceilingAll;
    // In turns, so that a busy machine slows both alike; the best round of each is compared.
    for (int round = 0; round < rounds; ++round) {
        const Timing one = oneAtATime(*module, requests);
        const Timing all = batch(*module, requests, workers);
        sequential.push_back(one.wall);
        parallel.push_back(all.wall);
        ceilingOne.push_back(arithmeticSeconds(2 * workers, 1));
        ceilingAll.push_back(arithmeticSeconds(2 * workers, workers));
        std::printf("round %d: one at a time %.2f s (%.2f s of processor), batch %.2f s (%.2f s of "
                    "processor); arithmetic %.2f s on one thread, %.2f s on %d\n",
                    round + 1, one.wall, one.cpu, all.wall, all.cpu, ceilingOne.back(),
                    ceilingAll.back(), workers);
        if (one.wall < 0 || all.wall < 0) {
            std::fprintf(stderr, "bench_cli: a package was not written\n");
            return 1;
        }
    }
    const auto best = [](const std::vector<double>& seconds) {
        return *std::min_element(seconds.begin(), seconds.end());
    };
    printRatio("ceiling: plain arithmetic (best of 3)", best(ceilingOne), best(ceilingAll));
    printRatio("make, model loaded (best of 3)", best(sequential), best(parallel));

    const double programOne = wholeProgram(pictures, folder.path(), QStringLiteral("1"));
    const double programAll = wholeProgram(pictures, folder.path(), QString::number(workers));
    if (programOne < 0 || programAll < 0) {
        std::fprintf(stderr, "bench_cli: facemask-cli make failed\n");
        return 1;
    }
    printRatio("facemask-cli make --jobs 1 / default", programOne, programAll);
    return 0;
}
