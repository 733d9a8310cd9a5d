// The reference for a fresh process detecting one picture: a plain dlib program, as its own
// examples write it. It reads the landmark model, builds the frontal face detector, loads the
// picture, and prints the landmarks of every face. Usage: stockdetect MODEL PICTURE
#include <dlib/image_io.h>
#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: stockdetect MODEL PICTURE\n");
        return 2;
    }
    try {
        dlib::shape_predictor predictor;
        dlib::deserialize(argv[1]) >> predictor;
        dlib::frontal_face_detector detector = dlib::get_frontal_face_detector();
        dlib::array2d<dlib::rgb_pixel> picture;
        dlib::load_image(picture, argv[2]);
        for (const dlib::rectangle& face : detector(picture)) {
            const dlib::full_object_detection shape = predictor(picture, face);
            for (unsigned long i = 0; i < shape.num_parts(); ++i) {
                std::printf("%ld %ld ", shape.part(i).x(), shape.part(i).y());
            }
            std::printf("\n");
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "stockdetect: %s\n", error.what());
        return 1;
    }
    return 0;
}
