// core/localnames: file names that are not UTF-8 survive decoding, and file URLs both ways.
#include "core/localnames.h"

#include <QFile>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

class tst_LocalNames : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void namesComeBackByteForByte_data();
    void namesComeBackByteForByte();
    void localhostNamesThisMachine_data();
    void localhostNamesThisMachine();
};

void tst_LocalNames::initTestCase()
{
    core::useByteExactLocalNames();
}

void tst_LocalNames::namesComeBackByteForByte_data()
{
    QTest::addColumn<QByteArray>("name");

    QTest::newRow("ascii") << QByteArray("face.png");
    QTest::newRow("utf-8") << QByteArray("caf\xc3\xa9.png");
    QTest::newRow("latin-1") << QByteArray("caf\xe9.png");
    QTest::newRow("bytes-never-in-utf-8") << QByteArray("\xff\xfe.png");
    QTest::newRow("encoded-surrogate") << QByteArray("\xed\xa0\x80.png");
    QTest::newRow("cut-sequence") << QByteArray("\xe2\x82.png");
    QTest::newRow("url-characters") << QByteArray("a b%25#?;&'=+.png");
}

void tst_LocalNames::namesComeBackByteForByte()
{
    QFETCH(QByteArray, name);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray bytes = QFile::encodeName(dir.path()) + '/' + name;
    const int descriptor = ::open(bytes.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    QVERIFY(descriptor >= 0);
    ::close(descriptor);

    const QString path = QFile::decodeName(bytes);
    QCOMPARE(QFile::encodeName(path), bytes);
    QVERIFY(QFile::exists(path));

    const QUrl url = core::localFileUrl(path);
    QVERIFY(url.isValid() && url.isLocalFile());
    QCOMPARE(core::localFilePath(url), path);
    // As a file manager hands a dropped file over: its bytes, percent-encoded.
    const QUrl dropped = QUrl::fromEncoded("file://" + bytes.toPercentEncoding("/"), QUrl::StrictMode);
    QCOMPARE(core::localFilePath(dropped), path);
    // A name that is UTF-8 reads as Qt's own conversion reads it.
    if (QString::fromUtf8(name).toUtf8() == name) {
        QCOMPARE(core::localFilePath(dropped), dropped.toLocalFile());
        // And is linked as Qt, and the programs that share recent files with us, link it.
        QCOMPARE(url.toEncoded(), QUrl::fromLocalFile(path).toEncoded());
    }
}

// RFC 8089: "localhost" is this machine, as no host is; some programs write it into the URLs
// they drop or copy. Any other host stays a network path.
void tst_LocalNames::localhostNamesThisMachine_data()
{
    QTest::addColumn<QByteArray>("url");
    QTest::addColumn<QString>("path");

    QTest::newRow("localhost") << QByteArray("file://localhost/tmp/face.png") << QStringLiteral("/tmp/face.png");
    QTest::newRow("localhost-capitals") << QByteArray("file://LocalHost/tmp/face.png") << QStringLiteral("/tmp/face.png");
    QTest::newRow("localhost-escapes") << QByteArray("file://localhost/tmp/caf%C3%A9%20%231.png")
                                       << QStringLiteral("/tmp/caf\u00e9 #1.png");
    QTest::newRow("localhost-latin-1") << QByteArray("file://localhost/tmp/caf%E9.png")
                                       << QFile::decodeName("/tmp/caf\xe9.png");
    QTest::newRow("other-host") << QByteArray("file://server/share/face.png") << QStringLiteral("//server/share/face.png");
}

void tst_LocalNames::localhostNamesThisMachine()
{
    QFETCH(QByteArray, url);
    QFETCH(QString, path);
    QCOMPARE(core::localFilePath(QUrl::fromEncoded(url, QUrl::StrictMode)), path);
}

QTEST_GUILESS_MAIN(tst_LocalNames)
#include "tst_localnames.moc"
