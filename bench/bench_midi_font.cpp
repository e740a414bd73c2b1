// Whole loads of a 60 s General MIDI song with Debian's 148 MB GM SoundFont
// (package fluid-soundfont-gm; another with NUVEX_BENCH_SOUNDFONT), against
// FluidSynth driven directly with the font already loaded: the song's
// events fed to one synthesiser, rendering between them into one array,
// then one alBufferData, measured in the same run. The first load reads the
// font; the second finds it in the font cache, and is the one compared.
// Then the added memory of a second load (peak resident growth in a fresh
// child, as a multiple of the decoded size), and of a first one.
// Usage: bench_midi_font [repetitions]
#include "benchutil.h"
#include "media.h"
#include "nuvex.h"

#include <fluidsynth.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {
constexpr int Rate = 44100;
constexpr int Seconds = 60;
constexpr uint16_t Division = 480;
constexpr uint32_t MicrosPerQuarter = 500000; // 120 beats a minute

struct Event {
    uint32_t tick;
    std::vector<uint8_t> message;
};

// A band of five parts on General MIDI programs: piano chords, held
// strings, a walking bass, a flute melody, drums. About twenty voices at
// once, more in the tails.
std::vector<std::vector<Event>> Parts()
{
    std::vector<std::vector<Event>> parts(5);
    const uint32_t beats = Seconds * 2, q = Division, e = Division / 2;
    uint32_t seed = 12345;
    auto next = [&seed](uint32_t n) { return ((seed = seed * 1664525u + 1013904223u) >> 8) % n; };
    auto note = [](std::vector<Event> &p, uint8_t ch, uint32_t at, uint32_t len, uint8_t key, uint8_t vel) {
        p.push_back({at, {uint8_t(0x90 | ch), key, vel}});
        p.push_back({at + len - 1, {uint8_t(0x80 | ch), key, 0}});
    };
    const uint8_t programs[4] = {0, 48, 33, 73};
    for (uint8_t ch = 0; ch < 4; ch++)
        parts[ch].push_back({0, {uint8_t(0xC0 | ch), programs[ch]}});
    const uint8_t roots[4] = {60, 57, 53, 55}; // C, Am, F, G
    for (uint32_t beat = 0; beat < beats; beat++) {
        const uint8_t root = roots[beat / 4 % 4];
        const uint32_t at = beat * q;
        for (uint8_t k : {0, 4, 7})
            note(parts[0], 0, at, q, uint8_t(root + k - (k == 4 && root == 57 ? 1 : 0)), 80);
        if (beat % 4 == 0)
            for (uint8_t k : {0, 7})
                note(parts[1], 1, at, 4 * q, uint8_t(root - 12 + k), 60);
        for (uint32_t i = 0; i < 2; i++) {
            note(parts[2], 2, at + i * e, e, uint8_t(root - 24 + (i ? 7 : 0)), 90);
            note(parts[3], 3, at + i * e, e, uint8_t(root + 12 + next(5) * 2), 70);
            note(parts[4], 9, at + i * e, e, 42, 60); // closed hi-hat
        }
        note(parts[4], 9, at, e, beat % 2 ? 38 : 36, 100); // snare, kick
    }
    return parts;
}

nvmedia::Bytes WriteSong(const std::vector<std::vector<Event>> &parts)
{
    std::vector<nvmedia::Bytes> tracks = {nvmedia::MidiTrack({nvmedia::MidiTempo(0, MicrosPerQuarter)})};
    for (const auto &part : parts) {
        std::vector<nvmedia::MidiEvent> events;
        for (const Event &ev : part)
            events.push_back({ev.tick, ev.message});
        tracks.push_back(nvmedia::MidiTrack(events, false, Seconds * 2 * Division));
    }
    return nvmedia::WriteMidi(1, Division, tracks);
}

size_t FrameAt(uint32_t tick) { return size_t(uint64_t(tick) * MicrosPerQuarter * Rate / Division / 1000000); }

// FluidSynth with the font loaded once; each run renders the song afresh.
class Direct {
public:
    explicit Direct(const std::string &font)
    {
        settings = new_fluid_settings();
        fluid_settings_setnum(settings, "synth.sample-rate", Rate);
        fluid_settings_setint(settings, "synth.cpu-cores", 1);
        synth = new_fluid_synth(settings);
        ok = fluid_synth_sfload(synth, font.c_str(), 1) != FLUID_FAILED;
    }
    ~Direct()
    {
        delete_fluid_synth(synth);
        delete_fluid_settings(settings);
    }
    // In playing order: by tick, one tick's events part by part.
    void Feed(const std::vector<std::vector<Event>> &parts)
    {
        for (const auto &part : parts)
            events.insert(events.end(), part.begin(), part.end());
        std::stable_sort(events.begin(), events.end(), [](const Event &a, const Event &b) { return a.tick < b.tick; });
    }
    bool Load(ALuint buffer)
    {
        fluid_synth_system_reset(synth);
        const size_t frames = FrameAt(Seconds * 2 * Division);
        std::vector<int16_t> out(frames * 2);
        size_t done = 0;
        auto renderTo = [&](size_t frame) {
            while (done < frame) {
                const int n = int(std::min<size_t>(frame - done, 4096));
                fluid_synth_write_s16(synth, n, out.data(), int(done * 2), 2, out.data(), int(done * 2 + 1), 2);
                done += size_t(n);
            }
        };
        for (const Event &ev : events) {
            renderTo(FrameAt(ev.tick));
            const uint8_t ch = ev.message[0] & 0x0F;
            switch (ev.message[0] & 0xF0) {
            case 0x80: fluid_synth_noteoff(synth, ch, ev.message[1]); break;
            case 0x90: fluid_synth_noteon(synth, ch, ev.message[1], ev.message[2]); break;
            case 0xC0: fluid_synth_program_change(synth, ch, ev.message[1]); break;
            }
        }
        renderTo(frames);
        alBufferData(buffer, AL_FORMAT_STEREO16, out.data(), ALsizei(out.size() * 2), Rate);
        return alGetError() == AL_NO_ERROR;
    }
    bool ok = false;

private:
    fluid_settings_t *settings = nullptr;
    fluid_synth_t *synth = nullptr;
    std::vector<Event> events;
};

using Case = bench::LoadCase;
} // namespace

int main(int argc, char **argv)
{
    const int reps = std::max(1, argc > 1 ? atoi(argv[1]) : 5);
    const char *env = getenv("NUVEX_BENCH_SOUNDFONT");
    const std::string font = env && *env ? env : "/usr/share/sounds/sf2/FluidR3_GM.sf2";
    long fontBytes = -1;
    if (FILE *f = fopen(font.c_str(), "rb")) {
        if (fseek(f, 0, SEEK_END) == 0)
            fontBytes = ftell(f);
        fclose(f);
    }
    if (fontBytes < 0) {
        printf("MIDI with a cached SoundFont: skipped, no %s (scripts/setup.sh --bench installs it)\n", font.c_str());
        return 0;
    }
    setenv("NUVEX_SOUNDFONT", font.c_str(), 1);
    const auto parts = Parts();
    const nvmedia::Bytes song = WriteSong(parts);
    nvmedia::Loopback device(2, Rate);
    if (!device.ok()) {
        fprintf(stderr, "no OpenAL loopback device\n");
        return 1;
    }
    auto load = [&song](ALuint buffer) { return nuvexBufferDataFromMemory(song.data(), ALsizei(song.size()), buffer) == AL_TRUE; };
    // Memory first, each figure in a fresh child forked before this process
    // has loaded the font (a child would inherit it cached): a first load,
    // and a second one after a first as warm-up.
    const size_t decoded = size_t(FrameAt(Seconds * 2 * Division)) * 4;
    auto added = [&](bool cached) {
        const bench::ChildRun run = bench::LoadInFreshProcess(
            Rate, [&](ALuint b) { return !cached || load(b); }, load, decoded);
        return run.ok && run.peakGrowth >= 0 ? double(run.peakGrowth) / double(decoded) : -1;
    };
    const double cold = added(false), again = added(true);
    Case first{"nuvex first load", load}, second{"nuvex second load", load};
    if (!bench::RunLoadOnce(first, true))
        return 1;
    Direct direct(font);
    if (!direct.ok) {
        fprintf(stderr, "FluidSynth could not load %s\n", font.c_str());
        return 1;
    }
    direct.Feed(parts);
    Case limit{"FluidSynth, font loaded", [&direct](ALuint b) { return direct.Load(b); }};
    for (int r = 0; r < reps; r++) {
        Case *order[2] = {&limit, &second};
        if (r & 1)
            std::swap(order[0], order[1]);
        for (Case *c : order)
            if (!bench::RunLoadOnce(*c, true))
                return 1;
    }
    printf("MIDI whole loads, %d s song, font %s (%.0f MiB), %d repetitions (medians)\n", Seconds, font.c_str(),
           fontBytes / 1048576.0, reps);
    for (Case *c : {&first, &limit, &second})
        printf("  %-26s wall %10s  cpu %10s  (%.1f MiB)\n", c->name.c_str(), bench::FormatMs(bench::Median(c->wall)).c_str(),
               bench::FormatMs(bench::Median(c->cpu)).c_str(), c->size / 1048576.0);
    if (limit.size != second.size || size_t(second.size) != decoded)
        printf("  NOTE: sizes differ (%d vs %d bytes)\n", limit.size, second.size);
    const double cpuRatio = bench::Median(second.cpu) / bench::Median(limit.cpu);
    const double wallRatio = bench::Median(second.wall) / bench::Median(limit.wall);
    printf("  second load / FluidSynth: %.3fx cpu (%.3fx wall); target <= 1.10 on cpu: %s\n", cpuRatio, wallRatio,
           cpuRatio <= 1.10 ? "meets" : "MISSES");
    printf("  added memory of a second load %.2fx decoded size; target <= 2.1: %s\n", again,
           again < 0 ? "NOT MEASURED" : again <= 2.1 ? "meets" : "MISSES");
    printf("  (a first load, the font read: %.2fx)\n", cold);
    return 0;
}
