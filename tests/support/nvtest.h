// The test suite's one support layer: devices, rendering through a loopback
// device, application decoders and I/O callbacks that count how the library
// drives them, the decoding libraries' own output to compare against, and
// failure tables. Media come from the shared writer in tools/mediagen.
#pragma once

#include "loopback.h"
#include "media.h"
#include "nuvex.h"

#include <AL/alext.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace nvt {

using nvmedia::Bytes;
using Floats = std::vector<float>;
constexpr size_t All = std::numeric_limits<size_t>::max();

// The default device (the null driver under the test environment).
struct NullDevice {
    NullDevice() : ok(nuvexInitDevice(nullptr, nullptr) == AL_TRUE) {}
    ~NullDevice() { ok && nuvexShutdownDevice(); }
    const bool ok;
};

// A loopback device, current while it lives (stereo at 44.1 kHz unless
// told otherwise).
struct Loopback : nvmedia::Loopback {
    explicit Loopback(int channels = 2, int rate = 44100) : nvmedia::Loopback(channels, rate) {}
};

ALuint DirectSource(); // plays a buffer unchanged on a matching layout
Floats ToFloat(const std::vector<int16_t> &samples);
std::string Err(); // the last error, read (and so reset)
std::string TempFile(const std::string &name, const Bytes &bytes);
ALuint NextBufferName(); // generated and deleted again
void RaiseALError();     // leaves one pending

std::set<ALuint> LiveBuffers(); // the buffer names of the current device
std::vector<ALint> Describe(ALuint buffer); // size, frequency, bits, channels
size_t FramesOf(ALuint buffer);
Floats PlayBuffer(Loopback &dev, ALuint buffer); // exactly its frames
// Batches of `numBufs` buffers filled with nuvexBufferDataFromStream, until
// the stream runs dry or `maxBatches` have played.
Floats PlayStream(Loopback &dev, nuvexStream *stream, int numBufs, size_t maxBatches = All);

// Interleaved 16-bit counter ramp: sample i is i * 7 + channel * 1000, wrapped.
std::vector<int16_t> Ramp(size_t frames, int channels = 2);
// got[at, at + want.size()) == want, naming the first difference.
::testing::AssertionResult Same(const Floats &got, size_t at, const Floats &want);
Floats Slice(const Floats &v, size_t from, size_t to = All);
Floats Repeat(const Floats &once, int times);
// The frames a stream of `length` frames plays with loop points `start` and
// `end` (0: the length) and `loops` more passes: the intro and the body,
// the body `loops` more times, then the outro.
std::vector<size_t> LoopedFrames(size_t length, size_t start, size_t end, int loops);
// Those frames of interleaved `sound`.
Floats Gather(const Floats &sound, int channels, const std::vector<size_t> &frames);

// Counts end-of-play callbacks; `then` runs inside the callback.
struct EndLog {
    std::atomic<int> calls{0};
    ALuint source = 0;
    size_t atFrame = All;
    const size_t *clock = nullptr;
    std::function<void(ALuint)> then;
    static void Callback(void *self, ALuint source);
};

// One load in the background: what its callback brought, where, how often;
// `then` runs inside the callback.
struct Delivery {
    std::atomic<int> calls{0};
    ALuint buffer = 0;
    std::string error; // empty for none
    std::thread::id thread;
    std::function<void(ALuint)> then;
    static void Callback(void *self, ALuint buffer, const ALchar *error);
};
// Runs nuvexUpdate on this thread (with `manual`; else waits for the update
// thread) until every delivery has come; false after `seconds`.
bool Delivered(std::vector<Delivery> &all, bool manual = true, double seconds = 30.0);

// Alternates "render `step` frames" and nuvexUpdate, keeping the output.
struct Driver {
    Driver(Loopback &dev, size_t step) : dev(dev), step(step) {}
    void Step(size_t count = 0);
    bool RunUntil(const std::function<bool()> &done, size_t maxFrames);
    Loopback &dev;
    size_t step, frames = 0;
    Floats out;
};

// Feeds a callback stream from a byte array; 0 at its end.
struct Feed {
    Bytes bytes;
    size_t pos = 0;
    std::vector<ALuint> asks;
    static ALuint Callback(void *self, ALubyte *data, ALuint count);
};

// An application decoder (callbacks installed with InstallApp): serves `pcm`
// to every name and image it accepts, and counts the calls it gets.
struct AppSound {
    ALenum format = AL_FORMAT_STEREO16;
    ALuint rate = 44100, block = 4;
    Bytes pcm;
    bool acceptFiles = true, acceptMemory = true, emptyAfterRewind = false;
    int formatFailures = 0; // get_format fails this many times first
    ALuint perCall = 0;     // most bytes one decode gives; 0: as many as asked
    ALuint overclaim = 0;   // added to what decode reports
    std::function<void()> onDecode; // called by each decode first
    int opened = 0, openFiles = 0, openMems = 0, nullNames = 0, rewinds = 0, closes = 0;
};
AppSound &App(int tag); // tags 0 to 3
ALboolean InstallApp(int tag, ALint index, bool withRewindAndClose = true);
void ResetApps();

// Files in memory served through nuvexSetIOCallbacks while it lives.
struct MemFiles {
    struct Virtual { // `size` bytes: `head`, `tail` at `tailAt`, zeros between
        Bytes head;
        uint64_t size, tailAt = 0;
        Bytes tail = {};
    };
    std::map<std::string, Virtual> files;
    int opens = 0, closes = 0;
    ALuint largestRead = 0;
    uint64_t bytesRead = 0;
    int64_t failReadsFrom = -1; // reads at or past this offset return -1
    ALuint overclaim = 0;       // added to what a whole read reports
    bool failSeeks = false;
    MemFiles();
    ~MemFiles();
    void Add(const std::string &name, const Bytes &bytes) { files[name] = {bytes, bytes.size()}; }
};

// The decoding libraries' own output: libvorbisfile's ov_read in host order;
// libmodplug with its default settings, in requests of `request` bytes, from
// `order`, at most `max` bytes, from a fresh mixer (see FreshModPlugMixer).
std::vector<int16_t> VorbisDecode(const Bytes &image);
std::vector<int16_t> ModPlugRender(const Bytes &image, size_t request, int order = -1, size_t max = All);
// libmodplug keeps click-removal state in globals that only a load with
// other settings resets; this does that, so two renderings compare exactly.
void FreshModPlugMixer(const Bytes &image);

// One call of a failure table: its result (widened) and the message after.
struct Call {
    std::string what;
    std::function<int64_t()> call;
    int64_t result;
    std::string message;
};
inline int64_t Ptr(const void *p) { return int64_t(reinterpret_cast<intptr_t>(p)); }
// Runs the rows in order, each from a clean last error; with `openal`, each
// must leave no OpenAL error pending.
void RunCalls(const std::vector<Call> &rows, bool openal = true);

// Leak detection off while it lives (sanitizer builds), for calls known to
// leak inside a system library.
class LeakChecksOff {
public:
    explicit LeakChecksOff(bool off = true);
    ~LeakChecksOff();

private:
    bool off;
};

} // namespace nvt
