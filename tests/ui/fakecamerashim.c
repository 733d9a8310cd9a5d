/* A stand-in for a V4L2 driver, preloaded into the fake-camera test: a character device node
 * with the numbers of /dev/null (1, 3), named /dev/video-facemask-test-PID after the process that
 * made it, answers the three queries with which Qt Multimedia lists cameras (VIDIOC_ENUMINPUT,
 * VIDIOC_S_INPUT, VIDIOC_QUERYCAP). Every other call, and every call on other files, goes to the C
 * library: the node of another run of the test at the same time is no camera here, so that one
 * run's plugging in and out is not seen by the other. The pictures themselves come
 * from the pipeline in QT_GSTREAMER_CAMERABIN_VIDEOSRC, not from this node. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/videodev2.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

static int isFakeCamera(int fd)
{
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode) || status.st_rdev != makedev(1, 3)) {
        return 0;
    }
    char link[64];
    char own[64];
    char target[128];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    snprintf(own, sizeof own, "/dev/video-facemask-test-%ld", (long)getpid());
    const ssize_t length = readlink(link, target, sizeof target - 1);
    if (length < 0) {
        return 0;
    }
    target[length] = '\0';
    return strcmp(target, own) == 0;
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (isFakeCamera(fd)) {
        if (request == VIDIOC_ENUMINPUT) {
            struct v4l2_input* input = argument;
            const unsigned index = input->index;
            if (index != 0) {
                errno = EINVAL;
                return -1;
            }
            memset(input, 0, sizeof *input);
            input->index = index;
            strcpy((char*)input->name, "Camera 1");
            input->type = V4L2_INPUT_TYPE_CAMERA;
            return 0;
        }
        if (request == VIDIOC_S_INPUT) {
            return 0;
        }
        if (request == VIDIOC_QUERYCAP) {
            struct v4l2_capability* capability = argument;
            memset(capability, 0, sizeof *capability);
            strcpy((char*)capability->driver, "facemask-test");
            strcpy((char*)capability->card, "Facemask & Test Camera");
            capability->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
            capability->capabilities = capability->device_caps | V4L2_CAP_DEVICE_CAPS;
            return 0;
        }
    }
    static int (*real)(int, unsigned long, ...) = 0;
    if (!real) {
        real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    }
    return real(fd, request, argument);
}
