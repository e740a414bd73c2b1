// The stream object model and the forward-decoding seek.
#include "streamdec.h"

#include <algorithm>

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
    if (!DecodesForwardToSeek())
        return Fail("Stream cannot seek", false);
    return SeekByDecoding(to, at);
}

bool nuvexStream::SeekByDecoding(nuvexUInt64 to, nuvexUInt64 &at)
{
    ALenum format;
    ALuint frequency, blockAlign;
    if (!GetFormat(&format, &frequency, &blockAlign) || FramesIn(blockAlign) == 0 ||
        chunkBuffer.size() < blockAlign)
        return Fail("Stream cannot seek", false);
    const nuvexUInt64 blockFrames = FramesIn(blockAlign);
    const bool behind = to < at;
    const nuvexUInt64 from = behind ? 0 : at;
    if (to - from > nuvexUInt64(frequency) * ForwardDecodeSeconds)
        return Fail("Position past the end", false);
    if (behind) {
        if (!Rewind())
            return Fail("Stream cannot seek", false);
        at = 0;
        carried.clear();
    } else if (!carried.empty()) {
        // The block an earlier seek read ahead starts at `at`; the decoder
        // stands after it.
        if (to - at < blockFrames)
            return true;
        carried.clear();
        at += blockFrames;
    }
    // Whole blocks only: a block format lands on the start of the block.
    const size_t most = chunkBuffer.size() - chunkBuffer.size() % blockAlign;
    while (to - at >= blockFrames) {
        if (abandoned.load(std::memory_order_relaxed))
            return false; // its borrower reports the destroy
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

void StreamDeleter::operator()(nuvexStream *stream) const
{
    std::unique_ptr<std::istream> input(stream->inputStream);
    delete stream;
}

const char *nuvexStream::LoopProblem(const LoopPoints &candidate)
{
    if (!candidate.Present())
        return nullptr;
    const nuvexUInt64 length = GetLength();
    const nuvexUInt64 end = candidate.end ? candidate.end : length;
    if (candidate.end == 0 ? (length > 0 && candidate.start >= length) : candidate.start >= end)
        return "Invalid loop points";
    if (length > 0 && end > length)
        return "Invalid loop points";
    ALenum format;
    ALuint frequency, blockAlign;
    if (!GetFormat(&format, &frequency, &blockAlign))
        return "Invalid loop points";
    // A pass ends on a whole block of what the decoder delivers: a WAV's
    // IMA ADPCM block, or an application decoder's block of several frames
    // (a block read across the loop's end would cut the pass short).
    const ALuint formatBytes = DetectBlockAlignment(format);
    const nuvexUInt64 blockFrames =
        formatBytes ? nuvexUInt64(blockAlign / formatBytes) * DetectCompressionRate(format) : 1;
    if (blockFrames > 1 && (candidate.start % blockFrames != 0 ||
                            (candidate.end % blockFrames != 0 && candidate.end != length)))
        return "Invalid loop points";
    if (candidate.start > 0 && !SeeksDirectly())
        return "Stream cannot seek";
    return nullptr;
}

void nuvexStream::SettleFileLoop()
{
    if (LoopProblem(loop))
        loop = {};
}
