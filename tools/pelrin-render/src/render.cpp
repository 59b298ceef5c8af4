#include "render.hpp"

#include <apu.hpp>
#include <pelrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

namespace pelrin_render {

OutputFormat effectiveFormat(const RegisterLog &log, const RenderSettings &settings) {
    OutputFormat f = log.format.value_or(OutputFormat{});
    if (settings.rate) f.rate = *settings.rate;
    if (settings.bits) f.bits = *settings.bits;
    if (settings.channels) f.channels = *settings.channels;
    return f;
}

uint64_t expectedFrames(const RegisterLog &log, const RenderSettings &settings) {
    OutputFormat f = effectiveFormat(log, settings);
    if (settings.lengthSeconds) return static_cast<uint64_t>(std::llround(*settings.lengthSeconds * f.rate));
    double clock = settings.environment && settings.environment->clock >= 1.0 ? settings.environment->clock : kNtscClock;
    return static_cast<uint64_t>(static_cast<double>(log.lastCycle) / clock * f.rate);
}

namespace {

class Host {
public:
    Host(const RegisterLog &log, const RenderSettings &settings, PcmSink &sink, const ProgressFn &progress,
         const CancelFn &cancel)
        : log_(log), settings_(settings), sink_(sink), progress_(progress), cancel_(cancel),
          format_(effectiveFormat(log, settings)), memory_(0x8000, 0) {
        frameBytes_ = static_cast<uint32_t>(format_.bits / 8 * format_.channels);
        // Room for far more than one stretch, so the library never holds samples back.
        buffer_.resize(static_cast<size_t>(format_.rate / 5 + 4096) * frameBytes_);
        if (settings.lengthSeconds)
            targetFrames_ = static_cast<uint64_t>(std::llround(*settings.lengthSeconds * format_.rate));
    }

    RenderStats run() {
        start();
        for (const Command &c : log_.commands) feed(c);
        return end();
    }

    void start() {
        stats_.format = format_;
        setUp();
    }

    void feed(const Command &c) {
        if (done()) return;
        if (isTimed(c.op) && !overridesApplied_) applyOverrides();
        execute(c);
    }

    RenderStats end() {
        if (!overridesApplied_) applyOverrides();
        if (targetFrames_) {
            // Keep the sound unit running until the requested length is reached.
            const uint64_t limit = hostNow_ + static_cast<uint64_t>((*settings_.lengthSeconds + 1.0) * 4.0 * clock_) + 1000000;
            while (!done()) {
                if (hostNow_ > limit) throw std::runtime_error("the library produced fewer samples than expected");
                finishStretch(nextBoundary());
            }
        } else {
            collect();
        }
        sink_.finish();
        return stats_;
    }

private:
    void setUp() {
        apu_.initialize();
        apu_.configure(1.0f, 0, 0);          // Initialize leaves the master volume alone
        apu_.setEnvironment(0, static_cast<float>(kNtscClock), static_cast<float>(kNtscStepPeriod));
        apu_.setOutputFormat(format_.rate, format_.bits, format_.channels);
        apu_.setOutputBuffer(buffer_.data(), static_cast<uint32_t>(buffer_.size()));
        for (int32_t k = 0; k < 8; ++k) apu_.setDmaPointer(k, memory_.data() + 0x1000 * k);
        // The chosen clock is in force from the reset on (the reset starts the
        // frame sequencer's countdown from the step period); applied again
        // after the log's header so that it wins over the log's own settings.
        if (settings_.environment) {
            const Environment &e = *settings_.environment;
            setEnvironment(e.region, static_cast<float>(e.clock), static_cast<float>(e.stepPeriod));
        }
        boundary_ = frameCycles();
        apu_.reset(settings_.chip);
    }

    void applyOverrides() {
        overridesApplied_ = true;
        if (settings_.environment) {
            const Environment &e = *settings_.environment;
            setEnvironment(e.region, static_cast<float>(e.clock), static_cast<float>(e.stepPeriod));
        }
        apu_.configure(settings_.master, settings_.ramp, settings_.shape);
        for (int32_t i = 0; i < PELRIN_CHANNEL_COUNT; ++i) {
            const ChannelSetting &c = settings_.channelOptions[static_cast<size_t>(i)];
            if (c.enable >= 0 || c.volume >= 0 || c.pan != -128) apu_.setChannelOptions(i, c.enable, c.volume, c.pan);
        }
    }

    void setEnvironment(int32_t region, float clock, float step) {
        apu_.setEnvironment(region, clock, step);
        // Track what the library accepted: stretch lengths follow the clock.
        if (region >= 0) region_ = region;
        if (std::isfinite(clock) && clock >= 1.0f && clock >= static_cast<float>(format_.rate)) clock_ = clock;
        // A slower clock puts more sound into each cycle: the stretch under
        // way ends no later than one video frame at the new clock, so the
        // buffer (sized in time) always holds it.
        boundary_ = std::min(boundary_, static_cast<double>(hostNow_) + frameCycles());
    }

    double frameCycles() const {
        return region_ == 0 ? clock_ * (kNtscFrameCycles / kNtscClock) : clock_ * (kPalFrameCycles / kPalClock);
    }

    uint64_t nextBoundary() const { return static_cast<uint64_t>(std::ceil(boundary_)); }

    bool done() const { return targetFrames_ && stats_.frames >= *targetFrames_; }

    // Host cycle (since the last reset, stalls included) of a log cycle.
    uint64_t hostCycle(uint64_t logCycle) const { return logCycle - base_ + stall_; }

    void addStall(uint32_t s) {
        stall_ += s;
        stats_.stallCycles += s;
    }

    void advance(uint64_t t) {
        uint32_t s = apu_.runToCycle(static_cast<uint32_t>(t));
        addStall(s);
        hostNow_ = t + s;
    }

    void noteInterrupt() {
        bool pending = apu_.findNextIrq() == 0;
        if (pending && !irqPending_) ++stats_.interrupts;
        irqPending_ = pending;
    }

    // Runs up to each interrupt due before host cycle t, as a host stops
    // there to deliver it.
    void stopAtInterruptsBefore(uint64_t t) {
        for (;;) {
            uint32_t n = apu_.findNextIrq();
            noteInterrupt();
            if (n == 0 || n == 0xFFFFFFFFu || hostNow_ + n >= t) break;
            advance(hostNow_ + n);
        }
    }

    void runTo(uint64_t t) {
        stopAtInterruptsBefore(t);
        if (t > hostNow_) advance(t);
        noteInterrupt();
    }

    void collect() {
        uint32_t n = apu_.writtenBufferSize(1);
        ++stats_.stretches;
        if (n + frameBytes_ > buffer_.size())
            throw std::runtime_error("internal error: the output buffer filled up within one stretch");
        uint64_t frames = n / frameBytes_;
        if (targetFrames_) frames = std::min<uint64_t>(frames, *targetFrames_ - stats_.frames);
        if (frames) {
            size_t bytes = static_cast<size_t>(frames) * frameBytes_;
            sink_.write(buffer_.data(), bytes);
            stats_.frames += frames;
            stats_.bytes += bytes;
        }
        if (progress_) progress_(stats_.frames);
        if (cancel_ && cancel_()) throw RenderCancelled();
    }

    void finishStretch(uint64_t boundary) {
        runTo(boundary);
        collect();
        boundary_ += frameCycles();
    }

    void execute(const Command &c) {
        switch (c.op) {
        case Op::Write:
        case Op::Read:
        case Op::Run: {
            uint64_t t = hostCycle(c.cycle);
            while (t >= nextBoundary() && !done()) {
                finishStretch(nextBoundary());
                t = hostCycle(c.cycle); // stalls move the event later
            }
            if (done()) return;
            if (c.op != Op::Run) {
                stopAtInterruptsBefore(t);
                t = hostCycle(c.cycle);
            }
            if (c.op == Op::Write) {
                uint32_t s = apu_.regWrite(c.address, c.value, static_cast<uint32_t>(t));
                addStall(s);
                hostNow_ = t + s;
            } else if (c.op == Op::Read) {
                uint8_t bus = static_cast<uint8_t>(c.value);
                uint32_t s = apu_.regRead(c.address, &bus, static_cast<uint32_t>(t));
                addStall(s);
                hostNow_ = t + s;
                stats_.reads.push_back({c.line, c.address, bus});
            } else {
                runTo(t);
                collect();
            }
            lastLogCycle_ = c.cycle;
            break;
        }
        case Op::Reset:
            collect();
            apu_.reset(c.chip);
            // The library's count restarts at 0 here; later log cycles are
            // measured from the cycle of the last timed line.
            base_ = lastLogCycle_;
            stall_ = 0;
            hostNow_ = 0;
            boundary_ = frameCycles();
            irqPending_ = false;
            break;
        case Op::Configure:
            apu_.configure(c.master, c.ramp, c.shape);
            break;
        case Op::Channel:
            apu_.setChannelOptions(c.index, c.enable, c.volume, c.pan);
            break;
        case Op::Environment:
            setEnvironment(c.region, c.clock, c.stepPeriod);
            break;
        case Op::Memory:
            if (!c.bytes.empty()) std::memcpy(memory_.data() + (c.address - 0x8000), c.bytes.data(), c.bytes.size());
            break;
        }
    }

    const RegisterLog &log_;
    const RenderSettings &settings_;
    PcmSink &sink_;
    const ProgressFn &progress_;
    const CancelFn &cancel_;
    pelrin_tools::Apu apu_; // the render's own sound unit
    OutputFormat format_;
    uint32_t frameBytes_ = 2;
    std::vector<uint8_t> buffer_;
    std::vector<uint8_t> memory_;   // CPU $8000-$FFFF behind the eight DMA banks
    std::optional<uint64_t> targetFrames_;
    RenderStats stats_;
    bool overridesApplied_ = false;
    int region_ = 0;
    double clock_ = kNtscClock;
    uint64_t base_ = 0;          // log cycle at which the library was last reset
    uint64_t stall_ = 0;         // stall cycles since the last reset
    uint64_t hostNow_ = 0;       // library cycle since the last reset
    uint64_t lastLogCycle_ = 0;
    double boundary_ = kNtscFrameCycles; // end of the current stretch, host cycles
    bool irqPending_ = false;
};

} // namespace

RenderStats render(const RegisterLog &log, const RenderSettings &settings, PcmSink &sink, const ProgressFn &progress,
                   const CancelFn &cancel) {
    Host host(log, settings, sink, progress, cancel);
    return host.run();
}

RenderStats renderStream(const RegisterLog &summary, std::istream &in, const std::filesystem::path &baseDir,
                         const RenderSettings &settings, PcmSink &sink, const ProgressFn &progress,
                         const CancelFn &cancel) {
    Host host(summary, settings, sink, progress, cancel);
    host.start();
    parseLog(in, summary.name, baseDir, [&](Command &&c) { host.feed(c); });
    return host.end();
}

} // namespace pelrin_render
