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

namespace {

// Shifts the register m times at once, m <= 15 - tap: each new low bit is
// bit 14 xor bit 14 - tap of the register before its shift, and for that
// many shifts both bits are still bits of the starting register, so the m
// new bits are bits 14 - tap - j of reg ^ (reg >> tap), j = 0 .. m - 1.
// Ones among the low 16 bits.
inline unsigned CountOnes(unsigned v) {
    v = v - ((v >> 1) & 0x5555);
    v = (v & 0x3333) + ((v >> 2) & 0x3333);
    v = (v + (v >> 4)) & 0x0F0F;
    return (v + (v >> 8)) & 0x1F;
}

inline unsigned ShiftMany(unsigned reg, unsigned tap, unsigned m) {
    const unsigned feedback = ((reg ^ (reg >> tap)) >> (15 - tap - m)) & ((1u << m) - 1);
    return ((reg << m) | feedback) & 0xFFFF;
}

// x / c.period for x < 2^16 as x * m >> s, m = ceil(2^s / period),
// s = 16 + ceil(log2 period). Exact: with e = m * period - 2^s < period, the
// product adds x * e / (period * 2^s) < 2^-ceil(log2 period) <= 1 / period to
// x / period, whose fraction is at most (period - 1) / period, so the floor
// stays. m <= 2^17, so x * m fits 64 bits.
inline uint64_t DivideShort(NoiseChannel &c, uint32_t x) {
    if (c.reciprocalOf != c.period) {
        unsigned log = 0;
        while ((1u << log) < c.period) log++;
        c.reciprocalShift = static_cast<uint8_t>(16 + log);
        c.reciprocal = static_cast<uint32_t>(((uint64_t{1} << c.reciprocalShift) + c.period - 1) / c.period);
        c.reciprocalOf = c.period;
    }
    return (static_cast<uint64_t>(x) * c.reciprocal) >> c.reciprocalShift;
}

}  // namespace

// The timer expires first after max(timer, 0) cycles, then every `period`
// cycles; each expiry shifts the register and the output bit becomes the
// inverse of bit 15. Counted in closed form: the cycles before the first
// expiry sound with the old bit, each full period with the bit of its
// shift, the rest after the last expiry with the last bit. The bits of up
// to 15 - tap shifts at a time are the inverted bits 14 .. 15 - m of the
// register before them.
void IntegrateNoise(NoiseChannel &c, uint32_t cycles) {
    // A period never written (0) would shift forever without time passing:
    // the channel stays frozen until $400E gives it one.
    if (c.length == 0 || cycles == 0 || c.period == 0) return;
    const int64_t period = c.period;
    const unsigned tap = c.tapShift;
    const int64_t first = c.timer > 0 ? c.timer : 0;
    uint64_t sounding;
    if (first > static_cast<int64_t>(cycles)) {
        sounding = c.outputBit ? cycles : 0;
        c.timer -= static_cast<int32_t>(cycles);
    } else {
        const uint32_t after = cycles - static_cast<uint32_t>(first);  // cycles after the first expiry
        const uint32_t period32 = static_cast<uint32_t>(period);
        uint64_t expiries = 1;
        if (after >= period32) expiries += after < 0x10000u ? DivideShort(c, after) : after / period32;
        sounding = c.outputBit ? static_cast<uint64_t>(first) : 0;
        unsigned reg = c.shiftRegister;
        uint64_t ones = 0;  // sounding bits after each of the shifts
        for (uint64_t left = expiries; left != 0;) {
            const unsigned m = left < 15 - tap ? static_cast<unsigned>(left) : 15 - tap;
            const unsigned bits = (reg >> (15 - m)) & ((1u << m) - 1);  // bits 14 .. 15 - m
            ones += m - CountOnes(bits);
            reg = ShiftMany(reg, tap, m);
            left -= m;
        }
        const unsigned out = (reg & 0x8000) ? 0 : 1;
        const int64_t end = first + static_cast<int64_t>(expiries) * period;  // next expiry
        const uint64_t last = static_cast<uint64_t>(static_cast<int64_t>(cycles) - (end - period));
        sounding += static_cast<uint64_t>(period) * (ones - out) + (out ? last : 0);
        c.timer = static_cast<int32_t>(end - static_cast<int64_t>(cycles));
        c.shiftRegister = static_cast<uint16_t>(reg);
        c.outputBit = static_cast<uint8_t>(out);
    }
    const int64_t n = static_cast<int64_t>(sounding);
    c.sumLeft += c.levelLeft[c.volume & 15] * n;
    c.sumRight += c.levelRight[c.volume & 15] * n;
}

}  // namespace pelrin

// Segment traits: the output bit holds until the timer expires.
namespace pelrin {

inline bool Frozen(const NoiseChannel &c) { return c.length == 0 || c.period == 0; }

uint64_t Hold(const NoiseChannel &c) { return Frozen(c) ? kHoldsForever : TimerHold(c.timer); }

void Advance(NoiseChannel &c, uint32_t n) {
    if (!Frozen(c)) c.timer -= static_cast<int32_t>(n);
}

void Level(const NoiseChannel &c, int32_t &left, int32_t &right) {
    const bool sounding = !Frozen(c) && c.outputBit;
    left = sounding ? c.levelLeft[c.volume & 15] : 0;
    right = sounding ? c.levelRight[c.volume & 15] : 0;
}

uint32_t Integrate(NoiseChannel &c, uint32_t n) {
    IntegrateNoise(c, n);
    return 0;
}

}  // namespace pelrin
