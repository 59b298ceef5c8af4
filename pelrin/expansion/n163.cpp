// Namco 163: 128 bytes of RAM holding 4-bit waves and the registers of up to
// eight channels, played one sample step at a time with fractional timing.
#include "frame/state.h"

namespace pelrin {

namespace {

void AdvanceAddress(N163State &s) {
    if (s.autoIncrement) s.address = (s.address + 1) & 0x7F;
}

void DecodeChannelRegister(N163State &s, unsigned byte, uint8_t v) {
    const unsigned i = (byte - 0x40) >> 3;
    switch (byte & 7) {
        case 0: s.frequency[i] = (s.frequency[i] & 0x3FF00u) | v; break;
        case 2: s.frequency[i] = (s.frequency[i] & 0x300FFu) | (static_cast<uint32_t>(v) << 8); break;
        case 4:
            s.frequency[i] = (s.frequency[i] & 0x0FFFFu) | (static_cast<uint32_t>(v & 3) << 16);
            s.waveLength[i] = static_cast<uint8_t>(32 - (v & 0x1C));
            break;
        case 6:
            s.waveStart[i] = v >> 1;
            s.waveStartHigh[i] = v & 1;
            break;
        case 7:
            s.volume[i] = v & 0x0F;
            if (i == 7) s.channelCountCode = (v >> 4) & 7;
            break;
        default:
            break;
    }
}

}  // namespace

void WriteN163(uint16_t address, uint8_t v) {
    N163State &s = apu.n163;
    if (address == 0xF800) {
        s.address = v & 0x7F;
        s.autoIncrement = v & 0x80;
    } else if (address == 0x4800) {
        s.ram[s.address & 0x7F] = v;
        if (s.address >= 0x40) DecodeChannelRegister(s, s.address, v);
        AdvanceAddress(s);
    }
}

uint8_t ReadN163Data(N163State &s) {
    uint8_t v = s.ram[s.address & 0x7F];
    AdvanceAddress(s);
    return v;
}

void IntegrateN163(N163State &s, uint32_t cycles) {
    if (cycles == 0) return;
    const double total = static_cast<double>(static_cast<float>(cycles));
    const unsigned code = s.channelCountCode & 7;
    const double stepConstant = s.stepConstant[code];
    // Before the step constants exist a step would last no time at all.
    if (!(stepConstant > 0.0)) return;
    for (unsigned i = 7 - code; i < 8; i++) {
        if (s.frequency[i] == 0) continue;
        const uint32_t frequency = s.frequency[i];
        const int16_t *left = s.levelLeft[i][s.volume[i] & 15];
        const int16_t *right = s.levelRight[i][s.volume[i] & 15];
        float countdown = s.stepCountdown[i];
        if (total < countdown) {
            // No step ends within the run (a positive difference of two
            // floats stays positive as a float): one level, one subtraction.
            const unsigned sample = s.sample[i] & 15;
            s.sumLeft[i] += static_cast<int64_t>(left[sample] * total);
            s.sumRight[i] += static_cast<int64_t>(right[sample] * total);
            s.stepCountdown[i] = static_cast<float>(countdown - total);
            continue;
        }
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
                // The step length divides only when a step ends.
                countdown = static_cast<float>(countdown + stepConstant / frequency);
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

}  // namespace pelrin
