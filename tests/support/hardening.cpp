#include "hardening.h"

#include "support.h"

#include <gtest/gtest.h>

#include <stdexcept>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace nvh {

void RunMisuseTable(const std::vector<Misuse> &rows, bool openalClean)
{
    for (const Misuse &row : rows) {
        SCOPED_TRACE(row.what);
        alGetError();
        nuvexGetErrorString();
        EXPECT_EQ(row.call(), row.result);
        EXPECT_EQ(nvt::LastError(), row.message);
        if (openalClean) {
            EXPECT_EQ(alGetError(), AL_NO_ERROR) << "an OpenAL error was left pending";
        }
    }
}

std::vector<uint8_t> SmallWav(size_t frames)
{
    return nvt::MakeWav({}, nvt::Bytes16(nvt::Ramp16(frames, 2)));
}

nuvexStream *DestroyedStreamHandle()
{
    auto wav = SmallWav(64);
    nuvexStream *stream =
        nuvexCreateStreamFromMemory(wav.data(), ALuint(wav.size()), 256, 0, nullptr);
    EXPECT_NE(stream, nullptr) << nvt::LastError();
    EXPECT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
    return stream;
}

ALuint UnusedBufferName()
{
    ALuint name = 0x7A11;
    while (alIsBuffer(name))
        name++;
    return name;
}

ALuint UnusedSourceName()
{
    ALuint name = 0x5EED;
    while (alIsSource(name))
        name++;
    return name;
}

std::vector<uint8_t> FirstOggPage(const std::vector<uint8_t> &ogg)
{
    if (ogg.size() < 27 || ogg[0] != 'O' || ogg[1] != 'g' || ogg[2] != 'g' || ogg[3] != 'S')
        throw std::invalid_argument("not an Ogg page");
    size_t segments = ogg[26], length = 27 + segments;
    for (size_t i = 0; i < segments; i++)
        length += ogg[27 + i];
    return std::vector<uint8_t>(ogg.begin(), ogg.begin() + std::ptrdiff_t(length));
}

void WithoutLeakChecks(const std::function<void()> &body)
{
#if defined(__SANITIZE_ADDRESS__)
    __lsan::ScopedDisabler disabled;
#endif
    body();
}

} // namespace nvh
