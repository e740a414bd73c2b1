// Helpers for the decoders' parsing and reading: byte orders, chunked files,
// capped reads and input positioning. They know nothing of streams.
#pragma once

#include "core.h"
#include "tags.h"

#include <cstdint>
#include <cstring>
#include <istream>
#include <string>
#include <vector>

// Little helpers for the decoders' header parsing.
inline uint32_t read_le32(std::istream &in)
{
    unsigned char b[4];
    if (!in.read(reinterpret_cast<char *>(b), 4))
        return 0;
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}
inline uint16_t read_le16(std::istream &in)
{
    unsigned char b[2];
    if (!in.read(reinterpret_cast<char *>(b), 2))
        return 0;
    return uint16_t(b[0] | b[1] << 8);
}
inline uint32_t read_be32(std::istream &in)
{
    unsigned char b[4];
    if (!in.read(reinterpret_cast<char *>(b), 4))
        return 0;
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | uint32_t(b[3]);
}
inline uint16_t read_be16(std::istream &in)
{
    unsigned char b[2];
    if (!in.read(reinterpret_cast<char *>(b), 2))
        return 0;
    return uint16_t(b[0] << 8 | b[1]);
}

// Reads up to `bytes` into `data`, returning how many arrived.
inline size_t ReadBytes(std::istream &in, ALubyte *data, size_t bytes)
{
    in.read(reinterpret_cast<char *>(data), std::streamsize(bytes));
    return size_t(in.gcount());
}

// The text of a chunk of `length` bytes, read in pieces so that a length
// the input does not hold costs no more memory than the input does.
std::string ReadText(std::istream &in, uint32_t length);

// Swaps every `width`-byte group of data in place (width 2, 4 or 8).
void SwapBytes(ALubyte *data, size_t bytes, unsigned width);

// Chunked files (RIFF/WAVE, AIFF): moves past a chunk body of `length`
// bytes. An odd body is followed by a zero pad byte, but some writers forget
// it; a zero byte can never begin a chunk tag, so it is taken as the pad when
// a plausible tag (or the end of the input) follows it.
void SkipChunkBody(std::istream &in, uint32_t length);

// Chunks an AIFF walk reads at most: it reaches past the sound data for the
// loop and the text, and must stay quick on hostile files.
constexpr int MaxAiffChunks = 1024;

// What an AIFF or AIFF-C file says besides its sound: the INST chunk's
// sustain loop, which runs between two markers of the MARK chunk (the two
// may come in either order), and the NAME, AUTH, "(c) " and ANNO text
// chunks. A chunk walk hands over every chunk it meets; the first chunk of
// each kind counts.
class AiffExtrasReader {
public:
    explicit AiffExtrasReader(SoundTags &tags) : tags(tags) {}
    // Reads the body of a chunk of these kinds; the input stands at the
    // body and is left anywhere inside it.
    void Read(const char tag[4], std::istream &in, uint32_t length);
    // From the begin marker's position to the end marker's (the first frame
    // after the loop); none when the play mode is not forward, a marker is
    // missing, or the loop would be empty or run backwards.
    LoopPoints Loop() const;

private:
    struct Marker {
        uint16_t id;
        uint32_t position; // in frames: the marker stands before that frame
    };
    void ReadMarkers(std::istream &in, uint32_t length);
    void ReadInstrument(std::istream &in, uint32_t length);
    const uint32_t *PositionOf(uint16_t id) const;

    SoundTags &tags;
    std::vector<Marker> markers;
    bool markersRead = false, instrumentRead = false, forward = false;
    uint16_t begin = 0, end = 0;
};

// The loop and text of a whole AIFF or AIFF-C image, for decoders that
// leave the rest of it to a library: a walk over its chunks (a bounded
// number of them, stopping where the input ends). The input's position is
// lost.
LoopPoints ReadAiffExtras(std::istream &in, SoundTags &tags);

// Reads whole blocks of sample data: at most `bytes` and what is left of the
// data; a partial block at the end of the input is dropped.
ALuint ReadWholeBlocks(std::istream &in, ALubyte *data, ALuint bytes, ALuint blockAlign,
                       uint32_t &bytesLeft);

// Reads the rest of the input into `buffer` from `filled` on, doubling the
// buffer relative to what it holds; false when the input holds more than
// `cap` bytes (never more than one byte past it is held). The buffer ends
// the size of what was read.
bool ReadRest(std::istream &in, std::vector<ALubyte> &buffer, size_t filled, size_t cap);

// ReadWholeBlocks without the copy, for memory inputs: where the blocks lie
// in the image and (in *taken) how many bytes; the input moves past them.
// Null for inputs that are not in memory.
const ALubyte *TakeWholeBlocks(std::istream &in, size_t bytes, ALuint blockAlign,
                               uint32_t &bytesLeft, size_t *taken);

// The bytes an ID3v2 tag at `head` (its first ten bytes) takes, footer
// included, so that what it prefixes starts there; 0 when there is none.
inline uint32_t Id3v2Length(const ALubyte *head)
{
    if (memcmp(head, "ID3", 3) != 0)
        return 0;
    // Four 7-bit bytes of size, then a footer when flagged.
    uint32_t size = uint32_t(head[6] & 0x7F) << 21 | uint32_t(head[7] & 0x7F) << 14 |
                    uint32_t(head[8] & 0x7F) << 7 | uint32_t(head[9] & 0x7F);
    return size + 10 + ((head[5] & 0x10) ? 10 : 0);
}

// For decoding libraries that read through C callbacks: moves the input as
// fseek would (SEEK_SET, SEEK_CUR or SEEK_END), forgetting an earlier end of
// input first, and returns the new position, or -1 when it cannot.
int64_t SeekInput(std::istream &in, int64_t offset, int whence);

// Back to the first byte of the sample data; "Seek failed" when it cannot.
bool SeekToData(std::istream &in, int64_t dataOffset);

// Chunked files of uncompressed blocks (RIFF/WAVE, AIFF): moves `offset`
// bytes into the sample data, when a whole block lies there both in the
// data chunk and in the input (headers may claim more than the input
// holds); "Position past the end" when none does, "Stream cannot seek" when
// the input cannot move. Nothing moves on failure.
bool SeekInData(std::istream &in, int64_t dataOffset, uint32_t dataSize, uint64_t offset,
                ALuint blockAlign, uint32_t &bytesLeft);
