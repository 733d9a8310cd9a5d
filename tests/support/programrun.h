#pragma once
// Runs a program to its end, as a user at a shell would, and keeps what it printed.

#include <QByteArray>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <unistd.h>

struct ProgramRun {
    int status = -1;  // -1: did not end in time, or crashed
    QByteArray out;
    QByteArray err;
};

// program with arguments, in folder (empty: this process's own), stdout to outputFile when one
// is given, in environment when one is given (else this process's); killed after timeoutMs.
inline ProgramRun runProgram(const QString& program, const QStringList& arguments,
                             const QString& folder = QString(), const QString& outputFile = QString(),
                             int timeoutMs = 300'000, const QProcessEnvironment& environment = QProcessEnvironment())
{
    QProcess process;
    if (!environment.isEmpty()) {
        process.setProcessEnvironment(environment);
    }
    if (!folder.isEmpty()) {
        process.setWorkingDirectory(folder);
    }
    if (!outputFile.isEmpty()) {
        process.setStandardOutputFile(outputFile);
    }
    process.start(program, arguments);
    ProgramRun run;
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.status = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

// For a failure message: the status, the start of stdout and all of stderr.
inline QString describe(const ProgramRun& run)
{
    return QStringLiteral("status %1\nstdout: %2\nstderr: %3")
        .arg(run.status)
        .arg(QString::fromUtf8(run.out.left(2000)), QString::fromUtf8(run.err));
}

// The command line that runs program under a limit of nproc processes and threads
// (`prlimit --nproc`), as nobody when this process is root, whom the limit does not bind; the
// program's arguments go after it. Empty when prlimit or setpriv (util-linux) is missing.
inline QStringList underProcessLimit(int nproc, const QString& program)
{
    for (const char* tool : {"prlimit", "setpriv"}) {
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty()) {
            return {};
        }
    }
    QStringList command;
    if (::geteuid() == 0) {
        command << QStringLiteral("setpriv") << QStringLiteral("--reuid=65534") << QStringLiteral("--regid=65534")
                << QStringLiteral("--clear-groups");
    }
    command << QStringLiteral("prlimit") << QStringLiteral("--nproc=%1").arg(nproc) << program;
    return command;
}
