// A memory image through the whole streaming API: create with a small chunk,
// check its tags and loop, set and clear loops, drain, rewind, seek, play
// through its loop, destroy (see nvfuzz::Exercise).
#include "harness.h"

#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    nvfuzz::EnsureContext();
    ALuint buffers[3] = {};
    nuvexStream *stream = nuvexCreateStreamFromMemory(data, ALuint(size), 1024, 3, buffers);
    if (!stream) {
        if (nvfuzz::Verbose())
            fprintf(stderr, "fuzz: refused: %s\n", nuvexGetErrorString());
        nvfuzz::CheckNoPendingError("a refused stream");
        nuvexGetErrorString();
        return 0;
    }
    nvfuzz::Exercise(stream, 3, buffers, data, size);
    return 0;
}
