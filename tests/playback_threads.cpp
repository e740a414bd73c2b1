// The background update thread: starting, re-timing and stopping it, stops
// requested from end-of-play callbacks, and a stress run of application
// threads working on played streams while the thread feeds them. Built
// against the library's objects with pthread_create wrapped, so that thread
// creation can be made to fail; also run under ThreadSanitizer.
#include "playback.h"

#include <dirent.h>
#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

using namespace nvt;
using Clock = std::chrono::steady_clock;

namespace {
std::atomic<bool> FailThreadCreation{false};
}

extern "C" int __real_pthread_create(pthread_t *, const pthread_attr_t *, void *(*)(void *),
                                     void *);
extern "C" int __wrap_pthread_create(pthread_t *thread, const pthread_attr_t *attr,
                                     void *(*start)(void *), void *arg)
{
    if (FailThreadCreation)
        return EAGAIN;
    return __real_pthread_create(thread, attr, start, arg);
}

namespace {

int ThreadCount()
{
    int count = 0;
    if (DIR *dir = opendir("/proc/self/task")) {
        while (dirent *entry = readdir(dir))
            if (entry->d_name[0] != '.')
                count++;
        closedir(dir);
    }
    return count;
}

// Polls `done` for up to `seconds`; the generous limits only bound a hang.
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

class UpdateThread : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(device.ok());
        baseThreads = ThreadCount();
    }
    void TearDown() override
    {
        nuvexUpdateInterval(0.0f);
        EXPECT_EQ(ThreadCount(), baseThreads) << "an update thread outlived the test";
    }
    // A tracked playback that ends at the first update: its callback tells
    // which thread ran an update.
    void TrackStoppedSource(EndLog &log)
    {
        ALuint source;
        alGenSources(1, &source);
        sources.push_back(source);
        ASSERT_TRUE(nuvexPlaySource(source, EndLog::Callback, &log)) << LastError();
    }

    NullDevice device;
    int baseThreads = 0;
    std::vector<ALuint> sources;
};

TEST_F(UpdateThread, FeedsAStreamedSourceToItsEnd)
{
    // 0.3 s of sound through a ring of 4 x 256 frames: dozens of refills.
    ByteFeed feed;
    feed.bytes = Bytes16(Ramp16(13230, 2));
    nuvexStream *stream = nuvexCreateStreamFromCallback(
        ByteFeed::Callback, &feed, AL_FORMAT_STEREO16, 44100, 1024, 0, nullptr);
    ASSERT_NE(stream, nullptr) << LastError();
    ALuint source;
    alGenSources(1, &source);
    EndLog log;
    std::thread::id ranOn;
    log.then = [&](ALuint) { ranOn = std::this_thread::get_id(); };
    ASSERT_TRUE(nuvexPlaySourceStream(source, stream, 4, 0, EndLog::Callback, &log));
    ASSERT_TRUE(nuvexUpdateInterval(0.005f));
    EXPECT_EQ(ThreadCount(), baseThreads + 1);
    ASSERT_TRUE(WaitFor([&] { return log.calls > 0; })) << "the playback never ended";
    EXPECT_EQ(feed.pos, feed.bytes.size()) << "the whole stream was fed";
    EXPECT_GT(feed.calls, 50);
    EXPECT_NE(ranOn, std::this_thread::get_id());
    EXPECT_TRUE(nuvexUpdateInterval(0.0f));
    EXPECT_EQ(ThreadCount(), baseThreads) << "the stop returns after the thread has ended";
    EXPECT_EQ(log.calls, 1);
    EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
    alDeleteSources(1, &source);
}

// A failed start leaves it idle; the loop then shows a later start works.
TEST_F(UpdateThread, OneThreadUpdatesAtOnceAndStopsOnZeroOrLess)
{
    EXPECT_TRUE(nuvexUpdateInterval(NAN));
    EXPECT_TRUE(nuvexUpdateInterval(0.0f));
    FailThreadCreation = true;
    EXPECT_FALSE(nuvexUpdateInterval(0.1f));
    EXPECT_EQ(LastError(), "Error starting async thread");
    FailThreadCreation = false;
    EXPECT_EQ(ThreadCount(), baseThreads) << "nothing starts while idle or on a failed start";

    for (float stop : {0.0f, -1.0f}) {
        SCOPED_TRACE(stop);
        EndLog first;
        TrackStoppedSource(first);
        ASSERT_TRUE(nuvexUpdateInterval(1.0f));
        // The first update does not wait for an interval to pass.
        EXPECT_TRUE(WaitFor([&] { return first.calls > 0; }, 0.9));
        EXPECT_TRUE(nuvexUpdateInterval(0.01f));
        EXPECT_TRUE(nuvexUpdateInterval(NAN));
        EXPECT_EQ(ThreadCount(), baseThreads + 1) << "re-timing starts no second thread";
        // Still updating, at the new interval, after the NaN.
        EndLog later;
        TrackStoppedSource(later);
        EXPECT_TRUE(WaitFor([&] { return later.calls > 0; }));
        EXPECT_TRUE(nuvexUpdateInterval(stop));
        EXPECT_EQ(ThreadCount(), baseThreads);
        EndLog none;
        TrackStoppedSource(none);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(none.calls, 0) << "no update after the stop";
        nuvexUpdate();
        EXPECT_EQ(none.calls, 1);
    }
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
        TrackStoppedSource(first);
        ASSERT_TRUE(nuvexUpdateInterval(0.5f));
        ASSERT_TRUE(WaitFor([&] { return first.calls > 0; }));
        // The thread now sleeps, so a callback run by hand runs on this thread.
        ALuint source;
        alGenSources(1, &source);
        sources.push_back(source);
        ByteFeed feed;
        feed.bytes.assign(441000, 0);
        nuvexStream *stream = nuvexCreateStreamFromCallback(
            ByteFeed::Callback, &feed, AL_FORMAT_STEREO16, 44100, 4096, 0, nullptr);
        ASSERT_NE(stream, nullptr);
        EndLog log;
        std::thread::id ranOn;
        ALboolean stopped = AL_FALSE;
        log.then = [&](ALuint) {
            ranOn = std::this_thread::get_id();
            stopped = nuvexUpdateInterval(0.0f);
        };
        if (path == InThread || path == InUpdate) {
            ASSERT_TRUE(nuvexPlaySource(source, EndLog::Callback, &log)); // nothing to play
            if (path == InUpdate)
                nuvexUpdate();
            ASSERT_TRUE(WaitFor([&] { return log.calls > 0; }));
        } else {
            ASSERT_TRUE(nuvexPlaySourceStream(source, stream, 2, 0, EndLog::Callback, &log));
            if (path == InStopSource) {
                nuvexStopSource(source, AL_TRUE);
            } else {
                nuvexDestroyStream(stream, 0, nullptr);
                stream = nullptr;
            }
        }
        EXPECT_EQ(log.calls, 1);
        EXPECT_EQ(ranOn == std::this_thread::get_id(), path != InThread);
        EXPECT_TRUE(stopped);
        EXPECT_TRUE(WaitFor([&] { return ThreadCount() == baseThreads; })) << "the thread ended";
        nuvexDestroyStream(stream, 0, nullptr);
        EndLog later;
        TrackStoppedSource(later);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(later.calls, 0) << "no update after the stop";
        nuvexUpdate();
    }
}

TEST_F(UpdateThread, RacingStopsAndStartsLeaveNoThreadBehind)
{
    std::atomic<bool> go{false};
    auto hammer = [&](float interval) {
        while (!go) {
        }
        for (int i = 0; i < 200; i++)
            nuvexUpdateInterval(interval);
    };
    std::thread a(hammer, 0.0f), b(hammer, 0.001f), c(hammer, -1.0f);
    go = true;
    a.join();
    b.join();
    c.join();
    EXPECT_TRUE(nuvexUpdateInterval(0.0f));
    EXPECT_EQ(ThreadCount(), baseThreads);
}

// Application threads start, pause, resume, stop and destroy played streams
// and change the interval while the update thread feeds every source at a
// 1 ms interval. Every playback's callback runs exactly once unless it was
// stopped without callback (then at most once: it may have ended first).
TEST(PlaybackStress, ApplicationThreadsAgainstTheUpdateThread)
{
    NullDevice device;
    ASSERT_TRUE(device.ok());
    const int baseThreads = ThreadCount();
    RampSound sound = MakeRampSound(2000); // 45 ms

    struct Play {
        nuvexStream *stream = nullptr;
        ALuint source = 0;
        EndLog log;
        bool silentStop = false;
        bool ended = false;
    };
    std::mutex recordsMutex;
    std::vector<std::unique_ptr<Play>> records;
    std::atomic<int> failures{0};

    ASSERT_TRUE(nuvexUpdateInterval(0.001f));
    auto worker = [&](unsigned seed) {
        std::mt19937 rng(seed);
        ALuint sources[6];
        alGenSources(6, sources);
        Play *slot[6] = {};
        auto finish = [&](int i) {
            if (!nuvexDestroyStream(slot[i]->stream, 0, nullptr))
                failures++;
            slot[i]->ended = true;
            slot[i] = nullptr;
        };
        auto until = Clock::now() + std::chrono::milliseconds(1500);
        while (Clock::now() < until) {
            int i = int(rng() % 6);
            Play *play = slot[i];
            if (!play) {
                auto record = std::make_unique<Play>();
                record->source = sources[i];
                record->stream = nuvexCreateStreamFromMemory(
                    sound.wav.data(), ALuint(sound.wav.size()), 512, 0, nullptr);
                const ALsizei loops[] = {0, 1, -1};
                if (!record->stream ||
                    !nuvexPlaySourceStream(sources[i], record->stream, 3, loops[rng() % 3],
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
            switch (rng() % 8) {
            case 0: nuvexPauseSource(play->source); break;
            case 1: nuvexResumeSource(play->source); break;
            case 2:
                play->silentStop = true;
                nuvexStopSource(play->source, AL_FALSE);
                finish(i);
                break;
            case 3:
                nuvexStopSource(play->source, AL_TRUE);
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
    for (std::thread &t : workers)
        t.join();
    EXPECT_TRUE(nuvexUpdateInterval(0.0f));
    EXPECT_EQ(ThreadCount(), baseThreads);

    EXPECT_EQ(failures, 0) << LastError();
    EXPECT_GT(records.size(), 100u);
    int natural = 0;
    for (const auto &play : records) {
        ASSERT_TRUE(play->ended);
        if (play->silentStop)
            EXPECT_LE(play->log.calls, 1);
        else
            EXPECT_EQ(play->log.calls, 1);
        natural += play->log.calls;
    }
    EXPECT_GT(natural, 0);
}

} // namespace
