// The last error, the version and function lookup, through the public API.
#include "support.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// Failing and succeeding calls that touch no device.
void FailSleep() { EXPECT_FALSE(nuvexSleep(-1.0f)); }
void FailLookup() { EXPECT_EQ(nuvexGetProcAddress("noSuchFunction"), nullptr); }
void FailShutdown() { EXPECT_FALSE(nuvexShutdownDevice()); }
void Succeed()
{
    EXPECT_TRUE(nuvexSleep(0.0f));
    EXPECT_NE(nuvexGetProcAddress("nuvexSleep"), nullptr);
    ALuint major = 0;
    nuvexGetVersion(&major, nullptr);
}

TEST(CoreLastError, ReadResetsLatestFailureWinsSuccessNeverClears)
{
    EXPECT_STREQ(nuvexGetErrorString(), "No error"); // right after load
    const struct {
        const char *name;
        std::vector<std::function<void()>> calls;
        const char *expected;
    } scenarios[] = {
        {"one failure", {FailSleep}, "Invalid duration"},
        {"second failure wins", {FailSleep, FailLookup}, "Function not found"},
        {"success after failure", {FailShutdown, Succeed}, "Failed to get current device"},
        {"failure between successes", {Succeed, FailLookup, Succeed}, "Function not found"},
    };
    for (const auto &scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        for (const auto &call : scenario.calls)
            call();
        EXPECT_STREQ(nuvexGetErrorString(), scenario.expected);
        EXPECT_STREQ(nuvexGetErrorString(), "No error");
    }
}

// The slot is shared by all threads: concurrent failures and reads must not
// be a data race (the ThreadSanitizer build runs this), and every read is
// one whole message of the library.
TEST(CoreLastErrorThreads, ConcurrentFailuresAndReadsSeeWholeMessages)
{
    const std::set<std::string> allowed = {"No error", "Invalid duration", "Function not found"};
    std::atomic<bool> stop{false};
    std::thread sleeper([&] {
        while (!stop)
            nuvexSleep(-1.0f);
    });
    std::thread looker([&] {
        while (!stop)
            nuvexGetProcAddress("noSuchFunction");
    });
    std::set<std::string> seen;
    for (int i = 0; i < 20000; i++)
        seen.insert(nuvexGetErrorString());
    stop = true;
    sleeper.join();
    looker.join();
    for (const std::string &message : seen)
        EXPECT_EQ(allowed.count(message), 1u) << message;
}

TEST(CoreVersion, WritesOneTwoAndSkipsNullPointers)
{
    const struct {
        bool major, minor;
    } cases[] = {{true, true}, {false, true}, {true, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "major " << c.major << " minor " << c.minor);
        ALuint major = 77, minor = 77;
        nuvexGetVersion(c.major ? &major : nullptr, c.minor ? &minor : nullptr);
        EXPECT_EQ(major, c.major ? 1u : 77u);
        EXPECT_EQ(minor, c.minor ? 2u : 77u);
        EXPECT_STREQ(nuvexGetErrorString(), "No error");
    }
}

// ---- Function lookup ------------------------------------------------------------

const char *const ListedFunctions[] = {
    "nuvexGetVersion", "nuvexGetErrorString", "nuvexGetDeviceNames", "nuvexFreeDeviceNames",
    "nuvexInitDevice", "nuvexShutdownDevice", "nuvexGetSampleFormat", "nuvexSleep",
    "nuvexCreateBufferFromFile", "nuvexCreateBufferFromMemory", "nuvexBufferDataFromFile",
    "nuvexBufferDataFromMemory", "nuvexCreateStreamFromFile", "nuvexCreateStreamFromMemory",
    "nuvexCreateStreamFromStaticMemory", "nuvexCreateStreamFromCallback", "nuvexGetStreamLength",
    "nuvexRewindStream", "nuvexDestroyStream", "nuvexSetStreamOrder", "nuvexSetStreamPatchset",
    "nuvexInstallDecodeCallbacks", "nuvexSetIOCallbacks", "nuvexGetProcAddress",
    "nuvexPlaySourceStream", "nuvexPlaySource", "nuvexStopSource",
};

// Exported, but deliberately not offered by name.
const char *const UnlistedFunctions[] = {
    "nuvexStreamSizeIsMicroSec", "nuvexGetStreamFrequency", "nuvexBufferDataFromStream",
    "nuvexPauseSource",          "nuvexResumeSource",       "nuvexUpdate",
    "nuvexUpdateInterval",
};

TEST(CoreProcAddress, ListedNamesGiveTheExportedFunctionOthersAreNotFound)
{
    void *library = dlopen(NUVEX_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(library, nullptr) << dlerror();
    std::set<void *> distinct;
    for (const char *name : ListedFunctions) {
        SCOPED_TRACE(name);
        void *exported = dlsym(library, name);
        ASSERT_NE(exported, nullptr);
        EXPECT_EQ(nuvexGetProcAddress(name), exported);
        distinct.insert(exported);
    }
    EXPECT_EQ(distinct.size(), std::size(ListedFunctions));
    EXPECT_STREQ(nuvexGetErrorString(), "No error");

    std::vector<std::string> names(std::begin(UnlistedFunctions), std::end(UnlistedFunctions));
    for (const char *name : UnlistedFunctions)
        EXPECT_NE(dlsym(library, name), nullptr) << name << " should still be exported";
    names.insert(names.end(), {"nuvexsleep", "nuvexSleep ", "nuvexSlee", "nuvexSleepX",
                               "alGetError", "UsingSTDIO", ""});
    for (const std::string &name : names) {
        SCOPED_TRACE("\"" + name + "\"");
        EXPECT_EQ(nuvexGetProcAddress(name.c_str()), nullptr);
        EXPECT_STREQ(nuvexGetErrorString(), "Function not found");
    }
    dlclose(library);
}

} // namespace
