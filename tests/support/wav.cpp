#include "wav.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace nvt {
namespace wav {

Chunk MakeChunk(const std::string &tag, std::vector<uint8_t> body, bool pad, int64_t declared)
{
    return {tag, std::move(body), pad, declared};
}

std::vector<uint8_t> Riff(const std::vector<Chunk> &chunks)
{
    std::vector<uint8_t> out;
    PutTag(out, "RIFF");
    PutLE32(out, 0); // patched below
    PutTag(out, "WAVE");
    for (const Chunk &c : chunks) {
        if (c.tag.size() != 4)
            throw std::invalid_argument("chunk tags have four characters");
        PutTag(out, c.tag.c_str());
        PutLE32(out, c.declared >= 0 ? uint32_t(c.declared) : uint32_t(c.body.size()));
        out.insert(out.end(), c.body.begin(), c.body.end());
        if (c.pad && (c.body.size() & 1))
            out.push_back(0);
    }
    uint32_t riffSize = uint32_t(out.size() - 8);
    for (int i = 0; i < 4; i++)
        out[4 + size_t(i)] = uint8_t(riffSize >> (8 * i));
    return out;
}

std::vector<uint8_t> FmtBody(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t blockAlign,
                             uint16_t bits, int cbSize, const std::vector<uint8_t> &extra)
{
    std::vector<uint8_t> out;
    PutLE16(out, tag);
    PutLE16(out, channels);
    PutLE32(out, rate);
    PutLE32(out, rate * blockAlign);
    PutLE16(out, blockAlign);
    PutLE16(out, bits);
    if (cbSize >= 0) {
        PutLE16(out, uint32_t(cbSize));
        out.insert(out.end(), extra.begin(), extra.end());
    }
    return out;
}

std::vector<uint8_t> ImaFmtBody(uint16_t channels, uint32_t rate, uint16_t samplesPerBlock,
                                uint16_t bits, uint16_t blockAlign)
{
    std::vector<uint8_t> extra;
    PutLE16(extra, samplesPerBlock);
    return FmtBody(0x11, channels, rate, blockAlign ? blockAlign : uint16_t(36 * channels), bits, 2,
                   extra);
}

std::vector<int16_t> Sine16(size_t frames, int channels)
{
    std::vector<int16_t> out(frames * size_t(channels));
    for (size_t i = 0; i < frames; i++)
        for (int c = 0; c < channels; c++)
            out[i * size_t(channels) + size_t(c)] =
                int16_t(std::lround(12000.0 * std::sin(double(i) * 0.05 * (c + 1) + c)));
    return out;
}

uint8_t MulawEncode(int16_t sample)
{
    const int bias = 0x84, clip = 32635;
    int sign = sample < 0 ? 0x80 : 0;
    int v = sample < 0 ? -int(sample) : int(sample);
    if (v > clip)
        v = clip;
    v += bias;
    int exponent = 7;
    for (int mask = 0x4000; !(v & mask) && exponent > 0; exponent--, mask >>= 1) {
    }
    int mantissa = (v >> (exponent + 3)) & 0x0F;
    return uint8_t(~(sign | (exponent << 4) | mantissa));
}

int16_t MulawDecode(uint8_t code)
{
    int u = uint8_t(~code);
    int exponent = (u >> 4) & 7;
    int magnitude = ((((u & 0x0F) << 3) + 0x84) << exponent) - 0x84;
    return int16_t((u & 0x80) ? -magnitude : magnitude);
}

namespace {
const int ImaStep[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
const int ImaIndexAdjust[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

struct ImaState {
    int sample = 0;
    int index = 0;
    // One nibble of decoding: the difference is (2 * magnitude + 1) steps / 8.
    void Apply(int nibble)
    {
        int magnitude = nibble & 7;
        int diff = (2 * magnitude + 1) * ImaStep[index] / 8;
        sample += (nibble & 8) ? -diff : diff;
        sample = sample < -32768 ? -32768 : sample > 32767 ? 32767 : sample;
        index += ImaIndexAdjust[nibble];
        index = index < 0 ? 0 : index > 88 ? 88 : index;
    }
};

constexpr size_t FramesPerBlock = 65;
} // namespace

std::vector<uint8_t> ImaEncode(const std::vector<int16_t> &interleaved, int channels)
{
    size_t ch = size_t(channels);
    size_t frames = interleaved.size() / ch;
    if (frames % FramesPerBlock)
        throw std::invalid_argument("IMA input must be whole blocks of 65 frames");
    std::vector<uint8_t> out;
    std::vector<ImaState> state(ch);
    for (size_t block = 0; block < frames / FramesPerBlock; block++) {
        const int16_t *in = &interleaved[block * FramesPerBlock * ch];
        for (size_t c = 0; c < ch; c++) {
            state[c].sample = in[c];
            PutLE16(out, uint16_t(in[c]));
            out.push_back(uint8_t(state[c].index));
            out.push_back(0);
        }
        // Eight groups of eight frames; each channel writes four bytes per group.
        for (size_t group = 0; group < 8; group++) {
            for (size_t c = 0; c < ch; c++) {
                uint8_t bytes[4] = {0, 0, 0, 0};
                for (size_t k = 0; k < 8; k++) {
                    int target = in[(1 + group * 8 + k) * ch + c];
                    int best = 0;
                    long bestErr = std::numeric_limits<long>::max();
                    for (int nibble = 0; nibble < 16; nibble++) {
                        ImaState trial = state[c];
                        trial.Apply(nibble);
                        long err = std::labs(long(trial.sample) - target);
                        if (err < bestErr) {
                            bestErr = err;
                            best = nibble;
                        }
                    }
                    state[c].Apply(best);
                    bytes[k / 2] |= uint8_t(best << (4 * (k & 1)));
                }
                out.insert(out.end(), bytes, bytes + 4);
            }
        }
    }
    return out;
}

std::vector<float> U8ToFloat(const std::vector<uint8_t> &bytes)
{
    std::vector<float> out(bytes.size());
    for (size_t i = 0; i < bytes.size(); i++)
        out[i] = float(int(bytes[i]) - 128) / 128.0f;
    return out;
}

std::vector<uint8_t> FloatBytes(const std::vector<float> &samples)
{
    std::vector<uint8_t> out;
    for (float f : samples) {
        uint32_t bits;
        memcpy(&bits, &f, 4);
        PutLE32(out, bits);
    }
    return out;
}

std::vector<uint8_t> DoubleBytes(const std::vector<double> &samples)
{
    std::vector<uint8_t> out;
    for (double d : samples) {
        uint64_t bits;
        memcpy(&bits, &d, 8);
        PutLE32(out, uint32_t(bits));
        PutLE32(out, uint32_t(bits >> 32));
    }
    return out;
}

ALuint LoadImage(const std::vector<uint8_t> &image, bool fromFile, const std::string &name)
{
    if (!fromFile)
        return nuvexCreateBufferFromMemory(image.data(), ALsizei(image.size()));
    std::string path = TempPath(name + ".wav");
    WriteFile(path, image);
    return nuvexCreateBufferFromFile(path.c_str());
}

double MaxDiff(const std::vector<float> &a, const std::vector<float> &b)
{
    if (a.size() != b.size())
        return std::numeric_limits<double>::infinity();
    double worst = 0;
    for (size_t i = 0; i < a.size(); i++)
        worst = std::max(worst, double(std::fabs(a[i] - b[i])));
    return worst;
}

} // namespace wav
} // namespace nvt
