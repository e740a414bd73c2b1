// The update thread and the library under several threads at once: started,
// re-timed and stopped (also from end-of-play callbacks), SoundFonts changed
// and streams sought under it, and application threads loading, streaming,
// playing, re-timing and stopping it while it feeds them. The
// ThreadSanitizer build runs all of it.
#include "nvtest.h"
#include "threadcount.h"

#ifdef NUVEX_MEDIA_SNDFILE
#include "sfmedia.h"
#endif


#include <chrono>
#include <deque>
#include <cmath>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>

using namespace nvt;
using Clock = std::chrono::steady_clock;

namespace {

// Polls `done` for up to `seconds`; the generous limit only bounds a hang.
bool WaitFor(const std::function<bool()> &done, double seconds = 10.0)
{
    auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (Clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The threads of the process once `expected` is reached or half a second
// has passed: a joined thread leaves the kernel's task list a moment after
// pthread_join returns, which a loaded machine stretches.
int ThreadCountSettled(int expected)
{
    WaitFor([expected] { return ThreadCount() == expected; }, 0.5);
    return ThreadCount();
}

class UpdateThread : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(device.ok);
        baseThreads = ThreadCount();
    }
    void TearDown() override
    {
        nuvexUpdateInterval(0.0f);
        EXPECT_EQ(ThreadCountSettled(baseThreads), baseThreads) << "an update thread outlived the test";
        alDeleteSources(ALsizei(sources.size()), sources.data());
    }
    // A listed playback with nothing to play: the first update ends it, so
    // its callback tells that (and where) an update ran.
    void Track(EndLog &log)
    {
        sources.push_back(0);
        alGenSources(1, &sources.back());
        ASSERT_TRUE(nuvexPlaySource(sources.back(), EndLog::Callback, &log)) << Err();
    }
    NullDevice device;
    int baseThreads = 0;
    std::vector<ALuint> sources;
};

TEST_F(UpdateThread, FeedsAStreamToItsEndStartsAtOnceAndStopsOnZeroOrLess)
{
    // 0.3 s of sound through a ring of 4 x 256 frames: dozens of refills.
    Feed feed;
    feed.bytes = nvmedia::LE16Bytes(Ramp(13230));
    nuvexStream *stream =
        nuvexCreateStreamFromCallback(Feed::Callback, &feed, AL_FORMAT_STEREO16, 44100, 1024, 0, nullptr);
    ALuint source;
    alGenSources(1, &source);
    sources.push_back(source);
    EndLog log;
    std::thread::id ranOn;
    log.then = [&](ALuint) { ranOn = std::this_thread::get_id(); };
    ASSERT_TRUE(nuvexPlaySourceStream(source, stream, 4, 0, EndLog::Callback, &log));
    ASSERT_TRUE(nuvexUpdateInterval(0.005f));
    ASSERT_TRUE(WaitFor([&] { return log.calls > 0; })) << "the playback never ended";
    EXPECT_EQ(feed.pos, feed.bytes.size());
    EXPECT_GT(feed.asks.size(), 50u);
    EXPECT_NE(ranOn, std::this_thread::get_id());
    EXPECT_TRUE(nuvexUpdateInterval(0.0f));
    EXPECT_EQ(ThreadCountSettled(baseThreads), baseThreads) << "the stop ends the thread";
    EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));

    // The first update waits for nothing; re-timing starts no second thread;
    // a negative interval stops it; no update comes after the stop.
    EndLog first, none;
    Track(first);
    ASSERT_TRUE(nuvexUpdateInterval(1.0f));
    EXPECT_TRUE(WaitFor([&] { return first.calls > 0; }, 0.9));
    EXPECT_TRUE(nuvexUpdateInterval(0.01f) && nuvexUpdateInterval(NAN));
    EXPECT_EQ(ThreadCount(), baseThreads + 1);
    EXPECT_TRUE(nuvexUpdateInterval(-1.0f));
    EXPECT_EQ(ThreadCountSettled(baseThreads), baseThreads);
    Track(none);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(none.calls, 0);
    nuvexUpdate();
    EXPECT_EQ(none.calls, 1);
}

// nuvexUpdateInterval(0) from a callback: the caller holds the library's
// lock, so the stop must neither wait there nor leave the thread running,
// whether the callback runs on the update thread or on an application thread.
TEST_F(UpdateThread, CallbackStopsTheThread)
{
    enum Path { InThread, InUpdate, InStopSource, InDestroyStream };
    for (Path path : {InThread, InUpdate, InStopSource, InDestroyStream}) {
        SCOPED_TRACE(path);
        EndLog first;
        Track(first);
        ASSERT_TRUE(nuvexUpdateInterval(0.5f));
        ASSERT_TRUE(WaitFor([&] { return first.calls > 0; }));
        // The thread now sleeps, so a callback run by hand runs on this thread.
        Feed feed;
        feed.bytes.assign(441000, 0);
        nuvexStream *stream =
            nuvexCreateStreamFromCallback(Feed::Callback, &feed, AL_FORMAT_STEREO16, 44100, 4096, 0, nullptr);
        EndLog log;
        std::thread::id ranOn;
        ALboolean stopped = AL_FALSE;
        log.then = [&](ALuint) {
            ranOn = std::this_thread::get_id();
            stopped = nuvexUpdateInterval(0.0f);
        };
        sources.push_back(0);
        alGenSources(1, &sources.back());
        if (path == InThread || path == InUpdate) {
            ASSERT_TRUE(nuvexPlaySource(sources.back(), EndLog::Callback, &log));
            if (path == InUpdate)
                nuvexUpdate();
            ASSERT_TRUE(WaitFor([&] { return log.calls > 0; }));
        } else {
            ASSERT_TRUE(nuvexPlaySourceStream(sources.back(), stream, 2, 0, EndLog::Callback, &log));
            if (path == InStopSource)
                nuvexStopSource(sources.back(), AL_TRUE);
            else
                nuvexDestroyStream(std::exchange(stream, nullptr), 0, nullptr);
        }
        EXPECT_EQ(log.calls, 1);
        EXPECT_EQ(ranOn == std::this_thread::get_id(), path != InThread);
        EXPECT_TRUE(stopped);
        EXPECT_TRUE(WaitFor([&] { return ThreadCount() == baseThreads; })) << "the thread ended";
        nuvexDestroyStream(stream, 0, nullptr);
        EndLog later;
        Track(later);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(later.calls, 0) << "no update after the stop";
        nuvexUpdate();
    }
}

// The wait between updates ends at once on a stop, and a new interval counts
// from the last update; the same interval set again changes nothing.
TEST_F(UpdateThread, StopsAtOnceAndRetimesFromTheLastUpdate)
{
    auto seconds = [](Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); };
    EndLog first, retimed;
    Track(first);
    ASSERT_TRUE(nuvexUpdateInterval(30.0f));
    ASSERT_TRUE(WaitFor([&] { return first.calls > 0; }));
    Track(retimed);
    Clock::time_point start = Clock::now();
    ASSERT_TRUE(nuvexUpdateInterval(0.05f));
    EXPECT_TRUE(WaitFor([&] { return retimed.calls > 0; }, 5.0)) << "the next update waited for the old interval";
    EXPECT_LT(seconds(start), 5.0);
    EndLog steady;
    ASSERT_TRUE(nuvexUpdateInterval(0.2f));
    Track(steady);
    // 0.2 s set every 20 ms: updates still come. Then 30 s, waited on.
    for (int i = 0; i < 40; i++) {
        ASSERT_TRUE(nuvexUpdateInterval(i < 39 ? 0.2f : 30.0f));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_GT(steady.calls, 0);
    start = Clock::now();
    EXPECT_TRUE(nuvexUpdateInterval(0.0f));
    EXPECT_LT(seconds(start), 1.0) << "the stop waited for the 30 s interval";
    EXPECT_EQ(ThreadCountSettled(baseThreads), baseThreads);
}

// A MIDI stream's SoundFont changes while the update thread renders it and
// another thread seeks it, a third loads the same fonts for streams of its
// own and two more load the song whole with one of them; the cache holds
// one font, so fonts in use are pushed out all along. Then a 100 MB font
// loads for it, and as the default of a stream being started, while it
// loops and a WAV plays: no update waits for a load.
TEST_F(UpdateThread, PatchSetsChangeWhileTheThreadPlaysMidi)
{
    nvmedia::SoundFontSpec square, large;
    square.square = true, large.periods = 500000; // 100 MB of sample
    const std::string fonts[] = {TempFile("a.sf2", nvmedia::WriteSoundFont()), TempFile("b.sf2", nvmedia::WriteSoundFont(square)),
                                 TempFile("large.sf2", nvmedia::WriteSoundFont(large))};
    setenv("NUVEX_SOUNDFONT", fonts[0].c_str(), 1);
    setenv("NUVEX_SOUNDFONT_CACHE", "0.01", 1);
    std::vector<nvmedia::MidiEvent> notes;
    for (uint8_t key = 60; key < 76; key++)
        notes.insert(notes.end(), {{(key - 60u) * 20, {0x90, key, 100}}, {(key - 60u) * 20 + 15, {0x80, key, 0}}});
    const Bytes tune = nvmedia::WriteMidi(0, 480, {nvmedia::MidiTrack(notes, true)});
    auto open = [&] { return nuvexCreateStreamFromMemory(tune.data(), ALuint(tune.size()), 2048, 0, nullptr); };
    nuvexStream *stream = open(), *started = open();
    sources.resize(3);
    alGenSources(3, sources.data());
    EndLog log;
    ASSERT_TRUE(nuvexPlaySourceStream(sources[0], stream, 3, -1, EndLog::Callback, &log)) << Err();
    ASSERT_TRUE(nuvexUpdateInterval(0.002f));
    std::atomic<bool> swapping{true};
    std::thread seeker([&] {
        for (nuvexUInt64 frame = 0; swapping; frame = (frame + 977) % 14000)
            EXPECT_TRUE(nuvexSetStreamPosition(stream, frame)) << Err();
    }), other([&] {
        for (int i = 0; i < 20; i++) {
            nuvexStream *mine = open();
            EXPECT_TRUE(nuvexSetStreamPatchset(mine, fonts[i % 2].c_str()) && nuvexDestroyStream(mine, 0, nullptr));
        }
    });
    auto loadWhole = [&] {
        for (int i = 0; i < 10; i++) {
            ALuint buffer = nuvexCreateBufferFromMemory(tune.data(), ALsizei(tune.size()));
            EXPECT_NE(buffer, 0u);
            alDeleteBuffers(buffer ? 1 : 0, &buffer);
        }
    };
    std::thread whole[] = {std::thread(loadWhole), std::thread(loadWhole)};
    for (int i = 0; i < 100; i++)
        EXPECT_TRUE(nuvexSetStreamPatchset(stream, i % 3 ? fonts[i % 2].c_str() : nullptr));
    other.join();
    for (std::thread &t : whole)
        t.join();
    swapping = false, seeker.join();
    ASSERT_TRUE(nuvexUpdateInterval(0.0f));
    const Bytes wav = nvmedia::WriteWav16(Ramp(1323000), 2, 44100); // 30 s
    nuvexStream *music = nuvexCreateStreamFromMemory(wav.data(), ALuint(wav.size()), 4410 * 4, 0, nullptr);
    ASSERT_TRUE(nuvexPlaySourceStream(sources[1], music, 4, 0, nullptr, nullptr)); // 400 ms queued
    setenv("NUVEX_SOUNDFONT", fonts[2].c_str(), 1);
    std::atomic<int> loading{2}, underruns{0};
    std::thread loaders[] = {std::thread([&] { EXPECT_TRUE(nuvexSetStreamPatchset(stream, fonts[2].c_str())) << Err(); loading--; }),
                             std::thread([&] { EXPECT_TRUE(nuvexPlaySourceStream(sources[2], started, 3, 0, nullptr, nullptr)) << Err(); loading--; }),
                             std::thread([&] { // polls the WAV's source
                                 for (ALint state = AL_PLAYING; loading > 0; std::this_thread::sleep_for(std::chrono::milliseconds(1)))
                                     alGetSourcei(sources[1], AL_SOURCE_STATE, &state), underruns += state != AL_PLAYING;
                             })};
    Clock::duration longest{};
    for (; loading > 0; std::this_thread::sleep_for(std::chrono::milliseconds(4))) {
        const Clock::time_point start = Clock::now();
        nuvexUpdate();
        longest = std::max(longest, Clock::now() - start);
    }
    for (std::thread &loader : loaders)
        loader.join();
    EXPECT_LT(longest, std::chrono::milliseconds(20)) << std::chrono::duration<double>(longest).count() << " s";
    EXPECT_EQ(underruns, 0) << "the WAV ran dry";
    EXPECT_TRUE(nuvexStopSource(sources[0], AL_TRUE) && nuvexDestroyStream(stream, 0, nullptr));
    EXPECT_EQ(log.calls, 1);
    EXPECT_TRUE(nuvexDestroyStream(music, 0, nullptr) && nuvexDestroyStream(started, 0, nullptr));
}

// A seek that decodes forward holds no lock: other playbacks are refilled
// meanwhile, a second seek waits for it, and a destroy of its stream ends
// that playback at once, the seek then failing. Seeks and position reads race
// updates and a destroy; an end-of-play callback seeks its own, ended, stream.
TEST_F(UpdateThread, ForwardSeeksHoldNoLockAndRaceUpdatesAndDestroys)
{
    struct Refills {
        std::mutex mutex;
        std::vector<Clock::time_point> at;
        static ALuint Silence(void *self, ALubyte *data, ALuint bytes)
        {
            auto *r = static_cast<Refills *>(self);
            std::lock_guard<std::mutex> lock(r->mutex);
            r->at.push_back(Clock::now());
            memset(data, 0, bytes);
            return bytes;
        }
    } refills;
    nvmedia::ModSpec slow = nvmedia::DemoModule(1, std::vector<uint8_t>(128, 0));
    slow.patterns[0].notes.push_back({0, 3, 0, 0, 0xF, 18}); // speed 18: 48 minutes in all
    const Bytes song = nvmedia::WriteMod(slow);
    const Bytes wav = nvmedia::WriteWav16(Ramp(4410), 2, 44100);
    nuvexStream *other = nuvexCreateStreamFromCallback(Refills::Silence, &refills, AL_FORMAT_STEREO16, 44100, 8820, 0, nullptr);
    nuvexStream *module = nuvexCreateStreamFromMemory(song.data(), ALuint(song.size()), 17640, 0, nullptr);
    nuvexStream *looped = nuvexCreateStreamFromMemory(wav.data(), ALuint(wav.size()), 2000, 0, nullptr);
    nuvexStream *once = nuvexCreateStreamFromMemory(wav.data(), ALuint(wav.size()), 2000, 0, nullptr);
    // Another module, refilled by the update thread while the seek decodes:
    // libmodplug's mixer is process-wide, so the two must take turns.
    const Bytes tune = nvmedia::WriteMod(nvmedia::DemoModule(1));
    nuvexStream *played = nuvexCreateStreamFromMemory(tune.data(), ALuint(tune.size()), 4096, 0, nullptr);
    sources.resize(5);
    alGenSources(5, sources.data());
    EndLog moduleLog, onceLog;
    ALboolean seekInCallback = AL_FALSE;
    onceLog.then = [&](ALuint) { seekInCallback = nuvexSetStreamPosition(once, 10); };
    ASSERT_TRUE(nuvexPlaySourceStream(sources[0], other, 8, 0, nullptr, nullptr)); // 50 ms chunks
    ASSERT_TRUE(nuvexPlaySourceStream(sources[1], module, 3, -1, EndLog::Callback, &moduleLog));
    ASSERT_TRUE(nuvexPlaySourceStream(sources[2], looped, 3, -1, nullptr, nullptr));
    ASSERT_TRUE(nuvexPlaySourceStream(sources[3], once, 3, 0, EndLog::Callback, &onceLog));
    ASSERT_TRUE(nuvexPlaySourceStream(sources[4], played, 3, -1, nullptr, nullptr));
    ASSERT_TRUE(nuvexUpdateInterval(0.005f));
    std::atomic<bool> racing{true};
    std::thread racer([&] {
        std::mt19937 rng(17);
        while (racing && nuvexSetStreamPosition(looped, rng() % 4410))
            // At most the length (a source run dry at a pass end has heard it
            // all), or all bits set once destroyed.
            EXPECT_LT(nuvexGetStreamPosition(looped) + 1, 4412u);
    });
    const nuvexUInt64 target = 12 * 60 * 44100;
    auto second = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return nuvexSetStreamPosition(module, target + 44100);
    });
    const Clock::time_point start = Clock::now();
    EXPECT_TRUE(nuvexSetStreamPosition(module, target)) << Err();
    const Clock::time_point end = Clock::now();
    EXPECT_EQ(second.get(), AL_TRUE);
    EXPECT_GE(nuvexGetStreamPosition(module), target);
    EXPECT_LT(nuvexGetStreamPosition(module), target + 2 * 44100);
    // More than an hour of decoding from where the stream stands is refused
    // before any of it is done.
    const nuvexUInt64 stands = nuvexGetStreamPosition(module);
    EXPECT_FALSE(nuvexSetStreamPosition(module, target + 3601 * 44100));
    EXPECT_LT(nuvexGetStreamPosition(module), stands + 44100); // it plays on meanwhile
    {
        // Held, the lock would stop every refill for the whole seek; a
        // loaded machine may stall the refills (and the mixing) a while.
        std::lock_guard<std::mutex> lock(refills.mutex);
        const Clock::duration allowed = std::max<Clock::duration>((end - start) / 2, std::chrono::milliseconds(150));
        Clock::time_point last = start;
        for (Clock::time_point at : refills.at)
            if (at > start && at < end) {
                EXPECT_LT(at - last, allowed) << "the other source was not refilled";
                last = at;
            }
        EXPECT_LT(end - last, allowed) << "the other source was not refilled";
    }
    std::atomic<int> destroyedSeek{-1};
    // Far ahead (33 minutes of decoding), so that the destroy comes while it
    // decodes even where silence decodes fast.
    std::thread seeker([&] { destroyedSeek = nuvexSetStreamPosition(module, 45 * 60 * 44100); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // The tags are read without waiting for the seek (which, waited for,
    // would end before the destroy).
    EXPECT_STREQ(nuvexGetStreamTag(module, "title"), "nuvex demo");
    EXPECT_TRUE(nuvexDestroyStream(module, 0, nullptr));
    const Clock::time_point destroyed = Clock::now();
    EXPECT_EQ(moduleLog.calls, 1);
    seeker.join();
    // It stops at once, not after decoding on (longer than the 12 minutes
    // above took) for a stream nobody has.
    EXPECT_LT(Clock::now() - destroyed, end - start);
    EXPECT_EQ(destroyedSeek, AL_FALSE);
    EXPECT_TRUE(nuvexDestroyStream(looped, 0, nullptr));
    racer.join();
    EXPECT_EQ(nuvexGetStreamPosition(looped), ~nuvexUInt64(0));
    ASSERT_TRUE(WaitFor([&] { return onceLog.calls > 0; }));
    EXPECT_TRUE(seekInCallback);
    EXPECT_EQ(nuvexGetStreamPosition(once), 10u);
    EXPECT_TRUE(nuvexUpdateInterval(0.0f));
    for (nuvexStream *s : {other, once, played})
        EXPECT_TRUE(nuvexDestroyStream(s, 0, nullptr));
}

// ---- Loads in the background -----------------------------------------------

using SetThreadContext = ALCboolean(ALC_APIENTRY *)(ALCcontext *);
SetThreadContext ThreadContextSetter()
{
    return reinterpret_cast<SetThreadContext>(alcGetProcAddress(nullptr, "alcSetThreadContext"));
}

// Delivered by the update thread once each; a callback that starts another
// load gets it from a later update; a load asked for on a thread with a
// context of its own lands in that context; a batch of 10,000 names (a
// tenth of them missing) loads the others.
TEST(Background, DeliveredOnceEachInTheirContextsAndBatchesOf10000)
{
    NullDevice nullDevice;
    ASSERT_TRUE(nullDevice.ok);
    const Bytes wav = nvmedia::WriteWav16(Ramp(300), 2, 44100);
    auto load = [&](Delivery &d) { return nuvexCreateBufferFromMemoryAsync(wav.data(), ALsizei(wav.size()), Delivery::Callback, &d); };
    std::vector<Delivery> loads(40), other(1);
    loads[0].then = [&](ALuint) { EXPECT_TRUE(load(loads.back())) << Err(); };
    for (size_t i = 0; i + 1 < loads.size(); i++)
        ASSERT_TRUE(load(loads[i])) << Err();
    const SetThreadContext setThreadContext = ThreadContextSetter();
    ASSERT_NE(setThreadContext, nullptr);
    ALCdevice *device = alcOpenDevice(nullptr);
    ALCcontext *own = alcCreateContext(device, nullptr);
    std::thread([&] {
        setThreadContext(own);
        EXPECT_TRUE(load(other[0])) << Err();
        setThreadContext(nullptr);
    }).join();
    ASSERT_TRUE(nuvexUpdateInterval(0.002f));
    ASSERT_TRUE(Delivered(loads, false) && Delivered(other, false));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (Delivery &d : loads) {
        EXPECT_EQ(d.calls, 1);
        EXPECT_NE(d.thread, std::this_thread::get_id());
        EXPECT_EQ(FramesOf(d.buffer), 300u) << d.error;
        alDeleteBuffers(1, &d.buffer);
    }
    EXPECT_FALSE(alIsBuffer(other[0].buffer)) << "landed in the process's context";
    setThreadContext(own);
    EXPECT_EQ(FramesOf(other[0].buffer), 300u) << other[0].error;
    setThreadContext(nullptr);
    alcDestroyContext(own);
    alcCloseDevice(device);

    std::vector<std::string> files;
    for (int i = 0; i < 100; i++)
        files.push_back(i % 10 ? TempFile("tiny" + std::to_string(i), nvmedia::WriteWav16(Ramp(size_t(i), 1), 1, 8000)) : "/nonexistent/tiny");
    std::vector<const char *> names;
    for (int i = 0; i < 10000; i++)
        names.push_back(files[size_t(i % 100)].c_str());
    std::vector<ALuint> buffers(names.size());
    EXPECT_EQ(nuvexCreateBuffersFromFiles(names.data(), ALsizei(names.size()), buffers.data()), 9000);
    EXPECT_EQ(Err(), "/nonexistent/tiny: Failed to open file");
    for (size_t i = 0; i < names.size(); i++)
        EXPECT_TRUE(i % 10 ? FramesOf(buffers[i]) == i % 100 : buffers[i] == 0) << i;
    alDeleteBuffers(ALsizei(buffers.size()), buffers.data());
    EXPECT_EQ(alGetError(), AL_NO_ERROR);
    EXPECT_TRUE(nuvexUpdateInterval(0.0f));
}

// How many loads run at once: the setting, else NUVEX_THREADS when it is a
// whole positive number, else the cores. A batch counts its caller's thread
// among them (1: the caller alone); loads in the background leave the
// caller's thread to the application, with one worker at least. A decoder
// of the test's own counts the decodes under way.
struct Overlap {
    static std::atomic<int> now, most;
    static std::mutex threadsLock;
    static std::set<std::thread::id> threads;
    static void *Open(const ALchar *) { return new int(4); }
    static void *OpenMem(const ALubyte *, ALuint) { return new int(4); }
    static ALboolean Format(void *, ALenum *format, ALuint *rate, ALuint *block)
    {
        *format = AL_FORMAT_MONO16, *rate = 8000, *block = 2;
        return AL_TRUE;
    }
    static ALuint Decode(void *handle, ALubyte *buf, ALuint bytes)
    {
        int &left = *static_cast<int *>(handle);
        if (left == 0 || bytes < 2)
            return 0;
        left--;
        int at = ++now;
        for (int seen = most; at > seen && !most.compare_exchange_weak(seen, at);) {
        }
        {
            std::lock_guard<std::mutex> hold(threadsLock);
            threads.insert(std::this_thread::get_id());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        --now;
        std::fill_n(buf, 2, ALubyte(0));
        return 2;
    }
    static void Close(void *handle) { delete static_cast<int *>(handle); }
};
std::atomic<int> Overlap::now{0}, Overlap::most{0};
std::mutex Overlap::threadsLock;
std::set<std::thread::id> Overlap::threads;

TEST(Background, AsManyLoadsAtOnceAsTheSettingAllows)
{
    NullDevice device;
    ASSERT_TRUE(device.ok);
    ASSERT_TRUE(nuvexInstallDecodeCallbacks(-1, Overlap::Open, Overlap::OpenMem, Overlap::Format, Overlap::Decode,
                                            nullptr, Overlap::Close));
    const int cores = int(sysconf(_SC_NPROCESSORS_ONLN));
    const struct {
        ALsizei setting;
        const char *env; // nullptr: unset
        bool batch;
        int most; // 0: the cores
    } rows[] = {{1, nullptr, true, 1}, {0, "5", true, 5},   {4, "1", true, 4},     {0, "1", true, 1},
                {0, "abc", true, 0},   {0, "5x", true, 0},  {0, "-3", true, 0},    {0, "", true, 0},
                {0, "5", false, 4},    {1, nullptr, false, 1}, {2, "5", false, 1}};
    const Bytes image(16, 0);
    for (const auto &row : rows) {
        SCOPED_TRACE(std::to_string(row.setting) + " " + (row.env ? row.env : "unset") + (row.batch ? " batch" : " async"));
        if (row.env)
            setenv("NUVEX_THREADS", row.env, 1);
        else
            unsetenv("NUVEX_THREADS");
        ASSERT_TRUE(nuvexSetLoadThreads(row.setting));
        const int expected = row.most ? row.most : cores;
        Overlap::most = 0;
        Overlap::threads.clear();
        const size_t count = size_t(expected) * 3 + 3;
        std::vector<ALuint> buffers(count);
        if (row.batch) {
            std::vector<const char *> names(count, "overlap");
            ASSERT_EQ(nuvexCreateBuffersFromFiles(names.data(), ALsizei(count), buffers.data()), ALsizei(count)) << Err();
        } else {
            std::vector<Delivery> loads(count);
            for (Delivery &d : loads)
                ASSERT_TRUE(nuvexCreateBufferFromMemoryAsync(image.data(), 16, Delivery::Callback, &d)) << Err();
            ASSERT_TRUE(Delivered(loads));
            for (size_t i = 0; i < count; i++)
                buffers[i] = loads[i].buffer;
        }
        EXPECT_EQ(Overlap::most, expected);
        if (expected == 1) {
            EXPECT_EQ(Overlap::threads.size(), 1u);
            EXPECT_EQ(Overlap::threads.count(std::this_thread::get_id()), row.batch ? 1u : 0u) << "the caller's thread";
        }
        for (ALuint buffer : buffers)
            EXPECT_EQ(FramesOf(buffer), 4u);
        alDeleteBuffers(ALsizei(count), buffers.data());
    }
    unsetenv("NUVEX_THREADS");
    nuvexSetLoadThreads(0);
    nuvexInstallDecodeCallbacks(-1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
}

// A shutdown ends the loads of its context before it goes: the one running
// (its decode held up by an application decoder until another thread lets
// it go) is waited for, the queued ones cancelled; every callback runs once,
// on the shutting thread, with 0 and "Load cancelled", before the call
// returns. Loads of a context the application destroys itself end with
// "Context destroyed". A callback may shut the device down: the loads left
// are cancelled there.
TEST(Background, ShutdownCancelsLoadsAndADestroyedContextEndsThem)
{
    ASSERT_TRUE(nuvexSetLoadThreads(2)); // one worker: the decoder's counters are not shared
    ResetApps();
    ASSERT_TRUE(InstallApp(0, -1));
    std::atomic<bool> started{false}, release{false};
    App(0).pcm = Bytes(40000, 1);
    App(0).perCall = 4000;
    App(0).onDecode = [&] {
        started = true;
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    const Bytes image(16, 0);
    auto queue = [&](std::vector<Delivery> &all) {
        for (Delivery &d : all)
            ASSERT_TRUE(nuvexCreateBufferFromMemoryAsync(image.data(), 16, Delivery::Callback, &d)) << Err();
    };
    auto expectAll = [](std::vector<Delivery> &all, const char *error, size_t from = 0) {
        for (size_t i = from; i < all.size(); i++) {
            EXPECT_EQ(all[i].calls, 1) << i;
            EXPECT_EQ(all[i].buffer, 0u) << i;
            EXPECT_EQ(all[i].error, error) << i;
        }
    };

    ASSERT_TRUE(nuvexInitDevice(nullptr, nullptr));
    std::vector<Delivery> cancelled(10);
    queue(cancelled);
    ASSERT_TRUE(WaitFor([&] { return started.load(); }));
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        release = true;
    });
    const auto before = Clock::now();
    ASSERT_TRUE(nuvexShutdownDevice());
    EXPECT_GE(Clock::now() - before, std::chrono::milliseconds(90)) << "the running load was not waited for";
    releaser.join();
    expectAll(cancelled, "Load cancelled");
    for (const Delivery &d : cancelled)
        EXPECT_EQ(d.thread, std::this_thread::get_id());

    release = started = false;
    ASSERT_TRUE(nuvexInitDevice(nullptr, nullptr));
    ALCcontext *doomed = alcGetCurrentContext();
    std::vector<Delivery> orphaned(5);
    queue(orphaned);
    ASSERT_TRUE(WaitFor([&] { return started.load(); }));
    ASSERT_TRUE(nuvexInitDevice(nullptr, nullptr));
    ALCdevice *doomedDevice = alcGetContextsDevice(doomed);
    alcDestroyContext(doomed);
    alcCloseDevice(doomedDevice);
    release = true;
    ASSERT_TRUE(Delivered(orphaned));
    expectAll(orphaned, "Context destroyed");

    App(0).onDecode = nullptr;
    std::vector<Delivery> last(6);
    last[0].then = [](ALuint) { EXPECT_TRUE(nuvexShutdownDevice()) << Err(); };
    queue(last);
    ASSERT_TRUE(WaitFor([&] { return last[0].calls > 0 || (nuvexUpdate(), false); }));
    EXPECT_NE(last[0].buffer, 0u) << last[0].error;
    expectAll(last, "Load cancelled", 1);
    EXPECT_EQ(alcGetCurrentContext(), nullptr);
    // A decode cancelled from a callback may still run (only uploads are
    // waited for there): one more load behind it on the one worker tells
    // when it is over, before the decoder's state goes with the program.
    ASSERT_TRUE(nuvexInitDevice(nullptr, nullptr));
    std::vector<Delivery> behind(1);
    queue(behind);
    EXPECT_TRUE(Delivered(behind));
    alDeleteBuffers(1, &behind[0].buffer);
    EXPECT_TRUE(nuvexShutdownDevice());
}

// Loads asked for on one thread while another shuts the device down, again
// and again, with the update thread delivering: every queued load's callback
// runs exactly once (delivered, cancelled, or ended by the dead context), and
// once the context is gone the calls fail at once.
TEST(Stress, LoadsRaceShutdowns)
{
    const Bytes wav = nvmedia::WriteWav16(Ramp(2000), 2, 44100);
    ASSERT_TRUE(nuvexUpdateInterval(0.001f));
    std::vector<std::unique_ptr<std::vector<Delivery>>> rounds;
    const std::set<std::string> reasons = {"", "Load cancelled", "Context destroyed"};
    for (int round = 0; round < 20; round++) {
        ASSERT_TRUE(nuvexInitDevice(nullptr, nullptr));
        rounds.push_back(std::make_unique<std::vector<Delivery>>(300));
        std::vector<Delivery> &loads = *rounds.back();
        std::atomic<size_t> queued{0};
        std::thread loader([&] {
            for (Delivery &d : loads) {
                d.then = [](ALuint buffer) { alDeleteBuffers(1, &buffer); };
                if (!nuvexCreateBufferFromMemoryAsync(wav.data(), ALsizei(wav.size()), Delivery::Callback, &d))
                    break;
                queued++;
            }
        });
        std::this_thread::sleep_for(std::chrono::microseconds(200 * (round % 10)));
        ASSERT_TRUE(nuvexShutdownDevice());
        loader.join();
        ASSERT_TRUE(WaitFor([&] { return std::all_of(loads.begin(), loads.begin() + long(queued.load()),
                                                     [](const Delivery &d) { return d.calls > 0; }); }));
        for (size_t i = 0; i < loads.size(); i++) {
            EXPECT_EQ(loads[i].calls, i < queued ? 1 : 0) << round << " " << i;
            EXPECT_EQ(reasons.count(loads[i].error), 1u) << loads[i].error;
        }
    }
    EXPECT_TRUE(nuvexUpdateInterval(0.0f));
}

#ifdef NUVEX_MEDIA_SNDFILE
// An MP3 stream's length, asked for on one thread while another decodes
// the stream, is right and leaves the decode as it would be without.
TEST(Streams, Mp3LengthAskedDuringADecode)
{
    Loopback dev(1, 22050);
    const Bytes mp3 = nvmedia::WriteSoundFile(nvmedia::Tones32(66150, 22050, {440}, 0.5), 1, 22050, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III);
    auto decode = [&](bool ask) {
        nuvexStream *stream = nuvexCreateStreamFromMemory(mp3.data(), ALuint(mp3.size()), 2048, 0, nullptr);
        std::atomic<bool> started{false};
        std::thread asker([&] {
            while (ask && !started)
                std::this_thread::yield();
            EXPECT_TRUE(!ask || nuvexGetStreamLength(stream) == 66150u);
        });
        Floats out;
        for (bool more = true; more; started = true) {
            ALuint buffer;
            alGenBuffers(1, &buffer);
            const Floats part = (more = nuvexBufferDataFromStream(stream, 1, &buffer) == 1) ? PlayBuffer(dev, buffer) : Floats();
            out.insert(out.end(), part.begin(), part.end());
            alDeleteBuffers(1, &buffer);
        }
        asker.join();
        EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
        return out;
    };
    const Floats straight = decode(false);
    EXPECT_EQ(straight.size(), 66150u);
    for (int round = 0; round < 10; round++)
        EXPECT_TRUE(decode(true) == straight) << round;
}
#endif

// Application threads load, stream, start, pause, resume, stop and destroy
// played streams and re-time the thread while it feeds every source at a
// 1 ms interval. Every playback's callback runs exactly once unless it was
// stopped without callback (then at most once: it may have ended first).
TEST(Stress, ApplicationThreadsAgainstTheUpdateThread)
{
    NullDevice device;
    ASSERT_TRUE(device.ok);
    const int baseThreads = ThreadCount();
    const Bytes wav = nvmedia::WriteWav16(Ramp(2000), 2, 44100); // 45 ms
    struct Play {
        nuvexStream *stream = nullptr;
        ALuint source = 0;
        EndLog log;
        bool silentStop = false;
    };
    std::mutex recordsMutex;
    std::vector<std::unique_ptr<Play>> records;
    std::atomic<int> failures{0};
    std::set<std::string> errors;
    // Loads in the background on the side, delivered by the update thread,
    // and batches of three.
    std::mutex loadsMutex;
    std::deque<Delivery> loads;
    const std::string path = TempFile("stress.wav", wav);
    const char *const three[] = {path.c_str(), path.c_str(), path.c_str()};
    ASSERT_TRUE(nuvexUpdateInterval(0.001f));
    auto worker = [&](unsigned seed) {
        std::mt19937 rng(seed);
        ALuint sources[6];
        alGenSources(6, sources);
        Play *slot[6] = {};
        auto finish = [&](int i) {
            failures += !nuvexDestroyStream(slot[i]->stream, 0, nullptr);
            slot[i] = nullptr;
        };
        auto until = Clock::now() + std::chrono::milliseconds(1500);
        while (Clock::now() < until) {
            // Whole loads and hand-fed streams on the side.
            ALuint buffer = nuvexCreateBufferFromMemory(wav.data(), ALsizei(wav.size()));
            failures += FramesOf(buffer) != 2000;
            alDeleteBuffers(1, &buffer);
            if (rng() % 3 == 0) {
                std::unique_lock<std::mutex> hold(loadsMutex);
                Delivery &d = loads.emplace_back();
                hold.unlock();
                d.then = [&failures](ALuint b) { failures += FramesOf(b) != 2000, alDeleteBuffers(1, &b); };
                failures += !nuvexCreateBufferFromMemoryAsync(wav.data(), ALsizei(wav.size()), Delivery::Callback, &d);
            }
            if (rng() % 8 == 0) {
                ALuint batch[3] = {};
                failures += nuvexCreateBuffersFromFiles(three, 3, batch) != 3;
                alDeleteBuffers(3, batch);
            }
            int i = int(rng() % 6);
            Play *play = slot[i];
            if (!play) {
                auto record = std::make_unique<Play>();
                record->source = sources[i];
                record->stream = nuvexCreateStreamFromMemory(wav.data(), ALuint(wav.size()), 512, 0, nullptr);
                const ALsizei loops[] = {0, 1, -1};
                if (!record->stream || !nuvexPlaySourceStream(sources[i], record->stream, 3, loops[rng() % 3],
                                                              EndLog::Callback, &record->log)) {
                    failures++;
                    continue;
                }
                slot[i] = record.get();
                std::lock_guard<std::mutex> lock(recordsMutex);
                records.push_back(std::move(record));
                continue;
            }
            if (play->log.calls > 0) { // ended by itself
                finish(i);
                continue;
            }
            switch (const unsigned pick = rng() % 8; pick) {
            case 0: nuvexPauseSource(play->source); break;
            case 1: nuvexResumeSource(play->source); break;
            case 2:
            case 3: // a stop without a callback, or with one
                play->silentStop = pick == 2;
                nuvexStopSource(play->source, pick == 3 ? AL_TRUE : AL_FALSE);
                finish(i);
                break;
            case 4: finish(i); break; // destroying the stream ends its playback
            case 5: nuvexUpdateInterval(0.001f + 0.001f * float(rng() % 3)); break;
            case 6:
                if (rng() % 4 == 0 && nuvexUpdateInterval(0.0f))
                    nuvexUpdateInterval(0.001f);
                break;
            default: break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
        for (int i = 0; i < 6; i++)
            if (slot[i])
                finish(i);
        alDeleteSources(6, sources);
    };
    std::vector<std::thread> workers;
    for (unsigned seed = 1; seed <= 3; seed++)
        workers.emplace_back(worker, seed);
    // Meanwhile the last-error slot is read here: always one whole message.
    const std::set<std::string> allowed = {"No error", "Invalid stream pointer", "Source is already playing"};
    for (int i = 0; i < 2000; i++)
        errors.insert(Err());
    for (std::thread &t : workers)
        t.join();
    EXPECT_TRUE(WaitFor([&] { return std::all_of(loads.begin(), loads.end(), [](const Delivery &d) { return d.calls > 0; }); }));
    EXPECT_TRUE(nuvexUpdateInterval(0.0f));
    EXPECT_GT(loads.size(), 50u);
    for (const Delivery &d : loads)
        EXPECT_EQ(d.calls, 1);
    // Left: the load workers, at most one fewer than the cores (at least one).
    const int most = int(std::max(1u, std::thread::hardware_concurrency() - 1)), left = ThreadCountSettled(baseThreads + 1);
    EXPECT_LE(left, baseThreads + most) << "the update thread outlived its stop";
    EXPECT_EQ(failures, 0) << Err();
    EXPECT_GT(records.size(), 100u);
    for (const std::string &e : errors)
        EXPECT_EQ(allowed.count(e), 1u) << e;
    int natural = 0;
    for (const auto &play : records) {
        EXPECT_TRUE(play->silentStop ? play->log.calls <= 1 : play->log.calls == 1) << play->log.calls;
        natural += play->log.calls;
    }
    EXPECT_GT(natural, 0);
}

} // namespace
