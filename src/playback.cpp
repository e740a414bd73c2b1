// Background playback: sources fed by the library, source control, and the
// update thread that drives them.
#include "playback.h"

#include "backgroundload.h"
#include "streamdec.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>
#include <cstring>
#include <ctime>
#include <utility>

// ---- Playback list and context guard ----------------------------------------------

void ProtectContext::protect()
{
    savedContext = palcGetThreadContext ? palcGetThreadContext() : nullptr;
    if (palcSetThreadContext)
        palcSetThreadContext(alcGetCurrentContext());
}

void ProtectContext::unprotect()
{
    if (!palcSetThreadContext)
        return;
    if (!palcSetThreadContext(savedContext))
        palcSetThreadContext(nullptr);
}

namespace {
// Touched only while cs_StreamPlay is held. Made before, and so destroyed
// after, the unload sequence.
std::list<AsyncPlayEntry> PlayList __attribute__((init_priority(103)));

std::list<AsyncPlayEntry> &AsyncPlayList() { return PlayList; }

// Runs an entry's end-of-play callback with the caller's own context back in
// force; the lock stays held.
void RunCallback(const AsyncPlayEntry &entry, ProtectContext *guard)
{
    if (!entry.eosCallback)
        return;
    if (guard)
        guard->unprotect();
    entry.eosCallback(entry.userData, entry.source);
    if (guard)
        guard->protect();
}

void ReleaseBuffers(const AsyncPlayEntry &entry)
{
    alSourcei(entry.source, AL_BUFFER, 0);
    alDeleteBuffers(ALsizei(entry.buffers.size()), entry.buffers.data());
}

// Takes the entry out of the list: clean-up and callback work on the copy, so
// that the callback sees the list without it.
AsyncPlayEntry TakeEntry(std::list<AsyncPlayEntry>::iterator it)
{
    AsyncPlayEntry entry = std::move(*it);
    AsyncPlayList().erase(it);
    return entry;
}
} // namespace

void StopStream(nuvexStream *stream)
{
    StreamPlayLock lock;
    auto &list = AsyncPlayList();
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->stream != stream)
            continue;
        AsyncPlayEntry entry = TakeEntry(it);
        ALCcontext *saved = palcGetThreadContext ? palcGetThreadContext() : nullptr;
        if (!palcSetThreadContext || palcSetThreadContext(entry.context)) {
            alSourceStop(entry.source);
            ReleaseBuffers(entry);
            alGetError();
            if (palcSetThreadContext && !palcSetThreadContext(saved))
                palcSetThreadContext(nullptr);
        }
        RunCallback(entry, nullptr);
        return;
    }
}

// ---- Source playback -------------------------------------------------------------------

nuvexUInt64 AsyncPlayEntry::QueuedChunk::FrameAt(nuvexUInt64 into) const
{
    for (const Stretch &stretch : stretches) {
        if (into < stretch.frames)
            return stretch.start + into;
        into -= stretch.frames;
    }
    return EndFrame();
}

bool AsyncPlayEntry::TakePass()
{
    // Every negative count is endless, and is never counted: a loop of one
    // frame passes 2^31 times in half a day.
    if (maxLoops < 0)
        return true;
    if (loopCount == maxLoops)
        return false;
    loopCount++;
    return true;
}

void AsyncPlayEntry::RefundUnheardPasses(nuvexUInt64 heard)
{
    nuvexUInt64 at = 0;
    for (const QueuedChunk &chunk : chunks) {
        for (nuvexUInt64 passStart : chunk.passStarts)
            if (at + passStart >= heard && maxLoops >= 0 && loopCount > 0)
                loopCount--;
        at += chunk.frames;
    }
}

bool AsyncPlayEntry::Join()
{
    const nuvexUInt64 start = stream->loop.start;
    if (start == 0)
        return stream->Restart();
    // The loop was accepted only for a decoder that jumps (LoopProblem):
    // this is no forward decode on the update path.
    nuvexUInt64 at = stream->position;
    const bool moved = stream->Seek(start, at);
    stream->position = at;
    return moved;
}

bool AsyncPlayEntry::RepeatPass(ALubyte *data, ALuint &filled, ALuint size, QueuedChunk &chunk)
{
    // Only loop points: a whole stream loops by its rewind, which a stream
    // that cannot rewind (a callback) refuses, ending it as documented.
    const nuvexUInt64 start = stream->loop.start, end = stream->position;
    if (!stream->loop.Present() || chunk.stretches.empty() || end <= start)
        return false;
    const Stretch &last = chunk.stretches.back();
    if (last.start > start || last.start + last.frames != end)
        return false;
    const ALuint bytes = stream->BytesFor(end - start);
    if (bytes == 0 || stream->FramesIn(bytes) != end - start || bytes > size - filled)
        return false;
    memcpy(data + filled, data + filled - bytes, bytes);
    chunk.passStarts.push_back(stream->FramesIn(filled));
    chunk.stretches.push_back({start, end - start});
    chunk.frames += end - start;
    filled += bytes;
    return true;
}

void AsyncPlayEntry::NextPass(ALubyte *data, ALuint &filled, ALuint size, QueuedChunk &chunk,
                              bool &joinedWithoutData, size_t &seeks)
{
    if (RepeatPass(data, filled, size, chunk)) {
        joinedWithoutData = false;
        return;
    }
    finished = !Join();
    joinedWithoutData = true;
    seeks++;
    chunk.passStarts.push_back(stream->FramesIn(filled));
}

ALuint AsyncPlayEntry::NextChunk(bool firstBuffer, QueuedChunk &chunk)
{
    ALubyte *data = stream->chunkBuffer.data();
    const ALuint size = ALuint(stream->chunkBuffer.size());
    ALuint filled = 0;
    // A stream that moves to the loop's start but then yields nothing has
    // ended: without this rule an endless loop count would spin here with
    // the lock held.
    bool joinedWithoutData = false;
    // A loop of a few frames repeats the pass already in the chunk
    // (RepeatPass); a body that does not fit, or that the decoder delivers
    // in pieces, would still have a chunk seek many times on the update
    // path (a MIDI seek costs as much as the events before the loop): past
    // this many seeks the chunk ends short instead.
    constexpr size_t MaxSeeksPerChunk = 64;
    size_t seeks = 0;
    while (!finished && filled < size && seeks < MaxSeeksPerChunk) {
        const LoopPoints loop = stream->loop;
        const nuvexUInt64 from = stream->position;
        const bool landed = std::exchange(landing, false);
        if (loop.end != 0 && from == loop.end && !joinedWithoutData && !landed && TakePass()) {
            NextPass(data, filled, size, chunk, joinedWithoutData, seeks);
            continue;
        }
        // A loop's end ahead ends this read there; in the outro, past it,
        // nothing does.
        ALuint room = size - filled;
        if (loop.end != 0 && from < loop.end)
            room = std::min(room, stream->BytesFor(loop.end - from));
        const ALuint got = ReadBlocks(*stream, streamAlign, data + filled, room);
        if (got > 0) {
            const nuvexUInt64 frames = stream->FramesIn(got);
            if (!chunk.stretches.empty() && chunk.EndFrame() == from)
                chunk.stretches.back().frames += frames;
            else
                chunk.stretches.push_back({from, frames});
            chunk.frames += frames;
            filled += got;
            joinedWithoutData = false;
            continue;
        }
        // The stream's end: a join, unless the stream stands past its
        // loop's end (the outro has played).
        const bool joinsHere = loop.end == 0 || stream->position < loop.end;
        if (!joinsHere || (firstBuffer && filled == 0) || joinedWithoutData || !TakePass()) {
            finished = true;
            break;
        }
        NextPass(data, filled, size, chunk, joinedWithoutData, seeks);
    }
    return filled;
}

bool AsyncPlayEntry::Refill(ALuint buffer, bool firstBuffer)
{
    QueuedChunk chunk;
    ALuint got = NextChunk(firstBuffer, chunk);
    if (got == 0)
        return false;
    alBufferData(buffer, streamFormat, stream->chunkBuffer.data(), ALsizei(got),
                 ALsizei(streamFreq));
    chunks.push_back(std::move(chunk));
    return true;
}

ALint AsyncPlayEntry::Update(ALint *queued)
{
    ALint state = AL_STOPPED;
    alGetSourcei(source, AL_SOURCE_STATE, &state);
    ALint processed = 0;
    alGetSourcei(source, AL_BUFFERS_PROCESSED, &processed);
    for (; processed > 0; processed--) {
        ALuint buffer = 0;
        alSourceUnqueueBuffers(source, 1, &buffer);
        if (!chunks.empty())
            chunks.pop_front();
        if (Refill(buffer, false))
            alSourceQueueBuffers(source, 1, &buffer);
    }
    *queued = 0;
    alGetSourcei(source, AL_BUFFERS_QUEUED, queued);
    return state;
}

namespace {
// Deletes the generated buffer names on every failure path.
class GeneratedBuffers {
public:
    explicit GeneratedBuffers(std::vector<ALuint> &names) : names(names) {}
    ~GeneratedBuffers()
    {
        if (armed) {
            alDeleteBuffers(ALsizei(names.size()), names.data());
            alGetError();
        }
    }
    void Arm() { armed = true; }
    void Release() { armed = false; }

private:
    std::vector<ALuint> &names;
    bool armed = false;
};

// The first entry that a new stream playback would conflict with, and why.
const char *Conflict(ALuint source, const nuvexStream *stream, ALCcontext *ctx)
{
    for (const AsyncPlayEntry &entry : AsyncPlayList()) {
        if (entry.stream && entry.stream == stream)
            return "Stream is already playing";
        if (entry.Matches(source, ctx))
            return "Source is already playing";
    }
    return nullptr;
}

// Fills the buffers of the ring for queueing; returns how many were filled.
// A new playback's first buffer never rewinds (see NextChunk); one that
// goes on after a seek loops as its updates would.
ALsizei FillRing(AsyncPlayEntry &entry, bool goingOn = false)
{
    ALsizei filled = 0;
    if (!entry.stream->GetFormat(&entry.streamFormat, &entry.streamFreq, &entry.streamAlign))
        return 0;
    while (filled < ALsizei(entry.buffers.size()) &&
           entry.Refill(entry.buffers[size_t(filled)], filled == 0 && !goingOn))
        filled++;
    return filled;
}

AsyncPlayEntry *EntryOf(const nuvexStream *stream)
{
    for (AsyncPlayEntry &entry : AsyncPlayList())
        if (entry.stream == stream)
            return &entry;
    return nullptr;
}

// Frames of output latency at `rate`, when the device reports them.
ALint64SOFT LatencyFrames(ALuint source, ALuint rate, ALint64SOFT *offset)
{
    auto query = alIsExtensionPresent("AL_SOFT_source_latency")
                     ? reinterpret_cast<LPALGETSOURCEI64VSOFT>(alGetProcAddress("alGetSourcei64vSOFT"))
                     : nullptr;
    if (!query)
        return 0;
    // The offset in 32.32 fixed point, then the latency in nanoseconds.
    ALint64SOFT values[2] = {0, 0};
    query(source, AL_SAMPLE_OFFSET_LATENCY_SOFT, values);
    *offset = values[0] >> 32;
    return values[1] > 0 ? values[1] * ALint64SOFT(rate) / 1000000000 : 0;
}

// Frames of the queue the listener has heard, with the entry's context in
// force: all of them once the source has stopped (a source that ran dry
// reads offset 0 but has played all it holds).
nuvexUInt64 HeardInto(const AsyncPlayEntry &entry)
{
    ALint state = AL_STOPPED, offset = 0;
    alGetSourcei(entry.source, AL_SOURCE_STATE, &state);
    alGetSourcei(entry.source, AL_SAMPLE_OFFSET, &offset);
    ALint64SOFT precise = offset;
    const ALint64SOFT latency = LatencyFrames(entry.source, entry.streamFreq, &precise);
    // No alGetError: a query must not swallow an error the application has
    // pending (these calls raise none on a source the library plays).
    if (state == AL_STOPPED)
        return ~nuvexUInt64(0);
    return nuvexUInt64(std::max<ALint64SOFT>(precise - latency, 0));
}
} // namespace

bool RestartPlayback(nuvexStream *stream)
{
    StreamPlayLock lock;
    AsyncPlayEntry *entry = EntryOf(stream);
    if (!entry)
        return true;
    EntryContext context(entry->context);
    if (!context.ok())
        return true; // the next update ends it
    // Passes the ring read ahead into but the listener never reached are
    // not used up: the seek drops them.
    entry->RefundUnheardPasses(HeardInto(*entry));
    alSourceStop(entry->source);
    alSourcei(entry->source, AL_BUFFER, 0);
    entry->chunks.clear();
    entry->finished = false;
    entry->landing = true;
    // Nothing queued ends the playback at the next update. OpenAL's error
    // is the context's, not this thread's: it does not tell.
    ALsizei filled = FillRing(*entry, true);
    bool refilled = filled > 0;
    alSourceQueueBuffers(entry->source, filled, entry->buffers.data());
    // A rewound source keeps its buffers unplayed (a stopped one would have
    // them all counted as processed by the next update).
    if (entry->paused)
        alSourceRewind(entry->source);
    else
        alSourcePlay(entry->source);
    alGetError();
    return refilled;
}

void HoldPlayback(const nuvexStream *stream, bool hold)
{
    StreamPlayLock lock;
    if (AsyncPlayEntry *entry = EntryOf(stream))
        entry->held = hold;
}

bool HeardPosition(nuvexStream *stream, nuvexUInt64 *frame)
{
    StreamPlayLock lock;
    AsyncPlayEntry *entry = EntryOf(stream);
    if (!entry)
        return false;
    EntryContext context(entry->context);
    if (!context.ok() || entry->chunks.empty()) {
        *frame = stream->position;
        return true;
    }
    nuvexUInt64 into = HeardInto(*entry);
    *frame = entry->chunks.back().EndFrame();
    for (const AsyncPlayEntry::QueuedChunk &chunk : entry->chunks) {
        if (into < chunk.frames) {
            *frame = chunk.FrameAt(into);
            break;
        }
        into -= chunk.frames;
    }
    return true;
}

bool StartStreamPlayback(const StreamPlayRequest &request)
{
    StreamPlayLock lock;
    if (Unloading())
        return Fail("Error starting source", false);
    if (const char *conflict = Conflict(request.source, request.stream, request.context))
        return Fail(conflict, false);

    std::list<AsyncPlayEntry> node(1);
    AsyncPlayEntry &entry = node.front();
    entry.source = request.source;
    entry.stream = request.stream;
    entry.maxLoops = request.loopCount;
    entry.eosCallback = request.eosCallback;
    entry.userData = request.userData;
    entry.context = request.context;
    entry.buffers.assign(size_t(request.numBufs), 0);

    alGenBuffers(request.numBufs, entry.buffers.data());
    if (OpenALErrorPending())
        return Fail("Error generating buffers", false);
    GeneratedBuffers generated(entry.buffers);
    generated.Arm();

    ALsizei filled = FillRing(entry);
    if (filled == 0)
        return Fail("Error buffering from stream", false);

    alSourcei(request.source, AL_LOOPING, AL_FALSE);
    alSourcei(request.source, AL_BUFFER, 0);
    bool started = !OpenALErrorPending();
    if (started) {
        alSourceQueueBuffers(request.source, filled, entry.buffers.data());
        alSourcePlay(request.source);
        started = !OpenALErrorPending();
    }
    if (!started) {
        alSourcei(request.source, AL_BUFFER, 0);
        return Fail("Error starting source", false);
    }
    generated.Release();
    AsyncPlayList().splice(AsyncPlayList().begin(), node);
    return true;
}

extern "C" {

NUVEX_API ALboolean NUVEX_APIENTRY nuvexPlaySource(ALuint source,
                                                   void (*callback)(void *userdata, ALuint source),
                                                   void *userdata)
{
    return Boundary<ALboolean>(AL_FALSE, [&]() -> ALboolean {
        ProtectContext guard;
        ALCcontext *ctx = alcGetCurrentContext();
        if (OpenALErrorPending())
            return Fail<ALboolean>("Existing OpenAL error", AL_FALSE);

        StreamPlayLock lock;
        auto &list = AsyncPlayList();
        for (const AsyncPlayEntry &entry : list)
            if (entry.Matches(source, ctx))
                return Fail<ALboolean>("Source is already playing", AL_FALSE);

        // The node is made before the source starts, so running out of
        // memory cannot leave a playing source with a lost callback.
        if (Unloading())
            return Fail<ALboolean>("Error starting source", AL_FALSE);
        std::list<AsyncPlayEntry> node;
        if (callback) {
            node.emplace_back();
            node.front().source = source;
            node.front().eosCallback = callback;
            node.front().userData = userdata;
            node.front().context = ctx;
        }
        alSourcePlay(source);
        if (OpenALErrorPending())
            return Fail<ALboolean>("Error starting source", AL_FALSE);
        list.splice(list.begin(), node);
        return AL_TRUE;
    });
}

NUVEX_API void NUVEX_APIENTRY nuvexUpdate(void)
{
    Boundary<int>(0, []() -> int {
        ProtectContext guard;
        StreamPlayLock lock;
        auto &list = AsyncPlayList();
        auto it = list.begin();
        // Switching contexts costs as much as a source query: entries of the
        // context already in force skip it. The guard has put the current
        // context in force, and puts it back after every callback; every
        // path that runs one restarts the walk.
        ALCcontext *inForce = nullptr;
        while (it != list.end()) {
            if (it == list.begin())
                inForce = alcGetCurrentContext();
            if (palcSetThreadContext && it->context != inForce &&
                !palcSetThreadContext(it->context)) {
                // The context is gone: end the playback without touching OpenAL.
                RunCallback(TakeEntry(it), &guard);
                it = list.begin();
                continue;
            }
            inForce = it->context;
            if (it->held) {
                ++it; // another thread has the stream
                continue;
            }
            if (!it->stream) {
                ALint state = AL_STOPPED;
                alGetSourcei(it->source, AL_SOURCE_STATE, &state);
                if (state == AL_STOPPED || state == AL_INITIAL) {
                    RunCallback(TakeEntry(it), &guard);
                    it = list.begin();
                    continue;
                }
            } else {
                ALint queued = 0;
                ALint state = it->Update(&queued);
                if (state != AL_PLAYING) {
                    if (queued == 0) {
                        AsyncPlayEntry entry = TakeEntry(it);
                        ReleaseBuffers(entry);
                        RunCallback(entry, &guard);
                        it = list.begin();
                        continue;
                    }
                    if (!it->paused)
                        alSourcePlay(it->source);
                }
            }
            ++it;
        }
        DeliverFinishedLoads(guard);
        return 0;
    });
}

// ---- Source control ---------------------------------------------------------------------

NUVEX_API ALboolean NUVEX_APIENTRY nuvexStopSource(ALuint source, ALboolean run_callback)
{
    return Boundary<ALboolean>(AL_FALSE, [&]() -> ALboolean {
        ProtectContext guard;
        ALCcontext *ctx = alcGetCurrentContext();
        if (OpenALErrorPending())
            return Fail<ALboolean>("Existing OpenAL error", AL_FALSE);

        StreamPlayLock lock;
        alSourceStop(source);
        if (OpenALErrorPending())
            return Fail<ALboolean>("Error stopping source", AL_FALSE);
        auto &list = AsyncPlayList();
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (!it->Matches(source, ctx))
                continue;
            AsyncPlayEntry entry = TakeEntry(it);
            if (!entry.buffers.empty()) {
                ReleaseBuffers(entry);
                alGetError();
            }
            if (run_callback)
                RunCallback(entry, &guard);
            break;
        }
        return AL_TRUE;
    });
}

namespace {
// Pause and resume differ only in the OpenAL call, the message and the mark.
ALboolean SetPaused(ALuint source, bool paused)
{
    return Boundary<ALboolean>(AL_FALSE, [&]() -> ALboolean {
        ProtectContext guard;
        ALCcontext *ctx = alcGetCurrentContext();
        if (OpenALErrorPending())
            return Fail<ALboolean>("Existing OpenAL error", AL_FALSE);

        StreamPlayLock lock;
        if (paused)
            alSourcePause(source);
        else
            alSourcePlay(source);
        if (OpenALErrorPending())
            return Fail<ALboolean>(paused ? "Error pausing source" : "Error playing source",
                                   AL_FALSE);
        for (AsyncPlayEntry &entry : AsyncPlayList()) {
            if (entry.Matches(source, ctx)) {
                entry.paused = paused;
                break;
            }
        }
        return AL_TRUE;
    });
}
} // namespace

NUVEX_API ALboolean NUVEX_APIENTRY nuvexPauseSource(ALuint source)
{
    return SetPaused(source, true);
}

NUVEX_API ALboolean NUVEX_APIENTRY nuvexResumeSource(ALuint source)
{
    return SetPaused(source, false);
}

} // extern "C"

// ---- Update thread ------------------------------------------------------------------------

namespace {
struct ThreadInfo {
    ALuint (*func)(void *);
    void *ptr;
    pthread_t thread;
};

ALfloat CurrentInterval = 0.0f;
ThreadInfo *PlayThreadHandle = nullptr;
// Each started thread runs while the generation it was started with is
// current, so a stop always ends the very thread it asked to stop, even when
// another thread starts a new one before the old one notices.
uintptr_t ThreadGeneration = 0;
// Threads asked to stop but not yet joined: a stop requested while the
// caller holds the lock (an end-of-play callback) cannot join there.
// Never destroyed: the unload sequence, run by the core's state after this
// unit's static objects are gone, still records and joins threads here;
// ShutdownUpdateThread releases its memory as the last user.
alignas(std::vector<ThreadInfo *>) unsigned char PendingJoinsStorage[sizeof(
    std::vector<ThreadInfo *>)];
std::vector<ThreadInfo *> &PendingJoins = *new (PendingJoinsStorage) std::vector<ThreadInfo *>;
// Set once unload has released it: nothing may grow it again.
std::atomic<bool> JoinsReleased{false};

void *StarterFunc(void *arg)
{
    ThreadInfo *info = static_cast<ThreadInfo *>(arg);
    return reinterpret_cast<void *>(uintptr_t(info->func(info->ptr)));
}

ThreadInfo *StartThread(ALuint (*func)(void *), void *ptr)
{
    ThreadInfo *info = new ThreadInfo{func, ptr, pthread_t()};
    if (pthread_create(&info->thread, nullptr, StarterFunc, info) != 0) {
        delete info;
        return nullptr;
    }
    return info;
}

ALuint StopThread(ThreadInfo *info)
{
    pthread_join(info->thread, nullptr);
    delete info;
    return 0;
}

// Wakes the update thread out of its wait between updates when the interval
// changes or the thread is stopped. A plain condition variable: it needs no
// memory of its own and no destruction, so it outlives every user at unload.
pthread_cond_t UpdateWake = PTHREAD_COND_INITIALIZER;

// When the next update is due: `interval` seconds after `from`, on the
// monotonic clock. As for nuvexSleep, intervals longer than 2^32 - 1 seconds
// are clamped.
timespec DueTime(const timespec &from, ALfloat interval)
{
    double seconds = std::min(double(interval), 4294967295.0);
    double whole = std::floor(seconds);
    timespec due = from;
    due.tv_sec += time_t(whole);
    due.tv_nsec += long((seconds - whole) * 1e9);
    if (due.tv_nsec >= 1000000000L) {
        due.tv_sec++;
        due.tv_nsec -= 1000000000L;
    }
    return due;
}

bool Reached(const timespec &now, const timespec &due)
{
    return now.tv_sec > due.tv_sec || (now.tv_sec == due.tv_sec && now.tv_nsec >= due.tv_nsec);
}

ALuint AsyncPlayFunc(void *ptr)
{
    const uintptr_t generation = reinterpret_cast<uintptr_t>(ptr);
    auto running = [generation] {
        return CurrentInterval > 0.0f && ThreadGeneration == generation;
    };
    EnterCriticalSection(&cs_StreamPlay);
    while (running()) {
        nuvexUpdate();
        // The next update is due one interval after this one ended. The wait
        // gives the lock up (this thread holds it exactly once here, so the
        // condition variable's unlock releases it); a changed interval
        // re-times the wait from the same point, a stop ends it at once.
        timespec lastUpdate{}, now{};
        clock_gettime(CLOCK_MONOTONIC, &lastUpdate);
        while (running()) {
            const timespec due = DueTime(lastUpdate, CurrentInterval);
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (Reached(now, due))
                break;
            assert(StreamPlayDepth() == 1);
            pthread_cond_clockwait(&UpdateWake, &cs_StreamPlay, CLOCK_MONOTONIC, &due);
        }
    }
    LeaveCriticalSection(&cs_StreamPlay);
    return 0;
}

// Joins the stopped threads, except the calling one; only called by a thread
// that holds no lock, so the threads can take the lock to see their stop.
void JoinStoppedThreads()
{
    std::vector<ThreadInfo *> joinable;
    {
        StreamPlayLock lock;
        for (auto it = PendingJoins.begin(); it != PendingJoins.end();) {
            if (pthread_equal((*it)->thread, pthread_self())) {
                ++it;
                continue;
            }
            joinable.push_back(*it);
            it = PendingJoins.erase(it);
        }
    }
    for (ThreadInfo *info : joinable)
        StopThread(info);
}
} // namespace

extern "C" NUVEX_API ALboolean NUVEX_APIENTRY nuvexUpdateInterval(ALfloat interval)
{
    return Boundary<ALboolean>(AL_FALSE, [&]() -> ALboolean {
        const bool callerHoldsLock = StreamPlayDepth() > 0;
        // Unload stops the thread for good, and then releases the join list.
        if (interval > 0.0f && Unloading())
            return Fail<ALboolean>("Error starting async thread", AL_FALSE);
        if (JoinsReleased)
            return AL_TRUE;
        {
            StreamPlayLock lock;
            PendingJoins.reserve(PendingJoins.size() + 1);
            if (interval <= 0.0f) {
                CurrentInterval = 0.0f;
                if (PlayThreadHandle) {
                    ThreadGeneration++;
                    PendingJoins.push_back(PlayThreadHandle);
                    PlayThreadHandle = nullptr;
                }
                // A waiting thread sees its stop now, not an interval later.
                pthread_cond_broadcast(&UpdateWake);
            } else if (interval > 0.0f) {
                if (!PlayThreadHandle) {
                    ThreadGeneration++;
                    PlayThreadHandle = StartThread(
                        AsyncPlayFunc, reinterpret_cast<void *>(ThreadGeneration));
                }
                if (!PlayThreadHandle)
                    return Fail<ALboolean>("Error starting async thread", AL_FALSE);
                // Only a change re-times the wait: the same interval set
                // again (say, every frame) leaves the next update where it is.
                if (interval != CurrentInterval) {
                    CurrentInterval = interval;
                    pthread_cond_broadcast(&UpdateWake);
                }
            }
        }
        if (!callerHoldsLock)
            JoinStoppedThreads();
        return AL_TRUE;
    });
}

void ShutdownUpdateThread()
{
    nuvexUpdateInterval(0.0f);
    // A thread that could not be joined because it is the one unloading us
    // is left to end by itself.
    StreamPlayLock lock;
    for (ThreadInfo *info : PendingJoins) {
        pthread_detach(info->thread);
        delete info;
    }
    std::vector<ThreadInfo *>().swap(PendingJoins);
    JoinsReleased = true;
}
