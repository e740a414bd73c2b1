// Every built-in decoder end to end: generated files and memory images go
// through the public calls into real OpenAL buffers and streams, and what a
// loopback device renders is compared with what the file holds (the bytes
// OpenAL should be handed, played directly, or the decoding library's own
// output). Then what no decoder may take, damaged input, the I/O callbacks
// and application decoders.
#include "nvtest.h"

#ifdef NUVEX_MEDIA_SNDFILE
#include "refdecode.h"
#include "sfmedia.h"
#endif

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <stdexcept>

#include <dlfcn.h>

using namespace nvt;
using nvmedia::AiffInstrument;
using nvmedia::AiffMarkers;
using nvmedia::FmtBody;
using nvmedia::InfoList;
using nvmedia::Smpl;
using nvmedia::WriteRiff;

namespace {

struct Sound {
    std::string name;
    Bytes image;
    int channels, rate;
    ALenum format; // what OpenAL must be handed...
    Bytes payload; // ...and the bytes, in that format
    uint64_t length;
    bool module = false, libraryLeaks = false;
    int seekSteps = 0; // how far samples after a seek may be off, in 16-bit steps (MP3: see nuvex.h)
};

Bytes LE(const std::vector<int16_t> &samples) { return nvmedia::LE16Bytes(samples); }
template <typename T>
Bytes Raw(const std::vector<T> &v)
{
    return Bytes(reinterpret_cast<const uint8_t *>(v.data()), reinterpret_cast<const uint8_t *>(v.data() + v.size()));
}

// One sine per channel: easy for lossy codecs to follow.
std::vector<int16_t> Tones(size_t frames, int channels, int rate = 44100)
{
    std::vector<double> freqs;
    for (int c = 0; c < channels; c++)
        freqs.push_back(220.0 * (c + 2));
    return nvmedia::Tones16(frames, uint32_t(rate), freqs, 12000);
}

Sound Wav(const std::string &name, uint16_t tag, int channels, int rate, uint16_t bits, ALenum format,
          const Bytes &data, uint64_t length, uint16_t align = 0)
{
    align = align ? align : uint16_t(channels * bits / 8);
    return {name, nvmedia::WriteWav(tag, uint16_t(channels), uint32_t(rate), bits, align, data), channels, rate,
            format, data, length};
}

// The same stereo ramp as stored by differently arranged files; "DATA"
// stands for the data chunk.
Sound Arranged(const std::string &name, std::vector<nvmedia::Chunk> chunks, uint64_t length = 300)
{
    Bytes data = LE(Ramp(300));
    for (auto &c : chunks)
        if (c.tag == "DATA")
            c = {"data", data, c.pad, c.declared};
    return {name, WriteRiff(chunks), 2, 44100, AL_FORMAT_STEREO16, data, length};
}

Sound Aiff(const std::string &name, int channels, int bits, ALenum format, const nvmedia::AiffOptions &options = {})
{
    auto samples = Tones(700, channels);
    Bytes payload;
    for (int16_t s : samples) {
        auto q = uint16_t(nvmedia::QuantizeAiff(s, bits));
        if (bits == 8)
            payload.push_back(uint8_t((q >> 8) ^ 0x80)); // OpenAL's 8-bit is unsigned
        else
            payload.insert(payload.end(), {uint8_t(q), uint8_t(q >> 8)});
    }
    return {name, nvmedia::WriteAiff(samples, channels, 44100, bits, options), channels, 44100, format, payload, 700};
}

// libvorbisfile's decode, in OpenAL's channel order: Vorbis has the center
// second and the LFE last.
Sound Ogg(int channels, int rate, ALenum format)
{
    static const std::map<int, std::vector<int>> maps = {
        {6, {0, 2, 1, 5, 3, 4}}, {7, {0, 2, 1, 6, 5, 3, 4}}, {8, {0, 2, 1, 7, 5, 6, 3, 4}}};
    auto image = nvmedia::EncodeOgg(Tones(9000, channels, rate), channels, uint32_t(rate), 0.3f, 100 + channels);
    auto decoded = VorbisDecode(image), ordered = decoded;
    for (size_t f = 0; maps.count(channels) && f < decoded.size(); f += size_t(channels))
        for (size_t k = 0; k < size_t(channels); k++)
            ordered[f + k] = decoded[f + size_t(maps.at(channels)[k])];
    return {"ogg x" + std::to_string(channels), image, channels, rate, format, LE(ordered), 9000};
}

constexpr size_t ModuleStep = 44100 * 4; // whole loads read a second per request

std::vector<Sound> Sounds()
{
    std::vector<Sound> s;
    const ALenum pcm16[] = {0, AL_FORMAT_MONO16, AL_FORMAT_STEREO16, 0, AL_FORMAT_QUAD16, 0,
                            AL_FORMAT_51CHN16, AL_FORMAT_61CHN16, AL_FORMAT_71CHN16};
    for (int ch : {1, 2, 4, 6, 7, 8})
        s.push_back(Wav("pcm16 x" + std::to_string(ch), 1, ch, ch == 6 ? 48000 : 22050, 16, pcm16[ch],
                        LE(Ramp(300, ch)), 300));
    Bytes u8(1001);
    for (size_t i = 0; i < u8.size(); i++)
        u8[i] = uint8_t(i * 7 + i / 2 * 3);
    s.push_back(Wav("pcm8 mono, odd length", 1, 1, 8000, 8, AL_FORMAT_MONO8, u8, 1001));
    s.push_back(Wav("pcm8 stereo", 1, 2, 8000, 8, AL_FORMAT_STEREO8, Bytes(u8.begin(), u8.end() - 1), 500));
    std::vector<float> f32;
    std::vector<double> f64;
    for (int16_t v : Tones(400, 2)) {
        f32.push_back(float(v) / 40000.0f + 1e-4f);
        f64.push_back(double(v) / 40000.0 - 3e-5);
    }
    s.push_back(Wav("float32", 3, 2, 48000, 32, AL_FORMAT_STEREO_FLOAT32, Raw(f32), 400));
    s.push_back(Wav("float64", 3, 1, 48000, 64, 0x10012 /* MONO_DOUBLE */, Raw(f64), 800));
    Bytes mulaw;
    for (int16_t v : Tones(600, 2))
        mulaw.push_back(nvmedia::MulawEncode(v));
    s.push_back(Wav("mu-law", 7, 2, 8000, 8, 0x10015 /* STEREO_MULAW */, mulaw, 600));
    for (int ch : {1, 2}) {
        Bytes ima = nvmedia::ImaEncode(Tones(65 * 6, ch), ch);
        // Stereo files say 65 frames per block or, as some writers do, 130.
        for (int perBlock : {65, 65 * ch}) {
            Bytes fmt = FmtBody(0x11, uint16_t(ch), 22050, uint16_t(36 * ch), 4, 2, {uint8_t(perBlock), 0});
            s.push_back({"ima x" + std::to_string(ch) + "/" + std::to_string(perBlock),
                         WriteRiff({{"fmt ", fmt}, {"fact", {1, 2, 3, 4}}, {"data", ima}}), ch, 22050,
                         ch == 1 ? AL_FORMAT_MONO_IMA4 : AL_FORMAT_STEREO_IMA4, ima, 390});
        }
    }
    const Bytes fmt16 = FmtBody(1, 2, 44100, 4, 16), odd = {1, 2, 3, 4, 5};
    s.push_back(Arranged("extra chunks", {{"LIST", {'I', 'N', 'F', 'O', 'x'}}, {"fmt ", fmt16}, {"JUNK", {0, 0}},
                                          {"DATA", {}}, {"LIST", {'a'}}}));
    s.push_back(Arranged("data before fmt", {{"DATA", {}}, {"fmt ", fmt16}}));
    s.push_back(Arranged("short fmt skipped", {{"fmt ", {3, 0, 1, 0, 0x22, 0x56, 0, 0, 0, 0, 0, 0, 4, 0}},
                                               {"fmt ", fmt16}, {"DATA", {}}}));
    s.push_back(Arranged("empty fmt extension", {{"fmt ", FmtBody(1, 2, 44100, 4, 16, 0)}, {"DATA", {}}}));
    s.push_back(Arranged("odd chunk padded", {{"JUNK", odd}, {"fmt ", fmt16}, {"DATA", {}}}));
    s.push_back(Arranged("odd chunk unpadded", {{"JUNK", odd, false}, {"fmt ", fmt16}, {"DATA", {}}}));
    s.push_back(Arranged("odd chunk ending in 0, unpadded", {{"JUNK", {7, 7, 0}, false}, {"fmt ", fmt16}, {"DATA", {}}}));
    s.push_back(Arranged("truncated data", {{"fmt ", fmt16}, {"DATA", {}, true, 4000}}, 1000));
    s.push_back(Arranged("unknown data length", {{"fmt ", fmt16}, {"DATA", {}, true, 0xFFFFFFFF}}, 0));
    s.push_back(Arranged("data of 2 GiB", {{"fmt ", fmt16}, {"DATA", {}, true, 0x80000000}}, 0));
    // A later "fmt " without channels keeps the format but not the length.
    s.push_back(Arranged("second fmt", {{"fmt ", fmt16}, {"fmt ", FmtBody(1, 0, 44100, 4, 16)}, {"DATA", {}}}, 0));

    nvmedia::AiffOptions ssndFirst, offset, padded, unpadded;
    ssndFirst.ssndFirst = true;
    offset.ssndOffset = 6;
    padded.leadingChunks = unpadded.leadingChunks = {{"NAME", {'a', 'b', 'c'}}};
    unpadded.padOddChunks = false;
    s.push_back(Aiff("aiff 16-bit stereo", 2, 16, AL_FORMAT_STEREO16));
    s.push_back(Aiff("aiff 8-bit mono", 1, 8, AL_FORMAT_MONO8));
    s.push_back(Aiff("aiff 12-bit quad", 4, 12, AL_FORMAT_QUAD16));
    s.push_back(Aiff("aiff 8-bit 7.1", 8, 8, AL_FORMAT_71CHN8));
    s.push_back(Aiff("aiff SSND first", 2, 16, AL_FORMAT_STEREO16, ssndFirst));
    s.push_back(Aiff("aiff SSND offset", 2, 16, AL_FORMAT_STEREO16, offset));
    s.push_back(Aiff("aiff odd chunk padded", 1, 16, AL_FORMAT_MONO16, padded));
    s.push_back(Aiff("aiff odd chunk unpadded", 1, 16, AL_FORMAT_MONO16, unpadded));
    s.push_back(Aiff("aiff truncated", 2, 16, AL_FORMAT_STEREO16));
    s.back().image.resize(s.back().image.size() - 402);
    s.back().payload.resize(s.back().payload.size() - 404); // and the partial frame

    s.push_back(Ogg(1, 22050, AL_FORMAT_MONO16));
    s.push_back(Ogg(2, 44100, AL_FORMAT_STEREO16));
    s.push_back(Ogg(6, 48000, AL_FORMAT_51CHN16));
    s.push_back(Ogg(7, 44100, AL_FORMAT_61CHN16));
    s.push_back(Ogg(8, 44100, AL_FORMAT_71CHN16));
    auto chain = nvmedia::EncodeOgg(Tones(5000, 2), 2, 44100, 0.4f, 11);
    auto second = nvmedia::EncodeOgg(Tones(3000, 2), 2, 44100, 0.4f, 12);
    chain.insert(chain.end(), second.begin(), second.end());
    // Chained: plays through; the length is the first link's.
    s.push_back({"ogg chained", chain, 2, 44100, AL_FORMAT_STEREO16, LE(VorbisDecode(chain)), 5000});

#ifdef NUVEX_MEDIA_SNDFILE
    // Through libsndfile: each slot of OpenAL's layout takes the file channel
    // `order` names (the file's own order when empty); 24 bits and more, and
    // float, come out as floats, exactly.
    const double freqs[] = {220, 470, 720, 970, 1220, 1470, 1720, 1970};
    auto sf = [&](const std::string &name, int format, int ch, int rate, ALenum al, int bits,
                  std::vector<int> map = {}, std::vector<int> order = {}) {
        size_t frames = size_t(rate) * 7 / 10 + 13;
        auto src = nvmedia::Tones32(frames, uint32_t(rate), std::vector<double>(freqs, freqs + ch), 0.5);
        nvmedia::SoundFileOptions options;
        options.channelMap = map;
        Bytes payload;
        for (size_t i = 0; i < src.size(); i++) {
            int32_t x = src[i - i % size_t(ch) + (order.empty() ? i % size_t(ch) : size_t(order[i % size_t(ch)]))];
            float f = nvmedia::StoredAsFloat(x, bits);
            auto v = uint16_t(bits == 8 ? uint32_t(nvmedia::Stored(x, 8)) << 8 : uint32_t(nvmedia::Stored(x, 16)));
            bits > 16 ? payload.insert(payload.end(), reinterpret_cast<uint8_t *>(&f), reinterpret_cast<uint8_t *>(&f + 1))
                      : payload.insert(payload.end(), {uint8_t(v), uint8_t(v >> 8)});
        }
        Bytes image = nvmedia::WriteSoundFile(src, ch, rate, format, options);
        if (name.find("ID3") != std::string::npos) // as taggers prefix FLAC
            image = nvmedia::WithId3Tag(image, "nuvex");
        s.push_back({name, image, ch, rate, al, payload, frames});
    };
    enum { L = SF_CHANNEL_MAP_LEFT, R = SF_CHANNEL_MAP_RIGHT, C = SF_CHANNEL_MAP_CENTER, LFE = SF_CHANNEL_MAP_LFE,
           RL = SF_CHANNEL_MAP_REAR_LEFT, RR = SF_CHANNEL_MAP_REAR_RIGHT, RC = SF_CHANNEL_MAP_REAR_CENTER,
           SL = SF_CHANNEL_MAP_SIDE_LEFT, SR = SF_CHANNEL_MAP_SIDE_RIGHT };
    const std::vector<int> film = {0, 2, 1, 5, 3, 4}; // L C R RL RR LFE
    sf("flac 16", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2, 44100, AL_FORMAT_STEREO16, 16);
    sf("flac 8, ID3", SF_FORMAT_FLAC | SF_FORMAT_PCM_S8, 1, 8000, AL_FORMAT_MONO16, 8);
    sf("flac 24 x6", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 6, 48000, AL_FORMAT_51CHN32, 24);
    sf("flac 16 x8", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 8, 48000, AL_FORMAT_71CHN16, 16);
    sf("wavex 5.1 rear", SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, 6, 44100, AL_FORMAT_51CHN16, 16, {L, R, C, LFE, RL, RR});
    sf("wavex 5.1 side", SF_FORMAT_WAVEX | SF_FORMAT_PCM_24, 6, 44100, AL_FORMAT_51CHN32, 24, {L, R, C, LFE, SL, SR});
    sf("wavex quad", SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, 4, 44100, AL_FORMAT_QUAD16, 16, {L, R, RL, RR});
    sf("wavex 6.1", SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, 7, 44100, AL_FORMAT_61CHN16, 16, {L, R, C, LFE, RC, SL, SR});
    sf("wavex 32 x8", SF_FORMAT_WAVEX | SF_FORMAT_PCM_32, 8, 44100, AL_FORMAT_71CHN32, 32, {L, R, C, LFE, RL, RR, SL, SR});
    sf("wavex float", SF_FORMAT_WAVEX | SF_FORMAT_FLOAT, 2, 44100, AL_FORMAT_STEREO_FLOAT32, 32);
    sf("au double", SF_FORMAT_AU | SF_FORMAT_DOUBLE, 1, 44100, AL_FORMAT_MONO_FLOAT32, 32);
    sf("au 32", SF_FORMAT_AU | SF_FORMAT_PCM_32, 2, 22050, AL_FORMAT_STEREO_FLOAT32, 32);
    sf("rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_16, 2, 44100, AL_FORMAT_STEREO16, 16);
    sf("w64 24", SF_FORMAT_W64 | SF_FORMAT_PCM_24, 2, 44100, AL_FORMAT_STEREO_FLOAT32, 24);
    sf("aiff-c sowt", SF_FORMAT_AIFF | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE, 2, 44100, AL_FORMAT_STEREO16, 16);
    sf("aiff-c 5.1 film", SF_FORMAT_AIFF | SF_FORMAT_PCM_24 | SF_ENDIAN_LITTLE, 6, 48000, AL_FORMAT_51CHN32, 24,
       {L, C, R, RL, RR, LFE}, film);
    sf("caf 5.1 film", SF_FORMAT_CAF | SF_FORMAT_PCM_24, 6, 48000, AL_FORMAT_51CHN32, 24, {L, C, R, RL, RR, LFE}, film);
    // A layout of fewer channels than the file (a damaged file; libsndfile
    // then keeps a map too short for it): placed as stored.
    for (bool caf : {true, false}) {
        sf(caf ? "caf 5.1, layout of 2" : "aiff-c 5.1, layout of 2",
           (caf ? SF_FORMAT_CAF : SF_FORMAT_AIFF) | SF_FORMAT_PCM_16, 6, 44100, AL_FORMAT_51CHN16, 16,
           {L, C, R, RL, RR, LFE});
        Bytes &image = s.back().image;
        const std::string tag = caf ? "chan" : "CHAN";
        auto chan = std::search(image.begin(), image.end(), tag.begin(), tag.end());
        const uint8_t stereo[] = {0, 101, 0, 2}; // the layout tag of plain stereo
        if (chan != image.end())
            std::copy(stereo, stereo + 4, chan + (caf ? 12 : 8));
    }
    sf("caf 7.1, no layout", SF_FORMAT_CAF | SF_FORMAT_PCM_16, 8, 44100, AL_FORMAT_71CHN16, 16);
    sf("caf alac", SF_FORMAT_CAF | SF_FORMAT_ALAC_16, 2, 44100, AL_FORMAT_STEREO16, 16);
    sf("aiff dwvw 24", SF_FORMAT_AIFF | SF_FORMAT_DWVW_24, 1, 8000, AL_FORMAT_MONO_FLOAT32, 24); // seeks by decoding
    // Lossy: the codec library's own decode (Opus as float, clipped here),
    // gapless, Opus at 48 kHz in OpenAL's order; libsndfile's if none other.
    auto lossy = [&](const std::string &name, int format, int ch, int rate, double amplitude,
                     nvmedia::SoundFileOptions options, ALenum al, std::vector<int> order = {}, double seconds = 1.5) {
        auto src = nvmedia::Tones32(size_t(rate * seconds), uint32_t(rate), std::vector<double>(freqs, freqs + ch), amplitude);
        Bytes image = nvmedia::WriteSoundFile(src, ch, rate, format, options);
        if (name.find("no Xing") != std::string::npos)
            image = nvmedia::StripXingFrame(image);
        if (name.find("ID3") != std::string::npos)
            image = nvmedia::WithId3Tag(image, "nuvex");
        nvmedia::Decoded d;
        std::vector<int16_t> pcm;
        if ((format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS) {
            nvmedia::DecodeOpus(image, d, true);
            for (float f : d.f32)
                pcm.push_back(int16_t(std::max(-32768L, std::min(32767L, lrintf(f * 32768)))));
        } else if ((format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG) {
            nvmedia::DecodeMp3(image, d);
            pcm = d.s16;
        } else {
            d.channels = ch, d.rate = uint32_t(rate), d.s16 = pcm = nvmedia::ReadSoundFile16(image);
        }
        std::vector<int16_t> ordered = pcm;
        for (size_t i = 0; !order.empty() && i < pcm.size(); i++)
            ordered[i] = pcm[i - i % size_t(ch) + size_t(order[i % size_t(ch)])];
        const int steps = (format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG ? 1 : 0;
        s.push_back({name, image, ch, int(d.rate), al, LE(ordered), d.Frames(), false, false, steps});
    };
    nvmedia::SoundFileOptions plain, vbr, original;
    vbr.bitrateMode = SF_BITRATE_MODE_VARIABLE;
    original.originalRate = 11025;
    const int opus = SF_FORMAT_OGG | SF_FORMAT_OPUS, mp3 = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    lossy("opus stereo", opus, 2, 48000, 0.5, plain, AL_FORMAT_STEREO16);
    lossy("opus at full scale", opus, 2, 48000, 1.0, plain, AL_FORMAT_STEREO16);
    lossy("opus of 11025 Hz", opus, 2, 48000, 0.5, original, AL_FORMAT_STEREO16);
    lossy("opus 5.1", opus, 6, 48000, 0.5, plain, AL_FORMAT_51CHN16, {0, 2, 1, 5, 3, 4});
    lossy("opus 7.1", opus, 8, 48000, 0.5, plain, AL_FORMAT_71CHN16, {0, 2, 1, 7, 5, 6, 3, 4});
    lossy("mp3 cbr", mp3, 2, 44100, 0.5, plain, AL_FORMAT_STEREO16);
    lossy("mp3 at full scale", mp3, 2, 44100, 1.0, plain, AL_FORMAT_STEREO16);
    lossy("mp3 vbr, ID3", mp3, 2, 48000, 0.5, vbr, AL_FORMAT_STEREO16);
    lossy("mp3 vbr, no Xing", mp3, 2, 44100, 0.5, vbr, AL_FORMAT_STEREO16);
    // Mono MPEG-2 and 2.5, long enough for seeks far past the first frames.
    lossy("mp3 2.5", mp3, 1, 8000, 0.5, vbr, AL_FORMAT_MONO16, {}, 6);
    lossy("mp3 2 mono 22050", mp3, 1, 22050, 0.5, vbr, AL_FORMAT_MONO16, {}, 3);
    lossy("mp3 2 mono 16000", mp3, 1, 16000, 0.5, plain, AL_FORMAT_MONO16, {}, 3);
    lossy("gsm 6.10", SF_FORMAT_WAV | SF_FORMAT_GSM610, 1, 8000, 0.5, plain, AL_FORMAT_MONO16); // rewinds by reopening
    lossy("g.721", SF_FORMAT_WAV | SF_FORMAT_G721_32, 1, 8000, 0.5, plain, AL_FORMAT_MONO16);
#endif
    // Every tracker format libmodplug reads plays as libmodplug renders it.
    for (nvmedia::NamedImage &m : nvmedia::ModuleSeeds()) {
        if (m.name == "song.dmf" || m.name == "song.pat")
            continue; // declined: see below
        bool abc = m.name.find(".abc") != std::string::npos; // its loader leaks on every tune
        LeakChecksOff leaks(abc);
        s.push_back({m.name, m.image, 2, 44100, AL_FORMAT_STEREO16, LE(ModPlugRender(m.image, ModuleStep)), 0,
                     true, abc});
    }
    return s;
}

// OpenAL Soft 1.19 renders the last frame of every IMA4 block from memory it
// never wrote; those frames say nothing about our data.
Floats Masked(Floats v, const Sound &s)
{
    for (size_t f = 64; (s.format == AL_FORMAT_MONO_IMA4 || s.format == AL_FORMAT_STEREO_IMA4) &&
                        f * size_t(s.channels) < v.size();
         f += 65)
        std::fill_n(v.begin() + long(f) * s.channels, s.channels, 0.0f);
    return v;
}

TEST(Decoders, EveryLayoutLoadsAndStreamsAsTheFileHoldsIt)
{
    for (const Sound &s : Sounds()) {
        SCOPED_TRACE(s.name);
        LeakChecksOff leaks(s.libraryLeaks);
        Loopback dev(s.channels, s.rate);
        ASSERT_TRUE(dev.ok());
        ALuint direct = 0;
        alGenBuffers(1, &direct);
        alBufferData(direct, s.format, s.payload.data(), ALsizei(s.payload.size()), s.rate);
        const Floats expected = Masked(PlayBuffer(dev, direct), s);
        const std::string path = TempFile("sound.bin", s.image);
        auto fresh = [&] { s.module ? FreshModPlugMixer(s.image) : void(); };
        // Loaded alone, in a batch (the same name twice: two threads decode
        // it at once; once for a module, whose mixer state two decodes would
        // share) and in the background.
        // A library's own leak on a worker escapes this thread's LeakChecksOff.
        for (int way = 0; way < (s.libraryLeaks ? 3 : 5); way++) {
            SCOPED_TRACE(way);
            fresh();
            std::vector<ALuint> buffers(s.module ? 1 : 2, 0);
            std::vector<Delivery> delivered(1);
            const char *names[] = {path.c_str(), path.c_str()};
            if (way == 0)
                buffers = {nuvexCreateBufferFromMemory(s.image.data(), ALsizei(s.image.size()))};
            else if (way == 1)
                buffers = {nuvexCreateBufferFromFile(path.c_str())};
            else if (way == 2)
                EXPECT_EQ(nuvexCreateBuffersFromFiles(names, ALsizei(buffers.size()), buffers.data()), ALsizei(buffers.size()));
            else if (way == 3 ? nuvexCreateBufferFromFileAsync(path.c_str(), Delivery::Callback, &delivered[0])
                              : nuvexCreateBufferFromMemoryAsync(s.image.data(), ALsizei(s.image.size()), Delivery::Callback, &delivered[0]))
                buffers = {Delivered(delivered) ? delivered[0].buffer : 0};
            for (ALuint buffer : buffers) {
                ASSERT_NE(buffer, 0u) << Err() << delivered[0].error;
                EXPECT_EQ(Describe(buffer), Describe(direct));
                EXPECT_TRUE(Masked(PlayBuffer(dev, buffer), s) == expected);
                alDeleteBuffers(1, &buffer);
            }
        }
        // Streamed in chunks that never line up with the decoder's own, then
        // again after a rewind from the end and one from the middle.
        fresh();
        nuvexStream *stream = nuvexCreateStreamFromFile(path.c_str(), s.module ? ALsizei(ModuleStep) : 1001 * s.channels * 2, 0, nullptr);
        ASSERT_NE(stream, nullptr) << Err();
        EXPECT_EQ(nuvexGetStreamLength(stream), s.length);
        EXPECT_EQ(nuvexGetStreamFrequency(stream), s.rate);
        EXPECT_TRUE(Masked(PlayStream(dev, stream, 3), s) == expected);
        for (size_t batches : {All, size_t(1)}) {
            fresh();
            ASSERT_TRUE(nuvexRewindStream(stream)) << Err();
            EXPECT_TRUE(Same(expected, 0, Masked(PlayStream(dev, stream, 2, batches), s)));
        }
        // Seeks to the first frames, a block edge, the middle and the last
        // frame play on from there exactly (IMA ADPCM from the block's
        // start), and what the input really holds ends at `total`.
        // libmodplug ends a song with the read it ends in, so a module's
        // last frames depend on how reads split: its last point is the middle.
        const bool ima = s.format == AL_FORMAT_MONO_IMA4 || s.format == AL_FORMAT_STEREO_IMA4;
        const size_t ch = size_t(s.channels), total = expected.size() / ch, last = s.module ? total / 2 : total - 1;
        for (size_t frame : {size_t(0), size_t(1), ima ? size_t(130) : std::min<size_t>(1001, last), total / 2, last}) {
            SCOPED_TRACE(frame);
            fresh();
            ASSERT_TRUE(nuvexSetStreamPosition(stream, frame)) << Err();
            const size_t landed = ima ? frame / 65 * 65 : frame;
            EXPECT_EQ(nuvexGetStreamPosition(stream), landed);
            Floats got = Masked(PlayStream(dev, stream, 2, s.module ? 1 : All), s), want = Slice(expected, landed * ch);
            if (s.module) // a second's worth, as far as the song goes
                got.resize(std::min(got.size(), want.size())), want.resize(got.size());
            EXPECT_TRUE(got.size() == want.size() && std::equal(got.begin(), got.end(), want.begin(), [&](float a, float b) {
                            return std::fabs(a - b) * 32768 <= float(s.seekSteps) * 1.001f; }));
        }
        for (uint64_t past : {uint64_t(total), ~uint64_t(0)}) {
            EXPECT_FALSE(nuvexSetStreamPosition(stream, past));
            EXPECT_EQ(Err(), "Position past the end");
        }
        EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
        alDeleteBuffers(1, &direct);
        EXPECT_EQ(alGetError(), AL_NO_ERROR);
    }
}

// ---- Loop points and tags ---------------------------------------------------

// A file that names a loop or tags, and what the library must make of it.
struct Named {
    std::string name;
    Bytes image;
    int channels, rate;
    uint64_t loopStart = 0, loopEnd = 0; // both 0: no loop points
    // Tags asked for, and the value expected (null: absent).
    std::vector<std::pair<const char *, const char *>> tags;
    int steps = 0; // how far samples at a join may be off, in 16-bit steps (MP3)
};

Bytes WavWith(int channels, size_t frames, std::vector<nvmedia::Chunk> before, std::vector<nvmedia::Chunk> after = {})
{
    std::vector<nvmedia::Chunk> chunks = {{"fmt ", FmtBody(1, uint16_t(channels), 44100, uint16_t(2 * channels), 16)}};
    chunks.insert(chunks.end(), before.begin(), before.end());
    chunks.push_back({"data", LE(Tones(frames, channels))});
    chunks.insert(chunks.end(), after.begin(), after.end());
    return WriteRiff(chunks);
}

nvmedia::Chunk Text(const char *tag, const std::string &text) { return {tag, Bytes(text.begin(), text.end())}; }

// A stereo tone of `seconds` in a format that stores Vorbis comments
// ("vorbis", "opus", "flac"), with `comments`; for FLAC and Opus, a `body`
// given is stored as the comment block instead. Opus is at 48 kHz whatever
// rate its header says it was fed (`fedRate`).
Bytes Commented(const std::string &codec, double seconds, const nvmedia::Comments &comments, Bytes body = {},
                int fedRate = 0)
{
    const int rate = codec == "opus" ? 48000 : 44100;
    const auto frames = size_t(rate * seconds);
    if (codec == "vorbis")
        return nvmedia::EncodeOgg(Tones(frames, 2), 2, uint32_t(rate), 0.4f, 1, comments);
#ifdef NUVEX_MEDIA_SNDFILE
    body = body.empty() ? nvmedia::VorbisCommentBody(comments) : body;
    const auto tones = nvmedia::Tones32(frames, uint32_t(rate), {440, 660}, 0.5);
    nvmedia::SoundFileOptions fed;
    fed.originalRate = fedRate;
    if (codec == "opus")
        return nvmedia::WithOpusComments(nvmedia::WriteSoundFile(tones, 2, rate, SF_FORMAT_OGG | SF_FORMAT_OPUS, fed), body);
    return nvmedia::WithFlacComments(nvmedia::WriteSoundFile(tones, 2, rate, SF_FORMAT_FLAC | SF_FORMAT_PCM_16), body);
#else
    throw std::invalid_argument(codec + " needs the libsndfile media writers");
#endif
}

std::vector<Named> NamedFiles()
{
    std::vector<Named> n;
    const std::vector<std::pair<const char *, const char *>> info = {
        {"TITLE", "Caf\xc3\xa9 Theme"}, {"artist", "N. Composer"}, {"Album", "Levels"}, {"DATE", "2026"},
        {"TRACKNUMBER", "7"}, {"GENRE", "Game"}, {"COMMENT", "loops"}, {"COPYRIGHT", "(c) nobody"}, {"LOOPSTART", nullptr}};
    n.push_back({"wav smpl after the data, INFO in Latin-1", WavWith(2, 3000, {},
                 {Smpl({{1, 5, 9}, {0, 1000, 2299}}), InfoList({{"INAM", "Caf\xe9 Theme"}, {"IART", "N. Composer"},
                  {"IPRD", "Levels"}, {"ICRD", "2026"}, {"ITRK", "7"}, {"IGNR", "Game"}, {"ICMT", "loops"}, {"ICOP", "(c) nobody"}})}),
                 2, 44100, 1000, 2300, info});
    n.push_back({"wav smpl before the data, mono, INFO in UTF-8", WavWith(1, 4000, {Smpl({{0, 0, 3999}}),
                 InfoList({{"INAM", "Caf\xc3\xa9 Theme"}})}), 1, 44100, 0, 4000, {{"title", "Caf\xc3\xa9 Theme"}, {"ARTIST", nullptr}}});
    // No loop points where they make no sense; never a failed load.
    for (const auto &bad : std::vector<std::pair<std::string, nvmedia::Chunk>>{
             {"end past the length", Smpl({{0, 100, 3000}})}, {"start after the end", Smpl({{0, 2000, 1000}})},
             {"backward loops only", Smpl({{1, 100, 200}, {2, 300, 400}})},
             {"a million loops claimed, one there", Smpl({{1, 100, 200}}, 1000000)},
             {"cut short", {"smpl", Bytes(30, 0)}}})
        n.push_back({"wav smpl, " + bad.first, WavWith(2, 3000, {}, {bad.second}), 2, 44100, 0, 0, {{"TITLE", nullptr}}});
    n.push_back({"wav INFO of invalid UTF-8 and cut short", WavWith(1, 3000, {}, {InfoList({{"INAM", "\xff\xfe" "ab"}, {"IART", std::string(3, 'x')}})}),
                 1, 44100, 0, 0, {{"TITLE", "\xc3\xbf\xc3\xbe" "ab"}, {"ARTIST", "xxx"}}});
    Bytes claims = {'I', 'N', 'F', 'O', 'I', 'N', 'A', 'M', 0xF0, 0xFF, 0xFF, 0xFF, 'a', 'b'}; // 4 GiB of title, 2 bytes there
    n.push_back({"wav INFO claiming gigabytes", WavWith(1, 3000, {}, {{"LIST", claims, false, 0xFFFFFFF8}}), 1, 44100, 0, 0, {{"TITLE", nullptr}}});

    // AIFF sustain loops (INST through MARK) and text chunks; then the
    // containers read through libsndfile.
    const auto aiff = [](int channels, std::vector<nvmedia::Chunk> leading, std::vector<nvmedia::Chunk> trailing) {
        nvmedia::AiffOptions o;
        o.leadingChunks = std::move(leading);
        o.trailingChunks = std::move(trailing);
        return nvmedia::WriteAiff(Tones(3000, channels), channels, 44100, 16, o);
    };
    const std::vector<nvmedia::Chunk> text = {Text("NAME", "Caf\xe9 Theme"), Text("AUTH", "N. Composer"), Text("(c) ", "(c) nobody"),
                                              Text("ANNO", "loops"), Text("ANNO", "second")};
    const std::vector<std::pair<const char *, const char *>> textTags = {
        {"TITLE", "Caf\xc3\xa9 Theme"}, {"ARTIST", "N. Composer"}, {"COPYRIGHT", "(c) nobody"}, {"COMMENT", "loops"}};
    std::vector<nvmedia::Chunk> after = {AiffMarkers({{7, 2300}, {3, 1000}}), AiffInstrument(1, 3, 7)};
    after.insert(after.end(), text.begin(), text.end());
    n.push_back({"aiff INST/MARK after the sound, text in Latin-1", aiff(2, {}, after), 2, 44100, 1000, 2300, textTags});
    n.push_back({"aiff INST before MARK before the sound, mono, text in UTF-8",
                 aiff(1, {AiffInstrument(1, 1, 2), AiffMarkers({{1, 0}, {2, 3000}}), Text("NAME", "Caf\xc3\xa9 Theme")}, {}), 1, 44100, 0, 3000,
                 {{"title", "Caf\xc3\xa9 Theme"}, {"ARTIST", nullptr}}});
    static const std::string megabyte(1 << 20, 'x');
    // Bytes that begin no character, an overlong '/', a surrogate and a code
    // past U+10FFFF each become U+FFFD byte by byte; the smallest two-byte
    // character and a four-byte one stay.
    const char *const bad8 = "\xff\xfe" "ab" "\xc0\xaf" "\xed\xa0\x80" "\xf4\x90\x80\x80" "\xc2\x80" "\xf0\x9f\x8e\xb5";
    static const std::string fffd = "\xef\xbf\xbd", replacedText = fffd + fffd + "ab" + fffd + fffd + fffd + fffd + fffd +
                                                              fffd + fffd + fffd + fffd + "\xc2\x80" "\xf0\x9f\x8e\xb5";
    const char *const replaced8 = replacedText.c_str();
    n.push_back({"aiff, 65535 markers claimed, two there; 1 MiB of ANNO", aiff(2, {AiffMarkers({{1, 100}, {2, 2000}}, 65535), AiffInstrument(1, 1, 2)},
                 {Text("ANNO", megabyte)}), 2, 44100, 100, 2000, {{"COMMENT", megabyte.c_str()}}});
    n.push_back({"aiff, NAME claiming 2 GiB at the end", nvmedia::WithChunks(aiff(2, {}, {}), {{"NAME", {'c', 'u', 't'}, true, 0x7FFFFFF0}}),
                 2, 44100, 0, 0, {{"TITLE", "cut"}}});
    auto cutMark = AiffMarkers({{1, 100}, {2, 2000}});
    cutMark.body.resize(cutMark.body.size() - 3);
    for (const auto &bad : std::vector<std::pair<std::string, std::vector<nvmedia::Chunk>>>{
             {"INST naming missing markers", {AiffMarkers({{1, 100}, {2, 2000}}), AiffInstrument(1, 3, 4)}},
             {"no MARK", {AiffInstrument(1, 1, 2)}},
             {"markers out of order", {AiffMarkers({{1, 2000}, {2, 100}}), AiffInstrument(1, 1, 2)}},
             {"end marker at 0", {AiffMarkers({{1, 100}, {2, 0}}), AiffInstrument(1, 1, 2)}},
             {"MARK cut inside a marker", {cutMark, AiffInstrument(1, 1, 2)}},
             {"forward-backward loop", {AiffMarkers({{1, 100}, {2, 2000}}), AiffInstrument(2, 1, 2)}},
             {"INST cut short", {AiffMarkers({{1, 100}, {2, 2000}}), {"INST", Bytes(12, 0)}}}})
        n.push_back({"aiff, " + bad.first, aiff(2, {}, bad.second), 2, 44100, 0, 0, {{"TITLE", nullptr}}});
#ifdef NUVEX_MEDIA_SNDFILE
    const auto sf = [](int channels, int rate, int format, const std::vector<nvmedia::Chunk> &chunks) {
        auto tones = nvmedia::Tones32(3000, uint32_t(rate), std::vector<double>(size_t(channels), 330.0), 0.4);
        return nvmedia::WithChunks(nvmedia::WriteSoundFile(tones, channels, rate, format), chunks);
    };
    n.push_back({"wav 24-bit (libsndfile), smpl and INFO in Latin-1 after the data", sf(2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_24,
                 {Smpl({{1, 5, 9}, {0, 1000, 2299}}), InfoList({{"INAM", "Caf\xe9 Theme"}, {"IART", "N. Composer"}, {"IPRD", "Levels"},
                  {"ICRD", "2026"}, {"ITRK", "7"}, {"IGNR", "Game"}, {"ICMT", "loops"}, {"ICOP", "(c) nobody"}})}),
                 2, 44100, 1000, 2300, info});
    std::vector<std::array<uint32_t, 3>> many(40, {1, 100, 200});
    many[9] = {0, 300, 1199};
    n.push_back({"wav 24-bit (libsndfile), smpl of 1000 loops claimed, 40 there, the 10th forward",
                 sf(1, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_24, {Smpl(many, 1000)}), 1, 44100, 300, 1200, {}});
    n.push_back({"aiff-c mu-law (libsndfile), INST/MARK and text after the sound", sf(2, 44100, SF_FORMAT_AIFF | SF_FORMAT_ULAW, after),
                 2, 44100, 1000, 2300, textTags});
    // A decoder that cannot jump keeps a loop from frame 0 only.
    n.push_back({"wav GSM 6.10, a loop from 0", sf(1, 8000, SF_FORMAT_WAV | SF_FORMAT_GSM610, {Smpl({{0, 0, 1599}})}), 1, 8000, 0, 1600, {}});
    n.push_back({"wav GSM 6.10, a loop from 640", sf(1, 8000, SF_FORMAT_WAV | SF_FORMAT_GSM610, {Smpl({{0, 640, 1599}})}), 1, 8000, 0, 0, {}});
    for (const auto &bad : std::vector<std::pair<std::string, nvmedia::Chunk>>{
             {"wav 24-bit, smpl cut short", {"smpl", Bytes(30, 0)}},
             {"wav 24-bit, smpl ending at 2^32-1", Smpl({{0, 100, 0xFFFFFFFF}})},
             {"aiff 24-bit, INST without MARK", AiffInstrument(1, 1, 2)}})
        n.push_back({bad.first + " (libsndfile)", sf(1, 44100, (bad.first[0] == 'w' ? SF_FORMAT_WAV : SF_FORMAT_AIFF) | SF_FORMAT_PCM_24, {bad.second}),
                     1, 44100, 0, 0, {{"TITLE", nullptr}}});
#endif

    // Vorbis comments: the same rows for each format that stores them.
    std::vector<std::string> codecs = {"vorbis"};
#ifdef NUVEX_MEDIA_SNDFILE
    codecs.insert(codecs.end(), {"opus", "flac"});
#endif
    const char *cafe = "Caf\xc3\xa9 \xe2\x99\xab";
    for (const std::string &c : codecs) {
        const uint64_t r = c == "opus" ? 48000 : 44100;
        const auto at = [&](uint64_t frames) { return std::to_string(frames); };
        const auto row = [&](const std::string &what, Bytes image, uint64_t start, uint64_t end,
                             std::vector<std::pair<const char *, const char *>> tags) {
            n.push_back({c + " " + what, std::move(image), 2, int(r), start, end, std::move(tags)});
        };
        row("LOOPSTART and LOOPLENGTH, common and free names", Commented(c, 3, {{"LOOPSTART", at(r * 9 / 4)},
            {"LOOPLENGTH", at(r / 2)}, {"TITLE", cafe}, {"ARTIST", "N. Composer"}, {"ALBUM", "Levels"}, {"DATE", "2026"},
            {"ENCODER_NOTE", "free"}}), r * 9 / 4, r * 11 / 4, {{"title", cafe}, {"Artist", "N. Composer"},
            {"ALBUM", "Levels"}, {"DATE", "2026"}, {"encoder_note", "free"}, {"GENRE", nullptr}});
        Bytes image = Commented(c, 2, {{"loop_start", at(r / 4)}, {"Loop_End", at(r)}, {"TRACKNUMBER", "7"},
                                       {"GENRE", "Game"}, {"COMMENT", "loops"}, {"COPYRIGHT", "(c) nobody"}});
#ifdef NUVEX_MEDIA_SNDFILE
        if (c == "flac")
            image = nvmedia::WithId3Tag(image, "id3");
#endif
        row("loop_start and Loop_End" + std::string(c == "flac" ? ", behind an ID3v2 tag" : ""), image, r / 4, r,
            {{"TRACKNUMBER", "7"}, {"GENRE", "Game"}, {"COMMENT", "loops"}, {"COPYRIGHT", "(c) nobody"}});
        // Opus counts at 48 kHz even from 44.1 kHz input.
        row("loop as times", Commented(c, 2, {{"LOOPSTART", "0:00.5"}, {"LOOPEND", " 0:00:01.25\t"}}, {}, 44100),
            r / 2, r * 5 / 4, {{"LOOPEND", " 0:00:01.25\t"}});
        static const std::vector<std::pair<const char *, nvmedia::Comments>> badLoops = {
                 {"garbage", {{"LOOPSTART", "12abc"}, {"LOOPLENGTH", "100"}}},
                 {"negative", {{"LOOPSTART", "-100"}, {"LOOPEND", "1000"}}},
                 {"past 64 bits", {{"LOOPSTART", "18446744073709551617"}, {"LOOPEND", "1000"}}},
                 {"with a huge length", {{"LOOPSTART", "1000"}, {"LOOPLENGTH", "999999999999999999"}}},
                 {"after its end", {{"LOOPSTART", "2000"}, {"LOOPEND", "1000"}}},
                 {"ending past the length", {{"LOOPSTART", "0"}, {"LOOPEND", "100000"}}}};
        for (const auto &bad : badLoops)
            row(std::string("LOOPSTART ") + bad.first, Commented(c, 1, bad.second), 0, 0,
                {{"LOOPSTART", bad.second[0].second.c_str()}});
        // The start alone loops to the end.
        row("1 MB comment, invalid UTF-8", Commented(c, 1, {{"COMMENT", megabyte}, {"TITLE", bad8},
            {"LOOPSTART", at(r / 2)}}), r / 2, r, {{"COMMENT", megabyte.c_str()}, {"TITLE", replaced8}});
        if (c != "flac")
            continue;
        // libvorbis and libsndfile's Opus reader refuse a damaged comment
        // header (no stream at all); libFLAC passes it over.
        Bytes cut = nvmedia::VorbisCommentBody({{"LOOPSTART", at(r / 4)}, {"LOOPEND", at(r / 2)}, {"TITLE", "kept"},
                                                {"ARTIST", "cut off"}});
        cut.resize(cut.size() - 5);
        row("comment block cut short", Commented(c, 1, {}, cut), r / 4, r / 2, {{"TITLE", "kept"}, {"ARTIST", nullptr}});
        // The store's bound on names, once.
        nvmedia::Comments names;
        for (int i = 0; i < 5000; i++)
            names.push_back({"N" + std::to_string(i), "v"});
        row("5000 names, the first 4096 kept", Commented(c, 1, names), 0, 0, {{"n0", "v"}, {"N4095", "v"}, {"N4096", nullptr}});
    }
    Bytes chain = nvmedia::EncodeOgg(Tones(30000, 2), 2, 44100, 0.4f, 1, {{"TITLE", "first"}, {"LOOPSTART", "10000"},
                                                                        {"LOOPEND", "20000"}});
    const Bytes second = nvmedia::EncodeOgg(Tones(30000, 2), 2, 44100, 0.4f, 2, {{"TITLE", "second"}, {"ARTIST", "second"}});
    chain.insert(chain.end(), second.begin(), second.end());
    n.push_back({"vorbis chain: the first link's comments", chain, 2, 44100, 10000, 20000, {{"TITLE", "first"}, {"ARTIST", nullptr}}});

    // MP3 (ID3v2 frames in every text encoding, ID3v1 under them), MIDI
    // markers and texts, a module's title.
#ifdef NUVEX_MEDIA_SNDFILE
    const Bytes mp3 = nvmedia::WriteSoundFile(nvmedia::Tones32(52920, 44100, {220, 470}, 0.5), 2, 44100,
                                              SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III);
    using Frames = std::vector<nvmedia::Id3Frame>;
    auto id3 = [&](int version, Frames frames, bool withV1 = false, nvmedia::Id3v1 v1 = {}) {
        return nvmedia::WithId3Tag(mp3, {version, std::move(frames), withV1, v1});
    };
    enum { Latin1, Utf16, Utf16BE, Utf8 };
    const char *const note = "Caf\xc3\xa9 \xf0\x9f\x8e\xb5"; // past the 16-bit plane: a surrogate pair in UTF-16
    nvmedia::Id3v1 v1 = {"Old Title   ", "Old Artist", "Old Album", "1999", "old comment", 3, 17};
    // Loops past the first 16 MPEG frames land one step off (see nuvex.h).
    n.push_back({"mp3 TXXX loop, ID3v2.3 in UTF-16 and Latin-1 over ID3v1", id3(3, {{"TIT2", note, Utf16},
                 {"TPE1", "\xc3\x89ric", Latin1}, {"TALB", "Levels", Utf16}, {"TYER", "2026"}, {"TCON", "(36)"},
                 {"COMM", "-12.5 dB", Latin1, "Normalise"}, {"COMM", "loops", Utf16}, {"TCOP", "(c) nobody", Utf16},
                 {"TXXX", "20000", Latin1, "LOOPSTART"}, {"TXXX", "22050", Utf16, "LoopLength"}, {"TXXX", "nuvex", Latin1, "Engine"}}, true, v1),
                 2, 44100, 20000, 42050, {{"title", note}, {"ARTIST", "\xc3\x89ric"}, {"ALBUM", "Levels"}, {"DATE", "2026"},
                 {"GENRE", "Game"}, {"COMMENT", "loops"}, {"COPYRIGHT", "(c) nobody"}, {"engine", "nuvex"}, {"TRACKNUMBER", "3"}}, 1});
    n.push_back({"mp3 TXXX loop as times, ID3v2.4 in UTF-8 and UTF-16BE", id3(4, {{"TIT2", note, Utf8}, {"TPE1", "\xc3\x89ric", Utf16BE},
                 {"TDRC", "2026-02-03", Utf8}, {"TRCK", "7/9"}, {"TXXX", "0:00.25", Utf8, "LOOP_START"}, {"TXXX", "30000", Utf16BE, "loop_end"}}),
                 2, 44100, 11025, 30000, {{"TITLE", note}, {"ARTIST", "\xc3\x89ric"}, {"DATE", "2026-02-03"}, {"TRACKNUMBER", "7/9"}}, 1});
    n.push_back({"mp3 ID3v1.1 only, Latin-1", id3(3, {}, true, {"Caf\xe9", "Artist  ", "Album", "1999", "A comment", 5, 36}), 2, 44100, 0, 0,
                 {{"TITLE", "Caf\xc3\xa9"}, {"ARTIST", "Artist"}, {"ALBUM", "Album"}, {"DATE", "1999"}, {"COMMENT", "A comment"},
                 {"TRACKNUMBER", "5"}, {"GENRE", "Game"}, {"LOOPSTART", nullptr}}});
    // Hostile: no loop where the tags make none; a frame whose size runs
    // past the tag ends the tag there.
    nvmedia::Id3Frame tooLong("TALB", "Levels");
    tooLong.declaredSize = 1000;
    n.push_back({"mp3 TXXX LOOPSTART garbage, then a frame size past the tag", id3(3, {{"TIT2", "Kept"}, {"TXXX", "12ab", Latin1, "LOOPSTART"},
                 {"TXXX", "30000", Latin1, "LOOPEND"}, tooLong, {"TPE1", "Lost"}}), 2, 44100, 0, 0,
                 {{"LOOPSTART", "12ab"}, {"TITLE", "Kept"}, {"ALBUM", nullptr}, {"ARTIST", nullptr}}});
    // UTF-16 without its mark reads as big-endian: "Ti" written little-endian
    // becomes U+5400 U+6900; "\xd8!" then starts with a lone surrogate, which
    // leaves no text, so ID3v1 names the album.
    nvmedia::Id3Frame title("TIT2", "Ti", Utf16), album("TALB", "\xc3\x98!", Utf16);
    title.bom = album.bom = false;
    n.push_back({"mp3 UTF-16 without a byte-order mark", id3(3, {title, album, {"TPE1", "Artist"}}, true, v1), 2, 44100, 0, 0,
                 {{"TITLE", "\xe5\x90\x80\xe6\xa4\x80"}, {"ALBUM", "Old Album"}, {"ARTIST", "Artist"}}});
#endif
    // MIDI at 480 ticks a quarter note: 0.5 s a beat, then twice as fast
    // from tick 480 (loopStart, 0.5 s) to loopEnd at tick 960 (0.75 s). A
    // seek drops notes begun before it (see nuvex.h), so no note may sound
    // at loopStart for the loop to repeat what a straight decode plays.
    using nvmedia::MidiEvent;
    const auto meta = nvmedia::MidiText;
    const std::vector<MidiEvent> notes = {{0, {0xB0, 91, 0}}, {0, {0xB0, 93, 0}}, {96, {0x90, 69, 100}}, {384, {0x80, 69, 0}},
                                          {600, {0x90, 81, 100}}, {840, {0x80, 81, 0}}, {1000, {0x90, 69, 100}}, {1200, {0x80, 69, 0}}};
    auto midi = [&](std::vector<MidiEvent> first, std::vector<MidiEvent> second) {
        first.push_back(nvmedia::MidiTempo(0, 500000));
        first.push_back(nvmedia::MidiTempo(480, 250000));
        second.insert(second.end(), notes.begin(), notes.end());
        return nvmedia::WriteMidi(1, 480, {nvmedia::MidiTrack(first), nvmedia::MidiTrack(second, false, 1400)});
    };
    const uint64_t midiEnd = 22050 + 920 * 11025 / 480; // the second track ends at tick 1400
    n.push_back({"midi markers (the first of each), first track's name, copyright in Latin-1",
                 midi({meta(0, 3, "Caf\xe9 Theme"), meta(0, 2, "(c) nobody"), meta(480, 6, "loopStart"), meta(960, 6, "loopEnd"),
                       meta(1000, 6, "loopStart"), meta(1100, 6, "loopEnd")},
                      {meta(0, 3, "Piano"), meta(0, 2, "(c) other")}),
                 2, 44100, 22050, 33075, {{"TITLE", "Caf\xc3\xa9 Theme"}, {"COPYRIGHT", "(c) nobody"}}});
    n.push_back({"midi loopStart alone, in a later track; the first track's name empty",
                 midi({meta(0, 3, "")}, {meta(0, 3, "Piano"), meta(480, 6, "LOOPSTART")}), 2, 44100, 22050, midiEnd,
                 {{"TITLE", "Piano"}, {"COPYRIGHT", nullptr}}});
    // Names are cut at 4096 bytes, where a character starts.
    std::string longName = "x";
    for (int i = 0; i < 2100; i++)
        longName += "\xc3\xa9";
    static const std::string cut = longName.substr(0, 4095);
    n.push_back({"midi markers out of order, a name of 4201 bytes", midi({meta(480, 6, "loopEnd"), meta(960, 6, "loopStart")},
                 {meta(0, 3, longName)}), 2, 44100, 0, 0, {{"TITLE", cut.c_str()}}});
    nvmedia::ModSpec song = nvmedia::DemoModule(1);
    song.title = "Caf\xe9 Tune";
    n.push_back({"module title in Latin-1, no loop points", nvmedia::WriteMod(song), 2, 44100, 0, 0, {{"TITLE", "Caf\xc3\xa9 Tune"}}});
    return n;
}

// Each source of loop points and tags: the stream reports them; played
// with loop count 2 it sounds as the intro and body, the body twice more
// and the outro of its straight decode; a whole buffer carries the loop.
TEST(Decoders, FilesNameTheirLoopsAndTags)
{
    setenv("NUVEX_SOUNDFONT", TempFile("named.sf2", nvmedia::WriteSoundFont()).c_str(), 1); // for the MIDI rows
    for (const Named &f : NamedFiles()) {
        SCOPED_TRACE(f.name);
        Loopback dev(f.channels, f.rate);
        ASSERT_TRUE(dev.ok());
        const ALsizei chunk = 1001 * f.channels * 2; // joins fall inside chunks
        nuvexStream *stream = nuvexCreateStreamFromMemory(f.image.data(), ALuint(f.image.size()), chunk, 0, nullptr);
        ASSERT_NE(stream, nullptr) << Err();
        nuvexUInt64 start = 7, end = 7;
        ASSERT_TRUE(nuvexGetStreamLoopPoints(stream, &start, &end)) << Err();
        EXPECT_EQ(start, f.loopStart);
        EXPECT_EQ(end, f.loopEnd);
        for (const auto &tag : f.tags) {
            const ALchar *value = nuvexGetStreamTag(stream, tag.first);
            EXPECT_EQ(value ? std::string(value) : "(none)", tag.second ? tag.second : "(none)") << tag.first;
        }
        EXPECT_EQ(Err(), "No error");
        const Floats straight = PlayStream(dev, stream, 3);
        const size_t frames = straight.size() / size_t(f.channels);
        ALuint whole = nuvexCreateBufferFromMemory(f.image.data(), ALsizei(f.image.size()));
        ASSERT_NE(whole, 0u) << Err();
        ALint points[2] = {-1, -1};
        alGetBufferiv(whole, AL_LOOP_POINTS_SOFT, points);
        EXPECT_EQ(points[0], ALint(f.loopStart));
        // Without loop points, the buffer's whole (a module's whole load
        // renders in larger requests, and libmodplug's length follows them).
        EXPECT_EQ(points[1], ALint(f.loopEnd ? f.loopEnd : FramesOf(whole)));
        if (!f.loopEnd) {
            alDeleteBuffers(1, &whole);
            EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
            continue;
        }
        const Floats want = Gather(straight, f.channels, LoopedFrames(frames, f.loopStart, f.loopEnd, 2));
        // A looping source plays the intro and then the body; switched off
        // halfway through the third body, it plays on to the buffer's end.
        ALuint source = DirectSource();
        alSourcei(source, AL_BUFFER, ALint(whole));
        alSourcei(source, AL_LOOPING, AL_TRUE);
        alSourcePlay(source);
        const size_t looping = f.loopEnd + (f.loopEnd - f.loopStart) * 3 / 2;
        Floats heard = dev.Render(looping);
        alSourcei(source, AL_LOOPING, AL_FALSE);
        const Floats rest = dev.Render(want.size() / size_t(f.channels) - looping);
        heard.insert(heard.end(), rest.begin(), rest.end());
        EXPECT_TRUE(heard == want) << "the whole buffer";
        alSourcei(source, AL_BUFFER, 0);
        alDeleteBuffers(1, &whole);
        ASSERT_TRUE(nuvexRewindStream(stream));
        EndLog log;
        Driver drv{dev, 512};
        ASSERT_TRUE(nuvexPlaySourceStream(source, stream, 3, 2, EndLog::Callback, &log)) << Err();
        drv.RunUntil([&] { return log.calls > 0; }, want.size() / size_t(f.channels) + 10000);
        drv.out.resize(std::max(drv.out.size(), want.size()));
        EXPECT_TRUE(std::equal(want.begin(), want.end(), drv.out.begin(), [&](float a, float b) {
            return std::fabs(a - b) * 32768 <= float(f.steps) * 1.001f; }));
        EXPECT_EQ(log.calls, 1);
        alDeleteSources(1, &source);
        EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
    }
}

// Input no decoder can play correctly is unknown input, from memory, from a
// file and as a stream, with nothing left behind.
// ---- Batches and loads in the background ----------------------------------

// Each file of a batch, and each load in the background, gives what a load of
// it alone gives: the same buffer (size, format, loop points, sound) or the
// same reason; bad files fail alone, a name given twice loads twice. With
// one thread and with several; callbacks come once each, from the update on
// this thread, and no failure on a worker reaches the last error.
TEST(Decoders, BatchesAndLoadsInTheBackgroundMatchLoadsAlone)
{
    setenv("NUVEX_SOUNDFONT", TempFile("batch.sf2", nvmedia::WriteSoundFont()).c_str(), 1);
    Loopback dev;
    ASSERT_TRUE(dev.ok());
    // Modules share libmodplug's mixer state across loads, and OpenAL Soft
    // renders IMA4 block ends from unwritten memory: both play differently
    // each time, so they are left to the case above.
    std::vector<std::string> names;
    std::vector<Bytes> images;
    for (const Sound &s : Sounds())
        if (!s.module && s.format != AL_FORMAT_MONO_IMA4 && s.format != AL_FORMAT_STEREO_IMA4)
            images.push_back(s.image);
    for (const Named &f : NamedFiles())
        if (f.name.find("module") == std::string::npos)
            images.push_back(f.image);
    const Bytes wav = nvmedia::WriteWav16(Ramp(500), 2, 44100);
    images.insert(images.end(), {Bytes(64, 0x55), Bytes(), Bytes(wav.begin(), wav.begin() + 30)});
    for (size_t i = 0; i < images.size(); i++)
        names.push_back(TempFile("batch" + std::to_string(i), images[i]));
    names.insert(names.end(), {"/nonexistent/a.wav", names[0]});

    struct Outcome {
        std::vector<ALint> format;
        ALint loop[2] = {0, 0};
        Floats sound;
        std::string error;
        bool operator==(const Outcome &o) const
        {
            return format == o.format && loop[0] == o.loop[0] && loop[1] == o.loop[1] && sound == o.sound && error == o.error;
        }
    };
    auto outcome = [&](ALuint buffer, const std::string &error) {
        Outcome o;
        o.error = error;
        if (buffer) {
            o.format = Describe(buffer);
            alGetBufferiv(buffer, AL_LOOP_POINTS_SOFT, o.loop);
            o.sound = PlayBuffer(dev, buffer);
            alDeleteBuffers(1, &buffer);
        }
        return o;
    };
    std::vector<Outcome> alone, aloneInMemory;
    for (const std::string &name : names) {
        const ALuint buffer = nuvexCreateBufferFromFile(name.c_str());
        alone.push_back(outcome(buffer, buffer ? "" : Err()));
    }
    for (const Bytes &image : images) {
        const ALuint buffer = nuvexCreateBufferFromMemory(image.data(), ALsizei(image.size()));
        aloneInMemory.push_back(outcome(buffer, buffer ? "" : Err()));
    }
    const size_t firstBad = size_t(std::find_if(alone.begin(), alone.end(), [](const Outcome &o) { return !o.error.empty(); }) - alone.begin());
    ASSERT_LT(firstBad, names.size());
    const ALsizei good = ALsizei(std::count_if(alone.begin(), alone.end(), [](const Outcome &o) { return o.error.empty(); }));

    for (ALsizei threads : {1, 3}) {
        SCOPED_TRACE(threads);
        ASSERT_TRUE(nuvexSetLoadThreads(threads));
        std::vector<const char *> list;
        for (const std::string &name : names)
            list.push_back(name.c_str());
        std::vector<ALuint> buffers(names.size(), 77);
        EXPECT_EQ(nuvexCreateBuffersFromFiles(list.data(), ALsizei(list.size()), buffers.data()), good);
        EXPECT_EQ(Err(), names[firstBad] + ": " + alone[firstBad].error);
        for (size_t i = 0; i < names.size(); i++)
            EXPECT_TRUE(outcome(buffers[i], alone[i].error) == alone[i]) << names[i];

        if (threads == 1)
            continue; // loads in the background have a worker of their own either way
        std::vector<Delivery> fromFiles(names.size()), fromMemory(images.size());
        for (size_t i = 0; i < names.size(); i++)
            ASSERT_TRUE(nuvexCreateBufferFromFileAsync(list[i], Delivery::Callback, &fromFiles[i]));
        for (size_t i = 0; i < images.size(); i++)
            ASSERT_TRUE(nuvexCreateBufferFromMemoryAsync(images[i].data(), ALsizei(images[i].size()), Delivery::Callback, &fromMemory[i]));
        ASSERT_TRUE(Delivered(fromFiles) && Delivered(fromMemory));
        for (int i = 0; i < 20; i++)
            nuvexUpdate();
        EXPECT_EQ(Err(), "No error");
        for (auto *set : {&fromFiles, &fromMemory})
            for (size_t i = 0; i < set->size(); i++) {
                const Delivery &d = (*set)[i];
                EXPECT_EQ(d.calls, 1);
                EXPECT_EQ(d.thread, std::this_thread::get_id());
                EXPECT_TRUE(outcome(d.buffer, d.error) == (set == &fromFiles ? alone : aloneInMemory)[i]) << names[i] << " " << d.error;
            }
    }
    EXPECT_TRUE(nuvexSetLoadThreads(0));
}

TEST(Decoders, UnusableInputsAreUnsupportedAndLeaveNothingBehind)
{
    NullDevice dev;
    auto wav = [](uint16_t tag, uint16_t channels, uint16_t bits, uint16_t align, Bytes extra = {}, int cbSize = -1) {
        return WriteRiff({{"fmt ", FmtBody(tag, channels, 8000, align, bits, extra.empty() ? cbSize : int(extra.size()), extra)},
                          {"data", Bytes(size_t(align) * 65, 0x55)}});
    };
    Bytes msadpcm = {0xF4, 1, 7, 0}; // samples per block, then seven coefficient pairs
    for (int c : {256, 0, 512, -256, 0, 0, 192, 64, 240, 0, 460, -208, 392, -232})
        msadpcm.insert(msadpcm.end(), {uint8_t(c), uint8_t(uint16_t(c) >> 8)});
    const Bytes fmt16 = FmtBody(1, 2, 44100, 4, 16), data = LE(Ramp(100));
    Bytes notWave = WriteRiff({{"fmt ", fmt16}, {"data", data}}), rifx = notWave;
    memcpy(&notWave[8], "AVI ", 4);
    memcpy(&rifx[0], "RIFX", 4);
    auto tones = Tones(500, 2);
    nvmedia::AiffOptions aifc, junk;
    aifc.formType = "AIFC";
    junk.leadingChunks = {{"JUNK", Bytes(8, 0)}};
    auto aiffChunkOf = [&](uint32_t length) { // the JUNK chunk's length is at 16
        auto image = nvmedia::WriteAiff(tones, 2, 44100, 16, junk);
        for (int i = 0; i < 4; i++)
            image[size_t(16 + i)] = uint8_t(length >> (24 - 8 * i));
        return image;
    };
    Bytes aiff = nvmedia::WriteAiff(tones, 2, 44100, 16), aiff24 = aiff;
    aiff24[27] = 24;
    // A type-1 file going on in running status right after a meta event
    // (the shape that crashed libmodplug's MIDI reader).
    Bytes midi = nvmedia::WriteMidi(1, 96, {{0, 0xFF, 0x51, 3, 0x07, 0xA1, 0x20, 0, 0xFF, 0x2F, 0},
                                            {0, 0xC0, 0, 0, 0x90, 0x3C, 0x64, 0x10, 0xFF, 0x01, 2, 'h', 'i', 0x60,
                                             0x3C, 0, 0, 0x40, 0x64, 0x60, 0x40, 0, 0, 0xFF, 0x2F, 0}});
    // MIDI files the MIDI decoder declines: format 2, no timing, a cut
    // header, RIFF-MIDI without its "data" chunk.
    Bytes format2 = midi, untimed = midi, rmid = WriteRiff({{"DATA", midi}}), text(3000);
    format2[9] = 2;
    untimed[12] = untimed[13] = 0;
    memcpy(&rmid[8], "RMID", 4);
    for (size_t i = 0; i < text.size(); i++)
        text[i] = uint8_t("plain text, not a sound "[i % 24]);
    // A chained Ogg file whose second link is a first page and no more.
    Bytes broken = nvmedia::EncodeOgg(Tones(4410, 2), 2, 44100, 0.4f, 1),
          link = nvmedia::EncodeOgg(Tones(2205, 1, 22050), 1, 22050, 0.4f, 2);
    broken.insert(broken.end(), link.begin(), link.begin() + 27 + link[26] + std::accumulate(&link[27], &link[27] + link[26], 0));
    Bytes dmf, pat;
    for (const auto &m : nvmedia::ModuleSeeds()) {
        dmf = m.name == "song.dmf" ? m.image : dmf;
        pat = m.name == "song.pat" ? m.image : pat;
    }
    // List chunks: sizes that run past the list or the input have kept
    // libsndfile's open busy for minutes.
    auto withList = [&](const Bytes &list, int64_t declared = -1) {
        return WriteRiff({{"fmt ", FmtBody(1, 2, 8000, 6, 24)}, {"LIST", list, true, declared}, {"data", Bytes(390, 0x55)}});
    };
    Bytes pastInput(40, 0xFF), pastList = {'I', 'N', 'F', 'O'};
    pastInput[36] = 0xDF;
    pastList.resize(20, 0xFF);
    pastList[16] = 0xF7;
    // Those marked true are read by the libsndfile decoder where it is built.
    const struct {
        std::string name;
        Bytes image;
        bool sndfile;
    } inputs[] = {
        {"wav 24-bit", wav(1, 2, 24, 6), true},
        {"wav 32-bit integer", wav(1, 1, 32, 4), true},
        {"wav 24-bit with a list of tags", withList({'I', 'N', 'F', 'O', 'I', 'N', 'A', 'M', 5, 0, 0, 0, 't', 'u', 'n', 'e', 0, 0}), true},
        {"wav 24-bit, an ID3v1 tag appended", [&] { Bytes b = wav(1, 2, 24, 6), tag(128, ' ');
                                                    memcpy(tag.data(), "TAGSong", 7);
                                                    b.insert(b.end(), tag.begin(), tag.end());
                                                    return b; }(), true},
        {"wav extensible", wav(0xFFFE, 1, 16, 2, {16, 0, 4, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71}), true},
        {"wav A-law", wav(6, 1, 8, 1), true},
        {"wav MS ADPCM", wav(2, 1, 4, 256, msadpcm), true},
        {"wav pcm16 3 channels", wav(1, 3, 16, 6), false},
        {"wav float 16-bit", wav(3, 2, 16, 4), false},
        {"wav mu-law 5 channels", wav(7, 5, 8, 5), false},
        {"wav mu-law 3 channels", wav(7, 3, 8, 3), false},
        {"wav mu-law 16-bit", wav(7, 1, 16, 2), true},
        {"wav ima 1017 per block", wav(0x11, 1, 4, 512, {0xF9, 3}), true},
        {"wav ima 64 per block", wav(0x11, 1, 4, 36, {64, 0}), false},
        {"wav ima 3 channels", wav(0x11, 3, 4, 108, {65, 0}), false},
        {"wav ima without extension", wav(0x11, 1, 4, 36), false},
        {"wav ima extension cut off", wav(0x11, 1, 4, 36, {}, 2), false},
        {"wav block align 0", WriteRiff({{"fmt ", FmtBody(1, 2, 44100, 0, 16)}, {"data", data}}), true},
        {"wav no data", WriteRiff({{"fmt ", fmt16}}), false},
        {"wav no fmt", WriteRiff({{"data", data}}), false},
        {"wav fmt after truncated data", WriteRiff({{"data", data, true, 100000}, {"fmt ", fmt16}}), false},
        {"not WAVE", notWave, false},
        {"RIFX", rifx, false},
        {"AIFF-C", nvmedia::WriteAiff(tones, 2, 44100, 16, aifc), true},
        {"aiff 24-bit", aiff24, true},
        {"aiff 3 channels", nvmedia::WriteAiff(Tones(500, 3), 3, 44100, 16), false},
        {"aiff chunk of 2^31", aiffChunkOf(0x80000000u), false},
        {"aiff chunk of 2^32-1", aiffChunkOf(0xFFFFFFFFu), false},
        {"aiff chunk of 2^31-1", aiffChunkOf(0x7FFFFFFFu), false},
        {"aiff without SSND", Bytes(aiff.begin(), aiff.begin() + 38), false},
        {"aiff header only", Bytes(aiff.begin(), aiff.begin() + 12), false},
        {"X-Tracker DMF (libmodplug may hang on it)", dmf, false},
        {"GUS patch (libmodplug may crash on it)", pat, false},
        {"ogg chain with a broken second link", broken, false},
        {"MIDI format 2", format2, false},
        {"MIDI of 0 ticks per quarter note", untimed, false},
        {"MIDI header cut short", Bytes(midi.begin(), midi.begin() + 13), false},
        {"RIFF-MIDI without data", rmid, false},
#ifdef NUVEX_MEDIA_SNDFILE
        {"flac of 5 channels", nvmedia::WriteSoundFile(nvmedia::Tones32(900, 8000, {220, 330, 440, 550, 660}, 0.5), 5, 8000, SF_FORMAT_FLAC | SF_FORMAT_PCM_16), false},
        {"wavex with a map OpenAL has no slots for",
         [] { nvmedia::SoundFileOptions o;
              o.channelMap = {SF_CHANNEL_MAP_LEFT, SF_CHANNEL_MAP_RIGHT, SF_CHANNEL_MAP_CENTER, SF_CHANNEL_MAP_LFE,
                              SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER, SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER};
              return nvmedia::WriteSoundFile(std::vector<int32_t>(600, 1 << 20), 6, 8000, SF_FORMAT_WAVEX | SF_FORMAT_PCM_24, o); }(),
         false},
        {"wav 24-bit, a list claiming 4 GiB (libsndfile may hang on it)", withList(pastInput, 0xFFFFFF04), false},
        {"wav 24-bit, a list's sub-chunks past its end (libsndfile may hang on it)", withList(pastList), false},
        {"mp3 in RIFF/WAVE", nvmedia::Mp3InWav(nvmedia::WriteSoundFile(nvmedia::Tones32(8000, 44100, {440}, 0.5), 1, 44100, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III), 1, 44100), false},
        {"mp3 frame header, then junk", [&] { Bytes b = text; b[0] = 0xFF, b[1] = 0xFB, b[2] = 0x90, b[3] = 0x64; return b; }(), false},
        {"ID3 tag, then junk", nvmedia::WithId3Tag(text, "not a sound"), false},
#endif
        {"text", text, false},
        {"empty", {}, false},
    };
#ifdef NUVEX_MEDIA_SNDFILE
    const bool sndfile = true;
#else
    const bool sndfile = false;
#endif
    for (const auto &input : inputs) {
        SCOPED_TRACE(input.name);
        // libvorbisfile loses its list of links declining the broken chain.
        LeakChecksOff leaks(input.name.find("broken") != std::string::npos);
        const Bytes &image = input.image;
        const ALuint next = NextBufferName();
        ALuint bufs[2] = {};
        if (input.sndfile && sndfile) {
            ALuint buffer = nuvexCreateBufferFromMemory(image.data(), ALsizei(image.size()));
            EXPECT_GT(FramesOf(buffer), 0u) << Err();
            alDeleteBuffers(1, &buffer);
            continue;
        }
        EXPECT_EQ(nuvexCreateBufferFromMemory(image.data(), ALsizei(image.size())), 0u);
        EXPECT_EQ(Err(), "Unsupported type");
        EXPECT_EQ(nuvexCreateStreamFromFile(TempFile("unusable", image).c_str(), 4096, 2, bufs), nullptr);
        EXPECT_EQ(Err(), "Unsupported type");
        EXPECT_FALSE(alIsBuffer(next)) << "a buffer was left behind";
        EXPECT_EQ(alGetError(), AL_NO_ERROR);
    }
}

// Inputs too large to be real, served by virtual files: declined without
// being read through, and never with positions wrapped to 32 bits.
TEST(Decoders, HugeInputsAreDeclinedUnread)
{
    NullDevice dev;
    MemFiles fs;
    Bytes mod = nvmedia::WriteMod(nvmedia::DemoModule(1));
    fs.files["small.mod"] = {mod, 1 << 20};
    fs.files["huge.mod"] = {mod, (uint64_t(256) << 20) + 1};
    // A JUNK chunk, then the sound, starting just below and just past 2^31.
    for (uint32_t junk : {0x7FFFFF00u, 0x80000000u}) {
        Bytes head = WriteRiff({{"fmt ", FmtBody(1, 2, 44100, 4, 16)}, {"JUNK", {}, true, junk}});
        uint64_t at = head.size() + uint64_t(junk);
        fs.files[junk & 0x80000000 ? "past.wav" : "below.wav"] = {head, at + 16, at, {'d', 'a', 't', 'a', 8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}};
    }
    nvmedia::AiffOptions options;
    options.leadingChunks = {{"JUNK", {}}};
    for (uint32_t junk : {0x7FFFFF00u, 0x7FFFFFF0u}) { // AIFF chunks stay below 2^31: the offset crosses it
        Bytes aiff = nvmedia::WriteAiff(Tones(4, 2), 2, 44100, 16, options);
        for (int i = 0; i < 4; i++) // the JUNK chunk's length is at 16, its body at 20
            aiff[size_t(16 + i)] = uint8_t(junk >> (24 - 8 * i));
        fs.files[junk == 0x7FFFFFF0u ? "past.aiff" : "below.aiff"] = {Bytes(aiff.begin(), aiff.begin() + 20), aiff.size() + junk, 20 + uint64_t(junk), Bytes(aiff.begin() + 20, aiff.end())};
    }
    for (std::string name : {"small.mod", "huge.mod", "below.wav", "past.wav", "below.aiff", "past.aiff"}) {
        fs.bytesRead = 0;
        nuvexStream *stream = nuvexCreateStreamFromFile(name.c_str(), 4096, 0, nullptr);
        bool declined = name.find("huge") == 0 || name.find("past") == 0;
#ifdef NUVEX_MEDIA_SNDFILE
        declined = declined && name != "past.aiff"; // the AIFF decoder declines it, libsndfile reads it
#endif
        EXPECT_EQ(stream == nullptr, declined) << name << Err();
        EXPECT_LT(fs.bytesRead, uint64_t(2) << 20) << name;
        EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
    }
    EXPECT_EQ(fs.opens, fs.closes);
}

// A whole load past what one alBufferData call takes (its size is an
// ALsizei) fails cleanly rather than wrapping. The decoder claims its bytes
// without writing them, so that the test costs little more than the pages.
TEST(Decoders, WholeLoadsPastTwoGibFail)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "2 GiB of pages: the normal build checks it";
#endif
    NullDevice dev;
    static uint64_t left;
    auto open = [](const ALubyte *, ALuint) -> void * { return &left; };
    auto format = [](void *, ALenum *f, ALuint *rate, ALuint *block) -> ALboolean {
        *f = AL_FORMAT_STEREO16, *rate = 44100, *block = 4;
        return AL_TRUE;
    };
    auto decode = [](void *, ALubyte *, ALuint bytes) -> ALuint {
        ALuint n = ALuint(std::min<uint64_t>(bytes, left));
        left -= n;
        return n;
    };
    ASSERT_TRUE(nuvexInstallDecodeCallbacks(-1, nullptr, open, format, decode, nullptr, nullptr));
    const ALubyte byte = 0;
    left = uint64_t(0x80000000);
    EXPECT_EQ(nuvexCreateBufferFromMemory(&byte, 1), 0u);
    EXPECT_EQ(Err(), "Sound too large to load whole");
    EXPECT_EQ(alGetError(), AL_NO_ERROR);
    nuvexInstallDecodeCallbacks(-1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
}

TEST(Decoders, ModuleOrdersRewindsAndReloadsMatchLibmodplug)
{
    Loopback dev;
    nvmedia::ModSpec song = nvmedia::DemoModule(5);
    for (auto &pattern : song.patterns)
        pattern.notes.push_back({0, 3, 0, 0, 0xF, 2}); // speed 2: 2.6 s a pattern
    MemFiles fs;
    const Bytes image = nvmedia::WriteMod(song);
    fs.Add("song.mod", image);
    const size_t chunk = 4 * 4410, limit = chunk * 12;
    auto render = [&](int order) { return ToFloat(ModPlugRender(image, chunk, order, limit)); };
    const Floats fromStart = render(-1);
    nuvexStream *stream = nuvexCreateStreamFromFile("song.mod", ALsizei(chunk), 0, nullptr);
    ASSERT_NE(stream, nullptr) << Err();
    EXPECT_TRUE(PlayStream(dev, stream, 2, 6) == fromStart);
    for (ALuint order : {3u, 1u, 0u, 200u, 0x7FFFFFFFu}) { // those past the song are libmodplug's to handle
        SCOPED_TRACE(order);
        const Floats expected = render(int(order));
        EXPECT_TRUE(order >= 5 || (order == 0) == (expected == fromStart));
        ASSERT_TRUE(nuvexSetStreamPosition(stream, 1000)) << Err(); // what the seek read ahead is dropped
        FreshModPlugMixer(image);
        ASSERT_TRUE(nuvexSetStreamOrder(stream, order)) << Err();
        EXPECT_TRUE(PlayStream(dev, stream, 2, 6) == expected);
        FreshModPlugMixer(image);
        ASSERT_TRUE(nuvexRewindStream(stream)) << Err(); // back to the order, not the start
        EXPECT_TRUE(PlayStream(dev, stream, 2, 6) == expected);
        FreshModPlugMixer(image);
    }
    fs.failReadsFrom = 0; // an input that can no longer be read keeps its module
    EXPECT_FALSE(nuvexSetStreamOrder(stream, 2));
    EXPECT_EQ(Err(), "Could not reload data");
    EXPECT_EQ(PlayStream(dev, stream, 2, 1).size(), chunk);
    fs.failReadsFrom = -1;
    EXPECT_TRUE(nuvexSetStreamOrder(stream, 2)) << Err();
    EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
    // A text tune libmodplug loads even at 31 bytes is handed over from 32 on.
    const char tune[] = "X:1\nT:t\nK:C\nCDEFGABc|cBAGFEDC|\n\n";
    LeakChecksOff leaks; // its loader leaks inside libmodplug
    for (ALuint length : {31u, 32u}) {
        nuvexStream *s = nuvexCreateStreamFromMemory(reinterpret_cast<const ALubyte *>(tune), length, 4096, 0, nullptr);
        EXPECT_EQ(s != nullptr, length == 32) << Err();
        EXPECT_TRUE(nuvexDestroyStream(s, 0, nullptr));
    }
}

// Every prefix and a few hundred damaged copies of each format, whole and
// streamed: survival under the sanitizers, and no OpenAL error left.
TEST(Decoders, DamagedInputsFailCleanlyOrPlay)
{
    NullDevice dev;
    nvmedia::ModSpec song = nvmedia::DemoModule(3);
    for (auto &pattern : song.patterns) // one-tick rows broken off after two: short even when damaged
        pattern.notes.insert(pattern.notes.end(), {{0, 3, 0, 0, 0xF, 1}, {1, 3, 0, 0, 0xD, 0}});
    auto gains = nvmedia::EncodeOgg(Tones(3000, 1), 1, 44100, 0.1f, 1), later = nvmedia::EncodeOgg(Tones(4000, 8), 8, 44100, 0.1f, 2);
    gains.insert(gains.end(), later.begin(), later.end()); // a chain that gains channels
    const Bytes images[] = {nvmedia::WriteWav16(Tones(400, 2), 2, 44100),
                            WriteRiff({{"fmt ", FmtBody(0x11, 2, 22050, 72, 4, 2, {65, 0})},
                                       {"data", nvmedia::ImaEncode(Tones(130, 2), 2)}}),
                            nvmedia::WriteAiff(Tones(400, 2), 2, 44100, 16),
                            nvmedia::EncodeOgg(Tones(6000, 6), 6, 44100, 0.1f), gains, nvmedia::WriteMod(song)};
    std::mt19937 rng(20261206);
    for (const Bytes &image : images) {
        // A damaged later link makes libvorbisfile lose its list of links.
        LeakChecksOff leaks(&image == &images[4]);
        size_t loaded = 0;
        auto load = [&](const Bytes &bytes) {
            ALuint buffer = nuvexCreateBufferFromMemory(bytes.data(), ALsizei(bytes.size()));
            loaded += buffer != 0;
            alDeleteBuffers(buffer ? 1 : 0, &buffer);
            ALuint bufs[2] = {};
            if (nuvexStream *s = nuvexCreateStreamFromMemory(bytes.data(), ALuint(bytes.size()), 4096, 2, bufs)) {
                while (nuvexBufferDataFromStream(s, 2, bufs) > 0) {
                }
                nuvexRewindStream(s);
                nuvexDestroyStream(s, 2, bufs);
            }
            Err();
            EXPECT_EQ(alGetError(), AL_NO_ERROR) << "a damaged input left an OpenAL error";
        };
        for (size_t keep = 0; keep < image.size(); keep += keep < 64 ? 1 : 97)
            load(Bytes(image.begin(), image.begin() + long(keep)));
        for (int i = 1; i <= 150; i++) {
            Bytes damaged(image);
            for (int edit = 0; edit <= i % 8; edit++) {
                size_t at = rng() % damaged.size();
                const uint8_t values[] = {uint8_t(rng()), uint8_t(damaged[at] ^ (1u << (rng() % 8))), 0, 0xFF, 0x7F};
                for (size_t k = at; k < std::min(at + (rng() % 2 ? 4 : 1), damaged.size()); k++)
                    damaged[k] = values[rng() % 5];
            }
            load(damaged);
        }
        EXPECT_GT(loaded, 0u);
    }
}

// Files read through an application's I/O callbacks: every read at most
// 1024 bytes, every file closed, failing reads and seeks handled, and a
// table change reaching only files opened after it.
TEST(FileIO, ApplicationCallbacksServeEveryRead)
{
    Loopback dev;
    auto samples = Ramp(8000);
    const Floats expected = ToFloat(samples);
    const std::string path = TempFile("io.wav", nvmedia::WriteWav16(samples, 2, 44100));
    nuvexStream *stdioStream = nuvexCreateStreamFromFile(path.c_str(), 4000, 0, nullptr);
    {
        MemFiles fs;
        fs.Add("a.wav", nvmedia::WriteWav16(samples, 2, 44100));
        fs.Add(path, nvmedia::WriteWav16(Ramp(2000, 1), 1, 8000)); // same name, another sound
        fs.Add("junk.bin", Bytes(5000, 'x'));
        EXPECT_FALSE(nuvexSetIOCallbacks(nullptr, [](void *) {}, nullptr, nullptr, nullptr));
        EXPECT_EQ(Err(), "Missing callback functions"); // and the table stays
        for (ALuint overclaim : {0u, 100000u}) {
            fs.overclaim = overclaim; // a read that claims more than it was asked is clamped
            ALuint buffer = nuvexCreateBufferFromFile("a.wav");
            EXPECT_TRUE(PlayBuffer(dev, buffer) == expected) << Err();
            alDeleteBuffers(1, &buffer);
        }
        fs.overclaim = 0;
        EXPECT_LE(fs.largestRead, 1024u);
        nuvexStream *stream = nuvexCreateStreamFromFile("a.wav", 4000, 0, nullptr);
        EXPECT_TRUE(PlayStream(dev, stream, 2, 1) == Slice(expected, 0, 4000));
        fs.failSeeks = true;
        EXPECT_FALSE(nuvexRewindStream(stream));
        EXPECT_EQ(Err(), "Seek failed");
        EXPECT_FALSE(nuvexSetStreamPosition(stream, 10));
        EXPECT_EQ(Err(), "Stream cannot seek");
        fs.failSeeks = false;
        ASSERT_TRUE(nuvexRewindStream(stream));
        fs.failReadsFrom = 20000; // a read error ends the sound where it struck
        EXPECT_TRUE(PlayStream(dev, stream, 2) == Slice(expected, 0, (20000 - 44) / 4 * 2));
        EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
        nuvexStream *other = nuvexCreateStreamFromFile(path.c_str(), 4000, 0, nullptr);
        EXPECT_EQ(nuvexGetStreamFrequency(other), 8000);
        EXPECT_TRUE(nuvexDestroyStream(other, 0, nullptr));
        // Unknown names and input nobody accepts are closed before the call returns.
        EXPECT_EQ(nuvexCreateBufferFromFile("missing.wav"), 0u);
        EXPECT_EQ(Err(), "Failed to open file");
        EXPECT_EQ(nuvexCreateBufferFromFile("junk.bin"), 0u);
        EXPECT_EQ(Err(), "Unsupported type");
        EXPECT_EQ(fs.opens, fs.closes);
        EXPECT_EQ(UsingSTDIO, 0);
    }
    EXPECT_EQ(UsingSTDIO, 1);
    EXPECT_TRUE(PlayStream(dev, stdioStream, 2) == expected) << "opened before: still stdio";
    EXPECT_TRUE(nuvexDestroyStream(stdioStream, 0, nullptr));
    EXPECT_EQ(nuvexCreateBufferFromFile(nullptr), 0u);
    EXPECT_EQ(Err(), "Failed to open file");
}

// Application decoders: where the search tries them, what it leaves, how
// much of their output reaches OpenAL, and that each handle is closed once.
TEST(AppDecoders, SearchOrderOutputAndHandles)
{
    Loopback dev;
    const Bytes wav = nvmedia::WriteWav16(Ramp(100), 2, 44100), junk(100, 'x');
    // Each answers with its own rate; -1 comes before the built-in decoders,
    // 3 after them, and a second install at 3 replaces the first.
    for (int tag = 0; tag < 3; tag++) {
        App(tag).rate = ALuint(1000 + tag);
        App(tag).pcm = LE(Ramp(50));
    }
    ASSERT_TRUE(InstallApp(0, 3) && InstallApp(1, 3) && InstallApp(2, -1));
    auto rateOf = [&](const Bytes &image) {
        nuvexStream *s = nuvexCreateStreamFromMemory(image.data(), ALuint(image.size()), 400, 0, nullptr);
        ALsizei rate = s ? nuvexGetStreamFrequency(s) : 0;
        nuvexDestroyStream(s, 0, nullptr);
        return rate;
    };
    EXPECT_EQ(rateOf(wav), 1002);
    App(2).acceptMemory = false;
    EXPECT_EQ(rateOf(wav), 44100);
    EXPECT_EQ(rateOf(junk), 1001);        // after the built-in decoders declined,
    EXPECT_EQ(Err(), "Unsupported type"); // which is left though a decoder took it
    App(1).acceptMemory = false;
    EXPECT_EQ(rateOf(junk), 0);
    EXPECT_EQ(App(0).openMems + App(0).openFiles, 0);
    App(1).acceptFiles = App(2).acceptFiles = false; // a null name reaches them only
    EXPECT_EQ(nuvexCreateBufferFromFile(nullptr), 0u);
    EXPECT_EQ(Err(), "Failed to open file");
    EXPECT_EQ(App(1).nullNames + App(2).nullNames, 2);
    for (int tag = 0; tag < 3; tag++)
        EXPECT_EQ(App(tag).opened, App(tag).closes) << tag;

    // What reaches OpenAL: whole blocks of everything the decoder gives, in
    // any pieces, until it says 0; at 8000 Hz each decode has room for 32000
    // bytes, and one that claims more is taken at its word up to that room.
    ASSERT_TRUE(InstallApp(3, -2, false));
    const struct {
        size_t bytes;
        ALuint perCall, overclaim, block;
        ALint size;
    } rows[] = {{0, 0, 0, 4, 0},           {3, 0, 0, 4, 0},                  {32003, 0, 0, 4, 32000},
                {40237, 333, 0, 4, 40236}, {32800, 0, 100000, 4, 64000}, {20, 0, 0, 8, 16}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.bytes);
        Loopback slow(2, 8000);
        App(3).pcm = LE(Ramp(row.bytes / 4 + 1));
        App(3).pcm.resize(row.bytes);
        App(3).rate = 8000, App(3).perCall = row.perCall, App(3).overclaim = row.overclaim, App(3).block = row.block;
        ALuint buffer = nuvexCreateBufferFromMemory(wav.data(), ALsizei(wav.size()));
        EXPECT_EQ(Describe(buffer), (std::vector<ALint>{row.size, 8000, 16, 2})) << Err();
        EXPECT_TRUE(row.overclaim || Same(PlayBuffer(slow, buffer), 0, Slice(ToFloat(Ramp(row.bytes / 4)), 0, size_t(row.size) / 2)));
        alDeleteBuffers(1, &buffer);
    }
    alcMakeContextCurrent(dev.context);
    const Floats all = ToFloat(Ramp(80));
    App(3) = AppSound();
    App(3).pcm = LE(Ramp(80));
    // Without a rewind callback a rewind (and order 0) fails; the stream goes on.
    nuvexStream *s = nuvexCreateStreamFromFile(TempFile("app.wav", wav).c_str(), 160, 0, nullptr);
    EXPECT_TRUE(PlayStream(dev, s, 1, 1) == Slice(all, 0, 80));
    EXPECT_FALSE(nuvexRewindStream(s));
    EXPECT_EQ(Err(), "Rewind failed");
    EXPECT_FALSE(nuvexSetStreamOrder(s, 0));
    EXPECT_EQ(Err(), "Rewind failed");
    EXPECT_TRUE(nuvexSetStreamPatchset(s, "any"));
    EXPECT_TRUE(PlayStream(dev, s, 1, 1) == Slice(all, 80));
    EXPECT_TRUE(nuvexDestroyStream(s, 0, nullptr));
    EXPECT_EQ(App(3).closes, 0);
    // With one, seeks decode forward from where the stream stands, and
    // rewind only for a frame behind it. A decoder that calls back into the
    // library on its own stream during such a seek is refused, not waited for.
    ASSERT_TRUE(InstallApp(3, -2, true));
    s = nuvexCreateStreamFromMemory(wav.data(), ALuint(wav.size()), 160, 0, nullptr);
    std::string inDecode;
    App(3).onDecode = [&] {
        if (nuvexGetStreamFrequency(s) == 0)
            inDecode = Err();
    };
    for (nuvexUInt64 frame : {20u, 30u, 31u, 10u}) {
        ASSERT_TRUE(nuvexSetStreamPosition(s, frame)) << Err();
        EXPECT_EQ(App(3).rewinds, frame == 10 ? 1 : 0) << frame;
    }
    EXPECT_EQ(inDecode, "Stream is busy");
    App(3).onDecode = nullptr;
    EXPECT_TRUE(PlayStream(dev, s, 1, 1) == Slice(all, 10 * 2, 10 * 2 + 80));
    // A rewind drops the block a seek read ahead.
    ASSERT_TRUE(nuvexSetStreamPosition(s, 20) && nuvexRewindStream(s));
    EXPECT_TRUE(PlayStream(dev, s, 1, 1) == Slice(all, 0, 80));
    EXPECT_TRUE(nuvexDestroyStream(s, 0, nullptr));
    ASSERT_TRUE(nuvexInstallDecodeCallbacks(-2, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(rateOf(wav), 44100);
}


// ---- MIDI through FluidSynth ---------------------------------------------------

// Font A plays key 69 as a 440 Hz sine; font B as a square an octave down.
Bytes FontA() { return nvmedia::WriteSoundFont(); }
Bytes FontB()
{
    nvmedia::SoundFontSpec b;
    b.rootKey = 81, b.square = true;
    return nvmedia::WriteSoundFont(b);
}

struct MidiNote {
    double on, off, hz;
    bool leftOnly;
};
using nvmedia::MidiEvent;
// Effect sends off, so that a note ends where its note-off is.
std::vector<MidiEvent> Dry(uint8_t channel, std::vector<MidiEvent> events)
{
    events.insert(events.begin(), {{0, {uint8_t(0xB0 | channel), 91, 0}}, {0, {uint8_t(0xB0 | channel), 93, 0}}});
    return events;
}

// Each note sounds from its note-on to its note-off (within 3 ms), at its
// pitch (within 0.5%), on its channels; silence around it.
void ExpectNotes(const Floats &v, const std::vector<MidiNote> &notes)
{
    for (const MidiNote &n : notes)
        for (size_t ch : {0, 1}) {
            SCOPED_TRACE(std::to_string(n.on) + " s, channel " + std::to_string(ch));
            double sum = 0, crossings = 0;
            auto rms = [&](double from, double to) {
                sum = crossings = 0;
                for (auto f = size_t(from * 44100); f < size_t(to * 44100); f++)
                    sum += double(v[f * 2 + ch]) * v[f * 2 + ch], crossings += (v[f * 2 - 2 + ch] < 0) != (v[f * 2 + ch] < 0);
                return std::sqrt(sum / ((to - from) * 44100));
            };
            const bool sounds = ch == 0 || !n.leftOnly;
            EXPECT_LT(rms(n.on - 0.01, n.on - 0.003), 1e-3);
            EXPECT_LT(rms(n.off + 0.005, n.off + 0.012), 1e-3);
            EXPECT_EQ(rms(n.on + 0.003, n.on + 0.01) > 0.01, sounds);
            EXPECT_EQ(rms(n.off - 0.01, n.off - 0.003) > 0.01, sounds);
            rms(n.on + 0.02, n.off - 0.02);
            EXPECT_TRUE(!sounds || std::fabs(crossings / 2 / (n.off - n.on - 0.04) - n.hz) < n.hz * 0.005) << crossings;
        }
}

// The shapes real files have, each played whole, streamed in odd chunks and
// again after rewinds: running status (also right after a meta event),
// note-on of velocity 0 as note-off, panning, pitch bend, tempo changes,
// hundreds of tracks, empty tracks, time-code division, RIFF-MIDI.
TEST(Decoders, MidiPlaysItsNotesOnTimeInTuneAndTheSameEveryTime)
{
    std::vector<MidiEvent> events = Dry(0, {{480, {0x90, 69, 100}}, {960, {0x90, 69, 0}}});
    for (auto more : {Dry(1, {{0, {0xB1, 10, 0}}, {1200, {0x91, 81, 90}}, {1440, {0x81, 81, 0}}}), // hard left
                      Dry(2, {{0, {0xE2, 0, 0x60}}, {1680, {0x92, 69, 100}}, {1920, {0x82, 69, 0}}})}) // a semitone up
        events.insert(events.end(), more.begin(), more.end());
    const Bytes format0 = nvmedia::WriteMidi(0, 480, {nvmedia::MidiTrack(events, true, 2160)});
    const std::vector<MidiNote> notes0 = {{0.5, 1.0, 440, false}, {1.25, 1.5, 880, true}, {1.75, 2.0, 466.16, false}};
    // Twice as fast from 1 s on; the notes in track 150 of 300.
    std::vector<Bytes> tracks = {nvmedia::MidiTrack({nvmedia::MidiTempo(0, 500000), nvmedia::MidiTempo(960, 250000)})};
    for (int i = 1; i < 300; i++)
        tracks.push_back(i == 150 ? nvmedia::MidiTrack(Dry(3, {{480, {0x93, 69, 100}}, {700, {0xFF, 1, 2, 'h', 'i'}}, {960, {0x93, 69, 0}},
                                                               {1440, {0x93, 81, 100}}, {1920, {0x93, 81, 0}}}), true, 2400)
                                  : i % 2 ? Bytes{} : nvmedia::MidiTrack({{0, {0xB4, 7, 100}}}));
    Bytes rmid = WriteRiff({{"LIST", {'I', 'N', 'F', 'O', 'x'}}, {"data", format0}});
    memcpy(&rmid[8], "RMID", 4);
    // Hostile, yet playable: a thousand tempo changes on one tick, a track
    // opening in running status, a zero-length one, one cut in a meta event,
    // and the note in a last track whose length claims 4 GiB.
    std::vector<MidiEvent> tempos;
    for (uint32_t i = 0; i <= 1000; i++)
        tempos.push_back(nvmedia::MidiTempo(0, 1000000 - i * 500));
    Bytes hostile = nvmedia::WriteMidi(1, 480, {nvmedia::MidiTrack(tempos, false, 1200), {0, 60, 100, 0, 0x90, 60, 100}, {},
                                                {0, 0xFF, 0x01, 0x7F, 'c', 'u', 't'}}),
          last = nvmedia::MidiTrack(Dry(0, {{480, {0x90, 69, 100}}, {960, {0x90, 69, 0}}}), true);
    hostile.insert(hostile.end(), {'M', 'T', 'r', 'k', 0xFF, 0xFF, 0xFF, 0xFF});
    hostile.insert(hostile.end(), last.begin(), last.end());
    const struct {
        std::string name;
        Bytes image;
        double seconds; // where the last track ends
        std::vector<MidiNote> notes;
    } tunes[] = {
        {"format 0", format0, 2.25, notes0},
        {"format 1, 300 tracks, tempo change", nvmedia::WriteMidi(1, 480, tracks), 1.75, {{0.5, 1.0, 440, false}, {1.25, 1.5, 880, false}}},
        {"time code, 25 x 40 ticks a second", nvmedia::WriteMidi(0, 0xE728, {nvmedia::MidiTrack(Dry(0, {{300, {0x90, 69, 100}}, {700, {0x80, 69, 0}}}), false, 800)}),
         0.8, {{0.3, 0.7, 440, false}}},
        {"RIFF-MIDI", rmid, 2.25, notes0},
        {"hostile", hostile, 1.25, {{0.5, 1.0, 440, false}}},
    };
    Loopback dev;
    setenv("NUVEX_SOUNDFONT", TempFile("a.sf2", FontA()).c_str(), 1);
    for (const auto &tune : tunes) {
        SCOPED_TRACE(tune.name);
        const auto frames = nuvexUInt64(std::lround(tune.seconds * 44100));
        ALuint buffer = nuvexCreateBufferFromFile(TempFile("tune.mid", tune.image).c_str());
        ASSERT_EQ(FramesOf(buffer), frames) << Err();
        const Floats whole = PlayBuffer(dev, buffer);
        ExpectNotes(whole, tune.notes);
        alDeleteBuffers(1, &buffer);
        nuvexStream *stream = nuvexCreateStreamFromMemory(tune.image.data(), ALuint(tune.image.size()), 4 * 3001, 0, nullptr);
        EXPECT_EQ(nuvexGetStreamLength(stream), frames) << Err();
        EXPECT_TRUE(PlayStream(dev, stream, 3) == whole);
        ASSERT_TRUE(nuvexRewindStream(stream));
        EXPECT_TRUE(Same(whole, 0, PlayStream(dev, stream, 2, 2)));
        ASSERT_TRUE(nuvexRewindStream(stream));
        EXPECT_TRUE(PlayStream(dev, stream, 2) == whole);
        // Seeks: a note begun before the frame is not heard, and from its
        // release has faded (or from a frame between notes) the output is exact.
        for (double at : {tune.notes[0].on + 0.1, tune.notes[0].off + 0.05}) {
            const size_t frame = size_t(at * 44100), heard = at < tune.notes[0].off ? size_t((tune.notes[0].off + 0.05) * 44100) - frame : 0;
            ASSERT_TRUE(nuvexSetStreamPosition(stream, frame)) << Err();
            const Floats got = PlayStream(dev, stream, 2);
            EXPECT_TRUE(Same(got, heard * 2, Slice(whole, (frame + heard) * 2)));
            EXPECT_LT(std::fabs(*std::max_element(got.begin(), got.begin() + long(heard * 2), [](float a, float b) { return std::fabs(a) < std::fabs(b); })), 1e-3);
        }
        EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
    }
}

// Patch sets are SoundFonts read through the I/O callbacks, loaded once
// however many streams use them; a failed change keeps the font in use.
// Unused, they stay cached within a bound, until the device shuts down.
TEST(Decoders, MidiPatchSetsAreSharedSoundFonts)
{
    Loopback dev;
    MemFiles fs;
    fs.Add("a.sf2", FontA());
    fs.Add("b.sf2", FontB());
    fs.Add("c.sf2", FontA());
    fs.Add("text.sf2", Bytes(5000, 'x'));
    setenv("NUVEX_SOUNDFONT", "a.sf2", 1);
    setenv("NUVEX_SOUNDFONT_CACHE", "0.02", 1); // two of these fonts, not three
    const Bytes tune = nvmedia::WriteMidi(0, 480, {nvmedia::MidiTrack(Dry(0, {{96, {0x90, 69, 100}}, {384, {0x80, 69, 0}},
                                                                               {576, {0x90, 69, 100}}, {864, {0x80, 69, 0}}}), false, 960)});
    nuvexStream *first = nuvexCreateStreamFromMemory(tune.data(), ALuint(tune.size()), 22050 * 4, 0, nullptr);
    nuvexStream *second = nuvexCreateStreamFromMemory(tune.data(), ALuint(tune.size()), 22050 * 4, 0, nullptr);
    ASSERT_TRUE(first && second) << Err();
    // Half a second at a time; RMS over peak tells the sine (0.71) from the
    // filtered square, which overshoots (0.76).
    auto expectHalf = [&](double hz, bool square) {
        Floats v = PlayStream(dev, first, 1, 1);
        ExpectNotes(v, {{0.1, 0.4, hz, false}});
        double peak = 0, sum = 0;
        for (size_t f = 5000; f < 17000; f++)
            peak = std::max(peak, double(std::fabs(v[f * 2]))), sum += double(v[f * 2]) * v[f * 2];
        EXPECT_EQ(std::sqrt(sum / 12000) / peak > 0.735, square);
    };
    expectHalf(440, false);
    for (const char *bad : {"missing.sf2", "text.sf2"}) {
        EXPECT_FALSE(nuvexSetStreamPatchset(first, bad));
        EXPECT_EQ(Err(), "SoundFont load failed");
    }
    EXPECT_TRUE(nuvexSetStreamPatchset(first, "b.sf2")) << Err();
    const int opens = fs.opens;
    EXPECT_TRUE(nuvexSetStreamPatchset(second, "b.sf2")) << Err();
    EXPECT_EQ(fs.opens, opens) << "the second stream loaded the font again";
    expectHalf(220, true);
    // Back to the default (not given the last font's samples).
    EXPECT_TRUE(nuvexSetStreamPatchset(first, nullptr) && nuvexRewindStream(first)) << Err();
    expectHalf(440, false);
    EXPECT_TRUE(nuvexDestroyStream(first, 0, nullptr) && nuvexDestroyStream(second, 0, nullptr));
    EXPECT_EQ(fs.opens, fs.closes);
    // Whole loads with fonts no stream uses. The streams let go of a, then
    // of b, so c pushes a out, and so on; each font's loads give the same
    // samples.
    const struct {
        const char *font;
        bool read;
    } loads[] = {{"c.sf2", true}, {"b.sf2", false}, {"a.sf2", true}, {"b.sf2", false}, {"c.sf2", true}};
    std::map<std::string, Floats> heard;
    auto load = [&](const char *font) {
        setenv("NUVEX_SOUNDFONT", font, 1);
        const int before = fs.opens;
        ALuint buffer = nuvexCreateBufferFromMemory(tune.data(), ALsizei(tune.size()));
        EXPECT_NE(buffer, 0u) << Err();
        const Floats got = PlayBuffer(dev, buffer);
        EXPECT_TRUE(heard.emplace(font, got).first->second == got);
        alDeleteBuffers(1, &buffer);
        return fs.opens > before;
    };
    for (const auto &l : loads)
        EXPECT_EQ(load(l.font), l.read) << l.font;
    ASSERT_TRUE(nuvexInitDevice(nullptr, nullptr) && nuvexShutdownDevice()) << Err();
    alcMakeContextCurrent(dev.context);
    EXPECT_TRUE(load("b.sf2")) << "kept past the shutdown";
    EXPECT_EQ(fs.opens, fs.closes);
}

// Other input never loads FluidSynth; without it (the variable names no
// library) MIDI is unknown input, and nothing else changes.
TEST(Decoders, MidiWithoutFluidSynthIsUnsupported)
{
    NullDevice dev;
    const Bytes midi = nvmedia::WriteMidi(0, 480, {nvmedia::MidiTrack({{0, {0x90, 69, 100}}}, false, 480)});
    const Bytes wav = nvmedia::WriteWav16(Ramp(100), 2, 44100), mod = nvmedia::WriteMod(nvmedia::DemoModule(1));
    auto loads = [](const Bytes &image) {
        ALuint buffer = nuvexCreateBufferFromMemory(image.data(), ALsizei(image.size()));
        alDeleteBuffers(buffer ? 1 : 0, &buffer);
        return buffer != 0;
    };
    EXPECT_TRUE(loads(wav) && loads(mod)) << Err();
    EXPECT_EQ(dlopen("libfluidsynth.so.3", RTLD_NOW | RTLD_NOLOAD), nullptr);
    setenv("NUVEX_FLUIDSYNTH", "", 1);
    EXPECT_FALSE(loads(midi));
    EXPECT_EQ(Err(), "Unsupported type");
    EXPECT_TRUE(loads(wav)) << Err();
}

} // namespace
