// Helpers for the decoders' parsing and reading.
#include "decoderutil.h"

#include "instream.h"

#include <algorithm>
#include <cstdio>

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

