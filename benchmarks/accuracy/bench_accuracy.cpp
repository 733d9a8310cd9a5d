// The preview's accuracy on every pair of faces of the test photos: each face is the mask and,
// in turn, the target, for each effect type. The faces are each photo's largest face (the set
// measured from the start) and then every other face with at least 40 px between the outer eye
// corners. Each render gets two figures, both the mean distance between dlib's landmarks on the
// render and those of the target photo itself, in per cent of the target's inter-ocular
// distance:
//   found   - the detector searches the render and the face at the target's place is taken, as
//             the preview itself would find it. This mixes the warp's error with the detector's
//             box moving on the changed pixels;
//   in box  - the landmarks are predicted on the render inside the box the detector found on the
//             untouched target, so only the warp moves them.
// For an added target the detector searches the render only around the target's box (the box
// grown by its own size on each side), which keeps a run over the many faces of a group photo to
// minutes; the largest faces are always searched on the whole render, as before.
// First, for each face, the floors: the photo drawn with its own face as the mask ("self", both
// figures, which must give 0: the warp is exact), and how far dlib's landmarks on the untouched
// photo move when the detector's box moves by one pixel (left, right, up, down, one pixel larger
// or smaller; mean and largest). A render whose face the detector boxes one pixel differently
// cannot come closer than that in "found", however exact the warp.
// Not a timing: the figures do not depend on the machine.
//   bench_accuracy [--largest] [--only TEXT] [--save FOLDER]
//     --largest  only the largest face of each photo (5 faces, 60 renders)
//     --only     only the pairs whose row ("mask target type") contains TEXT, e.g. "astronaut.png
//                bald_guys.jpg#12 face"; the summaries then cover those alone
//     --save     FOLDER receives every render as a PNG

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
#include <deque>
#include <iterator>
#include <memory>
#include <utility>
#include <vector>

namespace {

constexpr double smallestAddedInterOcular = 40.0;
constexpr double targetMean = 3.0;
constexpr double targetWorst = 4.5;

struct Photo {
    QString name;
    QImage picture;
    core::DetectionResult found;
    QVector<core::Face> faces; // as found by detectFaces(), in the same order as found.faces
    preview::MaskRenderer renderer; // the picture set once; copies share its working copies
};

// One face of one photo, as mask or as target.
struct Subject {
    const Photo* photo = nullptr;
    QString label;
    core::FacialPointVector points; // 75 points, fractions of the picture
    // The same unclamped, as the preview draws a mask on the face (empty: as points).
    core::FacialPointVector drawn;
    core::Face face;                // the detector's box and dlib's 68 landmarks, pixels
    // The same face as the detector finds it where it searches the render (around the box for
    // an added face, where the box and landmarks may come out slightly otherwise): what "found"
    // is measured against, so that the photo itself scores 0.
    core::Face searched;
    bool largest = true;
    // dlib's own landmarks on the photo move by less than targetMean when its box moves by one
    // pixel. A face that fails this (a box across two people) is no reference at that precision,
    // as a target or as the points of a mask.
    bool steady = true;
};

double interOcular(const QVector<QPoint>& landmarks)
{
    const QPointF d = QPointF(landmarks[45] - landmarks[36]);
    return std::hypot(d.x(), d.y());
}

int largestIndex(const QVector<core::Face>& faces)
{
    int largest = -1;
    for (int i = 0; i < faces.size(); ++i) {
        const QRect& r = faces[i].rect;
        if (largest < 0 || r.width() * r.height() > faces[largest].rect.width() * faces[largest].rect.height()) {
            largest = i;
        }
    }
    return largest;
}

double overlapOf(const QRect& a, const QRect& b)
{
    const QRect common = a.intersected(b);
    const double shared = double(common.width()) * common.height();
    const double joined = double(a.width()) * a.height() + double(b.width()) * b.height() - shared;
    return joined > 0 ? shared / joined : 0.0;
}

// The face found on the render that overlaps the target's own face most (intersection over
// union), or null when none overlaps it by a third: a full-frame render also shows the mask
// picture's own face, stretched, which must not be taken for the warped one.
const core::Face* matchingFace(const QVector<core::Face>& faces, const QRect& expected)
{
    const core::Face* best = nullptr;
    double bestOverlap = 1.0 / 3.0;
    for (const core::Face& face : faces) {
        const double overlap = overlapOf(face.rect, expected);
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

double percentOf(const QVector<QPoint>& found, const core::Face& reference)
{
    return 100.0 * meanDistance(found, reference.points) / interOcular(reference.points);
}

// detectPoints() takes x + width as dlib's right edge, detectFaces() reports dlib's
// right - left + 1 as the width: the same box is one pixel narrower there.
QRect predictorBox(const QRect& detected)
{
    return detected.adjusted(0, 0, -1, -1);
}

// dlib's landmarks on the photo itself when the detector's box is moved by one pixel: the mean
// and the largest change over six moves, in per cent of the inter-ocular distance.
std::pair<double, double> boxNoise(core::FaceDetectionModule& module, const Subject& subject)
{
    const QRect box = predictorBox(subject.face.rect);
    const QRect moved[] = {box.translated(1, 0), box.translated(-1, 0), box.translated(0, 1),
                           box.translated(0, -1), box.adjusted(0, 0, 1, 1), box.adjusted(0, 0, -1, -1)};
    double sum = 0;
    double largest = 0;
    for (const QRect& area : moved) {
        const auto points = module.detectPoints(subject.photo->picture, area);
        if (!points || points->size() != 68) {
            continue;
        }
        const double error = percentOf(*points, subject.face);
        sum += error;
        largest = std::max(largest, error);
    }
    return {sum / std::size(moved), largest};
}

struct Measure {
    double found = -1;  // negative: no face at the target's place
    double inBox = -1;  // negative: the predictor failed
    QString why;        // for a render without a face at the target's place
};

// The faces the detector finds on the render: on the whole render for one of the largest faces,
// else around the target's box only, mapped back to render pixels.
QVector<core::Face> facesOnRender(core::FaceDetectionModule& module, const QImage& render, const Subject& target)
{
    QRect area = render.rect();
    if (!target.largest) {
        const QRect& box = target.face.rect;
        area = box.adjusted(-box.width(), -box.height(), box.width(), box.height()).intersected(render.rect());
    }
    const auto found = module.detectFaces(area == render.rect() ? render : render.copy(area));
    QVector<core::Face> faces = found ? *found : QVector<core::Face>();
    for (core::Face& face : faces) {
        face.rect.translate(area.topLeft());
        for (QPoint& p : face.points) {
            p += area.topLeft();
        }
    }
    return faces;
}

Measure measure(core::FaceDetectionModule& module, const Subject& mask, const Subject& target, int type,
                const QString& saveFolder)
{
    preview::MaskRenderer renderer = mask.photo->renderer;
    renderer.setPoints(mask.points);
    renderer.setEffectType(type);
    const QImage out = renderer.render(target.photo->picture, target.drawn.empty() ? target.points : target.drawn);
    if (!saveFolder.isEmpty()) {
        QString name = QStringLiteral("%1-on-%2-%3.png").arg(mask.label, target.label, QLatin1String(typeName(type)));
        name.replace(QLatin1Char('#'), QLatin1Char('-'));
        out.save(QDir(saveFolder).filePath(name));
    }
    Measure result;
    const auto inBox = module.detectPoints(out, predictorBox(target.face.rect));
    if (inBox && inBox->size() == 68) {
        result.inBox = percentOf(*inBox, target.face);
    }
    const QVector<core::Face> seenFaces = facesOnRender(module, out, target);
    const core::Face* seen = matchingFace(seenFaces, target.searched.rect);
    if (seen && seen->points.size() == 68) {
        result.found = percentOf(seen->points, target.searched);
        return result;
    }
    // Say what the detector took instead: on a full-frame render, the mask picture's own face,
    // stretched over the frame, may hold the target's place.
    const int largest = largestIndex(seenFaces);
    if (largest < 0) {
        result.why = QStringLiteral("no face at all");
        return result;
    }
    const QRect& other = seenFaces[largest].rect;
    result.why = QStringLiteral("%1 face(s), the largest at %2,%3 %4x%5 (overlap with the target's box %6)")
                     .arg(seenFaces.size())
                     .arg(other.x())
                     .arg(other.y())
                     .arg(other.width())
                     .arg(other.height())
                     .arg(overlapOf(other, target.searched.rect), 0, 'f', 2);
    if (type == core::FullFrame) {
        const QSize from = mask.photo->picture.size();
        const QSize to = target.photo->picture.size();
        const QRectF stretched(mask.face.rect.x() * double(to.width()) / from.width(),
                               mask.face.rect.y() * double(to.height()) / from.height(),
                               mask.face.rect.width() * double(to.width()) / from.width(),
                               mask.face.rect.height() * double(to.height()) / from.height());
        result.why += QStringLiteral("; overlap with the mask's own face stretched over the frame %1")
                          .arg(overlapOf(other, stretched.toRect()), 0, 'f', 2);
    }
    return result;
}

struct Summary {
    int renders = 0;
    int missed = 0;
    double sum = 0;
    double worst = 0;
    int over = 0;

    void add(double error)
    {
        if (error < 0) {
            ++missed;
            return;
        }
        ++renders;
        sum += error;
        worst = std::max(worst, error);
        over += error > targetWorst ? 1 : 0;
    }
    double mean() const { return renders ? sum / renders : 0.0; }
};

void printSummary(const char* what, const char* figure, const Summary& s)
{
    std::printf("%-14s %-8s %5d renders: mean %5.2f %%, worst %5.2f %%, %4d over %.1f %%, %d without a face%s\n",
                what, figure, s.renders, s.mean(), s.worst, s.over, targetWorst, s.missed,
                s.mean() <= targetMean && s.worst <= targetWorst && s.missed == 0 ? "  (meets the target)" : "");
}

// Masks whose face is cut by the picture's edge, as a photo cropped through the cheek gives them:
// each listed photo cut halfway between the outer eye corner and the end of the jaw, on the
// right and on the left, detected anew (detection clamps the points beyond the edge), drawn on
// the other largest faces. Each row also gives the same face uncut as the mask, which is what
// the cut one can at best come to. Returns the summaries of the cut and the uncut in-box figures.
std::pair<Summary, Summary> measureCutMasks(core::FaceDetectionModule& module, const std::vector<Subject>& subjects,
                                            int largestCount, const QString& saveFolder)
{
    Summary cut;
    Summary whole;
    std::printf("\nmasks cut by the picture's edge (in box %%; the same face uncut in brackets)\n");
    std::deque<Photo> cutPhotos;
    for (int s = 0; s < largestCount; ++s) {
        const Subject& uncut = subjects[std::size_t(s)];
        if (uncut.photo->name != QLatin1String("astronaut.png")
            && uncut.photo->name != QLatin1String("Tom_Cruise_avp_2014_4.jpg")) {
            continue;
        }
        const QVector<QPoint>& l = uncut.face.points;
        const QSize size = uncut.photo->picture.size();
        const int rightCut = (l[45].x() + l[16].x()) / 2;
        const int leftCut = (l[36].x() + l[0].x()) / 2;
        const std::pair<const char*, QRect> cuts[] = {
            {"right", QRect(0, 0, rightCut, size.height())},
            {"left", QRect(leftCut, 0, size.width() - leftCut, size.height())}};
        for (const auto& [side, area] : cuts) {
            Photo photo;
            photo.name = QStringLiteral("%1-cut-%2").arg(QFileInfo(uncut.photo->name).completeBaseName(),
                                                         QLatin1String(side));
            photo.picture = uncut.photo->picture.copy(area);
            photo.found = core::runLandmarkPipeline(module, photo.picture);
            if (photo.found.faceCount < 1) {
                std::printf("%-28s no face found: not used\n", qPrintable(photo.name));
                continue;
            }
            photo.renderer.setPicture(photo.picture);
            const Photo& kept = cutPhotos.emplace_back(std::move(photo));
            Subject mask;
            mask.photo = &kept;
            mask.points = kept.found.points;
            mask.label = kept.name;
            int clamped = 0;
            for (const QPointF& p : mask.points) {
                clamped += (p.x() == 0 || p.x() == 1 || p.y() == 0 || p.y() == 1) ? 1 : 0;
            }
            std::printf("%-28s %d points on the picture's border\n", qPrintable(mask.label), clamped);
            for (int t = 0; t < largestCount; ++t) {
                const Subject& target = subjects[std::size_t(t)];
                if (target.photo == uncut.photo) {
                    continue;
                }
                for (int type : {int(core::FaceOnly), int(core::WholeImage), int(core::FullFrame)}) {
                    const Measure m = measure(module, mask, target, type, saveFolder);
                    const Measure reference = measure(module, uncut, target, type, QString());
                    std::printf("%-28s %-28s %-6s %8.2f (%5.2f)%s\n", qPrintable(mask.label),
                                qPrintable(target.label), typeName(type), m.inBox, reference.inBox,
                                m.inBox > targetWorst ? " *" : "");
                    cut.add(m.inBox);
                    whole.add(reference.inBox);
                }
            }
        }
    }
    return {cut, whole};
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
    const bool largestOnly = arguments.contains(QStringLiteral("--largest"));
    const int onlyAt = arguments.indexOf(QStringLiteral("--only"));
    const QString only = onlyAt > 0 && onlyAt + 1 < arguments.size() ? arguments[onlyAt + 1] : QString();

    const QDir folder(QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces"));
    std::deque<Photo> photos; // subjects point into it
    std::vector<Subject> subjects;
    std::vector<Subject> added;
    for (const QString& name : folder.entryList({QStringLiteral("*.png"), QStringLiteral("*.jpg")}, QDir::Files, QDir::Name)) {
        Photo photo;
        photo.name = name;
        photo.picture = core::readImageFile(folder.filePath(name));
        if (photo.picture.isNull()) {
            continue;
        }
        photo.found = core::runLandmarkPipeline(*module, photo.picture);
        const auto faces = module->detectFaces(photo.picture);
        const int largest = faces ? largestIndex(*faces) : -1;
        if (photo.found.faceCount < 1 || largest < 0 || faces->size() != photo.found.faces.size()) {
            std::printf("%-28s no face: not used\n", qPrintable(name));
            continue;
        }
        photo.faces = *faces;
        photo.renderer.setPicture(photo.picture);
        const Photo& kept = photos.emplace_back(std::move(photo));
        for (int i = 0; i < kept.faces.size(); ++i) {
            Subject subject;
            subject.photo = &kept;
            subject.face = kept.faces[i];
            subject.largest = i == largest;
            // The largest face's points are those the pipeline places, as a package holds them.
            subject.points = subject.largest ? kept.found.points : kept.found.faces[i].points;
            subject.drawn = kept.found.faces[subject.largest ? kept.found.placed : i].framePoints;
            subject.label = subject.largest ? name : QStringLiteral("%1#%2").arg(name).arg(i);
            subject.searched = subject.face;
            if (!subject.largest) {
                const QVector<core::Face> around = facesOnRender(*module, kept.picture, subject);
                const core::Face* same = matchingFace(around, subject.face.rect);
                if (same && same->points.size() == 68) {
                    subject.searched = *same;
                }
            }
            if (subject.largest) {
                subjects.push_back(subject);
            } else if (!largestOnly && interOcular(subject.face.points) >= smallestAddedInterOcular) {
                added.push_back(subject);
            }
        }
    }
    const int largestCount = int(subjects.size());
    subjects.insert(subjects.end(), added.begin(), added.end());
    std::printf("%d faces: the largest of %d photos and %d more with at least %.0f px between the eyes\n\n",
                int(subjects.size()), largestCount, int(added.size()), smallestAddedInterOcular);

    std::printf("%-28s %-28s %-6s %8s %8s\n", "mask", "target", "type", "found %", "in box %");
    for (Subject& subject : subjects) {
        const Measure self = measure(*module, subject, subject, core::FaceOnly, saveFolder);
        const auto [noise, noiseLargest] = boxNoise(*module, subject);
        subject.steady = noise < targetMean;
        std::printf("%-28s %-28s %-6s %8.2f %8.2f   self; inter-ocular %.1f px; box moved 1 px: %.2f (up to %.2f)\n",
                    qPrintable(subject.label), qPrintable(subject.label), typeName(core::FaceOnly), self.found,
                    self.inBox, interOcular(subject.face.points), noise, noiseLargest);
    }
    std::printf("\n");

    Summary largestFound;
    Summary largestInBox;
    Summary allFound;
    Summary allInBox;
    Summary steadyLargestFound; // the same over the steady faces alone
    Summary steadyLargestInBox;
    Summary steadyAllFound;
    Summary steadyAllInBox;
    for (const Subject& mask : subjects) {
        for (const Subject& target : subjects) {
            if (&mask == &target) {
                continue;
            }
            for (int type : {int(core::FaceOnly), int(core::WholeImage), int(core::FullFrame)}) {
                if (!only.isEmpty()
                    && !QStringLiteral("%1 %2 %3").arg(mask.label, target.label, QLatin1String(typeName(type))).contains(only)) {
                    continue;
                }
                const Measure m = measure(*module, mask, target, type, saveFolder);
                const bool over = m.found > targetWorst || m.inBox > targetWorst;
                if (m.found < 0) {
                    std::printf("%-28s %-28s %-6s %8s %8.2f%s   no face on the render at the target's place: %s\n",
                                qPrintable(mask.label), qPrintable(target.label), typeName(type), "-", m.inBox,
                                over ? " *" : "  ", qPrintable(m.why));
                } else {
                    std::printf("%-28s %-28s %-6s %8.2f %8.2f%s\n", qPrintable(mask.label), qPrintable(target.label),
                                typeName(type), m.found, m.inBox, over ? " *" : "");
                }
                const bool steady = mask.steady && target.steady;
                if (mask.largest && target.largest) {
                    largestFound.add(m.found);
                    largestInBox.add(m.inBox);
                    if (steady) {
                        steadyLargestFound.add(m.found);
                        steadyLargestInBox.add(m.inBox);
                    }
                }
                allFound.add(m.found);
                allInBox.add(m.inBox);
                if (steady) {
                    steadyAllFound.add(m.found);
                    steadyAllInBox.add(m.inBox);
                }
            }
        }
    }
    const auto [cutSummary, wholeSummary] = measureCutMasks(*module, subjects, largestCount, saveFolder);
    std::printf("\n(* a figure over %.1f %%; target: mean <= %.0f %%, worst <= %.1f %% of the inter-ocular distance)\n",
                targetWorst, targetMean, targetWorst);
    printSummary("largest faces", "found", largestFound);
    printSummary("largest faces", "in box", largestInBox);
    if (!added.empty()) {
        printSummary("all faces", "found", allFound);
        printSummary("all faces", "in box", allInBox);
    }
    QStringList unsteady;
    for (const Subject& subject : subjects) {
        if (!subject.steady) {
            unsteady.append(subject.label);
        }
    }
    std::printf("\nWithout the faces whose own landmarks move by %.0f %% or more with the box moved 1 px (%s):\n",
                targetMean, unsteady.isEmpty() ? "none" : qPrintable(unsteady.join(QStringLiteral(", "))));
    printSummary("largest faces", "found", steadyLargestFound);
    printSummary("largest faces", "in box", steadyLargestInBox);
    if (!added.empty()) {
        printSummary("all faces", "found", steadyAllFound);
        printSummary("all faces", "in box", steadyAllInBox);
    }
    std::printf("\n");
    printSummary("cut masks", "in box", cutSummary);
    printSummary("same, uncut", "in box", wholeSummary);
    return 0;
}
