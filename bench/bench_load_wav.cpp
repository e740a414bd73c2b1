// Whole-file load of a two-minute 44.1 kHz stereo 16-bit WAV, from a file
// and from memory, against the plainest way to get the same samples into an
// OpenAL buffer, measured in the same run:
//   file:   read the whole file with one fread, alBufferData its data chunk;
//   memory: alBufferData the data chunk of the image in place.
// Each case runs both in a fresh forked process per load (cold heap and page
// tables, as an application loading a sound once; this run also gives the
// peak memory a load adds; the same code has run once on a one-second sound
// before, so that code pages are not counted as memory the load adds) and
// repeated in one process (warm allocator).
// Prints median times, their ratios (of the medians, and the median ratio of
// runs made one right after the other), and the added memory as a multiple
// of the decoded size. Targets: from a file at most 1.05x the limit in a
// fresh process and 1.2x repeated; from memory 1.05x both ways.
// Usage: bench_load_wav [repetitions]
#include "benchutil.h"
#include "nuvex.h"

#include <AL/alext.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {
constexpr uint32_t Rate = 44100;
constexpr uint32_t Seconds = 120;
constexpr uint32_t FrameBytes = 4;
constexpr uint32_t DataBytes = Rate * Seconds * FrameBytes;
constexpr size_t DataOffset = 44;

void Put16(std::vector<uint8_t> &out, uint32_t v)
{
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}
void Put32(std::vector<uint8_t> &out, uint32_t v)
{
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

// A WAV image of `dataBytes` bytes of noise.
std::vector<uint8_t> MakeImage(uint32_t dataBytes)
{
    std::vector<uint8_t> out;
    out.reserve(DataOffset + dataBytes);
    out.insert(out.end(), {'R', 'I', 'F', 'F'});
    Put32(out, 36 + dataBytes);
    out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    Put32(out, 16);
    Put16(out, 1);
    Put16(out, 2);
    Put32(out, Rate);
    Put32(out, Rate * FrameBytes);
    Put16(out, FrameBytes);
    Put16(out, 16);
    out.insert(out.end(), {'d', 'a', 't', 'a'});
    Put32(out, dataBytes);
    uint32_t noise = 12345;
    for (uint32_t i = 0; i < dataBytes / 2; i++) {
        noise = noise * 1103515245u + 12345u;
        Put16(out, noise >> 16);
    }
    return out;
}

bool FileLimit(const std::string &path, ALuint buffer, uint32_t dataBytes = DataBytes)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    fseeko(f, 0, SEEK_END);
    size_t size = size_t(ftello(f));
    fseeko(f, 0, SEEK_SET);
    auto *bytes = static_cast<uint8_t *>(malloc(size));
    bool ok = bytes && fread(bytes, 1, size, f) == size;
    fclose(f);
    if (ok)
        alBufferData(buffer, AL_FORMAT_STEREO16, bytes + DataOffset, ALsizei(dataBytes),
                     ALsizei(Rate));
    free(bytes);
    return ok && alGetError() == AL_NO_ERROR;
}

bool MemoryLimit(const std::vector<uint8_t> &image, ALuint buffer)
{
    alBufferData(buffer, AL_FORMAT_STEREO16, image.data() + DataOffset,
                 ALsizei(image.size() - DataOffset),
                 ALsizei(Rate));
    return alGetError() == AL_NO_ERROR;
}

bool FileLoad(const std::string &path, ALuint buffer)
{
    return nuvexBufferDataFromFile(path.c_str(), buffer) == AL_TRUE;
}

bool MemoryLoad(const std::vector<uint8_t> &image, ALuint buffer)
{
    return nuvexBufferDataFromMemory(image.data(), ALsizei(image.size()), buffer) == AL_TRUE;
}

struct Case {
    const char *name;
    std::function<bool(ALuint)> run;
    // The same work on a one-second sound: run before the measured load in
    // a fresh process, so that the code it runs is paged in already. The
    // peak memory then counts the load's data, not code pages (about a
    // megabyte of the library's and the C++ library's, once per process).
    std::function<bool(ALuint)> warm;
    std::vector<double> wall, cpu, growth; // fresh child per run
    std::vector<double> warmWall, warmCpu; // repeated in one process
};

// One run of a case in a fresh child process with its own device: the load
// starts from a heap and page tables that no earlier run has warmed, as in
// an application that loads the sound once.
bool RunCase(Case &c, bool record)
{
    bench::ChildRun run = bench::LoadInFreshProcess(int(Rate), c.warm, c.run, DataBytes);
    if (!run.ok) {
        fprintf(stderr, "%s failed\n", c.name);
        return false;
    }
    if (record) {
        c.wall.push_back(run.time.wall);
        c.cpu.push_back(run.time.cpu);
        c.growth.push_back(double(run.peakGrowth));
    }
    return true;
}
// One run in this process, on the device that is current: after the first
// run the allocator hands the same memory back, so no page is new.
bool RunWarm(Case &c, bool record)
{
    ALuint buffer = 0;
    alGenBuffers(1, &buffer);
    bool ok = false;
    bench::Timing t = bench::TimeOnce([&] { ok = c.run(buffer); });
    ALint size = 0;
    alGetBufferi(buffer, AL_SIZE, &size);
    alDeleteBuffers(1, &buffer);
    if (!ok || size != ALint(DataBytes)) {
        fprintf(stderr, "%s failed\n", c.name);
        return false;
    }
    if (record) {
        c.warmWall.push_back(t.wall);
        c.warmCpu.push_back(t.cpu);
    }
    return true;
}
} // namespace

int main(int argc, char **argv)
{
    int reps = argc > 1 ? atoi(argv[1]) : 15;
    if (reps < 1)
        reps = 1;
    std::vector<uint8_t> image = MakeImage(DataBytes);
    const uint32_t smallBytes = Rate * FrameBytes;
    std::vector<uint8_t> small = MakeImage(smallBytes);
    char dir[] = "/tmp/nuvex-bench-XXXXXX";
    if (!mkdtemp(dir)) {
        perror("mkdtemp");
        return 1;
    }
    std::string path = std::string(dir) + "/two-minutes.wav";
    std::string smallPath = std::string(dir) + "/one-second.wav";
    for (auto *file : {&path, &smallPath}) {
        const std::vector<uint8_t> &bytes = file == &path ? image : small;
        FILE *f = fopen(file->c_str(), "wb");
        if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0) {
            perror(file->c_str());
            return 1;
        }
    }

    Case cases[] = {
        {"file limit", [&](ALuint b) { return FileLimit(path, b); },
         [&](ALuint b) { return FileLimit(smallPath, b, smallBytes); }, {}, {}, {}, {}, {}},
        {"file load", [&](ALuint b) { return FileLoad(path, b); },
         [&](ALuint b) { return FileLoad(smallPath, b); }, {}, {}, {}, {}, {}},
        {"memory limit", [&](ALuint b) { return MemoryLimit(image, b); },
         [&](ALuint b) { return MemoryLimit(small, b); }, {}, {}, {}, {}, {}},
        {"memory load", [&](ALuint b) { return MemoryLoad(image, b); },
         [&](ALuint b) { return MemoryLoad(small, b); }, {}, {}, {}, {}, {}},
    };

    printf("WAV whole-file load: %u s, %u Hz, stereo 16-bit, %s decoded, %d repetitions\n", Seconds,
           Rate, bench::FormatMiB(DataBytes).c_str(), reps);
    for (Case &c : cases) // warm-up: page cache and first-use paths
        if (!RunCase(c, false))
            return 1;
    for (int r = 0; r < reps; r++)
        for (int k = 0; k < 4; k++) // rotate so no case always runs first
            if (!RunCase(cases[(r + k) % 4], true))
                return 1;

    // Then the same loads repeated in one process (children first: a
    // process with an open device should not fork).
    {
        nvmedia::Loopback device(2, int(Rate));
        if (!device.ok()) {
            fprintf(stderr, "no OpenAL loopback device\n");
            return 1;
        }
        for (Case &c : cases)
            if (!RunWarm(c, false))
                return 1;
        for (int r = 0; r < reps; r++)
            for (int k = 0; k < 4; k++)
                if (!RunWarm(cases[(r + k) % 4], true))
                    return 1;
    }

    auto med = [](const std::vector<double> &v) { return bench::Median(v); };
    printf("%-13s | %-35s | %-23s\n", "", "fresh process per load", "repeated in one process");
    printf("%-13s | %10s %10s %13s | %10s %10s\n", "case", "wall", "cpu", "peak added", "wall",
           "cpu");
    for (const Case &c : cases) {
        double g = med(c.growth);
        printf("%-13s | %10s %10s %6s %5.2fx | %10s %10s\n", c.name,
               bench::FormatMs(med(c.wall)).c_str(), bench::FormatMs(med(c.cpu)).c_str(),
               g < 0 ? "n/a" : bench::FormatMiB(g).c_str(), g / DataBytes,
               bench::FormatMs(med(c.warmWall)).c_str(), bench::FormatMs(med(c.warmCpu)).c_str());
    }

    // Ratios of runs made one right after the other, under the same load:
    // their median is steadier on a busy machine than the ratio of medians.
    auto paired = [](const std::vector<double> &load, const std::vector<double> &limit) {
        std::vector<double> r;
        for (size_t i = 0; i < load.size() && i < limit.size(); i++)
            r.push_back(load[i] / limit[i]);
        return bench::Median(r);
    };
    auto verdict = [](double value, double target) { return value <= target ? "meets" : "MISSES"; };
    auto ratios = [&](const char *what, const Case &load, const Case &limit, double freshTarget,
                      double warmTarget) {
        double fresh = med(load.wall) / med(limit.wall);
        double freshCpu = med(load.cpu) / med(limit.cpu);
        double freshPaired = paired(load.wall, limit.wall);
        double warm = med(load.warmWall) / med(limit.warmWall);
        double warmCpu = med(load.warmCpu) / med(limit.warmCpu);
        double warmPaired = paired(load.warmWall, limit.warmWall);
        printf("%s: fresh %.2fx the limit (paired %.2fx, cpu %.2fx), target <= %.2f: %s\n", what,
               fresh, freshPaired, freshCpu, freshTarget, verdict(fresh, freshTarget));
        printf("%s  repeated %.2fx (paired %.2fx, cpu %.2fx), target <= %.2f: %s\n", "           ",
               warm, warmPaired, warmCpu, warmTarget, verdict(warm, warmTarget));
    };
    ratios("from file  ", cases[1], cases[0], 1.05, 1.2);
    ratios("from memory", cases[3], cases[2], 1.05, 1.05);
    for (int i : {1, 3}) {
        double g = med(cases[i].growth);
        printf("added memory, %s: %.2fx decoded size (the limit's: %.2fx), target <= 2.1: %s\n",
               cases[i].name, g / DataBytes, med(cases[i - 1].growth) / DataBytes,
               g < 0 ? "NOT MEASURED" : verdict(g / DataBytes, 2.1));
    }

    unlink(path.c_str());
    unlink(smallPath.c_str());
    rmdir(dir);
    return 0;
}
