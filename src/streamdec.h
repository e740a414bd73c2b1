// The decoded-stream object model: what every decoder implements, and the
// forward-decoding seek that decoders without a seek of their own may opt
// into. Live streams (handles given to the application) are owned by
// livestreams.cpp, not here.
#pragma once

#include "core.h"
#include "tags.h"

#include <atomic>
#include <cstdint>
#include <istream>
#include <memory>
#include <vector>

class nuvexStream {
public:
    explicit nuvexStream(std::istream *input) : inputStream(input) {}
    virtual ~nuvexStream() = default;
    nuvexStream(const nuvexStream &) = delete;
    nuvexStream &operator=(const nuvexStream &) = delete;

    virtual bool IsValid() = 0;
    virtual bool GetFormat(ALenum *format, ALuint *frequency, ALuint *blockAlign) = 0;
    virtual ALuint GetData(ALubyte *data, ALuint bytes) = 0;
    virtual bool Rewind() = 0;
    virtual bool SetOrder(ALuint order);
    // Called without the library's lock while no other thread may touch the
    // stream (see livestreams.cpp): the place for slow work such as loading
    // a SoundFont.
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
    // Like SetPatchset it runs without the library's lock and may be slow.
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
    // have checked `to` against SeekLength. The default is SeekByDecoding
    // for decoders that opt into it (DecodesForwardToSeek), and "Stream
    // cannot seek" for the others.
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
    // The bytes of whole blocks that `frames` frames fill at most.
    ALuint BytesFor(nuvexUInt64 frames) const
    {
        if (unitFrames == 0)
            return 0;
        const nuvexUInt64 blocks = frames / unitFrames;
        return blocks > 0xFFFFFFFFu / unitBytes ? 0xFFFFFFFFu / unitBytes * unitBytes
                                                : ALuint(blocks) * unitBytes;
    }

    // Why `candidate` cannot be this stream's loop, or null when it can: the
    // start must lie below the end (the stream's end when 0) and the end
    // within a known length; a block format loops on whole blocks; a start
    // past 0 needs a decoder that jumps, since a loop's every pass seeks
    // there from the update path. Needs the format (GetFormat) to be known.
    const char *LoopProblem(const LoopPoints &candidate);
    // Drops the loop a file named when it cannot be played: bad loop tags
    // never fail a load.
    void SettleFileLoop();
    // The loop's end as a frame: its own, or the length for "the end".
    nuvexUInt64 LoopEndFrame() { return loop.end ? loop.end : GetLength(); }

    // Private copy of an application's memory image (copied-memory streams).
    std::unique_ptr<ALubyte[]> ownedData;
    // Transfer area between GetData and alBufferData, sized once per stream.
    std::vector<ALubyte> chunkBuffer;
    // Not owned: whoever destroys the stream destroys this afterwards.
    std::istream *inputStream;
    // The next frame ReadChunk delivers.
    nuvexUInt64 position = 0;
    // Set by the decoder when the stream is made; the application may
    // change the loop.
    LoopPoints loop;
    SoundTags tags;
    // Set when the stream is destroyed while another thread borrows it: a
    // forward-decoding seek then stops instead of decoding on, up to an hour
    // of sound, for a stream nobody has.
    std::atomic<bool> abandoned{false};

protected:
    // Whether Seek may decode forward, discarding, when it cannot jump. Off
    // by default: such a seek costs as much as playing up to the frame, so
    // each decoder decides that its sounds make it worthwhile.
    virtual bool DecodesForwardToSeek() { return false; }
    // Exact but slow: decodes forward from where the stream stands, or from
    // the start after a rewind when `to` lies behind. Refuses at once, with
    // "Position past the end", a target more than an hour of sound away
    // from where the decode would start, whatever length the stream claims.
    bool SeekByDecoding(nuvexUInt64 to, nuvexUInt64 &at);

private:
    ALuint unitBytes = 0, unitFrames = 0;
    // The block a forward-decoding seek read to learn that its frame exists
    // (a stream of unknown length may end right there); delivered first.
    std::vector<ALubyte> carried;
};

// How much sound a forward-decoding seek may decode at most.
constexpr nuvexUInt64 ForwardDecodeSeconds = 3600;

// Destroys a stream and then its input stream, in that order.
struct StreamDeleter {
    void operator()(nuvexStream *stream) const;
};
using StreamPtr = std::unique_ptr<nuvexStream, StreamDeleter>;

// Whole blocks of the stream's next frames, at most `size` bytes (at least a
// block), read to `data`; the position moves past them.
inline ALuint ReadBlocks(nuvexStream &stream, ALuint blockAlign, ALubyte *data, ALuint size)
{
    if (blockAlign == 0 || size < blockAlign)
        return 0;
    const ALuint carried = stream.TakeCarried(data);
    ALuint got = carried < size ? stream.GetData(data + carried, size - carried) : 0;
    got = carried + (got < size - carried ? got : size - carried);
    got -= got % blockAlign;
    stream.position += stream.FramesIn(got);
    return got;
}

// Whole blocks of the stream's next chunk, read into its chunk buffer.
inline ALuint ReadChunk(nuvexStream &stream, ALuint blockAlign)
{
    return ReadBlocks(stream, blockAlign, stream.chunkBuffer.data(), ALuint(stream.chunkBuffer.size()));
}

