// Helpers for the misuse and regression tests: failure tables over any
// exported function, and handles that are not (or no longer) streams.
#pragma once

#include "nuvex.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace nvh {

// One call and what it must come to: its result (pointers and booleans
// widened to 64 bits) and the last error it leaves.
struct Misuse {
    std::string what;
    std::function<int64_t()> call;
    int64_t result;
    std::string message;
};

inline int64_t Ptr(const void *p) { return int64_t(reinterpret_cast<intptr_t>(p)); }

// Runs the rows in order. Each starts with a clean last error and no pending
// OpenAL error; with `openalClean`, each must also leave no OpenAL error
// behind (there is none to check without a current context).
void RunMisuseTable(const std::vector<Misuse> &rows, bool openalClean);

// A short 16-bit stereo WAV image.
std::vector<uint8_t> SmallWav(size_t frames = 2048);

// Storage that has never been a stream, and whose address no stream can
// ever take while it lives.
struct ForgedStream {
    alignas(64) unsigned char bytes[512] = {};
    nuvexStream *handle() { return reinterpret_cast<nuvexStream *>(bytes); }
};

// The address a destroyed stream had.
nuvexStream *DestroyedStreamHandle();

// A name no OpenAL object of the current context has.
ALuint UnusedBufferName();
ALuint UnusedSourceName();

// The first page of an Ogg image (header, segment table and body).
std::vector<uint8_t> FirstOggPage(const std::vector<uint8_t> &ogg);

// Runs `body` with leak detection off in AddressSanitizer builds, for a call
// known to leak inside a system library; a no-op wrapper elsewhere.
void WithoutLeakChecks(const std::function<void()> &body);

} // namespace nvh
