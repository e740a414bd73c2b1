/*
 * The public header as a C99 program sees it (and, through header_cpp.cpp,
 * as C++): every function and the exported variable, taken with the types
 * the header declares (any mismatch is an error under -pedantic -Werror),
 * and a short run that needs no device. Exits with the number of the first
 * check that failed, 0 when all passed.
 */
#include "nuvex.h"

#include <stddef.h>
#include <string.h>

int main(void)
{
    ALuint major = 0, minor = 0;
    int failed = 0;
    /* Each with its exact type: the first member of every row in the header. */
    void (*version)(ALuint *, ALuint *) = nuvexGetVersion;
    const ALchar *(*error)(void) = nuvexGetErrorString;
    const ALCchar **(*names)(ALCboolean, ALCsizei *) = nuvexGetDeviceNames;
    ALvoid (*freeNames)(const ALCchar **) = nuvexFreeDeviceNames;
    ALboolean (*init)(const ALCchar *, const ALCint *) = nuvexInitDevice;
    ALboolean (*shutdown)(void) = nuvexShutdownDevice;
    ALenum (*format)(ALuint, ALuint, ALuint) = nuvexGetSampleFormat;
    ALboolean (*sleep)(ALfloat) = nuvexSleep;
    void *(*proc)(const ALchar *) = nuvexGetProcAddress;
    ALboolean (*io)(nuvexOpenCallback, nuvexCloseCallback, nuvexReadCallback, nuvexWriteCallback,
                    nuvexSeekCallback) = nuvexSetIOCallbacks;
    ALboolean (*install)(ALint, nuvexOpenFileCallback, nuvexOpenMemCallback, nuvexGetFormatCallback,
                         nuvexDecodeCallback, nuvexRewindCallback, nuvexCloseDecoderCallback) =
        nuvexInstallDecodeCallbacks;
    ALuint (*bufferFile)(const ALchar *) = nuvexCreateBufferFromFile;
    ALuint (*bufferMem)(const ALubyte *, ALsizei) = nuvexCreateBufferFromMemory;
    ALboolean (*fillFile)(const ALchar *, ALuint) = nuvexBufferDataFromFile;
    ALboolean (*fillMem)(const ALubyte *, ALsizei, ALuint) = nuvexBufferDataFromMemory;
    ALboolean (*micro)(ALboolean) = nuvexStreamSizeIsMicroSec;
    nuvexStream *(*streamFile)(const ALchar *, ALsizei, ALsizei, ALuint *) = nuvexCreateStreamFromFile;
    nuvexStream *(*streamMem)(const ALubyte *, ALuint, ALsizei, ALsizei, ALuint *) = nuvexCreateStreamFromMemory;
    nuvexStream *(*streamStatic)(const ALubyte *, ALuint, ALsizei, ALsizei, ALuint *) =
        nuvexCreateStreamFromStaticMemory;
    nuvexStream *(*streamCallback)(nuvexStreamCallback, void *, ALenum, ALuint, ALsizei, ALsizei, ALuint *) =
        nuvexCreateStreamFromCallback;
    ALsizei (*fill)(nuvexStream *, ALsizei, ALuint *) = nuvexBufferDataFromStream;
    ALboolean (*rewind)(nuvexStream *) = nuvexRewindStream;
    ALboolean (*order)(nuvexStream *, ALuint) = nuvexSetStreamOrder;
    ALboolean (*patchset)(nuvexStream *, const ALchar *) = nuvexSetStreamPatchset;
    nuvexUInt64 (*length)(nuvexStream *) = nuvexGetStreamLength;
    ALsizei (*frequency)(nuvexStream *) = nuvexGetStreamFrequency;
    ALboolean (*destroy)(nuvexStream *, ALsizei, ALuint *) = nuvexDestroyStream;
    ALboolean (*play)(ALuint, nuvexEndOfPlayCallback, void *) = nuvexPlaySource;
    ALboolean (*playStream)(ALuint, nuvexStream *, ALsizei, ALsizei, nuvexEndOfPlayCallback, void *) =
        nuvexPlaySourceStream;
    ALboolean (*stop)(ALuint, ALboolean) = nuvexStopSource;
    ALboolean (*pause)(ALuint) = nuvexPauseSource;
    ALboolean (*resume)(ALuint) = nuvexResumeSource;
    void (*update)(void) = nuvexUpdate;
    ALboolean (*interval)(ALfloat) = nuvexUpdateInterval;
    /* Every one used, so that none is only declared. */
    if (!(names && freeNames && init && shutdown && format && io && install && bufferFile && bufferMem &&
          fillFile && fillMem && micro && streamFile && streamMem && streamStatic && streamCallback &&
          fill && rewind && order && patchset && length && frequency && destroy && play && playStream &&
          stop && pause && resume && update && interval))
        failed = 1;
    version(&major, &minor);
    if (!failed && (major != 1 || minor != 2))
        failed = 2;
    if (!failed && (!sleep(0.0f) || !proc("nuvexSleep") || UsingSTDIO != 1))
        failed = 3;
    if (!failed && (proc("nuvexNothing") || strcmp(error(), "Function not found") != 0))
        failed = 4;
    return failed;
}
