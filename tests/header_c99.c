/*
 * The public header as a C99 program sees it: every function and the
 * exported variable are used, with the types the header declares, in a
 * short run over the null output device. Written in the common subset of
 * C99 and C++ so that header_cpp.cpp compiles the very same calls as C++.
 * Exits with the number of the first check that failed, 0 when all passed.
 */
#include "nuvex.h"

#include <stdio.h>
#include <string.h>

static ALuint CountUp(void *userdata, ALubyte *data, ALuint bytes)
{
    ALuint i;
    (void)userdata;
    for (i = 0; i < bytes; i++)
        data[i] = (ALubyte)i;
    return bytes;
}

static void CountCallback(void *userdata, ALuint source)
{
    (void)source;
    ++*(int *)userdata;
}

/* I/O callbacks that never run (the defaults are put back at once). */
static void *OpenFile(const char *filename, ALuint mode) { (void)filename; (void)mode; return NULL; }
static void CloseFile(void *handle) { (void)handle; }
static ALsizei ReadFile(void *handle, ALubyte *buf, ALuint bytes)
{
    (void)handle; (void)buf; (void)bytes;
    return 0;
}
static ALsizei WriteFile(void *handle, const ALubyte *buf, ALuint bytes)
{
    (void)handle; (void)buf; (void)bytes;
    return 0;
}
static nuvexInt64 SeekFile(void *handle, nuvexInt64 offset, ALint whence)
{
    (void)handle; (void)offset; (void)whence;
    return -1;
}

/* An application decoder that recognises nothing. */
static void *OpenDecoderFile(const ALchar *filename) { (void)filename; return NULL; }
static void *OpenDecoderMemory(const ALubyte *data, ALuint length)
{
    (void)data; (void)length;
    return NULL;
}
static ALboolean DecoderFormat(void *handle, ALenum *format, ALuint *samplerate, ALuint *blocksize)
{
    (void)handle; (void)format; (void)samplerate; (void)blocksize;
    return AL_FALSE;
}
static ALuint Decode(void *handle, ALubyte *buf, ALuint bytes)
{
    (void)handle; (void)buf; (void)bytes;
    return 0;
}
static ALboolean DecoderRewind(void *handle) { (void)handle; return AL_FALSE; }
static void DecoderClose(void *handle) { (void)handle; }

static void Put32(ALubyte *p, ALuint v)
{
    p[0] = (ALubyte)v;
    p[1] = (ALubyte)(v >> 8);
    p[2] = (ALubyte)(v >> 16);
    p[3] = (ALubyte)(v >> 24);
}

/* A mono 16-bit 8 kHz RIFF/WAVE image of `frames` silent frames. */
static ALuint MakeWav(ALubyte *out, ALuint frames)
{
    ALuint dataBytes = frames * 2;
    memset(out, 0, 44 + dataBytes);
    memcpy(out, "RIFF", 4);
    Put32(out + 4, 36 + dataBytes);
    memcpy(out + 8, "WAVEfmt ", 8);
    Put32(out + 16, 16);
    out[20] = 1;               /* PCM */
    out[22] = 1;               /* mono */
    Put32(out + 24, 8000);     /* rate */
    Put32(out + 28, 16000);    /* bytes per second */
    out[32] = 2;               /* block align */
    out[34] = 16;              /* bits */
    memcpy(out + 36, "data", 4);
    Put32(out + 40, dataBytes);
    return 44 + dataBytes;
}

#define CHECK(n, cond)                                                                             \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "check %d failed: %s (%s)\n", n, #cond, nuvexGetErrorString());       \
            return n;                                                                              \
        }                                                                                          \
    } while (0)

int main(void)
{
    static ALubyte wav[44 + 2 * 800];
    ALuint wavSize = MakeWav(wav, 800);
    ALuint major = 0, minor = 0, buffer = 0, bufs[2] = {0, 0}, sources[2] = {0, 0};
    ALCsizei count = -1;
    const ALCchar **names;
    nuvexStream *stream, *staticStream, *callbackStream;
    void *lookedUp;
    int callbacks = 0;

    nuvexGetVersion(&major, &minor);
    CHECK(1, major == 1 && minor == 2);
    CHECK(2, strcmp(nuvexGetErrorString(), "No error") == 0);
    names = nuvexGetDeviceNames(ALC_TRUE, &count);
    CHECK(3, names != NULL && count >= 1 && names[count] == NULL);
    nuvexFreeDeviceNames(names);
    CHECK(4, nuvexInitDevice(NULL, NULL) == AL_TRUE);
    CHECK(5, nuvexGetSampleFormat(2, 16, 0) == AL_FORMAT_STEREO16);
    CHECK(6, nuvexSleep(0.0f) == AL_TRUE);
    lookedUp = nuvexGetProcAddress("nuvexSleep");
    CHECK(7, lookedUp != NULL);

    CHECK(8, UsingSTDIO == 1);
    CHECK(9, nuvexSetIOCallbacks(OpenFile, CloseFile, ReadFile, WriteFile, SeekFile) == AL_TRUE);
    CHECK(10, UsingSTDIO == 0);
    CHECK(11, nuvexSetIOCallbacks(NULL, NULL, NULL, NULL, NULL) == AL_TRUE && UsingSTDIO == 1);
    CHECK(12, nuvexInstallDecodeCallbacks(5, OpenDecoderFile, OpenDecoderMemory, DecoderFormat,
                                          Decode, DecoderRewind, DecoderClose) == AL_TRUE);
    CHECK(13, nuvexInstallDecodeCallbacks(5, NULL, NULL, NULL, NULL, NULL, NULL) == AL_TRUE);

    alGenBuffers(1, &buffer);
    CHECK(14, nuvexBufferDataFromMemory(wav, (ALsizei)wavSize, buffer) == AL_TRUE);
    CHECK(15, nuvexBufferDataFromFile("/nonexistent/nuvex.wav", buffer) == AL_FALSE);
    CHECK(16, nuvexCreateBufferFromFile("/nonexistent/nuvex.wav") == 0);
    alDeleteBuffers(1, &buffer);
    buffer = nuvexCreateBufferFromMemory(wav, (ALsizei)wavSize);
    CHECK(17, buffer != 0);

    CHECK(18, nuvexStreamSizeIsMicroSec(AL_FALSE) == AL_FALSE);
    CHECK(19, nuvexCreateStreamFromFile("/nonexistent/nuvex.wav", 512, 0, NULL) == NULL);
    stream = nuvexCreateStreamFromMemory(wav, wavSize, 512, 2, bufs);
    CHECK(20, stream != NULL);
    staticStream = nuvexCreateStreamFromStaticMemory(wav, wavSize, 512, 0, NULL);
    CHECK(21, staticStream != NULL);
    callbackStream = nuvexCreateStreamFromCallback(CountUp, NULL, AL_FORMAT_MONO8, 8000, 256, 0,
                                                   NULL);
    CHECK(22, callbackStream != NULL);
    CHECK(23, nuvexBufferDataFromStream(staticStream, 1, &buffer) == 1);
    CHECK(24, nuvexRewindStream(staticStream) == AL_TRUE);
    CHECK(25, nuvexSetStreamOrder(staticStream, 0) == AL_TRUE);
    CHECK(26, nuvexSetStreamPatchset(staticStream, "patches") == AL_TRUE);
    CHECK(27, nuvexGetStreamLength(staticStream) == 800);
    CHECK(28, nuvexGetStreamFrequency(staticStream) == 8000);

    alGenSources(2, sources);
    alSourcei(sources[0], AL_BUFFER, (ALint)buffer);
    CHECK(29, nuvexPlaySource(sources[0], CountCallback, &callbacks) == AL_TRUE);
    CHECK(30, nuvexPlaySourceStream(sources[1], callbackStream, 3, -1, CountCallback,
                                    &callbacks) == AL_TRUE);
    CHECK(31, nuvexPauseSource(sources[1]) == AL_TRUE);
    CHECK(32, nuvexResumeSource(sources[1]) == AL_TRUE);
    nuvexUpdate();
    CHECK(33, nuvexUpdateInterval(0.01f) == AL_TRUE);
    CHECK(34, nuvexUpdateInterval(0.0f) == AL_TRUE);
    CHECK(35, nuvexStopSource(sources[1], AL_TRUE) == AL_TRUE && callbacks == 1);
    CHECK(36, nuvexStopSource(sources[0], AL_TRUE) == AL_TRUE && callbacks == 2);

    CHECK(37, nuvexDestroyStream(stream, 2, bufs) == AL_TRUE);
    CHECK(38, nuvexDestroyStream(staticStream, 0, NULL) == AL_TRUE);
    CHECK(39, nuvexDestroyStream(callbackStream, 0, NULL) == AL_TRUE);
    alDeleteSources(2, sources);
    alDeleteBuffers(1, &buffer);
    CHECK(40, nuvexShutdownDevice() == AL_TRUE);
    return 0;
}
