#include "face_detection_module/landmarkmodelcache.h"

#include "face_detection_module/cachebytes.h"
#include "face_detection_module/fhogfacedetector.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <dlib/image_processing/shape_predictor.h>
#include <dlib/revision.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <new>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace core::modelcache {

namespace {

using Tree = dlib::impl::regression_tree;

// shape_predictor keeps its parts private and offers no constructor that takes them as they
// are stored (its public one recomputes the anchors and deltas). An explicit instantiation may
// name a private member, which is how the cache reads and fills them unchanged.
template <typename Tag, typename Tag::type Member>
struct MemberReader {
    friend typename Tag::type memberOf(Tag) { return Member; }
};

struct InitialShape {
    using type = dlib::matrix<float, 0, 1> dlib::shape_predictor::*;
    friend type memberOf(InitialShape);
};
struct Forests {
    using type = std::vector<std::vector<Tree>> dlib::shape_predictor::*;
    friend type memberOf(Forests);
};
struct AnchorIndices {
    using type = std::vector<std::vector<unsigned long>> dlib::shape_predictor::*;
    friend type memberOf(AnchorIndices);
};
struct Deltas {
    using type = std::vector<std::vector<dlib::vector<float, 2>>> dlib::shape_predictor::*;
    friend type memberOf(Deltas);
};

template struct MemberReader<InitialShape, &dlib::shape_predictor::initial_shape>;
template struct MemberReader<Forests, &dlib::shape_predictor::forests>;
template struct MemberReader<AnchorIndices, &dlib::shape_predictor::anchor_idx>;
template struct MemberReader<Deltas, &dlib::shape_predictor::deltas>;

constexpr char magic[8] = {'f', 'm', 'l', 'm', 'c', 'a', 'c', 'h'};
constexpr uint32_t formatVersion = 1;
constexpr uint32_t byteOrderMark = 0x01020304;
constexpr uint32_t dlibVersion = DLIB_MAJOR_VERSION * 10000 + DLIB_MINOR_VERSION * 100 + DLIB_PATCH_VERSION;
constexpr uint32_t typeSizes = sizeof(float) << 24 | sizeof(double) << 16 | sizeof(long) << 8 | sizeof(void*);

struct Header {
    char magic[8];
    uint32_t format;
    uint32_t byteOrder;
    uint32_t dlibVersion;
    uint32_t typeSizes;
    uint64_t modelSize;
    int64_t modelModifiedNs;
    uint64_t modelHash;
    uint64_t payloadSize;
    uint64_t payloadHash;
};
static_assert(sizeof(Header) == 64, "the header is written as it lies in memory");

// Limits on the counts read from a file, far above what a 68- or 194-point model holds, so that a
// damaged count fails the read instead of allocating without bound.
constexpr uint32_t maxShapeSize = 20000;
constexpr uint32_t maxCascades = 1000;
constexpr uint32_t maxAnchors = 1u << 20;
constexpr uint32_t maxTrees = 1u << 20;
constexpr uint32_t maxSplits = 1u << 20;

// --- XXH64 -------------------------------------------------------------------------------

constexpr uint64_t prime1 = 11400714785074694791ULL;
constexpr uint64_t prime2 = 14029467366897019727ULL;
constexpr uint64_t prime3 = 1609587929392839161ULL;
constexpr uint64_t prime4 = 9650029242287828579ULL;
constexpr uint64_t prime5 = 2870177450012600261ULL;

inline uint64_t rotl(uint64_t x, int r)
{
    return (x << r) | (x >> (64 - r));
}

inline uint64_t load64(const unsigned char* p)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline uint32_t load32(const unsigned char* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline uint64_t round64(uint64_t acc, uint64_t input)
{
    acc += input * prime2;
    acc = rotl(acc, 31);
    return acc * prime1;
}

inline uint64_t mergeRound(uint64_t acc, uint64_t value)
{
    acc ^= round64(0, value);
    return acc * prime1 + prime4;
}

// --- files -----------------------------------------------------------------------------

// A regular file read with pread(2), not mapped: a file cut short by another process while it is
// read gives a short read here, where a mapping would kill the process with SIGBUS.
class FileReader
{
public:
    explicit FileReader(const std::string& path)
    {
        // Without waiting: a FIFO at the path would hold open(2) until someone writes to it.
        descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (descriptor < 0) {
            return;
        }
        regular = ::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) && status.st_size >= 0;
    }
    ~FileReader()
    {
        if (descriptor >= 0) {
            ::close(descriptor);
        }
    }
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    bool isOpen() const { return descriptor >= 0; }
    bool isRegular() const { return regular; }
    size_t size() const { return size_t(status.st_size); }
    const struct stat& info() const { return status; }

    // The size bytes at offset; false when the file ends before them or reading fails.
    bool readAt(uint64_t offset, char* target, size_t size) const
    {
        while (size > 0) {
            const ssize_t got = ::pread(descriptor, target, std::min<size_t>(size, size_t(1) << 30), off_t(offset));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return false;
            }
            target += got;
            offset += uint64_t(got);
            size -= size_t(got);
        }
        return true;
    }

private:
    int descriptor = -1;
    bool regular = false;
    struct stat status {};
};

int64_t modifiedNs(const struct stat& info)
{
    return int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

// --- the shape predictor's byte form ------------------------------------------------------

bool writePredictor(cachebytes::Sink& sink, const dlib::shape_predictor& predictor)
{
    const auto& initial = predictor.*memberOf(InitialShape{});
    const auto& forests = predictor.*memberOf(Forests{});
    const auto& anchors = predictor.*memberOf(AnchorIndices{});
    const auto& deltas = predictor.*memberOf(Deltas{});
    const long shapeSize = initial.size();
    if (shapeSize == 0 || shapeSize > long(maxShapeSize) || forests.size() != anchors.size() ||
        forests.size() != deltas.size() || forests.size() > maxCascades) {
        return false;
    }
    sink.put<uint32_t>(uint32_t(shapeSize));
    sink.putArray(&initial(0), size_t(shapeSize));
    sink.put<uint32_t>(uint32_t(forests.size()));
    for (size_t cascade = 0; cascade < forests.size(); ++cascade) {
        const std::vector<unsigned long>& anchor = anchors[cascade];
        if (anchor.size() != deltas[cascade].size() || anchor.size() > maxAnchors ||
            forests[cascade].size() > maxTrees) {
            return false;
        }
        sink.put<uint32_t>(uint32_t(anchor.size()));
        for (size_t i = 0; i < anchor.size(); ++i) {
            if (anchor[i] >= static_cast<unsigned long>(shapeSize / 2)) {
                return false;
            }
            sink.put<uint32_t>(uint32_t(anchor[i]));
            sink.put<float>(deltas[cascade][i].x());
            sink.put<float>(deltas[cascade][i].y());
        }
        sink.put<uint32_t>(uint32_t(forests[cascade].size()));
        for (const Tree& tree : forests[cascade]) {
            if (tree.splits.size() > maxSplits || tree.leaf_values.size() != tree.splits.size() + 1) {
                return false;
            }
            sink.put<uint32_t>(uint32_t(tree.splits.size()));
            for (const dlib::impl::split_feature& split : tree.splits) {
                if (split.idx1 >= anchor.size() || split.idx2 >= anchor.size()) {
                    return false;
                }
                sink.put<uint32_t>(uint32_t(split.idx1));
                sink.put<uint32_t>(uint32_t(split.idx2));
                sink.put<float>(split.thresh);
            }
            for (const dlib::matrix<float, 0, 1>& leaf : tree.leaf_values) {
                if (leaf.size() != shapeSize) {
                    return false;
                }
                sink.putArray(&leaf(0), size_t(shapeSize));
            }
        }
    }
    return true;
}

// Reads what writePredictor wrote into the predictor's own containers. Every index that the
// predictor later follows is checked here, so a damaged file can never make it read astray.
bool readPredictor(cachebytes::Source& source, dlib::shape_predictor& predictor)
{
    uint32_t shapeSize = 0;
    uint32_t cascades = 0;
    if (!source.getCount(shapeSize, maxShapeSize) || shapeSize == 0 || shapeSize % 2 != 0) {
        return false;
    }
    dlib::matrix<float, 0, 1> initial(shapeSize);
    source.getArray(&initial(0), shapeSize);
    if (!source.getCount(cascades, maxCascades)) {
        return false;
    }
    std::vector<std::vector<Tree>> forests(cascades);
    std::vector<std::vector<unsigned long>> anchors(cascades);
    std::vector<std::vector<dlib::vector<float, 2>>> deltas(cascades);
    for (uint32_t cascade = 0; cascade < cascades; ++cascade) {
        uint32_t anchorCount = 0;
        uint32_t treeCount = 0;
        if (!source.getCount(anchorCount, maxAnchors)) {
            return false;
        }
        anchors[cascade].resize(anchorCount);
        deltas[cascade].resize(anchorCount);
        for (uint32_t i = 0; i < anchorCount; ++i) {
            uint32_t anchor = 0;
            float dx = 0;
            float dy = 0;
            source.get(anchor);
            source.get(dx);
            source.get(dy);
            if (!source.ok() || anchor >= shapeSize / 2) {
                return false;
            }
            anchors[cascade][i] = anchor;
            deltas[cascade][i] = dlib::vector<float, 2>(dx, dy);
        }
        if (!source.getCount(treeCount, maxTrees)) {
            return false;
        }
        forests[cascade].resize(treeCount);
        for (Tree& tree : forests[cascade]) {
            uint32_t splitCount = 0;
            if (!source.getCount(splitCount, maxSplits)) {
                return false;
            }
            // The predictor walks a full binary tree: leaves = splits + 1, a power of two.
            const uint32_t leafCount = splitCount + 1;
            if ((leafCount & (leafCount - 1)) != 0) {
                return false;
            }
            tree.splits.resize(splitCount);
            for (dlib::impl::split_feature& split : tree.splits) {
                uint32_t first = 0;
                uint32_t second = 0;
                source.get(first);
                source.get(second);
                source.get(split.thresh);
                if (!source.ok() || first >= anchorCount || second >= anchorCount) {
                    return false;
                }
                split.idx1 = first;
                split.idx2 = second;
            }
            tree.leaf_values.resize(leafCount);
            for (dlib::matrix<float, 0, 1>& leaf : tree.leaf_values) {
                leaf.set_size(shapeSize);
                if (!source.getArray(&leaf(0), shapeSize)) {
                    return false;
                }
            }
        }
    }
    if (!source.ok()) {
        return false;
    }
    predictor.*memberOf(InitialShape{}) = std::move(initial);
    predictor.*memberOf(Forests{}) = std::move(forests);
    predictor.*memberOf(AnchorIndices{}) = std::move(anchors);
    predictor.*memberOf(Deltas{}) = std::move(deltas);
    return true;
}

} // namespace

StreamHash::StreamHash() : v1(prime1 + prime2), v2(prime2), v3(0), v4(0 - prime1) {}

void StreamHash::update(const void* data, size_t size)
{
    const auto* p = static_cast<const unsigned char*>(data);
    total += size;
    if (tailSize > 0) {
        const size_t taken = std::min(size, sizeof tail - tailSize);
        std::memcpy(tail + tailSize, p, taken);
        tailSize += taken;
        p += taken;
        size -= taken;
        if (tailSize < sizeof tail) {
            return;
        }
        stripe(tail);
        tailSize = 0;
    }
    for (; size >= 32; p += 32, size -= 32) {
        stripe(p);
    }
    std::memcpy(tail, p, size);
    tailSize = size;
}

void StreamHash::stripe(const unsigned char* p)
{
    v1 = round64(v1, load64(p));
    v2 = round64(v2, load64(p + 8));
    v3 = round64(v3, load64(p + 16));
    v4 = round64(v4, load64(p + 24));
}

uint64_t StreamHash::digest() const
{
    uint64_t h;
    if (total >= 32) {
        h = rotl(v1, 1) + rotl(v2, 7) + rotl(v3, 12) + rotl(v4, 18);
        h = mergeRound(h, v1);
        h = mergeRound(h, v2);
        h = mergeRound(h, v3);
        h = mergeRound(h, v4);
    } else {
        h = prime5;
    }
    h += total;
    const unsigned char* p = tail;
    const unsigned char* const end = tail + tailSize;
    while (p + 8 <= end) {
        h ^= round64(0, load64(p));
        h = rotl(h, 27) * prime1 + prime4;
        p += 8;
    }
    if (p + 4 <= end) {
        h ^= uint64_t(load32(p)) * prime1;
        h = rotl(h, 23) * prime2 + prime3;
        p += 4;
    }
    while (p < end) {
        h ^= (*p) * prime5;
        h = rotl(h, 11) * prime1;
        ++p;
    }
    h ^= h >> 33;
    h *= prime2;
    h ^= h >> 29;
    h *= prime3;
    h ^= h >> 32;
    return h;
}

uint64_t hashBytes(const void* data, size_t size)
{
    StreamHash hash;
    hash.update(data, size);
    return hash.digest();
}

QString defaultFolder()
{
    QString base = qEnvironmentVariable("XDG_CACHE_HOME");
    if (base.isEmpty() || QDir::isRelativePath(base)) {
        base = QDir::homePath() + QStringLiteral("/.cache");
    }
    return base + QStringLiteral("/facemask");
}

QString fileFor(const QString& folder, const std::string& modelPath)
{
    const QString canonical = QFileInfo(QFile::decodeName(modelPath.c_str())).canonicalFilePath();
    if (canonical.isEmpty() || folder.isEmpty()) {
        return {};
    }
    const QByteArray name = QFile::encodeName(canonical);
    return QDir(folder).filePath(QStringLiteral("landmarks-%1.cache")
                                     .arg(hashBytes(name.constData(), size_t(name.size())), 16, 16, QLatin1Char('0')));
}

std::optional<ModelKey> keyOf(const std::string& path)
{
    const FileReader file(path);
    if (!file.isRegular()) {
        return std::nullopt;
    }
    // In pieces that stay in the processor's cache; the whole model is not held twice.
    constexpr size_t pieceSize = size_t(1) << 20;
    const std::unique_ptr<char[]> piece(new (std::nothrow) char[pieceSize]);
    if (!piece) {
        return std::nullopt;
    }
    StreamHash hash;
    for (size_t offset = 0; offset < file.size(); offset += pieceSize) {
        const size_t length = std::min(pieceSize, file.size() - offset);
        if (!file.readAt(offset, piece.get(), length)) {
            return std::nullopt;
        }
        hash.update(piece.get(), length);
    }
    return ModelKey{uint64_t(file.size()), modifiedNs(file.info()), hash.digest()};
}

namespace {

// A writer that was killed leaves its temporary file (about the model's size); an hour is far
// longer than any write takes. One dated more than an hour ahead was left while the clock ran
// ahead: a writer at work dates its file with the clock as it writes.
void removeLeftovers(const QString& folder)
{
    const QFileInfoList leftovers = QDir(folder).entryInfoList({QStringLiteral("landmarks-*.part")}, QDir::Files);
    for (const QFileInfo& leftover : leftovers) {
        if (std::abs(leftover.lastModified().secsTo(QDateTime::currentDateTime())) > 3600) {
            QFile::remove(leftover.absoluteFilePath());
        }
    }
}

// Copies kept in a folder: one per model path, and a path may be used once (a model copied into
// a temporary folder for one run, or beside each project), so only those used last stay.
constexpr int keptCopies = 3;

// Marks a copy as used now; its modification time orders the copies by their last use.
void markUsed(const QString& cacheFile)
{
    ::utimensat(AT_FDCWD, QFile::encodeName(cacheFile).constData(), nullptr, 0);
}

// Keeps written and the others of its folder used last, keptCopies in all, and removes the rest.
// A copy another process has open stays readable to it until it is closed.
void removeCopiesNotUsedLately(const QFileInfo& written)
{
    const QFileInfoList copies = QDir(written.absolutePath())
                                     .entryInfoList({QStringLiteral("landmarks-*.cache")}, QDir::Files, QDir::Time);
    int kept = 1;
    for (const QFileInfo& copy : copies) {
        if (copy.fileName() != written.fileName() && ++kept > keptCopies) {
            QFile::remove(copy.absoluteFilePath());
        }
    }
}

} // namespace

ReadResult read(const QString& cacheFile, const std::string& modelPath, dlib::shape_predictor& predictor,
                FhogFaceDetector& detector)
{
    if (cacheFile.isEmpty()) {
        return ReadResult::Missing;
    }
    const FileReader cache(QFile::encodeName(cacheFile).toStdString());
    if (!cache.isOpen()) {
        return ReadResult::Missing;
    }
    Header header{};
    if (!cache.isRegular() || cache.size() < sizeof header) {
        return ReadResult::Damaged;
    }
    if (!cache.readAt(0, reinterpret_cast<char*>(&header), sizeof header)) {
        return ReadResult::Damaged;
    }
    if (std::memcmp(header.magic, magic, sizeof magic) != 0 || header.byteOrder != byteOrderMark ||
        header.typeSizes != typeSizes || header.payloadSize != cache.size() - sizeof header) {
        return ReadResult::Damaged;
    }
    if (header.format != formatVersion || header.dlibVersion != dlibVersion) {
        return ReadResult::Stale;
    }
    struct stat model {};
    if (::stat(modelPath.c_str(), &model) != 0 || uint64_t(model.st_size) != header.modelSize ||
        modifiedNs(model) != header.modelModifiedNs) {
        return ReadResult::Stale;
    }

    // The model's hash is computed beside the parsing, the copy's own as its pieces are read; the
    // parsed result is thrown away unless both agree.
    std::future<std::optional<ModelKey>> modelKey;
    try {
        modelKey = std::async(std::launch::async, [&modelPath] { return keyOf(modelPath); });
    } catch (const std::system_error&) {
    }
    dlib::shape_predictor readPredictorCopy;
    FhogFaceDetector readDetector;
    StreamHash payloadHash;
    bool parsed = false;
    try {
        cachebytes::Source source(
            size_t(header.payloadSize),
            [&cache](char* target, uint64_t offset, size_t length) {
                return cache.readAt(sizeof(Header) + offset, target, length);
            },
            [&payloadHash](const char* bytes, size_t length) { payloadHash.update(bytes, length); });
        parsed = readPredictor(source, readPredictorCopy);
        if (parsed) {
            readDetector = FhogFaceDetector::read(source);
            parsed = readDetector.isValid() && source.atEnd();
        }
    } catch (...) {
        // Counts within the limits can still ask for more memory than there is.
        parsed = false;
    }
    const std::optional<ModelKey> key = modelKey.valid() ? modelKey.get() : keyOf(modelPath);
    // Parsed to its end, the payload has passed through the hash whole.
    if (!parsed || payloadHash.digest() != header.payloadHash) {
        return ReadResult::Damaged;
    }
    if (!key || key->size != header.modelSize || key->modifiedNs != header.modelModifiedNs ||
        key->hash != header.modelHash) {
        return ReadResult::Stale;
    }
    predictor = std::move(readPredictorCopy);
    detector = std::move(readDetector);
    markUsed(cacheFile);
    // Once the copy is read, no write follows to sweep what a killed writer left.
    removeLeftovers(QFileInfo(cacheFile).absolutePath());
    return ReadResult::Read;
}

bool write(const QString& cacheFile, const ModelKey& key, const dlib::shape_predictor& predictor,
           const FhogFaceDetector& detector)
{
    if (cacheFile.isEmpty()) {
        return false;
    }
    try {
        const QFileInfo target(cacheFile);
        if (!QDir().mkpath(target.absolutePath())) {
            return false;
        }
        cachebytes::Sink sink;
        if (!writePredictor(sink, predictor) || !detector.write(sink)) {
            return false;
        }
        Header header{};
        std::memcpy(header.magic, magic, sizeof magic);
        header.format = formatVersion;
        header.byteOrder = byteOrderMark;
        header.dlibVersion = dlibVersion;
        header.typeSizes = typeSizes;
        header.modelSize = key.size;
        header.modelModifiedNs = key.modifiedNs;
        header.modelHash = key.hash;
        header.payloadSize = sink.bytes.size();
        header.payloadHash = hashBytes(sink.bytes.data(), sink.bytes.size());

        removeLeftovers(target.absolutePath());
        // Written beside the target and renamed over it: rename replaces atomically, so readers
        // and other writers only ever see a whole file.
        QTemporaryFile temporary(target.absoluteFilePath() + QStringLiteral(".XXXXXX.part"));
        if (!temporary.open()) {
            return false;
        }
        const auto written = temporary.write(reinterpret_cast<const char*>(&header), sizeof header) +
                             temporary.write(sink.bytes.data(), qint64(sink.bytes.size()));
        if (written != qint64(sizeof header + sink.bytes.size()) || !temporary.flush()) {
            return false;
        }
        temporary.close();
        if (::rename(QFile::encodeName(temporary.fileName()).constData(),
                     QFile::encodeName(target.absoluteFilePath()).constData()) != 0) {
            return false;
        }
        temporary.setAutoRemove(false);
        removeCopiesNotUsedLately(target);
        return true;
    } catch (...) {
        // Out of memory while assembling the copy: there is simply no cache this time.
        return false;
    }
}

} // namespace core::modelcache
