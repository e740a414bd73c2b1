// Whole-sound loading: decode a file or memory image into one OpenAL buffer.
#include "core.h"
#include "streamdec.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <sys/mman.h>
#include <utility>
#include <vector>

namespace {
// The load array's bytes are always written by the stream before anything
// reads them, so growing it must not pay for zeroing them first.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <typename U>
    UninitializedAllocator(const UninitializedAllocator<U> &) noexcept
    {
    }
    T *allocate(size_t n)
    {
        T *p = std::allocator<T>::allocate(n);
        // A whole sound is megabytes of fresh memory: filling it in 2 MiB
        // pages instead of 4 KiB ones saves thousands of page faults, and
        // costs nothing when the allocator hands back memory already in use.
        constexpr uintptr_t HugePage = uintptr_t(2) << 20;
        uintptr_t first = (reinterpret_cast<uintptr_t>(p) + HugePage - 1) & ~(HugePage - 1);
        uintptr_t last = (reinterpret_cast<uintptr_t>(p) + n * sizeof(T)) & ~(HugePage - 1);
        if (last > first)
            madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
        return p;
    }
    template <typename U>
    void construct(U *p) noexcept
    {
        ::new (static_cast<void *>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U *p, Args &&...args)
    {
        ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
    }
};

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
} // namespace

ALboolean load_stream(StreamPtr stream, ALuint buffer)
{
    if (!stream)
        return AL_FALSE;

    ALenum format;
    ALuint freq, blockAlign;
    if (!stream->GetFormat(&format, &freq, &blockAlign))
        return Fail<ALboolean>("Could not get sample format", AL_FALSE);
    if (format == 0)
        return Fail<ALboolean>("No valid format", AL_FALSE);
    if (blockAlign == 0)
        return Fail<ALboolean>("Invalid block size", AL_FALSE);
    if (freq == 0)
        return Fail<ALboolean>("Invalid sample rate", AL_FALSE);

    // One second per read, computed wide and capped, so that an absurd rate
    // neither wraps to nothing nor allocates gigabytes per step.
    nuvexUInt64 wideStep = nuvexUInt64(freq) * blockAlign;
    size_t step = size_t(std::min<nuvexUInt64>(wideStep, MaxLoadStep));
    step = std::max<size_t>(step - step % blockAlign, blockAlign);

    std::vector<ALubyte, UninitializedAllocator<ALubyte>> data;
    data.reserve(ReservationFor(*stream, format, blockAlign) + step);
    data.resize(step);
    size_t total = 0;
    for (;;) {
        size_t room = std::min<size_t>(data.size() - total, 0xFFFFFFFFu);
        ALuint got = stream->GetData(data.data() + total, ALuint(room));
        if (got == 0)
            break;
        total += std::min<size_t>(got, room);
        if (data.capacity() < total + step)
            data.reserve(std::max(total + step, data.capacity() * 3 / 2));
        data.resize(total + step);
    }
    total -= total % blockAlign;
    data.resize(total);
    // Growth overshoots by up to half the array; OpenAL makes its own copy
    // next, so give the spare room back before it does.
    if (data.capacity() > total + step)
        data.shrink_to_fit();
    stream.reset();

    alBufferData(buffer, format, data.data(), ALsizei(total), ALsizei(freq));
    if (OpenALErrorPending())
        return Fail<ALboolean>("Buffer load failed", AL_FALSE);
    return AL_TRUE;
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
