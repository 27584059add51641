// Starts a program and reports when its window is first painted on screen, and the program's RSS at that moment.
//
//   orvane_bench_xwatch TITLE TIMEOUT_S -- COMMAND...
//
// Prints "exposed MS RSS_KB": milliseconds from just before the program's exec to the first rendering into a
// mapped top-level window titled TITLE (the X server's DAMAGE report), then ends the program. Exit status 1
// when no such window was painted within TIMEOUT_S seconds.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xdamage.h>

#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int64_t monotonicNs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

// Windows come and go while we look at them.
static int ignoreErrors(Display* display, XErrorEvent* error)
{
    (void)display;
    (void)error;
    return 0;
}

static long rssKb(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    FILE* file = fopen(path, "r");
    if (!file)
        return -1;
    char line[256];
    long kb = -1;
    while (fgets(line, sizeof line, file)) {
        if (sscanf(line, "VmRSS: %ld", &kb) == 1)
            break;
    }
    fclose(file);
    return kb;
}

static int titled(Display* display, Window window, const char* title)
{
    Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* name = NULL;
    int match = 0;
    if (XGetWindowProperty(display, window, netName, 0, 1024, False, utf8, &type, &format, &count, &after, &name) ==
            Success &&
        name) {
        match = strcmp((const char*)name, title) == 0;
        XFree(name);
        if (match)
            return 1;
    }
    char* legacy = NULL;
    if (XFetchName(display, window, &legacy) && legacy) {
        match = strcmp(legacy, title) == 0;
        XFree(legacy);
    }
    return match;
}

static void end(pid_t child)
{
    kill(child, SIGTERM);
    for (int i = 0; i < 300; ++i) {
        if (waitpid(child, NULL, WNOHANG) == child)
            return;
        usleep(10000);
    }
    kill(child, SIGKILL);
    waitpid(child, NULL, 0);
}

int main(int argc, char** argv)
{
    if (argc < 5 || strcmp(argv[3], "--") != 0) {
        fprintf(stderr, "usage: %s TITLE TIMEOUT_S -- COMMAND...\n", argv[0]);
        return 2;
    }
    const char* title = argv[1];
    const int64_t timeoutNs = (int64_t)(atof(argv[2]) * 1e9);
    Display* display = XOpenDisplay(NULL);
    int damageEvent, damageError;
    if (!display || !XDamageQueryExtension(display, &damageEvent, &damageError)) {
        fprintf(stderr, "xwatch: no X display with the DAMAGE extension\n");
        return 2;
    }
    XSetErrorHandler(ignoreErrors);
    const Window root = DefaultRootWindow(display);
    XSelectInput(display, root, SubstructureNotifyMask);
    XSync(display, False);

    const int64_t started = monotonicNs();
    const pid_t child = fork();
    if (child == 0) {
        close(ConnectionNumber(display));
        execvp(argv[4], argv + 4);
        _exit(127);
    }

    for (;;) {
        while (!XPending(display)) {
            const int64_t left = started + timeoutNs - monotonicNs();
            struct pollfd fd = {ConnectionNumber(display), POLLIN, 0};
            if (left <= 0 || waitpid(child, NULL, WNOHANG) == child) {
                fprintf(stderr, "xwatch: no window \"%s\" painted\n", title);
                end(child);
                return 1;
            }
            poll(&fd, 1, (int)(left / 1000000 < 50 ? left / 1000000 + 1 : 50));
        }
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == CreateNotify && event.xcreatewindow.parent == root) {
            // Every new top-level window is watched from its creation, before it can be mapped or drawn.
            XDamageCreate(display, event.xcreatewindow.window, XDamageReportNonEmpty);
        } else if (event.type == damageEvent + XDamageNotify) {
            const int64_t at = monotonicNs();
            const XDamageNotifyEvent* damage = (const XDamageNotifyEvent*)&event;
            if (!titled(display, damage->drawable, title))
                continue;
            printf("exposed %.3f %ld\n", (double)(at - started) / 1e6, rssKb(child));
            fflush(stdout);
            end(child);
            return 0;
        }
    }
}
