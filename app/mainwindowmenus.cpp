// The main window's menus: File (with Open Recent and its list of packages), Edit (history,
// paste, detection, template, effect type, mirror editing) and View (zoom and the toggles, each
// remembered in the workspace as soon as it changes).
#include "app/mainwindow_p.h"

#include "core/systemreason.h"
#include "ui/answerwithin.h"

#include "ui/pointview.h"
#include "ui/prompts.h"

#include <QAction>
#include <QActionGroup>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ui {

namespace {

// The workspace's names of the View toggles.
const char* const showNumbersKey = "showNumbers";
const char* const showOutlineKey = "showOutline";
const char* const keepAspectRatioKey = "keepAspectRatio";
const char* const showMeshKey = "showMesh";
const char* const showOverviewKey = "showOverview";
const char* const mirrorEditsKey = "mirrorEdits";

// How long Open Recent waits for the package's drive to say whether it is there.
constexpr std::chrono::milliseconds recentCheckTimeout{2000};
// The width, in average characters, past which an entry of Open Recent cuts a package's name
// and its folder (the name at most two fifths of it), unless three quarters of the screen are
// narrower.
constexpr int recentEntryCharacters = 100;

// Where path leads once its links are followed, the last one of a chain included even when
// what it names is not there; path itself when it is no link. Bounded as the system bounds a
// chain of links.
QString linkEnd(const QString& path)
{
    QString end = path;
    for (int hops = 0; hops < 40; ++hops) {
        const QFileInfo link(end);
        if (!link.isSymLink()) {
            break;
        }
        end = link.symLinkTarget();
    }
    return end;
}

// Whether the folder at path holds any entry (hidden ones too): 1 yes, 0 no, -1 it cannot be
// listed, with *error set (a folder one may enter but not read, mode 0311). Any thread.
int folderHoldsEntries(const QString& path, int* error)
{
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* folder = descriptor >= 0 ? ::fdopendir(descriptor) : nullptr;
    if (!folder) {
        *error = errno;
        if (descriptor >= 0) {
            ::close(descriptor);
        }
        return -1;
    }
    int holds = 0;
    errno = 0;
    while (const dirent* entry = ::readdir(folder)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            holds = 1;
            break;
        }
    }
    if (holds == 0 && errno != 0) {
        *error = errno;
        holds = -1;
    }
    ::closedir(folder);
    return holds;
}

// The platform's keys for a standard command and the extra ones, each once, so that every usual
// key works whatever the desktop's key scheme says.
QList<QKeySequence> keysOf(QKeySequence::StandardKey command, const QList<QKeySequence>& extra)
{
    QList<QKeySequence> keys = QKeySequence::keyBindings(command);
    for (const QKeySequence& key : extra) {
        if (!keys.contains(key)) {
            keys.append(key);
        }
    }
    return keys;
}

} // namespace

void MainWindow::Impl::buildFileMenu()
{
    // The entries keep their texts; the menu's title carries the mnemonic (Alt+F).
    QMenu* fileMenu = menuBar->addMenu(QStringLiteral("&File"));
    QAction* openImageAction = fileMenu->addAction(QStringLiteral("Open Image File"));
    openImageAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    QAction* openPackageAction = fileMenu->addAction(QStringLiteral("Open PMK file"));
    openPackageAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
    recentMenu = fileMenu->addMenu(QStringLiteral("Open Recent"));
    recentMenu->setObjectName(QStringLiteral("recentMenu"));
    recentMenu->setToolTipsVisible(true);
    connect(recentMenu, &QMenu::aboutToShow, this, &Impl::fillRecentMenu);
    QAction* saveAction = fileMenu->addAction(QStringLiteral("Save PMK File"));
    // Ctrl+S belongs to the window's own shortcut; here it is only shown. A key of the menu
    // entry's own would make the key ambiguous and neither would fire. Shown in the widget
    // context, the entry still matches the key while the menu bar holds the keys (a menu closed
    // with Escape): then each press goes to one of the two, and both open the form.
    saveAction->setShortcut(saveShortcut.key());
    saveAction->setShortcutContext(Qt::WidgetShortcut);
    saveAction->installEventFilter(this);
    saveMenuAction = saveAction;
    connect(&saveShortcut, &QShortcut::activatedAmbiguously, this, &Impl::showSaveDialog, Qt::QueuedConnection);
    fileMenu->addSeparator();
    QAction* importAction = fileMenu->addAction(QStringLiteral("Import Points\u2026"));
    importAction->setObjectName(QStringLiteral("importPointsAction"));
    importAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_I));
    connect(importAction, &QAction::triggered, this, &Impl::importPoints);
    QAction* exportAction = fileMenu->addAction(QStringLiteral("Export Points\u2026"));
    exportAction->setObjectName(QStringLiteral("exportPointsAction"));
    exportAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    connect(exportAction, &QAction::triggered, this, &Impl::exportPoints);
    fileMenu->addSeparator();
    QAction* quitAction = fileMenu->addAction(QStringLiteral("Quit"));
    quitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(openImageAction, &QAction::triggered, this, &Impl::openImage);
    connect(openPackageAction, &QAction::triggered, this, &Impl::openPackage);
    connect(&reader, &BackgroundReader::packageRead, this, &Impl::onPackageRead);
    reader.setProgressOwner(q);
    connect(saveAction, &QAction::triggered, this, &Impl::showSaveDialog);
    // Closing asks about unsaved changes; queued, so that the menu is gone first.
    connect(quitAction, &QAction::triggered, q, &QWidget::close, Qt::QueuedConnection);
    fillRecentMenu();
}

void MainWindow::Impl::buildEditMenu()
{
    QMenu* editMenu = menuBar->addMenu(QStringLiteral("&Edit"));
    // Named and enabled after the stack, as the stack's own actions are; what they do is ours: a
    // drag in progress (Ctrl+Z with the button held) is finished first, so that its step is the
    // one taken back rather than one that lands under the drag.
    const auto historyAction = [editMenu](const QString& verb, const char* name) {
        QAction* action = editMenu->addAction(verb);
        action->setObjectName(QString::fromLatin1(name));
        return action;
    };
    QAction* undoAction = historyAction(QStringLiteral("Undo"), "undoAction");
    undoAction->setShortcuts(keysOf(QKeySequence::Undo, {QKeySequence(Qt::CTRL | Qt::Key_Z)}));
    QAction* redoAction = historyAction(QStringLiteral("Redo"), "redoAction");
    redoAction->setShortcuts(keysOf(QKeySequence::Redo, {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z),
                                                         QKeySequence(Qt::CTRL | Qt::Key_Y)}));
    const auto name = [](QAction* action, const QString& verb, const QString& step) {
        action->setText(step.isEmpty() ? verb : verb + QLatin1Char(' ') + step);
    };
    name(undoAction, QStringLiteral("Undo"), undoStack.undoText());
    name(redoAction, QStringLiteral("Redo"), undoStack.redoText());
    undoAction->setEnabled(undoStack.canUndo());
    redoAction->setEnabled(undoStack.canRedo());
    connect(&undoStack, &QUndoStack::canUndoChanged, undoAction, &QAction::setEnabled);
    connect(&undoStack, &QUndoStack::canRedoChanged, redoAction, &QAction::setEnabled);
    connect(&undoStack, &QUndoStack::undoTextChanged, undoAction,
            [=](const QString& step) { name(undoAction, QStringLiteral("Undo"), step); });
    connect(&undoStack, &QUndoStack::redoTextChanged, redoAction,
            [=](const QString& step) { name(redoAction, QStringLiteral("Redo"), step); });
    // The footer tells of a step only when one was taken: a drag finished first may have dropped
    // the steps Redo had.
    const auto historyStep = [this](void (QUndoStack::*take)(), const QString& verb,
                                    QString (QUndoStack::*nameOfTaken)() const) {
        return [this, take, verb, nameOfTaken] {
            pointView->finishGesture();
            const int before = undoStack.index();
            (undoStack.*take)();
            if (undoStack.index() != before) {
                reportHistoryStep(verb, (undoStack.*nameOfTaken)());
            }
        };
    };
    connect(undoAction, &QAction::triggered, this,
            historyStep(&QUndoStack::undo, QStringLiteral("Undone"), &QUndoStack::redoText));
    connect(redoAction, &QAction::triggered, this,
            historyStep(&QUndoStack::redo, QStringLiteral("Redone"), &QUndoStack::undoText));
    connect(&undoStack, &QUndoStack::cleanChanged, q,
            [this](bool clean) { q->setWindowModified(!clean); });
    editMenu->addSeparator();

    // A key of the window's, so that it works wherever the focus is, the menu bar included.
    QAction* pasteAction = editMenu->addAction(QStringLiteral("Paste"));
    pasteAction->setObjectName(QStringLiteral("pasteAction"));
    pasteAction->setShortcuts(QKeySequence::Paste);
    connect(pasteAction, &QAction::triggered, this, &Impl::paste);
    // Ctrl+A as a key of the window too, so that it also selects while the menu bar holds the
    // keys (a menu closed with Escape); the keys that follow go to the points.
    auto* selectAll = new QShortcut(QKeySequence::SelectAll, q, nullptr, nullptr, Qt::WindowShortcut);
    const auto selectAllPoints = [this] {
        pointView->setFocus();
        pointView->selectAll();
    };
    connect(selectAll, &QShortcut::activated, this, selectAllPoints);
    // The menu shows the key after a tab rather than holding it too: a second owner of Ctrl+A
    // would make the key ambiguous while the menu bar holds the keys.
    QAction* selectAllAction = editMenu->addAction(
        QStringLiteral("Select All\t") + selectAll->key().toString(QKeySequence::NativeText));
    selectAllAction->setObjectName(QStringLiteral("selectAllAction"));
    connect(selectAllAction, &QAction::triggered, this, selectAllPoints);
    editMenu->addSeparator();

    QAction* detectAction = editMenu->addAction(QStringLiteral("Detect Points Again"));
    detectAction->setObjectName(QStringLiteral("detectAgainAction"));
    detectAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
    connect(detectAction, &QAction::triggered, this, &Impl::detectAgain);
    QAction* templateAction = editMenu->addAction(QStringLiteral("Place Template"));
    templateAction->setObjectName(QStringLiteral("placeTemplateAction"));
    templateAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    // A held key places it once: the keyboard's repeats would be steps that change nothing.
    templateAction->setAutoRepeat(false);
    connect(templateAction, &QAction::triggered, this, &Impl::placeTemplate);
    // What a right-click on another face and a click on the folds message do, from the keyboard.
    QAction* nextFaceAction = editMenu->addAction(QStringLiteral("Place Points on Next Face"));
    nextFaceAction->setObjectName(QStringLiteral("nextFaceAction"));
    nextFaceAction->setShortcut(QKeySequence(Qt::Key_N));
    connect(nextFaceAction, &QAction::triggered, this, &Impl::placeOnNextFace);
    QAction* foldedAction = editMenu->addAction(QStringLiteral("Select Folded Points"));
    foldedAction->setObjectName(QStringLiteral("selectFoldedAction"));
    connect(foldedAction, &QAction::triggered, this, &Impl::selectFoldedPoints);
    editMenu->addSeparator();

    QMenu* typeMenu = editMenu->addMenu(QStringLiteral("Effect Type"));
    typeMenu->setObjectName(QStringLiteral("effectTypeMenu"));
    effectTypeGroup = new QActionGroup(typeMenu);
    effectTypeGroup->setExclusive(true);
    for (int type = core::FaceOnly; type <= core::FullFrame; ++type) {
        QAction* choice = typeMenu->addAction(QString::fromLatin1(effectTypeNames[type]));
        choice->setCheckable(true);
        choice->setData(type);
        effectTypeGroup->addAction(choice);
        connect(choice, &QAction::triggered, this, [this, type] { chooseEffectType(type); });
    }
    connect(&project, &core::FaceMaskProject::effectTypeChanged, this, &Impl::showEffectType);
    editMenu->addSeparator();

    // Remembered like the View toggles.
    QAction* mirrorAction = editMenu->addAction(QStringLiteral("Mirror Edits"));
    mirrorAction->setObjectName(QStringLiteral("mirrorEditsAction"));
    mirrorAction->setCheckable(true);
    mirrorAction->setShortcut(QKeySequence(Qt::Key_M));
    // A held key turns it once, not on and off at the keyboard's repeat rate.
    mirrorAction->setAutoRepeat(false);
    mirrorAction->setChecked(workspace.toggle(QString::fromLatin1(mirrorEditsKey), false));
    connect(mirrorAction, &QAction::toggled, this, [this](bool on) {
        pointView->setMirrorEdits(on);
        workspace.setToggle(QString::fromLatin1(mirrorEditsKey), on);
    });
    mirrorEditsAction = mirrorAction;
    QAction* mirrorSelectionAction = editMenu->addAction(QStringLiteral("Mirror Selection to Other Side"));
    mirrorSelectionAction->setObjectName(QStringLiteral("mirrorSelectionAction"));
    mirrorSelectionAction->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_M));
    // A repeat would find nothing left to mirror and say so, over the step just taken.
    mirrorSelectionAction->setAutoRepeat(false);
    connect(mirrorSelectionAction, &QAction::triggered, this, [this] {
        pointView->finishGesture();
        if (!pointView->mirrorSelection()) {
            showStatus(QStringLiteral("Select points on one side of the face to mirror them to the other."));
        }
    });
    editMenu->addSeparator();

    // What the round handle and the corners of the selection's box do, a step per key.
    struct GroupStep {
        const char* name;
        const char* text;
        QList<QKeySequence> keys;
        double degrees;
        double factor;
    };
    constexpr double scaleStep = 1.02;
    const GroupStep groupSteps[] = {
        {"turnLeftAction", "Turn Selection Left", {QKeySequence(Qt::Key_BracketLeft)}, -1.0, 1.0},
        {"turnRightAction", "Turn Selection Right", {QKeySequence(Qt::Key_BracketRight)}, 1.0, 1.0},
        {"enlargeAction", "Enlarge Selection", {QKeySequence(Qt::Key_Plus), QKeySequence(Qt::Key_Equal)}, 0.0, scaleStep},
        {"shrinkAction", "Shrink Selection", {QKeySequence(Qt::Key_Minus)}, 0.0, 1.0 / scaleStep},
    };
    for (const GroupStep& step : groupSteps) {
        QAction* action = editMenu->addAction(QString::fromLatin1(step.text));
        action->setObjectName(QString::fromLatin1(step.name));
        action->setShortcuts(step.keys);
        action->setAutoRepeat(true);
        connect(action, &QAction::triggered, this, [this, degrees = step.degrees, factor = step.factor] {
            pointView->finishGesture();
            if (!pointView->turnAndScaleSelection(degrees, factor)) {
                showStatus(pointView->selection().size() < 2
                               ? QStringLiteral("Select two points or more (Ctrl+A selects all) to turn or scale them.")
                               : QStringLiteral("Not turned or scaled: a point would leave the picture."));
            }
        });
    }
    showEffectType(project.effectType());
}

void MainWindow::Impl::buildViewMenu()
{
    QAction* zoomIn = viewMenu->addAction(QStringLiteral("Zoom In"));
    zoomIn->setShortcuts({QKeySequence(Qt::CTRL + Qt::Key_Equal), QKeySequence(Qt::CTRL + Qt::Key_Plus)});
    connect(zoomIn, &QAction::triggered, pointView, &PointView::zoomIn);
    QAction* zoomOut = viewMenu->addAction(QStringLiteral("Zoom Out"));
    zoomOut->setShortcut(QKeySequence(Qt::CTRL + Qt::Key_Minus));
    connect(zoomOut, &QAction::triggered, pointView, &PointView::zoomOut);
    QAction* fit = viewMenu->addAction(QStringLiteral("Fit to Window"));
    fit->setShortcut(QKeySequence(Qt::CTRL + Qt::Key_0));
    connect(fit, &QAction::triggered, pointView, &PointView::fitToWindow);
    viewMenu->addSeparator();

    // Each toggle starts as it was left, and is written down as soon as it changes.
    const auto addToggle = [this](const QString& text, const char* key, bool fallback,
                                  void (PointView::*apply)(bool)) {
        QAction* toggle = viewMenu->addAction(text);
        toggle->setCheckable(true);
        const bool checked = workspace.toggle(QString::fromLatin1(key), fallback);
        toggle->setChecked(checked);
        (pointView->*apply)(checked);
        connect(toggle, &QAction::toggled, pointView, apply);
        connect(toggle, &QAction::toggled, this,
                [this, key](bool on) { workspace.setToggle(QString::fromLatin1(key), on); });
    };
    addToggle(QStringLiteral("Show Numbers"), showNumbersKey, true, &PointView::setShowNumbers);
    addToggle(QStringLiteral("Show Outline"), showOutlineKey, true, &PointView::setShowOutline);
    // Square pixels unless the user asked for the stretched view.
    addToggle(QStringLiteral("Keep Aspect Ratio"), keepAspectRatioKey, true,
              &PointView::setKeepAspectRatio);
    addToggle(QStringLiteral("Show Mesh"), showMeshKey, false, &PointView::setShowMesh);
    addToggle(QStringLiteral("Show Overview"), showOverviewKey, true, &PointView::setShowOverview);
    pointView->setMirrorEdits(mirrorEditsAction->isChecked());
    // Paste and the editing keys work as soon as the window is shown.
    pointView->setFocus();
}

void MainWindow::Impl::fillRecentMenu()
{
    recentMenu->clear();
    const QStringList paths = workspace.recentPackages();
    if (paths.isEmpty()) {
        recentMenu->addAction(QStringLiteral("No recent packages"))->setEnabled(false);
        return;
    }
    // A long name or a deep folder is cut in the middle, so that the menu stays narrower than
    // the screen and each entry shows both ends of both; the tooltip gives the path whole.
    const QFontMetrics metrics = recentMenu->fontMetrics();
    int room = recentEntryCharacters * metrics.averageCharWidth();
    if (const QScreen* screen = q->screen()) {
        room = std::min(room, screen->availableGeometry().width() * 3 / 4);
    }
    // A menu takes '&' for the mark of a key; "&&" shows one.
    const auto shown = [](const QString& text) {
        return QString(text).replace(QLatin1Char('&'), QStringLiteral("&&"));
    };
    for (int i = 0; i < paths.size(); ++i) {
        const QString& path = paths.at(i);
        const QFileInfo file(path);
        const QString name = metrics.elidedText(file.fileName(), Qt::ElideMiddle, room * 2 / 5);
        // A short name leaves its room to the folder.
        const QString folder = metrics.elidedText(QDir::toNativeSeparators(file.absolutePath()), Qt::ElideMiddle,
                                                  room - metrics.horizontalAdvance(name));
        QAction* entry = recentMenu->addAction(
            QStringLiteral("&%1 %2  (%3)").arg(i + 1).arg(shown(name), shown(folder)));
        entry->setToolTip(QDir::toNativeSeparators(path));
        entry->setData(path);
        connect(entry, &QAction::triggered, this, [this, path] { openRecent(path); });
    }
    recentMenu->addSeparator();
    QAction* clear = recentMenu->addAction(QStringLiteral("Clear List"));
    connect(clear, &QAction::triggered, this, [this] {
        workspace.clearRecentPackages();
        fillRecentMenu();
    });
}

void MainWindow::Impl::openRecent(const QString& path)
{
    const QString name = QFileInfo(path).fileName();
    // Asked on a thread of its own: a package on a share that went away would hold the window
    // for good.
    struct Found {
        int error = 0;       // of stat; 0: there
        mode_t mode = 0;     // when there
        bool gone = false;   // not there, though its folder is
        bool emptyFolder = false; // not there, its folder there and empty
        int listError = 0;        // not there, its folder there but not to be listed: why
    };
    const std::optional<Found> answer = answerWithin<Found>(recentCheckTimeout, [path] {
        Found found;
        struct stat status;
        if (::stat(QFile::encodeName(path).constData(), &status) != 0) {
            found.error = errno;
            // A link is gone with the folder of what it names, not its own. A file where the
            // folder was is there as much as a folder would be: the package is gone.
            // An empty folder tells nothing: a stick's mount point is one while the stick is out.
            const QFileInfo folder(QFileInfo(linkEnd(path)).absolutePath());
            // A folder that cannot be listed may be such a mount point as well.
            found.gone = (found.error == ENOENT || found.error == ENOTDIR) && folder.exists();
            if (found.gone && folder.isDir()) {
                const int holds = folderHoldsEntries(folder.filePath(), &found.listError);
                found.gone = holds > 0;
                found.emptyFolder = holds == 0;
            }
        } else {
            found.mode = status.st_mode;
        }
        return found;
    });
    QString what;  // why the entry is taken off; empty: the package is there
    if (!answer || (answer->error != 0 && !answer->gone)) {
        // A stick not plugged in, a share offline, a failing disk: the package may well come
        // back, so its entry stays.
        const int error = answer ? answer->error : 0;
        const QString why = !answer
            ? QStringLiteral("Its drive or share does not answer.")
            : answer->emptyFolder
            ? QStringLiteral("Its folder is empty: connect the drive or share that holds it.")
            : answer->listError != 0
            ? QStringLiteral("Its folder cannot be read (%1): whether the drive or share that holds it is "
                             "connected cannot be told.").arg(core::systemReason(answer->listError))
            : error == ENOENT || error == ENOTDIR
            ? QStringLiteral("Its folder is not there: connect the drive or share that holds it.")
            : QStringLiteral("The system says: %1.").arg(core::systemReason(error));
        session.prompts().warning(
            QStringLiteral("Open Recent"),
            QStringLiteral("%1 cannot be reached now, so it stays on the list of recent packages:\n%2\n%3")
                .arg(name, QDir::toNativeSeparators(path), why));
        return;
    }
    if (answer->error != 0) {
        what = QStringLiteral("is no longer there");
    } else if (!S_ISREG(answer->mode)) {
        // A folder or a pipe made under the package's name is there, but no package.
        what = S_ISDIR(answer->mode) ? QStringLiteral("is now a folder") : QStringLiteral("is no longer a file");
    }
    if (!what.isEmpty()) {
        workspace.removeRecentPackage(path);
        fillRecentMenu();
        session.prompts().warning(
            QStringLiteral("Open Recent"),
            QStringLiteral("%1 %2, so it was taken off the list of recent packages:\n%3")
                .arg(name, what, QDir::toNativeSeparators(path)));
        return;
    }
    // Only packages are listed; one saved as "Dr. Smith" has no ".pmk" to tell it by.
    openPackageFile(path);
}

} // namespace ui
