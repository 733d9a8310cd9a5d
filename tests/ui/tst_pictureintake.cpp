#include "tests/support/busyworkers.h"
#include "core/facemaskproject.h"
#include "core/facialpoints.h"
#include "core/localnames.h"
#include "tests/support/fakeprompts.h"
#include "tests/support/hostilepictures.h"
#include "ui/pictureintake.h"
#include "ui/pointview.h"
#include "ui/previewwindow.h"
#include "tests/support/testimages.h"
#include "ui/workprogress.h"

#include <QAction>
#include <QBuffer>
#include <QSignalSpy>
#include <QThread>
#include <QApplication>
#include <QClipboard>
#include <QDropEvent>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>

using namespace hostilepictures;

// Every door a picture comes in by, in both windows, held to the same bounds: hostile pictures
// are refused with the check that refused them, and the reading never runs on the GUI thread.
class tst_PictureIntake : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void everyDoorRefusesOrBounds_data();
    void everyDoorRefusesOrBounds();
    void decodedPictureAboveTheBoundIsRefused();
    void windowStaysResponsiveDuringASlowPaste();
    void newPictureAbandonsTheOneBeingRead();
    void jpegCutShortIsTakenWithAWord_data();
    void jpegCutShortIsTakenWithAWord();
    void nameThatIsNotUtf8Opens_data();
    void nameThatIsNotUtf8Opens();
    void filesCopiedInAFileManagerArePasted_data();
    void filesCopiedInAFileManagerArePasted();
    void dropIsTakenAsACopy_data();
    void dropIsTakenAsACopy();
    void pictureFromABrowser_data();
    void pictureFromABrowser();
    void webAddressIsToldOnlyForAPicture_data();
    void webAddressIsToldOnlyForAPicture();
    void severalFilesOpenOneAndSaySo_data();
    void severalFilesOpenOneAndSaySo();
    void severalFilesNoneOpensNamesTheRefusedOne_data();
    void severalFilesNoneOpensNamesTheRefusedOne();
    void filesBesideAPackageOrVideoAreToldLeftOut_data();
    void filesBesideAPackageOrVideoAreToldLeftOut();
    void fileThatHoldsNoPictureGoesToTheContentOpener_data();
    void fileThatHoldsNoPictureGoesToTheContentOpener();

private:
    // Handed to the window under test, as its main window would; the installed prompts stand
    // in for Prompts::current() and must never be asked.
    std::unique_ptr<FakePrompts> prompts;
    std::unique_ptr<FakePrompts> installedPrompts;
    std::unique_ptr<ui::PromptSession> session;
    std::unique_ptr<QTemporaryDir> dir;
};

namespace {

const QString pngBomb = QStringLiteral("png-100-text-chunks-of-7.5-mb");
const QString fifo = QStringLiteral("fifo");

// QApplication hands a drop only to the widget that took the drag's entry; the handlers are
// called directly instead.
struct DroppableView : ui::PointView {
    explicit DroppableView(ui::PromptSession* session) : ui::PointView(nullptr, session) {}
    using ui::PointView::dropEvent;
};

struct DroppablePreview : ui::PreviewWindow {
    DroppablePreview(core::FaceMaskProject* project, ui::PromptSession* session)
        : ui::PreviewWindow(project, nullptr, session)
    {
    }
    using ui::PreviewWindow::dropEvent;
};

// The window under test: the main window's point view or the Preview window.
struct Door {
    Door(bool preview, ui::PromptSession* session)
    {
        if (preview) {
            window = std::make_unique<DroppablePreview>(&project, session);
            intake = window->pictureIntake();
        } else {
            view = std::make_unique<DroppableView>(session);
            view->setFacialPoints(&model);
            intake = view->pictureIntake();
        }
    }
    QImage picture() const { return window ? window->previewImage() : model.image(); }

    // Opens path as the window's Open does (the Preview asks prompts for the name); false when
    // the Preview has no such action.
    bool open(FakePrompts& prompts, const QString& path)
    {
        if (!window) {
            view->openPictureFile(path);
            return true;
        }
        prompts.fileNames.enqueue(path);
        auto* action = window->findChild<QAction*>(QStringLiteral("openFacePictureAction"));
        if (action) {
            action->trigger();
        }
        return action != nullptr;
    }

    // Drops data on the window; whether the drop was taken.
    bool drop(QMimeData* data)
    {
        QDropEvent event(QPointF(5, 5), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        event.setAccepted(false);
        if (window) {
            window->dropEvent(&event);
        } else {
            view->dropEvent(&event);
        }
        return event.isAccepted();
    }

    core::FaceMaskProject project;
    core::FacialPoints model;
    std::unique_ptr<DroppableView> view;
    std::unique_ptr<DroppablePreview> window;
    ui::PictureIntake* intake = nullptr;
};

} // namespace

void tst_PictureIntake::init()
{
    prompts = std::make_unique<FakePrompts>(FakePrompts::NotInstalled);
    installedPrompts = std::make_unique<FakePrompts>();
    session = std::make_unique<ui::PromptSession>(prompts.get());
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void tst_PictureIntake::cleanup()
{
    const QList<PromptRecord> stray = installedPrompts->records;
    session.reset();
    installedPrompts.reset();
    prompts.reset();
    dir.reset();
    QVERIFY(QThreadPool::globalInstance()->waitForDone(60000));
    QVERIFY2(stray.isEmpty(), qPrintable(QStringLiteral("asked past the window's prompts: ") + stray.value(0).text));
}

void tst_PictureIntake::everyDoorRefusesOrBounds_data()
{
    QTest::addColumn<QString>("door");  // "open", "paste" or "drop"
    QTest::addColumn<bool>("preview");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("mimeType");  // of pasted bytes
    QTest::addColumn<QString>("reason");    // empty: taken, as 40 x 30

    struct Case {
        QString kind;
        QByteArray bytes;
        QString mimeType;
        QString reason;
    };
    const QList<Case> cases = {
        {QStringLiteral("gif-1x1-screen-12000x12000-frame"), gifSizeLie(), "image/gif",
         "picture larger than 120 megapixels"},
        {QStringLiteral("ico-16x16-holding-23000x23000-png"), icoSizeLie(23000, 23000), "image/x-icon",
         "picture: ICO files are not read, as the size of the pictures they hold cannot be "
         "established before decoding"},
        {pngBomb, pngTextBomb(100, 7'500'000), "image/png", QString()},
        {QStringLiteral("png-declaring-23000x23000"), blackPng(23000, 23000, false), "image/png",
         "picture larger than 120 megapixels"},
        {QStringLiteral("jpeg-with-2000-scans"), jpegScanBomb(2000), "image/jpeg",
         "picture: JPEG of more than 100 scans"},
        {QStringLiteral("bmp-70-byte-header-without-pixels"), bmpWithoutPixels(64, 48), "image/bmp",
         "picture: BMP file shorter than the pixels its header declares"},
        {fifo, QByteArray(), QString(), "not a regular file"},
    };
    for (const char* door : {"open", "paste", "drop"}) {
        for (bool preview : {false, true}) {
            for (const Case& c : cases) {
                const QString name = QStringLiteral("%1-%2-%3")
                                         .arg(preview ? "preview" : "view", door, c.kind);
                QTest::newRow(qPrintable(name)) << QString::fromLatin1(door) << preview << c.kind
                                                << c.bytes << c.mimeType << c.reason;
            }
        }
    }
}

void tst_PictureIntake::everyDoorRefusesOrBounds()
{
    QFETCH(QString, door);
    QFETCH(bool, preview);
    QFETCH(QString, kind);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, mimeType);
    QFETCH(QString, reason);

    const QString path = dir->filePath(kind);
    if (kind == fifo) {
        // No writer ever comes: opening it the usual way would block the window for good.
        QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
    } else {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }

    Door target(preview, session.get());
    // Pasted pictures come as their encoded bytes; a pasted pipe, as its file's URL.
    auto data = std::make_unique<QMimeData>();
    if (door == QLatin1String("paste") && kind != fifo) {
        data->setData(mimeType, bytes);
    } else {
        data->setUrls({QUrl::fromLocalFile(path)});
    }
    if (door == QLatin1String("open")) {
        QVERIFY(target.open(*prompts, path));
    } else if (door == QLatin1String("paste")) {
        if (preview) {
            QVERIFY(target.window->insertFromMimeData(data.get()));
        } else {
            QGuiApplication::clipboard()->setMimeData(data.release());
            QTest::keyClick(target.view.get(), Qt::Key_V, Qt::ControlModifier);
        }
    } else {
        QVERIFY2(target.drop(data.get()), "a dropped file to try is taken");
    }
    QTRY_VERIFY_WITH_TIMEOUT(!target.intake->isReading(), 60000);

    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    if (reason.isEmpty()) {
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.value(0).text));
        QCOMPARE(target.picture().size(), QSize(40, 30));
        return;
    }
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(warnings[0].title, QStringLiteral("Error"));
    QCOMPARE(warnings[0].text.section(QLatin1Char('\n'), 1), reason);
    const QString first = door == QLatin1String("paste") && kind != fifo
        ? QStringLiteral("The pasted picture was not load.")
        : QStringLiteral("File \"%1\" was not load.").arg(path);
    QCOMPARE(warnings[0].text.section(QLatin1Char('\n'), 0, 0), first);
    QVERIFY(target.picture().isNull());
}

void tst_PictureIntake::nameThatIsNotUtf8Opens_data()
{
    QTest::addColumn<QString>("door");  // "open" or "drop"
    QTest::addColumn<bool>("preview");

    for (const char* door : {"open", "drop"}) {
        for (bool preview : {false, true}) {
            QTest::newRow(qPrintable(QStringLiteral("%1-%2").arg(preview ? "preview" : "view", door)))
                << QString::fromLatin1(door) << preview;
        }
    }
}

// A picture named in Latin-1 ("été.png" from an old archive), as the program reads names.
void tst_PictureIntake::nameThatIsNotUtf8Opens()
{
    QFETCH(QString, door);
    QFETCH(bool, preview);
    core::useByteExactLocalNames();
    const QByteArray bytes = QFile::encodeName(dir->path()) + "/\xe9t\xe9.png";
    const QByteArray png = blackPng(40, 30);
    const int descriptor = ::open(bytes.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    QVERIFY(descriptor >= 0);
    QVERIFY(::write(descriptor, png.constData(), size_t(png.size())) == png.size());
    ::close(descriptor);
    const QString path = QFile::decodeName(bytes);

    Door target(preview, session.get());
    if (door == QLatin1String("open")) {
        QVERIFY(target.open(*prompts, path));
    } else {
        // A file manager percent-encodes the name's bytes.
        QMimeData data;
        data.setUrls({QUrl::fromEncoded("file://" + bytes.toPercentEncoding("/"), QUrl::StrictMode)});
        QVERIFY2(target.drop(&data), "the dropped picture is taken");
    }
    QTRY_VERIFY_WITH_TIMEOUT(!target.intake->isReading(), 60000);
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.value(0).text));
    QCOMPARE(target.picture().size(), QSize(40, 30));
}

void tst_PictureIntake::jpegCutShortIsTakenWithAWord_data()
{
    QTest::addColumn<bool>("pasted");
    QTest::newRow("opened") << false;
    QTest::newRow("pasted") << true;
}

// A JPEG cut short (a download that stopped) is shown as other programs show it, its missing
// part grey, and the user is told why.
void tst_PictureIntake::jpegCutShortIsTakenWithAWord()
{
    QFETCH(bool, pasted);
    QImage picture(200, 150, QImage::Format_RGB32);
    picture.fill(QColor(200, 40, 40));
    const QByteArray whole = testimages::encoded(picture, "jpg");
    const QByteArray cut = whole.left(whole.size() - 40);
    const QString path = dir->filePath(QStringLiteral("download.jpg"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(cut) == cut.size());
    file.close();

    Door target(false, session.get());
    // The box speaks of the picture shown behind it.
    QSize shownBehindTheBox;
    prompts->whileWarning = [&] { shownBehindTheBox = target.picture().size(); };
    if (pasted) {
        auto data = std::make_unique<QMimeData>();
        data->setData(QStringLiteral("image/jpeg"), cut);
        QVERIFY(target.intake->takeMimeData(data.get()));
    } else {
        target.view->openPictureFile(path);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!target.intake->isReading(), 60000);
    QCOMPARE(target.picture().size(), QSize(200, 150));
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(warnings[0].title, QStringLiteral("Picture"));
    const QString what = pasted ? QStringLiteral("The pasted picture") : QStringLiteral("File \"%1\"").arg(path);
    QCOMPARE(warnings[0].text, what + QStringLiteral(" was opened, but the file ends before its picture does (cut short?): "
                                                     "the missing part is grey."));
    QCOMPARE(shownBehindTheBox, QSize(200, 150));
}

void tst_PictureIntake::decodedPictureAboveTheBoundIsRefused()
{
    Door target(false, session.get());
    QMimeData data;
    // One bit per pixel: 15 MB in memory, but one row more than 120 megapixels.
    data.setImageData(QImage(12001, 10000, QImage::Format_Mono));
    QVERIFY(target.view->insertFromMimeData(&data));
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(warnings[0].text, QStringLiteral("The pasted picture was not load.\npicture larger than 120 megapixels"));
    QVERIFY(target.picture().isNull());
}

void tst_PictureIntake::windowStaysResponsiveDuringASlowPaste()
{
    Door target(false, session.get());
    const QByteArray png = testimages::encoded(testimages::filled(640, 480, Qt::darkBlue), "png");
    QMimeData data;
    data.setData(QStringLiteral("image/png"), png);

    // With every worker held, the decoding cannot have started, let alone ended, while the
    // events below are handled: only the GUI thread's own work could deliver the picture.
    auto busy = std::make_unique<BusyWorkers>();
    QVERIFY(target.view->insertFromMimeData(&data));
    QVERIFY(target.intake->isReading());
    bool handled = false;
    QTimer::singleShot(0, this, [&] { handled = true; });
    QTRY_VERIFY(handled);
    target.view->update();
    QCoreApplication::processEvents();
    QVERIFY2(target.picture().isNull(), "the pasted bytes are decoded on a worker, not while pasting");
    QVERIFY(target.intake->isReading());
    // Past 300 ms the progress shows, with its Cancel button.
    QTRY_VERIFY(target.intake->progress() && target.intake->progress()->dialog());

    busy.reset();
    QTRY_COMPARE(target.picture().size(), QSize(640, 480));
    QVERIFY(!target.intake->progress());
}

void tst_PictureIntake::newPictureAbandonsTheOneBeingRead()
{
    Door target(false, session.get());
    QMimeData first;
    first.setData(QStringLiteral("image/png"), testimages::encoded(testimages::filled(64, 48, Qt::red), "png"));
    QMimeData second;
    second.setData(QStringLiteral("image/png"), testimages::encoded(testimages::filled(32, 24, Qt::blue), "png"));
    QSignalSpy taken(target.intake, &ui::PictureIntake::pictureTaken);

    auto busy = std::make_unique<BusyWorkers>();
    QVERIFY(target.view->insertFromMimeData(&first));
    QVERIFY(target.view->insertFromMimeData(&second));
    busy.reset();
    QTRY_VERIFY(!target.intake->isReading());
    QVERIFY(QThreadPool::globalInstance()->waitForDone(60000));
    QCoreApplication::processEvents();
    QCOMPARE(taken.count(), 1);
    QCOMPARE(target.picture().size(), QSize(32, 24));
}

void tst_PictureIntake::filesCopiedInAFileManagerArePasted_data()
{
    QTest::addColumn<bool>("preview");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QByteArray>("text"); // %1: the picture's URL

    for (bool preview : {false, true}) {
        const char* window = preview ? "preview" : "view";
        QTest::addRow("%s-gnome-copy", window) << preview << "x-special/gnome-copied-files" << QByteArray("copy\n%1");
        QTest::addRow("%s-gnome-cut-newline", window)
            << preview << "x-special/gnome-copied-files" << QByteArray("cut\n%1\n");
        QTest::addRow("%s-uri-list-crlf", window) << preview << "text/uri-list" << QByteArray("# copied\r\n%1\r\n");
    }
}

// File managers put copied files on the clipboard in forms of their own; the picture file is
// taken from each.
void tst_PictureIntake::filesCopiedInAFileManagerArePasted()
{
    QFETCH(bool, preview);
    QFETCH(QString, format);
    QFETCH(QByteArray, text);

    const QString path = dir->filePath(QStringLiteral("a face #1.png"));
    QVERIFY(testimages::filled(40, 30, Qt::green).save(path));
    Door target(preview, session.get());
    auto data = std::make_unique<QMimeData>();
    data->setData(format, text.replace("%1", QUrl::fromLocalFile(path).toEncoded()));
    if (preview) {
        QVERIFY(target.window->insertFromMimeData(data.get()));
    } else {
        QGuiApplication::clipboard()->setMimeData(data.release());
        QTest::keyClick(target.view.get(), Qt::Key_V, Qt::ControlModifier);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!target.intake->isReading(), 60000);
    QCOMPARE(target.picture().size(), QSize(40, 30));
    QVERIFY(prompts->ofKind(QStringLiteral("warning")).isEmpty());
}

void tst_PictureIntake::dropIsTakenAsACopy_data()
{
    QTest::addColumn<bool>("preview");
    QTest::newRow("view") << false;
    QTest::newRow("preview") << true;
}

// Shift held proposes a move: the source would then take its picture away (an editor's object,
// a file), but the window only ever copies it.
void tst_PictureIntake::dropIsTakenAsACopy()
{
    QFETCH(bool, preview);
    const QString path = dir->filePath(QStringLiteral("face.png"));
    QVERIFY(testimages::filled(40, 30, Qt::green).save(path));
    Door target(preview, session.get());
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(path)});
    QDropEvent event(QPointF(5, 5), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::ShiftModifier);
    QCOMPARE(event.proposedAction(), Qt::MoveAction);
    event.setAccepted(false);
    if (preview) {
        target.window->dropEvent(&event);
    } else {
        target.view->dropEvent(&event);
    }
    QVERIFY(event.isAccepted());
    QCOMPARE(event.dropAction(), Qt::CopyAction);
    QTRY_COMPARE(target.picture().size(), QSize(40, 30));
}

void tst_PictureIntake::pictureFromABrowser_data()
{
    QTest::addColumn<bool>("preview");
    QTest::addColumn<bool>("dropped");
    QTest::addColumn<QString>("offer"); // "address-alone", "address-and-picture", "data-url"

    for (bool preview : {false, true}) {
        for (bool dropped : {false, true}) {
            for (const char* offer : {"address-alone", "address-and-picture", "data-url"}) {
                QTest::addRow("%s-%s-%s", preview ? "preview" : "view", dropped ? "drop" : "paste", offer)
                    << preview << dropped << QString::fromLatin1(offer);
            }
        }
    }
}

// A browser offers a picture's address, its HTML and often the picture itself: the picture is
// taken; given the address alone, the user learns why nothing came.
void tst_PictureIntake::pictureFromABrowser()
{
    QFETCH(bool, preview);
    QFETCH(bool, dropped);
    QFETCH(QString, offer);

    Door target(preview, session.get());
    auto data = std::make_unique<QMimeData>();
    const QByteArray png = testimages::encoded(testimages::filled(40, 30, Qt::green), "png");
    // A picture embedded in the page has no address of its own: the page gives its bytes.
    const QByteArray address = offer == QLatin1String("data-url") ? "data:image/png;base64," + png.toBase64()
                                                                  : QByteArray("https://example.com/photos/face.jpg");
    data->setData(QStringLiteral("text/uri-list"), address + "\r\n");
    data->setData(QStringLiteral("text/html"), "<img src=\"" + address + "\">");
    if (offer == QLatin1String("address-and-picture")) {
        data->setData(QStringLiteral("image/png"), png);
    }
    if (dropped) {
        QVERIFY(target.drop(data.get()));
    } else if (preview) {
        QVERIFY(target.window->insertFromMimeData(data.get()));
    } else {
        QVERIFY(target.view->insertFromMimeData(data.get()));
    }
    QTRY_VERIFY_WITH_TIMEOUT(!target.intake->isReading(), 60000);

    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    if (offer != QLatin1String("address-alone")) {
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.value(0).text.left(200)));
        QCOMPARE(target.picture().size(), QSize(40, 30));
        return;
    }
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(warnings[0].text, QStringLiteral("The picture at \"https://example.com/photos/face.jpg\" was not load.\n"
                                              "It is not on this computer: save it first, or copy the picture "
                                              "itself (Copy Image) and paste it."));
    QVERIFY(target.picture().isNull());
}

void tst_PictureIntake::webAddressIsToldOnlyForAPicture_data()
{
    QTest::addColumn<bool>("preview");
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<QByteArray>("html"); // beside the address; none when empty
    QTest::addColumn<bool>("told");

    for (bool preview : {false, true}) {
        const char* window = preview ? "preview" : "view";
        // A browser's Copy Link: the page's address, and a link to it.
        QTest::addRow("%s-link-to-a-page", window) << preview << QByteArray("https://example.com/article")
                                                   << QByteArray("<a href=\"https://example.com/article\">An article</a>")
                                                   << false;
        QTest::addRow("%s-page-address-alone", window) << preview << QByteArray("https://example.com/news?id=3")
                                                       << QByteArray() << false;
        QTest::addRow("%s-picture-by-its-name", window) << preview << QByteArray("https://example.com/photos/face.JPG")
                                                        << QByteArray() << true;
        QTest::addRow("%s-picture-shown-by-the-page", window)
            << preview << QByteArray("https://images.example.com/photo?id=3&size=2")
            << QByteArray("<img src=\"https://images.example.com/photo?id=3&amp;size=2\" alt=\"\">") << true;
    }
}

// Only the address of a picture is told as one that is not fetched; the address of a page holds
// no picture, and is ignored as any other data without one.
void tst_PictureIntake::webAddressIsToldOnlyForAPicture()
{
    QFETCH(bool, preview);
    QFETCH(QByteArray, address);
    QFETCH(QByteArray, html);
    QFETCH(bool, told);

    Door target(preview, session.get());
    QMimeData data;
    data.setData(QStringLiteral("text/uri-list"), address + "\r\n");
    if (!html.isEmpty()) {
        data.setData(QStringLiteral("text/html"), html);
    }
    const bool taken = preview ? target.window->insertFromMimeData(&data) : target.view->insertFromMimeData(&data);
    QCOMPARE(taken, told);
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    QCOMPARE(warnings.size(), told ? 1 : 0);
    if (told) {
        QVERIFY2(warnings[0].text.contains(QStringLiteral("It is not on this computer")), qPrintable(warnings[0].text));
    }
    QVERIFY(target.picture().isNull());
}

void tst_PictureIntake::severalFilesOpenOneAndSaySo_data()
{
    QTest::addColumn<bool>("preview");
    QTest::addColumn<QStringList>("files"); // "text" holds no picture, any other name a picture
    QTest::addColumn<QString>("opened");    // empty: one file alone, nothing more to say
    QTest::addColumn<QString>("others");

    for (bool preview : {false, true}) {
        const char* window = preview ? "preview" : "view";
        QTest::addRow("%s-one-file", window) << preview << QStringList{"a.png"} << QString() << QString();
        QTest::addRow("%s-three-pictures", window)
            << preview << QStringList{"a.png", "b.png", "c.png"} << "a.png" << "the 2 other files given with it were not";
        // The file named is the one opened, not the first given.
        QTest::addRow("%s-a-text-first", window)
            << preview << QStringList{"text", "b.png"} << "b.png" << "the other file given with it was not";
    }
}

// A user who drops or pastes several photos learns that one was opened, which, and, in the main
// window, how to make a package of each.
void tst_PictureIntake::severalFilesOpenOneAndSaySo()
{
    QFETCH(bool, preview);
    QFETCH(QStringList, files);
    QFETCH(QString, opened);
    QFETCH(QString, others);

    QList<QUrl> urls;
    for (int i = 0; i < files.size(); ++i) {
        const QString path = dir->filePath(files[i]);
        if (files[i] == QLatin1String("text")) {
            QFile text(path);
            QVERIFY(text.open(QIODevice::WriteOnly) && text.write("no picture here\n") > 0);
        } else {
            QVERIFY(testimages::filled(40 + i, 30, Qt::green).save(path));
        }
        urls.append(QUrl::fromLocalFile(path));
    }
    Door target(preview, session.get());
    // The box speaks of the picture shown behind it.
    QSize shownBehindTheBox;
    prompts->whileWarning = [&] { shownBehindTheBox = target.picture().size(); };
    QMimeData data;
    data.setUrls(urls);
    QVERIFY(target.drop(&data));
    QTRY_VERIFY_WITH_TIMEOUT(!target.intake->isReading(), 60000);
    const int taken = std::max(0, int(files.indexOf(opened.isEmpty() ? files[0] : opened)));
    QCOMPARE(target.picture().size(), QSize(40 + taken, 30));
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    if (opened.isEmpty()) {
        QVERIFY(warnings.isEmpty());
        return;
    }
    QCOMPARE(warnings.size(), 1);
    const QString text = warnings[0].text;
    QVERIFY2(text.startsWith(QStringLiteral("File \"%1\" was opened; %2").arg(dir->filePath(opened), others)), qPrintable(text));
    QCOMPARE(text.contains(QLatin1String("facemask-cli make")), !preview);
    QCOMPARE(shownBehindTheBox, QSize(40 + taken, 30));
}

void tst_PictureIntake::severalFilesNoneOpensNamesTheRefusedOne_data()
{
    QTest::addColumn<bool>("preview");
    QTest::addColumn<QStringList>("files"); // "text" holds no picture, "huge.png" is refused
    for (bool preview : {false, true}) {
        const char* window = preview ? "preview" : "view";
        QTest::addRow("%s-refused-first", window) << preview << QStringList{"huge.png", "text"};
        QTest::addRow("%s-refused-after-a-text", window) << preview << QStringList{"text", "huge.png"};
    }
}

// Of several files dropped, none opens: the reason given is that of the refused picture, and the
// message names that file, not the first given.
void tst_PictureIntake::severalFilesNoneOpensNamesTheRefusedOne()
{
    QFETCH(bool, preview);
    QFETCH(QStringList, files);

    QList<QUrl> urls;
    for (const QString& name : files) {
        const QString path = dir->filePath(name);
        QFile file(path);
        const QByteArray bytes = name == QLatin1String("text") ? QByteArray("no picture here\n") : blackPng(23000, 23000, false);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        urls.append(QUrl::fromLocalFile(path));
    }
    Door target(preview, session.get());
    QMimeData data;
    data.setUrls(urls);
    QVERIFY(target.drop(&data));
    QTRY_VERIFY_WITH_TIMEOUT(!target.intake->isReading(), 60000);
    QVERIFY(target.picture().isNull());
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(warnings[0].text, QStringLiteral("File \"%1\" was not load.\npicture larger than 120 megapixels")
                                   .arg(dir->filePath(QStringLiteral("huge.png"))));
}

void tst_PictureIntake::filesBesideAPackageOrVideoAreToldLeftOut_data()
{
    QTest::addColumn<QStringList>("files"); // ".pmk" a package, ".mp4" a video, any other a picture
    QTest::addColumn<QString>("opened");    // empty: nothing left out, nothing to say
    QTest::addColumn<QString>("leftOut");

    QTest::newRow("package-alone") << QStringList{"a.pmk"} << QString() << QString();
    QTest::newRow("package-and-picture") << QStringList{"a.pmk", "b.png"} << "a.pmk" << "The other file given with";
    QTest::newRow("package-and-two-pictures") << QStringList{"a.pmk", "b.png", "c.png"} << "a.pmk" << "The 2 other files given with";
    // The Preview opens a video wherever it stands among the files.
    QTest::newRow("picture-then-video") << QStringList{"b.png", "clip.mp4"} << "clip.mp4" << "The other file given with";
    QTest::newRow("video-alone") << QStringList{"clip.mp4"} << QString() << QString();
}

// A package or a video the Preview takes instead of a picture leaves the other files given with
// it out; the user learns it, as for several pictures.
void tst_PictureIntake::filesBesideAPackageOrVideoAreToldLeftOut()
{
    QFETCH(QStringList, files);
    QFETCH(QString, opened);
    QFETCH(QString, leftOut);

    QList<QUrl> urls;
    for (const QString& name : files) {
        const QString path = dir->filePath(name);
        if (name.endsWith(QLatin1String(".png"))) {
            QVERIFY(testimages::filled(40, 30, Qt::green).save(path));
        } else {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("not read here\n") > 0);
        }
        urls.append(QUrl::fromLocalFile(path));
    }
    Door target(true, session.get());
    QMimeData data;
    data.setUrls(urls);
    QVERIFY(target.drop(&data));
    QTRY_VERIFY_WITH_TIMEOUT(!target.intake->isReading(), 60000);
    QVERIFY(target.picture().isNull());
    QList<PromptRecord> told;
    for (const PromptRecord& warning : prompts->ofKind(QStringLiteral("warning"))) {
        if (warning.text.contains(QLatin1String("given with"))) {
            told.append(warning);
        }
    }
    if (opened.isEmpty()) {
        QVERIFY(told.isEmpty());
        return;
    }
    QCOMPARE(told.size(), 1);
    QCOMPARE(told[0].title, QStringLiteral("Picture"));
    QVERIFY2(told[0].text.startsWith(QStringLiteral("%1 \"%2\" ").arg(leftOut, dir->filePath(opened))), qPrintable(told[0].text));
    QVERIFY2(told[0].text.endsWith(QLatin1String(": the window takes one file at a time.")), qPrintable(told[0].text));
}

void tst_PictureIntake::fileThatHoldsNoPictureGoesToTheContentOpener_data()
{
    // Names starting "clip" hold the start of an MP4 file, "stream" of a transport stream,
    // "notes" text, "cut" a JPEG cut after its header; ".png" a picture.
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("opened"); // given to the content opener; empty: none
    QTest::addColumn<bool>("pictureTaken");
    QTest::addColumn<QString>("told"); // the start of the one warning; empty: none

    QTest::newRow("video-without-a-suffix") << QStringList{"clip"} << "clip" << false << QString();
    QTest::newRow("video-named-as-a-picture") << QStringList{"clip.jpg"} << "clip.jpg" << false << QString();
    QTest::newRow("transport-stream-without-a-suffix") << QStringList{"stream"} << "stream" << false << QString();
    QTest::newRow("video-then-picture") << QStringList{"clip", "b.png"} << "clip" << false
                                        << "The other file given with";
    QTest::newRow("picture-then-video") << QStringList{"b.png", "clip"} << QString() << true
                                        << "File \"%1\" was opened; the other file given with it was not";
    QTest::newRow("text-without-a-suffix") << QStringList{"notes"} << QString() << false << QString();
    QTest::newRow("damaged-picture") << QStringList{"cut.jpg"} << QString() << false << "File \"%1\" was not load.\n";
}

// A file pasted or dropped that holds no picture is offered to the window's content opener (the
// Preview's: a video whatever its name), asked on the reading worker; one that is no video is
// refused in the same words as before.
void tst_PictureIntake::fileThatHoldsNoPictureGoesToTheContentOpener()
{
    QFETCH(QStringList, files);
    QFETCH(QString, opened);
    QFETCH(bool, pictureTaken);
    QFETCH(QString, told);

    QByteArray mp4("\0\0\0\x20" "ftypisom\0\0\x02\0" "isomiso2avc1mp41", 32);
    mp4 += QByteArray("\0\0\0\x08" "free", 8) + QByteArray(4000, '\0');
    QByteArray stream;
    for (int packet = 0; packet < 20; ++packet) {
        stream += '\x47' + QByteArray(187, '\xff');
    }
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    QVERIFY(buffer.open(QIODevice::WriteOnly) && testimages::filled(64, 48, Qt::blue).save(&buffer, "JPEG"));
    QList<QUrl> urls;
    for (const QString& name : files) {
        const QString path = dir->filePath(name);
        if (name.endsWith(QLatin1String(".png"))) {
            QVERIFY(testimages::filled(40, 30, Qt::green).save(path));
        } else {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            const QByteArray content = name.startsWith(QLatin1String("clip"))     ? mp4
                                       : name.startsWith(QLatin1String("stream")) ? stream
                                       : name.startsWith(QLatin1String("cut"))    ? jpeg.left(jpeg.size() / 8)
                                                                                  : QByteArray("a few words\n");
            QVERIFY(file.write(content) == content.size());
        }
        urls.append(QUrl::fromLocalFile(path));
    }
    ui::PictureIntake intake(session.get());
    QStringList openedPaths;
    std::atomic<bool> askedOnTheWindowsThread{false};
    intake.setContentOpener(
        [&askedOnTheWindowsThread](const QString& path) {
            if (QThread::currentThread() == qApp->thread()) {
                askedOnTheWindowsThread = true;
            }
            return ui::startsAsVideoFile(path);
        },
        [&openedPaths](const QString& path) { openedPaths.append(path); });
    QSignalSpy taken(&intake, &ui::PictureIntake::pictureTaken);
    QMimeData data;
    data.setUrls(urls);
    QVERIFY(intake.takeMimeData(&data));
    QTRY_VERIFY_WITH_TIMEOUT(!intake.isReading(), 60000);
    QCOMPARE(openedPaths, opened.isEmpty() ? QStringList() : QStringList{dir->filePath(opened)});
    QCOMPARE(taken.count(), pictureTaken ? 1 : 0);
    QVERIFY(!askedOnTheWindowsThread);
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    if (told.isEmpty()) {
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.value(0).text));
        return;
    }
    QCOMPARE(warnings.size(), 1);
    const QString start = told.contains(QLatin1String("%1")) ? told.arg(dir->filePath(files.front())) : told;
    QVERIFY2(warnings[0].text.startsWith(start), qPrintable(warnings[0].text));
}

QTEST_MAIN(tst_PictureIntake)
#include "tst_pictureintake.moc"
