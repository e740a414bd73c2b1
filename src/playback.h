// Background playback: the list of played sources, the context guard, and the
// detachment of a stream from playback before it is destroyed.
#pragma once

#include "core.h"

#include <deque>
#include <list>
#include <vector>

class nuvexStream;

using EndOfPlayCallback = void (*)(void *userdata, ALuint source);

struct AsyncPlayEntry {
    ALuint source = 0;
    nuvexStream *stream = nullptr; // not owned
    std::vector<ALuint> buffers;   // generated for this playback
    ALsizei loopCount = 0;
    ALsizei maxLoops = 0;
    EndOfPlayCallback eosCallback = nullptr;
    void *userData = nullptr;
    bool finished = false;
    // Set by a seek: the frame it lands on is heard next, even the loop's
    // end (the outro's first frame), which would otherwise start a pass.
    bool landing = false;
    bool paused = false;
    // While another thread has borrowed the stream (see livestreams.cpp),
    // updates leave this playback alone.
    bool held = false;
    ALuint streamFreq = 0;
    ALenum streamFormat = AL_NONE;
    ALuint streamAlign = 0;
    ALCcontext *context = nullptr;
    // What each queued buffer holds, in queue order: the stretches of the
    // stream it was filled from (more than one where it spans a loop's join
    // or a rewind). The played position is read from these.
    struct Stretch {
        nuvexUInt64 start;
        nuvexUInt64 frames;
    };
    struct QueuedChunk {
        std::vector<Stretch> stretches;
        nuvexUInt64 frames = 0;
        // Where in the buffer a loop pass begins, in frames (a pass
        // counted while filling it).
        std::vector<nuvexUInt64> passStarts;
        // The stream frame `into` frames into the buffer.
        nuvexUInt64 FrameAt(nuvexUInt64 into) const;
        nuvexUInt64 EndFrame() const
        {
            return stretches.empty() ? 0 : stretches.back().start + stretches.back().frames;
        }
    };
    std::deque<QueuedChunk> chunks;

    // Refills processed buffers; returns the source state as it was before.
    ALint Update(ALint *queued);
    // Fills `buffer` with the next chunk and notes what it holds; false once
    // the stream has ended (see NextChunk).
    bool Refill(ALuint buffer, bool firstBuffer);

    bool Matches(ALuint src, ALCcontext *ctx) const { return source == src && context == ctx; }

    // Fills the stream's chunk buffer with whole blocks, going on across
    // joins: at the end of the stream's loop (its loop points, or the
    // stream's end without them) while passes are left, the stream moves to
    // the loop's start and the chunk goes on from there. Returns the bytes
    // filled, 0 once the stream has ended. The first buffer of a playback
    // never rewinds from the stream's end: a stream read to its end before
    // play has nothing to loop.
    ALuint NextChunk(bool firstBuffer, QueuedChunk &chunk);
    // Gives back the passes counted for queued frames past the first
    // `heard` ones, before the queue is dropped (a seek).
    void RefundUnheardPasses(nuvexUInt64 heard);

private:
    // Whether another pass is owed; counts it.
    bool TakePass();
    // Moves the stream to the loop's start for the next pass.
    bool Join();
    // Appends the pass just read once more, when it lies whole at the end
    // of the chunk (one unbroken stretch) and fits after it: the frames a
    // join and a decode would give, without a seek per pass for a loop of
    // a few frames. The stream stays at the loop's end, as after a pass.
    bool RepeatPass(ALubyte *data, ALuint &filled, ALuint size, QueuedChunk &chunk);
    // Starts the next pass (counted already): by RepeatPass, else by Join.
    void NextPass(ALubyte *data, ALuint &filled, ALuint size, QueuedChunk &chunk,
                  bool &joinedWithoutData, size_t &seeks);
};

// Pins the calling thread's context for the length of a call.
class ProtectContext {
public:
    ProtectContext() { protect(); }
    ~ProtectContext() { unprotect(); }
    ProtectContext(const ProtectContext &) = delete;
    ProtectContext &operator=(const ProtectContext &) = delete;
    void protect();
    void unprotect();

private:
    ALCcontext *savedContext = nullptr;
};

// Puts a context in force on the calling thread for the length of a scope
// (a playback's, a load's), the thread's own back after; ok() is false when
// that context is gone. Without thread-local contexts it changes nothing.
class EntryContext {
public:
    explicit EntryContext(ALCcontext *context)
    {
        saved = palcGetThreadContext ? palcGetThreadContext() : nullptr;
        ok_ = !palcSetThreadContext || palcSetThreadContext(context);
    }
    ~EntryContext()
    {
        if (palcSetThreadContext && !palcSetThreadContext(saved))
            palcSetThreadContext(nullptr);
    }
    EntryContext(const EntryContext &) = delete;
    EntryContext &operator=(const EntryContext &) = delete;
    bool ok() const { return ok_; }

private:
    ALCcontext *saved = nullptr;
    bool ok_ = false;
};

// Ends the playback fed by this stream, if any, running its callback.
void StopStream(nuvexStream *stream);

// What nuvexPlaySourceStream asks for, its checks of the stream done.
struct StreamPlayRequest {
    ALuint source;
    nuvexStream *stream;
    ALsizei numBufs;
    ALsizei loopCount;
    EndOfPlayCallback eosCallback;
    void *userData;
    ALCcontext *context;
};
// Starts a playback of a live stream, with the library's lock held; false
// with the message set when it cannot.
bool StartStreamPlayback(const StreamPlayRequest &request);

// After a seek: the playback fed by this stream, if any, drops its queued
// buffers and plays on (or stays paused) from where the stream now stands.
// False when its buffers could not be refilled.
bool RestartPlayback(nuvexStream *stream);
// Holds or releases the playback fed by this stream, if any (see `held`).
void HoldPlayback(const nuvexStream *stream, bool hold);
// The frame of a played stream that the listener hears now; false when no
// playback of it is listed.
bool HeardPosition(nuvexStream *stream, nuvexUInt64 *frame);
// Stops the update thread and joins every thread still owed a join (unload).
void ShutdownUpdateThread();
