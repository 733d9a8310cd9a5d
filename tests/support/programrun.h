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

// program with arguments on a terminal of its own (util-linux's script), in folder: out is what
// the terminal was sent, stdout and stderr as they came; stdout goes to outputFile instead when
// one is given. With ctrlCWhenShown, Ctrl+C is typed once the terminal has been sent those bytes.
// Status -1 when script is missing.
inline ProgramRun runOnATerminal(const QString& program, const QStringList& arguments,
                                 const QString& folder = QString(), const QString& outputFile = QString(),
                                 const QByteArray& ctrlCWhenShown = QByteArray())
{
    if (QStandardPaths::findExecutable(QStringLiteral("script")).isEmpty()) {
        return {};
    }
    const auto quoted = [](QString text) {
        return QLatin1Char('\'') + text.replace(QLatin1Char('\''), QLatin1String("'\\''")) + QLatin1Char('\'');
    };
    // script hands its command to a shell of its own: the program's path goes there through the
    // environment.
    QString line = QStringLiteral("\"$PROGRAM_ON_A_TERMINAL\"");
    for (const QString& argument : arguments) {
        line += QLatin1Char(' ') + quoted(argument);
    }
    if (!outputFile.isEmpty()) {
        line += QStringLiteral(" > ") + quoted(outputFile);
    }
    const QStringList shell{QStringLiteral("-c"),
                            QStringLiteral("export PROGRAM_ON_A_TERMINAL=\"$0\"; exec script -qfec \"$1\" /dev/null"),
                            program, line};
    if (ctrlCWhenShown.isEmpty()) {
        return runProgram(QStringLiteral("/bin/sh"), shell, folder);
    }
    // Ctrl+C typed on the terminal once it has been sent ctrlCWhenShown, as a user would.
    QProcess process;
    if (!folder.isEmpty()) {
        process.setWorkingDirectory(folder);
    }
    process.start(QStringLiteral("/bin/sh"), shell);
    ProgramRun run;
    bool typed = false;
    while (process.state() != QProcess::NotRunning && process.waitForReadyRead(300'000)) {
        run.out += process.readAllStandardOutput();
        if (!typed && run.out.contains(ctrlCWhenShown)) {
            process.write("\x03");
            process.waitForBytesWritten();
            typed = true;
        }
    }
    if ((process.state() != QProcess::NotRunning && !process.waitForFinished(300'000))
        || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    run.status = process.exitCode();
    run.out += process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

// What a terminal shows of what was sent to it: each line as it is left after its last
// "\r\033[K" (the line cleared), without the carriage returns the terminal's driver adds. The
// last element is the line the cursor ends on.
inline QList<QByteArray> linesShown(const QByteArray& sent)
{
    QList<QByteArray> shown;
    for (QByteArray line : sent.split('\n')) {
        const int cleared = line.lastIndexOf("\033[K");
        if (cleared >= 0) {
            line = line.mid(cleared + 3);
        }
        shown.append(line.replace('\r', QByteArray()));
    }
    return shown;
}
