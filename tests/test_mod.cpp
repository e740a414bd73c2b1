// Tracker modules written byte by byte by the media writer; what the library
// plays is compared with libmodplug's own rendering of the same bytes.
#include "codecs.h"
#include "media.h"

#include <gtest/gtest.h>
#include <libmodplug/modplug.h>

#include <cstdio>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

// libmodplug's text-tune loader loses memory of its own on every load.
struct IgnoreLeaksOfThisScope {
#if defined(__SANITIZE_ADDRESS__)
    IgnoreLeaksOfThisScope() { __lsan_disable(); }
    ~IgnoreLeaksOfThisScope() { __lsan_enable(); }
#endif
};

// Five distinct patterns at speed 2: about 2.6 seconds each.
nvmedia::Bytes TestModule(int patterns = 5, uint8_t speed = 2)
{
    nvmedia::ModSpec song = nvmedia::DemoModule(patterns);
    for (auto &pattern : song.patterns)
        pattern.notes.push_back({0, 3, 0, 0, 0xF, speed});
    return nvmedia::WriteMod(song);
}

// The load reads one second per request, so libmodplug's last, padded
// request matches a reference rendered in the same steps.
constexpr size_t LoadStep = 44100 * 4;

TEST(ModDecoding, WholeBufferMatchesLibmodplug)
{
    nvt::LoopbackDevice dev(ALC_STEREO_SOFT, 44100);
    ASSERT_TRUE(dev.ok());
    auto image = TestModule();
    auto expected = nvt::ToFloat(nvc::ModPlugRender(image, LoadStep));
    ASSERT_GT(expected.size(), size_t(44100 * 2 * 10));
    nvc::FreshModPlugMixer(image);
    nvc::BufferInfo info;
    auto out = nvc::LoadAndPlay(dev, image, &info);
    EXPECT_EQ(info, (nvc::BufferInfo{ALint(expected.size() * 2), 44100, 16, 2}))
        << nvt::LastError();
    EXPECT_TRUE(out == expected);
}

TEST(ModDecoding, StreamsMatchLibmodplugFromEveryOrderAndRewindReturnsThere)
{
    nvt::LoopbackDevice dev(ALC_STEREO_SOFT, 44100);
    ASSERT_TRUE(dev.ok());
    auto image = TestModule();
    const size_t chunk = 4 * 4410;
    const size_t batches = 6, numBufs = 2; // 1.2 seconds
    const size_t limit = chunk * numBufs * batches;
    auto fromStart = nvt::ToFloat(nvc::ModPlugRender(image, chunk, -1, limit));
    nvc::FreshModPlugMixer(image);
    nuvexStream *stream = nuvexCreateStreamFromMemory(image.data(), ALuint(image.size()),
                                                      ALsizei(chunk), 0, nullptr);
    ASSERT_NE(stream, nullptr) << nvt::LastError();
    EXPECT_EQ(nuvexGetStreamLength(stream), 0u);
    EXPECT_EQ(nuvexGetStreamFrequency(stream), 44100);
    EXPECT_TRUE(nvc::PlayStream(dev, stream, int(numBufs), batches) == fromStart);
    // Orders past the song are libmodplug's to handle, unchecked.
    for (ALuint order : {3u, 1u, 0u, 200u, 0x7FFFFFFFu}) {
        SCOPED_TRACE(order);
        auto expected = nvt::ToFloat(nvc::ModPlugRender(image, chunk, int(order), limit));
        ASSERT_EQ(expected.size(), limit / 2);
        if (order < 5) { // the orders of the song do sound different
            EXPECT_EQ(order == 0, expected == fromStart);
        }
        nvc::FreshModPlugMixer(image);
        ASSERT_TRUE(nuvexSetStreamOrder(stream, order)) << nvt::LastError();
        EXPECT_TRUE(nvc::PlayStream(dev, stream, int(numBufs), batches) == expected);
        // Rewind goes back to the selected order, not to the beginning.
        nvc::FreshModPlugMixer(image);
        ASSERT_TRUE(nuvexRewindStream(stream)) << nvt::LastError();
        EXPECT_TRUE(nvc::PlayStream(dev, stream, int(numBufs), batches) == expected);
    }
    EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
}

// One virtual input for the file callbacks: `head` followed by zeros up to
// `size` (a huge input costs neither disk nor memory); reads yield nothing
// while `dry`.
struct {
    nvc::Bytes head;
    uint64_t size = 0, bytesRead = 0;
    bool dry = false;
} Input;
void *OpenVirtual(const char *, ALuint) { return new uint64_t(0); }
void CloseVirtual(void *f) { delete static_cast<uint64_t *>(f); }
ALsizei ReadVirtual(void *f, ALubyte *buf, ALuint bytes)
{
    uint64_t &pos = *static_cast<uint64_t *>(f);
    uint64_t n = Input.dry ? 0 : std::min<uint64_t>(bytes, Input.size - pos);
    for (uint64_t i = 0; i < n; i++)
        buf[i] = pos + i < Input.head.size() ? Input.head[size_t(pos + i)] : 0;
    pos += n;
    Input.bytesRead += n;
    return ALsizei(n);
}
ALsizei WriteNothing(void *, const ALubyte *, ALuint) { return 0; }
nuvexInt64 SeekVirtual(void *f, nuvexInt64 offset, ALint whence)
{
    uint64_t &pos = *static_cast<uint64_t *>(f);
    int64_t base = whence == SEEK_CUR ? int64_t(pos) : whence == SEEK_END ? int64_t(Input.size) : 0;
    int64_t to = base + offset;
    if (to < 0 || uint64_t(to) > Input.size)
        return -1;
    return nuvexInt64(pos = uint64_t(to));
}
struct VirtualFiles {
    VirtualFiles()
    {
        nuvexSetIOCallbacks(OpenVirtual, CloseVirtual, ReadVirtual, WriteNothing, SeekVirtual);
    }
    ~VirtualFiles() { nuvexSetIOCallbacks(nullptr, nullptr, nullptr, nullptr, nullptr); }
};

TEST(ModDecoding, SetOrderOnUnreadableInputFailsAndPlayingGoesOn)
{
    nvt::LoopbackDevice dev(ALC_STEREO_SOFT, 44100);
    ASSERT_TRUE(dev.ok());
    VirtualFiles files;
    Input.head = TestModule();
    Input.size = Input.head.size();
    const size_t chunk = 4 * 2205;
    auto expected = nvt::ToFloat(nvc::ModPlugRender(Input.head, chunk, -1, chunk * 2 * 8));
    nvc::FreshModPlugMixer(Input.head);
    nuvexStream *stream = nuvexCreateStreamFromFile("song.mod", ALsizei(chunk), 0, nullptr);
    ASSERT_NE(stream, nullptr) << nvt::LastError();

    auto before = nvc::PlayStream(dev, stream, 2, 4);
    Input.dry = true;
    EXPECT_FALSE(nuvexSetStreamOrder(stream, 2));
    EXPECT_EQ(nvt::LastError(), "Could not reload data");
    EXPECT_FALSE(nuvexRewindStream(stream));
    EXPECT_EQ(nvt::LastError(), "Could not reload data");
    auto after = nvc::PlayStream(dev, stream, 2, 4);
    before.insert(before.end(), after.begin(), after.end());
    EXPECT_TRUE(before == expected);

    Input.dry = false;
    EXPECT_TRUE(nuvexSetStreamOrder(stream, 2)) << nvt::LastError();
    EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
}

TEST(ModDecoding, InputLargerThanAnyModuleIsDeclinedUnread)
{
    nvt::NullDevice dev;
    ASSERT_TRUE(dev.ok());
    VirtualFiles files;
    Input.head = TestModule(1);
    Input.size = 1 << 20;
    nuvexStream *small = nuvexCreateStreamFromFile("small.mod", 4096, 0, nullptr);
    EXPECT_NE(small, nullptr) << nvt::LastError();
    EXPECT_TRUE(nuvexDestroyStream(small, 0, nullptr));

    Input.size = (uint64_t(256) << 20) + 1;
    Input.bytesRead = 0;
    EXPECT_EQ(nuvexCreateStreamFromFile("huge.mod", 4096, 0, nullptr), nullptr);
    EXPECT_EQ(nvt::LastError(), "Unsupported type");
    // Only the other decoders' probes read anything.
    EXPECT_LT(Input.bytesRead, uint64_t(1) << 20);
}

TEST(ModDecoding, InputsBelow32BytesAreNeverHandedToLibmodplug)
{
    [[maybe_unused]] IgnoreLeaksOfThisScope libmodplugLeaks;
    // A text tune that libmodplug loads even at 31 bytes.
    const char tune[] = "X:1\nT:t\nK:C\nCDEFGABc|cBAGFEDC|\n\n";
    ASSERT_EQ(sizeof tune - 1, 32u);
    nvc::Bytes image(tune, tune + 32);
    ModPlugFile *direct = ModPlug_Load(image.data(), 31);
    ASSERT_NE(direct, nullptr);
    ModPlug_Unload(direct);

    nvt::NullDevice dev;
    ASSERT_TRUE(dev.ok());
    const struct {
        ALuint length;
        bool accepted;
    } cases[] = {{31, false}, {32, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.length);
        nvt::LastError();
        nuvexStream *stream = nuvexCreateStreamFromMemory(image.data(), c.length, 4096, 0, nullptr);
        EXPECT_EQ(stream != nullptr, c.accepted);
        if (stream) {
            EXPECT_EQ(nuvexGetStreamFrequency(stream), 44100);
            EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
        } else {
            EXPECT_EQ(nvt::LastError(), "Unsupported type");
        }
    }
}

// libmodplug also loads RIFF/WAVE files; those the WAV decoder declines end
// up here and play as 16-bit stereo at 44100 Hz. Deliberate: the decoder
// search gives the module decoder the last word.
TEST(ModDecoding, WavDeclinedByTheWavDecoderPlaysThroughLibmodplug)
{
    nvt::LoopbackDevice dev(ALC_STEREO_SOFT, 44100);
    ASSERT_TRUE(dev.ok());
    auto tone = nvmedia::Tones16(11025, 22050, {440}, 9000);
    nvt::WavSpec extensible;
    extensible.formatTag = 0xFFFE;
    extensible.channels = 1;
    extensible.rate = 22050;
    // Valid bits, channel mask, and the PCM sub-format GUID.
    extensible.fmtExtra = {16,   0, 4, 0, 0,    0, 1, 0,    0,    0,    0,
                           0,    0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    nvt::WavSpec pcm24;
    pcm24.channels = 1;
    pcm24.rate = 22050;
    pcm24.bitsPerSample = 24;
    nvc::Bytes data24;
    for (int16_t s : tone)
        data24.insert(data24.end(), {0, uint8_t(s), uint8_t(uint16_t(s) >> 8)});
    const struct {
        const char *name;
        nvc::Bytes image;
    } cases[] = {
        {"extensible 16-bit", nvt::MakeWav(extensible, nvt::Bytes16(tone))},
        {"24-bit", nvt::MakeWav(pcm24, data24)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto expected = nvt::ToFloat(nvc::ModPlugRender(c.image, LoadStep));
        nvc::FreshModPlugMixer(c.image);
        nvc::BufferInfo info;
        auto out = nvc::LoadAndPlay(dev, c.image, &info);
        EXPECT_EQ(info, (nvc::BufferInfo{ALint(expected.size() * 2), 44100, 16, 2}))
            << nvt::LastError();
        EXPECT_TRUE(out == expected);
    }
}

TEST(ModRobustness, TruncationsAndMutations)
{
    nvt::NullDevice dev;
    ASSERT_TRUE(dev.ok());
    // One-tick rows broken off after two: each pattern lasts a few
    // milliseconds, so even a damaged song stays short.
    nvmedia::ModSpec song = nvmedia::DemoModule(3);
    for (auto &pattern : song.patterns) {
        pattern.notes.push_back({0, 3, 0, 0, 0xF, 1});
        pattern.notes.push_back({1, 3, 0, 0, 0xD, 0});
    }
    EXPECT_GT(nvc::LoadDamaged(nvmedia::WriteMod(song), 53, 200, 3), 0u);
    EXPECT_EQ(alGetError(), AL_NO_ERROR);
}

} // namespace
