// nuvexGetSampleFormat against OpenAL Soft, which offers every extension the
// lookup asks about; the stand-in OpenAL tests cover implementations without.
#include "support.h"

#include <gtest/gtest.h>

namespace {

void RaiseOpenALError()
{
    ALuint bogus = 0x7fffffff;
    alDeleteBuffers(1, &bogus); // AL_INVALID_NAME, left pending
}

class CoreSampleFormat : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(device.ok()) << nvt::LastError(); }
    nvt::NullDevice device;
};

TEST_F(CoreSampleFormat, EveryRequestGivesItsFormatOrItsMessage)
{
    const struct {
        ALuint channels, bits, floatbits;
        const char *format;  // the name whose value is expected, or null
        const char *message; // the last error afterwards
    } cases[] = {
        {1, 8, 0, "AL_FORMAT_MONO8", "No error"},
        {4, 8, 0, "AL_FORMAT_QUAD8", "No error"},
        {7, 8, 0, "AL_FORMAT_61CHN8", "No error"},
        {2, 16, 0, "AL_FORMAT_STEREO16", "No error"},
        {8, 16, 0, "AL_FORMAT_71CHN16", "No error"},
        {2, 0, 32, "AL_FORMAT_STEREO_FLOAT32", "No error"},
        {6, 0, 32, "AL_FORMAT_51CHN32", "No error"},
        {1, 0, 64, "AL_FORMAT_MONO_DOUBLE_EXT", "No error"},
        {2, 0, 64, "AL_FORMAT_STEREO_DOUBLE_EXT", "No error"},
        {0, 8, 0, nullptr, "Unsupported 8-bit channel count\n"},
        {9, 8, 0, nullptr, "Unsupported 8-bit channel count\n"},
        {3, 16, 0, nullptr, "Unsupported 16-bit channel count\n"},
        {2, 24, 0, nullptr, "Unsupported PCM bit depth\n"},
        {1, 4, 0, nullptr, "Unsupported PCM bit depth\n"},
        {5, 0, 32, nullptr, "Unsupported float32 channel count\n"},
        {4, 0, 64, nullptr, "Unsupported double channel count\n"},
        {1, 0, 16, nullptr, "Unsupported float bit depth\n"},
        {1, 0, 0, nullptr, "Unsupported float bit depth\n"},
        {2, 16, 32, nullptr, "Both bit-types specified"},
        {3, 24, 16, nullptr, "Both bit-types specified"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, bits " << c.bits
                                        << ", float bits " << c.floatbits);
        ALenum expected = c.format ? alGetEnumValue(c.format) : 0;
        ASSERT_EQ(alGetError(), AL_NO_ERROR);
        ASSERT_EQ(expected != 0, c.format != nullptr);
        EXPECT_EQ(nuvexGetSampleFormat(c.channels, c.bits, c.floatbits), expected);
        EXPECT_STREQ(nuvexGetErrorString(), c.message);
        EXPECT_EQ(alGetError(), AL_NO_ERROR);
    }
}

// A pending error is reported before the bit depths are looked at, and the
// check consumes it, so the next call works again.
TEST_F(CoreSampleFormat, PendingErrorIsReportedFirstAndConsumed)
{
    const struct {
        ALuint channels, bits, floatbits;
    } cases[] = {{2, 16, 0}, {2, 16, 32}, {3, 24, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << "/" << c.bits << "/" << c.floatbits);
        RaiseOpenALError();
        EXPECT_EQ(nuvexGetSampleFormat(c.channels, c.bits, c.floatbits), AL_NONE);
        EXPECT_STREQ(nuvexGetErrorString(), "Existing OpenAL error");
        EXPECT_EQ(alGetError(), AL_NO_ERROR);
    }
    EXPECT_EQ(nuvexGetSampleFormat(2, 16, 0), AL_FORMAT_STEREO16);
    EXPECT_STREQ(nuvexGetErrorString(), "No error");
}

} // namespace
