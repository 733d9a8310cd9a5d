#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace dlib {
class shape_predictor;
}

namespace core {

class FhogFaceDetector;

// A compact copy of the landmark model and of the face detector, so that later starts map one
// file instead of parsing dlib's portable number format and unpacking dlib's built-in detector.
// The copy is tied to the model file by its size, modification time and a hash of its bytes; a
// copy that does not match, or whose own hash, layout or counts are wrong, is never used.
namespace modelcache {

// The identity of a model file.
struct ModelKey {
    uint64_t size = 0;
    int64_t modifiedNs = 0;
    uint64_t hash = 0;
};

// $XDG_CACHE_HOME/facemask, else ~/.cache/facemask (an XDG_CACHE_HOME that is not absolute is
// ignored, as the XDG rules ask). The folder may not exist yet.
QString defaultFolder();

// The cache file for the model at modelPath inside folder (one file per model path, the path
// taken after resolving links). Empty when the model does not exist.
QString fileFor(const QString& folder, const std::string& modelPath);

// Size, time and hash of the file's bytes; nullopt when it cannot be read. Any thread.
std::optional<ModelKey> keyOf(const std::string& path);

// A 64-bit hash of bytes (XXH64 with seed 0).
uint64_t hashBytes(const void* data, size_t size);

// The same hash over bytes given in pieces of any size: update() with each, then digest().
class StreamHash
{
public:
    StreamHash();
    void update(const void* data, size_t size);
    uint64_t digest() const;

private:
    void stripe(const unsigned char* p);

    uint64_t v1, v2, v3, v4;
    uint64_t total = 0;
    unsigned char tail[32] = {};
    size_t tailSize = 0;
};

enum class ReadResult { Missing, Stale, Damaged, Read };

// Fills predictor and detector from cacheFile when it is a sound copy of the model at
// modelPath as that file is now; otherwise leaves them alone and says why. A copy that is read
// is dated anew as used last, and also clears the folder of temporary files that killed writers
// left over an hour ago. Neither file is mapped (another process may cut it short), and a FIFO is
// refused without waiting. Any thread.
ReadResult read(const QString& cacheFile, const std::string& modelPath, dlib::shape_predictor& predictor,
                FhogFaceDetector& detector);

// Writes the copy for a model whose file had key, through a temporary file renamed over
// cacheFile, so a reader never sees half a file and concurrent writers leave one whole copy.
// Creates the folder. Of the other copies in it, only the two used last stay: a model path used
// once does not keep its copy for good. Returns false when the copy could not be written (nothing
// is left behind).
bool write(const QString& cacheFile, const ModelKey& key, const dlib::shape_predictor& predictor,
           const FhogFaceDetector& detector);

} // namespace modelcache

} // namespace core
