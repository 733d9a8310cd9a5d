// The preview's accuracy on every pair of faces of the test photos: each photo's largest face
// is the mask and, in turn, the target, for each effect type. The error of one render is the
// mean distance between dlib's landmarks found on the render and those of the target photo
// itself, in per cent of the target's inter-ocular distance. Prints one row per render, then the
// mean and the worst. First, for each photo, two floors: the photo drawn with its own face as the
// mask ("self", which must give 0: the warp is exact), and how far dlib's landmarks on the
// untouched photo move when the detector's box moves by one pixel (left, right, up, down, one
// pixel larger or smaller; mean and largest). A render whose face the detector boxes one pixel
// differently cannot come closer than that, however exact the warp.
// Not a timing: the figures do not depend on the machine.
//   bench_accuracy [--save FOLDER]   (FOLDER receives every render as a PNG)

#include "face_detection_module/facedetectionmodule.h"
#include "core/facemaskproject.h"
#include "core/imagefiles.h"
#include "face_detection_module/landmarkpipeline.h"
#include "preview/maskrenderer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <utility>
#include <memory>

namespace {

struct Photo {
    QString name;
    QImage picture;
    core::DetectionResult found;
    core::Face largest;
};

double interOcular(const QVector<QPoint>& landmarks)
{
    const QPointF d = QPointF(landmarks[45] - landmarks[36]);
    return std::hypot(d.x(), d.y());
}

const core::Face* largestFace(const QVector<core::Face>& faces)
{
    const core::Face* largest = nullptr;
    for (const core::Face& face : faces) {
        if (!largest || face.rect.width() * face.rect.height() > largest->rect.width() * largest->rect.height()) {
            largest = &face;
        }
    }
    return largest;
}

// The face found on the render that overlaps the target's own face most (intersection over
// union), or null when none overlaps it by a third: a full-frame render also shows the mask
// picture's own face, stretched, which must not be taken for the warped one.
const core::Face* matchingFace(const QVector<core::Face>& faces, const QRect& expected)
{
    const core::Face* best = nullptr;
    double bestOverlap = 1.0 / 3.0;
    for (const core::Face& face : faces) {
        const QRect common = face.rect.intersected(expected);
        const double shared = double(common.width()) * common.height();
        const double joined = double(face.rect.width()) * face.rect.height()
                              + double(expected.width()) * expected.height() - shared;
        const double overlap = joined > 0 ? shared / joined : 0.0;
        if (overlap > bestOverlap) {
            best = &face;
            bestOverlap = overlap;
        }
    }
    return best;
}

const char* typeName(int type)
{
    switch (type) {
    case core::WholeImage:
        return "whole";
    case core::FullFrame:
        return "full";
    default:
        return "face";
    }
}

double meanDistance(const QVector<QPoint>& found, const QVector<QPoint>& expected)
{
    double distance = 0;
    for (int i = 0; i < 68; ++i) {
        const QPoint d = found[i] - expected[i];
        distance += std::hypot(d.x(), d.y());
    }
    return distance / 68;
}

// dlib's landmarks on the photo itself when the detector's box is moved by one pixel: the mean
// and the largest change over six moves, in per cent of the inter-ocular distance.
std::pair<double, double> boxNoise(core::FaceDetectionModule& module, const Photo& photo)
{
    // detectPoints() takes x + width as dlib's right edge, detectFaces() reports dlib's
    // right - left + 1 as the width: the same box is one pixel narrower here.
    const QRect box = photo.largest.rect.adjusted(0, 0, -1, -1);
    const QRect moved[] = {box.translated(1, 0), box.translated(-1, 0), box.translated(0, 1),
                           box.translated(0, -1), box.adjusted(0, 0, 1, 1), box.adjusted(0, 0, -1, -1)};
    double sum = 0;
    double largest = 0;
    for (const QRect& area : moved) {
        const auto points = module.detectPoints(photo.picture, area);
        if (!points || points->size() != 68) {
            continue;
        }
        const double error = 100.0 * meanDistance(*points, photo.largest.points) / interOcular(photo.largest.points);
        sum += error;
        largest = std::max(largest, error);
    }
    return {sum / std::size(moved), largest};
}

// The error of one render in per cent of the target's inter-ocular distance, or a negative
// value when no face is found at the target's place.
double renderError(core::FaceDetectionModule& module, const Photo& mask, const Photo& target, int type,
                   const QString& saveFolder)
{
    preview::MaskRenderer renderer;
    renderer.setPicture(mask.picture);
    renderer.setPoints(mask.found.points);
    renderer.setEffectType(type);
    const QImage out = renderer.render(target.picture, target.found.points);
    if (!saveFolder.isEmpty()) {
        out.save(QDir(saveFolder).filePath(QStringLiteral("%1-on-%2-%3.png")
                                               .arg(QFileInfo(mask.name).completeBaseName(),
                                                    QFileInfo(target.name).completeBaseName(),
                                                    QLatin1String(typeName(type)))));
    }
    const auto seenFaces = module.detectFaces(out);
    const core::Face* seen = seenFaces ? matchingFace(*seenFaces, target.largest.rect) : nullptr;
    if (!seen || seen->points.size() != 68) {
        return -1;
    }
    return 100.0 * meanDistance(seen->points, target.largest.points) / interOcular(target.largest.points);
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    std::unique_ptr<core::FaceDetectionModule> module = core::FaceDetectionModule::load();
    if (!module) {
        std::fprintf(stderr, "bench_accuracy: no landmark model shape_predictor.dat in the working folder\n");
        return 3;
    }
    QString saveFolder;
    const QStringList arguments = QCoreApplication::arguments();
    const int saveAt = arguments.indexOf(QStringLiteral("--save"));
    if (saveAt > 0 && saveAt + 1 < arguments.size()) {
        saveFolder = arguments[saveAt + 1];
        QDir().mkpath(saveFolder);
    }
    const QDir folder(QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces"));
    std::vector<Photo> photos;
    for (const QString& name : folder.entryList({QStringLiteral("*.png"), QStringLiteral("*.jpg")}, QDir::Files, QDir::Name)) {
        Photo photo;
        photo.name = name;
        photo.picture = core::readImageFile(folder.filePath(name));
        if (photo.picture.isNull()) {
            continue;
        }
        photo.found = core::runLandmarkPipeline(*module, photo.picture);
        const auto faces = module->detectFaces(photo.picture);
        const core::Face* largest = faces ? largestFace(*faces) : nullptr;
        if (photo.found.faceCount < 1 || !largest) {
            std::printf("%-28s no face: not used\n", qPrintable(name));
            continue;
        }
        photo.largest = *largest;
        photos.push_back(photo);
    }

    std::printf("%-28s %-28s %-6s %8s\n", "mask", "target", "type", "error %");
    for (const Photo& photo : photos) {
        const double error = renderError(*module, photo, photo, core::FaceOnly, saveFolder);
        const auto [noise, noiseLargest] = boxNoise(*module, photo);
        std::printf("%-28s %-28s %-6s %8.2f   self; inter-ocular %.1f px; box moved 1 px: %.2f (up to %.2f)\n",
                    qPrintable(photo.name), qPrintable(photo.name), typeName(core::FaceOnly), error,
                    interOcular(photo.largest.points), noise, noiseLargest);
    }
    std::printf("\n");
    double sum = 0;
    double worst = 0;
    int count = 0;
    int missed = 0;
    for (const Photo& mask : photos) {
        for (const Photo& target : photos) {
            if (&mask == &target) {
                continue;
            }
            for (int type : {int(core::FaceOnly), int(core::WholeImage), int(core::FullFrame)}) {
                const double error = renderError(*module, mask, target, type, saveFolder);
                if (error < 0) {
                    std::printf("%-28s %-28s %-6s  no face on the render\n", qPrintable(mask.name),
                                qPrintable(target.name), typeName(type));
                    ++missed;
                    continue;
                }
                std::printf("%-28s %-28s %-6s %8.2f\n", qPrintable(mask.name), qPrintable(target.name),
                            typeName(type), error);
                sum += error;
                worst = std::max(worst, error);
                ++count;
            }
        }
    }
    std::printf("\n%d renders over %zu faces: mean error %.2f %%, worst %.2f %% of the inter-ocular "
                "distance; %d renders without a face (target: mean <= 3 %%, worst <= 4.5 %%)\n",
                count, photos.size(), count ? sum / count : 0.0, worst, missed);
    return 0;
}
