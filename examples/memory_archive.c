/*
 * Read sounds out of an archive held in memory, by installing I/O callbacks.
 *
 *     memory_archive
 *
 * Every file name the library is given then names an archive member instead
 * of a file on disk. The archive here is built at start-up: a short tone as
 * a WAV image, and a text member that no decoder accepts.
 */
#include "nuvex.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* ---- A tiny archive: named members over one block of memory ------------- */

struct member {
    const char *name;
    const ALubyte *data;
    ALuint size;
};

static struct member archive[2];
static const int archive_count = 2;

/* One open member: the library gets this as its handle. */
struct open_member {
    const struct member *member;
    nuvexInt64 pos;
};

static void *archive_open(const char *filename, ALuint mode)
{
    if (mode != 0) /* the library only ever reads */
        return NULL;
    for (int i = 0; i < archive_count; i++) {
        if (strcmp(archive[i].name, filename) == 0) {
            struct open_member *m = malloc(sizeof(*m));
            if (m) {
                m->member = &archive[i];
                m->pos = 0;
            }
            return m;
        }
    }
    return NULL; /* the library reports "Failed to open file" */
}

static void archive_close(void *handle) { free(handle); }

static ALsizei archive_read(void *handle, ALubyte *buf, ALuint bytes)
{
    struct open_member *m = handle;
    nuvexInt64 left = (nuvexInt64)m->member->size - m->pos;
    if (left <= 0)
        return 0;
    if ((nuvexInt64)bytes > left)
        bytes = (ALuint)left;
    memcpy(buf, m->member->data + m->pos, bytes);
    m->pos += bytes;
    return (ALsizei)bytes;
}

static ALsizei archive_write(void *handle, const ALubyte *buf, ALuint bytes)
{
    (void)handle, (void)buf, (void)bytes;
    return -1; /* read-only */
}

/* Returns the new position, or -1 when it would leave the member. */
static nuvexInt64 archive_seek(void *handle, nuvexInt64 offset, ALint whence)
{
    struct open_member *m = handle;
    nuvexInt64 base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? m->pos : m->member->size;
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END)
        return -1;
    if (base + offset < 0 || base + offset > (nuvexInt64)m->member->size)
        return -1;
    m->pos = base + offset;
    return m->pos;
}

/* ---- Building the archive ----------------------------------------------- */

static void put16(ALubyte *p, unsigned v) { p[0] = v & 0xFF, p[1] = (v >> 8) & 0xFF; }
static void put32(ALubyte *p, unsigned long v)
{
    put16(p, v & 0xFFFF);
    put16(p + 2, (v >> 16) & 0xFFFF);
}

/* A 0.3 s, 880 Hz mono tone as a 16-bit WAV image. */
static ALubyte *make_tone_wav(ALuint *size)
{
    const unsigned rate = 22050, frames = rate * 3 / 10;
    *size = 44 + frames * 2;
    ALubyte *w = malloc(*size);
    if (!w)
        return NULL;
    memcpy(w, "RIFF", 4);
    put32(w + 4, *size - 8);
    memcpy(w + 8, "WAVEfmt ", 8);
    put32(w + 16, 16);
    put16(w + 20, 1); /* integer PCM */
    put16(w + 22, 1); /* mono */
    put32(w + 24, rate);
    put32(w + 28, rate * 2);
    put16(w + 32, 2);
    put16(w + 34, 16);
    memcpy(w + 36, "data", 4);
    put32(w + 40, frames * 2);
    for (unsigned i = 0; i < frames; i++) {
        double fade = 1.0 - (double)i / frames;
        put16(w + 44 + 2 * i, (unsigned)(short)(9000.0 * fade * sin(6.2831853 * 880.0 * i / rate)));
    }
    return w;
}

/* ---- Playing from it ------------------------------------------------------ */

static void on_end(void *userdata, ALuint source)
{
    (void)source;
    *(int *)userdata = 1;
}

static int play_member(const char *name)
{
    ALuint buffer = nuvexCreateBufferFromFile(name);
    if (!buffer) {
        printf("%s: %s\n", name, nuvexGetErrorString());
        return 0;
    }
    ALuint source = 0;
    int done = 0;
    alGenSources(1, &source);
    alSourcei(source, AL_BUFFER, (ALint)buffer);
    if (nuvexPlaySource(source, on_end, &done))
        while (!done) {
            nuvexUpdate();
            nuvexSleep(0.01f);
        }
    printf("%s: played from the archive\n", name);
    alDeleteSources(1, &source);
    alDeleteBuffers(1, &buffer);
    return 1;
}

int main(void)
{
    static const char readme[] = "This archive holds one sound: sounds/tone.wav\n";
    ALuint tone_size = 0;
    ALubyte *tone = make_tone_wav(&tone_size);
    if (!tone)
        return 1;
    archive[0].name = "sounds/tone.wav";
    archive[0].data = tone;
    archive[0].size = tone_size;
    archive[1].name = "README";
    archive[1].data = (const ALubyte *)readme;
    archive[1].size = sizeof(readme) - 1;

    if (!nuvexInitDevice(NULL, NULL)) {
        fprintf(stderr, "No output device: %s\n", nuvexGetErrorString());
        free(tone);
        return 1;
    }
    /* From here on, file names are archive member names. */
    if (!nuvexSetIOCallbacks(archive_open, archive_close, archive_read, archive_write,
                             archive_seek)) {
        fprintf(stderr, "Cannot install the callbacks: %s\n", nuvexGetErrorString());
        return 1;
    }

    int ok = play_member("sounds/tone.wav");
    /* These two fail, each with its own message. */
    ok &= !play_member("sounds/missing.wav");
    ok &= !play_member("README");

    /* All five null: back to the C library's file functions. */
    nuvexSetIOCallbacks(NULL, NULL, NULL, NULL, NULL);
    nuvexShutdownDevice();
    free(tone);
    return ok ? 0 : 1;
}
