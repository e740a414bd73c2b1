#include "harness.h"

#include "loopback.h"
#include "media.h"

#include <AL/alext.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

namespace nvfuzz {

void EnsureContext()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    setenv("ALSOFT_DRIVERS", "null", 1);
    setenv("ALSOFT_LOGLEVEL", "0", 1);
    // MIDI is rendered with a small generated SoundFont, unless told otherwise.
    if (!getenv("NUVEX_SOUNDFONT")) {
        static const std::string font = "/tmp/nvfuzz-" + std::to_string(getpid()) + ".sf2";
        const nvmedia::Bytes image = nvmedia::WriteSoundFont();
        FILE *file = fopen(font.c_str(), "wb");
        if (!file || fwrite(image.data(), 1, image.size(), file) != image.size() || fclose(file) != 0) {
            fprintf(stderr, "fuzz: cannot write %s\n", font.c_str());
            abort();
        }
        setenv("NUVEX_SOUNDFONT", font.c_str(), 1);
        atexit([] { remove(font.c_str()); });
    }
    // Never closed: the context serves every input of the process.
    static nvmedia::Loopback *device = new nvmedia::Loopback(2, 44100);
    if (!device->ok()) {
        fprintf(stderr, "fuzz: no OpenAL loopback context\n");
        abort();
    }
}

void CheckNoPendingError(const char *where)
{
    ALenum error = alGetError();
    if (error != AL_NO_ERROR) {
        fprintf(stderr, "fuzz: OpenAL error 0x%x left pending after %s\n", unsigned(error), where);
        abort();
    }
}

bool Verbose()
{
    static const bool verbose = getenv("NVFUZZ_VERBOSE") != nullptr;
    return verbose;
}

size_t Drain(nuvexStream *stream, ALsizei count, ALuint *buffers, size_t cap)
{
    size_t total = 0;
    while (total < cap) {
        ALsizei filled = nuvexBufferDataFromStream(stream, count, buffers);
        if (filled < 0 || filled > count) {
            // A verified stream with valid buffers can only fail on upload.
            fprintf(stderr, "fuzz: nuvexBufferDataFromStream returned %d (%s)\n", int(filled),
                    nuvexGetErrorString());
            CheckNoPendingError("a failed refill");
            return total;
        }
        for (ALsizei i = 0; i < filled; i++) {
            ALint size = 0;
            alGetBufferi(buffers[i], AL_SIZE, &size);
            total += size_t(size);
        }
        if (filled < count)
            break;
    }
    return total;
}

bool DecodesLongerThan(const uint8_t *data, size_t size, size_t cap)
{
    ALuint buffers[2] = {};
    nuvexStream *stream =
        nuvexCreateStreamFromMemory(data, ALuint(size), 64 << 10, 0, buffers);
    if (!stream) {
        alGetError();
        return false;
    }
    alGenBuffers(2, buffers);
    size_t total = Drain(stream, 2, buffers, cap + 1);
    nuvexDestroyStream(stream, 2, buffers);
    alGetError();
    nuvexGetErrorString();
    return total > cap;
}

namespace {
bool IsMidi(const uint8_t *image, size_t size)
{
    return size >= 12 && (memcmp(image, "MThd", 4) == 0 || (memcmp(image, "RIFF", 4) == 0 && memcmp(image + 8, "RMID", 4) == 0));
}
} // namespace

void Exercise(nuvexStream *stream, ALsizei count, ALuint *buffers, const uint8_t *image, size_t size)
{
    // Enough for every seed to play through; longer only slows the search.
    constexpr size_t Cap = size_t(512) << 10;
    CheckNoPendingError("stream creation");
    size_t first = Drain(stream, count, buffers, Cap);
    if (Verbose())
        fprintf(stderr, "fuzz: stream at %d Hz, length %llu, %zu bytes\n",
                int(nuvexGetStreamFrequency(stream)),
                (unsigned long long)nuvexGetStreamLength(stream), first);
    nuvexGetStreamLength(stream);
    nuvexGetStreamFrequency(stream);
    if (nuvexRewindStream(stream))
        Drain(stream, count, buffers, Cap);
    // Each decoder's own seek, or the forward decode of those without one: a
    // seek lands at or before its frame (a block's start). A few bytes of
    // module can declare hours, and a forward decode renders all of them (by
    // design), so targets stay within a reach that keeps the search moving;
    // the past-the-end target is checked before any decode and keeps the
    // declared length. MIDI seeks render nothing up to their frame, so they
    // go anywhere: the middle and the last frame of hours.
    const nuvexUInt64 reach = IsMidi(image, size) ? ~nuvexUInt64(0) : nuvexUInt64(1) << 18; // 6 s at 44.1 kHz
    const nuvexUInt64 length = nuvexGetStreamLength(stream);
    const nuvexUInt64 last = length ? length - 1 : 4410;
    for (nuvexUInt64 frame : {std::min(length / 2, reach), std::min(last, reach), length, nuvexUInt64(1)}) {
        if (!nuvexSetStreamPosition(stream, frame))
            continue;
        if (nuvexGetStreamPosition(stream) > frame) {
            fprintf(stderr, "fuzz: a seek to %llu landed at %llu\n", (unsigned long long)frame,
                    (unsigned long long)nuvexGetStreamPosition(stream));
            abort();
        }
        Drain(stream, count, buffers, Cap / 8);
    }
    if (nuvexSetStreamOrder(stream, 1))
        Drain(stream, count, buffers, Cap / 4);
    CheckNoPendingError("draining");
    if (!nuvexDestroyStream(stream, count, buffers)) {
        fprintf(stderr, "fuzz: nuvexDestroyStream failed: %s\n", nuvexGetErrorString());
        abort();
    }
    nuvexGetErrorString();
}

} // namespace nvfuzz
