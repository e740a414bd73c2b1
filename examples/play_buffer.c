/*
 * Load a whole sound file into one OpenAL buffer and play it.
 *
 *     play_buffer FILE
 *
 * The library decodes the file in one call; nuvexPlaySource starts the
 * source and remembers the end-of-play callback, which nuvexUpdate runs on
 * this thread once the source has stopped.
 */
#include "nuvex.h"

#include <stdio.h>

static void on_end(void *userdata, ALuint source)
{
    (void)source;
    *(int *)userdata = 1;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "Usage: %s FILE\n", argv[0]);
        return 2;
    }
    if (!nuvexInitDevice(NULL, NULL)) {
        fprintf(stderr, "No output device: %s\n", nuvexGetErrorString());
        return 1;
    }

    ALuint buffer = nuvexCreateBufferFromFile(argv[1]);
    if (!buffer) {
        fprintf(stderr, "%s: %s\n", argv[1], nuvexGetErrorString());
        nuvexShutdownDevice();
        return 1;
    }
    ALint size = 0, bits = 0, channels = 0, rate = 0;
    alGetBufferi(buffer, AL_SIZE, &size);
    alGetBufferi(buffer, AL_BITS, &bits);
    alGetBufferi(buffer, AL_CHANNELS, &channels);
    alGetBufferi(buffer, AL_FREQUENCY, &rate);
    printf("%s: %d channel(s), %d Hz, %.2f s\n", argv[1], channels, rate,
           (double)size * 8 / bits / channels / rate);

    ALuint source = 0;
    alGenSources(1, &source);
    alSourcei(source, AL_BUFFER, (ALint)buffer);

    int done = 0;
    if (!nuvexPlaySource(source, on_end, &done)) {
        fprintf(stderr, "Cannot play: %s\n", nuvexGetErrorString());
        done = -1;
    }
    /* No update thread here: this loop is the update step. */
    while (done == 0) {
        nuvexUpdate();
        nuvexSleep(0.01f);
    }
    if (done == 1)
        printf("Played to the end.\n");

    /* The application owns the source and the buffer. */
    alDeleteSources(1, &source);
    alDeleteBuffers(1, &buffer);
    nuvexShutdownDevice();
    return done == 1 ? 0 : 1;
}
