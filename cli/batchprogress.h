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

// How far the reading of a video has come, on stderr while it is a terminal (nothing elsewhere):
// one line redrawn in place at most a few times a second, "[=====>      ] 12.3 s of 30.0 s,
// frame 369  0:05 left", or "12.3 s, frame 369" when the video's length is unknown. Messages
// printed meanwhile go above it; it is cleared when the object goes. Main thread only.
class FrameProgress
{
public:
    // duration: the seconds the video's headers declare; 0 when they do not tell.
    explicit FrameProgress(double duration);
    ~FrameProgress();
    FrameProgress(const FrameProgress&) = delete;
    FrameProgress& operator=(const FrameProgress&) = delete;

    // The frame of index (0-based) at time (seconds) is being worked on.
    void reached(int index, double time);

private:
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace cli
