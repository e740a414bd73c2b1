// What every fuzz target shares: an OpenAL context to upload into, and the
// drive that takes a stream through its whole life.
#pragma once

#include "nuvex.h"

#include <cstddef>
#include <cstdint>

namespace nvfuzz {

// Opens a loopback device (it mixes only when asked, so no mixer thread
// competes with the fuzzer) and makes its context current. Once per process.
void EnsureContext();

// Fills the buffers from the stream until it ends or `cap` bytes of output
// have gone by (a tiny module can legitimately play for minutes).
// Returns the bytes uploaded.
size_t Drain(nuvexStream *stream, ALsizei count, ALuint *buffers, size_t cap);

// NVFUZZ_VERBOSE set: report what each input became (for reproducers).
bool Verbose();

// Check the tags and loop points, set and clear loops, drain, query, rewind,
// drain again, seek, jump to an order, play a little through the loop,
// destroy: every operation a decoder offers, in the order an application
// uses them. `image` is the input the stream was made of.
void Exercise(nuvexStream *stream, ALsizei count, ALuint *buffers, const uint8_t *image, size_t size);

// Whether the image decodes to more than `cap` bytes. A module of a few
// kilobytes can play for hours, and a whole-sound load of it then takes as
// long (by design); the whole-load targets measure first with a stream and
// skip such inputs, so that the search is not stuck rendering music.
bool DecodesLongerThan(const uint8_t *data, size_t size, size_t cap);

// The loop points a stream of the image reports, and its length; false
// when no stream can be made of it.
bool StreamLoopPoints(const uint8_t *data, size_t size, nuvexUInt64 &start, nuvexUInt64 &end, nuvexUInt64 &length);

// Every call must leave OpenAL without a pending error of its own making;
// a stale one would make the next call fail for the wrong reason.
void CheckNoPendingError(const char *where);

} // namespace nvfuzz
