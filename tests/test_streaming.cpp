// Streams over files, memory and callbacks: argument checks, chunk
// arithmetic, buffer filling, rewinding and destruction, and what a source
// fed from a stream actually plays.
#include "playback.h"

#include <climits>
#include <functional>

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
    std::string path = TempPath("ramp.wav");
    WriteFile(path, sound.wav);
    std::vector<uint8_t> junk(64, 0x55);
    std::string junkPath = TempPath("junk.bin");
    WriteFile(junkPath, junk);
    std::vector<uint8_t> pcm = Bytes16(sound.samples);
    ByteFeed feed;
    feed.bytes = pcm;
    int fakeCloses = 0;
    FakeSpec quadLoki; // a format without a known compression rate
    quadLoki.format = 0x10005;
    quadLoki.blockSize = 8;
    quadLoki.data = pcm.data();
    quadLoki.size = pcm.size();
    quadLoki.closes = &fakeCloses;
    FakeSpec bogus = quadLoki; // a format OpenAL refuses on upload
    bogus.format = 0x7777;
    bogus.blockSize = 4;
    auto fake = [](FakeSpec &spec) { return reinterpret_cast<const ALubyte *>(&spec); };

    ALuint bufs[4] = {};
    const ALsizei n = 2;
    auto cb = ByteFeed::Callback;
    using Create = std::function<nuvexStream *()>;
    auto fromMemory = [&](auto create) {
        return std::vector<std::pair<Create, const char *>>{
            {[&, create] { return create(nullptr, 0, -1, -1, nullptr); }, "Invalid chunk length"},
            {[&, create] { return create(nullptr, 0, 1024, -1, nullptr); }, "Invalid buffer count"},
            {[&, create] { return create(nullptr, 0, 1024, n, nullptr); }, "Invalid buffer pointer"},
            {[&, create] { return create(nullptr, 0, 1024, n, bufs); }, "Invalid data length"},
            {[&, create] { return create(nullptr, 10, 1024, n, bufs); }, "Invalid data pointer"},
            {[&, create] { return create(junk.data(), 64, 1024, n, bufs); }, "Unsupported type"},
        };
    };

    struct Row {
        const char *what;
        Create call;
        const char *message;
        bool pending = false;
        bool microseconds = false;
        const char *stderrLine = nullptr;
    };
    std::vector<Row> rows = {
        {"file, pending error first",
         [&] { return nuvexCreateStreamFromFile(nullptr, -1, -1, nullptr); },
         "Existing OpenAL error", true},
        {"file", [&] { return nuvexCreateStreamFromFile(path.c_str(), -1, -1, nullptr); },
         "Invalid chunk length"},
        {"file", [&] { return nuvexCreateStreamFromFile(path.c_str(), 1024, -1, nullptr); },
         "Invalid buffer count"},
        {"file", [&] { return nuvexCreateStreamFromFile("/nonexistent/x.wav", 1024, n, nullptr); },
         "Invalid buffer pointer"},
        {"file", [&] { return nuvexCreateStreamFromFile("/nonexistent/x.wav", 1024, n, bufs); },
         "Failed to open file"},
        {"file", [&] { return nuvexCreateStreamFromFile(junkPath.c_str(), 1024, n, bufs); },
         "Unsupported type"},
        {"memory, pending error first",
         [&] { return nuvexCreateStreamFromMemory(nullptr, 0, -1, -1, nullptr); },
         "Existing OpenAL error", true},
        {"static memory, pending error first",
         [&] { return nuvexCreateStreamFromStaticMemory(nullptr, 0, -1, -1, nullptr); },
         "Existing OpenAL error", true},
        {"callback, pending error first",
         [&] { return nuvexCreateStreamFromCallback(nullptr, &feed, 0, 0, -1, -1, nullptr); },
         "Existing OpenAL error", true},
        {"callback",
         [&] { return nuvexCreateStreamFromCallback(nullptr, &feed, 0, 0, -1, -1, nullptr); },
         "Invalid callback"},
        {"callback",
         [&] { return nuvexCreateStreamFromCallback(cb, &feed, 0, 0, -1, -1, nullptr); },
         "Invalid chunk length"},
        {"callback",
         [&] { return nuvexCreateStreamFromCallback(cb, &feed, 0, 0, 1024, -1, nullptr); },
         "Invalid buffer count"},
        {"callback",
         [&] { return nuvexCreateStreamFromCallback(cb, &feed, 0, 0, 1024, n, nullptr); },
         "Invalid buffer pointer"},
        // From here on the stream exists and its own checks run.
        {"callback, format 0",
         [&] { return nuvexCreateStreamFromCallback(cb, &feed, 0, 0, 1024, n, bufs); },
         "Could not get stream format"},
        {"callback, format -1",
         [&] { return nuvexCreateStreamFromCallback(cb, &feed, -1, 0, 1024, n, bufs); },
         "No valid format"},
        {"callback, unknown format",
         [&] { return nuvexCreateStreamFromCallback(cb, &feed, 0x7777, 0, 1024, n, bufs); },
         "Invalid block size"},
        {"callback, rate 0",
         [&] { return nuvexCreateStreamFromCallback(cb, &feed, AL_FORMAT_MONO16, 0, 1024, n, bufs); },
         "Invalid sample rate"},
        {"microseconds, no compression rate",
         [&] { return nuvexCreateStreamFromStaticMemory(fake(quadLoki), sizeof quadLoki, 0, n, bufs); },
         "Unknown compression rate", false, true, "Nuvex lib: Unhandled format: 0x10005\n"},
        {"microseconds, over 2^31 - 1 bytes",
         [&] {
             return nuvexCreateStreamFromCallback(cb, &feed, AL_FORMAT_MONO16, 1000000, INT_MAX,
                                                  n, bufs);
         },
         "Chunk length too large", false, true},
        {"bytes, chunk 0",
         [&] { return nuvexCreateStreamFromFile(path.c_str(), 0, n, bufs); },
         "Chunk length too small"},
        {"bytes, chunk 3 below one stereo frame",
         [&] { return nuvexCreateStreamFromMemory(sound.wav.data(), ALuint(sound.wav.size()), 3, n, bufs); },
         "Chunk length too small"},
        {"microseconds, under one frame",
         [&] { return nuvexCreateStreamFromFile(path.c_str(), 22, n, bufs); },
         "Chunk length too small", false, true},
        {"upload refused",
         [&] { return nuvexCreateStreamFromMemory(fake(bogus), sizeof bogus, 1024, n, bufs); },
         "Buffering error"},
    };
    for (auto create : {nuvexCreateStreamFromMemory, nuvexCreateStreamFromStaticMemory})
        for (auto &[call, message] : fromMemory(create))
            rows.push_back({"memory", call, message});

    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.what) + " -> " + row.message);
        std::set<ALuint> before = LiveBuffers();
        nuvexStreamSizeIsMicroSec(row.microseconds ? AL_TRUE : AL_FALSE);
        if (row.pending)
            RaiseOpenALError();
        if (row.stderrLine)
            ::testing::internal::CaptureStderr();
        nuvexStream *stream = row.call();
        if (row.stderrLine) {
            std::string err = ::testing::internal::GetCapturedStderr();
            EXPECT_NE(err.find(row.stderrLine), std::string::npos) << err;
        }
        EXPECT_EQ(stream, nullptr);
        EXPECT_EQ(LastError(), row.message);
        EXPECT_EQ(alGetError(), AL_NO_ERROR) << "a stale OpenAL error was left behind";
        EXPECT_EQ(LiveBuffers(), before) << "a failed creation left buffers behind";
    }
    EXPECT_EQ(fakeCloses, 2) << "every stream that failed in creation is destroyed once";
}

TEST_F(Streaming, OtherFunctionsRefuseBadArgumentsInOrder)
{
    RampSound sound = MakeRampSound(2000);
    std::vector<uint8_t> pcm = Bytes16(sound.samples);
    ALuint own[2];
    nuvexStream *good = nuvexCreateStreamFromMemory(sound.wav.data(), ALuint(sound.wav.size()),
                                                    1024, 2, own);
    ASSERT_NE(good, nullptr) << LastError();
    FakeSpec bogus;
    bogus.format = 0x7777;
    bogus.data = pcm.data();
    bogus.size = pcm.size();
    nuvexStream *refused = nuvexCreateStreamFromStaticMemory(
        reinterpret_cast<const ALubyte *>(&bogus), sizeof bogus, 1024, 0, nullptr);
    ASSERT_NE(refused, nullptr) << LastError();
    // Made last, so that no later allocation can take over its address.
    nuvexStream *stale = nuvexCreateStreamFromMemory(sound.wav.data(), ALuint(sound.wav.size()),
                                                     1024, 0, nullptr);
    ASSERT_NE(stale, nullptr);
    ASSERT_TRUE(nuvexDestroyStream(stale, 0, nullptr));

    ALuint fresh[2], gone;
    alGenBuffers(2, fresh);
    alGenBuffers(1, &gone);
    alDeleteBuffers(1, &gone);
    ALuint freshThenGone[2] = {fresh[0], gone};
    ALuint freshThenZero[2] = {fresh[0], 0};

    const int64_t fail64 = int64_t(UINT64_MAX);
    struct Row {
        const char *what;
        std::function<int64_t()> call;
        int64_t failValue;
        const char *message;
        bool pending = false;
    };
    const Row rows[] = {
        {"fill, pending error first", [&] { return nuvexBufferDataFromStream(nullptr, -1, nullptr); },
         -1, "Existing OpenAL error", true},
        {"fill, null", [&] { return nuvexBufferDataFromStream(nullptr, -1, nullptr); }, -1,
         "Invalid stream pointer"},
        {"fill, stale", [&] { return nuvexBufferDataFromStream(stale, 1, fresh); }, -1,
         "Invalid stream pointer"},
        {"fill", [&] { return nuvexBufferDataFromStream(good, -1, nullptr); }, -1,
         "Invalid buffer count"},
        {"fill", [&] { return nuvexBufferDataFromStream(good, 1, nullptr); }, -1,
         "Invalid buffer pointer"},
        {"fill, name 0", [&] { return nuvexBufferDataFromStream(good, 2, freshThenZero); }, -1,
         "Invalid buffer ID"},
        {"fill, deleted name", [&] { return nuvexBufferDataFromStream(good, 2, freshThenGone); },
         -1, "Invalid buffer ID"},
        {"fill, upload refused", [&] { return nuvexBufferDataFromStream(refused, 2, fresh); }, -1,
         "Buffer load failed"},
        {"destroy, pending error first", [&] { return nuvexDestroyStream(stale, -1, nullptr); },
         AL_FALSE, "Existing OpenAL error", true},
        {"destroy", [&] { return nuvexDestroyStream(stale, -1, nullptr); }, AL_FALSE,
         "Invalid buffer count"},
        {"destroy", [&] { return nuvexDestroyStream(stale, 1, nullptr); }, AL_FALSE,
         "Invalid buffer pointer"},
        {"destroy, stale", [&] { return nuvexDestroyStream(stale, 2, fresh); }, AL_FALSE,
         "Invalid stream pointer"},
        {"rewind, null", [&] { return nuvexRewindStream(nullptr); }, AL_FALSE,
         "Invalid stream pointer"},
        {"rewind, stale", [&] { return nuvexRewindStream(stale); }, AL_FALSE,
         "Invalid stream pointer"},
        {"order, stale", [&] { return nuvexSetStreamOrder(stale, 0); }, AL_FALSE,
         "Invalid stream pointer"},
        {"order 1 on a stream without orders", [&] { return nuvexSetStreamOrder(good, 1); },
         AL_FALSE, "Invalid order for stream"},
        {"patch set, stale", [&] { return nuvexSetStreamPatchset(stale, "x"); }, AL_FALSE,
         "Invalid stream pointer"},
        {"length, stale", [&] { return int64_t(nuvexGetStreamLength(stale)); }, fail64,
         "Invalid stream pointer"},
        {"frequency, stale", [&] { return nuvexGetStreamFrequency(stale); }, 0,
         "Invalid stream pointer"},
        {"play, stale", [&] { return nuvexPlaySourceStream(1, stale, 2, 0, nullptr, nullptr); },
         AL_FALSE, "Invalid stream pointer"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.what) + " -> " + row.message);
        if (row.pending)
            RaiseOpenALError();
        EXPECT_EQ(row.call(), row.failValue);
        EXPECT_EQ(LastError(), row.message);
        EXPECT_EQ(alGetError(), AL_NO_ERROR);
    }
    // A refused name among good ones uploads nothing at all.
    EXPECT_EQ(BufferInt(fresh[0], AL_SIZE), 0);
    // None of the failures hurt the streams they were given.
    EXPECT_EQ(nuvexBufferDataFromStream(good, 2, fresh), 2) << LastError();
    EXPECT_TRUE(nuvexDestroyStream(good, 2, own)) << LastError();
    EXPECT_TRUE(nuvexDestroyStream(refused, 2, fresh)) << LastError();
}

TEST_F(Streaming, QueriesIgnoreAndKeepAPendingOpenALError)
{
    RampSound sound = MakeRampSound(3000);
    nuvexStream *stream = nuvexCreateStreamFromMemory(sound.wav.data(), ALuint(sound.wav.size()),
                                                      1024, 0, nullptr);
    ASSERT_NE(stream, nullptr);
    RaiseOpenALError();
    EXPECT_EQ(nuvexGetStreamFrequency(stream), 44100);
    EXPECT_EQ(nuvexGetStreamLength(stream), 3000u);
    EXPECT_TRUE(nuvexRewindStream(stream));
    EXPECT_TRUE(nuvexSetStreamOrder(stream, 0));
    EXPECT_TRUE(nuvexSetStreamPatchset(stream, "anything"));
    EXPECT_EQ(alGetError(), AL_INVALID_NAME);
    EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
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

TEST_F(Streaming, MicrosecondSwitchReturnsThePreviousSetting)
{
    EXPECT_EQ(nuvexStreamSizeIsMicroSec(AL_TRUE), AL_FALSE);
    EXPECT_EQ(nuvexStreamSizeIsMicroSec(7), AL_TRUE);
    EXPECT_EQ(nuvexStreamSizeIsMicroSec(AL_FALSE), AL_TRUE);
    EXPECT_EQ(nuvexStreamSizeIsMicroSec(AL_FALSE), AL_FALSE);
}

TEST_F(Streaming, NoBuffersNowRefillLater)
{
    RampSound sound = MakeRampSound(1000);
    std::set<ALuint> before = LiveBuffers();
    ALuint untouched = 12345;
    nuvexStream *stream = nuvexCreateStreamFromMemory(sound.wav.data(), ALuint(sound.wav.size()),
                                                      1000, 0, &untouched);
    ASSERT_NE(stream, nullptr) << LastError();
    EXPECT_EQ(untouched, 12345u);
    EXPECT_EQ(LiveBuffers(), before);
    EXPECT_EQ(nuvexBufferDataFromStream(stream, 0, nullptr), 0);

    ALuint bufs[2];
    alGenBuffers(2, bufs);
    EXPECT_EQ(nuvexBufferDataFromStream(stream, 2, bufs), 2);
    EXPECT_EQ(BufferInt(bufs[0], AL_SIZE), 1000);
    EXPECT_TRUE(nuvexDestroyStream(stream, 2, bufs));
    EXPECT_EQ(LiveBuffers(), before);
}

TEST_F(Streaming, ShortSoundLeavesTrailingBuffersEmpty)
{
    RampSound sound = MakeRampSound(300); // 1200 bytes
    std::set<ALuint> before = LiveBuffers();
    ALuint bufs[4] = {};
    nuvexStream *stream = nuvexCreateStreamFromMemory(sound.wav.data(), ALuint(sound.wav.size()),
                                                      1024, 4, bufs);
    ASSERT_NE(stream, nullptr) << LastError();
    const ALint sizes[4] = {1024, 176, 0, 0};
    for (int i = 0; i < 4; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(BufferInt(bufs[i], AL_SIZE), sizes[i]);
        EXPECT_EQ(BufferInt(bufs[i], AL_FREQUENCY), 44100);
        EXPECT_EQ(BufferInt(bufs[i], AL_CHANNELS), 2);
        EXPECT_EQ(BufferInt(bufs[i], AL_BITS), 16);
    }
    EXPECT_EQ(nuvexBufferDataFromStream(stream, 2, bufs), 0) << "the stream is at its end";
    EXPECT_EQ(BufferInt(bufs[0], AL_SIZE), 1024) << "an unfilled buffer is left alone";
    EXPECT_TRUE(nuvexDestroyStream(stream, 4, bufs));
    EXPECT_EQ(LiveBuffers(), before);
}

// Refilled by hand from every kind of byte source, the source plays the
// sound exactly, and exactly again after a rewind.
TEST_F(Streaming, HandRefillsPlayTheSoundExactlyAndAgainAfterRewind)
{
    RampSound sound = MakeRampSound(5003);
    std::string path = TempPath("hand.wav");
    WriteFile(path, sound.wav);
    const ALuint len = ALuint(sound.wav.size());
    struct Row {
        const char *what;
        std::function<nuvexStream *(ALuint *)> create;
    };
    const Row rows[] = {
        {"file", [&](ALuint *b) { return nuvexCreateStreamFromFile(path.c_str(), 1000, 3, b); }},
        {"memory",
         [&](ALuint *b) { return nuvexCreateStreamFromMemory(sound.wav.data(), len, 1000, 3, b); }},
        {"static memory",
         [&](ALuint *b) {
             return nuvexCreateStreamFromStaticMemory(sound.wav.data(), len, 1000, 3, b);
         }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        ALuint bufs[3];
        nuvexStream *stream = row.create(bufs);
        ASSERT_NE(stream, nullptr) << LastError();
        EXPECT_EQ(nuvexGetStreamLength(stream), 5003u);
        EXPECT_EQ(nuvexGetStreamFrequency(stream), 44100);
        for (int round = 0; round < 2; round++) {
            SCOPED_TRACE(round == 0 ? "first play" : "after rewind");
            std::vector<float> out = PlayByHand(dev, stream, bufs, 3, 300);
            EXPECT_TRUE(SameSamples(out, 0, sound.floats));
            EXPECT_TRUE(Silent(out, sound.floats.size(), out.size()));
            ASSERT_TRUE(nuvexRewindStream(stream)) << LastError();
            ASSERT_EQ(nuvexBufferDataFromStream(stream, 3, bufs), 3);
        }
        EXPECT_TRUE(nuvexDestroyStream(stream, 3, bufs)) << LastError();
    }
}

TEST_F(Streaming, CallbackStreamPlaysItsCounterRampExactly)
{
    std::vector<int16_t> ramp = Ramp16(7001, 2);
    ByteFeed feed;
    feed.bytes = Bytes16(ramp);
    ALuint bufs[3];
    nuvexStream *stream = nuvexCreateStreamFromCallback(ByteFeed::Callback, &feed,
                                                        AL_FORMAT_STEREO16, 44100, 800, 3, bufs);
    ASSERT_NE(stream, nullptr) << LastError();
    std::vector<float> out = PlayByHand(dev, stream, bufs, 3, 256);
    EXPECT_TRUE(SameSamples(out, 0, ToFloat(ramp)));
    EXPECT_TRUE(Silent(out, ramp.size(), out.size()));
    EXPECT_FALSE(nuvexRewindStream(stream)) << "a bare decode callback cannot rewind";
    EXPECT_EQ(LastError(), "Rewind failed");
    EXPECT_TRUE(nuvexDestroyStream(stream, 3, bufs));
}

TEST_F(Streaming, DestroyRefusedWhileBuffersAreQueued)
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
    alDeleteBuffers(1, &more);
    alDeleteSources(1, &source);
}

TEST_F(Streaming, DestroyWithoutStreamOnlyDeletesBuffers)
{
    ALuint bufs[2];
    alGenBuffers(2, bufs);
    EXPECT_TRUE(nuvexDestroyStream(nullptr, 0, nullptr));
    EXPECT_TRUE(alIsBuffer(bufs[0]) && alIsBuffer(bufs[1]));
    EXPECT_TRUE(nuvexDestroyStream(nullptr, 2, bufs));
    EXPECT_FALSE(alIsBuffer(bufs[0]) || alIsBuffer(bufs[1]));
}

TEST_F(Streaming, CopiedMemoryOutlivesTheApplicationsBytes)
{
    RampSound sound = MakeRampSound(3000);
    auto *bytes = new std::vector<uint8_t>(sound.wav);
    ALuint bufs[3];
    nuvexStream *stream = nuvexCreateStreamFromMemory(bytes->data(), ALuint(bytes->size()), 1000,
                                                      3, bufs);
    ASSERT_NE(stream, nullptr) << LastError();
    std::fill(bytes->begin(), bytes->end(), 0xEE);
    delete bytes; // under AddressSanitizer any later read of these bytes aborts
    std::vector<float> out = PlayByHand(dev, stream, bufs, 3, 256);
    EXPECT_TRUE(SameSamples(out, 0, sound.floats));
    EXPECT_TRUE(nuvexDestroyStream(stream, 3, bufs));
}

TEST_F(Streaming, StaticMemoryIsReadInPlace)
{
    RampSound sound = MakeRampSound(1000);
    std::vector<uint8_t> image = sound.wav;
    nuvexStream *stream = nuvexCreateStreamFromStaticMemory(image.data(), ALuint(image.size()),
                                                            4000, 0, nullptr);
    ASSERT_NE(stream, nullptr) << LastError();
    // Changed after creation: the stream must hand out the new samples.
    std::vector<int16_t> changed(sound.samples.size(), 1234);
    std::vector<uint8_t> changedBytes = Bytes16(changed);
    std::copy(changedBytes.begin(), changedBytes.end(), image.end() - long(changedBytes.size()));
    ALuint buf;
    alGenBuffers(1, &buf);
    ASSERT_EQ(nuvexBufferDataFromStream(stream, 1, &buf), 1);
    ALuint source = MakeDirectSource();
    alSourcei(source, AL_BUFFER, ALint(buf));
    alSourcePlay(source);
    EXPECT_TRUE(SameSamples(dev.Render(1000), 0, ToFloat(changed)));
    alDeleteSources(1, &source);
    EXPECT_TRUE(nuvexDestroyStream(stream, 1, &buf));
}

} // namespace
