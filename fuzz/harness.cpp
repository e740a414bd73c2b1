#include "harness.h"

#include "loopback.h"
#include "media.h"

#include <AL/alext.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

namespace nvfuzz {

namespace {
// Never closed: the context serves every input of the process.
nvmedia::Loopback *Device = nullptr;
} // namespace

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
    Device = new nvmedia::Loopback(2, 44100);
    if (!Device->ok()) {
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

bool StreamLoopPoints(const uint8_t *data, size_t size, nuvexUInt64 &start, nuvexUInt64 &end, nuvexUInt64 &length)
{
    nuvexStream *stream = nuvexCreateStreamFromMemory(data, ALuint(size), 64 << 10, 0, nullptr);
    const bool made = stream && nuvexGetStreamLoopPoints(stream, &start, &end);
    length = made ? nuvexGetStreamLength(stream) : 0;
    nuvexDestroyStream(stream, 0, nullptr);
    alGetError();
    nuvexGetErrorString();
    return made;
}

namespace {
bool IsMidi(const uint8_t *image, size_t size)
{
    return size >= 12 && (memcmp(image, "MThd", 4) == 0 || (memcmp(image, "RIFF", 4) == 0 && memcmp(image + 8, "RMID", 4) == 0));
}

[[noreturn]] void Fail(const char *what, const char *detail = "")
{
    fprintf(stderr, "fuzz: %s%s\n", what, detail);
    abort();
}

// Well-formed UTF-8, checked here rather than by the library's own
// validator, which the check is meant to hold to account: no stray or
// missing continuation bytes, no overlong forms, no surrogates, nothing
// past U+10FFFF.
bool WellFormedUtf8(const char *text)
{
    static const uint32_t least[4] = {0, 0x80, 0x800, 0x10000};
    for (const auto *p = reinterpret_cast<const unsigned char *>(text); *p;) {
        const int more = *p < 0x80 ? 0 : *p >> 5 == 6 ? 1 : *p >> 4 == 14 ? 2 : *p >> 3 == 30 ? 3 : -1;
        if (more < 0)
            return false;
        uint32_t code = *p & (more ? 0x3Fu >> more : 0x7Fu);
        for (int i = 1; i <= more; i++) {
            if ((p[i] & 0xC0) != 0x80) // the terminator included
                return false;
            code = code << 6 | (p[i] & 0x3F);
        }
        if (code < least[more] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        p += more + 1;
    }
    return true;
}

// Every common tag name and one free one: valid UTF-8 whatever the file
// held, and the same value whatever the case of the name.
void CheckTags(nuvexStream *stream)
{
    static const char *const names[] = {"TITLE",   "ARTIST",  "ALBUM",     "DATE",     "TRACKNUMBER",
                                        "GENRE",   "COMMENT", "COPYRIGHT", "LOOPSTART"};
    for (const char *name : names) {
        const ALchar *value = nuvexGetStreamTag(stream, name);
        if (value && !WellFormedUtf8(value))
            Fail("a tag that is not UTF-8: ", name);
        std::string lower = name;
        for (char &c : lower)
            c = char(tolower(static_cast<unsigned char>(c)));
        const ALchar *again = nuvexGetStreamTag(stream, lower.c_str());
        if ((value == nullptr) != (again == nullptr) || (value && strcmp(value, again) != 0))
            Fail("a tag read differently in lower case: ", name);
    }
}

struct Loop {
    nuvexUInt64 start = 0, end = 0;
    bool operator==(const Loop &o) const { return start == o.start && end == o.end; }
};

Loop LoopOf(nuvexStream *stream)
{
    Loop loop{7, 7};
    if (!nuvexGetStreamLoopPoints(stream, &loop.start, &loop.end))
        Fail("nuvexGetStreamLoopPoints failed: ", nuvexGetErrorString());
    return loop;
}

// The loop a stream reports is none, or a start below an end within the
// length; an end of 0 only where the length is unknown.
void CheckLoop(nuvexStream *stream, const Loop &loop)
{
    const nuvexUInt64 length = nuvexGetStreamLength(stream);
    const bool fits = loop.end == 0 ? length == 0 : loop.start < loop.end && (length == 0 || loop.end <= length);
    if (!(loop == Loop{}) && !fits) {
        fprintf(stderr, "fuzz: loop %llu to %llu in a stream of %llu frames\n", (unsigned long long)loop.start,
                (unsigned long long)loop.end, (unsigned long long)length);
        abort();
    }
}

// Loops set from the input's own bytes: one that is taken reads back as
// set, one that is refused leaves the old one; clearing always works. The
// file's loop is put back, or, for a file without one, the last loop taken
// stays, so that every input plays a join.
void SetAndClearLoops(nuvexStream *stream, const uint8_t *image, size_t size)
{
    const Loop file = LoopOf(stream);
    const nuvexUInt64 length = nuvexGetStreamLength(stream);
    const nuvexUInt64 pick = size ? image[size / 2] * nuvexUInt64(65) : 0; // on IMA ADPCM's blocks
    Loop now = file, taken;
    for (const Loop &want : {Loop{length, 0}, Loop{length / 4, length / 2}, Loop{pick, 0}, Loop{pick, pick + 650}}) {
        const bool set = nuvexSetStreamLoopPoints(stream, want.start, want.end);
        nuvexGetErrorString();
        if (set) // 0 and 0 clears
            now = want == Loop{} ? Loop{} : Loop{want.start, want.end ? want.end : length};
        if (set && !(now == Loop{}))
            taken = now;
        const Loop read = LoopOf(stream);
        if (!(read == now)) {
            fprintf(stderr, "fuzz: loop %llu to %llu %s (length %llu) reads %llu to %llu\n", (unsigned long long)want.start,
                    (unsigned long long)want.end, set ? "set" : "refused", (unsigned long long)length,
                    (unsigned long long)read.start, (unsigned long long)read.end);
            abort();
        }
    }
    if (!nuvexSetStreamLoopPoints(stream, 0, 0) || !(LoopOf(stream) == Loop{}))
        Fail("clearing the loop failed: ", nuvexGetErrorString());
    const Loop keep = file == Loop{} ? taken : file;
    if (!(keep == Loop{}) && !nuvexSetStreamLoopPoints(stream, keep.start, keep.end))
        Fail("a loop taken before is refused: ", nuvexGetErrorString());
}

// A little of the stream played in the background with two more passes,
// through its loop when it has one, so that joins inside chunks and the
// position within a pass run on what the input made of them.
void PlayLooped(nuvexStream *stream)
{
    ALuint source = 0;
    alGenSources(1, &source);
    bool ended = false;
    auto onEnd = [](void *flag, ALuint) { *static_cast<bool *>(flag) = true; };
    if (nuvexPlaySourceStream(source, stream, 3, 2, onEnd, &ended)) {
        float out[2 * 256];
        for (int step = 0; step < 128 && !ended; step++) {
            Device->Render(out, 256);
            nuvexUpdate();
            nuvexGetStreamPosition(stream);
        }
    }
    nuvexGetErrorString();
    nuvexStopSource(source, AL_FALSE);
    alDeleteSources(1, &source);
    CheckNoPendingError("a looped playback");
}
} // namespace

void Exercise(nuvexStream *stream, ALsizei count, ALuint *buffers, const uint8_t *image, size_t size)
{
    // Enough for every seed to play through; longer only slows the search.
    constexpr size_t Cap = size_t(512) << 10;
    CheckNoPendingError("stream creation");
    // Read as made, before any drain: a chained Ogg file reports the length
    // of the link it stands in.
    CheckLoop(stream, LoopOf(stream));
    CheckTags(stream);
    SetAndClearLoops(stream, image, size);
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
    nuvexRewindStream(stream);
    PlayLooped(stream);
    if (!nuvexDestroyStream(stream, count, buffers)) {
        fprintf(stderr, "fuzz: nuvexDestroyStream failed: %s\n", nuvexGetErrorString());
        abort();
    }
    nuvexGetErrorString();
}

} // namespace nvfuzz
