#include "face_detection_module/fhogfacedetector.h"

#include "face_detection_module/cachebytes.h"
#include "face_detection_module/qimage_dlib.h"

#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

namespace core {

namespace {

using Scanner = dlib::scan_fhog_pyramid<dlib::pyramid_down<6>>;
using Filterbank = Scanner::fhog_filterbank;
using Pyramid = dlib::pyramid_down<6>;
using Detections = std::vector<std::pair<double, dlib::rectangle>>;

// dlib keeps the built filter banks of its detector private, and building them again means a
// singular value decomposition per filter. An explicit instantiation may name a private member,
// which is how the banks dlib has built already are read out, once, when the cache is made.
template <typename Tag, typename Tag::type Member>
struct MemberReader {
    friend typename Tag::type memberOf(Tag) { return Member; }
};

struct DetectorWeights {
    using type = std::vector<dlib::processed_weight_vector<Scanner>> dlib::frontal_face_detector::*;
    friend type memberOf(DetectorWeights);
};

template struct MemberReader<DetectorWeights, &dlib::frontal_face_detector::w>;

// Bounds a cache file must respect before anything is allocated from its counts.
constexpr uint32_t maxDetectors = 64;
constexpr long maxFilterSide = 256;

} // namespace

struct FhogFaceDetector::Model {
    struct Detector {
        double threshold = 0;
        Filterbank filters;
    };

    int cellSize = 8;
    unsigned long padding = 1;
    // The filters' size in HOG cells, padding included (scan_fhog_pyramid's window size).
    long fhogHeight = 0;
    long fhogWidth = 0;
    unsigned long maxPyramidLevels = 1000;
    unsigned long minLayerWidth = 64;
    unsigned long minLayerHeight = 64;
    double iouThreshold = 0.5;
    double coveredThreshold = 1.0;
    std::vector<Detector> detectors;
};

FhogFaceDetector::FhogFaceDetector() = default;
FhogFaceDetector::~FhogFaceDetector() = default;
FhogFaceDetector::FhogFaceDetector(const FhogFaceDetector&) = default;
FhogFaceDetector& FhogFaceDetector::operator=(const FhogFaceDetector&) = default;

FhogFaceDetector FhogFaceDetector::frontal()
{
    dlib::frontal_face_detector stock = dlib::get_frontal_face_detector();
    const Scanner& scanner = stock.get_scanner();
    auto model = std::make_shared<Model>();
    model->cellSize = int(scanner.get_cell_size());
    model->padding = scanner.get_padding();
    model->maxPyramidLevels = scanner.get_max_pyramid_levels();
    model->minLayerWidth = scanner.get_min_pyramid_layer_width();
    model->minLayerHeight = scanner.get_min_pyramid_layer_height();
    model->iouThreshold = stock.get_overlap_tester().get_iou_thresh();
    model->coveredThreshold = stock.get_overlap_tester().get_percent_covered_thresh();
    const auto& weights = stock.*memberOf(DetectorWeights{});
    for (unsigned long i = 0; i < stock.num_detectors(); ++i) {
        // The threshold is the weight vector's last element, as object_detector reads it.
        model->detectors.push_back({stock.get_w(i)(scanner.get_num_dimensions()), weights[i].fb});
    }
    if (!model->detectors.empty() && !model->detectors[0].filters.filters.empty()) {
        model->fhogHeight = model->detectors[0].filters.filters[0].nr();
        model->fhogWidth = model->detectors[0].filters.filters[0].nc();
    }
    FhogFaceDetector detector;
    detector.model = std::move(model);
    return detector;
}

bool FhogFaceDetector::isValid() const
{
    return model && !model->detectors.empty();
}

void FhogFaceDetector::setThreadCount(int count)
{
    threads = std::max(1, count);
}

int FhogFaceDetector::threadCount() const
{
    return threads;
}

std::vector<FhogFaceDetector::Box> FhogFaceDetector::detect(const QImage& rgb888) const
{
    if (!isValid() || rgb888.isNull() || rgb888.format() != QImage::Format_RGB888) {
        return {};
    }
    const Model& m = *model;
    const Pyramid pyramid;
    const dlib::default_fhog_feature_extractor extractor;

    // The number of levels, exactly as scan_fhog_pyramid counts them.
    unsigned long levels = 0;
    dlib::rectangle rect = dlib::get_rect(rgb888);
    do {
        rect = pyramid.rect_down(rect);
        ++levels;
    } while (rect.width() >= m.minLayerWidth && rect.height() >= m.minLayerHeight &&
             levels < m.maxPyramidLevels);

    const unsigned long boxHeight = m.fhogHeight - 2 * m.padding;
    const unsigned long boxWidth = m.fhogWidth - 2 * m.padding;
    // Level l's pictures (level 0 is the input itself) and, per level, per detector, what it found.
    std::vector<std::unique_ptr<dlib::array2d<dlib::rgb_pixel>>> pictures(levels);
    std::vector<std::vector<Detections>> found(levels, std::vector<Detections>(m.detectors.size()));

    // Each level from the one above it, as dlib's pyramid does, so the pixels are the same.
    const auto makeLevel = [&](unsigned long level) {
        auto picture = std::make_unique<dlib::array2d<dlib::rgb_pixel>>();
        if (level == 1) {
            pyramid(rgb888, *picture);
        } else {
            pyramid(*pictures[level - 1], *picture);
        }
        pictures[level] = std::move(picture);
    };
    // dlib's detect_from_fhog_pyramid for one level and every detector.
    const auto searchLevel = [&](unsigned long level) {
        dlib::array<dlib::array2d<float>> features;
        if (level == 0) {
            extractor(rgb888, features, m.cellSize, int(m.fhogHeight), int(m.fhogWidth));
        } else {
            extractor(*pictures[level], features, m.cellSize, int(m.fhogHeight), int(m.fhogWidth));
        }
        dlib::array2d<float> saliency;
        for (size_t i = 0; i < m.detectors.size(); ++i) {
            const double threshold = m.detectors[i].threshold;
            const dlib::rectangle area = dlib::impl::apply_filters_to_fhog(m.detectors[i].filters, features, saliency);
            Detections& out = found[level][i];
            for (long r = area.top(); r <= area.bottom(); ++r) {
                for (long c = area.left(); c <= area.right(); ++c) {
                    if (saliency[r][c] >= threshold) {
                        dlib::rectangle box = extractor.feats_to_image(
                            dlib::centered_rect(dlib::point(c, r), boxWidth, boxHeight), m.cellSize,
                            int(m.fhogHeight), int(m.fhogWidth));
                        box = pyramid.rect_up(box, level);
                        out.push_back(std::make_pair(saliency[r][c], box));
                    }
                }
            }
        }
    };

    const unsigned long workers = std::min<unsigned long>(std::max(1, threads), levels);
    if (workers <= 1) {
        for (unsigned long level = 0; level < levels; ++level) {
            if (level > 0) {
                makeLevel(level);
                if (level > 1) {
                    pictures[level - 1].reset();
                }
            }
            searchLevel(level);
        }
    } else {
        // Making the pyramid is a chain (level l needs level l - 1), searching a level is not.
        // A free thread extends the chain when nobody does, else searches the next level made.
        std::mutex mutex;
        std::condition_variable changed;
        unsigned long made = 1;
        bool making = false;
        unsigned long nextSearch = 0;
        std::vector<char> searched(levels, 0);
        bool failed = false;
        const auto dropUnneeded = [&](unsigned long level) {
            // A level's picture is needed to search it and to make the next one.
            if (level > 0 && searched[level] && made > level + 1) {
                pictures[level].reset();
            }
        };
        const auto work = [&] {
            try {
                std::unique_lock<std::mutex> lock(mutex);
                while (!failed) {
                    if (!making && made < levels) {
                        making = true;
                        const unsigned long level = made;
                        lock.unlock();
                        makeLevel(level);
                        lock.lock();
                        made = level + 1;
                        making = false;
                        dropUnneeded(level - 1);
                        changed.notify_all();
                    } else if (nextSearch < made) {
                        const unsigned long level = nextSearch++;
                        lock.unlock();
                        searchLevel(level);
                        lock.lock();
                        searched[level] = 1;
                        dropUnneeded(level);
                        changed.notify_all();
                    } else if (nextSearch >= levels) {
                        return;
                    } else {
                        changed.wait(lock);
                    }
                }
            } catch (...) {
                // Only allocations fail here; the caller reports it once both threads are done.
                const std::lock_guard<std::mutex> lock(mutex);
                failed = true;
                changed.notify_all();
            }
        };
        std::thread helper;
        try {
            helper = std::thread(work);
        } catch (...) {
            // Without a second thread the calling one does all the work.
        }
        work();
        if (helper.joinable()) {
            helper.join();
        }
        if (failed) {
            throw std::bad_alloc();
        }
    }

    // object_detector's merge: each detector's finds sorted by score (dlib sorts the levels'
    // finds concatenated in level order; the same sequence sorts the same way), then all of them
    // by confidence, then non-maximum suppression against the boxes kept so far.
    std::vector<dlib::rect_detection> candidates;
    for (size_t i = 0; i < m.detectors.size(); ++i) {
        Detections detections;
        for (unsigned long level = 0; level < levels; ++level) {
            detections.insert(detections.end(), found[level][i].begin(), found[level][i].end());
        }
        std::sort(detections.rbegin(), detections.rend(), dlib::impl::compare_pair_rect);
        for (const auto& [score, box] : detections) {
            dlib::rect_detection candidate;
            candidate.detection_confidence = score - m.detectors[i].threshold;
            candidate.weight_index = i;
            candidate.rect = box;
            candidates.push_back(candidate);
        }
    }
    if (m.detectors.size() > 1) {
        std::sort(candidates.rbegin(), candidates.rend());
    }
    const dlib::test_box_overlap overlaps(m.iouThreshold, m.coveredThreshold);
    std::vector<dlib::rect_detection> kept;
    for (const dlib::rect_detection& candidate : candidates) {
        const bool suppressed = std::any_of(kept.begin(), kept.end(), [&](const dlib::rect_detection& k) {
            return overlaps(k.rect, candidate.rect);
        });
        if (!suppressed) {
            kept.push_back(candidate);
        }
    }
    std::vector<Box> boxes;
    boxes.reserve(kept.size());
    for (const dlib::rect_detection& k : kept) {
        boxes.push_back({k.rect.left(), k.rect.top(), k.rect.right(), k.rect.bottom(), k.detection_confidence,
                         k.weight_index});
    }
    return boxes;
}

bool FhogFaceDetector::write(cachebytes::Sink& sink) const
{
    if (!isValid()) {
        return false;
    }
    const Model& m = *model;
    // read() takes every filter to be fhogHeight x fhogWidth, as dlib builds them.
    for (const Model::Detector& detector : m.detectors) {
        const Filterbank& bank = detector.filters;
        for (size_t plane = 0; plane < bank.filters.size(); ++plane) {
            if (bank.filters[plane].nr() != m.fhogHeight || bank.filters[plane].nc() != m.fhogWidth) {
                return false;
            }
            for (size_t j = 0; j < bank.row_filters[plane].size(); ++j) {
                if (bank.row_filters[plane][j].size() != m.fhogWidth ||
                    bank.col_filters[plane][j].size() != m.fhogHeight) {
                    return false;
                }
            }
        }
    }
    sink.put<int32_t>(m.cellSize);
    sink.put<uint64_t>(m.padding);
    sink.put<int64_t>(m.fhogHeight);
    sink.put<int64_t>(m.fhogWidth);
    sink.put<uint64_t>(m.maxPyramidLevels);
    sink.put<uint64_t>(m.minLayerWidth);
    sink.put<uint64_t>(m.minLayerHeight);
    sink.put<double>(m.iouThreshold);
    sink.put<double>(m.coveredThreshold);
    sink.put<uint32_t>(uint32_t(m.detectors.size()));
    for (const Model::Detector& detector : m.detectors) {
        const Filterbank& bank = detector.filters;
        sink.put<double>(detector.threshold);
        sink.put<uint32_t>(uint32_t(bank.filters.size()));
        for (size_t plane = 0; plane < bank.filters.size(); ++plane) {
            sink.putArray(&bank.filters[plane](0, 0), size_t(bank.filters[plane].size()));
            sink.put<uint32_t>(uint32_t(bank.row_filters[plane].size()));
            for (size_t j = 0; j < bank.row_filters[plane].size(); ++j) {
                sink.putArray(&bank.row_filters[plane][j](0), size_t(bank.row_filters[plane][j].size()));
                sink.putArray(&bank.col_filters[plane][j](0), size_t(bank.col_filters[plane][j].size()));
            }
        }
    }
    return true;
}

FhogFaceDetector FhogFaceDetector::read(cachebytes::Source& source)
{
    auto m = std::make_shared<Model>();
    int32_t cellSize = 0;
    uint64_t padding = 0, maxLevels = 0, minWidth = 0, minHeight = 0;
    int64_t fhogHeight = 0, fhogWidth = 0;
    uint32_t detectorCount = 0;
    source.get(cellSize);
    source.get(padding);
    source.get(fhogHeight);
    source.get(fhogWidth);
    source.get(maxLevels);
    source.get(minWidth);
    source.get(minHeight);
    source.get(m->iouThreshold);
    source.get(m->coveredThreshold);
    source.getCount(detectorCount, maxDetectors);
    // The window must stay larger than its padding, and the pyramid must stop somewhere.
    if (!source.ok() || cellSize < 1 || cellSize > 64 || fhogHeight < 1 || fhogHeight > maxFilterSide ||
        fhogWidth < 1 || fhogWidth > maxFilterSide || int64_t(2 * padding) >= std::min(fhogHeight, fhogWidth) ||
        maxLevels < 1 || minWidth < 1 || minHeight < 1 || detectorCount == 0 || !(m->iouThreshold >= 0) ||
        !(m->iouThreshold <= 1) || !(m->coveredThreshold >= 0) || !(m->coveredThreshold <= 1)) {
        source.fail();
        return {};
    }
    m->cellSize = cellSize;
    m->padding = padding;
    m->fhogHeight = fhogHeight;
    m->fhogWidth = fhogWidth;
    m->maxPyramidLevels = maxLevels;
    m->minLayerWidth = minWidth;
    m->minLayerHeight = minHeight;
    const dlib::default_fhog_feature_extractor extractor;
    const uint32_t planes = uint32_t(extractor.get_num_planes());
    m->detectors.resize(detectorCount);
    for (Model::Detector& detector : m->detectors) {
        Filterbank& bank = detector.filters;
        uint32_t planeCount = 0;
        source.get(detector.threshold);
        if (!source.getCount(planeCount, planes) || planeCount != planes) {
            source.fail();
            return {};
        }
        bank.filters.resize(planes);
        bank.row_filters.resize(planes);
        bank.col_filters.resize(planes);
        for (uint32_t plane = 0; plane < planes; ++plane) {
            bank.filters[plane].set_size(fhogHeight, fhogWidth);
            source.getArray(&bank.filters[plane](0, 0), size_t(fhogHeight * fhogWidth));
            uint32_t separable = 0;
            if (!source.getCount(separable, uint32_t(std::max(fhogHeight, fhogWidth)))) {
                return {};
            }
            bank.row_filters[plane].resize(separable);
            bank.col_filters[plane].resize(separable);
            for (uint32_t j = 0; j < separable; ++j) {
                bank.row_filters[plane][j].set_size(fhogWidth);
                bank.col_filters[plane][j].set_size(fhogHeight);
                source.getArray(&bank.row_filters[plane][j](0), size_t(fhogWidth));
                source.getArray(&bank.col_filters[plane][j](0), size_t(fhogHeight));
            }
        }
    }
    if (!source.ok()) {
        return {};
    }
    FhogFaceDetector detector;
    detector.model = std::move(m);
    return detector;
}

} // namespace core
