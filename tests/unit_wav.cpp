// The WAV decoder on its own, taken from the decoder registry, so that what
// it declines is not hidden by the decoders searched after it.
#include "streamdec.h"
#include "support.h"
#include "wav.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace nvt;
using namespace nvt::wav;

namespace {
std::unique_ptr<nuvexStream> OpenWav(std::istream &input)
{
    const auto &registry = Decoder::GetList();
    auto it = registry.find(10);
    if (it == registry.end() || registry.count(10) != 1)
        throw std::logic_error("the WAV decoder is not registered at priority 10");
    return it->second(&input);
}

std::unique_ptr<InStream> MemInput(const std::vector<uint8_t> &image)
{
    MemDataInfo info;
    info.data = image.data();
    info.length = ALuint(image.size());
    return std::make_unique<InStream>(info);
}

const std::vector<uint8_t> Fmt16Stereo = FmtBody(1, 2, 44100, 4, 16);
} // namespace

TEST(WavDecoder, DeclinesWhatItCannotHandOverWithTheMessageOfTheFormatPicker)
{
    NullDevice dev;
    ASSERT_TRUE(dev.ok());
    auto data = Bytes16(Ramp16(130, 2));
    auto withData = [&](const std::vector<uint8_t> &fmt) {
        return Riff({MakeChunk("fmt ", fmt), MakeChunk("data", data)});
    };
    std::vector<uint8_t> notWave = withData(Fmt16Stereo);
    memcpy(&notWave[8], "AVI ", 4);
    std::vector<uint8_t> rifx = withData(Fmt16Stereo);
    memcpy(&rifx[0], "RIFX", 4);
    const struct {
        const char *name;
        std::vector<uint8_t> image;
        const char *message;
    } cases[] = {
        {"24-bit pcm", withData(FmtBody(1, 2, 44100, 6, 24)), "Unsupported PCM bit depth\n"},
        {"pcm16 3 channels", withData(FmtBody(1, 3, 44100, 6, 16)),
         "Unsupported 16-bit channel count\n"},
        {"float 16-bit", withData(FmtBody(3, 2, 44100, 4, 16)), "Unsupported float bit depth\n"},
        {"extensible", withData(FmtBody(0xFFFE, 2, 44100, 4, 16, 22, std::vector<uint8_t>(22, 1))),
         "No error"},
        {"ms-adpcm", withData(FmtBody(2, 2, 44100, 4, 16)), "No error"},
        {"mulaw 5 channels", withData(FmtBody(7, 5, 8000, 5, 8)), "No error"},
        {"mulaw 3 channels", withData(FmtBody(7, 3, 8000, 3, 8)), "No error"},
        {"mulaw 16-bit", withData(FmtBody(7, 1, 8000, 2, 16)), "No error"},
        {"ima 512/1017", withData(ImaFmtBody(1, 8000, 1017, 4, 512)), "No error"},
        {"ima 64 per block", withData(ImaFmtBody(1, 8000, 64)), "No error"},
        {"ima 3 channels", withData(ImaFmtBody(3, 8000, 195)), "No error"},
        {"ima without extension", withData(FmtBody(0x11, 1, 8000, 36, 4)), "No error"},
        {"ima extension cut off", withData(FmtBody(0x11, 1, 8000, 36, 4, 2)), "No error"},
        {"block align 0", withData(FmtBody(1, 2, 44100, 0, 16)), "No error"},
        {"no data chunk", Riff({MakeChunk("fmt ", Fmt16Stereo)}), "No error"},
        {"no fmt chunk", Riff({MakeChunk("data", data)}), "No error"},
        {"fmt after a truncated data chunk",
         Riff({MakeChunk("data", data, true, 100000), MakeChunk("fmt ", Fmt16Stereo)}), "No error"},
        {"not WAVE", notWave, "No error"},
        {"not RIFF", rifx, "No error"},
        {"empty", {}, "No error"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        LastError();
        EXPECT_EQ(OpenWav(*MemInput(c.image)), nullptr);
        EXPECT_EQ(LastError(), c.message);
    }
}

TEST(WavDecoder, DeliversWholeBlocksOnly)
{
    NullDevice dev;
    ASSERT_TRUE(dev.ok());
    // The data chunk claims 4000 bytes and the input ends after 3001: the
    // last, partial block is never delivered.
    std::vector<uint8_t> data(3001);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = uint8_t(i * 13 + 5);
    // Block alignment 4 as usual, and 6 as stored by an odd writer.
    for (uint16_t align : {4, 6}) {
        SCOPED_TRACE(align);
        auto image = Riff({MakeChunk("fmt ", FmtBody(1, 2, 44100, align, 16)),
                           MakeChunk("data", data, false, 4000)});
        auto input = MemInput(image);
        auto stream = OpenWav(*input);
        ASSERT_NE(stream, nullptr);
        ALenum format;
        ALuint freq, blockAlign;
        ASSERT_TRUE(stream->GetFormat(&format, &freq, &blockAlign));
        EXPECT_EQ(blockAlign, align);

        std::vector<uint8_t> out(1000);
        EXPECT_EQ(stream->GetData(out.data(), align - 1u), 0u);
        ALuint first = stream->GetData(out.data(), 1000);
        EXPECT_EQ(first, 1000u - 1000u % align);
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + first, data.begin()));
        std::vector<uint8_t> rest;
        while (ALuint got = stream->GetData(out.data(), 1000)) {
            EXPECT_EQ(got % align, 0u);
            rest.insert(rest.end(), out.begin(), out.begin() + got);
        }
        EXPECT_EQ(first + rest.size(), 3000u);
        EXPECT_TRUE(std::equal(rest.begin(), rest.end(), data.begin() + first));

        ASSERT_TRUE(stream->Rewind());
        EXPECT_EQ(stream->GetData(out.data(), 1000), first);
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + first, data.begin()));
    }
}

namespace {
// A read-only input of `size` bytes that holds `head` at its start, `tail`
// at `tailAt` and zeros elsewhere, so that positions past 2 GiB can be
// reached without 2 GiB of memory.
class SparseBuf : public std::streambuf {
public:
    SparseBuf(std::vector<uint8_t> head, uint64_t tailAt, std::vector<uint8_t> tail, uint64_t size)
        : head_(std::move(head)), tail_(std::move(tail)), tailAt_(tailAt), size_(size)
    {
    }

protected:
    int_type underflow() override
    {
        if (gptr() < egptr())
            return traits_type::to_int_type(*gptr());
        pos_ += uint64_t(egptr() - eback());
        if (pos_ >= size_)
            return traits_type::eof();
        size_t n = size_t(std::min<uint64_t>(sizeof(window_), size_ - pos_));
        for (size_t i = 0; i < n; i++)
            window_[i] = char(At(pos_ + i));
        setg(window_, window_, window_ + n);
        return traits_type::to_int_type(*gptr());
    }
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override
    {
        int64_t here = int64_t(pos_) + (gptr() - eback());
        int64_t target = dir == std::ios_base::beg   ? off
                         : dir == std::ios_base::cur ? here + off
                                                     : int64_t(size_) + off;
        if (target < 0 || uint64_t(target) > size_)
            return pos_type(off_type(-1));
        pos_ = uint64_t(target);
        setg(window_, window_, window_);
        return pos_type(off_type(target));
    }
    pos_type seekpos(pos_type pos, std::ios_base::openmode mode) override
    {
        return seekoff(off_type(pos), std::ios_base::beg, mode);
    }

private:
    uint8_t At(uint64_t p) const
    {
        if (p < head_.size())
            return head_[p];
        if (p >= tailAt_ && p - tailAt_ < tail_.size())
            return tail_[p - tailAt_];
        return 0;
    }
    std::vector<uint8_t> head_, tail_;
    uint64_t tailAt_, size_;
    uint64_t pos_ = 0;
    char window_[4096];
};
} // namespace

TEST(WavDecoder, DataStartingPast31BitsIsDeclinedRatherThanWrapped)
{
    NullDevice dev;
    ASSERT_TRUE(dev.ok());
    // The data body starts right after a JUNK chunk of `junk` bytes.
    for (uint32_t junk : {0x7FFFFF00u, 0x80000000u}) {
        SCOPED_TRACE(junk);
        std::vector<uint8_t> head = Riff({MakeChunk("fmt ", Fmt16Stereo)});
        PutTag(head, "JUNK");
        PutLE32(head, junk);
        uint64_t dataAt = head.size() + uint64_t(junk);
        std::vector<uint8_t> tail;
        PutTag(tail, "data");
        PutLE32(tail, 8);
        for (uint8_t b = 1; b <= 8; b++)
            tail.push_back(b);
        SparseBuf buf(head, dataAt, tail, dataAt + tail.size());
        std::istream input(&buf);
        auto stream = OpenWav(input);
        if (dataAt + 8 > 0x7FFFFFFFu) {
            EXPECT_EQ(stream, nullptr);
            continue;
        }
        ASSERT_NE(stream, nullptr);
        uint8_t out[8] = {};
        EXPECT_EQ(stream->GetData(out, 8), 8u);
        EXPECT_EQ(memcmp(out, &tail[8], 8), 0);
        EXPECT_EQ(stream->GetLength(), 2u);
    }
}
