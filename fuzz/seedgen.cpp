// Writes the fuzzers' starting corpora: small valid files of every format
// and encoding the built-in decoders accept, each in its target's directory.
// The project's media writers (tools/mediagen) make every file: WAV of each
// encoding, AIFF, Ogg Vorbis, one module of each tracker format libmodplug
// reads, the formats read through libsndfile and libmpg123, MIDI files and
// SoundFonts.
//
//   nuvex-seedgen <output directory>
#include "media.h"
#include "sfmedia.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {
using Bytes = std::vector<uint8_t>;

void LE16(Bytes &b, uint32_t v) { b.push_back(uint8_t(v)); b.push_back(uint8_t(v >> 8)); }
void LE32(Bytes &b, uint32_t v) { LE16(b, v & 0xFFFF); LE16(b, v >> 16); }
void Append(Bytes &b, const Bytes &more) { b.insert(b.end(), more.begin(), more.end()); }

// A sine with a little noise: decodes to something other than silence.
int16_t Sample(size_t i, int channel)
{
    double v = std::sin(double(i) * (0.05 + 0.01 * channel)) * 12000.0;
    return int16_t(v + double((i * 2654435761u >> 20) & 63) - 32.0);
}

Bytes Pcm(size_t frames, int channels, int bits)
{
    Bytes out;
    for (size_t i = 0; i < frames; i++)
        for (int c = 0; c < channels; c++) {
            int16_t s = Sample(i, c);
            if (bits == 8) {
                out.push_back(uint8_t((s >> 8) + 128));
            } else if (bits == 16) {
                LE16(out, uint16_t(s));
            } else if (bits == 32) {
                float f = float(s) / 32768.0f;
                uint32_t u;
                memcpy(&u, &f, 4);
                LE32(out, u);
            } else {
                double d = double(s) / 32768.0;
                uint64_t u;
                memcpy(&u, &d, 8);
                LE32(out, uint32_t(u));
                LE32(out, uint32_t(u >> 32));
            }
        }
    return out;
}

// A WAV with an unknown chunk the walk has to skip, the data first or last.
Bytes Wav(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, uint16_t align,
          const Bytes &extra, const Bytes &data, bool dataFirst = false)
{
    nvmedia::Chunk fmt = {"fmt ", nvmedia::FmtBody(tag, channels, rate, align, bits,
                                                   extra.empty() ? -1 : int(extra.size()), extra)};
    nvmedia::Chunk samples = {"data", data};
    return nvmedia::WriteRiff({{"LIST", {'I', 'N', 'F', 'O'}}, dataFirst ? samples : fmt,
                               dataFirst ? fmt : samples});
}

// A 16-bit PCM WAV with more chunks before and after its data: loops in a
// "smpl" chunk, tags in a LIST/INFO chunk.
Bytes WavAround(uint16_t channels, size_t frames, const std::vector<nvmedia::Chunk> &before,
                const std::vector<nvmedia::Chunk> &after)
{
    std::vector<nvmedia::Chunk> chunks = {{"fmt ", nvmedia::FmtBody(1, channels, 44100, uint16_t(2 * channels), 16)}};
    chunks.insert(chunks.end(), before.begin(), before.end());
    chunks.push_back({"data", Pcm(frames, channels, 16)});
    chunks.insert(chunks.end(), after.begin(), after.end());
    return nvmedia::WriteRiff(chunks);
}

std::vector<int16_t> Samples16(size_t frames, int channels)
{
    std::vector<int16_t> out;
    for (size_t i = 0; i < frames; i++)
        for (int c = 0; c < channels; c++)
            out.push_back(Sample(i, c));
    return out;
}

// A short 4-channel song (about two seconds: speed 3, a pattern break at
// row 16) so that module inputs keep the search fast.
Bytes ShortMod(bool looped)
{
    nvmedia::ModSpec desc;
    for (int s = 0; s < 2; s++) {
        nvmedia::ModSample sample;
        sample.name = s ? "saw" : "sine";
        for (int i = 0; i < 512; i++)
            sample.data.push_back(s ? int8_t((i * 4) % 256 - 128)
                                    : int8_t(std::sin(i * 0.2) * 100.0));
        if (looped) {
            sample.loopStart = 64;
            sample.loopLength = 448;
        }
        desc.samples.push_back(sample);
    }
    static const uint16_t periods[] = {428, 381, 339, 320, 285, 254, 226, 214};
    for (int p = 0; p < 2; p++) {
        nvmedia::ModPattern pattern;
        pattern.notes.push_back({0, 0, 0, 0, 0xF, 3}); // speed 3
        for (uint8_t row = 0; row < 16; row++)
            pattern.notes.push_back({row, uint8_t(row % 4), uint8_t(1 + (row + p) % 2),
                                     periods[(row + p) % 8], uint8_t(looped ? 0x4 : 0xA), 0x32});
        pattern.notes.push_back({15, 3, 0, 0, 0xD, 0}); // pattern break
        desc.patterns.push_back(pattern);
    }
    desc.orders = {0, 1};
    return nvmedia::WriteMod(desc);
}

std::string root;

void Write(const std::string &target, const std::string &name, const Bytes &bytes)
{
    std::string dir = root + "/" + target;
    mkdir(root.c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    std::string path = dir + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0) {
        fprintf(stderr, "seedgen: cannot write %s\n", path.c_str());
        exit(1);
    }
}

// The I/O target reads an 8-byte control header before the file.
Bytes IoHeader(uint8_t maxRead, uint16_t failRead, uint16_t failSeek, uint8_t flags,
               uint8_t whole, uint8_t chunk)
{
    Bytes h;
    h.push_back(maxRead);
    LE16(h, failRead);
    LE16(h, failSeek);
    h.push_back(flags);
    h.push_back(whole);
    h.push_back(chunk);
    return h;
}
} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: nuvex-seedgen <output directory>\n");
        return 2;
    }
    root = argv[1];

    const size_t frames = 600;
    struct Named {
        std::string name;
        Bytes bytes;
    };
    std::vector<Named> wav = {
        {"pcm8-mono.wav", Wav(1, 1, 22050, 8, 1, {}, Pcm(frames, 1, 8))},
        {"pcm16-stereo.wav", nvmedia::WriteWav16(Samples16(frames, 2), 2, 44100)},
        {"pcm16-quad.wav", Wav(1, 4, 44100, 16, 8, {}, Pcm(frames / 2, 4, 16))},
        {"pcm16-51.wav", Wav(1, 6, 48000, 16, 12, {}, Pcm(frames / 4, 6, 16))},
        {"pcm8-71-data-first.wav", Wav(1, 8, 8000, 8, 8, {}, Pcm(frames / 4, 8, 8), true)},
        {"float32-stereo.wav", Wav(3, 2, 44100, 32, 8, {0, 0}, Pcm(frames / 2, 2, 32))},
        {"float64-mono.wav", Wav(3, 1, 32000, 64, 8, {}, Pcm(frames / 2, 1, 64))},
        {"pcm16-odd-extra.wav", Wav(1, 1, 11025, 16, 2, {1, 2, 3}, Pcm(frames + 1, 1, 16))},
    };
    Bytes mulaw;
    for (size_t i = 0; i < frames; i++)
        mulaw.push_back(nvmedia::MulawEncode(Sample(i, 0)));
    wav.push_back({"mulaw-mono.wav", Wav(7, 1, 8000, 8, 1, {}, mulaw)});
    Bytes mulaw6;
    for (size_t i = 0; i < frames / 4; i++)
        for (int c = 0; c < 6; c++)
            mulaw6.push_back(nvmedia::MulawEncode(Sample(i, c)));
    wav.push_back({"mulaw-51.wav", Wav(7, 6, 8000, 8, 6, {}, mulaw6)});
    wav.push_back({"ima4-mono.wav", Wav(0x11, 1, 22050, 4, 36, {65, 0}, nvmedia::ImaEncode(Samples16(6 * 65, 1), 1))});
    wav.push_back({"ima4-stereo.wav", Wav(0x11, 2, 44100, 4, 72, {65, 0}, nvmedia::ImaEncode(Samples16(4 * 65, 2), 2))});
    // Loops and tags: every INFO id the decoder maps, text in Latin-1 and
    // UTF-8; a backward loop before the forward one it must pick; chunks
    // before the data; a loop on IMA ADPCM's blocks.
    const nvmedia::Chunk info = nvmedia::InfoList({{"INAM", "Caf\xe9 Theme"}, {"IART", "N. Composer"}, {"IPRD", "Levels"},
                                                   {"ICRD", "2026"}, {"ITRK", "7"}, {"IGNR", "Game"}, {"ICMT", "loops \xc3\xa9"},
                                                   {"ICOP", "(c) nobody"}});
    wav.push_back({"pcm16-smpl-info.wav", WavAround(2, frames, {}, {nvmedia::Smpl({{1, 5, 9}, {0, 100, 499}}), info})});
    wav.push_back({"pcm16-mono-smpl-info-first.wav",
                   WavAround(1, frames, {nvmedia::Smpl({{0, 0, unsigned(frames - 1)}}), nvmedia::InfoList({{"INAM", "x"}})}, {})});
    wav.push_back({"ima4-smpl.wav", nvmedia::WriteRiff({{"fmt ", nvmedia::FmtBody(0x11, 1, 22050, 36, 4, 2, {65, 0})},
                                                        {"data", nvmedia::ImaEncode(Samples16(6 * 65, 1), 1)},
                                                        nvmedia::Smpl({{0, 65, 4 * 65 - 1}}), info})});

    nvmedia::AiffOptions ssndFirst;
    ssndFirst.ssndFirst = true;
    ssndFirst.ssndOffset = 4;
    nvmedia::AiffOptions extras;
    extras.leadingChunks = {nvmedia::AiffInstrument(1, 2, 5)};
    extras.trailingChunks = {nvmedia::AiffMarkers({{5, 500}, {2, 100}, {9, 0}}),
                             {"NAME", {'s', 'e', 'e', 'd'}},
                             {"ANNO", {'l', 'o', 'o', 'p', 'e', 'd'}}};
    std::vector<Named> aiff = {
        {"pcm16-stereo.aiff", nvmedia::WriteAiff(Samples16(frames, 2), 2, 44100, 16)},
        {"pcm8-mono.aiff", nvmedia::WriteAiff(Samples16(frames, 1), 1, 8000, 8)},
        {"pcm12-mono-ssnd-first.aiff",
         nvmedia::WriteAiff(Samples16(frames + 1, 1), 1, 22050, 12, ssndFirst)},
        {"pcm16-quad.aiff", nvmedia::WriteAiff(Samples16(frames / 2, 4), 4, 48000, 16)},
        {"pcm16-mono-loop-text.aiff", nvmedia::WriteAiff(Samples16(frames, 1), 1, 22050, 16, extras)},
    };
    Bytes chained = nvmedia::EncodeOgg(Samples16(1500, 2), 2, 44100, 0.1f, 1);
    Append(chained, nvmedia::EncodeOgg(Samples16(1500, 1), 1, 22050, 0.1f, 2));
    std::vector<Named> ogg = {
        {"mono.ogg", nvmedia::EncodeOgg(Samples16(3000, 1), 1, 22050, 0.1f)},
        {"stereo.ogg", nvmedia::EncodeOgg(Samples16(3000, 2), 2, 44100, 0.1f)},
        {"six-channels.ogg", nvmedia::EncodeOgg(Samples16(1500, 6), 6, 44100, 0.1f)},
        {"chained.ogg", chained},
        {"comments.ogg", nvmedia::EncodeOgg(Samples16(3000, 2), 2, 44100, 0.1f, 1,
                                            {{"LOOPSTART", "400"}, {"LOOP_END", "0:00.05"}, {"TITLE", "seed"}})},
    };
    std::vector<Named> mod = {
        {"notes.mod", ShortMod(false)},
        {"looped.mod", ShortMod(true)},
    };
    for (nvmedia::NamedImage &seed : nvmedia::ModuleSeeds())
        mod.push_back({seed.name, std::move(seed.image)});

    auto writeAll = [](const std::string &target, const std::vector<Named> &files) {
        for (const Named &f : files)
            Write(target, f.name, f.bytes);
    };
    writeAll("fuzz_stream_wav", wav);
    writeAll("fuzz_stream_aiff", aiff);
    writeAll("fuzz_stream_ogg", ogg);
    writeAll("fuzz_stream_mod", mod);
    for (const auto *group : {&wav, &aiff, &ogg, &mod})
        writeAll("fuzz_buffer", *group);
    for (const nvmedia::NamedImage &seed : nvmedia::MidiSeeds())
        for (const char *target : {"fuzz_stream_midi", "fuzz_buffer"})
            Write(target, seed.name, seed.image);
    for (const nvmedia::NamedImage &seed : nvmedia::SoundFontSeeds())
        Write("fuzz_soundfont", seed.name, seed.image);
    for (const auto &seed : nvmedia::SoundFileSeeds()) // through libsndfile and libmpg123
        for (const char *target : {"fuzz_stream_sndfile", "fuzz_buffer"})
            Write(target, seed.first, seed.second);

    // The I/O target: one file of each format, well-behaved and with faults.
    const Bytes clean = IoHeader(0, 0, 0, 0, 1, 15);
    const std::vector<std::pair<std::string, Bytes>> faults = {
        {"clean", clean},
        {"short-reads", IoHeader(7, 0, 0, 0, 1, 3)},
        {"read-fails", IoHeader(0, 3, 0, 0, 0, 15)},
        {"reads-keep-failing", IoHeader(13, 5, 0, 1, 1, 0)},
        {"seek-fails", IoHeader(0, 0, 2, 0, 1, 15)},
        {"seeks-keep-failing", IoHeader(0, 0, 4, 2, 0, 63)},
        {"strict-end", IoHeader(100, 0, 0, 8, 1, 15)},
    };
    std::vector<Named> io;
    const std::vector<const Named *> picks = {&wav[1], &wav[10], &aiff[0], &ogg[1], &mod[0]};
    for (size_t i = 0; i < faults.size(); i++)
        for (const Named *pick : picks) {
            Bytes b = faults[i].second;
            Append(b, pick->bytes);
            io.push_back({faults[i].first + "-" + pick->name, b});
        }
    writeAll("fuzz_io", io);
    return 0;
}
