// ui::FooterLabel: a message wider than the window ends in "…" and is shown whole on demand,
// without making the window wider or the footer taller.
#include "ui/footerlabel.h"

#include <QBoxLayout>
#include <QHelpEvent>
#include <QToolTip>
#include <QtTest>

class tst_FooterLabel : public QObject
{
    Q_OBJECT

private slots:
    void cutOnlyWhenTooWide_data();
    void cutOnlyWhenTooWide();
    void keepsTheWindowAsNarrowAsTheUserWants();
    void lineBreakStaysOnTheLine_data();
    void lineBreakStaysOnTheLine();
};

void tst_FooterLabel::cutOnlyWhenTooWide_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("cut");
    QTest::newRow("fits") << QStringLiteral("Saved a.pmk") << false;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("too-wide") << QStringLiteral("No face found: points spread over the picture. Press Ctrl+T for a "
                                                "template you can move, scale and turn.")
                              << true;
}

void tst_FooterLabel::cutOnlyWhenTooWide()
{
    QFETCH(QString, text);
    QFETCH(bool, cut);
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* label = new ui::FooterLabel;
    layout->addWidget(label);
    label->setText(text);
    // The same text drawn whole by a plain label of the same size, beside it.
    auto* plain = new QLabel(text);
    plain->setSizePolicy(QSizePolicy::Ignored, plain->sizePolicy().verticalPolicy());
    layout->addWidget(plain);
    window.resize(220, 60);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(label->text(), text);
    QCOMPARE(label->isCut(), cut);

    QCOMPARE(plain->size(), label->size());
    QCOMPARE(label->grab().toImage() != plain->grab().toImage(), cut);

    QToolTip::hideText();
    const QPoint inside = label->rect().center();
    QHelpEvent help(QEvent::ToolTip, inside, label->mapToGlobal(inside));
    QApplication::sendEvent(label, &help);
    if (cut) {
        QTRY_VERIFY(QToolTip::isVisible());
        QCOMPARE(QToolTip::text(), text);
    } else {
        QVERIFY(!QToolTip::isVisible());
    }
    QToolTip::hideText();
}

void tst_FooterLabel::keepsTheWindowAsNarrowAsTheUserWants()
{
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* label = new ui::FooterLabel;
    layout->addWidget(label);
    label->setText(QStringLiteral("x"));
    const int oneLine = label->sizeHint().height();
    label->setText(QString(400, QLatin1Char('x')));
    QVERIFY(window.minimumSizeHint().width() < 100);
    QCOMPARE(label->sizeHint().height(), oneLine);
}

void tst_FooterLabel::lineBreakStaysOnTheLine_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("cut");
    // A package or picture named with a line break, as the footer names it.
    QTest::newRow("newline") << QStringLiteral("Opened a\nb.pmk.") << QStringLiteral("Opened a\u21B5b.pmk.") << false;
    QTest::newRow("crlf") << QStringLiteral("Saved a\r\nb.pmk") << QStringLiteral("Saved a\u21B5b.pmk") << false;
    QTest::newRow("separators") << QStringLiteral("a\u2028b\u2029c\rd") << QStringLiteral("a\u21B5b\u21B5c\u21B5d") << false;
    QTest::newRow("too-wide") << QStringLiteral("Opened new\nline.pmk: 75 points, Face only. Saving it drops a file "
                                                "another program put there (notes.txt).")
                              << QString() << true;
}

// A text with line breaks is drawn on the footer's one line, which keeps its height; the
// tooltip of a cut one gives it whole.
void tst_FooterLabel::lineBreakStaysOnTheLine()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QFETCH(bool, cut);
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* label = new ui::FooterLabel;
    layout->addWidget(label);
    label->setText(QStringLiteral("Opened a.pmk"));
    const QSize oneLine = label->sizeHint();
    const QSize oneLineAtLeast = label->minimumSizeHint();
    // The one-line text drawn by a plain label of the same size, beside it.
    auto* plain = new QLabel(shown);
    plain->setSizePolicy(label->sizePolicy());
    layout->addWidget(plain);
    window.resize(220, 60);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const int heightBefore = label->height();

    label->setText(text);
    QApplication::processEvents();
    QCOMPARE(label->text(), text);
    QCOMPARE(label->sizeHint().height(), oneLine.height());
    QCOMPARE(label->minimumSizeHint().height(), oneLineAtLeast.height());
    QCOMPARE(label->height(), heightBefore);
    QCOMPARE(label->isCut(), cut);
    const QString drawn = label->shownText();
    QVERIFY2(!drawn.contains(QLatin1Char('\n')) && !drawn.contains(QLatin1Char('\r')), qPrintable(drawn));
    if (cut) {
        QVERIFY(drawn.endsWith(QChar(0x2026)));
        QVERIFY(drawn.startsWith(QStringLiteral("Opened new\u21B5line")));
        QToolTip::hideText();
        const QPoint inside = label->rect().center();
        QHelpEvent help(QEvent::ToolTip, inside, label->mapToGlobal(inside));
        QApplication::sendEvent(label, &help);
        QTRY_VERIFY(QToolTip::isVisible());
        QCOMPARE(QToolTip::text(), text);
        QToolTip::hideText();
    } else {
        QCOMPARE(drawn, shown);
        QCOMPARE(plain->size(), label->size());
        QCOMPARE(label->grab().toImage(), plain->grab().toImage());
    }
}

QTEST_MAIN(tst_FooterLabel)
#include "tst_footerlabel.moc"
