#pragma once

#include <QImage>
#include <QPoint>
#include <QString>
#include <QRect>
#include <QVector>

#include <memory>
#include <optional>
#include <string>

namespace core {

// One detected face, in picture pixels: the detector's rectangle (left, top, width, height) and
// the landmark parts predicted inside it, in the predictor's part order.
// confidence is the detector's score above its threshold, as dlib reports it.
struct Face {
    QRect rect;
    QVector<QPoint> points;
    double confidence = 0;
};

// Why FaceDetectionModule::load gave no module.
enum class ModelFailure {
    None,
    Unreadable,  // missing, not a regular file, damaged, foreign, or too few parts
    OutOfMemory  // the file read as a model, but there was not room enough to hold it
};

// What loading did with the model cache (see landmarkmodelcache.h).
enum class ModelCacheUse {
    Off,        // no cache folder was given
    Read,       // the compact copy was read
    Created,    // there was none; one was written
    Rebuilt,    // the copy was stale or damaged; it was written anew
    NotWritten  // the model was read from its file, but no copy could be written
};

// dlib's frontal face detector and the landmark model, loaded together. Build and use it on one
// thread, one call at a time; inside a call, a large picture's face search and the landmarks of
// several faces use a second thread.
class FaceDetectionModule
{
public:
    // The model file name, resolved against the process's working directory.
    static const char* const defaultModelPath;
    // The model the window reads: defaultModelPath when the working directory holds it, else the
    // link of the installed data folder beside the program (bin/../share/facemask) when that
    // exists, else defaultModelPath again. Any thread, once the QCoreApplication exists.
    static std::string findModel();
    // That link's absolute path, whether or not it exists; empty without a QCoreApplication.
    static QString installedModelPath();
    // Parts 0, 16, 36 and 45 are read by the derived points, so smaller models are refused.
    static constexpr int minimumPartCount = 46;

    // Builds the detector and reads the landmark model from modelPath, through the compact copy
    // in cacheFolder when there is a sound one for the file as it is now; otherwise from the file,
    // writing the copy for next time (an empty cacheFolder neither reads nor writes one). Returns
    // null when the file is missing, unreadable, not a landmark model, or has fewer than
    // minimumPartCount parts. Any thread.
    static std::unique_ptr<FaceDetectionModule> load(const std::string& modelPath = findModel());
    static std::unique_ptr<FaceDetectionModule> load(const std::string& modelPath, const QString& cacheFolder);
    // As above; failure, when given, receives why null was returned (None for a module).
    static std::unique_ptr<FaceDetectionModule> load(const std::string& modelPath, const QString& cacheFolder,
                                                     ModelFailure* failure);
    // $XDG_CACHE_HOME/facemask, else ~/.cache/facemask.
    static QString defaultCacheFolder();

    ~FaceDetectionModule();

    // A module for another thread, sharing this module's detector and landmark model read-only,
    // so the model is read once however many threads detect. Call it on the thread that uses
    // this module. Returns null when out of memory.
    std::unique_ptr<FaceDetectionModule> makeSibling() const;

    int partCount() const;
    ModelCacheUse cacheUse() const;

    // At most this many threads search one picture for faces (default 2; 1 keeps it all on the
    // calling thread). The results do not depend on it.
    void setDetectionThreads(int count);

    // All faces at the picture's own resolution, the most confident first, each with its
    // landmarks, in picture pixels. Any format is accepted (others than RGB888 are converted).
    // Returns nullopt when the picture cannot be processed (null, or out of memory).
    std::optional<QVector<Face>> detectFaces(const QImage& picture);
    // The faces detectFaces() finds, in its order, with its rectangles and confidences but no
    // landmarks (every Face's points empty): detectPointsInFaces() on some of their rectangles
    // gives those faces' points as detectFaces() does, for the time of those alone. nullopt as
    // detectFaces().
    std::optional<QVector<Face>> findFaces(const QImage& picture);

    // The landmarks predicted inside area (picture pixels; dlib's right and bottom are taken as
    // area.x() + width and area.y() + height). nullopt when the picture cannot be processed.
    std::optional<QVector<QPoint>> detectPoints(const QImage& picture, const QRect& area);

    // The landmarks predicted inside a face's box as detectFaces() reports it (Face::rect, whose
    // right() and bottom() are dlib's): the box of a face found gives back its points exactly.
    // nullopt when the picture cannot be processed.
    std::optional<QVector<QPoint>> detectPointsInFace(const QImage& picture, const QRect& faceRect);
    // detectPointsInFace() for each of faceRects, in their order, with the same results; the
    // boxes are shared out among as many threads as the face search uses (the calling one and
    // helpers). An entry is nullopt where that prediction could not be made; all are when the
    // picture cannot be processed.
    QVector<std::optional<QVector<QPoint>>> detectPointsInFaces(const QImage& picture, const QVector<QRect>& faceRects);

private:
    FaceDetectionModule();
    // load() once modelPath is known to be a regular file of fileBytes; why is set on a failure.
    static std::unique_ptr<FaceDetectionModule> loadRegularFile(const std::string& modelPath, const QString& cacheFolder,
                                                                long long fileBytes, ModelFailure* why);
    Q_DISABLE_COPY(FaceDetectionModule)
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace core
