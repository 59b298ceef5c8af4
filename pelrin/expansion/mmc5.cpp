// MMC5: two pulses that share the 2A03 pulse unit (without sweep, muted by
// period alone) and an 8-bit PCM output held until the next write.
#include "frame/state.h"
#include "core/segment.h"

namespace pelrin {

namespace {

void UpdatePeriodMute(PulseChannel &c) { c.muted = c.period < 8 ? 1 : 0; }

void WriteMmc5Pulse(PulseChannel &c, unsigned reg, uint8_t v) {
    switch (reg) {
        case 0:
            WritePulseControl(c, v);
            break;
        case 2:
            c.period = static_cast<uint16_t>((c.period & 0x700) | v);
            UpdatePeriodMute(c);
            break;
        case 3:
            WritePulseLengthAndHighPeriod(c, v);
            UpdatePeriodMute(c);
            break;
        default:
            break;  // no sweep unit
    }
}

}  // namespace

void WriteMmc5(ApuState &apu, uint16_t address, uint8_t v) {
    switch (address) {
        case 0x5000: case 0x5002: case 0x5003:
            WriteMmc5Pulse(apu.mmc5Pulse[0], address - 0x5000u, v);
            break;
        case 0x5004: case 0x5006: case 0x5007:
            WriteMmc5Pulse(apu.mmc5Pulse[1], address - 0x5004u, v);
            break;
        case 0x5010:
            apu.mmc5Pcm.enabled = v & 1;
            break;
        case 0x5011:
            apu.mmc5Pcm.value = v;
            break;
        case 0x5015:
            for (int i = 0; i < 2; i++) {
                PulseChannel &c = apu.mmc5Pulse[i];
                c.enabled = (v >> i) & 1;
                if (!c.enabled) c.length = 0;
            }
            break;
        default:
            break;
    }
}

void IntegrateMmc5Pcm(Mmc5PcmChannel &c, uint32_t cycles) {
    if (!c.enabled) return;
    c.output.sumLeft += static_cast<int64_t>(c.output.levelLeft[c.value]) * cycles;
    c.output.sumRight += static_cast<int64_t>(c.output.levelRight[c.value]) * cycles;
}

}  // namespace pelrin

// Segment traits: the PCM output holds until the next write.
namespace pelrin {

PELRIN_HOT_INLINE uint64_t Hold(const Mmc5PcmChannel &) { return kHoldsForever; }
PELRIN_HOT_INLINE void Advance(Mmc5PcmChannel &, uint32_t) {}

PELRIN_HOT_INLINE void Level(const Mmc5PcmChannel &c, int32_t &left, int32_t &right) {
    left = c.enabled ? c.output.levelLeft[c.value] : 0;
    right = c.enabled ? c.output.levelRight[c.value] : 0;
}

PELRIN_HOT_INLINE uint32_t Integrate(Mmc5PcmChannel &c, uint32_t n) {
    IntegrateMmc5Pcm(c, n);
    return 0;
}

}  // namespace pelrin
