#include "loopback.h"

#include <AL/alext.h>

namespace nvmedia {

namespace {
template <typename T>
T AlcProc(const char *name)
{
    return reinterpret_cast<T>(alcGetProcAddress(nullptr, name));
}

ALCenum LayoutFor(int channels)
{
    switch (channels) {
    case 1: return ALC_MONO_SOFT;
    case 2: return ALC_STEREO_SOFT;
    case 4: return ALC_QUAD_SOFT;
    case 6: return ALC_5POINT1_SOFT;
    case 7: return ALC_6POINT1_SOFT;
    case 8: return ALC_7POINT1_SOFT;
    default: return 0;
    }
}
} // namespace

Loopback::Loopback(int channels, int rate, const std::vector<ALCint> &extra)
{
    if (Open() == Status::Ok)
        Configure(channels, rate, extra);
}

Loopback::~Loopback() { Close(); }

Loopback::Status Loopback::Open()
{
    auto open = AlcProc<LPALCLOOPBACKOPENDEVICESOFT>("alcLoopbackOpenDeviceSOFT");
    if (!alcIsExtensionPresent(nullptr, "ALC_SOFT_loopback") || !open ||
        !AlcProc<LPALCRENDERSAMPLESSOFT>("alcRenderSamplesSOFT"))
        return Status::NoExtension;
    device = open(nullptr);
    return device ? Status::Ok : Status::NoDevice;
}

Loopback::Status Loopback::Configure(int channels, int rate, const std::vector<ALCint> &extra)
{
    DropContext();
    const ALCenum layout = LayoutFor(channels);
    auto supported = AlcProc<LPALCISRENDERFORMATSUPPORTEDSOFT>("alcIsRenderFormatSupportedSOFT");
    if (!device || !layout || !supported || !supported(device, rate, layout, ALC_FLOAT_SOFT))
        return Status::Unsupported;
    std::vector<ALCint> attrs = {ALC_FORMAT_CHANNELS_SOFT, layout, ALC_FORMAT_TYPE_SOFT, ALC_FLOAT_SOFT,
                                 ALC_FREQUENCY, rate, ALC_HRTF_SOFT, ALC_FALSE, ALC_OUTPUT_LIMITER_SOFT, ALC_FALSE};
    attrs.insert(attrs.end(), extra.begin(), extra.end());
    attrs.push_back(0);
    context = alcCreateContext(device, attrs.data());
    if (!context || !alcMakeContextCurrent(context)) {
        DropContext();
        return Status::Refused;
    }
    this->channels = channels;
    this->rate = rate;
    return Status::Ok;
}

void Loopback::Render(float *out, size_t frames)
{
    static const auto render = AlcProc<LPALCRENDERSAMPLESSOFT>("alcRenderSamplesSOFT");
    if (frames)
        render(device, out, ALCsizei(frames));
}

std::vector<float> Loopback::Render(size_t frames)
{
    std::vector<float> out(frames * size_t(channels));
    Render(out.data(), frames);
    return out;
}

void Loopback::DropContext()
{
    if (context && alcGetCurrentContext() == context)
        alcMakeContextCurrent(nullptr);
    if (context)
        alcDestroyContext(context);
    context = nullptr;
}

void Loopback::Close()
{
    DropContext();
    if (device)
        alcCloseDevice(device);
    device = nullptr;
}

} // namespace nvmedia
