// Whole-sound loading in two steps, so that the slow one can run anywhere:
// decoding turns a stream into the bytes of one buffer and needs neither a
// lock nor a buffer; uploading hands them to OpenAL in the context in force.
#pragma once

#include "core.h"
#include "streamdec.h"

#include <atomic>
#include <memory>
#include <vector>

// The load array's bytes are always written by the stream before anything
// reads them, so growing it must not pay for zeroing them first.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <typename U>
    UninitializedAllocator(const UninitializedAllocator<U> &) noexcept
    {
    }
    template <typename U>
    void construct(U *p) noexcept
    {
        ::new (static_cast<void *>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U *p, Args &&...args)
    {
        ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
    }
};

using LoadArray = std::vector<ALubyte, UninitializedAllocator<ALubyte>>;

// A whole sound, decoded and waiting for its buffer.
struct DecodedSound {
    ALenum format = AL_NONE;
    ALuint frequency = 0, blockAlign = 0;
    LoopPoints loop;
    // Samples lying in a memory image exactly as OpenAL takes them are not
    // copied: `inPlace` points into the image (which must outlive the
    // upload); otherwise `data` holds them.
    const ALubyte *inPlace = nullptr;
    LoadArray data;
    size_t bytes = 0;

    const ALubyte *Samples() const { return inPlace ? inPlace : data.data(); }
};

// Decodes the whole stream; false with the message set when it cannot. The
// stream's format is asked for in the context in force (decoders look up
// format names there). Between reads, a set `cancel` ends the decode with
// "Load cancelled".
bool DecodeSound(StreamPtr stream, DecodedSound &sound, const std::atomic<bool> *cancel = nullptr);
// Fills `buffer` with the sound and its loop points; false with "Buffer load
// failed" when OpenAL refuses. The sound's own array is spent by a load that
// succeeds (its pages are given back as they are copied).
bool UploadSound(DecodedSound &sound, ALuint buffer);
// Both steps, on the calling thread.
ALboolean load_stream(StreamPtr stream, ALuint buffer);
