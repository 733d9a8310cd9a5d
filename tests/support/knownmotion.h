#pragma once
// A clip with exactly known motion: a face photo drawn zoomed, turned and panned frame by frame,
// so that where each landmark belongs on every frame (and at any time between frames) is known.
// Used by the tests and the benchmark of steady tracking.

#include <QImage>
#include <QPainter>
#include <QTransform>
#include <QVector>

#include <cmath>
#include <random>
#include <vector>

namespace knownmotion {

constexpr double framesPerSecond = 30;

struct Clip {
    QImage photo;
    QSize frameSize{640, 480};
    // The photo's own landmarks (68 or more), in photo pixels.
    std::vector<QPointF> photoPoints;
    // The photo is scaled so that its face is about this wide on the frames.
    double baseScale = 1;
    QPointF photoCentre;

    // Photo pixels to frame pixels at frame index t (any real t: the motion is smooth).
    QTransform at(double t) const
    {
        const double pi = 3.14159265358979323846;
        // A head moving as in a video call: a sway of 50 pixels each way every 4 seconds (up to
        // 79 pixels a second), a nod, a turn of 8 degrees and 10 % nearer and farther.
        const double scale = baseScale * (1.0 + 0.10 * std::sin(2 * pi * t / 110.0));
        const double angle = 8.0 * std::sin(2 * pi * t / 95.0);
        const QPointF centre(frameSize.width() / 2.0 + 50.0 * std::sin(2 * pi * t / 120.0),
                             frameSize.height() / 2.0 + 20.0 * std::sin(2 * pi * t / 70.0));
        QTransform transform;
        transform.translate(centre.x(), centre.y());
        transform.rotate(angle);
        transform.scale(scale, scale);
        transform.translate(-photoCentre.x(), -photoCentre.y());
        return transform;
    }

    std::vector<QPointF> truthAt(double t) const
    {
        const QTransform transform = at(t);
        std::vector<QPointF> points;
        for (const QPointF& p : photoPoints) {
            points.push_back(transform.map(p));
        }
        return points;
    }

    // Frame t, with Gaussian noise of sigma grey levels when noise > 0 (seeded by t).
    QImage frame(int t, double noise = 0) const
    {
        QImage out(frameSize, QImage::Format_RGB32);
        out.fill(QColor(90, 100, 110));
        {
            QPainter painter(&out);
            painter.setRenderHint(QPainter::SmoothPixmapTransform);
            painter.setTransform(at(t));
            painter.drawImage(0, 0, photo);
        }
        if (noise > 0) {
            std::mt19937 random(1000 + t);
            std::normal_distribution<double> grain(0.0, noise);
            for (int y = 0; y < out.height(); ++y) {
                auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
                for (int x = 0; x < out.width(); ++x) {
                    auto channel = [&](int v) { return std::clamp(int(std::lround(v + grain(random))), 0, 255); };
                    line[x] = qRgb(channel(qRed(line[x])), channel(qGreen(line[x])), channel(qBlue(line[x])));
                }
            }
        }
        return out;
    }
};

// A clip of photo, whose face spans faceWidth pixels at points (photo pixels, parts 36..47 are
// the eyes), scaled so the face is about targetWidth pixels wide on the frames.
inline Clip makeClip(const QImage& photo, const std::vector<QPointF>& points, double faceWidth, double targetWidth = 160)
{
    Clip clip;
    clip.photo = photo.convertToFormat(QImage::Format_RGB32);
    clip.photoPoints = points;
    clip.baseScale = targetWidth / faceWidth;
    QPointF sum;
    for (const QPointF& p : points) {
        sum += p;
    }
    clip.photoCentre = sum / double(points.size());
    return clip;
}

// Distance between the eye centres (parts 36-41 and 42-47).
inline double interOcular(const std::vector<QPointF>& points)
{
    QPointF left, right;
    for (int i = 36; i < 42; ++i) {
        left += points[std::size_t(i)] / 6.0;
        right += points[std::size_t(i + 6)] / 6.0;
    }
    return std::hypot(left.x() - right.x(), left.y() - right.y());
}

struct Figures {
    double error = 0;  // mean distance to the truth, % of the inter-ocular distance
    double jitter = 0; // RMS of the frame-to-frame change of each point's error, same unit
    double lag = 0;    // frames the points trail the truth (the shift that fits them best)
};

// Figures of tracked points (per frame, the first 68 used; an empty frame is skipped) against
// clip's truth. Frames before skip are left out (the filter settling).
inline Figures measure(const Clip& clip, const std::vector<std::vector<QPointF>>& tracked, int skip = 3)
{
    Figures figures;
    double errorSum = 0, jitterSum = 0;
    int errorCount = 0, jitterCount = 0;
    std::vector<QPointF> previousError;
    for (std::size_t t = std::size_t(skip); t < tracked.size(); ++t) {
        if (tracked[t].size() < 68) {
            previousError.clear();
            continue;
        }
        const std::vector<QPointF> truth = clip.truthAt(double(t));
        const double iod = interOcular(truth);
        std::vector<QPointF> error(68);
        for (std::size_t i = 0; i < 68; ++i) {
            error[i] = (tracked[t][i] - truth[i]) * (100.0 / iod);
            errorSum += std::hypot(error[i].x(), error[i].y());
            ++errorCount;
            if (!previousError.empty()) {
                const QPointF change = error[i] - previousError[i];
                jitterSum += change.x() * change.x() + change.y() * change.y();
                ++jitterCount;
            }
        }
        previousError = error;
    }
    figures.error = errorCount ? errorSum / errorCount : -1;
    figures.jitter = jitterCount ? std::sqrt(jitterSum / jitterCount) : -1;
    double best = 1e300;
    for (double shift = -1.0; shift <= 4.0; shift += 0.05) {
        double sum = 0;
        int count = 0;
        for (std::size_t t = std::size_t(skip); t < tracked.size(); ++t) {
            if (tracked[t].size() < 68) {
                continue;
            }
            const std::vector<QPointF> truth = clip.truthAt(double(t) - shift);
            for (std::size_t i = 0; i < 68; ++i) {
                const QPointF d = tracked[t][i] - truth[i];
                sum += d.x() * d.x() + d.y() * d.y();
                ++count;
            }
        }
        if (count && sum / count < best) {
            best = sum / count;
            figures.lag = shift;
        }
    }
    return figures;
}

} // namespace knownmotion
