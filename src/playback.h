// Background playback: the list of played sources, the context guard, and the
// detachment of a stream from playback before it is destroyed.
#pragma once

#include "core.h"

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
    bool paused = false;
    ALuint streamFreq = 0;
    ALenum streamFormat = AL_NONE;
    ALuint streamAlign = 0;
    ALCcontext *context = nullptr;

    // Refills processed buffers; returns the source state as it was before.
    ALint Update(ALint *queued);

    bool Matches(ALuint src, ALCcontext *ctx) const { return source == src && context == ctx; }

    // Whole blocks of the next chunk in the stream's chunk buffer, rewinding
    // for loops; 0 once the stream has ended. The first buffer of a playback
    // never rewinds: a stream read to its end before play has nothing to loop.
    ALuint NextChunk(bool firstBuffer);
};

// Touched only while cs_StreamPlay is held.
std::list<AsyncPlayEntry> &AsyncPlayList();

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

// Ends the playback fed by this stream, if any, running its callback.
void StopStream(nuvexStream *stream);

// Stops the update thread and joins every thread still owed a join (unload).
void ShutdownUpdateThread();
