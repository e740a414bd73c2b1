// Streams refilled by hand and sources played in the background, on a
// loopback device: what comes out of a source is compared frame by frame
// with what went in. Counter ramps make any gap, repeat or reordering show.
#include "nvtest.h"

#include <algorithm>
#include <climits>

using namespace nvt;

namespace {

ALint SourceInt(ALuint source, ALenum param)
{
    ALint value = -1;
    alGetSourcei(source, param, &value);
    return value;
}

struct Ramped {
    explicit Ramped(size_t frames) : pcm(nvmedia::LE16Bytes(Ramp(frames))), floats(ToFloat(Ramp(frames)))
    {
        wav = nvmedia::WriteWav16(Ramp(frames), 2, 44100);
    }
    nuvexStream *Stream(ALsizei chunk) const
    {
        nuvexStream *s = nuvexCreateStreamFromMemory(wav.data(), ALuint(wav.size()), chunk, 0, nullptr);
        EXPECT_NE(s, nullptr) << Err();
        return s;
    }
    Bytes pcm, wav;
    Floats floats;
};

class Playback : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dev.ok());
        source = DirectSource();
        idle = LiveBuffers();
    }
    void TearDown() override
    {
        alDeleteSources(1, &source);
        EXPECT_EQ(LiveBuffers(), idle) << "buffers left behind";
        ResetApps();
    }
    // Runs the driver until the log has seen its callback, then a little
    // longer to show that it does not come again.
    void PlayOut(Driver &drv, EndLog &log, size_t maxFrames)
    {
        log.clock = &drv.frames;
        drv.RunUntil([&] { return log.calls > 0; }, maxFrames);
        for (int i = 0; i < 4; i++)
            drv.Step();
    }
    Loopback dev;
    ALuint source = 0;
    std::set<ALuint> idle;
};

// A copied image outlives the application's bytes (the sanitizer build would
// catch a read of them), a static one is read where it lies, and a callback
// stream has no length and cannot rewind.
TEST_F(Playback, MemoryIsCopiedOrReadInPlace)
{
    Ramped sound(5003);
    auto *copied = new Bytes(sound.wav);
    Bytes statik = sound.wav;
    nuvexStream *copy = nuvexCreateStreamFromMemory(copied->data(), ALuint(copied->size()), 1000, 0, nullptr);
    nuvexStream *inPlace = nuvexCreateStreamFromStaticMemory(statik.data(), ALuint(statik.size()), 1000, 0, nullptr);
    delete copied;
    std::fill(statik.end() - 400, statik.end(), 0);
    Floats zeroed = sound.floats;
    std::fill(zeroed.end() - 200, zeroed.end(), 0.0f);
    EXPECT_TRUE(PlayStream(dev, copy, 3) == sound.floats);
    EXPECT_TRUE(PlayStream(dev, inPlace, 3) == zeroed);
    Feed feed;
    feed.bytes = sound.pcm;
    nuvexStream *callback =
        nuvexCreateStreamFromCallback(Feed::Callback, &feed, AL_FORMAT_STEREO16, 44100, 800, 0, nullptr);
    EXPECT_TRUE(PlayStream(dev, callback, 3) == sound.floats);
    EXPECT_EQ(nuvexGetStreamLength(callback), 0u);
    EXPECT_FALSE(nuvexRewindStream(callback));
    EXPECT_EQ(Err(), "Rewind failed");
    for (nuvexStream *s : {copy, inPlace, callback})
        EXPECT_TRUE(nuvexDestroyStream(s, 0, nullptr));
}

TEST_F(Playback, ChunksAreWholeFramesInBytesOrMicroseconds)
{
    const struct {
        bool micro;
        ALenum format;
        ALuint freq;
        ALsizei chunk;
        ALuint bytes;
    } rows[] = {
        {false, AL_FORMAT_STEREO16, 44100, 4099, 4096}, {false, AL_FORMAT_STEREO16, 44100, 4, 4},
        {false, AL_FORMAT_MONO16, 44100, 4099, 4098},   {true, AL_FORMAT_STEREO16, 44100, 250000, 44100},
        {true, AL_FORMAT_MONO_IMA4, 44100, 1000000, 24408}, // 678 blocks of 65 frames
        {true, AL_FORMAT_MONO16, 22050, 100000, 4410},  {true, AL_FORMAT_STEREO16, 44100, 90, 12},
    };
    EXPECT_EQ(nuvexStreamSizeIsMicroSec(AL_TRUE), AL_FALSE); // answers the setting it replaces
    EXPECT_EQ(nuvexStreamSizeIsMicroSec(7), AL_TRUE);
    EXPECT_EQ(nuvexStreamSizeIsMicroSec(AL_FALSE), AL_TRUE);
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << row.chunk << (row.micro ? " us" : " bytes"));
        nuvexStreamSizeIsMicroSec(row.micro);
        Feed feed;
        feed.bytes.assign(100000, 0);
        ALuint buf = 0;
        nuvexStream *stream =
            nuvexCreateStreamFromCallback(Feed::Callback, &feed, row.format, row.freq, row.chunk, 1, &buf);
        ASSERT_NE(stream, nullptr) << Err();
        // The unit is read at creation only.
        nuvexStreamSizeIsMicroSec(!row.micro);
        EXPECT_EQ(nuvexBufferDataFromStream(stream, 1, &buf), 1);
        EXPECT_EQ(feed.asks, std::vector<ALuint>(2, row.bytes));
        if (row.format != AL_FORMAT_MONO_IMA4) { // OpenAL Soft keeps IMA4 decoded
            EXPECT_EQ(Describe(buf)[0], ALint(row.bytes));
        }
        EXPECT_TRUE(nuvexDestroyStream(stream, 1, &buf));
    }
    nuvexStreamSizeIsMicroSec(AL_FALSE);

    // A sound shorter than the ring leaves the trailing buffers empty but in
    // the stream's format; at its end a refill touches nothing.
    Ramped sound(300); // 1200 bytes
    ALuint bufs[4] = {12345};
    nuvexStream *stream = nuvexCreateStreamFromMemory(sound.wav.data(), ALuint(sound.wav.size()), 1024, 0, bufs);
    EXPECT_EQ(bufs[0], 12345u);
    EXPECT_EQ(nuvexBufferDataFromStream(stream, 0, nullptr), 0);
    EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
    stream = nuvexCreateStreamFromMemory(sound.wav.data(), ALuint(sound.wav.size()), 1024, 4, bufs);
    const ALint sizes[4] = {1024, 176, 0, 0};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(Describe(bufs[i])[0], sizes[i]) << i;
        EXPECT_EQ(Describe(bufs[i])[1], 44100) << i;
    }
    EXPECT_EQ(nuvexBufferDataFromStream(stream, 2, bufs), 0);
    EXPECT_EQ(Describe(bufs[0])[0], 1024);
    EXPECT_TRUE(nuvexDestroyStream(stream, 4, bufs));
}

// The output is the sound loop count + 1 times back to back, then silence;
// the callback runs once, in the update right after the last frame. Any
// negative count loops until the source is stopped. With loop points the
// output is the intro and the body, the body loop count more times, then
// the outro; the position is the frame heard, in every pass.
TEST_F(Playback, StreamsPlayLoopCountPlusOneTimesSeamlessly)
{
    enum Kind { Wav, Callback, AppDecoder };
    const struct {
        const char *what;
        Kind kind;
        size_t frames;
        ALsizei chunk, ring, loops;
        int copies; // passes heard before the check ends
        size_t loopStart = 0, loopEnd = 0;
    } rows[] = {
        {"loop 2", Wav, 3001, 1000, 3, 2, 3},
        {"loop 0", Wav, 3001, 1000, 3, 0, 1},
        {"shorter than the ring, loop 0", Wav, 300, 1000, 4, 0, 1},
        {"shorter than the ring, loop 2", Wav, 300, 1000, 4, 2, 3},
        {"two chunks exactly, loop 1, ring 2", Wav, 500, 1000, 2, 1, 2},
        {"application decoder, loop 3", AppDecoder, 2222, 1000, 2, 3, 4},
        {"callback cannot rewind: once", Callback, 4001, 1000, 3, 2, 1},
        {"callback shorter than half a chunk cannot rewind: once", Callback, 100, 1000, 3, 2, 1},
        {"endless, -1", Wav, 1501, 1200, 3, -1, 5},
        {"endless, INT_MIN", Wav, 1501, 1200, 3, INT_MIN, 5},
        {"loop points, ends inside chunks", Wav, 3001, 1000, 3, 2, 3, 700, 2100},
        {"loop points, body shorter than a chunk", Wav, 3001, 1000, 2, 3, 4, 1000, 1050},
        {"loop points, a body of 3 frames, endless", Wav, 3001, 1000, 3, -1, 300, 1500, 1503},
        {"loop points, a body of 1 frame, endless, ring of 2", Wav, 3001, 4000, 2, -1, 3000, 1500, 1501},
        {"loop points, loop 0: intro, body, outro", Wav, 3001, 1000, 3, 0, 1, 100, 2900},
        {"loop points to the stream's end", Wav, 3001, 1000, 3, 2, 3, 1234, 0},
        {"loop points, endless", Wav, 3001, 1200, 3, -1, 5, 500, 2500},
        {"loop points from 0, application decoder", AppDecoder, 2222, 1000, 2, 2, 3, 0, 1500},
    };
    const size_t step = 240; // under a chunk for every row: never runs dry
    ASSERT_TRUE(InstallApp(0, -1));
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        Ramped sound(row.frames);
        Feed feed;
        feed.bytes = sound.pcm;
        App(0) = AppSound();
        App(0).pcm = sound.pcm;
        App(0).acceptMemory = row.kind == AppDecoder;
        nuvexStream *stream = row.kind == Callback
                                  ? nuvexCreateStreamFromCallback(Feed::Callback, &feed, AL_FORMAT_STEREO16,
                                                                  44100, row.chunk, 0, nullptr)
                                  : sound.Stream(row.chunk);
        ASSERT_NE(stream, nullptr);
        const bool loopPoints = row.loopStart || row.loopEnd;
        ASSERT_TRUE(!loopPoints || nuvexSetStreamLoopPoints(stream, row.loopStart, row.loopEnd)) << Err();
        std::vector<size_t> heard;
        for (int pass = 0; !loopPoints && pass < row.copies; pass++)
            for (size_t f = 0; f < row.frames; f++)
                heard.push_back(f);
        if (loopPoints)
            heard = LoopedFrames(row.frames, row.loopStart, row.loopEnd, row.copies - 1);
        if (loopPoints && row.loops < 0)
            heard.resize(heard.size() - (row.frames - (row.loopEnd ? row.loopEnd : row.frames)));
        EndLog log;
        Driver drv{dev, step};
        alSourcei(source, AL_LOOPING, AL_TRUE); // the library's own looping takes over
        ASSERT_TRUE(nuvexPlaySourceStream(source, stream, row.ring, row.loops, EndLog::Callback, &log)) << Err();
        const size_t lastFrame = heard.size();
        while (drv.frames + step < lastFrame) {
            drv.Step();
            ASSERT_EQ(nuvexGetStreamPosition(stream), heard[drv.frames]) << drv.frames;
        }
        if (row.loops < 0) {
            while (drv.frames < lastFrame)
                drv.Step();
            EXPECT_EQ(log.calls, 0);
            EXPECT_TRUE(nuvexStopSource(source, AL_TRUE));
        } else {
            PlayOut(drv, log, lastFrame + 20 * step);
            EXPECT_TRUE(Same(drv.out, lastFrame * 2, Floats(drv.out.size() - lastFrame * 2, 0.0f)));
            EXPECT_GE(log.atFrame, lastFrame);
            EXPECT_LT(log.atFrame, lastFrame + step) << "the end is noticed by the next update";
        }
        EXPECT_TRUE(Same(drv.out, 0, Gather(sound.floats, 2, heard)));
        EXPECT_EQ(log.calls, 1);
        EXPECT_EQ(log.source, source);
        EXPECT_EQ(SourceInt(source, AL_BUFFERS_QUEUED), 0);
        EXPECT_EQ(LiveBuffers(), idle) << "the ring is deleted when the playback ends";
        EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
    }
    // A stream that rewinds but then yields nothing ends instead of looping,
    // whether that shows in the first fill or in a refill.
    App(0) = AppSound();
    App(0).emptyAfterRewind = true;
    for (size_t frames : {size_t(400), size_t(4000)}) {
        Ramped sound(frames);
        App(0).pcm = sound.pcm;
        App(0).rewinds = 0;
        nuvexStream *stream = sound.Stream(1000);
        EndLog log;
        Driver drv{dev, 200};
        ASSERT_TRUE(nuvexPlaySourceStream(source, stream, 3, -1, EndLog::Callback, &log));
        PlayOut(drv, log, 20000);
        EXPECT_EQ(log.calls, 1);
        EXPECT_EQ(App(0).rewinds, 1);
        EXPECT_TRUE(Same(drv.out, 0, sound.floats));
        EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
    }
}

// A seek is heard at once, playing or paused, in any loop pass and after
// the stream's last data; it is no end (one callback). The position is
// what was heard, across buffers and loop passes.
TEST_F(Playback, SeeksAreHeardAtOnceAndThePositionIsWhatWasHeard)
{
    Ramped sound(3000); // 250-frame chunks, 750 frames queued
    const struct {
        const char *what;
        size_t before, to;
        bool paused;
        ALsizei loops;
        int passesAfter = 0; // whole passes still owed after the seek's own
        size_t loopStart = 0, loopEnd = 0;
        bool decoded = false; // an application decoder, sought by decoding
    } rows[] = {
        {"forward", 700, 2500, false, 0},        {"back", 2000, 10, false, 0},
        {"forward, by decoding", 700, 2501, false, 0, 0, 0, 0, true},
        {"back, by decoding", 2000, 11, false, 0, 0, 0, 0, true},
        {"paused", 600, 1234, true, 0},          {"in the last loop pass", 3400, 2800, false, 1},
        {"after the last data", 2900, 100, false, 0},
        // The ring has read into the next pass, unheard: the seek gives it back.
        {"before a pass the ring read ahead into", 2900, 2800, false, 1, 1},
        {"to the loop's end: the outro's first frame", 1000, 2500, false, 1, 0, 500, 2500},
    };
    ASSERT_TRUE(InstallApp(0, -1));
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        App(0) = AppSound();
        App(0).pcm = sound.pcm;
        App(0).acceptFiles = false, App(0).acceptMemory = row.decoded;
        nuvexStream *stream = sound.Stream(1000);
        ASSERT_TRUE(!row.loopEnd || nuvexSetStreamLoopPoints(stream, row.loopStart, row.loopEnd));
        EndLog log;
        Driver drv{dev, 50};
        ASSERT_TRUE(nuvexPlaySourceStream(source, stream, 3, row.loops, EndLog::Callback, &log)) << Err();
        while (drv.frames < row.before) {
            drv.Step();
            ASSERT_EQ(nuvexGetStreamPosition(stream), drv.frames % 3000);
        }
        EXPECT_TRUE(!row.paused || nuvexPauseSource(source));
        ASSERT_TRUE(nuvexSetStreamPosition(stream, row.to)) << Err();
        const size_t seekAt = drv.frames;
        for (int i = 0; row.paused && i < 3; i++) {
            drv.Step();
            EXPECT_EQ(SourceInt(source, AL_SOURCE_STATE), AL_INITIAL);
            EXPECT_EQ(nuvexGetStreamPosition(stream), row.to);
        }
        EXPECT_TRUE(!row.paused || nuvexResumeSource(source));
        const size_t resumed = drv.frames;
        drv.Step(120);
        EXPECT_EQ(nuvexGetStreamPosition(stream), row.to + 120);
        PlayOut(drv, log, 10000);
        EXPECT_TRUE(Same(drv.out, seekAt * 2, Floats((resumed - seekAt) * 2, 0.0f)));
        const Floats rest = Slice(sound.floats, row.to * 2);
        EXPECT_TRUE(Same(drv.out, resumed * 2, rest));
        EXPECT_TRUE(Same(drv.out, resumed * 2 + rest.size(), Repeat(sound.floats, row.passesAfter)));
        const size_t end = resumed + 3000 - row.to + 3000 * size_t(row.passesAfter);
        EXPECT_GE(log.atFrame, end) << "the end comes where the pass ends";
        EXPECT_LT(log.atFrame, end + 50);
        EXPECT_EQ(log.calls, 1);
        EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
    }
    // An input that fails right after the jump: the seek says so, and the
    // playback, with nothing left to play, ends once.
    MemFiles fs;
    fs.files["ramp.wav"] = {sound.wav, sound.wav.size()};
    nuvexStream *stream = nuvexCreateStreamFromFile("ramp.wav", 1000, 0, nullptr);
    EndLog log;
    Driver drv{dev, 50};
    ASSERT_TRUE(nuvexPlaySourceStream(source, stream, 3, 0, EndLog::Callback, &log));
    drv.Step();
    fs.failReadsFrom = 0;
    EXPECT_FALSE(nuvexSetStreamPosition(stream, 100));
    EXPECT_EQ(Err(), "Error buffering from stream");
    PlayOut(drv, log, 10000);
    EXPECT_EQ(log.calls, 1);
    EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
}

TEST_F(Playback, WholeBufferPlaysOnceThenCallsBack)
{
    Ramped sound(2500);
    ALuint buffer = nuvexCreateBufferFromMemory(sound.wav.data(), ALsizei(sound.wav.size()));
    alSourcei(source, AL_BUFFER, ALint(buffer));
    EndLog log;
    Driver drv{dev, 256};
    ASSERT_TRUE(nuvexPlaySource(source, EndLog::Callback, &log)) << Err();
    PlayOut(drv, log, 10000);
    EXPECT_TRUE(Same(drv.out, 0, sound.floats));
    EXPECT_EQ(log.calls, 1);
    EXPECT_GE(log.atFrame, 2500u);
    EXPECT_LT(log.atFrame, 2500u + 256);
    // Without a callback nothing is tracked and the call can be repeated.
    EXPECT_TRUE(nuvexPlaySource(source, nullptr, nullptr));
    EXPECT_TRUE(nuvexPlaySource(source, nullptr, nullptr));
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

TEST_F(Playback, UnderrunsPausesAndStopsLoseNothing)
{
    Ramped sound(6000);
    nuvexStream *stream = sound.Stream(1024); // 256 frames a chunk, 768 queued
    EndLog log;
    Driver drv{dev, 200};
    ASSERT_TRUE(nuvexPlaySourceStream(source, stream, 3, 0, EndLog::Callback, &log));
    drv.out = dev.Render(2000); // far past the queue, no update
    drv.frames = 2000;
    EXPECT_EQ(SourceInt(source, AL_SOURCE_STATE), AL_STOPPED);
    EXPECT_EQ(nuvexGetStreamPosition(stream), 768u) << "a source run dry has played all it held";
    drv.Step(1);
    EXPECT_EQ(SourceInt(source, AL_SOURCE_STATE), AL_PLAYING) << "the update restarts it";
    EXPECT_EQ(nuvexGetStreamPosition(stream), 768u) << "restarted, it has played nothing more yet";
    // Paused, it stays paused across updates; resumed, it is fed again; one
    // paused behind the library's back is played on by the next update.
    drv.Step(500); // under the 768 frames queued
    EXPECT_EQ(nuvexGetStreamPosition(stream), 1268u);
    ASSERT_TRUE(nuvexPauseSource(source));
    for (int i = 0; i < 5; i++) {
        drv.Step();
        ASSERT_EQ(SourceInt(source, AL_SOURCE_STATE), AL_PAUSED);
    }
    ASSERT_TRUE(nuvexResumeSource(source));
    drv.Step();
    alSourcePause(source);
    drv.Step(1);
    EXPECT_EQ(SourceInt(source, AL_SOURCE_STATE), AL_PLAYING);
    PlayOut(drv, log, 40000);
    const Floats &in = sound.floats;
    const size_t queued = 768 * 2, paused = 2501 * 2, resumed = paused + 5 * 200 * 2;
    EXPECT_TRUE(Same(drv.out, 0, Slice(in, 0, queued)));
    EXPECT_TRUE(Same(drv.out, queued, Floats(2000 * 2 - queued, 0.0f)));
    // One frame rendered before the restart took effect.
    EXPECT_TRUE(Same(drv.out, 2001 * 2, Slice(in, queued, queued + 1000)));
    EXPECT_TRUE(Same(drv.out, paused, Floats(resumed - paused, 0.0f)));
    EXPECT_TRUE(Same(drv.out, resumed, Slice(in, queued + 1000, queued + 1400)));
    EXPECT_TRUE(Same(drv.out, resumed + 400 + 2, Slice(in, queued + 1400)));
    EXPECT_EQ(log.calls, 1);
    EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));

    // A stop ends the playback for good, with or without its callback, and
    // leaves the stream where it was and the source free.
    for (ALboolean runCallback : {AL_FALSE, AL_TRUE}) {
        Ramped long_(8000);
        stream = long_.Stream(1000);
        EndLog stopped;
        Driver d{dev, 100}; // under a chunk: the stream stays 3 chunks ahead
        ASSERT_TRUE(nuvexPlaySourceStream(source, stream, 3, -1, EndLog::Callback, &stopped));
        d.Step();
        EXPECT_TRUE(nuvexStopSource(source, runCallback));
        EXPECT_EQ(stopped.calls, runCallback ? 1 : 0);
        EXPECT_EQ(SourceInt(source, AL_SOURCE_STATE), AL_STOPPED);
        EXPECT_EQ(SourceInt(source, AL_BUFFERS_QUEUED), 0);
        EXPECT_EQ(LiveBuffers(), idle);
        d.Step();
        EXPECT_EQ(stopped.calls, runCallback ? 1 : 0);
        ASSERT_TRUE(nuvexPlaySourceStream(source, stream, 2, 0, nullptr, nullptr));
        EXPECT_TRUE(Same(dev.Render(10), 0, Slice(long_.floats, 750 * 2, 760 * 2)));
        EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
    }
    EXPECT_TRUE(nuvexStopSource(source, AL_TRUE)) << "an untracked source is just stopped";
    EXPECT_TRUE(nuvexResumeSource(source)) << "and just played";
}

TEST_F(Playback, CallbacksMayRestartOrDestroy)
{
    // Restarting the same source from its callback: the second sound follows.
    Ramped first(1800), second(2600);
    std::reverse(second.pcm.begin(), second.pcm.end()); // tell them apart
    ASSERT_TRUE(InstallApp(0, -1));
    App(0).pcm = second.pcm;
    App(0).acceptMemory = false;
    nuvexStream *one = first.Stream(800);
    App(0).acceptMemory = true;
    nuvexStream *two = first.Stream(800); // taken by the application decoder
    EndLog log, log2;
    ALboolean restarted = AL_FALSE;
    log.then = [&](ALuint src) { restarted = nuvexPlaySourceStream(src, two, 3, 0, EndLog::Callback, &log2); };
    Driver drv{dev, 190};
    log.clock = &drv.frames;
    ASSERT_TRUE(nuvexPlaySourceStream(source, one, 3, 0, EndLog::Callback, &log));
    PlayOut(drv, log2, 20000);
    EXPECT_TRUE(restarted) << Err();
    EXPECT_EQ(log2.calls, 1);
    EXPECT_TRUE(Same(drv.out, 0, first.floats));
    Floats reversed(second.pcm.size() / 2);
    for (size_t i = 0; i < reversed.size(); i++)
        reversed[i] = float(int16_t(second.pcm[2 * i] | second.pcm[2 * i + 1] << 8)) / 32768.0f;
    EXPECT_TRUE(Same(drv.out, log.atFrame * 2, reversed));
    EXPECT_TRUE(nuvexDestroyStream(one, 0, nullptr));
    EXPECT_TRUE(nuvexDestroyStream(two, 0, nullptr));

    // A callback that destroys its own stream, after the natural end and
    // nested inside the application's own destroy of that stream: once.
    App(0).pcm = first.pcm;
    for (bool nested : {false, true}) {
        SCOPED_TRACE(nested);
        App(0).closes = 0;
        nuvexStream *stream = first.Stream(1000);
        EndLog end;
        ALboolean inner = AL_TRUE;
        std::string innerError;
        end.then = [&](ALuint) {
            inner = nuvexDestroyStream(stream, 0, nullptr);
            innerError = Err();
        };
        Driver d{dev, 250};
        ASSERT_TRUE(nuvexPlaySourceStream(source, stream, 3, 0, EndLog::Callback, &end));
        if (nested) {
            d.Step();
            EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr)) << Err();
            EXPECT_FALSE(inner);
            EXPECT_EQ(innerError, "Invalid stream pointer");
            EXPECT_EQ(SourceInt(source, AL_SOURCE_STATE), AL_STOPPED);
        } else {
            PlayOut(d, end, 10000);
            EXPECT_TRUE(inner) << innerError;
        }
        EXPECT_EQ(end.calls, 1);
        EXPECT_EQ(App(0).closes, 1);
        EXPECT_EQ(nuvexGetStreamFrequency(stream), 0);
    }
}

TEST_F(Playback, ConflictsAndContexts)
{
    Ramped sound(20000);
    nuvexStream *a = sound.Stream(1000), *b = sound.Stream(1000), *c = sound.Stream(1000);
    ALuint other = DirectSource(), busy = DirectSource();
    // When both conflict, the newer entry (b on other) decides.
    ASSERT_TRUE(nuvexPlaySourceStream(source, a, 2, -1, nullptr, nullptr));
    ASSERT_TRUE(nuvexPlaySourceStream(other, b, 2, -1, nullptr, nullptr));
    EXPECT_FALSE(nuvexPlaySourceStream(source, b, 2, 0, nullptr, nullptr));
    EXPECT_EQ(Err(), "Stream is already playing");
    EXPECT_FALSE(nuvexPlaySourceStream(other, a, 2, 0, nullptr, nullptr));
    EXPECT_EQ(Err(), "Source is already playing");
    // Nothing left to play, or a source busy with a buffer of its own.
    ALuint own = 0;
    alGenBuffers(1, &own);
    ASSERT_EQ(nuvexBufferDataFromStream(c, 1, &own), 1);
    nuvexStream *drained = sound.Stream(200000);
    ASSERT_EQ(nuvexBufferDataFromStream(drained, 1, &own), 1);
    alSourcei(busy, AL_BUFFER, ALint(own));
    alSourcePlay(busy);
    const std::set<ALuint> before = LiveBuffers();
    EXPECT_FALSE(nuvexPlaySourceStream(busy, drained, 2, 0, nullptr, nullptr));
    EXPECT_EQ(Err(), "Error buffering from stream");
    EXPECT_FALSE(nuvexPlaySourceStream(busy, c, 2, 0, nullptr, nullptr));
    EXPECT_EQ(Err(), "Error starting source");
    EXPECT_EQ(LiveBuffers(), before);
    EXPECT_EQ(alGetError(), AL_NO_ERROR);
    alSourceStop(busy);
    alSourcei(busy, AL_BUFFER, 0);
    alDeleteBuffers(1, &own);

    // The same source name in a second context is another playback.
    const ALCint attrs[] = {ALC_FORMAT_CHANNELS_SOFT, ALC_STEREO_SOFT, ALC_FORMAT_TYPE_SOFT, ALC_FLOAT_SOFT,
                            ALC_FREQUENCY, 44100, 0};
    ALCcontext *second = alcCreateContext(alcGetContextsDevice(dev.context), attrs);
    ASSERT_TRUE(alcMakeContextCurrent(second));
    std::vector<ALuint> names;
    while (names.empty() || (names.back() != source && names.size() < 64))
        names.push_back(DirectSource());
    ASSERT_EQ(names.back(), source) << "no source of the same name in the second context";
    EndLog log;
    ASSERT_TRUE(nuvexPlaySourceStream(source, c, 2, -1, EndLog::Callback, &log)) << Err();
    EXPECT_TRUE(nuvexPauseSource(source));
    EXPECT_TRUE(nuvexStopSource(source, AL_TRUE));
    EXPECT_EQ(log.calls, 1);
    alDeleteSources(ALsizei(names.size()), names.data());
    alcMakeContextCurrent(dev.context);
    EXPECT_EQ(SourceInt(source, AL_SOURCE_STATE), AL_PLAYING) << "the first context's is untouched";
    alcDestroyContext(second);
    for (nuvexStream *s : {a, b, c, drained})
        EXPECT_TRUE(nuvexDestroyStream(s, 0, nullptr));
    EXPECT_EQ(SourceInt(source, AL_SOURCE_STATE), AL_STOPPED) << "destroying the stream stopped it";
    alDeleteSources(1, &other);
    alDeleteSources(1, &busy);
}

// A playback whose context was destroyed ends at the next update without a
// call into OpenAL for it; the others go on.
TEST_F(Playback, PlaybacksOfADestroyedContextEndOnce)
{
    Ramped sound(20000);
    nuvexStream *here = sound.Stream(1000);
    Feed feed;
    feed.bytes = sound.pcm;
    nuvexStream *there =
        nuvexCreateStreamFromCallback(Feed::Callback, &feed, AL_FORMAT_STEREO16, 44100, 1000, 0, nullptr);
    EndLog stays, ends, plain;
    ASSERT_TRUE(nuvexPlaySourceStream(source, here, 2, -1, EndLog::Callback, &stays));
    const ALCint attrs[] = {ALC_FORMAT_CHANNELS_SOFT, ALC_STEREO_SOFT, ALC_FORMAT_TYPE_SOFT, ALC_FLOAT_SOFT,
                            ALC_FREQUENCY, 44100, 0};
    ALCcontext *second = alcCreateContext(alcGetContextsDevice(dev.context), attrs);
    ASSERT_TRUE(alcMakeContextCurrent(second));
    ALuint away = DirectSource(), quiet = DirectSource();
    ASSERT_TRUE(nuvexPlaySourceStream(away, there, 2, -1, EndLog::Callback, &ends));
    ASSERT_TRUE(nuvexPlaySource(quiet, EndLog::Callback, &plain));
    alcMakeContextCurrent(dev.context);
    const std::set<ALuint> ring = LiveBuffers();
    alcDestroyContext(second);
    const size_t reads = feed.asks.size();
    dev.Render(600); // both rings have played out
    for (int i = 0; i < 2; i++) {
        nuvexUpdate();
        EXPECT_EQ(ends.calls, 1);
        EXPECT_EQ(plain.calls, 1);
    }
    EXPECT_EQ(ends.source, away);
    EXPECT_EQ(feed.asks.size(), reads) << "the dead context's stream is not read any more";
    EXPECT_EQ(stays.calls, 0);
    EXPECT_EQ(SourceInt(source, AL_SOURCE_STATE), AL_PLAYING) << "the live context's is refilled";
    EXPECT_TRUE(nuvexDestroyStream(there, 0, nullptr));
    EXPECT_TRUE(nuvexDestroyStream(here, 0, nullptr));
    EXPECT_EQ(ends.calls, 1) << "destroying its stream runs no callback a second time";
    EXPECT_EQ(stays.calls, 1);
    for (ALuint name : ring) // the dead context's ring is its device's now
        if (!idle.count(name))
            alDeleteBuffers(1, &name);
}

} // namespace
