// Whole-image decodes by each codec's own library, independent of the
// library's decoders: the tests check the library's output against them, and
// the benchmarks use them (plus one alBufferData) as the limits a load is
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

// libvorbisfile's ov_read, 16-bit in host order, every link of a chain (the
// first link's channels and rate); from a memory image or by ov_fopen.
bool DecodeVorbis(const Bytes &image, Decoded &out);
bool DecodeVorbisFile(const char *path, Decoded &out);

// libmodplug with its default settings (stereo 16-bit, 44.1 kHz), in
// requests of `request` bytes, from `order` (from the start when negative),
// at most `maxBytes`. libmodplug pads its last read to the full request.
bool RenderModule(const Bytes &image, Decoded &out, size_t request, int order = -1,
                  size_t maxBytes = SIZE_MAX);

#ifdef NUVEX_MEDIA_SNDFILE
// libFLAC's stream decoder: native FLAC (not Ogg FLAC). As 16-bit, samples
// of 16 bits or fewer (shifted up); as float, x / 2^(bits-1), exact up to
// 24 bits. Channels as stored (the WAV order).
bool DecodeFlac(const Bytes &image, Decoded &out, bool asFloat);

// libopusfile at 48 kHz, channels in the Vorbis order: op_read with its
// dithering off (plain rounding, clipped at full scale) or op_read_float.
bool DecodeOpus(const Bytes &image, Decoded &out, bool asFloat);

// libmpg123, gapless, 16-bit at the stream's rate.
bool DecodeMp3(const Bytes &image, Decoded &out);
#endif

} // namespace nvmedia
