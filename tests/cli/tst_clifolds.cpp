// The folded triangles that facemask-cli info reports, through the real program.
#include "core/facemaskproject.h"
#include "tests/support/programrun.h"
#include "preview/facetriangles.h"
#include "tests/support/testimages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

using core::FacialPointVector;

namespace {

using Run = ProgramRun;

Run runCli(const QStringList& arguments)
{
    return runProgram(QStringLiteral(FACEMASK_CLI_PROGRAM), arguments);
}

// The mean face on a 400 x 300 picture, as fractions, each point on a whole pixel.
FacialPointVector meanFacePoints()
{
    FacialPointVector points;
    for (const QPointF& p : preview::meanFaceShape()) {
        points.emplace_back(std::round(100 + 180 * p.x()) / 400.0, std::round(40 + 220 * p.y()) / 300.0);
    }
    return points;
}

bool writePackage(const QString& path, const FacialPointVector& points)
{
    core::FaceMaskProject project;
    project.facialPoints()->setImage(testimages::filled(400, 300, QColor(90, 120, 150)));
    project.facialPoints()->setPoints(points);
    project.setName(QStringLiteral("mean face"));
    return project.save(path);
}

QJsonObject infoJson(const QString& package)
{
    const Run run = runCli({QStringLiteral("info"), QStringLiteral("--json"), package});
    return QJsonDocument::fromJson(run.out).array().first().toObject();
}

} // namespace

class tst_CliFolds : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanPackageHasNoFolds();
    void swappedPointsAreReportedFolded();

private:
    QTemporaryDir m_folder;
    QString m_clean;
    QString m_swapped;
};

void tst_CliFolds::initTestCase()
{
    QVERIFY(m_folder.isValid());
    m_clean = m_folder.filePath(QStringLiteral("clean.pmk"));
    m_swapped = m_folder.filePath(QStringLiteral("swapped.pmk"));
    FacialPointVector swapped = meanFacePoints();
    std::swap(swapped[0], swapped[16]);
    QVERIFY(writePackage(m_clean, meanFacePoints()));
    QVERIFY(writePackage(m_swapped, swapped));
}

void tst_CliFolds::cleanPackageHasNoFolds()
{
    QCOMPARE(infoJson(m_clean)["folded"].toArray(), QJsonArray());
    const Run strict = runCli({QStringLiteral("info"), QStringLiteral("--strict"), m_clean});
    QVERIFY2(strict.status == 0, qPrintable(describe(strict)));
    QVERIFY(strict.out.contains("folded triangles: none"));
}

void tst_CliFolds::swappedPointsAreReportedFolded()
{
    const QJsonArray folded = infoJson(m_swapped)["folded"].toArray();
    QVERIFY(!folded.isEmpty());
    // Only triangles with a jaw end as a corner fold, and each is one of the mesh's.
    for (const QJsonValue& value : folded) {
        const QJsonArray t = value.toArray();
        QCOMPARE(t.size(), 3);
        QVERIFY(t.contains(0) || t.contains(16));
        const bool inMesh = std::any_of(preview::faceTriangles().begin(), preview::faceTriangles().end(),
                                        [&](const preview::FaceTriangle& m) {
                                            return m.a == t[0].toInt() && m.b == t[1].toInt() && m.c == t[2].toInt();
                                        });
        QVERIFY(inMesh);
    }
    const Run lenient = runCli({QStringLiteral("info"), m_swapped});
    QCOMPARE(lenient.status, 0);
    QVERIFY(lenient.out.contains(QByteArray("folded triangles: ") + QByteArray::number(folded.size()) + " ("));
    const Run strict = runCli({QStringLiteral("info"), QStringLiteral("--strict"), m_clean, m_swapped});
    QCOMPARE(strict.status, 1);
    const Run strictJson = runCli({QStringLiteral("info"), QStringLiteral("--strict"), QStringLiteral("--json"), m_swapped});
    QCOMPARE(strictJson.status, 1);
}

QTEST_GUILESS_MAIN(tst_CliFolds)
#include "tst_clifolds.moc"
