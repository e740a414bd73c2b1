// nuvex-play as users run it: real processes on the generated demo media,
// one table of command lines and what each must come to (exit status,
// message, and the rendered WAV compared with an independent decode of the
// source: the file's own samples, libvorbisfile, libmodplug).
#include "nvtest.h"

#ifdef NUVEX_MEDIA_SNDFILE
#include "sfmedia.h"
#endif

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <tuple>

using namespace nvt;

namespace {

const std::string Demo = NUVEX_DEMO_DIR;

Bytes ReadAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// A rendered WAV: format tag, channels, rate and bits, and the data chunk.
struct Wav {
    std::vector<unsigned> format;
    Bytes data;
};
Wav ParseWav(const std::string &path)
{
    Bytes f = ReadAll(path);
    Wav wav;
    auto le = [&](size_t at, int n) { return unsigned(f[at] | f[at + 1] << 8 | (n == 4 ? f[at + 2] << 16 | f[at + 3] << 24 : 0)); };
    for (size_t pos = 12; pos + 8 <= f.size(); pos += 8 + le(pos + 4, 4)) {
        if (!memcmp(&f[pos], "fmt ", 4))
            wav.format = {le(pos + 8, 2), le(pos + 10, 2), le(pos + 12, 4), le(pos + 22, 2)};
        else if (!memcmp(&f[pos], "data", 4))
            wav.data.assign(f.begin() + long(pos) + 8, f.begin() + long(pos + 8 + le(pos + 4, 4)));
    }
    return wav;
}
std::vector<int16_t> Samples(const Bytes &data)
{
    std::vector<int16_t> out(data.size() / 2);
    memcpy(out.data(), data.data(), out.size() * 2);
    return out;
}

// Each demo decoded without the library; a module one frame per read, so
// that its own end shows (libmodplug pads every request with silence).
const std::vector<int16_t> &Reference(const std::string &name, int order = -1)
{
    static std::map<std::string, std::vector<int16_t>> decoded;
    std::vector<int16_t> &out = decoded[name + std::to_string(order)];
    Bytes image = ReadAll(Demo + "/" + name);
    if (!out.empty())
        return out;
    if (name == "demo.ogg")
        out = VorbisDecode(image);
    else if (name == "demo.mod")
        out = ModPlugRender(image, 4, order);
    else // the demo's AIFF holds the WAV's samples
        out = Samples(ParseWav(Demo + "/" + (name == "demo.aiff" ? "demo.wav" : name)).data);
    return out;
}

// "" when `got` is `times` plays of `want`, each of which may end in a short
// silent tail (modules are padded to the chunk they end in).
std::string Loops(const std::vector<int16_t> &got, const std::vector<int16_t> &want, int times, bool tail)
{
    const size_t play = got.size() / size_t(times);
    if (got.size() % size_t(times) || play < want.size() || play > want.size() + (tail ? 88200 : 0))
        return std::to_string(got.size()) + " samples are not " + std::to_string(times) + " plays of " +
               std::to_string(want.size());
    for (size_t i = 0; i < got.size(); i++)
        if (got[i] != (i % play < want.size() ? want[i % play] : 0))
            return "first difference at sample " + std::to_string(i);
    return "";
}

// 8 s of a ramp that name a loop from about 1 s to 7 s, off any chunk
// boundary, a title (in Latin-1, with the escape sequences of 7 and 8 bits
// that a terminal would obey) and an artist.
const std::string &LoopedWav()
{
    static const std::string path = TempFile(
        "looped.wav", nvmedia::WriteRiff({{"fmt ", nvmedia::FmtBody(1, 2, 44100, 4, 16)}, {"data", nvmedia::LE16Bytes(Ramp(352800))},
                                          nvmedia::Smpl({{0, 44123, 308676}}),
                                          nvmedia::InfoList({{"INAM", "Caf\xe9 \x1b[2J\x9bTheme"}, {"IART", "N. Composer"}})}));
    return path;
}

struct Result {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
};

// The player as a child process through the shell: `prefix` goes in front
// (environment settings, a launcher such as valgrind); stderr goes to a
// file. With `interruptOn`, it gets SIGINT once that text has appeared.
Result Play(const std::vector<std::string> &args, const std::string &prefix = "", const std::string &interruptOn = "")
{
    std::string command = prefix + " '" NUVEX_PLAY "'", err = TempFile("stderr", {});
    for (const std::string &a : args)
        command += " '" + a + "'";
    command += " 2>'" + err + "'";
    if (!interruptOn.empty()) // the pid first, the player's status last
        command = "sh -c \"" + command + " & echo \\$!; wait \\$!\"";
    Result r;
    FILE *pipe = popen(command.c_str(), "r");
    char buf[4096];
    long pid = interruptOn.empty() ? 0 : (fscanf(pipe, "%ld\n", &pid), pid);
    for (size_t got; (got = fread(buf, 1, pid ? 1 : sizeof buf, pipe)) > 0;) {
        r.out.append(buf, got);
        if (pid && r.out.find(interruptOn) != std::string::npos) {
            usleep(400000); // well into the sound
            kill(pid_t(std::exchange(pid, 0)), SIGINT);
        }
    }
    int status = pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    Bytes e = ReadAll(err);
    r.err.assign(e.begin(), e.end());
    return r;
}
std::string Show(const Result &r) { return "status " + std::to_string(r.status) + "\n" + r.out + r.err; }

TEST(Player, RendersWhatTheSourceHolds)
{
    const std::string out = TempFile("render.wav", {});
    // Whole and streamed with small chunks and the smallest ring, so that
    // the refill path runs hundreds of times; each played twice.
    for (const char *name : {"demo.wav", "demo.aiff", "demo.ogg", "demo.mod"})
        for (std::vector<std::string> mode : {std::vector<std::string>{"--load"}, {"--chunk-ms", "20", "--buffers", "2"}}) {
            SCOPED_TRACE(std::string(name) + " " + mode[0]);
            mode.insert(mode.end(), {"--quiet", "--loop", "1", "--render", out, Demo + "/" + name});
            Result r = Play(mode);
            ASSERT_EQ(r.status, 0) << Show(r);
            EXPECT_EQ(r.out, "") << "--quiet prints nothing";
            Wav wav = ParseWav(out);
            EXPECT_EQ(wav.format, (std::vector<unsigned>{1, 2, 44100, 16}));
            EXPECT_EQ(Loops(Samples(wav.data), Reference(name), 2, name == std::string("demo.mod")), "");
        }
    const std::vector<int16_t> wav = Reference("demo.wav"), mod = Reference("demo.mod");
    // Float output holds each sample / 32768 times the gain, exactly.
    Result r = Play({"--quiet", "--float", "--gain", "0.5", "--render", out, Demo + "/demo.wav"});
    ASSERT_EQ(r.status, 0) << Show(r);
    Wav f = ParseWav(out);
    EXPECT_EQ(f.format, (std::vector<unsigned>{3, 2, 44100, 32}));
    Floats half(wav.size());
    for (size_t i = 0; i < wav.size(); i++)
        half[i] = float(wav[i]) * 0.5f / 32768.0f;
    EXPECT_EQ(f.data, Bytes(reinterpret_cast<uint8_t *>(half.data()), reinterpret_cast<uint8_t *>(half.data() + half.size())));
    // Many repeats of a whole buffer follow each other without a gap.
    r = Play({"--quiet", "--load", "--loop", "99", "--render", out, Demo + "/chime.wav"});
    EXPECT_EQ(Loops(Samples(ParseWav(out).data), Reference("chime.wav"), 100, false), "") << Show(r);
    // Another rate resamples: the length scales with it.
    r = Play({"--quiet", "--rate", "22050", "--render", out, Demo + "/demo.wav"});
    EXPECT_EQ(ParseWav(out).format[2], 22050u) << Show(r);
    EXPECT_NEAR(double(ParseWav(out).data.size()) / 4, double(wav.size()) / 4, 64.0);
    // A module from a later order, looped from there.
    r = Play({"--quiet", "--order", "1", "--loop", "1", "--render", out, Demo + "/demo.mod"});
    EXPECT_EQ(Loops(Samples(ParseWav(out).data), Reference("demo.mod", 1), 2, true), "") << Show(r);
    // --start: the tail of the whole render from that frame (rounded down;
    // for IMA ADPCM from its block's start), up to a module's own end.
    const std::string ima = TempFile("ima.wav", nvmedia::WriteRiff({{"fmt ", nvmedia::FmtBody(0x11, 2, 44100, 72, 4, 2, {65, 0})},
                                                                    {"data", nvmedia::ImaEncode(Ramp(65 * 1000), 2)}}));
    const struct {
        std::string file;
        const char *start;
        size_t from;
    } starts[] = {{Demo + "/demo.wav", "0:02.5", 110250}, {Demo + "/demo.ogg", "0.77", 33957},
                  {Demo + "/demo.mod", "2", 88200}, {ima, "0:01", 678 * 65}};
    for (const auto &start : starts) {
        SCOPED_TRACE(start.start);
        ASSERT_EQ(Play({"--quiet", "--render", out, start.file}).status, 0);
        const std::vector<int16_t> whole = Samples(ParseWav(out).data);
        r = Play({"--quiet", "--start", start.start, "--render", out, start.file});
        ASSERT_EQ(r.status, 0) << Show(r);
        const std::vector<int16_t> tail = Samples(ParseWav(out).data);
        const size_t compared = (start.file == Demo + "/demo.mod" ? mod.size() : whole.size()) - start.from * 2;
        ASSERT_GE(tail.size(), compared);
        EXPECT_TRUE(std::equal(tail.begin(), tail.begin() + long(compared), whole.begin() + long(start.from * 2)));
    }
    // Files that name a loop: the intro, the loop three times and the end,
    // streamed (joins inside chunks) or whole; without their loop points,
    // the whole file three times. The short loop's passes fit within one
    // render step; a render that never ends meets the file size limit.
    const std::string shortLoop = TempFile("short-loop.wav", nvmedia::WriteRiff({{"fmt ", nvmedia::FmtBody(1, 2, 44100, 4, 16)},
                                                                                 {"data", nvmedia::LE16Bytes(Ramp(3000))}, nvmedia::Smpl({{0, 1000, 2299}})}));
    for (const auto &[file, frames, start, end] : {std::make_tuple(LoopedWav(), 352800, 44123, 308677), std::make_tuple(shortLoop, 3000, 1000, 2300)}) {
        const std::vector<int16_t> ramp = Ramp(size_t(frames));
        std::vector<int16_t> looped;
        for (size_t frame : LoopedFrames(size_t(frames), size_t(start), size_t(end), 2))
            looped.insert(looped.end(), {ramp[2 * frame], ramp[2 * frame + 1]});
        for (const char *mode : {"--buffers=2", "--load"}) {
            SCOPED_TRACE(file + " " + mode);
            r = Play({mode, "--loop", "2", "--render", out, file}, "ulimit -f 20000;");
            EXPECT_EQ(Samples(ParseWav(out).data), looped) << Show(r);
            if (file == LoopedWav()) {
                EXPECT_EQ(r.out.find("Rendering looped.wav (0:08.0, 2 ch, 44100 Hz, 0:01.0 to 0:07.0 played 3 times)\n"), 0u) << r.out;
            }
            r = Play({"--quiet", mode, "--loop", "2", "--no-loop-points", "--render", out, file});
            EXPECT_EQ(Loops(Samples(ParseWav(out).data), ramp, 3, false), "") << Show(r);
        }
    }
    // Two files follow each other in one file; the summary says what was written.
    r = Play({"--render", out, Demo + "/demo.wav", Demo + "/demo.mod"});
    ASSERT_EQ(r.status, 0) << Show(r);
    std::vector<int16_t> both = wav, padded = mod;
    padded.resize((mod.size() + 22049) / 22050 * 22050); // the default 250 ms chunks
    both.insert(both.end(), padded.begin(), padded.end());
    EXPECT_EQ(Samples(ParseWav(out).data), both);
    EXPECT_NE(r.out.find("Rendering demo.wav (0:06.3, 2 ch, 44100 Hz)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Wrote " + out + ": " + std::to_string(both.size() / 2) + " frames"), std::string::npos);
}

TEST(Player, EveryCommandLineEndsAsDocumented)
{
    const std::string wav = Demo + "/demo.wav", junk = TempFile("junk.wav", Bytes(3000, 0x5a));
    Bytes head = ReadAll(wav);
    head.resize(30); // the "fmt " chunk cut short, no "data"
    const std::string cut = TempFile("cut.wav", head);
    const std::string font = TempFile("player.sf2", nvmedia::WriteSoundFont()),
                      midi = TempFile("tune.mid", nvmedia::WriteMidi(1, 96, {nvmedia::MidiTrack({{0, {0x90, 69, 100}}}, false, 288)}));
    // --info's exact answer for a stereo sound.
    auto info = [](const std::string &path, const std::string &format, int rate, size_t frames) {
        char length[64];
        snprintf(length, sizeof length, "%zu frames, %.3f s", frames, double(frames) / rate);
        return "File:     " + path + "\nFormat:   " + format + "\nChannels: 2\nRate:     " + std::to_string(rate) +
               " Hz\nLength:   " + length + "\n";
    };
    const std::string named = "\nTitle:    Caf\xc3\xa9 \xef\xbf\xbd[2J\xef\xbf\xbdTheme\nArtist:   N. Composer\n" +
                              info("", "WAV, 16-bit integer PCM", 44100, 352800).substr(strlen("File:     \n"));
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string out, err; // exact stdout; stderr's beginning
    };
    std::vector<Row> rows = {
        {{"--info", wav}, 0, info(wav, "WAV, 16-bit integer PCM", 44100, Reference("demo.wav").size() / 2), ""},
        {{"--version"}, 0, "nuvex-play " NUVEX_VERSION " (nuvex library 1.5)\n", ""},
        {{"--list-devices"}, 0, "No Output  (default)\n", ""}, // the test environment's only one
        {{}, 2, "", "nuvex-play: no file to play (see nuvex-play --help)\n"},
        {{"--bogus", wav}, 2, "", "nuvex-play: unknown option '--bogus' (see nuvex-play --help)\n"},
        {{"--loop", "-2", wav}, 2, "", "nuvex-play: --loop needs a whole number, -1 or more, not '-2'"},
        {{"--buffers", "1", wav}, 2, "", "nuvex-play: --buffers needs a number from 2 to 64, not '1'"},
        {{"--chunk-ms=0", wav}, 2, "", "nuvex-play: --chunk-ms needs a number of milliseconds"},
        {{"--gain", "-1", wav}, 2, "", "nuvex-play: --gain needs a number from 0 to 100, not '-1'"},
        {{"--order", "1.5", wav}, 2, "", "nuvex-play: --order needs a whole number, 0 or more, not '1.5'"},
        {{"--render", "x.wav", "--rate", "10", wav}, 2, "", "nuvex-play: --rate needs a rate in Hz"},
        {{wav, "--device"}, 2, "", "nuvex-play: option --device needs a value"},
        {{"--load=yes", wav}, 2, "", "nuvex-play: option --load takes no value"},
        {{"--float", wav}, 2, "", "nuvex-play: --float only applies with --render"},
        {{"--render", "x.wav", "--loop", "-1", wav}, 2, "", "nuvex-play: --loop -1 never ends"},
        {{"--load", "--order", "1", wav}, 2, "", "nuvex-play: --order works on streamed modules; drop --load"},
        {{"--info", "--render", "x.wav", wav}, 2, "", "nuvex-play: --render and --info cannot be combined"},
        {{"--info", "--soundfont", font, midi}, 0,
         info(midi, "Standard MIDI File, MIDI format 1, decoded to 16-bit integer PCM", 44100, 66150), ""},
        {{"--soundfont", "", midi}, 2, "", "nuvex-play: --soundfont needs a file name"},
        {{"--start", "1:60", wav}, 2, "", "nuvex-play: --start needs a time in seconds or m:ss, not '1:60'"},
        {{"--load", "--start", "1", wav}, 2, "", "nuvex-play: --start works on streamed files; drop --load"},
        {{"--start", "9:00", wav}, 1, "", "nuvex-play: " + wav + ": cannot start at 9:00 (Position past the end): the sound is shorter"},
        // Tags made safe to print; the loop in frames and seconds, unless dropped.
        {{"--info", LoopedWav()}, 0, "File:     " + LoopedWav() + named + "Loop:     frames 44123 to 308677, 1.001 s to 6.999 s\n", ""},
        {{"--info", "--no-loop-points", LoopedWav()}, 0, "File:     " + LoopedWav() + named, ""},
        {{"--device", "nonexistent", wav}, 1, "", "nuvex-play: device 'nonexistent': cannot be opened (Device "
                                                  "open failed): no usable output device: choose one"},
    };
#ifdef NUVEX_MEDIA_SNDFILE
    // The containers and codecs read through libsndfile and libmpg123.
    const auto tones = nvmedia::Tones32(48000, 48000, {440, 660}, 0.5);
    const std::string help = Play({"--help"}).out;
    for (auto f : std::vector<std::tuple<const char *, int, const char *>>{
             {"a.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, "FLAC, 24-bit FLAC, decoded to 32-bit float"},
             {"a.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_32, "WAV (extensible), 32-bit integer PCM, decoded to 32-bit float"},
             {"a.caf", SF_FORMAT_CAF | SF_FORMAT_ALAC_24, "CAF, 24-bit ALAC, decoded to 32-bit float"},
             {"a.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, "Ogg Opus, Opus, decoded to 16-bit integer PCM"},
             {"a.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, "MP3, MPEG Layer III, decoded to 16-bit integer PCM"}}) {
        const std::string path = TempFile(std::get<0>(f), nvmedia::WriteSoundFile(tones, 2, 48000, std::get<1>(f)));
        rows.push_back({{"--info", path}, 0, info(path, std::get<2>(f), 48000, 48000), ""});
        std::string container = std::get<2>(f); // --help names what can be read
        container.resize(std::min(container.find(','), container.find(" (")));
        EXPECT_NE(help.find(container), std::string::npos) << container;
    }
#endif
    for (const auto &row : rows) {
        Result r = Play(row.args);
        EXPECT_EQ(r.status, row.status) << Show(r);
        EXPECT_EQ(r.out, row.out);
        EXPECT_EQ(r.err.substr(0, row.err.size()), row.err);
        if (row.status == 2) {
            EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
        }
    }
    // Files that cannot be played, in every mode: the library's message and
    // a hint; among good files the rest still plays and the status says so.
    const std::pair<std::vector<std::string>, std::string> bad[] = {
        {{Demo + "/missing.ogg"}, ": cannot be played (Failed to open file): check the path"},
        {{junk}, ": cannot be played (Unsupported type): not a format or a variant that nuvex-play reads"},
        {{cut}, ": cannot be played (Unsupported type)"},
        {{"--order", "2", wav}, ": cannot start at order 2 (Invalid order for stream): --order applies to "
                                "tracker modules only\n"},
        {{"--soundfont", junk, midi}, ": cannot be played (No SoundFont available): MIDI needs a SoundFont"},
    };
    for (const auto &b : bad)
        for (std::vector<std::string> args : {std::vector<std::string>{"--info"}, {"--render", TempFile("p.wav", {})}, {}}) {
            args.insert(args.end(), b.first.begin(), b.first.end());
            Result r = Play(args);
            EXPECT_EQ(r.status, 1) << Show(r);
            EXPECT_EQ(r.err.find("nuvex-play: " + b.first.back() + b.second), 0u) << Show(r);
        }
    const std::string out = TempFile("mixed.wav", {});
    Result r = Play({"--quiet", "--render", out, junk, Demo + "/demo.mod"});
    EXPECT_EQ(r.status, 1) << Show(r);
    EXPECT_EQ(Loops(Samples(ParseWav(out).data), Reference("demo.mod"), 1, true), "");
}

// On a terminal (script(1) gives it one): one progress line rewritten in
// place; the right arrow seeks 5 s on, the space bar pauses and resumes,
// Ctrl-C stops; the terminal's settings are the same afterwards.
TEST(Player, OnATerminalShowsOneLineAndTakesKeys)
{
    const std::string demo = "'" + Demo + "/demo.wav'";
    const struct {
        std::string name, args, typed;
        int status;
        std::vector<std::string> seen, unseen;
        size_t longestStill; // the most repeats of one progress line, at least
    } rows[] = {
        {"chime.wav", "--loop 1 '" + Demo + "/chime.wav'", "", 0, {"\rchime.wav  0:00.4 / 0:00.4  loop 2/2\033[K\r\n"}, {}, 0},
        // Keys typed faster than they are read (an auto-repeat): two in one read, the
        // third cut after its first two bytes; every one seeks 5 s on.
        {"demo.wav", "--loop 1 " + demo, "printf '\\033[C\\033[C\\033['; sleep 0.3; printf C; sleep 0.3; printf '\\003'", 130,
         {"loop 2/2", "demo.wav  0:05."}, {}, 0},
        // A restart counts as a pass (here forced by a seek past the end); a seek back does not.
        {"demo.wav", "--loop 2 --start 2 " + demo, "printf '\\033[C'; sleep 0.5; printf '\\033[D'; sleep 0.3; printf '\\003'", 130,
         {"loop 2/3"}, {"loop 3/3"}, 0},
        // Within a loop: a seek on stops at its end, whose join begins the next
        // pass; a seek back there stops at its start.
        {"looped.wav", "--loop 1 --start 2 '" + LoopedWav() + "'", "printf '\\033[C'; sleep 0.5; printf '\\033[D'; sleep 0.3; printf '\\003'",
         130, {"loop 2/2"}, {"0:00."}, 0},
        {"demo.wav", "--start 4 " + demo, "printf ' '; sleep 1; printf ' '", 0, {"demo.wav  0:06.3"}, {}, 8},
        {"demo.wav", demo, "printf '\\003'", 130, {"demo.wav  0:00."}, {"demo.wav  0:02."}, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.args + " " + row.typed);
        const std::string inner = "trap '' INT; stty -g; '" NUVEX_PLAY "' " + row.args + "; echo status=$?; stty -g\n";
        const std::string command = "(sleep 0.6; " + (row.typed.empty() ? "true" : row.typed) +
                                    "; sleep 2) | script -qec 'sh " + TempFile("inner.sh", Bytes(inner.begin(), inner.end())) + "' /dev/null";
        std::string out;
        FILE *pipe = popen(command.c_str(), "r");
        char buf[1024];
        for (size_t got; (got = fread(buf, 1, sizeof buf, pipe)) > 0;)
            out.append(buf, got);
        pclose(pipe);
        std::vector<std::string> lines;
        for (size_t at = 0, end; at < out.size(); at = end + 1)
            lines.push_back(out.substr(at, (end = std::min(out.find_first_of("\r\n", at), out.size())) - at));
        lines.erase(std::remove(lines.begin(), lines.end(), ""), lines.end());
        ASSERT_GE(lines.size(), 4u) << out;
        EXPECT_EQ(lines.front(), lines.back()) << "the terminal was left changed";
        EXPECT_EQ(lines[lines.size() - 2], "status=" + std::to_string(row.status)) << out;
        EXPECT_EQ(lines[1].find(row.name + "  0:0"), 0u) << "the progress line comes first: " << out;
        for (const std::string &text : row.seen)
            EXPECT_NE(out.find(text), std::string::npos) << text << " in " << out;
        for (const std::string &text : row.unseen)
            EXPECT_EQ(out.find(text), std::string::npos) << text << " in " << out;
        size_t run = 1, longest = 1;
        for (size_t i = 2; i + 2 < lines.size(); i++)
            longest = std::max(longest, run = lines[i] == lines[i - 1] ? run + 1 : 1);
        EXPECT_GE(longest, row.longestStill);
    }
}

// Ctrl-C while playing (whole or streamed) or rendering stops with status
// 130 and shuts the device down; under valgrind, nothing is left allocated
// (its leak status would be 99).
TEST(Player, InterruptsStopCleanly)
{
    std::vector<std::string> launchers = {"ALSOFT_LOGLEVEL=2"};
#ifdef NUVEX_VALGRIND
    launchers.push_back("ALSOFT_LOGLEVEL=2 " NUVEX_VALGRIND
                        " -q --leak-check=full --errors-for-leak-kinds=definite,indirect --error-exitcode=99");
#endif
    const std::string out = TempFile("interrupted.wav", {}), ogg = Demo + "/demo.ogg";
    for (const std::string &launcher : launchers)
        for (const std::vector<std::string> &args : {std::vector<std::string>{"--load", "--loop", "-1", ogg},
                                                     {"--buffers", "3", "--loop", "-1", ogg},
                                                     {"--render", out, "--loop", "100000", Demo + "/demo.wav"}}) {
            Result r = Play(args, launcher, args[0] == "--render" ? "Rendering demo.wav" : "Playing demo.ogg");
            EXPECT_EQ(r.status, 130) << Show(r);
            EXPECT_EQ(r.err.find("not closed"), std::string::npos) << "a device left open: " << r.err;
        }
    Wav wav = ParseWav(out);
    EXPECT_GT(wav.data.size(), 0u);
    EXPECT_EQ(wav.data.size() % 4, 0u) << "a valid, shorter file";
}

} // namespace
