/*
 * Teach the library a format of your own with nuvexInstallDecodeCallbacks.
 *
 *     raw_decoder [FILE.nvraw]
 *
 * The format: a few text lines, then headerless little-endian PCM.
 *
 *     NVRAW
 *     rate 22050
 *     channels 1
 *     bits 16
 *     <an empty line, then the samples>
 *
 * The example writes such a file (default: tone.nvraw), then streams it from
 * the file and loads it whole from memory, through the same callbacks.
 */
#include "nuvex.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* ---- The decoder ------------------------------------------------------------ */

struct raw {
    FILE *file;            /* a file, or ... */
    const ALubyte *memory; /* ... a memory image (not owned) */
    ALuint memory_length;
    long data_start; /* where the samples begin */
    long pos;        /* memory images only */
    unsigned rate, channels, bits;
};

/* Parses the header from the first bytes; fills in the fields and the
 * offset of the samples. Returns 0 for anything that is not this format. */
static int parse_header(const char *text, size_t length, struct raw *r)
{
    size_t at = 0;
    int lines = 0;
    if (length < 6 || memcmp(text, "NVRAW\n", 6) != 0)
        return 0;
    at = 6;
    while (at < length && lines < 8) {
        const char *line = text + at;
        const char *end = memchr(line, '\n', length - at);
        if (!end)
            return 0;
        at = (size_t)(end - text) + 1;
        if (end == line) { /* the empty line */
            r->data_start = (long)at;
            return r->rate > 0 && r->channels > 0 && (r->bits == 8 || r->bits == 16);
        }
        sscanf(line, "rate %u", &r->rate);
        sscanf(line, "channels %u", &r->channels);
        sscanf(line, "bits %u", &r->bits);
        lines++;
    }
    return 0;
}

static void *raw_open_file(const ALchar *filename)
{
    char head[256];
    FILE *file = fopen(filename, "rb");
    if (!file)
        return NULL;
    size_t got = fread(head, 1, sizeof(head), file);
    struct raw *r = calloc(1, sizeof(*r));
    if (!r || !parse_header(head, got, r)) {
        /* Not ours: the library goes on to the next decoder. */
        free(r);
        fclose(file);
        return NULL;
    }
    r->file = file;
    fseek(file, r->data_start, SEEK_SET);
    return r;
}

static void *raw_open_mem(const ALubyte *data, ALuint length)
{
    struct raw *r = calloc(1, sizeof(*r));
    if (!r || !parse_header((const char *)data, length < 256 ? length : 256, r)) {
        free(r);
        return NULL;
    }
    r->memory = data;
    r->memory_length = length;
    r->pos = r->data_start;
    return r;
}

static ALboolean raw_get_format(void *handle, ALenum *format, ALuint *samplerate,
                                ALuint *blocksize)
{
    struct raw *r = handle;
    *format = nuvexGetSampleFormat(r->channels, r->bits, 0);
    *samplerate = r->rate;
    *blocksize = r->channels * r->bits / 8;
    return *format != AL_NONE;
}

/* Fills `buf` with up to `bytes` bytes of samples; 0 at the end. The samples
 * are little-endian, which is what OpenAL takes on this kind of host. */
static ALuint raw_decode(void *handle, ALubyte *buf, ALuint bytes)
{
    struct raw *r = handle;
    if (r->file)
        return (ALuint)fread(buf, 1, bytes, r->file);
    ALuint left = r->memory_length - (ALuint)r->pos;
    if (bytes > left)
        bytes = left;
    memcpy(buf, r->memory + r->pos, bytes);
    r->pos += bytes;
    /* 8-bit samples are unsigned for OpenAL; this format stores them so too. */
    return bytes;
}

static ALboolean raw_rewind(void *handle)
{
    struct raw *r = handle;
    if (r->file)
        return fseek(r->file, r->data_start, SEEK_SET) == 0;
    r->pos = r->data_start;
    return AL_TRUE;
}

static void raw_close(void *handle)
{
    struct raw *r = handle;
    if (r->file)
        fclose(r->file);
    free(r);
}

/* ---- Making a file of that format ------------------------------------------------ */

static ALubyte *make_image(size_t *size)
{
    static const char header[] = "NVRAW\nrate 22050\nchannels 1\nbits 16\n\n";
    const unsigned frames = 22050 / 4;
    *size = sizeof(header) - 1 + frames * 2;
    ALubyte *image = malloc(*size);
    if (!image)
        return NULL;
    memcpy(image, header, sizeof(header) - 1);
    ALubyte *p = image + sizeof(header) - 1;
    for (unsigned i = 0; i < frames; i++) {
        double fade = 1.0 - (double)i / frames;
        int v = (int)(8000.0 * fade * sin(6.2831853 * 660.0 * i / 22050.0));
        p[2 * i] = (ALubyte)(v & 0xFF);
        p[2 * i + 1] = (ALubyte)((v >> 8) & 0xFF);
    }
    return image;
}

/* ---- Playing ------------------------------------------------------------------- */

static void on_end(void *userdata, ALuint source)
{
    (void)source;
    *(int *)userdata = 1;
}

static void wait_for(int *done)
{
    while (!*done) {
        nuvexUpdate();
        nuvexSleep(0.01f);
    }
}

int main(int argc, char **argv)
{
    const char *path = argc > 1 ? argv[1] : "tone.nvraw";
    size_t size = 0;
    ALubyte *image = make_image(&size);
    FILE *out = fopen(path, "wb");
    if (!image || !out || fwrite(image, 1, size, out) != size || fclose(out) != 0) {
        fprintf(stderr, "Cannot write %s\n", path);
        return 1;
    }

    /* Index 0 and up: tried after the built-in decoders have declined. */
    if (!nuvexInstallDecodeCallbacks(0, raw_open_file, raw_open_mem, raw_get_format, raw_decode,
                                     raw_rewind, raw_close)) {
        fprintf(stderr, "Cannot install the decoder: %s\n", nuvexGetErrorString());
        return 1;
    }
    if (!nuvexInitDevice(NULL, NULL)) {
        fprintf(stderr, "No output device: %s\n", nuvexGetErrorString());
        return 1;
    }
    int status = 0;
    ALuint source = 0;
    alGenSources(1, &source);

    /* Streamed from the file, played twice: the second play uses raw_rewind. */
    nuvexStream *stream = nuvexCreateStreamFromFile(path, 4096, 0, NULL);
    int done = 0;
    if (stream && nuvexPlaySourceStream(source, stream, 3, 1, on_end, &done)) {
        wait_for(&done);
        printf("%s: streamed twice at %d Hz\n", path, nuvexGetStreamFrequency(stream));
    } else {
        fprintf(stderr, "%s: %s\n", path, nuvexGetErrorString());
        status = 1;
    }
    nuvexDestroyStream(stream, 0, NULL);

    /* Whole, from memory: the same decoder, through raw_open_mem. */
    ALuint buffer = nuvexCreateBufferFromMemory(image, (ALsizei)size);
    if (buffer) {
        done = 0;
        alSourcei(source, AL_BUFFER, (ALint)buffer);
        if (nuvexPlaySource(source, on_end, &done))
            wait_for(&done);
        printf("memory image: loaded whole and played\n");
        alSourcei(source, AL_BUFFER, 0);
        alDeleteBuffers(1, &buffer);
    } else {
        fprintf(stderr, "memory image: %s\n", nuvexGetErrorString());
        status = 1;
    }

    alDeleteSources(1, &source);
    nuvexShutdownDevice();
    /* All six null: the decoder is removed again. */
    nuvexInstallDecodeCallbacks(0, NULL, NULL, NULL, NULL, NULL, NULL);
    free(image);
    return status;
}
