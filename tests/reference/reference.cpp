// Reference rendering core: the straightforward run loop, integrators and
// mixer the library used before its fast path, kept word for word (names
// prefixed Ref) so that the differential test can compare the two. It works
// on pelrin::apu, which the test swaps for the reference's own state around
// every call. Register decoding and set-up are the library's own.
#include <cmath>

#include "frame/state.h"
#include "reference/reference.h"

using namespace pelrin;

namespace pelrin_ref {
// ---- integrators ----
void RefUpdateSweepMute(PulseChannel &c) {
    if (c.period < 8)
        c.muted = 1;
    else if (c.sweepNegate)
        c.muted = 0;
    else  // muted even with the sweep off when its target would leave 11 bits
        c.muted = (c.period + (c.period >> c.sweepShift)) >= 0x800 ? 1 : 0;
}
void RefClockPulseHalfFrame(PulseChannel &c) {
    if (c.length == 0) return;
    if (c.lengthCounting) c.length--;
    // A channel whose length just ran out still sweeps on this clock.
    if (!c.sweepEnabled || c.muted || c.sweepShift == 0) return;
    if (c.sweepDivider != 0) {
        c.sweepDivider--;
        return;
    }
    c.sweepDivider = c.sweepPeriod;
    uint16_t delta = static_cast<uint16_t>(c.period >> c.sweepShift);
    if (c.sweepNegate)
        c.period = static_cast<uint16_t>(c.period - delta - c.sweepNegateExtra);
    else
        c.period = static_cast<uint16_t>(c.period + delta);
    RefUpdateSweepMute(c);
}
void RefIntegratePulse(PulseChannel &c, uint32_t cycles) {
    if (c.muted || c.length == 0 || cycles == 0) return;
    const int64_t left = c.output.levelLeft[c.envelope.volume & 15];
    const int64_t right = c.output.levelRight[c.envelope.volume & 15];
    const unsigned high = c.dutySteps;
    const int32_t reload = c.period + 1;
    unsigned step = c.step;
    int64_t signedCycles = 0;  // high cycles minus low cycles
    c.timer = RunTimer(
        c.timer, cycles,
        [&](uint32_t n) { signedCycles += step < high ? static_cast<int64_t>(n) : -static_cast<int64_t>(n); },
        [&] {
            step = (step + 1) & 15;
            return reload;
        });
    c.step = static_cast<uint8_t>(step);
    c.output.sumLeft += left * signedCycles;
    c.output.sumRight += right * signedCycles;
}
void RefClockLinearCounter(TriangleChannel &c) {
    if (c.linearStartPending && !c.control) {
        c.linearStartPending = 0;
        c.linearActive = 1;
    }
    if (c.linearActive && c.linearCounter) c.linearCounter--;
}
void RefIntegrateTriangle(TriangleChannel &c, uint32_t cycles) {
    if (c.length == 0 || c.linearCounter == 0 || c.period < 8) {
        // Gated off or too short a period: the wave holds its current level.
        c.output.sumLeft += static_cast<int64_t>(c.output.levelLeft[c.step & 31]) * cycles;
        c.output.sumRight += static_cast<int64_t>(c.output.levelRight[c.step & 31]) * cycles;
        return;
    }
    const int32_t reload = c.period + 1;
    unsigned step = c.step & 31;
    int64_t left = 0, right = 0;
    c.timer = RunTimer(
        c.timer, cycles,
        [&](uint32_t n) {
            left += static_cast<int64_t>(c.output.levelLeft[step]) * n;
            right += static_cast<int64_t>(c.output.levelRight[step]) * n;
        },
        [&] {
            step = (step + 1) & 31;
            return reload;
        });
    c.step = static_cast<uint8_t>(step);
    c.output.sumLeft += left;
    c.output.sumRight += right;
}
void RefIntegrateNoise(NoiseChannel &c, uint32_t cycles) {
    // A period never written (0) would shift forever without time passing:
    // the channel stays frozen until $400E gives it one.
    if (c.length == 0 || cycles == 0 || c.period == 0) return;
    const int32_t period = c.period;
    const unsigned tap = c.tapShift;
    unsigned reg = c.shiftRegister;
    unsigned out = c.outputBit;
    uint64_t soundingCycles = 0;
    c.timer = RunTimer(
        c.timer, cycles, [&](uint32_t n) { soundingCycles += out ? n : 0; },
        [&] {
            reg = (reg << 1) & 0xFFFF;
            if (((reg ^ (reg << tap)) & 0x8000) != 0) reg |= 1;
            out = (reg & 0x8000) ? 0 : 1;
            return period;
        });
    c.shiftRegister = static_cast<uint16_t>(reg);
    c.outputBit = static_cast<uint8_t>(out);
    const int64_t sounding = static_cast<int64_t>(soundingCycles);
    c.output.sumLeft += c.output.levelLeft[c.envelope.volume & 15] * sounding;
    c.output.sumRight += c.output.levelRight[c.envelope.volume & 15] * sounding;
}
namespace {

inline void AddOutput(DmcChannel &c, uint64_t cycles) {
    const int64_t n = static_cast<int64_t>(cycles);
    c.output.sumLeft += c.output.levelLeft[c.level & 127] * n;
    c.output.sumRight += c.output.levelRight[c.level & 127] * n;
}

// Idle: the level holds, or ramps one unit per 100 cycles towards the last
// $4011 value when the ramp option smooths such jumps.
void IntegrateIdle(DmcChannel &c, uint32_t cycles) {
    if (!(c.dmcRampOption && c.rampTarget != c.level)) {
        AddOutput(c, cycles);
        return;
    }
    while (cycles != 0) {
        const uint32_t n = CyclesBefore(c.rampCountdown, cycles);
        AddOutput(c, n);
        c.rampCountdown -= static_cast<int32_t>(n);
        cycles -= n;
        if (c.rampCountdown <= 0) {
            c.rampCountdown = 100;
            if (c.rampTarget < c.level)
                c.level--;
            else if (c.rampTarget > c.level)
                c.level++;
            else {
                c.rampCountdown = 0;
                AddOutput(c, cycles);
                return;
            }
        }
    }
}

inline uint8_t FetchByte(const DmcChannel &c) {
    // A bank the host never set reads as 0 rather than through null.
    const uint8_t *bank = c.dmaPointers[c.bank & 7];
    return bank != nullptr ? bank[c.offset & 0xFFF] : 0;
}

}  // namespace
uint32_t RefIntegrateDmc(DmcChannel &c, uint32_t cycles) {
    if (!c.active) {
        IntegrateIdle(c, cycles);
        return 0;
    }
    uint32_t fetched = 0;
    while (cycles != 0) {
        const uint32_t n = CyclesBefore(c.timer, cycles);
        AddOutput(c, n);
        c.timer -= static_cast<int32_t>(n);
        cycles -= n;
        if (c.timer > 0) continue;

        c.timer = c.period;
        if (c.bitsLeft == 0) {
            if (c.bytesLeft == 0) {
                if (!c.loop) {
                    c.active = 0;
                    if (c.irqEnabled) c.irqFlag = 1;
                    c.timer = 0;
                    if (c.dmcRampOption) c.rampTarget = c.level;  // no ramp follows
                    AddOutput(c, cycles);
                    return fetched;
                }
                c.bytesLeft = c.sampleLength;
                c.bank = c.startBank;
                c.offset = c.startOffset;
            }
            c.shifter = FetchByte(c);
            fetched++;
            c.bytesLeft--;
            if (++c.offset == 4096) {
                c.offset = 0;
                c.bank = (c.bank + 1) & 7;  // $FFFF is followed by $8000
            }
            c.bitsLeft = 8;
        }
        if (c.shifter & 1) {
            if (c.level < 126) c.level += 2;
        } else {
            if (c.level > 1) c.level -= 2;
        }
        c.bitsLeft--;
        c.shifter >>= 1;
        c.mixLevel = c.level;
    }
    return fetched;
}
void RefIntegrateVrc6Pulse(Vrc6PulseChannel &c, uint32_t cycles) {
    if (c.period == 0 || !c.enabled) return;
    const int64_t left = c.output.levelLeft[c.volume & 15];
    const int64_t right = c.output.levelRight[c.volume & 15];
    if (c.directMode) {
        // A constant level centred on volume 8.
        c.output.sumLeft += 2 * (left - c.output.levelLeft[8]) * static_cast<int64_t>(cycles);
        c.output.sumRight += 2 * (right - c.output.levelRight[8]) * static_cast<int64_t>(cycles);
        return;
    }
    const int32_t reload = c.period + 1;
    const unsigned duty = c.duty;
    unsigned step = c.step;
    int64_t signedCycles = 0;  // high cycles minus low cycles
    c.timer = RunTimer(
        c.timer, cycles,
        [&](uint32_t n) { signedCycles += step <= duty ? static_cast<int64_t>(n) : -static_cast<int64_t>(n); },
        [&] {
            step = (step + 1) & 15;
            return reload;
        });
    c.step = static_cast<uint8_t>(step);
    c.output.sumLeft += left * signedCycles;
    c.output.sumRight += right * signedCycles;
}
void RefIntegrateVrc6Saw(Vrc6SawChannel &c, uint32_t cycles) {
    if (c.period == 0 || !c.enabled || cycles == 0) return;
    const int32_t reload = c.period + 1;
    unsigned step = c.step;
    unsigned acc = c.accumulator;
    int64_t left = 0, right = 0;
    c.timer = RunTimer(
        c.timer, cycles,
        [&](uint32_t n) {
            left += static_cast<int64_t>(c.output.levelLeft[acc >> 3]) * n;
            right += static_cast<int64_t>(c.output.levelRight[acc >> 3]) * n;
        },
        [&] {
            // Seven levels of two steps each; the addition entering step 14
            // is discarded by the restart.
            step++;
            if ((step & 1) == 0) acc = (acc + c.rate) & 0xFF;
            if (step >= 14) {
                step = 0;
                acc = 0;
            }
            return reload;
        });
    c.step = static_cast<uint8_t>(step);
    c.accumulator = static_cast<uint8_t>(acc);
    c.output.sumLeft += left;
    c.output.sumRight += right;
}
void RefIntegrateMmc5Pcm(Mmc5PcmChannel &c, uint32_t cycles) {
    if (!c.enabled) return;
    c.output.sumLeft += static_cast<int64_t>(c.output.levelLeft[c.value]) * cycles;
    c.output.sumRight += static_cast<int64_t>(c.output.levelRight[c.value]) * cycles;
}
void RefIntegrateN163(N163State &s, uint32_t cycles) {
    if (cycles == 0) return;
    const double total = static_cast<double>(static_cast<float>(cycles));
    const unsigned code = s.channelCountCode & 7;
    const double stepConstant = s.stepConstant[code];
    // Before the step constants exist a step would last no time at all.
    if (!(stepConstant > 0.0)) return;
    for (unsigned i = 7 - code; i < 8; i++) {
        if (s.frequency[i] == 0) continue;
        const double stepLength = stepConstant / s.frequency[i];
        const int16_t *left = s.levelLeft[i][s.volume[i] & 15];
        const int16_t *right = s.levelRight[i][s.volume[i] & 15];
        float countdown = s.stepCountdown[i];
        int64_t sumLeft = 0, sumRight = 0;
        double r = total;
        do {
            const double n = r <= countdown ? r : static_cast<double>(countdown);
            const unsigned sample = s.sample[i] & 15;
            sumLeft += static_cast<int64_t>(left[sample] * n);
            sumRight += static_cast<int64_t>(right[sample] * n);
            r -= n;
            countdown = static_cast<float>(countdown - n);
            if (countdown <= 0.0f) {
                countdown = static_cast<float>(countdown + stepLength);
                if (++s.wavePosition[i] >= s.waveLength[i]) {
                    s.wavePosition[i] = 0;
                    s.readAddress[i] = s.waveStart[i];
                    s.readHigh[i] = s.waveStartHigh[i];
                } else if (s.readHigh[i]) {
                    s.readHigh[i] = 0;
                    s.readAddress[i] = (s.readAddress[i] + 1) & 0x7F;
                } else {
                    s.readHigh[i] = 1;
                }
                const uint8_t byte = s.ram[s.readAddress[i] & 0x7F];
                s.sample[i] = s.readHigh[i] ? byte >> 4 : byte & 0x0F;
            }
        } while (r > 0);
        s.stepCountdown[i] = countdown;
        s.sumLeft[i] += sumLeft;
        s.sumRight[i] += sumRight;
    }
}

// ---- mixer ----

namespace {

struct Mix {
    int32_t left = 0;
    int32_t right = 0;
};

// Mean of one side over the sample: 32-bit division when the sum fits, as
// it nearly always does, since a 64-bit division costs several times more.
inline int32_t Mean(int64_t sum, int64_t cycles) {
    if (sum == static_cast<int32_t>(sum) && cycles <= INT32_MAX)
        return static_cast<int32_t>(sum) / static_cast<int32_t>(cycles);
    return static_cast<int32_t>(sum / cycles);
}

// Adds the channel's mean level (the right side only in stereo) and
// clears its sums.
template <bool Stereo>
inline void Take(Mix &mix, Sum &sumLeft, Sum &sumRight, bool mixed, int64_t cycles) {
    if (mixed) {
        mix.left += Mean(sumLeft, cycles);
        if (Stereo) mix.right += Mean(sumRight, cycles);
    }
    sumLeft = 0;
    sumRight = 0;
}

inline int32_t Clip(int32_t v) { return v < -32768 ? -32768 : (v > 32767 ? 32767 : v); }

inline void Store(uint8_t *out, int32_t v, bool eightBit) {
    if (eightBit) {
        out[0] = static_cast<uint8_t>(((v >> 8) & 0xFF) ^ 0x80);
    } else {
        out[0] = static_cast<uint8_t>(v & 0xFF);
        out[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
    }
}

template <bool Stereo>
Mix MixChannels(int64_t n) {
    const uint8_t *on = apu.channelEnabled;
    Mix mix;
    Take<Stereo>(mix, apu.triangle.output.sumLeft, apu.triangle.output.sumRight, on[kTriangle], n);
    Take<Stereo>(mix, apu.noise.output.sumLeft, apu.noise.output.sumRight, on[kNoise], n);
    if (on[kDmc]) {
        // The DMC's level lowers the triangle and noise, not what follows.
        const double k = apu.dmc.dmcAttenuation[apu.dmc.mixLevel & 127];
        mix.left = static_cast<int32_t>(mix.left * k);
        mix.right = static_cast<int32_t>(mix.right * k);
    }
    Take<Stereo>(mix, apu.dmc.output.sumLeft, apu.dmc.output.sumRight, on[kDmc], n);
    Take<Stereo>(mix, apu.pulse[0].output.sumLeft, apu.pulse[0].output.sumRight, on[kPulse1], n);
    Take<Stereo>(mix, apu.pulse[1].output.sumLeft, apu.pulse[1].output.sumRight, on[kPulse2], n);
    // Only the selected chip's channels ever accumulate (a reset clears
    // them all), so only theirs need clearing.
    switch (apu.expansionChip) {
        case kChipVrc6:
            Take<Stereo>(mix, apu.vrc6Pulse[0].output.sumLeft, apu.vrc6Pulse[0].output.sumRight, on[kVrc6Pulse1], n);
            Take<Stereo>(mix, apu.vrc6Pulse[1].output.sumLeft, apu.vrc6Pulse[1].output.sumRight, on[kVrc6Pulse2], n);
            Take<Stereo>(mix, apu.vrc6Saw.output.sumLeft, apu.vrc6Saw.output.sumRight, on[kVrc6Saw], n);
            break;
        case kChipMmc5:
            Take<Stereo>(mix, apu.mmc5Pulse[0].output.sumLeft, apu.mmc5Pulse[0].output.sumRight, on[kMmc5Pulse1], n);
            Take<Stereo>(mix, apu.mmc5Pulse[1].output.sumLeft, apu.mmc5Pulse[1].output.sumRight, on[kMmc5Pulse2], n);
            Take<Stereo>(mix, apu.mmc5Pcm.output.sumLeft, apu.mmc5Pcm.output.sumRight, on[kMmc5Pcm], n);
            break;
        case kChipN163:
            for (int i = 0; i < 8; i++)
                Take<Stereo>(mix, apu.n163.sumLeft[i], apu.n163.sumRight[i], on[kN163First + i], n);
            break;
        default:
            break;
    }
    return mix;
}

}  // namespace

void RefMixSample() {
    // Buffer full: hold everything back; the next frame written averages
    // all cycles since the last one.
    if (apu.fillMark > apu.bufferSize) return;

    const bool stereo = apu.channelCount == 2;
    const Mix mix = stereo ? MixChannels<true>(apu.sampleCycles) : MixChannels<false>(apu.sampleCycles);
    apu.sampleCycles = 0;

    const bool eightBit = apu.bitsPerSample == 8;
    uint8_t *out = apu.OutputCursor;
    Store(out, Clip(mix.left), eightBit);
    if (stereo) Store(out + (eightBit ? 1 : 2), Clip(mix.right), eightBit);
    apu.OutputCursor += apu.bytesPerFrame;
    apu.fillMark += apu.bytesPerFrame;
}

// ---- run loop ----

void RefQuarterFrameClock() {
    ClockEnvelope(apu.pulse[0].envelope);
    ClockEnvelope(apu.pulse[1].envelope);
    RefClockLinearCounter(apu.triangle);
    ClockEnvelope(apu.noise.envelope);
    if (apu.expansionChip == kChipMmc5) {
        ClockEnvelope(apu.mmc5Pulse[0].envelope);
        ClockEnvelope(apu.mmc5Pulse[1].envelope);
    }
}

namespace {

void HalfFrameClock() {
    RefClockPulseHalfFrame(apu.pulse[0]);
    RefClockPulseHalfFrame(apu.pulse[1]);
    ClockLength(apu.triangle);
    ClockLength(apu.noise);
    if (apu.expansionChip == kChipMmc5) {
        RefClockPulseHalfFrame(apu.mmc5Pulse[0]);
        RefClockPulseHalfFrame(apu.mmc5Pulse[1]);
    }
}

void StepEvent() {
    apu.frameStepCountdown += apu.frameStepPeriod;
    if (apu.frameStep < apu.frameStepLimit) {
        apu.frameStep++;
        if (apu.frameStep < 4) {
            RefQuarterFrameClock();
            if (apu.frameStep & 1) HalfFrameClock();
        }
    } else {
        // Wrap: raises the frame interrupt (while enabled) and gives a
        // quarter-frame clock only.
        apu.frameIrqFlag = apu.frameIrqEnabled;
        apu.frameStep = 0;
        RefQuarterFrameClock();
    }
}

// Runs every integrator over one slice; returns the DMC's fetched bytes.
uint32_t IntegrateSlice(uint32_t n) {
    RefIntegratePulse(apu.pulse[0], n);
    RefIntegratePulse(apu.pulse[1], n);
    RefIntegrateTriangle(apu.triangle, n);
    RefIntegrateNoise(apu.noise, n);
    uint32_t fetched = RefIntegrateDmc(apu.dmc, n);
    switch (apu.expansionChip) {
        case kChipVrc6:
            RefIntegrateVrc6Pulse(apu.vrc6Pulse[0], n);
            RefIntegrateVrc6Pulse(apu.vrc6Pulse[1], n);
            RefIntegrateVrc6Saw(apu.vrc6Saw, n);
            break;
        case kChipMmc5:
            RefIntegratePulse(apu.mmc5Pulse[0], n);
            RefIntegratePulse(apu.mmc5Pulse[1], n);
            RefIntegrateMmc5Pcm(apu.mmc5Pcm, n);
            break;
        case kChipN163:
            RefIntegrateN163(apu.n163, n);
            break;
        default:
            break;
    }
    return fetched;
}

}  // namespace

uint32_t RunToCycle(uint32_t cycle) {
    uint32_t span = cycle - apu.timestamp;
    // A cycle before the timestamp (an unsigned span of 2^31 or more) runs
    // nothing: the host asked for the past, not for 2^32 cycles of future.
    if (span == 0 || span >= 0x80000000u) return 0;
    apu.timestamp = cycle;

    uint32_t stallTotal = 0;
    uint64_t remaining = span;
    while (remaining != 0) {
        // Whole ceiling of the nearer countdown, compared before converting
        // so that no huge countdown overflows the integer.
        float nearest = apu.frameStepCountdown < apu.sampleCountdown ? apu.frameStepCountdown
                                                                     : apu.sampleCountdown;
        double whole = std::ceil(static_cast<double>(nearest));
        uint32_t n;
        if (whole < static_cast<double>(remaining))
            n = whole >= 1.0 ? static_cast<uint32_t>(whole) : 1;
        else
            n = static_cast<uint32_t>(remaining > 0xFFFFFFFFu ? 0xFFFFFFFFu : remaining);

        uint32_t fetched = IntegrateSlice(n);
        if (fetched != 0) {
            apu.timestamp += fetched;
            stallTotal += fetched;
            remaining += fetched;
        }
        apu.sampleCycles += n;

        apu.frameStepCountdown -= static_cast<float>(n);
        if (apu.frameStepCountdown <= 0.0f) StepEvent();
        apu.sampleCountdown -= static_cast<float>(n);
        if (apu.sampleCountdown <= 0.0f) {
            apu.sampleCountdown += apu.cyclesPerSample;
            RefMixSample();
        }
        remaining -= n;
    }
    return stallTotal;
}
// ---- registers ----
namespace {

uint32_t CatchUp(uint32_t cycle) { return cycle != apu.timestamp ? RunToCycle(cycle) : 0; }

void WriteRegister(uint16_t address, uint8_t v) {
    if (address < 0x4000 || address > 0x4017) {
        switch (apu.expansionChip) {
            case kChipVrc6: WriteVrc6(apu, address, v); break;
            case kChipMmc5: WriteMmc5(apu, address, v); break;
            case kChipN163: WriteN163(apu.n163, address, v); break;
            default: break;
        }
        return;
    }
    unsigned reg = address - 0x4000u;
    switch (reg) {
        case 0x00: case 0x01: case 0x02: case 0x03: WritePulse(apu.pulse[0], reg, v); break;
        case 0x04: case 0x05: case 0x06: case 0x07: WritePulse(apu.pulse[1], reg - 4, v); break;
        case 0x08: case 0x0A: case 0x0B: WriteTriangle(apu.triangle, reg - 8, v); break;
        case 0x0C: case 0x0E: case 0x0F: WriteNoise(apu.noise, reg - 12, v); break;
        case 0x10: case 0x11: case 0x12: case 0x13: WriteDmc(apu.dmc, reg - 16, v, apu.regionOffset); break;
        case 0x15: WriteStatus(apu, v); break;
        case 0x17: WriteFrameCounter(apu, v); break;
        default: break;  // $4009, $400D, $4014, $4016
    }
}

uint8_t StatusByte() {
    uint8_t status = 0;
    if (apu.pulse[0].length) status |= 0x01;
    if (apu.pulse[1].length) status |= 0x02;
    if (apu.triangle.length) status |= 0x04;
    if (apu.noise.length) status |= 0x08;
    if (apu.dmc.active) status |= 0x10;
    if (apu.frameIrqFlag) status |= 0x40;
    if (apu.dmc.irqFlag) status |= 0x80;
    return status;
}

uint32_t FrameIrqDistance() {
    if (!apu.frameIrqEnabled) return 0xFFFFFFFFu;
    double cycles;
    if (apu.frameStep > apu.frameStepLimit) {
        // Left by a four-step $4017 write: the very next step is the wrap.
        cycles = std::ceil(static_cast<double>(apu.frameStepCountdown));
    } else {
        int steps = static_cast<int>(apu.frameStepLimit) - static_cast<int>(apu.frameStep);
        cycles = std::ceil(steps * static_cast<double>(apu.frameStepPeriod) +
                           static_cast<double>(apu.frameStepCountdown));
    }
    // Absurd step periods: too far away to foresee.
    if (!(cycles < 4294967296.0)) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(cycles);
}

uint32_t DmcIrqDistance() {
    const DmcChannel &d = apu.dmc;
    if (!d.irqEnabled || d.loop || !d.active) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(d.bytesLeft) * d.period + static_cast<uint32_t>(d.timer);
}

}  // namespace


uint32_t RegWrite(uint32_t address, uint32_t value, uint32_t cycle) {
    uint32_t stalls = CatchUp(cycle);
    WriteRegister(static_cast<uint16_t>(address), static_cast<uint8_t>(value));
    return stalls;
}

uint32_t RegRead(uint32_t address, uint8_t *data, uint32_t cycle) {
    uint32_t stalls = CatchUp(cycle);
    uint8_t scratch = data != nullptr ? *data : 0;
    uint8_t &out = data != nullptr ? *data : scratch;
    switch (static_cast<uint16_t>(address)) {
        case 0x4015:
            out = StatusByte();
            apu.frameIrqFlag = 0;  // the byte above still shows it
            break;
        case 0x4017:
            out = static_cast<uint8_t>((out & 0x3F) | (apu.frameStepLimit == 4 ? 0x80 : 0) |
                                       (apu.frameIrqEnabled ? 0 : 0x40));
            break;
        case 0x4800:
            if (apu.expansionChip == kChipN163) out = ReadN163Data(apu.n163);
            break;
        default:
            out = static_cast<uint8_t>((address >> 8) & 0xFF);  // open bus
            break;
    }
    return stalls;
}

uint32_t FindNextIRQ(void) {
    if (apu.frameIrqFlag || apu.dmc.irqFlag) return 0;
    uint32_t frame = FrameIrqDistance();
    uint32_t dmc = DmcIrqDistance();
    return frame < dmc ? frame : dmc;
}

uint32_t GetTimestamp(void) { return apu.timestamp; }

void SetTimestamp(uint32_t cycle) { apu.timestamp = cycle; }


}  // namespace pelrin_ref
