// Loading in the background. A load is a job: decode a whole sound (no lock
// held, the job's context in force for the format lookups), then generate a
// buffer and upload into it in that context. Jobs run on worker threads made
// when first needed, and for a batch also on the caller's thread, which
// takes the jobs of its own batch while it waits for them.
//
// A job is in exactly one place at a time: the queue, the running list, the
// finished list (an asynchronous load waiting for nuvexUpdate), or the hands
// of whoever ends it (a cancellation, a batch's caller). That is what keeps
// every callback to one call.
#include "backgroundload.h"

#include "bufferload.h"
#include "decoders.h"
#include "playback.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using LoadCallback = void (*)(void *userdata, ALuint buffer, const ALchar *error);

const char *const Cancelled = "Load cancelled";
const char *const ContextGone = "Context destroyed";

struct Batch {
    size_t unfinished = 0;
};

struct LoadJob {
    enum class State { Queued, Decoding, Uploading, Finished };
    // A file name (null is passed on as null), or a memory image the caller
    // keeps until the job is over.
    const char *name = nullptr;
    std::string nameCopy; // an asynchronous load outlives the caller's string
    const ALubyte *data = nullptr;
    ALsizei length = 0;
    bool fromMemory = false;
    ALCcontext *context = nullptr;
    LoadCallback callback = nullptr; // asynchronous loads
    void *userdata = nullptr;
    Batch *batch = nullptr; // batch loads

    // Guarded by the queue's lock; `cancelled` is also read, without it,
    // between a decode's steps.
    State state = State::Queued;
    std::atomic<bool> cancelled{false};
    pthread_t runner{};
    ALuint buffer = 0;
    const char *error = nullptr;
};
using JobPtr = std::shared_ptr<LoadJob>;

constexpr size_t MaxLoadThreads = 64;

// Everything here is guarded by `lock`. Lists, so that a caller builds its
// nodes before taking the lock and splices them in without allocating.
struct LoadQueue {
    LoadQueue() { workers.reserve(MaxLoadThreads); }
    std::mutex lock;
    // Workers wait here for a job (or their stop).
    std::condition_variable work;
    // Woken whenever a job finishes or its upload ends: batches and
    // cancellations wait here.
    std::condition_variable progress;
    std::list<JobPtr> queued, running, finished;
    // Reserved for the most there can be: adding one never throws after
    // its thread exists.
    std::vector<pthread_t> workers;
    // Workers whose index lies below this take jobs; the others idle.
    size_t workerLimit = 1;
    ALsizei setting = 0; // nuvexSetLoadThreads; 0 for the default
    // Contexts being shut down: loads asked for in them end at once.
    std::vector<ALCcontext *> closing;
    bool stopping = false;
};

// Made before, and so destroyed after, the unload sequence that stops it.
LoadQueue Queue __attribute__((init_priority(103)));

// ---- How many threads ----------------------------------------------------------

// The threads a load may keep busy: the application's setting, else
// NUVEX_THREADS, else the cores. Read on the application's threads, never
// on a worker (where the application's setenv could race the read).
size_t LoadThreads(ALsizei setting)
{
    long count = setting;
    if (count <= 0) {
        const char *env = getenv("NUVEX_THREADS");
        char *end = nullptr;
        count = env ? strtol(env, &end, 10) : 0;
        if (!env || end == env || *end != '\0' || count <= 0)
            count = sysconf(_SC_NPROCESSORS_ONLN);
    }
    return size_t(std::clamp<long>(count, 1, long(MaxLoadThreads)));
}

// With the queue's lock held: the limit the setting gives the workers. A
// batch keeps its caller's thread busy too, and an asynchronous load's
// caller goes on with its own work: either way one thread is the
// application's. Asynchronous loads need one worker even so.
void RefreshWorkerLimit() { Queue.workerLimit = std::max<size_t>(LoadThreads(Queue.setting) - 1, 1); }

void *WorkerMain(void *arg);

// Called, without the queue's lock, before anything that may start the
// first worker. The workers use the decoders, whose registrations and
// library handle are static objects destroyed at unload before the
// library's unload sequence runs; and an unload runs with the dynamic
// loader's lock held, so a worker that loaded a library then (FluidSynth,
// at the first MIDI input) would wait for that lock for ever. So this
// thread loads what the decoders load on first use, and only then makes
// the object whose end stops the workers: made after every static object
// of the library, it is destroyed before all of them.
void PrepareForWorkers()
{
    struct StopBeforeTheDecodersGo {
        ~StopBeforeTheDecodersGo() { StopBackgroundLoads(); }
    };
    static const bool loaded = (LoadDecoderLibraries(), true);
    static StopBeforeTheDecodersGo stopFirst;
    (void)loaded;
}

// With the queue's lock held: starts workers until there are as many as the
// jobs queued and running, within the limit (jobs exist only once
// PrepareForWorkers has run). False when there is none.
bool EnsureWorkers()
{
    const size_t wanted = std::min(Queue.queued.size() + Queue.running.size(), Queue.workerLimit);
    while (Queue.workers.size() < wanted) {
        pthread_t thread;
        void *index = reinterpret_cast<void *>(uintptr_t(Queue.workers.size()));
        if (pthread_create(&thread, nullptr, WorkerMain, index) != 0)
            break;
        Queue.workers.push_back(thread);
    }
    return !Queue.workers.empty();
}

// ---- Running a job ----------------------------------------------------------------

// With the queue's lock held: the job at `it` of the queue goes running on
// this thread.
JobPtr TakeQueued(std::list<JobPtr>::iterator it)
{
    JobPtr job = *it;
    job->state = LoadJob::State::Decoding;
    job->runner = pthread_self();
    Queue.running.splice(Queue.running.end(), Queue.queued, it);
    return job;
}

StreamPtr OpenJobStream(const LoadJob &job)
{
    if (!job.fromMemory)
        return create_stream(job.name);
    MemDataInfo memory;
    memory.data = job.data;
    memory.length = ALuint(job.length);
    return create_stream(memory);
}

// Whether the upload may begin: not once the job is cancelled. From here
// until the job is finished, a shutdown of its context waits for it.
bool BeginUpload(LoadJob &job)
{
    std::lock_guard<std::mutex> hold(Queue.lock);
    if (job.cancelled)
        return false;
    job.state = LoadJob::State::Uploading;
    return true;
}

// Re-asserts the job's context, which the application may have destroyed
// while the decode ran (the thread's reference keeps it usable, but a buffer
// would land in a dead context).
bool ContextAlive(ALCcontext *context) { return !palcSetThreadContext || palcSetThreadContext(context); }

// In the job's context. The job shares the context's error state with the
// application, so it tells its failures by the names it gets back.
ALuint Upload(DecodedSound &sound)
{
    ALuint buffer = 0;
    alGenBuffers(1, &buffer);
    if (buffer == 0) {
        alGetError();
        return Fail<ALuint>("Buffer creation failed", 0);
    }
    if (!UploadSound(sound, buffer)) {
        alDeleteBuffers(1, &buffer);
        return 0;
    }
    return buffer;
}

// With the queue's lock held: the job leaves the running list with its
// outcome, for its batch, for delivery, or (cancelled) for nobody: its
// canceller ran its callback.
void Complete(LoadJob &job, ALuint buffer, const char *error)
{
    job.state = LoadJob::State::Finished;
    job.buffer = buffer;
    job.error = buffer ? nullptr : error;
    auto it = std::find_if(Queue.running.begin(), Queue.running.end(),
                           [&job](const JobPtr &entry) { return entry.get() == &job; });
    if (job.batch)
        job.batch->unfinished--;
    if (!job.batch && !job.cancelled)
        Queue.finished.splice(Queue.finished.end(), Queue.running, it);
    else
        Queue.running.erase(it);
    Queue.progress.notify_all();
}

// A job cancelled once its buffer exists deletes it here, where its context
// is still in force: its shutdown waits for the upload to end.
void Finish(LoadJob &job, ALuint buffer, const char *error)
{
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(Queue.lock);
            if (!job.cancelled || buffer == 0) {
                Complete(job, buffer, job.cancelled ? Cancelled : error);
                return;
            }
        }
        alDeleteBuffers(1, &buffer);
        buffer = 0;
    }
}

// Runs a job taken by this thread (TakeQueued), without any lock.
void RunJob(LoadJob &job)
{
    ErrorCapture capture;
    EntryContext context(job.context);
    ALuint buffer = 0;
    const char *error = nullptr;
    try {
        DecodedSound sound;
        if (!context.ok())
            error = ContextGone;
        else if (!DecodeSound(OpenJobStream(job), sound, &job.cancelled))
            error = capture.Message();
        else if (!BeginUpload(job))
            error = Cancelled;
        else if (!ContextAlive(job.context))
            error = ContextGone;
        else if (!(buffer = Upload(sound)))
            error = capture.Message();
    } catch (const std::bad_alloc &) {
        error = "Out of memory";
    } catch (...) {
        error = "Internal library error";
    }
    Finish(job, buffer, error ? error : "Internal library error");
}

void *WorkerMain(void *arg)
{
    const size_t index = reinterpret_cast<uintptr_t>(arg);
    std::unique_lock<std::mutex> hold(Queue.lock);
    for (;;) {
        Queue.work.wait(hold, [index] {
            return Queue.stopping || (index < Queue.workerLimit && !Queue.queued.empty());
        });
        if (Queue.stopping)
            return nullptr;
        JobPtr job = TakeQueued(Queue.queued.begin());
        hold.unlock();
        RunJob(*job);
        job.reset();
        hold.lock();
    }
}

bool Closing(ALCcontext *context)
{
    return std::find(Queue.closing.begin(), Queue.closing.end(), context) != Queue.closing.end();
}

// ---- Asynchronous loads ----------------------------------------------------------

// Queues a load of the caller's, to be delivered to `callback` in `context`.
void QueueAsync(JobPtr job, ALCcontext *context, LoadCallback callback, void *userdata)
{
    job->context = context;
    job->callback = callback;
    job->userdata = userdata;
    PrepareForWorkers();
    std::list<JobPtr> node{std::move(job)};
    std::unique_lock<std::mutex> hold(Queue.lock);
    LoadJob &queued = *node.front();
    if (Queue.stopping)
        return; // unload: dropped, as every load then is
    if (Closing(queued.context)) {
        queued.state = LoadJob::State::Finished;
        queued.error = Cancelled;
        Queue.finished.splice(Queue.finished.end(), node);
        return;
    }
    RefreshWorkerLimit();
    Queue.queued.splice(Queue.queued.end(), node);
    if (EnsureWorkers()) {
        Queue.work.notify_all();
        return;
    }
    // No thread could be started: the caller does the work, the callback
    // still comes from an update.
    JobPtr mine = TakeQueued(std::prev(Queue.queued.end()));
    hold.unlock();
    RunJob(*mine);
}

bool CheckCaller(ALCcontext **context)
{
    *context = alcGetCurrentContext();
    if (!*context)
        return Fail("No current context", false);
    if (OpenALErrorPending())
        return Fail("Existing OpenAL error", false);
    return true;
}

// ---- Batches ---------------------------------------------------------------------

// The batch's one message, "<name>: <reason>". The last error is a pointer to
// a string the application never frees, so the latest of these are kept.
const char *BatchMessage(const LoadJob &job)
{
    static std::deque<std::string> kept;
    constexpr size_t Kept = 64;
    std::string text = std::string(job.name ? job.name : "(null)") + ": " + job.error;
    std::lock_guard<std::mutex> hold(Queue.lock);
    if (kept.size() == Kept)
        kept.pop_front();
    kept.push_back(std::move(text));
    return kept.back().c_str();
}

// Out of memory for the message, the reason alone: the buffers are loaded
// and must not be lost to a failure of the report.
const char *BatchMessageOrReason(const LoadJob &job)
{
    try {
        return BatchMessage(job);
    } catch (...) {
        return job.error;
    }
}

// Runs the batch's jobs: alone, on this thread, or with the workers, this
// thread taking its batch's jobs off the queue until none is left and then
// waiting for the others.
void RunBatch(std::vector<JobPtr> &jobs, Batch &batch)
{
    std::list<JobPtr> nodes(jobs.begin(), jobs.end());
    PrepareForWorkers();
    std::unique_lock<std::mutex> hold(Queue.lock);
    // A context being shut down on another thread: no job may start in it.
    if (Closing(jobs.front()->context)) {
        for (const JobPtr &job : jobs)
            job->error = Cancelled;
        return;
    }
    // Inside a callback the library's lock is held, which a worker's decode
    // may need (a SoundFont load): this thread then does it all.
    const bool alone = LoadThreads(Queue.setting) == 1 || jobs.size() == 1 || Queue.stopping ||
                       StreamPlayDepth() > 0;
    if (!alone) {
        RefreshWorkerLimit();
        Queue.queued.splice(Queue.queued.end(), nodes);
        EnsureWorkers();
        Queue.work.notify_all();
    }
    auto next = [&] {
        if (alone)
            return nodes.begin();
        return std::find_if(Queue.queued.begin(), Queue.queued.end(),
                            [&batch](const JobPtr &job) { return job->batch == &batch; });
    };
    for (;;) {
        auto it = next();
        if (it == (alone ? nodes.end() : Queue.queued.end())) {
            if (batch.unfinished == 0)
                return;
            Queue.progress.wait(hold);
            continue;
        }
        if (alone && Closing(jobs.front()->context)) {
            // Shut down by another thread meanwhile: the rest are cancelled,
            // as they would be in the queue.
            for (const JobPtr &job : nodes)
                job->error = Cancelled;
            batch.unfinished -= nodes.size();
            nodes.clear();
            continue;
        }
        if (alone)
            Queue.queued.splice(Queue.queued.end(), nodes, it), it = std::prev(Queue.queued.end());
        JobPtr job = TakeQueued(it);
        hold.unlock();
        RunJob(*job);
        hold.lock();
    }
}

} // namespace

// ---- The rest of the library ----------------------------------------------------------

void DeliverFinishedLoads(ProtectContext &guard)
{
    size_t due = 0;
    {
        std::lock_guard<std::mutex> hold(Queue.lock);
        due = Queue.stopping ? 0 : Queue.finished.size();
    }
    for (; due > 0; due--) {
        JobPtr job;
        {
            std::lock_guard<std::mutex> hold(Queue.lock);
            if (Queue.finished.empty() || Queue.stopping)
                return;
            job = std::move(Queue.finished.front());
            Queue.finished.pop_front();
        }
        ALuint buffer = job->buffer;
        const char *error = job->error;
        // Destroyed by the application (not by nuvexShutdownDevice, which
        // would have taken the load back): no context is left to reach the
        // buffer through, which stays in its device until that closes.
        if (buffer && !ContextAlive(job->context)) {
            buffer = 0;
            error = ContextGone;
        }
        guard.unprotect();
        job->callback(job->userdata, buffer, error);
        guard.protect();
    }
}

void CancelLoadsOf(ALCcontext *context)
{
    // A decode may need the library's lock (a SoundFont load): a caller
    // holding it waits only for uploads, which never take it.
    const bool waitForDecodes = StreamPlayDepth() == 0;
    // With the buffers to delete, read under the queue's lock: a cancelled
    // job still running writes its own outcome later.
    std::vector<std::pair<JobPtr, ALuint>> ended;
    {
        std::unique_lock<std::mutex> hold(Queue.lock);
        Queue.closing.push_back(context);
        for (auto it = Queue.queued.begin(); it != Queue.queued.end();) {
            LoadJob &job = **it;
            if (job.context != context) {
                ++it;
                continue;
            }
            job.cancelled = true;
            job.state = LoadJob::State::Finished;
            job.error = Cancelled;
            if (job.batch) {
                job.batch->unfinished--;
                Queue.progress.notify_all();
            } else {
                ended.emplace_back(*it, 0);
            }
            it = Queue.queued.erase(it);
        }
        for (const JobPtr &job : Queue.running) {
            if (job->context != context || job->cancelled)
                continue;
            job->cancelled = true;
            if (!job->batch)
                ended.emplace_back(job, 0);
        }
        auto busy = [&] {
            for (const JobPtr &job : Queue.running)
                if (job->context == context && !pthread_equal(job->runner, pthread_self()) &&
                    (waitForDecodes || job->state == LoadJob::State::Uploading))
                    return true;
            return false;
        };
        Queue.progress.wait(hold, [&] { return !busy(); });
        for (auto it = Queue.finished.begin(); it != Queue.finished.end();) {
            if ((*it)->context != context) {
                ++it;
                continue;
            }
            ended.emplace_back(*it, (*it)->buffer);
            it = Queue.finished.erase(it);
        }
    }
    // Also when nothing ended here: an update delivering a load of this
    // context holds the lock until its callback has returned.
    StreamPlayLock lock;
    for (auto &end : ended) {
        if (end.second) {
            alDeleteBuffers(1, &end.second);
            alGetError();
        }
        end.first->callback(end.first->userdata, 0, Cancelled);
    }
}

void ForgetContext(ALCcontext *context)
{
    std::lock_guard<std::mutex> hold(Queue.lock);
    auto it = std::find(Queue.closing.begin(), Queue.closing.end(), context);
    if (it != Queue.closing.end())
        Queue.closing.erase(it);
}

void StopBackgroundLoads()
{
    std::vector<pthread_t> workers;
    std::list<JobPtr> undelivered;
    {
        std::lock_guard<std::mutex> hold(Queue.lock);
        Queue.stopping = true;
        for (const JobPtr &job : Queue.queued)
            if (job->batch)
                job->batch->unfinished--, job->error = Cancelled;
        Queue.queued.clear();
        for (const JobPtr &job : Queue.running)
            job->cancelled = true;
        workers.swap(Queue.workers);
        undelivered.swap(Queue.finished);
        Queue.work.notify_all();
        Queue.progress.notify_all();
    }
    // A worker unloading the library (from an I/O callback) cannot join
    // itself; it ends when it returns.
    for (pthread_t thread : workers) {
        if (pthread_equal(thread, pthread_self()))
            pthread_detach(thread);
        else
            pthread_join(thread, nullptr);
    }
    {
        std::lock_guard<std::mutex> hold(Queue.lock);
        undelivered.splice(undelivered.end(), Queue.finished);
    }
    for (const JobPtr &job : undelivered) {
        EntryContext context(job->context);
        if (job->buffer && context.ok())
            alDeleteBuffers(1, &job->buffer);
    }
}

extern "C" {

NUVEX_API ALsizei NUVEX_APIENTRY nuvexCreateBuffersFromFiles(const ALchar *const *fnames,
                                                             ALsizei count, ALuint *buffers)
{
    return Boundary<ALsizei>(-1, [&]() -> ALsizei {
        ALCcontext *context = nullptr;
        if (!CheckCaller(&context))
            return -1;
        if (!fnames || !buffers || count < 0)
            return Fail<ALsizei>("Invalid parameter", -1);
        Batch batch;
        batch.unfinished = size_t(count);
        std::vector<JobPtr> jobs(static_cast<size_t>(count));
        for (size_t i = 0; i < jobs.size(); i++) {
            jobs[i] = std::make_shared<LoadJob>();
            jobs[i]->name = fnames[i];
            jobs[i]->context = context;
            jobs[i]->batch = &batch;
        }
        if (count > 0)
            RunBatch(jobs, batch);
        ALsizei loaded = 0;
        const LoadJob *firstFailure = nullptr;
        for (size_t i = 0; i < jobs.size(); i++) {
            buffers[i] = jobs[i]->buffer;
            loaded += buffers[i] != 0;
            if (!buffers[i] && !firstFailure)
                firstFailure = jobs[i].get();
        }
        if (firstFailure)
            SetError(BatchMessageOrReason(*firstFailure));
        return loaded;
    });
}

NUVEX_API ALboolean NUVEX_APIENTRY nuvexCreateBufferFromFileAsync(const ALchar *fname,
                                                                  LoadCallback callback,
                                                                  void *userdata)
{
    return Boundary<ALboolean>(AL_FALSE, [&]() -> ALboolean {
        ALCcontext *context = nullptr;
        if (!CheckCaller(&context))
            return AL_FALSE;
        if (!fname || !callback)
            return Fail<ALboolean>("Invalid parameter", AL_FALSE);
        auto job = std::make_shared<LoadJob>();
        job->nameCopy = fname;
        job->name = job->nameCopy.c_str();
        QueueAsync(std::move(job), context, callback, userdata);
        return AL_TRUE;
    });
}

NUVEX_API ALboolean NUVEX_APIENTRY nuvexCreateBufferFromMemoryAsync(const ALubyte *data,
                                                                    ALsizei length,
                                                                    LoadCallback callback,
                                                                    void *userdata)
{
    return Boundary<ALboolean>(AL_FALSE, [&]() -> ALboolean {
        ALCcontext *context = nullptr;
        if (!CheckCaller(&context))
            return AL_FALSE;
        if (length < 0 || (!data && length > 0) || !callback)
            return Fail<ALboolean>("Invalid parameter", AL_FALSE);
        auto job = std::make_shared<LoadJob>();
        job->fromMemory = true;
        job->data = data;
        job->length = length;
        QueueAsync(std::move(job), context, callback, userdata);
        return AL_TRUE;
    });
}

NUVEX_API ALboolean NUVEX_APIENTRY nuvexSetLoadThreads(ALsizei count)
{
    return Boundary<ALboolean>(AL_FALSE, [&]() -> ALboolean {
        if (count < 0)
            return Fail<ALboolean>("Invalid parameter", AL_FALSE);
        std::lock_guard<std::mutex> hold(Queue.lock);
        Queue.setting = count;
        RefreshWorkerLimit();
        EnsureWorkers();
        Queue.work.notify_all();
        return AL_TRUE;
    });
}

} // extern "C"
