// nuvex-play: plays sound files through nuvex, renders them to a WAV file
// without a sound card, or describes them. Its parts are in tools/play.
#include "play.h"

#include <cstdlib>
#include <new>

using namespace nvplay;

int main(int argc, char **argv)
{
    Options opt;
    if (!ParseOptions(argc, argv, opt))
        return ExitUsage;
    if (opt.help) {
        PrintUsage(stdout);
        return ExitOk;
    }
    if (opt.version) {
        ALuint major = 0, minor = 0;
        nuvexGetVersion(&major, &minor);
        printf("nuvex-play %s (nuvex library %u.%u)\n", NUVEX_PLAY_VERSION, major, minor);
        return ExitOk;
    }
    if (opt.listDevices)
        return ListDevices();
    // The library's default SoundFont, so that whole loads, probes and
    // streams of MIDI files all use it.
    if (!opt.soundfont.empty())
        setenv("NUVEX_SOUNDFONT", opt.soundfont.c_str(), 1);
    InstallSignalHandlers();
    int status;
    try {
        if (opt.info)
            status = ShowInfo(opt);
        else if (!opt.render.empty())
            status = Render(opt);
        else
            status = Play(opt);
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "%s: out of memory\n", Prog);
        return ExitFailed;
    }
    if (StopSignal == SIGTERM)
        return 128 + SIGTERM;
    return status;
}
