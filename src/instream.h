// Byte sources that decoders read through std::istream: memory blocks read in
// place, and files reached through the replaceable I/O callback table.
#pragma once

#include "core.h"

#include <istream>
#include <memory>
#include <streambuf>

// A memory block; never owns what it points at.
struct MemDataInfo {
    const ALubyte *data = nullptr;
    ALuint length = 0;
    ALuint pos = 0;
};

struct IOCallbacks {
    void *(*open)(const char *filename, ALuint mode);
    void (*close)(void *handle);
    ALsizei (*read)(void *handle, ALubyte *buf, ALuint bytes);
    ALsizei (*write)(void *handle, const ALubyte *buf, ALuint bytes);
    nuvexInt64 (*seek)(void *handle, nuvexInt64 offset, ALint whence);
};

// The process-wide table; files copy it when they are opened.
extern IOCallbacks Funcs;

class MemStreamBuf : public std::streambuf {
public:
    explicit MemStreamBuf(const MemDataInfo &info) : memInfo(info) {}
    // The unread rest of the block, where it lies, and its length.
    const ALubyte *Rest(size_t *bytes) const;
    // Moves `bytes` forward, as reading them would (at most to the end).
    void Consume(size_t bytes);

protected:
    int_type underflow() override;
    pos_type seekoff(off_type offset, std::ios_base::seekdir dir,
                     std::ios_base::openmode mode) override;
    pos_type seekpos(pos_type position, std::ios_base::openmode mode) override;

private:
    MemDataInfo memInfo;
};

class FileStreamBuf : public std::streambuf {
public:
    FileStreamBuf(const char *filename, int mode);
    ~FileStreamBuf() override;
    bool IsOpen() const { return handle != nullptr; }

protected:
    int_type underflow() override;
    std::streamsize xsgetn(char *dest, std::streamsize count) override;
    pos_type seekoff(off_type offset, std::ios_base::seekdir dir,
                     std::ios_base::openmode mode) override;
    pos_type seekpos(pos_type position, std::ios_base::openmode mode) override;

private:
    void *handle;
    IOCallbacks io;
    // The built-in stdio functions are in force for this file: they take a
    // read of any size, so a large read goes straight into its destination
    // in one call. Application callbacks are asked for at most 1024 bytes at
    // a time, as nuvexSetIOCallbacks documents.
    bool anySizeReads;
    ALubyte buffer[1024];
};

// The input stream handed to decoders; owns its stream buffer.
class InStream : public std::istream {
public:
    explicit InStream(const char *filename);
    explicit InStream(const MemDataInfo &info);

    // The size of the whole input when it is cheap to know (memory, or a
    // file whose seek callback can tell its end); 0 when unknown. Whatever
    // the stream's state, which it leaves as it was.
    nuvexUInt64 SizeHint();

private:
    std::unique_ptr<std::streambuf> buf;
};

// For inputs that are memory blocks: the unread rest of the block where it
// lies (its length in *bytes; 0 once the stream has failed or reached its
// end, as a read would find it). Null for every other input.
const ALubyte *MemoryInputRest(std::istream &in, size_t *bytes);
// Moves a memory input `bytes` forward, as reading them would.
void SkipMemoryInput(std::istream &in, size_t bytes);
