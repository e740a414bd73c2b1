#include "codecs.h"

#include <gtest/gtest.h>
#include <libmodplug/modplug.h>
#include <vorbis/vorbisfile.h>

#include <cstring>
#include <random>
#include <stdexcept>

namespace nvc {

namespace {
size_t FramesOf(const BufferInfo &info)
{
    size_t frameBytes = size_t(std::max(info.channels, 0)) * size_t(std::max(info.bits / 8, 0));
    return frameBytes ? size_t(info.size) / frameBytes : 0;
}
} // namespace

std::vector<float> PlayBuffer(nvt::LoopbackDevice &dev, ALuint buffer)
{
    ALuint source = nvt::MakeDirectSource();
    alSourcei(source, AL_BUFFER, ALint(buffer));
    alSourcePlay(source);
    std::vector<float> out = dev.Render(FramesOf(Describe(buffer)));
    alSourceStop(source);
    alDeleteSources(1, &source);
    return out;
}

std::vector<float> LoadAndPlay(nvt::LoopbackDevice &dev, const Bytes &image, BufferInfo *info)
{
    ALuint buffer = nuvexCreateBufferFromMemory(image.data(), ALsizei(image.size()));
    if (info)
        *info = buffer ? Describe(buffer) : BufferInfo{};
    if (!buffer)
        return {};
    std::vector<float> out = PlayBuffer(dev, buffer);
    alDeleteBuffers(1, &buffer);
    return out;
}

std::vector<float> PlayStream(nvt::LoopbackDevice &dev, nuvexStream *stream, int numBufs,
                              size_t maxBatches)
{
    std::vector<ALuint> bufs(size_t(numBufs), 0);
    alGenBuffers(numBufs, bufs.data());
    ALuint source = nvt::MakeDirectSource();
    std::vector<float> out;
    for (size_t batch = 0; batch < maxBatches; batch++) {
        ALsizei filled = nuvexBufferDataFromStream(stream, numBufs, bufs.data());
        if (filled <= 0)
            break;
        size_t frames = 0;
        for (ALsizei i = 0; i < filled; i++)
            frames += FramesOf(Describe(bufs[size_t(i)]));
        alSourceQueueBuffers(source, filled, bufs.data());
        alSourcePlay(source);
        std::vector<float> part = dev.Render(frames);
        out.insert(out.end(), part.begin(), part.end());
        alSourceStop(source);
        alSourcei(source, AL_BUFFER, 0);
    }
    alDeleteSources(1, &source);
    alDeleteBuffers(numBufs, bufs.data());
    return out;
}

namespace {
struct MemoryReader {
    const Bytes *image;
    size_t pos;
};
size_t MemRead(void *ptr, size_t size, size_t nmemb, void *source)
{
    auto *r = static_cast<MemoryReader *>(source);
    if (size == 0)
        return 0;
    size_t n = std::min(nmemb, (r->image->size() - r->pos) / size);
    memcpy(ptr, r->image->data() + r->pos, n * size);
    r->pos += n * size;
    return n;
}
int MemSeek(void *source, ogg_int64_t offset, int whence)
{
    auto *r = static_cast<MemoryReader *>(source);
    ogg_int64_t base = whence == SEEK_SET ? 0
                       : whence == SEEK_CUR ? ogg_int64_t(r->pos)
                       : ogg_int64_t(r->image->size());
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END)
        return -1;
    ogg_int64_t to = base + offset;
    if (to < 0 || to > ogg_int64_t(r->image->size()))
        return -1;
    r->pos = size_t(to);
    return 0;
}
long MemTell(void *source) { return long(static_cast<MemoryReader *>(source)->pos); }
} // namespace

std::vector<int16_t> VorbisfileDecode(const Bytes &image, size_t requestBytes)
{
    MemoryReader reader{&image, 0};
    OggVorbis_File vf;
    const ov_callbacks io = {MemRead, MemSeek, nullptr, MemTell};
    if (ov_open_callbacks(&reader, &vf, nullptr, 0, io) != 0)
        throw std::runtime_error("libvorbisfile cannot open the image");
    const uint16_t one = 1;
    const int bigEndian = *reinterpret_cast<const uint8_t *>(&one) == 0;
    std::vector<int16_t> out;
    std::vector<char> chunk(requestBytes);
    int section = 0;
    for (;;) {
        long got = ov_read(&vf, chunk.data(), int(chunk.size()), bigEndian, 2, 1, &section);
        if (got <= 0)
            break;
        size_t old = out.size();
        out.resize(old + size_t(got) / 2);
        memcpy(out.data() + old, chunk.data(), size_t(got));
    }
    ov_clear(&vf);
    return out;
}

void FreshModPlugMixer(const Bytes &image)
{
    ModPlug_Settings settings;
    ModPlug_GetSettings(&settings);
    ModPlug_Settings other = settings;
    other.mFrequency = settings.mFrequency == 22050 ? 11025 : 22050;
    ModPlug_SetSettings(&other);
    Bytes copy(image);
    ModPlugFile *module = ModPlug_Load(copy.data(), int(copy.size()));
    ModPlug_SetSettings(&settings);
    if (!module)
        throw std::runtime_error("libmodplug cannot load the image");
    ModPlug_Unload(module);
}

std::vector<int16_t> ModPlugRender(const Bytes &image, size_t requestBytes, int order,
                                   size_t maxBytes)
{
    FreshModPlugMixer(image);
    Bytes copy(image);
    ModPlugFile *module = ModPlug_Load(copy.data(), int(copy.size()));
    if (!module)
        throw std::runtime_error("libmodplug cannot load the image");
    if (order >= 0)
        ModPlug_SeekOrder(module, order);
    std::vector<int16_t> out;
    std::vector<int16_t> chunk(requestBytes / 2);
    while (out.size() * 2 < maxBytes) {
        int got = ModPlug_Read(module, chunk.data(), int(requestBytes));
        if (got <= 0)
            break;
        out.insert(out.end(), chunk.begin(), chunk.begin() + got / 2);
    }
    ModPlug_Unload(module);
    if (out.size() * 2 > maxBytes)
        out.resize(maxBytes / 2);
    return out;
}

Bytes Mutate(const Bytes &image, uint32_t seed, int edits)
{
    std::mt19937 rng(seed);
    Bytes out(image);
    if (out.empty())
        return out;
    for (int i = 0; i < edits; i++) {
        size_t at = rng() % out.size();
        switch (rng() % 4) {
        case 0: out[at] = uint8_t(rng()); break;              // any byte
        case 1: out[at] ^= uint8_t(1u << (rng() % 8)); break; // one bit
        case 2: out[at] = (rng() & 1) ? 0xFF : 0x00; break;   // extremes
        default:                                              // a 32-bit field
            for (size_t k = 0; k < 4 && at + k < out.size(); k++)
                out[at + k] = (rng() & 1) ? 0x7F : 0xFF;
            break;
        }
    }
    return out;
}

size_t LoadDamaged(const Bytes &image, size_t step, uint32_t mutations, uint32_t seed,
                   size_t headBytes)
{
    size_t loaded = 0;
    auto load = [&](const Bytes &bytes) {
        ALuint buffer = nuvexCreateBufferFromMemory(bytes.data(), ALsizei(bytes.size()));
        if (buffer) {
            loaded++;
            alDeleteBuffers(1, &buffer);
        }
        nvt::LastError();
        EXPECT_EQ(alGetError(), AL_NO_ERROR) << "a failed load left an OpenAL error";
    };
    for (size_t keep = 0; keep < image.size(); keep += keep < 64 ? 1 : step)
        load(Bytes(image.begin(), image.begin() + std::ptrdiff_t(keep)));
    const size_t head = headBytes ? std::min(headBytes, image.size()) : image.size();
    for (uint32_t i = 1; i <= mutations; i++) {
        Bytes damaged = Mutate(Bytes(image.begin(), image.begin() + std::ptrdiff_t(head)),
                               seed * 7919u + i, 1 + int(i % 8));
        damaged.insert(damaged.end(), image.begin() + std::ptrdiff_t(head), image.end());
        load(damaged);
    }
    return loaded;
}

} // namespace nvc
