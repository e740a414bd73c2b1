// Library-wide internals shared by every unit: the last error, the one
// recursive lock, the thread-local-context entry points, sample formats and
// the exception boundary of the exported functions.
#pragma once

#include "nuvex.h"

#include <AL/alext.h>
#include <pthread.h>

#include <new>

// Host byte order, computed once per unit at load.
static const int endian_test = 1;
static const bool LittleEndian = *reinterpret_cast<const char *>(&endian_test) != 0;
static const bool BigEndian = !LittleEndian;

void SetError(const char *message);

// For the length of a scope, the messages SetError gives on this thread go
// here instead of to the process's one slot: a load run for a job (on a
// worker, or for a batch on the caller's thread) keeps its reason to itself
// and never overwrites what the application is about to read. Messages are
// static strings, so the pointer stays valid. Scopes nest; the innermost
// captures.
class ErrorCapture {
public:
    ErrorCapture();
    ~ErrorCapture();
    ErrorCapture(const ErrorCapture &) = delete;
    ErrorCapture &operator=(const ErrorCapture &) = delete;
    void Set(const char *text) { message = text; }
    // The latest message given in the scope, null when none was.
    const char *Message() const { return message; }

private:
    ErrorCapture *outer;
    const char *message = nullptr;
};
// Whether an ErrorCapture is active on this thread: the thread then works
// for a load job and shares its context's OpenAL error state with the
// application's threads, so it must not consume an error it did not cause.
bool SharesContextErrors();

// The library's only lock. It is recursive: the update thread holds it while
// it calls nuvexUpdate, which enters it again.
extern pthread_mutex_t cs_StreamPlay;
void InitializeCriticalSection(pthread_mutex_t *mutex);
void EnterCriticalSection(pthread_mutex_t *mutex);
void LeaveCriticalSection(pthread_mutex_t *mutex);
void DeleteCriticalSection(pthread_mutex_t *mutex);
// How many times the calling thread has entered cs_StreamPlay and not left.
int StreamPlayDepth();

// Set once the library is being unloaded: end-of-play callbacks that run
// then may not start playbacks or the update thread again.
void BeginUnload();
bool Unloading();

// Scoped hold of cs_StreamPlay.
class StreamPlayLock {
public:
    StreamPlayLock() { EnterCriticalSection(&cs_StreamPlay); }
    ~StreamPlayLock() { LeaveCriticalSection(&cs_StreamPlay); }
    StreamPlayLock(const StreamPlayLock &) = delete;
    StreamPlayLock &operator=(const StreamPlayLock &) = delete;
};

// Null when the implementation lacks usable thread-local contexts.
extern ALCboolean(ALC_APIENTRY *palcSetThreadContext)(ALCcontext *context);
extern ALCcontext *(ALC_APIENTRY *palcGetThreadContext)(void);

ALenum GetSampleFormat(ALuint channels, ALuint bits, bool isFloat);
ALuint DetectBlockAlignment(ALenum format);
ALuint DetectCompressionRate(ALenum format);

// Sizes that decoders may trust when they pre-allocate from header fields.
constexpr size_t MaxLoadStep = size_t(4) << 20;

// Every exported function runs its body through this, so that no C++
// exception ever crosses the C interface.
template <typename R, typename Body>
R Boundary(R failValue, Body &&body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc &) {
        SetError("Out of memory");
    } catch (...) {
        SetError("Internal library error");
    }
    return failValue;
}

// Shorthand for the failure paths: store the message, hand back the value.
template <typename R>
inline R Fail(const char *message, R value)
{
    SetError(message);
    return value;
}

// alGetError() != AL_NO_ERROR, consuming the pending error.
inline bool OpenALErrorPending() { return alGetError() != AL_NO_ERROR; }
