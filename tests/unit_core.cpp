// White-box tests of the core's internal routines: block sizes of the known
// formats and their diagnostic, format lookup with an OpenAL error pending,
// the recursive lock and the thread-local-context entry points.
#include "core.h"
#include "support.h"
#include "core_capture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

namespace {

struct FormatSizes {
    ALenum format;
    ALuint blockAlign;
    ALuint framesPerBlock;
};

// Every format the size routines know, from the public OpenAL headers.
const FormatSizes KnownFormats[] = {
    {AL_FORMAT_MONO8, 1, 1},
    {AL_FORMAT_MONO16, 2, 1},
    {AL_FORMAT_STEREO8, 2, 1},
    {AL_FORMAT_STEREO16, 4, 1},
    {AL_FORMAT_QUAD8, 4, 1},
    {AL_FORMAT_QUAD16, 8, 1},
    {AL_FORMAT_QUAD32, 16, 1},
    {AL_FORMAT_REAR8, 2, 1},
    {AL_FORMAT_REAR16, 4, 1},
    {AL_FORMAT_REAR32, 8, 1},
    {AL_FORMAT_51CHN8, 6, 1},
    {AL_FORMAT_51CHN16, 12, 1},
    {AL_FORMAT_51CHN32, 24, 1},
    {AL_FORMAT_61CHN8, 7, 1},
    {AL_FORMAT_61CHN16, 14, 1},
    {AL_FORMAT_61CHN32, 28, 1},
    {AL_FORMAT_71CHN8, 8, 1},
    {AL_FORMAT_71CHN16, 16, 1},
    {AL_FORMAT_71CHN32, 32, 1},
    {AL_FORMAT_MONO_IMA4, 36, 65},
    {AL_FORMAT_STEREO_IMA4, 72, 65},
    {AL_FORMAT_MONO_FLOAT32, 4, 1},
    {AL_FORMAT_STEREO_FLOAT32, 8, 1},
    {AL_FORMAT_MONO_DOUBLE_EXT, 8, 1},
    {AL_FORMAT_STEREO_DOUBLE_EXT, 16, 1},
    {AL_FORMAT_MONO_MULAW, 1, 1},
    {AL_FORMAT_STEREO_MULAW, 2, 1},
    {AL_FORMAT_QUAD_MULAW, 4, 1},
    {AL_FORMAT_REAR_MULAW, 2, 1},
    {AL_FORMAT_51CHN_MULAW, 6, 1},
    {AL_FORMAT_61CHN_MULAW, 7, 1},
    {AL_FORMAT_71CHN_MULAW, 8, 1},
};

TEST(CoreFormatSizes, KnownFormatsHaveTheirSizesAndPrintNothing)
{
    ASSERT_EQ(std::size(KnownFormats), 32u);
    for (const FormatSizes &row : KnownFormats) {
        SCOPED_TRACE(testing::Message() << std::hex << "format 0x" << row.format);
        nvt::StderrCapture capture;
        EXPECT_EQ(DetectBlockAlignment(row.format), row.blockAlign);
        EXPECT_EQ(DetectCompressionRate(row.format), row.framesPerBlock);
        EXPECT_EQ(capture.Finish(), "");
    }
}

TEST(CoreFormatSizes, UnknownFormatsGiveZeroAndOnlyTheRateRoutineSaysSo)
{
    const struct {
        ALenum format;
        const char *printed;
    } unknown[] = {
        {0, "0"},
        {AL_FORMAT_QUAD16_LOKI, "0x10005"},
        {AL_FORMAT_QUAD8_LOKI, "0x10004"},
        {0x1104, "0x1104"},
        {0x1203, "0x1203"},
        {0x1302, "0x1302"},
        {0x10016, "0x10016"},
        {0x10026, "0x10026"},
        {-1, "0xffffffff"},
    };
    for (const auto &row : unknown) {
        SCOPED_TRACE(row.printed);
        SetError("sentinel");
        nvt::StderrCapture alignCapture;
        EXPECT_EQ(DetectBlockAlignment(row.format), 0u);
        EXPECT_EQ(alignCapture.Finish(), "");

        nvt::StderrCapture rateCapture;
        EXPECT_EQ(DetectCompressionRate(row.format), 0u);
        EXPECT_EQ(rateCapture.Finish(),
                  std::string("Nuvex lib: Unhandled format: ") + row.printed + "\n");
        EXPECT_STREQ(nuvexGetErrorString(), "sentinel");
    }
}

void RaiseOpenALError()
{
    ALuint bogus = 0x7fffffff;
    alDeleteBuffers(1, &bogus); // AL_INVALID_NAME, left pending
}

// The lookup's own alGetError reads an error that was pending before it, so
// the first candidate is rejected and the remaining steps still run.
TEST(CoreSampleFormat, PendingErrorRejectsOnlyTheFirstCandidate)
{
    nvt::NullDevice device;
    ASSERT_TRUE(device.ok()) << nvt::LastError();
    ASSERT_TRUE(alIsExtensionPresent("AL_LOKI_quadriphonic"));

    RaiseOpenALError();
    EXPECT_EQ(GetSampleFormat(4, 16, false), alGetEnumValue("AL_FORMAT_QUAD16_LOKI"));
    EXPECT_EQ(alGetError(), AL_NO_ERROR);
    EXPECT_EQ(nvt::LastError(), "No error");

    RaiseOpenALError();
    EXPECT_EQ(GetSampleFormat(2, 16, false), 0);
    EXPECT_EQ(alGetError(), AL_NO_ERROR);
    EXPECT_EQ(nvt::LastError(), "Unsupported 16-bit channel count\n");

    // Without the pending error the same requests take the first candidate.
    EXPECT_EQ(GetSampleFormat(4, 16, false), AL_FORMAT_QUAD16);
    EXPECT_EQ(GetSampleFormat(2, 16, false), AL_FORMAT_STEREO16);
}

bool OtherThreadCanTake(pthread_mutex_t *mutex)
{
    bool took = false;
    std::thread([&] {
        if (pthread_mutex_trylock(mutex) == 0) {
            took = true;
            EXPECT_EQ(StreamPlayDepth(), 0); // trylock bypasses the wrapper's count
            pthread_mutex_unlock(mutex);
        }
    }).join();
    return took;
}

TEST(CoreLock, EnteredTwiceLeftTwiceThenFreeForOthers)
{
    EXPECT_EQ(StreamPlayDepth(), 0);
    EXPECT_TRUE(OtherThreadCanTake(&cs_StreamPlay));

    EnterCriticalSection(&cs_StreamPlay);
    EnterCriticalSection(&cs_StreamPlay); // would deadlock if not recursive
    EXPECT_EQ(StreamPlayDepth(), 2);
    EXPECT_FALSE(OtherThreadCanTake(&cs_StreamPlay));

    // The depth is the calling thread's own.
    int depthElsewhere = -1;
    std::thread([&] { depthElsewhere = StreamPlayDepth(); }).join();
    EXPECT_EQ(depthElsewhere, 0);

    LeaveCriticalSection(&cs_StreamPlay);
    EXPECT_EQ(StreamPlayDepth(), 1);
    EXPECT_FALSE(OtherThreadCanTake(&cs_StreamPlay));
    LeaveCriticalSection(&cs_StreamPlay);
    EXPECT_EQ(StreamPlayDepth(), 0);
    EXPECT_TRUE(OtherThreadCanTake(&cs_StreamPlay));

    {
        StreamPlayLock outer;
        StreamPlayLock inner;
        EXPECT_EQ(StreamPlayDepth(), 2);
    }
    EXPECT_EQ(StreamPlayDepth(), 0);
    EXPECT_TRUE(OtherThreadCanTake(&cs_StreamPlay));
}

TEST(CoreLockDeathTest, BrokenInvariantAbortsOnTheAssertion)
{
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    pthread_mutex_t mutex;
    InitializeCriticalSection(&mutex);
    // Leaving a recursive mutex that this thread does not hold fails (EPERM).
    EXPECT_DEATH(LeaveCriticalSection(&mutex), "nuvex\\.cpp.*ret == 0");
    DeleteCriticalSection(&mutex);
}

// OpenAL Soft offers the extension with both entry points, so the probe at
// load keeps them; the stand-in tests show the other outcomes.
TEST(CoreThreadContext, EntryPointsLoadedFromTheImplementation)
{
    ASSERT_TRUE(alcIsExtensionPresent(nullptr, "ALC_EXT_thread_local_context"));
    EXPECT_EQ(reinterpret_cast<void *>(palcSetThreadContext),
              alcGetProcAddress(nullptr, "alcSetThreadContext"));
    EXPECT_EQ(reinterpret_cast<void *>(palcGetThreadContext),
              alcGetProcAddress(nullptr, "alcGetThreadContext"));
    EXPECT_NE(palcSetThreadContext, nullptr);
}

} // namespace
