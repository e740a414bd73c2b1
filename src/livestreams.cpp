// Live streams and their coordination with playback, seeks and patch-set
// changes.
//
// THE LOCK ORDER. A thread may take a lock only while it holds none of those
// listed below it:
//   1. cs_StreamPlay, the library's lock (recursive). Guards the live
//      streams, every stream's state, the playback list and the update
//      thread's bookkeeping. Held by nuvexUpdate while it refills streams,
//      so what runs under it must be short: decoding one chunk, a seek that
//      jumps, OpenAL calls. Never held across font loads, file scans or
//      forward decodes; a borrow (below) gives it up for those.
//   2. The load queue's lock (backgroundload.cpp): guards the jobs of the
//      loads in the background, their lists and the worker count. Taken
//      with or without lock 1 (an asynchronous load asked for from a
//      callback, the delivery in nuvexUpdate), always briefly: no decode,
//      no OpenAL call, no callback and no other lock of ours is ever taken
//      under it. A worker holds no lock while it decodes and uploads; its
//      decode may take lock 1 (a MIDI load's first SoundFont) or a
//      decoder's lock, never with this one held. Its condition variables:
//      workers wait for jobs; batches and shutdowns wait for jobs to end,
//      and a shutdown holding lock 1 (called from a callback) waits only
//      for uploads, which never take lock 1.
//   3. A decoder's own locks, each around its library's calls only:
//      the module decoder's lock (libmodplug mixes in process-wide buffers,
//      so one call at a time), and the MIDI decoder's, in this order:
//        a. the SoundFont load lock: held while a font loads or is freed,
//           seconds for a large font, so never taken with lock 1 held
//           (fonts are loaded and freed by threads that hold none);
//        b. the SoundFont cache's lock: its list of loaded fonts, held for
//           a lookup or an insertion, never across a load or a free;
//        c. a font's use lock: every call on a synthesiser that plays the
//           font, one event or one block of output at a time;
//        d. the lock around making and deleting a synthesiser.
//      b, c and d are taken with or without lock 1.
//   4. Locks inside the dependencies (OpenAL Soft's context and device
//      locks, FluidSynth's per-synthesiser mutex): never held by us when we
//      call into the library.
// Condition variables on lock 1 wait only at depth one (a thread inside an
// end-of-play callback holds it twice and cannot wait); the load queue's
// wait under lock 1 is the one for uploads above.
//
// ONE OWNER OF A STREAM'S STATE. A live stream's decoder and fields are
// touched by the thread that holds lock 1, or by the one thread that has
// borrowed the stream. A borrow (a forward-decoding seek, a patch-set
// change, the readiness check before a playback starts) marks the stream,
// holds its playback (updates skip it) and gives lock 1 up for the slow
// work; every other call on the stream waits for the borrow to end. A
// destroy during a borrow only detaches the stream; the borrower destroys
// it when it is done.
//
// THE DEPENDENCIES ACROSS THREADS (what decoding on several threads at
// once may rely on):
//   - OpenAL Soft: every call is safe from any thread; the current context
//     is process-wide unless ALC_EXT_thread_local_context sets one for the
//     thread (ProtectContext does, per call; a load worker, per job). A
//     context's error state is shared by every thread using it: load
//     workers never consume an error they did not cause.
//   - libvorbisfile, libsndfile, libmpg123: no shared state between handles;
//     one handle is used by one thread at a time. libsndfile's error for a
//     failed open (sf_strerror(NULL)) is process-wide and not relied on.
//     mpg123_init runs once, at library load.
//   - FluidSynth: settings and synthesisers are per object and locked
//     inside, but a font that several synthesisers share is written by
//     each as it plays (the font's use lock, 2c), and making or deleting a
//     synthesiser counts users of process-wide state without a lock (2d).
//     Loading the library (dlopen) happens once.
//   - libmodplug: its mixer state is process-wide: every call goes through
//     the module decoder's lock, so modules decode one at a time.
#include "livestreams.h"

#include "playback.h"

#include <algorithm>
#include <list>

namespace {
struct LiveRecord {
    StreamPtr stream;
    bool borrowed = false;
    // The borrower: its own decoder or I/O callbacks may call back into the
    // library on this stream, and must not wait for themselves.
    pthread_t borrower{};
    // Destroyed by the application while borrowed: no longer live, and
    // destroyed by the borrower.
    bool detached = false;
};

// Made before, and so destroyed after, the unload sequence.
std::list<LiveRecord> Records __attribute__((init_priority(103)));

// Woken whenever a borrow ends.
pthread_cond_t BorrowEnded = PTHREAD_COND_INITIALIZER;

std::list<LiveRecord>::iterator FindRecord(const nuvexStream *handle)
{
    return std::find_if(Records.begin(), Records.end(), [handle](const LiveRecord &record) {
        return !record.detached && record.stream.get() == handle;
    });
}

bool IsLive(const nuvexStream *handle) { return handle && FindRecord(handle) != Records.end(); }

// Gives the library's lock up for the length of a scope; the thread holds
// it exactly once.
class LockReleased {
public:
    LockReleased() { LeaveCriticalSection(&cs_StreamPlay); }
    ~LockReleased() { EnterCriticalSection(&cs_StreamPlay); }
    LockReleased(const LockReleased &) = delete;
    LockReleased &operator=(const LockReleased &) = delete;
};

// A borrow for the length of a scope (see the top of this file). Ends with
// the lock held; alive() tells afterwards whether the stream survived it.
class Borrow {
public:
    explicit Borrow(std::list<LiveRecord>::iterator record) : record(record)
    {
        record->borrowed = true;
        record->borrower = pthread_self();
        HoldPlayback(record->stream.get(), true);
    }
    ~Borrow()
    {
        record->borrowed = false;
        pthread_cond_broadcast(&BorrowEnded);
        if (record->detached)
            Records.erase(record);
        else
            HoldPlayback(record->stream.get(), false);
    }
    Borrow(const Borrow &) = delete;
    Borrow &operator=(const Borrow &) = delete;
    bool alive() const { return !record->detached; }

private:
    std::list<LiveRecord>::iterator record;
};

// Runs `work` on a live stream that the calling thread may use (see
// AwaitLiveStream) without the library's lock; inside an end-of-play
// callback, where the lock cannot be given up, with it. False when `work`
// failed or when the stream was destroyed meanwhile ("Invalid stream
// pointer", and *survived false when given).
template <typename Work>
bool RunBorrowed(nuvexStream *stream, Work &&work, bool *survived = nullptr)
{
    if (survived)
        *survived = true;
    if (StreamPlayDepth() > 1)
        return work();
    bool done = false, alive = false;
    {
        Borrow borrow(FindRecord(stream));
        {
            LockReleased unlocked;
            done = work();
        }
        alive = borrow.alive();
    }
    if (survived)
        *survived = alive;
    return alive ? done : Fail("Invalid stream pointer", false);
}

} // namespace

bool ReadyLiveStream(nuvexStream *stream)
{
    bool survived = true;
    RunBorrowed(stream, [stream] { return stream->ReadyForLoad(false); }, &survived);
    return survived;
}

nuvexStream *AdoptStream(StreamPtr stream)
{
    StreamPlayLock lock;
    Records.emplace_front();
    Records.front().stream = std::move(stream);
    return Records.front().stream.get();
}

void ClearLiveStreams()
{
    // Each stream leaves the list before its playback is stopped, and the
    // next one is taken from the front afresh: an end-of-play callback may
    // destroy other streams meanwhile, and none may be destroyed twice.
    StreamPlayLock lock;
    while (!Records.empty()) {
        StreamPtr stream = std::move(Records.front().stream);
        Records.pop_front();
        StopStream(stream.get());
    }
}

bool LiveStream(const nuvexStream *handle)
{
    return IsLive(handle) || Fail("Invalid stream pointer", false);
}

bool AwaitLiveStream(const nuvexStream *handle, const char *busyMessage)
{
    for (;;) {
        if (!IsLive(handle))
            return Fail("Invalid stream pointer", false);
        const LiveRecord &record = *FindRecord(handle);
        if (!record.borrowed)
            return true;
        if (StreamPlayDepth() > 1 || pthread_equal(record.borrower, pthread_self()))
            return Fail(busyMessage, false);
        pthread_cond_wait(&BorrowEnded, &cs_StreamPlay);
    }
}

extern "C" {

NUVEX_API ALboolean NUVEX_APIENTRY nuvexSetStreamPatchset(nuvexStream *stream,
                                                          const ALchar *patchset)
{
    return Boundary<ALboolean>(AL_FALSE, [&]() -> ALboolean {
        StreamPlayLock lock;
        if (!AwaitLiveStream(stream))
            return AL_FALSE;
        return RunBorrowed(stream, [=] { return stream->SetPatchset(patchset); }) ? AL_TRUE
                                                                                  : AL_FALSE;
    });
}

NUVEX_API ALboolean NUVEX_APIENTRY nuvexSetStreamPosition(nuvexStream *stream, nuvexUInt64 frame)
{
    return Boundary<ALboolean>(AL_FALSE, [&]() -> ALboolean {
        StreamPlayLock lock;
        if (OpenALErrorPending())
            return Fail<ALboolean>("Existing OpenAL error", AL_FALSE);
        if (!AwaitLiveStream(stream, "Stream cannot seek"))
            return AL_FALSE;
        const nuvexUInt64 length = stream->SeekLength();
        if (length > 0 && frame >= length)
            return Fail<ALboolean>("Position past the end", AL_FALSE);
        nuvexUInt64 at = stream->position;
        // Only a forward decode is worth giving the lock up for.
        bool survived = true;
        const bool moved = stream->SeeksDirectly()
                               ? stream->Seek(frame, at)
                               : RunBorrowed(stream, [&] { return stream->Seek(frame, at); }, &survived);
        if (!survived)
            return AL_FALSE;
        stream->position = at;
        if (!moved)
            return AL_FALSE;
        if (!RestartPlayback(stream))
            return Fail<ALboolean>("Error buffering from stream", AL_FALSE);
        return AL_TRUE;
    });
}

NUVEX_API nuvexUInt64 NUVEX_APIENTRY nuvexGetStreamPosition(nuvexStream *stream)
{
    return Boundary<nuvexUInt64>(~nuvexUInt64(0), [&]() -> nuvexUInt64 {
        StreamPlayLock lock;
        // A borrower moves the position only once it holds the lock again,
        // so the position needs no wait for it.
        if (!IsLive(stream))
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
        StreamPlayLock lock;
        if (stream && !IsLive(stream))
            return Fail<ALboolean>("Invalid stream pointer", AL_FALSE);
        if (numBufs > 0) {
            alDeleteBuffers(numBufs, bufs);
            if (OpenALErrorPending())
                return Fail<ALboolean>("Buffer deletion failed", AL_FALSE);
        }
        if (!stream)
            return AL_TRUE;
        // No longer live first: an end-of-play callback that destroys this
        // same stream then fails cleanly instead of destroying it twice.
        auto record = FindRecord(stream);
        record->detached = true;
        StopStream(stream);
        if (!record->borrowed)
            Records.erase(record);
        else
            stream->abandoned = true;
        return AL_TRUE;
    });
}

NUVEX_API ALboolean NUVEX_APIENTRY nuvexPlaySourceStream(
    ALuint source, nuvexStream *stream, ALsizei numBufs, ALsizei loopcount,
    void (*eos_callback)(void *userdata, ALuint source), void *userdata)
{
    return Boundary<ALboolean>(AL_FALSE, [&]() -> ALboolean {
        ProtectContext guard;
        ALCcontext *ctx = alcGetCurrentContext();
        if (OpenALErrorPending())
            return Fail<ALboolean>("Existing OpenAL error", AL_FALSE);
        StreamPlayLock lock;
        if (!IsLive(stream))
            return Fail<ALboolean>("Invalid stream pointer", AL_FALSE);
        if (numBufs < 2)
            return Fail<ALboolean>("Invalid buffer count", AL_FALSE);
        if (!alIsSource(source))
            return Fail<ALboolean>("Invalid source ID", AL_FALSE);
        if (!AwaitLiveStream(stream, "Stream is already playing"))
            return AL_FALSE;
        // A borrow ends with the lock held, so no other borrow can have
        // begun since: the stream is still this thread's to start.
        if (!ReadyLiveStream(stream))
            return AL_FALSE;
        return StartStreamPlayback({source, stream, numBufs, loopcount, eos_callback, userdata, ctx})
                   ? AL_TRUE
                   : AL_FALSE;
    });
}

} // extern "C"
