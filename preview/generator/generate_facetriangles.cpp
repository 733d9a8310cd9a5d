// Writes preview/facetriangles.cpp: the Delaunay triangulation of the mean 75-point face of the
// given photos, and core/meanface.cpp's table of that mean face (the template of the editor). Every face the detector finds is taken with its 68 predicted landmarks and the 7
// derived points, aligned onto the first by a similarity transform (iterated Procrustes), and the
// mean shape is triangulated (Bowyer-Watson). Run from a folder holding "shape_predictor.dat":
//   generate_facetriangles --mean-face core/meanface.cpp PHOTO... > preview/facetriangles.cpp
// The template function after the table in core/meanface.cpp is kept as the file has it.

#include "face_detection_module/facedetectionmodule.h"
#include "preview/facegeometry.h"
#include "core/imagefiles.h"
#include "face_detection_module/landmarkgeometry.h"

#include <QString>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

using core::FacialPointVector;

constexpr int pointCount = 75;

struct Triangle {
    int a, b, c;
};

std::vector<FacialPointVector> facesOf(core::FaceDetectionModule& module, const QString& path)
{
    std::vector<FacialPointVector> shapes;
    const QImage picture = core::readImageFile(path);
    const auto faces = module.detectFaces(picture);
    if (!faces) {
        return shapes;
    }
    for (const core::Face& face : *faces) {
        FacialPointVector points = core::landmarks::toFacialPoints(face.points);
        if (core::landmarks::appendForeheadPoints(points) && points.size() == pointCount) {
            shapes.push_back(points);
        }
    }
    return shapes;
}

FacialPointVector transformed(const FacialPointVector& shape, const QTransform& t)
{
    FacialPointVector out;
    for (const QPointF& p : shape) {
        out.push_back(t.map(p));
    }
    return out;
}

FacialPointVector meanShape(const std::vector<FacialPointVector>& shapes)
{
    FacialPointVector reference = shapes.front();
    FacialPointVector mean;
    for (int round = 0; round < 5; ++round) {
        mean.assign(pointCount, QPointF());
        for (const FacialPointVector& shape : shapes) {
            const FacialPointVector aligned =
                transformed(shape, preview::geometry::similarityFit(shape, reference, pointCount));
            for (int i = 0; i < pointCount; ++i) {
                mean[i] += aligned[i] / double(shapes.size());
            }
        }
        reference = mean;
    }
    return mean;
}

// Moves and scales the shape so that its bounding box touches [0, 1] x [0, 1] along its longer side
// and is centred along the other, keeping its proportions.
void fitIntoUnitSquare(FacialPointVector& shape)
{
    double minX = 1e300, minY = 1e300, maxX = -1e300, maxY = -1e300;
    for (const QPointF& p : shape) {
        minX = std::min(minX, p.x());
        minY = std::min(minY, p.y());
        maxX = std::max(maxX, p.x());
        maxY = std::max(maxY, p.y());
    }
    // Upright first: the outer eye corners level.
    const QPointF eyes = shape[45] - shape[36];
    const QTransform level = QTransform().rotateRadians(-std::atan2(eyes.y(), eyes.x()));
    for (QPointF& p : shape) {
        p = level.map(p);
    }
    minX = minY = 1e300;
    maxX = maxY = -1e300;
    for (const QPointF& p : shape) {
        minX = std::min(minX, p.x());
        minY = std::min(minY, p.y());
        maxX = std::max(maxX, p.x());
        maxY = std::max(maxY, p.y());
    }
    const double side = std::max(maxX - minX, maxY - minY);
    const QPointF offset((side - (maxX - minX)) / 2, (side - (maxY - minY)) / 2);
    for (QPointF& p : shape) {
        p = (p - QPointF(minX, minY) + offset) / side;
    }
}

bool inCircumcircle(const QPointF& a, const QPointF& b, const QPointF& c, const QPointF& p)
{
    // Sign of the classic determinant, made independent of the triangle's orientation.
    const double ax = a.x() - p.x(), ay = a.y() - p.y();
    const double bx = b.x() - p.x(), by = b.y() - p.y();
    const double cx = c.x() - p.x(), cy = c.y() - p.y();
    const double det = (ax * ax + ay * ay) * (bx * cy - cx * by) -
                       (bx * bx + by * by) * (ax * cy - cx * ay) +
                       (cx * cx + cy * cy) * (ax * by - bx * ay);
    const double orientation = preview::geometry::signedArea(a, b, c);
    return orientation > 0 ? det > 0 : det < 0;
}

std::vector<Triangle> delaunay(const FacialPointVector& points)
{
    std::vector<QPointF> all(points.begin(), points.end());
    double minX = 1e300, minY = 1e300, maxX = -1e300, maxY = -1e300;
    for (const QPointF& p : points) {
        minX = std::min(minX, p.x());
        minY = std::min(minY, p.y());
        maxX = std::max(maxX, p.x());
        maxY = std::max(maxY, p.y());
    }
    const double span = std::max(maxX - minX, maxY - minY) * 20;
    const QPointF centre((minX + maxX) / 2, (minY + maxY) / 2);
    const int s = static_cast<int>(all.size());
    all.push_back(centre + QPointF(-span, -span));
    all.push_back(centre + QPointF(span, -span));
    all.push_back(centre + QPointF(0, span));
    std::vector<Triangle> triangles{{s, s + 1, s + 2}};

    for (int i = 0; i < s; ++i) {
        std::vector<Triangle> kept;
        std::vector<std::pair<int, int>> edges;
        for (const Triangle& t : triangles) {
            if (inCircumcircle(all[t.a], all[t.b], all[t.c], all[i])) {
                edges.push_back({t.a, t.b});
                edges.push_back({t.b, t.c});
                edges.push_back({t.c, t.a});
            } else {
                kept.push_back(t);
            }
        }
        // The boundary of the cavity: the edges that belong to one removed triangle only.
        for (std::size_t e = 0; e < edges.size(); ++e) {
            bool shared = false;
            for (std::size_t f = 0; f < edges.size(); ++f) {
                if (e != f && edges[e].first == edges[f].second && edges[e].second == edges[f].first) {
                    shared = true;
                    break;
                }
            }
            if (!shared) {
                kept.push_back({edges[e].first, edges[e].second, i});
            }
        }
        triangles = kept;
    }

    std::vector<Triangle> result;
    for (Triangle t : triangles) {
        if (t.a >= s || t.b >= s || t.c >= s) {
            continue;
        }
        double area = preview::geometry::signedArea(all[t.a], all[t.b], all[t.c]);
        if (area < 0) {
            std::swap(t.b, t.c);
            area = -area;
        }
        // The derived forehead points are collinear: slivers along that line carry no picture.
        const double longest = std::max({std::hypot(all[t.a].x() - all[t.b].x(), all[t.a].y() - all[t.b].y()),
                                         std::hypot(all[t.b].x() - all[t.c].x(), all[t.b].y() - all[t.c].y()),
                                         std::hypot(all[t.c].x() - all[t.a].x(), all[t.c].y() - all[t.a].y())});
        if (area < 1e-3 * longest * longest) {
            continue;
        }
        // Smallest index first, keeping the orientation, so the table reads the same every run.
        while (t.a > t.b || t.a > t.c) {
            t = {t.b, t.c, t.a};
        }
        result.push_back(t);
    }
    std::sort(result.begin(), result.end(), [](const Triangle& l, const Triangle& r) {
        return std::tie(l.a, l.b, l.c) < std::tie(r.a, r.b, r.c);
    });
    return result;
}

// Replaces the table at the start of the mean face's source file, keeping what follows it.
bool writeMeanFace(const char* path, const FacialPointVector& mean, std::size_t faceCount)
{
    std::string rest;
    if (FILE* old = std::fopen(path, "rb")) {
        std::string text;
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, old)) > 0) {
            text.append(buffer, n);
        }
        std::fclose(old);
        const std::size_t end = text.find("} // namespace core");
        if (end != std::string::npos) {
            rest = text.substr(end + std::strlen("} // namespace core\n"));
        }
    }
    FILE* out = std::fopen(path, "wb");
    if (!out) {
        return false;
    }
    std::fprintf(out, "// Generated by preview/generator/generate_facetriangles.cpp from the mean shape of %zu\n"
                      "// faces found in the test photos; regenerate rather than edit.\n\n",
                 faceCount);
    std::fprintf(out, "#include \"meanface.h\"\n\n#include <algorithm>\n\nnamespace core {\n\n");
    std::fprintf(out, "const FacialPointVector& meanFaceShape()\n{\n");
    std::fprintf(out, "    static const FacialPointVector shape{\n");
    for (std::size_t i = 0; i < mean.size(); ++i) {
        std::fprintf(out, "%s{%.4f, %.4f},%s", i % 5 == 0 ? "        " : " ", mean[i].x(), mean[i].y(),
                     i % 5 == 4 || i + 1 == mean.size() ? "\n" : "");
    }
    std::fprintf(out, "    };\n    return shape;\n}\n\n} // namespace core\n%s", rest.c_str());
    return std::fclose(out) == 0;
}

} // namespace

int main(int argc, char* argv[])
{
    int first = 1;
    const char* meanFacePath = nullptr;
    if (argc > 2 && std::strcmp(argv[1], "--mean-face") == 0) {
        meanFacePath = argv[2];
        first = 3;
    }
    const auto module = core::FaceDetectionModule::load();
    if (!module) {
        std::fprintf(stderr, "no landmark model \"shape_predictor.dat\" in this folder\n");
        return 1;
    }
    std::vector<FacialPointVector> shapes;
    for (int i = first; i < argc; ++i) {
        const std::vector<FacialPointVector> found = facesOf(*module, QString::fromLocal8Bit(argv[i]));
        std::fprintf(stderr, "%s: %zu faces\n", argv[i], found.size());
        shapes.insert(shapes.end(), found.begin(), found.end());
    }
    if (shapes.empty()) {
        std::fprintf(stderr, "no face found\n");
        return 1;
    }
    FacialPointVector mean = meanShape(shapes);
    const std::vector<Triangle> triangles = delaunay(mean);
    fitIntoUnitSquare(mean);
    if (meanFacePath && !writeMeanFace(meanFacePath, mean, shapes.size())) {
        std::fprintf(stderr, "cannot write %s\n", meanFacePath);
        return 1;
    }

    std::printf("// Generated by preview/generator/generate_facetriangles.cpp from the mean shape of %zu\n"
                "// faces found in the test photos; regenerate rather than edit.\n\n",
                shapes.size());
    std::printf("#include \"facetriangles.h\"\n\nnamespace preview {\n\n");
    std::printf("const std::vector<FaceTriangle>& faceTriangles()\n{\n");
    std::printf("    static const std::vector<FaceTriangle> table{\n");
    for (std::size_t i = 0; i < triangles.size(); ++i) {
        std::printf("%s{%d, %d, %d},%s", i % 6 == 0 ? "        " : " ", triangles[i].a,
                    triangles[i].b, triangles[i].c, i % 6 == 5 || i + 1 == triangles.size() ? "\n" : "");
    }
    std::printf("    };\n    return table;\n}\n\n} // namespace preview\n");
    return 0;
}
