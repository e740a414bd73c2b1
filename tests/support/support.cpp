#include "support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace nvt {

NullDevice::NullDevice() : ok_(nuvexInitDevice(nullptr, nullptr) == AL_TRUE) {}

NullDevice::~NullDevice()
{
    if (ok_)
        nuvexShutdownDevice();
}

namespace {
int ChannelsOfLayout(ALCint layout)
{
    switch (layout) {
    case ALC_MONO_SOFT: return 1;
    case ALC_STEREO_SOFT: return 2;
    case ALC_QUAD_SOFT: return 4;
    case ALC_5POINT1_SOFT: return 6;
    case ALC_6POINT1_SOFT: return 7;
    case ALC_7POINT1_SOFT: return 8;
    default: return 0;
    }
}

template <typename T>
T AlcProc(const char *name)
{
    return reinterpret_cast<T>(alcGetProcAddress(nullptr, name));
}
} // namespace

LoopbackDevice::LoopbackDevice(ALCint channels, ALCint frequency)
    : channelCount_(ChannelsOfLayout(channels))
{
    auto open = AlcProc<LPALCLOOPBACKOPENDEVICESOFT>("alcLoopbackOpenDeviceSOFT");
    if (!open)
        return;
    device_ = open(nullptr);
    if (!device_)
        return;
    const ALCint attrs[] = {ALC_FORMAT_CHANNELS_SOFT, channels, ALC_FORMAT_TYPE_SOFT,
                            ALC_FLOAT_SOFT, ALC_FREQUENCY, frequency, ALC_HRTF_SOFT, ALC_FALSE,
                            ALC_OUTPUT_LIMITER_SOFT, ALC_FALSE, 0};
    context_ = alcCreateContext(device_, attrs);
    if (context_)
        alcMakeContextCurrent(context_);
}

LoopbackDevice::~LoopbackDevice()
{
    if (context_) {
        if (alcGetCurrentContext() == context_)
            alcMakeContextCurrent(nullptr);
        alcDestroyContext(context_);
    }
    if (device_)
        alcCloseDevice(device_);
}

std::vector<float> LoopbackDevice::Render(size_t frames)
{
    static auto render = AlcProc<LPALCRENDERSAMPLESSOFT>("alcRenderSamplesSOFT");
    std::vector<float> out(frames * size_t(channelCount_));
    if (frames)
        render(device_, out.data(), ALCsizei(frames));
    return out;
}

ALuint MakeDirectSource()
{
    ALuint source = 0;
    alGenSources(1, &source);
    alSourcei(source, AL_DIRECT_CHANNELS_SOFT, AL_TRUE);
    return source;
}

ALCint LayoutForChannels(int channels)
{
    switch (channels) {
    case 1: return ALC_MONO_SOFT;
    case 2: return ALC_STEREO_SOFT;
    case 4: return ALC_QUAD_SOFT;
    case 6: return ALC_5POINT1_SOFT;
    case 7: return ALC_6POINT1_SOFT;
    case 8: return ALC_7POINT1_SOFT;
    default: throw std::invalid_argument("no loopback layout for this channel count");
    }
}

std::vector<float> ToFloat(const std::vector<int16_t> &samples)
{
    std::vector<float> out(samples.size());
    for (size_t i = 0; i < samples.size(); i++)
        out[i] = float(samples[i]) / 32768.0f;
    return out;
}

void PutLE16(std::vector<uint8_t> &out, uint32_t v)
{
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}
void PutLE32(std::vector<uint8_t> &out, uint32_t v)
{
    PutLE16(out, v & 0xFFFF);
    PutLE16(out, v >> 16);
}
void PutBE16(std::vector<uint8_t> &out, uint32_t v)
{
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}
void PutBE32(std::vector<uint8_t> &out, uint32_t v)
{
    PutBE16(out, v >> 16);
    PutBE16(out, v & 0xFFFF);
}
void PutTag(std::vector<uint8_t> &out, const char *tag) { out.insert(out.end(), tag, tag + 4); }

std::vector<uint8_t> MakeWav(const WavSpec &desc, const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> fmt;
    PutLE16(fmt, desc.formatTag);
    PutLE16(fmt, desc.channels);
    PutLE32(fmt, desc.rate);
    uint16_t align = desc.blockAlign ? desc.blockAlign
                                     : uint16_t(desc.channels * desc.bitsPerSample / 8);
    PutLE32(fmt, desc.rate * align);
    PutLE16(fmt, align);
    PutLE16(fmt, desc.bitsPerSample);
    if (!desc.fmtExtra.empty()) {
        PutLE16(fmt, uint32_t(desc.fmtExtra.size()));
        fmt.insert(fmt.end(), desc.fmtExtra.begin(), desc.fmtExtra.end());
    }
    std::vector<uint8_t> out;
    PutTag(out, "RIFF");
    PutLE32(out, uint32_t(4 + 8 + fmt.size() + 8 + data.size() + (data.size() & 1)));
    PutTag(out, "WAVE");
    PutTag(out, "fmt ");
    PutLE32(out, uint32_t(fmt.size()));
    out.insert(out.end(), fmt.begin(), fmt.end());
    if (fmt.size() & 1)
        out.push_back(0);
    PutTag(out, "data");
    PutLE32(out, uint32_t(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    if (data.size() & 1)
        out.push_back(0);
    return out;
}

std::vector<uint8_t> Bytes16(const std::vector<int16_t> &samples)
{
    std::vector<uint8_t> out;
    out.reserve(samples.size() * 2);
    for (int16_t s : samples)
        PutLE16(out, uint16_t(s));
    return out;
}

std::vector<int16_t> Ramp16(size_t frames, int channels)
{
    std::vector<int16_t> out(frames * size_t(channels));
    for (size_t i = 0; i < frames; i++)
        for (int c = 0; c < channels; c++)
            out[i * size_t(channels) + size_t(c)] = int16_t(uint16_t(i * 7 + size_t(c) * 1000));
    return out;
}

namespace {
struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/nuvex-test-XXXXXX";
        if (!mkdtemp(tmpl))
            throw std::runtime_error("mkdtemp failed");
        path = tmpl;
    }
    ~TempDir()
    {
        std::string cmd = "rm -rf '" + path + "'";
        if (system(cmd.c_str()) != 0) {
        }
    }
};
} // namespace

std::string TempPath(const std::string &name)
{
    static TempDir dir;
    return dir.path + "/" + name;
}

void WriteFile(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::string LastError() { return nuvexGetErrorString(); }

} // namespace nvt
