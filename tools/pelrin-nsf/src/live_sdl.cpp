// --play: the tracks go to the sound card through SDL2's audio queue. The
// PCM is rendered exactly as for a WAV file (same player, filter and fade)
// and queued a little ahead of what is heard. On a terminal, keys control
// the player and one status line shows where it is.
#include "meter.hpp"
#include "runtime_library.hpp"
#include "session.hpp"

#include <SDL.h>
#include <apu.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstring>
#include <deque>
#include <cstdio>
#include <string>

#if !defined(_WIN32)
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace pelrin_nsf {

namespace {

// The SDL2 functions playback calls, from SDL2 opened when playback starts.
#define PELRIN_SDL_CALLS(X)                                                                                          \
    X(InitSubSystem) X(QuitSubSystem) X(OpenAudioDevice) X(CloseAudioDevice) X(PauseAudioDevice) X(QueueAudio)      \
    X(GetQueuedAudioSize) X(ClearQueuedAudio) X(Delay) X(GetError)

struct SdlCalls {
#define PELRIN_SDL_FIELD(name) decltype(&SDL_##name) name;
    PELRIN_SDL_CALLS(PELRIN_SDL_FIELD)
#undef PELRIN_SDL_FIELD
};

const SdlCalls &Sdl() {
    static const SdlCalls calls = [] {
#if defined(_WIN32)
        const RuntimeLibrary sdl({"SDL2.dll"}, "SDL2", "--play");
#elif defined(__APPLE__)
        const RuntimeLibrary sdl({"libSDL2-2.0.0.dylib", "libSDL2.dylib"}, "SDL2", "--play");
#else
        const RuntimeLibrary sdl({"libSDL2-2.0.so.0", "libSDL2.so"}, "SDL2", "--play");
#endif
        SdlCalls c{};
#define PELRIN_SDL_FIND(name) sdl.find(c.name, "SDL_" #name);
        PELRIN_SDL_CALLS(PELRIN_SDL_FIND)
#undef PELRIN_SDL_FIND
        return c;
    }();
    return calls;
}

enum class Action { None, Next, Previous, Restart, Quit };

volatile std::sig_atomic_t gInterrupted = 0;
extern "C" void onInterrupt(int) { gInterrupted = 1; }

// Thrown out of the render when a key asks to leave the track.
struct Leave {
    Action action;
};

// The terminal in single-key mode while the player runs.
class Keys {
public:
    explicit Keys(bool on) : on_(on) {
#if !defined(_WIN32)
        if (on_ && tcgetattr(0, &saved_) == 0) {
            termios raw = saved_;
            raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
            raw.c_cc[VMIN] = 0;
            raw.c_cc[VTIME] = 0;
            tcsetattr(0, TCSANOW, &raw);
            restore_ = true;
        }
#endif
    }
    ~Keys() {
#if !defined(_WIN32)
        if (restore_) tcsetattr(0, TCSANOW, &saved_);
#endif
    }
    // The next key pressed, or 0. The arrow keys' sequences come back as
    // kLeft, kRight; other sequences are dropped, so that they do not read
    // as Esc.
    int poll() {
#if !defined(_WIN32)
        if (!on_) return 0;
        const int c = byte(0);
        if (c != 27) return c < 0 ? 0 : c;
        const int b = byte(20);
        if (b < 0) return 27; // Esc alone
        if (b != '[' && b != 'O') return 0;
        int last = byte(20);
        while (last >= 0 && !(last >= 0x40 && last <= 0x7E)) last = byte(20);
        return last == 'C' ? kRight : last == 'D' ? kLeft : 0;
#else
        return 0;
#endif
    }
    static constexpr int kLeft = 0x100, kRight = 0x101;

private:
#if !defined(_WIN32)
    // One byte from the terminal within timeoutMs, or -1.
    static int byte(int timeoutMs) {
        pollfd p{0, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return -1;
        unsigned char c = 0;
        return read(0, &c, 1) == 1 ? c : -1;
    }
#endif
    bool on_;
#if !defined(_WIN32)
    termios saved_{};
    bool restore_ = false;
#endif
};

constexpr char kChannelKeys[] = "1234567890abc"; // a key per channel of the file, in mixer order

class LivePlayer {
public:
    LivePlayer(const Options &o, const std::vector<Track> &tracks, bool interactive)
        : o_(o), tracks_(tracks), interactive_(interactive), keys_(interactive) {}
    ~LivePlayer() {
        if (device_) Sdl().CloseAudioDevice(device_);
        if (sdl_) Sdl().QuitSubSystem(SDL_INIT_AUDIO);
    }
    int run(size_t index);
    void queue(const uint8_t *data, size_t bytes);

private:
    void openDevice(const RenderPlan &plan);
    void waitForRoom();
    void handle(int key);
    void pollKeys() {
        for (int k = keys_.poll(); k; k = keys_.poll()) handle(k);
        if (gInterrupted) handle(0);
        drawStatus(false);
    }
    void drawStatus(bool force);
    double heardSeconds() const;

    const Options &o_;
    const std::vector<Track> &tracks_;
    bool interactive_;
    Keys keys_;
    bool sdl_ = false;
    SDL_AudioDeviceID device_ = 0;
    int rate_ = 0, bits_ = 0, channels_ = 0, frameBytes_ = 0;
    bool started_ = false, paused_ = false, soloNext_ = false;
    uint64_t queuedBytes_ = 0;  // bytes queued for this track
    size_t index_ = 0;
    double length_ = 0;
    std::string title_;
    std::vector<int> chans_;
    std::array<int, 19> enable_{};
    // One sound unit for every track played, which the channel keys act on
    // while a track plays.
    pelrin_tools::Apu apu_;
    ChannelMeter meter_;
    struct Write {
        double time;
        uint16_t address;
        uint8_t value;
    };
    std::deque<Write> pending_; // register writes not yet heard
    std::chrono::steady_clock::time_point lastDraw_{};
};

class QueueSink : public pelrin_render::PcmSink {
public:
    explicit QueueSink(LivePlayer &p) : p_(p) {}
    void write(const uint8_t *d, size_t n) override { p_.queue(d, n); }
    void finish() override {}

private:
    LivePlayer &p_;
};

void LivePlayer::openDevice(const RenderPlan &plan) {
    const auto &po = plan.player;
    if (device_ && po.rate == rate_ && po.bits == bits_ && po.channels == channels_) return;
    if (device_) Sdl().CloseAudioDevice(device_);
    SDL_AudioSpec want{}, have{};
    want.freq = po.rate;
    want.format = po.bits == 8 ? AUDIO_U8 : AUDIO_S16LSB;
    want.channels = static_cast<Uint8>(po.channels);
    want.samples = 1024;
    // No allowed changes: SDL converts to what the card takes, our bytes stay ours.
    device_ = Sdl().OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (!device_) throw std::runtime_error(std::string("cannot open the sound output: ") + Sdl().GetError());
    rate_ = po.rate;
    bits_ = po.bits;
    channels_ = po.channels;
    frameBytes_ = bits_ / 8 * channels_;
    started_ = false;
}

double LivePlayer::heardSeconds() const {
    const uint64_t pending = Sdl().GetQueuedAudioSize(device_);
    const uint64_t heard = queuedBytes_ > pending ? queuedBytes_ - pending : 0;
    return static_cast<double>(heard) / (static_cast<double>(rate_) * frameBytes_);
}

void LivePlayer::queue(const uint8_t *data, size_t bytes) {
    if (Sdl().QueueAudio(device_, data, static_cast<Uint32>(bytes)) != 0)
        throw std::runtime_error(std::string("sound output failed: ") + Sdl().GetError());
    queuedBytes_ += bytes;
    waitForRoom();
}

// Keeps about half a second queued: start playing once that much is there,
// then wait while more than that is ahead, reading keys meanwhile.
void LivePlayer::waitForRoom() {
    const Uint32 ahead = static_cast<Uint32>(rate_ * frameBytes_ / 2);
    if (!started_ && Sdl().GetQueuedAudioSize(device_) >= ahead) {
        Sdl().PauseAudioDevice(device_, paused_ ? 1 : 0);
        started_ = true;
    }
    while (started_ && (Sdl().GetQueuedAudioSize(device_) > ahead || paused_)) {
        pollKeys();
        Sdl().Delay(5);
    }
    pollKeys();
}

void LivePlayer::handle(int key) {
    if (gInterrupted) throw Leave{Action::Quit};
    if (soloNext_) {
        soloNext_ = false;
        const char *p = key > 0 && key < 0x80 ? std::strchr(kChannelKeys, key) : nullptr;
        if (p && static_cast<size_t>(p - kChannelKeys) < chans_.size()) {
            const int ch = chans_[static_cast<size_t>(p - kChannelKeys)];
            const bool already = enable_[static_cast<size_t>(ch)] && std::count(enable_.begin(), enable_.end(), 1) == 1;
            for (int c = 0; c < 19; ++c) enable_[static_cast<size_t>(c)] = already || c == ch ? 1 : 0;
            for (int c = 0; c < 19; ++c) apu_.setChannelOptions(c, enable_[static_cast<size_t>(c)], -1, -128);
            return;
        }
    }
    switch (key) {
    case 'q': case 27: throw Leave{Action::Quit};
    case 'n': case Keys::kRight: throw Leave{Action::Next};
    case 'p': case Keys::kLeft: throw Leave{Action::Previous};
    case 'r': throw Leave{Action::Restart};
    case ' ':
        paused_ = !paused_;
        if (started_) Sdl().PauseAudioDevice(device_, paused_ ? 1 : 0);
        drawStatus(true);
        return;
    case 's': soloNext_ = true; return;
    case 'u':
        enable_.fill(1);
        for (int c = 0; c < 19; ++c) apu_.setChannelOptions(c, 1, -1, -128);
        return;
    default: break;
    }
    const char *p = key > 0 && key < 0x80 ? std::strchr(kChannelKeys, key) : nullptr;
    if (p && static_cast<size_t>(p - kChannelKeys) < chans_.size()) {
        const int ch = chans_[static_cast<size_t>(p - kChannelKeys)];
        int &e = enable_[static_cast<size_t>(ch)];
        e = !e;
        apu_.setChannelOptions(ch, e, -1, -128);
    }
}

void LivePlayer::drawStatus(bool force) {
    if (!interactive_) return;
    auto now = std::chrono::steady_clock::now();
    if (!force && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    const double t = heardSeconds();
    while (!pending_.empty() && pending_.front().time <= t) {
        meter_.write(pending_.front().address, pending_.front().value, pending_.front().time);
        pending_.pop_front();
    }
    std::string line = "\r[" + std::to_string(index_ + 1) + "/" + std::to_string(tracks_.size()) + "] ";
    line += std::to_string(tracks_[index_].track + 1) + " ";
    line += (title_.size() > 24 ? title_.substr(0, 24) : title_);
    line += "  " + formatTime(static_cast<int64_t>(t * 1000)) + "/" + formatTime(static_cast<int64_t>(length_ * 1000));
    line += paused_ ? " PAUSED " : "  ";
    for (size_t k = 0; k < chans_.size(); ++k) {
        const int ch = chans_[k];
        line.push_back(kChannelKeys[k]);
        line += enable_[static_cast<size_t>(ch)] ? meterGlyph(meter_.level(ch, t)) : "-";
    }
    line += soloNext_ ? " solo?" : "      ";
    line += "\x1b[K";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

int LivePlayer::run(size_t index) {
    if (Sdl().InitSubSystem(SDL_INIT_AUDIO) != 0)
        throw std::runtime_error(std::string("cannot start the sound output: ") + Sdl().GetError());
    sdl_ = true;
    enable_.fill(-1);
    if (interactive_)
        std::fprintf(stderr, "keys: n next, p previous, r restart, space pause, q quit; channel keys 1.. mute, "
                             "s then a channel key solo, u all on\n");
    index_ = index;
    bool first = true;
    for (;;) {
        const Track &t = tracks_[index_];
        NsfFile nsf = loadNsf(t.file);
        RenderPlan plan = planFor(o_, t);
        std::string warning;
        chans_ = channelsOf(selectChip(nsf.chips, warning));
        if (first) {
            for (int c = 0; c < 19; ++c) {
                const int e = plan.player.mixer.channelOptions[static_cast<size_t>(c)].enable;
                enable_[static_cast<size_t>(c)] = e < 0 ? 1 : e;
            }
            first = false;
        }
        for (int c = 0; c < 19; ++c) plan.player.mixer.channelOptions[static_cast<size_t>(c)].enable = enable_[static_cast<size_t>(c)];
        const int rate = plan.player.rate;
        plan.player.onSoundWrite = nullptr;
        plan.player.apu = &apu_;
        openDevice(plan);
        title_ = t.title.empty() ? nsf.title : t.title;
        length_ = plan.player.seconds;
        queuedBytes_ = 0;
        meter_.reset();
        // Register writes wait in a queue with their time in the track (the
        // player's frame count, which runs ahead of what is heard by the
        // queued sound and the fade's hold) and reach the meter when heard.
        uint64_t playerFrames = 0;
        pending_.clear();
        PlayProgress progress = [&](uint64_t done, uint64_t) { playerFrames = done; };
        plan.player.onSoundWrite = [&](uint16_t a, uint8_t v) {
            pending_.push_back({static_cast<double>(playerFrames) / rate, a, v});
        };
        QueueSink sink(*this);
        Action action = Action::Next;
        try {
            PlayResult r = renderTrack(nsf, plan, sink, nullptr, progress);
            length_ = static_cast<double>(r.frames) / rate;
            if (!r.cpuStopped.empty() && interactive_)
                std::fprintf(stderr, "\npelrin-nsf: warning: %s; the track ends there\n", r.cpuStopped.c_str());
            if (!started_) {
                Sdl().PauseAudioDevice(device_, paused_ ? 1 : 0);
                started_ = true;
            }
            // Let the track play out.
            while (Sdl().GetQueuedAudioSize(device_) > 0) {
                pollKeys();
                Sdl().Delay(5);
            }
        } catch (const Leave &l) {
            action = l.action;
            Sdl().ClearQueuedAudio(device_);
        }
        if (action == Action::Quit) break;
        if (!interactive_ && action == Action::Next) break; // without a terminal: the one track
        if (action == Action::Next) {
            if (index_ + 1 >= tracks_.size()) break;
            ++index_;
        } else if (action == Action::Previous) {
            if (index_ > 0) --index_;
        }
    }
    // Whatever the driver still holds plays out before the device closes.
    Sdl().Delay(static_cast<Uint32>(std::max(50, 2 * 1024 * 1000 / std::max(rate_, 1))));
    if (interactive_) std::fputs("\n", stderr);
    return 0;
}

} // namespace

int playLive(const Options &o, const std::vector<Track> &tracks, size_t index) {
#if defined(_WIN32)
    const bool interactive = false;
#else
    const bool interactive = isatty(0) && isatty(2) && !o.quiet;
#endif
    gInterrupted = 0;
    auto oldInt = std::signal(SIGINT, onInterrupt);
    auto oldTerm = std::signal(SIGTERM, onInterrupt);
    int status = 0;
    {
        LivePlayer player(o, tracks, interactive);
        status = player.run(index);
    }
    std::signal(SIGINT, oldInt);
    std::signal(SIGTERM, oldTerm);
    return gInterrupted ? 130 : status;
}

} // namespace pelrin_nsf
