// Writes the fuzzers' starting corpora: small valid files of every format
// and encoding the built-in decoders accept, each in its target's directory.
//
//   nuvex-seedgen <output directory>
#include <vorbis/vorbisenc.h>

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
void BE16(Bytes &b, uint32_t v) { b.push_back(uint8_t(v >> 8)); b.push_back(uint8_t(v)); }
void BE32(Bytes &b, uint32_t v) { BE16(b, v >> 16); BE16(b, v & 0xFFFF); }
void Tag(Bytes &b, const char *t) { b.insert(b.end(), t, t + 4); }
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

Bytes Wav(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, uint16_t align,
          const Bytes &extra, const Bytes &data, bool dataFirst = false)
{
    Bytes fmt;
    LE16(fmt, tag);
    LE16(fmt, channels);
    LE32(fmt, rate);
    LE32(fmt, rate * align);
    LE16(fmt, align);
    LE16(fmt, bits);
    if (!extra.empty()) {
        LE16(fmt, uint32_t(extra.size()));
        Append(fmt, extra);
    }
    Bytes fmtChunk, dataChunk;
    Tag(fmtChunk, "fmt ");
    LE32(fmtChunk, uint32_t(fmt.size()));
    Append(fmtChunk, fmt);
    if (fmt.size() & 1)
        fmtChunk.push_back(0);
    Tag(dataChunk, "data");
    LE32(dataChunk, uint32_t(data.size()));
    Append(dataChunk, data);
    if (data.size() & 1)
        dataChunk.push_back(0);
    Bytes out;
    Tag(out, "RIFF");
    LE32(out, uint32_t(4 + fmtChunk.size() + dataChunk.size() + 12));
    Tag(out, "WAVE");
    Tag(out, "LIST"); // an unknown chunk the walk has to skip
    LE32(out, 4);
    Tag(out, "INFO");
    Append(out, dataFirst ? dataChunk : fmtChunk);
    Append(out, dataFirst ? fmtChunk : dataChunk);
    return out;
}

uint8_t MuLaw(int16_t s)
{
    int sign = s < 0 ? 0x80 : 0;
    int v = s < 0 ? -int(s) : s;
    v = std::min(v, 32635) + 132;
    int exponent = 7;
    for (int mask = 0x4000; !(v & mask) && exponent > 0; mask >>= 1)
        exponent--;
    int mantissa = (v >> (exponent + 3)) & 0x0F;
    return uint8_t(~(sign | exponent << 4 | mantissa));
}

// IMA ADPCM blocks of 36 bytes per channel (65 frames): the encoder is not
// the point, only that every field and nibble is well-formed.
Bytes Ima4(size_t blocks, int channels)
{
    static const int steps[89] = {
        7, 8, 9, 10, 11, 12, 13, 14, 16, 17, 19, 21, 23, 25, 28, 31, 34, 37, 41, 45, 50, 55, 60,
        66, 73, 80, 88, 97, 107, 118, 130, 143, 157, 173, 190, 209, 230, 253, 279, 307, 337, 371,
        408, 449, 494, 544, 598, 658, 724, 796, 876, 963, 1060, 1166, 1282, 1411, 1552, 1707,
        1878, 2066, 2272, 2499, 2749, 3024, 3327, 3660, 4026, 4428, 4871, 5358, 5894, 6484, 7132,
        7845, 8630, 9493, 10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623,
        27086, 29794, 32767};
    static const int adjust[8] = {-1, -1, -1, -1, 2, 4, 6, 8};
    Bytes out;
    std::vector<int> predictor(size_t(channels), 0), index(size_t(channels), 0);
    for (size_t b = 0; b < blocks; b++) {
        size_t first = b * 65;
        for (int c = 0; c < channels; c++) {
            predictor[size_t(c)] = Sample(first, c);
            LE16(out, uint16_t(int16_t(predictor[size_t(c)])));
            out.push_back(uint8_t(index[size_t(c)]));
            out.push_back(0);
        }
        // 64 more frames per channel, 8 at a time per channel, interleaved
        // in 4-byte groups.
        for (int group = 0; group < 8; group++)
            for (int c = 0; c < channels; c++) {
                uint8_t nibbles[8];
                for (int k = 0; k < 8; k++) {
                    int &pred = predictor[size_t(c)];
                    int &idx = index[size_t(c)];
                    int target = Sample(first + 1 + size_t(group * 8 + k), c);
                    int diff = target - pred, step = steps[idx], code = 0;
                    if (diff < 0) { code = 8; diff = -diff; }
                    int delta = step >> 3;
                    if (diff >= step) { code |= 4; diff -= step; delta += step; }
                    if (diff >= step / 2) { code |= 2; diff -= step / 2; delta += step / 2; }
                    if (diff >= step / 4) { code |= 1; delta += step / 4; }
                    pred += (code & 8) ? -delta : delta;
                    pred = std::max(-32768, std::min(32767, pred));
                    idx = std::max(0, std::min(88, idx + adjust[code & 7]));
                    nibbles[k] = uint8_t(code);
                }
                for (int k = 0; k < 8; k += 2)
                    out.push_back(uint8_t(nibbles[k] | nibbles[k + 1] << 4));
            }
    }
    return out;
}

Bytes Aiff(uint16_t channels, uint16_t bits, uint32_t rate, size_t frames, bool ssndFirst)
{
    Bytes comm, ssnd, out;
    Tag(comm, "COMM");
    BE32(comm, 18);
    BE16(comm, channels);
    BE32(comm, uint32_t(frames));
    BE16(comm, bits);
    // 80-bit extended: exponent 16383 + 31 - leading zeros, mantissa normalised.
    int shift = 0;
    while (!(rate << shift & 0x80000000u))
        shift++;
    BE16(comm, uint32_t(16383 + 31 - shift));
    BE32(comm, rate << shift);
    BE32(comm, 0);
    Tag(ssnd, "SSND");
    Bytes sound;
    for (size_t i = 0; i < frames; i++)
        for (int c = 0; c < channels; c++) {
            int16_t s = Sample(i, c);
            if (bits == 8)
                sound.push_back(uint8_t(s >> 8));
            else
                BE16(sound, uint16_t(s));
        }
    BE32(ssnd, uint32_t(8 + sound.size()));
    BE32(ssnd, 0);
    BE32(ssnd, 0);
    Append(ssnd, sound);
    if (sound.size() & 1)
        ssnd.push_back(0);
    Tag(out, "FORM");
    BE32(out, uint32_t(4 + comm.size() + ssnd.size()));
    Tag(out, "AIFF");
    Append(out, ssndFirst ? ssnd : comm);
    Append(out, ssndFirst ? comm : ssnd);
    return out;
}

Bytes Ogg(int channels, long rate, size_t frames)
{
    vorbis_info vi;
    vorbis_info_init(&vi);
    if (vorbis_encode_init_vbr(&vi, channels, rate, 0.1f) != 0) {
        fprintf(stderr, "seedgen: vorbis encoder refused %d channels\n", channels);
        exit(1);
    }
    vorbis_comment vc;
    vorbis_comment_init(&vc);
    vorbis_dsp_state vd;
    vorbis_block vb;
    vorbis_analysis_init(&vd, &vi);
    vorbis_block_init(&vd, &vb);
    ogg_stream_state os;
    ogg_stream_init(&os, 1234 + channels);
    Bytes out;
    ogg_page og;
    ogg_packet header, comment, code;
    vorbis_analysis_headerout(&vd, &vc, &header, &comment, &code);
    ogg_stream_packetin(&os, &header);
    ogg_stream_packetin(&os, &comment);
    ogg_stream_packetin(&os, &code);
    auto emit = [&](const ogg_page &page) {
        out.insert(out.end(), page.header, page.header + page.header_len);
        out.insert(out.end(), page.body, page.body + page.body_len);
    };
    while (ogg_stream_flush(&os, &og))
        emit(og);
    size_t done = 0;
    bool eos = false;
    while (!eos) {
        size_t n = std::min<size_t>(1024, frames - done);
        if (n == 0) {
            vorbis_analysis_wrote(&vd, 0);
        } else {
            float **buf = vorbis_analysis_buffer(&vd, int(n));
            for (size_t i = 0; i < n; i++)
                for (int c = 0; c < channels; c++)
                    buf[c][i] = float(Sample(done + i, c)) / 32768.0f;
            vorbis_analysis_wrote(&vd, int(n));
            done += n;
        }
        while (vorbis_analysis_blockout(&vd, &vb) == 1) {
            vorbis_analysis(&vb, nullptr);
            vorbis_bitrate_addblock(&vb);
            ogg_packet op;
            while (vorbis_bitrate_flushpacket(&vd, &op)) {
                ogg_stream_packetin(&os, &op);
                while (ogg_stream_pageout(&os, &og)) {
                    emit(og);
                    if (ogg_page_eos(&og))
                        eos = true;
                }
            }
        }
    }
    ogg_stream_clear(&os);
    vorbis_block_clear(&vb);
    vorbis_dsp_clear(&vd);
    vorbis_comment_clear(&vc);
    vorbis_info_clear(&vi);
    return out;
}

// A 4-channel "M.K." module: one looped sample, a few notes and effects, and
// a pattern break, so the song lasts about two seconds.
Bytes Mod(int variant)
{
    Bytes out(20, 0);
    memcpy(out.data(), "nuvex seed", 10);
    const uint16_t sampleWords = 256;
    for (int s = 0; s < 31; s++) {
        Bytes header(22, 0);
        if (s == 0 || (variant == 1 && s == 1)) {
            BE16(header, sampleWords);
            header.push_back(0);        // finetune
            header.push_back(64);       // volume
            BE16(header, variant ? 32 : 0); // loop start (words)
            BE16(header, variant ? sampleWords - 32 : 1);
        } else {
            BE16(header, 0);
            header.push_back(0);
            header.push_back(0);
            BE16(header, 0);
            BE16(header, 1);
        }
        Append(out, header);
    }
    const int orders = 2;
    out.push_back(orders);
    out.push_back(127);
    for (int i = 0; i < 128; i++)
        out.push_back(uint8_t(i < orders ? i : 0));
    Tag(out, "M.K.");
    static const uint16_t periods[] = {428, 381, 339, 320, 285, 254, 226, 214};
    for (int pattern = 0; pattern < orders; pattern++)
        for (int row = 0; row < 64; row++)
            for (int ch = 0; ch < 4; ch++) {
                uint16_t period = 0;
                int sample = 0, effect = 0, param = 0;
                if (row % 4 == ch) {
                    period = periods[(row + pattern + variant) % 8];
                    sample = (variant == 1 && ch == 1) ? 2 : 1;
                }
                if (row == 0 && ch == 0) {
                    effect = 0xF;
                    param = 3; // speed 3
                } else if (row == 15 && ch == 3) {
                    effect = 0xD; // pattern break
                } else if (ch == 2 && row % 8 == 2) {
                    effect = variant ? 0x4 : 0xA; // vibrato or volume slide
                    param = 0x32;
                }
                out.push_back(uint8_t((sample & 0xF0) | (period >> 8)));
                out.push_back(uint8_t(period & 0xFF));
                out.push_back(uint8_t((sample & 0x0F) << 4 | effect));
                out.push_back(uint8_t(param));
            }
    int samples = variant == 1 ? 2 : 1;
    for (int s = 0; s < samples; s++)
        for (int i = 0; i < sampleWords * 2; i++)
            out.push_back(uint8_t(int8_t(std::sin(i * (0.2 + 0.1 * s)) * 100.0)));
    return out;
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
        {"pcm16-stereo.wav", Wav(1, 2, 44100, 16, 4, {}, Pcm(frames, 2, 16))},
        {"pcm16-quad.wav", Wav(1, 4, 44100, 16, 8, {}, Pcm(frames / 2, 4, 16))},
        {"pcm16-51.wav", Wav(1, 6, 48000, 16, 12, {}, Pcm(frames / 4, 6, 16))},
        {"pcm8-71-data-first.wav", Wav(1, 8, 8000, 8, 8, {}, Pcm(frames / 4, 8, 8), true)},
        {"float32-stereo.wav", Wav(3, 2, 44100, 32, 8, {0, 0}, Pcm(frames / 2, 2, 32))},
        {"float64-mono.wav", Wav(3, 1, 32000, 64, 8, {}, Pcm(frames / 2, 1, 64))},
        {"pcm16-odd-extra.wav", Wav(1, 1, 11025, 16, 2, {1, 2, 3}, Pcm(frames + 1, 1, 16))},
    };
    Bytes mulaw;
    for (size_t i = 0; i < frames; i++)
        mulaw.push_back(MuLaw(Sample(i, 0)));
    wav.push_back({"mulaw-mono.wav", Wav(7, 1, 8000, 8, 1, {}, mulaw)});
    Bytes mulaw6;
    for (size_t i = 0; i < frames / 4; i++)
        for (int c = 0; c < 6; c++)
            mulaw6.push_back(MuLaw(Sample(i, c)));
    wav.push_back({"mulaw-51.wav", Wav(7, 6, 8000, 8, 6, {}, mulaw6)});
    wav.push_back({"ima4-mono.wav", Wav(0x11, 1, 22050, 4, 36, {65, 0}, Ima4(6, 1))});
    wav.push_back({"ima4-stereo.wav", Wav(0x11, 2, 44100, 4, 72, {65, 0}, Ima4(4, 2))});

    std::vector<Named> aiff = {
        {"pcm16-stereo.aiff", Aiff(2, 16, 44100, frames, false)},
        {"pcm8-mono.aiff", Aiff(1, 8, 8000, frames, false)},
        {"pcm12-mono-ssnd-first.aiff", Aiff(1, 12, 22050, frames + 1, true)},
        {"pcm16-quad.aiff", Aiff(4, 16, 48000, frames / 2, false)},
    };
    std::vector<Named> ogg = {
        {"mono.ogg", Ogg(1, 22050, 3000)},
        {"stereo.ogg", Ogg(2, 44100, 3000)},
        {"six-channels.ogg", Ogg(6, 44100, 1500)},
    };
    std::vector<Named> mod = {
        {"notes.mod", Mod(0)},
        {"looped.mod", Mod(1)},
    };

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
