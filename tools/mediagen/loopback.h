// A loopback device (ALC_SOFT_loopback): it mixes only when asked, so what it
// renders is exactly what its sources play, with no sound card, no real-time
// pacing and no mixing thread competing with the caller. The player renders
// files with it; the tests, benchmarks and fuzz targets get their context
// from it.
#pragma once

#include <AL/alc.h>

#include <cstddef>
#include <vector>

namespace nvmedia {

class Loopback {
public:
    enum class Status { Ok, NoExtension, NoDevice, Unsupported, Refused };

    Loopback() = default;
    // Opened and configured at once; ok() tells whether that worked.
    explicit Loopback(int channels, int rate = 44100, const std::vector<ALCint> &extra = {});
    Loopback(const Loopback &) = delete;
    Loopback &operator=(const Loopback &) = delete;
    ~Loopback();

    Status Open();
    // (Re)creates the context and makes it current: float samples in
    // OpenAL's layout for `channels` (1, 2, 4, 6, 7 or 8), no HRTF and no
    // limiter, so that the output holds exactly what the sources play; then
    // the `extra` attribute pairs.
    Status Configure(int channels, int rate, const std::vector<ALCint> &extra = {});
    bool ok() const { return context != nullptr; }
    void Render(float *out, size_t frames);
    std::vector<float> Render(size_t frames);
    void Close();

    ALCdevice *device = nullptr;
    ALCcontext *context = nullptr;
    int channels = 0, rate = 0;

private:
    void DropContext();
};

} // namespace nvmedia
