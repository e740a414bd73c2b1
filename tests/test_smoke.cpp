#include "support.h"

#include <gtest/gtest.h>

TEST(Smoke, WavMemoryImageLoadsAndRendersExactly)
{
    nvt::LoopbackDevice dev(ALC_STEREO_SOFT, 44100);
    ASSERT_TRUE(dev.ok());
    auto samples = nvt::Ramp16(4000, 2);
    auto wav = nvt::MakeWav({}, nvt::Bytes16(samples));
    ALuint buffer = nuvexCreateBufferFromMemory(wav.data(), ALsizei(wav.size()));
    ASSERT_NE(buffer, 0u) << nvt::LastError();
    ALint size = 0;
    alGetBufferi(buffer, AL_SIZE, &size);
    EXPECT_EQ(size, 16000);
    ALuint source = nvt::MakeDirectSource();
    alSourcei(source, AL_BUFFER, ALint(buffer));
    alSourcePlay(source);
    auto out = dev.Render(4000);
    EXPECT_EQ(out, nvt::ToFloat(samples));
    alDeleteSources(1, &source);
    alDeleteBuffers(1, &buffer);
}
