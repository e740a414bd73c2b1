// nuvex-play as users run it: real processes on the generated demo media,
// with the rendered WAV files compared against independent decodes of the
// sources (the file's own samples, libvorbisfile, libmodplug).
#include <gtest/gtest.h>

#include <libmodplug/modplug.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

const std::string Player = NUVEX_PLAY;
const std::string Demo = NUVEX_DEMO_DIR;

std::vector<uint8_t> ReadAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

uint32_t LE32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint32_t BE32(const uint8_t *p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

// A RIFF chunk or AIFF chunk body, found by walking from byte 12.
std::vector<uint8_t> Chunk(const std::vector<uint8_t> &file, const char *tag, bool bigEndian)
{
    for (size_t pos = 12; pos + 8 <= file.size();) {
        uint32_t length = bigEndian ? BE32(&file[pos + 4]) : LE32(&file[pos + 4]);
        if (memcmp(&file[pos], tag, 4) == 0 && pos + 8 + length <= file.size())
            return std::vector<uint8_t>(file.begin() + long(pos) + 8,
                                        file.begin() + long(pos) + 8 + long(length));
        pos += 8 + length + (length & 1);
    }
    return {};
}

struct Wav {
    unsigned formatTag = 0, channels = 0, rate = 0, bits = 0;
    std::vector<uint8_t> data;
};

Wav ParseWav(const std::string &path)
{
    std::vector<uint8_t> file = ReadAll(path);
    Wav wav;
    if (file.size() < 12 || memcmp(file.data(), "RIFF", 4) != 0)
        return wav;
    std::vector<uint8_t> fmt = Chunk(file, "fmt ", false);
    if (fmt.size() < 16)
        return wav;
    wav.formatTag = fmt[0] | fmt[1] << 8;
    wav.channels = fmt[2] | fmt[3] << 8;
    wav.rate = LE32(&fmt[4]);
    wav.bits = fmt[14] | fmt[15] << 8;
    wav.data = Chunk(file, "data", false);
    return wav;
}

std::vector<int16_t> Samples16(const std::vector<uint8_t> &bytes, bool bigEndian)
{
    std::vector<int16_t> out(bytes.size() / 2);
    for (size_t i = 0; i < out.size(); i++)
        out[i] = int16_t(bigEndian ? bytes[2 * i] << 8 | bytes[2 * i + 1]
                                   : bytes[2 * i] | bytes[2 * i + 1] << 8);
    return out;
}

// Each source decoded without the library; modules from pattern order `order`.
std::vector<int16_t> Reference(const std::string &name, int order = 0)
{
    const std::string path = Demo + "/" + name;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".wav") == 0)
        return Samples16(ParseWav(path).data, false);
    if (name == "demo.aiff") {
        // SSND: an offset and a block size come before the samples.
        std::vector<uint8_t> ssnd = Chunk(ReadAll(path), "SSND", true);
        if (ssnd.size() < 8)
            return {};
        ssnd.erase(ssnd.begin(), ssnd.begin() + 8 + long(BE32(ssnd.data())));
        return Samples16(ssnd, true);
    }
    std::vector<int16_t> out;
    char block[8192];
    if (name == "demo.ogg") {
        OggVorbis_File vf;
        if (ov_fopen(path.c_str(), &vf) != 0)
            return out;
        int section = 0;
        long got;
        while ((got = ov_read(&vf, block, sizeof(block), 0, 2, 1, &section)) > 0)
            out.insert(out.end(), reinterpret_cast<int16_t *>(block),
                       reinterpret_cast<int16_t *>(block + got));
        ov_clear(&vf);
        return out;
    }
    std::vector<uint8_t> image = ReadAll(path);
    ModPlugFile *mod = ModPlug_Load(image.data(), int(image.size()));
    if (!mod)
        return out;
    if (order > 0)
        ModPlug_SeekOrder(mod, order);
    // One frame per read: libmodplug fills every request, padding the last
    // one with silence, so only this granularity gives the song's own end.
    int got;
    while ((got = ModPlug_Read(mod, block, 4)) > 0)
        out.insert(out.end(), reinterpret_cast<int16_t *>(block),
                   reinterpret_cast<int16_t *>(block + got));
    ModPlug_Unload(mod);
    return out;
}

// Where `got` first differs from `want`, or "" when `got` is `times` plays of
// `want`. A module's decode is padded with silence up to the end of the
// chunk it ends in, so each of its plays may carry a short silent tail.
std::string CompareLoops(const std::vector<int16_t> &got, const std::vector<int16_t> &want,
                         int times, bool silentTail)
{
    if (got.size() % size_t(times) != 0)
        return "length " + std::to_string(got.size()) + " is not " + std::to_string(times) +
               " equal plays";
    const size_t play = got.size() / size_t(times);
    const size_t maxTail = silentTail ? 2 * 44100 : 0;
    if (play < want.size() || play > want.size() + maxTail)
        return "each play has " + std::to_string(play) + " samples, the source " +
               std::to_string(want.size());
    for (size_t i = 0; i < got.size(); i++) {
        size_t at = i % play;
        int16_t expected = at < want.size() ? want[at] : 0;
        if (got[i] != expected)
            return "first difference at sample " + std::to_string(i) + ": " +
                   std::to_string(got[i]) + " instead of " + std::to_string(expected);
    }
    return "";
}

std::vector<int16_t> PaddedTo(std::vector<int16_t> samples, size_t chunkSamples)
{
    samples.resize((samples.size() + chunkSamples - 1) / chunkSamples * chunkSamples, 0);
    return samples;
}


// A null-terminated argv/envp view of `strings`.
std::vector<char *> Ptrs(std::vector<std::string> &strings)
{
    std::vector<char *> out;
    for (std::string &a : strings)
        out.push_back(&a[0]);
    out.push_back(nullptr);
    return out;
}

struct Result {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
};

std::string TempDir()
{
    static std::string dir = [] {
        char templ[] = "/tmp/nuvex-player-XXXXXX";
        return std::string(mkdtemp(templ));
    }();
    return dir;
}

// The player as a child process: stdout through a pipe (so tests can wait
// for a line), stderr into a file of its own.
class Process {
public:
    // `launcher` (e.g. valgrind and its options) goes in front of the player.
    explicit Process(const std::vector<std::string> &args, const std::vector<std::string> &env = {},
                     const std::vector<std::string> &launcher = {})
    {
        static int count = 0;
        errPath_ = TempDir() + "/stderr" + std::to_string(count++);
        int outPipe[2];
        if (pipe(outPipe) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
        posix_spawn_file_actions_addclose(&actions, outPipe[0]);
        posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        std::vector<std::string> all = launcher;
        all.push_back(Player);
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv = Ptrs(all);
        std::vector<std::string> envStrings;
        for (char **e = environ; *e; e++)
            envStrings.push_back(*e);
        envStrings.insert(envStrings.end(), env.begin(), env.end());
        std::vector<char *> envp = Ptrs(envStrings);
        if (posix_spawn(&pid_, all[0].c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(outPipe[1]);
        out_ = outPipe[0];
    }

    ~Process()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
    }

    bool Started() const { return pid_ > 0; }

    bool WaitForOutput(const std::string &text, std::chrono::milliseconds limit)
    {
        auto end = std::chrono::steady_clock::now() + limit;
        while (result_.out.find(text) == std::string::npos)
            if (std::chrono::steady_clock::now() > end || !Pump())
                return false;
        return true;
    }

    void Signal(int sig) { kill(pid_, sig); }

    // Collects the rest of the output and the exit status; gives up (and
    // leaves the kill to the destructor) after `limit`.
    Result Finish(std::chrono::milliseconds limit = std::chrono::seconds(60))
    {
        auto end = std::chrono::steady_clock::now() + limit;
        bool late = false;
        while (Pump() && !(late = std::chrono::steady_clock::now() > end)) {
        }
        int status = 0;
        if (waitpid(pid_, &status, late ? WNOHANG : 0) == pid_) {
            result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid_ = -1;
        }
        std::vector<uint8_t> err = ReadAll(errPath_);
        result_.err.assign(err.begin(), err.end());
        if (late)
            result_.err += "[test: timed out]";
        return result_;
    }

private:
    // Reads what is available; false once stdout is closed.
    bool Pump()
    {
        if (out_ < 0)
            return false;
        pollfd fd = {out_, POLLIN, 0};
        if (poll(&fd, 1, 50) <= 0)
            return true;
        char buf[4096];
        ssize_t got = read(out_, buf, sizeof(buf));
        if (got > 0) {
            result_.out.append(buf, size_t(got));
        } else {
            close(out_);
            out_ = -1;
        }
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string errPath_;
    Result result_;
};

Result RunPlayer(const std::vector<std::string> &args)
{
    Process process(args);
    EXPECT_TRUE(process.Started());
    return process.Finish();
}

std::string Describe(const Result &r)
{
    return "status " + std::to_string(r.status) + "\nstdout: " + r.out + "\nstderr: " + r.err;
}


class RenderDemo : public ::testing::TestWithParam<const char *> {};

// Whole and streamed (with small chunks and the minimum ring, so that the
// refill path is exercised hundreds of times), each played twice.
TEST_P(RenderDemo, MatchesTheDecodedSourceWholeAndStreamedLooped)
{
    const std::string name = GetParam();
    const std::vector<int16_t> reference = Reference(name);
    ASSERT_GT(reference.size(), 44100u) << "reference decode of " << name;

    const std::vector<std::vector<std::string>> modes = {
        {"--load"},
        {"--chunk-ms", "20", "--buffers", "2"},
        {"--chunk-ms", "250", "--buffers", "3"},
    };
    for (const auto &mode : modes) {
        const std::string out = TempDir() + "/" + name + ".render.wav";
        std::vector<std::string> args = mode;
        args.insert(args.end(), {"--quiet", "--loop", "1", "--render", out, Demo + "/" + name});
        Result r = RunPlayer(args);
        ASSERT_EQ(r.status, 0) << mode[0] << "\n" << Describe(r);
        EXPECT_EQ(r.out, "") << "--quiet prints nothing";
        Wav wav = ParseWav(out);
        EXPECT_EQ(std::vector<unsigned>({wav.formatTag, wav.channels, wav.rate, wav.bits}),
                  std::vector<unsigned>({1, 2, 44100, 16}));
        EXPECT_EQ(CompareLoops(Samples16(wav.data, false), reference, 2, name == "demo.mod"), "")
            << name << " " << mode[0];
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, RenderDemo,
                         ::testing::Values("demo.wav", "demo.aiff", "demo.ogg", "demo.mod"),
                         [](const auto &info) { return std::string(info.param).substr(5); });

TEST(Player, RendersFloatAndOtherRatesAndSeveralFilesIntoOneWav)
{
    const std::vector<int16_t> wav = Reference("demo.wav");
    const std::vector<int16_t> mod = Reference("demo.mod");

    // Float output holds each 16-bit sample as sample / 32768 times the gain, exactly.
    const std::string floatOut = TempDir() + "/float.wav";
    for (const char *gain : {"1", "0.5"}) {
        Result r = RunPlayer({"--quiet", "--float", "--gain", gain, "--render", floatOut,
                              Demo + "/demo.wav"});
        ASSERT_EQ(r.status, 0) << Describe(r);
        Wav f = ParseWav(floatOut);
        EXPECT_EQ(f.formatTag, 3u);
        EXPECT_EQ(f.bits, 32u);
        ASSERT_EQ(f.data.size(), wav.size() * 4);
        size_t mismatches = 0;
        for (size_t i = 0; i < wav.size(); i++) {
            float v;
            memcpy(&v, &f.data[i * 4], 4);
            mismatches += v != float(wav[i]) * float(atof(gain)) / 32768.0f;
        }
        EXPECT_EQ(mismatches, 0u) << "gain " << gain;
    }

    // Many repeats of a whole buffer are queued a few at a time, and still
    // follow each other without a gap.
    const std::string repeats = TempDir() + "/repeats.wav";
    Result r = RunPlayer({"--quiet", "--load", "--loop", "99", "--render", repeats, Demo + "/chime.wav"});
    ASSERT_EQ(r.status, 0) << Describe(r);
    EXPECT_EQ(CompareLoops(Samples16(ParseWav(repeats).data, false), Reference("chime.wav"), 100,
                           false),
              "");

    // Another rate resamples: the length scales with it.
    const std::string rateOut = TempDir() + "/rate.wav";
    r = RunPlayer({"--quiet", "--rate", "22050", "--render", rateOut, Demo + "/demo.wav"});
    ASSERT_EQ(r.status, 0) << Describe(r);
    Wav resampled = ParseWav(rateOut);
    EXPECT_EQ(resampled.rate, 22050u);
    double frames = double(resampled.data.size()) / 4;
    EXPECT_NEAR(frames, double(wav.size() / 2) / 2, 64.0);

    // Two files follow each other in one file, without a gap; the summary
    // line says what was written.
    const std::string both = TempDir() + "/both.wav";
    r = RunPlayer({"--render", both, Demo + "/demo.wav", Demo + "/demo.mod"});
    ASSERT_EQ(r.status, 0) << Describe(r);
    std::vector<int16_t> expected = wav;
    std::vector<int16_t> modPlay = PaddedTo(mod, 11025 * 2); // the default 250 ms chunks
    expected.insert(expected.end(), modPlay.begin(), modPlay.end());
    EXPECT_EQ(Samples16(ParseWav(both).data, false), expected);
    EXPECT_NE(r.out.find("Rendering demo.wav (0:06.3, 2 ch, 44100 Hz)\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Wrote " + both + ": " + std::to_string(expected.size() / 2) +
                         " frames"),
              std::string::npos)
        << r.out;
}


TEST(Player, InfoDescribesEachDemoFile)
{
    struct Row {
        const char *file, *format;
    } rows[] = {
        {"demo.wav", "WAV, 16-bit integer PCM"},
        {"demo.aiff", "AIFF, 16-bit integer PCM"},
        {"demo.ogg", "Ogg Vorbis, decoded to 16-bit integer PCM"},
        {"demo.mod", "tracker module, decoded to 16-bit integer PCM"},
    };
    for (const Row &row : rows) {
        const std::string path = Demo + "/" + row.file;
        // A module's length is measured by decoding it in 10 ms chunks.
        size_t frames = Reference(row.file).size() / 2;
        if (std::string(row.file) == "demo.mod")
            frames = PaddedTo(Reference(row.file), 441 * 2).size() / 2;
        char length[64];
        snprintf(length, sizeof(length), "%zu frames, %.3f s", frames, frames / 44100.0);
        Result r = RunPlayer({"--info", path});
        ASSERT_EQ(r.status, 0) << Describe(r);
        EXPECT_EQ(r.out, "File:     " + path + "\nFormat:   " + row.format +
                             "\nChannels: 2\nRate:     44100 Hz\nLength:   " + length + "\n");
    }

    Result r = RunPlayer({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "nuvex-play " NUVEX_VERSION " (nuvex library 1.2)\n");
    // The test environment's only device is OpenAL Soft's null output.
    r = RunPlayer({"--list-devices"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "No Output  (default)\n");
}

TEST(Player, OptionErrorsExitWithStatus2AndOneClearLine)
{
    const std::string wav = Demo + "/demo.wav";
    struct Row {
        std::vector<std::string> args;
        const char *message;
    } rows[] = {
        {{}, "no file to play"},
        {{"--bogus", wav}, "unknown option '--bogus'"},
        {{"--loop", "x", wav}, "--loop needs a whole number, -1 or more, not 'x'"},
        {{"--loop", "-2", wav}, "--loop needs a whole number, -1 or more, not '-2'"},
        {{"--buffers", "1", wav}, "--buffers needs a number from 2 to 64, not '1'"},
        {{"--chunk-ms=0", wav}, "--chunk-ms needs a number of milliseconds"},
        {{"--gain", "-1", wav}, "--gain needs a number from 0 to 100, not '-1'"},
        {{"--order", "1.5", wav}, "--order needs a whole number, 0 or more, not '1.5'"},
        {{"--render", "x.wav", "--rate", "10", wav}, "--rate needs a rate in Hz"},
        {{wav, "--device"}, "option --device needs a value"},
        {{"--load=yes", wav}, "option --load takes no value"},
        {{"--float", wav}, "--float only applies with --render"},
        {{"--render", "x.wav", "--loop", "-1", wav}, "--loop -1 never ends"},
        {{"--load", "--order", "1", wav}, "--order works on streamed modules; drop --load"},
        {{"--info", "--render", "x.wav", wav}, "--render and --info cannot be combined"},
    };
    for (const Row &row : rows) {
        Result r = RunPlayer(row.args);
        EXPECT_EQ(r.status, 2) << Describe(r);
        EXPECT_EQ(r.err.find(std::string("nuvex-play: ") + row.message), 0u) << Describe(r);
        EXPECT_EQ(r.err.find(" (see nuvex-play --help)\n"), r.err.size() - 25) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST(Player, BadFilesFailWithTheLibraryMessageAndAHintButTheRestStillPlays)
{
    const std::string junk = TempDir() + "/junk.wav", truncated = TempDir() + "/truncated.wav";
    std::ofstream(junk, std::ios::binary) << std::string(3000, '\x5a');
    std::vector<uint8_t> head = ReadAll(Demo + "/demo.wav");
    // The "fmt " chunk cut short, no "data".
    std::ofstream(truncated, std::ios::binary).write(reinterpret_cast<const char *>(head.data()), 30);
    struct Row {
        std::vector<std::string> args;
        const char *line;
    } rows[] = {
        {{TempDir() + "/missing.ogg"},
         ": cannot be played (Failed to open file): check the path and that the file is "
         "readable\n"},
        {{junk}, ": cannot be played (Unsupported type): nuvex-play reads WAV, AIFF"},
        {{truncated}, ": cannot be played (Unsupported type)"},
        {{"--order", "2", Demo + "/demo.wav"},
         ": cannot start at order 2 (Invalid order for stream): --order applies to tracker "
         "modules only\n"},
    };
    for (const Row &row : rows) {
        const std::vector<std::vector<std::string>> modes = {
            {"--info"}, {"--render", TempDir() + "/partial.wav"}, {}};
        for (std::vector<std::string> args : modes) {
            args.insert(args.end(), row.args.begin(), row.args.end());
            Result r = RunPlayer(args);
            EXPECT_EQ(r.status, 1) << Describe(r);
            EXPECT_EQ(r.err.find("nuvex-play: " + row.args.back() + row.line), 0u) << Describe(r);
        }
    }

    // A device that cannot be opened: the message says what else to try.
    Result device = RunPlayer({"--device", "nonexistent", Demo + "/chime.wav"});
    EXPECT_EQ(device.status, 1);
    EXPECT_EQ(device.err.find("nuvex-play: device 'nonexistent': cannot be opened (Device open "
                              "failed): no usable output device: choose one with --device NAME "
                              "(see --list-devices), or use --render OUT.wav"),
              0u)
        << device.err;

    // A bad file among good ones: reported, skipped, and the status says so.
    const std::string out = TempDir() + "/mixed.wav";
    Result r = RunPlayer({"--quiet", "--render", out, junk, Demo + "/demo.mod"});
    EXPECT_EQ(r.status, 1) << Describe(r);
    EXPECT_EQ(CompareLoops(Samples16(ParseWav(out).data, false), Reference("demo.mod"), 1, true),
              "");
}

TEST(Player, ModuleOrderStartsLaterInTheSong)
{
    // The demo module has two patterns; order 1 is its second half.
    const std::vector<int16_t> second = Reference("demo.mod", 1);
    ASSERT_LT(second.size(), Reference("demo.mod").size() * 2 / 3);
    // A loop starts again from the chosen order.
    const std::string out = TempDir() + "/order.wav";
    Result r = RunPlayer({"--quiet", "--order", "1", "--loop", "1", "--render", out,
                          Demo + "/demo.mod"});
    ASSERT_EQ(r.status, 0) << Describe(r);
    EXPECT_EQ(CompareLoops(Samples16(ParseWav(out).data, false), second, 2, true), "");
}

// On a terminal: one line, rewritten in place, that ends on the file's full
// length and the last loop.
TEST(Player, ShowsAOneLineProgressDisplayOnATerminal)
{
    for (const char *mode : {"--render", "--play"}) {
        const bool render = mode == std::string("--render");
        std::vector<std::string> all = {Player, "--loop", "1", mode, TempDir() + "/tty.wav",
                                        Demo + "/chime.wav"};
        if (!render)
            all.erase(all.begin() + 3, all.begin() + 5);
        std::vector<char *> argv = Ptrs(all);
        int master = -1;
        pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            execv(argv[0], argv.data());
            _exit(127);
        }
        std::string out;
        char buf[1024];
        ssize_t got;
        while ((got = read(master, buf, sizeof(buf))) > 0) // EIO once the child is gone
            out.append(buf, size_t(got));
        close(master);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
        const std::string last = "\rchime.wav  0:00.4 / 0:00.4  loop 2/2\033[K\r\n";
        ASSERT_GE(out.size(), last.size()) << out;
        EXPECT_EQ(out.find("\rchime.wav  0:00."), 0u) << mode << ": " << out;
        std::string ending = out.substr(out.find(last) == std::string::npos ? 0 : out.find(last));
        EXPECT_EQ(ending.substr(0, last.size()), last) << mode << ": " << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), render ? 2 : 1)
            << mode << ": " << out;
    }
}


// Ctrl-C while playing, loaded whole or streamed, must stop with status 130
// and shut the device down (OpenAL Soft at warning level reports devices
// left open, so with `strict` stderr must stay empty apart from that check).
void InterruptPlayback(const std::vector<std::string> &env, const std::vector<std::string> &launcher,
                       std::chrono::seconds limit, bool strict)
{
    for (const char *mode : {"--load", "--buffers"}) {
        std::vector<std::string> args = {mode};
        if (std::string(mode) == "--buffers")
            args.push_back("3");
        args.insert(args.end(), {"--loop", "-1", Demo + "/demo.ogg"});
        Process p(args, env, launcher);
        ASSERT_TRUE(p.WaitForOutput("Playing demo.ogg", limit))
            << mode << " " << Describe(p.Finish(std::chrono::seconds(1)));
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        p.Signal(SIGINT);
        Result r = p.Finish(limit);
        EXPECT_EQ(r.status, 130) << mode << " " << Describe(r);
        if (strict)
            EXPECT_EQ(r.err, "") << mode;
        else
            EXPECT_EQ(r.err.find("not closed"), std::string::npos) << r.err;
    }
}

TEST(Player, SigintStopsCleanlyWithStatus130)
{
    const std::vector<std::string> env = {"ALSOFT_LOGLEVEL=2"};
    InterruptPlayback(env, {}, std::chrono::seconds(20), false);

    // A render is interrupted the same way and leaves a valid, shorter file.
    const std::string out = TempDir() + "/interrupted.wav";
    Process p({"--loop", "100000", "--render", out, Demo + "/demo.wav"}, env);
    ASSERT_TRUE(p.WaitForOutput("Rendering demo.wav", std::chrono::seconds(20)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    p.Signal(SIGINT);
    Result r = p.Finish(std::chrono::seconds(10));
    EXPECT_EQ(r.status, 130) << Describe(r);
    Wav wav = ParseWav(out);
    EXPECT_EQ(wav.channels, 2u);
    EXPECT_GT(wav.data.size(), 0u);
    EXPECT_EQ(wav.data.size() % 4, 0u);
}

// Under valgrind's leak checker: everything allocated is released on the way out.
TEST(Player, SigintLeavesNoLeaks)
{
#ifndef NUVEX_VALGRIND
    GTEST_SKIP() << "valgrind was not found when the tests were configured";
#else
    InterruptPlayback({}, {NUVEX_VALGRIND, "-q", "--leak-check=full",
                           "--errors-for-leak-kinds=definite,indirect", "--error-exitcode=99"},
                      std::chrono::seconds(60), true);
#endif
}

} // namespace
