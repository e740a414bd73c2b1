// Every exported function called the wrong way: null pointers, negative
// counts, stale and forged stream handles, names that are no OpenAL object,
// no device at all, and a context destroyed under a playback. Nothing may
// crash; each call fails with its own message and failure value, and leaves
// no OpenAL error behind.
#include "hardening.h"
#include "support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {
using nvh::Misuse;
using nvh::Ptr;

constexpr int64_t NoLength = int64_t(~nuvexUInt64(0));

ALuint Silence(void *, ALubyte *data, ALuint bytes)
{
    std::fill(data, data + bytes, ALubyte(0));
    return bytes;
}

void CountCall(void *counter, ALuint) { ++*static_cast<std::atomic<int> *>(counter); }

ALboolean Mono16(void *, ALenum *format, ALuint *rate, ALuint *block)
{
    *format = AL_FORMAT_MONO16;
    *rate = 44100;
    *block = 2;
    return AL_TRUE;
}
ALuint DecodeNothing(void *, ALubyte *, ALuint) { return 0; }

void *IoOpen(const char *, ALuint) { return nullptr; }
void IoClose(void *) {}
ALsizei IoRead(void *, ALubyte *, ALuint) { return 0; }

// The calls that take a stream handle, for a handle that is not a live
// stream. Only nuvexDestroyStream accepts null (no stream).
void AddHandleRows(std::vector<Misuse> &rows, const std::string &kind, nuvexStream *h,
                   ALuint *bufs, ALuint source)
{
    const char *bad = "Invalid stream pointer";
    rows.push_back({kind + ": fill", [=] { return nuvexBufferDataFromStream(h, 2, bufs); }, -1, bad});
    rows.push_back({kind + ": rewind", [=] { return nuvexRewindStream(h); }, AL_FALSE, bad});
    rows.push_back({kind + ": order", [=] { return nuvexSetStreamOrder(h, 0); }, AL_FALSE, bad});
    rows.push_back({kind + ": patch set", [=] { return nuvexSetStreamPatchset(h, "x"); }, AL_FALSE, bad});
    rows.push_back({kind + ": length", [=] { return int64_t(nuvexGetStreamLength(h)); }, NoLength, bad});
    rows.push_back({kind + ": frequency", [=] { return nuvexGetStreamFrequency(h); }, 0, bad});
    rows.push_back({kind + ": play", [=] { return nuvexPlaySourceStream(source, h, 2, 0, nullptr, nullptr); },
                    AL_FALSE, bad});
    if (h)
        rows.push_back({kind + ": destroy", [=] { return nuvexDestroyStream(h, 0, nullptr); }, AL_FALSE, bad});
}
} // namespace

TEST(Misuse, WrongArgumentsWithALiveContext)
{
    nvt::LoopbackDevice dev;
    ASSERT_TRUE(dev.ok());
    const auto wav = nvh::SmallWav(44100);
    const ALubyte *image = wav.data();
    const ALuint size = ALuint(wav.size());
    const std::string path = nvt::TempPath("misuse.wav");
    nvt::WriteFile(path, wav);

    ALuint bufs[2] = {};
    nuvexStream *live = nuvexCreateStreamFromMemory(image, size, 4096, 2, bufs);
    ASSERT_NE(live, nullptr) << nvt::LastError();
    nuvexStream *destroyed = nvh::DestroyedStreamHandle();
    nvh::ForgedStream forged;
    // A pointer into a live stream is not that stream either.
    nuvexStream *interior = reinterpret_cast<nuvexStream *>(reinterpret_cast<char *>(live) + 8);
    ALuint buffer = 0, source = nvt::MakeDirectSource();
    alGenBuffers(1, &buffer);
    ALuint spare[2] = {};
    const ALuint noBuffer = nvh::UnusedBufferName(), noSource = nvh::UnusedSourceName();
    ALuint badNames[2] = {bufs[0], noBuffer};
    std::atomic<int> calls{0};

    std::vector<Misuse> rows = {
        // Null pointers where one is required...
        {"proc address of null", [] { return Ptr(nuvexGetProcAddress(nullptr)); }, 0, "Invalid data pointer"},
        {"fill buffer from null data", [&] { return nuvexBufferDataFromMemory(nullptr, 16, buffer); },
         AL_FALSE, "Invalid data pointer"},
        {"create buffer from null data", [] { return nuvexCreateBufferFromMemory(nullptr, 16); }, 0,
         "Invalid data pointer"},
        {"stream from null data", [] { return Ptr(nuvexCreateStreamFromMemory(nullptr, 16, 4096, 0, nullptr)); },
         0, "Invalid data pointer"},
        {"static stream from null data",
         [] { return Ptr(nuvexCreateStreamFromStaticMemory(nullptr, 16, 4096, 0, nullptr)); }, 0,
         "Invalid data pointer"},
        {"file stream, null buffer array", [&] { return Ptr(nuvexCreateStreamFromFile(path.c_str(), 4096, 2, nullptr)); },
         0, "Invalid buffer pointer"},
        {"memory stream, null buffer array", [&] { return Ptr(nuvexCreateStreamFromMemory(image, size, 4096, 2, nullptr)); },
         0, "Invalid buffer pointer"},
        {"static stream, null buffer array",
         [&] { return Ptr(nuvexCreateStreamFromStaticMemory(image, size, 4096, 2, nullptr)); }, 0,
         "Invalid buffer pointer"},
        {"callback stream, null callback",
         [] { return Ptr(nuvexCreateStreamFromCallback(nullptr, nullptr, AL_FORMAT_MONO16, 44100, 4096, 0, nullptr)); },
         0, "Invalid callback"},
        {"callback stream, null buffer array",
         [] { return Ptr(nuvexCreateStreamFromCallback(Silence, nullptr, AL_FORMAT_MONO16, 44100, 4096, 2, nullptr)); },
         0, "Invalid buffer pointer"},
        {"fill from stream into null array", [&] { return nuvexBufferDataFromStream(live, 2, nullptr); }, -1,
         "Invalid buffer pointer"},
        {"destroy no stream, null array", [] { return nuvexDestroyStream(nullptr, 2, nullptr); }, AL_FALSE,
         "Invalid buffer pointer"},
        {"I/O table with holes", [] { return nuvexSetIOCallbacks(IoOpen, IoClose, IoRead, nullptr, nullptr); },
         AL_FALSE, "Missing callback functions"},
        {"decoder without an open callback",
         [] { return nuvexInstallDecodeCallbacks(3, nullptr, nullptr, Mono16, DecodeNothing, nullptr, nullptr); },
         AL_FALSE, "Missing callback functions"},
        // ...and null where the call accepts it: its ordinary result stands.
        {"fill buffer from an empty image", [&] { return nuvexBufferDataFromMemory(nullptr, 0, buffer); },
         AL_FALSE, "Unsupported type"},
        {"create buffer from an empty image", [] { return nuvexCreateBufferFromMemory(nullptr, 0); }, 0,
         "Unsupported type"},
        {"fill buffer from file null", [&] { return nuvexBufferDataFromFile(nullptr, buffer); }, AL_FALSE,
         "Failed to open file"},
        {"create buffer from file null", [] { return nuvexCreateBufferFromFile(nullptr); }, 0,
         "Failed to open file"},
        {"stream from file null", [&] { return Ptr(nuvexCreateStreamFromFile(nullptr, 4096, 2, spare)); }, 0,
         "Failed to open file"},
        {"destroy nothing", [] { return nuvexDestroyStream(nullptr, 0, nullptr); }, AL_TRUE, "No error"},
        {"patch set null", [&] { return nuvexSetStreamPatchset(live, nullptr); }, AL_TRUE, "No error"},
        {"play untracked, no callback", [&] { return nuvexPlaySource(source, nullptr, nullptr); }, AL_TRUE,
         "No error"},
        {"stop it again", [&] { return nuvexStopSource(source, AL_TRUE); }, AL_TRUE, "No error"},
        // Negative counts and lengths.
        {"memory stream, chunk -1", [&] { return Ptr(nuvexCreateStreamFromMemory(image, size, -1, 2, spare)); }, 0,
         "Invalid chunk length"},
        {"memory stream, count -1", [&] { return Ptr(nuvexCreateStreamFromMemory(image, size, 4096, -1, spare)); },
         0, "Invalid buffer count"},
        {"fill from stream, count -1", [&] { return nuvexBufferDataFromStream(live, -1, bufs); }, -1,
         "Invalid buffer count"},
        {"destroy, count -1", [&] { return nuvexDestroyStream(live, -1, bufs); }, AL_FALSE, "Invalid buffer count"},
        {"fill buffer, length -1", [&] { return nuvexBufferDataFromMemory(image, -1, buffer); }, AL_FALSE,
         "Invalid data length"},
        {"create buffer, length -1", [&] { return nuvexCreateBufferFromMemory(image, -1); }, 0,
         "Invalid data length"},
        {"play stream, count -1", [&] { return nuvexPlaySourceStream(source, live, -1, 0, nullptr, nullptr); },
         AL_FALSE, "Invalid buffer count"},
        {"play stream, count 1", [&] { return nuvexPlaySourceStream(source, live, 1, 0, nullptr, nullptr); },
         AL_FALSE, "Invalid buffer count"},
        {"interval -1 (stops nothing)", [] { return nuvexUpdateInterval(-1.0f); }, AL_TRUE, "No error"},
        // Names that are no buffer or source.
        {"fill buffer 0", [&] { return nuvexBufferDataFromMemory(image, ALsizei(size), 0); }, AL_FALSE,
         "Invalid buffer ID"},
        {"fill unused buffer", [&] { return nuvexBufferDataFromMemory(image, ALsizei(size), noBuffer); }, AL_FALSE,
         "Invalid buffer ID"},
        {"fill unused buffer from file", [&] { return nuvexBufferDataFromFile(path.c_str(), noBuffer); }, AL_FALSE,
         "Invalid buffer ID"},
        {"fill from stream, one unused name", [&] { return nuvexBufferDataFromStream(live, 2, badNames); }, -1,
         "Invalid buffer ID"},
        {"delete unused buffers", [&] { return nuvexDestroyStream(nullptr, 2, badNames); }, AL_FALSE,
         "Buffer deletion failed"},
        {"play unused source", [&] { return nuvexPlaySource(noSource, CountCall, &calls); }, AL_FALSE,
         "Error starting source"},
        {"play stream on unused source",
         [&] { return nuvexPlaySourceStream(noSource, live, 2, 0, CountCall, &calls); }, AL_FALSE,
         "Invalid source ID"},
        {"stop unused source", [&] { return nuvexStopSource(noSource, AL_TRUE); }, AL_FALSE,
         "Error stopping source"},
        {"pause unused source", [&] { return nuvexPauseSource(noSource); }, AL_FALSE, "Error pausing source"},
        {"resume unused source", [&] { return nuvexResumeSource(noSource); }, AL_FALSE, "Error playing source"},
    };
    AddHandleRows(rows, "null", nullptr, bufs, source);
    AddHandleRows(rows, "destroyed", destroyed, bufs, source);
    AddHandleRows(rows, "stack object", forged.handle(), bufs, source);
    AddHandleRows(rows, "inside a stream", interior, bufs, source);
    nvh::RunMisuseTable(rows, true);

    // Tolerated nulls with no result to compare.
    nuvexGetVersion(nullptr, nullptr);
    nuvexFreeDeviceNames(nullptr);
    nuvexUpdate();
    EXPECT_EQ(calls.load(), 0);

    // None of it harmed the live stream or its buffers.
    EXPECT_EQ(nuvexBufferDataFromStream(live, 2, bufs), 2) << nvt::LastError();
    EXPECT_TRUE(nuvexDestroyStream(live, 2, bufs)) << nvt::LastError();
    alDeleteBuffers(1, &buffer);
    alDeleteSources(1, &source);
    EXPECT_EQ(alGetError(), AL_NO_ERROR);
}

TEST(Misuse, EveryCallBeforeAnyDeviceExists)
{
    ASSERT_EQ(alcGetCurrentContext(), nullptr);
    const auto wav = nvh::SmallWav();
    const ALubyte *image = wav.data();
    const ALuint size = ALuint(wav.size());
    const std::string path = nvt::TempPath("nodevice.wav");
    nvt::WriteFile(path, wav);
    nvh::ForgedStream forged;
    nuvexStream *h = forged.handle();
    ALuint bufs[2] = {1, 2};
    std::atomic<int> calls{0};
    const char *pending = "Existing OpenAL error";

    // Without a context every OpenAL error query reports an error, so the
    // calls that begin with one fail there; the others fail on their own
    // checks or succeed without OpenAL.
    const std::vector<Misuse> rows = {
        {"sample format", [] { return nuvexGetSampleFormat(2, 16, 0); }, 0, pending},
        {"shutdown", [] { return nuvexShutdownDevice(); }, AL_FALSE, "Failed to get current device"},
        {"fill buffer from memory", [&] { return nuvexBufferDataFromMemory(image, ALsizei(size), 1); }, AL_FALSE,
         pending},
        {"fill buffer from file", [&] { return nuvexBufferDataFromFile(path.c_str(), 1); }, AL_FALSE, pending},
        {"create buffer from memory", [&] { return nuvexCreateBufferFromMemory(image, ALsizei(size)); }, 0,
         pending},
        {"create buffer from file", [&] { return nuvexCreateBufferFromFile(path.c_str()); }, 0, pending},
        {"file stream", [&] { return Ptr(nuvexCreateStreamFromFile(path.c_str(), 4096, 2, bufs)); }, 0, pending},
        {"memory stream", [&] { return Ptr(nuvexCreateStreamFromMemory(image, size, 4096, 2, bufs)); }, 0,
         pending},
        {"static stream", [&] { return Ptr(nuvexCreateStreamFromStaticMemory(image, size, 4096, 0, nullptr)); },
         0, pending},
        {"callback stream",
         [&] { return Ptr(nuvexCreateStreamFromCallback(Silence, nullptr, AL_FORMAT_MONO16, 44100, 4096, 0, nullptr)); },
         0, pending},
        {"fill from stream", [&] { return nuvexBufferDataFromStream(h, 2, bufs); }, -1, pending},
        {"destroy nothing", [] { return nuvexDestroyStream(nullptr, 0, nullptr); }, AL_FALSE, pending},
        {"play", [&] { return nuvexPlaySource(1, CountCall, &calls); }, AL_FALSE, pending},
        {"play stream", [&] { return nuvexPlaySourceStream(1, h, 2, -1, CountCall, &calls); }, AL_FALSE, pending},
        {"stop", [] { return nuvexStopSource(1, AL_TRUE); }, AL_FALSE, pending},
        {"pause", [] { return nuvexPauseSource(1); }, AL_FALSE, pending},
        {"resume", [] { return nuvexResumeSource(1); }, AL_FALSE, pending},
        {"rewind", [&] { return nuvexRewindStream(h); }, AL_FALSE, "Invalid stream pointer"},
        {"order", [&] { return nuvexSetStreamOrder(h, 1); }, AL_FALSE, "Invalid stream pointer"},
        {"patch set", [&] { return nuvexSetStreamPatchset(h, nullptr); }, AL_FALSE, "Invalid stream pointer"},
        {"length", [&] { return int64_t(nuvexGetStreamLength(h)); }, NoLength, "Invalid stream pointer"},
        {"frequency", [&] { return nuvexGetStreamFrequency(h); }, 0, "Invalid stream pointer"},
        {"sleep", [] { return nuvexSleep(0.0f); }, AL_TRUE, "No error"},
        {"proc address", [] { return Ptr(nuvexGetProcAddress("nuvexSleep")); },
         Ptr(reinterpret_cast<void *>(nuvexSleep)), "No error"},
        {"microseconds switch", [] { return nuvexStreamSizeIsMicroSec(AL_FALSE); }, AL_FALSE, "No error"},
        {"I/O table reset", [] { return nuvexSetIOCallbacks(nullptr, nullptr, nullptr, nullptr, nullptr); },
         AL_TRUE, "No error"},
        {"decoder removal", [] { return nuvexInstallDecodeCallbacks(1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr); },
         AL_TRUE, "No error"},
    };
    nvh::RunMisuseTable(rows, false);

    // Updates, by hand and by the thread, find nothing to do and no context.
    nuvexUpdate();
    EXPECT_TRUE(nuvexUpdateInterval(0.001f));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(nuvexUpdateInterval(0.0f));
    EXPECT_EQ(calls.load(), 0);

    ALCsizei count = -1;
    const ALCchar **names = nuvexGetDeviceNames(AL_FALSE, &count);
    ASSERT_NE(names, nullptr) << nvt::LastError();
    EXPECT_GE(count, 1);
    nuvexFreeDeviceNames(names);
}

namespace {
// A loopback device with a context that the test destroys itself.
struct DyingContext {
    ALCdevice *device = nullptr;
    ALCcontext *context = nullptr;
    DyingContext()
    {
        auto open = reinterpret_cast<LPALCLOOPBACKOPENDEVICESOFT>(
            alcGetProcAddress(nullptr, "alcLoopbackOpenDeviceSOFT"));
        device = open(nullptr);
        context = NewContext();
        alcMakeContextCurrent(context);
    }
    // Loopback contexts need their output format spelled out.
    ALCcontext *NewContext()
    {
        const ALCint attrs[] = {ALC_FORMAT_CHANNELS_SOFT, ALC_STEREO_SOFT, ALC_FORMAT_TYPE_SOFT,
                                ALC_FLOAT_SOFT, ALC_FREQUENCY, 44100, 0};
        return alcCreateContext(device, attrs);
    }
    void Destroy()
    {
        alcMakeContextCurrent(nullptr);
        alcDestroyContext(context);
        context = nullptr;
    }
    // A second context on the same device, made current.
    bool Replace()
    {
        context = NewContext();
        return context && alcMakeContextCurrent(context);
    }
    ~DyingContext()
    {
        alcMakeContextCurrent(nullptr);
        if (context)
            alcDestroyContext(context);
        alcCloseDevice(device);
    }
};

// Starts a streamed and a plain playback, each with a counting callback.
struct TwoPlaybacks {
    std::vector<uint8_t> wav = nvh::SmallWav(44100);
    nuvexStream *stream = nullptr;
    ALuint sources[2] = {};
    ALuint buffer = 0;
    std::atomic<int> streamCalls{0}, plainCalls{0};

    void Start()
    {
        alGenSources(2, sources);
        stream = nuvexCreateStreamFromMemory(wav.data(), ALuint(wav.size()), 4096, 0, nullptr);
        ASSERT_NE(stream, nullptr) << nvt::LastError();
        ASSERT_TRUE(nuvexPlaySourceStream(sources[0], stream, 3, -1, CountCall, &streamCalls))
            << nvt::LastError();
        buffer = nuvexCreateBufferFromMemory(wav.data(), ALsizei(wav.size()));
        ASSERT_NE(buffer, 0u) << nvt::LastError();
        alSourcei(sources[1], AL_BUFFER, ALint(buffer));
        ASSERT_TRUE(nuvexPlaySource(sources[1], CountCall, &plainCalls)) << nvt::LastError();
    }
};
} // namespace

TEST(Misuse, PlaybacksOfADestroyedContextEndOnceWithoutOpenAL)
{
    ASSERT_TRUE(alcIsExtensionPresent(nullptr, "ALC_EXT_thread_local_context"));
    DyingContext first;
    TwoPlaybacks play;
    ASSERT_NO_FATAL_FAILURE(play.Start());
    first.Destroy();

    // No context now: the calls that need one fail cleanly.
    EXPECT_FALSE(nuvexStopSource(play.sources[0], AL_TRUE));
    EXPECT_EQ(nvt::LastError(), "Existing OpenAL error");
    EXPECT_FALSE(nuvexShutdownDevice());
    EXPECT_EQ(nvt::LastError(), "Failed to get current device");

    for (int i = 0; i < 2; i++) {
        nuvexUpdate();
        EXPECT_EQ(play.streamCalls.load(), 1);
        EXPECT_EQ(play.plainCalls.load(), 1);
    }

    // A new context on the same device: the stream is still the
    // application's, and destroying it runs no callback a second time.
    ASSERT_TRUE(first.Replace());
    EXPECT_TRUE(nuvexDestroyStream(play.stream, 0, nullptr)) << nvt::LastError();
    EXPECT_EQ(play.streamCalls.load(), 1);
    EXPECT_FALSE(nuvexStopSource(play.sources[0], AL_TRUE)); // no such source here
    EXPECT_EQ(nvt::LastError(), "Error stopping source");
}

TEST(Misuse, StreamDestroyedAfterItsPlaybacksContext)
{
    DyingContext first;
    TwoPlaybacks play;
    ASSERT_NO_FATAL_FAILURE(play.Start());
    first.Destroy();
    ASSERT_TRUE(first.Replace());

    // The playback's context is gone: nothing is done to its source, the
    // entry still ends and its callback still runs, once.
    EXPECT_TRUE(nuvexDestroyStream(play.stream, 0, nullptr)) << nvt::LastError();
    EXPECT_EQ(play.streamCalls.load(), 1);
    EXPECT_EQ(alGetError(), AL_NO_ERROR);
    nuvexUpdate();
    EXPECT_EQ(play.streamCalls.load(), 1);
    EXPECT_EQ(play.plainCalls.load(), 1);
}

TEST(Misuse, ContextDestroyedWhileTheUpdateThreadRuns)
{
    DyingContext first;
    TwoPlaybacks play;
    ASSERT_NO_FATAL_FAILURE(play.Start());
    ASSERT_TRUE(nuvexUpdateInterval(0.001f));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    first.Destroy();
    for (int i = 0; i < 400 && (play.streamCalls < 1 || play.plainCalls < 1); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(nuvexUpdateInterval(0.0f));
    EXPECT_EQ(play.streamCalls.load(), 1);
    EXPECT_EQ(play.plainCalls.load(), 1);

    ASSERT_TRUE(first.Replace());
    EXPECT_TRUE(nuvexDestroyStream(play.stream, 0, nullptr)) << nvt::LastError();
    EXPECT_EQ(play.streamCalls.load(), 1);
}
