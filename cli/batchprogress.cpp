#include "cli/batchprogress.h"

#include "cli/commandline.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>

namespace cli {

namespace {

constexpr int maximumBarWidth = 30;
// A few redraws a second: more would only cost the terminal's time.
constexpr qint64 redrawIntervalMs = 250;

QString durationText(qint64 seconds)
{
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

// "[=====>      ]" for done of total (more than 0), a '=' for each thirtieth done.
QString progressBar(double done, double total)
{
    const int filled = std::clamp(int(done * maximumBarWidth / total), 0, maximumBarWidth);
    QString text = QLatin1Char('[') + QString(filled, QLatin1Char('='));
    if (filled < maximumBarWidth) {
        text += QLatin1Char('>') + QString(maximumBarWidth - filled - 1, QLatin1Char(' '));
    }
    return text + QLatin1Char(']');
}

// "0:05 left" for work of which doneShare (0..1) took elapsedMs; "-:-- left" before any is done.
QString timeLeft(double doneShare, qint64 elapsedMs)
{
    if (doneShare <= 0) {
        return QStringLiteral("-:-- left");
    }
    const qint64 remaining = qint64(double(elapsedMs) * (1 - std::min(doneShare, 1.0)) / doneShare);
    return durationText((remaining + 999) / 1000) + QStringLiteral(" left");
}

} // namespace

class BatchProgress::Impl
{
public:
    Impl(int total, bool drawBar) : total(total), drawBar(drawBar && total > 1) { clock.start(); }

    QString barLine() const;
    void redraw();

    const int total;
    const bool drawBar;
    int done = 0;
    int fromTemplate = 0;
    QStringList running;  // in the order they were started
    QString lastFinished;
    QElapsedTimer clock;
};

QString BatchProgress::Impl::barLine() const
{
    const int columns = terminalColumns() - 1;  // the last column would wrap on some terminals
    const QString bar = progressBar(done, total);
    QString count = QStringLiteral(" %1/%2").arg(done).arg(total);
    if (fromTemplate > 0) {
        count += QStringLiteral(", %1 from a template").arg(fromTemplate);
    }
    count += QStringLiteral("  ");
    const QString left = QStringLiteral("  ") + timeLeft(double(done) / total, clock.elapsed());
    QString file = escaped(QFileInfo(running.isEmpty() ? lastFinished : running.last()).fileName());
    const int room = columns - bar.size() - count.size() - left.size();
    if (room <= 0) {
        return (bar + count).left(qMax(0, columns));
    }
    if (file.size() > room) {
        file = file.left(qMax(0, room - 3)) + QStringLiteral("...");
    }
    return bar + count + file.leftJustified(room) + left;
}

void BatchProgress::Impl::redraw()
{
    if (drawBar) {
        showProgress(barLine());
    }
}

BatchProgress::BatchProgress(int total, bool drawBar)
    : d(std::make_unique<Impl>(total, drawBar))
{
    d->redraw();
}

BatchProgress::~BatchProgress()
{
    endProgress();
}

void BatchProgress::started(const QString& file)
{
    d->running.append(file);
    d->redraw();
}

void BatchProgress::finished(const QString& file, Outcome outcome, const QString& line)
{
    d->running.removeOne(file);
    d->lastFinished = file;
    ++d->done;
    d->fromTemplate += outcome == FromTemplate ? 1 : 0;
    if (!d->drawBar) {
        printMessage(line);
        return;
    }
    if (outcome != Succeeded) {
        printMessage(line);
    }
    d->redraw();
}

void BatchProgress::tick()
{
    d->redraw();
}

void BatchProgress::end(const QString& summary)
{
    endProgress();
    printMessage(summary);
}

class FrameProgress::Impl
{
public:
    explicit Impl(double duration) : duration(duration), shown(stderrIsTerminal()) { clock.start(); }

    const double duration;
    const bool shown;
    QElapsedTimer clock;
    qint64 drawnAt = -1;  // ms on the clock; -1 before the first line
};

FrameProgress::FrameProgress(double duration) : d(std::make_unique<Impl>(duration)) {}

FrameProgress::~FrameProgress()
{
    endProgress();
}

void FrameProgress::reached(int index, double time)
{
    const qint64 now = d->clock.elapsed();
    if (!d->shown || (d->drawnAt >= 0 && now - d->drawnAt < redrawIntervalMs)) {
        return;
    }
    d->drawnAt = now;
    const QString seconds = QString::number(time, 'f', 1) + QStringLiteral(" s");
    const QString frame = QStringLiteral(", frame %1").arg(index);
    QString line;
    if (d->duration > 0) {
        line = progressBar(time, d->duration) + QLatin1Char(' ') + seconds + QStringLiteral(" of ")
            + QString::number(d->duration, 'f', 1) + QStringLiteral(" s") + frame + QStringLiteral("  ")
            + timeLeft(time / d->duration, now);
    } else {
        line = seconds + frame;
    }
    showProgress(line.left(qMax(0, terminalColumns() - 1)));  // the last column would wrap on some terminals
}

} // namespace cli
