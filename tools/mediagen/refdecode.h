// Whole-image decodes by each codec's own library, independent of libsndfile:
// the tests check the library's lossy output against them, and the
// benchmark uses them (plus one alBufferData) as the limits a load is
// measured against. Each decodes into one array sized from the length the
// stream declares.
#pragma once

#include "media.h"

#include <cstdint>
#include <vector>

namespace nvmedia {

struct Decoded {
    int channels = 0;
    uint32_t rate = 0;
    std::vector<int16_t> s16; // filled by the 16-bit decodes
    std::vector<float> f32;   // filled by the float decodes
    size_t Frames() const { return (s16.size() + f32.size()) / size_t(channels ? channels : 1); }
};

// libFLAC's stream decoder: native FLAC (not Ogg FLAC). As 16-bit, samples
// of 16 bits or fewer (shifted up); as float, x / 2^(bits-1), exact up to
// 24 bits. Channels as stored (the WAV order).
bool DecodeFlac(const Bytes &image, Decoded &out, bool asFloat);

// libopusfile at 48 kHz, channels in the Vorbis order: op_read with its
// dithering off (plain rounding, clipped at full scale) or op_read_float.
bool DecodeOpus(const Bytes &image, Decoded &out, bool asFloat);

// libmpg123, gapless, 16-bit at the stream's rate.
bool DecodeMp3(const Bytes &image, Decoded &out);

} // namespace nvmedia
