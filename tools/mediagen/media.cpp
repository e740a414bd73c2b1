#include "media.h"

#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace nvmedia {

void PutLE16(Bytes &out, uint32_t v)
{
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}
void PutLE32(Bytes &out, uint32_t v)
{
    PutLE16(out, v & 0xFFFF);
    PutLE16(out, v >> 16);
}

void PutBE16(Bytes &out, uint32_t v)
{
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}
void PutBE32(Bytes &out, uint32_t v)
{
    PutBE16(out, v >> 16);
    PutBE16(out, v & 0xFFFF);
}

namespace {
void PutTag(Bytes &out, const std::string &tag)
{
    if (tag.size() != 4)
        throw std::invalid_argument("chunk tags have four characters");
    out.insert(out.end(), tag.begin(), tag.end());
}
void PutChunk(Bytes &out, const std::string &tag, const Bytes &body, bool pad)
{
    PutTag(out, tag);
    PutBE32(out, uint32_t(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    if (pad && (body.size() & 1))
        out.push_back(0);
}
} // namespace

std::vector<int16_t> Tones16(size_t frames, uint32_t rate, const std::vector<double> &freqs,
                             double amplitude)
{
    const size_t channels = freqs.size();
    std::vector<int16_t> out(frames * channels);
    const double twoPi = 6.283185307179586;
    for (size_t i = 0; i < frames; i++)
        for (size_t c = 0; c < channels; c++) {
            double v = freqs[c] == 0.0 ? amplitude
                                       : amplitude * std::sin(twoPi * freqs[c] * double(i) / rate);
            out[i * channels + c] = int16_t(std::lround(v));
        }
    return out;
}

Bytes WriteRiff(const std::vector<Chunk> &chunks)
{
    return WithChunks({'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}, chunks);
}

Bytes WithChunks(Bytes image, const std::vector<Chunk> &chunks)
{
    if (image.size() < 12)
        throw std::invalid_argument("not a chunked image");
    const bool bigEndian = image[0] == 'F' || image[3] == 'X';
    auto put32 = [&](Bytes &out, uint32_t v) { bigEndian ? PutBE32(out, v) : PutLE32(out, v); };
    for (const Chunk &c : chunks) {
        PutTag(image, c.tag);
        put32(image, c.declared >= 0 ? uint32_t(c.declared) : uint32_t(c.body.size()));
        image.insert(image.end(), c.body.begin(), c.body.end());
        if (c.pad && (c.body.size() & 1))
            image.push_back(0);
    }
    Bytes size;
    put32(size, uint32_t(image.size() - 8));
    std::copy(size.begin(), size.end(), image.begin() + 4);
    return image;
}

Chunk Smpl(const std::vector<std::array<uint32_t, 3>> &loops, uint32_t declared)
{
    Bytes body(28, 0);
    PutLE32(body, declared != ~0u ? declared : uint32_t(loops.size()));
    PutLE32(body, 0);
    for (const auto &loop : loops) // cue id, type, start, end, fraction, play count
        for (uint32_t v : {0u, loop[0], loop[1], loop[2], 0u, 0u})
            PutLE32(body, v);
    return {"smpl", body};
}

Chunk InfoList(const std::vector<std::pair<std::string, std::string>> &entries)
{
    Bytes body = {'I', 'N', 'F', 'O'};
    for (const auto &entry : entries) {
        body.insert(body.end(), entry.first.begin(), entry.first.end());
        PutLE32(body, uint32_t(entry.second.size()));
        body.insert(body.end(), entry.second.begin(), entry.second.end());
        if (entry.second.size() % 2)
            body.push_back(0);
    }
    return {"LIST", body};
}

Bytes FmtBody(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t blockAlign, uint16_t bits,
              int cbSize, const Bytes &extra)
{
    Bytes fmt;
    PutLE16(fmt, tag);
    PutLE16(fmt, channels);
    PutLE32(fmt, rate);
    PutLE32(fmt, rate * blockAlign);
    PutLE16(fmt, blockAlign);
    PutLE16(fmt, bits);
    if (cbSize >= 0) {
        PutLE16(fmt, uint32_t(cbSize));
        fmt.insert(fmt.end(), extra.begin(), extra.end());
    }
    return fmt;
}

Bytes WriteWav(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, uint16_t blockAlign,
               const Bytes &data, const Bytes &extra)
{
    int cbSize = extra.empty() ? -1 : int(extra.size());
    return WriteRiff({{"fmt ", FmtBody(tag, channels, rate, blockAlign, bits, cbSize, extra)},
                      {"data", data}});
}

Bytes LE16Bytes(const std::vector<int16_t> &samples)
{
    Bytes out;
    out.reserve(samples.size() * 2);
    for (int16_t s : samples)
        PutLE16(out, uint16_t(s));
    return out;
}

Bytes WriteWav16(const std::vector<int16_t> &samples, int channels, uint32_t rate)
{
    return WriteWav(1, uint16_t(channels), rate, 16, uint16_t(channels * 2), LE16Bytes(samples));
}

uint8_t MulawEncode(int16_t sample)
{
    int sign = sample < 0 ? 0x80 : 0;
    int v = sample < 0 ? -int(sample) : sample;
    v = std::min(v, 32635) + 132;
    int exponent = 7;
    for (int mask = 0x4000; !(v & mask) && exponent > 0; mask >>= 1)
        exponent--;
    int mantissa = (v >> (exponent + 3)) & 0x0F;
    return uint8_t(~(sign | exponent << 4 | mantissa));
}

Bytes ImaEncode(const std::vector<int16_t> &interleaved, int channels)
{
    static const int steps[89] = {
        7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,
        25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,
        88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,   253,   279,
        307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,   876,   963,
        1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749,  3024,  3327,
        3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493,  10442, 11487,
        12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
    static const int adjust[8] = {-1, -1, -1, -1, 2, 4, 6, 8};
    const size_t ch = size_t(channels), frames = interleaved.size() / ch;
    if (frames % 65 != 0)
        throw std::invalid_argument("IMA ADPCM writer: whole blocks of 65 frames");
    auto at = [&](size_t frame, size_t c) { return int(interleaved[frame * ch + c]); };
    Bytes out;
    std::vector<int> index(ch, 0);
    for (size_t first = 0; first < frames; first += 65) {
        std::vector<int> predictor(ch);
        for (size_t c = 0; c < ch; c++) {
            predictor[c] = at(first, c);
            PutLE16(out, uint16_t(int16_t(predictor[c])));
            out.push_back(uint8_t(index[c]));
            out.push_back(0);
        }
        // 64 more frames per channel, 8 at a time per channel, interleaved
        // in 4-byte groups.
        for (size_t group = 0; group < 8; group++)
            for (size_t c = 0; c < ch; c++) {
                uint8_t nibbles[8];
                for (size_t k = 0; k < 8; k++) {
                    int &pred = predictor[c], &idx = index[c];
                    int diff = at(first + 1 + group * 8 + k, c) - pred, step = steps[idx];
                    int code = diff < 0 ? 8 : 0, delta = step >> 3;
                    diff = std::abs(diff);
                    for (int bit = 4, part = step; bit; bit >>= 1, part >>= 1)
                        if (diff >= part) {
                            code |= bit;
                            diff -= part;
                            delta += part;
                        }
                    pred = std::max(-32768, std::min(32767, pred + ((code & 8) ? -delta : delta)));
                    idx = std::max(0, std::min(88, idx + adjust[code & 7]));
                    nibbles[k] = uint8_t(code);
                }
                for (size_t k = 0; k < 8; k += 2)
                    out.push_back(uint8_t(nibbles[k] | nibbles[k + 1] << 4));
            }
    }
    return out;
}

Bytes WriteMidi(uint16_t format, uint16_t division, const std::vector<Bytes> &tracks)
{
    Bytes out;
    PutChunk(out, "MThd", {0, uint8_t(format), uint8_t(tracks.size() >> 8),
                           uint8_t(tracks.size()), uint8_t(division >> 8), uint8_t(division)},
             false);
    for (const Bytes &track : tracks)
        PutChunk(out, "MTrk", track, false);
    return out;
}

namespace {
void PutNumber(Bytes &out, uint32_t v) // a MIDI variable-length quantity
{
    Bytes groups = {uint8_t(v & 0x7F)};
    while (v >>= 7)
        groups.insert(groups.begin(), uint8_t(0x80 | (v & 0x7F)));
    out.insert(out.end(), groups.begin(), groups.end());
}
} // namespace

Bytes MidiTrack(std::vector<MidiEvent> events, bool runningStatus, uint32_t endTick)
{
    std::stable_sort(events.begin(), events.end(),
                     [](const MidiEvent &a, const MidiEvent &b) { return a.tick < b.tick; });
    Bytes out;
    uint32_t tick = 0;
    uint8_t running = 0;
    for (const MidiEvent &e : events) {
        PutNumber(out, e.tick - tick);
        tick = e.tick;
        const bool channel = e.message[0] < 0xF0;
        auto body = e.message.begin() + (runningStatus && channel && e.message[0] == running ? 1 : 0);
        out.insert(out.end(), body, e.message.end());
        running = channel ? e.message[0] : running;
    }
    PutNumber(out, std::max(endTick, tick) - tick);
    out.insert(out.end(), {0xFF, 0x2F, 0});
    return out;
}

MidiEvent MidiTempo(uint32_t tick, uint32_t micros)
{
    return {tick, {0xFF, 0x51, 3, uint8_t(micros >> 16), uint8_t(micros >> 8), uint8_t(micros)}};
}

MidiEvent MidiText(uint32_t tick, uint8_t type, const std::string &text)
{
    Bytes event = {0xFF, type};
    // The length as a variable-length quantity: 7 bits a byte, high first.
    for (int shift = 21; shift > 0; shift -= 7)
        if (text.size() >> shift)
            event.push_back(uint8_t(0x80 | ((text.size() >> shift) & 0x7F)));
    event.push_back(uint8_t(text.size() & 0x7F));
    event.insert(event.end(), text.begin(), text.end());
    return {tick, event};
}

Bytes WriteSoundFont(const SoundFontSpec &font)
{
    // The sample: whole periods from the loop start on, with guard frames
    // around the loop as the format asks.
    const uint32_t guard = 8, loopStart = guard, loopEnd = guard + font.periods * font.periodFrames;
    // One period, repeated: fonts of a hundred megabytes are made quickly.
    Bytes period, smpl;
    for (uint32_t i = 0; i < font.periodFrames; i++) {
        double phase = 2 * M_PI * double(i) / font.periodFrames;
        double v = font.square ? (std::sin(phase) >= 0 ? 1 : -1) : std::sin(phase);
        PutLE16(period, uint32_t(int32_t(std::lround(v * font.amplitude))));
    }
    smpl.reserve(size_t(loopEnd + guard + 46) * 2);
    for (uint32_t i = 0; i < loopEnd + guard; i += font.periodFrames) {
        const size_t frames = std::min(font.periodFrames, loopEnd + guard - i);
        smpl.insert(smpl.end(), period.begin(), period.begin() + ptrdiff_t(frames * 2));
    }
    smpl.resize(smpl.size() + 46 * 2, 0); // the format's zero frames after each sample
    auto name = [](Bytes &out, const char *text) {
        Bytes field(20, 0);
        memcpy(field.data(), text, std::min<size_t>(strlen(text), 19));
        out.insert(out.end(), field.begin(), field.end());
    };
    auto chunk = [](Bytes &out, const std::string &tag, const Bytes &body) { // RIFF: little-endian
        PutTag(out, tag);
        PutLE32(out, uint32_t(body.size()));
        out.insert(out.end(), body.begin(), body.end());
    };
    auto list = [&](const std::string &type, const std::vector<Chunk> &chunks) {
        Bytes body;
        PutTag(body, type);
        for (const Chunk &c : chunks)
            chunk(body, c.tag, c.body);
        return body;
    };
    Bytes phdr, inst, shdr;
    name(phdr, "nuvex sine");
    phdr.insert(phdr.end(), 18, 0); // program 0, bank 0, first zone 0, library, genre, morphology
    name(phdr, "EOP");
    PutLE16(phdr, 0), PutLE16(phdr, 0), PutLE16(phdr, 1), phdr.insert(phdr.end(), 12, 0);
    name(inst, "nuvex sine");
    PutLE16(inst, 0);
    name(inst, "EOI");
    PutLE16(inst, 1);
    name(shdr, "nuvex sine");
    for (uint32_t v : {0u, loopEnd + guard, loopStart, loopEnd, font.rate})
        PutLE32(shdr, v);
    shdr.insert(shdr.end(), {font.rootKey, 0, 0, 0, 1, 0}); // pitch correction, link, mono
    name(shdr, "EOS");
    shdr.insert(shdr.end(), 26, 0);
    // One zone each, then the terminal record, which counts the generators.
    const Bytes pbag = {0, 0, 0, 0, 1, 0, 0, 0}, ibag = {0, 0, 0, 0, 2, 0, 0, 0};
    const Bytes pgen = {41, 0, 0, 0, 0, 0, 0, 0}; // instrument 0
    const Bytes igen = {54, 0, 1, 0, 53, 0, 0, 0, 0, 0, 0, 0}; // looped; sample 0
    Bytes version = {2, 0, 1, 0};
    Bytes sfbk;
    PutTag(sfbk, "sfbk");
    chunk(sfbk, "LIST", list("INFO", {{"ifil", version}, {"isng", {'E', 'M', 'U', '8', '0', '0', '0', 0}},
                                         {"INAM", {'n', 'u', 'v', 'e', 'x', 0}}}));
    chunk(sfbk, "LIST", list("sdta", {{"smpl", smpl}}));
    chunk(sfbk, "LIST", list("pdta", {{"phdr", phdr}, {"pbag", pbag}, {"pmod", Bytes(10, 0)},
                                         {"pgen", pgen}, {"inst", inst}, {"ibag", ibag},
                                         {"imod", Bytes(10, 0)}, {"igen", igen}, {"shdr", shdr}}));
    Bytes out;
    chunk(out, "RIFF", sfbk);
    return out;
}

std::vector<NamedImage> MidiSeeds()
{
    const std::vector<MidiEvent> notes = {
        {0, {0xC0, 0}}, {0, {0xB0, 7, 100}}, {0, {0xB0, 10, 20}}, {0, {0x90, 60, 100}},
        {0, {0xF0, 5, 0x7E, 0x7F, 9, 1, 0xF7}}, {60, {0x90, 64, 90}}, {90, {0xA0, 64, 50}},
        {120, {0xE0, 0, 0x50}}, {150, {0xD0, 40}}, {180, {0xFF, 1, 3, 'e', 'n', 'd'}},
        {180, {0x80, 60, 0}}, {200, {0x90, 64, 0}}, {220, {0xB0, 123, 0}}};
    Bytes rmid = WriteRiff({{"data", WriteMidi(0, 96, {MidiTrack(notes, true)})}});
    memcpy(&rmid[8], "RMID", 4);
    return {
        {"format0.mid", WriteMidi(0, 96, {MidiTrack(notes)})},
        {"running-status.mid", WriteMidi(0, 96, {MidiTrack(notes, true)})},
        {"format1-tempo.mid", WriteMidi(1, 480, {MidiTrack({MidiText(0, 3, "seed"), MidiText(0, 2, "(c) nobody"), MidiTempo(0, 400000),
                                                            MidiTempo(480, 900000), MidiText(480, 6, "loopStart"), MidiText(900, 6, "loopEnd")}),
                                                 MidiTrack(notes, true), {}, MidiTrack({{10, {0x99, 36, 100}}, {300, {0x89, 36, 0}}})})},
        {"time-code.mid", WriteMidi(0, 0xE250, {MidiTrack(notes)})},
        {"riff.rmi", rmid},
    };
}

std::vector<NamedImage> SoundFontSeeds()
{
    SoundFontSpec square, small;
    square.square = true;
    square.rootKey = 60;
    small.rate = 22050, small.periodFrames = 50, small.periods = 4;
    return {{"sine.sf2", WriteSoundFont()}, {"square.sf2", WriteSoundFont(square)}, {"small.sf2", WriteSoundFont(small)}};
}

void Put80BitRate(Bytes &out, uint32_t rate)
{
    if (rate == 0) {
        out.insert(out.end(), 10, 0);
        return;
    }
    int top = 31;
    while (!(rate & (uint32_t(1) << top)))
        top--;
    // Normalised: the integer bit is the mantissa's top bit.
    uint64_t mantissa = uint64_t(rate) << (63 - top);
    PutBE16(out, uint32_t(16383 + top));
    PutBE32(out, uint32_t(mantissa >> 32));
    PutBE32(out, uint32_t(mantissa));
}

int16_t QuantizeAiff(int16_t sample, int bits)
{
    switch (bits) {
    case 8: return int16_t(uint16_t(sample) & 0xFF00);
    case 12: return int16_t(uint16_t(sample) & 0xFFF0);
    case 16: return sample;
    default: throw std::invalid_argument("AIFF writer: 8, 12 or 16 bits");
    }
}

AiffChunk AiffMarkers(const std::vector<std::pair<uint16_t, uint32_t>> &markers, int count)
{
    Bytes body;
    PutBE16(body, count >= 0 ? uint32_t(count) : uint32_t(markers.size()));
    for (size_t i = 0; i < markers.size(); i++) {
        PutBE16(body, markers[i].first);
        PutBE32(body, markers[i].second);
        body.push_back(uint8_t(i));
        body.insert(body.end(), i, 'm');
        if (i % 2 == 0) // with its length byte the name is odd: padded
            body.push_back(0);
    }
    return {"MARK", body};
}

AiffChunk AiffInstrument(uint16_t playMode, uint16_t beginMarker, uint16_t endMarker)
{
    Bytes body = {60, 0, 0, 127, 0, 127, 0, 0}; // notes, velocities, gain
    for (uint16_t v : {playMode, beginMarker, endMarker, uint16_t(0), uint16_t(0), uint16_t(0)})
        PutBE16(body, v);
    return {"INST", body};
}

Bytes WriteAiff(const std::vector<int16_t> &samples, int channels, uint32_t rate, int bits,
                const AiffOptions &options)
{
    if (bits != 8 && bits != 12 && bits != 16)
        throw std::invalid_argument("AIFF writer: 8, 12 or 16 bits");
    const size_t frames = channels > 0 ? samples.size() / size_t(channels) : 0;

    Bytes comm;
    PutBE16(comm, uint32_t(channels));
    PutBE32(comm, uint32_t(frames));
    PutBE16(comm, uint32_t(bits));
    Put80BitRate(comm, rate);

    Bytes ssnd;
    PutBE32(ssnd, options.ssndOffset);
    PutBE32(ssnd, 0);
    // Filler the offset skips: a pattern that would be loud if played.
    for (uint32_t i = 0; i < options.ssndOffset; i++)
        ssnd.push_back(uint8_t(0x7F ^ (i * 37)));
    for (int16_t s : samples) {
        int16_t q = QuantizeAiff(s, bits);
        if (bits == 8)
            ssnd.push_back(uint8_t(uint16_t(q) >> 8));
        else
            PutBE16(ssnd, uint16_t(q));
    }

    Bytes body;
    PutTag(body, options.formType);
    for (const AiffChunk &c : options.leadingChunks)
        PutChunk(body, c.tag, c.body, options.padOddChunks);
    if (options.ssndFirst) {
        PutChunk(body, "SSND", ssnd, options.padOddChunks);
        PutChunk(body, "COMM", comm, options.padOddChunks);
    } else {
        PutChunk(body, "COMM", comm, options.padOddChunks);
        PutChunk(body, "SSND", ssnd, options.padOddChunks);
    }
    for (const AiffChunk &c : options.trailingChunks)
        PutChunk(body, c.tag, c.body, options.padOddChunks);

    Bytes out;
    PutTag(out, "FORM");
    PutBE32(out, uint32_t(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

namespace {
// Owns the libvorbis/libogg encoder state for one image.
struct VorbisEncoder {
    vorbis_info info;
    vorbis_comment comment;
    vorbis_dsp_state dsp;
    vorbis_block block;
    ogg_stream_state stream;
    bool analysis = false;
    bool streamInit = false;
    Bytes out;

    VorbisEncoder()
    {
        vorbis_info_init(&info);
        vorbis_comment_init(&comment);
    }
    ~VorbisEncoder()
    {
        if (streamInit)
            ogg_stream_clear(&stream);
        if (analysis) {
            vorbis_block_clear(&block);
            vorbis_dsp_clear(&dsp);
        }
        vorbis_comment_clear(&comment);
        vorbis_info_clear(&info);
    }
    void Append(const ogg_page &page)
    {
        out.insert(out.end(), page.header, page.header + page.header_len);
        out.insert(out.end(), page.body, page.body + page.body_len);
    }
    void Drain()
    {
        ogg_packet packet;
        while (vorbis_analysis_blockout(&dsp, &block) == 1) {
            vorbis_analysis(&block, nullptr);
            vorbis_bitrate_addblock(&block);
            while (vorbis_bitrate_flushpacket(&dsp, &packet)) {
                ogg_stream_packetin(&stream, &packet);
                ogg_page page;
                while (ogg_stream_pageout(&stream, &page))
                    Append(page);
            }
        }
    }
};
} // namespace

Bytes EncodeOgg(const std::vector<int16_t> &samples, int channels, uint32_t rate, float quality,
                int serial, const Comments &comments)
{
    VorbisEncoder enc;
#if defined(__SANITIZE_ADDRESS__)
    // libvorbisenc's 5.1 setup loses one allocation of its own (init then
    // clear alone shows it); not ours to report.
    __lsan_disable();
#endif
    int refused = vorbis_encode_init_vbr(&enc.info, channels, long(rate), quality);
#if defined(__SANITIZE_ADDRESS__)
    __lsan_enable();
#endif
    if (refused)
        throw std::runtime_error("libvorbisenc refused these parameters");
    vorbis_comment_add_tag(&enc.comment, "ENCODER", "nuvex mediagen");
    for (const auto &comment : comments)
        vorbis_comment_add_tag(&enc.comment, comment.first.c_str(), comment.second.c_str());
    vorbis_analysis_init(&enc.dsp, &enc.info);
    vorbis_block_init(&enc.dsp, &enc.block);
    enc.analysis = true;
    ogg_stream_init(&enc.stream, serial);
    enc.streamInit = true;

    ogg_packet header, commentPacket, codebooks;
    vorbis_analysis_headerout(&enc.dsp, &enc.comment, &header, &commentPacket, &codebooks);
    ogg_stream_packetin(&enc.stream, &header);
    ogg_stream_packetin(&enc.stream, &commentPacket);
    ogg_stream_packetin(&enc.stream, &codebooks);
    ogg_page page;
    // The audio starts on a fresh page, as decoders expect.
    while (ogg_stream_flush(&enc.stream, &page))
        enc.Append(page);

    const size_t frames = samples.size() / size_t(channels);
    const size_t step = 4096;
    for (size_t done = 0; done < frames; done += step) {
        const size_t n = frames - done < step ? frames - done : step;
        float **buffer = vorbis_analysis_buffer(&enc.dsp, int(n));
        for (size_t i = 0; i < n; i++)
            for (int c = 0; c < channels; c++)
                buffer[c][i] = samples[(done + i) * size_t(channels) + size_t(c)] / 32768.0f;
        vorbis_analysis_wrote(&enc.dsp, int(n));
        enc.Drain();
        // A page per step, as streaming encoders write them. libvorbisfile
        // skips a chained section whose audio sits on a single page.
        while (ogg_stream_flush(&enc.stream, &page))
            enc.Append(page);
    }
    vorbis_analysis_wrote(&enc.dsp, 0);
    enc.Drain();
    while (ogg_stream_flush(&enc.stream, &page))
        enc.Append(page);
    return std::move(enc.out);
}

Bytes VorbisCommentBody(const Comments &comments)
{
    const std::string vendor = "nuvex mediagen";
    Bytes out;
    PutLE32(out, uint32_t(vendor.size()));
    out.insert(out.end(), vendor.begin(), vendor.end());
    PutLE32(out, uint32_t(comments.size()));
    for (const auto &comment : comments) {
        const std::string text = comment.first + "=" + comment.second;
        PutLE32(out, uint32_t(text.size()));
        out.insert(out.end(), text.begin(), text.end());
    }
    return out;
}

Bytes WithFlacComments(const Bytes &flac, const Bytes &body)
{
    if (flac.size() < 8 || memcmp(flac.data(), "fLaC", 4) != 0 || body.size() >= (1u << 24))
        throw std::invalid_argument("not a native FLAC image, or comments too long for a block");
    std::vector<std::pair<uint8_t, Bytes>> blocks; // type and body, in order
    size_t at = 4;
    for (bool last = false; !last;) {
        if (at + 4 > flac.size())
            throw std::invalid_argument("FLAC metadata cut short");
        last = flac[at] & 0x80;
        const size_t length = size_t(flac[at + 1]) << 16 | size_t(flac[at + 2]) << 8 | flac[at + 3];
        if (at + 4 + length > flac.size())
            throw std::invalid_argument("FLAC metadata cut short");
        if ((flac[at] & 0x7F) != 4)
            blocks.push_back({uint8_t(flac[at] & 0x7F), Bytes(&flac[at + 4], &flac[at + 4] + length)});
        at += 4 + length;
    }
    blocks.insert(blocks.begin() + 1, {4, body}); // STREAMINFO comes first
    Bytes out(flac.begin(), flac.begin() + 4);
    for (size_t i = 0; i < blocks.size(); i++) {
        const size_t length = blocks[i].second.size();
        out.insert(out.end(), {uint8_t(blocks[i].first | (i + 1 == blocks.size() ? 0x80 : 0)),
                               uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length)});
        out.insert(out.end(), blocks[i].second.begin(), blocks[i].second.end());
    }
    out.insert(out.end(), flac.begin() + std::ptrdiff_t(at), flac.end());
    return out;
}

namespace {
struct OggRepaging {
    ogg_sync_state sync;
    ogg_stream_state in, out;
    bool streams = false;
    OggRepaging() { ogg_sync_init(&sync); }
    ~OggRepaging()
    {
        if (streams) {
            ogg_stream_clear(&in);
            ogg_stream_clear(&out);
        }
        ogg_sync_clear(&sync);
    }
    void Flush(Bytes &image)
    {
        ogg_page page;
        while (ogg_stream_flush(&out, &page)) {
            image.insert(image.end(), page.header, page.header + page.header_len);
            image.insert(image.end(), page.body, page.body + page.body_len);
        }
    }
};
} // namespace

Bytes WithOpusComments(const Bytes &opus, const Bytes &body)
{
    OggRepaging ogg;
    char *buffer = ogg_sync_buffer(&ogg.sync, long(opus.size()));
    std::copy(opus.begin(), opus.end(), buffer);
    ogg_sync_wrote(&ogg.sync, long(opus.size()));
    Bytes out, tags = {'O', 'p', 'u', 's', 'T', 'a', 'g', 's'};
    tags.insert(tags.end(), body.begin(), body.end());
    int headers = 0;
    ogg_page page;
    while (ogg_sync_pageout(&ogg.sync, &page) == 1) {
        if (!ogg.streams) {
            ogg_stream_init(&ogg.in, ogg_page_serialno(&page));
            ogg_stream_init(&ogg.out, ogg_page_serialno(&page));
            ogg.streams = true;
        }
        if (headers == 2) { // an audio page: renumbered after the new header pages
            if (ogg_page_continued(&page) || ogg_page_serialno(&page) != ogg.out.serialno)
                throw std::invalid_argument("not an Ogg Opus image of one stream");
            for (int i = 0; i < 4; i++)
                page.header[18 + i] = uint8_t(ogg.out.pageno >> (8 * i));
            ogg.out.pageno++;
            ogg_page_checksum_set(&page);
            out.insert(out.end(), page.header, page.header + page.header_len);
            out.insert(out.end(), page.body, page.body + page.body_len);
            continue;
        }
        ogg_stream_pagein(&ogg.in, &page);
        ogg_packet packet;
        while (headers < 2 && ogg_stream_packetout(&ogg.in, &packet) == 1) {
            if (++headers == 2) {
                packet.packet = tags.data();
                packet.bytes = long(tags.size());
            }
            ogg_stream_packetin(&ogg.out, &packet);
            ogg.Flush(out);
        }
        if (headers == 2 && ogg_stream_packetpeek(&ogg.in, nullptr) != 0)
            throw std::invalid_argument("audio on a header page");
    }
    if (headers < 2)
        throw std::invalid_argument("not an Ogg Opus image");
    return out;
}

Bytes WriteMod(const ModSpec &song)
{
    if (song.samples.size() > 31 || song.patterns.empty() || song.patterns.size() > 64 ||
        song.orders.empty() || song.orders.size() > 128)
        throw std::invalid_argument("module writer: 0-31 samples, 1-64 patterns, 1-128 orders");
    Bytes out;
    std::string title = song.title.substr(0, 20);
    out.insert(out.end(), title.begin(), title.end());
    out.insert(out.end(), 20 - title.size(), 0);

    for (size_t i = 0; i < 31; i++) {
        ModSample none;
        const ModSample &s = i < song.samples.size() ? song.samples[i] : none;
        if ((s.data.size() & 1) || s.data.size() > 131070 || (s.loopStart & 1) ||
            (s.loopLength & 1) || s.loopStart + s.loopLength > s.data.size())
            throw std::invalid_argument("module writer: bad sample layout");
        std::string name = s.name.substr(0, 22);
        out.insert(out.end(), name.begin(), name.end());
        out.insert(out.end(), 22 - name.size(), 0);
        PutBE16(out, uint32_t(s.data.size() / 2));
        out.push_back(uint8_t(s.finetune & 0x0F));
        out.push_back(s.volume > 64 ? 64 : s.volume);
        PutBE16(out, s.loopStart / 2);
        // One word means "no loop" in this format.
        PutBE16(out, s.loopLength > 2 ? s.loopLength / 2 : 1);
    }

    out.push_back(uint8_t(song.orders.size()));
    out.push_back(127);
    uint8_t highest = 0;
    for (size_t i = 0; i < 128; i++) {
        uint8_t p = i < song.orders.size() ? song.orders[i] : 0;
        if (p >= song.patterns.size())
            throw std::invalid_argument("module writer: order names a missing pattern");
        highest = p > highest ? p : highest;
        out.push_back(p);
    }
    out.insert(out.end(), {'M', '.', 'K', '.'});

    // Every pattern up to the highest one in the order list is stored.
    for (size_t p = 0; p <= highest; p++) {
        Bytes cells(64 * 4 * 4, 0);
        for (const ModNote &n : song.patterns[p].notes) {
            if (n.row > 63 || n.channel > 3 || n.sample > 31 || n.period > 0xFFF ||
                n.effect > 0xF)
                throw std::invalid_argument("module writer: bad note");
            uint8_t *cell = &cells[(size_t(n.row) * 4 + n.channel) * 4];
            cell[0] = uint8_t((n.sample & 0xF0) | (n.period >> 8));
            cell[1] = uint8_t(n.period);
            cell[2] = uint8_t(((n.sample & 0x0F) << 4) | n.effect);
            cell[3] = n.param;
        }
        out.insert(out.end(), cells.begin(), cells.end());
    }
    for (const ModSample &s : song.samples)
        for (int8_t v : s.data)
            out.push_back(uint8_t(v));
    return out;
}

ModSpec DemoModule(int patterns, std::vector<uint8_t> orders)
{
    if (patterns < 1 || patterns > 64)
        throw std::invalid_argument("module writer: 1-64 patterns");
    ModSpec song;
    song.title = "nuvex demo";
    ModSample square;
    square.name = "square";
    for (int i = 0; i < 64; i++)
        square.data.push_back(int8_t(i < 32 ? 80 : -80));
    square.loopStart = 0;
    square.loopLength = 64;
    ModSample saw;
    saw.name = "saw";
    saw.volume = 48;
    for (int i = 0; i < 128; i++)
        saw.data.push_back(int8_t(i * 2 - 128));
    saw.loopStart = 0;
    saw.loopLength = 128;
    song.samples = {square, saw};

    // A few periods of the C-1..B-3 range.
    static const uint16_t periods[] = {856, 762, 678, 640, 570, 508, 453, 428,
                                       381, 339, 320, 285, 254, 226, 214, 190};
    for (int p = 0; p < patterns; p++) {
        ModPattern pattern;
        for (uint8_t row = 0; row < 64; row += 4) {
            // Channel 0: a melody that differs per pattern; 1: a bass line;
            // 2 and 3: the saw on off-beats, softer.
            pattern.notes.push_back({row, 0, 1, periods[(row / 4 + p * 3) % 16], 0, 0});
            if (row % 16 == 0)
                pattern.notes.push_back({row, 1, 1, uint16_t(periods[p % 8] * 2), 0xC, 40});
            if (row % 8 == 4) {
                pattern.notes.push_back({row, 2, 2, periods[(p * 5 + row / 8) % 16], 0xC, 24});
                pattern.notes.push_back(
                    {uint8_t(row + 2), 3, 2, periods[(p + row / 4) % 16], 0xC, 16});
            }
        }
        song.patterns.push_back(pattern);
    }
    if (orders.empty())
        for (int p = 0; p < patterns; p++)
            orders.push_back(uint8_t(p));
    song.orders = std::move(orders);
    return song;
}

} // namespace nvmedia
