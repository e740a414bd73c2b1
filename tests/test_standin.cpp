// What OpenAL Soft (and libc) cannot be made to show: extensions and entry
// points missing, device lists and contexts that fail, buffers and threads
// that cannot be made, interrupted sleeps. This program defines those entry
// points itself, so they take the place of the real ones for the library,
// which it loads with dlopen after setting the controls (its load-time probe
// sees them too); unless told otherwise each forwards to the real one.
#include "nuvex.h"

#include <AL/alext.h>
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pthread.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <new>
#include <set>
#include <string>
#include <vector>

namespace {
struct Controls {
    std::set<std::string> hidden;         // extensions and ALC entry points
    std::map<std::string, ALenum> values; // alGetEnumValue answers
    std::set<std::string> enumErrors;     // alGetEnumValue leaves an error
    ALenum pendingError = AL_NO_ERROR;
    const char *deviceList = nullptr; // alcGetString's answer when set
    bool noDeviceList = false, failCreateContext = false, failMakeCurrent = false, failUnset = false;
    bool failBuffers = false, failThreads = false, failAllocations = false;
    bool recordSleeps = false;
    std::vector<timespec> sleeps;
    int interruptions = 0; // nanosleep fails with EINTR this often first
} C;

template <typename Fn>
Fn Real(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}
} // namespace

#define REAL(f) static const auto real = Real<decltype(&f)>(#f)
extern "C" {
ALCboolean ALC_APIENTRY alcIsExtensionPresent(ALCdevice *d, const ALCchar *name)
{
    REAL(alcIsExtensionPresent);
    return C.hidden.count(name) ? ALC_FALSE : real(d, name);
}
ALboolean AL_APIENTRY alIsExtensionPresent(const ALchar *name)
{
    REAL(alIsExtensionPresent);
    return C.hidden.count(name) ? AL_FALSE : real(name);
}
void *ALC_APIENTRY alcGetProcAddress(ALCdevice *d, const ALCchar *name)
{
    REAL(alcGetProcAddress);
    return C.hidden.count(name) ? nullptr : real(d, name);
}
ALenum AL_APIENTRY alGetEnumValue(const ALchar *name)
{
    REAL(alGetEnumValue);
    if (C.enumErrors.count(name))
        C.pendingError = AL_INVALID_VALUE;
    auto it = C.values.find(name);
    return it != C.values.end() ? it->second : real(name);
}
ALenum AL_APIENTRY alGetError(void)
{
    REAL(alGetError);
    ALenum error = real();
    return C.pendingError ? std::exchange(C.pendingError, AL_NO_ERROR) : error;
}
const ALCchar *ALC_APIENTRY alcGetString(ALCdevice *d, ALCenum param)
{
    REAL(alcGetString);
    bool list = param == ALC_DEVICE_SPECIFIER || param == ALC_ALL_DEVICES_SPECIFIER;
    if (list && C.noDeviceList)
        return nullptr;
    return list && C.deviceList ? C.deviceList : real(d, param);
}
ALCcontext *ALC_APIENTRY alcCreateContext(ALCdevice *d, const ALCint *attrs)
{
    REAL(alcCreateContext);
    return C.failCreateContext ? nullptr : real(d, attrs);
}
ALCboolean ALC_APIENTRY alcMakeContextCurrent(ALCcontext *context)
{
    REAL(alcMakeContextCurrent);
    if ((context && C.failMakeCurrent) || (!context && C.failUnset))
        return ALC_FALSE;
    return real(context);
}
void AL_APIENTRY alGenBuffers(ALsizei n, ALuint *buffers)
{
    REAL(alGenBuffers);
    real(C.failBuffers ? -1 : n, buffers); // OpenAL's own error for a bad count
}
int nanosleep(const timespec *request, timespec *remaining)
{
    REAL(nanosleep);
    if (!C.recordSleeps)
        return real(request, remaining);
    C.sleeps.push_back(*request);
    if (C.interruptions == 0)
        return 0;
    C.interruptions--;
    *remaining = {0, request->tv_nsec / 2};
    errno = EINTR;
    return -1;
}
int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg)
{
    REAL(pthread_create);
    return C.failThreads ? EAGAIN : real(thread, attr, start, arg);
}
}

// The library's allocations come here too. They pair malloc with free
// throughout, which GCC cannot see.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void *operator new(size_t size)
{
    void *p = C.failAllocations ? nullptr : malloc(size ? size : 1);
    return p ? p : throw std::bad_alloc();
}
void *operator new[](size_t size) { return operator new(size); }
void operator delete(void *p) noexcept { free(p); }
void operator delete[](void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }
void operator delete[](void *p, size_t) noexcept { free(p); }

namespace {
struct Library {
    void *handle = dlopen(NUVEX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ~Library()
    {
        if (alcGetCurrentContext())
            (*this)(&::nuvexShutdownDevice, "nuvexShutdownDevice")();
        dlclose(handle);
    }
    template <typename Fn>
    Fn *operator()(Fn *, const char *name) const
    {
        return reinterpret_cast<Fn *>(dlsym(handle, name));
    }
};
#define NV(f) lib(&::f, #f)

// One load of the library per process: each probe runs in a child, whose
// standard error the death test matches.
void Probe(bool hideExtension, const char *hideProc)
{
    if (hideExtension)
        C.hidden.insert("ALC_EXT_thread_local_context");
    if (hideProc)
        C.hidden.insert(hideProc);
    Library lib;
    // The library goes on without the entry points: a playback still ends.
    ALuint source = 0;
    int calls = 0;
    if (!NV(nuvexInitDevice)(nullptr, nullptr))
        _exit(3);
    alGenSources(1, &source);
    NV(nuvexPlaySource)(source, [](void *n, ALuint) { ++*static_cast<int *>(n); }, &calls);
    NV(nuvexUpdate)();
    _exit(calls == 1 ? 0 : 4);
}

TEST(StandIn, ThreadContextProbeAtLoad)
{
    const std::string missing = "Nuvex lib: ALC_EXT_thread_local_context advertised, but missing function:\n"
                                "    alcSetThreadContext=";
    EXPECT_EXIT(Probe(false, nullptr), testing::ExitedWithCode(0), "^$");
    EXPECT_EXIT(Probe(true, nullptr), testing::ExitedWithCode(0), "^$");
    EXPECT_EXIT(Probe(false, "alcGetThreadContext"), testing::ExitedWithCode(0),
                missing + "0x[0-9a-f]+\n    alcGetThreadContext=\\(nil\\)\n$");
    EXPECT_EXIT(Probe(false, "alcSetThreadContext"), testing::ExitedWithCode(0),
                missing + "\\(nil\\)\n    alcGetThreadContext=0x[0-9a-f]+\n$");
}

TEST(StandIn, DevicesAndFormatsOfOtherImplementations)
{
    Library lib;
    auto err = [&] { return std::string(NV(nuvexGetErrorString)()); };
    // Device lists: the full one only with its extension; copies with a count.
    C.deviceList = "One\0Two\0";
    ALCsizei count = -1;
    const ALCchar **names = NV(nuvexGetDeviceNames)(AL_TRUE, &count);
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(names[1], "Two");
    EXPECT_EQ(names[2], nullptr);
    NV(nuvexFreeDeviceNames)(names);
    C.noDeviceList = true;
    EXPECT_EQ(NV(nuvexGetDeviceNames)(AL_FALSE, &count), nullptr);
    EXPECT_EQ(err(), "No device names found");
    EXPECT_EQ(count, 2);
    C.noDeviceList = false;
    C.deviceList = nullptr;

    // A refused context closes what was opened; a refused release keeps all.
    C.failCreateContext = true;
    EXPECT_FALSE(NV(nuvexInitDevice)(nullptr, nullptr));
    EXPECT_EQ(err(), "Context setup failed");
    C.failCreateContext = false;
    C.failMakeCurrent = true;
    EXPECT_FALSE(NV(nuvexInitDevice)(nullptr, nullptr));
    EXPECT_EQ(err(), "Context setup failed");
    EXPECT_EQ(alcGetCurrentContext(), nullptr);
    C.failMakeCurrent = false;
    ASSERT_TRUE(NV(nuvexInitDevice)(nullptr, nullptr));
    C.failUnset = true;
    EXPECT_FALSE(NV(nuvexShutdownDevice)());
    EXPECT_EQ(err(), "Failed to unset current context");
    EXPECT_NE(alcGetCurrentContext(), nullptr);
    C.failUnset = false;

    const struct {
        std::set<std::string> hidden, errors;
        std::map<std::string, ALenum> values;
        ALuint channels, bits, floatbits;
        ALenum expected;
        const char *message;
    } formats[] = {
        {{"AL_EXT_MCFORMATS"}, {}, {}, 4, 16, 0, 0x10005, "No error"}, // LOKI quad instead
        {{"AL_EXT_MCFORMATS", "AL_LOKI_quadriphonic"}, {}, {}, 4, 16, 0, 0, "Unsupported 16-bit channel count\n"},
        {{"AL_EXT_MCFORMATS"}, {}, {}, 6, 8, 0, 0, "Unsupported 8-bit channel count\n"},
        {{"AL_EXT_MCFORMATS"}, {}, {}, 2, 16, 0, AL_FORMAT_STEREO16, "No error"},
        {{"AL_EXT_FLOAT32"}, {}, {}, 1, 0, 32, 0, "Unsupported float bit depth\n"},
        {{"AL_EXT_DOUBLE"}, {}, {}, 2, 0, 64, 0, "Unsupported float bit depth\n"},
        {{"AL_EXT_MCFORMATS"}, {}, {}, 4, 0, 32, 0, "Unsupported float32 channel count\n"},
        {{}, {}, {{"AL_FORMAT_STEREO16", 0x7777}}, 2, 16, 0, 0x7777, "No error"},
        {{}, {}, {{"AL_FORMAT_QUAD16", -1}}, 4, 16, 0, 0x10005, "No error"},
        {{}, {}, {{"AL_FORMAT_STEREO8", 0}}, 2, 8, 0, 0, "Unsupported 8-bit channel count\n"},
        {{}, {"AL_FORMAT_QUAD16"}, {}, 4, 16, 0, 0x10005, "No error"},
        {{}, {"AL_FORMAT_QUAD16", "AL_FORMAT_QUAD16_LOKI"}, {}, 4, 16, 0, 0, "Unsupported 16-bit channel count\n"},
        {{}, {"AL_FORMAT_MONO_FLOAT32"}, {}, 1, 0, 32, 0, "Unsupported float32 channel count\n"},
    };
    for (const auto &f : formats) {
        SCOPED_TRACE(testing::Message() << f.channels << "/" << f.bits << "/" << f.floatbits);
        C.hidden = f.hidden;
        C.values = f.values;
        C.enumErrors = f.errors;
        EXPECT_EQ(NV(nuvexGetSampleFormat)(f.channels, f.bits, f.floatbits), f.expected);
        EXPECT_EQ(err(), f.message);
        EXPECT_EQ(alGetError(), AL_NO_ERROR) << "a rejected candidate's error was left pending";
    }
    C = Controls();
}

TEST(StandIn, BuffersAndThreadsThatCannotBeMade)
{
    Library lib;
    auto err = [&] { return std::string(NV(nuvexGetErrorString)()); };
    ASSERT_TRUE(NV(nuvexInitDevice)(nullptr, nullptr));
    std::vector<ALubyte> wav = {'R', 'I', 'F', 'F', 44, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0,
                                0, 0, 1, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x80, 0x3E, 0, 0, 2, 0, 16, 0,
                                'd', 'a', 't', 'a', 8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    ALuint source = 0, bufs[2];
    alGenSources(1, &source);
    nuvexStream *stream = NV(nuvexCreateStreamFromMemory)(wav.data(), ALuint(wav.size()), 4, 0, nullptr);
    ASSERT_NE(stream, nullptr);
    C.failBuffers = true;
    EXPECT_EQ(NV(nuvexCreateBufferFromMemory)(wav.data(), ALsizei(wav.size())), 0u);
    EXPECT_EQ(err(), "Buffer creation failed");
    EXPECT_EQ(NV(nuvexCreateStreamFromMemory)(wav.data(), ALuint(wav.size()), 4, 2, bufs), nullptr);
    EXPECT_EQ(err(), "Buffer creation failed");
    EXPECT_FALSE(NV(nuvexPlaySourceStream)(source, stream, 2, 0, nullptr, nullptr));
    EXPECT_EQ(err(), "Error generating buffers");
    EXPECT_EQ(alGetError(), AL_NO_ERROR);
    C.failBuffers = false;
    EXPECT_TRUE(NV(nuvexPlaySourceStream)(source, stream, 2, 0, nullptr, nullptr)) << err();
    EXPECT_TRUE(NV(nuvexDestroyStream)(stream, 0, nullptr));

    C.failAllocations = true;
    nuvexStream *none = NV(nuvexCreateStreamFromMemory)(wav.data(), ALuint(wav.size()), 4, 0, nullptr);
    C.failAllocations = false;
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(err(), "Out of memory");
    C.failThreads = true;
    EXPECT_FALSE(NV(nuvexUpdateInterval)(0.1f));
    EXPECT_EQ(err(), "Error starting async thread");
    C.failThreads = false;
    EXPECT_TRUE(NV(nuvexUpdateInterval)(0.1f)) << "a failed start leaves it idle, not broken";
    EXPECT_TRUE(NV(nuvexUpdateInterval)(0.0f));
    alDeleteSources(1, &source);
}

TEST(StandIn, SleepAsksForWholeSecondsAndNanosecondsAndResumes)
{
    Library lib;
    C.recordSleeps = true;
    const struct {
        float seconds;
        int interruptions;
        std::vector<timespec> requests;
    } rows[] = {
        {1.5f, 0, {{1, 500000000}}},
        {0.25f, 2, {{0, 250000000}, {0, 125000000}, {0, 62500000}}}, // the rest after each EINTR
        {0.0f, 0, {{0, 0}}},
        {1e10f, 0, {{4294967295, 0}}}, // the whole-seconds field is 32 bits
        {INFINITY, 0, {{4294967295, 0}}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.seconds);
        C.sleeps.clear();
        C.interruptions = row.interruptions;
        EXPECT_TRUE(NV(nuvexSleep)(row.seconds));
        ASSERT_EQ(C.sleeps.size(), row.requests.size());
        for (size_t i = 0; i < row.requests.size(); i++) {
            EXPECT_EQ(C.sleeps[i].tv_sec, row.requests[i].tv_sec);
            EXPECT_NEAR(double(C.sleeps[i].tv_nsec), double(row.requests[i].tv_nsec), 64.0);
        }
    }
    C = Controls();
}

} // namespace
