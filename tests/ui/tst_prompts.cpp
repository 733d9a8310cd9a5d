#include "ui/prompts.h"

#include <QApplication>
#include <QDir>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>


#include <functional>

// Answers the next modal window from the event loop. The callback only records what it saw and
// always closes the window, so that a wrong dialog fails the test instead of hanging it.
class ModalAnswerer : public QObject
{
public:
    explicit ModalAnswerer(std::function<void(QWidget*)> answer)
        : answer(std::move(answer))
    {
        connect(&timer, &QTimer::timeout, this, &ModalAnswerer::poll);
        timer.start(10);
    }
    bool answered = false;

private:
    void poll()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || answered) {
            return;
        }
        answered = true;
        timer.stop();
        answer(modal);
    }
    QTimer timer;
    std::function<void(QWidget*)> answer;
};

// Answers the save dialogs opened while it lives, as a user does: `look` sees the dialog once,
// then the name is typed into the dialog's name field and accepted. The dialog may ignore an
// accept while it still lists the folder, so the answer is repeated until it closes; after 200
// tries it is rejected, so that a fault fails instead of hanging.
class SaveDialogAnswer : public QObject
{
public:
    SaveDialogAnswer(const QString& typed, std::function<void(QFileDialog*)> look)
        : typed(typed), look(std::move(look))
    {
        connect(&timer, &QTimer::timeout, this, &SaveDialogAnswer::poll);
        timer.start(20);
    }
    bool taken() const { return attempts <= 200; }

private:
    void poll()
    {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            if (QWidget* other = QApplication::activeModalWidget()) {
                other->close();
            }
            return;
        }
        if (++attempts > 200) {
            dialog->reject();
            return;
        }
        if (look) {
            look(dialog);
            look = nullptr;
        }
        if (auto* nameEdit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
            nameEdit->setText(typed);
        }
        QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
    }
    QTimer timer;
    QString typed;
    std::function<void(QFileDialog*)> look;
    int attempts = 0;
};

class tst_Prompts : public QObject
{
    Q_OBJECT

private slots:
    void installAndRestore();
    void warningShowsTitleTextAndOkOnly();
    void questionOffersDefaultAndReturnsAnswer();
    void cancelledFileDialogReturnsEmpty();
    void withDefaultSuffix_data();
    void withDefaultSuffix();
    void saveDialogStartsInFolderAndCompletesSuffix_data();
    void saveDialogStartsInFolderAndCompletesSuffix();
    void saveDialogSuffixFollowsTheChosenType_data();
    void saveDialogSuffixFollowsTheChosenType();
    void dialogsStandOverTheActiveWindow_data();
    void dialogsStandOverTheActiveWindow();
};

class NullPrompts : public ui::Prompts
{
public:
    QString openFileName(const QString&, const QString&, const QString&) override { return QStringLiteral("x"); }
    QString saveFileName(const QString&, const QString&, const QString&, const QString&) override
    {
        return QString();
    }
    void warning(const QString&, const QString&) override {}
    QMessageBox::StandardButton question(const QString&, const QString&, QMessageBox::StandardButtons,
                                         QMessageBox::StandardButton) override
    {
        return QMessageBox::No;
    }
};

void tst_Prompts::installAndRestore()
{
    QVERIFY(dynamic_cast<ui::DialogPrompts*>(&ui::Prompts::current()));
    NullPrompts fake;
    QCOMPARE(ui::Prompts::install(&fake), nullptr);
    QCOMPARE(&ui::Prompts::current(), static_cast<ui::Prompts*>(&fake));
    QCOMPARE(ui::Prompts::install(nullptr), static_cast<ui::Prompts*>(&fake));
    QVERIFY(dynamic_cast<ui::DialogPrompts*>(&ui::Prompts::current()));
}

void tst_Prompts::warningShowsTitleTextAndOkOnly()
{
    QString title, text;
    QMessageBox::StandardButtons buttons;
    QWidget* parent = reinterpret_cast<QWidget*>(1);
    ModalAnswerer answerer([&](QWidget* modal) {
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            title = box->windowTitle();
            text = box->text();
            buttons = box->standardButtons();
            parent = box->parentWidget();
        }
        modal->close();
    });

    ui::Prompts::current().warning(QStringLiteral("Error"), QStringLiteral("File \"a.png\" was not load."));

    QVERIFY(answerer.answered);
    QCOMPARE(title, QStringLiteral("Error"));
    QCOMPARE(text, QStringLiteral("File \"a.png\" was not load."));
    QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(parent, nullptr);
}

void tst_Prompts::questionOffersDefaultAndReturnsAnswer()
{
    QPushButton* defaultButton = nullptr;
    QPushButton* noButton = nullptr;
    ModalAnswerer answerer([&](QWidget* modal) {
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            defaultButton = box->defaultButton();
            noButton = qobject_cast<QPushButton*>(box->button(QMessageBox::No));
            if (noButton) {
                noButton->click();
                return;
            }
        }
        modal->close();
    });

    const QMessageBox::StandardButton answer = ui::Prompts::current().question(
        QStringLiteral("Facial points"), QStringLiteral("Again?"), QMessageBox::Yes | QMessageBox::No,
        QMessageBox::No);

    QVERIFY(answerer.answered);
    QVERIFY(noButton);
    QCOMPARE(defaultButton, noButton);
    QCOMPARE(answer, QMessageBox::No);
}

void tst_Prompts::cancelledFileDialogReturnsEmpty()
{
    QString caption;
    ModalAnswerer answerer([&](QWidget* modal) {
        if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
            caption = dialog->windowTitle();
            dialog->reject();
            return;
        }
        modal->close();
    });

    const QString path = ui::Prompts::current().openFileName(QStringLiteral("Select PMK file"),
                                                             QStringLiteral("PMK file (*.pmk)"));

    QVERIFY(answerer.answered);
    QCOMPARE(caption, QStringLiteral("Select PMK file"));
    QVERIFY(path.isEmpty());
}

void tst_Prompts::withDefaultSuffix_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("expected");
    QTest::newRow("bare-name-gets-suffix") << "/tmp/effect" << "pmk" << "/tmp/effect.pmk";
    QTest::newRow("pmk-name-is-kept") << "/tmp/effect.pmk" << "pmk" << "/tmp/effect.pmk";
    QTest::newRow("other-extension-is-kept") << "/tmp/effect.zip" << "pmk" << "/tmp/effect.zip";
    QTest::newRow("dot-in-folder-only-counts-not") << "/tmp/v1.2/effect" << "pmk" << "/tmp/v1.2/effect.pmk";
    QTest::newRow("relative-bare-name") << "effect" << "pmk" << "effect.pmk";
    QTest::newRow("hidden-name-has-a-dot") << "/tmp/.effect" << "pmk" << "/tmp/.effect";
    QTest::newRow("spaces-and-non-ascii") << "/tmp/mask ÄÖ" << "pmk" << "/tmp/mask ÄÖ.pmk";
    QTest::newRow("no-suffix-wanted") << "/tmp/effect" << "" << "/tmp/effect";
}

void tst_Prompts::withDefaultSuffix()
{
    QFETCH(QString, path);
    QFETCH(QString, suffix);
    QFETCH(QString, expected);
    QCOMPARE(ui::withDefaultSuffix(path, suffix), expected);
}

void tst_Prompts::saveDialogStartsInFolderAndCompletesSuffix_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("expectedName");
    QTest::newRow("bare-name") << "effect" << "effect.pmk";
    QTest::newRow("name-with-pmk") << "effect.pmk" << "effect.pmk";
    QTest::newRow("name-with-other-extension") << "effect.zip" << "effect.zip";
}

// The real dialog: it opens in the given folder and completes a typed bare name.
void tst_Prompts::saveDialogStartsInFolderAndCompletesSuffix()
{
    QFETCH(QString, typed);
    QFETCH(QString, expectedName);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = QDir(dir.path()).canonicalPath();

    QString shownFolder;
    QString shownSuffix;
    bool savesMode = false;
    const SaveDialogAnswer answer(typed, [&](QFileDialog* dialog) {
        shownFolder = dialog->directory().canonicalPath();
        shownSuffix = dialog->defaultSuffix();
        savesMode = dialog->acceptMode() == QFileDialog::AcceptSave;
    });

    const QString path = ui::Prompts::current().saveFileName(
        QStringLiteral("Save PMK file"), QStringLiteral("PMK file (*.pmk);; All files (*.*)"), folder,
        QStringLiteral("pmk"));

    QVERIFY2(answer.taken(), "the dialog never took the typed name");
    QCOMPARE(shownFolder, folder);
    QCOMPARE(shownSuffix, QStringLiteral("pmk"));
    QVERIFY(savesMode);
    QCOMPARE(path, QDir(folder).filePath(expectedName));
}

void tst_Prompts::saveDialogSuffixFollowsTheChosenType_data()
{
    QTest::addColumn<int>("typeSteps");  // how far down the file type list the user moves
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("expectedName");
    QTest::newRow("first-type") << 0 << "face" << "face.pts";
    QTest::newRow("second-type") << 1 << "face" << "face.xml";
    QTest::newRow("any-name-type") << 2 << "face" << "face.pts";
    QTest::newRow("second-type-name-with-extension") << 1 << "face.pts" << "face.pts";
}

// The real dialog: a bare name takes the suffix of the file type chosen in the dialog.
void tst_Prompts::saveDialogSuffixFollowsTheChosenType()
{
    QFETCH(int, typeSteps);
    QFETCH(QString, typed);
    QFETCH(QString, expectedName);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = QDir(dir.path()).canonicalPath();

    const SaveDialogAnswer answer(typed, [typeSteps](QFileDialog* dialog) {
        // As a user picks it: with the keyboard in the dialog's file type list.
        auto* types = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
        QVERIFY2(types, "the dialog has no file type list");
        for (int i = 0; i < typeSteps; ++i) {
            QTest::keyClick(types, Qt::Key_Down);
        }
    });

    const QString path = ui::Prompts::current().saveFileName(
        QStringLiteral("Export Points"), QStringLiteral("iBUG landmarks (*.pts);;dlib XML (*.xml);;All files (*)"),
        folder, QStringLiteral("pts"));

    QVERIFY2(answer.taken(), "the dialog never took the typed name");
    QCOMPARE(path, QDir(folder).filePath(expectedName));
}

void tst_Prompts::dialogsStandOverTheActiveWindow_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("warning") << 0;
    QTest::newRow("question") << 1;
    QTest::newRow("open-file") << 2;
    QTest::newRow("save-file") << 3;
}

// On a screen of several monitors a dialog centred on the screen under the cursor may open on
// another monitor than the window it belongs to; it is centred on the active window instead, as
// far as the screen lets it. The window lies off the screen's centre.
void tst_Prompts::dialogsStandOverTheActiveWindow()
{
    QFETCH(int, kind);
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    QWidget window;
    window.setWindowTitle(QStringLiteral("owner"));
    window.resize(screen.width() * 5 / 8, screen.height() * 2 / 3);
    window.move(screen.right() - window.width() - 10, screen.bottom() - window.height() - 10);
    window.show();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));

    QRect shownAt;
    QWidget* parent = reinterpret_cast<QWidget*>(1);
    ModalAnswerer answerer([&](QWidget* modal) {
        shownAt = modal->frameGeometry();
        parent = modal->parentWidget();
        if (auto* dialog = qobject_cast<QDialog*>(modal)) {
            dialog->reject();
            return;
        }
        modal->close();
    });
    ui::Prompts& prompts = ui::Prompts::current();
    switch (kind) {
    case 0:
        prompts.warning(QStringLiteral("Error"), QStringLiteral("Not load."));
        break;
    case 1:
        prompts.question(QStringLiteral("Facial points"), QStringLiteral("Again?"),
                         QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
        break;
    case 2:
        prompts.openFileName(QStringLiteral("Select PMK file"), QStringLiteral("PMK file (*.pmk)"));
        break;
    default:
        prompts.saveFileName(QStringLiteral("Save PMK file"), QStringLiteral("PMK file (*.pmk)"));
        break;
    }

    QVERIFY(answerer.answered);
    // Still no parent: the window may go while the dialog is open.
    QCOMPARE(parent, nullptr);
    const QPoint centre = window.frameGeometry().center();
    QVERIFY2((shownAt.center() - centre).manhattanLength() < (shownAt.center() - screen.center()).manhattanLength(),
             qPrintable(QStringLiteral("dialog at %1,%2 %3x%4, window centre %5,%6")
                            .arg(shownAt.x()).arg(shownAt.y()).arg(shownAt.width()).arg(shownAt.height())
                            .arg(centre.x()).arg(centre.y())));
}

QTEST_MAIN(tst_Prompts)
#include "tst_prompts.moc"
