// A memory image decoded whole into one buffer.
#include "harness.h"

#include <AL/alext.h>

#include <cstdio>
#include <cstdlib>

namespace {
// A whole buffer carries the loop a stream of the same image reports, or,
// where its frames cannot hold that loop, none (loop points spanning it). A
// loop to the stream's end reads as the length its header claims, which
// the decoded frames may fall short of: the buffer's loop then ends with them.
void CheckLoopAgainstStream(ALuint buffer, const uint8_t *data, size_t size)
{
    nuvexUInt64 start = 0, end = 0, length = 0;
    if (!nvfuzz::StreamLoopPoints(data, size, start, end, length))
        return;
    ALint points[2] = {-1, -1}, bytes = 0, bits = 0, channels = 0;
    alGetBufferiv(buffer, AL_LOOP_POINTS_SOFT, points);
    alGetBufferi(buffer, AL_SIZE, &bytes);
    alGetBufferi(buffer, AL_BITS, &bits);
    alGetBufferi(buffer, AL_CHANNELS, &channels);
    nvfuzz::CheckNoPendingError("reading the buffer's loop points");
    const nuvexUInt64 frames = bits > 0 && channels > 0 ? nuvexUInt64(bytes) * 8 / nuvexUInt64(bits * channels) : 0;
    const bool whole = points[0] == 0 && nuvexUInt64(points[1]) == frames;
    const bool toTheEnd = end == 0 || end == length;
    const bool streams = nuvexUInt64(points[0]) == start &&
                         (nuvexUInt64(points[1]) == end || (toTheEnd && nuvexUInt64(points[1]) == frames));
    if (!whole && !streams) {
        fprintf(stderr, "fuzz: buffer of %llu frames loops %d to %d, its stream %llu to %llu\n",
                (unsigned long long)frames, points[0], points[1], (unsigned long long)start, (unsigned long long)end);
        abort();
    }
}
} // namespace

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
    if (buffer)
        CheckLoopAgainstStream(buffer, data, size);
    if (buffer) {
        alDeleteBuffers(1, &buffer);
        nvfuzz::CheckNoPendingError("deleting the loaded buffer");
    }
    nuvexGetErrorString();
    return 0;
}
