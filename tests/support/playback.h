// Helpers for the streaming and playback tests: ramp sounds, a counting
// end-of-play callback, a render-and-update driver, a scriptable decoder
// installed through the application decoder interface, and a view of which
// OpenAL buffer names are alive.
#pragma once

#include "support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace nvt {

// A stereo 16-bit counter ramp at 44100 Hz, also as a WAV image and as the
// floats a matching loopback device renders.
struct RampSound {
    std::vector<int16_t> samples;
    std::vector<uint8_t> wav;
    std::vector<float> floats;
};
RampSound MakeRampSound(size_t frames);

// `times` copies of `once`, back to back.
std::vector<float> Repeat(const std::vector<float> &once, int times);
// v[from, to).
std::vector<float> Part(const std::vector<float> &v, size_t from, size_t to = SIZE_MAX);

// got[offset, offset + want.size()) == want, reporting the first difference.
::testing::AssertionResult SameSamples(const std::vector<float> &got, size_t offset,
                                       const std::vector<float> &want);
// Every sample of got[from, to) is 0.
::testing::AssertionResult Silent(const std::vector<float> &got, size_t from, size_t to);

// Counts end-of-play callbacks; `clock`, when set, is read at each call to
// note how many frames had been rendered by then.
struct EndLog {
    std::atomic<int> calls{0};
    ALuint source = 0;
    size_t atFrame = SIZE_MAX;
    const size_t *clock = nullptr;
    std::function<void(ALuint)> then; // extra work inside the callback
    static void Callback(void *self, ALuint source);
};

// Alternates "render `step` frames" and nuvexUpdate, keeping all output.
class PlayDriver {
public:
    PlayDriver(LoopbackDevice &dev, size_t step) : dev(dev), step(step) {}
    void Step(size_t frames = 0); // 0: the default step
    // Steps until `done` holds (checked after each update) or `maxFrames`.
    bool RunUntil(const std::function<bool()> &done, size_t maxFrames);
    std::vector<float> out;
    size_t frames = 0; // rendered so far; an EndLog clock

private:
    LoopbackDevice &dev;
    size_t step;
};

// Feeds a callback stream from a byte array; 0 at its end.
struct ByteFeed {
    std::vector<uint8_t> bytes;
    size_t pos = 0;
    ALuint lastRequest = 0;
    int calls = 0;
    static ALuint Callback(void *self, ALubyte *data, ALuint count);
};

// A decoder installed with nuvexInstallDecodeCallbacks that accepts exactly
// the memory image of a FakeImage (pass &image, sizeof image) and serves its
// bytes with the given format, rate and block size.
struct FakeImage {
    char magic[8] = {'N', 'V', 'X', 'F', 'A', 'K', 'E', 0};
    ALenum format = AL_FORMAT_STEREO16;
    ALuint freq = 44100;
    ALuint blockSize = 4;
    const uint8_t *data = nullptr;
    size_t size = 0;
    bool emptyAfterRewind = false; // rewinds succeed but yield nothing
    int *closes = nullptr;         // incremented when a stream closes
    int *rewinds = nullptr;        // incremented per rewind
};
// Installs the fake decoder (before the built-in ones); idempotent.
void InstallFakeDecoder();

// Buffer names alive in the current context (OpenAL Soft hands out small
// sequential names, so a scan of the low range sees them all).
std::set<ALuint> LiveBuffers();

// Leaves an OpenAL error pending.
void RaiseOpenALError();

// Plays a stream by hand the way an application would without the
// background playback: queue `count` pre-filled buffers, then render `step`
// frames at a time, refilling processed buffers with nuvexBufferDataFromStream
// until the stream ends and the queue drains.
std::vector<float> PlayByHand(LoopbackDevice &dev, nuvexStream *stream, const ALuint *buffers,
                              int count, size_t step);

} // namespace nvt
