// AIFF: uncompressed big-endian integer PCM, converted to what OpenAL takes
// (host byte order, unsigned 8-bit samples); the sustain loop and the text
// chunks become the stream's loop and tags.
#include "../decoders.h"
#include "../decoderutil.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr int64_t MaxPosition = 0x7FFFFFFF;

// The sample rate is an 80-bit extended float; usual rates convert exactly.
ALuint read_be80extended(std::istream &in)
{
    unsigned char b[10];
    if (!in.read(reinterpret_cast<char *>(b), 10))
        return 0;
    uint8_t shift = uint8_t(30 - b[1]);
    uint32_t m = uint32_t(b[2]) << 24 | uint32_t(b[3]) << 16 | uint32_t(b[4]) << 8 | b[5];
    uint32_t last = 0;
    for (unsigned i = 0; i < shift; i++) {
        last = m;
        m >>= 1;
    }
    if (last & 1)
        m++;
    return m;
}

// Big-endian 16-bit samples to host order, copied from a memory image into
// a separate destination in one pass. The swap is most of the work of a
// whole-file load; written this way the compiler vectorises it.
void SwapCopy16(ALubyte *__restrict to, const ALubyte *__restrict from, size_t bytes)
{
    for (size_t i = 0; i + 2 <= bytes; i += 2) {
        uint16_t v;
        memcpy(&v, from + i, 2);
        v = uint16_t(v << 8 | v >> 8);
        memcpy(to + i, &v, 2);
    }
}

// AIFF stores signed 8-bit samples; OpenAL's 8-bit formats are unsigned.
// `to` may be `from` itself.
void SignFlipCopy8(ALubyte *to, const ALubyte *from, size_t bytes)
{
    for (size_t i = 0; i < bytes; i++)
        to[i] = ALubyte(from[i] ^ 0x80);
}
} // namespace

class aiffStream final : public nuvexStream {
public:
    explicit aiffStream(std::istream *input);

    bool IsValid() override { return dataOffset > 0 && format != 0; }
    bool GetFormat(ALenum *fmt, ALuint *freq, ALuint *align) override;
    ALuint GetData(ALubyte *data, ALuint bytes) override;
    bool Rewind() override;
    nuvexUInt64 GetLength() override;
    const ALubyte *DataInPlace(size_t *bytes) override;
    bool Seek(nuvexUInt64 to, nuvexUInt64 &at) override;
    bool SeeksDirectly() override { return true; }

    static void Init() {}
    static void Deinit() {}

private:
    void ReadComm();
    bool ReadSsnd(uint32_t length);
    // Stored samples to OpenAL's: `to` may be `from` itself.
    void Convert(ALubyte *to, const ALubyte *from, size_t bytes) const;

    ALenum format = 0;
    ALuint frequency = 0;
    ALuint blockAlign = 0;
    ALuint bytesPerSample = 0;
    ALuint channelCount = 0;
    int64_t dataOffset = 0;
    uint32_t dataSize = 0;
    uint32_t bytesLeft = 0;
};

aiffStream::aiffStream(std::istream *input) : nuvexStream(input)
{
    std::istream &in = *input;
    char header[12];
    if (!in.read(header, 12) || memcmp(header, "FORM", 4) != 0 ||
        memcmp(header + 8, "AIFF", 4) != 0)
        return;

    // The walk goes on past the sound data, to the loop and the text that
    // writers often put after it, until the input ends.
    AiffExtrasReader extras(tags);
    for (int chunks = 0; chunks < MaxAiffChunks; chunks++) {
        char tag[4];
        if (!in.read(tag, 4))
            break;
        const uint32_t length = read_be32(in);
        // Lengths of 2 GiB and more are outside the format: such a file is
        // not walked any further, so the walk never seeks backwards.
        if (length > uint32_t(MaxPosition)) {
            if (dataOffset == 0)
                format = 0;
            break;
        }
        const std::streamoff body = in.tellg();
        const bool sound = dataOffset == 0 || format == 0;
        if (memcmp(tag, "COMM", 4) == 0 && length > 17 && sound) {
            ReadComm();
        } else if (memcmp(tag, "SSND", 4) == 0 && length >= 8 && sound) {
            if (!ReadSsnd(length))
                break;
        } else {
            extras.Read(tag, in, length);
        }
        if (body > 0) {
            in.clear();
            in.seekg(body);
        }
        SkipChunkBody(in, length);
    }
    if (dataOffset <= 0 || format == 0) {
        dataOffset = 0;
        return;
    }
    loop = extras.Loop();
    // As for WAV: a truncated SSND chunk fails the skip; clear first so that
    // files and memory images both deliver what they hold.
    in.clear();
    in.seekg(dataOffset);
}

void aiffStream::ReadComm()
{
    std::istream &in = *inputStream;
    channelCount = read_be16(in);
    in.seekg(4, std::ios_base::cur);
    // Samples of 9 to 16 bits occupy two bytes (left-justified).
    ALuint bits = read_be16(in);
    bytesPerSample = (bits + 7) / 8;
    frequency = read_be80extended(in);
    blockAlign = channelCount * bytesPerSample;
    // Wider samples are left to other decoders without asking (a failed
    // question leaves its message behind on a load that then succeeds).
    format = bytesPerSample == 1 || bytesPerSample == 2
                 ? GetSampleFormat(channelCount, bytesPerSample * 8, false)
                 : 0;
}

bool aiffStream::ReadSsnd(uint32_t length)
{
    std::istream &in = *inputStream;
    uint32_t offset = read_be32(in);
    read_be32(in); // block size: unused
    length -= 8;
    // The offset says where the sound starts after these two fields.
    if (offset > length)
        offset = length;
    std::streamoff here = in.tellg();
    if (here <= 0 || here + std::streamoff(offset) > MaxPosition) {
        dataOffset = 0;
        return false;
    }
    dataOffset = here + offset;
    dataSize = bytesLeft = length - offset;
    return true;
}

bool aiffStream::GetFormat(ALenum *fmt, ALuint *freq, ALuint *align)
{
    *fmt = format;
    *freq = frequency;
    *align = blockAlign;
    return true;
}

void aiffStream::Convert(ALubyte *to, const ALubyte *from, size_t bytes) const
{
    if (bytesPerSample == 1)
        SignFlipCopy8(to, from, bytes);
    else if (bytesPerSample == 2 && LittleEndian && to == from)
        SwapBytes(to, bytes, 2);
    else if (bytesPerSample == 2 && LittleEndian)
        SwapCopy16(to, from, bytes);
    else if (to != from)
        memcpy(to, from, bytes);
}

ALuint aiffStream::GetData(ALubyte *data, ALuint bytes)
{
    // A memory image is converted straight into the destination: one pass
    // over the samples instead of a copy and a conversion in place.
    size_t taken = 0;
    if (const ALubyte *stored =
            TakeWholeBlocks(*inputStream, bytes, blockAlign, bytesLeft, &taken)) {
        Convert(data, stored, taken);
        return ALuint(taken);
    }
    ALuint got = ReadWholeBlocks(*inputStream, data, bytes, blockAlign, bytesLeft);
    Convert(data, data, got);
    return got;
}

const ALubyte *aiffStream::DataInPlace(size_t *bytes)
{
    // Only 16-bit samples on a big-endian host are stored as OpenAL takes them.
    *bytes = 0;
    if (bytesPerSample != 2 || LittleEndian)
        return nullptr;
    return TakeWholeBlocks(*inputStream, bytesLeft, blockAlign, bytesLeft, bytes);
}

bool aiffStream::Rewind()
{
    if (!SeekToData(*inputStream, dataOffset))
        return false;
    bytesLeft = dataSize;
    return true;
}

bool aiffStream::Seek(nuvexUInt64 to, nuvexUInt64 &at)
{
    const nuvexUInt64 frame = std::min<nuvexUInt64>(to, dataSize);
    if (!SeekInData(*inputStream, dataOffset, dataSize, frame * blockAlign, blockAlign, bytesLeft))
        return false;
    at = frame;
    return true;
}

nuvexUInt64 aiffStream::GetLength()
{
    if (channelCount == 0 || bytesPerSample == 0)
        return 0;
    return nuvexUInt64(dataSize) / channelCount / bytesPerSample;
}

static DecoderDecl<aiffStream, 9> aiffStream_decoder;
const void *nuvex_init_aiff() { return &aiffStream_decoder; }
