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

std::string ReadText(std::istream &in, uint32_t length)
{
    std::string text;
    char piece[4096];
    while (text.size() < length) {
        const size_t got = ReadBytes(in, reinterpret_cast<ALubyte *>(piece),
                                     std::min<size_t>(sizeof(piece), length - text.size()));
        if (got == 0)
            break;
        text.append(piece, got);
    }
    return text;
}

namespace {
const char *AiffTextName(const char tag[4])
{
    static const struct {
        const char *id;
        const char *name;
    } names[] = {{"NAME", tagname::Title},
                 {"AUTH", tagname::Artist},
                 {"(c) ", tagname::Copyright},
                 {"ANNO", tagname::Comment}};
    for (const auto &entry : names)
        if (memcmp(tag, entry.id, 4) == 0)
            return entry.name;
    return nullptr;
}
} // namespace

void AiffExtrasReader::Read(const char tag[4], std::istream &in, uint32_t length)
{
    if (memcmp(tag, "MARK", 4) == 0) {
        ReadMarkers(in, length);
    } else if (memcmp(tag, "INST", 4) == 0) {
        ReadInstrument(in, length);
    } else if (const char *name = AiffTextName(tag)) {
        const std::string text = ReadText(in, length);
        tags.Add(name, LegacyTextToUtf8(text.data(), text.size()));
    }
}

void AiffExtrasReader::ReadMarkers(std::istream &in, uint32_t length)
{
    // A count, then per marker an id, a position and a name (a length byte
    // and text, padded to even). A body cut short keeps the markers whose
    // name fits; a missing pad after the last one is forgiven.
    if (markersRead || length < 2)
        return;
    markersRead = true;
    for (uint32_t count = read_be16(in), left = length - 2; count > 0 && left >= 7; count--) {
        Marker marker;
        marker.id = read_be16(in);
        marker.position = read_be32(in);
        const uint32_t nameLength = uint32_t(in.get() & 0xFF);
        if (!in || 7 + nameLength > left)
            break;
        markers.push_back(marker);
        const uint32_t size = std::min(left, 6 + ((nameLength + 2) & ~1u));
        in.seekg(std::streamoff(size - 7), std::ios_base::cur);
        left -= size;
    }
}

void AiffExtrasReader::ReadInstrument(std::istream &in, uint32_t length)
{
    // After the notes, velocities and gain (8 bytes): the sustain loop's
    // play mode (1: forward) and the ids of its two markers.
    if (instrumentRead || length < 14)
        return;
    in.seekg(8, std::ios_base::cur);
    forward = read_be16(in) == 1;
    begin = read_be16(in);
    end = read_be16(in);
    instrumentRead = bool(in);
}

const uint32_t *AiffExtrasReader::PositionOf(uint16_t id) const
{
    const auto found = std::find_if(markers.begin(), markers.end(),
                                    [id](const Marker &m) { return m.id == id; });
    return found == markers.end() ? nullptr : &found->position;
}

LoopPoints AiffExtrasReader::Loop() const
{
    const uint32_t *from = PositionOf(begin), *to = PositionOf(end);
    if (!instrumentRead || !forward || !from || !to || *from >= *to)
        return {};
    return {*from, *to};
}

LoopPoints ReadAiffExtras(std::istream &in, SoundTags &tags)
{
    AiffExtrasReader reader(tags);
    in.clear();
    in.seekg(12);
    for (int chunks = 0; chunks < MaxAiffChunks; chunks++) {
        char tag[4];
        if (!in.read(tag, 4))
            break;
        const uint32_t length = read_be32(in);
        const std::streamoff body = in.tellg();
        if (!in || body <= 0)
            break;
        reader.Read(tag, in, length);
        in.clear();
        in.seekg(body);
        SkipChunkBody(in, length);
    }
    in.clear();
    return reader.Loop();
}
