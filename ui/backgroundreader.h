#pragma once

#include "core/facemaskproject.h"
#include "core/imagefiles.h"

#include <QImage>
#include <QObject>
#include <QString>

#include <functional>
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
    // Reads the picture files at paths in turn, as core::readPictureFile does, and delivers the
    // first that decodes, else the first failure. source names the read in the progress line,
    // and in pictureRead unless another of several paths is the one that decoded, or whose
    // failure is delivered: that path then.
    // A file that holds no picture and that isOther (when set; called on the worker) takes ends
    // the read there, before any later file: otherFileRead(path) then, not pictureRead.
    void readPicture(const QString& source, const QStringList& paths,
                     std::function<bool(const QString& path)> isOther = {});
    void readPicture(const QString& path) { readPicture(path, {path}); }
    // Decodes the bytes of a whole picture file, as core::decodePictureFile does.
    void readPictureBytes(const QString& source, const QByteArray& bytes);

    // The window the progress dialog belongs to (not owned); null: none.
    void setProgressOwner(QWidget* owner);

    bool isReading() const;
    bool isReadingPackage() const;
    // Abandons the running read, as Cancel does, but without readCancelled.
    void cancel();
    // The progress of the running read, else null.
    WorkProgress* progress() const;

signals:
    void packageRead(const QString& path, const core::PackageReading& reading);
    // decoding.picture is null when no picture could be read; decoding.reason says why.
    void pictureRead(const QString& source, const core::ImageDecoding& decoding);
    // The file at path held no picture, and readPicture's isOther took it.
    void otherFileRead(const QString& path);
    // After a read was abandoned by Cancel.
    void readCancelled(const QString& path);

private:
    Q_DISABLE_COPY(BackgroundReader)
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace ui
