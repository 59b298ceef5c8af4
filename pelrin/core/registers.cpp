// Register accesses, interrupt prediction and the timestamp.
#include <cmath>
#include <cstddef>
#include <cstring>

#include "pelrin.h"
#include "frame/instance.h"
#include "frame/state.h"

using namespace pelrin;

namespace {

uint32_t CatchUp(ApuState &apu, uint32_t cycle) {
    return cycle != apu.timestamp ? RunToCycle(apu, cycle) : RunDeferred(apu);
}

// Applies `write` to a channel; true when it changed nothing, else undone.
// A register write sets only fields before the channel's output.
template <typename Channel, typename Write>
bool LeavesUnchanged(Channel &c, Write write) {
    constexpr size_t kHead = offsetof(Channel, output);
    unsigned char before[kHead];
    std::memcpy(before, &c, kHead);
    write(c);
    if (std::memcmp(before, &c, kHead) == 0) return true;
    std::memcpy(static_cast<void *>(&c), before, kHead);
    return false;
}

// Whether a write to a register that only sets fields (a pulse's, the
// noise's or the triangle's control and period) finds them as it would
// leave them. Nothing but these writes and the frame steps changes those
// fields, so where no step comes first the answer is the same at the
// write's own cycle.
bool ChangesNothing(ApuState &apu, uint16_t address, uint8_t v) {
    switch (address) {
        case 0x4000: case 0x4002: case 0x4004: case 0x4006: {
            const unsigned reg = (address - 0x4000u) & 3;
            return LeavesUnchanged(apu.pulse[(address - 0x4000u) >> 2],
                                   [&](PulseChannel &c) { WritePulse(c, reg, v); });
        }
        case 0x4008: case 0x400A:
            return LeavesUnchanged(apu.triangle, [&](TriangleChannel &c) { WriteTriangle(c, address - 0x4008u, v); });
        case 0x400C: case 0x400E:
            return LeavesUnchanged(apu.noise, [&](NoiseChannel &c) { WriteNoise(c, address - 0x400Cu, v); });
        default:
            return false;
    }
}

void WriteRegister(ApuState &apu, uint16_t address, uint8_t v) {
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

uint8_t StatusByte(ApuState &apu) {
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

uint32_t DmcIrqDistance(ApuState &apu) {
    const DmcChannel &d = apu.dmc;
    if (!d.irqEnabled || d.loop || !d.active) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(d.bytesLeft) * d.period + static_cast<uint32_t>(d.timer);
}

}  // namespace

namespace pelrin {

uint32_t RegWrite(ApuState &apu, uint32_t address, uint32_t value, uint32_t cycle) {
    // A music engine rewrites each channel's control and period every frame,
    // mostly with the values they hold. Such a write needs no run up to its
    // cycle where the cycles before it run the same in one piece as in two:
    // they are left to the next call that runs, and the timestamp moves on.
    const uint16_t to = static_cast<uint16_t>(address);
    const uint32_t span = cycle - apu.timestamp;
    if (to >= 0x4000 && to <= 0x400E && (to & 1) == 0 && span < 0x80000000u &&
        RunsUnsplit(apu, uint64_t{apu.deferredCycles} + span) && ChangesNothing(apu, to, static_cast<uint8_t>(value))) {
        apu.timestamp = cycle;
        apu.deferredCycles += span;
        return 0;
    }
    uint32_t stalls = CatchUp(apu, cycle);
    WriteRegister(apu, static_cast<uint16_t>(address), static_cast<uint8_t>(value));
    return stalls;
}

uint32_t RegRead(ApuState &apu, uint32_t address, uint8_t *data, uint32_t cycle) {
    uint32_t stalls = CatchUp(apu, cycle);
    uint8_t scratch = data != nullptr ? *data : 0;
    uint8_t &out = data != nullptr ? *data : scratch;
    switch (static_cast<uint16_t>(address)) {
        case 0x4015:
            out = StatusByte(apu);
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

uint32_t FindNextIRQ(ApuState &apu) {
    if (apu.frameIrqFlag || apu.dmc.irqFlag) return 0;
    // Deferred cycles hold no frame step and no DMC (RunsUnsplit): the next
    // frame interrupt lies that many cycles nearer than the run's state
    // says, and in whole cycles, as the countdowns are then exact.
    uint32_t frame = FrameIrqDistance(apu);
    if (frame != 0xFFFFFFFFu) frame -= apu.deferredCycles;
    uint32_t dmc = DmcIrqDistance(apu);
    return frame < dmc ? frame : dmc;
}

uint32_t GetTimestamp(ApuState &apu) { return apu.timestamp; }

void SetTimestamp(ApuState &apu, uint32_t cycle) {
    RunDeferred(apu);
    apu.timestamp = cycle;
}

}  // namespace pelrin
