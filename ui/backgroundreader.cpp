#include "ui/backgroundreader.h"

#include "core/imagefiles.h"
#include "ui/workprogress.h"

#include <QFileInfo>
#include <QPointer>
#include <QWidget>
#include <QFutureWatcher>
#include <QtConcurrent>

#include <memory>
#include <new>

namespace ui {

namespace {

// A read that ended without its result: out of memory on the worker, say.
template <typename Result>
Result failedRead(const QString& reason);

template <>
core::ImageDecoding failedRead(const QString& reason)
{
    return core::ImageDecoding{QImage(), QStringLiteral("picture: ") + reason};
}

template <>
core::PackageReading failedRead(const QString& reason)
{
    core::PackageReading reading;
    reading.result.reason = reason;
    return reading;
}

} // namespace

class BackgroundReader::Impl
{
public:
    explicit Impl(BackgroundReader* owner) : q(owner) {}

    QPointer<QWidget> progressOwner;

    // Runs read on a worker; done gets its result unless the read is abandoned first.
    template <typename Result, typename Read, typename Done>
    void start(const QString& path, Read read, Done done)
    {
        abandon();
        readingPackage = false;
        progress = std::make_unique<WorkProgress>(
            QStringLiteral("Opening %1\u2026").arg(QFileInfo(path).fileName()), progressOwner);
        QObject::connect(progress.get(), &WorkProgress::cancelled, q, [this, path] {
            // Called from inside the dialog's Cancel button: the dialog may only go later.
            abandon(Later);
            emit q->readCancelled(path);
        });
        auto* watcher = new QFutureWatcher<Result>(q);
        running = watcher;
        QObject::connect(watcher, &QFutureWatcher<Result>::finished, q, [this, watcher, done] {
            // The worker catches what it can; a future without a result must still not be read.
            const Result result = watcher->future().resultCount() > 0
                ? watcher->result()
                : failedRead<Result>(QStringLiteral("the read stopped without a result"));
            running = nullptr;
            progress.reset();
            watcher->deleteLater();
            done(result);
        });
        const core::Progress report = progress->reporter();
        const std::shared_ptr<const std::atomic_bool> cancel = progress->cancelFlag();
        // No exception may reach the future: reading a future that holds one rethrows it on
        // the GUI thread.
        watcher->setFuture(QtConcurrent::run([=]() -> Result {
            try {
                return read(report, cancel.get());
            } catch (const std::bad_alloc&) {
                return failedRead<Result>(QStringLiteral("out of memory"));
            } catch (...) {
                return failedRead<Result>(QStringLiteral("the read failed"));
            }
        }));
    }

    enum Disposal { Now, Later };

    // The watcher goes, so its result is never looked at; the worker sees the flag.
    void abandon(Disposal disposal = Now)
    {
        if (progress) {
            progress->disconnect(q);
            progress->cancel();
            if (disposal == Later) {
                progress.release()->deleteLater();
            }
        }
        progress.reset();
        if (running) {
            running->disconnect(q);
            running->deleteLater();
            running = nullptr;
        }
    }

    BackgroundReader* q;
    std::unique_ptr<WorkProgress> progress;
    QObject* running = nullptr;
    bool readingPackage = false;
};

BackgroundReader::BackgroundReader() : d(std::make_unique<Impl>(this)) {}

BackgroundReader::~BackgroundReader()
{
    d->abandon();
}

void BackgroundReader::readPackage(const QString& path)
{
    d->start<core::PackageReading>(
        path,
        [path](const core::Progress& report, const std::atomic_bool* cancel) {
            return core::readPackage(path, report, cancel);
        },
        [this, path](const core::PackageReading& reading) { emit packageRead(path, reading); });
    d->readingPackage = true;
}

void BackgroundReader::readPicture(const QString& source, const QStringList& paths,
                                   std::function<bool(const QString& path)> isOther)
{
    // The file the result is about, and whether isOther took it; written by the worker before its
    // result is delivered, read only once it is.
    const auto named = std::make_shared<QString>(source);
    const auto other = std::make_shared<bool>(false);
    d->start<core::ImageDecoding>(
        source,
        [paths, named, other, isOther](const core::Progress&, const std::atomic_bool* cancel) {
            core::ImageDecoding first;
            for (const QString& path : paths) {
                core::ImageDecoding decoding = core::readPictureFile(path, cancel);
                if (!decoding.picture.isNull() || (cancel && cancel->load())) {
                    if (!decoding.picture.isNull() && paths.size() > 1) {
                        *named = path;
                    }
                    return decoding;
                }
                if (isOther && isOther(path)) {
                    *named = path;
                    *other = true;
                    return decoding;
                }
                // A picture refused by a check says more than a file that holds none.
                if (first.reason.isEmpty()
                    || (core::isNoPicture(first.reason) && !core::isNoPicture(decoding.reason))) {
                    first = decoding;
                    if (paths.size() > 1) {
                        *named = path;
                    }
                }
            }
            return first;
        },
        [this, named, other](const core::ImageDecoding& decoding) {
            if (*other) {
                emit otherFileRead(*named);
            } else {
                emit pictureRead(*named, decoding);
            }
        });
}

void BackgroundReader::readPictureBytes(const QString& source, const QByteArray& bytes)
{
    d->start<core::ImageDecoding>(
        source,
        [bytes](const core::Progress&, const std::atomic_bool* cancel) {
            return core::decodePictureFile(bytes, cancel);
        },
        [this, source](const core::ImageDecoding& decoding) { emit pictureRead(source, decoding); });
}

void BackgroundReader::setProgressOwner(QWidget* owner)
{
    d->progressOwner = owner;
}

bool BackgroundReader::isReading() const
{
    return d->running != nullptr;
}

void BackgroundReader::cancel()
{
    d->abandon();
}

bool BackgroundReader::isReadingPackage() const
{
    return d->running != nullptr && d->readingPackage;
}

WorkProgress* BackgroundReader::progress() const
{
    return d->progress.get();
}

} // namespace ui
