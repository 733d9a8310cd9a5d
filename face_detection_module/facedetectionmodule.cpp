#include "face_detection_module/facedetectionmodule.h"

#include "face_detection_module/fhogfacedetector.h"
#include "face_detection_module/landmarkmodelcache.h"
#include "face_detection_module/qimage_dlib.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <dlib/image_processing.h>
#include <dlib/serialize.h>

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <new>
#include <system_error>

namespace core {

namespace {

// Whether bytes of address space can be had now (mapped and given back at once; a mapping is
// not left out by the compiler as a malloc and free in a row may be).
bool roomFor(long long bytes)
{
    void* room = ::mmap(nullptr, size_t(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (room == MAP_FAILED) {
        return false;
    }
    ::munmap(room, size_t(bytes));
    return true;
}

// dlib reads only RGB888 in place; any other format costs one converted copy. A null result
// means the conversion could not allocate (or the picture was null to begin with).
QImage toRgb888(const QImage& picture)
{
    if (picture.format() == QImage::Format_RGB888) {
        return picture;
    }
    return picture.convertToFormat(QImage::Format_RGB888, Qt::AutoColor);
}

QVector<QPoint> partsOf(const dlib::full_object_detection& shape)
{
    QVector<QPoint> points;
    points.reserve(static_cast<int>(shape.num_parts()));
    for (unsigned long i = 0; i < shape.num_parts(); ++i) {
        const dlib::point& part = shape.part(i);
        points.append(QPoint(static_cast<int>(part.x()), static_cast<int>(part.y())));
    }
    return points;
}

QRect toQRect(const dlib::rectangle& r)
{
    // dlib's right and bottom are inclusive; width() and height() are 0 for an empty rectangle.
    return QRect(static_cast<int>(r.left()), static_cast<int>(r.top()), static_cast<int>(r.width()),
                 static_cast<int>(r.height()));
}

// Calls work(i) once for each i in [0, count), on the calling thread and on up to threads - 1
// helpers, whichever is free next. work must not throw. Without a helper thread to be had, the
// calling thread does it all.
template <typename Work>
void forEachIndex(int count, int threads, const Work& work)
{
    std::atomic<int> next{0};
    const auto run = [&] {
        for (int i = next++; i < count; i = next++) {
            work(i);
        }
    };
    std::vector<std::future<void>> helpers;
    for (int t = 1; t < std::min(threads, count); ++t) {
        try {
            helpers.push_back(std::async(std::launch::async, run));
        } catch (...) {
            break;
        }
    }
    run();
    for (std::future<void>& helper : helpers) {
        helper.get();
    }
}

} // namespace

const char* const FaceDetectionModule::defaultModelPath = "shape_predictor.dat";

QString FaceDetectionModule::installedModelPath()
{
    if (!QCoreApplication::instance()) {
        return QString();
    }
    return QDir::cleanPath(QDir(QCoreApplication::applicationDirPath())
                               .filePath(QStringLiteral(FACEMASK_INSTALLED_MODEL)));
}

std::string FaceDetectionModule::findModel()
{
    if (QFileInfo::exists(QString::fromLatin1(defaultModelPath))) {
        return defaultModelPath;
    }
    const QString installed = installedModelPath();
    return !installed.isEmpty() && QFileInfo::exists(installed) ? QFile::encodeName(installed).toStdString()
                                                                 : defaultModelPath;
}

struct FaceDetectionModule::Impl {
    FhogFaceDetector faceDetector;
    // Predicting reads the model only, which dlib allows from several threads at once.
    std::shared_ptr<dlib::shape_predictor> shapePredictor = std::make_shared<dlib::shape_predictor>();
    ModelCacheUse cacheUse = ModelCacheUse::Off;
};

FaceDetectionModule::FaceDetectionModule()
    : d(std::make_unique<Impl>())
{
}

FaceDetectionModule::~FaceDetectionModule() = default;

QString FaceDetectionModule::defaultCacheFolder()
{
    return modelcache::defaultFolder();
}

std::unique_ptr<FaceDetectionModule> FaceDetectionModule::load(const std::string& modelPath)
{
    return load(modelPath, defaultCacheFolder());
}

std::unique_ptr<FaceDetectionModule> FaceDetectionModule::load(const std::string& modelPath,
                                                               const QString& cacheFolder)
{
    return load(modelPath, cacheFolder, nullptr);
}

std::unique_ptr<FaceDetectionModule> FaceDetectionModule::load(const std::string& modelPath,
                                                               const QString& cacheFolder, ModelFailure* failure)
{
    ModelFailure ignored = ModelFailure::None;
    ModelFailure& why = failure ? *failure : ignored;
    why = ModelFailure::Unreadable;
    // dlib opens the path as a stream and waits on a named pipe or a device until something
    // writes to it; only a regular file can be a model.
    struct stat model {};
    if (::stat(modelPath.c_str(), &model) != 0 || !S_ISREG(model.st_mode)) {
        return nullptr;
    }
    std::unique_ptr<FaceDetectionModule> loaded = loadRegularFile(modelPath, cacheFolder, model.st_size, &why);
    if (loaded) {
        why = ModelFailure::None;
    }
    return loaded;
}

std::unique_ptr<FaceDetectionModule> FaceDetectionModule::loadRegularFile(const std::string& modelPath,
                                                                          const QString& cacheFolder,
                                                                          long long fileBytes, ModelFailure* why)
{
    try {
        std::unique_ptr<FaceDetectionModule> module(new FaceDetectionModule);
        Impl& m = *module->d;
        const QString cacheFile = cacheFolder.isEmpty() ? QString() : modelcache::fileFor(cacheFolder, modelPath);
        modelcache::ReadResult cached = modelcache::ReadResult::Missing;
        if (!cacheFile.isEmpty()) {
            cached = modelcache::read(cacheFile, modelPath, *m.shapePredictor, m.faceDetector);
        }
        if (cached == modelcache::ReadResult::Read) {
            m.cacheUse = ModelCacheUse::Read;
            return module->partCount() < minimumPartCount ? nullptr : std::move(module);
        }

        // Building the detector (it unpacks a model of its own) and hashing the file for the
        // cache take about as long as parsing the landmark file; done alongside, they cost the
        // user no waiting. Should no thread be available, they are done here after all. The
        // future's destructor joins.
        const bool caching = !cacheFile.isEmpty();
        struct Side {
            FhogFaceDetector detector;
            std::optional<modelcache::ModelKey> key;
        };
        const auto sideWork = [&modelPath, caching] {
            Side side{FhogFaceDetector::frontal(), std::nullopt};
            if (caching) {
                side.key = modelcache::keyOf(modelPath);
            }
            return side;
        };
        std::future<Side> side;
        try {
            side = std::async(std::launch::async, sideWork);
        } catch (const std::system_error&) {
        }
        dlib::deserialize(modelPath) >> *m.shapePredictor;
        Side built = side.valid() ? side.get() : sideWork();
        m.faceDetector = std::move(built.detector);
        if (module->partCount() < minimumPartCount || !m.faceDetector.isValid()) {
            return nullptr;
        }
        if (caching) {
            // A file replaced while it was read is not cached under a key that no longer fits.
            const std::optional<modelcache::ModelKey> after = built.key ? modelcache::keyOf(modelPath) : std::nullopt;
            const bool unchanged = after && after->size == built.key->size &&
                                   after->modifiedNs == built.key->modifiedNs && after->hash == built.key->hash;
            if (unchanged && modelcache::write(cacheFile, *built.key, *m.shapePredictor, m.faceDetector)) {
                m.cacheUse = cached == modelcache::ReadResult::Missing ? ModelCacheUse::Created : ModelCacheUse::Rebuilt;
            } else {
                m.cacheUse = ModelCacheUse::NotWritten;
            }
        }
        return module;
    } catch (const std::bad_alloc&) {
        // A corrupt size field asks for more memory than there is; so does a sound model read
        // where memory is short. Only the second leaves no room for twice the file, which the
        // parsed model takes about as much of as the file: after the unwinding, what the read
        // had taken is free again.
        *why = roomFor(2 * std::max(fileBytes, 1LL << 20)) ? ModelFailure::Unreadable : ModelFailure::OutOfMemory;
        return nullptr;
    } catch (...) {
        // dlib::serialization_error for a missing, truncated or foreign file.
        return nullptr;
    }
}

std::unique_ptr<FaceDetectionModule> FaceDetectionModule::makeSibling() const
{
    try {
        std::unique_ptr<FaceDetectionModule> sibling(new FaceDetectionModule);
        // The detector keeps no state between calls, so its model is shared like the predictor.
        sibling->d->faceDetector = d->faceDetector;
        sibling->d->shapePredictor = d->shapePredictor;
        sibling->d->cacheUse = d->cacheUse;
        return sibling;
    } catch (...) {
        return nullptr;
    }
}

int FaceDetectionModule::partCount() const
{
    return static_cast<int>(d->shapePredictor->num_parts());
}

ModelCacheUse FaceDetectionModule::cacheUse() const
{
    return d->cacheUse;
}

void FaceDetectionModule::setDetectionThreads(int count)
{
    d->faceDetector.setThreadCount(count);
}

std::optional<QVector<Face>> FaceDetectionModule::detectFaces(const QImage& picture)
{
    try {
        const QImage rgb = toRgb888(picture);
        if (rgb.isNull()) {
            return std::nullopt;
        }
        const std::vector<FhogFaceDetector::Box> boxes = d->faceDetector.detect(rgb);
        QVector<Face> faces(static_cast<int>(boxes.size()));
        Face* const out = faces.data(); // detached here, before the threads write into it
        std::atomic<bool> failed{false};
        forEachIndex(faces.size(), d->faceDetector.threadCount(), [&](int i) {
            const FhogFaceDetector::Box& box = boxes[std::size_t(i)];
            const dlib::rectangle r(box.left, box.top, box.right, box.bottom);
            try {
                out[i] = Face{toQRect(r), partsOf((*d->shapePredictor)(rgb, r)), box.confidence};
            } catch (...) {
                failed = true;
            }
        });
        if (failed) {
            return std::nullopt;
        }
        return faces;
    } catch (...) {
        // Only allocation failures on huge pictures are expected here.
        return std::nullopt;
    }
}

std::optional<QVector<Face>> FaceDetectionModule::findFaces(const QImage& picture)
{
    try {
        const QImage rgb = toRgb888(picture);
        if (rgb.isNull()) {
            return std::nullopt;
        }
        QVector<Face> faces;
        for (const FhogFaceDetector::Box& box : d->faceDetector.detect(rgb)) {
            faces.append(Face{toQRect(dlib::rectangle(box.left, box.top, box.right, box.bottom)), {}, box.confidence});
        }
        return faces;
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<QVector<QPoint>> FaceDetectionModule::detectPoints(const QImage& picture, const QRect& area)
{
    try {
        const QImage rgb = toRgb888(picture);
        if (rgb.isNull()) {
            return std::nullopt;
        }
        // One past QRect::right()/bottom(): the whole picture reaches one pixel beyond its edge.
        const dlib::rectangle r(area.x(), area.y(), area.x() + area.width(), area.y() + area.height());
        return partsOf((*d->shapePredictor)(rgb, r));
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<QVector<QPoint>> FaceDetectionModule::detectPointsInFace(const QImage& picture, const QRect& faceRect)
{
    return detectPoints(picture, faceRect.adjusted(0, 0, -1, -1));
}

QVector<std::optional<QVector<QPoint>>> FaceDetectionModule::detectPointsInFaces(const QImage& picture,
                                                                                const QVector<QRect>& faceRects)
{
    QVector<std::optional<QVector<QPoint>>> points(faceRects.size());
    try {
        const QImage rgb = toRgb888(picture);
        if (rgb.isNull()) {
            return points;
        }
        std::optional<QVector<QPoint>>* const out = points.data();
        forEachIndex(faceRects.size(), d->faceDetector.threadCount(), [&](int i) {
            const QRect& area = faceRects.at(i);
            // As detectPointsInFace(): dlib's right and bottom are the box's own.
            const dlib::rectangle r(area.x(), area.y(), area.x() + area.width() - 1, area.y() + area.height() - 1);
            try {
                out[i] = partsOf((*d->shapePredictor)(rgb, r));
            } catch (...) {
                out[i] = std::nullopt;
            }
        });
    } catch (...) {
    }
    return points;
}

} // namespace core
