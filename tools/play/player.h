// One sound on one source, whole or streamed, and its progress line: shared
// by playing and rendering.
#pragma once

#include "play.h"

#include <AL/alext.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <vector>

namespace nvplay {

// ---- Playing one file ---------------------------------------------------------------------

inline void OnEndOfPlay(void *userdata, ALuint)
{
    static_cast<std::atomic<bool> *>(userdata)->store(true);
}

// Progress: one line rewritten in place on a terminal, plain lines elsewhere.
class Progress {
public:
    Progress(const Options &opt, const std::string &name, const SoundInfo &info)
        : opt_(opt), name_(name), info_(info), tty_(isatty(STDOUT_FILENO) != 0)
    {
        total_ = info.frames && info.rate ? double(info.frames) / info.rate : -1.0;
    }

    void Start(const char *verb)
    {
        if (opt_.quiet)
            return;
        if (!tty_) {
            printf("%s %s (%s, %d ch, %d Hz%s)\n", verb, name_.c_str(), Clock(total_).c_str(),
                   info_.channels, info_.rate, LoopText().c_str());
            fflush(stdout);
        }
    }

    // `heard`: the position the stream reports, when it is one; else it
    // follows from `elapsed`.
    void Show(double elapsed, double heard = -1.0)
    {
        if (opt_.quiet || !tty_)
            return;
        Follow(heard);
        int loop = heard >= 0 ? pass_ : 1;
        double position = heard >= 0 ? heard : elapsed;
        if (heard < 0 && total_ > 0) {
            loop = int(elapsed / total_) + 1;
            if (opt_.loops >= 0 && loop > opt_.loops + 1)
                loop = int(opt_.loops) + 1;
            position = elapsed - (loop - 1) * total_;
            if (position > total_)
                position = total_;
        }
        std::string loopText;
        if (opt_.loops < 0)
            loopText = "  loop " + std::to_string(loop) + "/endless";
        else if (opt_.loops > 0)
            loopText = "  loop " + std::to_string(loop) + "/" + std::to_string(opt_.loops + 1);
        printf("\r%s  %s / %s%s\033[K", name_.c_str(), Clock(position).c_str(),
               Clock(total_).c_str(), loopText.c_str());
        fflush(stdout);
        shown_ = true;
    }

    // A stream's pass that starts again shows as a step back of the position
    // it reports, which is then counted as the next pass.
    void Follow(double heard)
    {
        if (heard >= 0 && heard < lastHeard_ && (opt_.loops < 0 || pass_ <= opt_.loops))
            pass_++;
        lastHeard_ = heard;
    }

    // The player moved the position to `heard` itself: a step back from
    // there is a restart, the seek's own step back is not.
    void Sought(double heard) { lastHeard_ = heard; }

    void Finish()
    {
        if (shown_) {
            printf("\n");
            fflush(stdout);
        }
    }

private:
    std::string LoopText() const
    {
        if (opt_.loops < 0)
            return ", looped endlessly";
        if (opt_.loops > 0)
            return ", " + std::to_string(opt_.loops + 1) + " plays";
        return "";
    }

    const Options &opt_;
    std::string name_;
    SoundInfo info_;
    bool tty_;
    double total_;
    bool shown_ = false;
    int pass_ = 1;
    double lastHeard_ = 0.0;
};

// One sound on one source, whole or streamed; its destructor releases it all.
class Player {
public:
    explicit Player(const Options &opt) : opt_(opt) {}
    ~Player() { Release(); }

    bool Start(const std::string &path)
    {
        ended_ = false;
        alGenSources(1, &source_);
        if (alGetError() != AL_NO_ERROR) {
            source_ = 0;
            fprintf(stderr, "%s: %s: OpenAL could not create a source\n", Prog, path.c_str());
            return false;
        }
        alSourcef(source_, AL_MAX_GAIN, opt_.gain > 1.0 ? ALfloat(opt_.gain) : 1.0f);
        alSourcef(source_, AL_GAIN, ALfloat(opt_.gain));
        // Channels go straight to the matching speakers, unchanged.
        if (alIsExtensionPresent("AL_SOFT_direct_channels"))
            alSourcei(source_, AL_DIRECT_CHANNELS_SOFT, AL_TRUE);
        return opt_.load ? StartWhole(path) : StartStream(path);
    }

    bool Ended() const { return ended_; }

    // Seconds into the sound that the listener hears now; -1 for a whole
    // buffer, whose plays the elapsed time tells apart.
    double Heard() const
    {
        const ALsizei rate = stream_ ? nuvexGetStreamFrequency(stream_) : 0;
        return rate > 0 ? double(nuvexGetStreamPosition(stream_)) / rate : -1.0;
    }

    // Moves a streamed sound `seconds` on or back, staying within it: back
    // stops at the start, on at the last frame (which then ends the pass).
    // False when the position stayed, or (past the end of a sound of unknown
    // length) the pass ended.
    bool SeekBy(double seconds)
    {
        const ALsizei rate = stream_ ? nuvexGetStreamFrequency(stream_) : 0;
        if (rate <= 0)
            return false;
        const double to = double(nuvexGetStreamPosition(stream_)) + seconds * rate;
        const nuvexUInt64 length = nuvexGetStreamLength(stream_);
        nuvexUInt64 frame = to > 0 ? nuvexUInt64(to) : 0;
        if (length > 0 && frame >= length)
            frame = length - 1;
        // A stream of unknown length sought past its end just ends.
        const bool moved = nuvexSetStreamPosition(stream_, frame);
        nuvexGetErrorString();
        return moved;
    }

    void TogglePause()
    {
        paused_ = !paused_;
        paused_ ? nuvexPauseSource(source_) : nuvexResumeSource(source_);
    }

    // Queues more plays of a whole buffer as the queued ones are played.
    void TopUp()
    {
        if (!opt_.load || unqueuedPlays_ == 0)
            return;
        ALint processed = 0, queued = 0;
        alGetSourcei(source_, AL_BUFFERS_PROCESSED, &processed);
        std::vector<ALuint> names(size_t(processed) + queueDepth_, buffer_);
        if (processed > 0)
            alSourceUnqueueBuffers(source_, processed, names.data());
        alGetSourcei(source_, AL_BUFFERS_QUEUED, &queued);
        uint64_t room = queueDepth_ > uint64_t(queued) ? queueDepth_ - uint64_t(queued) : 0;
        uint64_t count = room < unqueuedPlays_ ? room : unqueuedPlays_;
        if (count == 0)
            return;
        std::fill(names.begin(), names.end(), buffer_);
        alSourceQueueBuffers(source_, ALsizei(count), names.data());
        unqueuedPlays_ -= count;
    }

    // Output frames that can be rendered before the source must be refilled:
    // never past what is queued, so a render never outruns the stream.
    size_t SafeFrames(int outRate, int soundRate) const
    {
        const size_t maxStep = 4096;
        ALint queued = 0, offset = 0, current = 0;
        uint64_t ahead = 0;
        alGetSourcei(source_, AL_BUFFERS_QUEUED, &queued);
        alGetSourcei(source_, AL_SAMPLE_OFFSET, &offset);
        if (opt_.load) {
            // The queue holds the same buffer once per play.
            ahead = FramesOfBuffer(buffer_) * uint64_t(queued);
        } else {
            // The update step has unqueued what was played, so the offset
            // counts from the start of the buffer playing now.
            alGetSourcei(source_, AL_BUFFER, &current);
            ahead = current ? FramesOfBuffer(ALuint(current)) : 0;
        }
        uint64_t left = ahead > uint64_t(offset) ? ahead - uint64_t(offset) : 0;
        // More plays still to queue: stop one frame short of the queue's end,
        // or the source would stop and the update end the playback early.
        if (opt_.load && unqueuedPlays_ > 0 && left > 0)
            left--;
        uint64_t frames = left * uint64_t(outRate) / uint64_t(soundRate);
        if (frames == 0)
            return 1;
        return frames < maxStep ? size_t(frames) : maxStep;
    }

    void Stop()
    {
        if (source_)
            nuvexStopSource(source_, AL_FALSE);
    }

    void Release()
    {
        if (stream_)
            nuvexDestroyStream(stream_, 0, nullptr);
        stream_ = nullptr;
        if (source_) {
            nuvexStopSource(source_, AL_FALSE);
            alSourcei(source_, AL_BUFFER, 0);
            alDeleteSources(1, &source_);
        }
        source_ = 0;
        if (buffer_)
            alDeleteBuffers(1, &buffer_);
        buffer_ = 0;
        alGetError();
    }

private:
    bool StartWhole(const std::string &path)
    {
        buffer_ = nuvexCreateBufferFromFile(path.c_str());
        if (!buffer_) {
            ReportError(path, "cannot be loaded");
            return false;
        }
        if (opt_.loops < 0) {
            alSourcei(source_, AL_BUFFER, ALint(buffer_));
            alSourcei(source_, AL_LOOPING, AL_TRUE);
        } else {
            // The buffer is queued once per play, so the repeats follow without
            // a gap; a long run of repeats is queued a few seconds at a time.
            unqueuedPlays_ = uint64_t(opt_.loops) + 1;
            uint64_t frames = FramesOfBuffer(buffer_);
            ALint rate = 0;
            alGetBufferi(buffer_, AL_FREQUENCY, &rate);
            uint64_t perTwoSeconds = frames ? uint64_t(rate) * 2 / frames + 1 : 1;
            queueDepth_ = perTwoSeconds < 16 ? 16 : perTwoSeconds > 4096 ? 4096 : perTwoSeconds;
            TopUp();
        }
        if (alGetError() != AL_NO_ERROR) {
            fprintf(stderr, "%s: %s: OpenAL refused to queue the sound\n", Prog, path.c_str());
            return false;
        }
        if (!nuvexPlaySource(source_, OnEndOfPlay, &ended_)) {
            ReportError(path, "cannot be played");
            return false;
        }
        return true;
    }

    bool StartStream(const std::string &path)
    {
        nuvexStreamSizeIsMicroSec(AL_TRUE);
        stream_ = nuvexCreateStreamFromFile(path.c_str(), ALsizei(opt_.chunkMs * 1000), 0, nullptr);
        if (!stream_) {
            ReportError(path, "cannot be streamed");
            return false;
        }
        if (opt_.order >= 0 && !nuvexSetStreamOrder(stream_, ALuint(opt_.order))) {
            ReportError(path, "cannot start at order " + std::to_string(opt_.order));
            return false;
        }
        // Rounded down to a frame of the sound's own rate.
        const double rate = double(nuvexGetStreamFrequency(stream_));
        if (opt_.start >= 0 &&
            !nuvexSetStreamPosition(stream_, nuvexUInt64(std::floor(opt_.start * rate)))) {
            ReportError(path, "cannot start at " + opt_.startText);
            return false;
        }
        if (!nuvexPlaySourceStream(source_, stream_, ALsizei(opt_.buffers), ALsizei(opt_.loops),
                                   OnEndOfPlay, &ended_)) {
            ReportError(path, "cannot be played");
            return false;
        }
        return true;
    }

    const Options &opt_;
    ALuint source_ = 0;
    ALuint buffer_ = 0;
    uint64_t unqueuedPlays_ = 0;
    uint64_t queueDepth_ = 0;
    nuvexStream *stream_ = nullptr;
    bool paused_ = false;
    std::atomic<bool> ended_{false};
};

} // namespace nvplay
