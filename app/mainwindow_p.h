#pragma once
// The main window's private state, shared by the files that implement it: mainwindow.cpp (the
// widgets, the status bar, packages, unsaved work, the workspace and the Preview),
// mainwindowmenus.cpp (the menus and Open Recent) and mainwindowedits.cpp (the commands that
// change the picture or the points). Not for use outside those files.

#include "app/mainwindow.h"
#include "core/facemaskproject.h"
#include "face_detection_module/facialpointsdetector.h"
#include "ui/backgroundreader.h"
#include "ui/prompts.h"
#include "ui/previewwindow.h"
#include "ui/workspace.h"

#include <QObject>
#include <QShortcut>
#include <QString>
#include <QUndoStack>

#include <memory>

class QActionGroup;
class QLabel;
class QMenu;
class QMenuBar;
class QPushButton;
class QStatusBar;

namespace ui {

class PointView;

class MainWindow::Impl : public QObject
{
public:
    static constexpr const char* effectTypeNames[] = {"Face only", "Whole image", "Full frame effect"};

    Impl(MainWindow* owner, Prompts* prompts)
        : q(owner)
        , session(prompts)
        , saveShortcut(QKeySequence::Save, owner, nullptr, nullptr, Qt::WindowShortcut)
    {
    }

    void buildWidgets();
    void buildFileMenu();
    void buildEditMenu();
    void buildViewMenu();
    void openImage();
    void openPackage();
    // Reads path as a package, whatever its name ends in, once the work may be left.
    void openPackageFile(const QString& path);
    void importPoints();
    void exportPoints();
    void onPackageRead(const QString& path, const core::PackageReading& reading);
    // True when the package was written.
    bool showSaveDialog();
    // True when the work may be replaced or thrown away: it is unchanged, or the user saved it
    // or chose to discard it. question says what is about to happen.
    bool mayLeaveWork(const char* question);
    // The work now matches the package at path: clean, and named by it; it heads the recent
    // packages (Listed: the workspace has put it there already).
    enum Listing { NotListed, Listed };
    void markStoredAs(const QString& path, Listing listing = NotListed);
    void refreshTitle();
    void showPreview();
    void onDetectorInitialized();
    // The left of the footer: the latest event; an empty text shows the hint.
    void showStatus(const QString& text);
    // The right of the footer: the selection and the zoom.
    void showPointInfo(const QString& text);
    void paste();
    void detectAgain();
    void placeTemplate();
    void placeOnNextFace();
    // Says in the footer why no next face can be had (N, the Menu key): no picture, its faces
    // not looked for or still being found, or no other face.
    void tellNoNextFace();
    void selectFoldedPoints();
    void chooseEffectType(int type);
    void showEffectType(int type);
    // After Undo or Redo: what was taken back or done again, and what to do next.
    void reportHistoryStep(const QString& verb, const QString& step);
    void fillRecentMenu();
    void openRecent(const QString& path);
    void restoreWorkspace();
    // Window geometry, for the next start.
    void storeWorkspace();
    // Holds the close while points are exported or the Preview's picture is saved, behind a
    // progress with Cancel. False when Cancel was pressed (the write goes on) or a close is
    // waiting already. GUI thread.
    bool waitForWrites();
    bool eventFilter(QObject* watched, QEvent* event) override;

    MainWindow* q;
    // What the window and every part it makes ask through.
    PromptSession session;
    core::FaceMaskProject project;
    core::FacialPointsDetector detector;
    BackgroundReader reader;
    Workspace workspace;
    // Where the settings cannot be kept, what the footer says at start; empty when they can.
    QString settingsNotice;
    // Made when files named at start are opened and dropped at the user's first key or button
    // press in the window: meanwhile each footer message ends with settingsNotice, which the
    // start's file would otherwise replace at once.
    std::unique_ptr<QObject> noticeUntilInput;
    // The file Export Points is writing on a worker; empty when none.
    QString exportingTo;
    // True while a close waits for the writes above.
    bool waitingForWrites = false;
    QMenuBar* menuBar = nullptr;
    PointView* pointView = nullptr;
    QStatusBar* statusBar = nullptr;
    QLabel* footerLabel = nullptr;
    QLabel* selectionLabel = nullptr;
    QLabel* cursorLabel = nullptr;
    // The folded-triangles message; a click selects their corners.
    QPushButton* foldedButton = nullptr;
    QMenu* viewMenu = nullptr;
    QMenu* recentMenu = nullptr;
    QAction* saveMenuAction = nullptr; // shows Ctrl+S; saveShortcut acts on it
    QActionGroup* effectTypeGroup = nullptr;
    // Edit → Mirror Edits, applied to the view once it exists.
    QAction* mirrorEditsAction = nullptr;
    std::unique_ptr<PreviewWindow> previewWindow;
    QShortcut saveShortcut;
    // The history of edits; declared after the project, so it goes first and no step outlives
    // the model it edits.
    QUndoStack undoStack;
    // The package last opened or saved; empty before the first.
    QString packagePath;
};

} // namespace ui
