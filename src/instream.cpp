// Byte sources: memory blocks, files through the I/O callback table, and the
// exported call that replaces that table.
#include "instream.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {
// A bigger stdio buffer than the default (the file system's block, often
// 4 KiB): small reads (header fields, the 1024-byte get area, stream chunks
// of a few kilobytes) come from memory, one read(2) per 32 KiB, and fread
// hands reads of this size or more straight to read(2). It stays below
// 64 KiB: glibc's free() of a block that large consolidates the heap and
// may hand its top back to the system, and freed with the file at the end
// of every whole load it did so between loads, so that each repeated load
// faulted in its array and OpenAL's copy afresh (25 times slower).
constexpr size_t StdioBufferSize = 32 * 1024;

// The most one read asks of the built-in functions (their count is an
// ALsizei); larger requests take several.
constexpr size_t MaxDirectRead = size_t(1) << 30;

// A file with its stdio buffer: glibc takes a buffer size only together with
// the buffer (with NULL it keeps its default size).
struct StdioFile {
    FILE *file;
    char buffer[StdioBufferSize];
};

FILE *FileOf(void *handle) { return static_cast<StdioFile *>(handle)->file; }

void *open_wrap(const char *filename, ALuint mode)
{
    if (mode != 0 || !filename)
        return nullptr;
    std::unique_ptr<StdioFile> handle(new StdioFile);
    handle->file = fopen(filename, "rb");
    if (!handle->file)
        return nullptr;
    setvbuf(handle->file, handle->buffer, _IOFBF, sizeof(handle->buffer));
    return handle.release();
}

void close_wrap(void *handle)
{
    fclose(FileOf(handle));
    delete static_cast<StdioFile *>(handle);
}

ALsizei read_wrap(void *handle, ALubyte *buf, ALuint bytes)
{
    return ALsizei(fread(buf, 1, bytes, FileOf(handle)));
}

ALsizei write_wrap(void *handle, const ALubyte *buf, ALuint bytes)
{
    return ALsizei(fwrite(buf, 1, bytes, FileOf(handle)));
}

nuvexInt64 seek_wrap(void *handle, nuvexInt64 offset, ALint whence)
{
    FILE *file = FileOf(handle);
    if (fseeko(file, off_t(offset), whence) != 0)
        return -1;
    return ftello(file);
}

constexpr IOCallbacks BuiltinCallbacks = {open_wrap, close_wrap, read_wrap, write_wrap, seek_wrap};
} // namespace

IOCallbacks Funcs = BuiltinCallbacks;

extern "C" {
NUVEX_API int UsingSTDIO = 1;
}

// ---- Memory ---------------------------------------------------------------

MemStreamBuf::int_type MemStreamBuf::underflow()
{
    if (gptr() == egptr()) {
        // Hand out the whole rest of the block at once: no call per chunk.
        char *base = reinterpret_cast<char *>(const_cast<ALubyte *>(memInfo.data));
        setg(base, base + memInfo.pos, base + memInfo.length);
        memInfo.pos = memInfo.length;
    }
    if (gptr() < egptr())
        return traits_type::to_int_type(*gptr());
    return traits_type::eof();
}

const ALubyte *MemStreamBuf::Rest(size_t *bytes) const
{
    // Underflow hands out the whole rest at once: the unread part of the get
    // area ends where the block ends.
    size_t at = size_t(memInfo.pos) - size_t(egptr() - gptr());
    *bytes = memInfo.length - at;
    return memInfo.data + at;
}

void MemStreamBuf::Consume(size_t bytes)
{
    size_t rest = 0;
    const ALubyte *at = Rest(&rest);
    seekpos(pos_type(off_type(at - memInfo.data) + off_type(std::min(bytes, rest))),
            std::ios_base::in);
}

MemStreamBuf::pos_type MemStreamBuf::seekoff(off_type offset, std::ios_base::seekdir dir,
                                             std::ios_base::openmode mode)
{
    if (mode & std::ios_base::out)
        return pos_type(off_type(-1));
    int64_t target;
    if (dir == std::ios_base::beg)
        target = offset;
    else if (dir == std::ios_base::cur)
        target = int64_t(memInfo.pos) - int64_t(egptr() - gptr()) + offset;
    else if (dir == std::ios_base::end)
        target = int64_t(memInfo.length) + offset;
    else
        return pos_type(off_type(-1));
    return seekpos(pos_type(off_type(target)), mode);
}

MemStreamBuf::pos_type MemStreamBuf::seekpos(pos_type position, std::ios_base::openmode mode)
{
    if (mode & std::ios_base::out)
        return pos_type(off_type(-1));
    off_type target = off_type(position);
    if (target < 0 || target > off_type(memInfo.length))
        return pos_type(off_type(-1));
    memInfo.pos = ALuint(target);
    setg(nullptr, nullptr, nullptr);
    return position;
}

// ---- Files ------------------------------------------------------------------

FileStreamBuf::FileStreamBuf(const char *filename, int mode)
    : handle(nullptr), io(Funcs),
      anySizeReads(io.open == BuiltinCallbacks.open && io.close == BuiltinCallbacks.close &&
                   io.read == BuiltinCallbacks.read && io.seek == BuiltinCallbacks.seek)
{
    handle = io.open(filename, ALuint(mode));
}

FileStreamBuf::~FileStreamBuf()
{
    if (handle)
        io.close(handle);
}

FileStreamBuf::int_type FileStreamBuf::underflow()
{
    if (handle && gptr() == egptr()) {
        ALsizei got = io.read(handle, buffer, sizeof(buffer));
        if (got >= 0) {
            // A callback that claims more than it was asked for is clamped.
            size_t n = std::min<size_t>(size_t(got), sizeof(buffer));
            char *base = reinterpret_cast<char *>(buffer);
            setg(base, base, base + n);
        }
    }
    if (gptr() < egptr())
        return traits_type::to_int_type(*gptr());
    return traits_type::eof();
}

std::streamsize FileStreamBuf::xsgetn(char *dest, std::streamsize count)
{
    // Big reads go straight into the caller's memory instead of through the
    // get area: with the built-in functions all of it in one call, with an
    // application's callbacks in whole 1024-byte calls, the same sequence of
    // calls they would see through the get area.
    std::streamsize done = 0;
    while (done < count) {
        std::streamsize buffered = egptr() - gptr();
        if (buffered > 0) {
            std::streamsize n = std::min(buffered, count - done);
            std::memcpy(dest + done, gptr(), size_t(n));
            setg(eback(), gptr() + n, egptr());
            done += n;
        } else if (handle && count - done >= std::streamsize(sizeof(buffer))) {
            std::streamsize want = std::streamsize(sizeof(buffer));
            if (anySizeReads)
                want = std::min<std::streamsize>(count - done, std::streamsize(MaxDirectRead));
            ALsizei got = io.read(handle, reinterpret_cast<ALubyte *>(dest + done), ALuint(want));
            setg(nullptr, nullptr, nullptr); // nothing stale to put back into
            if (got <= 0)
                break;
            done += std::min<std::streamsize>(got, want);
        } else if (traits_type::eq_int_type(underflow(), traits_type::eof())) {
            break;
        }
    }
    return done;
}

FileStreamBuf::pos_type FileStreamBuf::seekoff(off_type offset, std::ios_base::seekdir dir,
                                               std::ios_base::openmode mode)
{
    if (!handle || (mode & std::ios_base::out))
        return pos_type(off_type(-1));
    nuvexInt64 result;
    if (dir == std::ios_base::beg)
        result = io.seek(handle, offset, SEEK_SET);
    else if (dir == std::ios_base::cur)
        result = io.seek(handle, offset - off_type(egptr() - gptr()), SEEK_CUR);
    else if (dir == std::ios_base::end)
        result = io.seek(handle, offset, SEEK_END);
    else
        result = -1;
    if (result >= 0)
        setg(nullptr, nullptr, nullptr);
    else
        result = -1;
    return pos_type(off_type(result));
}

FileStreamBuf::pos_type FileStreamBuf::seekpos(pos_type position, std::ios_base::openmode mode)
{
    return seekoff(off_type(position), std::ios_base::beg, mode);
}

// ---- Input streams -------------------------------------------------------------

InStream::InStream(const char *filename) : std::istream(nullptr)
{
    auto *file = new FileStreamBuf(filename, 0);
    buf.reset(file);
    rdbuf(file);
    if (!file->IsOpen())
        clear(failbit);
}

InStream::InStream(const MemDataInfo &info) : std::istream(nullptr)
{
    buf.reset(new MemStreamBuf(info));
    rdbuf(buf.get());
}

nuvexUInt64 InStream::SizeHint()
{
    // A decoder may have read its input to the end (modules read it whole,
    // libvorbisfile looks at the last page): the size is measured anyway,
    // and the stream is left in the state and at the place it was.
    const iostate state = rdstate();
    clear();
    pos_type here = tellg();
    nuvexUInt64 size = 0;
    if (here != pos_type(off_type(-1))) {
        seekg(0, end);
        pos_type last = tellg();
        clear();
        seekg(here);
        if (!fail() && last != pos_type(off_type(-1)))
            size = nuvexUInt64(off_type(last));
    }
    clear(state);
    return size;
}

const ALubyte *MemoryInputRest(std::istream &in, size_t *bytes)
{
    auto *memory = dynamic_cast<MemStreamBuf *>(in.rdbuf());
    *bytes = 0;
    if (!memory)
        return nullptr;
    const ALubyte *rest = memory->Rest(bytes);
    // A read on a stream that has failed or met its end gets nothing.
    if (!in.good())
        *bytes = 0;
    return rest;
}

void SkipMemoryInput(std::istream &in, size_t bytes)
{
    if (auto *memory = dynamic_cast<MemStreamBuf *>(in.rdbuf()))
        memory->Consume(bytes);
}

// ---- The exported table switch ----------------------------------------------------

extern "C" NUVEX_API ALboolean NUVEX_APIENTRY nuvexSetIOCallbacks(
    void *(*open)(const char *filename, ALuint mode), void (*close)(void *handle),
    ALsizei (*read)(void *handle, ALubyte *buf, ALuint bytes),
    ALsizei (*write)(void *handle, const ALubyte *buf, ALuint bytes),
    nuvexInt64 (*seek)(void *handle, nuvexInt64 offset, ALint whence))
{
    if (open && close && read && write && seek) {
        Funcs = {open, close, read, write, seek};
        UsingSTDIO = 0;
        return AL_TRUE;
    }
    if (!open && !close && !read && !write && !seek) {
        Funcs = BuiltinCallbacks;
        UsingSTDIO = 1;
        return AL_TRUE;
    }
    return Fail<ALboolean>("Missing callback functions", AL_FALSE);
}
