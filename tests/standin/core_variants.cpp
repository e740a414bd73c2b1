// The core's behaviour on OpenAL implementations that OpenAL Soft cannot
// imitate: extensions absent, thread-context entry points missing, device
// lists and contexts that fail; and the exact intervals nuvexSleep requests.
// The library is loaded with dlopen after the test has set the stand-in's
// controls, so that even its load-time probe sees them.
#include "nuvex.h"
#include "openal_standin.h"
#include "core_capture.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cerrno>
#include <cfloat>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

// Found by the standard containers' comparisons.
inline bool operator==(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

namespace {

#define NUVEX_FUNCTIONS(X)                                                                         \
    X(nuvexGetErrorString) X(nuvexGetDeviceNames) X(nuvexFreeDeviceNames) X(nuvexInitDevice)       \
    X(nuvexShutdownDevice) X(nuvexGetSampleFormat) X(nuvexSleep) X(nuvexPlaySource) X(nuvexUpdate)

// The library's functions, bound at run time.
struct Nuvex {
    void *handle = nullptr;
#define DECLARE(f) decltype(&::f) f = nullptr;
    NUVEX_FUNCTIONS(DECLARE)
#undef DECLARE

    bool Load()
    {
        handle = dlopen(NUVEX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            return false;
#define BIND(fn) fn = reinterpret_cast<decltype(fn)>(dlsym(handle, #fn));
        NUVEX_FUNCTIONS(BIND)
#undef BIND
        return true;
    }
    std::string LastError() { return nuvexGetErrorString(); }
};

standin::Controls &Controls() { return standin::Get(); }

class StandIn : public testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dlopen(NUVEX_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD)); }
    void Load() { ASSERT_TRUE(nv.Load()) << dlerror(); }
    void LoadWithDevice()
    {
        Load();
        ASSERT_TRUE(nv.nuvexInitDevice(nullptr, nullptr)) << nv.LastError();
    }
    void TearDown() override
    {
        Controls() = standin::Controls();
        if (nv.handle && alcGetCurrentContext())
            nv.nuvexShutdownDevice();
    }
    Nuvex nv;
};

// ---- Thread-local contexts --------------------------------------------------------

std::string Pointer(const void *p)
{
    char text[32];
    snprintf(text, sizeof text, "%p", p);
    return text;
}

void CountCallback(void *userdata, ALuint) { ++*static_cast<int *>(userdata); }

// Loads the library, compares what it wrote, and plays a source to its end
// to see that the library goes on and whether it uses the entry points.
// Returns an exit status; the reason for a non-zero one goes to stderr.
int ProbeAtLoad(Nuvex &nv, const std::string &diagnostic, bool entryPointsUsed)
{
    nvt::StderrCapture capture;
    bool loaded = nv.Load();
    std::string written = capture.Finish();
    if (!loaded)
        return fprintf(stderr, "load failed: %s\n", dlerror()), 1;
    if (written != diagnostic)
        return fprintf(stderr, "wrote [%s]\nexpected [%s]\n", written.c_str(), diagnostic.c_str()), 2;
    if (!nv.nuvexInitDevice(nullptr, nullptr))
        return fprintf(stderr, "no device: %s\n", nv.nuvexGetErrorString()), 3;
    ALuint source = 0;
    alGenSources(1, &source);
    int callbacks = 0;
    if (!nv.nuvexPlaySource(source, CountCallback, &callbacks))
        return fprintf(stderr, "play failed: %s\n", nv.nuvexGetErrorString()), 4;
    nv.nuvexUpdate();
    if (callbacks != 1)
        return fprintf(stderr, "%d end-of-play callbacks\n", callbacks), 5;
    if ((Controls().threadContextCalls > 0) != entryPointsUsed)
        return fprintf(stderr, "%d thread-context calls\n", Controls().threadContextCalls), 6;
    alDeleteSources(1, &source);
    nv.nuvexShutdownDevice();
    return 0;
}

TEST_F(StandIn, ThreadContextProbeAtLoad)
{
    const void *set = reinterpret_cast<const void *>(standin::CountingSetThreadContext);
    const void *get = reinterpret_cast<const void *>(standin::CountingGetThreadContext);
    auto missing = [](const void *setFn, const void *getFn) {
        return "Nuvex lib: ALC_EXT_thread_local_context advertised, but missing function:\n"
               "    alcSetThreadContext=" + Pointer(setFn) + "\n"
               "    alcGetThreadContext=" + Pointer(getFn) + "\n";
    };
    const struct {
        const char *name;
        bool hideExtension;
        const char *hideProc;
        std::string diagnostic;
        bool entryPointsUsed;
    } cases[] = {
        {"advertised and complete", false, nullptr, "", true},
        {"advertised, get missing", false, "alcGetThreadContext", missing(set, nullptr), false},
        {"advertised, set missing", false, "alcSetThreadContext", missing(nullptr, get), false},
        {"not advertised", true, nullptr, "", false},
    };
    // One load per process: each row runs in a child process of this test.
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(
            {
                if (c.hideExtension)
                    Controls().hiddenExtensions.insert("ALC_EXT_thread_local_context");
                if (c.hideProc)
                    Controls().hiddenProcs.insert(c.hideProc);
                _exit(ProbeAtLoad(nv, c.diagnostic, c.entryPointsUsed));
            },
            testing::ExitedWithCode(0), "");
    }
}

// ---- Sample formats ----------------------------------------------------------------

TEST_F(StandIn, SampleFormatWithoutSomeExtensionsOrCandidates)
{
    LoadWithDevice();
    const struct {
        const char *name;
        std::vector<std::string> hidden;
        std::map<std::string, ALenum> values;
        std::set<std::string> errors;
        ALuint channels, bits, floatbits;
        ALenum expected;
        const char *message;
    } cases[] = {
        {"quad16 falls back to LOKI", {"AL_EXT_MCFORMATS"}, {}, {}, 4, 16, 0, 0x10005, "No error"},
        {"quad16 without either", {"AL_EXT_MCFORMATS", "AL_LOKI_quadriphonic"}, {}, {}, 4, 16, 0,
         0, "Unsupported 16-bit channel count\n"},
        {"5.1 has no LOKI fallback", {"AL_EXT_MCFORMATS"}, {}, {}, 6, 16, 0, 0,
         "Unsupported 16-bit channel count\n"},
        {"stereo needs no extension", {"AL_EXT_MCFORMATS"}, {}, {}, 2, 16, 0, AL_FORMAT_STEREO16,
         "No error"},
        {"float32 without its extension", {"AL_EXT_FLOAT32"}, {}, {}, 1, 0, 32, 0,
         "Unsupported float bit depth\n"},
        {"double without its extension", {"AL_EXT_DOUBLE"}, {}, {}, 2, 0, 64, 0,
         "Unsupported float bit depth\n"},
        {"quad float32 without MCFORMATS", {"AL_EXT_MCFORMATS"}, {}, {}, 4, 0, 32, 0,
         "Unsupported float32 channel count\n"},
        {"the implementation's own value", {}, {{"AL_FORMAT_STEREO16", 0x7777}}, {}, 2, 16, 0,
         0x7777, "No error"},
        {"value -1 rejects the candidate", {}, {{"AL_FORMAT_QUAD16", -1}}, {}, 4, 16, 0, 0x10005,
         "No error"},
        {"value 0 rejects the candidate", {}, {{"AL_FORMAT_STEREO8", 0}}, {}, 2, 8, 0, 0,
         "Unsupported 8-bit channel count\n"},
        {"an error rejects the candidate", {}, {}, {"AL_FORMAT_QUAD16"}, 4, 16, 0, 0x10005,
         "No error"},
        {"an error on the fallback too", {}, {}, {"AL_FORMAT_QUAD16", "AL_FORMAT_QUAD16_LOKI"}, 4,
         16, 0, 0, "Unsupported 16-bit channel count\n"},
        {"float candidates alike", {}, {}, {"AL_FORMAT_MONO_FLOAT32"}, 1, 0, 32, 0,
         "Unsupported float32 channel count\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Controls().hiddenExtensions = std::set<std::string>(c.hidden.begin(), c.hidden.end());
        Controls().enumValues = c.values;
        Controls().enumErrors = c.errors;
        EXPECT_EQ(nv.nuvexGetSampleFormat(c.channels, c.bits, c.floatbits), c.expected);
        EXPECT_EQ(nv.LastError(), c.message);
        EXPECT_EQ(alGetError(), AL_NO_ERROR) << "a rejected candidate's error was left pending";
    }
}

// The order of the OpenAL calls is part of the behaviour: which extensions
// are asked about, and that nothing is looked up once a check has failed.
TEST_F(StandIn, SampleFormatAsksInItsOrder)
{
    LoadWithDevice();
    const struct {
        const char *name;
        std::vector<std::string> hidden;
        std::map<std::string, ALenum> values;
        ALuint channels, bits, floatbits;
        std::vector<std::string> calls;
    } cases[] = {
        {"both bit types: no lookup", {}, {}, 2, 16, 32, {"error"}},
        {"PCM depth: no lookup", {}, {}, 2, 24, 0, {"error"}},
        {"float16: no extension query", {}, {}, 1, 0, 16, {"error"}},
        {"stereo16 found first", {}, {}, 2, 16, 0, {"error", "enum AL_FORMAT_STEREO16", "error"}},
        {"mono8 rejected still asks both extensions", {}, {{"AL_FORMAT_MONO8", 0}}, 1, 8, 0,
         {"error", "enum AL_FORMAT_MONO8", "error", "ext AL_EXT_MCFORMATS",
          "ext AL_LOKI_quadriphonic"}},
        {"channel count 3 asks both extensions", {}, {}, 3, 16, 0,
         {"error", "ext AL_EXT_MCFORMATS", "ext AL_LOKI_quadriphonic"}},
        {"quad prefers MCFORMATS", {}, {}, 4, 16, 0,
         {"error", "ext AL_EXT_MCFORMATS", "enum AL_FORMAT_QUAD16", "error"}},
        {"quad falls back to LOKI", {"AL_EXT_MCFORMATS"}, {}, 4, 16, 0,
         {"error", "ext AL_EXT_MCFORMATS", "ext AL_LOKI_quadriphonic",
          "enum AL_FORMAT_QUAD16_LOKI", "error"}},
        {"7.1 float32", {}, {}, 8, 0, 32,
         {"error", "ext AL_EXT_FLOAT32", "ext AL_EXT_MCFORMATS", "enum AL_FORMAT_71CHN32",
          "error"}},
        {"float32 unsupported channels", {}, {}, 5, 0, 32,
         {"error", "ext AL_EXT_FLOAT32", "ext AL_EXT_MCFORMATS"}},
        {"double asks only its own extension", {}, {}, 1, 0, 64,
         {"error", "ext AL_EXT_DOUBLE", "enum AL_FORMAT_MONO_DOUBLE_EXT", "error"}},
        {"double without it", {"AL_EXT_DOUBLE"}, {}, 1, 0, 64, {"error", "ext AL_EXT_DOUBLE"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Controls().hiddenExtensions = std::set<std::string>(c.hidden.begin(), c.hidden.end());
        Controls().enumValues = c.values;
        Controls().calls.clear();
        Controls().logCalls = true;
        nv.nuvexGetSampleFormat(c.channels, c.bits, c.floatbits);
        Controls().logCalls = false;
        EXPECT_EQ(Controls().calls, c.calls);
    }
}

// ---- Devices -------------------------------------------------------------------------

std::vector<std::string> Names(const ALCchar **names)
{
    std::vector<std::string> out;
    for (size_t i = 0; names && names[i]; i++)
        out.emplace_back(names[i]);
    return out;
}

TEST_F(StandIn, DeviceNamesFromEitherListEmptyChangedOrMissing)
{
    Load();
    Controls().fakeDeviceLists = true;
    const struct {
        const char *name;
        ALCboolean all;
        bool hideEnumerateAll;
        std::string defaultList, allList;
        std::vector<std::string> expected;
    } cases[] = {
        {"default list", ALC_FALSE, false, std::string("Default Out\0", 12), "", {"Default Out"}},
        {"all devices", ALC_TRUE, false, "", std::string("All One\0All Two\0", 16),
         {"All One", "All Two"}},
        {"all without the extension", ALC_TRUE, true, std::string("Default Out\0", 12),
         std::string("Unused\0", 7),
         {"Default Out"}},
        {"only the final empty name", ALC_FALSE, false, "", "", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Controls().hiddenExtensions.clear();
        if (c.hideEnumerateAll)
            Controls().hiddenExtensions.insert("ALC_ENUMERATE_ALL_EXT");
        Controls().defaultList = c.defaultList;
        Controls().allList = c.allList;
        ALCsizei count = -1;
        const ALCchar **names = nv.nuvexGetDeviceNames(c.all, &count);
        ASSERT_NE(names, nullptr);
        // The copies are the caller's: the implementation may rewrite its list.
        Controls().defaultList.assign(Controls().defaultList.size(), 'x');
        Controls().allList.assign(Controls().allList.size(), 'x');
        EXPECT_EQ(Names(names), c.expected);
        EXPECT_EQ(count, ALCsizei(c.expected.size()));
        nv.nuvexFreeDeviceNames(names);
        EXPECT_EQ(nv.LastError(), "No error");
    }

    Controls().noDeviceLists = true;
    for (ALCboolean all : {ALC_FALSE, ALC_TRUE}) {
        ALCsizei count = 77;
        EXPECT_EQ(nv.nuvexGetDeviceNames(all, &count), nullptr);
        EXPECT_EQ(count, 77);
        EXPECT_EQ(nv.LastError(), "No device names found");
        EXPECT_EQ(alcGetError(nullptr), ALC_NO_ERROR) << "the ALC error was left pending";
    }
}

TEST_F(StandIn, InitDeviceContextFailuresCloseWhatWasOpened)
{
    Load();
    const struct {
        const char *name;
        bool failCreate, failMakeCurrent;
        int destroyed, closed;
    } cases[] = {
        {"no context", true, false, 0, 1},
        {"context cannot be made current", false, true, 1, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Controls() = standin::Controls();
        Controls().failCreateContext = c.failCreate;
        Controls().failMakeCurrent = c.failMakeCurrent;
        EXPECT_FALSE(nv.nuvexInitDevice(nullptr, nullptr));
        EXPECT_EQ(nv.LastError(), "Context setup failed");
        EXPECT_EQ(Controls().contextsDestroyed, c.destroyed);
        EXPECT_EQ(Controls().devicesClosed, c.closed);
        EXPECT_EQ(alcGetCurrentContext(), nullptr);
    }
}

TEST_F(StandIn, ShutdownFailuresLeaveTheDeviceAsItWas)
{
    LoadWithDevice();
    ALCcontext *context = alcGetCurrentContext();
    ASSERT_NE(context, nullptr);

    for (bool *fail : {&Controls().noContextsDevice, &Controls().failUnsetCurrent}) {
        *fail = true;
        EXPECT_FALSE(nv.nuvexShutdownDevice());
        EXPECT_EQ(nv.LastError(), fail == &Controls().noContextsDevice
                                      ? "Failed to get current device"
                                      : "Failed to unset current context");
        *fail = false;
    }

    EXPECT_EQ(alcGetCurrentContext(), context);
    EXPECT_EQ(Controls().contextsDestroyed, 0);
    EXPECT_EQ(Controls().devicesClosed, 0);

    EXPECT_TRUE(nv.nuvexShutdownDevice());
    EXPECT_EQ(alcGetCurrentContext(), nullptr);
    EXPECT_EQ(Controls().contextsDestroyed, 1);
    EXPECT_EQ(Controls().devicesClosed, 1);
}

// ---- Sleep ------------------------------------------------------------------------------
// No device is open here: OpenAL Soft's mixer thread would sleep through the
// recorded nanosleep too.

TEST_F(StandIn, SleepRequestsWholeSecondsAndNanoseconds)
{
    Load();
    const struct {
        float duration;
        timespec request;
    } cases[] = {
        {0.0f, {0, 0}},
        {1.25f, {1, 250000000}},
        {4294967040.0f, {4294967040, 0}}, // the largest float below 2^32
        {4294967296.0f, {4294967295, 0}}, // clamped from here on
        {FLT_MAX, {4294967295, 0}},
        {INFINITY, {4294967295, 0}},
    };
    Controls().recordSleeps = true;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.duration);
        Controls().sleepRequests.clear();
        EXPECT_TRUE(nv.nuvexSleep(c.duration));
        ASSERT_EQ(Controls().sleepRequests.size(), 1u);
        EXPECT_EQ(Controls().sleepRequests[0], c.request);
    }
    EXPECT_EQ(nv.LastError(), "No error");
}

TEST_F(StandIn, SleepResumesWithTheRemainderAfterInterruptions)
{
    Load();
    const struct {
        const char *name;
        std::vector<standin::SleepOutcome> outcomes;
        std::vector<timespec> requests;
    } cases[] = {
        {"three interruptions",
         {{EINTR, {1, 0}}, {EINTR, {0, 700000000}}, {EINTR, {0, 5}}},
         {{1, 250000000}, {1, 0}, {0, 700000000}, {0, 5}}},
        {"other failures end the wait", {{EINVAL, {9, 9}}}, {{1, 250000000}}},
        {"interrupted, then another failure",
         {{EINTR, {0, 300}}, {EFAULT, {9, 9}}},
         {{1, 250000000}, {0, 300}}},
    };
    Controls().recordSleeps = true;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Controls().sleepRequests.clear();
        Controls().sleepOutcomes.assign(c.outcomes.begin(), c.outcomes.end());
        EXPECT_TRUE(nv.nuvexSleep(1.25f));
        EXPECT_EQ(Controls().sleepRequests, c.requests);
        EXPECT_TRUE(Controls().sleepOutcomes.empty());
    }
    EXPECT_EQ(nv.LastError(), "No error");
}

} // namespace
