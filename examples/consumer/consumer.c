/* A program built against an installed nuvex, the way users build theirs:
 * it loads a small WAV image from memory and checks what OpenAL received. */
#include <nuvex.h>

#include <stdio.h>
#include <string.h>

static void put16(ALubyte *p, unsigned v) { p[0] = v & 0xFF, p[1] = v >> 8; }
static void put32(ALubyte *p, unsigned v) { put16(p, v & 0xFFFF), put16(p + 2, v >> 16); }

int main(void)
{
    ALuint major = 0, minor = 0;
    nuvexGetVersion(&major, &minor);

    ALubyte wav[44 + 400];
    memcpy(wav, "RIFF", 4);
    put32(wav + 4, sizeof(wav) - 8);
    memcpy(wav + 8, "WAVEfmt ", 8);
    put32(wav + 16, 16);
    put16(wav + 20, 1);
    put16(wav + 22, 1);
    put32(wav + 24, 8000);
    put32(wav + 28, 16000);
    put16(wav + 32, 2);
    put16(wav + 34, 16);
    memcpy(wav + 36, "data", 4);
    put32(wav + 40, 400);
    for (int i = 0; i < 200; i++)
        put16(wav + 44 + 2 * i, (unsigned)(i * 100));

    if (!nuvexInitDevice(NULL, NULL)) {
        fprintf(stderr, "consumer: %s\n", nuvexGetErrorString());
        return 1;
    }
    ALuint buffer = nuvexCreateBufferFromMemory(wav, (ALsizei)sizeof(wav));
    ALint size = 0, rate = 0;
    if (buffer) {
        alGetBufferi(buffer, AL_SIZE, &size);
        alGetBufferi(buffer, AL_FREQUENCY, &rate);
        alDeleteBuffers(1, &buffer);
    } else {
        fprintf(stderr, "consumer: %s\n", nuvexGetErrorString());
    }
    nuvexShutdownDevice();
    if (size != 400 || rate != 8000)
        return 1;
    printf("consumer: nuvex %u.%u loaded 200 frames at 8000 Hz\n", major, minor);
    return 0;
}
