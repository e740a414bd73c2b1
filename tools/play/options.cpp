// The command line: options, their values and what may not be combined.
#include "play.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace nvplay {

void PrintUsage(FILE *out)
{
    fprintf(out,
            "Usage: %s [options] FILE...\n"
            "Plays sound files one after another: WAV (also RF64 and Wave64), AIFF and\n"
            "AIFF-C, Sun AU, CAF, FLAC, Ogg Vorbis, Ogg Opus, MP3, tracker modules (MOD,\n"
            "S3M, XM, IT...) and MIDI files (with FluidSynth and a SoundFont).\n"
            "\n"
            "  --device NAME     play through this output device (see --list-devices)\n"
            "  --load            decode each file into one buffer instead of streaming it\n"
            "  --loop N          play each file N more times (-1: until interrupted); a file\n"
            "                    that names loop points plays its intro once, the loop\n"
            "                    N more times, then its end\n"
            "  --no-loop-points  ignore the loop points files name: loop them whole\n"
            "  --order N         start tracker modules at pattern order N\n"
            "  --soundfont FILE  play MIDI files with this SoundFont (else NUVEX_SOUNDFONT,\n"
            "                    else FluidSynth's default)\n"
            "  --start TIME      start each streamed file TIME in: seconds (90, 1.5)\n"
            "                    or minutes and seconds (1:30)\n"
            "  --chunk-ms MS     length of each streaming buffer in milliseconds (250)\n"
            "  --buffers N       number of streaming buffers, 2 or more (4)\n"
            "  --gain G          playback gain, 0 or more (1.0)\n"
            "  --render OUT.wav  no sound card needed: render what a listener would hear\n"
            "                    into a WAV file, as fast as the machine goes\n"
            "  --float           with --render: write 32-bit float samples (else 16-bit)\n"
            "  --rate HZ         with --render: output rate (the first file's own rate)\n"
            "  --info            print format, channels, rate, length, title, artist and\n"
            "                    loop points; play nothing\n"
            "  --list-devices    print the output devices OpenAL offers\n"
            "  --quiet           print nothing but errors\n"
            "  --version         print the version\n"
            "  --help            print this help\n"
            "\n"
            "Keys, while streamed files play from a terminal: left and right arrows seek\n"
            "5 s back and on, the space bar pauses and resumes.\n"
            "Exit status: 0 success, 1 a file or the device failed, 2 bad usage,\n"
            "130 interrupted by Ctrl-C.\n",
            Prog);
}

bool UsageError(const std::string &what)
{
    fprintf(stderr, "%s: %s (see %s --help)\n", Prog, what.c_str(), Prog);
    return false;
}

bool ParseLong(const std::string &text, long min, long max, long &out)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    long value = strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max)
        return false;
    out = value;
    return true;
}

bool ParseDouble(const std::string &text, double min, double max, double &out)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    double value = strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < min || value > max)
        return false;
    out = value;
    return true;
}

// Seconds ("90", "1.5") or minutes and seconds ("1:30", "1:02.5").
bool ParseTime(const std::string &text, double &seconds)
{
    const size_t colon = text.find(':');
    if (colon == std::string::npos)
        return ParseDouble(text, 0.0, 1e9, seconds);
    long minutes = 0;
    double rest = 0.0;
    const std::string secondsPart = text.substr(colon + 1);
    if (!ParseLong(text.substr(0, colon), 0, 10000000, minutes) || secondsPart.empty() ||
        !isdigit((unsigned char)secondsPart[0]) || !ParseDouble(secondsPart, 0.0, 59.999999, rest))
        return false;
    seconds = double(minutes) * 60.0 + rest;
    return true;
}

bool ParseOptions(int argc, char **argv, Options &opt)
{
    bool optionsEnded = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            opt.files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string value;
        bool inlineValue = false;
        size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inlineValue = true;
        }
        // Options without a value.
        struct Flag {
            const char *name;
            bool Options::*member;
        };
        static const Flag flags[] = {
            {"--load", &Options::load},       {"--list-devices", &Options::listDevices},
            {"--info", &Options::info},       {"--version", &Options::version},
            {"--float", &Options::floatOut},  {"--quiet", &Options::quiet},
            {"--help", &Options::help},       {"--no-loop-points", &Options::noLoopPoints},
        };
        bool matched = false;
        for (const Flag &flag : flags) {
            if (arg == flag.name) {
                if (inlineValue)
                    return UsageError("option " + arg + " takes no value");
                opt.*flag.member = true;
                matched = true;
            }
        }
        if (arg == "-q") {
            opt.quiet = matched = true;
        } else if (arg == "-h") {
            opt.help = matched = true;
        }
        if (matched)
            continue;

        static const char *const withValue[] = {"--device", "--loop",  "--order",  "--chunk-ms",
                                                "--buffers", "--gain", "--render", "--rate",
                                                "--soundfont", "--start"};
        bool known = false;
        for (const char *name : withValue)
            known = known || arg == name;
        if (!known)
            return UsageError("unknown option '" + arg + "'");
        if (!inlineValue) {
            if (i + 1 >= argc)
                return UsageError("option " + arg + " needs a value");
            value = argv[++i];
        }

        if (arg == "--device") {
            opt.device = value;
            opt.haveDevice = true;
        } else if (arg == "--render") {
            if (value.empty())
                return UsageError("--render needs an output file name");
            opt.render = value;
        } else if (arg == "--loop") {
            if (!ParseLong(value, -1, INT_MAX - 1, opt.loops))
                return UsageError("--loop needs a whole number, -1 or more, not '" + value + "'");
        } else if (arg == "--order") {
            if (!ParseLong(value, 0, INT_MAX, opt.order))
                return UsageError("--order needs a whole number, 0 or more, not '" + value + "'");
        } else if (arg == "--chunk-ms") {
            if (!ParseLong(value, 1, 60000, opt.chunkMs))
                return UsageError("--chunk-ms needs a number of milliseconds from 1 to 60000, "
                                  "not '" + value + "'");
        } else if (arg == "--buffers") {
            if (!ParseLong(value, 2, 64, opt.buffers))
                return UsageError("--buffers needs a number from 2 to 64, not '" + value + "'");
        } else if (arg == "--gain") {
            if (!ParseDouble(value, 0.0, 100.0, opt.gain))
                return UsageError("--gain needs a number from 0 to 100, not '" + value + "'");
        } else if (arg == "--soundfont") {
            if (value.empty())
                return UsageError("--soundfont needs a file name");
            opt.soundfont = value;
        } else if (arg == "--start") {
            if (!ParseTime(value, opt.start))
                return UsageError("--start needs a time in seconds or m:ss, not '" + value + "'");
            opt.startText = value;
        } else if (arg == "--rate") {
            if (!ParseLong(value, 8000, 192000, opt.rate))
                return UsageError("--rate needs a rate in Hz from 8000 to 192000, not '" + value +
                                  "'");
        }
    }

    if (opt.help || opt.version || opt.listDevices)
        return true;
    if (opt.files.empty())
        return UsageError("no file to play");
    if (!opt.render.empty() && opt.info)
        return UsageError("--render and --info cannot be combined");
    if (!opt.render.empty() && opt.loops < 0)
        return UsageError("--loop -1 never ends, so it cannot be rendered to a file");
    if (!opt.render.empty() && opt.haveDevice)
        return UsageError("--render does not use a device; drop --device");
    if (opt.render.empty() && (opt.floatOut || opt.rate))
        return UsageError(std::string(opt.floatOut ? "--float" : "--rate") +
                          " only applies with --render");
    if (opt.load && opt.order >= 0)
        return UsageError("--order works on streamed modules; drop --load");
    if (opt.load && opt.start >= 0)
        return UsageError("--start works on streamed files; drop --load");
    return true;
}

} // namespace nvplay
