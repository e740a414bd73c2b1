// A memory image decoded whole into one buffer.
#include "harness.h"

#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    nvfuzz::EnsureContext();
    if (nvfuzz::DecodesLongerThan(data, size, size_t(4) << 20))
        return 0;
    ALuint buffer = nuvexCreateBufferFromMemory(data, ALsizei(size));
    nvfuzz::CheckNoPendingError("a whole-sound load");
    if (nvfuzz::Verbose()) {
        ALint bytes = 0, frequency = 0;
        if (buffer) {
            alGetBufferi(buffer, AL_SIZE, &bytes);
            alGetBufferi(buffer, AL_FREQUENCY, &frequency);
        }
        fprintf(stderr, "fuzz: buffer %u, %d bytes at %d Hz (%s)\n", buffer, bytes, frequency,
                nuvexGetErrorString());
    }
    if (buffer) {
        alDeleteBuffers(1, &buffer);
        nvfuzz::CheckNoPendingError("deleting the loaded buffer");
    }
    nuvexGetErrorString();
    return 0;
}
