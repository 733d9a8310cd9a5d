#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QDropEvent;
class QImage;
class QMimeData;
class QWidget;

namespace ui {

class BackgroundReader;
class PromptSession;
class WorkProgress;

// How pictures come into a window: opened files, pasted and dropped data. Files and encoded
// bytes are read and decoded on a worker (core::readPictureFile, core::decodePictureFile) with a
// WorkProgress after 300 ms, so the window repaints meanwhile and Cancel works; only the cheap
// part, taking the bytes or the file names out of the mime data, runs on the GUI thread. A new
// picture abandons the one still being read. A refused picture is told through the window's
// prompts with the check that refused it. GUI thread only.
class PictureIntake : public QObject
{
    Q_OBJECT
public:
    // Refusals are told through session (not owned, must outlive the intake); without one the
    // intake keeps a session of its own.
    explicit PictureIntake(PromptSession* session = nullptr);
    ~PictureIntake() override;

    // While packageReader (not owned; null: none) reads a package, a pasted or dropped picture
    // is refused with a message: the package would replace it a moment later.
    void setPackageReader(const BackgroundReader* packageReader);
    // The window the progress of a read belongs to (not owned): it stands above it, centred.
    void setProgressOwner(QWidget* owner);
    // Pasted or dropped data that holds no picture bytes and whose first local file opener
    // takes (a package the window opens itself) goes to opener instead of being read as a
    // picture; opener returns whether it took the file. Called on the GUI thread, from inside
    // the paste or the drop: a question it asks must wait for the event loop.
    void setFileOpener(std::function<bool(const QString& path)> opener);
    // Pasted or dropped files are read as pictures first; one that holds none and that recognise
    // takes (called on the reading worker, so that a disk that does not answer holds no window:
    // a video named otherwise, told by its content) goes to open instead (GUI thread), unless a
    // picture among the files before it was taken; the others given with it are told left out.
    void setContentOpener(std::function<bool(const QString& path)> recognise,
                          std::function<void(const QString& path)> open);
    // Added to the word that only one of several files pasted or dropped was opened: how else
    // to take them all ("To make ..."); empty: nothing.
    void setSeveralFilesHint(const QString& hint);
    // Tells the user that the other files given with opened (a package or a video, taken by the
    // opener) were left out; nothing when others is 0. The window's thread.
    void tellFilesLeftOut(const QString& opened, int others);

    // Reads the picture file at path (File → Open); any failure is told.
    void openFile(const QString& path);
    // Takes a picture from mime data (paste, drop): encoded picture bytes ("image/png" first,
    // then any other image type), else image data already decoded (checked against the bounds
    // here), else the local files among the URLs (or the files a GTK file manager copied), the
    // first that decodes (with a word naming it when there were several); the web address of a picture alone is refused with a message, one of a
    // page holds no picture. Returns false when the data holds no picture to try (nothing is told
    // then), true when one was taken or is being read, or was refused with a message. Data that
    // turns out to hold no picture at all (a text file dropped) is dropped without a message.
    bool takeMimeData(const QMimeData* data);

    bool isReading() const;
    // The progress of the running read, else null.
    WorkProgress* progress() const;
    // Abandons the running read: nothing is delivered for it, and the worker stops soon.
    void cancel();

signals:
    // A picture to use, within the bounds of core/imagefiles.h.
    void pictureTaken(const QImage& picture);

private:
    Q_DISABLE_COPY(PictureIntake)
    class Impl;
    std::unique_ptr<Impl> d;
};

// Accepts a drag's entry or its drop as a copy where the source allows one: the window never
// takes what is dropped away, and a move would have the source delete its picture or file.
void takeAsCopy(QDropEvent* event);

} // namespace ui
