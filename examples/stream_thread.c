/*
 * Stream a sound through a small ring of buffers, refilled by the library's
 * background update thread, and wait for the end-of-play callback.
 *
 *     stream_thread FILE [LOOPS]
 *
 * The callback runs on the update thread, so it hands the news over with a
 * mutex and a condition variable; the main thread just waits.
 */
#include "nuvex.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

struct finish {
    pthread_mutex_t lock;
    pthread_cond_t cond;
    int done;
};

/* Runs on the update thread, with the library's lock held: keep it short
 * and do not wait here for anything the main thread does with the library. */
static void on_end(void *userdata, ALuint source)
{
    struct finish *f = userdata;
    (void)source;
    pthread_mutex_lock(&f->lock);
    f->done = 1;
    pthread_cond_signal(&f->cond);
    pthread_mutex_unlock(&f->lock);
}

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "Usage: %s FILE [LOOPS]\n", argv[0]);
        return 2;
    }
    int loops = argc == 3 ? atoi(argv[2]) : 0;
    if (!nuvexInitDevice(NULL, NULL)) {
        fprintf(stderr, "No output device: %s\n", nuvexGetErrorString());
        return 1;
    }

    /* Chunk lengths in microseconds: 100 ms per buffer, whatever the format. */
    nuvexStreamSizeIsMicroSec(AL_TRUE);
    nuvexStream *stream = nuvexCreateStreamFromFile(argv[1], 100000, 0, NULL);
    if (!stream) {
        fprintf(stderr, "%s: %s\n", argv[1], nuvexGetErrorString());
        nuvexShutdownDevice();
        return 1;
    }
    nuvexUInt64 frames = nuvexGetStreamLength(stream);
    ALsizei rate = nuvexGetStreamFrequency(stream);
    if (frames > 0 && rate > 0)
        printf("%s: %.2f s at %d Hz, played %d time(s)\n", argv[1], (double)frames / rate,
               rate, loops + 1);

    struct finish f = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0};
    ALuint source = 0;
    alGenSources(1, &source);

    /* Refill every 20 ms, well within one 100 ms chunk. */
    nuvexUpdateInterval(0.02f);
    int status = 0;
    if (!nuvexPlaySourceStream(source, stream, 4, loops, on_end, &f)) {
        fprintf(stderr, "Cannot play: %s\n", nuvexGetErrorString());
        status = 1;
    } else {
        pthread_mutex_lock(&f.lock);
        while (!f.done)
            pthread_cond_wait(&f.cond, &f.lock);
        pthread_mutex_unlock(&f.lock);
        printf("The end-of-play callback has run.\n");
    }

    /* Stop the thread before the objects it could touch go away. */
    nuvexUpdateInterval(0.0f);
    nuvexDestroyStream(stream, 0, NULL);
    alDeleteSources(1, &source);
    nuvexShutdownDevice();
    return status;
}
