#include "player.hpp"

#include "cpu6502.hpp"

#include <pelrin.h>
#include <output_file.hpp>
#include <region.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace pelrin_nsf {

namespace {

using pelrin_render::kNtscClock;
using pelrin_render::kNtscFrameCycles;
using pelrin_render::kNtscStepPeriod;
using pelrin_render::kPalClock;
using pelrin_render::kPalFrameCycles;
using pelrin_render::kPalStepPeriod;

constexpr uint16_t kReturnAddress = 0x5FF6; // a routine has returned when the PC gets here
constexpr size_t kPage = 0x1000;
const uint8_t kZeroPage[kPage] = {};

// A library call queued for the sound thread.
struct SoundCall {
    // kRunAndCollect: to the end of a stretch, or to a bank switch.
    enum Kind : uint8_t { kWrite, kRunAndCollect, kDmaPointer, kQuit };
    Kind kind;
    uint8_t value;
    uint16_t address;       // the register; the bank for kDmaPointer
    uint64_t cycle;
    const uint8_t *memory;  // kDmaPointer's page
};
constexpr uint64_t kSoundCalls = 1u << 14;     // the queue's length
// Steps (about stretches) the CPU may run ahead of the sound: some seconds
// of music, so that the library's thread seldom runs dry where the 6502
// is slow for a while.
constexpr uint64_t kCheckpointsAhead = 512;
constexpr uint64_t kCheckpoints = 2 * kCheckpointsAhead;
// While the sound has at least this many steps queued, the CPU writes PCM
// that waits in the pipe on at once, between its steps, so that the
// library's thread seldom has to.
constexpr uint64_t kHelpLead = kCheckpointsAhead / 2;
constexpr uint64_t kSoundStopped = UINT64_MAX;   // calls taken: the sound thread has stopped

std::string hex(unsigned v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "$%0*X", digits, v);
    return buf;
}

const char *chipWord(int chip) {
    switch (chip) {
    case PELRIN_CHIP_VRC6: return "vrc6";
    case PELRIN_CHIP_MMC5: return "mmc5";
    case PELRIN_CHIP_N163: return "n163";
    default: return "none";
    }
}

// The console as an NSF player builds it: RAM, work RAM, the program in
// 4 KiB pages behind $8000-$FFFF, the sound library behind the sound
// registers. Library calls follow pelrin-render's host exactly (stretches of
// one video frame, stops at sound interrupts, stall cycles added to the
// clock), so a register log replayed by pelrin-render gives the same PCM.
class Player final : public Bus {
public:
    Player(const NsfFile &nsf, const PlayerOptions &opt, pelrin_render::PcmSink &sink, std::ostream *log,
           const PlayProgress &progress)
        : nsf_(nsf), opt_(opt), sink_(sink), log_(log), progress_(progress),
          own_(opt.apu ? nullptr : std::make_unique<pelrin_tools::Apu>()), apu_(opt.apu ? *opt.apu : *own_),
          cpu_(*this) {}

    ~Player() override {
        if (soundThread_.joinable()) {
            // Left by an exception: the thread makes the calls queued so far, then stops.
            pushCall({SoundCall::kQuit, 0, 0, 0, nullptr});
            publishCalls();
            soundThread_.join();
            if (opt_.pipe) opt_.pipe->onQueued(nullptr);
        }
        // The sound unit keeps the pointers and may outlive us: leave it
        // pointing at memory that outlives us.
        for (int32_t k = 0; k < 8; ++k) apu_.setDmaPointer(k, kZeroPage);
        apu_.setOutputBuffer(nullptr, 0);
    }

    PlayResult run();

    uint8_t read(uint16_t a, uint64_t cycle) override;
    void write(uint16_t a, uint8_t v, uint64_t cycle) override;

private:
    void loadProgram();
    void setUpLibrary();
    const uint8_t *page(unsigned index) const {
        return index < pageCount_ ? pages_.data() + index * kPage : kZeroPage;
    }
    void mapMemory();
    void mapBank(unsigned bank);
    void logMemory(unsigned bank);
    void bankswitch(unsigned bank, uint8_t value, uint64_t t);

    // Library side, as pelrin-render's host does it.
    uint64_t nextBoundary() const { return boundaryCycle_; }
    void setBoundary(double b) {
        boundary_ = b;
        boundaryCycle_ = static_cast<uint64_t>(std::ceil(b)); // checked after every instruction: kept, not recomputed
    }
    bool done() const { return result_.frames >= targetFrames_; }
    // Whether the render has ended; while the sound thread runs, the render
    // is its to end.
    bool finished() const {
        return deferred_ ? abandoned_ || taken_.load(std::memory_order_relaxed) == kSoundStopped : done();
    }
    void addStall(uint32_t s) {
        stall_ += s;
        result_.stallCycles += s;
        cpu_.addStall(s);
    }
    // Stall cycles a library call returned. On the sound thread the CPU's
    // counts are not its to touch, and no sample plays there to steal any.
    void stalled(uint32_t s) {
        if (!deferred_) addStall(s);
        else if (s != 0) throw std::logic_error("internal error: a sample fetch on the sound thread");
    }
    void advance(uint64_t t) {
        if (!deferred_) ++events_;
        uint32_t s = apu_.runToCycle(static_cast<uint32_t>(t));
        stalled(s);
        hostNow_ = t + s;
        apuIrqStale_ = true;
    }
    void libraryWrite(uint16_t address, uint8_t value, uint64_t t) {
        uint32_t s = apu_.regWrite(address, value, static_cast<uint32_t>(t));
        stalled(s);
        hostNow_ = t + s;
        apuIrqStale_ = true;
    }
    void stopAtInterruptsBefore(uint64_t t) {
        for (;;) {
            uint32_t n = apu_.findNextIrq();
            if (n == 0 || n == 0xFFFFFFFFu || hostNow_ + n >= t) break;
            advance(hostNow_ + n);
        }
    }
    void runTo(uint64_t t) {
        stopAtInterruptsBefore(t);
        if (t > hostNow_) advance(t);
    }
    void collect();
    // Counts frames over which the output stays put and ends the track when
    // they reach the silence limit.
    void watchSilence(size_t frames) {
        if (lastFrame_.empty()) lastFrame_.assign(out_, out_ + frameBytes_);
        if (opt_.bits == 8) {
            if (opt_.channels == 2) watchSilenceIn<1, 2>(frames);
            else watchSilenceIn<1, 1>(frames);
        } else {
            if (opt_.channels == 2) watchSilenceIn<2, 2>(frames);
            else watchSilenceIn<2, 1>(frames);
        }
        if (static_cast<double>(silentFrames_) >= opt_.silenceSeconds * opt_.rate) {
            targetFrames_ = result_.frames;
            result_.endedBySilence = true;
        }
    }
    // A frame is still when every sample lies within 16 (in 16-bit steps) of
    // the frame where the output last moved.
    template <int SampleBytes, int Channels>
    void watchSilenceIn(size_t frames) {
        const auto sample = [](const uint8_t *d, int c) {
            return SampleBytes == 1 ? d[c] * 256 : static_cast<int16_t>(d[2 * c] | (d[2 * c + 1] << 8));
        };
        int last[Channels];
        for (int c = 0; c < Channels; ++c) last[c] = sample(lastFrame_.data(), c);
        const uint8_t *moved = nullptr;
        uint64_t silent = silentFrames_;
        const uint8_t *d = out_;
        for (size_t f = 0; f < frames; ++f, d += SampleBytes * Channels) {
            bool same = true;
            for (int c = 0; c < Channels; ++c) same &= std::abs(sample(d, c) - last[c]) <= 16;
            if (same) {
                ++silent;
            } else {
                silent = 0;
                moved = d;
                for (int c = 0; c < Channels; ++c) last[c] = sample(d, c);
            }
        }
        silentFrames_ = silent;
        if (moved) std::memcpy(lastFrame_.data(), moved, frameBytes_);
    }
    void finishStretch(uint64_t boundary) {
        ++events_;
        ++stops_;
        if (deferred_) {
            pushStop(boundary);
        } else {
            if (log_) endLogCycle_ = boundary - stall_;
            runTo(boundary);
            collect();
        }
        setBoundary(boundary_ + frameCycles_);
    }
    void finishStretchesUpTo(uint64_t t) {
        while (t >= nextBoundary() && !finished()) finishStretch(nextBoundary());
    }
    // Finishes the stretches that end at or before an access at cycle t and
    // stops at interrupts due before it; returns t moved by the stalls, or
    // nothing when the render is complete.
    std::optional<uint64_t> syncTo(uint64_t t, bool stopAtInterrupts);
    void apuWrite(uint16_t address, uint8_t value, uint64_t t);
    uint8_t apuRead(uint16_t address, uint64_t t);

    void startRoutine(uint16_t address);

    // The sound thread. While the 6502 needs nothing back from the library
    // (it reads no sound register, starts no sample, whose fetches would
    // steal its cycles, and takes no interrupts), the library calls are
    // queued in the order the player makes them, and a thread of their own
    // makes them, while the CPU runs ahead by up to kCheckpointsAhead
    // steps of the main loop that may end the render (they finish a
    // stretch or run the library at a bank switch). Where the CPU first
    // needs an answer, the queue is drained and the player calls the
    // library itself from then on. The thread also sees where the render
    // ends; the CPU stops soon after, and its counts go back to where they
    // stood after the step in which the render ended, as if it had stopped
    // there.
    struct Checkpoint {
        uint64_t calls; // calls queued by the end of the step
        uint64_t playCalls, skippedPlays, idleLoopCycles, cycles;
    };
    void startSoundThread();
    void soundWork();
    void makeCall(const SoundCall &c);
    // renderGoesOn: the pipe, if any, gets a thread of its own for the rest.
    void leaveSoundThread(bool renderGoesOn = true);
    void pushCall(const SoundCall &c);
    // A run to `cycle` and the output's collection: a call that may end the render.
    void pushStop(uint64_t cycle) {
        pushCall({SoundCall::kRunAndCollect, 0, 0, cycle, nullptr});
        if (stops_ % 8 == 0) publishCalls(); // woken every few stretches, not every one
    }
    void publishCalls() {
        published_.store(pushed_);
        if (soundWaiting_.load()) {
            std::lock_guard<std::mutex> lock(wakeMutex_);
            soundWake_.notify_one();
        }
    }
    void wakeCpu() {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        cpuWake_.notify_one();
    }
    // The sound thread's count of calls made, and the CPU woken when it waits for it.
    void tellCpu(uint64_t taken) {
        taken_.store(taken);
        if (cpuWaiting_.load() && taken >= wanted_.load()) wakeCpu();
    }
    // Looks at the thread's count: whether it has made `count` calls or has
    // stopped (then the calls still to come are dropped).
    bool madeCalls(uint64_t count) {
        const uint64_t t = taken_.load();
        if (t == kSoundStopped) {
            abandoned_ = true;
            return true;
        }
        takenSeen_ = t;
        return t >= count;
    }
    void waitForCalls(uint64_t count, bool orPcm = false);
    void checkpoint();
    void restoreCheckpoint();

    // Idle loops. Every jump or branch back (or to itself) ends a turn of a
    // possible loop that began at the previous one. When the turn wrote
    // nothing, read only RAM, work RAM and program memory (which only the
    // CPU's own writes change), met no library call and no finished stretch,
    // and came back to where it began with the registers it began with,
    // every further turn is the same turn in the same cycles until something
    // outside the CPU acts: the loop idles, and skipIdleLoop moves the clock
    // over whole turns up to that.
    void jumpedBack();
    bool skipIdleLoop();

    // Interrupts (version 2 files that ask for them).
    uint64_t apuIrqCycle();
    uint64_t timerPeriod() const { return timerReload_ ? timerReload_ : 0x10000u; }
    void updateTimer(uint64_t now) {
        if (timerOn_ && now >= timerNext_) {
            timerPending_ = true;
            timerNext_ += (now - timerNext_) / timerPeriod() * timerPeriod() + timerPeriod();
        }
    }
    // Whether the sound unit's frame or DMC interrupt flag is up at cycle now.
    // The library's prediction is never later than the interrupt but may be
    // earlier (it names the next event that could raise a flag): run the
    // library up to each predicted cycle and ask again, as pelrin-render's
    // host does, until the flag is pending or the next prediction lies past now.
    bool apuIrqPending(uint64_t now) {
        for (;;) {
            const uint64_t at = apuIrqCycle();
            if (at > now) return false;
            if (at <= hostNow_) return true; // 0: pending
            advance(at);
        }
    }
    // The CPU's IRQ input at cycle now: the sound unit's flags or the timer's.
    bool irqLineAt(uint64_t now) {
        updateTimer(now);
        return timerPending_ || apuIrqPending(now);
    }
    // The earliest cycle at which the IRQ line may go up (UINT64_MAX: never foreseen).
    uint64_t nextIrqCycle() {
        if (timerPending_) return 0;
        uint64_t t = apuIrqCycle();
        if (timerOn_) t = std::min(t, timerNext_);
        return t;
    }

    const NsfFile &nsf_;
    const PlayerOptions &opt_;
    pelrin_render::PcmSink &sink_;
    std::ostream *log_;
    const PlayProgress &progress_;
    std::unique_ptr<pelrin_tools::Apu> own_; // the render's own sound unit, when not given one
    pelrin_tools::Apu &apu_;
    // The library calls are queued. Read by both sides at every call, set
    // only when the sound thread starts and stops: kept off the lines that
    // either side writes.
    bool deferred_ = false;

    // The CPU's side. While the sound thread runs, the two sides and the
    // queue's counters lie on cache lines of their own.
    alignas(64) Cpu6502 cpu_;

    std::array<uint8_t, 0x800> ram_{};
    std::array<uint8_t, 0x2000> wram_{};
    std::array<uint8_t, 0x400> exram_{};
    std::vector<uint8_t> pages_;
    unsigned pageCount_ = 0;
    std::array<unsigned, 8> bank_{};
    std::array<const uint8_t *, 8> map_{};
    std::vector<uint8_t> logShadow_ = std::vector<uint8_t>(0x8000, 0); // the replay's memory
    uint8_t mulA_ = 0xFF, mulB_ = 0xFF;
    int chip_ = 0;
    int track_ = 0;
    bool pal_ = false;

    double frameCycles_ = kNtscFrameCycles;
    double boundary_ = 0;         // the end of the current stretch
    uint64_t boundaryCycle_ = 0;  // and its cycle, rounded up
    uint64_t stall_ = 0;
    uint64_t endLogCycle_ = 0;

    bool busy_ = false;
    bool inInit_ = false;

    bool interrupts_ = false;     // the file uses version 2 interrupts
    std::array<uint8_t, 2> irqVector_{}; // the writable IRQ vector at $FFFE-$FFFF
    uint16_t timerReload_ = 0;
    bool timerOn_ = false;
    bool timerPending_ = false;
    uint64_t timerNext_ = 0;
    bool inHandler_ = false;      // an interrupt taken while no routine ran is being handled

    uint64_t events_ = 0;         // library runs and finished stretches so far
    bool quiet_ = false;          // no write and no read outside memory since the turn began (with
                                  // the CPU's flag of writes to RAM, which go past write())
    Cpu6502::Registers loopStart_{}; // where and how the turn began
    uint64_t loopStartCycle_ = 0;
    uint64_t loopEvents_ = 0;
    uint64_t loopMaskInstructions_ = 0;
    uint64_t loopCycles_ = 0;     // not 0: the CPU is at the start of an idle loop with turns this long
    bool loopMaskSteady_ = false; // and no instruction of the turn changes the interrupt mask

    // The queue, as the CPU's side sees it.
    std::thread soundThread_;
    std::unique_ptr<SoundCall[]> calls_;
    uint64_t pushed_ = 0;         // calls queued
    uint64_t stops_ = 0;          // calls, queued or made, that may end the render
    uint64_t takenSeen_ = 0;      // calls the thread had made when last looked at
    bool abandoned_ = false;      // the thread has stopped: calls are dropped
    std::array<Checkpoint, kCheckpoints> checkpoints_{};
    uint64_t checkpointCount_ = 0;
    uint64_t checkpointStops_ = 0;

    // Each side sleeps on a condition of its own and says so in a flag that
    // the other side reads after storing its count; the flag and the count
    // are both sequentially consistent, so one of the two sees the other.
    alignas(64) std::atomic<uint64_t> published_{0}; // calls the thread may make
    std::atomic<uint64_t> wanted_{0}; // the thread wakes the CPU when it has made this many
    std::atomic<bool> cpuWaiting_{false};
    alignas(64) std::atomic<uint64_t> taken_{0}; // calls made; kSoundStopped once the thread stops on its own
    std::atomic<bool> soundWaiting_{false};
    alignas(64) std::mutex wakeMutex_;
    std::condition_variable soundWake_, cpuWake_;

    // The sound side: what the library's calls change, the sound thread's
    // while it runs.
    alignas(64) PlayResult result_;
    uint64_t targetFrames_ = 0;
    uint32_t frameBytes_ = 2;
    std::vector<uint8_t> buffer_;
    // Where the library writes: buffer_, or, when the output goes to the
    // pipe, room in the pipe's chunk, so that the PCM is not copied there.
    uint8_t *out_ = nullptr;
    bool inPlace_ = false;
    uint64_t hostNow_ = 0;        // the library's time
    bool apuIrqStale_ = true;     // the library's state changed since the last prediction
    uint64_t apuIrqAt_ = UINT64_MAX;
    uint64_t silentFrames_ = 0;   // frames since the output last changed
    std::vector<uint8_t> lastFrame_;
    uint64_t endedAt_ = 0;        // the call in which the render ended on the thread
    bool endedOnSoundThread_ = false;
    std::exception_ptr soundError_;
};

void Player::startSoundThread() {
    calls_ = std::make_unique_for_overwrite<SoundCall[]>(kSoundCalls); // written before it is read
    deferred_ = true;
    // A CPU asleep until the library catches up wakes to write PCM on.
    if (opt_.pipe)
        opt_.pipe->onQueued([this] {
            if (cpuWaiting_.load()) wakeCpu();
        });
    soundThread_ = std::thread([this] { soundWork(); });
}

void Player::makeCall(const SoundCall &c) {
    switch (c.kind) {
    case SoundCall::kWrite:
        stopAtInterruptsBefore(c.cycle);
        libraryWrite(c.address, c.value, c.cycle);
        break;
    case SoundCall::kRunAndCollect:
        runTo(c.cycle);
        collect();
        break;
    case SoundCall::kDmaPointer: apu_.setDmaPointer(c.address, c.memory); break;
    case SoundCall::kQuit: break;
    }
}

void Player::soundWork() {
    uint64_t taken = 0;
    uint64_t stretches = 0;
    // Read once: the pointer itself lies among the CPU's fields.
    const SoundCall *const queue = calls_.get();
    try {
        for (;;) {
            const uint64_t ready = published_.load();
            if (ready == taken) {
                // Nothing to make until the 6502 gets further: write PCM on
                // meanwhile where some waits, so that neither thread idles.
                if (opt_.pipe && opt_.pipe->help()) continue;
                std::unique_lock<std::mutex> lock(wakeMutex_);
                soundWaiting_.store(true);
                soundWake_.wait(lock, [&] { return published_.load() != taken; });
                soundWaiting_.store(false);
                continue;
            }
            while (taken != ready) {
                const SoundCall &c = queue[taken % kSoundCalls];
                if (c.kind == SoundCall::kQuit) return;
                const bool stretch = c.kind == SoundCall::kRunAndCollect;
                makeCall(c);
                if (done()) {
                    endedAt_ = taken;
                    endedOnSoundThread_ = true;
                    taken_.store(kSoundStopped);
                    wakeCpu();
                    return;
                }
                ++taken;
                // Told every few stretches, not once the whole batch is made:
                // a CPU waiting for its lead to shrink then runs on while the
                // rest is made, instead of the two taking turns. (Not every
                // stretch: the count's store waits for all stores before it.)
                if (stretch && ++stretches % 8 == 0) tellCpu(taken);
            }
            tellCpu(taken);
        }
    } catch (...) {
        soundError_ = std::current_exception();
        taken_.store(kSoundStopped);
        wakeCpu();
    }
}

// Waits until the thread has made `count` calls, or has stopped, or (orPcm)
// PCM waits in the pipe to be written on.
void Player::waitForCalls(uint64_t count, bool orPcm) {
    const auto pcm = [&] { return orPcm && opt_.pipe->helpWanted(); };
    for (;;) {
        if (madeCalls(count)) return;
        std::unique_lock<std::mutex> lock(wakeMutex_);
        wanted_.store(count);
        cpuWaiting_.store(true);
        cpuWake_.wait(lock, [&] {
            const uint64_t now = taken_.load();
            return now == kSoundStopped || now >= count || pcm();
        });
        cpuWaiting_.store(false);
        if (pcm()) return;
    }
}

void Player::pushCall(const SoundCall &c) {
    if (abandoned_) return;
    if (pushed_ - takenSeen_ >= kSoundCalls) {
        // The queue is full: write PCM on while the thread makes room.
        const uint64_t needed = pushed_ - kSoundCalls + 1;
        publishCalls();
        while (!madeCalls(needed))
            if (!(opt_.pipe && opt_.pipe->help())) waitForCalls(needed, opt_.pipe != nullptr);
        if (abandoned_) return;
    }
    calls_[pushed_ % kSoundCalls] = c;
    ++pushed_;
}

// Drains the queue and stops the thread; the player calls the library
// itself from here on.
void Player::leaveSoundThread(bool renderGoesOn) {
    pushCall({SoundCall::kQuit, 0, 0, 0, nullptr});
    publishCalls();
    soundThread_.join();
    if (opt_.pipe) opt_.pipe->onQueued(nullptr);
    deferred_ = false;
    apuIrqStale_ = true;
    if (soundError_) std::rethrow_exception(soundError_);
    if (renderGoesOn && opt_.pipe) opt_.pipe->startThread();
}

// Called after each step of the main loop that queued or made a call that
// may end the render.
void Player::checkpoint() {
    checkpoints_[checkpointCount_ % kCheckpoints] =
        Checkpoint{pushed_, result_.playCalls, result_.skippedPlays, result_.idleLoopCycles, cpu_.cycles};
    ++checkpointCount_;
    checkpointStops_ = stops_;
    if (!deferred_) return;
    if (opt_.pipe && checkpointCount_ > kHelpLead && opt_.pipe->helpWanted() &&
        taken_.load() < checkpoints_[(checkpointCount_ - kHelpLead) % kCheckpoints].calls) {
        publishCalls();
        opt_.pipe->help();
    }
    if (checkpointCount_ <= kCheckpointsAhead) return;
    // So far ahead that the checkpoint of where the render may end could
    // be overwritten: wait until half of that lead is made up.
    const uint64_t oldest = checkpoints_[(checkpointCount_ - kCheckpointsAhead) % kCheckpoints].calls;
    if (takenSeen_ >= oldest) return;
    publishCalls();
    // While the library catches up, the PCM it made goes on to the file here.
    const uint64_t half = checkpoints_[(checkpointCount_ - kCheckpointsAhead / 2) % kCheckpoints].calls;
    for (;;) {
        while (opt_.pipe && opt_.pipe->help())
            if (madeCalls(oldest)) return;
        waitForCalls(half, opt_.pipe != nullptr);
        if (abandoned_ || takenSeen_ >= half) return;
    }
}

// The CPU's counts as they stood after the step in which the render ended.
void Player::restoreCheckpoint() {
    for (uint64_t k = checkpointCount_; k-- > 0 && k + kCheckpoints >= checkpointCount_;) {
        const Checkpoint &c = checkpoints_[k % kCheckpoints];
        if (c.calls <= endedAt_) break;
        result_.playCalls = c.playCalls;
        result_.skippedPlays = c.skippedPlays;
        result_.idleLoopCycles = c.idleLoopCycles;
        result_.cpuCycles = c.cycles;
    }
}

uint64_t Player::apuIrqCycle() {
    if (apuIrqStale_) {
        // Cycles from the library's timestamp: 0 pending now, all ones none foreseen.
        const uint32_t n = apu_.findNextIrq();
        apuIrqAt_ = n == 0xFFFFFFFFu ? UINT64_MAX : hostNow_ + n;
        apuIrqStale_ = false;
    }
    return apuIrqAt_;
}

void Player::loadProgram() {
    if (nsf_.bankswitched()) {
        // The data starts (load address & $FFF) bytes into its first page.
        const size_t pad = nsf_.loadAddress & 0xFFF;
        const size_t total = pad + nsf_.data.size();
        pageCount_ = static_cast<unsigned>((total + kPage - 1) / kPage);
        pages_.assign(static_cast<size_t>(pageCount_) * kPage, 0);
        std::memcpy(pages_.data() + pad, nsf_.data.data(), nsf_.data.size());
        for (unsigned k = 0; k < 8; ++k) bank_[k] = nsf_.bankInit[k];
    } else {
        // Flat: the data sits at the load address; what would pass $FFFF is dropped.
        pageCount_ = 8;
        pages_.assign(8 * kPage, 0);
        const size_t offset = nsf_.loadAddress - 0x8000u;
        const size_t n = std::min(nsf_.data.size(), pages_.size() - offset);
        std::memcpy(pages_.data() + offset, nsf_.data.data(), n);
        for (unsigned k = 0; k < 8; ++k) bank_[k] = k;
    }
    for (unsigned k = 0; k < 8; ++k) map_[k] = page(bank_[k]);
}

// RAM (with its mirrors), work RAM and the program's pages are plain
// memory: the CPU reads them, and writes the RAM, without calling read()
// and write(). The writable IRQ vector at $FFFE keeps the last page on the
// bus when the file uses interrupts.
void Player::mapMemory() {
    for (unsigned page = 0x00; page < 0x20; ++page) {
        uint8_t *bytes = ram_.data() + (page & 7) * 0x100;
        cpu_.mapRead(static_cast<uint8_t>(page), bytes);
        cpu_.mapWrite(static_cast<uint8_t>(page), bytes);
    }
    for (unsigned page = 0x60; page < 0x80; ++page) {
        uint8_t *bytes = wram_.data() + (page - 0x60) * 0x100;
        cpu_.mapRead(static_cast<uint8_t>(page), bytes);
        cpu_.mapWrite(static_cast<uint8_t>(page), bytes);
    }
    for (unsigned bank = 0; bank < 8; ++bank) mapBank(bank);
}

void Player::mapBank(unsigned bank) {
    for (unsigned k = 0; k < kPage / 0x100; ++k) {
        const unsigned page = 0x80 + bank * (kPage / 0x100) + k;
        cpu_.mapRead(static_cast<uint8_t>(page), interrupts_ && page == 0xFF ? nullptr : map_[bank] + k * 0x100);
    }
}

void Player::logMemory(unsigned bank) {
    uint8_t *shadow = logShadow_.data() + bank * kPage;
    if (std::memcmp(shadow, map_[bank], kPage) == 0) return;
    std::memcpy(shadow, map_[bank], kPage);
    static const char kDigits[] = "0123456789abcdef";
    std::string line = "mem " + hex(0x8000 + bank * kPage, 4) + " ";
    line.reserve(line.size() + 2 * kPage + 1);
    for (size_t i = 0; i < kPage; ++i) {
        line.push_back(kDigits[shadow[i] >> 4]);
        line.push_back(kDigits[shadow[i] & 15]);
    }
    line.push_back('\n');
    *log_ << line;
}

void Player::setUpLibrary() {
    const pelrin_render::MixerSettings &mix = opt_.mixer;
    const double regionClock = pal_ ? kPalClock : kNtscClock;
    double clock = regionClock, step = pal_ ? kPalStepPeriod : kNtscStepPeriod;
    if (mix.environment && mix.environment->clock >= 1.0) clock = mix.environment->clock;
    if (mix.environment && mix.environment->stepPeriod >= 1.0) step = mix.environment->stepPeriod;
    const float master = mix.master < 0 ? 1.0f : mix.master;
    const int ramp = mix.ramp < 0 ? 0 : mix.ramp, shape = mix.shape < 0 ? 0 : mix.shape;
    apu_.initialize();
    apu_.configure(master, ramp, shape);
    apu_.setEnvironment(pal_ ? 1 : 0, static_cast<float>(clock), static_cast<float>(step));
    apu_.setOutputFormat(opt_.rate, opt_.bits, opt_.channels);
    frameBytes_ = static_cast<uint32_t>(opt_.bits / 8 * opt_.channels);
    buffer_.assign(static_cast<size_t>(opt_.rate / 5 + 4096) * frameBytes_, 0);
    inPlace_ = opt_.pipe && static_cast<pelrin_render::PcmSink *>(opt_.pipe) == &sink_;
    out_ = inPlace_ ? opt_.pipe->room(buffer_.size()) : buffer_.data();
    apu_.setOutputBuffer(out_, static_cast<uint32_t>(buffer_.size()));
    for (int32_t k = 0; k < 8; ++k) apu_.setDmaPointer(k, map_[static_cast<size_t>(k)]);
    apu_.reset(chip_);
    for (const auto &[index, enable] : opt_.channelEnable) apu_.setChannelOptions(index, enable, -1, -128);
    for (int i = 0; i < pelrin_render::kMixerChannels; ++i) {
        const auto &c = mix.channelOptions[static_cast<size_t>(i)];
        if (c.enable >= 0 || c.volume >= 0 || c.pan != -128) apu_.setChannelOptions(i, c.enable, c.volume, c.pan);
    }
    // Stretch length computed as the replaying tool computes it, so both cut
    // the output at the same cycles: one video frame of the clock in use.
    const double c = static_cast<double>(static_cast<float>(clock));
    frameCycles_ = pal_ ? c * (kPalFrameCycles / regionClock) : c * (kNtscFrameCycles / regionClock);
    setBoundary(frameCycles_);

    if (log_) {
        *log_ << "# pelrin-nsf: track " << (track_ + 1) << " of " << int(nsf_.songCount);
        // Escaped, so that a title cannot end the comment and start a command.
        if (!nsf_.title.empty()) *log_ << ", \"" << pelrin_tools::printable(nsf_.title) << "\"";
        *log_ << "\n# Cycles exclude stall cycles. Replay with: pelrin-render LOG -l " << opt_.seconds << "\n";
        *log_ << "format " << opt_.rate << " " << opt_.bits << " " << opt_.channels << "\n";
        if (pal_ || clock != regionClock || step != (pal_ ? kPalStepPeriod : kNtscStepPeriod)) {
            char line[96];
            std::snprintf(line, sizeof line, "environment %s %.17g %.17g\n", pal_ ? "pal" : "ntsc",
                          static_cast<double>(static_cast<float>(clock)), static_cast<double>(static_cast<float>(step)));
            *log_ << line;
        }
        if (master != 1.0f || ramp || shape) {
            char line[96];
            std::snprintf(line, sizeof line, "configure %.9g %s %s\n", static_cast<double>(master), ramp ? "on" : "off",
                          shape ? "symmetric" : "staircase");
            *log_ << line;
        }
        *log_ << "reset " << chipWord(chip_) << "\n";
        for (const auto &[index, enable] : opt_.channelEnable)
            *log_ << "channel " << index << " " << (enable ? "on" : "off") << " - -\n";
        for (int i = 0; i < pelrin_render::kMixerChannels; ++i) {
            const auto &ch = mix.channelOptions[static_cast<size_t>(i)];
            if (ch.enable < 0 && ch.volume < 0 && ch.pan == -128) continue;
            *log_ << "channel " << i << " " << (ch.enable < 0 ? "-" : ch.enable ? "on" : "off") << " "
                  << (ch.volume < 0 ? std::string("-") : std::to_string(ch.volume)) << " "
                  << (ch.pan == -128 ? std::string("-") : std::to_string(ch.pan)) << "\n";
        }
        for (unsigned k = 0; k < 8; ++k) logMemory(k);
    }
}

void Player::collect() {
    uint32_t n = apu_.writtenBufferSize(1);
    if (n + frameBytes_ > buffer_.size())
        throw std::runtime_error("internal error: the output buffer filled up within one stretch");
    uint64_t frames = std::min<uint64_t>(n / frameBytes_, targetFrames_ - result_.frames);
    if (frames) {
        result_.frames += frames;
        result_.bytes += frames * frameBytes_;
        // Watched before the pipe may hand its chunk over.
        if (opt_.silenceSeconds > 0) watchSilence(static_cast<size_t>(frames));
        if (inPlace_) opt_.pipe->wrote(static_cast<size_t>(frames) * frameBytes_);
        else sink_.write(out_, static_cast<size_t>(frames) * frameBytes_);
    }
    if (inPlace_) {
        // The library's buffer starts empty again: at the next room, or,
        // once the render has ended, in memory of our own (the pipe may have
        // handed the chunk over; what the library makes now is not used).
        out_ = done() ? buffer_.data() : opt_.pipe->room(buffer_.size());
        apu_.setOutputBuffer(out_, static_cast<uint32_t>(buffer_.size()));
    }
    if (progress_) progress_(result_.frames, targetFrames_);
}

std::optional<uint64_t> Player::syncTo(uint64_t t, bool stopAtInterrupts) {
    while (t >= nextBoundary() && !done()) {
        uint64_t before = stall_;
        finishStretch(nextBoundary());
        t += stall_ - before; // stalls move the access later
    }
    if (done()) return std::nullopt;
    if (stopAtInterrupts) {
        uint64_t before = stall_;
        stopAtInterruptsBefore(t);
        t += stall_ - before;
    }
    return t;
}

void Player::apuWrite(uint16_t address, uint8_t value, uint64_t cycle) {
    if (deferred_) {
        if (address != 0x4015 || !(value & 0x10)) {
            finishStretchesUpTo(cycle);
            pushCall({SoundCall::kWrite, value, address, cycle, nullptr});
            return;
        }
        leaveSoundThread(); // a sample starts: its fetches will steal cycles
    }
    std::optional<uint64_t> t = syncTo(cycle, true);
    if (!t) return;
    if (log_) *log_ << "w " << (*t - stall_) << " " << hex(address, 4) << " " << hex(value, 2) << "\n";
    if (opt_.onSoundWrite) opt_.onSoundWrite(address, value);
    libraryWrite(address, value, *t);
}

uint8_t Player::apuRead(uint16_t address, uint64_t cycle) {
    if (deferred_) leaveSoundThread();
    uint8_t bus = static_cast<uint8_t>(address >> 8); // open bus: the address's high byte
    std::optional<uint64_t> t = syncTo(cycle, true);
    if (!t) return bus;
    if (log_) *log_ << "r " << (*t - stall_) << " " << hex(address, 4) << " " << hex(bus, 2) << "\n";
    uint32_t s = apu_.regRead(address, &bus, static_cast<uint32_t>(*t));
    addStall(s);
    hostNow_ = *t + s;
    apuIrqStale_ = true;
    return bus;
}

void Player::bankswitch(unsigned bank, uint8_t value, uint64_t cycle) {
    if (bank_[bank] == value) return;
    // The sound unit must have fetched from the old page up to this cycle.
    std::optional<uint64_t> t;
    ++stops_;
    if (deferred_) {
        finishStretchesUpTo(cycle);
        pushStop(cycle);
    } else {
        t = syncTo(cycle, false);
        if (t) {
            if (log_) *log_ << "run " << (*t - stall_) << "\n";
            runTo(*t);
            collect();
        }
    }
    bank_[bank] = value;
    map_[bank] = page(value);
    mapBank(bank);
    if (deferred_) pushCall({SoundCall::kDmaPointer, 0, static_cast<uint16_t>(bank), 0, map_[bank]});
    else apu_.setDmaPointer(static_cast<int32_t>(bank), map_[bank]);
    if (log_ && t) logMemory(bank);
}

uint8_t Player::read(uint16_t a, uint64_t cycle) {
    if (a < 0x2000) return ram_[a & 0x7FF];
    if (a >= 0x8000) {
        if (interrupts_ && a >= 0xFFFE) return irqVector_[a - 0xFFFEu];
        return map_[(a - 0x8000u) >> 12][a & 0xFFF];
    }
    if (a >= 0x6000) return wram_[a - 0x6000u];
    quiet_ = false; // registers and open bus: not memory that stays put
    if (a >= 0x4000 && a <= 0x4017) return apuRead(a, cycle);
    if (interrupts_ && a == 0x401D) {
        // Reading the timer's control acknowledges its interrupt.
        updateTimer(cycle);
        const uint8_t v = static_cast<uint8_t>(timerPending_ ? 0x80 : 0x00) | (timerOn_ ? 1 : 0);
        timerPending_ = false;
        return v;
    }
    if (chip_ == PELRIN_CHIP_N163 && a >= 0x4800 && a <= 0x4FFF) return apuRead(0x4800, cycle);
    if (chip_ == PELRIN_CHIP_MMC5) {
        if (a >= 0x5000 && a <= 0x5015) return apuRead(a, cycle);
        if (a == 0x5205) return static_cast<uint8_t>(mulA_ * mulB_);
        if (a == 0x5206) return static_cast<uint8_t>((mulA_ * mulB_) >> 8);
        if (a >= 0x5C00 && a <= 0x5FF5) return exram_[a - 0x5C00u];
    }
    return static_cast<uint8_t>(a >> 8); // nothing answers: open bus
}

void Player::write(uint16_t a, uint8_t v, uint64_t cycle) {
    quiet_ = false;
    if (a < 0x2000) { ram_[a & 0x7FF] = v; return; }
    if (a >= 0x6000 && a < 0x8000) { wram_[a - 0x6000u] = v; return; }
    if (a >= 0x4000 && a <= 0x4017) { apuWrite(a, v, cycle); return; }
    if (interrupts_) {
        if (a >= 0xFFFE) { irqVector_[a - 0xFFFEu] = v; return; }
        if (a == 0x401B) { timerReload_ = static_cast<uint16_t>((timerReload_ & 0xFF00) | v); return; }
        if (a == 0x401C) { timerReload_ = static_cast<uint16_t>((timerReload_ & 0x00FF) | (v << 8)); return; }
        if (a == 0x401D) {
            // Bit 0 starts the timer from its reload value, or stops it; either acknowledges.
            updateTimer(cycle);
            timerPending_ = false;
            timerOn_ = (v & 1) != 0;
            timerNext_ = cycle + timerPeriod();
            return;
        }
    }
    if (a >= 0x5FF8 && a <= 0x5FFF) {
        if (nsf_.bankswitched()) bankswitch(a - 0x5FF8u, v, cycle);
        return;
    }
    switch (chip_) {
    case PELRIN_CHIP_VRC6:
        if (a >= 0x9000 && a <= 0xBFFF && (a & 0x0FFF) <= 3) apuWrite(a, v, cycle);
        break;
    case PELRIN_CHIP_MMC5:
        if (a >= 0x5000 && a <= 0x5015) apuWrite(a, v, cycle);
        else if (a == 0x5205) mulA_ = v;
        else if (a == 0x5206) mulB_ = v;
        else if (a >= 0x5C00 && a <= 0x5FF5) exram_[a - 0x5C00u] = v;
        break;
    case PELRIN_CHIP_N163:
        if (a >= 0x4800 && a <= 0x4FFF) apuWrite(0x4800, v, cycle);
        else if (a >= 0xF800) apuWrite(0xF800, v, cycle);
        break;
    default: break;
    }
}

void Player::startRoutine(uint16_t address) {
    cpu_.push(static_cast<uint8_t>((kReturnAddress - 1) >> 8));
    cpu_.push(static_cast<uint8_t>((kReturnAddress - 1) & 0xFF));
    cpu_.pc = address;
    busy_ = true;
    quiet_ = false;
    loopCycles_ = 0;
}

void Player::jumpedBack() {
    const Cpu6502::Registers now = cpu_.registers();
    const uint64_t maskInstructions = cpu_.maskInstructions();
    if (quiet_ && !cpu_.wroteMapped() && events_ == loopEvents_ && now == loopStart_) {
        loopCycles_ = cpu_.cycles - loopStartCycle_;
        loopMaskSteady_ = maskInstructions == loopMaskInstructions_;
    }
    // The next turn begins here.
    quiet_ = true;
    cpu_.clearWroteMapped();
    loopStart_ = now;
    loopStartCycle_ = cpu_.cycles;
    loopEvents_ = events_;
    loopMaskInstructions_ = maskInstructions;
}

// Called at the start of a loop found idle, after the IRQ line was updated
// for this cycle as before any instruction. Every turn from here is the
// watched one; the turns skipped are those that end before the next
// stretch boundary and before the next cycle at which the IRQ line may go
// up, so the library sees exactly the calls it would: the player's own
// checks at the skipped instructions would all have found nothing to do
// (no interrupt foreseen, no library call, a timer that has not reached
// its count). The rest runs instruction by instruction.
bool Player::skipIdleLoop() {
    const uint64_t turn = loopCycles_;
    loopCycles_ = 0;
    if (events_ != loopEvents_ || cpu_.registers() != loopStart_) return false;
    uint64_t end = nextBoundary() - 1; // an instruction ending at the boundary finishes the stretch
    if (interrupts_) {
        if (cpu_.irqLine) {
            // Up, and held off by the I flag that no instruction of the loop
            // changes: the line stays up and the checks make no library call
            // (a pending timer skips the sound unit's; a pending sound-unit
            // flag is answered from the last prediction) until the loop is
            // left. Otherwise the interrupt is taken now.
            if (!loopMaskSteady_ || !cpu_.irqMasked()) return false;
        } else {
            // Nothing pending now: the prediction is fresh, the timer's next count ahead.
            end = std::min(end, nextIrqCycle());
        }
    }
    if (end <= cpu_.cycles) return false;
    const uint64_t turns = (end - cpu_.cycles) / turn;
    cpu_.cycles += turns * turn;
    loopStartCycle_ += turns * turn; // the turn under way begins that much later
    result_.idleLoopCycles += turns * turn;
    return turns > 0;
}

PlayResult Player::run() {
    const int track = track_ = opt_.track < 0 ? nsf_.startSong - 1 : opt_.track;
    if (track >= nsf_.songCount)
        throw NsfError("track " + std::to_string(track + 1) + " is out of range (the file has " +
                       std::to_string(nsf_.songCount) + (nsf_.songCount == 1 ? " song)" : " songs)"));
    if (!(opt_.seconds > 0) || opt_.seconds > 24.0 * 3600)
        throw std::runtime_error("the length must be more than 0 and at most 24 hours");
    pal_ = opt_.region < 0 ? nsf_.palOnly() : opt_.region != 0;
    std::string warning;
    chip_ = selectChip(nsf_.chips, warning);
    targetFrames_ = static_cast<uint64_t>(std::llround(opt_.seconds * opt_.rate));

    loadProgram();
    interrupts_ = nsf_.usesInterrupts();
    irqVector_ = {map_[7][0xFFE], map_[7][0xFFF]}; // until the program writes its own
    mapMemory();
    setUpLibrary();
    result_.chip = chip_;
    result_.pal = pal_;

    // Sound registers as an NSF player leaves them before init.
    for (uint16_t a = 0x4000; a <= 0x4013; ++a) apuWrite(a, 0, 0);
    apuWrite(0x4015, 0x00, 0);
    apuWrite(0x4015, 0x0F, 0);
    apuWrite(0x4017, 0x40, 0);
    if (opt_.soundThread && !log_ && !opt_.apu && !opt_.onSoundWrite && !interrupts_) startSoundThread();
    else if (opt_.pipe) opt_.pipe->startThread();

    const double period = playPeriod(nsf_, pal_) > 0 ? playPeriod(nsf_, pal_) : frameCycles_;
    result_.playPeriodCycles = period;
    double nextPlay = period;

    cpu_.a = static_cast<uint8_t>(track);
    cpu_.x = pal_ ? 1 : 0;
    cpu_.y = 0;
    cpu_.s = 0xFD;
    cpu_.p = Cpu6502::I | Cpu6502::U;
    cpu_.cycles = hostNow_;
    startRoutine(nsf_.initAddress);
    inInit_ = true;

    while (!finished()) {
        // The CPU is idle, waiting for the next play call, while its PC rests
        // on the return address; an interrupt then runs its handler from there.
        const bool idle = cpu_.pc == kReturnAddress;
        if (!idle) {
            if (interrupts_) cpu_.irqLine = irqLineAt(cpu_.cycles);
            // At the start of a loop that idles: the same checks where the skipped turns end.
            if (loopCycles_ && skipIdleLoop() && interrupts_) cpu_.irqLine = irqLineAt(cpu_.cycles);
            uint16_t from = cpu_.pc;
            uint8_t stack = cpu_.s;
            try {
                cpu_.stepWithInterrupts();
                if (!interrupts_) {
                    // The instructions that need none of this loop's checks
                    // run here: up to the return address, a jump back, the
                    // stretch's end or a call that may end the render.
                    // The run makes the same checks after each of them;
                    // stops_ moves only within a bus access, where the run
                    // watches it.
                    const uint64_t boundary = nextBoundary();
                    if (cpu_.pc != kReturnAddress && cpu_.cycles < boundary &&
                        !(cpu_.pc <= from && cpu_.s == stack)) {
                        const Cpu6502::LastInstruction last = cpu_.run(kReturnAddress, boundary, stops_);
                        from = last.pc;
                        stack = last.s;
                    }
                }
            } catch (const CpuError &e) {
                if (deferred_) {
                    leaveSoundThread();
                    if (endedOnSoundThread_) break; // the render ended before this instruction
                }
                std::string what = std::string(inHandler_ ? "interrupt handler" : inInit_ ? "init routine" : "play routine") +
                                   ": " + e.what();
                if (result_.frames == 0) throw NsfError(what);
                result_.cpuStopped = what;
                break;
            }
            if (cpu_.pc == kReturnAddress) {
                if (busy_) {
                    busy_ = false;
                    inInit_ = false;
                    // Play calls that fell due while the routine ran are missed.
                    while (std::ceil(nextPlay) < static_cast<double>(cpu_.cycles)) {
                        nextPlay += period;
                        ++result_.skippedPlays;
                    }
                }
                inHandler_ = false;
            } else if (cpu_.pc <= from && cpu_.s == stack && opt_.skipIdleLoops) [[unlikely]] {
                // A jump or branch back; returns and interrupts, which move
                // the stack pointer, never close a turn that writes nothing.
                jumpedBack();
            }
            finishStretchesUpTo(cpu_.cycles);
        } else {
            quiet_ = false;
            loopCycles_ = 0;
            const uint64_t b = nextBoundary();
            const uint64_t p = static_cast<uint64_t>(std::ceil(nextPlay));
            const uint64_t i = interrupts_ && !cpu_.irqMasked() ? nextIrqCycle() : UINT64_MAX;
            if (i < b && i <= p) {
                // An interrupt while idle: its handler runs, RTI comes back here.
                if (cpu_.cycles < i) cpu_.cycles = i;
                cpu_.irqLine = irqLineAt(cpu_.cycles);
                if (cpu_.irqLine) {
                    cpu_.stepWithInterrupts();
                    inHandler_ = true;
                                }
                finishStretchesUpTo(cpu_.cycles);
            } else if (b <= p) {
                if (cpu_.cycles < b) cpu_.cycles = b; // the CPU idles up to the frame's end
                finishStretch(b);
            } else {
                if (cpu_.cycles < p) cpu_.cycles = p;
                nextPlay += period;
                ++result_.playCalls;
                startRoutine(nsf_.playAddress);
            }
        }
        if (stops_ != checkpointStops_) checkpoint();
    }
    if (soundThread_.joinable()) leaveSoundThread(false);
    // A CPU that stopped may have written after the last finished stretch:
    // the log's last run never lies before its last access.
    if (log_) *log_ << "run " << std::max(endLogCycle_, hostNow_ - stall_) << "\n";
    result_.cpuCycles = cpu_.cycles;
    if (endedOnSoundThread_) restoreCheckpoint();
    return result_;
}

} // namespace

int selectChip(uint8_t chips, std::string &warning) {
    warning.clear();
    int chip = PELRIN_CHIP_NONE;
    std::string chosen;
    if (chips & 0x01) { chip = PELRIN_CHIP_VRC6; chosen = "VRC6"; }
    else if (chips & 0x08) { chip = PELRIN_CHIP_MMC5; chosen = "MMC5"; }
    else if (chips & 0x10) { chip = PELRIN_CHIP_N163; chosen = "Namco 163"; }
    const uint8_t supported = chips & 0x19;
    const uint8_t unsupported = chips & static_cast<uint8_t>(~0x19);
    if (unsupported)
        warning = "expansion chip byte " + hex(chips, 2) + " names " + chipNames(unsupported) +
                  ", which cannot be played; " + (chip ? "playing " + chosen + " and the 2A03" : std::string("playing the 2A03 only"));
    else if (supported & (supported - 1))
        warning = "expansion chip byte " + hex(chips, 2) + " names several chips (" + chipNames(supported) +
                  "); playing " + chosen + " and the 2A03 only";
    return chip;
}

double playPeriod(const NsfFile &nsf, bool pal) {
    const double frame = pal ? kPalFrameCycles : kNtscFrameCycles;
    const double clock = pal ? kPalClock : kNtscClock;
    const unsigned speed = pal ? nsf.palSpeed : nsf.ntscSpeed;
    if (speed == 0) return 0.0; // use the video frame
    const double frameMicros = frame / clock * 1e6;
    // Header values for one video frame (16639, 16666, 19997, 20000, ...) mean exactly one frame.
    if (std::fabs(speed - frameMicros) <= frameMicros * 0.005) return 0.0;
    return speed * clock / 1e6;
}

PlayResult play(const NsfFile &nsf, const PlayerOptions &options, pelrin_render::PcmSink &sink, std::ostream *log,
                const PlayProgress &progress) {
    if (options.rate < 8000 || options.rate > 192000) throw std::runtime_error("the rate must be 8000..192000 Hz");
    if (options.bits != 8 && options.bits != 16) throw std::runtime_error("bits must be 8 or 16");
    if (options.channels != 1 && options.channels != 2) throw std::runtime_error("channels must be 1 or 2");
    auto player = std::make_unique<Player>(nsf, options, sink, log, progress);
    return player->run();
}

} // namespace pelrin_nsf
