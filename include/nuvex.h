/*
 * nuvex: audio chores on top of OpenAL 1.1.
 *
 * Open a device, decode whole sounds into buffers, stream long sounds through
 * a small ring of buffers, and let the library feed sources in the background.
 *
 * Conventions that hold for every function below:
 *
 * - Failure is reported by the return value (AL_FALSE, NULL, 0 for buffer
 *   names and frequencies, -1 for counts, all bits set for a 64-bit length)
 *   and by a fixed message that nuvexGetErrorString() returns (and resets to
 *   "No error"). Success never clears the message. Each function runs its
 *   checks in the order listed under "Fails"; the first that fails decides
 *   the message. No function throws, aborts or crashes on bad input.
 * - Functions marked "allocates" can also fail with "Out of memory"; any
 *   other unexpected internal failure gives "Internal library error" (it is
 *   not expected to happen).
 * - "Pending OpenAL error": functions that create, fill or destroy buffers,
 *   streams and playbacks first call alGetError(); when an error was pending
 *   they fail with "Existing OpenAL error" (the error is consumed either way).
 * - Most functions need a current OpenAL context (see nuvexInitDevice); the
 *   ones that do not say so.
 * - Threads: the library adds the update thread of nuvexUpdateInterval()
 *   and, once a load is asked for in the background or in a batch, the
 *   workers that decode them (see "Loading in the background" below). The
 *   playback functions and nuvexUpdate() share one
 *   recursive lock. End-of-play callbacks run on the thread that runs the
 *   update (yours, or the update thread) with that lock held; they may call
 *   library functions. The last error, the I/O callback table and the decoder
 *   table are process-wide and not locked: configure them before other
 *   threads use the library. Every call on a live stream takes the lock;
 *   slow work on a stream (a seek that decodes forward, a SoundFont load)
 *   runs without it, and meanwhile other calls on that stream (but
 *   nuvexGetStreamTag) wait for it and its playback is not fed; other
 *   playbacks are not held up. Called from an end-of-play callback, which
 *   holds the lock, such work holds it too: every playback waits for it.
 *   A thread that cannot wait (inside an end-of-play callback, or a
 *   decoder's or I/O callback called by that slow work itself) gets "Stream
 *   is busy" (or the message the function names) from calls on that stream.
 * - Unload: the library cancels the loads under way in the background and
 *   waits for their workers (their callbacks do not run, and loads asked for
 *   from then on are dropped without a callback), stops its update thread,
 *   then ends every playback and destroys every live stream; end-of-play
 *   callbacks run once each, and calls they make that would start a
 *   playback or the update thread fail.
 *
 * docs/guide.md explains the concepts and lists every message in one table.
 */
#ifndef NUVEX_H
#define NUVEX_H

#include <stdint.h>

#include <AL/al.h>
#include <AL/alc.h>

/* Calling-convention slot, empty on this platform. */
#define NUVEX_APIENTRY

#if defined(NUVEX_BUILDING_LIBRARY)
#define NUVEX_API __attribute__((visibility("default")))
#else
#define NUVEX_API
#endif

/* The interface version nuvexGetVersion() reports, for compile-time tests:
 * 1.3 added nuvexSetStreamPosition and nuvexGetStreamPosition; 1.4 added
 * nuvexGetStreamLoopPoints, nuvexSetStreamLoopPoints and nuvexGetStreamTag;
 * 1.5 added nuvexCreateBuffersFromFiles, nuvexCreateBufferFromFileAsync,
 * nuvexCreateBufferFromMemoryAsync and nuvexSetLoadThreads. */
#define NUVEX_VERSION_MAJOR 1
#define NUVEX_VERSION_MINOR 5

#ifdef __cplusplus
extern "C" {
#endif

typedef int64_t nuvexInt64;
typedef uint64_t nuvexUInt64;

#ifdef __cplusplus
}
class nuvexStream; /* opaque to applications */
extern "C" {
#else
typedef struct nuvexStream nuvexStream;
#endif

/*
 * Callback types used at the interface. The I/O callbacks (nuvexOpenCallback
 * to nuvexSeekCallback) are described at nuvexSetIOCallbacks, the decoder
 * callbacks (nuvexOpenFileCallback to nuvexCloseDecoderCallback) at
 * nuvexInstallDecodeCallbacks, nuvexStreamCallback at
 * nuvexCreateStreamFromCallback and nuvexEndOfPlayCallback at
 * nuvexPlaySourceStream.
 */
typedef void *(*nuvexOpenCallback)(const char *filename, ALuint mode);
typedef void (*nuvexCloseCallback)(void *handle);
typedef ALsizei (*nuvexReadCallback)(void *handle, ALubyte *buf, ALuint bytes);
typedef ALsizei (*nuvexWriteCallback)(void *handle, const ALubyte *buf, ALuint bytes);
typedef nuvexInt64 (*nuvexSeekCallback)(void *handle, nuvexInt64 offset, ALint whence);

typedef void *(*nuvexOpenFileCallback)(const ALchar *filename);
typedef void *(*nuvexOpenMemCallback)(const ALubyte *data, ALuint length);
typedef ALboolean (*nuvexGetFormatCallback)(void *handle, ALenum *format, ALuint *samplerate,
                                            ALuint *blocksize);
typedef ALuint (*nuvexDecodeCallback)(void *handle, ALubyte *buf, ALuint bytes);
typedef ALboolean (*nuvexRewindCallback)(void *handle);
typedef void (*nuvexCloseDecoderCallback)(void *handle);

typedef ALuint (*nuvexStreamCallback)(void *userdata, ALubyte *data, ALuint bytes);
typedef void (*nuvexEndOfPlayCallback)(void *userdata, ALuint source);

/* ---- Errors and version ------------------------------------------------ */

/*
 * nuvexGetVersion: the version of the library's interface, 1.5 (the
 * NUVEX_VERSION_MAJOR and NUVEX_VERSION_MINOR of this header).
 *   major, minor: where to write 1 and 5; either may be NULL (skipped).
 * Never fails, sets no message, needs no context; any thread.
 */
NUVEX_API void NUVEX_APIENTRY nuvexGetVersion(ALuint *major, ALuint *minor);
/*
 * nuvexGetErrorString: the message of the most recent failure of any nuvex
 * function, and a reset of that message to "No error".
 * Returns: a static string, never NULL, never to be freed. Some messages of
 *   nuvexGetSampleFormat end with a newline (see there).
 * Never fails; needs no context. The message is one slot for the whole
 * process: a failure on one thread can overwrite another's before it is read.
 */
NUVEX_API const ALchar *NUVEX_APIENTRY nuvexGetErrorString(void);

/* ---- Devices ------------------------------------------------------------ */

/*
 * nuvexGetDeviceNames: the names of the output devices OpenAL offers.
 *   all: AL_TRUE for every device (ALC_ENUMERATE_ALL_EXT, when present),
 *     AL_FALSE for the basic list.
 *   count: where to write the number of names; may be NULL.
 * Returns: a NULL-terminated array of copies, owned by the caller; free it
 *   with nuvexFreeDeviceNames(). An empty list gives an array holding only
 *   NULL, and a count of 0.
 * Fails (NULL, count untouched): "No device names found" (OpenAL returned no
 *   list); allocates.
 * Needs no context; any thread.
 */
NUVEX_API const ALCchar **NUVEX_APIENTRY nuvexGetDeviceNames(ALCboolean all, ALCsizei *count);
/*
 * nuvexFreeDeviceNames: frees an array from nuvexGetDeviceNames().
 *   names: the array; NULL is accepted and does nothing.
 * Never fails; needs no context.
 */
NUVEX_API ALvoid NUVEX_APIENTRY nuvexFreeDeviceNames(const ALCchar **names);
/*
 * nuvexInitDevice: opens an output device, creates a context on it and makes
 * that context current for the process.
 *   name: the device (a name from nuvexGetDeviceNames), NULL for the default.
 *   attribs: ALC context attributes, zero-terminated, or NULL.
 * Returns: AL_TRUE once the context is current.
 * Fails (AL_FALSE):
 *   "Device open failed"   - no such device, or none usable (no sound card:
 *                            try OpenAL Soft's loopback device or its null
 *                            output, ALSOFT_DRIVERS=null); nothing stays open.
 *   "Context setup failed" - the device refused the context or it could not
 *                            be made current; the device is closed again.
 * A context that was current before stays alive, no longer current.
 */
NUVEX_API ALboolean NUVEX_APIENTRY nuvexInitDevice(const ALCchar *name, const ALCint *attribs);
/*
 * nuvexShutdownDevice: releases the current context, destroys it and closes
 * its device; frees the SoundFonts cached for MIDI that no stream uses
 * (see nuvexSetStreamPatchset).
 * Returns: AL_TRUE.
 * Fails (AL_FALSE, nothing changed):
 *   "Failed to get current device"    - no current context.
 *   "Failed to unset current context" - OpenAL refused to release it.
 * Stop background playback first (nuvexStopSource, nuvexUpdateInterval(0)).
 * Loads in the background of this context end first: those not started are
 * cancelled, running ones waited for (called from a callback, which holds
 * the library's lock, only their uploads are: their decodes stop at their
 * next step), a buffer loaded but not yet delivered is deleted, and their
 * callbacks run on this thread with 0 and "Load cancelled" before the
 * context is destroyed. A load asked for in this context meanwhile (by such
 * a callback, or another thread) gets "Load cancelled" from a later
 * nuvexUpdate. A batch running on another thread sees its files not yet
 * loaded fail with "Load cancelled".
 * With ALC_EXT_thread_local_context (OpenAL Soft has it), playbacks of a
 * destroyed context end at the next update without OpenAL calls, and their
 * callbacks then run.
 */
NUVEX_API ALboolean NUVEX_APIENTRY nuvexShutdownDevice(void);

/* ---- Formats and utilities ---------------------------------------------- */

/*
 * nuvexGetSampleFormat: the OpenAL format for a channel count and sample type.
 *   channels: 1, 2, 4, 6 (5.1), 7 (6.1) or 8 (7.1); the last four need
 *     AL_EXT_MCFORMATS (quad also works with AL_LOKI_quadriphonic).
 *   bits: 8 or 16 for integer samples, or 0.
 *   floatbits: 32 (needs AL_EXT_FLOAT32) or 64 (AL_EXT_DOUBLE; mono and
 *     stereo only) for float samples, or 0. Give bits or floatbits, not both.
 * Returns: the format, e.g. AL_FORMAT_STEREO16.
 * Fails (AL_NONE), in this order:
 *   "Existing OpenAL error";
 *   "Both bit-types specified"           - bits and floatbits both non-zero;
 *   "Unsupported 8-bit channel count\n", "Unsupported 16-bit channel count\n",
 *   "Unsupported PCM bit depth\n"        - integer samples;
 *   "Unsupported float32 channel count\n", "Unsupported double channel count\n",
 *   "Unsupported float bit depth\n"      - float samples (also bits and
 *                                          floatbits both 0).
 *   These last six messages end with a newline.
 */
NUVEX_API ALenum NUVEX_APIENTRY nuvexGetSampleFormat(ALuint channels, ALuint bits, ALuint floatbits);
/*
 * nuvexSleep: waits the given number of seconds; signals do not cut it short.
 *   duration: seconds, 0 or more; waits longer than 2^32 - 1 s are clamped.
 * Returns: AL_TRUE after the wait.
 * Fails (AL_FALSE, no wait): "Invalid duration" - negative or NaN.
 * Needs no context; any thread.
 */
NUVEX_API ALboolean NUVEX_APIENTRY nuvexSleep(ALfloat duration);
/*
 * nuvexGetProcAddress: the address of a nuvex function by name, for
 * applications that load the library at run time.
 *   funcname: one of nuvexGetVersion, nuvexGetErrorString,
 *     nuvexGetDeviceNames, nuvexFreeDeviceNames, nuvexInitDevice,
 *     nuvexShutdownDevice, nuvexGetSampleFormat, nuvexSleep,
 *     nuvexCreateBufferFromFile, nuvexCreateBufferFromMemory,
 *     nuvexBufferDataFromFile, nuvexBufferDataFromMemory,
 *     nuvexCreateStreamFromFile, nuvexCreateStreamFromMemory,
 *     nuvexCreateStreamFromStaticMemory, nuvexCreateStreamFromCallback,
 *     nuvexGetStreamLength, nuvexRewindStream, nuvexDestroyStream,
 *     nuvexSetStreamOrder, nuvexSetStreamPatchset,
 *     nuvexInstallDecodeCallbacks, nuvexSetIOCallbacks, nuvexGetProcAddress,
 *     nuvexPlaySourceStream, nuvexPlaySource, nuvexStopSource,
 *     nuvexSetStreamPosition, nuvexGetStreamPosition,
 *     nuvexGetStreamLoopPoints, nuvexSetStreamLoopPoints, nuvexGetStreamTag,
 *     nuvexCreateBuffersFromFiles, nuvexCreateBufferFromFileAsync,
 *     nuvexCreateBufferFromMemoryAsync, nuvexSetLoadThreads. The other
 *     functions are not in the table (use dlsym for them).
 * Returns: the function's address; cast it to the function's type.
 * Fails (NULL): "Invalid data pointer" - funcname is NULL;
 *   "Function not found" - no such name in the table.
 * Needs no context; any thread.
 */
NUVEX_API void *NUVEX_APIENTRY nuvexGetProcAddress(const ALchar *funcname);

/* ---- File I/O callbacks ------------------------------------------------- */

/*
 * nuvexSetIOCallbacks: replaces the functions through which the library reads
 * named files (by default the C library's fopen/fread/fseeko/ftello/fclose),
 * e.g. to read from an archive or over a network.
 *   open(filename, mode): mode is always 0 (read); return a handle, or NULL
 *     when the name cannot be opened (the load then fails with "Failed to
 *     open file"). close(handle) is called once for every handle.
 *   read(handle, buf, bytes): copy up to bytes (at most 1024 per call) into
 *     buf; return the count, 0 (or a negative value) at the end.
 *   write(handle, buf, bytes): required but never called by the library.
 *   seek(handle, offset, whence): SEEK_SET, SEEK_CUR or SEEK_END as for
 *     fseek; return the new position from the start, or -1 when impossible.
 *   Give all five to install them, or all five NULL to go back to the
 *   built-in ones. Memory images never use these callbacks.
 * Returns: AL_TRUE; UsingSTDIO then says which table is in force.
 * Fails (AL_FALSE, nothing changed): "Missing callback functions" - some but
 *   not all five are NULL.
 * Needs no context. Not locked: call it while no other thread creates a
 * buffer or stream. A file keeps the table it was opened with, so streams
 * already open are not affected. The callbacks run on the thread that reads
 * the file: the caller's, the update thread for a played stream, or a load
 * worker (see "Loading in the background"), several at once.
 */
NUVEX_API ALboolean NUVEX_APIENTRY nuvexSetIOCallbacks(
    void *(*open)(const char *filename, ALuint mode), void (*close)(void *handle),
    ALsizei (*read)(void *handle, ALubyte *buf, ALuint bytes),
    ALsizei (*write)(void *handle, const ALubyte *buf, ALuint bytes),
    nuvexInt64 (*seek)(void *handle, nuvexInt64 offset, ALint whence));
/* 1 while the built-in file functions are in force, 0 while the application's
 * callbacks from nuvexSetIOCallbacks() are. Read it; do not write it. */
NUVEX_API extern int UsingSTDIO;

/* ---- Application decoders ----------------------------------------------- */

/*
 * nuvexInstallDecodeCallbacks: adds (or replaces, or removes) a decoder of the
 * application's own, tried when a file name or memory image is loaded.
 *   index: where the decoder sits in the search. Negative indexes are tried,
 *     lowest first, before the built-in decoders (WAV, AIFF, Ogg Vorbis,
 *     libsndfile, MP3, tracker modules); 0 and up are tried, lowest first,
 *     only after all of those declined (or the file could not be opened by
 *     the I/O callbacks).
 *     An index holds one decoder; installing again replaces it.
 *   open_file(filename): given the name as the application passed it (the
 *     decoder opens the file itself); return a handle, or NULL to decline.
 *   open_mem(data, length): given a memory image (not a copy for static
 *     streams; keep no pointer past close); return a handle or NULL.
 *     At least one of open_file and open_mem is required.
 *   get_format(handle, format, samplerate, blocksize): required; fill in the
 *     OpenAL format, the rate in Hz and the bytes per block (a frame, or an
 *     IMA4 block); return AL_FALSE when the sound cannot be described. A
 *     block size that is not a multiple of the format's own is taken as 0.
 *   decode(handle, buf, bytes): required; write up to bytes bytes of samples
 *     in the format's layout and host byte order; return the count, 0 at the
 *     end. A larger count is clamped to bytes.
 *   rewind(handle): back to the first sample; return AL_TRUE on success.
 *     Without it (or when it fails) rewinding and looping fail with
 *     "Rewind failed".
 *   close(handle): optional; called once for each handle that was returned.
 *   All six NULL removes the decoder at index (succeeds even when none).
 * Returns: AL_TRUE.
 * Fails (AL_FALSE, table unchanged): "Missing callback functions" - neither
 *   open callback, or no get_format, or no decode; allocates.
 * Needs no context. Not locked: install decoders before other threads load
 * anything. The callbacks run on the thread that loads or reads the stream
 * (for loads in the background, a worker; several at once);
 * for a played stream that is the thread running nuvexUpdate(), with the
 * library's lock held.
 */
NUVEX_API ALboolean NUVEX_APIENTRY nuvexInstallDecodeCallbacks(
    ALint index, void *(*open_file)(const ALchar *filename),
    void *(*open_mem)(const ALubyte *data, ALuint length),
    ALboolean (*get_format)(void *handle, ALenum *format, ALuint *samplerate, ALuint *blocksize),
    ALuint (*decode)(void *handle, ALubyte *buf, ALuint bytes), ALboolean (*rewind)(void *handle),
    void (*close)(void *handle));

/* ---- Whole-sound loading ------------------------------------------------ */

/*
 * nuvexBufferDataFromFile: decodes a whole sound file into an existing buffer
 * (one upload: where OpenAL has AL_SOFTX_map_buffer, storage the library maps
 * and fills with no OpenAL lock held; else one alBufferData call).
 *   fname: the file name, read through the I/O callbacks (nuvexSetIOCallbacks).
 *   buffer: an OpenAL buffer name; its previous data is replaced.
 * When the file names loop points (see nuvexGetStreamLoopPoints) and OpenAL
 * has AL_SOFT_loop_points, the buffer gets them (AL_LOOP_POINTS_SOFT): a
 * source playing it with AL_LOOPING plays the intro once, then the loop
 * without end, and once looping is switched off plays on to the end.
 * Without the extension, or with loop points the decoded sound cannot hold,
 * the buffer loads as without loop points.
 * Returns: AL_TRUE.
 * Fails (AL_FALSE, buffer unchanged), in this order:
 *   "Existing OpenAL error";
 *   "Invalid buffer ID"           - 0 or not a buffer;
 *   "Failed to open file"         - missing or unreadable (also a NULL name
 *                                   with the built-in file functions);
 *   "Unsupported type"            - no decoder accepts the data;
 *   "Could not get sample format", "No valid format", "Invalid block size",
 *   "Invalid sample rate"         - the decoder cannot describe the sound
 *                                   (e.g. 24-bit PCM, 3 channels);
 *   "No SoundFont available"      - a MIDI file, and no default SoundFont
 *                                   (NUVEX_SOUNDFONT set but empty, or the
 *                                   default font missing or unreadable);
 *   "MIDI file too long to load whole" - a MIDI file playing for more than
 *                                   an hour (stream it instead);
 *   "Sound too large to load whole" - the decoded sound holds 2 GiB or
 *                                   more, which one alBufferData call
 *                                   cannot take (stream it instead);
 *   "Buffer load failed"          - OpenAL rejected the data;
 *   allocates.
 * The file is closed before the function returns. Standard MIDI Files are
 * rendered with FluidSynth, loaded on first use: see nuvexSetStreamPatchset.
 */
NUVEX_API ALboolean NUVEX_APIENTRY nuvexBufferDataFromFile(const ALchar *fname, ALuint buffer);
/*
 * nuvexBufferDataFromMemory: as nuvexBufferDataFromFile, from a memory image
 * of a whole file; the image is only read during the call.
 *   fdata, length: the image; length 0 gives "Unsupported type".
 * Fails (AL_FALSE), in this order: "Existing OpenAL error"; "Invalid buffer
 *   ID"; "Invalid data length" (negative); "Invalid data pointer" (fdata NULL
 *   with a positive length); "Unsupported type"; then the decoder and load
 *   messages of nuvexBufferDataFromFile; allocates.
 */
NUVEX_API ALboolean NUVEX_APIENTRY nuvexBufferDataFromMemory(const ALubyte *fdata, ALsizei length,
                                                             ALuint buffer);
/*
 * nuvexCreateBufferFromFile: generates a buffer and decodes a whole sound
 * file into it. The caller owns the buffer (alDeleteBuffers).
 * Returns: the buffer name.
 * Fails (0; no buffer is left behind): "Existing OpenAL error"; "Buffer
 *   creation failed" (alGenBuffers failed); then every message of
 *   nuvexBufferDataFromFile after "Invalid buffer ID".
 */
NUVEX_API ALuint NUVEX_APIENTRY nuvexCreateBufferFromFile(const ALchar *fname);
/*
 * nuvexCreateBufferFromMemory: as nuvexCreateBufferFromFile, from a memory
 * image; the messages after "Buffer creation failed" are those of
 * nuvexBufferDataFromMemory ("Invalid data length", "Invalid data pointer",
 * ...).
 */
NUVEX_API ALuint NUVEX_APIENTRY nuvexCreateBufferFromMemory(const ALubyte *fdata, ALsizei length);

/* ---- Loading in the background ------------------------------------------ */

/*
 * These calls load whole sounds as nuvexCreateBufferFromFile does (same
 * decoders, same buffer contents, loop points included), but decode on
 * worker threads of the library. Threads:
 * - How many threads a load keeps busy: nuvexSetLoadThreads(), else the
 *   environment variable NUVEX_THREADS (a positive number), else the number
 *   of cores online; at most 64. A batch runs on the caller's thread and up
 *   to that many less one workers; asynchronous loads run on up to that
 *   many less one workers (at least one), the caller's thread going on with
 *   its own work. 1 makes batches run on the caller's thread alone. Workers
 *   are started when first needed and joined at unload.
 * - Each load decodes without any lock of the library. WAV, AIFF, Ogg
 *   Vorbis, the libsndfile formats (FLAC, Opus, ...), MP3, MIDI (a
 *   synthesiser per load) and application decoders load in parallel;
 *   tracker modules decode one at a time (libmodplug mixes in process-wide
 *   state), and a MIDI load's first SoundFont load briefly takes the
 *   library's lock.
 * - The I/O callbacks (nuvexSetIOCallbacks) and application decoders
 *   (nuvexInstallDecodeCallbacks) are called from the worker threads during
 *   these loads, several at once: an application whose callbacks cannot take
 *   that sets NUVEX_THREADS=1 or calls nuvexSetLoadThreads(1) (batches then
 *   call them on the caller's thread; asynchronous loads still on one
 *   worker, one load at a time). A callback that blocks holds up its worker,
 *   and nuvexShutdownDevice and unload, which wait for running loads.
 * - A load uploads into a new buffer of the context that was current for
 *   its caller (its thread's own with ALC_EXT_thread_local_context, else
 *   the process's), put in force on the worker for the load. A context
 *   destroyed by the application (not by nuvexShutdownDevice) before the
 *   load ends makes it end with 0 and "Context destroyed", no buffer made;
 *   one destroyed after the buffer was made but before its delivery also
 *   ends it with 0 and "Context destroyed", the buffer left in the context's
 *   device (buffers belong to devices) until the device is closed.
 * - The upload fills a mapped buffer (OpenAL Soft's AL_SOFTX_map_buffer)
 *   with none of OpenAL's locks held, so stream refills on the device go on
 *   during a long sound's upload, here and in the synchronous loads. ADPCM
 *   sounds, and OpenAL versions without the extension, get a plain
 *   alBufferData, whose copy holds the device's buffer lock and with it
 *   every refill on that device.
 * - The first load in the background or batch of the process loads
 *   FluidSynth (when installed; about 20 ms) on the calling thread, as a
 *   MIDI input would: workers never load a library (see
 *   nuvexSetStreamPatchset).
 * - A load on a worker never changes the message nuvexGetErrorString
 *   returns: its reason goes to its callback, or into the batch's message.
 *   OpenAL's error state belongs to the context, shared with the
 *   application: a worker consumes an error only where it caused one.
 * Reasons a load fails with: those of nuvexCreateBufferFromFile after
 * "Existing OpenAL error" ("Buffer creation failed", "Failed to open
 * file", "Unsupported type", ...), and "Load cancelled", "Context
 * destroyed".
 */
/*
 * nuvexCreateBuffersFromFiles: loads count files into new buffers and
 * returns when all are done.
 *   fnames: count file names (a NULL name fails as nuvexCreateBufferFromFile
 *     fails for it); the same name may come more than once (loaded once each).
 *   count: 0 or more.
 *   buffers: receives count names: buffers[i] is the buffer of fnames[i], or
 *     0 when that file failed. The caller owns them.
 * Returns: the number of files loaded. When some failed, the message is
 *   "<name>: <reason>" for the first failed file in the array (its name as
 *   given, "(null)" for NULL; the reason is one of the load reasons above,
 *   the text after the last ": "); it stays readable until 64 more batches
 *   have failed. All loaded: the message is left as it was.
 * Fails (-1, nothing loaded, no buffer made, buffers untouched), in this
 *   order: "No current context"; "Existing OpenAL error"; "Invalid
 *   parameter" (fnames or buffers NULL, count negative); allocates.
 * Any thread. Called from a callback of the library (which holds its lock),
 * the whole batch runs on the calling thread.
 */
NUVEX_API ALsizei NUVEX_APIENTRY nuvexCreateBuffersFromFiles(const ALchar *const *fnames,
                                                             ALsizei count, ALuint *buffers);
/*
 * nuvexCreateBufferFromFileAsync: queues the load of a sound file into a new
 * buffer and returns at once; a worker loads it, and nuvexUpdate() then
 * calls callback once.
 *   fname: the file name, copied.
 *   callback(userdata, buffer, error): buffer is the new buffer (the caller
 *     owns it) and error NULL; or buffer 0 and error the reason (a static
 *     string). It runs from nuvexUpdate(), on the thread that runs the
 *     update (yours, or the update thread), with the library's lock held,
 *     with that thread's own context in force, as end-of-play callbacks do:
 *     it may call nuvex functions, start other loads (delivered by a later
 *     update) or shut the device down, and must not wait for another thread
 *     that calls them. Without updates no callback runs.
 * Returns: AL_TRUE once queued.
 * Fails (AL_FALSE, nothing queued), in this order: "No current context";
 *   "Existing OpenAL error"; "Invalid parameter" (fname or callback NULL);
 *   allocates.
 * Any thread. See nuvexShutdownDevice and the unload notes at the top for
 * loads that a shutdown or unload ends.
 */
NUVEX_API ALboolean NUVEX_APIENTRY nuvexCreateBufferFromFileAsync(
    const ALchar *fname, void (*callback)(void *userdata, ALuint buffer, const ALchar *error),
    void *userdata);
/*
 * nuvexCreateBufferFromMemoryAsync: as nuvexCreateBufferFromFileAsync, from
 * a memory image of a whole file, which is not copied: keep it unchanged
 * until the callback has run.
 *   data, length: the image; length 0 fails in the callback with
 *     "Unsupported type".
 * Fails (AL_FALSE), in this order: "No current context"; "Existing OpenAL
 *   error"; "Invalid parameter" (length negative, data NULL with a positive
 *   length, callback NULL); allocates.
 */
NUVEX_API ALboolean NUVEX_APIENTRY nuvexCreateBufferFromMemoryAsync(
    const ALubyte *data, ALsizei length,
    void (*callback)(void *userdata, ALuint buffer, const ALchar *error), void *userdata);
/*
 * nuvexSetLoadThreads: how many threads loads keep busy (see above).
 *   count: 1 to 64 (more is taken as 64); 0 for the default (NUVEX_THREADS,
 *     else the cores).
 * Loads under way go on; the new count applies to the jobs each worker
 * takes next. Workers beyond it stay idle until unload.
 * Returns: AL_TRUE.
 * Fails (AL_FALSE, nothing changed): "Invalid parameter" (negative).
 * Needs no context; any thread.
 */
NUVEX_API ALboolean NUVEX_APIENTRY nuvexSetLoadThreads(ALsizei count);

/* ---- Streaming ---------------------------------------------------------- */

/*
 * nuvexStreamSizeIsMicroSec: chooses the unit of the chunkLength argument of
 * the stream creation functions: bytes (AL_FALSE, the default) or
 * microseconds of sound (AL_TRUE, converted for each stream's format and
 * rate, rounded down to whole blocks).
 * Returns: the previous setting. Never fails; needs no context. One setting
 * for the whole process.
 */
NUVEX_API ALboolean NUVEX_APIENTRY nuvexStreamSizeIsMicroSec(ALboolean useUS);
/*
 * nuvexCreateStreamFromFile: opens a sound file as a stream, decoded chunk
 * by chunk, and optionally fills buffers with its first chunks.
 *   fname: the file, read through the I/O callbacks; it stays open until
 *     the stream is destroyed.
 *   chunkLength: bytes per chunk (or microseconds, see
 *     nuvexStreamSizeIsMicroSec), rounded down to whole blocks.
 *   numBufs, bufs: numBufs (0 or more) buffer names are generated into bufs
 *     and filled with the first chunks; buffers past the end of a short sound
 *     are given 0 bytes in the stream's format. The caller owns them. bufs
 *     may be NULL when numBufs is 0.
 * Returns: the stream handle; destroy it with nuvexDestroyStream(). Reading
 *   goes on where these buffers left off.
 * Fails (NULL; nothing stays open or generated), in this order:
 *   "Existing OpenAL error"; "Invalid chunk length" (negative); "Invalid
 *   buffer count" (negative); "Invalid buffer pointer" (bufs NULL, numBufs
 *   positive); "Failed to open file"; "Unsupported type"; "Could not get
 *   stream format"; "No valid format"; "Invalid block size"; "Invalid sample
 *   rate"; in microsecond mode "Unknown compression rate" and "Chunk length
 *   too large"; "Chunk length too small" (less than one block); "No
 *   SoundFont available" (a MIDI file with no default SoundFont, only when
 *   numBufs is positive: with none the stream is made, and a patch set can
 *   be given before it is read); "Buffer creation failed"; "Buffering
 *   error" (OpenAL rejected the data); allocates.
 */
NUVEX_API nuvexStream *NUVEX_APIENTRY nuvexCreateStreamFromFile(const ALchar *fname,
                                                                ALsizei chunkLength,
                                                                ALsizei numBufs, ALuint *bufs);
/*
 * nuvexCreateStreamFromMemory: as nuvexCreateStreamFromFile, from a memory
 * image of a whole file, which is copied: the caller may free it at once.
 * Fails (NULL), in this order: "Existing OpenAL error"; "Invalid chunk
 *   length"; "Invalid buffer count"; "Invalid buffer pointer"; "Invalid data
 *   length" (0); "Invalid data pointer" (NULL); "Unsupported type"; then the
 *   format and buffer messages of nuvexCreateStreamFromFile; allocates.
 */
NUVEX_API nuvexStream *NUVEX_APIENTRY nuvexCreateStreamFromMemory(const ALubyte *fdata,
                                                                  ALuint length,
                                                                  ALsizei chunkLength,
                                                                  ALsizei numBufs, ALuint *bufs);
/*
 * nuvexCreateStreamFromStaticMemory: as nuvexCreateStreamFromMemory, but the
 * image is read in place, not copied: it must stay valid and unchanged
 * until the stream is destroyed. Same messages.
 */
NUVEX_API nuvexStream *NUVEX_APIENTRY nuvexCreateStreamFromStaticMemory(const ALubyte *fdata,
                                                                        ALuint length,
                                                                        ALsizei chunkLength,
                                                                        ALsizei numBufs,
                                                                        ALuint *bufs);
/*
 * nuvexCreateStreamFromCallback: a stream whose samples come from the
 * application, e.g. a synthesiser.
 *   callback(userdata, data, bytes): write up to bytes bytes of samples in
 *     the given format (host byte order); return the count, 0 to end the
 *     stream. A larger count is clamped. It runs on the thread that reads the
 *     stream (the update thread for a played stream, with the library's lock
 *     held).
 *   userdata: handed to the callback; the library never frees it.
 *   format, samplerate: an OpenAL format known to the library (see
 *     nuvexGetSampleFormat, plus the IMA4 and mu-law formats) and its rate.
 *   chunkLength, numBufs, bufs: as for nuvexCreateStreamFromFile.
 * Returns: the stream. Such a stream cannot rewind ("Rewind failed"), so it
 *   plays once whatever the loop count; its length is unknown (0).
 * Fails (NULL), in this order: "Existing OpenAL error"; "Invalid callback"
 *   (NULL); "Invalid chunk length"; "Invalid buffer count"; "Invalid buffer
 *   pointer"; "No valid format" (0 or -1); "Invalid block size" (a format the
 *   library does not know); "Invalid sample rate" (0); then the chunk and
 *   buffer messages of nuvexCreateStreamFromFile; allocates.
 */
NUVEX_API nuvexStream *NUVEX_APIENTRY nuvexCreateStreamFromCallback(
    ALuint (*callback)(void *userdata, ALubyte *data, ALuint bytes), void *userdata, ALenum format,
    ALuint samplerate, ALsizei chunkLength, ALsizei numBufs, ALuint *bufs);
/*
 * nuvexBufferDataFromStream: fills buffers with the stream's next chunks, one
 * chunk per buffer, for applications that queue buffers themselves.
 *   numBufs, bufs: buffer names (0 or more).
 * Returns: how many buffers were filled; fewer than numBufs (down to 0) at the
 *   end of the stream. The stream is not rewound (see nuvexRewindStream).
 * Fails (-1), in this order: "Existing OpenAL error"; "Invalid stream
 *   pointer" (not a live stream); "Invalid buffer count" (negative);
 *   "Invalid buffer pointer" (bufs NULL, numBufs positive); "Invalid buffer
 *   ID" (one name is 0 or not a buffer; nothing is read); "Could not get
 *   stream format"; "Buffer load failed" (buffers before it were filled).
 *   A MIDI stream without any SoundFont fills no buffer (returns 0) and
 *   leaves "No SoundFont available".
 * The chunks follow the stream straight on: its loop points play no part
 * here (they are nuvexPlaySourceStream's; an application queueing buffers
 * itself reads them with nuvexGetStreamLoopPoints and seeks).
 * Any thread; takes the library's lock. On a stream being played in the
 * background it takes chunks from that playback's sound.
 */
NUVEX_API ALsizei NUVEX_APIENTRY nuvexBufferDataFromStream(nuvexStream *stream, ALsizei numBufs,
                                                           ALuint *bufs);
/*
 * nuvexRewindStream: goes back to the first sample of the stream.
 * Returns: AL_TRUE.
 * Fails (AL_FALSE): "Invalid stream pointer"; then the decoder's own: "Seek
 *   failed" (every built-in decoder but modules and MIDI, whose rewinds
 *   reset the synthesiser), "Could not reload data"
 *   (modules), "Rewind failed" (application decoders without a working
 *   rewind, and callback streams).
 * Needs no context. Any thread; takes the library's lock (on a played
 * stream, prefer nuvexSetStreamPosition, which also moves the playback).
 */
NUVEX_API ALboolean NUVEX_APIENTRY nuvexRewindStream(nuvexStream *stream);
/*
 * nuvexSetStreamOrder: for tracker modules, reloads the module and moves to
 * pattern order `order`; later rewinds (and loops) go back to that order.
 * For other streams order 0 rewinds.
 * Returns: AL_TRUE.
 * Fails (AL_FALSE): "Invalid stream pointer"; "Could not reload data"
 *   (modules); "Invalid order for stream" (another kind of stream and a
 *   non-zero order); the rewind messages of nuvexRewindStream (order 0).
 * Needs no context. Any thread; takes the library's lock.
 */
NUVEX_API ALboolean NUVEX_APIENTRY nuvexSetStreamOrder(nuvexStream *stream, ALuint order);
/*
 * nuvexSetStreamPatchset: names the instrument patch set of a stream that
 * uses one: for MIDI streams, a SoundFont (SF2) file, with which everything
 * rendered from then on is played (notes sounding at the change stop; the
 * channels keep their programs and controllers). For other streams this
 * succeeds and changes nothing.
 *   patchset: the SoundFont's file name, read through the I/O callbacks
 *     (nuvexSetIOCallbacks); NULL goes back to the default SoundFont:
 *     the file named by the environment variable NUVEX_SOUNDFONT (set but
 *     empty: no default at all), else FluidSynth's default
 *     (/usr/share/sounds/sf2/default-GM.sf2 on Debian). A font already
 *     loaded (same name) is shared, not loaded again. Fonts are cached:
 *     a font stays loaded while a stream or a load uses it, and afterwards
 *     until nuvexShutdownDevice, library unload, or until the fonts held
 *     add up to more than NUVEX_SOUNDFONT_CACHE megabytes of font file
 *     (default 512; a decimal number, read at the first font load; 0 keeps
 *     none once unused): then the fonts unused longest are freed. A whole
 *     load or a stream with a cached font never reads its file again, so a
 *     file changed on disk under the same name is not seen until then.
 * Returns: AL_TRUE.
 * Fails (AL_FALSE; the stream keeps its font), in this order: "Invalid
 *   stream pointer"; for MIDI streams "No SoundFont available" (NULL, and no
 *   default font can be loaded), "SoundFont load failed" (the file is
 *   missing, unreadable or not a SoundFont); allocates.
 * Needs no context. Any thread, also while the update thread plays the
 * stream: the font is loaded without the library's lock, so other playbacks
 * play on meanwhile; this stream's own playback is not fed until the font
 * is in (a large font takes a while: prefer calling it before playing).
 * From an end-of-play callback the load holds the lock.
 * MIDI streams: FluidSynth (libfluidsynth.so.3) is loaded when the first
 * MIDI input is met, or by the thread that asks for the first load in the
 * background or batch (a load worker never loads a library: an unload
 * waits for the workers holding the dynamic loader's lock); NUVEX_FLUIDSYNTH names another library to load, and
 * set but empty, none: MIDI input is then declined ("Unsupported type").
 */
NUVEX_API ALboolean NUVEX_APIENTRY nuvexSetStreamPatchset(nuvexStream *stream,
                                                          const ALchar *patchset);
/*
 * nuvexGetStreamLength: the length of the whole sound in sample frames, as
 * its header tells it (for MIDI files, as their tempo map does: up to the
 * end of the last track, at 44100 Hz).
 * Returns: the frame count; 0 when unknown (tracker modules, callback
 *   streams, application decoders, WAV data chunks of 2 GiB or more,
 *   truncated Ogg Opus files).
 * Fails (all bits set, ~(nuvexUInt64)0): "Invalid stream pointer".
 * Needs no context. Any thread; takes the library's lock; safe while the
 * stream plays.
 */
NUVEX_API nuvexUInt64 NUVEX_APIENTRY nuvexGetStreamLength(nuvexStream *stream);
/*
 * nuvexSetStreamPosition: moves a stream so that the next audio it delivers
 * starts at a given frame.
 *   frame: in the stream's own rate, counted from where a rewind returns to
 *     (the start of the file; for a module, the start of the order chosen
 *     with nuvexSetStreamOrder), so frame 0 is a rewind. A chained Ogg file
 *     counts across all its links.
 * Accuracy: exact for PCM WAV and AIFF, Ogg Vorbis and the libsndfile
 *   formats (docs/guide.md lists them). MP3 lands on the frame, but past its
 *   first 18,432 frames the samples after it may differ from a decode from
 *   the start by one step of the 16-bit output (never more): a restarted
 *   libmpg123 decoder does not quite rebuild its state. IMA ADPCM moves to
 *   the start of the 65-frame block holding the frame, and the position
 *   then reports that block start. Other decoders (modules, application
 *   decoders with a rewind, and the codecs libsndfile cannot seek in: GSM
 *   6.10, G.72x, NMS ADPCM, DWVW) decode forward, discarding, from where the
 *   stream stands (or from the start after a rewind, for a frame behind it),
 *   which is exact but takes time: that decode runs without the library's
 *   lock (other playbacks are fed meanwhile, this stream's is not), and it
 *   is bounded: a frame more than one hour of sound (3600 times the rate)
 *   from where the decode would start fails at once, whatever length the
 *   stream claims. MIDI streams reset the synthesiser and hand it the
 *   events before the frame without their notes, rendering nothing up to
 *   it: notes that began earlier are not heard, and the time taken grows
 *   with the events, not with the length of the sound.
 * Played with nuvexPlaySourceStream, the stream's playback jumps too: its
 *   source is stopped, its queued buffers are dropped, refilled from the new
 *   frame and queued again, and it plays on. A playback paused with
 *   nuvexPauseSource stays paused (its source then reads AL_INITIAL) and
 *   resumes from the new frame. A playback whose stream delivered its last
 *   data but whose source still plays goes on from the new frame; once the
 *   playback has ended, only the stream moves. The loop count and the
 *   end-of-play callback are untouched: a seek is no end.
 * Returns: AL_TRUE.
 * Fails (AL_FALSE), in this order:
 *   "Existing OpenAL error";
 *   "Invalid stream pointer" - not a live stream (also when it is destroyed
 *                              on another thread during a forward decode);
 *   "Stream cannot seek"     - called from an end-of-play callback while
 *                              another thread's seek of this stream runs;
 *   "Position past the end"  - frame at or past the end of a stream of known
 *                              length, or, for a decoder without a seek of
 *                              its own, more than one hour of sound from
 *                              where its forward decode would start: the
 *                              position stays;
 *   "No SoundFont available" - a MIDI stream without a font, and no
 *                              default one;
 *   "Stream cannot seek"     - the input can neither seek nor rewind (a
 *                              callback stream, an application decoder
 *                              without a working rewind, a file that cannot
 *                              be repositioned): the stream goes on where it
 *                              was (an input failing midway leaves it where
 *                              nuvexGetStreamPosition then reports);
 *   "Position past the end"  - a stream of unknown length ended before the
 *                              frame: it is left at its end;
 *   "Error buffering from stream" - the stream moved, but its playback's
 *                              buffers could not be refilled from there
 *                              (the input failed): the playback ends at the
 *                              next update.
 * Needs the context only for a played stream. Any thread; takes the
 * library's lock, so a destroy on another thread happens wholly before or
 * after it; a second seek of the same stream waits for the first.
 */
NUVEX_API ALboolean NUVEX_APIENTRY nuvexSetStreamPosition(nuvexStream *stream, nuvexUInt64 frame);
/*
 * nuvexGetStreamPosition: the frame a stream is at.
 * Returns: for a stream played with nuvexPlaySourceStream, the frame the
 *   listener hears now, within the current loop pass (with the device's
 *   output latency taken off where AL_SOFT_source_latency reports it); for
 *   other streams the next frame to be decoded. Right after creation that is
 *   already the initial buffers' worth ahead (numBufs chunks).
 * Fails (all bits set, ~(nuvexUInt64)0): "Invalid stream pointer".
 * Needs the context only for a played stream. Any thread; takes the
 * library's lock.
 */
NUVEX_API nuvexUInt64 NUVEX_APIENTRY nuvexGetStreamPosition(nuvexStream *stream);
/*
 * nuvexGetStreamLoopPoints: the loop a stream plays with
 * nuvexPlaySourceStream (see there), as the file names it or as
 * nuvexSetStreamLoopPoints set it.
 *   start, end: receive the loop's first frame and the first frame after
 *     it, counted as for nuvexSetStreamPosition; an end set as 0 (the
 *     stream's end) reads as the stream's length, or 0 when that is unknown.
 *     Both 0 when the stream has no loop points (the whole stream loops).
 * Where files name loop points (read when the stream is made):
 *   Ogg Vorbis, Ogg Opus, FLAC: the comments LOOPSTART with LOOPEND or
 *     LOOPLENGTH (also LOOP_START, LOOP_END, LOOP_LENGTH; any case), in
 *     frames of the decoded stream (48000 a second for Opus) or as a time
 *     "[[hh:]mm:]ss[.fff]"; LOOPSTART alone loops to the end;
 *   WAV: the first forward loop of a "smpl" chunk (its end is inclusive
 *     there, so end = dwEnd + 1); AIFF and AIFF-C: the INST chunk's sustain
 *     loop through its MARK markers;
 *   MP3: ID3v2 TXXX frames named as the comments above, counted in the
 *     gapless stream (encoder delay removed);
 *   MIDI: the first marker meta events "loopStart" and "loopEnd" (any
 *     case), at their frames along the tempo map; a start alone loops to
 *     the end, an end alone names no loop;
 *   tracker modules: none (they keep their own song loops).
 * A tag that does not parse, a start not below its end, an end past the
 * stream's length, or (for IMA ADPCM) a point inside a 65-frame block: no
 * loop points, never a failed load. Nor do streams whose decoder cannot
 * jump (see nuvexSetStreamPosition) keep a loop starting past frame 0.
 * Returns: AL_TRUE.
 * Fails (AL_FALSE), in this order: "Invalid stream pointer"; "Invalid
 *   parameter" (start or end NULL).
 * Needs no context. Any thread; takes the library's lock.
 */
NUVEX_API ALboolean NUVEX_APIENTRY nuvexGetStreamLoopPoints(nuvexStream *stream,
                                                          nuvexUInt64 *start, nuvexUInt64 *end);
/*
 * nuvexSetStreamLoopPoints: sets, or with 0 and 0 clears, the loop a stream
 * plays with nuvexPlaySourceStream. A playback under way uses the new loop
 * from its next pass over the loop's end.
 *   start: the loop's first frame.
 *   end: the first frame after the loop, or 0 for the stream's end.
 * Returns: AL_TRUE.
 * Fails (AL_FALSE; the old loop stays), in this order: "Invalid stream
 *   pointer"; "Invalid loop points" (start not below end, start or end past
 *   a known length, or a point inside a block the decoder delivers whole:
 *   65 frames of IMA ADPCM, an application decoder's block of frames);
 *   "Stream cannot seek" (start past 0 on a stream whose decoder cannot
 *   jump: every pass would decode forward from the start).
 * Needs no context. Any thread; takes the library's lock.
 */
NUVEX_API ALboolean NUVEX_APIENTRY nuvexSetStreamLoopPoints(nuvexStream *stream, nuvexUInt64 start,
                                                          nuvexUInt64 end);
/*
 * nuvexGetStreamTag: a tag of the stream's file, as UTF-8 (bytes that were
 * not valid text are replaced by U+FFFD).
 *   name: compared without regard to case. The common names are mapped
 *     across formats: TITLE, ARTIST, ALBUM, DATE, TRACKNUMBER, GENRE,
 *     COMMENT, COPYRIGHT (from Vorbis comments, ID3v2 and ID3v1 tags, RIFF
 *     INFO lists, AIFF NAME/AUTH/ANNO/"(c) " chunks, a module's title, a
 *     MIDI file's first track name and its copyright notice). Other names
 *     find the tag of that name where the format has free names (Vorbis
 *     comments, ID3v2 TXXX frames). A name given more than once in the
 *     file: its first value. A file's first 4096 names are kept, the rest
 *     left out.
 * Returns: the value, owned by the stream and valid until it is destroyed;
 *   NULL, with no message, when the file has no such tag (or name is NULL).
 * Fails (NULL): "Invalid stream pointer".
 * Needs no context. Any thread; takes the library's lock, but does not wait
 * for slow work another thread does on the stream (the tags never change).
 */
NUVEX_API const ALchar *NUVEX_APIENTRY nuvexGetStreamTag(nuvexStream *stream, const ALchar *name);
/*
 * nuvexGetStreamFrequency: the stream's sample rate in Hz.
 * Fails (0): "Invalid stream pointer"; "Could not get stream format" (an
 *   application decoder's get_format failed).
 * Needs no context. Any thread; takes the library's lock.
 */
NUVEX_API ALsizei NUVEX_APIENTRY nuvexGetStreamFrequency(nuvexStream *stream);
/*
 * nuvexDestroyStream: deletes buffers and destroys a stream (closing its file
 * or releasing its copy of the data).
 *   stream: a live stream, or NULL to only delete the buffers.
 *   numBufs, bufs: buffers to delete first (e.g. those the creation call
 *     generated), or 0 and NULL.
 * If the stream is being played in the background, that playback is ended
 * first: the source is stopped, the library's buffers are deleted and the
 * end-of-play callback runs (on this thread). The handle is invalid after.
 * Returns: AL_TRUE (also for NULL, 0, NULL).
 * Fails (AL_FALSE), in this order: "Existing OpenAL error"; "Invalid buffer
 *   count" (negative); "Invalid buffer pointer" (bufs NULL, numBufs
 *   positive); "Invalid stream pointer" (not live: nothing is deleted);
 *   "Buffer deletion failed" (the stream is then left alive).
 * Any thread; waits for a running update to finish.
 */
NUVEX_API ALboolean NUVEX_APIENTRY nuvexDestroyStream(nuvexStream *stream, ALsizei numBufs,
                                                      ALuint *bufs);

/* ---- Background playback ------------------------------------------------ */

/*
 * nuvexPlaySource: plays a source that already has its buffer(s) and, when a
 * callback is given, remembers it: nuvexUpdate() calls it once the source
 * has stopped.
 *   source: an OpenAL source of the current context.
 *   callback(userdata, source): the end-of-play callback, or NULL to just
 *     play the source (nothing is remembered).
 * Returns: AL_TRUE.
 * Fails (AL_FALSE), in this order: "Existing OpenAL error"; "Source is
 *   already playing" (a playback of it, with a callback or a stream, is
 *   still listed in this context);
 *   "Error starting source" (alSourcePlay failed, e.g. not a source);
 *   allocates.
 * Any thread; takes the library's lock.
 */
NUVEX_API ALboolean NUVEX_APIENTRY nuvexPlaySource(ALuint source,
                                                   void (*callback)(void *userdata, ALuint source),
                                                   void *userdata);
/*
 * nuvexPlaySourceStream: plays a stream on a source in the background. The
 * library generates numBufs buffers of its own, fills and queues them, plays
 * the source, and from then on each nuvexUpdate() refills played buffers,
 * rewinds the stream for loops and restarts the source if it ran dry.
 *   source: a source of the current context; its looping is switched off and
 *     its previous buffer detached.
 *   stream: a live stream; playing starts where the stream stands (it is not
 *     rewound first). It stays the caller's: destroy it after the playback
 *     ended, or destroy it to end the playback.
 *   numBufs: the number of buffers in the ring, 2 or more; each holds one
 *     chunk.
 *   loopcount: how many more times to play after the first (0: once; -1:
 *     without end). A stream with loop points (nuvexGetStreamLoopPoints)
 *     plays from where it stands to the loop's end, then loopcount more
 *     times from the loop's start to its end, then the rest after the
 *     loop's end once (the outro), then ends. Every join is seamless, to
 *     the frame, also inside a chunk; nuvexGetStreamPosition reports the
 *     frame heard in every pass. A seek drops the passes its ring had read
 *     ahead into but not yet played; a seek to the loop's end (the
 *     outro's first frame) or past it goes straight to the outro. Loop
 *     points set while the stream plays take effect at the next pass over
 *     the loop's end.
 *   eos_callback(userdata, source): called once when the playback has ended
 *     (all data played, or ended by nuvexStopSource with run_callback, or by
 *     nuvexDestroyStream), after the library's buffers are deleted; may be
 *     NULL. It runs on the thread that ran the update, with the library's
 *     lock held: it may call nuvex functions (even start a new playback,
 *     but not of a stream that nuvexDestroyStream is destroying), and must
 *     not wait for another thread that calls them.
 * Returns: AL_TRUE.
 * Fails (AL_FALSE), in this order: "Existing OpenAL error"; "Invalid stream
 *   pointer"; "Invalid buffer count" (below 2); "Invalid source ID"; "Stream
 *   is already playing" (on any source); "Source is already playing" (in this
 *   context); "Error generating buffers"; "Error buffering from stream" (no
 *   data at all; the stream has been read); "Error starting source";
 *   allocates. No buffers are left behind.
 * Any thread; takes the library's lock. A MIDI stream that has no SoundFont
 * yet loads its default one first, before the lock is taken.
 */
NUVEX_API ALboolean NUVEX_APIENTRY nuvexPlaySourceStream(
    ALuint source, nuvexStream *stream, ALsizei numBufs, ALsizei loopcount,
    void (*eos_callback)(void *userdata, ALuint source), void *userdata);
/*
 * nuvexStopSource: stops a source and ends its background playback, if any:
 * the library's buffers are detached and deleted.
 *   run_callback: AL_TRUE to run the playback's end-of-play callback now, on
 *     this thread.
 * Returns: AL_TRUE, also for a source that was not played by the library.
 * Fails (AL_FALSE): "Existing OpenAL error"; "Error stopping source"
 *   (alSourceStop failed, e.g. not a source; the playback is kept).
 * Any thread; takes the library's lock.
 */
NUVEX_API ALboolean NUVEX_APIENTRY nuvexStopSource(ALuint source, ALboolean run_callback);
/*
 * nuvexPauseSource: pauses a source; a background playback of it stays
 * listed and is not restarted by the update until nuvexResumeSource().
 * Returns: AL_TRUE.
 * Fails (AL_FALSE): "Existing OpenAL error"; "Error pausing source".
 */
NUVEX_API ALboolean NUVEX_APIENTRY nuvexPauseSource(ALuint source);
/*
 * nuvexResumeSource: plays a paused source again and lets the update restart
 * it once more.
 * Returns: AL_TRUE.
 * Fails (AL_FALSE): "Existing OpenAL error"; "Error playing source".
 */
NUVEX_API ALboolean NUVEX_APIENTRY nuvexResumeSource(ALuint source);
/*
 * nuvexUpdate: the update step. For every background playback: refills and
 * requeues the processed buffers of streams, rewinding them for loops,
 * restarts a source that ran dry (unless paused), and ends the playbacks that
 * are over, deleting their buffers and running their callbacks.
 * Call it regularly (at least once per chunk length), or let the update
 * thread do it (nuvexUpdateInterval). Each playback is updated in the
 * context it was started in (when ALC_EXT_thread_local_context is there).
 * Reports nothing; sets no message except "Out of memory".
 * Any thread; takes the library's lock; callbacks run on this thread.
 */
NUVEX_API void NUVEX_APIENTRY nuvexUpdate(void);
/*
 * nuvexUpdateInterval: runs nuvexUpdate() on a background thread, once at
 * the start and then `interval` seconds after each update has ended, or
 * stops that thread. Between updates the thread holds no lock.
 *   interval: above 0 starts the thread (or changes its interval: the next
 *     update then comes the new interval after the last one ended, at once
 *     if that time has passed; setting the interval it already has changes
 *     nothing). 0 or less stops it and waits for it to end, which takes no
 *     longer than an update that is running: the wait between updates is
 *     cut short (called from an end-of-play callback, the thread stops but
 *     is waited for by the next nuvexUpdateInterval call made outside a
 *     callback, or at unload). NaN changes nothing.
 * Returns: AL_TRUE.
 * Fails (AL_FALSE, nothing changed): "Error starting async thread";
 *   allocates.
 * Needs no context: the thread updates each playback in its own context.
 * Stop the thread before unloading what its callbacks use; the library
 * stops it itself when it is unloaded.
 */
NUVEX_API ALboolean NUVEX_APIENTRY nuvexUpdateInterval(ALfloat interval);

#ifdef __cplusplus
}
#endif

#endif /* NUVEX_H */
