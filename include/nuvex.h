/*
 * nuvex: audio chores on top of OpenAL 1.1.
 *
 * Open a device, decode whole sounds into buffers, stream long sounds through
 * a small ring of buffers, and let the library feed sources in the background.
 * Every function reports failure through its return value and leaves a fixed
 * message that nuvexGetErrorString() returns (and resets to "No error").
 *
 * The reference documentation of each function lives next to its declaration
 * below; docs/guide.md explains the concepts.
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

/* Callback types used at the interface. */
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

NUVEX_API void NUVEX_APIENTRY nuvexGetVersion(ALuint *major, ALuint *minor);
NUVEX_API const ALchar *NUVEX_APIENTRY nuvexGetErrorString(void);

/* ---- Devices ------------------------------------------------------------ */

NUVEX_API const ALCchar **NUVEX_APIENTRY nuvexGetDeviceNames(ALCboolean all, ALCsizei *count);
NUVEX_API ALvoid NUVEX_APIENTRY nuvexFreeDeviceNames(const ALCchar **names);
NUVEX_API ALboolean NUVEX_APIENTRY nuvexInitDevice(const ALCchar *name, const ALCint *attribs);
NUVEX_API ALboolean NUVEX_APIENTRY nuvexShutdownDevice(void);

/* ---- Formats and utilities ---------------------------------------------- */

NUVEX_API ALenum NUVEX_APIENTRY nuvexGetSampleFormat(ALuint channels, ALuint bits, ALuint floatbits);
NUVEX_API ALboolean NUVEX_APIENTRY nuvexSleep(ALfloat duration);
NUVEX_API void *NUVEX_APIENTRY nuvexGetProcAddress(const ALchar *funcname);

/* ---- File I/O callbacks ------------------------------------------------- */

NUVEX_API ALboolean NUVEX_APIENTRY nuvexSetIOCallbacks(
    void *(*open)(const char *filename, ALuint mode), void (*close)(void *handle),
    ALsizei (*read)(void *handle, ALubyte *buf, ALuint bytes),
    ALsizei (*write)(void *handle, const ALubyte *buf, ALuint bytes),
    nuvexInt64 (*seek)(void *handle, nuvexInt64 offset, ALint whence));
NUVEX_API extern int UsingSTDIO;

/* ---- Application decoders ----------------------------------------------- */

NUVEX_API ALboolean NUVEX_APIENTRY nuvexInstallDecodeCallbacks(
    ALint index, void *(*open_file)(const ALchar *filename),
    void *(*open_mem)(const ALubyte *data, ALuint length),
    ALboolean (*get_format)(void *handle, ALenum *format, ALuint *samplerate, ALuint *blocksize),
    ALuint (*decode)(void *handle, ALubyte *buf, ALuint bytes), ALboolean (*rewind)(void *handle),
    void (*close)(void *handle));

/* ---- Whole-sound loading ------------------------------------------------ */

NUVEX_API ALboolean NUVEX_APIENTRY nuvexBufferDataFromFile(const ALchar *fname, ALuint buffer);
NUVEX_API ALboolean NUVEX_APIENTRY nuvexBufferDataFromMemory(const ALubyte *fdata, ALsizei length,
                                                             ALuint buffer);
NUVEX_API ALuint NUVEX_APIENTRY nuvexCreateBufferFromFile(const ALchar *fname);
NUVEX_API ALuint NUVEX_APIENTRY nuvexCreateBufferFromMemory(const ALubyte *fdata, ALsizei length);

/* ---- Streaming ---------------------------------------------------------- */

NUVEX_API ALboolean NUVEX_APIENTRY nuvexStreamSizeIsMicroSec(ALboolean useUS);
NUVEX_API nuvexStream *NUVEX_APIENTRY nuvexCreateStreamFromFile(const ALchar *fname,
                                                                ALsizei chunkLength,
                                                                ALsizei numBufs, ALuint *bufs);
NUVEX_API nuvexStream *NUVEX_APIENTRY nuvexCreateStreamFromMemory(const ALubyte *fdata,
                                                                  ALuint length,
                                                                  ALsizei chunkLength,
                                                                  ALsizei numBufs, ALuint *bufs);
NUVEX_API nuvexStream *NUVEX_APIENTRY nuvexCreateStreamFromStaticMemory(const ALubyte *fdata,
                                                                        ALuint length,
                                                                        ALsizei chunkLength,
                                                                        ALsizei numBufs,
                                                                        ALuint *bufs);
NUVEX_API nuvexStream *NUVEX_APIENTRY nuvexCreateStreamFromCallback(
    ALuint (*callback)(void *userdata, ALubyte *data, ALuint bytes), void *userdata, ALenum format,
    ALuint samplerate, ALsizei chunkLength, ALsizei numBufs, ALuint *bufs);
NUVEX_API ALsizei NUVEX_APIENTRY nuvexBufferDataFromStream(nuvexStream *stream, ALsizei numBufs,
                                                           ALuint *bufs);
NUVEX_API ALboolean NUVEX_APIENTRY nuvexRewindStream(nuvexStream *stream);
NUVEX_API ALboolean NUVEX_APIENTRY nuvexSetStreamOrder(nuvexStream *stream, ALuint order);
NUVEX_API ALboolean NUVEX_APIENTRY nuvexSetStreamPatchset(nuvexStream *stream,
                                                          const ALchar *patchset);
NUVEX_API nuvexUInt64 NUVEX_APIENTRY nuvexGetStreamLength(nuvexStream *stream);
NUVEX_API ALsizei NUVEX_APIENTRY nuvexGetStreamFrequency(nuvexStream *stream);
NUVEX_API ALboolean NUVEX_APIENTRY nuvexDestroyStream(nuvexStream *stream, ALsizei numBufs,
                                                      ALuint *bufs);

/* ---- Background playback ------------------------------------------------ */

NUVEX_API ALboolean NUVEX_APIENTRY nuvexPlaySource(ALuint source,
                                                   void (*callback)(void *userdata, ALuint source),
                                                   void *userdata);
NUVEX_API ALboolean NUVEX_APIENTRY nuvexPlaySourceStream(
    ALuint source, nuvexStream *stream, ALsizei numBufs, ALsizei loopcount,
    void (*eos_callback)(void *userdata, ALuint source), void *userdata);
NUVEX_API ALboolean NUVEX_APIENTRY nuvexStopSource(ALuint source, ALboolean run_callback);
NUVEX_API ALboolean NUVEX_APIENTRY nuvexPauseSource(ALuint source);
NUVEX_API ALboolean NUVEX_APIENTRY nuvexResumeSource(ALuint source);
NUVEX_API void NUVEX_APIENTRY nuvexUpdate(void);
NUVEX_API ALboolean NUVEX_APIENTRY nuvexUpdateInterval(ALfloat interval);

#ifdef __cplusplus
}
#endif

#endif /* NUVEX_H */
