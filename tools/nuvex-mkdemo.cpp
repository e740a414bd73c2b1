// nuvex-mkdemo: synthesises the project's demo piece, so that the player, the
// README and the tests have real sound to play without shipping anyone
// else's recordings. It writes the same four bars as WAV, AIFF and Ogg
// Vorbis, and a short tracker module of the same chords.
#include "media.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

const uint32_t Rate = 44100;
const int Channels = 2;
const double Tempo = 192.0;             // beats per minute
const double Eighth = 60.0 / Tempo / 2; // seconds

// MIDI note numbers keep the score readable.
double NoteHz(int midi) { return 440.0 * std::pow(2.0, (midi - 69) / 12.0); }

struct Note {
    double start;  // seconds
    double length; // seconds
    int midi;
    double level; // 0..1
    double pan;   // -1 left .. 1 right
    bool bass;
};

// I - V - vi - IV in C major, one bar of 4/4 each: an arpeggio of eighth
// notes over a held bass note, ending on a C major chord.
std::vector<Note> Score()
{
    static const int chords[4][4] = {
        {60, 64, 67, 72}, // C
        {55, 59, 62, 67}, // G
        {57, 60, 64, 69}, // Am
        {53, 57, 60, 65}, // F
    };
    static const int bass[4] = {36, 43, 45, 41};
    static const int pattern[8] = {0, 1, 2, 3, 2, 1, 2, 1};
    std::vector<Note> notes;
    for (int bar = 0; bar < 4; bar++) {
        double barStart = bar * 8 * Eighth;
        for (int step = 0; step < 8; step++)
            notes.push_back({barStart + step * Eighth, Eighth * 1.6, chords[bar][pattern[step]],
                             step == 0 ? 0.55 : 0.42, -0.45 + 0.13 * step, false});
        notes.push_back({barStart, 8 * Eighth, bass[bar], 0.5, 0.35, true});
    }
    // The closing chord.
    double end = 4 * 8 * Eighth;
    for (int midi : {48, 60, 64, 67, 72})
        notes.push_back({end, 1.0, midi, 0.28, midi % 2 ? 0.3 : -0.3, midi == 48});
    return notes;
}

// A soft plucked tone: a few harmonics under a quick attack and an
// exponential decay; the bass is rounder and decays slower.
std::vector<int16_t> Synthesise(double &seconds)
{
    std::vector<Note> notes = Score();
    seconds = 0.0;
    for (const Note &n : notes)
        seconds = std::max(seconds, n.start + n.length + 0.3);
    const size_t frames = size_t(seconds * Rate);
    std::vector<double> mix(frames * Channels, 0.0);
    const double twoPi = 6.283185307179586;
    for (const Note &n : notes) {
        const double hz = NoteHz(n.midi);
        const double left = std::sqrt((1.0 - n.pan) / 2.0);
        const double right = std::sqrt((1.0 + n.pan) / 2.0);
        const size_t first = size_t(n.start * Rate);
        const size_t count = size_t((n.length + 0.3) * Rate);
        for (size_t i = 0; i < count && first + i < frames; i++) {
            double t = double(i) / Rate;
            double attack = std::min(1.0, t / 0.006);
            double decay = std::exp(-t * (n.bass ? 1.8 : 4.5));
            // A short release after the written length avoids clicks.
            double release = t > n.length ? std::max(0.0, 1.0 - (t - n.length) / 0.3) : 1.0;
            double phase = twoPi * hz * t;
            double tone = n.bass ? std::sin(phase) + 0.25 * std::sin(2 * phase)
                                 : std::sin(phase) + 0.4 * std::sin(2 * phase) +
                                       0.15 * std::sin(3 * phase) + 0.05 * std::sin(5 * phase);
            double v = n.level * attack * decay * release * tone;
            mix[(first + i) * Channels] += v * left;
            mix[(first + i) * Channels + 1] += v * right;
        }
    }
    double peak = 0.0;
    for (double v : mix)
        peak = std::max(peak, std::fabs(v));
    const double scale = peak > 0.0 ? 0.8 * 32767.0 / peak : 0.0;
    std::vector<int16_t> samples(mix.size());
    for (size_t i = 0; i < mix.size(); i++)
        samples[i] = int16_t(std::lround(mix[i] * scale));
    return samples;
}

// The same progression as a 4-channel module: arpeggio, bass and a soft
// pad, 64 rows at speed 3 (about four seconds).
nvmedia::ModSpec DemoSong()
{
    nvmedia::ModSpec song;
    song.title = "nuvex demo";
    nvmedia::ModSample lead;
    lead.name = "pluck";
    for (int i = 0; i < 32; i++)
        lead.data.push_back(int8_t(std::lround(90 * std::sin(6.283185307179586 * i / 32) +
                                               25 * std::sin(6.283185307179586 * 2 * i / 32))));
    lead.loopStart = 0;
    lead.loopLength = 32;
    nvmedia::ModSample bass;
    bass.name = "bass";
    bass.volume = 48;
    for (int i = 0; i < 32; i++)
        bass.data.push_back(int8_t(i < 16 ? 70 : -70));
    bass.loopStart = 0;
    bass.loopLength = 32;
    song.samples = {lead, bass};

    // Amiga periods: C-2 428, D-2 381, E-2 339, F-2 320, G-2 285, A-2 254,
    // B-2 226, C-3 214; one octave down doubles them.
    static const uint16_t chords[4][4] = {
        {428, 339, 285, 214}, // C E G C
        {285, 226, 190, 143}, // G B D G
        {254, 214, 170, 127}, // A C E A
        {320, 254, 214, 160}, // F A C F
    };
    static const uint16_t bassNotes[4] = {856, 570, 508, 640};
    // Two patterns, the second with the arpeggio turned around, so that
    // starting at order 1 is audibly different from starting at 0.
    static const int arpeggios[2][8] = {{0, 1, 2, 3, 2, 1, 2, 1}, {3, 2, 1, 0, 1, 2, 1, 2}};
    for (const int *arpeggio : arpeggios) {
        nvmedia::ModPattern p;
        for (int bar = 0; bar < 4; bar++) {
            for (int step = 0; step < 8; step++) {
                uint8_t row = uint8_t(bar * 16 + step * 2);
                nvmedia::ModNote note{row, 0, 1, chords[bar][arpeggio[step]], 0, 0};
                if (row == 0) {
                    note.effect = 0xF; // speed 3: four bars in about four seconds
                    note.param = 3;
                }
                p.notes.push_back(note);
            }
            p.notes.push_back({uint8_t(bar * 16), 1, 2, bassNotes[bar], 0xC, 40});
            p.notes.push_back({uint8_t(bar * 16 + 8), 2, 1, chords[bar][2], 0xC, 20});
        }
        song.patterns.push_back(p);
    }
    song.orders = {0, 1};
    return song;
}

// A short mono chime (two falling notes, 0.4 s at 22050 Hz): quick to play
// in real time, for the examples and for trying things out.
std::vector<int16_t> Chime()
{
    const uint32_t rate = 22050;
    std::vector<int16_t> out(size_t(rate * 0.4));
    for (size_t i = 0; i < out.size(); i++) {
        double t = double(i) / rate;
        double second = t - 0.12;
        double v = std::exp(-t * 9.0) * std::sin(6.283185307179586 * NoteHz(88) * t);
        if (second >= 0.0)
            v += std::exp(-second * 7.0) * std::sin(6.283185307179586 * NoteHz(84) * second);
        double fade = std::min(1.0, (0.4 - t) / 0.02);
        out[i] = int16_t(std::lround(12000.0 * v * fade));
    }
    return out;
}

bool Save(const std::string &path, const nvmedia::Bytes &bytes)
{
    FILE *file = fopen(path.c_str(), "wb");
    if (!file) {
        fprintf(stderr, "nuvex-mkdemo: cannot write %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = fclose(file) == 0 && ok;
    if (!ok)
        fprintf(stderr, "nuvex-mkdemo: writing %s failed: %s\n", path.c_str(), strerror(errno));
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        fprintf(stderr, "Usage: nuvex-mkdemo [DIRECTORY]\n"
                        "Writes demo.wav, demo.aiff, demo.ogg and demo.mod (default: .).\n");
        return 2;
    }
    std::string dir = argc == 2 ? argv[1] : ".";
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
        fprintf(stderr, "nuvex-mkdemo: cannot create %s: %s\n", dir.c_str(), strerror(errno));
        return 1;
    }
    try {
        double seconds = 0.0;
        std::vector<int16_t> piece = Synthesise(seconds);
        const size_t frames = piece.size() / Channels;
        bool ok = Save(dir + "/demo.wav", nvmedia::WriteWav16(piece, Channels, Rate)) &&
                  Save(dir + "/demo.aiff", nvmedia::WriteAiff(piece, Channels, Rate, 16)) &&
                  Save(dir + "/demo.ogg", nvmedia::EncodeOgg(piece, Channels, Rate, 0.4f)) &&
                  Save(dir + "/demo.mod", nvmedia::WriteMod(DemoSong())) &&
                  Save(dir + "/chime.wav", nvmedia::WriteWav16(Chime(), 1, 22050));
        if (!ok)
            return 1;
        printf("Wrote the demo piece (four bars in C major, %.1f s, %zu frames, stereo, "
               "%u Hz) to %s:\n  demo.wav  16-bit PCM\n  demo.aiff 16-bit PCM\n"
               "  demo.ogg  Ogg Vorbis\n  demo.mod  4-channel tracker module of the same "
               "chords, two patterns (about 8 s)\n"
               "  chime.wav a 0.4 s mono chime at 22050 Hz, for quick tries\n",
               seconds, frames, Rate, dir.c_str());
    } catch (const std::exception &e) {
        fprintf(stderr, "nuvex-mkdemo: %s\n", e.what());
        return 1;
    }
    return 0;
}
