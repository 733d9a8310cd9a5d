#pragma once
// An X server of the test's own (Xvfb on a display number it picks itself), for tests of what Qt
// does on X11 only; started before the application object, so that Qt's xcb platform takes it.

#include <QByteArray>

#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

class OwnXDisplay
{
public:
    // Starts Xvfb and points DISPLAY and QT_QPA_PLATFORM at it; isRunning() false when Xvfb is
    // not installed or named no display within 20 s.
    OwnXDisplay()
    {
        int pipeEnds[2];
        if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
            return;
        }
        server = ::fork();
        if (server == 0) {
            ::dup2(pipeEnds[1], 3); // dup2 clears close-on-exec on the copy
            const int quiet = ::open("/dev/null", O_WRONLY);
            ::dup2(quiet, 1);
            ::dup2(quiet, 2);
            ::execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "640x480x24", "-nolisten", "tcp",
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(pipeEnds[1]);
        QByteArray number;
        pollfd answer{pipeEnds[0], POLLIN, 0};
        while (server > 0 && ::poll(&answer, 1, 20000) == 1) {
            char c = 0;
            if (::read(pipeEnds[0], &c, 1) != 1 || c == '\n') {
                break;
            }
            number.append(c);
        }
        ::close(pipeEnds[0]);
        if (server > 0 && !number.isEmpty()) {
            qputenv("DISPLAY", ":" + number);
            qputenv("QT_QPA_PLATFORM", "xcb");
            running = true;
        }
    }

    ~OwnXDisplay()
    {
        if (server > 0) {
            ::kill(server, SIGTERM);
            ::waitpid(server, nullptr, 0);
        }
    }

    bool isRunning() const { return running; }

private:
    pid_t server = -1;
    bool running = false;
};
