// Streaming: streams over files, memory and callbacks, refilled chunk by chunk.
#include "core.h"
#include "decoders.h"
#include "livestreams.h"

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
    return AdoptStream(std::move(stream));
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
        return WithLiveStream(stream, -1, [&](nuvexStream &live) -> ALsizei {
            if (numBufs < 0)
                return Fail<ALsizei>("Invalid buffer count", -1);
            if (numBufs > 0 && !bufs)
                return Fail<ALsizei>("Invalid buffer pointer", -1);
            for (ALsizei i = 0; i < numBufs; i++)
                if (bufs[i] == 0 || !alIsBuffer(bufs[i]))
                    return Fail<ALsizei>("Invalid buffer ID", -1);
            if (!ReadyLiveStream(&live))
                return -1;
            ALenum format;
            ALuint freq, blockAlign;
            if (!live.GetFormat(&format, &freq, &blockAlign))
                return Fail<ALsizei>("Could not get stream format", -1);

            ALsizei filled = 0;
            while (filled < numBufs) {
                ALuint got = ReadChunk(live, blockAlign);
                if (got == 0)
                    break;
                alBufferData(bufs[filled], format, live.chunkBuffer.data(), ALsizei(got),
                             ALsizei(freq));
                if (OpenALErrorPending())
                    return Fail<ALsizei>("Buffer load failed", -1);
                filled++;
            }
            return filled;
        });
    });
}

NUVEX_API ALboolean NUVEX_APIENTRY nuvexRewindStream(nuvexStream *stream)
{
    return Boundary<ALboolean>(AL_FALSE, [&]() -> ALboolean {
        return WithLiveStream(stream, AL_FALSE, [](nuvexStream &live) -> ALboolean {
            return live.Restart() ? AL_TRUE : AL_FALSE;
        });
    });
}

NUVEX_API ALboolean NUVEX_APIENTRY nuvexSetStreamOrder(nuvexStream *stream, ALuint order)
{
    return Boundary<ALboolean>(AL_FALSE, [&]() -> ALboolean {
        return WithLiveStream(stream, AL_FALSE, [order](nuvexStream &live) -> ALboolean {
            if (!live.SetOrder(order))
                return AL_FALSE;
            live.ForgetCarried();
            live.position = 0;
            return AL_TRUE;
        });
    });
}

NUVEX_API nuvexUInt64 NUVEX_APIENTRY nuvexGetStreamLength(nuvexStream *stream)
{
    return Boundary<nuvexUInt64>(~nuvexUInt64(0), [&]() -> nuvexUInt64 {
        return WithLiveStream(stream, ~nuvexUInt64(0),
                              [](nuvexStream &live) { return live.GetLength(); });
    });
}

NUVEX_API ALsizei NUVEX_APIENTRY nuvexGetStreamFrequency(nuvexStream *stream)
{
    return Boundary<ALsizei>(0, [&]() -> ALsizei {
        return WithLiveStream(stream, 0, [](nuvexStream &live) -> ALsizei {
            ALenum format;
            ALuint freq, blockAlign;
            if (!live.GetFormat(&format, &freq, &blockAlign))
                return Fail<ALsizei>("Could not get stream format", 0);
            return ALsizei(freq);
        });
    });
}

NUVEX_API ALboolean NUVEX_APIENTRY nuvexGetStreamLoopPoints(nuvexStream *stream,
                                                          nuvexUInt64 *start, nuvexUInt64 *end)
{
    return Boundary<ALboolean>(AL_FALSE, [&]() -> ALboolean {
        return WithLiveStream(stream, AL_FALSE, [&](nuvexStream &live) -> ALboolean {
            if (!start || !end)
                return Fail<ALboolean>("Invalid parameter", AL_FALSE);
            *start = live.loop.start;
            *end = live.loop.Present() ? live.LoopEndFrame() : 0;
            return AL_TRUE;
        });
    });
}

NUVEX_API ALboolean NUVEX_APIENTRY nuvexSetStreamLoopPoints(nuvexStream *stream, nuvexUInt64 start,
                                                          nuvexUInt64 end)
{
    return Boundary<ALboolean>(AL_FALSE, [&]() -> ALboolean {
        return WithLiveStream(stream, AL_FALSE, [&](nuvexStream &live) -> ALboolean {
            const LoopPoints candidate{start, end};
            if (const char *problem = live.LoopProblem(candidate))
                return Fail<ALboolean>(problem, AL_FALSE);
            // A playback reads the loop at its next join.
            live.loop = candidate;
            return AL_TRUE;
        });
    });
}

NUVEX_API const ALchar *NUVEX_APIENTRY nuvexGetStreamTag(nuvexStream *stream, const ALchar *name)
{
    return Boundary<const ALchar *>(nullptr, [&]() -> const ALchar * {
        // The tags are fixed when the stream is made, so no borrower (a seek
        // decoding forward) changes them: no need to wait for one.
        StreamPlayLock lock;
        if (!LiveStream(stream))
            return nullptr;
        return name ? stream->tags.Find(name) : nullptr;
    });
}

} // extern "C"
