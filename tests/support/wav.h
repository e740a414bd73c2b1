// Helpers for the RIFF/WAVE tests: chunk-level image builders, reference
// mu-law and IMA ADPCM codecs, and loading/rendering shortcuts.
#pragma once

#include "framework.h"

#include <cstdint>
#include <string>
#include <vector>

namespace nvt {
namespace wav {

// One RIFF chunk. `declared` overrides the length field (e.g. a truncated or
// "unknown" data length); `pad` adds the zero byte after an odd body.
struct Chunk {
    std::string tag;
    std::vector<uint8_t> body;
    bool pad = true;
    int64_t declared = -1;
};
Chunk MakeChunk(const std::string &tag, std::vector<uint8_t> body, bool pad = true,
                int64_t declared = -1);

// "RIFF" <size> "WAVE" followed by the chunks in order.
std::vector<uint8_t> Riff(const std::vector<Chunk> &chunks);

// A "fmt " body: the 16 basic bytes, then (when `cbSize` >= 0) the extra-size
// field and `extra`.
std::vector<uint8_t> FmtBody(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t blockAlign,
                             uint16_t bits, int cbSize = -1,
                             const std::vector<uint8_t> &extra = {});
// The "fmt " body of an IMA ADPCM file with the given samples-per-block field.
std::vector<uint8_t> ImaFmtBody(uint16_t channels, uint32_t rate, uint16_t samplesPerBlock,
                                uint16_t bits = 4, uint16_t blockAlign = 0);

// A smooth interleaved signal (sines of different pitch per channel), easy
// for lossy codecs to follow.
std::vector<int16_t> Sine16(size_t frames, int channels);

// G.711 mu-law.
uint8_t MulawEncode(int16_t sample);
int16_t MulawDecode(uint8_t code);

// IMA ADPCM in 36-byte-per-channel blocks of 65 frames, laid out as WAV
// files and OpenAL's IMA4 formats store them; the input must be whole blocks.
std::vector<uint8_t> ImaEncode(const std::vector<int16_t> &interleaved, int channels);

// Samples as the matching loopback device renders them.
std::vector<float> U8ToFloat(const std::vector<uint8_t> &bytes);
std::vector<uint8_t> FloatBytes(const std::vector<float> &samples);
std::vector<uint8_t> DoubleBytes(const std::vector<double> &samples);

// Loads an image into a new buffer from memory, or from a temporary file
// named after `name` when `fromFile` is set.
ALuint LoadImage(const std::vector<uint8_t> &image, bool fromFile, const std::string &name);

// Largest absolute difference; infinity when the sizes differ.
double MaxDiff(const std::vector<float> &a, const std::vector<float> &b);

} // namespace wav
} // namespace nvt
