#pragma once

#include <QVector>
#include <QWidget>

#include <memory>

class QMenu;
class QMimeData;
class QUndoStack;

namespace core {
class FacialPoints;
class FacialPointsDetector;
} // namespace core

namespace ui {

class PromptSession;
class PictureIntake;

// Shows the model's picture with the points on top (stretched over the whole widget at zoom 1),
// takes pictures in (setImage, drops, Ctrl+V) and starts landmark detection for each, and turns
// mouse, wheel and keys into zooming, panning, selecting and moving points. GUI thread only.
class PointView : public QWidget
{
    Q_OBJECT
public:
    // detector is not owned and may be null (no detection is then started). Questions and
    // warnings (the detection's, the picture intake's) go through session (not owned, must
    // outlive the view); without one the view keeps a session of its own.
    explicit PointView(core::FacialPointsDetector* detector, PromptSession* session = nullptr);
    ~PointView() override;

    // Attaches the model (not owned); drops are accepted only while a model is attached.
    void setFacialPoints(core::FacialPoints* points);
    core::FacialPoints* facialPoints() const;
    // Edits, new pictures and detection results become undo steps on stack (not owned); null
    // applies them without a history.
    void setUndoStack(QUndoStack* stack);
    // Stores a non-null picture in the attached model and starts detection for it.
    void setImage(const QImage& image);
    // Takes a picture from mime data through pictureIntake(): encoded or decoded image data
    // first, then the first loadable local file, read on a worker; the picture arrives later.
    // Returns true when the data held a picture to try (and a model is attached).
    bool insertFromMimeData(const QMimeData* data);
    // Reads the picture file at path on a worker and takes it, or tells why it was refused.
    void openPictureFile(const QString& path);
    // How pictures come in: its reads, their progress and Cancel.
    PictureIntake* pictureIntake() const;
    // The menu a right-click at position (view pixels) opens: "Place Points on This Face" when
    // it hits a face found in the picture that does not hold the points, else null. While the
    // menu exists, those faces are outlined faintly.
    std::unique_ptr<QMenu> faceMenuAt(QPoint position);
    // Edit → Place Points on Next Face: moves the points to the next face found in the picture,
    // from the largest to the smallest and round again, as one undo step. False when no other
    // face was found.
    bool placeOnNextFace();
    // Whether the picture shown was searched for faces (see DetectionFlow::facesSearched).
    bool facesSearched() const;

    // Detects again on the current picture (Edit → Detect Points Again): asks first when points
    // are shown; the result is one undo step. False when nothing was started.
    bool detectAgain();
    // True while landmarks are being detected for the picture shown.
    bool isDetecting() const;
    // The detection's latest status line (empty when it has nothing to say).
    QString detectionStatus() const;

    // The View menu's commands. Zoom In and Out step by 1.25 about the view's centre.
    void zoomIn();
    void zoomOut();
    void fitToWindow();
    void setShowNumbers(bool show);
    void setShowOutline(bool show);
    void setKeepAspectRatio(bool keep);
    double zoom() const;
    // Mirror editing and Edit → Mirror Selection to Other Side (see core/mirroring.h).
    void setMirrorEdits(bool on);
    bool mirrorSelection();
    // Edit → Turn Selection and Enlarge/Shrink Selection: the selection turned by degrees
    // (clockwise on screen) and scaled by factor about the mean of its points, kept in sight; a run
    // of one of them is one undo step. False when fewer than two points are selected or nothing moved.
    bool turnAndScaleSelection(double degrees, double factor);
    // View → Show Mesh: the preview's triangulation over the picture, folded triangles filled.
    void setShowMesh(bool show);
    bool showMesh() const;
    // View → Show Overview: the small picture in the corner while zoomed beyond 4x (on by
    // default). The scroll bars show whenever the picture is larger than the view.
    void setShowOverview(bool show);
    bool showOverview() const;
    // The message about the triangles the preview leaves out ("2 triangles folded: …", or those
    // too small in a small picture, see mesh::leftOutMessage); empty when it leaves none out.
    QString foldedMessage() const;
    // Selects the corners of every folded triangle (not of those only too small); false when
    // none folds.
    bool selectFoldedPoints();
    // File → Import Points…: the 68 points of a .pts or dlib XML file at path (".xml") for the
    // current picture and the 7 derived from them, as one undo step. False, with *reason set to
    // a sentence for the user, when there is no picture or the file cannot be read as one.
    // *note, when given, as landmarkio::readPoints sets it.
    bool importPoints(const QString& path, QString* reason, QString* note = nullptr);
    // File → Export Points…: the current points as .pts, or dlib XML when path ends in ".xml"
    // with the picture it names beside it (see landmarkio::exportPoints; *pictureWritten, when
    // given, names a picture file written). False, with *reason set, when there is no picture or
    // a file cannot be written.
    bool exportPoints(const QString& path, QString* reason, QString* pictureWritten = nullptr) const;
    // Ends a drag, group edit or pan in progress as releasing its button would: a drag becomes its
    // undo step. Called before a step that comes from elsewhere (Undo, Redo, Place Template, a new
    // picture), so that the step neither lands inside the drag nor takes half of it as its own.
    void finishGesture();
    // The selected point indices, ascending.
    QVector<int> selection() const;
    // Selects every point (Ctrl+A).
    void selectAll();
    // A position in this widget's pixels as picture pixels (fractions times the picture size);
    // outside the picture the result lies outside [0, size).
    QPointF viewToPicturePixels(QPoint position) const;

signals:
    // A line for the footer about work in progress or just finished (detection); empty: none.
    void statusMessageChanged(const QString& text);
    // A line for the footer about the selection and the zoom: "Point 37: 211.4, 282.0 px of
    // 512 × 512", "6 points selected", with " — 250 %" while zoomed; empty when there is nothing
    // to say.
    void pointInfoChanged(const QString& text);
    // The folded-triangles message changed (empty: the preview leaves none out any more).
    void foldedMessageChanged(const QString& text);
    // Where the cursor is in the picture ("x 211.4, y 282.0 px"); empty while it is off it.
    void cursorPositionChanged(const QString& text);
    // The Menu key or Shift+F10 found no face to open the face menu on: no picture, its faces
    // not looked for or still being found, or no other face found. Nothing else is done.
    void noNextFace();

protected:
    bool event(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    Q_DISABLE_COPY(PointView)
    // The face menu for face index of those found in the picture; null for an index it does not cover.
    std::unique_ptr<QMenu> faceMenuFor(int face);
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace ui
