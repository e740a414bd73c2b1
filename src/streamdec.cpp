// Registration invariants are checked with assert in every build.
#undef NDEBUG
// Stream framework: the stream object model and its live list, the decoder
// registry and search, and application decoders given as callbacks.
#include "streamdec.h"

#include "playback.h"

#include <algorithm>
#include <cstdio>
#include <cassert>
#include <cstring>
#include <mutex>
#include <utility>

// Owned by the core, so that they outlive every stream at unload.
std::mutex &StreamListMutex();
std::list<nuvexStream *> &StreamList();

// ---- Stream object model -------------------------------------------------------

nuvexStream::nuvexStream(std::istream *input) : inputStream(input)
{
    std::lock_guard<std::mutex> lock(StreamListMutex());
    StreamList().push_front(this);
}

nuvexStream::~nuvexStream()
{
    ownedData.reset();
    Detach(this);
}

bool nuvexStream::SetOrder(ALuint order)
{
    if (order == 0)
        return Rewind();
    return Fail("Invalid order for stream", false);
}

bool nuvexStream::SetPatchset(const char *) { return true; }

nuvexUInt64 nuvexStream::GetLength() { return 0; }

bool nuvexStream::ReadyForLoad(bool) { return true; }

const ALubyte *nuvexStream::DataInPlace(size_t *bytes)
{
    *bytes = 0;
    return nullptr;
}

bool nuvexStream::Restart()
{
    if (!Rewind())
        return false;
    position = 0;
    carried.clear();
    return true;
}

ALuint nuvexStream::TakeCarried(ALubyte *data)
{
    const ALuint size = ALuint(carried.size());
    std::copy(carried.begin(), carried.end(), data);
    carried.clear();
    return size;
}

void nuvexStream::SetFrameUnit(ALenum format, ALuint blockAlign)
{
    // Formats the library does not know (application decoders') count one
    // frame per block.
    const ALuint formatAlign = DetectBlockAlignment(format);
    unitBytes = formatAlign ? formatAlign : blockAlign;
    unitFrames = formatAlign ? DetectCompressionRate(format) : 1;
}

bool nuvexStream::Seek(nuvexUInt64 to, nuvexUInt64 &at)
{
    if (!Rewind())
        return Fail("Stream cannot seek", false);
    at = 0;
    carried.clear();
    ALenum format;
    ALuint frequency, blockAlign;
    if (!GetFormat(&format, &frequency, &blockAlign) || FramesIn(blockAlign) == 0 ||
        chunkBuffer.size() < blockAlign)
        return Fail("Stream cannot seek", false);
    // Whole blocks only: a block format lands on the start of the block.
    const nuvexUInt64 blockFrames = FramesIn(blockAlign);
    const size_t most = chunkBuffer.size() - chunkBuffer.size() % blockAlign;
    while (to - at >= blockFrames) {
        const nuvexUInt64 wanted = (to - at) / blockFrames * blockAlign;
        const ALuint ask = ALuint(std::min<nuvexUInt64>(wanted, most));
        ALuint got = std::min(GetData(chunkBuffer.data(), ask), ask);
        got -= got % blockAlign;
        if (got == 0)
            return Fail("Position past the end", false);
        at += FramesIn(got);
    }
    // The frame must exist: one more block is read, and kept for delivery.
    ALuint got = std::min(GetData(chunkBuffer.data(), blockAlign), blockAlign);
    if (got < blockAlign)
        return Fail("Position past the end", false);
    carried.assign(chunkBuffer.begin(), chunkBuffer.begin() + blockAlign);
    return true;
}

bool nuvexStream::Verify(const nuvexStream *stream)
{
    if (!stream)
        return false;
    std::lock_guard<std::mutex> lock(StreamListMutex());
    const auto &list = StreamList();
    return std::find(list.begin(), list.end(), stream) != list.end();
}

bool nuvexStream::Detach(const nuvexStream *stream)
{
    std::lock_guard<std::mutex> lock(StreamListMutex());
    auto &list = StreamList();
    auto it = std::find(list.begin(), list.end(), stream);
    if (it == list.end())
        return false;
    list.erase(it);
    return true;
}

void nuvexStream::Clear()
{
    // Each stream leaves the list before its playback is stopped, and the
    // next one is taken from the front afresh: an end-of-play callback may
    // destroy other streams meanwhile, and none may be destroyed twice.
    for (;;) {
        nuvexStream *stream;
        {
            std::lock_guard<std::mutex> lock(StreamListMutex());
            if (StreamList().empty())
                return;
            stream = StreamList().front();
            StreamList().pop_front();
        }
        StopStream(stream);
        StreamPtr owner(stream);
    }
}

void StreamDeleter::operator()(nuvexStream *stream) const
{
    std::unique_ptr<std::istream> input(stream->inputStream);
    delete stream;
}

void SwapBytes(ALubyte *data, size_t bytes, unsigned width)
{
    if (width == 2) {
        // The common case, written so that the compiler vectorises it.
        for (size_t i = 0; i + 2 <= bytes; i += 2) {
            uint16_t v;
            memcpy(&v, data + i, 2);
            v = uint16_t(v << 8 | v >> 8);
            memcpy(data + i, &v, 2);
        }
        return;
    }
    for (size_t i = 0; i + width <= bytes; i += width)
        std::reverse(data + i, data + i + width);
}

void SkipChunkBody(std::istream &in, uint32_t length)
{
    in.seekg(std::streamoff(length), std::ios_base::cur);
    if ((length & 1) == 0 || !in)
        return;
    std::streampos afterBody = in.tellg();
    char next[5];
    in.read(next, 5);
    std::streamsize got = in.gcount();
    auto tagByte = [](char c) { return c >= 0x20 && c <= 0x7E; };
    bool isPad = got >= 1 && next[0] == 0 &&
                 (got == 1 || (got == 5 && tagByte(next[1]) && tagByte(next[2]) &&
                               tagByte(next[3]) && tagByte(next[4])));
    in.clear();
    in.seekg(afterBody + std::streamoff(isPad ? 1 : 0));
}

bool ReadRest(std::istream &in, std::vector<ALubyte> &buffer, size_t filled, size_t cap)
{
    for (;;) {
        size_t got = ReadBytes(in, buffer.data() + filled, buffer.size() - filled);
        if (got == 0)
            break;
        filled += got;
        if (filled > cap)
            return false;
        // One byte past the bound is enough to tell that an input is too
        // large; never hold more than that.
        buffer.resize(std::min(filled * 2, cap + 1));
    }
    buffer.resize(filled);
    return true;
}

ALuint ReadWholeBlocks(std::istream &in, ALubyte *data, ALuint bytes, ALuint blockAlign,
                       uint32_t &bytesLeft)
{
    ALuint n = bytes < bytesLeft ? bytes : bytesLeft;
    n -= n % blockAlign;
    if (n == 0)
        return 0;
    ALuint got = ALuint(ReadBytes(in, data, n));
    got -= got % blockAlign;
    bytesLeft -= got;
    return got;
}

const ALubyte *TakeWholeBlocks(std::istream &in, size_t bytes, ALuint blockAlign,
                               uint32_t &bytesLeft, size_t *taken)
{
    size_t available = 0;
    const ALubyte *rest = MemoryInputRest(in, &available);
    *taken = 0;
    if (!rest)
        return nullptr;
    size_t n = std::min({bytes, size_t(bytesLeft), available});
    n -= n % blockAlign;
    SkipMemoryInput(in, n);
    bytesLeft -= uint32_t(n);
    *taken = n;
    return rest;
}

int64_t SeekInput(std::istream &in, int64_t offset, int whence)
{
    static const std::ios_base::seekdir dirs[] = {std::ios_base::beg, std::ios_base::cur,
                                                  std::ios_base::end};
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END)
        return -1;
    in.clear();
    in.seekg(std::streamoff(offset), dirs[whence == SEEK_SET ? 0 : whence == SEEK_CUR ? 1 : 2]);
    return in ? int64_t(std::streamoff(in.tellg())) : -1;
}

bool SeekToData(std::istream &in, int64_t dataOffset)
{
    in.clear();
    in.seekg(dataOffset);
    if (in.fail())
        return Fail("Seek failed", false);
    return true;
}

bool SeekInData(std::istream &in, int64_t dataOffset, uint32_t dataSize, uint64_t offset,
                ALuint blockAlign, uint32_t &bytesLeft)
{
    if (offset + blockAlign > dataSize)
        return Fail("Position past the end", false);
    in.clear();
    const std::streamoff here = in.tellg();
    in.seekg(0, std::ios_base::end);
    const std::streamoff end = in.tellg();
    const bool holds = uint64_t(dataOffset) + offset + blockAlign <= uint64_t(end);
    in.clear();
    in.seekg(holds ? std::streamoff(uint64_t(dataOffset) + offset) : here);
    if (here < 0 || end < 0 || in.fail()) {
        in.clear();
        in.seekg(here);
        return Fail("Stream cannot seek", false);
    }
    if (!holds)
        return Fail("Position past the end", false);
    bytesLeft = dataSize - uint32_t(offset);
    return true;
}

// ---- Application decoders ------------------------------------------------------------

customStream::customStream(const char *filename, const UserCallbacks &cb)
    : nuvexStream(nullptr), callbacks(cb)
{
    if (callbacks.open_file)
        handle = callbacks.open_file(filename);
}

customStream::customStream(const MemDataInfo &memory, const UserCallbacks &cb)
    : nuvexStream(nullptr), memInfo(memory), callbacks(cb)
{
    if (callbacks.open_mem)
        handle = callbacks.open_mem(memInfo.data, memInfo.length);
}

customStream::customStream(void *userdata, ALenum fmt, ALuint freq, const UserCallbacks &cb)
    : nuvexStream(nullptr), handle(userdata), format(fmt), frequency(freq),
      blockAlign(DetectBlockAlignment(fmt)), callbacks(cb)
{
}

customStream::~customStream()
{
    if (callbacks.close && handle)
        callbacks.close(handle);
    handle = nullptr;
}

bool customStream::IsValid() { return handle != nullptr; }

bool customStream::GetFormat(ALenum *fmt, ALuint *freq, ALuint *align)
{
    if (format == AL_NONE) {
        if (!callbacks.get_format)
            return false;
        if (!callbacks.get_format(handle, &format, &frequency, &blockAlign))
            return false;
        ALuint formatAlign = DetectBlockAlignment(format);
        if (formatAlign != 0 && blockAlign % formatAlign != 0)
            blockAlign = 0;
    }
    *fmt = format;
    *freq = frequency;
    *align = blockAlign;
    return true;
}

ALuint customStream::GetData(ALubyte *data, ALuint bytes)
{
    // The library never trusts a callback to stay inside its own arrays.
    return std::min(callbacks.decode(handle, data, bytes), bytes);
}

bool customStream::Rewind()
{
    if (callbacks.rewind && callbacks.rewind(handle))
        return true;
    return Fail("Rewind failed", false);
}

extern "C" NUVEX_API ALboolean NUVEX_APIENTRY nuvexInstallDecodeCallbacks(
    ALint index, void *(*open_file)(const ALchar *filename),
    void *(*open_mem)(const ALubyte *data, ALuint length),
    ALboolean (*get_format)(void *handle, ALenum *format, ALuint *samplerate, ALuint *blocksize),
    ALuint (*decode)(void *handle, ALubyte *buf, ALuint bytes), ALboolean (*rewind)(void *handle),
    void (*close)(void *handle))
{
    return Boundary<ALboolean>(AL_FALSE, [&]() -> ALboolean {
        if (!open_file && !open_mem && !get_format && !decode && !rewind && !close) {
            InstalledCallbacks().erase(index);
            return AL_TRUE;
        }
        if ((open_file || open_mem) && get_format && decode) {
            InstalledCallbacks()[index] = {open_file, open_mem, get_format, decode, rewind, close};
            return AL_TRUE;
        }
        return Fail<ALboolean>("Missing callback functions", AL_FALSE);
    });
}

// ---- Decoder registry -------------------------------------------------------------------

Decoder::Registry &Decoder::AddList(DecoderFactory func, int priority)
{
    static Registry FuncList;
    if (func) {
        assert(SearchSecond(FuncList.begin(), FuncList.end(), func) == FuncList.end());
        FuncList.insert(std::make_pair(priority, func));
    }
    return FuncList;
}

namespace {
// Tries the application decoders from `from` up to (not including) those of
// index `stopAt`; `from` is left where the walk stopped.
template <typename Source>
StreamPtr TryInstalled(const Source &source, std::map<int, UserCallbacks>::iterator &from,
                       bool negativeOnly)
{
    auto &installed = InstalledCallbacks();
    for (; from != installed.end(); ++from) {
        if (negativeOnly && from->first >= 0)
            break;
        StreamPtr stream(new customStream(source, from->second));
        if (stream->IsValid()) {
            ++from;
            return stream;
        }
    }
    return nullptr;
}

std::unique_ptr<InStream> OpenSource(const char *filename)
{
    return std::unique_ptr<InStream>(new InStream(filename));
}
std::unique_ptr<InStream> OpenSource(const MemDataInfo &memory)
{
    return std::unique_ptr<InStream>(new InStream(memory));
}

StreamPtr TryRegistered(std::unique_ptr<InStream> &input)
{
    // A snapshot: the search walks its own copy, highest priority first and,
    // among equal priorities, the latest registration first.
    std::vector<DecoderFactory> factories;
    const Decoder::Registry &registry = Decoder::GetList();
    for (auto it = registry.rbegin(); it != registry.rend(); ++it)
        factories.push_back(it->second);

    for (DecoderFactory factory : factories) {
        input->clear();
        input->seekg(0, std::ios_base::beg);
        std::unique_ptr<nuvexStream> stream = factory(input.get());
        if (stream) {
            input.release();
            return StreamPtr(stream.release());
        }
    }
    return nullptr;
}

template <typename Source>
StreamPtr get_stream_decoder(const Source &source)
{
    auto walk = InstalledCallbacks().begin();
    if (StreamPtr stream = TryInstalled(source, walk, true))
        return stream;

    std::unique_ptr<InStream> input = OpenSource(source);
    if (input->fail()) {
        SetError("Failed to open file");
        input.reset();
    } else if (StreamPtr stream = TryRegistered(input)) {
        return stream;
    } else {
        SetError("Unsupported type");
        input.reset();
    }
    return TryInstalled(source, walk, false);
}
} // namespace

StreamPtr create_stream(const char *filename) { return get_stream_decoder(filename); }

StreamPtr create_stream(const MemDataInfo &memory) { return get_stream_decoder(memory); }

StreamPtr create_stream(void *userdata, ALenum format, ALuint frequency, const UserCallbacks &cb)
{
    return StreamPtr(new customStream(userdata, format, frequency, cb));
}
