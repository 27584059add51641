// Bare libmpv, for comparison: one handle created and initialised at start, then driven over stdin.
//
//   orvane_bench_libmpv [OPTION=VALUE]...
//
// Commands (one a line) and replies:
//   load URL    -> "put NS" (CLOCK_MONOTONIC, taken just before the loadfile command)
//   stop        -> "ok"
//   quit
// "ready" is printed once the handle is initialised. Events are drained when libmpv signals them, so the
// client itself costs no CPU while playing.
#include <mpv/client.h>

#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static int wakeupPipe[2];

static int64_t monotonicNs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static void onWakeup(void* unused)
{
    (void)unused;
    const char byte = 0;
    if (write(wakeupPipe[1], &byte, 1) < 0) {
        // The pipe is full: a drain is due anyway.
    }
}

int main(int argc, char** argv)
{
    mpv_handle* mpv = mpv_create();
    if (!mpv || pipe(wakeupPipe) < 0)
        return 1;
    for (int i = 1; i < argc; ++i) {
        char* value = strchr(argv[i], '=');
        if (!value)
            continue;
        *value++ = '\0';
        if (mpv_set_option_string(mpv, argv[i], value) < 0) {
            fprintf(stderr, "libmpv: bad option %s=%s\n", argv[i], value);
            return 1;
        }
    }
    if (mpv_initialize(mpv) < 0)
        return 1;
    mpv_set_wakeup_callback(mpv, onWakeup, NULL);
    printf("ready\n");
    fflush(stdout);

    char line[4096];
    size_t used = 0;
    for (;;) {
        struct pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wakeupPipe[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents) {
            char drain[64];
            if (read(wakeupPipe[0], drain, sizeof drain) < 0)
                return 1;
            while (mpv_wait_event(mpv, 0)->event_id != MPV_EVENT_NONE) {
            }
        }
        if (!fds[0].revents)
            continue;
        const ssize_t got = read(STDIN_FILENO, line + used, sizeof line - 1 - used);
        if (got <= 0)
            break;
        used += (size_t)got;
        line[used] = '\0';
        char* end;
        while ((end = strchr(line, '\n'))) {
            *end = '\0';
            if (strncmp(line, "load ", 5) == 0) {
                const char* command[] = {"loadfile", line + 5, "replace", NULL};
                printf("put %lld\n", (long long)monotonicNs());
                fflush(stdout);
                mpv_command_async(mpv, 0, command);
            } else if (strcmp(line, "stop") == 0) {
                const char* command[] = {"stop", NULL};
                mpv_command(mpv, command);
                printf("ok\n");
                fflush(stdout);
            } else if (strcmp(line, "quit") == 0) {
                mpv_terminate_destroy(mpv);
                return 0;
            }
            used -= (size_t)(end + 1 - line);
            memmove(line, end + 1, used + 1);
        }
    }
    mpv_terminate_destroy(mpv);
    return 0;
}
