#include "sfmedia.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace nvmedia {

namespace {
// A growing image behind libsndfile's virtual I/O.
struct MemoryFile {
    Bytes bytes;
    size_t pos = 0;
};

MemoryFile &FileOf(void *user) { return *static_cast<MemoryFile *>(user); }
sf_count_t Length(void *user) { return sf_count_t(FileOf(user).bytes.size()); }
sf_count_t Seek(sf_count_t offset, int whence, void *user)
{
    MemoryFile &f = FileOf(user);
    sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? sf_count_t(f.pos)
                                                                  : sf_count_t(f.bytes.size());
    if (base + offset < 0)
        return -1;
    f.pos = size_t(base + offset);
    return sf_count_t(f.pos);
}
sf_count_t Read(void *ptr, sf_count_t count, void *user)
{
    MemoryFile &f = FileOf(user);
    size_t n = f.pos >= f.bytes.size() ? 0 : std::min(size_t(count), f.bytes.size() - f.pos);
    memcpy(ptr, f.bytes.data() + f.pos, n);
    f.pos += n;
    return sf_count_t(n);
}
sf_count_t Write(const void *ptr, sf_count_t count, void *user)
{
    MemoryFile &f = FileOf(user);
    if (f.bytes.size() < f.pos + size_t(count))
        f.bytes.resize(f.pos + size_t(count));
    memcpy(f.bytes.data() + f.pos, ptr, size_t(count));
    f.pos += size_t(count);
    return count;
}
sf_count_t Tell(void *user) { return sf_count_t(FileOf(user).pos); }

struct Closer {
    void operator()(SNDFILE *file) const { sf_close(file); }
};

// Some commands answer SF_TRUE when they take effect, others 0 (the bitrate
// mode); a refusal of the latter shows only in the file's error state.
void Command(SNDFILE *file, int command, void *data, int size, const char *what,
             bool answersTrue = true)
{
    int result = sf_command(file, command, data, size);
    if ((answersTrue && result != SF_TRUE) || sf_error(file) != SF_ERR_NO_ERROR)
        throw std::runtime_error(std::string("libsndfile refused ") + what + ": " +
                                 sf_strerror(file));
}

void PutText(Bytes &out, const char *text) { out.insert(out.end(), text, text + strlen(text)); }

// Length of the MPEG-1/2/2.5 Layer III frame starting at `h`; 0 for none.
size_t FrameLength(const uint8_t *h)
{
    static const int kbps1[15] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    static const int kbps2[15] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    static const int rates[3] = {44100, 48000, 32000};
    int version = (h[1] >> 3) & 3, index = h[2] >> 4, rateIndex = (h[2] >> 2) & 3;
    if (h[0] != 0xFF || (h[1] & 0xE6) != 0xE2 || version == 1 || index == 0 || index == 15 ||
        rateIndex == 3)
        return 0;
    int rate = rates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    int kbps = (version == 3 ? kbps1 : kbps2)[index];
    return size_t((version == 3 ? 144000 : 72000) * kbps / rate + ((h[2] >> 1) & 1));
}
} // namespace

std::vector<int32_t> Tones32(size_t frames, uint32_t rate, const std::vector<double> &freqs,
                             double amplitude)
{
    const size_t channels = freqs.size();
    std::vector<int32_t> out(frames * channels);
    const double twoPi = 6.283185307179586;
    for (size_t i = 0; i < frames; i++)
        for (size_t c = 0; c < channels; c++)
            out[i * channels + c] = int32_t(
                std::lrint(amplitude * 2147483647.0 * std::sin(twoPi * freqs[c] * double(i) / rate)));
    return out;
}

std::vector<int16_t> ReadSoundFile16(const Bytes &image)
{
    MemoryFile memory{image};
    SF_VIRTUAL_IO io = {Length, Seek, Read, Write, Tell};
    SF_INFO info{};
    std::unique_ptr<SNDFILE, Closer> file(sf_open_virtual(&io, SFM_READ, &info, &memory));
    if (!file)
        throw std::runtime_error(std::string("libsndfile cannot read this: ") + sf_strerror(nullptr));
    std::vector<int16_t> samples(size_t(4096 * info.channels));
    size_t filled = 0;
    while (sf_count_t got = sf_readf_short(file.get(), samples.data() + filled, 4096)) {
        filled += size_t(got * info.channels);
        samples.resize(filled + size_t(4096 * info.channels));
    }
    samples.resize(filled);
    return samples;
}

Bytes WriteSoundFile(const std::vector<int32_t> &samples, int channels, int rate, int format,
                     const SoundFileOptions &options)
{
    MemoryFile memory;
    SF_VIRTUAL_IO io = {Length, Seek, Read, Write, Tell};
    SF_INFO info{};
    info.channels = channels;
    info.samplerate = rate;
    info.format = format;
    std::unique_ptr<SNDFILE, Closer> file(sf_open_virtual(&io, SFM_WRITE, &info, &memory));
    if (!file)
        throw std::runtime_error(std::string("libsndfile cannot write this: ") +
                                 sf_strerror(nullptr));
    SoundFileOptions o = options;
    if (!o.channelMap.empty())
        Command(file.get(), SFC_SET_CHANNEL_MAP_INFO, o.channelMap.data(),
                int(o.channelMap.size() * sizeof(int)), "the channel map");
    if (o.bitrateMode >= 0)
        Command(file.get(), SFC_SET_BITRATE_MODE, &o.bitrateMode, sizeof(int), "the bitrate mode",
                false);
    if (o.compression >= 0)
        Command(file.get(), SFC_SET_COMPRESSION_LEVEL, &o.compression, sizeof(double),
                "the compression level");
    if (o.originalRate > 0)
        Command(file.get(), SFC_SET_ORIGINAL_SAMPLERATE, &o.originalRate, sizeof(int),
                "the original rate");
    const sf_count_t frames = sf_count_t(samples.size()) / channels;
    // libsndfile stores integers written to a float file unscaled.
    const int subtype = format & SF_FORMAT_SUBMASK;
    std::vector<float> floats;
    if (subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE)
        for (int32_t x : samples)
            floats.push_back(StoredAsFloat(x, 32));
    sf_count_t written = floats.empty() ? sf_writef_int(file.get(), samples.data(), frames)
                                        : sf_writef_float(file.get(), floats.data(), frames);
    if (written != frames)
        throw std::runtime_error(std::string("libsndfile failed writing: ") +
                                 sf_strerror(file.get()));
    file.reset();
    return memory.bytes;
}

int32_t Stored(int32_t sample, int bits) { return sample >> (32 - bits); }

float StoredAsFloat(int32_t sample, int bits)
{
    return float(double(Stored(sample, bits)) / double(int64_t(1) << (bits - 1)));
}

Bytes StripXingFrame(const Bytes &mp3)
{
    size_t length = mp3.size() >= 4 ? FrameLength(mp3.data()) : 0;
    if (length == 0 || length > mp3.size())
        throw std::invalid_argument("not an MP3 image starting with a frame");
    return Bytes(mp3.begin() + std::ptrdiff_t(length), mp3.end());
}

namespace {
// The code points of UTF-8 text (well-formed, as the tests write it).
std::vector<uint32_t> CodePoints(const std::string &utf8)
{
    std::vector<uint32_t> out;
    for (size_t i = 0; i < utf8.size();) {
        const auto c = uint8_t(utf8[i]);
        const size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        uint32_t code = length == 1 ? c : c & (0x7F >> length);
        for (size_t k = 1; k < length && i + k < utf8.size(); k++)
            code = code << 6 | (uint8_t(utf8[i + k]) & 0x3F);
        out.push_back(code);
        i += length;
    }
    return out;
}

void PutUtf16(Bytes &out, const std::string &utf8, bool bigEndian)
{
    auto unit = [&](uint32_t u) {
        bigEndian ? out.insert(out.end(), {uint8_t(u >> 8), uint8_t(u)})
                  : out.insert(out.end(), {uint8_t(u), uint8_t(u >> 8)});
    };
    for (uint32_t code : CodePoints(utf8)) {
        if (code >= 0x10000) {
            unit(0xD800 + ((code - 0x10000) >> 10));
            unit(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            unit(code);
        }
    }
}

// One string of a frame in its encoding, ended by the encoding's NUL when
// `terminated`.
void PutId3String(Bytes &out, const Id3Frame &frame, const std::string &text, bool terminated)
{
    const bool wide = frame.encoding == 1 || frame.encoding == 2;
    if (frame.encoding == 0) {
        for (uint32_t code : CodePoints(text))
            out.push_back(uint8_t(code));
    } else if (wide) {
        if (frame.encoding == 1 && frame.bom)
            out.insert(out.end(), {0xFF, 0xFE});
        PutUtf16(out, text, frame.encoding == 2);
    } else {
        out.insert(out.end(), text.begin(), text.end());
    }
    if (terminated)
        out.insert(out.end(), wide ? 2 : 1, 0);
}

void PutBE32(Bytes &out, uint32_t v, int bitsPerByte)
{
    for (int shift = 3 * bitsPerByte; shift >= 0; shift -= bitsPerByte)
        out.push_back(uint8_t((v >> shift) & ((1u << bitsPerByte) - 1)));
}

void PutFixed(Bytes &out, const std::string &text, size_t width)
{
    for (size_t i = 0; i < width; i++)
        out.push_back(i < text.size() ? uint8_t(text[i]) : 0);
}
} // namespace

Bytes WithId3Tag(const Bytes &image, const Id3Tag &tag)
{
    Bytes frames;
    for (const Id3Frame &frame : tag.frames) {
        Bytes body = {uint8_t(frame.encoding)};
        if (frame.id == "COMM")
            PutText(body, "eng");
        if (frame.id == "COMM" || frame.id == "TXXX")
            PutId3String(body, frame, frame.description, true);
        PutId3String(body, frame, frame.text, false);
        PutText(frames, frame.id.c_str());
        const auto size = uint32_t(frame.declaredSize >= 0 ? frame.declaredSize : int64_t(body.size()));
        PutBE32(frames, size, tag.version == 4 ? 7 : 8);
        frames.insert(frames.end(), {0, 0}); // flags
        frames.insert(frames.end(), body.begin(), body.end());
    }
    Bytes out;
    if (!tag.frames.empty()) {
        PutText(out, "ID3");
        out.insert(out.end(), {uint8_t(tag.version), 0, 0});
        PutBE32(out, uint32_t(frames.size()), 7);
        out.insert(out.end(), frames.begin(), frames.end());
    }
    out.insert(out.end(), image.begin(), image.end());
    if (tag.withV1) {
        const Id3v1 &v1 = tag.v1;
        PutText(out, "TAG");
        PutFixed(out, v1.title, 30);
        PutFixed(out, v1.artist, 30);
        PutFixed(out, v1.album, 30);
        PutFixed(out, v1.year, 4);
        PutFixed(out, v1.comment, v1.track ? 28 : 30);
        if (v1.track)
            out.insert(out.end(), {0, v1.track});
        out.push_back(v1.genre);
    }
    return out;
}

Bytes WithId3Tag(const Bytes &image, const std::string &title)
{
    Id3Tag tag;
    tag.frames = {{"TIT2", title}};
    return WithId3Tag(image, tag);
}

Bytes Mp3InWav(const Bytes &mp3, int channels, int rate)
{
    const Bytes frames = StripXingFrame(mp3);
    Bytes out;
    PutText(out, "RIFF");
    PutLE32(out, uint32_t(4 + 8 + 30 + 8 + frames.size() + (frames.size() & 1)));
    PutText(out, "WAVEfmt ");
    PutLE32(out, 30);
    PutLE16(out, 0x55);
    PutLE16(out, uint32_t(channels));
    PutLE32(out, uint32_t(rate));
    PutLE32(out, 16000); // bytes per second
    PutLE16(out, 1);     // block align
    PutLE16(out, 0);     // bits per sample
    PutLE16(out, 12);    // extra bytes: id, flags, block size, frames per block, delay
    PutLE16(out, 1);
    PutLE32(out, 2);
    PutLE16(out, uint32_t(FrameLength(frames.data())));
    PutLE16(out, 1);
    PutLE16(out, 1393);
    PutText(out, "data");
    PutLE32(out, uint32_t(frames.size()));
    out.insert(out.end(), frames.begin(), frames.end());
    if (frames.size() & 1)
        out.push_back(0);
    return out;
}

std::vector<std::pair<std::string, Bytes>> SoundFileSeeds()
{
    // libsndfile's writers know the plain left, right and center positions.
    const int FL = SF_CHANNEL_MAP_LEFT, FR = SF_CHANNEL_MAP_RIGHT, FC = SF_CHANNEL_MAP_CENTER,
              LFE = SF_CHANNEL_MAP_LFE,
              RL = SF_CHANNEL_MAP_REAR_LEFT, RR = SF_CHANNEL_MAP_REAR_RIGHT,
              SL = SF_CHANNEL_MAP_SIDE_LEFT, SR = SF_CHANNEL_MAP_SIDE_RIGHT;
    const std::vector<int> map51 = {FL, FR, FC, LFE, RL, RR};
    const std::vector<int> map71 = {FL, FR, FC, LFE, RL, RR, SL, SR};
    auto tones = [](size_t frames, int rate, int channels) {
        std::vector<double> freqs;
        for (int c = 0; c < channels; c++)
            freqs.push_back(300.0 + 170.0 * c);
        return Tones32(frames, uint32_t(rate), freqs, 0.5);
    };
    auto file = [&](size_t frames, int rate, int channels, int format,
                    const SoundFileOptions &options = {}) {
        return WriteSoundFile(tones(frames, rate, channels), channels, rate, format, options);
    };
    SoundFileOptions with51, with71, lowRate, vbr;
    with51.channelMap = map51;
    with71.channelMap = map71;
    lowRate.originalRate = 11025;
    vbr.bitrateMode = SF_BITRATE_MODE_VARIABLE;
    vbr.compression = 0.9;
    const Bytes mp3 = file(4000, 22050, 1, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, vbr);
    const Bytes mp3Stereo = file(3000, 44100, 2, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, vbr);
    // A loop in frames and as a time, a common and a free name.
    const Bytes comments = VorbisCommentBody({{"LOOPSTART", "400"}, {"loop_length", "800"}, {"LOOPEND", "0:00.03"},
                                              {"TITLE", "seed"}, {"NOTE", "caf\xc3\xa9"}});
    return {
        {"comments.flac", WithFlacComments(file(2000, 44100, 2, SF_FORMAT_FLAC | SF_FORMAT_PCM_16), comments)},
        {"comments.opus", WithOpusComments(file(4800, 48000, 2, SF_FORMAT_OGG | SF_FORMAT_OPUS), comments)},
        {"pcm16-stereo.flac", file(2000, 44100, 2, SF_FORMAT_FLAC | SF_FORMAT_PCM_16)},
        {"pcm24-51.flac", file(600, 48000, 6, SF_FORMAT_FLAC | SF_FORMAT_PCM_24)},
        {"pcm8-mono.flac", file(2000, 8000, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_S8)},
        {"mono.opus", file(4800, 48000, 1, SF_FORMAT_OGG | SF_FORMAT_OPUS)},
        {"stereo-11025.opus", file(4800, 48000, 2, SF_FORMAT_OGG | SF_FORMAT_OPUS, lowRate)},
        {"six-channels.opus", file(1920, 48000, 6, SF_FORMAT_OGG | SF_FORMAT_OPUS)},
        {"vbr-mono.mp3", mp3},
        {"id3-stereo.mp3", WithId3Tag(mp3Stereo, "seed")},
        {"tags.mp3", WithId3Tag(mp3, {4, {{"TIT2", "seed", 1}, {"TPE1", "seed", 2}, {"COMM", "seed", 3}, {"TCON", "(36)"},
                                          {"TXXX", "100", 0, "LOOPSTART"}, {"TXXX", "2000", 1, "LOOPEND"}},
                                      true, {"title", "artist", "album", "2026", "comment", 1, 36}})},
        {"no-xing.mp3", StripXingFrame(mp3Stereo)},
        {"mp3-in.wav", Mp3InWav(mp3Stereo, 2, 44100)},
        {"pcm24-51.wavex", file(400, 48000, 6, SF_FORMAT_WAVEX | SF_FORMAT_PCM_24, with51)},
        {"pcm32-stereo.wavex", file(800, 44100, 2, SF_FORMAT_WAVEX | SF_FORMAT_PCM_32)},
        {"float-71.wavex", file(200, 48000, 8, SF_FORMAT_WAVEX | SF_FORMAT_FLOAT, with71)},
        {"pcm24-mono.wav", file(1000, 22050, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_24)},
        {"alaw-stereo.wav", file(2000, 8000, 2, SF_FORMAT_WAV | SF_FORMAT_ALAW)},
        {"msadpcm-stereo.wav", file(2000, 22050, 2, SF_FORMAT_WAV | SF_FORMAT_MS_ADPCM)},
        {"gsm-mono.wav", file(1600, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_GSM610)},
        {"pcm16-stereo.rf64", file(1000, 44100, 2, SF_FORMAT_RF64 | SF_FORMAT_PCM_16)},
        {"pcm24-stereo.w64", file(1000, 44100, 2, SF_FORMAT_W64 | SF_FORMAT_PCM_24)},
        {"ulaw-51.aifc", file(400, 48000, 6, SF_FORMAT_AIFF | SF_FORMAT_ULAW, with51)},
        {"float-stereo.aifc", file(800, 44100, 2, SF_FORMAT_AIFF | SF_FORMAT_FLOAT)},
        {"pcm24-mono.aiff", file(1000, 22050, 1, SF_FORMAT_AIFF | SF_FORMAT_PCM_24)},
        {"pcm16-stereo.au", file(1000, 44100, 2, SF_FORMAT_AU | SF_FORMAT_PCM_16)},
        {"ulaw-mono.au", file(2000, 8000, 1, SF_FORMAT_AU | SF_FORMAT_ULAW)},
        {"pcm24-71.caf", file(200, 48000, 8, SF_FORMAT_CAF | SF_FORMAT_PCM_24)},
        {"alac-stereo.caf", file(1000, 44100, 2, SF_FORMAT_CAF | SF_FORMAT_ALAC_16)},
    };
}

} // namespace nvmedia
