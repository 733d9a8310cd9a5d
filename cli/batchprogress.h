#pragma once

#include <QString>

#include <memory>

namespace cli {

// How far a batch has come, on stderr: on a terminal a bar redrawn in place (done/total, the
// file being worked on, the time left) with failures printed above it; elsewhere one line per
// finished input. Main thread only.
class BatchProgress
{
public:
    // A bar is drawn only when drawBar and there is more than one input.
    BatchProgress(int total, bool drawBar);
    ~BatchProgress();

    void started(const QString& file);
    // line is printed as it is, except that a bar shows only the failures.
    void finished(const QString& file, bool succeeded, const QString& line);
    // Redraws the bar, so the time left moves even while no input ends.
    void tick();
    // Clears the bar and prints the last line.
    void end(const QString& summary);

private:
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace cli
