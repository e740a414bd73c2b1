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

// A type-1 Standard MIDI File whose second track goes on in running status
// right after a meta event: the shape that crashed libmodplug's MIDI reader.
nvc::Bytes RunningStatusMidi()
{
    auto chunk = [](nvc::Bytes &out, const char *tag, const nvc::Bytes &body) {
        nvt::PutTag(out, tag);
        nvt::PutBE32(out, uint32_t(body.size()));
        out.insert(out.end(), body.begin(), body.end());
    };
    nvc::Bytes midi;
    chunk(midi, "MThd", {0, 1, 0, 2, 0, 96});
    chunk(midi, "MTrk", {0, 0xFF, 0x51, 3, 0x07, 0xA1, 0x20, 0, 0xFF, 0x2F, 0});
    chunk(midi, "MTrk", {0, 0xC0, 0, 0, 0x90, 0x3C, 0x64, 0x10, 0xFF, 0x01, 2, 'h', 'i',
                         0x60, 0x3C, 0x00, 0x00, 0x40, 0x64, 0x60, 0x40, 0, 0, 0xFF, 0x2F, 0});
    return midi;
}

// Families libmodplug reads but plays wrongly (WAV as six seconds of noise,
// MIDI without instruments) or crashes on: with no other decoder taking
// them, they are unknown input like any other.
TEST(ModDecoding, NonModuleFamiliesAreDeclined)
{
    nvt::NullDevice dev;
    ASSERT_TRUE(dev.ok());
    auto tone = nvmedia::Tones16(2205, 22050, {440}, 9000);
    auto wav = [&](uint16_t tag, uint16_t bits, uint16_t align, nvc::Bytes extra) {
        nvt::WavSpec spec;
        spec.formatTag = tag;
        spec.channels = 1;
        spec.rate = 22050;
        spec.bitsPerSample = bits;
        spec.blockAlign = align;
        spec.fmtExtra = std::move(extra);
        return nvt::MakeWav(spec, nvc::Bytes(size_t(align) * 64, 0x55));
    };
    // Valid bits, channel mask, and the PCM sub-format GUID.
    const nvc::Bytes extensible = {16, 0, 4, 0,    0, 0, 1,    0, 0,    0,    0,
                                   0,  0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    // Samples per block, then the seven standard coefficient pairs.
    nvc::Bytes msadpcm = {0xF4, 1, 7, 0};
    for (int c : {256, 0, 512, -256, 0, 0, 192, 64, 240, 0, 460, -208, 392, -232})
        nvt::PutLE16(msadpcm, uint32_t(uint16_t(int16_t(c))));
    nvc::Bytes rmid;
    nvt::PutTag(rmid, "RIFF");
    nvt::PutLE32(rmid, uint32_t(RunningStatusMidi().size() + 12));
    nvt::PutTag(rmid, "RMIDdata");
    nvt::PutLE32(rmid, uint32_t(RunningStatusMidi().size()));
    auto midi = RunningStatusMidi();
    rmid.insert(rmid.end(), midi.begin(), midi.end());
    nvmedia::AiffOptions aifc;
    aifc.formType = "AIFC";

    const struct {
        const char *name;
        nvc::Bytes image;
    } cases[] = {
        {"MIDI, running status after a meta event", midi},
        {"RIFF-MIDI", rmid},
        {"WAV 24-bit", wav(1, 24, 3, {})},
        {"WAV 32-bit integer", wav(1, 32, 4, {})},
        {"WAV extensible", wav(0xFFFE, 16, 2, extensible)},
        {"WAV A-law", wav(6, 8, 1, {})},
        {"WAV MS ADPCM", wav(2, 4, 256, msadpcm)},
        {"AIFF-C", nvmedia::WriteAiff(tone, 1, 22050, 16, aifc)},
    };
    const std::string path = nvt::TempPath("foreign.bin");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        nvt::WriteFile(path, c.image);
        const ALuint next = nvt::NextBufferName();
        EXPECT_EQ(nuvexCreateBufferFromMemory(c.image.data(), ALsizei(c.image.size())), 0u);
        EXPECT_EQ(nvt::LastError(), "Unsupported type");
        EXPECT_EQ(nuvexCreateBufferFromFile(path.c_str()), 0u);
        EXPECT_EQ(nvt::LastError(), "Unsupported type");
        EXPECT_FALSE(alIsBuffer(next));
        ALuint bufs[2] = {};
        EXPECT_EQ(nuvexCreateStreamFromMemory(c.image.data(), ALuint(c.image.size()), 4096, 2,
                                              bufs),
                  nullptr);
        EXPECT_EQ(nvt::LastError(), "Unsupported type");
        EXPECT_EQ(alGetError(), AL_NO_ERROR);
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
