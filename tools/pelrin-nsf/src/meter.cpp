#include "meter.hpp"

#include <algorithm>

namespace pelrin_nsf {

void ChannelMeter::noteOn(int ch, double t) {
    v_[static_cast<size_t>(ch)].start = t;
    v_[static_cast<size_t>(ch)].on = true;
}

// $4000-style byte: bit 4 constant volume (bits 0-3), else an envelope from
// 15 falling one step every (period + 1) quarter frames, unless it loops.
void ChannelMeter::envelope(int ch, uint8_t value) {
    Voice &v = v_[static_cast<size_t>(ch)];
    if (value & 0x10) {
        v.volume = (value & 15) / 15.0;
        v.decayPerSecond = 0;
    } else {
        v.volume = 1.0;
        v.decayPerSecond = (value & 0x20) ? 0 : 240.0 / ((value & 15) + 1) / 15.0;
    }
}

void ChannelMeter::write(uint16_t a, uint8_t value, double t) {
    switch (a) {
    case 0x4000: envelope(0, value); break;
    case 0x4004: envelope(1, value); break;
    case 0x400C: envelope(3, value); break;
    case 0x4003: noteOn(0, t); break;
    case 0x4007: noteOn(1, t); break;
    case 0x400F: noteOn(3, t); break;
    case 0x4008: // a linear counter reload of 0 silences the triangle
        v_[2].volume = (value & 0x7F) ? 0.8 : 0.0;
        break;
    case 0x400B: noteOn(2, t); break;
    case 0x4011: // a level written directly: a click or a sample played by the CPU
        v_[4].volume = 0.6;
        v_[4].decayPerSecond = 4.0;
        noteOn(4, t);
        break;
    case 0x4015:
        enabled_ = value;
        for (int c = 0; c < 5; ++c)
            if (!(value & (1 << c))) v_[static_cast<size_t>(c)].on = false;
        if (value & 0x10) { // a sample starts
            v_[4].volume = 0.6;
            v_[4].decayPerSecond = 0.5;
            noteOn(4, t);
        }
        break;
    // VRC6: volume in the low bits, enable in bit 7 of the high period byte.
    case 0x9000: v_[5].volume = (value & 15) / 15.0; break;
    case 0xA000: v_[6].volume = (value & 15) / 15.0; break;
    case 0xB000: v_[7].volume = (value & 0x3F) / 42.0; break;
    case 0x9002: v_[5].on = value & 0x80; v_[5].start = t; break;
    case 0xA002: v_[6].on = value & 0x80; v_[6].start = t; break;
    case 0xB002: v_[7].on = value & 0x80; v_[7].start = t; break;
    // MMC5 pulses as the 2A03's; PCM by its level.
    case 0x5000: envelope(8, value); break;
    case 0x5004: envelope(9, value); break;
    case 0x5003: noteOn(8, t); break;
    case 0x5007: noteOn(9, t); break;
    case 0x5011: v_[10].volume = value / 255.0; noteOn(10, t); break;
    // Namco 163: the address port, then data; volume registers are $7F, $77, ... $47.
    case 0xF800:
        n163Address_ = value & 0x7F;
        n163Increment_ = value & 0x80;
        break;
    case 0x4800:
        if (n163Address_ >= 0x40 && (n163Address_ & 7) == 7) {
            const int c = 11 + (0x7F - n163Address_) / 8;
            v_[static_cast<size_t>(c)].volume = (value & 15) / 15.0;
            v_[static_cast<size_t>(c)].on = true;
        }
        if (n163Increment_) n163Address_ = (n163Address_ + 1) & 0x7F;
        break;
    default: break;
    }
}

double ChannelMeter::level(int ch, double t) const {
    if (ch < 0 || ch >= kChannels) return 0;
    const Voice &v = v_[static_cast<size_t>(ch)];
    if (!v.on) return 0;
    double l = v.volume;
    if (v.decayPerSecond > 0) l = std::max(0.0, l - (t - v.start) * v.decayPerSecond);
    return std::clamp(l, 0.0, 1.0);
}

std::string meterGlyph(double level) {
    static const char *const kBars[] = {" ", "\u2581", "\u2582", "\u2583", "\u2584", "\u2585", "\u2586", "\u2587", "\u2588"};
    const int i = std::clamp(static_cast<int>(level * 8 + 0.5), 0, 8);
    return kBars[i];
}

} // namespace pelrin_nsf
