// Streaming: streams over files, memory and callbacks, refilled chunk by chunk.
#include "core.h"
#include "playback.h"
#include "streamdec.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {
std::atomic<bool> SizeIsUS{false};

// Chunk length in bytes from microseconds of sound; 0 after a failure.
bool MicrosecondsToBytes(ALenum format, ALuint freq, ALsizei &chunkLength)
{
    ALuint rate = DetectCompressionRate(format);
    ALuint align = DetectBlockAlignment(format);
    if (rate == 0 || align == 0)
        return Fail("Unknown compression rate", false);
    nuvexUInt64 frames = nuvexUInt64(freq) * nuvexUInt64(ALuint(chunkLength)) / 1000000;
    nuvexUInt64 bytes = frames / rate * align;
    if (bytes > 2147483647u)
        return Fail("Chunk length too large", false);
    chunkLength = ALsizei(bytes);
    return true;
}

nuvexStream *InitStream(StreamPtr stream, ALsizei chunkLength, ALsizei numBufs, ALuint *bufs)
{
    ALenum format;
    ALuint freq, blockAlign;
    if (!stream->GetFormat(&format, &freq, &blockAlign))
        return Fail<nuvexStream *>("Could not get stream format", nullptr);
    if (format == 0 || format == -1)
        return Fail<nuvexStream *>("No valid format", nullptr);
    if (blockAlign == 0)
        return Fail<nuvexStream *>("Invalid block size", nullptr);
    if (freq == 0)
        return Fail<nuvexStream *>("Invalid sample rate", nullptr);
    if (SizeIsUS && !MicrosecondsToBytes(format, freq, chunkLength))
        return nullptr;
    chunkLength -= ALsizei(ALuint(chunkLength) % blockAlign);
    if (chunkLength <= 0)
        return Fail<nuvexStream *>("Chunk length too small", nullptr);

    // With no buffers to fill, the caller may still make the stream ready
    // (give a MIDI stream its SoundFont) before it is read.
    if (numBufs > 0 && !stream->ReadyForLoad(false))
        return nullptr;
    stream->chunkBuffer.resize(size_t(chunkLength));
    stream->SetFrameUnit(format, blockAlign);

    if (numBufs > 0) {
        alGenBuffers(numBufs, bufs);
        if (OpenALErrorPending())
            return Fail<nuvexStream *>("Buffer creation failed", nullptr);
    }
    ALsizei filled = 0;
    while (filled < numBufs) {
        ALuint got = ReadChunk(*stream, blockAlign);
        if (got == 0)
            break;
        alBufferData(bufs[filled++], format, stream->chunkBuffer.data(), ALsizei(got),
                     ALsizei(freq));
    }
    // Buffers past the end of a short sound still get the stream's format.
    for (; filled < numBufs; filled++)
        alBufferData(bufs[filled], format, stream->chunkBuffer.data(), 0, ALsizei(freq));
    if (OpenALErrorPending()) {
        alDeleteBuffers(numBufs, bufs);
        alGetError();
        return Fail<nuvexStream *>("Buffering error", nullptr);
    }
    return stream.release();
}

// The argument checks shared by the creation functions, in their order.
bool CheckCreateArgs(ALsizei chunkLength, ALsizei numBufs, const ALuint *bufs)
{
    if (chunkLength < 0)
        return Fail("Invalid chunk length", false);
    if (numBufs < 0)
        return Fail("Invalid buffer count", false);
    if (numBufs > 0 && !bufs)
        return Fail("Invalid buffer pointer", false);
    return true;
}

bool CheckMemoryArgs(const ALubyte *fdata, ALuint length)
{
    if (length == 0)
        return Fail("Invalid data length", false);
    if (!fdata)
        return Fail("Invalid data pointer", false);
    return true;
}

// How far a decoder without a seek of its own decodes forward for a stream
// of unknown length before a seek gives up: one hour of sound.
constexpr nuvexUInt64 ForwardDecodeSeconds = 3600;

// Gives the library's lock up for the length of a scope; the thread must
// hold it exactly once.
class LockReleased {
public:
    LockReleased() { LeaveCriticalSection(&cs_StreamPlay); }
    ~LockReleased() { EnterCriticalSection(&cs_StreamPlay); }
    LockReleased(const LockReleased &) = delete;
    LockReleased &operator=(const LockReleased &) = delete;
};

// Marks a stream as being sought for the length of a scope. Ends with the
// lock held: wakes whoever waits for the stream, and destroys it when a
// destroy came meanwhile (then `destroyed` is set).
class SeekingMark {
public:
    explicit SeekingMark(nuvexStream *stream, bool &destroyed) : stream(stream), destroyed(destroyed)
    {
        stream->seeking = true;
    }
    ~SeekingMark()
    {
        stream->seeking = false;
        SeekEnded();
        destroyed = stream->destroyPending;
        if (destroyed)
            StreamPtr owner(stream);
    }
    SeekingMark(const SeekingMark &) = delete;
    SeekingMark &operator=(const SeekingMark &) = delete;

private:
    nuvexStream *stream;
    bool &destroyed;
};

// A seek that decodes forward runs without the library's lock, so other
// playbacks keep being fed; updates skip the stream's own meanwhile. Called
// with the lock held once; false with "Invalid stream pointer" when the
// stream was destroyed meanwhile.
bool SeekUnlocked(nuvexStream *stream, nuvexUInt64 frame, nuvexUInt64 &at, bool &moved)
{
    bool destroyed = false;
    {
        SeekingMark mark(stream, destroyed);
        LockReleased unlocked;
        moved = stream->Seek(frame, at);
    }
    return destroyed ? Fail("Invalid stream pointer", false) : true;
}
} // namespace

extern "C" {

NUVEX_API ALboolean NUVEX_APIENTRY nuvexStreamSizeIsMicroSec(ALboolean useUS)
{
    return SizeIsUS.exchange(useUS != AL_FALSE) ? AL_TRUE : AL_FALSE;
}

NUVEX_API nuvexStream *NUVEX_APIENTRY nuvexCreateStreamFromFile(const ALchar *fname,
                                                                ALsizei chunkLength,
                                                                ALsizei numBufs, ALuint *bufs)
{
    return Boundary<nuvexStream *>(nullptr, [&]() -> nuvexStream * {
        if (OpenALErrorPending())
            return Fail<nuvexStream *>("Existing OpenAL error", nullptr);
        if (!CheckCreateArgs(chunkLength, numBufs, bufs))
            return nullptr;
        StreamPtr stream = create_stream(fname);
        if (!stream)
            return nullptr;
        return InitStream(std::move(stream), chunkLength, numBufs, bufs);
    });
}

NUVEX_API nuvexStream *NUVEX_APIENTRY nuvexCreateStreamFromMemory(const ALubyte *fdata,
                                                                  ALuint length,
                                                                  ALsizei chunkLength,
                                                                  ALsizei numBufs, ALuint *bufs)
{
    return Boundary<nuvexStream *>(nullptr, [&]() -> nuvexStream * {
        if (OpenALErrorPending())
            return Fail<nuvexStream *>("Existing OpenAL error", nullptr);
        if (!CheckCreateArgs(chunkLength, numBufs, bufs) || !CheckMemoryArgs(fdata, length))
            return nullptr;
        std::unique_ptr<ALubyte[]> copy(new ALubyte[length]);
        memcpy(copy.get(), fdata, length);
        MemDataInfo memory;
        memory.data = copy.get();
        memory.length = length;
        StreamPtr stream = create_stream(memory);
        if (!stream)
            return nullptr;
        stream->ownedData = std::move(copy);
        return InitStream(std::move(stream), chunkLength, numBufs, bufs);
    });
}

NUVEX_API nuvexStream *NUVEX_APIENTRY nuvexCreateStreamFromStaticMemory(const ALubyte *fdata,
                                                                        ALuint length,
                                                                        ALsizei chunkLength,
                                                                        ALsizei numBufs,
                                                                        ALuint *bufs)
{
    return Boundary<nuvexStream *>(nullptr, [&]() -> nuvexStream * {
        if (OpenALErrorPending())
            return Fail<nuvexStream *>("Existing OpenAL error", nullptr);
        if (!CheckCreateArgs(chunkLength, numBufs, bufs) || !CheckMemoryArgs(fdata, length))
            return nullptr;
        MemDataInfo memory;
        memory.data = fdata;
        memory.length = length;
        StreamPtr stream = create_stream(memory);
        if (!stream)
            return nullptr;
        return InitStream(std::move(stream), chunkLength, numBufs, bufs);
    });
}

NUVEX_API nuvexStream *NUVEX_APIENTRY nuvexCreateStreamFromCallback(
    ALuint (*callback)(void *userdata, ALubyte *data, ALuint bytes), void *userdata, ALenum format,
    ALuint samplerate, ALsizei chunkLength, ALsizei numBufs, ALuint *bufs)
{
    return Boundary<nuvexStream *>(nullptr, [&]() -> nuvexStream * {
        if (OpenALErrorPending())
            return Fail<nuvexStream *>("Existing OpenAL error", nullptr);
        if (!callback)
            return Fail<nuvexStream *>("Invalid callback", nullptr);
        if (!CheckCreateArgs(chunkLength, numBufs, bufs))
            return nullptr;
        UserCallbacks record = {nullptr, nullptr, nullptr, callback, nullptr, nullptr};
        return InitStream(create_stream(userdata, format, samplerate, record), chunkLength,
                          numBufs, bufs);
    });
}

NUVEX_API ALsizei NUVEX_APIENTRY nuvexBufferDataFromStream(nuvexStream *stream, ALsizei numBufs,
                                                           ALuint *bufs)
{
    return Boundary<ALsizei>(-1, [&]() -> ALsizei {
        if (OpenALErrorPending())
            return Fail<ALsizei>("Existing OpenAL error", -1);
        if (!nuvexStream::Verify(stream))
            return Fail<ALsizei>("Invalid stream pointer", -1);
        if (numBufs < 0)
            return Fail<ALsizei>("Invalid buffer count", -1);
        if (numBufs > 0 && !bufs)
            return Fail<ALsizei>("Invalid buffer pointer", -1);
        for (ALsizei i = 0; i < numBufs; i++)
            if (bufs[i] == 0 || !alIsBuffer(bufs[i]))
                return Fail<ALsizei>("Invalid buffer ID", -1);
        ALenum format;
        ALuint freq, blockAlign;
        if (!stream->GetFormat(&format, &freq, &blockAlign))
            return Fail<ALsizei>("Could not get stream format", -1);

        ALsizei filled = 0;
        while (filled < numBufs) {
            ALuint got = ReadChunk(*stream, blockAlign);
            if (got == 0)
                break;
            alBufferData(bufs[filled], format, stream->chunkBuffer.data(), ALsizei(got),
                         ALsizei(freq));
            if (OpenALErrorPending())
                return Fail<ALsizei>("Buffer load failed", -1);
            filled++;
        }
        return filled;
    });
}

NUVEX_API ALboolean NUVEX_APIENTRY nuvexRewindStream(nuvexStream *stream)
{
    return Boundary<ALboolean>(AL_FALSE, [&]() -> ALboolean {
        if (!nuvexStream::Verify(stream))
            return Fail<ALboolean>("Invalid stream pointer", AL_FALSE);
        return stream->Restart() ? AL_TRUE : AL_FALSE;
    });
}

NUVEX_API ALboolean NUVEX_APIENTRY nuvexSetStreamOrder(nuvexStream *stream, ALuint order)
{
    return Boundary<ALboolean>(AL_FALSE, [&]() -> ALboolean {
        if (!nuvexStream::Verify(stream))
            return Fail<ALboolean>("Invalid stream pointer", AL_FALSE);
        if (!stream->SetOrder(order))
            return AL_FALSE;
        stream->ForgetCarried();
        stream->position = 0;
        return AL_TRUE;
    });
}

NUVEX_API ALboolean NUVEX_APIENTRY nuvexSetStreamPatchset(nuvexStream *stream,
                                                          const ALchar *patchset)
{
    return Boundary<ALboolean>(AL_FALSE, [&]() -> ALboolean {
        if (!nuvexStream::Verify(stream))
            return Fail<ALboolean>("Invalid stream pointer", AL_FALSE);
        return stream->SetPatchset(patchset) ? AL_TRUE : AL_FALSE;
    });
}

NUVEX_API nuvexUInt64 NUVEX_APIENTRY nuvexGetStreamLength(nuvexStream *stream)
{
    return Boundary<nuvexUInt64>(~nuvexUInt64(0), [&]() -> nuvexUInt64 {
        if (!nuvexStream::Verify(stream))
            return Fail<nuvexUInt64>("Invalid stream pointer", ~nuvexUInt64(0));
        return stream->GetLength();
    });
}

NUVEX_API ALsizei NUVEX_APIENTRY nuvexGetStreamFrequency(nuvexStream *stream)
{
    return Boundary<ALsizei>(0, [&]() -> ALsizei {
        if (!nuvexStream::Verify(stream))
            return Fail<ALsizei>("Invalid stream pointer", 0);
        ALenum format;
        ALuint freq, blockAlign;
        if (!stream->GetFormat(&format, &freq, &blockAlign))
            return Fail<ALsizei>("Could not get stream format", 0);
        return ALsizei(freq);
    });
}

NUVEX_API ALboolean NUVEX_APIENTRY nuvexSetStreamPosition(nuvexStream *stream, nuvexUInt64 frame)
{
    return Boundary<ALboolean>(AL_FALSE, [&]() -> ALboolean {
        StreamPlayLock lock;
        if (!nuvexStream::Verify(stream))
            return Fail<ALboolean>("Invalid stream pointer", AL_FALSE);
        if (!AwaitSeek(stream))
            return Fail<ALboolean>("Stream cannot seek", AL_FALSE);
        if (!nuvexStream::Verify(stream)) // destroyed by the seek waited for
            return Fail<ALboolean>("Invalid stream pointer", AL_FALSE);
        const nuvexUInt64 length = stream->SeekLength();
        if (length > 0 && frame >= length)
            return Fail<ALboolean>("Position past the end", AL_FALSE);
        ALenum format;
        ALuint freq, blockAlign;
        const bool direct = stream->SeeksDirectly();
        if (!direct && length == 0 &&
            (!stream->GetFormat(&format, &freq, &blockAlign) ||
             frame >= nuvexUInt64(freq) * ForwardDecodeSeconds))
            return Fail<ALboolean>("Position past the end", AL_FALSE);
        nuvexUInt64 at = stream->position;
        bool moved = false;
        // In an end-of-play callback the lock cannot be given up.
        if (direct || StreamPlayDepth() > 1)
            moved = stream->Seek(frame, at);
        else if (!SeekUnlocked(stream, frame, at, moved))
            return AL_FALSE;
        stream->position = at;
        if (!moved)
            return AL_FALSE;
        RestartPlayback(stream);
        return AL_TRUE;
    });
}

NUVEX_API nuvexUInt64 NUVEX_APIENTRY nuvexGetStreamPosition(nuvexStream *stream)
{
    return Boundary<nuvexUInt64>(~nuvexUInt64(0), [&]() -> nuvexUInt64 {
        StreamPlayLock lock;
        if (!nuvexStream::Verify(stream))
            return Fail<nuvexUInt64>("Invalid stream pointer", ~nuvexUInt64(0));
        nuvexUInt64 heard = 0;
        return HeardPosition(stream, &heard) ? heard : stream->position;
    });
}

NUVEX_API ALboolean NUVEX_APIENTRY nuvexDestroyStream(nuvexStream *stream, ALsizei numBufs,
                                                      ALuint *bufs)
{
    return Boundary<ALboolean>(AL_FALSE, [&]() -> ALboolean {
        if (OpenALErrorPending())
            return Fail<ALboolean>("Existing OpenAL error", AL_FALSE);
        if (numBufs < 0)
            return Fail<ALboolean>("Invalid buffer count", AL_FALSE);
        if (numBufs > 0 && !bufs)
            return Fail<ALboolean>("Invalid buffer pointer", AL_FALSE);
        if (stream && !nuvexStream::Verify(stream))
            return Fail<ALboolean>("Invalid stream pointer", AL_FALSE);
        if (numBufs > 0) {
            alDeleteBuffers(numBufs, bufs);
            if (OpenALErrorPending())
                return Fail<ALboolean>("Buffer deletion failed", AL_FALSE);
        }
        StreamPtr owner;
        if (stream) {
            StreamPlayLock lock;
            // Out of the live list first: an end-of-play callback that
            // destroys this same stream then fails cleanly instead of
            // destroying it a second time.
            if (!nuvexStream::Detach(stream))
                return Fail<ALboolean>("Invalid stream pointer", AL_FALSE);
            StopStream(stream);
            // A seek decoding on another thread destroys it when it ends.
            if (stream->seeking)
                stream->destroyPending = true;
            else
                owner.reset(stream);
        }
        return AL_TRUE;
    });
}

} // extern "C"
