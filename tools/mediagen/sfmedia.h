// Media images of the formats the library reads through libsndfile and
// libmpg123, written by libsndfile's own writers (MP3 through its LAME
// encoder) into memory: FLAC, Ogg Opus, MP3, WAVE_FORMAT_EXTENSIBLE,
// RF64, Wave64, AIFF-C, AU and CAF, in any encoding libsndfile writes.
#pragma once

#include "media.h"

#include <sndfile.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace nvmedia {

struct SoundFileOptions {
    // SF_CHANNEL_MAP_* per channel, stored where the container can (the
    // WAVE_FORMAT_EXTENSIBLE mask; AIFF-C and CAF take only the few layouts
    // libsndfile has tags for). Front positions are LEFT, RIGHT and CENTER:
    // the writers refuse FRONT_LEFT and the like.
    std::vector<int> channelMap;
    // SFC_SET_COMPRESSION_LEVEL, 0 (best quality) to 1; negative: default.
    double compression = -1;
    // SFC_SET_BITRATE_MODE (SF_BITRATE_MODE_*); negative: default.
    int bitrateMode = -1;
    // For Opus: the encoder input rate the header names (0: the real one).
    int originalRate = 0;
};

// One sine tone per channel (`freqs.size()` channels) at `amplitude` of
// full scale, as 32-bit samples whose low bits are not zero: a 24-bit file
// keeps the top 24 of them, a 16-bit file the top 16.
std::vector<int32_t> Tones32(size_t frames, uint32_t rate, const std::vector<double> &freqs,
                             double amplitude);

// A file image of `samples` (interleaved, full-scale 32-bit, in the order
// the format stores its channels). `format` is libsndfile's SF_FORMAT_*
// container | encoding; float and double files store x / 2^31. Throws
// std::runtime_error when libsndfile refuses.
Bytes WriteSoundFile(const std::vector<int32_t> &samples, int channels, int rate, int format,
                     const SoundFileOptions &options = {});

// libsndfile's own decode of a whole image as 16-bit samples (interleaved,
// in the order the file stores its channels): the reference for codecs no
// other library decodes (GSM 6.10, G.72x). Throws std::runtime_error when
// libsndfile cannot open the image.
std::vector<int16_t> ReadSoundFile16(const Bytes &image);

// The sample as a `bits`-bit file stores it (bits 8, 16, 24 or 32), and the
// float an exact decoder makes of that: x / 2^(bits-1), rounded to float
// (what libsndfile's own float conversion gives).
int32_t Stored(int32_t sample, int bits);
float StoredAsFloat(int32_t sample, int bits);

// Small images of every family and encoding these decoders handle, plus
// FLAC and Opus with loop and other comments, and MP3 variants (ID3v2 tag,
// tags in every text encoding with a loop, no Xing header, inside
// RIFF/WAVE): the seeds the fuzz targets start from. Each is under 16 KiB.
std::vector<std::pair<std::string, Bytes>> SoundFileSeeds();

// An MP3 image without its first frame (the Xing/LAME header): the length
// and the gapless trim are then unknown to every decoder.
Bytes StripXingFrame(const Bytes &mp3);

// One ID3v2 frame: a text frame ("TIT2", "TPE1", ...), "TXXX" (the
// description names the value) or "COMM" (language "eng", description,
// text). `description` and `text` are UTF-8, stored in `encoding`: 0
// Latin-1 (code points below 256), 1 UTF-16 little-endian after a
// byte-order mark (`bom` false leaves the mark out, as broken taggers do),
// 2 UTF-16BE, 3 UTF-8; any other value stores the bytes as given.
struct Id3Frame {
    Id3Frame(std::string id, std::string text, int encoding = 0, std::string description = {})
        : id(std::move(id)), text(std::move(text)), encoding(encoding), description(std::move(description))
    {
    }
    std::string id;
    std::string text;
    int encoding = 0;
    std::string description;
    bool bom = true;
    int64_t declaredSize = -1; // a size field that lies, when not negative
};

// The 128-byte ID3v1 trailer; ID3v1.1 (a track number in the comment's
// last byte) when `track` is not 0. Fields are bytes as stored (Latin-1),
// cut to their widths.
struct Id3v1 {
    std::string title, artist, album, year, comment;
    uint8_t track = 0, genre = 255;
};

struct Id3Tag {
    int version = 3; // ID3v2.3, or 4 (frame sizes then 7 bits a byte)
    std::vector<Id3Frame> frames; // none: no ID3v2 tag
    bool withV1 = false;
    Id3v1 v1;
};

// The image with the tag's ID3v2 part in front and its ID3v1 trailer after.
Bytes WithId3Tag(const Bytes &image, const Id3Tag &tag);
// An ID3v2.3 tag with a Latin-1 title, put in front of an image.
Bytes WithId3Tag(const Bytes &image, const std::string &title);

// The MPEG frames of `mp3` (Xing frame removed) in a RIFF/WAVE file with
// format tag 0x55, as old ACM encoders wrote them.
Bytes Mp3InWav(const Bytes &mp3, int channels, int rate);

} // namespace nvmedia
