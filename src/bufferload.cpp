// Whole-sound loading: decode a file or memory image into one OpenAL buffer.
#include "bufferload.h"

#include "decoders.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {
constexpr uintptr_t HugePage = uintptr_t(2) << 20;
uintptr_t AlignDown(uintptr_t value, uintptr_t unit) { return value & ~(unit - 1); }
uintptr_t AlignUp(uintptr_t value, uintptr_t unit) { return AlignDown(value + unit - 1, unit); }

// A whole sound is megabytes of fresh memory: filling it in 2 MiB pages
// instead of 4 KiB ones saves thousands of page faults, and costs nothing
// when the allocator hands back memory already in use. Only the first
// `bytes`, which the load will write, are advised: a huge page reaching past
// the sound's end would be made resident whole for a few bytes.
void AdviseHugePages(const LoadArray &data, size_t bytes)
{
    uintptr_t start = reinterpret_cast<uintptr_t>(data.data());
    uintptr_t first = AlignUp(start, HugePage);
    uintptr_t last = AlignDown(start + std::min(bytes, data.capacity()), HugePage);
    if (last > first)
        madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
}

// Gives the whole pages of the array's bytes [from, to) back to the system,
// without copying what it holds (a huge page may have made memory past its
// end resident). The memory stays the array's: it reads as zeros if ever
// touched again.
void ReleasePages(const LoadArray &data, size_t from, size_t to)
{
    static const uintptr_t pageSize = uintptr_t(sysconf(_SC_PAGESIZE));
    uintptr_t start = reinterpret_cast<uintptr_t>(data.data());
    uintptr_t first = AlignUp(start + from, pageSize);
    uintptr_t last = AlignDown(start + to, pageSize);
    if (last > first)
        madvise(reinterpret_cast<void *>(first), last - first, MADV_DONTNEED);
}

// Bytes worth reserving before draining: what the stream says it holds, but
// never more than its input could expand to, so a header cannot make us
// allocate gigabytes for a few bytes of input.
size_t ReservationFor(nuvexStream &stream, ALenum format, ALuint blockAlign)
{
    if (!stream.inputStream)
        return 0;
    nuvexUInt64 frames = stream.ExpectedFrames();
    if (frames == 0)
        return 0;
    bool ima4 = format == AL_FORMAT_MONO_IMA4 || format == AL_FORMAT_STEREO_IMA4;
    nuvexUInt64 framesPerBlock = ima4 ? 65 : 1;
    nuvexUInt64 inputSize = static_cast<InStream *>(stream.inputStream)->SizeHint();
    nuvexUInt64 cap = std::min<nuvexUInt64>(inputSize, nuvexUInt64(1) << 40) * stream.MaxExpansion();
    // Reserved pages cost nothing until written, but address space is not
    // unlimited: a gigabyte is more than any sound worth loading whole.
    cap = std::min<nuvexUInt64>(cap, nuvexUInt64(1) << 30);
    nuvexUInt64 claimedBlocks = frames / framesPerBlock;
    if (claimedBlocks > cap / blockAlign)
        return size_t(cap);
    return size_t(claimedBlocks * blockAlign);
}
// The most bytes one alBufferData call takes.
constexpr size_t MaxWholeBytes = 0x7FFFFFFF;

// Gives a loaded buffer the loop its file names, where OpenAL can hold one:
// a source looping it then plays the intro once and the body over and
// over. A loop the loaded frames cannot hold (a file shorter than its
// header said) is left out, as without the extension.
void ApplyLoop(ALuint buffer, const LoopPoints &loop, ALenum format, size_t bytes, ALuint blockAlign)
{
    if (!loop.Present() || !alIsExtensionPresent("AL_SOFT_loop_points"))
        return;
    const nuvexUInt64 frames = nuvexUInt64(bytes / blockAlign) * DetectCompressionRate(format);
    const nuvexUInt64 end = loop.end ? loop.end : frames;
    // OpenAL takes the points as ALints: only an IMA4 sound of over 1.2 GB
    // has frames past them, and its loop is left out rather than wrapped.
    if (loop.start >= end || end > frames || end > nuvexUInt64(std::numeric_limits<ALint>::max()))
        return;
    const ALint points[2] = {ALint(loop.start), ALint(end)};
    alBufferiv(buffer, AL_LOOP_POINTS_SOFT, points);
    // Checked above, so accepted; a load job leaves the context's error
    // state alone (see UploadSound).
    if (!SharesContextErrors())
        alGetError();
}

// OpenAL Soft copies the samples given to alBufferData holding its device's
// buffer lock, so a sound of tens of megabytes stalls every other buffer
// call on the device, each playing stream's refill among them, for the whole
// copy (150 ms for 50 MiB here). A buffer given storage that can be mapped
// is filled with no lock held. The extension is experimental: where it or
// one of its calls is missing, the plain copy stays.
using BufferStorageCall = void(AL_APIENTRY *)(ALuint, ALenum, const ALvoid *, ALsizei, ALsizei, unsigned);
using MapBufferCall = void *(AL_APIENTRY *)(ALuint, ALsizei, ALsizei, unsigned);
using UnmapBufferCall = void(AL_APIENTRY *)(ALuint);

struct BufferMapping {
    BufferStorageCall storage = nullptr;
    MapBufferCall map = nullptr;
    UnmapBufferCall unmap = nullptr;
    unsigned writeAccess = 0;

    bool Complete() const { return storage && map && unmap && writeAccess; }
};

const BufferMapping *MappingInForce()
{
    static const BufferMapping mapping = [] {
        BufferMapping calls;
        calls.storage = reinterpret_cast<BufferStorageCall>(alGetProcAddress("alBufferStorageSOFT"));
        calls.map = reinterpret_cast<MapBufferCall>(alGetProcAddress("alMapBufferSOFT"));
        calls.unmap = reinterpret_cast<UnmapBufferCall>(alGetProcAddress("alUnmapBufferSOFT"));
        calls.writeAccess = unsigned(alGetEnumValue("AL_MAP_WRITE_BIT_SOFT"));
        return calls;
    }();
    if (!mapping.Complete() || !alIsExtensionPresent("AL_SOFTX_map_buffer"))
        return nullptr;
    return &mapping;
}

// OpenAL converts ADPCM to plain samples as it stores them, so it cannot
// map such a buffer for writing the file's own bytes.
bool StoredAsGiven(ALenum format)
{
    return format != AL_FORMAT_MONO_IMA4 && format != AL_FORMAT_STEREO_IMA4 &&
           format != AL_FORMAT_MONO_MSADPCM_SOFT && format != AL_FORMAT_STEREO_MSADPCM_SOFT;
}

// Copies the sound to `target` a few megabytes at a time, giving each piece
// of its own array back once copied: at the peak of a load the sound is held
// about once, not twice (the array then reads as zeros).
void CopyOut(DecodedSound &sound, ALubyte *target)
{
    constexpr size_t Piece = size_t(4) << 20;
    const ALubyte *samples = sound.Samples();
    for (size_t done = 0; done < sound.bytes;) {
        const size_t piece = std::min(Piece, sound.bytes - done);
        std::memcpy(target + done, samples + done, piece);
        if (!sound.inPlace)
            ReleasePages(sound.data, done, done + piece);
        done += piece;
    }
}

// Gives the buffer the sound's samples through a mapping: true when it
// holds them, false (with no error left pending from the attempt) when the
// plain copy has to do it.
bool FillMapped(DecodedSound &sound, ALuint buffer)
{
    const BufferMapping *mapping = sound.bytes > 0 && StoredAsGiven(sound.format) ? MappingInForce() : nullptr;
    if (!mapping)
        return false;
    const ALsizei bytes = ALsizei(sound.bytes);
    mapping->storage(buffer, sound.format, nullptr, bytes, ALsizei(sound.frequency), mapping->writeAccess);
    // Refused storage must not let an earlier mappable one be written. A job
    // cannot ask (its context's errors are the application's too), but its
    // buffer is new: there is no earlier storage to map.
    if (!SharesContextErrors() && OpenALErrorPending())
        return false;
    void *target = mapping->map(buffer, 0, bytes, mapping->writeAccess);
    if (!target) {
        alGetError();
        return false;
    }
    CopyOut(sound, static_cast<ALubyte *>(target));
    mapping->unmap(buffer);
    return true;
}
} // namespace

bool DecodeSound(StreamPtr stream, DecodedSound &sound, const std::atomic<bool> *cancel)
{
    if (!stream)
        return false;

    ALenum format;
    ALuint freq, blockAlign;
    if (!stream->GetFormat(&format, &freq, &blockAlign))
        return Fail("Could not get sample format", false);
    if (format == 0)
        return Fail("No valid format", false);
    if (blockAlign == 0)
        return Fail("Invalid block size", false);
    if (freq == 0)
        return Fail("Invalid sample rate", false);
    if (!stream->ReadyForLoad(true))
        return false;
    sound.format = format;
    sound.frequency = freq;
    sound.blockAlign = blockAlign;
    sound.loop = stream->loop;

    // Samples that lie in a memory image exactly as OpenAL takes them go to
    // OpenAL from where they are: its own copy is the only one.
    size_t inPlaceBytes = 0;
    if (const ALubyte *inPlace = stream->DataInPlace(&inPlaceBytes)) {
        sound.inPlace = inPlace;
        sound.bytes = inPlaceBytes - inPlaceBytes % blockAlign;
        return true;
    }

    // One second per read, computed wide and capped, so that an absurd rate
    // neither wraps to nothing nor allocates gigabytes per step.
    nuvexUInt64 wideStep = nuvexUInt64(freq) * blockAlign;
    size_t step = size_t(std::min<nuvexUInt64>(wideStep, MaxLoadStep));
    step = std::max<size_t>(step - step % blockAlign, blockAlign);

    // A stream that knows its length (its header says it) is asked for all
    // of it, and a step to see its end, in its first read: a file then takes
    // one read call. The others are read a step at a time, because their
    // decoders may pad what they are asked for (modules pad their last read).
    const size_t reserved = ReservationFor(*stream, format, blockAlign);
    LoadArray &data = sound.data;
    data.reserve(reserved + step);
    AdviseHugePages(data, reserved);
    data.resize(reserved > 0 && stream->GetLength() > 0 ? reserved + step : step);
    size_t total = 0;
    for (;;) {
        if (cancel && cancel->load(std::memory_order_relaxed))
            return Fail("Load cancelled", false);
        size_t room = std::min<size_t>(data.size() - total, 0xFFFFFFFFu);
        ALuint got = stream->GetData(data.data() + total, ALuint(room));
        if (got == 0)
            break;
        total += std::min<size_t>(got, room);
        // OpenAL takes the size as an ALsizei: a larger sound would wrap.
        if (total - total % blockAlign > MaxWholeBytes)
            return Fail("Sound too large to load whole", false);
        if (data.capacity() < total + step) {
            data.reserve(std::max(total + step, data.capacity() * 3 / 2));
            AdviseHugePages(data, total);
        }
        data.resize(total + step);
    }
    total -= total % blockAlign;
    data.resize(total);
    // OpenAL makes its own copy next. What the array holds beyond the sound
    // is given back first: past a reservation (the stream's own estimate of
    // its length) by releasing the pages, without copying; an array grown
    // without one (it overshoots by up to half) by shrinking it.
    if (data.capacity() > total + step) {
        if (reserved > 0)
            ReleasePages(data, total, data.capacity());
        else
            data.shrink_to_fit();
    }
    sound.bytes = total;
    return true;
}

bool UploadSound(DecodedSound &sound, ALuint buffer)
{
    if (!FillMapped(sound, buffer))
        alBufferData(buffer, sound.format, sound.Samples(), ALsizei(sound.bytes), ALsizei(sound.frequency));
    // A load for a job shares its context's error state with the
    // application's threads: it tells its own failure by what the buffer
    // holds (a fresh buffer reads rate 0 until data is accepted), and
    // consumes an error only when it caused one.
    if (SharesContextErrors()) {
        ALint rate = 0;
        alGetBufferi(buffer, AL_FREQUENCY, &rate);
        if (rate != ALint(sound.frequency)) {
            alGetError();
            return Fail("Buffer load failed", false);
        }
    } else if (OpenALErrorPending()) {
        return Fail("Buffer load failed", false);
    }
    ApplyLoop(buffer, sound.loop, sound.format, sound.bytes, sound.blockAlign);
    return true;
}

ALboolean load_stream(StreamPtr stream, ALuint buffer)
{
    DecodedSound sound;
    if (!DecodeSound(std::move(stream), sound))
        return AL_FALSE;
    return UploadSound(sound, buffer) ? AL_TRUE : AL_FALSE;
}

namespace {
ALboolean CheckBufferName(ALuint buffer)
{
    if (buffer == 0 || !alIsBuffer(buffer))
        return Fail<ALboolean>("Invalid buffer ID", AL_FALSE);
    return AL_TRUE;
}

// Generates a buffer, fills it, and deletes it again when filling fails.
template <typename Fill>
ALuint CreateFilledBuffer(Fill &&fill)
{
    if (OpenALErrorPending())
        return Fail<ALuint>("Existing OpenAL error", 0);
    ALuint buffer = 0;
    alGenBuffers(1, &buffer);
    if (OpenALErrorPending())
        return Fail<ALuint>("Buffer creation failed", 0);
    if (!fill(buffer)) {
        alDeleteBuffers(1, &buffer);
        alGetError();
        return 0;
    }
    return buffer;
}
} // namespace

extern "C" {

NUVEX_API ALboolean NUVEX_APIENTRY nuvexBufferDataFromMemory(const ALubyte *fdata, ALsizei length,
                                                             ALuint buffer)
{
    return Boundary<ALboolean>(AL_FALSE, [&]() -> ALboolean {
        if (OpenALErrorPending())
            return Fail<ALboolean>("Existing OpenAL error", AL_FALSE);
        if (!CheckBufferName(buffer))
            return AL_FALSE;
        if (length < 0)
            return Fail<ALboolean>("Invalid data length", AL_FALSE);
        if (!fdata && length > 0)
            return Fail<ALboolean>("Invalid data pointer", AL_FALSE);
        MemDataInfo memory;
        memory.data = fdata;
        memory.length = ALuint(length);
        return load_stream(create_stream(memory), buffer);
    });
}

NUVEX_API ALboolean NUVEX_APIENTRY nuvexBufferDataFromFile(const ALchar *fname, ALuint buffer)
{
    return Boundary<ALboolean>(AL_FALSE, [&]() -> ALboolean {
        if (OpenALErrorPending())
            return Fail<ALboolean>("Existing OpenAL error", AL_FALSE);
        if (!CheckBufferName(buffer))
            return AL_FALSE;
        return load_stream(create_stream(fname), buffer);
    });
}

NUVEX_API ALuint NUVEX_APIENTRY nuvexCreateBufferFromMemory(const ALubyte *fdata, ALsizei length)
{
    return Boundary<ALuint>(0, [&]() -> ALuint {
        return CreateFilledBuffer(
            [&](ALuint buffer) { return nuvexBufferDataFromMemory(fdata, length, buffer); });
    });
}

NUVEX_API ALuint NUVEX_APIENTRY nuvexCreateBufferFromFile(const ALchar *fname)
{
    return Boundary<ALuint>(0, [&]() -> ALuint {
        return CreateFilledBuffer(
            [&](ALuint buffer) { return nuvexBufferDataFromFile(fname, buffer); });
    });
}

} // extern "C"
