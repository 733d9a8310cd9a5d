#pragma once

#include "facemaskproject.h"

#include <QImage>
#include <QObject>
#include <QString>

#include <memory>

class QWidget;

namespace ui {

class WorkProgress;

// Reads packages and picture files on a worker thread, one at a time, with a WorkProgress
// after 300 ms. Cancel abandons the read at once: nothing is signalled for it, and the worker
// stops at its next check. A new read, or destruction, abandons the one running too.
// GUI thread only.
class BackgroundReader : public QObject
{
    Q_OBJECT
public:
    BackgroundReader();
    ~BackgroundReader() override;

    void readPackage(const QString& path);
    // The picture is turned upright, as core::readImageFile does.
    void readPicture(const QString& path);

    // The window the progress dialog belongs to (not owned); null: none.
    void setProgressOwner(QWidget* owner);

    bool isReading() const;
    // The progress of the running read, else null.
    WorkProgress* progress() const;

signals:
    void packageRead(const QString& path, const core::PackageReading& reading);
    // picture is null when the file could not be read.
    void pictureRead(const QString& path, const QImage& picture);
    // After a read was abandoned by Cancel.
    void readCancelled(const QString& path);

private:
    Q_DISABLE_COPY(BackgroundReader)
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace ui
