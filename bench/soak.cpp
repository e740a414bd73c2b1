// Soak run (not part of CI; scripts/soak.sh): many streamed sources looping
// through a loopback device for minutes of audio, rendered as fast as the
// machine goes, while other threads create and destroy streams. Reports
// underruns, end-of-play callbacks, and how the heap in use moved after the
// warm-up; fails when it grew or a source ran dry.
//
// The heap is measured every 10 s of audio in one and the same state: the
// creator threads parked and every playback stopped (which deletes its
// buffers), so that what the playbacks hold mid-flight (queue entries, the
// buffers of a ring that is draining) does not blur the figure, and every
// stream rewound (decoders keep state of the size of where they stand);
// then every source starts again from the top. glibc's per-thread caches
// count as memory in use, so scripts/soak.sh turns them off. What still
// moves is a few bytes of decoder state (tens of bytes, up and down); a leak
// raises every later checkpoint, so growth is the lowest of the last five
// checkpoints above the one after warm-up, and it must be 0. The heap in use at the last checkpoint
// must not exceed the one after warm-up.
//
//   nuvex_soak [seconds of audio = 600] [sources = 128] [threads = 2]
#include "benchutil.h"
#include "media.h"
#include "nuvex.h"

#include <AL/alext.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint32_t Rate = 44100;
constexpr ALsizei Chunk = 4096;   // bytes: 1024 stereo or 2048 mono 16-bit frames
constexpr ALsizei RingBuffers = 4;
constexpr size_t RenderFrames = 1024;

struct Image {
    std::string kind;
    Bytes bytes;
};

// Sounds whose decoded length is a whole number of chunks, so that every
// upload has the same size and the heap's steady state is one state.
std::vector<Image> MakeImages()
{
    std::vector<Image> images;
    for (int i = 0; i < 4; i++) {
        size_t frames = 1024 * size_t(24 + 8 * i);
        auto stereo = nvmedia::Tones16(frames, Rate, {220.0 * (i + 1), 330.0 * (i + 1)}, 6000);
        auto mono = nvmedia::Tones16(frames * 2, Rate, {275.0 * (i + 1)}, 6000);
        images.push_back({"wav", nvmedia::WriteWav16(stereo, 2, Rate)});
        images.push_back({"aiff", nvmedia::WriteAiff(stereo, 2, Rate, 16)});
        images.push_back({"ogg", nvmedia::EncodeOgg(stereo, 2, Rate, 0.3f, 10 + i)});
        images.push_back({"wav mono", nvmedia::WriteWav16(mono, 1, Rate)});
    }
    images.push_back({"mod", nvmedia::WriteMod(nvmedia::DemoModule(1))});
    return images;
}

struct Heap {
    size_t inUse;
    size_t rss;
};

Heap Measure()
{
    struct mallinfo2 info = mallinfo2();
    long pages = 0, resident = 0;
    if (FILE *f = fopen("/proc/self/statm", "r")) {
        if (fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        fclose(f);
    }
    return {info.uordblks + info.hblkhd, size_t(resident) * size_t(sysconf(_SC_PAGESIZE))};
}

struct Voice {
    ALuint source = 0;
    nuvexStream *stream = nullptr;
    ALsizei loops = 0;
    std::atomic<long> ends{0};
    bool endedThisUpdate = false;
};

std::atomic<long> Callbacks{0}, Restarts{0}, RestartFailures{0};

// Runs inside nuvexUpdate with the library's lock held: the playback has
// ended, so it is started again from the top.
void OnEnd(void *userdata, ALuint)
{
    auto *voice = static_cast<Voice *>(userdata);
    Callbacks++;
    voice->ends++;
    voice->endedThisUpdate = true;
    if (nuvexRewindStream(voice->stream) &&
        nuvexPlaySourceStream(voice->source, voice->stream, RingBuffers, voice->loops, OnEnd,
                              voice))
        Restarts++;
    else
        RestartFailures++;
}

// The creator threads stop at checkpoints, so that the heap is measured
// with none of their streams alive.
struct Pause {
    std::mutex m;
    std::condition_variable cv;
    bool paused = false, stop = false;
    int idle = 0;
};

void Creator(Pause &pause, const std::vector<Image> &images, int id, std::atomic<long> &made,
             std::atomic<long> &failed)
{
    size_t next = size_t(id);
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(pause.m);
            if (pause.paused) {
                pause.idle++;
                pause.cv.notify_all();
                pause.cv.wait(lock, [&] { return !pause.paused || pause.stop; });
                pause.idle--;
            }
            if (pause.stop)
                return;
        }
        const Image &image = images[next++ % images.size()];
        ALuint bufs[2] = {};
        nuvexStream *stream = nuvexCreateStreamFromMemory(image.bytes.data(),
                                                          ALuint(image.bytes.size()), Chunk, 2, bufs);
        if (!stream) {
            failed++;
            continue;
        }
        for (int i = 0; i < 3; i++)
            nuvexBufferDataFromStream(stream, 2, bufs);
        nuvexRewindStream(stream);
        nuvexGetStreamLength(stream);
        if (nuvexDestroyStream(stream, 2, bufs))
            made++;
        else
            failed++;
    }
}
} // namespace

int main(int argc, char **argv)
{
    setenv("ALSOFT_DRIVERS", "null", 0);
    const double seconds = argc > 1 ? atof(argv[1]) : 600.0;
    const int sourceCount = argc > 2 ? atoi(argv[2]) : 128;
    const int threadCount = argc > 3 ? atoi(argv[3]) : 2;
    const size_t totalFrames = size_t(seconds * Rate);
    const size_t warmupFrames = std::min<size_t>(totalFrames / 10, size_t(60) * Rate);

    nvmedia::Loopback dev(2, int(Rate));
    std::vector<float> rendered(RenderFrames * 2);
    if (!dev.ok()) {
        fprintf(stderr, "soak: no loopback device\n");
        return 2;
    }
    const std::vector<Image> images = MakeImages();
    std::vector<Voice> voices(static_cast<size_t>(sourceCount));
    for (int i = 0; i < sourceCount; i++) {
        Voice &v = voices[size_t(i)];
        alGenSources(1, &v.source);
        alSourcef(v.source, AL_GAIN, 1.0f / float(sourceCount));
        const Image &image = images[size_t(i) % images.size()];
        v.stream = nuvexCreateStreamFromMemory(image.bytes.data(), ALuint(image.bytes.size()),
                                               Chunk, 0, nullptr);
        // Mostly a few loops and then a restart from the callback; every
        // eighth loops without end.
        v.loops = i % 8 == 7 ? -1 : i % 4;
        if (!v.stream || !nuvexPlaySourceStream(v.source, v.stream, RingBuffers, v.loops, OnEnd, &v)) {
            fprintf(stderr, "soak: source %d (%s) did not start: %s\n", i, image.kind.c_str(),
                    nuvexGetErrorString());
            return 2;
        }
    }

    Pause pause;
    std::atomic<long> made{0}, failed{0};
    std::vector<std::thread> creators;
    for (int t = 0; t < threadCount; t++)
        creators.emplace_back(Creator, std::ref(pause), std::cref(images), t, std::ref(made),
                              std::ref(failed));
    auto checkpoint = [&] {
        std::unique_lock<std::mutex> lock(pause.m);
        pause.paused = true;
        pause.cv.wait(lock, [&] { return pause.idle == threadCount; });
        for (Voice &v : voices)
            if (!nuvexStopSource(v.source, AL_FALSE) || !nuvexRewindStream(v.stream))
                RestartFailures++;
        Heap heap = Measure();
        for (Voice &v : voices)
            if (!nuvexPlaySourceStream(v.source, v.stream, RingBuffers, v.loops, OnEnd, &v))
                RestartFailures++;
        pause.paused = false;
        pause.cv.notify_all();
        return heap;
    };

    long underruns = 0;
    std::vector<ALint> stateBefore(voices.size());
    Heap warm{0, 0}, last{0, 0};
    std::vector<Heap> samples;
    samples.reserve(size_t(seconds / 10) + 2); // no growth of our own to measure
    const size_t checkEvery = size_t(10) * Rate;
    size_t nextCheck = warmupFrames;
    const auto start = Clock::now();
    size_t frames = 0;
    while (frames < totalFrames) {
        dev.Render(rendered.data(), RenderFrames);
        frames += RenderFrames;
        for (size_t i = 0; i < voices.size(); i++) {
            alGetSourcei(voices[i].source, AL_SOURCE_STATE, &stateBefore[i]);
            voices[i].endedThisUpdate = false;
        }
        nuvexUpdate();
        // A source found stopped whose playback did not end in this update
        // was restarted by it: it ran dry before it was refilled.
        for (size_t i = 0; i < voices.size(); i++)
            if (stateBefore[i] == AL_STOPPED && !voices[i].endedThisUpdate)
                underruns++;
        if (frames >= nextCheck) {
            Heap heap = checkpoint();
            if (warm.inUse == 0)
                warm = heap;
            last = heap;
            samples.push_back(heap);
            nextCheck += checkEvery;
        }
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    {
        std::lock_guard<std::mutex> lock(pause.m);
        pause.stop = true;
        pause.paused = false;
    }
    pause.cv.notify_all();
    for (auto &t : creators)
        t.join();

    for (Voice &v : voices) {
        nuvexStopSource(v.source, AL_FALSE);
        nuvexDestroyStream(v.stream, 0, nullptr);
        alDeleteSources(1, &v.source);
    }
    const ALenum error = alGetError();

    long minEnds = -1, maxEnds = 0;
    for (Voice &v : voices) {
        if (v.loops == -1)
            continue;
        minEnds = minEnds < 0 ? v.ends.load() : std::min(minEnds, v.ends.load());
        maxEnds = std::max(maxEnds, v.ends.load());
    }
    size_t lowestLate = last.inUse;
    for (size_t i = samples.size() > 5 ? samples.size() - 5 : 0; i < samples.size(); i++)
        lowestLate = std::min(lowestLate, samples[i].inUse);
    const long growth = long(lowestLate) - long(warm.inUse);
    size_t peak = 0;
    for (const Heap &h : samples)
        peak = std::max(peak, h.inUse);
    printf("soak: %d streamed sources, %d creator threads, %zu images\n", sourceCount,
           threadCount, images.size());
    printf("soak: audio rendered     %.1f s (%zu frames) in %.1f s wall: %.1fx real time\n",
           double(frames) / Rate, frames, wall, double(frames) / Rate / wall);
    printf("soak: underruns          %ld\n", underruns);
    printf("soak: end-of-play calls  %ld (restarts %ld, failed restarts %ld; %ld..%ld per looping voice)\n",
           Callbacks.load(), Restarts.load(), RestartFailures.load(), minEnds, maxEnds);
    printf("soak: streams by threads %ld created and destroyed, %ld failures\n", made.load(),
           failed.load());
    printf("soak: heap in use        after warm-up %zu B, at the end %zu B, largest %zu B; "
           "growth (lowest of the last 5 checkpoints) %ld B\n",
           warm.inUse, last.inUse, peak, growth);
    printf("soak: heap at checkpoints, bytes above the first:");
    for (const Heap &h : samples)
        printf(" %ld", long(h.inUse) - long(samples.front().inUse));
    printf("\n");
    printf("soak: resident set       after warm-up %zu KiB, at the end %zu KiB\n",
           warm.rss / 1024, last.rss / 1024);
    printf("soak: OpenAL error at the end: 0x%x\n", unsigned(error));
    const bool ok = underruns == 0 && growth <= 0 && RestartFailures == 0 && failed == 0 &&
                    error == AL_NO_ERROR;
    printf("soak: %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
