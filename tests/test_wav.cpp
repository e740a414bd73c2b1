// RIFF/WAVE loading end to end: generated files and memory images go through
// the public loading calls into real OpenAL buffers, and what a loopback
// device renders from them is compared with what the file holds.
#include "support.h"
#include "codecs.h"
#include "wav.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace nvt;
using namespace nvt::wav;

namespace {

struct Sound {
    std::string name;
    std::vector<uint8_t> image;
    int channels;
    int rate;
    std::vector<float> expected; // interleaved, as rendered
    double tolerance;
    ALint bits; // AL_BITS OpenAL reports for the buffer
    ALint size; // AL_SIZE OpenAL reports for the buffer
    // When set, the expected samples are what OpenAL renders from the data
    // chunk handed to it directly in this format.
    ALenum directFormat = 0;
    std::vector<uint8_t> payload = {};
};

// A sound stored as "fmt " then "data"; OpenAL keeps the data as it is.
Sound Plain(const std::string &name, const std::vector<uint8_t> &fmt,
            const std::vector<uint8_t> &data, int channels, int rate, std::vector<float> expected,
            double tolerance, ALint bits)
{
    return {name,
            Riff({MakeChunk("fmt ", fmt), MakeChunk("data", data)}),
            channels,
            rate,
            std::move(expected),
            tolerance,
            bits,
            ALint(data.size())};
}

Sound Pcm16(const std::string &name, int channels, int rate, size_t frames)
{
    auto samples = Ramp16(frames, channels);
    auto data = Bytes16(samples);
    auto fmt = FmtBody(1, uint16_t(channels), uint32_t(rate), uint16_t(2 * channels), 16);
    return Plain(name, fmt, data, channels, rate, ToFloat(samples), 0.0, 16);
}

Sound Pcm8(const std::string &name, int channels, int rate, size_t frames)
{
    std::vector<uint8_t> data(frames * size_t(channels));
    for (size_t i = 0; i < data.size(); i++)
        data[i] = uint8_t(i * 7 + i / size_t(channels) * 3);
    auto fmt = FmtBody(1, uint16_t(channels), uint32_t(rate), uint16_t(channels), 8);
    return Plain(name, fmt, data, channels, rate, U8ToFloat(data), 0.0, 8);
}

Sound Float(const std::string &name, int channels, size_t frames, int bits)
{
    auto ints = Sine16(frames, channels);
    std::vector<double> samples(ints.size());
    std::vector<float> expected(ints.size());
    for (size_t i = 0; i < ints.size(); i++) {
        samples[i] = double(ints[i]) / 40000.0 + 1e-4 * double(i % 7);
        expected[i] = float(samples[i]);
    }
    auto data = bits == 32 ? FloatBytes(expected) : DoubleBytes(samples);
    auto fmt = FmtBody(3, uint16_t(channels), 48000, uint16_t(bits / 8 * channels), uint16_t(bits));
    return Plain(name, fmt, data, channels, 48000, expected, 1e-6, bits);
}

Sound Mulaw(const std::string &name, int channels, size_t frames)
{
    auto ints = Sine16(frames, channels);
    std::vector<uint8_t> data(ints.size());
    std::vector<int16_t> decoded(ints.size());
    for (size_t i = 0; i < ints.size(); i++) {
        data[i] = MulawEncode(ints[i]);
        decoded[i] = MulawDecode(data[i]);
    }
    auto fmt = FmtBody(7, uint16_t(channels), 8000, uint16_t(channels), 8);
    return Plain(name, fmt, data, channels, 8000, ToFloat(decoded), 1.0 / 32768, 8);
}

Sound Ima(const std::string &name, int channels, uint16_t samplesPerBlock, size_t blocks)
{
    auto ints = Sine16(blocks * 65, channels);
    auto data = ImaEncode(ints, channels);
    auto fmt = ImaFmtBody(uint16_t(channels), 22050, samplesPerBlock);
    // OpenAL decodes IMA4 its own way (its frames do not line up with a
    // textbook decoder's), so the reference is OpenAL fed the same blocks.
    Sound s = Plain(name, fmt, data, channels, 22050, std::vector<float>(ints.size()), 0.0, 16);
    s.image =
        Riff({MakeChunk("fmt ", fmt), MakeChunk("fact", {1, 2, 3, 4}), MakeChunk("data", data)});
    s.size = ALint(ints.size() * 2); // OpenAL keeps IMA4 decoded to 16 bits
    s.directFormat = channels == 1 ? AL_FORMAT_MONO_IMA4 : AL_FORMAT_STEREO_IMA4;
    s.payload = data;
    return s;
}

void CheckLoads(const Sound &s)
{
    for (bool fromFile : {false, true}) {
        SCOPED_TRACE(s.name + (fromFile ? " from file" : " from memory"));
        LoopbackDevice dev(LayoutForChannels(s.channels), s.rate);
        ASSERT_TRUE(dev.ok());
        ALuint buffer = LoadImage(s.image, fromFile, s.name);
        ASSERT_NE(buffer, 0u) << LastError();
        EXPECT_EQ(InspectBuffer(buffer), (BufferInfo{s.size, s.rate, s.bits, s.channels}));
        size_t frames = s.expected.size() / size_t(s.channels);
        auto out = RenderBuffer(dev, buffer, frames);
        std::vector<float> expected = s.expected;
        if (s.directFormat) {
            ALuint direct = 0;
            alGenBuffers(1, &direct);
            alBufferData(direct, s.directFormat, s.payload.data(), ALsizei(s.payload.size()),
                         s.rate);
            expected = RenderBuffer(dev, direct, frames);
            alDeleteBuffers(1, &direct);
        }
        if (s.directFormat == AL_FORMAT_MONO_IMA4 || s.directFormat == AL_FORMAT_STEREO_IMA4) {
            // OpenAL Soft 1.19.1 renders the last frame of every IMA4 block
            // from memory it never wrote (it differs between two buffers of
            // the same blocks); those frames say nothing about our data.
            for (size_t f = 64; f < frames; f += 65)
                for (size_t c = 0; c < size_t(s.channels); c++)
                    out[f * size_t(s.channels) + c] = expected[f * size_t(s.channels) + c] = 0;
        }
        if (s.tolerance == 0.0)
            EXPECT_EQ(out, expected);
        else
            EXPECT_LE(MaxDiff(out, expected), s.tolerance);
        alDeleteBuffers(1, &buffer);
        EXPECT_EQ(alGetError(), AL_NO_ERROR);
    }
}

} // namespace

TEST(WavLoad, EveryEncodingLoadsWithItsPropertiesAndSamples)
{
    const Sound sounds[] = {
        Pcm8("pcm8-mono", 1, 11025, 300),    Pcm8("pcm8-stereo-22050", 2, 22050, 300),
        Pcm8("pcm8-quad", 4, 22050, 200),    Pcm8("pcm8-7.1", 8, 22050, 200),
        Pcm16("pcm16-mono", 1, 44100, 500),  Pcm16("pcm16-stereo", 2, 44100, 500),
        Pcm16("pcm16-quad", 4, 44100, 300),  Pcm16("pcm16-5.1", 6, 48000, 300),
        Pcm16("pcm16-6.1", 7, 48000, 300),   Pcm16("pcm16-7.1", 8, 48000, 300),
        Float("float32-mono", 1, 400, 32),     Float("float32-stereo", 2, 400, 32),
        Float("float64-mono", 1, 400, 64),     Float("float64-stereo", 2, 400, 64),
        Mulaw("mulaw-mono", 1, 400),         Mulaw("mulaw-stereo", 2, 400),
        Mulaw("mulaw-quad", 4, 200),         Mulaw("mulaw-5.1", 6, 200),
        Mulaw("mulaw-6.1", 7, 200),          Mulaw("mulaw-7.1", 8, 200),
        Ima("ima-mono", 1, 65, 6),           Ima("ima-stereo-spb65", 2, 65, 6),
        Ima("ima-stereo-spb130", 2, 130, 6),
    };
    for (const Sound &s : sounds)
        CheckLoads(s);
}

namespace {
const std::vector<uint8_t> Fmt16Stereo = FmtBody(1, 2, 44100, 4, 16);

// 16-bit stereo ramp in the given chunk arrangement; "DATA" stands for the
// data chunk.
Sound Arranged(const std::string &name, std::vector<Chunk> chunks, size_t frames = 200)
{
    auto samples = Ramp16(frames, 2);
    auto data = Bytes16(samples);
    for (Chunk &c : chunks)
        if (c.tag == "DATA")
            c = MakeChunk("data", data);
    return {name, Riff(chunks), 2, 44100, ToFloat(samples), 0.0, 16, ALint(data.size())};
}

// 8-bit mono with an odd data length (301 bytes), placed before "fmt ".
Sound OddDataFirst(const std::string &name, bool pad)
{
    std::vector<uint8_t> data(301);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = uint8_t(i * 5 + 1);
    auto image = Riff({MakeChunk("data", data, pad), MakeChunk("fmt ", FmtBody(1, 1, 8000, 1, 8))});
    return {name, image, 1, 8000, U8ToFloat(data), 0.0, 8, 301};
}

// The data chunk is last and declares `declared` bytes; the image holds
// 250 frames and one stray byte of a 251st.
Sound DeclaredLength(const std::string &name, uint32_t declared)
{
    auto samples = Ramp16(250, 2);
    auto data = Bytes16(samples);
    data.push_back(0x55);
    auto image = Riff({MakeChunk("fmt ", Fmt16Stereo), MakeChunk("data", data, false, declared)});
    return {name, image, 2, 44100, ToFloat(samples), 0.0, 16, 1000};
}
} // namespace

TEST(WavLoad, ChunkArrangementsAndOddSizesLoadTheData)
{
    std::vector<uint8_t> junk5 = {1, 2, 3, 4, 5};
    std::vector<uint8_t> shortFmt = {3, 0, 1, 0, 0x22, 0x56, 0, 0, 0, 0, 0, 0, 4, 0};
    const Sound sounds[] = {
        Arranged("extra-chunks", {MakeChunk("LIST", {'I', 'N', 'F', 'O', 'x', 'y', 'z'}),
                                  MakeChunk("fmt ", Fmt16Stereo), MakeChunk("JUNK", {0, 0, 0, 0}),
                                  MakeChunk("DATA", {}), MakeChunk("LIST", {'a', 'd', 't', 'l'})}),
        Arranged("data-before-fmt", {MakeChunk("DATA", {}), MakeChunk("fmt ", Fmt16Stereo)}),
        Arranged("short-fmt-skipped", {MakeChunk("fmt ", shortFmt), MakeChunk("fmt ", Fmt16Stereo),
                                       MakeChunk("DATA", {})}),
        Arranged("fmt-with-empty-extension",
                 {MakeChunk("fmt ", FmtBody(1, 2, 44100, 4, 16, 0)), MakeChunk("DATA", {})}),
        Arranged("odd-chunk-padded", {MakeChunk("JUNK", junk5, true),
                                      MakeChunk("fmt ", Fmt16Stereo), MakeChunk("DATA", {})}),
        Arranged("odd-chunk-unpadded", {MakeChunk("JUNK", junk5, false),
                                        MakeChunk("fmt ", Fmt16Stereo), MakeChunk("DATA", {})}),
        Arranged("odd-chunk-ending-in-zero-unpadded",
                 {MakeChunk("JUNK", {7, 7, 0}, false), MakeChunk("fmt ", Fmt16Stereo),
                  MakeChunk("DATA", {})}),
        OddDataFirst("odd-data-padded", true),
        OddDataFirst("odd-data-unpadded", false),
        DeclaredLength("truncated-data", 4000),
        DeclaredLength("unknown-data-length", 0xFFFFFFFF),
    };
    for (const Sound &s : sounds)
        CheckLoads(s);
}

// ---- Streams ------------------------------------------------------------------

TEST(WavStream, LengthInFrames)
{
    LoopbackDevice dev;
    ASSERT_TRUE(dev.ok());
    std::vector<uint8_t> fourBlocksStereo(4 * 72), sixBlocksMono(6 * 36), pcm(400);
    const struct {
        const char *name;
        std::vector<std::vector<uint8_t>> fmts; // "fmt " bodies, in order
        std::vector<uint8_t> data;
        int64_t declared;
        nuvexUInt64 length;
    } cases[] = {
        {"pcm16-stereo", {Fmt16Stereo}, std::vector<uint8_t>(40000), -1, 10000},
        {"pcm8-mono", {FmtBody(1, 1, 8000, 1, 8)}, std::vector<uint8_t>(301), -1, 301},
        {"float64-stereo", {FmtBody(3, 2, 8000, 16, 64)}, std::vector<uint8_t>(1600), -1, 100},
        {"mulaw-quad", {FmtBody(7, 4, 8000, 4, 8)}, pcm, -1, 100},
        {"ima-mono", {ImaFmtBody(1, 8000, 65)}, sixBlocksMono, -1, 390},
        {"ima-stereo", {ImaFmtBody(2, 8000, 65)}, fourBlocksStereo, -1, 260},
        {"ima-stereo-130", {ImaFmtBody(2, 8000, 130)}, fourBlocksStereo, -1, 260},
        {"ima-zero-bits", {ImaFmtBody(1, 8000, 65, 0)}, sixBlocksMono, -1, 390},
        {"unknown-length", {Fmt16Stereo}, pcm, 0xFFFFFFFF, 0},
        {"two-gib", {Fmt16Stereo}, pcm, 0x80000000, 0},
        // A second "fmt " keeps the first one's format but zeroes a field.
        {"zero-channels", {Fmt16Stereo, FmtBody(1, 0, 44100, 4, 16)}, pcm, -1, 0},
        {"zero-bits", {Fmt16Stereo, FmtBody(1, 2, 44100, 4, 0)}, pcm, -1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Chunk> chunks;
        for (const auto &fmt : c.fmts)
            chunks.push_back(MakeChunk("fmt ", fmt));
        chunks.push_back(MakeChunk("data", c.data, true, c.declared));
        auto image = Riff(chunks);
        nuvexStream *stream =
            nuvexCreateStreamFromMemory(image.data(), ALuint(image.size()), 4096, 0, nullptr);
        ASSERT_NE(stream, nullptr) << LastError();
        EXPECT_EQ(nuvexGetStreamLength(stream), c.length);
        EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
    }
}

namespace {
// Fills one buffer from the stream and renders what it holds.
std::vector<float> NextChunk(LoopbackDevice &dev, nuvexStream *stream, size_t frames)
{
    ALuint buffer = 0;
    alGenBuffers(1, &buffer);
    EXPECT_EQ(nuvexBufferDataFromStream(stream, 1, &buffer), 1) << LastError();
    auto out = RenderBuffer(dev, buffer, frames);
    alDeleteBuffers(1, &buffer);
    return out;
}

std::vector<float> Frames(const std::vector<int16_t> &samples, size_t first, size_t count)
{
    return ToFloat(std::vector<int16_t>(samples.begin() + long(first * 2),
                                        samples.begin() + long((first + count) * 2)));
}

} // namespace

// Order 0 rewinds and other orders fail, reading going on either way; a
// rewind whose seek fails says so and leaves the stream usable.
TEST(WavStream, OrderAndRewind)
{
    LoopbackDevice dev;
    ASSERT_TRUE(dev.ok());
    auto samples = Ramp16(300, 2);
    MemFs::Reset();
    MemFs::Get().files["rewind.wav"] = MakeWav({}, Bytes16(samples));
    ASSERT_TRUE(MemFs::Install());
    nuvexStream *stream = nuvexCreateStreamFromFile("rewind.wav", 400, 0, nullptr);
    ASSERT_NE(stream, nullptr) << LastError();
    EXPECT_EQ(NextChunk(dev, stream, 100), Frames(samples, 0, 100));
    EXPECT_FALSE(nuvexSetStreamOrder(stream, 1));
    EXPECT_EQ(LastError(), "Invalid order for stream");
    EXPECT_EQ(NextChunk(dev, stream, 100), Frames(samples, 100, 100));
    EXPECT_TRUE(nuvexSetStreamOrder(stream, 0));
    EXPECT_EQ(NextChunk(dev, stream, 100), Frames(samples, 0, 100));
    MemFs::Get().failSeeks = true;
    EXPECT_FALSE(nuvexRewindStream(stream));
    EXPECT_EQ(LastError(), "Seek failed");
    MemFs::Get().failSeeks = false;
    EXPECT_TRUE(nuvexRewindStream(stream));
    EXPECT_EQ(NextChunk(dev, stream, 100), Frames(samples, 0, 100));
    nuvexDestroyStream(stream, 0, nullptr);
    nuvexSetIOCallbacks(nullptr, nullptr, nullptr, nullptr, nullptr);
}

// ---- Robustness -----------------------------------------------------------------

TEST(WavRobustness, PrefixesAndMutationsOfValidImagesLoadOrFailCleanly)
{
    NullDevice dev;
    ASSERT_TRUE(dev.ok());
    const std::vector<std::vector<uint8_t>> seeds = {
        Riff({MakeChunk("LIST", {'I', 'N', 'F', 'O', 'x'}), MakeChunk("fmt ", Fmt16Stereo),
              MakeChunk("data", Bytes16(Ramp16(40, 2))), MakeChunk("JUNK", {1, 2})}),
        Riff({MakeChunk("fmt ", ImaFmtBody(2, 22050, 65)),
              MakeChunk("data", ImaEncode(Sine16(130, 2), 2))}),
        Riff({MakeChunk("data", std::vector<uint8_t>(33, 0x80)),
              MakeChunk("fmt ", FmtBody(7, 1, 8000, 1, 8, 0))}),
    };
    for (uint32_t i = 0; i < seeds.size(); i++)
        EXPECT_GT(nvc::LoadDamaged(seeds[i], 1, 1000, 20261206 + i), 0u);
}
