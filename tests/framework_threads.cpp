// Several application threads loading sounds and creating and destroying
// streams at once, as ordinary programs do. Also run under ThreadSanitizer.
#include "support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

std::atomic<int> Opens{0}, Closes{0};

// An application decoder that is safe to use from several threads: all its
// state lives in the handle.
struct Handle {
    size_t pos = 0;
};
const size_t DecodedBytes = 6000;
void *OpenMem(const ALubyte *data, ALuint length)
{
    if (length < 4 || memcmp(data, "NVXT", 4) != 0)
        return nullptr;
    Opens++;
    return new Handle;
}
ALboolean GetFormat(void *, ALenum *format, ALuint *rate, ALuint *block)
{
    *format = AL_FORMAT_MONO16;
    *rate = 8000;
    *block = 2;
    return AL_TRUE;
}
ALuint Decode(void *handle, ALubyte *buf, ALuint bytes)
{
    auto *h = static_cast<Handle *>(handle);
    size_t n = std::min<size_t>({bytes, DecodedBytes - h->pos, 999});
    memset(buf, int(h->pos & 0x7F), n);
    h->pos += n;
    return ALuint(n);
}
void Close(void *handle)
{
    Closes++;
    delete static_cast<Handle *>(handle);
}

ALuint Counter(void *userdata, ALubyte *data, ALuint bytes)
{
    auto *left = static_cast<ALuint *>(userdata);
    ALuint n = std::min(bytes, *left);
    memset(data, 1, n);
    *left -= n;
    return n;
}

} // namespace

TEST(FrameworkThreads, ThreadsLoadAndStreamAtOnce)
{
    nvt::NullDevice device;
    ASSERT_TRUE(device.ok());
    ASSERT_TRUE(nuvexInstallDecodeCallbacks(-1, nullptr, OpenMem, GetFormat, Decode, nullptr,
                                            Close));
    const std::vector<uint8_t> wav = nvt::MakeWav({}, nvt::Bytes16(nvt::Ramp16(3000, 2)));
    const ALubyte tagged[8] = {'N', 'V', 'X', 'T'};
    const int threads = 4, rounds = 300;
    std::atomic<int> failures{0};

    auto work = [&]() {
        for (int round = 0; round < rounds; round++) {
            ALint size = 0;
            ALuint buffer = nuvexCreateBufferFromMemory(wav.data(), ALsizei(wav.size()));
            alGetBufferi(buffer, AL_SIZE, &size);
            failures += buffer == 0 || size != 12000;
            alDeleteBuffers(1, &buffer);

            buffer = nuvexCreateBufferFromMemory(tagged, sizeof tagged);
            size = 0;
            alGetBufferi(buffer, AL_SIZE, &size);
            failures += buffer == 0 || size != ALint(DecodedBytes);
            alDeleteBuffers(1, &buffer);

            ALuint bufs[2];
            nuvexStream *fromMemory =
                nuvexCreateStreamFromMemory(wav.data(), ALuint(wav.size()), 4000, 2, bufs);
            ALuint left = 5000;
            nuvexStream *fromCallback =
                nuvexCreateStreamFromCallback(Counter, &left, AL_FORMAT_MONO8, 8000, 1000, 0,
                                              nullptr);
            failures += fromMemory == nullptr || fromCallback == nullptr;
            failures += nuvexBufferDataFromStream(fromCallback, 2, bufs) != 2;
            failures += !nuvexDestroyStream(fromCallback, 0, nullptr);
            failures += !nuvexDestroyStream(fromMemory, 2, bufs);
        }
    };
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; i++)
        pool.emplace_back(work);
    for (std::thread &t : pool)
        t.join();

    EXPECT_EQ(failures.load(), 0) << nvt::LastError();
    EXPECT_EQ(Opens.load(), threads * rounds);
    EXPECT_EQ(Closes.load(), Opens.load());
}
