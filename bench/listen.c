// Records the PulseAudio sink's monitor and reports, on stdout, when sound starts and stops and which tone plays.
//
//   orvane_bench_listen [SOURCE]      (default: $ORVANE_SINK_MONITOR)
//
// Lines, each with a CLOCK_MONOTONIC time in nanoseconds:
//   ready NS LATENCY_US       recording runs
//   onset NS PEAK             the first non-silent sample after at least 50 ms of silence (sample-exact)
//   silence NS                the start of a silence of 50 ms
//   tone HZ NS                the tone heard changed: 440, 880, or 0 for sound that is neither
// A sample's time is the earliest arrival seen so far of its position in the stream, so a late wake-up of this
// process does not shift the times.
#include <pulse/error.h>
#include <pulse/simple.h>

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

enum { rate = 44100, hop = 441, window = 2 * hop, silentRunSamples = rate / 20 };
static const int silenceLevel = 64; // about -54 dBFS: the null sink carries exact zeros when nothing plays

static int64_t monotonicNs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

// Power of one frequency in the window, relative to the window's whole power (1 for a pure tone of that frequency).
static double toneShare(const int16_t* samples, int count, double hz, double energy)
{
    const double coefficient = 2 * cos(2 * M_PI * hz / rate);
    double previous = 0, beforePrevious = 0;
    for (int i = 0; i < count; ++i) {
        const double current = samples[i] + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    const double power =
        previous * previous + beforePrevious * beforePrevious - coefficient * previous * beforePrevious;
    return energy > 0 ? 2 * power / ((double)count * count * energy) : 0;
}

int main(int argc, char** argv)
{
    const char* source = argc > 1 ? argv[1] : getenv("ORVANE_SINK_MONITOR");
    const pa_sample_spec format = {PA_SAMPLE_S16LE, rate, 1};
    const pa_buffer_attr attr = {(uint32_t)-1, (uint32_t)-1, (uint32_t)-1, (uint32_t)-1, hop * sizeof(int16_t)};
    int error = 0;
    pa_simple* pulse =
        pa_simple_new(NULL, "orvane-bench", PA_STREAM_RECORD, source, "listen", &format, NULL, &attr, &error);
    if (!pulse) {
        fprintf(stderr, "listen: %s\n", pa_strerror(error));
        return 1;
    }
    const pa_usec_t latency = pa_simple_get_latency(pulse, &error);
    printf("ready %lld %llu\n", (long long)monotonicNs(), (unsigned long long)latency);
    fflush(stdout);

    int16_t samples[window] = {0};
    int64_t position = 0;       // samples read so far
    int64_t origin = INT64_MAX; // the time of sample 0
    int64_t silentRun = silentRunSamples;
    int silent = 1;
    int tone = -1;
    for (;;) {
        memmove(samples, samples + hop, hop * sizeof(int16_t));
        if (pa_simple_read(pulse, samples + hop, hop * sizeof(int16_t), &error) < 0) {
            fprintf(stderr, "listen: %s\n", pa_strerror(error));
            return 1;
        }
        const int64_t now = monotonicNs();
        position += hop;
        const int64_t arrival = now - position * 1000000000 / rate;
        if (arrival < origin)
            origin = arrival;
        const int64_t blockStart = position - hop;

        for (int i = 0; i < hop; ++i) {
            const int level = abs(samples[hop + i]);
            if (level <= silenceLevel) {
                if (++silentRun == silentRunSamples && !silent) {
                    silent = 1;
                    tone = -1;
                    const int64_t at = blockStart + i + 1 - silentRunSamples;
                    printf("silence %lld\n", (long long)(origin + at * 1000000000 / rate));
                }
                continue;
            }
            silentRun = 0;
            if (silent) {
                silent = 0;
                printf("onset %lld %d\n", (long long)(origin + (blockStart + i) * 1000000000 / rate), level);
            }
        }

        if (!silent) {
            double energy = 0;
            for (int i = 0; i < window; ++i)
                energy += (double)samples[i] * samples[i];
            energy /= window;
            const int heard = toneShare(samples, window, 440, energy) > 0.6   ? 440
                              : toneShare(samples, window, 880, energy) > 0.6 ? 880
                                                                              : 0;
            if (heard != tone) {
                tone = heard;
                // The window's middle: a change is heard once it fills half the window.
                printf("tone %d %lld\n", heard, (long long)(origin + (position - hop) * 1000000000 / rate));
            }
        }
        fflush(stdout);
    }
}
