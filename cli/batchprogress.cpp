#include "cli/batchprogress.h"

#include "cli/commandline.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QStringList>

namespace cli {

namespace {

constexpr int maximumBarWidth = 30;

QString durationText(qint64 seconds)
{
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

class BatchProgress::Impl
{
public:
    Impl(int total, bool drawBar) : total(total), drawBar(drawBar && total > 1) { clock.start(); }

    QString timeLeft() const;
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

QString BatchProgress::Impl::timeLeft() const
{
    if (done == 0) {
        return QStringLiteral("-:-- left");
    }
    const qint64 remaining = clock.elapsed() * (total - done) / done;
    return durationText((remaining + 999) / 1000) + QStringLiteral(" left");
}

QString BatchProgress::Impl::barLine() const
{
    const int columns = terminalColumns() - 1;  // the last column would wrap on some terminals
    const int filled = done * maximumBarWidth / total;
    QString bar = QLatin1Char('[') + QString(filled, QLatin1Char('='));
    if (filled < maximumBarWidth) {
        bar += QLatin1Char('>') + QString(maximumBarWidth - filled - 1, QLatin1Char(' '));
    }
    bar += QLatin1Char(']');
    QString count = QStringLiteral(" %1/%2").arg(done).arg(total);
    if (fromTemplate > 0) {
        count += QStringLiteral(", %1 from a template").arg(fromTemplate);
    }
    count += QStringLiteral("  ");
    const QString left = QStringLiteral("  ") + timeLeft();
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

} // namespace cli
