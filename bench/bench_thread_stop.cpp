// How long nuvexUpdateInterval(0) takes to stop the update thread, for
// intervals from 0.05 s to 5 s. Each stop comes at a random moment of the
// thread's life: during its first update, or somewhere in its wait for the
// next one. A stop should return as soon as the update running (if any) has
// ended, whatever the interval: the target is a 99th percentile of at most
// 10 ms over at least 100 stops. The limit is absolute (the thread's own
// work is a few microseconds), so there is no baseline to run alongside.
//
// Then the re-timing the same wait gives: a shorter interval set during a
// long wait brings the next update forward to the last update's end plus the
// new interval, and an application that sets the same interval every frame
// still gets its updates.
// Usage: bench_thread_stop [stops per interval]
#include "benchutil.h"
#include "media.h"
#include "nuvex.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {
constexpr ALCint Rate = 44100;
const float Intervals[] = {0.05f, 0.1f, 0.25f, 0.5f, 1.0f, 2.0f, 5.0f};

// The update thread runs nuvexUpdate; a playback of a source that has
// nothing to play ends at the first update that sees it, and its callback
// tells when that was.
struct UpdateProbe {
    std::atomic<double> endedAt{-1};
    static void Callback(void *self, ALuint)
    {
        static_cast<UpdateProbe *>(self)->endedAt.store(bench::WallSeconds());
    }
};

// Arms a probe on `source`: the next update (of whichever thread) ends it.
bool ArmProbe(ALuint source, UpdateProbe &probe)
{
    probe.endedAt.store(-1);
    return nuvexPlaySource(source, UpdateProbe::Callback, &probe) == AL_TRUE;
}

double WaitForUpdate(UpdateProbe &probe, double timeout)
{
    double until = bench::WallSeconds() + timeout;
    while (probe.endedAt.load() < 0 && bench::WallSeconds() < until)
        nuvexSleep(0.0005f);
    return probe.endedAt.load();
}

double Percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    size_t rank = size_t(std::ceil(p * double(values.size())));
    return values[std::min(values.size(), std::max<size_t>(rank, 1)) - 1];
}
} // namespace

int main(int argc, char **argv)
{
    int perInterval = argc > 1 ? atoi(argv[1]) : 20;
    if (perInterval < 1)
        perInterval = 1;
    nvmedia::Loopback device(2, int(Rate));
    if (!device.ok()) {
        fprintf(stderr, "no OpenAL loopback device\n");
        return 1;
    }
    // A few endless streams played in the background, so that each update
    // has some work (the loopback device mixes only when asked, so their
    // buffers are never used up; the update still looks at every one).
    const nvmedia::Bytes wav =
        nvmedia::WriteWav16(nvmedia::Tones16(size_t(Rate), Rate, {440.0, 660.0}, 8000.0), 2, Rate);
    ALuint sources[5];
    alGenSources(5, sources);
    std::vector<nuvexStream *> streams;
    for (int i = 0; i < 4; i++) {
        nuvexStream *stream = nuvexCreateStreamFromStaticMemory(wav.data(), ALuint(wav.size()),
                                                                8192, 0, nullptr);
        if (!stream || !nuvexPlaySourceStream(sources[i], stream, 4, -1, nullptr, nullptr)) {
            fprintf(stderr, "background playback failed: %s\n", nuvexGetErrorString());
            return 1;
        }
        streams.push_back(stream);
    }

    std::mt19937 rng(14);
    printf("Update-thread stop: nuvexUpdateInterval(0) after a random part of the wait, %d stops "
           "per interval\n",
           perInterval);
    printf("%10s %10s %10s %10s %10s\n", "interval", "median", "p99", "worst", "stops");
    std::vector<double> all;
    for (float interval : Intervals) {
        std::vector<double> stops;
        // Stops land anywhere from the first update to 200 ms into the wait
        // (longer waits would only make the run longer: the stop is the
        // same at any point of the wait).
        std::uniform_real_distribution<double> delay(0.0, std::min(0.2, double(interval)));
        for (int i = 0; i < perInterval; i++) {
            if (!nuvexUpdateInterval(interval)) {
                fprintf(stderr, "cannot start the update thread: %s\n", nuvexGetErrorString());
                return 1;
            }
            nuvexSleep(float(delay(rng)));
            double t0 = bench::WallSeconds();
            nuvexUpdateInterval(0.0f);
            double took = bench::WallSeconds() - t0;
            stops.push_back(took);
            all.push_back(took);
        }
        printf("%9.2fs %10s %10s %10s %10zu\n", double(interval),
               bench::FormatMs(bench::Median(stops)).c_str(),
               bench::FormatMs(Percentile(stops, 0.99)).c_str(),
               bench::FormatMs(*std::max_element(stops.begin(), stops.end())).c_str(),
               stops.size());
    }
    double p99 = Percentile(all, 0.99);
    printf("%10s %10s %10s %10s %10zu\n", "all", bench::FormatMs(bench::Median(all)).c_str(),
           bench::FormatMs(p99).c_str(),
           bench::FormatMs(*std::max_element(all.begin(), all.end())).c_str(), all.size());
    printf("stop: 99th percentile %.2f ms over %zu stops, target <= 10 ms: %s\n", p99 * 1e3,
           all.size(), all.size() >= 100 && p99 <= 0.010 ? "meets" : "MISSES");

    // Re-timing: from a 5 s wait to 0.05 s. The next update comes 0.05 s
    // after the last one ended, not 5 s after it.
    UpdateProbe probe;
    std::vector<double> retimed;
    for (int i = 0; i < 10; i++) {
        if (!ArmProbe(sources[4], probe) || !nuvexUpdateInterval(5.0f))
            return 1;
        double first = WaitForUpdate(probe, 2.0);
        if (first < 0 || !ArmProbe(sources[4], probe))
            return 1;
        nuvexSleep(0.01f);
        nuvexUpdateInterval(0.05f);
        double next = WaitForUpdate(probe, 6.0);
        nuvexUpdateInterval(0.0f);
        if (next < 0) {
            printf("re-timing: no update within 6 s after 5 s -> 0.05 s\n");
            return 1;
        }
        retimed.push_back(next - first);
    }
    printf("re-timing 5 s -> 0.05 s, 10 ms after an update: next update %.1f ms after the last "
           "(median of %zu; expected about 50 ms)\n",
           bench::Median(retimed) * 1e3, retimed.size());

    // The same interval set every frame (60 times a second) for 2 s.
    std::atomic<int> updates{0};
    auto count = [](void *counter, ALuint) { ++*static_cast<std::atomic<int> *>(counter); };
    double until = bench::WallSeconds() + 2.0;
    nuvexUpdateInterval(0.05f);
    while (bench::WallSeconds() < until) {
        nuvexPlaySource(sources[4], count, &updates); // ended by the next update
        nuvexUpdateInterval(0.05f);
        nuvexSleep(1.0f / 60);
    }
    nuvexUpdateInterval(0.0f);
    printf("0.05 s set every frame for 2 s: %d updates seen by a playback re-armed every frame "
           "(at most one per update; about 40 expected)\n",
           updates.load());

    nuvexStopSource(sources[4], AL_FALSE);
    for (nuvexStream *stream : streams)
        nuvexDestroyStream(stream, 0, nullptr);
    alDeleteSources(5, sources);
    return 0;
}
