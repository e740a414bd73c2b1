// Files read through the application's I/O callbacks: how the library drives
// the table, and how the table is replaced.
#include "framework.h"

#include <gtest/gtest.h>

using nvt::MemFs;

namespace {

const ALuint Rate = 22050;

class FileIO : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(device.ok());
        MemFs::Reset();
        samples = nvt::Ramp16(3000, 2);
        nvt::WavSpec desc;
        desc.rate = Rate;
        wav = nvt::MakeWav(desc, nvt::Bytes16(samples));
        MemFs::Get().files["ramp.wav"] = wav;
    }
    void TearDown() override { nuvexSetIOCallbacks(nullptr, nullptr, nullptr, nullptr, nullptr); }

    nvt::LoopbackDevice device{ALC_STEREO_SOFT, ALCint(Rate)};
    std::vector<int16_t> samples;
    std::vector<uint8_t> wav;
};

} // namespace

// The library asks for read access only, reads 1024 bytes at a time, closes
// each file exactly once, takes a negative read as the end, and never keeps
// more than it asked for when a read reports more.
TEST_F(FileIO, LoadsThroughTheCallbacksExactly)
{
    ASSERT_TRUE(MemFs::Install());
    EXPECT_EQ(UsingSTDIO, 0);
    struct Row {
        const char *what;
        int64_t failFrom;
        ALuint overclaim;
        size_t frames; // what arrives
    } rows[] = {
        {"well-behaved", -1, 0, 3000},
        {"negative read after 2000 bytes of sound", 44 + 2000, 0, 500},
        {"negative read inside a block", 44 + 4001, 0, 1000},
        {"reads claim 5000 bytes more", -1, 5000, 3000},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        MemFs::Reset();
        MemFs &fs = MemFs::Get();
        fs.files["ramp.wav"] = wav;
        fs.failFrom = row.failFrom;
        fs.overclaim = row.overclaim;
        ALuint buffer = nuvexCreateBufferFromFile("ramp.wav");
        ASSERT_NE(buffer, 0u) << nvt::LastError();
        EXPECT_EQ(fs.modes, std::vector<ALuint>{0});
        EXPECT_EQ(fs.opens, 1);
        EXPECT_EQ(fs.closes, 1);
        EXPECT_EQ(fs.handles.at(0)->closes, 1);
        EXPECT_LE(fs.largestRead, 1024u);
        EXPECT_EQ(nvt::InspectBuffer(buffer).size, ALint(row.frames * 4));
        std::vector<int16_t> expected(samples.begin(), samples.begin() + long(row.frames * 2));
        EXPECT_TRUE(nvt::RenderBuffer(device, buffer, row.frames) == nvt::ToFloat(expected));
        alDeleteBuffers(1, &buffer);
    }
}

// Opened once per search however many decoders look at it, and closed before
// the call returns.
TEST_F(FileIO, AFileNobodyAcceptsIsClosedBeforeTheCallReturns)
{
    ASSERT_TRUE(MemFs::Install());
    MemFs::Get().files["notes.txt"] = std::vector<uint8_t>(5000, 'x');
    EXPECT_EQ(nuvexCreateBufferFromFile("notes.txt"), 0u);
    EXPECT_EQ(nvt::LastError(), "Unsupported type");
    EXPECT_EQ(MemFs::Get().opens, 1);
    EXPECT_EQ(MemFs::Get().closes, 1);

    EXPECT_EQ(nuvexCreateBufferFromFile("missing.wav"), 0u);
    EXPECT_EQ(nvt::LastError(), "Failed to open file");
    EXPECT_EQ(MemFs::Get().closes, 1) << "close called for a file that never opened";
}

TEST_F(FileIO, TableIsReplacedWhollyOrNotAtAll)
{
    using Open = void *(*)(const char *, ALuint);
    using Close = void (*)(void *);
    using Read = ALsizei (*)(void *, ALubyte *, ALuint);
    using Write = ALsizei (*)(void *, const ALubyte *, ALuint);
    using Seek = nuvexInt64 (*)(void *, nuvexInt64, ALint);
    const std::string realFile = nvt::TempPath("ramp.wav");
    nvt::WriteFile(realFile, wav);
    auto loads = [](const std::string &name) {
        ALuint buffer = nuvexCreateBufferFromFile(name.c_str());
        alDeleteBuffers(1, &buffer);
        return buffer != 0;
    };

    EXPECT_EQ(UsingSTDIO, 1);
    for (int custom = 0; custom < 2; custom++) {
        if (custom) {
            ASSERT_TRUE(MemFs::Install());
        }
        for (int missing = 0; missing < 5; missing++) {
            SCOPED_TRACE(std::to_string(custom) + " / callback " + std::to_string(missing));
            EXPECT_FALSE(nuvexSetIOCallbacks(missing == 0 ? Open(nullptr) : MemFs::Open,
                                             missing == 1 ? Close(nullptr) : MemFs::Close,
                                             missing == 2 ? Read(nullptr) : MemFs::Read,
                                             missing == 3 ? Write(nullptr) : MemFs::Write,
                                             missing == 4 ? Seek(nullptr) : MemFs::Seek));
            EXPECT_EQ(nvt::LastError(), "Missing callback functions");
            // The table in force is still the one before the call.
            EXPECT_EQ(UsingSTDIO, custom ? 0 : 1);
            EXPECT_EQ(loads("ramp.wav"), bool(custom));
            EXPECT_EQ(loads(realFile), !custom);
        }
    }
    EXPECT_TRUE(nuvexSetIOCallbacks(nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(UsingSTDIO, 1);
    EXPECT_TRUE(loads(realFile));
}

// A file keeps the table it was opened with, close included, for its whole
// life; only files opened afterwards see a new table.
TEST_F(FileIO, ATableChangeReachesOnlyFilesOpenedAfterIt)
{
    const std::string realFile = nvt::TempPath("ramp.wav");
    nvt::WriteFile(realFile, wav);
    MemFs &fs = MemFs::Get();
    ALuint bufs[2];
    alGenBuffers(2, bufs);

    ASSERT_TRUE(MemFs::Install());
    nuvexStream *early = nuvexCreateStreamFromFile("ramp.wav", 4000, 0, nullptr);
    ASSERT_NE(early, nullptr) << nvt::LastError();
    ASSERT_TRUE(nuvexSetIOCallbacks(nullptr, nullptr, nullptr, nullptr, nullptr));
    nuvexStream *late = nuvexCreateStreamFromFile(realFile.c_str(), 4000, 0, nullptr);
    ASSERT_NE(late, nullptr) << nvt::LastError();
    EXPECT_EQ(fs.opens, 1);

    int readsBefore = fs.reads;
    EXPECT_EQ(nuvexBufferDataFromStream(early, 2, bufs), 2);
    EXPECT_GT(fs.reads, readsBefore) << "the early file stopped using its own callbacks";
    readsBefore = fs.reads;
    EXPECT_EQ(nuvexBufferDataFromStream(late, 2, bufs), 2);
    EXPECT_EQ(fs.reads, readsBefore);

    // Back to the custom table: the standard-C file still closes with fclose.
    ASSERT_TRUE(MemFs::Install());
    EXPECT_TRUE(nuvexDestroyStream(late, 0, nullptr));
    EXPECT_EQ(fs.closes, 0);
    ASSERT_TRUE(nuvexSetIOCallbacks(nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_TRUE(nuvexDestroyStream(early, 0, nullptr));
    EXPECT_EQ(fs.closes, 1);
    EXPECT_EQ(fs.handles.at(0)->closes, 1);
    alDeleteBuffers(2, bufs);
}
