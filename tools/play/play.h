// nuvex-play's parts, by concern: options (options.cpp), describing a file
// (probe.cpp), playing (playing.cpp, with the player in player.h) and
// rendering (render.cpp). The program uses nothing but the public header and
// plain OpenAL, so it doubles as a worked example of the library.
#pragma once

#include "loopback.h"
#include "nuvex.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#ifndef NUVEX_PLAY_VERSION
#define NUVEX_PLAY_VERSION "unknown"
#endif

namespace nvplay {

const char *const Prog = "nuvex-play";

// Exit statuses: a usage error is told apart from a file that failed.
enum { ExitOk = 0, ExitFailed = 1, ExitUsage = 2, ExitInterrupted = 130 };

// Set by Ctrl-C (SIGINT) or SIGTERM; every loop ends when it is.
extern volatile sig_atomic_t StopSignal;
void InstallSignalHandlers();

struct Options {
    std::string device;
    bool haveDevice = false;
    bool load = false;
    long loops = 0;
    bool noLoopPoints = false; // loop whole files, whatever loop they name
    long order = -1; // -1: not given
    double start = -1.0; // seconds; -1: not given
    std::string startText;
    long chunkMs = 250;
    long buffers = 4;
    double gain = 1.0;
    bool listDevices = false;
    bool info = false;
    bool version = false;
    bool help = false;
    std::string render;
    bool floatOut = false;
    long rate = 0; // 0: the first sound's own rate
    std::string soundfont;
    bool quiet = false;
    std::vector<std::string> files;
};

// False, with a message, for a bad command line.
bool ParseOptions(int argc, char **argv, Options &opt);
void PrintUsage(FILE *out);

// "nuvex-play: SUBJECT: WHAT (the library's message): a hint", on stderr.
void ReportError(const std::string &subject, const std::string &what);

struct SoundInfo {
    std::string container; // "WAV", "AIFF", ...
    std::string encoding;  // "16-bit integer PCM", ...
    int channels = 0;
    int rate = 0;
    uint64_t frames = 0; // 0: unknown
    std::string title, artist; // UTF-8, made safe to print; empty: none
    // The stretch that repeats (`loopEnd`: the first frame after it, 0 for
    // the end); both 0 when the whole sound repeats.
    uint64_t loopStart = 0, loopEnd = 0;
    bool HasLoopPoints() const { return loopStart != 0 || loopEnd != 0; }
};

// Opens the file as the library would and describes it; false, reported,
// when it cannot be played.
bool Probe(const std::string &path, const Options &opt, SoundInfo &info);
std::string Clock(double seconds); // m:ss.t
// "frames 44100 to 88200, 1.000 s to 2.000 s": the loop, for people.
std::string LoopRange(const SoundInfo &info);
std::string BaseName(const std::string &path);
uint64_t FramesOfBuffer(ALuint buffer);

bool OpenLoopback(nvmedia::Loopback &loopback);
bool ConfigureLoopback(nvmedia::Loopback &loopback, int channels, int rate);

// The jobs, each returning the exit status.
int ListDevices();
int ShowInfo(const Options &opt);
int Render(const Options &opt);
int Play(const Options &opt);

} // namespace nvplay
