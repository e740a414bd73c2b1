#include "playback.h"

#include <algorithm>
#include <cstring>

namespace nvt {

RampSound MakeRampSound(size_t frames)
{
    RampSound sound;
    sound.samples = Ramp16(frames, 2);
    sound.wav = MakeWav({}, Bytes16(sound.samples));
    sound.floats = ToFloat(sound.samples);
    return sound;
}

std::vector<float> Repeat(const std::vector<float> &once, int times)
{
    std::vector<float> out;
    for (int i = 0; i < times; i++)
        out.insert(out.end(), once.begin(), once.end());
    return out;
}

std::vector<float> Part(const std::vector<float> &v, size_t from, size_t to)
{
    return std::vector<float>(v.begin() + long(from), v.begin() + long(std::min(to, v.size())));
}

::testing::AssertionResult SameSamples(const std::vector<float> &got, size_t offset,
                                       const std::vector<float> &want)
{
    if (offset + want.size() > got.size())
        return ::testing::AssertionFailure()
               << "only " << got.size() << " samples rendered, need " << offset + want.size();
    for (size_t i = 0; i < want.size(); i++)
        if (got[offset + i] != want[i])
            return ::testing::AssertionFailure()
                   << "sample " << offset + i << " is " << got[offset + i] * 32768.0f
                   << ", expected " << want[i] * 32768.0f << " (index " << i
                   << " of the expected run)";
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult Silent(const std::vector<float> &got, size_t from, size_t to)
{
    for (size_t i = from; i < to && i < got.size(); i++)
        if (got[i] != 0.0f)
            return ::testing::AssertionFailure()
                   << "sample " << i << " is " << got[i] * 32768.0f << ", expected silence";
    return ::testing::AssertionSuccess();
}

void EndLog::Callback(void *self, ALuint source)
{
    EndLog *log = static_cast<EndLog *>(self);
    log->source = source;
    if (log->clock)
        log->atFrame = *log->clock;
    if (log->then)
        log->then(source);
    log->calls++; // last: a thread that sees the count sees what came before
}

void PlayDriver::Step(size_t count)
{
    std::vector<float> block = dev.Render(count ? count : step);
    out.insert(out.end(), block.begin(), block.end());
    frames += count ? count : step;
    nuvexUpdate();
}

bool PlayDriver::RunUntil(const std::function<bool()> &done, size_t maxFrames)
{
    while (frames < maxFrames) {
        Step();
        if (done())
            return true;
    }
    return false;
}

ALuint ByteFeed::Callback(void *self, ALubyte *data, ALuint count)
{
    ByteFeed *feed = static_cast<ByteFeed *>(self);
    feed->calls++;
    feed->lastRequest = count;
    size_t n = std::min(size_t(count), feed->bytes.size() - feed->pos);
    std::copy_n(feed->bytes.data() + feed->pos, n, data);
    feed->pos += n;
    return ALuint(n);
}

namespace {
struct FakeHandle {
    FakeImage image;
    size_t pos = 0;
    bool rewound = false;
};

void *FakeOpenMem(const ALubyte *data, ALuint length)
{
    FakeImage probe;
    if (length != sizeof(FakeImage) || memcmp(data, probe.magic, sizeof probe.magic) != 0)
        return nullptr;
    auto *handle = new FakeHandle;
    memcpy(static_cast<void *>(&handle->image), data, sizeof(FakeImage));
    return handle;
}

ALboolean FakeGetFormat(void *h, ALenum *format, ALuint *freq, ALuint *blockSize)
{
    const FakeImage &image = static_cast<FakeHandle *>(h)->image;
    *format = image.format;
    *freq = image.freq;
    *blockSize = image.blockSize;
    return AL_TRUE;
}

ALuint FakeDecode(void *h, ALubyte *out, ALuint count)
{
    auto *handle = static_cast<FakeHandle *>(h);
    if (handle->rewound && handle->image.emptyAfterRewind)
        return 0;
    size_t n = std::min(size_t(count), handle->image.size - handle->pos);
    std::copy_n(handle->image.data + handle->pos, n, out);
    handle->pos += n;
    return ALuint(n);
}

ALboolean FakeRewind(void *h)
{
    auto *handle = static_cast<FakeHandle *>(h);
    if (handle->image.rewinds && ++*handle->image.rewinds > 100000)
        return AL_FALSE; // a runaway loop: fail instead of hanging the test
    handle->pos = 0;
    handle->rewound = true;
    return AL_TRUE;
}

void FakeClose(void *h)
{
    auto *handle = static_cast<FakeHandle *>(h);
    if (handle->image.closes)
        ++*handle->image.closes;
    delete handle;
}
} // namespace

void InstallFakeDecoder()
{
    nuvexInstallDecodeCallbacks(-42, nullptr, FakeOpenMem, FakeGetFormat, FakeDecode, FakeRewind,
                                FakeClose);
}

std::set<ALuint> LiveBuffers()
{
    std::set<ALuint> names;
    for (ALuint id = 1; id <= 4096; id++)
        if (alIsBuffer(id))
            names.insert(id);
    return names;
}

void RaiseOpenALError() { alSourcePlay(0xDEADBEEF); }

std::vector<float> PlayByHand(LoopbackDevice &dev, nuvexStream *stream, const ALuint *buffers,
                              int count, size_t step)
{
    ALuint source = MakeDirectSource();
    alSourceQueueBuffers(source, count, buffers);
    alSourcePlay(source);
    std::vector<float> out;
    for (;;) {
        std::vector<float> block = dev.Render(step);
        out.insert(out.end(), block.begin(), block.end());
        ALint processed = 0, queued = 0, state = 0;
        alGetSourcei(source, AL_BUFFERS_PROCESSED, &processed);
        while (processed-- > 0) {
            ALuint buffer = 0;
            alSourceUnqueueBuffers(source, 1, &buffer);
            if (nuvexBufferDataFromStream(stream, 1, &buffer) == 1)
                alSourceQueueBuffers(source, 1, &buffer);
        }
        alGetSourcei(source, AL_BUFFERS_QUEUED, &queued);
        alGetSourcei(source, AL_SOURCE_STATE, &state);
        if (queued == 0)
            break;
        if (state != AL_PLAYING) // ran dry: the gap shows up in the output
            alSourcePlay(source);
    }
    alDeleteSources(1, &source);
    return out;
}

} // namespace nvt
