// Streams over files, memory and callbacks: argument checks, chunk
// arithmetic, buffer filling, rewinding and destruction, and what a source
// fed from a stream actually plays.
#include "playback.h"

#include <climits>
#include <functional>
#include <iterator>

using namespace nvt;

namespace {

class Streaming : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dev.ok());
        InstallFakeDecoder();
    }
    void TearDown() override { nuvexStreamSizeIsMicroSec(AL_FALSE); }

    static ALint BufferInt(ALuint buffer, ALenum param)
    {
        ALint value = -1;
        alGetBufferi(buffer, param, &value);
        return value;
    }

    LoopbackDevice dev{ALC_STEREO_SOFT, 44100};
};

TEST_F(Streaming, CreationFailuresFollowTheCheckOrder)
{
    RampSound sound = MakeRampSound(1000);
    std::string path = TempPath("ramp.wav"), junkPath = TempPath("junk.bin");
    WriteFile(path, sound.wav);
    std::vector<uint8_t> junk(64, 0x55), pcm = Bytes16(sound.samples);
    WriteFile(junkPath, junk);
    ByteFeed feed;
    feed.bytes = pcm;
    int fakeCloses = 0;
    FakeImage quadLoki; // a format without a known compression rate
    quadLoki.format = 0x10005;
    quadLoki.blockSize = 8;
    quadLoki.data = pcm.data();
    quadLoki.size = pcm.size();
    quadLoki.closes = &fakeCloses;
    FakeImage bogus = quadLoki; // a format OpenAL refuses on upload
    bogus.format = 0x7777;
    bogus.blockSize = 4;

    ALuint b[4] = {};
    using Create = std::function<nuvexStream *()>;
    auto file = [](std::string name, ALsizei chunk, ALsizei count, ALuint *bufs) -> Create {
        return [=] { return nuvexCreateStreamFromFile(name.c_str(), chunk, count, bufs); };
    };
    auto memory = [](auto create, const void *data, size_t size, ALsizei chunk, ALsizei count,
                     ALuint *bufs) -> Create {
        auto bytes = static_cast<const ALubyte *>(data);
        return [=] { return create(bytes, ALuint(size), chunk, count, bufs); };
    };
    auto callback = [&](nuvexStreamCallback cb, ALenum format, ALuint freq, ALsizei chunk,
                        ALsizei count, ALuint *bufs) -> Create {
        return [=, &feed] {
            return nuvexCreateStreamFromCallback(cb, &feed, format, freq, chunk, count, bufs);
        };
    };
    const auto cb = ByteFeed::Callback;
    const auto copy = nuvexCreateStreamFromMemory;
    const auto stat = nuvexCreateStreamFromStaticMemory;
    enum { Pending = 1, Micro = 2 };
    struct Row {
        Create call;
        const char *message;
        int flags = 0;
    };
    std::vector<Row> rows = {
        {file("", -1, -1, nullptr), "Existing OpenAL error", Pending},
        {file(path, -1, -1, nullptr), "Invalid chunk length"},
        {file(path, 1024, -1, nullptr), "Invalid buffer count"},
        {file("/nonexistent/x.wav", 1024, 2, nullptr), "Invalid buffer pointer"},
        {file("/nonexistent/x.wav", 1024, 2, b), "Failed to open file"},
        {file(junkPath, 1024, 2, b), "Unsupported type"},
        {callback(nullptr, 0, 0, -1, -1, nullptr), "Existing OpenAL error", Pending},
        {callback(nullptr, 0, 0, -1, -1, nullptr), "Invalid callback"},
        {callback(cb, 0, 0, -1, -1, nullptr), "Invalid chunk length"},
        {callback(cb, 0, 0, 1024, -1, nullptr), "Invalid buffer count"},
        {callback(cb, 0, 0, 1024, 2, nullptr), "Invalid buffer pointer"},
        // From here on a stream exists and its own checks run.
        {callback(cb, 0, 0, 1024, 2, b), "Could not get stream format"},
        {callback(cb, -1, 0, 1024, 2, b), "No valid format"},
        {callback(cb, 0x7777, 0, 1024, 2, b), "Invalid block size"},
        {callback(cb, AL_FORMAT_MONO16, 0, 1024, 2, b), "Invalid sample rate"},
        {memory(stat, &quadLoki, sizeof quadLoki, 0, 2, b), "Unknown compression rate", Micro},
        {callback(cb, AL_FORMAT_MONO16, 1000000, INT_MAX, 2, b), "Chunk length too large", Micro},
        {file(path, 0, 2, b), "Chunk length too small"},
        {memory(copy, sound.wav.data(), sound.wav.size(), 3, 2, b), "Chunk length too small"},
        {file(path, 22, 2, b), "Chunk length too small", Micro}, // under one frame
        {memory(copy, &bogus, sizeof bogus, 1024, 2, b), "Buffering error"},
    };
    for (auto create : {copy, stat}) {
        rows.push_back(
            {memory(create, nullptr, 0, -1, -1, nullptr), "Existing OpenAL error", Pending});
        rows.push_back({memory(create, nullptr, 0, -1, -1, nullptr), "Invalid chunk length"});
        rows.push_back({memory(create, nullptr, 0, 1024, -1, nullptr), "Invalid buffer count"});
        rows.push_back({memory(create, nullptr, 0, 1024, 2, nullptr), "Invalid buffer pointer"});
        rows.push_back({memory(create, nullptr, 0, 1024, 2, b), "Invalid data length"});
        rows.push_back({memory(create, nullptr, 10, 1024, 2, b), "Invalid data pointer"});
        rows.push_back({memory(create, junk.data(), 64, 1024, 2, b), "Unsupported type"});
    }

    for (size_t i = 0; i < rows.size(); i++) {
        const Row &row = rows[i];
        SCOPED_TRACE(::testing::Message() << "row " << i << ": " << row.message);
        std::set<ALuint> before = LiveBuffers();
        nuvexStreamSizeIsMicroSec((row.flags & Micro) ? AL_TRUE : AL_FALSE);
        if (row.flags & Pending)
            RaiseOpenALError();
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(row.call(), nullptr);
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(LastError(), row.message);
        // The unknown format is also named on standard error, and only then.
        bool diagnosed = err.find("Nuvex lib: Unhandled format: 0x10005\n") != std::string::npos;
        EXPECT_EQ(diagnosed, std::string(row.message) == "Unknown compression rate") << err;
        EXPECT_EQ(alGetError(), AL_NO_ERROR) << "a stale OpenAL error was left behind";
        EXPECT_EQ(LiveBuffers(), before) << "a failed creation left buffers behind";
    }
    EXPECT_EQ(fakeCloses, 2) << "every stream that failed in creation is destroyed once";
}

// Each handle check alone is in the misuse table; here is their order
// against the other checks.
TEST_F(Streaming, OtherFunctionsRefuseBadArgumentsInOrder)
{
    RampSound sound = MakeRampSound(2000);
    std::vector<uint8_t> pcm = Bytes16(sound.samples);
    const ALuint len = ALuint(sound.wav.size());
    ALuint own[2];
    nuvexStream *good = nuvexCreateStreamFromMemory(sound.wav.data(), len, 1024, 2, own);
    ASSERT_NE(good, nullptr) << LastError();
    FakeImage bogus;
    bogus.format = 0x7777;
    bogus.data = pcm.data();
    bogus.size = pcm.size();
    nuvexStream *refused = nuvexCreateStreamFromStaticMemory(
        reinterpret_cast<const ALubyte *>(&bogus), sizeof bogus, 1024, 0, nullptr);
    ASSERT_NE(refused, nullptr) << LastError();
    // Made last, so that no later allocation can take over its address.
    nuvexStream *stale = nuvexCreateStreamFromMemory(sound.wav.data(), len, 1024, 0, nullptr);
    ASSERT_TRUE(nuvexDestroyStream(stale, 0, nullptr));

    ALuint fresh[2], gone;
    alGenBuffers(2, fresh);
    alGenBuffers(1, &gone);
    alDeleteBuffers(1, &gone);
    ALuint freshThenGone[2] = {fresh[0], gone}, freshThenZero[2] = {fresh[0], 0};

    struct Row {
        std::function<int64_t()> call;
        int64_t failValue;
        const char *message;
        bool pending = false;
    };
    auto fill = [](nuvexStream *stream, ALsizei count, ALuint *bufs) {
        return [=]() -> int64_t { return nuvexBufferDataFromStream(stream, count, bufs); };
    };
    const Row rows[] = {
        {fill(nullptr, -1, nullptr), -1, "Existing OpenAL error", true},
        {fill(nullptr, -1, nullptr), -1, "Invalid stream pointer"},
        {fill(good, -1, nullptr), -1, "Invalid buffer count"},
        {fill(good, 1, nullptr), -1, "Invalid buffer pointer"},
        {fill(good, 2, freshThenZero), -1, "Invalid buffer ID"},
        {fill(good, 2, freshThenGone), -1, "Invalid buffer ID"},
        {fill(refused, 2, fresh), -1, "Buffer load failed"},
        {[&] { return nuvexDestroyStream(stale, -1, nullptr); }, AL_FALSE, "Existing OpenAL error",
         true},
        {[&] { return nuvexDestroyStream(stale, -1, nullptr); }, AL_FALSE, "Invalid buffer count"},
        {[&] { return nuvexDestroyStream(stale, 1, nullptr); }, AL_FALSE, "Invalid buffer pointer"},
        {[&] { return nuvexDestroyStream(stale, 2, fresh); }, AL_FALSE, "Invalid stream pointer"},
        {[&] { return nuvexSetStreamOrder(good, 1); }, AL_FALSE, "Invalid order for stream"},
    };
    for (size_t i = 0; i < std::size(rows); i++) {
        SCOPED_TRACE(::testing::Message() << "row " << i << ": " << rows[i].message);
        if (rows[i].pending)
            RaiseOpenALError();
        EXPECT_EQ(rows[i].call(), rows[i].failValue);
        EXPECT_EQ(LastError(), rows[i].message);
        EXPECT_EQ(alGetError(), AL_NO_ERROR);
    }
    // A refused name among good ones uploads nothing at all.
    EXPECT_EQ(BufferInt(fresh[0], AL_SIZE), 0);

    // The queries neither check nor clear a pending OpenAL error.
    RaiseOpenALError();
    EXPECT_EQ(nuvexGetStreamFrequency(good), 44100);
    EXPECT_EQ(nuvexGetStreamLength(good), 2000u);
    EXPECT_TRUE(nuvexRewindStream(good));
    EXPECT_TRUE(nuvexSetStreamOrder(good, 0));
    EXPECT_TRUE(nuvexSetStreamPatchset(good, "anything"));
    EXPECT_EQ(alGetError(), AL_INVALID_NAME);

    // None of the failures hurt the streams they were given.
    EXPECT_EQ(nuvexBufferDataFromStream(good, 2, fresh), 2) << LastError();
    EXPECT_TRUE(nuvexDestroyStream(good, 2, own)) << LastError();
    EXPECT_TRUE(nuvexDestroyStream(refused, 2, fresh)) << LastError();
}

TEST_F(Streaming, ChunkLengthInBytesAndMicroseconds)
{
    struct Row {
        bool microseconds;
        ALenum format;
        ALuint freq;
        ALsizei chunk;
        ALuint bytes;
    };
    const Row rows[] = {
        {false, AL_FORMAT_STEREO16, 44100, 4099, 4096}, // whole frames only
        {false, AL_FORMAT_STEREO16, 44100, 4, 4},
        {false, AL_FORMAT_MONO16, 44100, 4099, 4098},
        {true, AL_FORMAT_STEREO16, 44100, 250000, 44100},
        {true, AL_FORMAT_MONO_IMA4, 44100, 1000000, 24408}, // 678 blocks of 65 frames
        {true, AL_FORMAT_MONO16, 22050, 100000, 4410},
        {true, AL_FORMAT_STEREO16, 44100, 90, 12}, // 3.969 frames truncate to 3
    };
    // The switch returns the setting it replaces.
    EXPECT_EQ(nuvexStreamSizeIsMicroSec(AL_TRUE), AL_FALSE);
    EXPECT_EQ(nuvexStreamSizeIsMicroSec(7), AL_TRUE);
    EXPECT_EQ(nuvexStreamSizeIsMicroSec(AL_FALSE), AL_TRUE);
    EXPECT_EQ(nuvexStreamSizeIsMicroSec(AL_FALSE), AL_FALSE);
    for (const Row &row : rows) {
        SCOPED_TRACE(::testing::Message() << (row.microseconds ? "us " : "bytes ") << row.chunk
                                          << " at " << row.freq << " Hz, format " << row.format);
        nuvexStreamSizeIsMicroSec(row.microseconds ? AL_TRUE : AL_FALSE);
        ByteFeed feed;
        feed.bytes.assign(100000, 0);
        ALuint buf = 0;
        nuvexStream *stream = nuvexCreateStreamFromCallback(ByteFeed::Callback, &feed, row.format,
                                                            row.freq, row.chunk, 1, &buf);
        ASSERT_NE(stream, nullptr) << LastError();
        EXPECT_EQ(feed.lastRequest, row.bytes) << "the size the stream asks its decoder for";
        if (row.format != AL_FORMAT_MONO_IMA4) { // OpenAL Soft stores IMA4 decoded
            EXPECT_EQ(BufferInt(buf, AL_SIZE), ALint(row.bytes));
        }
        // The unit is read at creation only: switching it later changes nothing.
        nuvexStreamSizeIsMicroSec(row.microseconds ? AL_FALSE : AL_TRUE);
        EXPECT_EQ(nuvexBufferDataFromStream(stream, 1, &buf), 1);
        EXPECT_EQ(feed.lastRequest, row.bytes);
        EXPECT_TRUE(nuvexDestroyStream(stream, 1, &buf));
    }
}

// Zero buffers at creation fills nothing; a sound shorter than the ring
// leaves the trailing buffers empty, and at its end a refill touches nothing.
TEST_F(Streaming, CreationFillsOnlyWhatTheSoundHas)
{
    RampSound sound = MakeRampSound(300); // 1200 bytes
    std::set<ALuint> before = LiveBuffers();
    ALuint bufs[4] = {12345};
    const ALuint len = ALuint(sound.wav.size());
    nuvexStream *stream = nuvexCreateStreamFromMemory(sound.wav.data(), len, 1024, 0, bufs);
    ASSERT_NE(stream, nullptr) << LastError();
    EXPECT_EQ(bufs[0], 12345u);
    EXPECT_EQ(LiveBuffers(), before);
    EXPECT_EQ(nuvexBufferDataFromStream(stream, 0, nullptr), 0);
    EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));

    stream = nuvexCreateStreamFromMemory(sound.wav.data(), len, 1024, 4, bufs);
    ASSERT_NE(stream, nullptr) << LastError();
    const ALint sizes[4] = {1024, 176, 0, 0};
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(BufferInt(bufs[i], AL_SIZE), sizes[i]) << i;
    EXPECT_EQ(BufferInt(bufs[1], AL_FREQUENCY), 44100);
    EXPECT_EQ(nuvexBufferDataFromStream(stream, 2, bufs), 0) << "the stream is at its end";
    EXPECT_EQ(BufferInt(bufs[0], AL_SIZE), 1024) << "an unfilled buffer is left alone";
    EXPECT_TRUE(nuvexDestroyStream(stream, 4, bufs));
    EXPECT_EQ(LiveBuffers(), before);
}

// Refilled by hand from every kind of byte source, the source plays the
// sound exactly, and exactly again after a rewind where the source can rewind.
TEST_F(Streaming, HandRefillsPlayTheSoundExactlyAndAgainAfterRewind)
{
    RampSound sound = MakeRampSound(5003);
    std::string path = TempPath("hand.wav");
    WriteFile(path, sound.wav);
    const ALuint len = ALuint(sound.wav.size());
    const ALubyte *wav = sound.wav.data();
    ByteFeed feed;
    feed.bytes = Bytes16(sound.samples);
    struct Row {
        const char *what;
        std::function<nuvexStream *(ALuint *)> create;
        bool rewinds = true;
    };
    const Row rows[] = {
        {"file", [&](ALuint *b) { return nuvexCreateStreamFromFile(path.c_str(), 1000, 3, b); }},
        {"memory", [&](ALuint *b) { return nuvexCreateStreamFromMemory(wav, len, 1000, 3, b); }},
        {"static memory",
         [&](ALuint *b) { return nuvexCreateStreamFromStaticMemory(wav, len, 1000, 3, b); }},
        {"decode callback",
         [&](ALuint *b) {
             return nuvexCreateStreamFromCallback(ByteFeed::Callback, &feed, AL_FORMAT_STEREO16,
                                                  44100, 800, 3, b);
         },
         false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        ALuint bufs[3];
        nuvexStream *stream = row.create(bufs);
        ASSERT_NE(stream, nullptr) << LastError();
        EXPECT_EQ(nuvexGetStreamFrequency(stream), 44100);
        if (row.rewinds) {
            EXPECT_EQ(nuvexGetStreamLength(stream), 5003u);
        }
        for (int round = 0; round < 2; round++) {
            SCOPED_TRACE(round == 0 ? "first play" : "after rewind");
            std::vector<float> out = PlayByHand(dev, stream, bufs, 3, 300);
            EXPECT_TRUE(SameSamples(out, 0, sound.floats));
            EXPECT_TRUE(Silent(out, sound.floats.size(), out.size()));
            if (!row.rewinds) {
                EXPECT_FALSE(nuvexRewindStream(stream));
                EXPECT_EQ(LastError(), "Rewind failed");
                break;
            }
            ASSERT_TRUE(nuvexRewindStream(stream)) << LastError();
            ASSERT_EQ(nuvexBufferDataFromStream(stream, 3, bufs), 3);
        }
        EXPECT_TRUE(nuvexDestroyStream(stream, 3, bufs)) << LastError();
    }
}

TEST_F(Streaming, DestroyRefusedWhileBuffersAreQueuedAndWithoutStream)
{
    RampSound sound = MakeRampSound(4000);
    ALuint bufs[2];
    nuvexStream *stream = nuvexCreateStreamFromMemory(sound.wav.data(), ALuint(sound.wav.size()),
                                                      1024, 2, bufs);
    ASSERT_NE(stream, nullptr);
    ALuint source = MakeDirectSource();
    alSourceQueueBuffers(source, 2, bufs);
    EXPECT_FALSE(nuvexDestroyStream(stream, 2, bufs));
    EXPECT_EQ(LastError(), "Buffer deletion failed");
    EXPECT_TRUE(alIsBuffer(bufs[0]) && alIsBuffer(bufs[1]));
    // Still a live stream: it goes on from where it was.
    EXPECT_EQ(nuvexGetStreamFrequency(stream), 44100);
    ALuint more;
    alGenBuffers(1, &more);
    EXPECT_EQ(nuvexBufferDataFromStream(stream, 1, &more), 1);
    alSourcei(source, AL_BUFFER, 0);
    EXPECT_TRUE(nuvexDestroyStream(stream, 2, bufs)) << LastError();
    EXPECT_FALSE(alIsBuffer(bufs[0]) || alIsBuffer(bufs[1]));
    // Without a stream only the buffers go.
    EXPECT_TRUE(nuvexDestroyStream(nullptr, 1, &more));
    EXPECT_FALSE(alIsBuffer(more));
    alDeleteSources(1, &source);
}

// A copied image outlives the application's bytes (AddressSanitizer would
// catch a read of them); a static one is read where it lies.
TEST_F(Streaming, MemoryIsCopiedOrReadInPlace)
{
    RampSound sound = MakeRampSound(3000);
    auto *bytes = new std::vector<uint8_t>(sound.wav);
    ALuint bufs[3];
    nuvexStream *copied = nuvexCreateStreamFromMemory(bytes->data(), ALuint(bytes->size()), 1000,
                                                      3, bufs);
    ASSERT_NE(copied, nullptr) << LastError();
    std::fill(bytes->begin(), bytes->end(), 0xEE);
    delete bytes;
    EXPECT_TRUE(SameSamples(PlayByHand(dev, copied, bufs, 3, 256), 0, sound.floats));
    EXPECT_TRUE(nuvexDestroyStream(copied, 0, nullptr));

    std::vector<uint8_t> image = sound.wav;
    nuvexStream *inPlace = nuvexCreateStreamFromStaticMemory(image.data(), ALuint(image.size()),
                                                             1000, 0, nullptr);
    ASSERT_NE(inPlace, nullptr) << LastError();
    std::vector<int16_t> changed(sound.samples.size(), 1234);
    std::vector<uint8_t> changedBytes = Bytes16(changed);
    std::copy(changedBytes.begin(), changedBytes.end(), image.end() - long(changedBytes.size()));
    ASSERT_EQ(nuvexBufferDataFromStream(inPlace, 3, bufs), 3);
    EXPECT_TRUE(SameSamples(PlayByHand(dev, inPlace, bufs, 3, 256), 0, ToFloat(changed)));
    EXPECT_TRUE(nuvexDestroyStream(inPlace, 3, bufs));
}

} // namespace
