#pragma once

#include <QImage>
#include <QWidget>

#include <memory>

class QMimeData;

namespace core {
class FaceMaskProject;
class FacialPointsDetector;
} // namespace core

namespace ui {

class FrameSource;
class PictureIntake;
class PromptSession;

// A second top-level window that shows the project's mask (its picture, points and effect type)
// applied to every face (up to 8) of a photo opened, dropped or pasted here, of a face video, or
// of a camera. It follows the project's point model live. Dialogs go through the prompts it is
// given. GUI thread only.
// Whether path names a video file the Preview window plays (told by its suffix).
bool isVideoFile(const QString& path);
// Whether the regular file at path starts as a video does, whatever its name (a download without
// a suffix). Reads its start: any thread, but on the GUI thread it would wait for a disk that
// does not answer.
bool startsAsVideoFile(const QString& path);

class PreviewWindow : public QWidget
{
public:
    // None is owned; all must outlive the window. The detector finds the photo's face. Dialogs
    // go through session (its window's); without one the window keeps a session of its own.
    PreviewWindow(core::FaceMaskProject* project, core::FacialPointsDetector* detector,
                  PromptSession* session = nullptr);
    ~PreviewWindow() override;

    // Uses picture as the face photo (leaving camera mode) and detects its face.
    void setFacePicture(const QImage& picture);
    // Takes a picture from mime data through pictureIntake(), read on a worker: image data
    // first, then the first readable local file. True when the data held a picture to try.
    bool insertFromMimeData(const QMimeData* data);
    // How face pictures come in: its reads, their progress and Cancel.
    PictureIntake* pictureIntake() const;
    // Shows the frames of source (owned from now on) instead of the photo; null stops the camera.
    void setFrameSource(std::unique_ptr<FrameSource> source);
    // Plays the video file at path (a local file) in a loop instead of the photo, with the play,
    // pause and position controls. False when the file does not exist (after a warning); a file
    // that does not play says so in the footer. A GIF is opened as a face picture instead (false).
    // A package (.pmk) is not played: the footer says to open it in the main window (false), as
    // for one dropped or pasted, and what plays goes on.
    // A file whose disk does not answer within half a second is waited for without holding the
    // window (true): the footer says so, and the above happens once it answers, unless another
    // source was chosen or the window closed meanwhile.
    bool openFaceVideo(const QString& path);
    // What the window shows now: the face with the mask, or the face alone when there is none.
    QImage previewImage() const;
    // Asks for a file name and writes previewImage() there as PNG on a worker thread; a failure
    // is told when the write has ended. False when no write was started.
    bool savePreviewPicture();
    // True while a picture is being written.
    bool isSavingPicture() const;
    // The file being written while isSavingPicture(); empty otherwise.
    QString savingPicturePath() const;

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    Q_DISABLE_COPY(PreviewWindow)
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace ui
