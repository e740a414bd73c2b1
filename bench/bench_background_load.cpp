// Loading in the background and in batches, against plain loops measured in
// the same run:
//   1. 200 short effects (0.5 to 3 s, mono and stereo, 44.1 kHz) as Ogg
//      Vorbis files, then the same as WAV files: nuvexCreateBuffersFromFiles
//      at 1, 2 and 4 threads (nuvexSetLoadThreads) against a loop of
//      nuvexCreateBufferFromFile over the same files. Files are read once
//      before timing, so the page cache holds them.
//   2. nuvexCreateBufferFromFileAsync over the same 200 Ogg files: how long
//      each call takes to return (median, 99th percentile, worst), and how
//      long until the last callback.
//   3. 16 sources streamed by the update thread (every 10 ms; rings of 4 x
//      2048 frames, 186 ms) on a device that plays in real time: refills
//      that found their source run dry (underruns) and the longest gap
//      between two refills of a source, first with nothing else going on,
//      then while a 5-minute Ogg Vorbis file loads in the background, then
//      while it loads on the calling thread, then while one plain
//      alBufferData of its decoded size runs (OpenAL Soft holds the
//      device's buffer lock, which every refill needs, for its copy; the
//      library's loads fill a mapped buffer instead); the times of each.
// Usage: bench_background_load [repetitions]   (run with ALSOFT_DRIVERS=null)
#include "benchutil.h"
#include "media.h"
#include "nuvex.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t Rate = 44100;
constexpr size_t Effects = 200;
int Repeats = 5;

// A few partials over soft noise, so the encoder has real work.
std::vector<int16_t> Effect(size_t frames, int channels, uint32_t seed)
{
    std::vector<int16_t> out(frames * size_t(channels));
    uint32_t noise = seed * 2654435761u + 1;
    const double base = 200.0 + 37.0 * (seed % 17);
    for (size_t i = 0; i < frames; i++) {
        const double t = double(i) / Rate, fade = 1.0 - double(i) / double(frames);
        for (int c = 0; c < channels; c++) {
            double v = 0;
            for (int k = 1; k <= 3; k++)
                v += 4000.0 / k * std::sin(6.283185307179586 * base * k * (1 + 0.3 * c) * t + std::sin(t * 3 * k));
            noise = noise * 1664525u + 1013904223u;
            out[i * size_t(channels) + size_t(c)] = int16_t(v * fade + double(int32_t(noise) >> 21));
        }
    }
    return out;
}

bool WriteFile(const std::string &path, const nvmedia::Bytes &bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    bool ok = f && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return f && fclose(f) == 0 && ok;
}

void ReadThrough(const std::vector<std::string> &paths)
{
    std::vector<char> scratch(1 << 16);
    for (const std::string &path : paths)
        if (FILE *f = fopen(path.c_str(), "rb")) {
            while (fread(scratch.data(), 1, scratch.size(), f) > 0) {
            }
            fclose(f);
        }
}

// Runs every way once per repetition, in turn, so that drift in the
// machine's load spreads over all of them; returns each way's median.
std::vector<double> InterleavedMedians(const std::vector<std::function<bool()>> &ways)
{
    std::vector<std::vector<double>> times(ways.size());
    for (int r = 0; r < Repeats; r++)
        for (size_t w = 0; w < ways.size(); w++) {
            bool ok = false;
            times[w].push_back(bench::TimeOnce([&] { ok = ways[w](); }).wall);
            if (!ok) {
                fprintf(stderr, "a load failed: %s\n", nuvexGetErrorString());
                exit(1);
            }
        }
    std::vector<double> medians;
    for (auto &t : times)
        medians.push_back(bench::Median(t));
    return medians;
}

void CompareBatches(const char *what, const std::vector<std::string> &paths)
{
    std::vector<const char *> names;
    for (const std::string &path : paths)
        names.push_back(path.c_str());
    std::vector<ALuint> buffers(names.size());
    const ALsizei threadCounts[] = {1, 2, 4};
    std::vector<std::function<bool()>> ways = {[&] {
        for (size_t i = 0; i < names.size(); i++)
            if (!(buffers[i] = nuvexCreateBufferFromFile(names[i])))
                return false;
        alDeleteBuffers(ALsizei(buffers.size()), buffers.data());
        return true;
    }};
    for (ALsizei threads : threadCounts)
        ways.push_back([&, threads] {
            nuvexSetLoadThreads(threads);
            const bool ok = nuvexCreateBuffersFromFiles(names.data(), ALsizei(names.size()), buffers.data()) ==
                            ALsizei(names.size());
            alDeleteBuffers(ALsizei(buffers.size()), buffers.data());
            return ok;
        });
    const std::vector<double> medians = InterleavedMedians(ways);
    const double loop = medians[0];
    printf("%s: loop of nuvexCreateBufferFromFile %s\n", what, bench::FormatMs(loop).c_str());
    for (size_t i = 0; i < 3; i++)
        printf("  batch, %d thread%s: %s  = %.2fx the loop (speed-up %.2f)\n", threadCounts[i],
               threadCounts[i] > 1 ? "s" : " ", bench::FormatMs(medians[i + 1]).c_str(), medians[i + 1] / loop,
               loop / medians[i + 1]);
    nuvexSetLoadThreads(0);
}

void Keep(void *slot, ALuint buffer, const ALchar *) { static_cast<std::atomic<ALuint> *>(slot)->store(buffer ? buffer : ~0u); }

void AsyncReturnTimes(const std::vector<std::string> &paths)
{
    std::vector<double> calls;
    std::vector<std::atomic<ALuint>> got(paths.size());
    for (auto &g : got)
        g = 0;
    const double start = bench::WallSeconds();
    for (size_t i = 0; i < paths.size(); i++) {
        const double before = bench::WallSeconds();
        if (!nuvexCreateBufferFromFileAsync(paths[i].c_str(), Keep, &got[i])) {
            fprintf(stderr, "async call failed: %s\n", nuvexGetErrorString());
            exit(1);
        }
        calls.push_back(bench::WallSeconds() - before);
    }
    while (std::any_of(got.begin(), got.end(), [](const std::atomic<ALuint> &g) { return g == 0; })) {
        nuvexUpdate();
        usleep(200);
    }
    const double all = bench::WallSeconds() - start;
    for (auto &g : got) {
        ALuint buffer = g;
        alDeleteBuffers(1, &buffer);
    }
    std::sort(calls.begin(), calls.end());
    printf("nuvexCreateBufferFromFileAsync over %zu Ogg files: call returns in %.1f us median, %.1f us p99, "
           "%.1f us worst; all delivered after %s\n",
           calls.size(), bench::Median(calls) * 1e6, calls[calls.size() * 99 / 100] * 1e6, calls.back() * 1e6,
           bench::FormatMs(all).c_str());
}

// A streamed source whose stream is a callback: every refill by the update
// thread comes through it, so it sees the gaps between refills and a source
// found stopped (run dry) when a refill comes.
struct Fed {
    ALuint source = 0;
    std::atomic<bool> playing{false};
    double last = 0, maxGap = 0;
    int underruns = 0;
    uint32_t phase = 0;
    static ALuint Callback(void *self, ALubyte *data, ALuint bytes)
    {
        Fed &fed = *static_cast<Fed *>(self);
        if (fed.playing) {
            const double now = bench::WallSeconds();
            if (fed.last > 0)
                fed.maxGap = std::max(fed.maxGap, now - fed.last);
            fed.last = now;
            ALint state = AL_PLAYING;
            alGetSourcei(fed.source, AL_SOURCE_STATE, &state);
            fed.underruns += state == AL_STOPPED;
        }
        auto *out = reinterpret_cast<int16_t *>(data);
        for (ALuint i = 0; i < bytes / 2; i++, fed.phase++)
            out[i] = int16_t(3000 * std::sin(fed.phase * 0.03));
        return bytes - bytes % 4;
    }
};

void StreamsWhileLoading(const std::string &longOgg)
{
    std::vector<Fed> fed(16);
    std::vector<nuvexStream *> streams;
    for (Fed &f : fed) {
        alGenSources(1, &f.source);
        streams.push_back(nuvexCreateStreamFromCallback(Fed::Callback, &f, AL_FORMAT_STEREO16, Rate, 8192, 0, nullptr));
        if (!streams.back() || !nuvexPlaySourceStream(f.source, streams.back(), 4, 0, nullptr, nullptr)) {
            fprintf(stderr, "stream setup failed: %s\n", nuvexGetErrorString());
            exit(1);
        }
    }
    auto phase = [&](const char *what, const std::function<void()> &during) {
        for (Fed &f : fed)
            f.last = 0, f.maxGap = 0, f.underruns = 0, f.playing = true;
        nuvexUpdateInterval(0.01f);
        during();
        nuvexUpdateInterval(0.0f);
        int underruns = 0;
        double gap = 0;
        for (Fed &f : fed)
            f.playing = false, underruns += f.underruns, gap = std::max(gap, f.maxGap);
        printf("  %s: %d underruns, longest gap between refills %s (the ring holds 186 ms)\n", what, underruns,
               bench::FormatMs(gap).c_str());
    };
    printf("16 streamed sources, update thread every 10 ms:\n");
    phase("nothing else, 3 s", [] { usleep(3000000); });
    double loadTime = 0;
    phase("while the 5-minute Ogg file loads in the background", [&] {
        std::atomic<ALuint> got{0};
        const double start = bench::WallSeconds();
        nuvexCreateBufferFromFileAsync(longOgg.c_str(), Keep, &got);
        while (got == 0)
            usleep(1000);
        loadTime = bench::WallSeconds() - start;
        ALuint buffer = got;
        alDeleteBuffers(1, &buffer);
    });
    // The same load on this thread: the decode runs here.
    double alone = 0;
    phase("while the same file loads on the calling thread", [&] {
        alone = bench::TimeOnce([&] {
            ALuint buffer = nuvexCreateBufferFromFile(longOgg.c_str());
            alDeleteBuffers(1, &buffer);
        }).wall;
    });
    // What the loads avoid: OpenAL Soft copies the data of a plain
    // alBufferData holding its device's buffer lock, which every refill
    // also takes.
    std::vector<int16_t> decoded(size_t(300) * Rate * 2, 1);
    double upload = 0;
    phase("while one plain alBufferData of its decoded size runs", [&] {
        ALuint plain = 0;
        alGenBuffers(1, &plain);
        upload = bench::TimeOnce([&] {
            alBufferData(plain, AL_FORMAT_STEREO16, decoded.data(), ALsizei(decoded.size() * 2), Rate);
        }).wall;
        alDeleteBuffers(1, &plain);
        usleep(200000);
    });
    for (size_t i = 0; i < fed.size(); i++) {
        nuvexDestroyStream(streams[i], 0, nullptr);
        alDeleteSources(1, &fed[i].source);
    }
    printf("  the background load took %s; the same load on the calling thread %s (%.2fx); alBufferData of "
           "its %s %s\n",
           bench::FormatMs(loadTime).c_str(), bench::FormatMs(alone).c_str(), loadTime / alone,
           bench::FormatMiB(double(decoded.size() * 2)).c_str(), bench::FormatMs(upload).c_str());
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && atoi(argv[1]) > 0)
        Repeats = atoi(argv[1]);
    char dir[] = "/tmp/nuvex-bench-XXXXXX";
    if (!mkdtemp(dir)) {
        perror("mkdtemp");
        return 1;
    }
    std::vector<std::string> oggs, wavs;
    for (uint32_t i = 0; i < Effects; i++) {
        const int channels = i % 2 ? 2 : 1;
        const size_t frames = size_t((0.5 + 2.5 * double(i % 11) / 10.0) * Rate);
        const std::vector<int16_t> pcm = Effect(frames, channels, i);
        oggs.push_back(std::string(dir) + "/effect" + std::to_string(i) + ".ogg");
        wavs.push_back(std::string(dir) + "/effect" + std::to_string(i) + ".wav");
        if (!WriteFile(oggs.back(), nvmedia::EncodeOgg(pcm, channels, Rate)) ||
            !WriteFile(wavs.back(), nvmedia::WriteWav16(pcm, channels, Rate))) {
            perror("writing the effects");
            return 1;
        }
    }
    const std::string longOgg = std::string(dir) + "/music.ogg";
    if (!WriteFile(longOgg, nvmedia::EncodeOgg(Effect(size_t(300) * Rate, 2, 7), 2, Rate))) {
        perror("writing the music");
        return 1;
    }
    ReadThrough(oggs);
    ReadThrough(wavs);
    ReadThrough({longOgg});
    if (!nuvexInitDevice(nullptr, nullptr)) {
        fprintf(stderr, "no device: %s\n", nuvexGetErrorString());
        return 1;
    }
    printf("%ld cores online, %d repetitions (medians)\n", sysconf(_SC_NPROCESSORS_ONLN), Repeats);
    CompareBatches("200 Ogg Vorbis effects", oggs);
    CompareBatches("200 WAV effects", wavs);
    AsyncReturnTimes(oggs);
    StreamsWhileLoading(longOgg);
    nuvexShutdownDevice();
    (void)!system(("rm -rf '" + std::string(dir) + "'").c_str());
    return 0;
}
