// Background playback driven by nuvexUpdate on a loopback device: what comes
// out of the source is compared frame by frame with what went in.
#include "playback.h"

#include <algorithm>
#include <climits>
#include <functional>

using namespace nvt;

namespace {

class Playback : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dev.ok());
        InstallFakeDecoder();
        source = MakeDirectSource();
        idle = LiveBuffers();
    }
    void TearDown() override { alDeleteSources(1, &source); }

    nuvexStream *Stream(const void *image, size_t size, ALsizei chunk)
    {
        nuvexStream *stream = nuvexCreateStreamFromMemory(static_cast<const ALubyte *>(image),
                                                          ALuint(size), chunk, 0, nullptr);
        EXPECT_NE(stream, nullptr) << LastError();
        return stream;
    }
    nuvexStream *WavStream(const RampSound &sound, ALsizei chunk)
    {
        return Stream(sound.wav.data(), sound.wav.size(), chunk);
    }
    // Another context on the same loopback device, made current.
    ALCcontext *SecondContext()
    {
        const ALCint attrs[] = {ALC_FORMAT_CHANNELS_SOFT, ALC_STEREO_SOFT, ALC_FORMAT_TYPE_SOFT,
                                ALC_FLOAT_SOFT, ALC_FREQUENCY, 44100, 0};
        ALCcontext *context = alcCreateContext(dev.device(), attrs);
        EXPECT_TRUE(context && alcMakeContextCurrent(context));
        return context;
    }
    ALint SourceInt(ALenum param, ALuint src = 0)
    {
        ALint value = -1;
        alGetSourcei(src ? src : source, param, &value);
        return value;
    }
    // Lets the driver run until the log has seen its callback, then a
    // little longer to show that it does not come again.
    void PlayOut(PlayDriver &drv, EndLog &log, size_t maxFrames)
    {
        log.clock = &drv.frames;
        drv.RunUntil([&] { return log.calls > 0; }, maxFrames);
        for (int i = 0; i < 4; i++)
            drv.Step();
    }

    LoopbackDevice dev{ALC_STEREO_SOFT, 44100};
    ALuint source = 0;
    std::set<ALuint> idle; // buffer names alive before the test plays anything
};

// The output is the sound loop count + 1 times back to back, then silence;
// the callback runs once, in the update right after the last frame. Any
// negative count loops until the source is stopped.
TEST_F(Playback, StreamPlaysLoopCountPlusOneTimesSeamlessly)
{
    enum Kind { Wav, Callback, Fake };
    struct Row {
        const char *what;
        Kind kind;
        size_t frames;
        ALsizei chunk;
        ALsizei ring;
        ALsizei loops;
        int copies;
    };
    const Row rows[] = {
        {"WAV, loop 2", Wav, 3001, 1000, 3, 2, 3},
        {"WAV, loop 0", Wav, 3001, 1000, 3, 0, 1},
        {"WAV shorter than the ring, loop 0", Wav, 300, 1000, 4, 0, 1},
        {"WAV shorter than the ring, loop 2", Wav, 300, 1000, 4, 2, 3},
        {"WAV of exactly two chunks, loop 1, ring 2", Wav, 500, 1000, 2, 1, 2},
        {"application decoder, loop 3", Fake, 2222, 1000, 2, 3, 4},
        {"decode callback cannot rewind: plays once", Callback, 4001, 1000, 3, 2, 1},
        {"endless, -1", Wav, 1501, 1200, 3, -1, 5},
        {"endless, INT_MIN", Wav, 1501, 1200, 3, INT_MIN, 5},
    };
    const size_t step = 240; // below one chunk of every row: never runs dry
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        RampSound sound = MakeRampSound(row.frames);
        std::vector<uint8_t> pcm = Bytes16(sound.samples);
        ByteFeed feed;
        feed.bytes = pcm;
        FakeImage image;
        image.data = pcm.data();
        image.size = pcm.size();
        nuvexStream *stream = nullptr;
        switch (row.kind) {
        case Wav: stream = WavStream(sound, row.chunk); break;
        case Fake: stream = Stream(&image, sizeof image, row.chunk); break;
        case Callback:
            stream = nuvexCreateStreamFromCallback(ByteFeed::Callback, &feed, AL_FORMAT_STEREO16,
                                                   44100, row.chunk, 0, nullptr);
            break;
        }
        ASSERT_NE(stream, nullptr) << LastError();
        EndLog log;
        PlayDriver drv(dev, step);
        ASSERT_TRUE(nuvexPlaySourceStream(source, stream, row.ring, row.loops, EndLog::Callback,
                                          &log))
            << LastError();
        const size_t lastFrame = row.frames * size_t(row.copies);
        std::vector<float> want = Repeat(sound.floats, row.copies);
        if (row.loops < 0) {
            while (drv.frames < lastFrame)
                drv.Step();
            EXPECT_EQ(log.calls, 0);
            EXPECT_TRUE(nuvexStopSource(source, AL_TRUE));
        } else {
            PlayOut(drv, log, lastFrame + 20 * step);
            EXPECT_TRUE(Silent(drv.out, want.size(), drv.out.size()));
            EXPECT_GE(log.atFrame, lastFrame);
            EXPECT_LT(log.atFrame, lastFrame + step) << "the end is noticed by the next update";
        }
        EXPECT_TRUE(SameSamples(drv.out, 0, want));
        EXPECT_EQ(log.calls, 1);
        EXPECT_EQ(log.source, source);
        EXPECT_EQ(SourceInt(AL_BUFFERS_QUEUED), 0);
        EXPECT_EQ(LiveBuffers(), idle) << "the ring is deleted when the playback ends";
        EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
    }
}

TEST_F(Playback, WholeBufferPlaysOnceThenCallsBack)
{
    RampSound sound = MakeRampSound(2500);
    ALuint buffer = nuvexCreateBufferFromMemory(sound.wav.data(), ALsizei(sound.wav.size()));
    ASSERT_NE(buffer, 0u) << LastError();
    alSourcei(source, AL_BUFFER, ALint(buffer));
    EndLog log;
    PlayDriver drv(dev, 256);
    ASSERT_TRUE(nuvexPlaySource(source, EndLog::Callback, &log)) << LastError();
    EXPECT_FALSE(nuvexPlaySource(source, EndLog::Callback, &log));
    EXPECT_EQ(LastError(), "Source is already playing");
    PlayOut(drv, log, 10000);
    EXPECT_TRUE(SameSamples(drv.out, 0, sound.floats));
    EXPECT_TRUE(Silent(drv.out, sound.floats.size(), drv.out.size()));
    EXPECT_EQ(log.calls, 1);
    EXPECT_GE(log.atFrame, 2500u);
    EXPECT_LT(log.atFrame, 2500u + 256);

    // Without a callback nothing is tracked and the call can be repeated.
    EXPECT_TRUE(nuvexPlaySource(source, nullptr, nullptr));
    EXPECT_TRUE(nuvexPlaySource(source, nullptr, nullptr));
    alSourceStop(source);

    // Tracked: a pause keeps it, a rewind to the initial state ends it.
    EndLog again;
    ASSERT_TRUE(nuvexPlaySource(source, EndLog::Callback, &again));
    alSourcePause(source);
    drv.Step();
    EXPECT_EQ(again.calls, 0);
    alSourceRewind(source);
    drv.Step();
    EXPECT_EQ(again.calls, 1);
    alSourcei(source, AL_BUFFER, 0);
    alDeleteBuffers(1, &buffer);
}

TEST_F(Playback, UnderrunIsRestartedWithoutLosingOrRepeatingData)
{
    RampSound sound = MakeRampSound(6000);
    nuvexStream *stream = WavStream(sound, 1024); // 256 frames a chunk, 768 queued
    EndLog log;
    PlayDriver drv(dev, 200);
    ASSERT_TRUE(nuvexPlaySourceStream(source, stream, 3, 0, EndLog::Callback, &log));
    drv.out = dev.Render(2000); // far past the queue, no update
    drv.frames = 2000;
    EXPECT_EQ(SourceInt(AL_SOURCE_STATE), AL_STOPPED);
    drv.Step(1);
    EXPECT_EQ(SourceInt(AL_SOURCE_STATE), AL_PLAYING) << "the update restarts it";
    PlayOut(drv, log, 20000);

    const size_t queued = 768 * 2; // samples
    EXPECT_TRUE(SameSamples(drv.out, 0, Part(sound.floats, 0, queued)));
    EXPECT_TRUE(Silent(drv.out, queued, 2000 * 2));
    EXPECT_TRUE(SameSamples(drv.out, 2000 * 2 + 2, Part(sound.floats, queued)))
        << "one frame rendered before it ran";
    EXPECT_EQ(log.calls, 1);
    EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
}

TEST_F(Playback, PauseHoldsAcrossUpdatesAndResumeFeedsAgain)
{
    RampSound sound = MakeRampSound(5000);
    nuvexStream *stream = WavStream(sound, 1000);
    EndLog log;
    PlayDriver drv(dev, 250);
    ASSERT_TRUE(nuvexPlaySourceStream(source, stream, 3, 0, EndLog::Callback, &log));
    for (int i = 0; i < 4; i++)
        drv.Step();
    ASSERT_TRUE(nuvexPauseSource(source));
    for (int i = 0; i < 10; i++) {
        drv.Step();
        ASSERT_EQ(SourceInt(AL_SOURCE_STATE), AL_PAUSED) << "update " << i;
    }
    ASSERT_TRUE(nuvexResumeSource(source));
    // Paused behind the library's back: the next update plays it on.
    drv.Step();
    alSourcePause(source);
    drv.Step(1);
    EXPECT_EQ(SourceInt(AL_SOURCE_STATE), AL_PLAYING);
    PlayOut(drv, log, 20000);

    // Resumed: 250 frames, then a silent frame while paused behind its back.
    const std::vector<float> &out = drv.out, &in = sound.floats;
    EXPECT_TRUE(SameSamples(out, 0, Part(in, 0, 2000)));
    EXPECT_TRUE(Silent(out, 2000, 2000 + 10 * 500));
    EXPECT_TRUE(SameSamples(out, 7000, Part(in, 2000, 2500)));
    EXPECT_TRUE(Silent(out, 7500, 7502));
    EXPECT_TRUE(SameSamples(out, 7502, Part(in, 2500)));
    EXPECT_EQ(log.calls, 1);
    EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
}

TEST_F(Playback, StopEndsThePlaybackWithOrWithoutCallback)
{
    RampSound sound = MakeRampSound(8000);
    for (ALboolean runCallback : {AL_FALSE, AL_TRUE}) {
        SCOPED_TRACE(int(runCallback));
        nuvexStream *stream = WavStream(sound, 1000);
        EndLog log;
        PlayDriver drv(dev, 100); // less than a chunk: the stream stays 3 chunks ahead
        ASSERT_TRUE(nuvexPlaySourceStream(source, stream, 3, -1, EndLog::Callback, &log));
        drv.Step();
        EXPECT_TRUE(nuvexStopSource(source, runCallback));
        EXPECT_EQ(log.calls, runCallback ? 1 : 0);
        EXPECT_EQ(log.source, runCallback ? source : 0u);
        EXPECT_EQ(SourceInt(AL_SOURCE_STATE), AL_STOPPED);
        EXPECT_EQ(SourceInt(AL_BUFFERS_QUEUED), 0);
        EXPECT_EQ(LiveBuffers(), idle);
        drv.Step();
        EXPECT_EQ(log.calls, runCallback ? 1 : 0) << "ended for good";
        // The stream was left where it was, and the source is free again.
        ASSERT_TRUE(nuvexPlaySourceStream(source, stream, 2, 0, nullptr, nullptr));
        EXPECT_TRUE(SameSamples(dev.Render(10), 0, Part(sound.floats, 750 * 2, 760 * 2)));
        EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
    }
    EXPECT_TRUE(nuvexStopSource(source, AL_TRUE)) << "an untracked source is just stopped";
    EXPECT_TRUE(nuvexResumeSource(source)) << "and just played";
}

TEST_F(Playback, CallbackMayRestartTheSameSource)
{
    RampSound first = MakeRampSound(1800);
    RampSound second = MakeRampSound(2600);
    std::reverse(second.floats.begin(), second.floats.end()); // tell them apart
    std::reverse(second.samples.begin(), second.samples.end());
    second.wav = MakeWav({}, Bytes16(second.samples));
    nuvexStream *one = WavStream(first, 800);
    nuvexStream *two = WavStream(second, 800);
    EndLog log, log2;
    ALboolean restarted = AL_FALSE;
    log.then = [&](ALuint src) {
        restarted = nuvexPlaySourceStream(src, two, 3, 0, EndLog::Callback, &log2);
    };
    PlayDriver drv(dev, 190);
    log.clock = &drv.frames;
    ASSERT_TRUE(nuvexPlaySourceStream(source, one, 3, 0, EndLog::Callback, &log));
    PlayOut(drv, log2, 20000);
    EXPECT_TRUE(restarted) << LastError();
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log2.calls, 1);
    EXPECT_TRUE(SameSamples(drv.out, 0, first.floats));
    EXPECT_TRUE(Silent(drv.out, first.floats.size(), log.atFrame * 2));
    EXPECT_TRUE(SameSamples(drv.out, log.atFrame * 2, second.floats));
    EXPECT_EQ(LiveBuffers(), idle);
    EXPECT_TRUE(nuvexDestroyStream(one, 0, nullptr));
    EXPECT_TRUE(nuvexDestroyStream(two, 0, nullptr));
}

// A callback that destroys its own stream, once after the natural end and
// once nested inside the application's own destroy of that stream.
TEST_F(Playback, CallbackDestroyingItsStreamDestroysItOnce)
{
    RampSound sound = MakeRampSound(3000);
    std::vector<uint8_t> pcm = Bytes16(sound.samples);
    for (bool nested : {false, true}) {
        SCOPED_TRACE(nested ? "inside nuvexDestroyStream" : "after the end");
        int closes = 0;
        FakeImage image;
        image.data = pcm.data();
        image.size = pcm.size();
        image.closes = &closes;
        nuvexStream *stream = Stream(&image, sizeof image, 1000);
        EndLog log;
        ALboolean innerResult = AL_TRUE;
        std::string innerError;
        log.then = [&](ALuint) {
            innerResult = nuvexDestroyStream(stream, 0, nullptr);
            innerError = LastError();
        };
        PlayDriver drv(dev, 250);
        ASSERT_TRUE(nuvexPlaySourceStream(source, stream, 3, 0, EndLog::Callback, &log));
        if (nested) {
            drv.Step();
            EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr)) << LastError();
            EXPECT_FALSE(innerResult);
            EXPECT_EQ(innerError, "Invalid stream pointer");
            EXPECT_EQ(SourceInt(AL_SOURCE_STATE), AL_STOPPED);
        } else {
            PlayOut(drv, log, 10000);
            EXPECT_TRUE(innerResult) << innerError;
            EXPECT_TRUE(SameSamples(drv.out, 0, sound.floats));
        }
        EXPECT_EQ(nuvexGetStreamFrequency(stream), 0);
        EXPECT_EQ(LastError(), "Invalid stream pointer");
        EXPECT_EQ(log.calls, 1);
        EXPECT_EQ(closes, 1);
        EXPECT_EQ(LiveBuffers(), idle);
    }
}

TEST_F(Playback, StreamThatRewindsToNothingEndsInsteadOfLooping)
{
    RampSound sound = MakeRampSound(4000);
    std::vector<uint8_t> pcm = Bytes16(sound.samples);
    // Rewinds succeed but give nothing: during the first fill (short sound)
    // and during a refill (long sound). A stream already drained is a row of
    // the check-order table.
    for (size_t bytes : {size_t(1600), pcm.size()}) {
        SCOPED_TRACE(bytes);
        int rewinds = 0;
        FakeImage image;
        image.data = pcm.data();
        image.size = bytes;
        image.emptyAfterRewind = true;
        image.rewinds = &rewinds;
        nuvexStream *stream = Stream(&image, sizeof image, 1000);
        EndLog log;
        PlayDriver drv(dev, 200);
        ASSERT_TRUE(nuvexPlaySourceStream(source, stream, 3, -1, EndLog::Callback, &log));
        PlayOut(drv, log, 20000);
        EXPECT_EQ(log.calls, 1);
        EXPECT_EQ(rewinds, 1);
        EXPECT_TRUE(SameSamples(drv.out, 0, Part(sound.floats, 0, bytes / 2)));
        EXPECT_TRUE(Silent(drv.out, bytes / 2, drv.out.size()));
        EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
    }
}

TEST_F(Playback, ConflictsAndContexts)
{
    RampSound sound = MakeRampSound(20000);
    nuvexStream *a = WavStream(sound, 1000);
    nuvexStream *b = WavStream(sound, 1000);
    nuvexStream *c = WavStream(sound, 1000);
    ALuint other = MakeDirectSource();
    // One conflict alone is a row of the check-order table; when both
    // conflict, the newer entry (b on other) decides.
    ASSERT_TRUE(nuvexPlaySourceStream(source, a, 2, -1, nullptr, nullptr));
    ASSERT_TRUE(nuvexPlaySourceStream(other, b, 2, -1, nullptr, nullptr));
    EXPECT_FALSE(nuvexPlaySourceStream(source, b, 2, 0, nullptr, nullptr));
    EXPECT_EQ(LastError(), "Stream is already playing");
    EXPECT_FALSE(nuvexPlaySourceStream(other, a, 2, 0, nullptr, nullptr));
    EXPECT_EQ(LastError(), "Source is already playing");

    // The same source name in a second context is another playback.
    ALCcontext *second = SecondContext();
    std::vector<ALuint> names;
    ALuint twin = 0;
    while (!twin && names.size() < 64) {
        names.push_back(MakeDirectSource());
        if (names.back() == source)
            twin = source;
    }
    ASSERT_EQ(twin, source) << "no source of the same name in the second context";
    EndLog log;
    ASSERT_TRUE(nuvexPlaySourceStream(twin, c, 2, -1, EndLog::Callback, &log)) << LastError();
    EXPECT_TRUE(nuvexPauseSource(twin));
    EXPECT_TRUE(nuvexStopSource(twin, AL_TRUE));
    EXPECT_EQ(log.calls, 1);
    alDeleteSources(ALsizei(names.size()), names.data());
    alcMakeContextCurrent(dev.context());
    EXPECT_EQ(SourceInt(AL_SOURCE_STATE), AL_PLAYING) << "the first context's one is untouched";
    EXPECT_FALSE(nuvexPlaySourceStream(source, c, 2, 0, nullptr, nullptr));
    EXPECT_EQ(LastError(), "Source is already playing");
    alcDestroyContext(second);

    for (nuvexStream *s : {a, b, c})
        EXPECT_TRUE(nuvexDestroyStream(s, 0, nullptr));
    EXPECT_EQ(SourceInt(AL_SOURCE_STATE), AL_STOPPED) << "destroying the stream stopped it";
    EXPECT_EQ(LiveBuffers(), idle);
    alDeleteSources(1, &other);
}

TEST_F(Playback, EntryOfADestroyedContextEndsWithoutOpenALCalls)
{
    RampSound sound = MakeRampSound(20000);
    nuvexStream *here = WavStream(sound, 1000);
    ByteFeed feed;
    feed.bytes = Bytes16(sound.samples);
    nuvexStream *there = nuvexCreateStreamFromCallback(ByteFeed::Callback, &feed,
                                                       AL_FORMAT_STEREO16, 44100, 1000, 0, nullptr);
    ASSERT_NE(there, nullptr);
    EndLog stays, ends;
    ASSERT_TRUE(nuvexPlaySourceStream(source, here, 2, -1, EndLog::Callback, &stays));
    ALCcontext *second = SecondContext();
    ALuint away = MakeDirectSource();
    ASSERT_TRUE(nuvexPlaySourceStream(away, there, 2, -1, EndLog::Callback, &ends));
    alcMakeContextCurrent(dev.context());
    std::set<ALuint> ring = LiveBuffers();
    alcDestroyContext(second);
    const int reads = feed.calls;
    dev.Render(600); // both rings have played out
    nuvexUpdate();
    EXPECT_EQ(ends.calls, 1);
    EXPECT_EQ(ends.source, away);
    EXPECT_EQ(feed.calls, reads) << "the dead context's stream is not read any more";
    EXPECT_EQ(LiveBuffers(), ring) << "its buffers are left as they are";
    EXPECT_EQ(stays.calls, 0);
    EXPECT_EQ(SourceInt(AL_SOURCE_STATE), AL_PLAYING) << "the live context's one is refilled";
    EXPECT_TRUE(nuvexDestroyStream(there, 0, nullptr));
    EXPECT_TRUE(nuvexDestroyStream(here, 0, nullptr));
    EXPECT_EQ(stays.calls, 1);
    for (ALuint name : ring)
        if (!idle.count(name))
            alDeleteBuffers(1, &name);
}

TEST_F(Playback, FailuresFollowTheCheckOrder)
{
    RampSound sound = MakeRampSound(4000);
    nuvexStream *playing = WavStream(sound, 1000);
    nuvexStream *spare = WavStream(sound, 1000);
    nuvexStream *drained = WavStream(sound, 100000);
    ALuint tracked = MakeDirectSource(), busy = MakeDirectSource();
    ALuint buf;
    alGenBuffers(1, &buf);
    ASSERT_EQ(nuvexBufferDataFromStream(drained, 1, &buf), 1);
    ASSERT_EQ(nuvexBufferDataFromStream(drained, 1, &buf), 0);
    ASSERT_TRUE(nuvexPlaySourceStream(tracked, playing, 2, -1, nullptr, nullptr));
    EndLog log;
    ASSERT_TRUE(nuvexPlaySource(source, EndLog::Callback, &log)) << LastError();
    // A source busy with a buffer of its own cannot take a queue.
    alSourcei(busy, AL_BUFFER, ALint(buf));
    alSourcei(busy, AL_LOOPING, AL_TRUE);
    alSourcePlay(busy);
    const ALuint bogus = 0xBADF00D;
    idle = LiveBuffers();

    struct Row {
        const char *what;
        std::function<ALboolean()> call;
        const char *message;
        bool pending = false;
    };
    auto play = [](ALuint src) { return [=] { return nuvexPlaySource(src, nullptr, nullptr); }; };
    auto stream = [](ALuint src, nuvexStream *st, ALsizei count) {
        return [=] { return nuvexPlaySourceStream(src, st, count, -1, nullptr, nullptr); };
    };
    const Row rows[] = {
        {"play, pending error first", play(source), "Existing OpenAL error", true},
        {"play, tracked", play(source), "Source is already playing"},
        {"stream, pending error first", stream(bogus, nullptr, 1), "Existing OpenAL error", true},
        {"stream, null", stream(bogus, nullptr, 1), "Invalid stream pointer"},
        {"stream, one buffer", stream(bogus, spare, 1), "Invalid buffer count"},
        {"stream, not a source", stream(bogus, spare, 2), "Invalid source ID"},
        {"stream, stream busy", stream(busy, playing, 2), "Stream is already playing"},
        {"stream, source busy", stream(tracked, spare, 2), "Source is already playing"},
        {"stream, nothing to play", stream(busy, drained, 2), "Error buffering from stream"},
        {"stream, source keeps its buffer", stream(busy, spare, 2), "Error starting source"},
        {"stop, pending error first", [&] { return nuvexStopSource(tracked, AL_TRUE); },
         "Existing OpenAL error", true},
        {"pause, pending error first", [&] { return nuvexPauseSource(tracked); },
         "Existing OpenAL error", true},
        {"resume, pending error first", [&] { return nuvexResumeSource(tracked); },
         "Existing OpenAL error", true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.what) + " -> " + row.message);
        if (row.pending)
            RaiseOpenALError();
        EXPECT_EQ(row.call(), AL_FALSE);
        EXPECT_EQ(LastError(), row.message);
        EXPECT_EQ(alGetError(), AL_NO_ERROR);
        EXPECT_EQ(LiveBuffers(), idle) << "generated buffers are deleted again";
        EXPECT_EQ(SourceInt(AL_SOURCE_STATE, tracked), AL_PLAYING) << "the tracked one goes on";
    }
    EXPECT_EQ(SourceInt(AL_LOOPING, busy), AL_FALSE) << "looping is turned off before queueing";
    EXPECT_EQ(log.calls, 0);
    nuvexUpdate();
    EXPECT_EQ(log.calls, 1) << "the untouched source had nothing to play and ended";
    alSourceStop(busy);
    alSourcei(busy, AL_BUFFER, 0);
    EXPECT_TRUE(nuvexDestroyStream(playing, 0, nullptr));
    EXPECT_TRUE(nuvexDestroyStream(spare, 0, nullptr));
    EXPECT_TRUE(nuvexDestroyStream(drained, 1, &buf));
    alDeleteSources(1, &tracked);
    alDeleteSources(1, &busy);
}

} // namespace
