// Inputs the fuzzers found, kept as they were found to matter.
#include "hardening.h"
#include "media.h"
#include "support.h"

#include <gtest/gtest.h>

// A seekable chained Ogg file whose second link has a first page and
// nothing more. libvorbisfile (1.3.7) refuses the whole file, and on the way
// out of its link bisection it leaks its list of serial numbers (8 bytes):
// nothing we can check cheaply before the hand-over would tell, so the leak
// is tolerated here and in the fuzz runs. What must hold is ours: the file
// is declined like any other unknown input, with no crash, no stream left
// behind and no OpenAL error pending.
TEST(RegressDecoders, ChainedOggWithBrokenSecondLink)
{
    nvt::LoopbackDevice dev;
    ASSERT_TRUE(dev.ok());
    auto first = nvmedia::EncodeOgg(nvmedia::Tones16(4410, 44100, {440, 660}, 8000), 2, 44100,
                                    0.4f, 1);
    auto second = nvmedia::EncodeOgg(nvmedia::Tones16(2205, 22050, {330}, 8000), 1, 22050,
                                     0.4f, 2);
    auto image = first;
    auto page = nvh::FirstOggPage(second);
    image.insert(image.end(), page.begin(), page.end());

    nvh::WithoutLeakChecks([&] {
        ALuint bufs[2] = {};
        nuvexStream *stream =
            nuvexCreateStreamFromMemory(image.data(), ALuint(image.size()), 4096, 2, bufs);
        EXPECT_EQ(stream, nullptr);
        EXPECT_EQ(nvt::LastError(), "Unsupported type");
        EXPECT_EQ(nuvexCreateBufferFromMemory(image.data(), ALsizei(image.size())), 0u);
        EXPECT_EQ(nvt::LastError(), "Unsupported type");
    });
    EXPECT_EQ(alGetError(), AL_NO_ERROR);

    // The same first link alone still plays.
    ALuint buffer = nuvexCreateBufferFromMemory(first.data(), ALsizei(first.size()));
    EXPECT_NE(buffer, 0u) << nvt::LastError();
    alDeleteBuffers(1, &buffer);
}

// Text that libmodplug takes for an ABC tune (found by the AIFF stream
// fuzzer: every other decoder declines it, so the module decoder hands it
// over). libmodplug 0.8.9's ABC loader leaks on such tunes, which is
// tolerated here and in the fuzz runs; what must hold is ours: the tune
// plays, rewinds and is destroyed like any module, with no OpenAL error.
TEST(RegressDecoders, TextTakenForAnAbcTune)
{
    nvt::LoopbackDevice dev;
    ASSERT_TRUE(dev.ok());
    std::vector<uint8_t> image = {'K', ':', 'A', 'L', '_', 'F', 'O', 'R', 'M', 'A', 'T', '_', 'S'};
    image.insert(image.end(), 24, 0xC3);
    nvh::WithoutLeakChecks([&] {
        ALuint bufs[2] = {};
        nuvexStream *stream =
            nuvexCreateStreamFromMemory(image.data(), ALuint(image.size()), 4096, 2, bufs);
        ASSERT_NE(stream, nullptr) << nvt::LastError();
        EXPECT_EQ(nuvexGetStreamFrequency(stream), 44100);
        EXPECT_GE(nuvexBufferDataFromStream(stream, 2, bufs), 0);
        EXPECT_TRUE(nuvexRewindStream(stream)) << nvt::LastError();
        EXPECT_TRUE(nuvexDestroyStream(stream, 2, bufs));
    });
    EXPECT_EQ(alGetError(), AL_NO_ERROR);
}
