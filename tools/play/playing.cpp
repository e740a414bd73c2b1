// Playing to a device: signals, keys on a terminal, and the play loop.
#include "play.h"
#include "player.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace nvplay {

volatile sig_atomic_t StopSignal = 0;

// The terminal's settings from before keys were read one at a time, put
// back on every way out: tcsetattr may be called from a signal handler, so
// even the second Ctrl-C's immediate end leaves the terminal as it was.
struct termios SavedTerminal;
volatile sig_atomic_t TerminalChanged = 0;

void RestoreTerminal()
{
    if (TerminalChanged) {
        tcsetattr(STDIN_FILENO, TCSANOW, &SavedTerminal);
        TerminalChanged = 0;
    }
}

void OnSignal(int sig)
{
    RestoreTerminal();
    StopSignal = sig;
    // A second Ctrl-C ends the process at once, should the clean stop hang.
    signal(sig, SIG_DFL);
}

void InstallSignalHandlers()
{
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// ---- Keys on a terminal ---------------------------------------------------------------

enum class Key { None, Back, Forward, Pause };

// The key typed at `at` and the bytes it takes; 0 bytes when what is there
// starts an escape sequence whose rest is still to come.
Key DecodeKey(const std::string &typed, size_t at, size_t &length)
{
    length = 1;
    if (typed[at] == ' ')
        return Key::Pause;
    if (typed[at] != '\033')
        return Key::None;
    length = 0;
    if (at + 1 >= typed.size())
        return Key::None;
    // Arrows: ESC [ C / ESC [ D (with modifiers, ESC [ 1 ; 5 C), or ESC O C /
    // ESC O D in application mode. Any other sequence is passed over whole,
    // so that none of its bytes reads as a key of its own; an ESC before
    // anything else is the Escape key.
    const char kind = typed[at + 1];
    if (kind != '[' && kind != 'O') {
        length = 1;
        return Key::None;
    }
    size_t final = at + 2;
    while (kind == '[' && final < typed.size() && typed[final] >= 0x20 && typed[final] <= 0x3F)
        final++;
    if (final >= typed.size())
        return Key::None;
    length = final + 1 - at;
    return typed[final] == 'C' ? Key::Forward : typed[final] == 'D' ? Key::Back : Key::None;
}

// Takes every whole key off the front of `typed`, in order; a cut escape
// sequence stays there for the next read to complete.
std::vector<Key> DecodeKeys(std::string &typed)
{
    std::vector<Key> keys;
    size_t used = 0, length = 0;
    while (used < typed.size()) {
        const Key key = DecodeKey(typed, used, length);
        if (length == 0)
            break;
        if (key != Key::None)
            keys.push_back(key);
        used += length;
    }
    typed.erase(0, used);
    // No sequence the player knows is this long: what waits is noise.
    if (typed.size() > 16)
        typed.clear();
    return keys;
}

// While streamed files play from a terminal: the arrow keys seek, the space
// bar pauses. Keys are read as typed, without echo; Ctrl-C still interrupts.
class Keys {
public:
    explicit Keys(bool wanted)
    {
        if (!wanted || !isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &SavedTerminal) != 0)
            return;
        struct termios typed = SavedTerminal;
        typed.c_lflag &= ~tcflag_t(ICANON | ECHO);
        typed.c_cc[VMIN] = 0;
        typed.c_cc[VTIME] = 0;
        if (tcsetattr(STDIN_FILENO, TCSANOW, &typed) == 0)
            TerminalChanged = 1;
    }
    ~Keys() { RestoreTerminal(); }
    Keys(const Keys &) = delete;
    Keys &operator=(const Keys &) = delete;

    // The keys typed within `ms` milliseconds, in order. A held arrow key
    // repeats faster than the player reads, so one read may hold several
    // keys, the last of them cut short.
    std::vector<Key> Wait(int ms)
    {
        if (!TerminalChanged) {
            nuvexSleep(float(ms) / 1000.0f);
            return {};
        }
        pollfd in = {STDIN_FILENO, POLLIN, 0};
        char typed[8];
        if (poll(&in, 1, ms) <= 0)
            return {};
        const ssize_t got = read(STDIN_FILENO, typed, sizeof typed);
        if (got > 0)
            unread_.append(typed, size_t(got));
        return DecodeKeys(unread_);
    }

private:
    std::string unread_;
};

std::string BaseName(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A seek is no new pass, even one back. The position is taken on both sides
// of it: a restart just before the seek still counts (and bounds the seek to
// the new pass), and the next step back is measured from where the seek
// landed (IMA ADPCM lands on its block's start, a little before the frame
// asked for).
void Seek(Player &player, Progress &progress, double seconds)
{
    progress.Follow(player.Heard());
    if (player.SeekBy(seconds, progress.Pass()))
        progress.Sought(player.Heard());
}

int Play(const Options &opt)
{
    if (!nuvexInitDevice(opt.haveDevice ? opt.device.c_str() : nullptr, nullptr)) {
        ReportError(opt.haveDevice ? "device '" + opt.device + "'" : std::string("default device"),
                    "cannot be opened");
        return ExitFailed;
    }
    // Refill well within one chunk, however short the chunks are.
    double interval = double(opt.chunkMs) / 4000.0;
    interval = interval < 0.005 ? 0.005 : interval > 0.05 ? 0.05 : interval;
    int status = ExitOk;
    if (!nuvexUpdateInterval(ALfloat(interval))) {
        ReportError("update thread", "cannot be started");
        status = ExitFailed;
        interval = 0.0;
    }
    // Whole buffers have no position to seek to, and their progress follows
    // the clock, which a pause would not stop: keys are for streams.
    Keys keys(!opt.load);
    for (const std::string &path : opt.files) {
        if (StopSignal || !interval)
            break;
        SoundInfo info;
        if (!Probe(path, opt, info)) {
            status = ExitFailed;
            continue;
        }
        Player player(opt);
        if (!player.Start(path)) {
            status = ExitFailed;
            continue;
        }
        Progress progress(opt, BaseName(path), info);
        progress.Start("Playing");
        auto start = std::chrono::steady_clock::now();
        while (!player.Ended() && !StopSignal) {
            std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            progress.Show(elapsed.count(), player.Heard());
            player.TopUp();
            for (Key key : keys.Wait(progress.PollMs())) {
                switch (key) {
                case Key::Back: Seek(player, progress, -5.0); break;
                case Key::Forward: Seek(player, progress, 5.0); break;
                case Key::Pause: player.TogglePause(); break;
                case Key::None: break;
                }
            }
        }
        player.Stop();
        if (!StopSignal) {
            std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            progress.ShowEnd(elapsed.count());
        }
        progress.Finish();
    }
    // Sources are stopped and streams destroyed by now; the thread and the
    // device go last.
    nuvexUpdateInterval(0.0f);
    nuvexShutdownDevice();
    return StopSignal ? ExitInterrupted : status;
}

} // namespace nvplay
