// The library loaded with dlopen, used, and unloaded with dlclose in the
// middle of play, again and again: live streams, playbacks still fed by the
// update thread and the thread itself end with the library, each end-of-play
// callback exactly once, nothing left behind (the sanitizer builds check).
// The program does not link the library, so that dlclose really unmaps it.
#include "media.h"
#include "nuvex.h"
#include "threadcount.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

namespace {

#define NUVEX_FUNCTIONS(X)                                                                         \
    X(nuvexGetErrorString) X(nuvexInitDevice) X(nuvexCreateStreamFromMemory)                       \
    X(nuvexCreateStreamFromCallback) X(nuvexDestroyStream) X(nuvexPlaySource)                      \
    X(nuvexPlaySourceStream) X(nuvexUpdateInterval) X(nuvexCreateBufferFromMemoryAsync)       \
    X(nuvexCreateBuffersFromFiles) X(nuvexCreateBufferFromFileAsync) X(nuvexSetIOCallbacks) X(nuvexSetLoadThreads)

struct Nuvex {
    void *handle = dlopen(NUVEX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
#define BIND(f) decltype(&::f) f = reinterpret_cast<decltype(&::f)>(handle ? dlsym(handle, #f) : nullptr);
    NUVEX_FUNCTIONS(BIND)
#undef BIND
    // True when the library is gone from the process.
    bool Close()
    {
        return dlclose(std::exchange(handle, nullptr)) == 0 &&
               !dlopen(NUVEX_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
    }
    ~Nuvex()
    {
        if (handle)
            dlclose(handle);
    }
};

ALuint Endless(void *, ALubyte *data, ALuint bytes)
{
    for (ALuint i = 0; i < bytes; i++)
        data[i] = ALubyte(i);
    return bytes;
}

std::atomic<int> Ended[6];
void Count(void *counter, ALuint) { ++*static_cast<std::atomic<int> *>(counter); }
Nuvex *Library = nullptr;
void StopTheThread(void *counter, ALuint source)
{
    Library->nuvexUpdateInterval(0.0f);
    Count(counter, source);
}
// Ended by the unload, it tries to go on: a new playback, the update thread.
std::atomic<int> GoneOnAtUnload{0};
void PlayOn(void *counter, ALuint source)
{
    Count(counter, source);
    nuvexStream *next = Library->nuvexCreateStreamFromCallback(Endless, nullptr, AL_FORMAT_MONO16, 8000, 1024, 0, nullptr);
    GoneOnAtUnload += Library->nuvexPlaySourceStream(source, next, 2, -1, PlayOn, counter) +
                      Library->nuvexUpdateInterval(0.002f) + !Library->nuvexUpdateInterval(0.0f);
}

// Loads in the background: delivered before the unload, or never.
std::atomic<int> Delivered{0};
void Loaded(void *, ALuint buffer, const ALchar *)
{
    alDeleteBuffers(1, &buffer);
    Delivered++;
}

bool WaitFor(const std::atomic<int> &counter)
{
    for (int i = 0; i < 5000 && counter == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return counter > 0;
}

TEST(Unload, MidPlayManyTimes)
{
    // A mono 16-bit WAV of 400 frames at 8 kHz: 50 ms.
    std::vector<ALubyte> wav = {'R', 'I', 'F', 'F', 0x44, 3, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't',
                                ' ', 16, 0, 0, 0, 1, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x80, 0x3E, 0, 0, 2, 0, 16, 0,
                                'd', 'a', 't', 'a', 0x20, 3, 0, 0};
    wav.resize(wav.size() + 800, 0x11);
    const nvmedia::Bytes font = nvmedia::WriteSoundFont(),
                         midi = nvmedia::WriteMidi(0, 480, {nvmedia::MidiTrack({{0, {0x90, 69, 100}}}, false, 96)});
    const std::string fontPath = testing::TempDir() + "unload.sf2";
    std::ofstream(fontPath, std::ios::binary).write(reinterpret_cast<const char *>(font.data()), std::streamsize(font.size()));
    setenv("NUVEX_SOUNDFONT", fontPath.c_str(), 1);
    int threadsAfterFirst = 0; // the sanitizers start a thread of their own in the first
    for (int cycle = 0; cycle < 8; cycle++) {
        SCOPED_TRACE(cycle);
        Nuvex nv;
        Library = &nv;
        ASSERT_NE(nv.handle, nullptr) << dlerror();
        ASSERT_TRUE(nv.nuvexInitDevice(nullptr, nullptr)) << nv.nuvexGetErrorString();
        ALuint sources[6];
        alGenSources(6, sources);
        ASSERT_TRUE(nv.nuvexUpdateInterval(0.002f));
        for (auto &e : Ended)
            e = 0;
        // Played to its end by the thread before the unload; the odd cycles
        // stop the thread from that end's callback, leaving its join owed.
        nuvexStream *finite = nv.nuvexCreateStreamFromMemory(wav.data(), ALuint(wav.size()), 200, 0, nullptr);
        ASSERT_TRUE(nv.nuvexPlaySourceStream(sources[0], finite, 3, 0, cycle % 2 ? StopTheThread : Count,
                                             &Ended[0]));
        ASSERT_TRUE(nv.nuvexPlaySource(sources[1], Count, &Ended[1]));
        ASSERT_TRUE(WaitFor(Ended[0]) && WaitFor(Ended[1]));
        ASSERT_TRUE(nv.nuvexDestroyStream(finite, 0, nullptr));
        // Left for the unload: endless playbacks and a stream never played.
        ASSERT_TRUE(nv.nuvexUpdateInterval(0.002f));
        for (int i = 2; i < 6; i++) {
            // One of them MIDI, rendered by FluidSynth, which outlives the library.
            nuvexStream *stream =
                i == 5 ? nv.nuvexCreateStreamFromMemory(midi.data(), ALuint(midi.size()), 4096, 0, nullptr)
                       : nv.nuvexCreateStreamFromCallback(Endless, nullptr, AL_FORMAT_MONO16, 8000, 1024, 0, nullptr);
            ASSERT_TRUE(nv.nuvexPlaySourceStream(sources[i], stream, 2, -1, i == 4 ? PlayOn : Count, &Ended[i]));
        }
        ALuint idle[2];
        ASSERT_NE(nv.nuvexCreateStreamFromMemory(wav.data(), ALuint(wav.size()), 256, 2, idle), nullptr);
        // And loads in the background, queued, running and finished, a batch
        // first to start the workers.
        const std::string wavPath = testing::TempDir() + "unload.wav";
        std::ofstream(wavPath, std::ios::binary).write(reinterpret_cast<const char *>(wav.data()), std::streamsize(wav.size()));
        const char *names[] = {wavPath.c_str(), wavPath.c_str()};
        ALuint pair[2];
        ASSERT_EQ(nv.nuvexCreateBuffersFromFiles(names, 2, pair), 2);
        alDeleteBuffers(2, pair);
        Delivered = 0;
        for (int i = 0; i < 40; i++)
            ASSERT_TRUE(nv.nuvexCreateBufferFromMemoryAsync(wav.data(), ALsizei(wav.size()), Loaded, nullptr));
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + cycle));
        ASSERT_TRUE(nv.Close()) << "the library is still mapped";
        const int delivered = Delivered;
        std::this_thread::sleep_for(std::chrono::milliseconds(10)); // nothing may call back now
        EXPECT_EQ(GoneOnAtUnload, 0);
        EXPECT_EQ(Delivered, delivered);
        for (int i = 0; i < 6; i++) {
            EXPECT_EQ(Ended[i], 1) << i;
            ALint state = 0, queued = -1;
            alGetSourcei(sources[i], AL_SOURCE_STATE, &state);
            alGetSourcei(sources[i], AL_BUFFERS_QUEUED, &queued);
            EXPECT_EQ(state, AL_STOPPED);
            EXPECT_EQ(queued, 0) << "the playback's buffers were not released";
        }
        alDeleteSources(6, sources);
        alDeleteBuffers(2, idle);
        EXPECT_EQ(alGetError(), AL_NO_ERROR);
        ALCcontext *context = alcGetCurrentContext();
        ALCdevice *device = alcGetContextsDevice(context);
        alcMakeContextCurrent(nullptr);
        alcDestroyContext(context);
        alcCloseDevice(device);
        // A joined thread leaves the task list a moment after its join.
        for (int i = 0; i < 500 && cycle > 0 && ThreadCount() != threadsAfterFirst; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        threadsAfterFirst = cycle > 0 ? threadsAfterFirst : ThreadCount();
        EXPECT_EQ(ThreadCount(), threadsAfterFirst) << "a thread outlived the library";
    }
}

// A MIDI load in the background, the first MIDI input of the library, held
// up in its read until the unload has begun: the worker then meets MIDI
// (FluidSynth's first use) while the unload, holding the dynamic loader's
// lock, waits for it. Neither may it find FluidSynth's handle gone (the
// sanitizer build): the thread count set first, before any load.
std::atomic<bool> Reading{false}, Unloading{false};
void *OpenFile(const char *name, ALuint) { return fopen(name, "rb"); }
void CloseFile(void *file) { fclose(static_cast<FILE *>(file)); }
ALsizei ReadAfterTheUnloadBegan(void *file, ALubyte *buf, ALuint bytes)
{
    Reading = true;
    while (!Unloading)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return ALsizei(fread(buf, 1, bytes, static_cast<FILE *>(file)));
}
ALsizei NoWrite(void *, const ALubyte *, ALuint) { return -1; }
nuvexInt64 SeekFile(void *file, nuvexInt64 offset, ALint whence)
{
    return fseeko(static_cast<FILE *>(file), offset, whence) ? -1 : ftello(static_cast<FILE *>(file));
}

TEST(Unload, WhileAWorkerMeetsMidiFirst)
{
    const nvmedia::Bytes midi = nvmedia::WriteMidi(0, 480, {nvmedia::MidiTrack({{0, {0x90, 69, 100}}}, false, 96)});
    const std::string path = testing::TempDir() + "first.mid";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(midi.data()), std::streamsize(midi.size()));
    setenv("NUVEX_SOUNDFONT", "", 1);
    alarm(30); // a deadlock ends the program
    Nuvex nv;
    ASSERT_NE(nv.handle, nullptr) << dlerror();
    ASSERT_TRUE(nv.nuvexInitDevice(nullptr, nullptr)) << nv.nuvexGetErrorString();
    ASSERT_TRUE(nv.nuvexSetIOCallbacks(OpenFile, CloseFile, ReadAfterTheUnloadBegan, NoWrite, SeekFile));
    ASSERT_TRUE(nv.nuvexSetLoadThreads(2));
    Delivered = 0;
    ASSERT_TRUE(nv.nuvexCreateBufferFromFileAsync(path.c_str(), Loaded, nullptr));
    while (!Reading)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Unloading = true;
    EXPECT_TRUE(nv.Close());
    alarm(0);
    EXPECT_EQ(Delivered, 0);
    ALCcontext *context = alcGetCurrentContext();
    ALCdevice *device = alcGetContextsDevice(context);
    alcMakeContextCurrent(nullptr);
    alcDestroyContext(context);
    alcCloseDevice(device);
}

} // namespace
