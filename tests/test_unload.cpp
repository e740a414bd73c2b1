// Loading the library with dlopen, using it, and unloading it with dlclose,
// several times in one process: live streams, a playback in progress and a
// running update thread must all be wound down by the unload itself, each
// end-of-play callback must run exactly once, and nothing may be left behind
// (the AddressSanitizer build checks for leaks). The program does not link
// the library, so that dlclose really unmaps it.
#include "nuvex.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace {

#define NUVEX_FUNCTIONS(X)                                                                         \
    X(nuvexGetErrorString) X(nuvexInitDevice) X(nuvexCreateBufferFromMemory)                       \
    X(nuvexCreateStreamFromMemory) X(nuvexCreateStreamFromCallback) X(nuvexDestroyStream)          \
    X(nuvexPlaySource) X(nuvexPlaySourceStream) X(nuvexUpdateInterval)

// The library, bound at run time.
struct Nuvex {
    void *handle = nullptr;
#define DECLARE(f) decltype(&::f) f = nullptr;
    NUVEX_FUNCTIONS(DECLARE)
#undef DECLARE

    bool Open()
    {
        handle = dlopen(NUVEX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            return false;
#define BIND(fn) fn = reinterpret_cast<decltype(fn)>(dlsym(handle, #fn));
        NUVEX_FUNCTIONS(BIND)
#undef BIND
        return true;
    }
    // A failed test must not leave the library loaded for the next one.
    ~Nuvex() { if (handle) dlclose(handle); }
    // Unloads the library; true when it is gone from the process.
    bool Close()
    {
        if (dlclose(handle) != 0)
            return false;
        handle = nullptr;
        return dlopen(NUVEX_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD) == nullptr;
    }
};

// A mono 16-bit RIFF/WAVE image.
std::vector<ALubyte> MonoWav(uint32_t rate, size_t frames)
{
    std::vector<ALubyte> out;
    auto put = [&out](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; i++)
            out.push_back(ALubyte(v >> (8 * i)));
    };
    const uint32_t dataBytes = uint32_t(frames * 2);
    const uint32_t header[] = {0x46464952, 36 + dataBytes, 0x45564157, 0x20746d66, 16,
                               0x00010001, rate, rate * 2, 0x00100002, 0x61746164, dataBytes};
    for (uint32_t word : header)
        put(word, 4);
    for (size_t i = 0; i < frames; i++)
        put(uint32_t(i * 37), 2);
    return out;
}

ALuint Endless(void *, ALubyte *data, ALuint bytes)
{
    for (ALuint i = 0; i < bytes; i++)
        data[i] = ALubyte(i);
    return bytes;
}

void Count(void *userdata, ALuint) { ++*static_cast<std::atomic<int> *>(userdata); }

bool WaitFor(const std::atomic<int> &counter, int value)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (counter.load() < value && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return counter.load() >= value;
}

void CloseCurrentDevice()
{
    ALCcontext *context = alcGetCurrentContext();
    ALCdevice *device = alcGetContextsDevice(context);
    alcMakeContextCurrent(nullptr);
    alcDestroyContext(context);
    alcCloseDevice(device);
}

TEST(Unload, LiveStreamsPlaybackAndUpdateThreadEndWithTheLibrary)
{
    const std::vector<ALubyte> shortWav = MonoWav(8000, 400); // 50 ms
    std::vector<ALubyte> junk(4096, 0x5a);

    for (int cycle = 0; cycle < 3; cycle++) {
        SCOPED_TRACE(testing::Message() << "cycle " << cycle);
        Nuvex nv;
        ASSERT_TRUE(nv.Open()) << dlerror();
        ASSERT_TRUE(nv.nuvexInitDevice(nullptr, nullptr)) << nv.nuvexGetErrorString();

        // Whole-sound loads, one that every decoder gets to look at.
        ALuint buffer = nv.nuvexCreateBufferFromMemory(shortWav.data(), ALsizei(shortWav.size()));
        ASSERT_NE(buffer, 0u) << nv.nuvexGetErrorString();
        ALuint junkBuffer = nv.nuvexCreateBufferFromMemory(junk.data(), ALsizei(junk.size()));

        ALuint sources[3];
        alGenSources(3, sources);
        ASSERT_TRUE(nv.nuvexUpdateInterval(0.005f));

        // A plain source and a stream, played to their ends by the thread.
        static std::atomic<int> plainEnded, streamEnded, endlessEnded;
        plainEnded = streamEnded = endlessEnded = 0;
        alSourcei(sources[0], AL_BUFFER, ALint(buffer));
        ASSERT_TRUE(nv.nuvexPlaySource(sources[0], Count, &plainEnded));
        nuvexStream *finite = nv.nuvexCreateStreamFromMemory(
            shortWav.data(), ALuint(shortWav.size()), 200, 0, nullptr);
        ASSERT_NE(finite, nullptr) << nv.nuvexGetErrorString();
        ASSERT_TRUE(nv.nuvexPlaySourceStream(sources[1], finite, 3, 0, Count, &streamEnded));
        ASSERT_TRUE(WaitFor(plainEnded, 1));
        ASSERT_TRUE(WaitFor(streamEnded, 1));
        ASSERT_TRUE(nv.nuvexDestroyStream(finite, 0, nullptr));

        // Left for the unload: an endless playback, a stream never played.
        nuvexStream *endless = nv.nuvexCreateStreamFromCallback(Endless, nullptr, AL_FORMAT_MONO16,
                                                                8000, 4096, 0, nullptr);
        ASSERT_NE(endless, nullptr) << nv.nuvexGetErrorString();
        ASSERT_TRUE(nv.nuvexPlaySourceStream(sources[2], endless, 3, -1, Count, &endlessEnded));
        ALuint idleBufs[2];
        ASSERT_NE(nv.nuvexCreateStreamFromMemory(shortWav.data(), ALuint(shortWav.size()), 256,
                                                 2, idleBufs),
                  nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ALint queued = 0;
        alGetSourcei(sources[2], AL_BUFFERS_QUEUED, &queued);
        ASSERT_GT(queued, 0);
        EXPECT_EQ(endlessEnded.load(), 0);

        ASSERT_TRUE(nv.Close()) << "the library is still mapped";
        EXPECT_EQ(endlessEnded.load(), 1);
        ALint state = 0;
        alGetSourcei(sources[2], AL_SOURCE_STATE, &state);
        EXPECT_EQ(state, AL_STOPPED);
        alGetSourcei(sources[2], AL_BUFFERS_QUEUED, &queued);
        EXPECT_EQ(queued, 0) << "the playback's buffers were not released";
        // Nothing of the library runs any more to call back.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(plainEnded.load(), 1);
        EXPECT_EQ(streamEnded.load(), 1);
        EXPECT_EQ(endlessEnded.load(), 1);

        alDeleteSources(3, sources);
        alDeleteBuffers(1, &buffer);
        if (junkBuffer)
            alDeleteBuffers(1, &junkBuffer);
        alDeleteBuffers(2, idleBufs);
        EXPECT_EQ(alGetError(), AL_NO_ERROR);
        CloseCurrentDevice();
    }
}

// Unloading in the middle of play, again and again: every playback still fed
// by the update thread ends with the library, its callback run exactly once.
TEST(Unload, SeveralStreamsMidPlayManyTimes)
{
    constexpr int Streams = 4;
    for (int cycle = 0; cycle < 10; cycle++) {
        SCOPED_TRACE(testing::Message() << "cycle " << cycle);
        Nuvex nv;
        ASSERT_TRUE(nv.Open()) << dlerror();
        ASSERT_TRUE(nv.nuvexInitDevice(nullptr, nullptr)) << nv.nuvexGetErrorString();
        ALuint sources[Streams];
        alGenSources(Streams, sources);
        ASSERT_TRUE(nv.nuvexUpdateInterval(0.002f));
        static std::atomic<int> ended[Streams];
        for (int i = 0; i < Streams; i++) {
            ended[i] = 0;
            nuvexStream *stream = nv.nuvexCreateStreamFromCallback(
                Endless, nullptr, AL_FORMAT_MONO16, 8000, 1024, 0, nullptr);
            ASSERT_NE(stream, nullptr) << nv.nuvexGetErrorString();
            ASSERT_TRUE(nv.nuvexPlaySourceStream(sources[i], stream, 2, -1, Count, &ended[i]));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + cycle));
        ASSERT_TRUE(nv.Close()) << "the library is still mapped";
        for (int i = 0; i < Streams; i++) {
            EXPECT_EQ(ended[i].load(), 1) << "stream " << i;
            ALint state = 0;
            alGetSourcei(sources[i], AL_SOURCE_STATE, &state);
            EXPECT_EQ(state, AL_STOPPED);
        }
        alDeleteSources(Streams, sources);
        EXPECT_EQ(alGetError(), AL_NO_ERROR);
        CloseCurrentDevice();
    }
}

// The update thread stops itself from an end-of-play callback; its join is
// still owed when the library is unloaded.
TEST(Unload, UpdateThreadStoppedFromItsOwnCallback)
{
    static Nuvex nv;
    static std::atomic<int> ended;
    for (int cycle = 0; cycle < 2; cycle++) {
        SCOPED_TRACE(testing::Message() << "cycle " << cycle);
        ended = 0;
        ASSERT_TRUE(nv.Open()) << dlerror();
        ASSERT_TRUE(nv.nuvexInitDevice(nullptr, nullptr)) << nv.nuvexGetErrorString();
        ALuint source;
        alGenSources(1, &source);
        ASSERT_TRUE(nv.nuvexUpdateInterval(0.005f));
        auto stopThread = [](void *, ALuint) {
            nv.nuvexUpdateInterval(0.0f);
            ended++;
        };
        ASSERT_TRUE(nv.nuvexPlaySource(source, stopThread, nullptr));
        ASSERT_TRUE(WaitFor(ended, 1));
        ASSERT_TRUE(nv.Close()) << "the library is still mapped";
        EXPECT_EQ(ended.load(), 1);
        alDeleteSources(1, &source);
        CloseCurrentDevice();
    }
}

TEST(Unload, LoadAndUnloadUntouched)
{
    for (int cycle = 0; cycle < 2; cycle++) {
        Nuvex nv;
        ASSERT_TRUE(nv.Open()) << dlerror();
        ASSERT_TRUE(nv.Close()) << "the library is still mapped";
    }
}

} // namespace
