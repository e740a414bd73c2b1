// Shared helpers for the test suite: OpenAL devices (null output and
// loopback rendering), media writers and small utilities.
#pragma once

#include "nuvex.h"

#include <AL/alext.h>

#include <cstdint>
#include <string>
#include <vector>

namespace nvt {

// Opens the default device (the null driver under the test environment)
// with nuvexInitDevice and shuts it down again.
class NullDevice {
public:
    NullDevice();
    ~NullDevice();
    bool ok() const { return ok_; }

private:
    bool ok_;
};

// An ALC_SOFT_loopback device whose output is rendered on demand, current
// for the process while it lives. `channels` is an ALC_*_SOFT layout.
class LoopbackDevice {
public:
    explicit LoopbackDevice(ALCint channels = ALC_STEREO_SOFT, ALCint frequency = 44100);
    ~LoopbackDevice();
    bool ok() const { return context_ != nullptr; }
    int channelCount() const { return channelCount_; }
    ALCdevice *device() const { return device_; }
    ALCcontext *context() const { return context_; }
    // Renders `frames` frames of float samples, interleaved.
    std::vector<float> Render(size_t frames);

private:
    ALCdevice *device_ = nullptr;
    ALCcontext *context_ = nullptr;
    int channelCount_ = 0;
};

// A source set up to play a buffer unchanged on a matching loopback layout.
ALuint MakeDirectSource();

// The ALC_*_SOFT layout whose channel count matches a sound's.
ALCint LayoutForChannels(int channels);

// Converts 16-bit samples to the floats a matching loopback device renders.
std::vector<float> ToFloat(const std::vector<int16_t> &samples);

// ---- Media writers ------------------------------------------------------------

void PutLE16(std::vector<uint8_t> &out, uint32_t v);
void PutLE32(std::vector<uint8_t> &out, uint32_t v);
void PutBE16(std::vector<uint8_t> &out, uint32_t v);
void PutBE32(std::vector<uint8_t> &out, uint32_t v);
void PutTag(std::vector<uint8_t> &out, const char *tag);

// A RIFF/WAVE image: "fmt " (16 bytes, or 18+ with `fmtExtra`) then "data".
struct WavSpec {
    uint16_t formatTag = 1;
    uint16_t channels = 2;
    uint32_t rate = 44100;
    uint16_t bitsPerSample = 16;
    uint16_t blockAlign = 0; // 0: channels * bits / 8
    std::vector<uint8_t> fmtExtra; // appended after a cbSize field when not empty
};
std::vector<uint8_t> MakeWav(const WavSpec &desc, const std::vector<uint8_t> &data);

// Little-endian bytes of 16-bit samples.
std::vector<uint8_t> Bytes16(const std::vector<int16_t> &samples);

// A counter ramp of `frames` frames x `channels` channels: sample i is
// (i * 7 + channel * 1000) wrapped to 16 bits, distinct and easy to follow.
std::vector<int16_t> Ramp16(size_t frames, int channels);

// ---- Files --------------------------------------------------------------------

// A file in a per-process temporary directory, removed at exit.
std::string TempPath(const std::string &name);
void WriteFile(const std::string &path, const std::vector<uint8_t> &bytes);

// Reads and resets the last error, for readable assertions.
std::string LastError();

} // namespace nvt
