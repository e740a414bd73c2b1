// Test doubles for the stream framework: an in-memory "file system" behind
// the I/O callbacks, and application decoders given as plain callbacks, each
// counting how the library calls it.
#pragma once

#include "support.h"

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace nvt {

// Files held in memory and served through nuvexSetIOCallbacks. Every call
// is counted, so tests can check how the library drives the table.
struct MemFs {
    struct Handle {
        const std::vector<uint8_t> *data;
        int64_t pos = 0;
        int closes = 0;
    };

    std::map<std::string, std::vector<uint8_t>> files;
    std::vector<ALuint> modes;       // mode of every open call
    std::vector<bool> nullNames;     // whether each open call got a null name
    int opens = 0;                   // successful opens
    int closes = 0;
    int reads = 0;
    ALuint largestRead = 0;          // largest byte count asked of read
    int64_t failFrom = -1;           // reads at or past this offset return -1
    ALuint overclaim = 0;            // added to what read reports
    bool failSeeks = false;
    std::vector<Handle *> handles;   // every handle handed out, kept for inspection

    // The one instance the callbacks serve; Reset() empties it.
    static MemFs &Get();
    static void Reset();
    // Installs the five callbacks below as the library's table.
    static ALboolean Install();

    static void *Open(const char *name, ALuint mode);
    static void Close(void *handle);
    static ALsizei Read(void *handle, ALubyte *buf, ALuint bytes);
    static ALsizei Write(void *handle, const ALubyte *buf, ALuint bytes);
    static nuvexInt64 Seek(void *handle, nuvexInt64 offset, ALint whence);

    ~MemFs();
};

// What an application decoder serves: raw PCM in an OpenAL format.
struct FakeSound {
    ALenum format = AL_FORMAT_STEREO16;
    ALuint frequency = 44100;
    ALuint blockSize = 4;
    std::vector<uint8_t> pcm;
    bool acceptFiles = true;
    bool acceptMemory = true;
    int formatFailures = 0;  // get_format fails this many times first
    ALuint perCall = 0;      // most bytes one decode hands out; 0 = as asked
    ALuint overclaim = 0;    // added to what decode reports
};

// Counts of one application decoder's callbacks.
struct DecoderLog {
    int openFiles = 0, openMems = 0, getFormats = 0, decodes = 0, rewinds = 0, closes = 0;
    int zeroDecodes = 0;                 // decodes that returned 0
    int decodesAfterEnd = 0;             // decodes called after one returned 0
    std::vector<bool> nullNames;         // whether each open_file got a null name
    std::vector<void *> opened, closed;  // handles handed out and closed
    std::vector<ALuint> asks;
};

// An application decoder. Each Tag is a distinct set of callbacks with its
// own sound and log, so several can be installed at different indexes.
template <int Tag>
struct AppDecoder {
    struct Handle {
        size_t pos = 0;
        bool ended = false;
    };
    static FakeSound sound;
    static DecoderLog log;
    // Handles live until the process ends, so a handle the library never
    // closes is counted rather than leaked.
    static std::vector<std::unique_ptr<Handle>> pool;

    static void Reset()
    {
        sound = FakeSound();
        log = DecoderLog();
    }
    // Installs all six callbacks, or without rewind and close.
    static ALboolean Install(ALint index, bool withRewindAndClose = true)
    {
        return nuvexInstallDecodeCallbacks(index, OpenFile, OpenMem, GetFormat, Decode,
                                           withRewindAndClose ? Rewind : nullptr,
                                           withRewindAndClose ? Close : nullptr);
    }
    static void *NewHandle()
    {
        pool.emplace_back(new Handle);
        log.opened.push_back(pool.back().get());
        return pool.back().get();
    }
    static void *OpenFile(const ALchar *name)
    {
        log.openFiles++;
        log.nullNames.push_back(name == nullptr);
        return sound.acceptFiles ? NewHandle() : nullptr;
    }
    static void *OpenMem(const ALubyte *, ALuint)
    {
        log.openMems++;
        return sound.acceptMemory ? NewHandle() : nullptr;
    }
    static ALboolean GetFormat(void *, ALenum *format, ALuint *rate, ALuint *block)
    {
        log.getFormats++;
        if (sound.formatFailures > 0) {
            sound.formatFailures--;
            return AL_FALSE;
        }
        *format = sound.format;
        *rate = sound.frequency;
        *block = sound.blockSize;
        return AL_TRUE;
    }
    static ALuint Decode(void *handle, ALubyte *buf, ALuint bytes)
    {
        auto *h = static_cast<Handle *>(handle);
        log.decodes++;
        log.asks.push_back(bytes);
        if (h->ended)
            log.decodesAfterEnd++;
        size_t n = std::min<size_t>(bytes, sound.pcm.size() - h->pos);
        if (sound.perCall)
            n = std::min<size_t>(n, sound.perCall);
        std::copy(sound.pcm.begin() + long(h->pos), sound.pcm.begin() + long(h->pos + n), buf);
        h->pos += n;
        if (n == 0) {
            h->ended = true;
            log.zeroDecodes++;
            return 0;
        }
        return ALuint(n) + sound.overclaim;
    }
    static ALboolean Rewind(void *handle)
    {
        log.rewinds++;
        auto *h = static_cast<Handle *>(handle);
        h->pos = 0;
        h->ended = false;
        return AL_TRUE;
    }
    static void Close(void *handle)
    {
        log.closes++;
        log.closed.push_back(handle);
    }
};
template <int Tag>
FakeSound AppDecoder<Tag>::sound;
template <int Tag>
DecoderLog AppDecoder<Tag>::log;
template <int Tag>
std::vector<std::unique_ptr<typename AppDecoder<Tag>::Handle>> AppDecoder<Tag>::pool;

// The OpenAL view of a buffer.
struct BufferInfo {
    ALint size = -1, frequency = -1, bits = -1, channels = -1;
    bool operator==(const BufferInfo &o) const
    {
        return size == o.size && frequency == o.frequency && bits == o.bits &&
               channels == o.channels;
    }
};
BufferInfo InspectBuffer(ALuint buffer);

// Plays a buffer from its start on a loopback device of matching layout and
// returns `frames` rendered frames.
std::vector<float> RenderBuffer(LoopbackDevice &device, ALuint buffer, size_t frames);

// Raises a real OpenAL error, left pending.
void RaiseALError();

// The name the next alGenBuffers will hand out (generated and deleted again).
ALuint NextBufferName();

} // namespace nvt
