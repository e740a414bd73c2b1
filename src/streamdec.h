// The decoded-stream object model, the decoder registry and search, and the
// decoders that applications install as callbacks.
#pragma once

#include "core.h"
#include "instream.h"

#include <cstdint>
#include <cstring>
#include <istream>
#include <list>
#include <map>
#include <memory>
#include <vector>

class nuvexStream {
public:
    explicit nuvexStream(std::istream *input);
    virtual ~nuvexStream();
    nuvexStream(const nuvexStream &) = delete;
    nuvexStream &operator=(const nuvexStream &) = delete;

    virtual bool IsValid() = 0;
    virtual bool GetFormat(ALenum *format, ALuint *frequency, ALuint *blockAlign) = 0;
    virtual ALuint GetData(ALubyte *data, ALuint bytes) = 0;
    virtual bool Rewind() = 0;
    virtual bool SetOrder(ALuint order);
    virtual bool SetPatchset(const char *patchset);
    virtual nuvexUInt64 GetLength();
    // How many decoded bytes one input byte can become at most; bounds what
    // a whole-sound load reserves from a length the header claims.
    virtual nuvexUInt64 MaxExpansion() { return 1; }
    // The frames a whole-sound load should expect; a decoder that cannot
    // promise a length (GetLength 0) may still know roughly how long it is.
    virtual nuvexUInt64 ExpectedFrames() { return GetLength(); }
    // Checked before a whole-sound load (`whole`) or a stream's first chunks
    // are decoded: false, with the message left, when the decoder cannot
    // give what it would be asked for (a synthesiser without instruments).
    virtual bool ReadyForLoad(bool whole);
    // For whole-sound loads: when the rest of the sound lies in the input
    // exactly as GetData would deliver it (a memory image whose samples need
    // no byte swap or conversion), its first byte and its length in whole
    // blocks (*bytes); the stream then stands at its end. Null when the data
    // has to come through GetData.
    virtual const ALubyte *DataInPlace(size_t *bytes);
    // Moves the stream so that the next GetData starts at frame `to`, frames
    // counting from where Rewind returns to. `at` holds the frame the stream
    // stands at and receives the one it stands at afterwards, failure or not
    // (block formats land on the start of the block holding `to`). Callers
    // have checked `to` against SeekLength. The default, for decoders that
    // cannot jump, rewinds and decodes forward, discarding: exact, but slow.
    virtual bool Seek(nuvexUInt64 to, nuvexUInt64 &at);
    // Whether Seek jumps (the decoder's own) rather than decoding forward;
    // only a forward decode is worth leaving the library's lock for.
    virtual bool SeeksDirectly() { return false; }
    // The frames a seek may reach, 0 when unknown: for most decoders the
    // length, but a chained file's links all count.
    virtual nuvexUInt64 SeekLength() { return GetLength(); }

    // Rewind, and the position back to frame 0.
    bool Restart();
    // The frames `bytes` of this stream's output hold (whole blocks).
    nuvexUInt64 FramesIn(ALuint bytes) const
    {
        return unitBytes ? nuvexUInt64(bytes / unitBytes) * unitFrames : 0;
    }
    // Learns the size of the format's blocks, for FramesIn.
    void SetFrameUnit(ALenum format, ALuint blockAlign);
    // Moves what a forward-decoding seek read ahead to `data` (room for a
    // block at least); returns its size.
    ALuint TakeCarried(ALubyte *data);
    // Drops it, when the stream moves by other means.
    void ForgetCarried() { carried.clear(); }

    // Whether the pointer value is a live stream; never dereferences it.
    static bool Verify(const nuvexStream *stream);
    // Takes a live stream out of the list, so that nobody else can reach it
    // by handle any more; false when it was not (or no longer) live.
    static bool Detach(const nuvexStream *stream);
    // Stops and destroys every live stream (unload).
    static void Clear();

    // Private copy of an application's memory image (copied-memory streams).
    std::unique_ptr<ALubyte[]> ownedData;
    // Transfer area between GetData and alBufferData, sized once per stream.
    std::vector<ALubyte> chunkBuffer;
    // Not owned: whoever destroys the stream destroys this afterwards.
    std::istream *inputStream;
    // The next frame ReadChunk delivers.
    nuvexUInt64 position = 0;
    // Set while a forward-decoding seek runs without the library's lock;
    // a destroy meanwhile leaves the deletion to that seek. Both are only
    // touched with the lock held.
    bool seeking = false;
    bool destroyPending = false;

private:
    ALuint unitBytes = 0, unitFrames = 0;
    // The block a forward-decoding seek read to learn that its frame exists
    // (a stream of unknown length may end right there); delivered first.
    std::vector<ALubyte> carried;
};

// Destroys a stream and then its input stream, in that order.
struct StreamDeleter {
    void operator()(nuvexStream *stream) const;
};
using StreamPtr = std::unique_ptr<nuvexStream, StreamDeleter>;

// ---- Application decoders ----------------------------------------------

struct UserCallbacks {
    void *(*open_file)(const ALchar *filename);
    void *(*open_mem)(const ALubyte *data, ALuint length);
    ALboolean (*get_format)(void *handle, ALenum *format, ALuint *samplerate, ALuint *blocksize);
    ALuint (*decode)(void *handle, ALubyte *buf, ALuint bytes);
    ALboolean (*rewind)(void *handle);
    void (*close)(void *handle);
};

// Application decoders by index; negative indexes are searched before the
// built-in decoders, the others after them.
std::map<int, UserCallbacks> &InstalledCallbacks();

class customStream final : public nuvexStream {
public:
    customStream(const char *filename, const UserCallbacks &cb);
    customStream(const MemDataInfo &memory, const UserCallbacks &cb);
    customStream(void *userdata, ALenum fmt, ALuint freq, const UserCallbacks &cb);
    ~customStream() override;

    bool IsValid() override;
    bool GetFormat(ALenum *format, ALuint *frequency, ALuint *blockAlign) override;
    ALuint GetData(ALubyte *data, ALuint bytes) override;
    bool Rewind() override;

private:
    void *handle = nullptr;
    ALenum format = AL_NONE;
    ALuint frequency = 0;
    ALuint blockAlign = 0;
    MemDataInfo memInfo;
    UserCallbacks callbacks;
};

// ---- Decoder registry ---------------------------------------------------

using DecoderFactory = std::unique_ptr<nuvexStream> (*)(std::istream *input);

class Decoder {
public:
    using Registry = std::multimap<int, DecoderFactory>;
    static Registry &AddList(DecoderFactory factory = nullptr, int priority = 0);
    static Registry &GetList() { return AddList(nullptr, 0); }
};

template <typename Iter, typename Value>
Iter SearchSecond(Iter first, Iter last, const Value &value)
{
    for (; first != last; ++first)
        if (first->second == value)
            return first;
    return last;
}

template <typename T, int prio>
class DecoderDecl : public Decoder {
public:
    DecoderDecl()
    {
        T::Init();
        AddList(Factory, prio);
    }
    ~DecoderDecl()
    {
        Registry &list = AddList(nullptr, 0);
        auto it = SearchSecond(list.begin(), list.end(), DecoderFactory(Factory));
        if (it != list.end())
            list.erase(it);
        T::Deinit();
    }
    static std::unique_ptr<nuvexStream> Factory(std::istream *input)
    {
        std::unique_ptr<nuvexStream> stream(new T(input));
        if (stream->IsValid())
            return stream;
        return nullptr;
    }
};

// Link anchors of the built-in decoders.
const void *nuvex_init_wav();
const void *nuvex_init_aiff();
const void *nuvex_init_vorbisfile();
const void *nuvex_init_modplug();
const void *nuvex_init_sndfile();
const void *nuvex_init_mpg123();
const void *nuvex_init_midi();

// The decoder search: the only ways to obtain a stream.
StreamPtr create_stream(const char *filename);
StreamPtr create_stream(const MemDataInfo &memory);
StreamPtr create_stream(void *userdata, ALenum format, ALuint frequency, const UserCallbacks &cb);

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

// Whole blocks of the stream's next chunk, read into its chunk buffer.
inline ALuint ReadChunk(nuvexStream &stream, ALuint blockAlign)
{
    if (blockAlign == 0 || stream.chunkBuffer.empty())
        return 0;
    const ALuint size = ALuint(stream.chunkBuffer.size());
    const ALuint carried = stream.TakeCarried(stream.chunkBuffer.data());
    ALuint got = carried < size ? stream.GetData(stream.chunkBuffer.data() + carried, size - carried) : 0;
    got = carried + (got < size - carried ? got : size - carried);
    got -= got % blockAlign;
    stream.position += stream.FramesIn(got);
    return got;
}

// Swaps every `width`-byte group of data in place (width 2, 4 or 8).
void SwapBytes(ALubyte *data, size_t bytes, unsigned width);

// Chunked files (RIFF/WAVE, AIFF): moves past a chunk body of `length`
// bytes. An odd body is followed by a zero pad byte, but some writers forget
// it; a zero byte can never begin a chunk tag, so it is taken as the pad when
// a plausible tag (or the end of the input) follows it.
void SkipChunkBody(std::istream &in, uint32_t length);

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
