// The input as the SoundFont of a fixed MIDI tune: FluidSynth's font reader
// and the decoder's font handling (loading, sharing, swapping) under hostile
// fonts. A font that loads plays the tune; one that does not leaves its
// message and the stream playing on with its previous font.
#include "harness.h"

#include "media.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    nvfuzz::EnsureContext();
    static const nvmedia::Bytes tune = nvmedia::MidiSeeds().front().image;
    static const std::string path = "/tmp/nvfuzz-font-" + std::to_string(getpid()) + ".sf2";
    FILE *file = fopen(path.c_str(), "wb");
    if (!file || fwrite(data, 1, size, file) != size || fclose(file) != 0)
        abort();
    ALuint buffers[2] = {};
    alGenBuffers(2, buffers);
    nuvexStream *stream = nuvexCreateStreamFromMemory(tune.data(), ALuint(tune.size()), 4096, 0, nullptr);
    if (!stream)
        abort();
    if (!nuvexSetStreamPatchset(stream, path.c_str())) {
        const char *message = nuvexGetErrorString();
        if (strcmp(message, "SoundFont load failed") != 0) {
            fprintf(stderr, "fuzz: a font that failed left \"%s\"\n", message);
            abort();
        }
    } else if (nvfuzz::Verbose()) {
        fprintf(stderr, "fuzz: the font loaded\n");
    }
    nvfuzz::Drain(stream, 2, buffers, 1 << 20);
    nuvexDestroyStream(stream, 2, buffers);
    nvfuzz::CheckNoPendingError("a SoundFont");
    nuvexGetErrorString();
    return 0;
}
