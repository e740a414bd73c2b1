// Every exported function called the wrong way, one table per situation:
// each call fails on the first of its documented checks that the arguments
// break, with its failure value and message, and leaves no OpenAL error
// pending. Then the core calls that need no sound: errors, version, names,
// devices, sample formats and sleep.
#include "nvtest.h"

#include <dlfcn.h>
#include <malloc.h>

#include <climits>
#include <cmath>
#include <set>
#include <thread>

using namespace nvt;

namespace {
// Bytes held through operator new (the library's containers), and the most held since PeakBytes was set.
std::atomic<size_t> HeldBytes{0}, PeakBytes{0};
void *Counted(size_t n)
{
    void *p = malloc(n);
    if (!p)
        throw std::bad_alloc();
    const size_t held = HeldBytes += malloc_usable_size(p);
    for (size_t peak = PeakBytes; held > peak && !PeakBytes.compare_exchange_weak(peak, held);) {}
    return p;
}
void Uncounted(void *p) noexcept { HeldBytes -= malloc_usable_size(p), free(p); }
} // namespace
void *operator new(size_t n) { return Counted(n); }
void *operator new[](size_t n) { return Counted(n); }
void *operator new(size_t n, const std::nothrow_t &) noexcept { try { return Counted(n); } catch (...) { return nullptr; } }
void *operator new[](size_t n, const std::nothrow_t &) noexcept { try { return Counted(n); } catch (...) { return nullptr; } }
void operator delete(void *p) noexcept { Uncounted(p); }
void operator delete[](void *p) noexcept { Uncounted(p); }
void operator delete(void *p, size_t) noexcept { Uncounted(p); }
void operator delete[](void *p, size_t) noexcept { Uncounted(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { Uncounted(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { Uncounted(p); }

namespace {

constexpr int64_t NoLength = int64_t(~nuvexUInt64(0));
const char *const Pending = "Existing OpenAL error", *const BadStream = "Invalid stream pointer";

void Count(void *counter, ALuint) { ++*static_cast<int *>(counter); }

// The calls that take a stream handle, for a handle that is no live stream.
void AddHandleRows(std::vector<Call> &rows, const std::string &kind, nuvexStream *h, ALuint *bufs,
                   ALuint source)
{
    rows.insert(rows.end(), {
        {kind + " fill", [=] { return nuvexBufferDataFromStream(h, 2, bufs); }, -1, BadStream},
        {kind + " rewind", [=] { return nuvexRewindStream(h); }, AL_FALSE, BadStream},
        {kind + " order", [=] { return nuvexSetStreamOrder(h, 0); }, AL_FALSE, BadStream},
        {kind + " patch set", [=] { return nuvexSetStreamPatchset(h, "x"); }, AL_FALSE, BadStream},
        {kind + " length", [=] { return int64_t(nuvexGetStreamLength(h)); }, NoLength, BadStream},
        {kind + " seek", [=] { return nuvexSetStreamPosition(h, 0); }, AL_FALSE, BadStream},
        {kind + " position", [=] { return int64_t(nuvexGetStreamPosition(h)); }, NoLength, BadStream},
        {kind + " frequency", [=] { return nuvexGetStreamFrequency(h); }, 0, BadStream},
        {kind + " loop points", [=] { nuvexUInt64 a, b; return nuvexGetStreamLoopPoints(h, &a, &b); }, AL_FALSE, BadStream},
        {kind + " set loop points", [=] { return nuvexSetStreamLoopPoints(h, 0, 0); }, AL_FALSE, BadStream},
        {kind + " tag", [=] { return Ptr(nuvexGetStreamTag(h, "TITLE")); }, 0, BadStream},
        {kind + " play", [=] { return nuvexPlaySourceStream(source, h, 2, 0, nullptr, nullptr); },
         AL_FALSE, BadStream},
    });
    if (h)
        rows.push_back({kind + " destroy", [=] { return nuvexDestroyStream(h, 0, nullptr); },
                        AL_FALSE, BadStream});
}

TEST(Api, EveryCallFailsOnItsFirstBrokenCheck)
{
    Loopback dev;
    ASSERT_TRUE(dev.ok());
    const Bytes wav = nvmedia::WriteWav16(Ramp(44100), 2, 44100), junk(64, 0x55);
    const ALubyte *image = wav.data();
    const ALuint size = ALuint(wav.size());
    const std::string path = TempFile("api.wav", wav), junkPath = TempFile("junk.bin", junk);
    const char *const file = path.c_str(), *const missing = "/nonexistent/x.wav";
    const char *const junkFile = junkPath.c_str();
    ALuint arrays[4] = {}, buffer = 0, source = DirectSource(), busy = DirectSource();
    ALuint *const b = arrays, *const bufs = arrays + 2; // lambdas copy pointers, not arrays
    nuvexStream *live = nuvexCreateStreamFromMemory(image, size, 4096, 2, bufs);
    ASSERT_NE(live, nullptr) << Err();
    nuvexStream *destroyed = nuvexCreateStreamFromMemory(image, size, 4096, 0, nullptr);
    nuvexDestroyStream(destroyed, 0, nullptr);
    alignas(64) unsigned char forged[512] = {};
    nuvexStream *const inside = reinterpret_cast<nuvexStream *>(reinterpret_cast<char *>(live) + 8);
    alGenBuffers(1, &buffer);
    const ALuint unusedBuffer = 0x7A11, noSource = 0x5EED;
    ALuint names[3] = {bufs[0], unusedBuffer}, *const badNames = names;
    // A source playing a buffer of its own, listed with a callback.
    int calls = 0;
    ALuint *const held = names + 2;
    *held = nuvexCreateBufferFromMemory(image, ALsizei(size));
    alSourcei(busy, AL_BUFFER, ALint(*held));
    ASSERT_TRUE(nuvexPlaySource(busy, Count, &calls));
    // An application decoder whose answers each row sets, tried first.
    ASSERT_TRUE(InstallApp(0, -1));
    AppSound &app = App(0);
    app.pcm = Bytes(400, 7);
    app.acceptFiles = app.acceptMemory = false;
    auto serve = [&](ALenum format, ALuint block, ALuint rate, int formatFailures = 0) {
        app = AppSound();
        app.pcm = Bytes(400, 7);
        app.format = format, app.block = block, app.rate = rate, app.formatFailures = formatFailures;
    };
    auto pending = [](auto call) { return [=] { RaiseALError(); return int64_t(call()); }; };
    auto with = [](std::function<void()> setup, auto call) {
        return [=] { setup(); return int64_t(call()); };
    };
    auto micro = [](auto call) {
        return [=] {
            nuvexStreamSizeIsMicroSec(AL_TRUE);
            int64_t r = int64_t(call());
            nuvexStreamSizeIsMicroSec(AL_FALSE);
            return r;
        };
    };
    Feed feed;
    feed.bytes = Bytes(4000, 1);
    const auto cb = Feed::Callback;
    nuvexStream *fed = nuvexCreateStreamFromCallback(cb, &feed, AL_FORMAT_STEREO16, 44100, 1024, 0, nullptr);

    std::vector<Call> rows = {
        {"format, pending", pending([] { return nuvexGetSampleFormat(3, 24, 16); }), 0, Pending},
        {"format, both bits", [] { return nuvexGetSampleFormat(3, 24, 16); }, 0, "Both bit-types specified"},
        {"sleep -1", [] { return nuvexSleep(-1.0f); }, AL_FALSE, "Invalid duration"},
        {"sleep NaN", [] { return nuvexSleep(NAN); }, AL_FALSE, "Invalid duration"},
        {"proc null", [] { return Ptr(nuvexGetProcAddress(nullptr)); }, 0, "Invalid data pointer"},
        {"I/O table with holes",
         [] { return nuvexSetIOCallbacks(nullptr, [](void *) {}, nullptr, nullptr, nullptr); },
         AL_FALSE, "Missing callback functions"},
        {"init unknown device", [] { return nuvexInitDevice("no such device", nullptr); }, AL_FALSE,
         "Device open failed"},
        {"remove no decoder", [] { return nuvexInstallDecodeCallbacks(1, 0, 0, 0, 0, 0, 0); }, AL_TRUE, "No error"},
    };
    // A decoder needs a way to open, a format and a decode.
    const nuvexOpenMemCallback open = [](const ALubyte *, ALuint) -> void * { return nullptr; };
    const nuvexGetFormatCallback format = [](void *, ALenum *, ALuint *, ALuint *) -> ALboolean { return 0; };
    const nuvexDecodeCallback decode = [](void *, ALubyte *, ALuint) -> ALuint { return 0; };
    for (int missing : {0, 1, 2})
        rows.push_back({"decoder without callback " + std::to_string(missing), [=] {
                            return nuvexInstallDecodeCallbacks(1, nullptr, missing ? open : nullptr, missing != 1 ? format : nullptr,
                                                               missing != 2 ? decode : nullptr, nullptr, nullptr); },
                        AL_FALSE, "Missing callback functions"});
    // The four whole-sound loads share their checks; the fill calls check the
    // buffer, the memory calls the data, the file calls the name.
    enum { Fill = 1, Mem = 2 };
    for (int kind : {int(Fill | Mem), int(Fill), int(Mem), 0}) {
        auto load = [=](const ALubyte *data, ALsizei length, const char *name, ALuint buf) -> int64_t {
            if (kind == (Fill | Mem))
                return nuvexBufferDataFromMemory(data, length, buf);
            if (kind == Fill)
                return nuvexBufferDataFromFile(name, buf);
            return kind == Mem ? nuvexCreateBufferFromMemory(data, length) : nuvexCreateBufferFromFile(name);
        };
        auto L = [=](const ALubyte *data, ALsizei length, const char *name, ALuint buf = 0) {
            return [=] { return load(data, length, name, buf); };
        };
        std::string k = "load " + std::to_string(kind) + ", ";
        rows.push_back({k + "pending", pending(L(nullptr, -1, missing)), 0, Pending});
        if (kind & Fill) {
            rows.push_back({k + "buffer 0", L(nullptr, -1, missing, 0), 0, "Invalid buffer ID"});
            rows.push_back({k + "no buffer", L(nullptr, -1, missing, unusedBuffer), 0, "Invalid buffer ID"});
        }
        if (kind & Mem) {
            rows.push_back({k + "length -1", L(nullptr, -1, nullptr, buffer), 0, "Invalid data length"});
            rows.push_back({k + "null data", L(nullptr, 8, nullptr, buffer), 0, "Invalid data pointer"});
            rows.push_back({k + "empty", L(image, 0, nullptr, buffer), 0, "Unsupported type"});
        } else {
            rows.push_back({k + "missing", L(nullptr, 0, missing, buffer), 0, "Failed to open file"});
        }
        rows.push_back({k + "junk", L(junk.data(), 64, junkFile, buffer), 0, "Unsupported type"});
        const struct {
            ALenum format;
            ALuint block, rate;
            int failures;
            const char *message;
        } answers[] = {{AL_FORMAT_STEREO16, 4, 44100, 1, "Could not get sample format"},
                       {0, 0, 0, 0, "No valid format"},
                       {AL_FORMAT_STEREO16, 0, 0, 0, "Invalid block size"},
                       {AL_FORMAT_STEREO16, 6, 0, 0, "Invalid block size"}, // not whole frames
                       {AL_FORMAT_STEREO16, 4, 0, 0, "Invalid sample rate"},
                       {-1, 4, 44100, 0, "Buffer load failed"}};
        for (const auto &a : answers)
            rows.push_back({k + a.message, with([=] { serve(a.format, a.block, a.rate, a.failures); },
                                                L(image, ALsizei(size), file, buffer)),
                            0, a.message});
        rows.push_back({k + "declined again", with([&] { app.acceptFiles = app.acceptMemory = false; },
                                                   [] { return 0; }), 0, "No error"});
    }
    // A WAV whose rate OpenAL refuses, handed over in place from memory.
    const Bytes absurd = nvmedia::WriteWav(1, 2, 0xFFFFFFFF, 16, 4, Bytes(400, 1));
    rows.push_back({"absurd rate", [&] { return nuvexCreateBufferFromMemory(absurd.data(), ALsizei(absurd.size())); },
                    0, "Buffer load failed"});

    // Stream creation: the shared argument checks, then the source's, then
    // the stream's own.
    using Create = std::function<nuvexStream *(ALsizei chunk, ALsizei count, ALuint *out)>;
    const std::vector<std::pair<std::string, Create>> creators = {
        {"file", [=](ALsizei c, ALsizei n, ALuint *o) { return nuvexCreateStreamFromFile(file, c, n, o); }},
        {"memory", [=](ALsizei c, ALsizei n, ALuint *o) { return nuvexCreateStreamFromMemory(image, size, c, n, o); }},
        {"static", [=](ALsizei c, ALsizei n, ALuint *o) { return nuvexCreateStreamFromStaticMemory(image, size, c, n, o); }},
        {"callback", [&](ALsizei c, ALsizei n, ALuint *o) {
             return nuvexCreateStreamFromCallback(cb, &feed, AL_FORMAT_STEREO16, 44100, c, n, o); }}};
    for (const auto &creator : creators) {
        const Create create = creator.second;
        auto C = [=](ALsizei chunk, ALsizei count, ALuint *out) {
            return [=] { return Ptr(create(chunk, count, out)); };
        };
        const std::string k = creator.first + " stream, ";
        rows.push_back({k + "pending", pending(C(-1, -1, nullptr)), 0, Pending});
        rows.push_back({k + "chunk -1", C(-1, -1, nullptr), 0, "Invalid chunk length"});
        rows.push_back({k + "count -1", C(1024, -1, nullptr), 0, "Invalid buffer count"});
        rows.push_back({k + "no array", C(1024, 2, nullptr), 0, "Invalid buffer pointer"});
        rows.push_back({k + "chunk 3", C(3, 2, b), 0, "Chunk length too small"});
        rows.push_back({k + "µs chunk under a frame", micro(C(22, 2, b)), 0, "Chunk length too small"});
    }
    const ALubyte *const noData = nullptr;
    for (auto create : {nuvexCreateStreamFromMemory, nuvexCreateStreamFromStaticMemory}) {
        rows.push_back({"memory, length 0", [=] { return Ptr(create(image, 0, 1024, 2, b)); }, 0, "Invalid data length"});
        rows.push_back({"memory, null", [=] { return Ptr(create(noData, 10, 1024, 2, b)); }, 0, "Invalid data pointer"});
        rows.push_back({"memory, junk", [=] { return Ptr(create(junk.data(), 64, 1024, 2, b)); }, 0, "Unsupported type"});
    }
    auto callback = [&](nuvexStreamCallback f, ALenum format, ALuint rate) {
        return [=, &feed] { return Ptr(nuvexCreateStreamFromCallback(f, &feed, format, rate, 1024, 2, b)); };
    };
    rows.insert(rows.end(), {
        {"callback stream, pending", pending(callback(nullptr, 0, 0)), 0, Pending},
        {"callback stream, null", callback(nullptr, 0, 0), 0, "Invalid callback"},
        {"callback stream, format 0", callback(cb, 0, 0), 0, "Could not get stream format"},
        {"callback stream, format -1", callback(cb, -1, 0), 0, "No valid format"},
        {"callback stream, unknown format", callback(cb, 0x7777, 0), 0, "Invalid block size"},
        {"callback stream, rate 0", callback(cb, AL_FORMAT_MONO16, 0), 0, "Invalid sample rate"},
        {"callback stream, µs too large", micro([&] {
             return Ptr(nuvexCreateStreamFromCallback(cb, &feed, AL_FORMAT_MONO16, 1000000, INT_MAX, 2, b)); }),
         0, "Chunk length too large"},
        {"file stream, missing", [=] { return Ptr(nuvexCreateStreamFromFile(missing, 1024, 2, b)); }, 0,
         "Failed to open file"},
        {"file stream, junk", [=] { return Ptr(nuvexCreateStreamFromFile(junkFile, 1024, 2, b)); }, 0,
         "Unsupported type"},
        {"stream, format fails", with([&] { serve(AL_FORMAT_STEREO16, 4, 44100, 1); },
                                      [=] { return Ptr(nuvexCreateStreamFromFile(file, 1024, 2, b)); }),
         0, "Could not get stream format"},
        // A format with no known compression rate is fine until chunk
        // lengths are microseconds.
        {"stream, µs of an unknown rate", with([&] { serve(0x10005, 8, 44100); },
                                               micro([=] { return Ptr(nuvexCreateStreamFromFile(file, 0, 2, b)); })),
         0, "Unknown compression rate"},
        {"stream, OpenAL refuses the format", with([&] { serve(0x7777, 4, 44100); },
                                                   [=] { return Ptr(nuvexCreateStreamFromFile(file, 1024, 2, b)); }),
         0, "Buffering error"},
        {"stream, declined again", with([&] { app.acceptFiles = app.acceptMemory = false; },
                                        [] { return 0; }), 0, "No error"},
        // Streams that exist, and buffers, sources and handles that do not.
        // A failed seek leaves the position: two buffers' worth in.
        {"seek, pending", pending([=] { return nuvexSetStreamPosition(live, 0); }), AL_FALSE, Pending},
        {"seek past the end", [=] { return nuvexSetStreamPosition(live, 44100); }, AL_FALSE, "Position past the end"},
        {"seek to all bits set", [=] { return nuvexSetStreamPosition(live, ~nuvexUInt64(0)); }, AL_FALSE,
         "Position past the end"},
        {"seek a callback stream", [=] { return nuvexSetStreamPosition(fed, 0); }, AL_FALSE, "Stream cannot seek"},
        {"position", [=] { return int64_t(nuvexGetStreamPosition(live)); }, 2048, "No error"},
        {"fill, pending", pending([=] { return nuvexBufferDataFromStream(nullptr, -1, nullptr); }), -1, Pending},
        {"fill, count -1", [=] { return nuvexBufferDataFromStream(live, -1, nullptr); }, -1, "Invalid buffer count"},
        {"fill, no array", [=] { return nuvexBufferDataFromStream(live, 2, nullptr); }, -1, "Invalid buffer pointer"},
        {"fill, unused name", [=] { return nuvexBufferDataFromStream(live, 2, badNames); }, -1, "Invalid buffer ID"},
        {"fill, queued buffer", [=] { return nuvexBufferDataFromStream(live, 1, held); }, -1, "Buffer load failed"},
        {"destroy, pending", pending([] { return nuvexDestroyStream(nullptr, -1, nullptr); }), AL_FALSE, Pending},
        {"destroy, count -1", [=] { return nuvexDestroyStream(live, -1, nullptr); }, AL_FALSE, "Invalid buffer count"},
        {"destroy, no array", [=] { return nuvexDestroyStream(live, 2, nullptr); }, AL_FALSE, "Invalid buffer pointer"},
        {"destroy, unused names", [=] { return nuvexDestroyStream(live, 2, badNames); }, AL_FALSE,
         "Buffer deletion failed"},
        {"order 1 of a WAV", [=] { return nuvexSetStreamOrder(live, 1); }, AL_FALSE, "Invalid order for stream"},
        // Loop points: a failed set keeps the loop set before it.
        {"loop points, null", [=] { nuvexUInt64 a; return nuvexGetStreamLoopPoints(live, &a, nullptr); }, AL_FALSE,
         "Invalid parameter"},
        {"set loop 100 to 44100", [=] { return nuvexSetStreamLoopPoints(live, 100, 44100); }, AL_TRUE, "No error"},
        {"set loop, start at end", [=] { return nuvexSetStreamLoopPoints(live, 500, 500); }, AL_FALSE, "Invalid loop points"},
        {"set loop, end past the length", [=] { return nuvexSetStreamLoopPoints(live, 0, 44101); }, AL_FALSE,
         "Invalid loop points"},
        {"set loop, start past the length", [=] { return nuvexSetStreamLoopPoints(live, 44100, 0); }, AL_FALSE,
         "Invalid loop points"},
        {"set loop, past 0 on a callback stream", [=] { return nuvexSetStreamLoopPoints(fed, 1, 2); }, AL_FALSE,
         "Stream cannot seek"},
        {"loop points kept", [=] { nuvexUInt64 a = 0, b = 0; nuvexGetStreamLoopPoints(live, &a, &b); return int64_t(a * 100000 + b); },
         100 * 100000 + 44100, "No error"},
        {"set loop to the end", [=] { return nuvexSetStreamLoopPoints(live, 7, 0); }, AL_TRUE, "No error"},
        {"loop to the end reads as the length", [=] { nuvexUInt64 a = 0, b = 0; nuvexGetStreamLoopPoints(live, &a, &b); return int64_t(a * 100000 + b); },
         7 * 100000 + 44100, "No error"},
        {"clear loop points", [=] { return nuvexSetStreamLoopPoints(live, 0, 0); }, AL_TRUE, "No error"},
        {"loop points cleared", [=] { nuvexUInt64 a = 1, b = 1; nuvexGetStreamLoopPoints(live, &a, &b); return int64_t(a + b); }, 0,
         "No error"},
        {"loop from 0 on a callback stream", [=] { return nuvexSetStreamLoopPoints(fed, 0, 2); }, AL_TRUE, "No error"},
        // An application decoder's blocks of 100 frames: a pass ends on one's
        // edge (150 fails, 200 is set).
        {"set loop inside a decoder's block", [&] {
             serve(AL_FORMAT_STEREO16, 400, 44100);
             nuvexStream *s = nuvexCreateStreamFromMemory(image, size, 4000, 0, nullptr);
             const int set = nuvexSetStreamLoopPoints(s, 0, 150) * 10 + nuvexSetStreamLoopPoints(s, 0, 200);
             nuvexDestroyStream(s, 0, nullptr);
             app.acceptFiles = app.acceptMemory = false;
             return int64_t(set); }, 1, "Invalid loop points"},
        {"tag absent", [=] { return Ptr(nuvexGetStreamTag(live, "TITLE")); }, 0, "No error"},
        {"tag null name", [=] { return Ptr(nuvexGetStreamTag(live, nullptr)); }, 0, "No error"},
        {"play, pending", pending([=] { return nuvexPlaySource(busy, nullptr, nullptr); }), AL_FALSE, Pending},
        {"play, listed", [=] { return nuvexPlaySource(busy, nullptr, nullptr); }, AL_FALSE,
         "Source is already playing"},
        {"play, no source", [=] { return nuvexPlaySource(noSource, Count, nullptr); }, AL_FALSE,
         "Error starting source"},
        {"play stream, pending", pending([=] { return nuvexPlaySourceStream(0, nullptr, 0, 0, nullptr, nullptr); }),
         AL_FALSE, Pending},
        {"play stream, count 1", [=] { return nuvexPlaySourceStream(0, live, 1, 0, nullptr, nullptr); }, AL_FALSE,
         "Invalid buffer count"},
        {"play stream, no source", [=] { return nuvexPlaySourceStream(noSource, live, 2, 0, nullptr, nullptr); },
         AL_FALSE, "Invalid source ID"},
        {"play stream, source listed", [=] { return nuvexPlaySourceStream(busy, live, 2, 0, nullptr, nullptr); },
         AL_FALSE, "Source is already playing"},
        {"stop, pending", pending([=] { return nuvexStopSource(noSource, AL_TRUE); }), AL_FALSE, Pending},
        {"stop, no source", [=] { return nuvexStopSource(noSource, AL_TRUE); }, AL_FALSE, "Error stopping source"},
        {"pause, pending", pending([=] { return nuvexPauseSource(noSource); }), AL_FALSE, Pending},
        {"pause, no source", [=] { return nuvexPauseSource(noSource); }, AL_FALSE, "Error pausing source"},
        {"resume, pending", pending([=] { return nuvexResumeSource(noSource); }), AL_FALSE, Pending},
        {"resume, no source", [=] { return nuvexResumeSource(noSource); }, AL_FALSE, "Error playing source"},
        // Nulls where a call takes them: its ordinary result stands.
        {"destroy nothing", [] { return nuvexDestroyStream(nullptr, 0, nullptr); }, AL_TRUE, "No error"},
        {"patch set null", [=] { return nuvexSetStreamPatchset(live, nullptr); }, AL_TRUE, "No error"},
        {"interval -1 stops nothing", [] { return nuvexUpdateInterval(-1.0f); }, AL_TRUE, "No error"},
        {"interval NaN changes nothing", [] { return nuvexUpdateInterval(NAN); }, AL_TRUE, "No error"},
    });
    // Loads in the background: the checks before anything is queued; a batch
    // names its first failed file, and leaves no buffer of its own behind.
    const char *const batch[] = {file, missing, junkFile, nullptr}, *const *const names3 = batch;
    ALuint loaded[4] = {}, *const into = loaded;
    const auto later = [](void *, ALuint buffer, const ALchar *) { alDeleteBuffers(1, &buffer); };
    auto batchOf = [=](ALsizei count) { return [=] { ALsizei n = nuvexCreateBuffersFromFiles(names3, count, into); alDeleteBuffers(count, into); return n; }; };
    rows.insert(rows.end(), {
        {"batch, pending", pending([=] { return nuvexCreateBuffersFromFiles(names3, 1, into); }), -1, Pending},
        {"batch, no names", [=] { return nuvexCreateBuffersFromFiles(nullptr, 1, into); }, -1, "Invalid parameter"},
        {"batch, no buffers", [=] { return nuvexCreateBuffersFromFiles(names3, 1, nullptr); }, -1, "Invalid parameter"},
        {"batch, count -1", [=] { return nuvexCreateBuffersFromFiles(names3, -1, into); }, -1, "Invalid parameter"},
        {"batch of none", batchOf(0), 0, "No error"},
        {"batch, a missing file first", batchOf(4), 1, std::string(missing) + ": Failed to open file"},
        {"batch, a NULL name", [=] { return nuvexCreateBuffersFromFiles(names3 + 3, 1, into); }, 0, "(null): Failed to open file"},
        {"file async, pending", pending([=] { return nuvexCreateBufferFromFileAsync(file, later, nullptr); }), AL_FALSE, Pending},
        {"file async, no name", [=] { return nuvexCreateBufferFromFileAsync(nullptr, later, nullptr); }, AL_FALSE, "Invalid parameter"},
        {"file async, no callback", [=] { return nuvexCreateBufferFromFileAsync(file, nullptr, nullptr); }, AL_FALSE, "Invalid parameter"},
        {"memory async, pending", pending([=] { return nuvexCreateBufferFromMemoryAsync(image, 8, later, nullptr); }), AL_FALSE, Pending},
        {"memory async, length -1", [=] { return nuvexCreateBufferFromMemoryAsync(image, -1, later, nullptr); }, AL_FALSE, "Invalid parameter"},
        {"memory async, no data", [=] { return nuvexCreateBufferFromMemoryAsync(nullptr, 8, later, nullptr); }, AL_FALSE, "Invalid parameter"},
        {"memory async, no callback", [=] { return nuvexCreateBufferFromMemoryAsync(image, 8, nullptr, nullptr); }, AL_FALSE, "Invalid parameter"},
        {"load threads -1", [] { return nuvexSetLoadThreads(-1); }, AL_FALSE, "Invalid parameter"},
    });
    // MIDI without any SoundFont (NUVEX_SOUNDFONT set but empty): a stream created without buffers waits for
    // one; then a tune too long to load whole, and 36 bytes declaring 1.25 million hours, sought in a moment.
    const Bytes midi = nvmedia::WriteMidi(0, 480, {nvmedia::MidiTrack({{0, {0x90, 69, 100}}}, false, 960)}),
                hour = nvmedia::WriteMidi(0, 1, {nvmedia::MidiTrack({nvmedia::MidiTempo(0, 0xFFFFFF)}, false, 215)}),
                ages = nvmedia::WriteMidi(0, 1, {nvmedia::MidiTrack({nvmedia::MidiTempo(0, 0xFFFFFF)}, false, 0x0FFFFFFF)});
    // Parsing takes under five times the file: 4 MiB of two-byte events, of 11-byte tracks, or of one
    // track name in Latin-1 (twice the bytes in UTF-8).
    Bytes events = {0, 0xC0, 5}, name = {0, 0xFF, 0x03, 0x82, 0x80, 0x80, 0x00};
    while (events.size() < size_t(4) << 20)
        events.insert(events.end(), {0, 5});
    name.resize(name.size() + (size_t(4) << 20), 0xE9);
    const Bytes dense = nvmedia::WriteMidi(0, 96, {events}), tracks = nvmedia::WriteMidi(1, 96, std::vector<Bytes>(400000, {0, 0xC0, 5})),
                named = nvmedia::WriteMidi(0, 96, {name});
    auto parsedInFiveTimes = [](const Bytes &file) {
        return [&file] {
            const size_t before = PeakBytes = HeldBytes.load();
            nuvexStream *s = nuvexCreateStreamFromStaticMemory(file.data(), ALuint(file.size()), 4096, 0, nullptr);
            return nuvexDestroyStream(s, 0, nullptr) && PeakBytes - before < 5 * file.size();
        };
    };
    const std::string font = TempFile("api.sf2", nvmedia::WriteSoundFont());
    const ALubyte *const tune = midi.data();
    const ALuint tuneSize = ALuint(midi.size());
    nuvexStream *fontless = nullptr, **const waiting = &fontless;
    auto midiStream = [=](ALsizei count) { return [=] { return Ptr(*waiting = nuvexCreateStreamFromMemory(tune, tuneSize, 4096, count, b)) != 0; }; };
    rows.insert(rows.end(), {
        {"MIDI load, no font", with([] { setenv("NUVEX_SOUNDFONT", "", 1); }, [=] { return nuvexCreateBufferFromMemory(tune, ALsizei(tuneSize)); }), 0, "No SoundFont available"},
        {"MIDI stream, buffers, no font", midiStream(2), 0, "No SoundFont available"},
        {"MIDI stream, no buffers, no font", midiStream(0), 1, "No error"},
        {"MIDI fill, no font", [=] { return nuvexBufferDataFromStream(*waiting, 2, bufs); }, 0, "No SoundFont available"},
        {"MIDI seek, no font", [=] { return nuvexSetStreamPosition(*waiting, 0); }, AL_FALSE, "No SoundFont available"},
        {"MIDI default patch set, none", [=] { return nuvexSetStreamPatchset(*waiting, nullptr); }, AL_FALSE, "No SoundFont available"},
        {"MIDI patch set missing", [=] { return nuvexSetStreamPatchset(*waiting, missing); }, AL_FALSE, "SoundFont load failed"},
        {"MIDI patch set, then fill", with([=] { nuvexSetStreamPatchset(*waiting, font.c_str()); }, [=] { return nuvexBufferDataFromStream(*waiting, 2, bufs); }), 2, "No error"},
        {"MIDI too long to load whole", with([=] { setenv("NUVEX_SOUNDFONT", font.c_str(), 1); }, [&] { return nuvexCreateBufferFromMemory(hour.data(), ALsizei(hour.size())); }),
         0, "MIDI file too long to load whole"},
        {"MIDI of ages, seek to its middle", with([&] { nuvexDestroyStream(*waiting, 0, nullptr), *waiting = nuvexCreateStreamFromMemory(ages.data(), ALuint(ages.size()), 4096, 0, nullptr); },
                                                  [=] { return nuvexSetStreamPosition(*waiting, nuvexGetStreamLength(*waiting) / 2); }), AL_TRUE, "No error"},
        {"MIDI of ages, seek to its last frame", with([=] { nuvexSetStreamPosition(*waiting, nuvexGetStreamLength(*waiting) - 1); },
                                                      [=] { return nuvexBufferDataFromStream(*waiting, 2, bufs); }), 1, "No error"},
        {"MIDI of ages, destroy", [=] { return nuvexDestroyStream(*waiting, 0, nullptr); }, AL_TRUE, "No error"},
        {"MIDI of dense events parsed", parsedInFiveTimes(dense), 1, "No error"},
        {"MIDI of many tracks parsed", parsedInFiveTimes(tracks), 1, "No error"},
        {"MIDI of a 4 MiB track name parsed", parsedInFiveTimes(named), 1, "No error"},
    });
    AddHandleRows(rows, "null", nullptr, bufs, source);
    AddHandleRows(rows, "destroyed", destroyed, bufs, source);
    AddHandleRows(rows, "forged", reinterpret_cast<nuvexStream *>(forged), bufs, source);
    AddHandleRows(rows, "inside a stream", inside, bufs, source);
    const std::set<ALuint> before = LiveBuffers();
    RunCalls(rows);
    EXPECT_EQ(LiveBuffers(), before) << "a failed call left buffers behind";

    // A stream another playback holds cannot be played twice; none of the
    // above harmed the live stream, its buffers or the listed playback.
    ASSERT_TRUE(nuvexPlaySourceStream(source, live, 2, 0, nullptr, nullptr)) << Err();
    ALuint other = DirectSource();
    RunCalls({{"play stream twice", [=] { return nuvexPlaySourceStream(other, live, 2, 0, nullptr, nullptr); },
               AL_FALSE, "Stream is already playing"},
              {"the played position leaves the application's error pending", [=] {
                   RaiseALError();
                   nuvexGetStreamPosition(live);
                   return alGetError() != AL_NO_ERROR; }, 1, "No error"}});
    EXPECT_TRUE(nuvexStopSource(busy, AL_TRUE));
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(nuvexDestroyStream(live, 2, bufs)) << Err();
    EXPECT_TRUE(nuvexDestroyStream(fed, 0, nullptr));
    alDeleteBuffers(1, &buffer);
    alDeleteBuffers(1, held);
}

// Without a context every OpenAL error query reports one: the calls that
// begin with that check fail there, the others need no context.
TEST(Api, CallsBeforeAnyDeviceExists)
{
    ASSERT_EQ(alcGetCurrentContext(), nullptr);
    const Bytes wav = nvmedia::WriteWav16(Ramp(100), 2, 44100);
    int calls = 0;
    RunCalls({
        {"shutdown", [] { return nuvexShutdownDevice(); }, AL_FALSE, "Failed to get current device"},
        {"create", [&] { return nuvexCreateBufferFromMemory(wav.data(), 100); }, 0, Pending},
        {"stream", [&] { return Ptr(nuvexCreateStreamFromStaticMemory(wav.data(), 100, 4096, 0, nullptr)); }, 0, Pending},
        {"play", [&] { return nuvexPlaySource(1, Count, &calls); }, AL_FALSE, Pending},
        {"batch", [] { const char *name = "x"; ALuint b; return nuvexCreateBuffersFromFiles(&name, 1, &b); }, -1, "No current context"},
        {"file async", [] { return nuvexCreateBufferFromFileAsync("x", nullptr, nullptr); }, AL_FALSE, "No current context"},
        {"memory async", [&] { return nuvexCreateBufferFromMemoryAsync(wav.data(), 100, nullptr, nullptr); }, AL_FALSE, "No current context"},
        {"load threads", [] { return nuvexSetLoadThreads(2) && nuvexSetLoadThreads(0); }, AL_TRUE, "No error"},
        {"sleep", [] { return nuvexSleep(0.0f); }, AL_TRUE, "No error"},
        {"µs switch", [] { return nuvexStreamSizeIsMicroSec(AL_TRUE); }, AL_FALSE, "No error"},
        {"µs switch back", [] { return nuvexStreamSizeIsMicroSec(AL_FALSE); }, AL_TRUE, "No error"},
    }, false);
    nuvexUpdate();
    EXPECT_TRUE(nuvexUpdateInterval(0.001f));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(nuvexUpdateInterval(0.0f));
    EXPECT_EQ(calls, 0);
}

TEST(Api, ErrorsVersionAndLookup)
{
    EXPECT_EQ(Err(), "No error"); // right after load
    // The latest failure wins, a read resets, success never clears.
    nuvexSleep(-1.0f);
    nuvexGetProcAddress("noSuchFunction");
    nuvexSleep(0.0f);
    EXPECT_EQ(Err(), "Function not found");
    EXPECT_EQ(Err(), "No error");
    for (int mask = 0; mask < 4; mask++) {
        ALuint major = 77, minor = 77;
        nuvexGetVersion(mask & 1 ? &major : nullptr, mask & 2 ? &minor : nullptr);
        EXPECT_EQ(major, mask & 1 ? 1u : 77u);
        EXPECT_EQ(minor, mask & 2 ? 5u : 77u);
    }
    // The 36 listed names give the exported function; the other exported
    // functions are deliberately not offered by name.
    void *library = dlopen(NUVEX_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(library, nullptr) << dlerror();
    const char *const listed[] = {
        "nuvexGetVersion", "nuvexGetErrorString", "nuvexGetDeviceNames", "nuvexFreeDeviceNames",
        "nuvexInitDevice", "nuvexShutdownDevice", "nuvexGetSampleFormat", "nuvexSleep",
        "nuvexCreateBufferFromFile", "nuvexCreateBufferFromMemory", "nuvexBufferDataFromFile",
        "nuvexBufferDataFromMemory", "nuvexCreateStreamFromFile", "nuvexCreateStreamFromMemory",
        "nuvexCreateStreamFromStaticMemory", "nuvexCreateStreamFromCallback", "nuvexGetStreamLength",
        "nuvexRewindStream", "nuvexDestroyStream", "nuvexSetStreamOrder", "nuvexSetStreamPatchset",
        "nuvexInstallDecodeCallbacks", "nuvexSetIOCallbacks", "nuvexGetProcAddress",
        "nuvexPlaySourceStream", "nuvexPlaySource", "nuvexStopSource", "nuvexSetStreamPosition",
        "nuvexGetStreamPosition", "nuvexGetStreamLoopPoints", "nuvexSetStreamLoopPoints",
        "nuvexGetStreamTag", "nuvexCreateBuffersFromFiles", "nuvexCreateBufferFromFileAsync",
        "nuvexCreateBufferFromMemoryAsync", "nuvexSetLoadThreads"};
    for (const char *name : listed)
        EXPECT_EQ(nuvexGetProcAddress(name), dlsym(library, name)) << name;
    EXPECT_EQ(Err(), "No error");
    for (const char *name : {"nuvexStreamSizeIsMicroSec", "nuvexGetStreamFrequency", "nuvexBufferDataFromStream",
                             "nuvexPauseSource", "nuvexResumeSource", "nuvexUpdate", "nuvexUpdateInterval",
                             "nuvexsleep", "nuvexSlee", "nuvexSleepX", "UsingSTDIO", ""}) {
        EXPECT_EQ(nuvexGetProcAddress(name), nullptr) << name;
        EXPECT_EQ(Err(), "Function not found");
    }
    dlclose(library);
}

TEST(Api, DevicesAndSampleFormats)
{
    ALCsizei count = -1;
    const ALCchar **names = nuvexGetDeviceNames(AL_TRUE, &count);
    ASSERT_NE(names, nullptr) << Err();
    const ALCchar *list = alcGetString(nullptr, ALC_ALL_DEVICES_SPECIFIER);
    for (ALCsizei i = 0; i < count; list += strlen(list) + 1, i++) {
        EXPECT_STREQ(names[i], list);
        EXPECT_NE(names[i], list) << "a copy, not the implementation's string";
    }
    EXPECT_EQ(*list, 0);
    EXPECT_EQ(names[count], nullptr);
    nuvexFreeDeviceNames(names);
    nuvexFreeDeviceNames(nullptr);

    // Init makes a context current; shutdown releases it, and only once.
    ASSERT_TRUE(nuvexInitDevice(nullptr, nullptr)) << Err();
    ALCcontext *context = alcGetCurrentContext();
    ASSERT_NE(context, nullptr);
    const struct {
        ALuint channels, bits, floatbits;
        const char *format, *message;
    } formats[] = {
        {1, 8, 0, "AL_FORMAT_MONO8", "No error"}, {4, 8, 0, "AL_FORMAT_QUAD8", "No error"},
        {7, 8, 0, "AL_FORMAT_61CHN8", "No error"}, {2, 16, 0, "AL_FORMAT_STEREO16", "No error"},
        {6, 16, 0, "AL_FORMAT_51CHN16", "No error"}, {8, 16, 0, "AL_FORMAT_71CHN16", "No error"},
        {2, 0, 32, "AL_FORMAT_STEREO_FLOAT32", "No error"}, {6, 0, 32, "AL_FORMAT_51CHN32", "No error"},
        {1, 0, 64, "AL_FORMAT_MONO_DOUBLE_EXT", "No error"}, {2, 0, 64, "AL_FORMAT_STEREO_DOUBLE_EXT", "No error"},
        {0, 8, 0, nullptr, "Unsupported 8-bit channel count\n"},
        {9, 8, 0, nullptr, "Unsupported 8-bit channel count\n"},
        {3, 16, 0, nullptr, "Unsupported 16-bit channel count\n"},
        {2, 24, 0, nullptr, "Unsupported PCM bit depth\n"}, {1, 4, 0, nullptr, "Unsupported PCM bit depth\n"},
        {5, 0, 32, nullptr, "Unsupported float32 channel count\n"},
        {4, 0, 64, nullptr, "Unsupported double channel count\n"},
        {1, 0, 16, nullptr, "Unsupported float bit depth\n"}, {1, 0, 0, nullptr, "Unsupported float bit depth\n"},
    };
    for (const auto &f : formats) {
        SCOPED_TRACE(testing::Message() << f.channels << "/" << f.bits << "/" << f.floatbits);
        EXPECT_EQ(nuvexGetSampleFormat(f.channels, f.bits, f.floatbits), f.format ? alGetEnumValue(f.format) : 0);
        EXPECT_EQ(Err(), f.message);
        EXPECT_EQ(alGetError(), AL_NO_ERROR);
    }
    ASSERT_TRUE(nuvexShutdownDevice()) << Err();
    EXPECT_EQ(alcGetCurrentContext(), nullptr);
    EXPECT_FALSE(nuvexShutdownDevice());
    EXPECT_EQ(Err(), "Failed to get current device");
    EXPECT_EQ(alcGetError(nullptr), ALC_NO_ERROR);
}

} // namespace
