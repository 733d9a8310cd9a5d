// The main window's commands that change the picture or the points: Open Image File, Paste,
// Detect Points Again, Place Template, Effect Type, and Import and Export Points.
#include "app/mainwindow_p.h"

#include "core/facialpoints.h"
#include "core/meanface.h"
#include "tools/pointcommands.h"
#include "ui/landmarkfileio.h"
#include "ui/pointview.h"
#include "ui/prompts.h"
#include "ui/waitclock.h"

#include <QAction>
#include <QActionGroup>
#include <QClipboard>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMimeData>

namespace ui {

void MainWindow::Impl::openImage()
{
    const QString path = session.prompts().openFileName(
        QStringLiteral("Select image file"),
        QStringLiteral("Image files (*.png *.jpg *.jpeg *.xpm *.bmp *.tif *.tiff);; All files (*.*)"),
        workspace.folder(QStringLiteral("picture")));
    if (path.isEmpty()) {
        return;
    }
    workspace.setFolderOf(QStringLiteral("picture"), path);
    // A new picture is an undoable edit of the work, so nothing is asked.
    ui::waitclock::begin("open");
    pointView->openPictureFile(path);
}

void MainWindow::Impl::importPoints()
{
    const QString path = session.prompts().openFileName(
        QStringLiteral("Import points"), landmarkio::fileFilter(),
        workspace.folder(QStringLiteral("points")));
    if (path.isEmpty()) {
        return;
    }
    workspace.setFolderOf(QStringLiteral("points"), path);
    QString reason;
    QString note;
    if (!pointView->importPoints(path, &reason, &note)) {
        session.prompts().warning(QStringLiteral("Import Points"), reason);
        return;
    }
    const QString imported = QStringLiteral("Points imported from %1").arg(QFileInfo(path).fileName());
    showStatus(note.isEmpty() ? imported : imported + QStringLiteral(": ") + note);
}

void MainWindow::Impl::exportPoints()
{
    if (!exportingTo.isEmpty()) {
        // A second export could end before the first and be written over by it.
        session.prompts().warning(QStringLiteral("Export Points"),
                                  QStringLiteral("The points are still being exported to %1.")
                                      .arg(QFileInfo(exportingTo).fileName()));
        return;
    }
    const core::FacialPoints* model = pointView->facialPoints();
    // Told before a name is asked for: no file would take these points.
    const QString refusal = model ? landmarkio::exportRefusal(model->points(), model->image().size())
                                  : landmarkio::exportRefusal(core::FacialPointVector(), QSize());
    if (!refusal.isEmpty()) {
        session.prompts().warning(QStringLiteral("Export Points"), refusal);
        return;
    }
    const QString path = session.prompts().saveFileName(
        QStringLiteral("Export points"), landmarkio::fileFilter(),
        workspace.folder(QStringLiteral("points")), QStringLiteral("pts"));
    if (path.isEmpty()) {
        return;
    }
    workspace.setFolderOf(QStringLiteral("points"), path);
    exportingTo = path;
    landmarkio::exportPointsLater(
        path, model ? model->points() : core::FacialPointVector(), model ? model->image() : QImage(), this,
        [this, path](const landmarkio::Exported& exported) {
            exportingTo.clear();
            if (!exported.ok) {
                session.prompts().warning(QStringLiteral("Export Points"), exported.reason);
                return;
            }
            showStatus(exported.pictureWritten.isEmpty()
                           ? QStringLiteral("Points exported to %1").arg(QFileInfo(path).fileName())
                           : QStringLiteral("Points exported to %1, the picture they are placed on to %2")
                                 .arg(QFileInfo(path).fileName(), exported.pictureWritten));
        });
}

void MainWindow::Impl::paste()
{
    // Out of the menu bar's keyboard mode, so that the keys that follow reach the points.
    pointView->setFocus();
    ui::waitclock::begin("paste");
    const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
    if (!data || !pointView->insertFromMimeData(data)) {
        showStatus(QStringLiteral("Nothing to paste: the clipboard holds no picture or picture file."));
    }
}

void MainWindow::Impl::detectAgain()
{
    pointView->setFocus();
    if (project.facialPoints()->image().isNull()) {
        showStatus(QStringLiteral("Open, drop or paste a picture first: there is nothing to detect."));
        return;
    }
    pointView->detectAgain();
}

void MainWindow::Impl::placeOnNextFace()
{
    pointView->setFocus();
    if (!project.facialPoints()->image().isNull()) {
        pointView->finishGesture();
        if (pointView->placeOnNextFace()) {
            return;
        }
    }
    tellNoNextFace();
}

void MainWindow::Impl::tellNoNextFace()
{
    if (project.facialPoints()->image().isNull()) {
        showStatus(QStringLiteral("Open, drop or paste a picture first: its faces are found when it comes in."));
    } else if (pointView->isDetecting()) {
        showStatus(QStringLiteral("The faces are still being found: press N again once the points are placed."));
    } else if (!pointView->facesSearched() && detector.state() == core::FacialPointsDetector::Failed) {
        showStatus(QStringLiteral("The faces of this picture cannot be looked for: the landmark model "
                                  "could not be loaded."));
    } else if (!pointView->facesSearched()) {
        // A package's picture, or one whose detection was skipped: nothing is known of its faces.
        showStatus(QStringLiteral("The faces of this picture were not looked for: Edit \u2192 Detect "
                                  "Points Again (Ctrl+D) finds them and places the points on the largest."));
    } else {
        showStatus(QStringLiteral("No other face was found in this picture."));
    }
}

void MainWindow::Impl::selectFoldedPoints()
{
    pointView->setFocus();
    if (!pointView->selectFoldedPoints()) {
        showStatus(QStringLiteral("No triangle of the mesh is folded."));
    }
}

void MainWindow::Impl::placeTemplate()
{
    pointView->setFocus();
    core::FacialPoints* model = project.facialPoints();
    if (model->image().isNull()) {
        showStatus(QStringLiteral("Open, drop or paste a picture first: the template is placed on it."));
        return;
    }
    pointView->finishGesture();
    const core::FacialPointVector placed = core::templateFace(model->image().size());
    // Placed already (Ctrl+T again): a step that changes nothing would mark the work unsaved and
    // take an Undo of its own.
    if (model->points() != placed) {
        tools::execute(&undoStack, std::make_unique<tools::ReplacePointsCommand>(
                                       model, model->points(), placed, QStringLiteral("Place Template"), false));
    }
    showStatus(QStringLiteral("Template placed. Ctrl+A selects it: drag a point to move it, a "
                              "corner to scale it, the round handle to turn it."));
}

void MainWindow::Impl::chooseEffectType(int type)
{
    if (type != project.effectType()) {
        tools::execute(&undoStack,
                       std::make_unique<tools::SetEffectTypeCommand>(&project, project.effectType(), type));
    }
    showEffectType(project.effectType());
}

void MainWindow::Impl::showEffectType(int type)
{
    // A stored type the menu does not know (an old package) shows as Face only, as it is drawn.
    const int shown = type == core::WholeImage || type == core::FullFrame ? type : core::FaceOnly;
    for (QAction* choice : effectTypeGroup->actions()) {
        choice->setChecked(choice->data().toInt() == shown);
    }
}

} // namespace ui
