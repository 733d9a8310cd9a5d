#include "tests/support/hostilepictures.h"
#include "tests/support/sanitizer.h"
#include "tests/support/testimages.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using namespace hostilepictures;

// The command line's picture intake, run by a child process under an address-space limit: each
// hostile picture is refused, or read within bounds, without the memory its lie would cost.
class tst_CliPictureIntake : public QObject
{
    Q_OBJECT

private slots:
    void hostilePicturesStayBounded_data();
    void hostilePicturesStayBounded();
    void namedPipeIsRefusedAtOnce();

private:
    QTemporaryDir m_folder;
};

namespace {

// Qt and the C++ runtime map well under this; each lie below would need gigabytes.
constexpr qint64 addressSpaceLimit = 1'000'000'000;

// Runs the probe on path under the limit: its exit status and output line.
QPair<int, QByteArray> probe(const QString& path)
{
    QProcess process;
    process.start(QStringLiteral("prlimit"), {QStringLiteral("--as=%1").arg(addressSpaceLimit),
                                              QStringLiteral(PICTURE_PROBE_PATH), path});
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        return {-1, process.readAllStandardError()};
    }
    return {process.exitCode(), process.readAllStandardOutput().trimmed()};
}

} // namespace

void tst_CliPictureIntake::hostilePicturesStayBounded_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("output");
    QTest::newRow("png-100-text-chunks-of-7.5-mb") << pngTextBomb(100, 7'500'000) << 0 << QByteArray("40x30");
    QTest::newRow("gif-1x1-screen-12000x12000-frame")
        << gifSizeLie() << 2 << QByteArray("refused: picture larger than 120 megapixels");
    QTest::newRow("ico-16x16-holding-23000x23000-png")
        << icoSizeLie(23000, 23000) << 2
        << QByteArray("refused: picture: ICO files are not read, as the size of the pictures they "
                      "hold cannot be established before decoding");
    QTest::newRow("jpeg-with-2000-scans")
        << jpegScanBomb(2000) << 2 << QByteArray("refused: picture: JPEG of more than 100 scans");
    QTest::newRow("bmp-70-byte-header-without-pixels")
        << bmpWithoutPixels(64, 48) << 2
        << QByteArray("refused: picture: BMP file shorter than the pixels its header declares");
    QTest::newRow("png-declaring-23000x23000")
        << blackPng(23000, 23000, false) << 2 << QByteArray("refused: picture larger than 120 megapixels");
    QTest::newRow("text") << QByteArray("words") << 2
                          << QByteArray("refused: not a picture in a format that can be read");
}

void tst_CliPictureIntake::hostilePicturesStayBounded()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, output);
    if (runsUnderAddressSanitizer()) {
        QSKIP("AddressSanitizer reserves more address space than any limit this test sets");
    }
    if (QStandardPaths::findExecutable(QStringLiteral("prlimit")).isEmpty()) {
        QSKIP("prlimit (util-linux) is needed to limit the child's memory");
    }
    const QString path = m_folder.filePath(QString::fromLatin1(QTest::currentDataTag()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    file.close();
    const QPair<int, QByteArray> result = probe(path);
    QCOMPARE(result.second, output);
    QCOMPARE(result.first, exitCode);
}

void tst_CliPictureIntake::namedPipeIsRefusedAtOnce()
{
    if (runsUnderAddressSanitizer()) {
        QSKIP("AddressSanitizer reserves more address space than the probe's limit");
    }
    const QString path = m_folder.filePath(QStringLiteral("pipe.png"));
    QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
    // Nobody ever writes: a reader that opened it the usual way would wait for good.
    const QPair<int, QByteArray> result = probe(path);
    QCOMPARE(result.second, QByteArray("refused: not a regular file"));
    QCOMPARE(result.first, 2);
}

QTEST_GUILESS_MAIN(tst_CliPictureIntake)
#include "tst_clipictureintake.moc"
