// ui::commandLineFiles: what the window opens for each argument of its command line.
#include "app/commandlinefiles.h"
#include "core/localnames.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class tst_CommandLineFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void argumentBecomesFile_data();
    void argumentBecomesFile();
    void existingFileNamedLikeAUrlStays();

private:
    QTemporaryDir folder;
};

void tst_CommandLineFiles::initTestCase()
{
    core::useByteExactLocalNames();
    QVERIFY(folder.isValid());
}

void tst_CommandLineFiles::argumentBecomesFile_data()
{
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QByteArray>("file");  // the bytes of the name the window is to open

    QTest::newRow("absolute-path") << QStringLiteral("/home/me/face.png") << QByteArray("/home/me/face.png");
    QTest::newRow("relative-name") << QStringLiteral("face.png") << QByteArray("face.png");
    QTest::newRow("file-url") << QStringLiteral("file:///home/me/face.png") << QByteArray("/home/me/face.png");
    QTest::newRow("file-url-of-localhost") << QStringLiteral("file://localhost/home/me/face.pmk")
                                           << QByteArray("/home/me/face.pmk");
    QTest::newRow("file-url-one-slash") << QStringLiteral("file:/home/me/face.png") << QByteArray("/home/me/face.png");
    QTest::newRow("file-url-upper-case-scheme") << QStringLiteral("FILE:///home/me/face.png")
                                                << QByteArray("/home/me/face.png");
    QTest::newRow("percent-encoded-space-and-hash") << QStringLiteral("file:///home/me/a%20b%231.png")
                                                    << QByteArray("/home/me/a b#1.png");
    QTest::newRow("space-left-unencoded") << QStringLiteral("file:///home/me/a b.png") << QByteArray("/home/me/a b.png");
    QTest::newRow("utf-8-name") << QStringLiteral("file:///home/me/caf%C3%A9.png") << QByteArray("/home/me/caf\xc3\xa9.png");
    QTest::newRow("latin-1-byte") << QStringLiteral("file:///home/me/caf%E9.png") << QByteArray("/home/me/caf\xe9.png");
    QTest::newRow("web-address-stays") << QStringLiteral("https://example.com/face.png")
                                       << QByteArray("https://example.com/face.png");
    QTest::newRow("name-starting-with-file") << QStringLiteral("file-01.png") << QByteArray("file-01.png");
}

void tst_CommandLineFiles::argumentBecomesFile()
{
    QFETCH(QString, argument);
    QFETCH(QByteArray, file);
    const QStringList files = ui::commandLineFiles({argument, QStringLiteral("second.png")});
    QCOMPARE(files.size(), 2);
    QCOMPARE(QFile::encodeName(files[0]), file);
    QCOMPARE(files[1], QStringLiteral("second.png"));
}

void tst_CommandLineFiles::existingFileNamedLikeAUrlStays()
{
    // "file:x.png" in the working folder is that file, not the URL of x.png.
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(folder.path()));
    QFile named(QStringLiteral("file:x.png"));
    QVERIFY(named.open(QIODevice::WriteOnly));
    named.close();
    const QStringList files = ui::commandLineFiles({QStringLiteral("file:x.png"), QStringLiteral("file:y.png")});
    QDir::setCurrent(previous);
    QCOMPARE(files, (QStringList{QStringLiteral("file:x.png"), QStringLiteral("y.png")}));
}

QTEST_GUILESS_MAIN(tst_CommandLineFiles)
#include "tst_commandlinefiles.moc"
