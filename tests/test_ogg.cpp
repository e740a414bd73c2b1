// Ogg Vorbis files encoded by the media writer with libvorbisenc; what the
// library plays is compared with libvorbisfile's own decoding of the same
// bytes, rearranged into OpenAL's channel order.
#include "codecs.h"
#include "media.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

namespace {

using Names = std::vector<std::string>;

// Channel order of each layout as Vorbis stores it and as OpenAL plays it.
// The 5.1 surround pair is named SL/SR on both sides (Vorbis calls it the
// rear pair).
struct Layout {
    Names vorbis;
    Names openal;
};
const std::map<int, Layout> Layouts = {
    {1, {{"M"}, {"M"}}},
    {2, {{"FL", "FR"}, {"FL", "FR"}}},
    {6, {{"FL", "C", "FR", "SL", "SR", "LFE"}, {"FL", "FR", "C", "LFE", "SL", "SR"}}},
    {7,
     {{"FL", "C", "FR", "SL", "SR", "RC", "LFE"}, {"FL", "FR", "C", "LFE", "RC", "SL", "SR"}}},
    {8,
     {{"FL", "C", "FR", "SL", "SR", "RL", "RR", "LFE"},
      {"FL", "FR", "C", "LFE", "RL", "RR", "SL", "SR"}}},
};

// A distinct tone per named channel, so a misplaced channel changes the output.
const std::map<std::string, double> ToneOf = {
    {"M", 440},  {"FL", 330},  {"FR", 440},  {"C", 550},   {"LFE", 110},
    {"SL", 660}, {"SR", 770}, {"RC", 880}, {"RL", 990}, {"RR", 1100},
};

std::vector<int16_t> TonesFor(int channels, size_t frames, uint32_t rate)
{
    std::vector<double> freqs;
    for (const std::string &name : Layouts.at(channels).vorbis)
        freqs.push_back(ToneOf.at(name));
    return nvmedia::Tones16(frames, rate, freqs, 6000);
}

// Decoded samples (Vorbis order) rearranged into OpenAL's order.
std::vector<int16_t> ToOpenALOrder(const std::vector<int16_t> &decoded, int channels)
{
    const Layout &layout = Layouts.at(channels);
    std::vector<size_t> from;
    for (const std::string &name : layout.openal)
        from.push_back(size_t(std::find(layout.vorbis.begin(), layout.vorbis.end(), name) -
                              layout.vorbis.begin()));
    std::vector<int16_t> out(decoded.size());
    const size_t n = size_t(channels);
    for (size_t f = 0; f + n <= decoded.size(); f += n)
        for (size_t k = 0; k < n; k++)
            out[f + k] = decoded[f + from[k]];
    return out;
}

const struct Case {
    int channels;
    uint32_t rate;
    size_t frames;
} Cases[] = {{1, 22050, 20000}, {2, 44100, 30000}, {6, 48000, 24000},
             {7, 44100, 24000}, {8, 44100, 24000}};

TEST(OggDecoding, WholeAndStreamedMatchVorbisfileInOpenALOrder)
{
    for (const Case &c : Cases) {
        SCOPED_TRACE(std::to_string(c.channels) + " channels");
        nvt::LoopbackDevice dev(nvt::LayoutForChannels(c.channels), ALCint(c.rate));
        ASSERT_TRUE(dev.ok());
        auto image = nvmedia::EncodeOgg(TonesFor(c.channels, c.frames, c.rate), c.channels,
                                        c.rate, 0.3f, 100 + c.channels);
        auto expected = nvt::ToFloat(ToOpenALOrder(nvc::VorbisfileDecode(image), c.channels));
        ASSERT_EQ(expected.size(), c.frames * size_t(c.channels));

        nvc::BufferInfo info;
        auto whole = nvc::LoadAndPlay(dev, image, &info);
        EXPECT_EQ(info, (nvc::BufferInfo{ALint(c.frames * size_t(c.channels) * 2), ALint(c.rate),
                                         16, c.channels}))
            << nvt::LastError();
        EXPECT_TRUE(whole == expected);

        // A chunk of 1001 frames: requests never line up with Vorbis packets.
        ALsizei chunk = ALsizei(1001 * c.channels * 2);
        nuvexStream *stream =
            nuvexCreateStreamFromMemory(image.data(), ALuint(image.size()), chunk, 0, nullptr);
        ASSERT_NE(stream, nullptr) << nvt::LastError();
        EXPECT_EQ(nuvexGetStreamLength(stream), c.frames);
        EXPECT_TRUE(nvc::PlayStream(dev, stream, 3) == expected);
        EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
    }
}

TEST(OggDecoding, ChainedFilePlaysThroughLengthIsFirstSection)
{
    nvt::LoopbackDevice dev(ALC_STEREO_SOFT, 44100);
    ASSERT_TRUE(dev.ok());
    auto first = nvmedia::EncodeOgg(nvmedia::Tones16(15000, 44100, {300, 500}, 5000), 2, 44100,
                                    0.4f, 11);
    auto second = nvmedia::EncodeOgg(nvmedia::Tones16(9000, 44100, {700, 900}, 5000), 2,
                                     44100, 0.4f, 12);
    auto chain = first;
    chain.insert(chain.end(), second.begin(), second.end());
    auto expected = nvt::ToFloat(nvc::VorbisfileDecode(chain));
    ASSERT_EQ(expected.size(), size_t(24000 * 2));

    EXPECT_TRUE(nvc::LoadAndPlay(dev, chain) == expected);
    nuvexStream *stream =
        nuvexCreateStreamFromMemory(chain.data(), ALuint(chain.size()), 8192, 0, nullptr);
    ASSERT_NE(stream, nullptr) << nvt::LastError();
    EXPECT_EQ(nuvexGetStreamLength(stream), 15000u);
    EXPECT_TRUE(nvc::PlayStream(dev, stream, 2) == expected);
    EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
}

// A later section with more channels than the first plays wrongly (the
// format stays that of the first) but never writes past what was asked for;
// the sanitizer build checks the "never".
TEST(OggDecoding, ChainThatGainsChannelsStaysInBounds)
{
    const struct {
        int firstChannels, laterChannels;
    } chains[] = {{1, 8}, {6, 8}, {2, 7}};
    for (const auto &c : chains) {
        SCOPED_TRACE(std::to_string(c.firstChannels) + " then " +
                     std::to_string(c.laterChannels));
        nvt::LoopbackDevice dev(nvt::LayoutForChannels(c.firstChannels), 44100);
        ASSERT_TRUE(dev.ok());
        auto firstPart = nvmedia::EncodeOgg(TonesFor(c.firstChannels, 5000, 44100),
                                            c.firstChannels, 44100, 0.3f, 21);
        auto chain = firstPart;
        auto later = nvmedia::EncodeOgg(TonesFor(c.laterChannels, 7000, 44100),
                                        c.laterChannels, 44100, 0.3f, 22);
        chain.insert(chain.end(), later.begin(), later.end());
        auto expectedFirst = nvt::ToFloat(
            ToOpenALOrder(nvc::VorbisfileDecode(firstPart), c.firstChannels));

        nvc::BufferInfo info;
        auto whole = nvc::LoadAndPlay(dev, chain, &info);
        ASSERT_EQ(info.channels, c.firstChannels) << nvt::LastError();
        const size_t frameBytes = size_t(c.firstChannels) * 2;
        // Everything decoded is delivered, cut to whole frames of the first format.
        size_t decodedBytes = nvc::VorbisfileDecode(chain).size() * 2;
        EXPECT_EQ(size_t(info.size), decodedBytes - decodedBytes % frameBytes);
        ASSERT_GE(whole.size(), expectedFirst.size());
        EXPECT_TRUE(std::equal(expectedFirst.begin(), expectedFirst.end(), whole.begin()));

        // Streamed in chunks smaller than a frame of the later section.
        ALsizei chunk = ALsizei(frameBytes * 3);
        nuvexStream *stream =
            nuvexCreateStreamFromMemory(chain.data(), ALuint(chain.size()), chunk, 0, nullptr);
        ASSERT_NE(stream, nullptr) << nvt::LastError();
        auto streamed = nvc::PlayStream(dev, stream, 4, 3000);
        ASSERT_GE(streamed.size(), expectedFirst.size());
        EXPECT_TRUE(std::equal(expectedFirst.begin(), expectedFirst.end(), streamed.begin()));
        EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
    }
}

TEST(OggDecoding, RewindStartsOverFromAnyPoint)
{
    nvt::LoopbackDevice dev(ALC_5POINT1_SOFT, 44100);
    ASSERT_TRUE(dev.ok());
    auto image = nvmedia::EncodeOgg(TonesFor(6, 20000, 44100), 6, 44100);
    auto expected = nvt::ToFloat(ToOpenALOrder(nvc::VorbisfileDecode(image), 6));
    nuvexStream *stream =
        nuvexCreateStreamFromMemory(image.data(), ALuint(image.size()), 12 * 777, 0, nullptr);
    ASSERT_NE(stream, nullptr) << nvt::LastError();
    for (size_t batches : {size_t(1), size_t(5), size_t(1000)}) {
        SCOPED_TRACE(batches);
        auto part = nvc::PlayStream(dev, stream, 2, batches);
        EXPECT_TRUE(std::equal(part.begin(), part.end(), expected.begin()));
        ASSERT_TRUE(nuvexRewindStream(stream)) << nvt::LastError();
    }
    EXPECT_TRUE(nvc::PlayStream(dev, stream, 2) == expected);
    EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
}

TEST(OggRobustness, TruncationsAndMutations)
{
    nvt::NullDevice dev;
    ASSERT_TRUE(dev.ok());
    for (int channels : {2, 6}) {
        SCOPED_TRACE(channels);
        auto image = nvmedia::EncodeOgg(TonesFor(channels, 6000, 44100), channels, 44100, 0.1f);
        EXPECT_GT(nvc::LoadDamaged(image, 37, 300, uint32_t(channels)), 0u);
    }
    EXPECT_EQ(alGetError(), AL_NO_ERROR);
}

} // namespace
