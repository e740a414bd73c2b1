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

    // How often to look at the position, in milliseconds: often enough that
    // no pass goes by between two looks, however short the loop.
    int PollMs() const
    {
        const double pass = PassSeconds();
        return pass <= 0 ? 100 : std::clamp(int(pass * 500.0), 5, 100);
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

    // `heard`: the position the player reports, when it has one; else it
    // follows from `elapsed` (whole plays queued one after another).
    void Show(double elapsed, double heard = -1.0)
    {
        Follow(heard);
        if (heard >= 0) {
            Draw(heard, pass_);
            return;
        }
        int loop = 1;
        double position = elapsed;
        if (total_ > 0) {
            loop = int(elapsed / total_) + 1;
            if (opt_.loops >= 0 && loop > opt_.loops + 1)
                loop = int(opt_.loops) + 1;
            position = elapsed - (loop - 1) * total_;
            if (position > total_)
                position = total_;
        }
        Draw(position, loop);
    }

    // The last line of a sound that played to its end: at its end, in its
    // last pass.
    void ShowEnd(double elapsed)
    {
        if (opt_.loops >= 0 && total_ > 0)
            Draw(total_, int(opt_.loops) + 1);
        else
            Show(elapsed);
    }

    void Draw(double position, int loop)
    {
        if (opt_.quiet || !tty_)
            return;
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

    // A pass that starts again shows as a step back of the position heard:
    // to the start, or from a loop's end to its start. It is then counted as
    // the next pass. Looks must come more often than passes (see PollMs, and
    // the render's steps in Player::SafeFrames).
    void Follow(double heard)
    {
        if (heard >= 0 && heard < lastHeard_ && (opt_.loops < 0 || pass_ <= opt_.loops))
            pass_++;
        lastHeard_ = heard;
    }

    // The player moved the position to `heard` itself: a step back from
    // there is a restart, the seek's own step back is not.
    void Sought(double heard) { lastHeard_ = heard; }

    int Pass() const { return pass_; }

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
        std::string span;
        if (info_.HasLoopPoints())
            span = ", " + Clock(double(info_.loopStart) / info_.rate) + " to " +
                   (info_.loopEnd ? Clock(double(info_.loopEnd) / info_.rate) : "the end");
        const std::string plays = std::to_string(opt_.loops + 1);
        if (opt_.loops < 0)
            return span.empty() ? ", looped endlessly" : span + " looped endlessly";
        if (opt_.loops > 0)
            return span.empty() ? ", " + plays + " plays" : span + " played " + plays + " times";
        return "";
    }

    // The length of the stretch that repeats; 0 when unknown.
    double PassSeconds() const
    {
        const uint64_t end = info_.loopEnd ? info_.loopEnd : info_.frames;
        return info_.rate > 0 && end > info_.loopStart ? double(end - info_.loopStart) / info_.rate : 0.0;
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

    // Seconds into the sound that the listener hears now: a stream's
    // position, or a looping whole buffer's offset; -1 for a whole buffer
    // queued once per play, whose plays the elapsed time tells apart.
    double Heard() const
    {
        if (buffer_) {
            ALint state = AL_STOPPED, offset = 0, rate = 0;
            alGetSourcei(source_, AL_SOURCE_STATE, &state);
            alGetSourcei(source_, AL_SAMPLE_OFFSET, &offset);
            alGetBufferi(buffer_, AL_FREQUENCY, &rate);
            const bool going = state == AL_PLAYING || state == AL_PAUSED;
            return looping_ && going && rate > 0 ? double(offset) / rate : -1.0;
        }
        const ALsizei rate = stream_ ? nuvexGetStreamFrequency(stream_) : 0;
        return rate > 0 ? double(nuvexGetStreamPosition(stream_)) / rate : -1.0;
    }

    // Moves a streamed sound `seconds` on or back within the pass `pass`
    // that plays: back stops at the start, or after the first pass at the
    // loop's start (the intro is heard once); on stops at the last frame,
    // or while passes are left at the loop's last frame, which then ends
    // the pass (the end is heard once, after the last). False when the
    // position stayed, or (past the end of a sound of unknown length) the
    // pass ended.
    bool SeekBy(double seconds, int pass)
    {
        const ALsizei rate = stream_ ? nuvexGetStreamFrequency(stream_) : 0;
        if (rate <= 0)
            return false;
        const nuvexUInt64 now = nuvexGetStreamPosition(stream_);
        const double to = double(now) + seconds * rate;
        const nuvexUInt64 length = nuvexGetStreamLength(stream_);
        nuvexUInt64 frame = to > 0 ? nuvexUInt64(to) : 0;
        const bool passesLeft = opt_.loops < 0 || pass <= opt_.loops;
        if (pass > 1 && frame < loopStart_)
            frame = loopStart_;
        if (passesLeft && loopEnd_ > 0 && now < loopEnd_ && frame >= loopEnd_)
            frame = loopEnd_ - 1;
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

    // Queues more plays of a whole buffer as the queued ones are played, or
    // counts the passes of a whole buffer looping over its loop points.
    void TopUp()
    {
        if (loopsLeft_ > 0)
            CountLoopPasses();
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
        if (loopsLeft_ > 0) {
            // One frame short of the loop's end, so that the step that
            // crosses it is a step of its own and the offset is seen going
            // back: steps ending right at the end would each come back to
            // the loop's start, and no pass would show.
            ahead = loopEnd_ > 0 ? uint64_t(loopEnd_) - 1 : 0;
        } else if (opt_.load) {
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
        // Less than one pass of a stream at a time: a step spanning two
        // joins could end past where it started and hide a pass.
        if (passFrames_ > 1 && left > passFrames_ - 1)
            left = passFrames_ - 1;
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
    // A whole buffer looping over its loop points stops looping once its
    // last pass has begun, and so plays on into the end.
    void CountLoopPasses()
    {
        ALint offset = 0;
        alGetSourcei(source_, AL_SAMPLE_OFFSET, &offset);
        if (offset < lastOffset_ && --loopsLeft_ == 0)
            alSourcei(source_, AL_LOOPING, AL_FALSE);
        lastOffset_ = offset;
    }

    // The loop points the library gave the buffer (the whole buffer when it
    // gave none), or, with --no-loop-points, the whole buffer.
    bool ReadBufferLoop()
    {
        if (!alIsExtensionPresent("AL_SOFT_loop_points"))
            return false;
        const ALint whole[2] = {0, ALint(FramesOfBuffer(buffer_))};
        ALint points[2] = {whole[0], whole[1]};
        if (opt_.noLoopPoints)
            alBufferiv(buffer_, AL_LOOP_POINTS_SOFT, whole);
        else
            alGetBufferiv(buffer_, AL_LOOP_POINTS_SOFT, points);
        loopStart_ = nuvexUInt64(points[0]);
        loopEnd_ = nuvexUInt64(points[1]);
        return points[0] != whole[0] || points[1] != whole[1];
    }

    bool StartWhole(const std::string &path)
    {
        buffer_ = nuvexCreateBufferFromFile(path.c_str());
        if (!buffer_) {
            ReportError(path, "cannot be loaded");
            return false;
        }
        const bool loopPoints = ReadBufferLoop();
        if (opt_.loops < 0 || (loopPoints && opt_.loops > 0)) {
            // OpenAL loops a buffer over its loop points; a count of passes
            // is kept by CountLoopPasses.
            alSourcei(source_, AL_BUFFER, ALint(buffer_));
            alSourcei(source_, AL_LOOPING, AL_TRUE);
            looping_ = true;
            loopsLeft_ = opt_.loops > 0 ? opt_.loops : 0;
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
        if (opt_.noLoopPoints && !nuvexSetStreamLoopPoints(stream_, 0, 0)) {
            ReportError(path, "cannot drop its loop points");
            return false;
        }
        nuvexGetStreamLoopPoints(stream_, &loopStart_, &loopEnd_);
        const nuvexUInt64 length = nuvexGetStreamLength(stream_);
        const nuvexUInt64 passEnd = loopEnd_ ? loopEnd_ : length != ~nuvexUInt64(0) ? length : 0;
        passFrames_ = passEnd > loopStart_ ? passEnd - loopStart_ : 0;
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
    // The loop: its first frame and the first after it (0: the end).
    nuvexUInt64 loopStart_ = 0, loopEnd_ = 0;
    uint64_t passFrames_ = 0; // a stream's loop, or its length; 0: unknown
    bool looping_ = false;    // a whole buffer looped by OpenAL
    long loopsLeft_ = 0;      // its passes still to count
    ALint lastOffset_ = 0;
    bool paused_ = false;
    std::atomic<bool> ended_{false};
};

} // namespace nvplay
