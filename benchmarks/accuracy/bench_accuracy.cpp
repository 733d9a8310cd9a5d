// The preview's accuracy on every pair of faces of the test photos: each photo's largest face
// is the mask and, in turn, the target, for each effect type. The error of one render is the
// mean distance between dlib's landmarks found on the render and those of the target photo
// itself, in per cent of the target's inter-ocular distance. Prints one row per render, then the
// mean and the worst. Not a timing: the figures do not depend on the machine.

#include "facedetectionmodule.h"
#include "facemaskproject.h"
#include "imagefiles.h"
#include "landmarkpipeline.h"
#include "maskrenderer.h"

#include <QDir>
#include <QGuiApplication>

#include <algorithm>
#include <cmath>
#include <cstdio>
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

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    std::unique_ptr<core::FaceDetectionModule> module = core::FaceDetectionModule::load();
    if (!module) {
        std::fprintf(stderr, "bench_accuracy: no landmark model shape_predictor.dat in the working folder\n");
        return 3;
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
                preview::MaskRenderer renderer;
                renderer.setPicture(mask.picture);
                renderer.setPoints(mask.found.points);
                renderer.setEffectType(type);
                const QImage out = renderer.render(target.picture, target.found.points);
                const auto seenFaces = module->detectFaces(out);
                const core::Face* seen = seenFaces ? matchingFace(*seenFaces, target.largest.rect) : nullptr;
                if (!seen || seen->points.size() != 68) {
                    std::printf("%-28s %-28s %-6s  no face on the render\n", qPrintable(mask.name),
                                qPrintable(target.name), typeName(type));
                    ++missed;
                    continue;
                }
                double distance = 0;
                for (int i = 0; i < 68; ++i) {
                    const QPoint d = seen->points[i] - target.largest.points[i];
                    distance += std::hypot(d.x(), d.y());
                }
                const double error = 100.0 * distance / 68 / interOcular(target.largest.points);
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
