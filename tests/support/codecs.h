// Helpers for the codec tests: playing buffers and streams through a
// loopback device, and the decoding libraries' own renderings of an image,
// which the library's output is compared against.
#pragma once

#include "framework.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace nvc {

using Bytes = std::vector<uint8_t>;

using nvt::BufferInfo;
inline BufferInfo Describe(ALuint buffer) { return nvt::InspectBuffer(buffer); }

// Plays `buffer` on a direct source and renders exactly its frames.
std::vector<float> PlayBuffer(nvt::LoopbackDevice &dev, ALuint buffer);

// Loads an image with nuvexCreateBufferFromMemory and plays it; `info`
// receives the buffer's description. Empty output (and a zero frequency)
// when the load fails.
std::vector<float> LoadAndPlay(nvt::LoopbackDevice &dev, const Bytes &image,
                               BufferInfo *info = nullptr);

// Plays a stream in batches: `numBufs` buffers filled with
// nuvexBufferDataFromStream, queued, rendered to their end; until the
// stream runs dry or `maxBatches` batches have played.
std::vector<float> PlayStream(nvt::LoopbackDevice &dev, nuvexStream *stream, int numBufs,
                              size_t maxBatches = std::numeric_limits<size_t>::max());

// libvorbisfile's own decoding of an image: ov_read of host-order signed
// 16-bit samples until it reports the end, in `requestBytes` requests.
std::vector<int16_t> VorbisfileDecode(const Bytes &image, size_t requestBytes = 4096);

// libmodplug keeps mixer state in globals that outlive a module (the
// click-removal offsets) and resets it only when a load changes the output
// settings. This forces that reset for the next load of any module
// (`image` must load), so that two renderings can be compared exactly.
void FreshModPlugMixer(const Bytes &image);

// libmodplug's own rendering of an image, from a fresh mixer with its default settings, in
// requests of `requestBytes`, optionally from an order, stopping after
// `maxBytes`.
std::vector<int16_t> ModPlugRender(const Bytes &image, size_t requestBytes, int order = -1,
                                   size_t maxBytes = std::numeric_limits<size_t>::max());

// Deterministic damage for robustness runs.
Bytes Mutate(const Bytes &image, uint32_t seed, int edits);

// Loads through nuvexCreateBufferFromMemory every prefix of `image` (each
// length up to 64 bytes, then every `step`) and `mutations` damaged copies
// (1 to 8 edits, confined to the first `headBytes` when not 0). Survival
// under the sanitizers is the check; returns how many loads made a buffer.
size_t LoadDamaged(const Bytes &image, size_t step, uint32_t mutations, uint32_t seed,
                   size_t headBytes = 0);

} // namespace nvc
