// White-box tests of the core's internal routines: block sizes and their
// diagnostic, and the recursive lock. The thread-context probe and rejected
// format candidates are covered by the stand-in OpenAL tests.
#include "core.h"
#include "support.h"
#include "core_capture.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

// Representative rows of each family: the PCM widths, the multichannel
// layouts, the block-compressed format and the companded one.
TEST(CoreFormatSizes, KnownGiveTheirSizesUnknownGiveZeroAndOnlyRateSaysSo)
{
    const struct {
        ALenum format;
        ALuint blockAlign, framesPerBlock;
        const char *printed; // the rate routine's diagnostic, for unknown formats
    } rows[] = {
        {AL_FORMAT_MONO8, 1, 1, nullptr},
        {AL_FORMAT_STEREO16, 4, 1, nullptr},
        {AL_FORMAT_REAR32, 8, 1, nullptr},
        {AL_FORMAT_51CHN16, 12, 1, nullptr},
        {AL_FORMAT_71CHN32, 32, 1, nullptr},
        {AL_FORMAT_STEREO_IMA4, 72, 65, nullptr},
        {AL_FORMAT_STEREO_DOUBLE_EXT, 16, 1, nullptr},
        {AL_FORMAT_61CHN_MULAW, 7, 1, nullptr},
        {0, 0, 0, "0"},
        {AL_FORMAT_QUAD16_LOKI, 0, 0, "0x10005"},
        {0x1104, 0, 0, "0x1104"},
        {-1, 0, 0, "0xffffffff"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << "format 0x" << row.format);
        SetError("sentinel");
        nvt::StderrCapture alignCapture;
        EXPECT_EQ(DetectBlockAlignment(row.format), row.blockAlign);
        EXPECT_EQ(alignCapture.Finish(), "");
        nvt::StderrCapture rateCapture;
        EXPECT_EQ(DetectCompressionRate(row.format), row.framesPerBlock);
        EXPECT_EQ(rateCapture.Finish(), row.printed ? std::string("Nuvex lib: Unhandled format: ") +
                                                          row.printed + "\n"
                                                    : std::string());
        EXPECT_STREQ(nuvexGetErrorString(), "sentinel");
    }
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
    EXPECT_FALSE(OtherThreadCanTake(&cs_StreamPlay));
    LeaveCriticalSection(&cs_StreamPlay);
    EXPECT_TRUE(OtherThreadCanTake(&cs_StreamPlay));

    {
        StreamPlayLock outer;
        StreamPlayLock inner;
        EXPECT_EQ(StreamPlayDepth(), 2);
    }
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

} // namespace
