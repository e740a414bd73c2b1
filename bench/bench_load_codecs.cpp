// Whole-file loads of the compressed and big-endian formats against the
// decoding libraries' own minimal loops, measured in the same run:
//   Ogg Vorbis (2 minutes, stereo 44.1 kHz): ov_open_callbacks over the
//     image (or ov_fopen of the file), ov_read into an array sized from
//     ov_pcm_total, alBufferData;
//   module (a generated one of about 60 seconds): ModPlug_Load of the image,
//     ModPlug_Read a second at a time into an array sized from
//     ModPlug_GetLength, alBufferData;
//   AIFF (2 minutes, stereo 16-bit 44.1 kHz): read the file whole (or take
//     the image), swap the sound data to host order, alBufferData.
// Prints median wall and thread-CPU times and each load's ratio to its limit.
// The module is also loaded in a fresh forked process per load, which gives
// the peak memory a load adds, as a multiple of the decoded size (the floor
// is 2x: the decoded array and OpenAL's copy of it). Each such process first
// runs the same code on a small module, so that code pages are not counted.
// Usage: bench_load_codecs [repetitions]
#include "benchutil.h"
#include "media.h"
#include "refdecode.h"
#include "nuvex.h"

#include <AL/alext.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {
constexpr uint32_t Rate = 44100;
constexpr uint32_t Seconds = 120;

// Music-like material: a few drifting partials per channel over soft noise,
// so the encoder has real work (pure tones compress to almost nothing).
std::vector<int16_t> Music(size_t frames)
{
    std::vector<int16_t> out(frames * 2);
    uint32_t noise = 1;
    const double twoPi = 6.283185307179586;
    for (size_t i = 0; i < frames; i++) {
        double t = double(i) / Rate;
        for (int c = 0; c < 2; c++) {
            double v = 0;
            for (int k = 1; k <= 4; k++)
                v += 2500.0 / k * std::sin(twoPi * (110.0 * k * (1 + c * 0.5)) * t +
                                           3 * std::sin(t * 0.7 * k));
            noise = noise * 1664525u + 1013904223u;
            v += double(int32_t(noise) >> 20);
            out[i * 2 + size_t(c)] = int16_t(v);
        }
    }
    return out;
}

bool ReadWholeFile(const std::string &path, std::vector<uint8_t> &bytes)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    fseeko(f, 0, SEEK_END);
    bytes.resize(size_t(ftello(f)));
    fseeko(f, 0, SEEK_SET);
    bool ok = fread(bytes.data(), 1, bytes.size(), f) == bytes.size();
    fclose(f);
    return ok;
}

// ---- Ogg Vorbis and module limits (tools/mediagen/refdecode) ----

bool Upload(bool decoded, const nvmedia::Decoded &pcm, ALuint buffer)
{
    if (!decoded)
        return false;
    alBufferData(buffer, pcm.channels == 2 ? AL_FORMAT_STEREO16 : AL_FORMAT_MONO16, pcm.s16.data(),
                 ALsizei(pcm.s16.size() * 2), ALsizei(pcm.rate));
    return alGetError() == AL_NO_ERROR;
}

bool OggMemoryLimit(const std::vector<uint8_t> &image, ALuint buffer)
{
    nvmedia::Decoded pcm;
    return Upload(nvmedia::DecodeVorbis(image, pcm), pcm, buffer);
}

bool OggFileLimit(const std::string &path, ALuint buffer)
{
    nvmedia::Decoded pcm;
    return Upload(nvmedia::DecodeVorbisFile(path.c_str(), pcm), pcm, buffer);
}

bool ModuleLimit(const std::vector<uint8_t> &image, ALuint buffer)
{
    nvmedia::Decoded pcm;
    return Upload(nvmedia::RenderModule(image, pcm, 44100 * 4), pcm, buffer);
}

// ---- AIFF limit ----

void SwapInto(uint8_t *to, const uint8_t *from, size_t bytes)
{
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        to[i] = from[i + 1];
        to[i + 1] = from[i];
    }
}

bool AiffMemoryLimit(const std::vector<uint8_t> &image, size_t dataOffset, ALuint buffer)
{
    const size_t bytes = image.size() - dataOffset;
    std::vector<uint8_t> host(bytes);
    SwapInto(host.data(), image.data() + dataOffset, bytes);
    alBufferData(buffer, AL_FORMAT_STEREO16, host.data(), ALsizei(bytes), ALsizei(Rate));
    return alGetError() == AL_NO_ERROR;
}

bool AiffFileLimit(const std::string &path, size_t dataOffset, ALuint buffer)
{
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(path, bytes))
        return false;
    uint8_t *data = bytes.data() + dataOffset;
    const size_t n = bytes.size() - dataOffset;
    SwapInto(data, data, n); // in place
    alBufferData(buffer, AL_FORMAT_STEREO16, data, ALsizei(n), ALsizei(Rate));
    return alGetError() == AL_NO_ERROR;
}

// ---- Harness ----

using Case = bench::LoadCase;

// Runs a limit and its load alternately; prints both and their ratio.
bool Compare(const char *title, Case limit, Case load, int reps, double target)
{
    for (Case *c : {&limit, &load}) // warm-up
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
    double wallRatio = bench::Median(load.wall) / bench::Median(limit.wall);
    double cpuRatio = bench::Median(load.cpu) / bench::Median(limit.cpu);
    printf("%s\n", title);
    for (Case *c : {&limit, &load})
        printf("  %-22s wall %10s  cpu %10s  (%.1f MiB)\n", c->name.c_str(),
               bench::FormatMs(bench::Median(c->wall)).c_str(),
               bench::FormatMs(bench::Median(c->cpu)).c_str(), c->size / 1048576.0);
    if (limit.size != load.size)
        printf("  NOTE: sizes differ (%d vs %d bytes)\n", limit.size, load.size);
    // Each load runs on one thread, so its CPU time is what it costs; wall
    // time also counts waiting for a core on a busy machine.
    printf("  ratio %.3fx cpu (%.3fx wall); target <= %.2f on cpu: %s\n", cpuRatio, wallRatio,
           target, cpuRatio <= target ? "meets" : "MISSES");
    return true;
}

// A limit and its load each run in a fresh forked process with a device of
// its own, alternately: times, and the peak memory each adds as a multiple
// of `decodedBytes`. Call before this process opens a device of its own.
// `limitWarm` and `loadWarm` run the same code on a small input first, so
// that its code is paged in: the peak then counts the load's data.
bool CompareFresh(const char *title, Case limit, Case load, Case limitWarm, Case loadWarm,
                  int reps, size_t decodedBytes, double memoryTarget)
{
    std::vector<double> growth[2];
    for (int r = 0; r < reps; r++) {
        for (int k = 0; k < 2; k++) {
            int which = (r + k) % 2;
            Case &c = which == 0 ? limit : load;
            Case &warm = which == 0 ? limitWarm : loadWarm;
            bench::ChildRun run = bench::LoadInFreshProcess(int(Rate), warm.run, c.run, decodedBytes);
            if (!run.ok) {
                fprintf(stderr, "%s failed in a fresh process\n", c.name.c_str());
                return false;
            }
            c.wall.push_back(run.time.wall);
            c.cpu.push_back(run.time.cpu);
            growth[which].push_back(double(run.peakGrowth));
        }
    }
    printf("%s, fresh process per load\n", title);
    for (int which = 0; which < 2; which++) {
        const Case &c = which == 0 ? limit : load;
        double g = bench::Median(growth[which]);
        printf("  %-22s wall %10s  cpu %10s  added memory %s (%.3fx decoded)\n", c.name.c_str(),
               bench::FormatMs(bench::Median(c.wall)).c_str(),
               bench::FormatMs(bench::Median(c.cpu)).c_str(),
               g < 0 ? "n/a" : bench::FormatMiB(g).c_str(), g / double(decodedBytes));
    }
    double cpuRatio = bench::Median(load.cpu) / bench::Median(limit.cpu);
    double wallRatio = bench::Median(load.wall) / bench::Median(limit.wall);
    double g = bench::Median(growth[1]) / double(decodedBytes);
    printf("  ratio %.3fx cpu (%.3fx wall); added memory %.3fx decoded, target <= %.2f: %s\n",
           cpuRatio, wallRatio, g, memoryTarget,
           growth[1].empty() || bench::Median(growth[1]) < 0 ? "NOT MEASURED"
           : g <= memoryTarget                              ? "meets"
                                                            : "MISSES");
    return true;
}

std::string WriteTemp(const std::string &dir, const char *name, const std::vector<uint8_t> &bytes)
{
    std::string path = dir + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0) {
        perror(path.c_str());
        exit(1);
    }
    return path;
}
} // namespace

int main(int argc, char **argv)
{
    int reps = argc > 1 ? atoi(argv[1]) : 7;
    if (reps < 1)
        reps = 1;
    char dir[] = "/tmp/nuvex-bench-XXXXXX";
    if (!mkdtemp(dir)) {
        perror("mkdtemp");
        return 1;
    }

    const std::vector<int16_t> music = Music(size_t(Rate) * Seconds);
    const auto ogg = nvmedia::EncodeOgg(music, 2, Rate, 0.4f);
    const auto aiff = nvmedia::WriteAiff(music, 2, Rate, 16);
    const size_t aiffData = aiff.size() - music.size() * 2;
    // 8 orders of about 7.7 s: about a minute.
    const auto module =
        nvmedia::WriteMod(nvmedia::DemoModule(8, {0, 1, 2, 3, 4, 5, 6, 7}));
    const auto smallModule = nvmedia::WriteMod(nvmedia::DemoModule(1, {0}));
    const std::string oggPath = WriteTemp(dir, "music.ogg", ogg);
    const std::string aiffPath = WriteTemp(dir, "music.aiff", aiff);

    printf("Whole-file loads against the libraries' own loops, %d repetitions (medians)\n", reps);
    printf("Ogg Vorbis: %u s stereo %u Hz, %.2f MiB encoded; module: %zu bytes; AIFF: %.1f MiB\n",
           Seconds, Rate, ogg.size() / 1048576.0, module.size(), aiff.size() / 1048576.0);

    auto fromMemory = [](const std::vector<uint8_t> &image) {
        return [&image](ALuint b) {
            return nuvexBufferDataFromMemory(image.data(), ALsizei(image.size()), b) == AL_TRUE;
        };
    };
    auto fromFile = [](const std::string &path) {
        return [path](ALuint b) { return nuvexBufferDataFromFile(path.c_str(), b) == AL_TRUE; };
    };
    // The decoded size of the module, as the limit renders it (a second at a
    // time; libmodplug pads the last read, and so does the library's load).
    nvmedia::Decoded rendered;
    nvmedia::RenderModule(module, rendered, 44100 * 4);
    const size_t moduleBytes = rendered.s16.size() * 2;
    // Fresh processes first: a process with an open device should not fork.
    if (!CompareFresh("Module from memory",
                      {"ModPlug_Read limit", [&](ALuint b) { return ModuleLimit(module, b); }},
                      {"nuvex load", fromMemory(module)},
                      {"warm-up", [&](ALuint b) { return ModuleLimit(smallModule, b); }},
                      {"warm-up", fromMemory(smallModule)}, reps * 2, moduleBytes, 2.05))
        return 1;

    nvmedia::Loopback device(2, int(Rate));
    if (!device.ok()) {
        fprintf(stderr, "no OpenAL loopback device\n");
        return 1;
    }
    bool ok =
        Compare("Ogg Vorbis from memory",
                {"ov_read limit", [&](ALuint b) { return OggMemoryLimit(ogg, b); }},
                {"nuvex load", fromMemory(ogg)}, reps, 1.05) &&
        Compare("Ogg Vorbis from file",
                {"ov_fopen+ov_read limit", [&](ALuint b) { return OggFileLimit(oggPath, b); }},
                {"nuvex load", fromFile(oggPath)}, reps, 1.05) &&
        Compare("Module from memory",
                {"ModPlug_Read limit", [&](ALuint b) { return ModuleLimit(module, b); }},
                {"nuvex load", fromMemory(module)}, reps, 1.05) &&
        Compare("AIFF from memory",
                {"swap limit", [&](ALuint b) { return AiffMemoryLimit(aiff, aiffData, b); }},
                {"nuvex load", fromMemory(aiff)}, reps * 2, 1.3) &&
        Compare("AIFF from file",
                {"read+swap limit", [&](ALuint b) { return AiffFileLimit(aiffPath, aiffData, b); }},
                {"nuvex load", fromFile(aiffPath)}, reps * 2, 1.3);

    unlink(oggPath.c_str());
    unlink(aiffPath.c_str());
    rmdir(dir);
    return ok ? 0 : 1;
}
