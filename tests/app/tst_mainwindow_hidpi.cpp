// The window on a screen of scale 2, set up as main() does it: markers keep their size in
// device-independent pixels, and a press picks the point under it exactly.
#include "core/facialpoints.h"
#include "tests/support/fakeprompts.h"
#include "app/mainwindow.h"
#include "ui/pointview.h"
#include "tests/support/tempworkspace.h"
#include "tests/support/testimages.h"

#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QtTest>

#include <memory>

namespace {

ui::PointView* pointView(ui::MainWindow& window)
{
    return window.findChild<ui::PointView*>(QStringLiteral("pointView"));
}

QString selectionText(ui::MainWindow& window)
{
    return window.findChild<QLabel*>(QStringLiteral("selectionLabel"))->text();
}

// Where a point at fraction f is drawn in a square-pixel view at fit zoom, in view (logical)
// pixels.
QPointF toView(ui::PointView* view, const FacialPoint& f)
{
    const QSize picture = view->facialPoints()->image().size();
    const double scale = std::min(double(view->width()) / picture.width(),
                                  double(view->height()) / picture.height());
    const QPointF offset((view->width() - picture.width() * scale) / 2,
                         (view->height() - picture.height() * scale) / 2);
    return offset + QPointF(f.x() * picture.width() * scale, f.y() * picture.height() * scale);
}

bool isRed(QRgb pixel)
{
    return qRed(pixel) > 180 && qGreen(pixel) < 80 && qBlue(pixel) < 80;
}

} // namespace

class tst_MainWindowHighDpi : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void markersKeepTheirSize();
    void pressPicksExactly_data();
    void pressPicksExactly();
    void dragMovesByLogicalPixels();
    void startSizeFitsTheScreen();

private:
    void prepare(ui::MainWindow& window);
    std::unique_ptr<FakePrompts> prompts;
    std::unique_ptr<TempWorkspace> workspace;
};

void tst_MainWindowHighDpi::initTestCase()
{
    core::registerFacialPointVector();
}

void tst_MainWindowHighDpi::init()
{
    prompts = std::make_unique<FakePrompts>();
    workspace = std::make_unique<TempWorkspace>();
    QVERIFY(workspace->isValid());
}

void tst_MainWindowHighDpi::cleanup()
{
    workspace.reset();
    prompts.reset();
}

void tst_MainWindowHighDpi::prepare(ui::MainWindow& window)
{
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.devicePixelRatioF(), 2.0);
    core::FacialPoints* model = pointView(window)->facialPoints();
    model->setImage(testimages::filled(300, 200, Qt::darkGray));
    // Three points far apart, and two 5 picture pixels (7 view pixels here) apart.
    model->setPoints({FacialPoint(0.2, 0.3), FacialPoint(0.8, 0.7), FacialPoint(0.5, 0.5),
                      FacialPoint(0.5 + 5.0 / 300, 0.5)});
}

void tst_MainWindowHighDpi::markersKeepTheirSize()
{
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    const QImage shot = view->grab().toImage();
    QCOMPARE(shot.size(), view->size() * 2);
    // The disc of point 0: 12 view pixels across, so 24 device pixels, centred where the point is.
    const QPointF centre = toView(view, view->facialPoints()->points()[0]) * 2;
    int left = int(centre.x()), right = int(centre.x());
    const int row = int(centre.y());
    while (left > 0 && isRed(shot.pixel(left - 1, row))) {
        --left;
    }
    while (right + 1 < shot.width() && isRed(shot.pixel(right + 1, row))) {
        ++right;
    }
    QVERIFY2(isRed(shot.pixel(int(centre.x()), row)), "the disc is drawn where the point is");
    const int width = right - left + 1;
    QVERIFY2(width >= 20 && width <= 26, qPrintable(QString::number(width)));
}

void tst_MainWindowHighDpi::pressPicksExactly_data()
{
    QTest::addColumn<int>("point");
    QTest::addColumn<QPoint>("offset");
    QTest::addColumn<int>("picked");
    QTest::newRow("on-the-point") << 1 << QPoint(0, 0) << 1;
    QTest::newRow("five-off") << 1 << QPoint(5, -5) << 1;
    QTest::newRow("seven-off-is-empty") << 1 << QPoint(7, 0) << -1;
    QTest::newRow("near-two-the-nearer") << 2 << QPoint(2, 0) << 2;
    QTest::newRow("near-two-the-other") << 3 << QPoint(-2, 0) << 3;
}

void tst_MainWindowHighDpi::pressPicksExactly()
{
    QFETCH(int, point);
    QFETCH(QPoint, offset);
    QFETCH(int, picked);
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    const QPoint at = toView(view, view->facialPoints()->points()[size_t(point)]).toPoint() + offset;
    QTest::mouseClick(view, Qt::LeftButton, Qt::NoModifier, at);
    if (picked < 0) {
        QCOMPARE(selectionText(window), QString());
    } else {
        QVERIFY2(selectionText(window).startsWith(QStringLiteral("Point %1:").arg(picked)),
                 qPrintable(selectionText(window)));
    }
}

void tst_MainWindowHighDpi::dragMovesByLogicalPixels()
{
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    const FacialPoint before = view->facialPoints()->points()[0];
    const QPoint start = toView(view, before).toPoint();
    const QPoint end = start + QPoint(20, 10);
    QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, start);
    QMouseEvent move(QEvent::MouseMove, QPointF(end), QPointF(view->mapToGlobal(end)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view, &move);
    QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, end);
    const FacialPoint after = view->facialPoints()->points()[0];
    const double scale = std::min(view->width() / 300.0, view->height() / 200.0);
    QVERIFY2(std::abs((after.x() - before.x()) * 300 * scale - 20) < 1e-6,
             qPrintable(QString::number((after.x() - before.x()) * 300 * scale)));
    QVERIFY(std::abs((after.y() - before.y()) * 200 * scale - 10) < 1e-6);
}

// Large text (a font DPI of 144) scales a 1024 × 768 screen by 2 to 512 × 384 logical pixels:
// the start size, 640 × 360, would stand past its edge, the status bar's right end unseen. Here the
// screen is 400 × 300; nothing is remembered.
void tst_MainWindowHighDpi::startSizeFitsTheScreen()
{
    ui::MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QRect available = window.screen()->availableGeometry();
    QVERIFY2(window.frameGeometry().width() <= available.width()
                 && window.frameGeometry().height() <= available.height(),
             qPrintable(QStringLiteral("%1 x %2 on %3 x %4")
                            .arg(window.frameGeometry().width()).arg(window.frameGeometry().height())
                            .arg(available.width()).arg(available.height())));
}

int main(int argc, char* argv[])
{
    // As main() sets it up, on a screen of scale 2.
    qputenv("QT_SCALE_FACTOR", "2");
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication application(argc, argv);
    tst_MainWindowHighDpi test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindow_hidpi.moc"
