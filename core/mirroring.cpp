#include "core/mirroring.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace core::mirror {

namespace {

// Pairs across the midline, in the 68-point markup and then the 7 derived points (68 and 69
// above the jaw's ends, 70 and 71 above the outer eye corners, 72 and 74 on the forehead line
// between them, 73 its middle). Every index not named here lies on the midline.
constexpr std::array<std::array<int, 2>, 32> pairs{{
    // jaw
    {0, 16}, {1, 15}, {2, 14}, {3, 13}, {4, 12}, {5, 11}, {6, 10}, {7, 9},
    // brows
    {17, 26}, {18, 25}, {19, 24}, {20, 23}, {21, 22},
    // nose wings
    {31, 35}, {32, 34},
    // eyes
    {36, 45}, {37, 44}, {38, 43}, {39, 42}, {40, 47}, {41, 46},
    // outer lips
    {48, 54}, {49, 53}, {50, 52}, {55, 59}, {56, 58},
    // inner lips
    {60, 64}, {61, 63}, {65, 67},
    // derived points
    {68, 69}, {70, 71}, {72, 74},
}};

std::array<int, partnerCount> makeTable()
{
    std::array<int, partnerCount> table{};
    for (int i = 0; i < partnerCount; ++i) {
        table[std::size_t(i)] = i;
    }
    for (const auto& pair : pairs) {
        table[std::size_t(pair[0])] = pair[1];
        table[std::size_t(pair[1])] = pair[0];
    }
    return table;
}

const std::array<int, partnerCount>& table()
{
    static const std::array<int, partnerCount> partners = makeTable();
    return partners;
}

double dot(const QPointF& a, const QPointF& b)
{
    return a.x() * b.x() + a.y() * b.y();
}

FacialPoint clamped(const FacialPoint& p)
{
    // "!(v > 0)" so that NaN lands on 0 too.
    const auto unit = [](double v) { return !(v > 0.0) ? 0.0 : std::min(v, 1.0); };
    return {unit(p.x()), unit(p.y())};
}

bool usable(const QSizeF& size)
{
    return size.width() > 0.0 && size.height() > 0.0;
}

} // namespace

int partner(int index)
{
    if (index < 0 || index >= partnerCount) {
        return -1;
    }
    return table()[std::size_t(index)];
}

QPointF Midline::reflectPoint(const QPointF& point) const
{
    return origin + reflectVector(point - origin);
}

QPointF Midline::reflectVector(const QPointF& vector) const
{
    return 2.0 * dot(vector, direction) * direction - vector;
}

std::optional<Midline> fitMidline(const FacialPointVector& pixels)
{
    if (pixels.size() < std::size_t(partnerCount)) {
        return std::nullopt;
    }
    QPointF sum;
    int count = 0;
    for (int i = 0; i < partnerCount; ++i) {
        if (partner(i) == i) {
            sum += pixels[std::size_t(i)];
            ++count;
        }
    }
    const QPointF mean = sum / count;
    // The principal axis of the midline points' scatter.
    double xx = 0.0;
    double xy = 0.0;
    double yy = 0.0;
    for (int i = 0; i < partnerCount; ++i) {
        if (partner(i) == i) {
            const QPointF d = pixels[std::size_t(i)] - mean;
            xx += d.x() * d.x();
            xy += d.x() * d.y();
            yy += d.y() * d.y();
        }
    }
    if (!(xx + yy > 1e-12) || !std::isfinite(xx + yy + xy)) {
        return std::nullopt;
    }
    const double angle = 0.5 * std::atan2(2.0 * xy, xx - yy);
    return Midline{mean, QPointF(std::cos(angle), std::sin(angle))};
}

FacialPointVector toPixels(const FacialPointVector& fractions, const QSizeF& pictureSize)
{
    FacialPointVector pixels;
    pixels.reserve(fractions.size());
    for (const FacialPoint& p : fractions) {
        pixels.emplace_back(p.x() * pictureSize.width(), p.y() * pictureSize.height());
    }
    return pixels;
}

FacialPointVector toFractions(const FacialPointVector& pixels, const QSizeF& pictureSize)
{
    FacialPointVector fractions;
    fractions.reserve(pixels.size());
    for (const FacialPoint& p : pixels) {
        fractions.emplace_back(p.x() / pictureSize.width(), p.y() / pictureSize.height());
    }
    return fractions;
}

FacialPointVector mirrorEdit(const FacialPointVector& before, const FacialPointVector& after,
                             const QSizeF& pictureSize)
{
    if (before.size() != std::size_t(partnerCount) || after.size() != before.size()
        || !usable(pictureSize)) {
        return after;
    }
    const FacialPointVector from = toPixels(before, pictureSize);
    const FacialPointVector to = toPixels(after, pictureSize);
    const std::optional<Midline> midline = fitMidline(from);
    if (!midline) {
        return after;
    }
    const auto moved = [&](int i) { return from[std::size_t(i)] != to[std::size_t(i)]; };
    FacialPointVector result = to;
    for (int i = 0; i < partnerCount; ++i) {
        const int other = partner(i);
        if (other == i || !moved(i) || moved(other)) {
            continue;
        }
        const QPointF change = to[std::size_t(i)] - from[std::size_t(i)];
        result[std::size_t(other)] = from[std::size_t(other)] + midline->reflectVector(change);
    }
    FacialPointVector fractions = toFractions(result, pictureSize);
    for (int i = 0; i < partnerCount; ++i) {
        // Only the partners set here are clamped; the edit's own points stay as the edit left them.
        if (result[std::size_t(i)] != to[std::size_t(i)]) {
            fractions[std::size_t(i)] = clamped(fractions[std::size_t(i)]);
        } else {
            fractions[std::size_t(i)] = after[std::size_t(i)];
        }
    }
    return fractions;
}

FacialPointVector mirrorSelection(const FacialPointVector& points, const std::vector<int>& selected,
                                  const QSizeF& pictureSize)
{
    if (points.size() != std::size_t(partnerCount) || !usable(pictureSize)) {
        return points;
    }
    const FacialPointVector pixels = toPixels(points, pictureSize);
    const std::optional<Midline> midline = fitMidline(pixels);
    if (!midline) {
        return points;
    }
    std::array<bool, partnerCount> isSelected{};
    for (int index : selected) {
        if (index >= 0 && index < partnerCount) {
            isSelected[std::size_t(index)] = true;
        }
    }
    FacialPointVector result = points;
    for (int i = 0; i < partnerCount; ++i) {
        const int other = partner(i);
        if (!isSelected[std::size_t(i)] || other == i || isSelected[std::size_t(other)]) {
            continue;
        }
        const QPointF reflected = midline->reflectPoint(pixels[std::size_t(i)]);
        result[std::size_t(other)] = clamped({reflected.x() / pictureSize.width(),
                                              reflected.y() / pictureSize.height()});
    }
    return result;
}

} // namespace core::mirror
