// Whole-sound loading: the four exported functions, their failure checks in
// order, and the exact bytes that reach OpenAL.
#include "framework.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <new>

using nvt::AppDecoder;
using nvt::BufferInfo;

// ---- Stand-ins for what OpenAL Soft cannot be made to do --------------------------
// alGenBuffers(1) never fails on a live context, so a failing generation is
// simulated by handing the real call a count it rejects: the error that
// follows is OpenAL's own. alBufferData is watched to see how much memory the
// library holds while OpenAL copies the sound.

namespace {
bool FailBufferGeneration = false;
size_t UploadHeld = 0; // usable size of the block handed to the last alBufferData

// Largest single allocation while armed.
bool TrackAllocations = false;
size_t LargestAllocation = 0;

template <typename Fn>
Fn RealAL(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}
} // namespace

extern "C" void AL_APIENTRY alGenBuffers(ALsizei n, ALuint *buffers)
{
    static auto real = RealAL<void(AL_APIENTRY *)(ALsizei, ALuint *)>("alGenBuffers");
    real(FailBufferGeneration ? -1 : n, buffers);
}

extern "C" void AL_APIENTRY alBufferData(ALuint buffer, ALenum format, const ALvoid *data,
                                         ALsizei size, ALsizei freq)
{
    static auto real = RealAL<void(AL_APIENTRY *)(ALuint, ALenum, const ALvoid *, ALsizei,
                                                  ALsizei)>("alBufferData");
    UploadHeld = data ? malloc_usable_size(const_cast<ALvoid *>(data)) : 0;
    real(buffer, format, data, size, freq);
}

// The replacements pair malloc with free throughout, which GCC cannot see.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void *operator new(size_t size)
{
    if (TrackAllocations && size > LargestAllocation)
        LargestAllocation = size;
    if (void *p = malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void *operator new[](size_t size) { return operator new(size); }
void operator delete(void *p) noexcept { free(p); }
void operator delete[](void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }
void operator delete[](void *p, size_t) noexcept { free(p); }

namespace {

using Decoder = AppDecoder<1>;

// A sound of `frames` frames of a ramp in the given 16-bit format.
std::vector<int16_t> UseRamp(ALenum format, int channels, ALuint rate, size_t frames)
{
    Decoder::sound.format = format;
    Decoder::sound.frequency = rate;
    Decoder::sound.blockSize = ALuint(channels * 2);
    std::vector<int16_t> samples = nvt::Ramp16(frames, channels);
    Decoder::sound.pcm = nvt::Bytes16(samples);
    return samples;
}

const ALubyte AnyBytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};

class Loading : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(device.ok());
        Decoder::Reset();
        ASSERT_TRUE(Decoder::Install(-1));
    }
    void TearDown() override
    {
        // Every stream the library made is gone again: each handle closed once.
        EXPECT_EQ(Decoder::log.closed, Decoder::log.opened);
    }
    nvt::NullDevice device;
};

enum Function { BufferFromMemory, BufferFromFile, CreateFromMemory, CreateFromFile };
const char *const FunctionNames[] = {"nuvexBufferDataFromMemory", "nuvexBufferDataFromFile",
                                     "nuvexCreateBufferFromMemory", "nuvexCreateBufferFromFile"};
bool IsCreate(Function f) { return f == CreateFromMemory || f == CreateFromFile; }

// Calls one of the four; the fill functions get `buffer`.
ALuint Load(Function f, const ALubyte *data, ALsizei length, const char *name, ALuint buffer)
{
    switch (f) {
    case BufferFromMemory: return nuvexBufferDataFromMemory(data, length, buffer);
    case BufferFromFile: return nuvexBufferDataFromFile(name, buffer);
    case CreateFromMemory: return nuvexCreateBufferFromMemory(data, length);
    default: return nuvexCreateBufferFromFile(name);
    }
}

} // namespace

TEST_F(Loading, FailuresReportTheFirstFailingCheckAndLeaveNothingBehind)
{
    const std::string junkFile = nvt::TempPath("junk.bin");
    std::vector<uint8_t> junk(3000);
    for (size_t i = 0; i < junk.size(); i++)
        junk[i] = uint8_t("plain text, not a sound "[i % 24]);
    nvt::WriteFile(junkFile, junk);

    enum {
        Pending = 1, GenFails = 2, BufferZero = 4, BufferDeleted = 8, NegativeLength = 16,
        NullData = 32, Missing = 64, Junk = 128, Empty = 256, // Junk: nobody accepts it
        FormatFails = 512, FormatZero = 1024, BlockZero = 2048, Block6 = 4096, RateZero = 8192,
        FormatMinus1 = 16384,
    };
    const std::vector<Function> all = {BufferFromMemory, BufferFromFile, CreateFromMemory,
                                       CreateFromFile};
    const std::vector<Function> fill = {BufferFromMemory, BufferFromFile};
    const std::vector<Function> memory = {BufferFromMemory, CreateFromMemory};
    const std::vector<Function> file = {BufferFromFile, CreateFromFile};
    const struct Row {
        std::vector<Function> functions;
        int setup;
        const char *message;
    } rows[] = {
        {all, Pending | BufferZero | NegativeLength | Missing | FormatFails,
         "Existing OpenAL error"},
        {{CreateFromMemory, CreateFromFile}, GenFails | NegativeLength, "Buffer creation failed"},
        {fill, BufferZero | NegativeLength, "Invalid buffer ID"},
        {fill, BufferDeleted, "Invalid buffer ID"},
        {memory, NegativeLength | NullData, "Invalid data length"},
        {memory, NullData, "Invalid data pointer"},
        {file, Missing, "Failed to open file"},
        {all, Junk, "Unsupported type"},
        {memory, Junk | Empty, "Unsupported type"}, // length 0 passes the argument checks
        {all, FormatFails | FormatZero, "Could not get sample format"},
        {all, FormatZero | BlockZero | RateZero, "No valid format"},
        {all, BlockZero | RateZero, "Invalid block size"},
        {all, Block6 | RateZero, "Invalid block size"},
        {all, RateZero, "Invalid sample rate"},
        {all, FormatMinus1, "Buffer load failed"},
    };

    for (const Row &row : rows) {
        for (Function f : row.functions) {
            const int a = row.setup;
            SCOPED_TRACE(std::string(FunctionNames[f]) + " / setup " + std::to_string(a));
            nvt::FakeSound &sound = Decoder::sound;
            sound = nvt::FakeSound();
            sound.pcm.assign(400, 7);
            sound.formatFailures = a & FormatFails ? 1000 : 0;
            sound.format = a & FormatZero ? 0 : a & FormatMinus1 ? -1 : AL_FORMAT_STEREO16;
            sound.blockSize = a & BlockZero ? 0 : a & Block6 ? 6 : 4;
            sound.frequency = a & RateZero ? 0 : 44100;
            sound.acceptFiles = !(a & (Missing | Junk));
            sound.acceptMemory = !(a & Junk);

            ALuint buffer = 0;
            if (!(a & BufferZero))
                alGenBuffers(1, &buffer);
            if (a & BufferDeleted)
                alDeleteBuffers(1, &buffer);
            const ALuint nextName = nvt::NextBufferName();
            const ALubyte *data = a & NullData ? nullptr : a & Junk ? junk.data() : AnyBytes;
            ALsizei length = a & NegativeLength ? -1
                             : a & Empty        ? 0
                             : a & Junk         ? ALsizei(junk.size())
                                                : 8;
            const char *name = a & Junk      ? junkFile.c_str()
                               : a & Missing ? "/nonexistent/nuvex/sound.wav"
                                             : "sound.any";
            if (a & Pending)
                nvt::RaiseALError();
            FailBufferGeneration = a & GenFails;
            EXPECT_EQ(Load(f, data, length, name, buffer), 0u);
            FailBufferGeneration = false;

            EXPECT_EQ(nvt::LastError(), row.message);
            EXPECT_EQ(alGetError(), AL_NO_ERROR) << "a stale OpenAL error was left behind";
            if (IsCreate(f)) {
                EXPECT_FALSE(alIsBuffer(nextName)) << "the generated buffer was not deleted";
            } else if (!(a & (BufferZero | BufferDeleted))) {
                EXPECT_TRUE(alIsBuffer(buffer));
                alDeleteBuffers(1, &buffer);
            }
            EXPECT_EQ(Decoder::log.closed, Decoder::log.opened);
        }
    }

    // A pending error is consumed by the call that reports it.
    for (Function f : all) {
        SCOPED_TRACE(FunctionNames[f]);
        Decoder::sound = nvt::FakeSound();
        Decoder::sound.pcm.assign(400, 1);
        ALuint buffer = 0;
        alGenBuffers(1, &buffer);
        nvt::RaiseALError();
        EXPECT_EQ(Load(f, AnyBytes, 8, "x", buffer), 0u);
        ALuint made = Load(f, AnyBytes, 8, "x", buffer);
        EXPECT_NE(made, 0u) << nvt::LastError();
        EXPECT_EQ(nvt::InspectBuffer(IsCreate(f) ? made : buffer).size, 400);
        if (IsCreate(f))
            alDeleteBuffers(1, &made);
        alDeleteBuffers(1, &buffer);
    }
}

// The sizes that reach OpenAL for streams of awkward lengths: whole blocks
// only, the stream read until it says 0 exactly once, a decode that claims
// more than it was given room for clamped to the room.
TEST_F(Loading, UploadsWholeBlocksOfEverythingTheStreamGives)
{
    struct Row {
        const char *what;
        size_t bytes;
        ALuint perCall;
        ALuint overclaim;
        ALuint block;
        ALint expectedSize;
    } rows[] = {
        {"empty stream", 0, 0, 0, 4, 0},
        {"less than one block", 3, 0, 0, 4, 0},
        {"exact blocks", 4000, 0, 0, 4, 4000},
        {"trailing partial block", 4003, 0, 0, 4, 4000},
        {"several steps in odd pieces", 4 * 1000 * 3 + 1237, 333, 0, 4, 4 * 1000 * 3 + 1236},
        // 1000 Hz x 4 bytes: every decode has room for 4000 bytes, and is
        // taken at its word only up to that room.
        {"decode claims more than asked", 4000 + 800, 0, 10000, 4, 4000 + 4000},
        // A block size that is a multiple of the format's is kept as given.
        {"block of two frames", 20, 0, 0, 8, 16},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Decoder::Reset();
        Decoder::sound.frequency = 1000;
        Decoder::sound.pcm.resize(row.bytes);
        for (size_t i = 0; i < row.bytes; i++)
            Decoder::sound.pcm[i] = uint8_t(i * 13);
        Decoder::sound.perCall = row.perCall;
        Decoder::sound.overclaim = row.overclaim;
        Decoder::sound.blockSize = row.block;
        ALuint buffer = nuvexCreateBufferFromMemory(AnyBytes, 8);
        ASSERT_NE(buffer, 0u) << nvt::LastError();
        BufferInfo expected{row.expectedSize, 1000, 16, 2};
        EXPECT_EQ(nvt::InspectBuffer(buffer), expected);
        EXPECT_EQ(Decoder::log.zeroDecodes, 1);
        EXPECT_EQ(Decoder::log.decodesAfterEnd, 0);
        for (ALuint ask : Decoder::log.asks)
            EXPECT_LE(ask, 1000 * row.block) << "room beyond one step";
        EXPECT_EQ(Decoder::log.closes, 1);
        alDeleteBuffers(1, &buffer);
    }
}

// What a listener hears is the decoder's samples, bit for bit, for every
// layout; the sound is longer than one step and arrives in odd pieces.
TEST(LoadingRender, SoundsArriveWholeAndRenderExactly)
{
    struct Row {
        ALenum format;
        int channels;
        ALCint layout;
    } rows[] = {
        {AL_FORMAT_MONO16, 1, ALC_MONO_SOFT},
        {AL_FORMAT_STEREO16, 2, ALC_STEREO_SOFT},
        {AL_FORMAT_QUAD16, 4, ALC_QUAD_SOFT},
        {AL_FORMAT_51CHN16, 6, ALC_5POINT1_SOFT},
    };
    const ALuint rate = 8000;
    const size_t frames = rate * 5 / 2 + 17; // two and a half steps and a bit
    for (const Row &row : rows) {
        SCOPED_TRACE(row.channels);
        nvt::LoopbackDevice device(row.layout, ALCint(rate));
        ASSERT_TRUE(device.ok());
        Decoder::Reset();
        ASSERT_TRUE(Decoder::Install(-1));
        std::vector<int16_t> samples = UseRamp(row.format, row.channels, rate, frames);
        Decoder::sound.pcm.push_back(0x55); // a trailing partial block
        Decoder::sound.perCall = 1001;
        ALuint buffer = 0;
        alGenBuffers(1, &buffer);
        ASSERT_TRUE(nuvexBufferDataFromMemory(AnyBytes, 8, buffer)) << nvt::LastError();
        BufferInfo expected{ALint(samples.size() * 2), ALint(rate), 16, row.channels};
        EXPECT_EQ(nvt::InspectBuffer(buffer), expected);
        EXPECT_GT(Decoder::log.decodes, 3);
        std::vector<float> heard = nvt::RenderBuffer(device, buffer, frames);
        EXPECT_TRUE(heard == nvt::ToFloat(samples)) << "rendered audio differs";
        EXPECT_EQ(Decoder::log.closes, 1);
        alDeleteBuffers(1, &buffer);
    }
}

// The application's image is only read during the call.
TEST(LoadingRender, MemoryMayBeReleasedAsSoonAsTheCallReturns)
{
    nvt::LoopbackDevice device(ALC_STEREO_SOFT, 22050);
    ASSERT_TRUE(device.ok());
    nuvexInstallDecodeCallbacks(-1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    std::vector<int16_t> samples = nvt::Ramp16(5000, 2);
    nvt::WavSpec desc;
    desc.rate = 22050;
    std::vector<uint8_t> wav = nvt::MakeWav(desc, nvt::Bytes16(samples));
    auto *image = static_cast<ALubyte *>(malloc(wav.size()));
    memcpy(image, wav.data(), wav.size());
    ALuint fromCreate = nuvexCreateBufferFromMemory(image, ALsizei(wav.size()));
    ALuint filled = 0;
    alGenBuffers(1, &filled);
    ASSERT_TRUE(nuvexBufferDataFromMemory(image, ALsizei(wav.size()), filled));
    memset(image, 0xEE, wav.size());
    free(image);
    ASSERT_NE(fromCreate, 0u) << nvt::LastError();
    EXPECT_TRUE(nvt::RenderBuffer(device, fromCreate, 5000) == nvt::ToFloat(samples));
    EXPECT_TRUE(nvt::RenderBuffer(device, filled, 5000) == nvt::ToFloat(samples));
    alDeleteBuffers(1, &fromCreate);
    alDeleteBuffers(1, &filled);
}

// Claims that would make the library allocate without bound: a rate so high
// that rate x block alignment passes 32 bits, and a WAV header whose data
// chunk claims far more than the image holds.
TEST_F(Loading, AbsurdRatesAndLengthsNeitherWrapNorAllocateWithoutBound)
{
    const size_t cap = size_t(16) << 20;
    struct Row {
        ALuint frequency;
        ALuint block;
        bool uploads; // whether OpenAL Soft takes the rate at all
    } rows[] = {
        {0x40000000u, 4, true},  // 2^32 bytes per second: wraps to 0 in 32 bits
        {0x40000001u, 4, true},  // wraps to 4
        {0xFFFFFFFFu, 8, false}, // not a valid rate for OpenAL
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.frequency);
        Decoder::Reset();
        Decoder::sound.frequency = row.frequency;
        Decoder::sound.format = row.block == 4 ? AL_FORMAT_STEREO16 : AL_FORMAT_QUAD16;
        Decoder::sound.blockSize = row.block;
        Decoder::sound.pcm.assign(10000, 3);
        Decoder::sound.perCall = 4096;
        LargestAllocation = 0;
        TrackAllocations = true;
        ALuint buffer = nuvexCreateBufferFromMemory(AnyBytes, 8);
        TrackAllocations = false;
        EXPECT_LT(LargestAllocation, cap);
        EXPECT_LE(*std::max_element(Decoder::log.asks.begin(), Decoder::log.asks.end()), cap);
        EXPECT_EQ(Decoder::log.zeroDecodes, 1) << "the sound was not read to its end";
        if (row.uploads) {
            ASSERT_NE(buffer, 0u) << nvt::LastError();
            EXPECT_EQ(nvt::InspectBuffer(buffer).size, 10000);
            alDeleteBuffers(1, &buffer);
        } else {
            EXPECT_EQ(buffer, 0u);
            EXPECT_EQ(nvt::LastError(), "Buffer load failed");
        }
    }

    // A 1 MiB-ish claim would be harmless; 2 GiB of claimed data is not.
    std::vector<int16_t> samples = nvt::Ramp16(1000, 2);
    std::vector<uint8_t> wav = nvt::MakeWav({}, nvt::Bytes16(samples));
    const uint32_t claimed = 0x7FFFFFF0u;
    memcpy(&wav[40], &claimed, 4); // the data chunk's size field (little-endian host)
    nvt::MemFs::Reset();
    nvt::MemFs::Get().files["claims-too-much.wav"] = wav;
    ASSERT_TRUE(nvt::MemFs::Install());
    Decoder::Reset(); // declines everything, so the WAV decoder gets the input
    Decoder::sound.acceptFiles = Decoder::sound.acceptMemory = false;
    for (bool fromFile : {false, true}) {
        SCOPED_TRACE(fromFile);
        LargestAllocation = 0;
        TrackAllocations = true;
        ALuint buffer = fromFile ? nuvexCreateBufferFromFile("claims-too-much.wav")
                                 : nuvexCreateBufferFromMemory(wav.data(), ALsizei(wav.size()));
        TrackAllocations = false;
        ASSERT_NE(buffer, 0u) << nvt::LastError();
        EXPECT_EQ(nvt::InspectBuffer(buffer).size, 4000);
        EXPECT_LT(LargestAllocation, size_t(1) << 20);
        alDeleteBuffers(1, &buffer);
    }
    nuvexSetIOCallbacks(0, 0, 0, 0, 0);
}

// While OpenAL copies the sound, the library holds no more than the sound
// and one step of spare room, whether or not the stream knew its length.
TEST_F(Loading, HoldsAtMostTheSoundAndOneStepDuringTheUpload)
{
    const ALuint rate = 44100, step = rate * 4;
    for (size_t frames : {size_t(rate) / 3, size_t(rate) * 3 + 7, size_t(rate) * 10 + 1}) {
        SCOPED_TRACE(frames);
        Decoder::Reset();
        UseRamp(AL_FORMAT_STEREO16, 2, rate, frames);
        Decoder::sound.perCall = 10000;
        UploadHeld = 0;
        ALuint buffer = nuvexCreateBufferFromMemory(AnyBytes, 8);
        ASSERT_NE(buffer, 0u) << nvt::LastError();
        EXPECT_LE(UploadHeld, frames * 4 + step + 4096);
        alDeleteBuffers(1, &buffer);
    }
    std::vector<uint8_t> wav = nvt::MakeWav({}, nvt::Bytes16(nvt::Ramp16(rate * 10 + 1, 2)));
    Decoder::sound.acceptMemory = false;
    UploadHeld = 0;
    ALuint buffer = nuvexCreateBufferFromMemory(wav.data(), ALsizei(wav.size()));
    ASSERT_NE(buffer, 0u) << nvt::LastError();
    EXPECT_LE(UploadHeld, size_t(rate * 10 + 1) * 4 + step + 4096);
    alDeleteBuffers(1, &buffer);
}
