#include "preview/maskrenderer.h"

#include "preview/facegeometry.h"
#include "core/facemaskproject.h"
#include "core/mirroring.h"
#include "preview/facetriangles.h"
#include "preview/meshfolds.h"

#include <QTransform>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <future>
#include <optional>
#include <system_error>
#include <vector>

namespace preview {

namespace {

// The frame as the mask is drawn over it, opaque. A picture with transparent parts shows them
// over black: left as they are, they would show the colour their transparency hides. Null when
// memory runs short.
QImage opaqueCopy(const QImage& frame)
{
    if (!frame.hasAlphaChannel()) {
        return frame.convertToFormat(QImage::Format_RGB32);
    }
    QImage out = frame.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (out.isNull()) {
        return out;
    }
    // Premultiplied, a pixel already is its colour laid over black: only its alpha is made whole.
    for (int y = 0; y < out.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x) {
            line[x] |= 0xff000000u;
        }
    }
    return out.reinterpretAsFormat(QImage::Format_RGB32) ? out : QImage();
}

using core::FacialPointVector;
using Triangle = std::array<QPointF, 3>;

constexpr int pointCount = faceTrianglePointCount;
constexpr int leftEyeOuterCorner = 36;
constexpr int rightEyeOuterCorner = 45;
// Working copies go down by halves until the longer side is at most this.
constexpr int smallestLevelSide = 64;
// Below this many pixels a second thread costs more than it saves.
constexpr qint64 parallelPixelThreshold = 60'000;

// A mask picture at one working resolution, premultiplied ARGB.
struct Level {
    QImage image;
    double scale = 1.0; // level pixels per picture pixel
};

// Qt's exact "x * a / 255" on the four 8-bit channels at once.
inline uint32_t byteMul(uint32_t x, uint32_t a)
{
    uint32_t t = (x & 0xff00ff) * a;
    t = (t + ((t >> 8) & 0xff00ff) + 0x800080) >> 8;
    t &= 0xff00ff;
    x = ((x >> 8) & 0xff00ff) * a;
    x = x + ((x >> 8) & 0xff00ff) + 0x800080;
    x &= 0xff00ff00;
    return x | t;
}

// a + (b - a) * f / 256 on the four channels, f in [0, 256].
inline uint32_t lerp(uint32_t a, uint32_t b, uint32_t f)
{
    const uint32_t g = 256 - f;
    const uint32_t rb = (((a & 0xff00ff) * g + (b & 0xff00ff) * f) >> 8) & 0xff00ff;
    const uint32_t ag = (((a >> 8) & 0xff00ff) * g + ((b >> 8) & 0xff00ff) * f) & 0xff00ff00;
    return rb | ag;
}

// Source-over of a premultiplied colour onto an opaque one.
inline uint32_t over(uint32_t source, uint32_t destination)
{
    return (source + byteMul(destination, 255 - (source >> 24))) | 0xff000000;
}

// Steps through a working copy in 16.16 fixed point: positions are pixel-centre coordinates
// minus one half, so that an exact pixel centre lands on a whole number and reads that pixel.
struct Sampler {
    explicit Sampler(const QImage& image)
        : bits(image.constBits())
        , bytesPerLine(image.bytesPerLine())
        , maxU((int64_t(image.width()) - 1) << 16)
        , maxV((int64_t(image.height()) - 1) << 16)
        , lastX(image.width() - 1)
        , lastY(image.height() - 1)
    {
    }

    static int64_t fixed(double value)
    {
        // Beyond this the picture is clamped anyway; the bound keeps the conversion defined.
        return std::llround(std::clamp(value, -1e9, 1e9) * 65536.0);
    }

    // Bilinear sample, clamped to the edges.
    uint32_t at(int64_t u, int64_t v) const
    {
        const int64_t cu = std::clamp<int64_t>(u, 0, maxU);
        const int64_t cv = std::clamp<int64_t>(v, 0, maxV);
        const int x0 = int(cu >> 16);
        const int y0 = int(cv >> 16);
        const int x1 = std::min(x0 + 1, lastX);
        const int y1 = std::min(y0 + 1, lastY);
        const auto* row0 = reinterpret_cast<const uint32_t*>(bits + std::ptrdiff_t(y0) * bytesPerLine);
        const auto* row1 = reinterpret_cast<const uint32_t*>(bits + std::ptrdiff_t(y1) * bytesPerLine);
        const uint32_t fx = uint32_t((cu >> 8) & 0xff);
        const uint32_t fy = uint32_t((cv >> 8) & 0xff);
        return lerp(lerp(row0[x0], row0[x1], fx), lerp(row1[x0], row1[x1], fx), fy);
    }

    const uchar* bits;
    std::ptrdiff_t bytesPerLine;
    int64_t maxU;
    int64_t maxV;
    int lastX;
    int lastY;
};

// Runs work(part, parts) on this thread and, when it pays, on a second one at the same time.
template <typename Work>
void inParallel(qint64 pixels, Work&& work)
{
    if (pixels >= parallelPixelThreshold) {
        std::future<void> other;
        try {
            other = std::async(std::launch::async, [&work] { work(1, 2); });
        } catch (const std::system_error&) {
        }
        if (other.valid()) {
            work(0, 2);
            other.get();
            return;
        }
    }
    work(0, 1);
}

inline uint32_t meanOf4(uint32_t a0, uint32_t a1, uint32_t b0, uint32_t b1)
{
    uint32_t rb = (a0 & 0xff00ff) + (a1 & 0xff00ff) + (b0 & 0xff00ff) + (b1 & 0xff00ff);
    uint32_t ag = ((a0 >> 8) & 0xff00ff) + ((a1 >> 8) & 0xff00ff) + ((b0 >> 8) & 0xff00ff)
                + ((b1 >> 8) & 0xff00ff);
    rb = ((rb + 0x20002) >> 2) & 0xff00ff;
    ag = (((ag + 0x20002) >> 2) & 0xff00ff) << 8;
    return rb | ag;
}

// Each output pixel is the mean of a 2 x 2 block; an odd last row or column is dropped. When
// given, *seen is and-ed with every source pixel read.
QImage halved(const QImage& source, uint32_t* seen = nullptr)
{
    const int w = std::max(1, source.width() / 2);
    const int h = std::max(1, source.height() / 2);
    QImage result(w, h, QImage::Format_ARGB32_Premultiplied);
    if (result.isNull()) {
        return result;
    }
    const bool oneColumn = source.width() < 2;
    const int lastY = source.height() - 1;
    uchar* const bits = result.bits();
    const std::ptrdiff_t bytesPerLine = result.bytesPerLine();
    uint32_t seenByPart[2] = {~0u, ~0u};
    inParallel(qint64(w) * h, [&](int part, int parts) {
        uint32_t all = ~0u;
        for (int y = h * part / parts; y < h * (part + 1) / parts; ++y) {
            const auto* a = reinterpret_cast<const uint32_t*>(source.constScanLine(std::min(2 * y, lastY)));
            const auto* b = reinterpret_cast<const uint32_t*>(source.constScanLine(std::min(2 * y + 1, lastY)));
            auto* out = reinterpret_cast<uint32_t*>(bits + y * bytesPerLine);
            if (oneColumn) {
                out[0] = meanOf4(a[0], a[0], b[0], b[0]);
                all &= a[0] & b[0];
                continue;
            }
            for (int x = 0; x < w; ++x) {
                out[x] = meanOf4(a[2 * x], a[2 * x + 1], b[2 * x], b[2 * x + 1]);
                all &= a[2 * x] & a[2 * x + 1] & b[2 * x] & b[2 * x + 1];
            }
        }
        seenByPart[part] = all;
    });
    if (seen) {
        *seen &= seenByPart[0] & seenByPart[1];
    }
    return result;
}

// True when every pixel of area has an alpha of 255.
bool isOpaque(const QImage& premultiplied, const QRect& area)
{
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const auto* line = reinterpret_cast<const uint32_t*>(premultiplied.constScanLine(y));
        for (int x = area.left(); x <= area.right(); ++x) {
            if ((line[x] >> 24) != 0xff) {
                return false;
            }
        }
    }
    return true;
}

bool isOpaque(const QImage& premultiplied)
{
    return isOpaque(premultiplied, premultiplied.rect());
}

// picture's pixels read as premultiplied ARGB in place, no copy made; the view keeps them alive.
QImage premultipliedView(const QImage& picture)
{
    auto* owner = new QImage(picture);
    return QImage(owner->constBits(), owner->width(), owner->height(), owner->bytesPerLine(),
                  QImage::Format_ARGB32_Premultiplied, [](void* data) { delete static_cast<QImage*>(data); },
                  owner);
}

std::vector<Level> buildLevels(const QImage& picture)
{
    std::vector<Level> levels;
    // An RGB32 picture whose pixels all have their top byte set, as Qt keeps them, is premultiplied
    // ARGB already: it is read in place rather than copied (a 108-megapixel copy takes a quarter
    // of a second). The first halving reads every pixel and tells; any other goes the long way.
    const bool inPlace = picture.format() == QImage::Format_RGB32;
    Level full{inPlace ? premultipliedView(picture) : picture.convertToFormat(QImage::Format_ARGB32_Premultiplied), 1.0};
    if (full.image.isNull()) {
        return levels;
    }
    levels.push_back(full);
    uint32_t seen = ~0u;
    while (std::max(levels.back().image.width(), levels.back().image.height()) > smallestLevelSide) {
        Level next{halved(levels.back().image, levels.size() == 1 ? &seen : nullptr), 0.0};
        if (next.image.isNull()) {
            break;
        }
        // A level pixel covers 2 x 2 pixels of the one above; an odd last column or row is lost.
        next.scale = levels.back().scale / 2;
        levels.push_back(next);
    }
    if (inPlace) {
        const QImage& image = full.image;
        const int width = image.width();
        const int height = image.height();
        bool opaque = levels.size() == 1 ? isOpaque(image) : (seen >> 24) == 0xff;
        // Pixels the first halving dropped.
        if (opaque && levels.size() > 1 && width % 2 == 1 && width > 1) {
            opaque = isOpaque(image, QRect(width - 1, 0, 1, height));
        }
        if (opaque && levels.size() > 1 && height % 2 == 1 && height > 1) {
            opaque = isOpaque(image, QRect(0, height - 1, width, 1));
        }
        if (!opaque) {
            return buildLevels(picture.convertToFormat(QImage::Format_ARGB32_Premultiplied));
        }
    }
    return levels;
}

// The smallest working copy that still has nearly `scale` pixels per picture pixel: enlarging a
// copy by up to a third looks no different, and the smaller copy stays in the processor's cache.
const Level& levelFor(const std::vector<Level>& levels, double scale)
{
    std::size_t chosen = 0;
    while (chosen + 1 < levels.size() && levels[chosen + 1].scale >= 0.75 * scale) {
        ++chosen;
    }
    return levels[chosen];
}

double transformScale(const QTransform& t)
{
    return std::max(std::hypot(t.m11(), t.m12()), std::hypot(t.m21(), t.m22()));
}

FacialPointVector toPixels(const FacialPointVector& fractions, double width, double height)
{
    FacialPointVector pixels;
    pixels.reserve(pointCount);
    for (int i = 0; i < pointCount; ++i) {
        pixels.emplace_back(fractions[i].x() * width, fractions[i].y() * height);
    }
    return pixels;
}

Triangle triangleOf(const FacialPointVector& shape, const FaceTriangle& t)
{
    return {shape[t.a], shape[t.b], shape[t.c]};
}

// Calls put(x, y, colour) for every pixel of rows [rowBegin, rowEnd) and columns
// [clip.left(), clip.right()] whose centre lies in the clockwise triangle target, colour being
// the source sampled where toSource maps that centre; without a source, colour is 0.
template <typename Put>
void rasterize(const Triangle& target, const QTransform& toSource, const QImage* source,
               const QRect& clip, int rowBegin, int rowEnd, Put&& put)
{
    const double left = std::min({target[0].x(), target[1].x(), target[2].x()});
    const double right = std::max({target[0].x(), target[1].x(), target[2].x()});
    const double top = std::min({target[0].y(), target[1].y(), target[2].y()});
    const double bottom = std::max({target[0].y(), target[1].y(), target[2].y()});
    const int x0 = std::max(clip.left(), int(std::floor(left)));
    const int x1 = std::min(clip.right(), int(std::ceil(right)));
    const int y0 = std::max({clip.top(), rowBegin, int(std::floor(top))});
    const int y1 = std::min({clip.bottom(), rowEnd - 1, int(std::ceil(bottom))});
    if (x0 > x1 || y0 > y1) {
        return;
    }
    // Edge functions, each growing towards the inside; a shared edge belongs to both sides, so
    // neighbours leave no crack.
    struct Edge {
        double a, b, c;
        double at(double x, double y) const { return a * x + b * y + c; }
    };
    std::array<Edge, 3> edges;
    for (int i = 0; i < 3; ++i) {
        const QPointF& p = target[i];
        const QPointF& q = target[(i + 1) % 3];
        edges[i] = {-(q.y() - p.y()), q.x() - p.x(), (q.y() - p.y()) * p.x() - (q.x() - p.x()) * p.y()};
    }
    const double tolerance = -1e-9;
    const std::optional<Sampler> sampler = source ? std::optional<Sampler>(Sampler(*source)) : std::nullopt;
    const int64_t du = Sampler::fixed(toSource.m11());
    const int64_t dv = Sampler::fixed(toSource.m12());
    for (int y = y0; y <= y1; ++y) {
        const double cy = y + 0.5;
        // Column span of the row from the three edges, so no pixel outside is visited.
        double spanLeft = x0;
        double spanRight = x1 + 1;
        bool empty = false;
        for (const Edge& e : edges) {
            const double rest = e.b * cy + e.c; // a * (x + 0.5) + rest >= 0
            if (e.a > 0) {
                spanLeft = std::max(spanLeft, -rest / e.a - 0.5);
            } else if (e.a < 0) {
                spanRight = std::min(spanRight, -rest / e.a - 0.5);
            } else if (rest < tolerance) {
                empty = true;
            }
        }
        if (empty) {
            continue;
        }
        const int first = std::max(x0, int(std::ceil(spanLeft - 1e-9)));
        const int last = std::min(x1, int(std::floor(spanRight + 1e-9)));
        if (first > last) {
            continue;
        }
        if (!sampler) {
            for (int x = first; x <= last; ++x) {
                put(x, y, 0u);
            }
            continue;
        }
        const double cx = first + 0.5;
        int64_t u = Sampler::fixed(toSource.m11() * cx + toSource.m21() * cy + toSource.dx() - 0.5);
        int64_t v = Sampler::fixed(toSource.m12() * cx + toSource.m22() * cy + toSource.dy() - 0.5);
        for (int x = first; x <= last; ++x, u += du, v += dv) {
            put(x, y, sampler->at(u, v));
        }
    }
}


std::pair<int, int> rowsOfPart(const QRect& rect, int part, int parts)
{
    const int begin = rect.top() + rect.height() * part / parts;
    const int end = rect.top() + rect.height() * (part + 1) / parts;
    return {begin, end};
}

// The sides of a face's region where the frame's edge cuts the face.
struct CutSides {
    bool left = false;
    bool top = false;
    bool right = false;
    bool bottom = false;
};

// In-place chamfer distance (2 per straight step, 3 per diagonal) to the nearest uncovered
// pixel, capped at cap. Pixels beyond the buffer count as uncovered, except beyond a side the
// frame cuts: the face goes on there, so the mask is cut by the edge rather than fading out.
void distanceToOutline(std::vector<uint8_t>& distance, int width, int height, int cap, CutSides cut = {})
{
    auto at = [&](int x, int y) -> int {
        if (x < 0 || y < 0 || x >= width || y >= height) {
            const bool open = (x >= 0 || cut.left) && (y >= 0 || cut.top) && (x < width || cut.right)
                              && (y < height || cut.bottom);
            return open ? cap : 0;
        }
        return distance[std::size_t(y) * width + x];
    };
    for (std::size_t i = 0; i < distance.size(); ++i) {
        distance[i] = distance[i] ? uint8_t(cap) : 0;
    }
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t& d = distance[std::size_t(y) * width + x];
            if (d) {
                d = uint8_t(std::min({int(d), at(x - 1, y) + 2, at(x, y - 1) + 2, at(x - 1, y - 1) + 3,
                                      at(x + 1, y - 1) + 3}));
            }
        }
    }
    for (int y = height - 1; y >= 0; --y) {
        for (int x = width - 1; x >= 0; --x) {
            uint8_t& d = distance[std::size_t(y) * width + x];
            if (d) {
                d = uint8_t(std::min({int(d), at(x + 1, y) + 2, at(x, y + 1) + 2, at(x + 1, y + 1) + 3,
                                      at(x - 1, y + 1) + 3}));
            }
        }
    }
}

QRect boundsOf(const geometry::Extent& e, const QRect& frame)
{
    const QRect bounds(QPoint(int(std::floor(e.minX)) - 1, int(std::floor(e.minY)) - 1),
                       QPoint(int(std::ceil(e.maxX)) + 1, int(std::ceil(e.maxY)) + 1));
    return bounds.intersected(frame);
}

// Which mask points lie on the picture's border (not beyond it: a point outside the picture is
// where its face really is). Detection clamps the points of a face cut by the edge to it, and
// editing keeps points inside the picture, so such a point stands for one beyond the edge: a
// triangle spanning it would stretch the last pixels before the edge, often background, over
// the face.
std::array<bool, pointCount> pointsOnBorder(const FacialPointVector& pixels, QSize picture)
{
    // Clamped fractions are exactly 0 or 1; the margin only absorbs the scaling to pixels.
    constexpr double margin = 1e-6;
    std::array<bool, pointCount> onBorder{};
    for (int i = 0; i < pointCount; ++i) {
        const QPointF& p = pixels[std::size_t(i)];
        onBorder[std::size_t(i)] = std::abs(p.x()) <= margin || std::abs(p.y()) <= margin
                                   || std::abs(p.x() - picture.width()) <= margin
                                   || std::abs(p.y() - picture.height()) <= margin;
    }
    return onBorder;
}

bool pointsAreFinite(const FacialPointVector& shape)
{
    return std::all_of(shape.begin(), shape.end(),
                       [](const QPointF& p) { return std::isfinite(p.x()) && std::isfinite(p.y()); });
}

} // namespace

struct MaskRenderer::Impl {
    // One triangle of the face and the map from its frame pixels to the working copy's pixels;
    // drawn is false for a triangle that only shapes the outline.
    struct TriangleJob {
        Triangle face;
        QTransform toSource;
        bool drawn;
    };
    struct FacePlan {
        QRect region;
        CutSides cut; // where the frame's edge cuts the region
        const Level* level = nullptr;
        int feather = 0;
        std::vector<TriangleJob> jobs; // empty when nothing is to be drawn
    };

    FacePlan planFace(const QRect& frame, const FacialPointVector& maskPixels,
                      const FacialPointVector& facePixels, RenderReport& report) const;
    void drawBackground(QImage& out, const FacialPointVector& maskPixels,
                        const FacialPointVector& facePixels) const;
    void drawFace(QImage& out, const FacePlan& plan) const;

    std::vector<Level> levels; // copies share the pixels (QImage is implicitly shared)
    QSize pictureSize;
    bool opaque = true; // no pixel of the picture lets the frame through
    FacialPointVector points;
    int effectType = core::FaceOnly;
};

void MaskRenderer::Impl::drawBackground(QImage& out, const FacialPointVector& maskPixels,
                                        const FacialPointVector& facePixels) const
{
    const QRect frame = out.rect();
    const QRectF picture(QPointF(0, 0), QSizeF(pictureSize));
    // Picture pixels to frame pixels.
    QTransform placement;
    if (effectType == core::WholeImage) {
        placement = geometry::similarityFit(maskPixels, facePixels, pointCount);
    } else {
        placement = QTransform::fromScale(frame.width() / picture.width(), frame.height() / picture.height());
    }
    bool invertible = false;
    const QTransform toPicture = placement.inverted(&invertible);
    if (!invertible) {
        return;
    }
    const Level& level = levelFor(levels, transformScale(placement));
    const QTransform toSource = toPicture * QTransform::fromScale(level.scale, level.scale);
    const QPointF c0 = placement.map(picture.topLeft());
    const QPointF c1 = placement.map(picture.topRight());
    const QPointF c2 = placement.map(picture.bottomRight());
    const QPointF c3 = placement.map(picture.bottomLeft());
    const std::array<Triangle, 2> halves{Triangle{c0, c1, c2}, Triangle{c0, c2, c3}};
    auto* bits = reinterpret_cast<uint32_t*>(out.bits());
    const int stride = out.bytesPerLine() / 4;
    inParallel(qint64(frame.width()) * frame.height(), [&](int part, int parts) {
        const auto [rowBegin, rowEnd] = rowsOfPart(frame, part, parts);
        for (const Triangle& half : halves) {
            if (opaque) {
                rasterize(half, toSource, &level.image, frame, rowBegin, rowEnd,
                          [&](int x, int y, uint32_t colour) { bits[std::size_t(y) * stride + x] = colour; });
            } else {
                rasterize(half, toSource, &level.image, frame, rowBegin, rowEnd,
                          [&](int x, int y, uint32_t colour) {
                              uint32_t& pixel = bits[std::size_t(y) * stride + x];
                              pixel = over(colour, pixel);
                          });
            }
        }
    });
}

MaskRenderer::Impl::FacePlan MaskRenderer::Impl::planFace(const QRect& frame,
                                                         const FacialPointVector& maskPixels,
                                                         const FacialPointVector& facePixels,
                                                         RenderReport& report) const
{
    FacePlan plan;
    const geometry::Extent extent = geometry::extentOf(facePixels);
    plan.region = boundsOf(extent, frame);
    plan.cut = CutSides{extent.minX < frame.left(), extent.minY < frame.top(), extent.maxX > frame.right() + 1,
                        extent.maxY > frame.bottom() + 1};
    const QTransform placement = geometry::similarityFit(maskPixels, facePixels, pointCount);
    plan.level = &levelFor(levels, transformScale(placement));
    const QTransform toLevel = QTransform::fromScale(plan.level->scale, plan.level->scale);

    const double eyeSpan = std::hypot(facePixels[rightEyeOuterCorner].x() - facePixels[leftEyeOuterCorner].x(),
                                      facePixels[rightEyeOuterCorner].y() - facePixels[leftEyeOuterCorner].y());
    plan.feather = std::clamp(int(std::lround(eyeSpan / 20.0)), 2, 8);

    // The outline is that of every triangle upright on the face; only the triangles upright in
    // both shapes carry picture, so a folded one leaves a hole that shows the frame. A mask
    // triangle with a corner on the picture's border is taken from the other side of the face,
    // mirrored (its partner triangle runs the other way round), when that one lies wholly inside
    // the picture; otherwise it too shows the frame.
    const double maskMinimum = collapsedTriangleArea(maskPixels);
    const double faceMinimum = collapsedTriangleArea(facePixels);
    const std::array<bool, pointCount> onBorder = pointsOnBorder(maskPixels, pictureSize);
    for (const FaceTriangle& t : faceTriangles()) {
        const Triangle face = triangleOf(facePixels, t);
        Triangle mask = triangleOf(maskPixels, t);
        const bool faceUpright = geometry::signedArea(face[0], face[1], face[2]) > faceMinimum;
        bool maskUsable = geometry::signedArea(mask[0], mask[1], mask[2]) > maskMinimum;
        if (onBorder[std::size_t(t.a)] || onBorder[std::size_t(t.b)] || onBorder[std::size_t(t.c)]) {
            const FaceTriangle mirrored{core::mirror::partner(t.a), core::mirror::partner(t.b),
                                        core::mirror::partner(t.c)};
            const Triangle other = triangleOf(maskPixels, mirrored);
            maskUsable = !onBorder[std::size_t(mirrored.a)] && !onBorder[std::size_t(mirrored.b)]
                         && !onBorder[std::size_t(mirrored.c)]
                         && geometry::signedArea(other[0], other[1], other[2]) < -maskMinimum;
            if (maskUsable) {
                mask = other;
                report.mirroredTriangles += faceUpright ? 1 : 0;
            }
        }
        if (faceUpright && maskUsable) {
            ++report.drawnTriangles;
        } else {
            ++report.skippedTriangles;
        }
        if (faceUpright) {
            plan.jobs.push_back({face, maskUsable ? geometry::triangleAffine(face, mask) * toLevel : QTransform(),
                                 maskUsable});
        }
    }
    if (report.drawnTriangles == 0 || plan.region.isEmpty()) {
        plan.jobs.clear();
        return plan;
    }
    report.faceRegion = plan.region;
    report.featherWidth = plan.feather;
    return plan;
}

void MaskRenderer::Impl::drawFace(QImage& out, const FacePlan& plan) const
{
    const QRect& region = plan.region;
    const Level& level = *plan.level;
    const int feather = plan.feather;
    const std::vector<TriangleJob>& jobs = plan.jobs;
    const int width = region.width();
    std::vector<uint32_t> colour(std::size_t(width) * region.height(), 0);
    std::vector<uint8_t> inside(colour.size(), 0);
    const qint64 pixels = qint64(width) * region.height();
    inParallel(pixels, [&](int part, int parts) {
        const auto [rowBegin, rowEnd] = rowsOfPart(region, part, parts);
        for (const TriangleJob& job : jobs) {
            rasterize(job.face, job.toSource, job.drawn ? &level.image : nullptr, region, rowBegin,
                      rowEnd, [&](int x, int y, uint32_t c) {
                          const std::size_t i = std::size_t(y - region.top()) * width + (x - region.left());
                          inside[i] = 1;
                          if (job.drawn) {
                              colour[i] = c;
                          }
                      });
        }
    });

    const int cap = 2 * feather;
    distanceToOutline(inside, width, region.height(), cap, plan.cut);

    auto* bits = reinterpret_cast<uint32_t*>(out.bits());
    const int stride = out.bytesPerLine() / 4;
    inParallel(pixels, [&](int part, int parts) {
        const auto [rowBegin, rowEnd] = rowsOfPart(region, part, parts);
        for (int y = rowBegin; y < rowEnd; ++y) {
            const std::size_t row = std::size_t(y - region.top()) * width;
            uint32_t* line = bits + std::size_t(y) * stride;
            for (int x = 0; x < width; ++x) {
                const uint32_t weight = uint32_t(inside[row + x]) * 255 / uint32_t(cap);
                if (weight == 0) {
                    continue;
                }
                uint32_t& pixel = line[region.left() + x];
                pixel = over(byteMul(colour[row + x], weight), pixel);
            }
        }
    });
}

MaskRenderer::MaskRenderer()
    : d(std::make_unique<Impl>())
{
}

MaskRenderer::MaskRenderer(const MaskRenderer& other)
    : d(std::make_unique<Impl>(*other.d))
{
}

MaskRenderer& MaskRenderer::operator=(const MaskRenderer& other)
{
    if (this != &other) {
        *d = *other.d;
    }
    return *this;
}

MaskRenderer::~MaskRenderer() = default;

void MaskRenderer::setPicture(const QImage& picture)
{
    d->levels = picture.isNull() ? std::vector<Level>() : buildLevels(picture);
    d->pictureSize = d->levels.empty() ? QSize() : picture.size();
    d->opaque = !picture.hasAlphaChannel() || d->levels.empty() || isOpaque(d->levels.front().image);
}

void MaskRenderer::setPoints(const core::FacialPointVector& points)
{
    d->points = points;
}

void MaskRenderer::setEffectType(int type)
{
    d->effectType = type;
}

int MaskRenderer::effectType() const
{
    return d->effectType;
}

bool MaskRenderer::hasMask() const
{
    return !d->levels.empty() && d->points.size() >= std::size_t(pointCount);
}

bool MaskRenderer::maskDrawsNothing() const
{
    if (!hasMask()) {
        return false;
    }
    const FacialPointVector maskPixels = toPixels(d->points, d->pictureSize.width(), d->pictureSize.height());
    return foldedTriangles(maskPixels).size() >= faceTriangles().size();
}

QImage MaskRenderer::render(const QImage& frame, const core::FacialPointVector& facePoints,
                            RenderReport* report) const
{
    RenderReport local;
    RenderReport& result = report ? *report : local;
    result = RenderReport();
    if (frame.isNull()) {
        return QImage();
    }
    QImage out = opaqueCopy(frame);
    if (out.isNull() || !hasMask() || facePoints.size() < std::size_t(pointCount)) {
        return out;
    }
    const FacialPointVector maskPixels = toPixels(d->points, d->pictureSize.width(), d->pictureSize.height());
    const FacialPointVector facePixels = toPixels(facePoints, out.width(), out.height());
    if (!pointsAreFinite(maskPixels) || !pointsAreFinite(facePixels)) {
        return out;
    }
    // Without a face to carry it, no part of the mask is drawn, whatever the effect type.
    const Impl::FacePlan plan = d->planFace(out.rect(), maskPixels, facePixels, result);
    if (plan.jobs.empty()) {
        return out;
    }
    if (d->effectType == core::WholeImage || d->effectType == core::FullFrame) {
        d->drawBackground(out, maskPixels, facePixels);
    }
    d->drawFace(out, plan);
    return out;
}

QImage MaskRenderer::renderFaces(const QImage& frame, const std::vector<core::FacialPointVector>& faces) const
{
    if (frame.isNull()) {
        return QImage();
    }
    QImage out = opaqueCopy(frame);
    if (out.isNull() || !hasMask()) {
        return out;
    }
    const FacialPointVector maskPixels = toPixels(d->points, d->pictureSize.width(), d->pictureSize.height());
    if (!pointsAreFinite(maskPixels)) {
        return out;
    }
    std::vector<Impl::FacePlan> plans;
    for (const FacialPointVector& face : faces) {
        if (face.size() < std::size_t(pointCount)) {
            continue;
        }
        const FacialPointVector facePixels = toPixels(face, out.width(), out.height());
        if (!pointsAreFinite(facePixels)) {
            continue;
        }
        RenderReport unused;
        Impl::FacePlan plan = d->planFace(out.rect(), maskPixels, facePixels, unused);
        if (plan.jobs.empty()) {
            continue;
        }
        if (plans.empty()) {
            if (d->effectType == core::WholeImage || d->effectType == core::FullFrame) {
                d->drawBackground(out, maskPixels, facePixels);
            }
        }
        plans.push_back(std::move(plan));
    }
    for (const Impl::FacePlan& plan : plans) {
        d->drawFace(out, plan);
    }
    return out;
}

} // namespace preview
