// Whole-file loads of the formats read through libsndfile and libmpg123,
// from memory, against each codec library's own decode loop into one array
// plus one alBufferData, measured in the same run (tools/mediagen/refdecode):
//   FLAC 16-bit and 24-bit (2 minutes, stereo 44.1 kHz): libFLAC's stream
//     decoder (24-bit to float, as the library delivers it);
//   MP3 192 kbit/s: mpg123_read, gapless;
//   Opus 128 kbit/s (48 kHz): op_read.
// Then the added memory of each load (peak resident growth in a fresh child,
// as a multiple of the decoded size), and what the new decoders cost a
// tracker module, which they see (and decline) before the module decoder.
// Usage: bench_load_sndfile [repetitions]
#include "benchutil.h"
#include "media.h"
#include "nuvex.h"

#include <AL/alext.h>

#ifdef NUVEX_MEDIA_SNDFILE
#include "refdecode.h"
#include "sfmedia.h"

#include <malloc.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {
constexpr int Rate = 44100;
constexpr int Seconds = 120;

// Music-like material with busy low bits: drifting partials per channel over
// soft noise, full-scale 32-bit (a 24-bit file keeps 24 of them).
std::vector<int32_t> Music(int rate)
{
    const size_t frames = size_t(rate) * Seconds;
    std::vector<int32_t> out(frames * 2);
    uint32_t noise = 1;
    const double twoPi = 6.283185307179586;
    for (size_t i = 0; i < frames; i++) {
        double t = double(i) / rate;
        for (int c = 0; c < 2; c++) {
            double v = 0;
            for (int k = 1; k <= 4; k++)
                v += 0.08 / k * std::sin(twoPi * (110.0 * k * (1 + c * 0.5)) * t +
                                         3 * std::sin(t * 0.7 * k));
            noise = noise * 1664525u + 1013904223u;
            v += double(int32_t(noise)) / 2147483648.0 * 0.004;
            out[i * 2 + size_t(c)] = int32_t(std::lrint(v * 2147483647.0));
        }
    }
    return out;
}

using Load = std::function<bool(ALuint)>;

bool FlacTo16(const nvmedia::Bytes &image, nvmedia::Decoded &pcm)
{
    return nvmedia::DecodeFlac(image, pcm, false);
}
bool FlacToFloat(const nvmedia::Bytes &image, nvmedia::Decoded &pcm)
{
    return nvmedia::DecodeFlac(image, pcm, true);
}
bool OpusTo16(const nvmedia::Bytes &image, nvmedia::Decoded &pcm)
{
    return nvmedia::DecodeOpus(image, pcm, false);
}

// A codec's own decode into one array, then one upload.
Load Limit(const nvmedia::Bytes &image, bool (*decode)(const nvmedia::Bytes &, nvmedia::Decoded &))
{
    return [&image, decode](ALuint buffer) {
        nvmedia::Decoded pcm;
        if (!decode(image, pcm))
            return false;
        const bool isFloat = !pcm.f32.empty();
        const ALenum format = isFloat ? AL_FORMAT_STEREO_FLOAT32 : AL_FORMAT_STEREO16;
        const void *data = isFloat ? static_cast<const void *>(pcm.f32.data()) : pcm.s16.data();
        const size_t bytes = isFloat ? pcm.f32.size() * 4 : pcm.s16.size() * 2;
        alBufferData(buffer, format, data, ALsizei(bytes), ALsizei(pcm.rate));
        return alGetError() == AL_NO_ERROR;
    };
}

Load FromMemory(const nvmedia::Bytes &image)
{
    return [&image](ALuint buffer) {
        return nuvexBufferDataFromMemory(image.data(), ALsizei(image.size()), buffer) == AL_TRUE;
    };
}

using Case = bench::LoadCase;

// Peak resident growth of one load in a fresh child, per decoded byte.
double AddedMemory(const Load &load, ALint decodedBytes)
{
    nvmedia::Loopback *device = nullptr;
    ALuint buffer = 0;
    bench::ChildRun run = bench::RunInChild(
        [&] {
            // The loads timed before have freed big arrays, which raised
            // glibc's mmap threshold: the child would reuse that heap and
            // show no growth. Back to the default of a fresh process.
            mallopt(M_MMAP_THRESHOLD, 128 * 1024);
            device = new nvmedia::Loopback(2, int(Rate));
            if (!device->ok())
                return false;
            alGenBuffers(1, &buffer);
            alBufferData(buffer, AL_FORMAT_STEREO16, nullptr, 0, Rate);
            return alGetError() == AL_NO_ERROR;
        },
        [&] { return load(buffer); });
    return run.ok && run.peakGrowth >= 0 ? double(run.peakGrowth) / decodedBytes : -1;
}

// Alternates limit and load; prints medians, the ratio and the added memory.
bool Compare(const char *title, Case limit, Case load, int reps, double target)
{
    for (Case *c : {&limit, &load})
        if (!bench::RunLoadOnce(*c, false))
            return false;
    for (int r = 0; r < reps; r++) {
        Case *order[2] = {&limit, &load};
        if (r & 1)
            std::swap(order[0], order[1]);
        for (Case *c : order)
            if (!bench::RunLoadOnce(*c, true))
                return false;
    }
    const double cpuRatio = bench::Median(load.cpu) / bench::Median(limit.cpu);
    const double wallRatio = bench::Median(load.wall) / bench::Median(limit.wall);
    printf("%s\n", title);
    for (Case *c : {&limit, &load})
        printf("  %-22s wall %10s  cpu %10s  (%.1f MiB)\n", c->name.c_str(),
               bench::FormatMs(bench::Median(c->wall)).c_str(),
               bench::FormatMs(bench::Median(c->cpu)).c_str(), c->size / 1048576.0);
    if (limit.size != load.size)
        printf("  NOTE: sizes differ (%d vs %d bytes)\n", limit.size, load.size);
    printf("  ratio %.3fx cpu (%.3fx wall); target <= %.2f on cpu: %s\n", cpuRatio, wallRatio,
           target, cpuRatio <= target ? "meets" : "MISSES");
    const double added = AddedMemory(load.run, load.size);
    printf("  added memory %.2fx decoded size; target <= 2.1: %s\n", added,
           added < 0 ? "NOT MEASURED" : added <= 2.1 ? "meets" : "MISSES");
    return true;
}

double MedianSeconds(int reps, const std::function<void()> &work)
{
    std::vector<double> cpu;
    for (int r = 0; r < reps; r++)
        cpu.push_back(bench::TimeOnce(work).cpu);
    return bench::Median(cpu);
}

// What the new decoders add to a tracker module load: they see every module
// before the module decoder does, and decline it on its first bytes. Bounded
// from above by a whole decoder search that every decoder declines on the
// first bytes (a Standard MIDI File header), set against the module load
// itself (bench_load_codecs compares that with libmodplug's own loop).
void ModuleFigures(int reps)
{
    const auto module = nvmedia::WriteMod(
        nvmedia::DemoModule(8, {0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7}));
    nvmedia::Bytes midi = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96};
    midi.resize(4096, 0);
    const int tries = 20000;
    const double search = MedianSeconds(reps, [&] {
        for (int i = 0; i < tries; i++)
            nuvexCreateBufferFromMemory(midi.data(), ALsizei(midi.size()));
    }) / tries;
    nuvexGetErrorString();
    const double moduleLoad = MedianSeconds(reps, [&] {
        ALuint b = nuvexCreateBufferFromMemory(module.data(), ALsizei(module.size()));
        alDeleteBuffers(1, &b);
    });
    printf("Declining: a whole decoder search that every decoder declines takes %.2f us;\n"
           "  a 2-minute module load takes %s cpu, so the new decoders add at most %.4f%%\n",
           search * 1e6, bench::FormatMs(moduleLoad).c_str(), 100.0 * search / moduleLoad);
}
} // namespace

int main(int argc, char **argv)
{
    int reps = argc > 1 ? atoi(argv[1]) : 7;
    if (reps < 1)
        reps = 1;
    const std::vector<int32_t> music = Music(Rate);
    nvmedia::SoundFileOptions mp3Options, opusOptions;
    // libsndfile's constant-bitrate scales, as the level goes from 0 to 1:
    // MP3 320 down to 32 kbit/s, Opus 256 down to 6 kbit/s per channel.
    mp3Options.bitrateMode = opusOptions.bitrateMode = SF_BITRATE_MODE_CONSTANT;
    mp3Options.compression = (320.0 - 192.0) / (320.0 - 32.0);
    opusOptions.compression = (512.0 - 128.0) / (512.0 - 12.0);
    const auto flac16 = nvmedia::WriteSoundFile(music, 2, Rate, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    const auto flac24 = nvmedia::WriteSoundFile(music, 2, Rate, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    const auto mp3 = nvmedia::WriteSoundFile(music, 2, Rate,
                                             SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, mp3Options);
    // Opus takes 48 kHz input (its decoders give 48 kHz whatever the source).
    const auto opus = nvmedia::WriteSoundFile(Music(48000), 2, 48000,
                                              SF_FORMAT_OGG | SF_FORMAT_OPUS, opusOptions);

    nvmedia::Loopback device(2, int(Rate));
    if (!device.ok()) {
        fprintf(stderr, "no OpenAL loopback device\n");
        return 1;
    }
    auto kbps = [](const nvmedia::Bytes &b) { return double(b.size()) * 8 / Seconds / 1000; };
    printf("Whole-file loads against the codecs' own loops, %d repetitions (medians)\n", reps);
    printf("%d s stereo %d Hz: FLAC 16-bit %.1f MiB, 24-bit %.1f MiB; MP3 %.0f kbit/s; "
           "Opus %.0f kbit/s\n",
           Seconds, Rate, flac16.size() / 1048576.0, flac24.size() / 1048576.0, kbps(mp3),
           kbps(opus));
    bool ok = Compare("FLAC 16-bit from memory", {"libFLAC limit", Limit(flac16, FlacTo16)},
                      {"nuvex load", FromMemory(flac16)}, reps, 1.10) &&
              Compare("FLAC 24-bit from memory (to float)",
                      {"libFLAC limit", Limit(flac24, FlacToFloat)},
                      {"nuvex load", FromMemory(flac24)}, reps, 1.10) &&
              Compare("MP3 from memory", {"mpg123_read limit", Limit(mp3, nvmedia::DecodeMp3)},
                      {"nuvex load", FromMemory(mp3)}, reps, 1.10) &&
              Compare("Opus from memory", {"op_read limit", Limit(opus, OpusTo16)},
                      {"nuvex load", FromMemory(opus)}, reps, 1.10);
    if (ok)
        ModuleFigures(reps);
    return ok ? 0 : 1;
}

#else
#include <cstdio>
int main()
{
    printf("built without libsndfile (NUVEX_WITH_SNDFILE=OFF): nothing to measure\n");
    return 0;
}
#endif
