// Application decoders: installing, replacing and removing them, where they
// stand in the decoder search, and how their streams use the callbacks.
#include "framework.h"
#include "media.h"

#include <gtest/gtest.h>

using nvt::AppDecoder;

namespace {

using A = AppDecoder<1>;
using B = AppDecoder<2>;
using C = AppDecoder<3>;

const ALubyte Junk[64] = {'j', 'u', 'n', 'k'};

class AppDecoders : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(device.ok());
        for (ALint index = -10; index <= 10; index++)
            nuvexInstallDecodeCallbacks(index, nullptr, nullptr, nullptr, nullptr, nullptr,
                                        nullptr);
        A::Reset();
        B::Reset();
        C::Reset();
        // Each decoder is recognisable by the rate it reports.
        A::sound.frequency = 1001;
        B::sound.frequency = 1002;
        C::sound.frequency = 1003;
        A::sound.pcm = B::sound.pcm = C::sound.pcm = std::vector<uint8_t>(400, 9);
        wav = nvt::MakeWav({}, nvt::Bytes16(nvt::Ramp16(100, 2)));
        wavFile = nvt::TempPath("ramp.wav");
        nvt::WriteFile(wavFile, wav);
    }
    void TearDown() override
    {
        EXPECT_EQ(A::log.closed, A::log.opened);
        EXPECT_EQ(B::log.closed, B::log.opened);
        EXPECT_EQ(C::log.closed, C::log.opened);
    }

    // The rate of a loaded buffer tells which decoder made it; 0 on failure.
    static ALint Rate(ALuint buffer)
    {
        ALint rate = buffer ? nvt::InspectBuffer(buffer).frequency : 0;
        alDeleteBuffers(1, &buffer);
        return rate;
    }
    static ALint RateFromMemory(const ALubyte *data, size_t size)
    {
        return Rate(nuvexCreateBufferFromMemory(data, ALsizei(size)));
    }
    static ALint RateFromFile(const char *name) { return Rate(nuvexCreateBufferFromFile(name)); }

    nvt::NullDevice device;
    std::vector<uint8_t> wav;
    std::string wavFile;
};

void Remove(ALint index)
{
    ASSERT_TRUE(nuvexInstallDecodeCallbacks(index, nullptr, nullptr, nullptr, nullptr, nullptr,
                                            nullptr));
}

} // namespace

TEST_F(AppDecoders, InstallNeedsAnOpenGetFormatAndDecode)
{
    enum { OpenFile = 1, OpenMem = 2, GetFormat = 4, Decode = 8, Rewind = 16, Close = 32 };
    struct Row {
        int callbacks;
        bool accepted;
    } rows[] = {
        {OpenFile | OpenMem | GetFormat | Decode | Rewind | Close, true},
        {OpenMem | GetFormat | Decode, true},
        {OpenFile | GetFormat | Decode | Close, true},
        {OpenFile | Decode | Rewind | Close, false},
        {OpenFile | OpenMem | GetFormat | Rewind | Close, false},
        {GetFormat | Decode | Rewind | Close, false},
        {Close, false},
        {0, true}, // removal, also of an index that has no record
    };
    ASSERT_TRUE(B::Install(7));
    for (const Row &row : rows) {
        SCOPED_TRACE(row.callbacks);
        int c = row.callbacks;
        nvt::LastError();
        EXPECT_EQ(nuvexInstallDecodeCallbacks(
                      3, c & OpenFile ? A::OpenFile : nullptr, c & OpenMem ? A::OpenMem : nullptr,
                      c & GetFormat ? A::GetFormat : nullptr, c & Decode ? A::Decode : nullptr,
                      c & Rewind ? A::Rewind : nullptr, c & Close ? A::Close : nullptr),
                  row.accepted);
        EXPECT_EQ(nvt::LastError(), row.accepted ? "No error" : "Missing callback functions");
        // A refused set leaves the map as it was; a removal of index 3
        // leaves index 7 alone.
        EXPECT_EQ(RateFromMemory(Junk, sizeof Junk), c && row.accepted && (c & OpenMem) ? 1001 : 1002);
        Remove(3);
        if (!(c & Close))
            A::log = nvt::DecoderLog(); // nothing to close with: the handle stays open
    }
    // A set without open_file never takes a file name.
    ASSERT_TRUE(nuvexInstallDecodeCallbacks(-1, nullptr, A::OpenMem, A::GetFormat, A::Decode,
                                            nullptr, A::Close));
    Remove(7);
    EXPECT_EQ(RateFromFile("/nonexistent/x.raw"), 0);
    EXPECT_EQ(nvt::LastError(), "Failed to open file");
    EXPECT_EQ(A::log.openFiles, 0);
}

// With the new set declining, an old set still in place would be asked.
TEST_F(AppDecoders, InstallingAgainAtAnIndexReplaces)
{
    ASSERT_TRUE(A::Install(-3));
    ASSERT_TRUE(B::Install(-3));
    B::sound.acceptMemory = false;
    EXPECT_EQ(RateFromMemory(Junk, sizeof Junk), 0);
    EXPECT_EQ(B::log.openMems, 1);
    EXPECT_EQ(A::log.openMems, 0);
}

// Negative indexes come first, smallest first; then the built-in decoders
// (here the WAV decoder, whose input is at 44100 Hz); then indexes of 0 or
// more. Decoders that decline leave no message; when a late decoder accepts,
// the message of the failed built-in stage stays.
TEST_F(AppDecoders, SearchOrderAndTheMessagesItLeaves)
{
    struct Row {
        const char *what;
        std::vector<std::pair<int, int>> installed; // (index, decoder 1..3)
        std::vector<int> declining;                 // decoders that decline everything
        int input; // 0 WAV, 1 junk, 2 missing file, 3 tracker module
        ALint rate;
        const char *message;
    } rows[] = {
        {"-5 first", {{-2, 2}, {3, 3}, {-5, 1}}, {}, 0, 1001, "No error"},
        {"then -2", {{-2, 2}, {3, 3}, {-5, 1}}, {1}, 0, 1002, "No error"},
        {"built-in before 3", {{3, 3}}, {}, 0, 44100, "No error"},
        {"-1 before every built-in", {{-1, 1}, {3, 3}}, {}, 0, 1001, "No error"},
        {"-1 before the module decoder of priority -1", {{-1, 1}}, {}, 3, 1001, "No error"},
        {"the module decoder when -1 declines", {{-1, 1}, {0, 2}}, {1}, 3, 44100, "No error"},
        {"3 after built-ins decline", {{-1, 1}, {3, 3}}, {1}, 1, 1003, "Unsupported type"},
        {"0 takes a missing file", {{0, 2}, {3, 3}}, {}, 2, 1002, "Failed to open file"},
        {"nobody", {{-4, 1}, {0, 2}}, {1, 2}, 1, 0, "Unsupported type"},
        {"nobody, missing file", {{-4, 1}, {0, 2}}, {1, 2}, 2, 0, "Failed to open file"},
    };
    const std::string junkFile = nvt::TempPath("junk.txt");
    nvt::WriteFile(junkFile, std::vector<uint8_t>(Junk, Junk + sizeof Junk));
    const std::vector<uint8_t> mod = nvmedia::WriteMod(nvmedia::DemoModule(1));
    const std::string modFile = nvt::TempPath("song.mod");
    nvt::WriteFile(modFile, mod);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        for (int file = 0; file < 2; file++) {
            SCOPED_TRACE(file ? "file" : "memory");
            if (!file && row.input == 2)
                continue;
            for (ALint index : {-5, -4, -2, -1, 0, 3})
                Remove(index);
            for (auto [index, which] : row.installed)
                ASSERT_TRUE(which == 1 ? A::Install(index)
                                       : which == 2 ? B::Install(index) : C::Install(index));
            for (int which = 1; which <= 3; which++) {
                bool declines = std::count(row.declining.begin(), row.declining.end(), which) > 0;
                nvt::FakeSound &s = which == 1 ? A::sound : which == 2 ? B::sound : C::sound;
                s.acceptFiles = s.acceptMemory = !declines;
            }
            A::log = B::log = C::log = nvt::DecoderLog();
            nvt::LastError();
            ALint rate;
            const std::string *path[] = {&wavFile, &junkFile, nullptr, &modFile};
            const std::vector<uint8_t> junk(Junk, Junk + sizeof Junk);
            const std::vector<uint8_t> *image[] = {&wav, &junk, nullptr, &mod};
            if (file)
                rate = RateFromFile(path[row.input] ? path[row.input]->c_str()
                                                    : "/nonexistent/sound.wav");
            else
                rate = RateFromMemory(image[row.input]->data(), image[row.input]->size());
            EXPECT_EQ(rate, row.rate);
            EXPECT_EQ(nvt::LastError(), row.message);
            // A declined open is all that happens to a decoder that declines.
            for (const nvt::DecoderLog *log : {&A::log, &B::log, &C::log})
                if (log->opened.empty()) {
                    EXPECT_EQ(log->getFormats + log->decodes + log->rewinds + log->closes, 0);
                }
        }
    }
}

// An application decoder is handed the name as given, even a null one; the
// library's own file opening refuses a null name.
TEST_F(AppDecoders, ANullNameReachesApplicationDecodersOnly)
{
    ASSERT_TRUE(A::Install(-1));
    A::sound.acceptFiles = false;
    EXPECT_EQ(nuvexCreateBufferFromFile(nullptr), 0u);
    EXPECT_EQ(nvt::LastError(), "Failed to open file");
    EXPECT_EQ(A::log.nullNames, std::vector<bool>{true});

    ASSERT_TRUE(nvt::MemFs::Install());
    EXPECT_EQ(nuvexCreateBufferFromFile(nullptr), 0u);
    EXPECT_EQ(nvt::LastError(), "Failed to open file");
    EXPECT_EQ(nvt::MemFs::Get().nullNames, std::vector<bool>{true});
    nuvexSetIOCallbacks(nullptr, nullptr, nullptr, nullptr, nullptr);

    A::sound.acceptFiles = true;
    EXPECT_EQ(RateFromFile(nullptr), 1001);
}

// A stream's handle is closed exactly once, when the stream goes.
TEST_F(AppDecoders, HandlesAreClosedOnceWithTheStream)
{
    ASSERT_TRUE(A::Install(-1));
    nuvexStream *stream = nuvexCreateStreamFromMemory(Junk, sizeof Junk, 400, 0, nullptr);
    ASSERT_NE(stream, nullptr) << nvt::LastError();
    EXPECT_EQ(A::log.closes, 0);
    ASSERT_TRUE(nuvexDestroyStream(stream, 0, nullptr));
    EXPECT_EQ(A::log.closed, A::log.opened);
    ASSERT_EQ(A::log.opened.size(), 1u);

    // The handle is gone with the stream: the library refuses it after.
    EXPECT_FALSE(nuvexRewindStream(stream));
    EXPECT_EQ(nvt::LastError(), "Invalid stream pointer");
    EXPECT_EQ(nuvexGetStreamLength(stream), ~nuvexUInt64(0));
    EXPECT_FALSE(nuvexDestroyStream(stream, 0, nullptr));
    EXPECT_EQ(nvt::LastError(), "Invalid stream pointer");
    EXPECT_EQ(A::log.closes, 1);
}

TEST_F(AppDecoders, RewindAndOrderNeedTheRewindCallback)
{
    struct Row {
        bool withRewind;
        int op; // 0 rewind, 1 order 0, 2 order 1
        bool result;
        const char *message;
    } rows[] = {
        {false, 0, false, "Rewind failed"}, {false, 1, false, "Rewind failed"},
        {false, 2, false, "Invalid order for stream"}, {true, 0, true, "No error"},
        {true, 1, true, "No error"}, {true, 2, false, "Invalid order for stream"},
    };
    A::sound.pcm.resize(400);
    for (size_t i = 0; i < 400; i++)
        A::sound.pcm[i] = uint8_t(i);
    ALuint buffer;
    alGenBuffers(1, &buffer);
    for (const Row &row : rows) {
        SCOPED_TRACE(std::to_string(row.withRewind) + " / " + std::to_string(row.op));
        ASSERT_TRUE(A::Install(-1, row.withRewind));
        nuvexStream *stream = nuvexCreateStreamFromMemory(Junk, 4, 100, 0, nullptr);
        ASSERT_NE(stream, nullptr) << nvt::LastError();
        ASSERT_EQ(nuvexBufferDataFromStream(stream, 1, &buffer), 1);
        ALboolean result = row.op == 0 ? nuvexRewindStream(stream)
                                       : nuvexSetStreamOrder(stream, ALuint(row.op - 1));
        EXPECT_EQ(bool(result), row.result);
        EXPECT_EQ(nvt::LastError(), row.message);
        EXPECT_EQ(A::log.rewinds, int(row.withRewind && row.op < 2));
        // The next chunk starts over after a rewind, or carries on.
        ASSERT_EQ(nuvexBufferDataFromStream(stream, 1, &buffer), 1);
        ALint size = 0;
        alGetBufferi(buffer, AL_SIZE, &size);
        EXPECT_EQ(size, 100);
        EXPECT_EQ(static_cast<AppDecoder<1>::Handle *>(A::log.opened.back())->pos,
                  row.result ? 100u : 200u);
        nuvexDestroyStream(stream, 0, nullptr);
        A::log = nvt::DecoderLog();
    }
    alDeleteBuffers(1, &buffer);
}
