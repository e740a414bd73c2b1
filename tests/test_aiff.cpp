// AIFF files written by the media writer, loaded whole and streamed, and the
// rendered output compared with the samples that were written.
#include "codecs.h"
#include "media.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using nvmedia::AiffChunk;
using nvmedia::AiffOptions;

// What a matching loopback device renders for the samples once stored at
// `bits` per sample.
std::vector<float> Expected(const std::vector<int16_t> &samples, int bits)
{
    std::vector<int16_t> q(samples);
    for (int16_t &s : q)
        s = nvmedia::QuantizeAiff(s, bits);
    return nvt::ToFloat(q);
}

// Full-scale samples that also exercise the low bits and the sign.
std::vector<int16_t> Signal(size_t frames, int channels)
{
    std::vector<int16_t> s = nvt::Ramp16(frames, channels);
    for (size_t i = 0; i < s.size(); i++)
        s[i] = int16_t(uint16_t(s[i] * 131 + i));
    return s;
}

void PutBE32At(nvmedia::Bytes &image, size_t at, uint32_t v)
{
    image[at] = uint8_t(v >> 24);
    image[at + 1] = uint8_t(v >> 16);
    image[at + 2] = uint8_t(v >> 8);
    image[at + 3] = uint8_t(v);
}

TEST(AiffDecoding, WrittenFilesRenderAsWritten)
{
    AiffOptions ssndFirst;
    ssndFirst.ssndFirst = true;
    AiffOptions offset;
    offset.ssndOffset = 6;
    AiffOptions oddPadded;
    oddPadded.leadingChunks = {{"NAME", {'o', 'd', 'd'}}, {"ANNO", {'x'}}};
    oddPadded.trailingChunks = {{"AUTH", {'a', 'b', 'c', 'd', 'e'}}};
    AiffOptions oddUnpadded = oddPadded;
    oddUnpadded.padOddChunks = false;
    AiffOptions offsetFirstOdd = offset;
    offsetFirstOdd.ssndFirst = true;
    offsetFirstOdd.ssndOffset = 3;
    offsetFirstOdd.leadingChunks = {{"NAME", {'n'}}};
    // A "COMM" too short to hold the fields is skipped like any other chunk.
    AiffOptions shortComm;
    shortComm.leadingChunks = {{"COMM", nvmedia::Bytes(17, 0)}};

    const struct {
        const char *name;
        int channels;
        uint32_t rate;
        int bits;
        AiffOptions options;
    } cases[] = {
        {"16-bit stereo 44100", 2, 44100, 16, {}},
        {"16-bit mono 8000", 1, 8000, 16, {}},
        {"8-bit mono 22050", 1, 22050, 8, {}},
        {"12-bit stereo 48000", 2, 48000, 12, {}},
        {"16-bit quad", 4, 44100, 16, {}},
        {"16-bit 5.1", 6, 48000, 16, {}},
        {"8-bit 7.1", 8, 44100, 8, {}},
        {"SSND before COMM", 2, 44100, 16, ssndFirst},
        {"non-zero SSND offset", 2, 44100, 16, offset},
        {"odd chunks padded", 1, 44100, 16, oddPadded},
        {"odd chunks unpadded", 1, 44100, 16, oddUnpadded},
        {"odd offset, SSND first, odd chunk", 1, 22050, 8, offsetFirstOdd},
        {"short COMM skipped", 2, 44100, 16, shortComm},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        nvt::LoopbackDevice dev(nvt::LayoutForChannels(c.channels), ALCint(c.rate));
        ASSERT_TRUE(dev.ok());
        const size_t frames = 3001; // odd, so 8-bit mono data has an odd length
        auto samples = Signal(frames, c.channels);
        auto image = nvmedia::WriteAiff(samples, c.channels, c.rate, c.bits, c.options);
        nvc::BufferInfo info;
        auto out = nvc::LoadAndPlay(dev, image, &info);
        int bytesPerSample = c.bits == 8 ? 1 : 2;
        nvc::BufferInfo want{ALint(frames * size_t(c.channels * bytesPerSample)), ALint(c.rate),
                             bytesPerSample * 8, c.channels};
        EXPECT_EQ(info, want) << nvt::LastError();
        EXPECT_TRUE(out == Expected(samples, c.bits));
    }
}

TEST(AiffDecoding, UnusableFilesAreRejected)
{
    auto samples = Signal(500, 2);
    auto plain = nvmedia::WriteAiff(samples, 2, 44100, 16);
    AiffOptions aifc;
    aifc.formType = "AIFC";
    AiffOptions withJunk;
    withJunk.leadingChunks = {{"JUNK", nvmedia::Bytes(8, 0)}};
    // Offsets into the image written with `withJunk`: FORM header 12, JUNK
    // header at 12, its length at 16.
    auto huge = [&](uint32_t length) {
        auto image = nvmedia::WriteAiff(samples, 2, 44100, 16, withJunk);
        PutBE32At(image, 16, length);
        return image;
    };
    auto noSsnd = plain;
    noSsnd.resize(12 + 8 + 18); // FORM header and COMM only

    const struct {
        const char *name;
        nvmedia::Bytes image;
    } cases[] = {
        {"AIFF-C", nvmedia::WriteAiff(samples, 2, 44100, 16, aifc)},
        {"24-bit", [&] {
             auto image = plain;
             image[12 + 8 + 6] = 0;
             image[12 + 8 + 7] = 24;
             return image;
         }()},
        {"3 channels", nvmedia::WriteAiff(Signal(500, 3), 3, 44100, 16)},
        {"chunk length 2^31", huge(0x80000000u)},
        {"chunk length 2^32-1", huge(0xFFFFFFFFu)},
        {"chunk length 2^31-1", huge(0x7FFFFFFFu)},
        {"no SSND", noSsnd},
        {"header only", nvmedia::Bytes(plain.begin(), plain.begin() + 12)},
        {"not FORM", [&] {
             auto image = plain;
             image[0] = 'R';
             return image;
         }()},
    };
    nvt::NullDevice dev;
    ASSERT_TRUE(dev.ok());
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        nvt::LastError();
        ALuint buffer = nuvexCreateBufferFromMemory(c.image.data(), ALsizei(c.image.size()));
        EXPECT_EQ(buffer, 0u);
        EXPECT_EQ(nvt::LastError(), "Unsupported type");
        if (buffer)
            alDeleteBuffers(1, &buffer);
    }
}

TEST(AiffDecoding, TruncatedSoundDataFromFileAndMemoryDeliversWhatIsThere)
{
    nvt::LoopbackDevice dev(ALC_STEREO_SOFT, 44100);
    ASSERT_TRUE(dev.ok());
    auto samples = Signal(2000, 2);
    AiffOptions offset;
    offset.ssndOffset = 4;
    const auto full = nvmedia::WriteAiff(samples, 2, 44100, 16, offset);
    const size_t soundStart = full.size() - samples.size() * 2;
    // Cut inside a frame, on a frame boundary, and right after the header.
    for (size_t keep : {size_t(1), size_t(4), size_t(1003), size_t(4000), size_t(7998)}) {
        SCOPED_TRACE(keep);
        nvmedia::Bytes image(full.begin(), full.begin() + std::ptrdiff_t(soundStart + keep));
        std::string path = nvt::TempPath("cut.aiff");
        nvt::WriteFile(path, image);

        nvc::BufferInfo fromMemory;
        auto memOut = nvc::LoadAndPlay(dev, image, &fromMemory);
        ALuint buffer = nuvexCreateBufferFromFile(path.c_str());
        ASSERT_NE(buffer, 0u) << nvt::LastError();
        nvc::BufferInfo fromFile = nvc::Describe(buffer);
        auto fileOut = nvc::PlayBuffer(dev, buffer);
        alDeleteBuffers(1, &buffer);

        const size_t wholeFrames = keep / 4;
        EXPECT_EQ(fromMemory.size, ALint(wholeFrames * 4));
        EXPECT_EQ(fromFile, fromMemory);
        std::vector<int16_t> present(samples.begin(),
                                     samples.begin() + std::ptrdiff_t(wholeFrames * 2));
        EXPECT_TRUE(memOut == nvt::ToFloat(present));
        EXPECT_TRUE(fileOut == memOut);
    }
}

TEST(AiffDecoding, StreamedLengthAndRewind)
{
    nvt::LoopbackDevice dev(ALC_STEREO_SOFT, 44100);
    ASSERT_TRUE(dev.ok());
    auto samples = Signal(10000, 2);
    AiffOptions options;
    options.ssndFirst = true;
    options.ssndOffset = 8;
    auto image = nvmedia::WriteAiff(samples, 2, 44100, 16, options);
    // 1000-byte chunks: not a whole number of chunks in the sound.
    nuvexStream *stream =
        nuvexCreateStreamFromMemory(image.data(), ALuint(image.size()), 1000, 0, nullptr);
    ASSERT_NE(stream, nullptr) << nvt::LastError();
    EXPECT_EQ(nuvexGetStreamLength(stream), 10000u);
    EXPECT_EQ(nuvexGetStreamFrequency(stream), 44100);

    auto first = nvc::PlayStream(dev, stream, 3);
    EXPECT_TRUE(first == nvt::ToFloat(samples));
    ASSERT_TRUE(nuvexRewindStream(stream)) << nvt::LastError();
    auto again = nvc::PlayStream(dev, stream, 4);
    EXPECT_TRUE(again == first);
    EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
}

TEST(AiffRobustness, TruncationsAndMutations)
{
    nvt::NullDevice dev;
    ASSERT_TRUE(dev.ok());
    AiffOptions options;
    options.leadingChunks = {{"NAME", {'x', 'y', 'z'}}};
    options.ssndOffset = 2;
    const auto image = nvmedia::WriteAiff(Signal(600, 2), 2, 22050, 16, options);
    // Most damage goes to the header, where the parsing is.
    EXPECT_GT(nvc::LoadDamaged(image, 97, 400, 1, 80), 0u);
    EXPECT_EQ(alGetError(), AL_NO_ERROR);
}

} // namespace
