#pragma once

#include <QString>

#include <memory>

namespace cli {

// How far a batch has come, on stderr: on a terminal a bar redrawn in place (done/total, how
// many came from a template, the file being worked on, the time left) with failures and
// templates printed above it; elsewhere one line per finished input. Main thread only.
class BatchProgress
{
public:
    // A bar is drawn only when drawBar and there is more than one input.
    BatchProgress(int total, bool drawBar);
    ~BatchProgress();

    // Warned: made, but with a warning the user must see (a picture cut short).
    enum Outcome { Succeeded, FromTemplate, Failed, Warned };

    void started(const QString& file);
    // line is printed as it is, except that a bar shows only the failures, the packages made
    // from a template (no face found) and those with a warning, and counts templates apart.
    void finished(const QString& file, Outcome outcome, const QString& line);
    // Redraws the bar, so the time left moves even while no input ends.
    void tick();
    // Clears the bar and prints the last line.
    void end(const QString& summary);

private:
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace cli
