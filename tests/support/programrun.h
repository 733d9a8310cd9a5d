#pragma once
// Runs a program to its end, as a user at a shell would, and keeps what it printed.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

struct ProgramRun {
    int status = -1;  // -1: did not end in time, or crashed
    QByteArray out;
    QByteArray err;
};

// program with arguments, in folder (empty: this process's own), stdout to outputFile when one
// is given; killed after timeoutMs.
inline ProgramRun runProgram(const QString& program, const QStringList& arguments,
                             const QString& folder = QString(), const QString& outputFile = QString(),
                             int timeoutMs = 300'000)
{
    QProcess process;
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
