// RIFF/WAVE: integer PCM, IEEE float, mu-law and IMA ADPCM, handed to OpenAL
// as stored (only the byte order changes).
#include "../decoders.h"
#include "../decoderutil.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr uint32_t MaxPosition = 0x7FFFFFFF;
// Chunks read from one file at most: the walk reaches past the sample data
// for the loop and the tags, and must stay quick on hostile files.
constexpr int MaxChunks = 1024;

// The first forward loop of a "smpl" chunk body; its end is inclusive
// there. A body cut short keeps the loops read before the cut.
LoopPoints ReadSamplerLoop(std::istream &in, uint32_t length)
{
    constexpr uint32_t HeaderBytes = 36, LoopBytes = 24;
    if (length < HeaderBytes)
        return {};
    in.seekg(28, std::ios_base::cur);
    uint32_t loops = read_le32(in);
    in.seekg(4, std::ios_base::cur);
    for (uint32_t left = length - HeaderBytes; loops > 0 && left >= LoopBytes && in;
         loops--, left -= LoopBytes) {
        read_le32(in); // identifier
        const uint32_t type = read_le32(in);
        const uint32_t start = read_le32(in);
        const uint32_t end = read_le32(in);
        in.seekg(8, std::ios_base::cur);
        if (in && type == 0)
            return {start, nuvexUInt64(end) + 1};
    }
    return {};
}

// A "LIST" chunk of type "INFO": its entries, each a four-character id,
// a length and (padded to even) text.
void ReadInfoList(std::istream &in, uint32_t length, SoundTags &tags)
{
    char type[4];
    if (length < 4 || !in.read(type, 4) || memcmp(type, "INFO", 4) != 0)
        return;
    for (uint32_t left = length - 4; left >= 8;) {
        char id[4];
        if (!in.read(id, 4))
            return;
        const uint32_t size = read_le32(in);
        left -= 8;
        if (size > left)
            return;
        const std::string text = ReadText(in, size);
        if (text.size() < size)
            return;
        AddRiffInfo(tags, id, text.data(), size);
        const uint32_t padded = std::min(left, size + (size & 1));
        in.seekg(padded - size, std::ios_base::cur);
        left -= padded;
    }
}
} // namespace

class wavStream final : public nuvexStream {
public:
    explicit wavStream(std::istream *input);

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
    // Returns false when the chunk walk must end at once.
    bool ReadFmt(uint32_t &length);
    // Whether the samples reach OpenAL byte-swapped (big-endian hosts).
    bool NeedsSwap() const
    {
        return BigEndian && (bitsPerSample == 16 || bitsPerSample == 32 || bitsPerSample == 64);
    }

    ALenum format = 0;
    ALuint frequency = 0;
    ALuint blockAlign = 0;
    ALuint bitsPerSample = 0;
    ALuint channelCount = 0;
    ALuint formatTag = 0;
    int64_t dataOffset = 0;
    uint32_t dataSize = 0;
    uint32_t bytesLeft = 0;
};

wavStream::wavStream(std::istream *input) : nuvexStream(input)
{
    std::istream &in = *input;
    char header[12];
    if (!in.read(header, 12) || memcmp(header, "RIFF", 4) != 0 ||
        memcmp(header + 8, "WAVE", 4) != 0)
        return;

    // The walk goes on past the sample data, to the loop and tags that
    // writers often put after it, until the input ends.
    for (int chunks = 0; chunks < MaxChunks; chunks++) {
        char tag[4];
        if (!in.read(tag, 4))
            break;
        uint32_t length = read_le32(in);
        const std::streamoff body = in.tellg();
        if (memcmp(tag, "smpl", 4) == 0) {
            loop = ReadSamplerLoop(in, length);
        } else if (memcmp(tag, "LIST", 4) == 0) {
            ReadInfoList(in, length, tags);
        }
        if (body > 0 && (memcmp(tag, "smpl", 4) == 0 || memcmp(tag, "LIST", 4) == 0)) {
            in.clear();
            in.seekg(body);
        } else if (memcmp(tag, "fmt ", 4) == 0 && length >= 16 && (format == 0 || dataOffset == 0)) {
            if (!ReadFmt(length))
                break;
        } else if (memcmp(tag, "data", 4) == 0 && dataOffset == 0) {
            std::streamoff here = in.tellg();
            if (here <= 0 || here > std::streamoff(MaxPosition)) {
                // Positions past 32 bits are outside what this decoder models.
                dataOffset = 0;
                break;
            }
            dataOffset = here;
            dataSize = bytesLeft = length;
        }
        SkipChunkBody(in, length);
    }
    if (dataOffset <= 0 || format == 0) {
        dataOffset = 0;
        return;
    }
    // A data chunk that claims more than the input holds fails the skip
    // above; clearing first lets file and memory inputs both deliver what
    // they do hold.
    in.clear();
    in.seekg(dataOffset);
}

bool wavStream::ReadFmt(uint32_t &length)
{
    std::istream &in = *inputStream;
    formatTag = read_le16(in);
    if (formatTag != 1 && formatTag != 3 && formatTag != 7 && formatTag != 0x11)
        return false;
    channelCount = read_le16(in);
    frequency = read_le32(in);
    in.seekg(4, std::ios_base::cur);
    blockAlign = read_le16(in);
    if (blockAlign == 0)
        return false;
    bitsPerSample = read_le16(in);
    length -= 16;

    uint32_t extra = 0;
    if (length > 1) {
        extra = read_le16(in);
        length -= 2;
    }
    if (extra > length)
        extra = length;

    if (formatTag == 1 || formatTag == 3) {
        // Depths OpenAL has no format for are left to other decoders without
        // asking: the failed question would leave its message behind on a
        // load that then succeeds.
        const bool depthKnown = formatTag == 1 ? bitsPerSample == 8 || bitsPerSample == 16
                                               : bitsPerSample == 32 || bitsPerSample == 64;
        ALenum chosen = depthKnown ? GetSampleFormat(channelCount, bitsPerSample, formatTag == 3) : 0;
        if (chosen)
            format = chosen;
    } else if (formatTag == 7) {
        static const struct {
            ALuint channels;
            ALenum format;
        } mulaw[] = {{1, 0x10014}, {2, 0x10015}, {4, 0x10021},
                     {6, 0x10023}, {7, 0x10024}, {8, 0x10025}};
        if (bitsPerSample == 8)
            for (const auto &row : mulaw)
                if (row.channels == channelCount)
                    format = row.format;
    } else if (extra > 1) {
        ALuint samplesPerBlock = read_le16(in);
        length -= 2;
        // The samples-per-block field counts frames: real stereo files say
        // 65, not 130. Both spellings are accepted.
        bool framesOk = samplesPerBlock == 65 || samplesPerBlock == channelCount * 65;
        if (blockAlign == channelCount * 36 && framesOk && alIsExtensionPresent("AL_EXT_IMA4")) {
            if (channelCount == 1)
                format = AL_FORMAT_MONO_IMA4;
            else if (channelCount == 2)
                format = AL_FORMAT_STEREO_IMA4;
        }
    }
    return true;
}

bool wavStream::GetFormat(ALenum *fmt, ALuint *freq, ALuint *align)
{
    *fmt = format;
    *freq = frequency;
    *align = blockAlign;
    return true;
}

ALuint wavStream::GetData(ALubyte *data, ALuint bytes)
{
    ALuint got = ReadWholeBlocks(*inputStream, data, bytes, blockAlign, bytesLeft);
    if (NeedsSwap())
        SwapBytes(data, got, bitsPerSample / 8);
    return got;
}

const ALubyte *wavStream::DataInPlace(size_t *bytes)
{
    *bytes = 0;
    if (NeedsSwap())
        return nullptr;
    return TakeWholeBlocks(*inputStream, bytesLeft, blockAlign, bytesLeft, bytes);
}

bool wavStream::Rewind()
{
    if (!SeekToData(*inputStream, dataOffset))
        return false;
    bytesLeft = dataSize;
    return true;
}

bool wavStream::Seek(nuvexUInt64 to, nuvexUInt64 &at)
{
    // A block is a frame, or 65 frames of IMA ADPCM: those seek to the
    // start of the block holding the frame.
    const nuvexUInt64 framesPerBlock =
        format == AL_FORMAT_MONO_IMA4 || format == AL_FORMAT_STEREO_IMA4 ? 65 : 1;
    const nuvexUInt64 block = std::min<nuvexUInt64>(to / framesPerBlock, dataSize);
    if (!SeekInData(*inputStream, dataOffset, dataSize, block * blockAlign, blockAlign, bytesLeft))
        return false;
    at = block * framesPerBlock;
    return true;
}

nuvexUInt64 wavStream::GetLength()
{
    // 2 GiB or more is the "unknown length" of streaming writers.
    if (dataSize > MaxPosition || channelCount == 0)
        return 0;
    if (format == AL_FORMAT_MONO_IMA4 || format == AL_FORMAT_STEREO_IMA4)
        return nuvexUInt64(dataSize / blockAlign) * 65;
    if (bitsPerSample == 0)
        return 0;
    return nuvexUInt64(dataSize) / channelCount * 8 / bitsPerSample;
}

static DecoderDecl<wavStream, 10> wavStream_decoder;
const void *nuvex_init_wav() { return &wavStream_decoder; }
