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

QTEST_MAIN(tst_FooterLabel)
#include "tst_footerlabel.moc"
