#include "ui/cachedscrollbar.h"

#include <QScrollBar>
#include <QtTest>

class tst_CachedScrollBar : public QObject
{
    Q_OBJECT

private slots:
    void looksLikeAPlainBar_data();
    void looksLikeAPlainBar();
    void drawsThroughTheStyleOnlyWhenSomethingChanged();
};

namespace {

void setUp(QScrollBar& bar, QSize size, int maximum, int page, int value)
{
    bar.resize(size);
    bar.setRange(0, maximum);
    bar.setPageStep(page);
    bar.setValue(value);
}

QImage drawing(QWidget& widget)
{
    return widget.grab().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

} // namespace

void tst_CachedScrollBar::looksLikeAPlainBar_data()
{
    QTest::addColumn<Qt::Orientation>("orientation");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("changedTo");
    QTest::newRow("horizontal, at the start, then the end") << Qt::Horizontal << 0 << 3000;
    QTest::newRow("horizontal, in the middle, then the start") << Qt::Horizontal << 1500 << 0;
    QTest::newRow("vertical, at the end, then the middle") << Qt::Vertical << 3000 << 1200;
    QTest::newRow("vertical, near the start, then near the end") << Qt::Vertical << 40 << 2960;
}

// The kept drawing is what the style draws, before and after the value moves.
void tst_CachedScrollBar::looksLikeAPlainBar()
{
    QFETCH(Qt::Orientation, orientation);
    QFETCH(int, value);
    QFETCH(int, changedTo);
    const QSize size = orientation == Qt::Horizontal ? QSize(400, 16) : QSize(16, 300);
    ui::CachedScrollBar cached(orientation);
    QScrollBar plain(orientation);
    setUp(cached, size, 3000, 400, value);
    setUp(plain, size, 3000, 400, value);
    QCOMPARE(drawing(cached), drawing(plain));
    QCOMPARE(drawing(cached), drawing(plain));

    const QImage before = drawing(cached);
    cached.setValue(changedTo);
    plain.setValue(changedTo);
    const QImage after = drawing(cached);
    QVERIFY(after != before);
    QCOMPARE(after, drawing(plain));

    cached.resize(size + QSize(20, 20));
    plain.resize(size + QSize(20, 20));
    QCOMPARE(drawing(cached), drawing(plain));
}

void tst_CachedScrollBar::drawsThroughTheStyleOnlyWhenSomethingChanged()
{
    ui::CachedScrollBar bar(Qt::Horizontal);
    setUp(bar, QSize(400, 16), 3000, 400, 100);
    drawing(bar);
    const int first = bar.styleDrawCount();
    QVERIFY(first >= 1);
    drawing(bar);
    drawing(bar);
    QCOMPARE(bar.styleDrawCount(), first);

    bar.setPageStep(800);
    drawing(bar);
    QCOMPARE(bar.styleDrawCount(), first + 1);
    bar.setEnabled(false);
    drawing(bar);
    QCOMPARE(bar.styleDrawCount(), first + 2);
    drawing(bar);
    QCOMPARE(bar.styleDrawCount(), first + 2);
}

QTEST_MAIN(tst_CachedScrollBar)
#include "tst_cachedscrollbar.moc"
