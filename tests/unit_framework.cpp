// White-box tests of the stream framework's internals: the byte sources, the
// live-stream list, the clean-up at unload, the decoder registry.
#include "framework.h"
#include "instream.h"
#include "../src/playback.h" // not the test support header of the same name
#include "streamdec.h"

#include <gtest/gtest.h>

#include <cstdio>

std::list<nuvexStream *> &StreamList();

namespace {

std::vector<uint8_t> Counting(size_t n)
{
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; i++)
        bytes[i] = uint8_t(i * 7 + 1);
    return bytes;
}

int Get(std::istream &in) { return in.get(); }

} // namespace

TEST(ByteSources, MemoryBlocksReadAndSeekInPlace)
{
    MemDataInfo empty;
    InStream none(empty);
    EXPECT_EQ(none.get(), EOF);
    EXPECT_TRUE(none.eof());

    const std::vector<uint8_t> bytes = Counting(100);
    MemDataInfo info;
    info.data = bytes.data();
    info.length = 100;
    InStream in(info);
    char ten[10];
    ASSERT_TRUE(in.read(ten, 10));
    // One refill exposes the whole rest of the block, read where it lies.
    EXPECT_EQ(in.rdbuf()->in_avail(), 90);
    EXPECT_EQ(in.tellg(), 10);
    in.seekg(5, std::ios_base::cur);
    EXPECT_EQ(Get(in), bytes[15]);

    // Out-of-range seeks fail and leave the position alone.
    for (std::streamoff bad : {std::streamoff(101), std::streamoff(-1)}) {
        SCOPED_TRACE(bad);
        in.seekg(bad);
        EXPECT_TRUE(in.fail());
        in.clear();
        EXPECT_EQ(in.tellg(), 16);
    }
    in.seekg(-101, std::ios_base::end);
    EXPECT_TRUE(in.fail());
    in.clear();
    EXPECT_EQ(Get(in), bytes[16]);

    in.seekg(100);
    EXPECT_FALSE(in.fail());
    EXPECT_EQ(Get(in), EOF);
    in.clear();
    in.seekg(-4, std::ios_base::end);
    char last[4];
    ASSERT_TRUE(in.read(last, 4));
    EXPECT_EQ(std::vector<uint8_t>(last, last + 4), std::vector<uint8_t>(bytes.end() - 4, bytes.end()));
}

TEST(ByteSources, FilesReadThroughTheCallbacksInPiecesOfAtMost1024)
{
    nvt::MemFs::Reset();
    nvt::MemFs &fs = nvt::MemFs::Get();
    const std::vector<uint8_t> bytes = Counting(5000);
    fs.files["f"] = bytes;
    ASSERT_TRUE(nvt::MemFs::Install());

    InStream missing("nothing here");
    EXPECT_EQ(missing.rdstate(), std::ios_base::failbit);
    EXPECT_EQ(fs.opens, 0);

    {
        InStream in("f");
        ASSERT_FALSE(in.fail());
        char ten[10];
        ASSERT_TRUE(in.read(ten, 10));
        // tellg moves the file back to the logical position and drops the
        // buffered bytes.
        EXPECT_EQ(in.tellg(), 10);
        EXPECT_EQ(fs.handles.at(0)->pos, 10);
        EXPECT_EQ(in.rdbuf()->in_avail(), 0);
        EXPECT_EQ(Get(in), bytes[10]);
        in.seekg(5, std::ios_base::cur);
        EXPECT_EQ(Get(in), bytes[16]);
        // A refused seek keeps what was buffered.
        in.seekg(-1);
        EXPECT_TRUE(in.fail());
        in.clear();
        EXPECT_EQ(Get(in), bytes[17]);
        in.seekg(-4, std::ios_base::end);
        std::vector<char> rest(4000);
        in.read(rest.data(), 4000);
        EXPECT_EQ(in.gcount(), 4);
        EXPECT_EQ(std::vector<uint8_t>(rest.begin(), rest.begin() + 4),
                  std::vector<uint8_t>(bytes.end() - 4, bytes.end()));
        in.clear();
        in.seekg(0);
        in.read(rest.data(), 4000);
        EXPECT_EQ(std::vector<uint8_t>(rest.begin(), rest.end()),
                  std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4000));
        EXPECT_EQ(fs.largestRead, 1024u);
        EXPECT_EQ(fs.modes, (std::vector<ALuint>{0, 0}));
        EXPECT_EQ(fs.closes, 0);
    }
    EXPECT_EQ(fs.closes, 1);

    // Reads that report more than was asked are held to what was asked;
    // a negative read is the end.
    fs.overclaim = 100000;
    fs.failFrom = 3000;
    {
        InStream in("f");
        std::vector<char> all(5000);
        in.read(all.data(), 5000);
        EXPECT_EQ(in.gcount(), 3000);
        EXPECT_EQ(std::vector<uint8_t>(all.begin(), all.begin() + 3000),
                  std::vector<uint8_t>(bytes.begin(), bytes.begin() + 3000));
    }
    {
        // The same through the get area, a byte at a time.
        InStream in("f");
        std::vector<uint8_t> got;
        for (int c; (c = in.get()) != EOF;)
            got.push_back(uint8_t(c));
        EXPECT_EQ(got, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 3000));
    }
    nuvexSetIOCallbacks(nullptr, nullptr, nullptr, nullptr, nullptr);
}

TEST(ByteSources, BuiltInOpenRefusesANullNameAndWriteModes)
{
    ASSERT_TRUE(nuvexSetIOCallbacks(nullptr, nullptr, nullptr, nullptr, nullptr));
    const std::string path = nvt::TempPath("exists.bin");
    nvt::WriteFile(path, Counting(10));
    EXPECT_EQ(Funcs.open(nullptr, 0), nullptr);
    EXPECT_EQ(Funcs.open(path.c_str(), 1), nullptr);
    EXPECT_EQ(Funcs.open(path.c_str(), 2), nullptr);
    void *file = Funcs.open(path.c_str(), 0);
    ASSERT_NE(file, nullptr);
    ALubyte buf[20];
    EXPECT_EQ(Funcs.read(file, buf, 20), 10);
    EXPECT_EQ(Funcs.seek(file, -3, SEEK_END), 7);
    EXPECT_EQ(Funcs.seek(file, -30, SEEK_CUR), -1);
    Funcs.close(file);
}

namespace {
std::vector<void *> ClosedHandles;
void RecordClose(void *handle) { ClosedHandles.push_back(handle); }
ALuint NoData(void *, ALubyte *, ALuint) { return 0; }
const UserCallbacks Recording = {nullptr, nullptr, nullptr, NoData, nullptr, RecordClose};

int Tokens[8];
StreamPtr CallbackStream(int i)
{
    return create_stream(&Tokens[i], AL_FORMAT_MONO16, 8000, Recording);
}
} // namespace

TEST(StreamList, VerifyKnowsExactlyTheLiveStreams)
{
    int notAStream = 0;
    EXPECT_FALSE(nuvexStream::Verify(nullptr));
    EXPECT_FALSE(nuvexStream::Verify(reinterpret_cast<nuvexStream *>(&notAStream)));
    StreamPtr a = CallbackStream(0);
    StreamPtr b = CallbackStream(1);
    EXPECT_EQ(StreamList(), (std::list<nuvexStream *>{b.get(), a.get()}));
    EXPECT_TRUE(nuvexStream::Verify(a.get()));
    nuvexStream *stale = a.get();
    a.reset();
    EXPECT_FALSE(nuvexStream::Verify(stale));
    EXPECT_EQ(StreamList(), std::list<nuvexStream *>{b.get()});

    // Streams that decline their input leave no trace in the list.
    const std::vector<uint8_t> junk(300, 'j');
    MemDataInfo info;
    info.data = junk.data();
    info.length = ALuint(junk.size());
    ASSERT_TRUE(nvt::AppDecoder<1>::Install(-1));
    ASSERT_TRUE(nvt::AppDecoder<1>::Install(4));
    nvt::AppDecoder<1>::sound.acceptMemory = false;
    EXPECT_EQ(create_stream(info), nullptr);
    EXPECT_EQ(nvt::AppDecoder<1>::log.openMems, 2);
    EXPECT_EQ(StreamList(), std::list<nuvexStream *>{b.get()});
    for (ALint index : {-1, 4})
        nuvexInstallDecodeCallbacks(index, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
}

namespace {
nuvexStream *DestroyFromCallback = nullptr;
void DestroyAnother(void *played, ALuint)
{
    EXPECT_TRUE(nuvexDestroyStream(DestroyFromCallback, 0, nullptr));
    // The stream being cleared is no longer live for anybody.
    EXPECT_FALSE(nuvexDestroyStream(static_cast<nuvexStream *>(played), 0, nullptr));
}
} // namespace

// At unload every live stream goes, newest first, with its input stream; an
// end-of-play callback that destroys other streams meanwhile destroys each
// of them once.
TEST(StreamList, ClearDestroysEveryStreamOnce)
{
    nvt::NullDevice device;
    ASSERT_TRUE(device.ok());
    nvt::MemFs::Reset();
    nvt::MemFs::Get().files["w.wav"] = nvt::MakeWav({}, nvt::Bytes16(nvt::Ramp16(50, 2)));
    ASSERT_TRUE(nvt::MemFs::Install());
    StreamPtr wav = create_stream("w.wav");
    ASSERT_NE(wav, nullptr);
    ASSERT_NE(wav->inputStream, nullptr);

    ClosedHandles.clear();
    std::vector<nuvexStream *> made;
    for (int i = 0; i < 5; i++)
        made.push_back(CallbackStream(i).release());
    wav.release();

    // Stream 3 is played; its callback destroys stream 1.
    DestroyFromCallback = made[1];
    AsyncPlayEntry entry;
    entry.stream = made[3];
    entry.eosCallback = DestroyAnother;
    entry.userData = made[3];
    entry.context = alcGetCurrentContext();
    alGenSources(1, &entry.source);
    {
        StreamPlayLock lock;
        AsyncPlayList().push_front(entry);
    }

    nuvexStream::Clear();
    EXPECT_TRUE(StreamList().empty());
    EXPECT_TRUE(AsyncPlayList().empty());
    EXPECT_EQ(ClosedHandles, (std::vector<void *>{&Tokens[4], &Tokens[1], &Tokens[3], &Tokens[2],
                                                  &Tokens[0]}));
    EXPECT_EQ(nvt::MemFs::Get().closes, 1) << "the WAV stream's input was not destroyed";
    alDeleteSources(1, &entry.source);
    nuvexSetIOCallbacks(nullptr, nullptr, nullptr, nullptr, nullptr);
}

TEST(CustomStream, GetFormatAsksUntilAnsweredAndForgetsABadBlockSize)
{
    using D = nvt::AppDecoder<2>;
    const UserCallbacks cb = {D::OpenFile, D::OpenMem, D::GetFormat, D::Decode, D::Rewind,
                              D::Close};
    MemDataInfo info;
    struct Row {
        ALenum format;
        ALuint block;
        ALuint kept;
    } rows[] = {{AL_FORMAT_STEREO16, 6, 0}, {AL_FORMAT_STEREO16, 8, 8}, {AL_FORMAT_MONO8, 5, 5}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.block);
        D::Reset();
        D::sound.format = row.format;
        D::sound.blockSize = row.block;
        D::sound.formatFailures = 1;
        customStream stream(info, cb);
        ASSERT_TRUE(stream.IsValid());
        ALenum format = 0;
        ALuint rate = 0, block = 0;
        EXPECT_FALSE(stream.GetFormat(&format, &rate, &block));
        for (int i = 0; i < 2; i++) {
            EXPECT_TRUE(stream.GetFormat(&format, &rate, &block));
            EXPECT_EQ(format, row.format);
            EXPECT_EQ(rate, 44100u);
            EXPECT_EQ(block, row.kept);
        }
        EXPECT_EQ(D::log.getFormats, 2);
    }
}

namespace {
std::vector<int> Tries;
std::vector<std::streamoff> TriedAt;
std::vector<bool> TriedClean;
int Inits, Deinits;

template <int N>
class Probe final : public nuvexStream {
public:
    static bool accept;
    explicit Probe(std::istream *in) : nuvexStream(in)
    {
        Tries.push_back(N);
        TriedClean.push_back(in->good());
        TriedAt.push_back(in->tellg());
        // Leave the input in the worst state possible for the next decoder.
        char sink[512];
        while (in->read(sink, sizeof sink)) {
        }
        in->seekg(-1);
    }
    bool IsValid() override { return accept; }
    bool GetFormat(ALenum *, ALuint *, ALuint *) override { return false; }
    ALuint GetData(ALubyte *, ALuint) override { return 0; }
    bool Rewind() override { return false; }
    static void Init() { Inits++; }
    static void Deinit() { Deinits++; }
};
template <int N>
bool Probe<N>::accept = false;
} // namespace

TEST(Registry, SearchWalksPrioritiesDownLatestFirstFromACleanStart)
{
    std::vector<int> builtIn;
    for (const auto &entry : Decoder::GetList())
        builtIn.push_back(entry.first);
    EXPECT_EQ(builtIn, (std::vector<int>{-1, 2, 9, 10}));

    const std::vector<uint8_t> junk(2000, 'j');
    MemDataInfo info;
    info.data = junk.data();
    info.length = ALuint(junk.size());
    {
        DecoderDecl<Probe<1>, 10> first;
        DecoderDecl<Probe<2>, 10> second;
        DecoderDecl<Probe<3>, -1> third;
        EXPECT_EQ(Inits, 3);
        EXPECT_EQ(Decoder::GetList().size(), 7u);
        EXPECT_EQ(create_stream(info), nullptr);
        EXPECT_EQ(nvt::LastError(), "Unsupported type");
        EXPECT_EQ(Tries, (std::vector<int>{2, 1, 3}));
        EXPECT_EQ(TriedAt, (std::vector<std::streamoff>{0, 0, 0}));
        EXPECT_EQ(TriedClean, (std::vector<bool>{true, true, true}));

        Probe<1>::accept = true;
        StreamPtr got = create_stream(info);
        ASSERT_NE(got, nullptr);
        EXPECT_NE(dynamic_cast<Probe<1> *>(got.get()), nullptr);
        EXPECT_NE(got->inputStream, nullptr);

        EXPECT_DEATH(Decoder::AddList(DecoderDecl<Probe<2>, 10>::Factory, 3), "SearchSecond");
    }
    EXPECT_EQ(Deinits, 3);
    EXPECT_EQ(Decoder::GetList().size(), 4u);

}
