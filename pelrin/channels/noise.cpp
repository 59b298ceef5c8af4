// Noise: a volume gated on and off by a 16-bit pseudo-random shift register.
#include "frame/state.h"

namespace pelrin {

static const uint16_t NoisePeriodTable[16] = {6,   10,  18,  34,  66,  98,   130,  162,
                                              204, 256, 382, 510, 764, 1018, 2036, 4070};

void WriteNoise(NoiseChannel &c, unsigned reg, uint8_t v) {
    switch (reg) {
        case 0:
            WriteEnvelopeControl(c, v);
            break;
        case 2:
            c.period = NoisePeriodTable[v & 15];
            c.tapShift = (v & 0x80) ? 6 : 1;
            break;
        case 3:
            if (c.enabled) c.length = LengthTable[v >> 3];
            c.decay = 15;
            if (c.envelopeMode == 1) c.volume = 15;
            break;
        default:
            break;
    }
}

void IntegrateNoise(NoiseChannel &c, uint32_t cycles) {
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
    c.sumLeft += c.levelLeft[c.volume & 15] * sounding;
    c.sumRight += c.levelRight[c.volume & 15] * sounding;
}

}  // namespace pelrin
