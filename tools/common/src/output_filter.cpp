#include "output_filter.hpp"

#include <algorithm>
#include <cmath>

namespace pelrin_render {

OutputFilter::OutputFilter(const FilterSettings &s, int rate, int bits, int channels)
    : hp_(s.highPassHz > 0), lp_(s.lowPassHz > 0), bits_(bits), channels_(channels),
      state_(static_cast<size_t>(channels)) {
    const double dt = 1.0 / rate;
    const double pi = 3.14159265358979323846;
    if (hp_) {
        const double rc = 1.0 / (2 * pi * s.highPassHz);
        hpA_ = rc / (rc + dt);
    }
    if (lp_) {
        const double rc = 1.0 / (2 * pi * std::min(s.lowPassHz, rate * 0.45));
        lpB_ = dt / (rc + dt);
    }
}

// Rounds to the nearest integer, halves away from zero (as std::lround is
// specified to; some C libraries' lround rounds the doubles just below a
// half up), without a library call per sample: the truncation and the
// fraction it leaves are both exact, so every build rounds alike.
long RoundHalfAway(double y) {
    if (!(std::fabs(y) < 4503599627370496.0)) return std::lround(y); // 2^52: no fraction left
    const long long whole = static_cast<long long>(y);
    const double fraction = y - static_cast<double>(whole);
    // Without branches: which way a sample rounds is anybody's guess.
    return static_cast<long>(whole + (fraction >= 0.5) - (fraction <= -0.5));
}

namespace {

inline double ReadSample(const uint8_t *data, size_t i, bool eightBit) {
    if (eightBit) return (data[i] - 128.0) * 256.0;
    return static_cast<int16_t>(static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8)));
}

inline void WriteSample(uint8_t *data, size_t i, bool eightBit, double y) {
    const long v = std::clamp(RoundHalfAway(y), -32768L, 32767L);
    if (eightBit) {
        data[i] = static_cast<uint8_t>(std::clamp((v + 32768 + 128) >> 8, 0L, 255L));
    } else {
        data[2 * i] = static_cast<uint8_t>(v & 0xFF);
        data[2 * i + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
    }
}

} // namespace

namespace {

// One channel's filter state, held in registers while a buffer runs.
struct Lane {
    double lastIn, high, low;
};

template <bool HighPass, bool LowPass>
inline double Step(Lane &lane, double x, double hpA, double lpB) {
    double y = x;
    if (HighPass) {
        lane.high = hpA * (lane.high + x - lane.lastIn);
        lane.lastIn = x;
        y = lane.high;
    }
    if (LowPass) {
        lane.low += lpB * (y - lane.low);
        y = lane.low;
    }
    return y;
}

} // namespace

// Each channel's filter state runs in locals for the whole buffer (the
// channels' recurrences then overlap instead of waiting on memory).
template <int Channels, bool HighPass, bool LowPass, bool EightBit>
void OutputFilter::run(uint8_t *data, size_t samples) {
    for (int c = 0; c < Channels; c++) {
        // The first sample a channel sees is its resting level.
        if (!state_[c].started && static_cast<size_t>(c) < samples) {
            state_[c].lastIn = ReadSample(data, c, EightBit);
            state_[c].started = true;
        }
    }
    const double hpA = hpA_, lpB = lpB_;
    Lane first{state_[0].lastIn, state_[0].high, state_[0].low};
    Lane second{};
    if (Channels == 2) second = Lane{state_[1].lastIn, state_[1].high, state_[1].low};
    // Each buffer starts at the first channel.
    const size_t whole = samples - samples % Channels;
    for (size_t i = 0; i < whole; i += Channels) {
        WriteSample(data, i, EightBit, Step<HighPass, LowPass>(first, ReadSample(data, i, EightBit), hpA, lpB));
        if (Channels == 2)
            WriteSample(data, i + 1, EightBit,
                        Step<HighPass, LowPass>(second, ReadSample(data, i + 1, EightBit), hpA, lpB));
    }
    if (whole != samples)
        WriteSample(data, whole, EightBit, Step<HighPass, LowPass>(first, ReadSample(data, whole, EightBit), hpA, lpB));
    state_[0].lastIn = first.lastIn;
    state_[0].high = first.high;
    state_[0].low = first.low;
    if (Channels == 2) {
        state_[1].lastIn = second.lastIn;
        state_[1].high = second.high;
        state_[1].low = second.low;
    }
}

template <int Channels, bool HighPass, bool LowPass>
void OutputFilter::runFormat(uint8_t *data, size_t samples) {
    if (bits_ == 8) run<Channels, HighPass, LowPass, true>(data, samples);
    else run<Channels, HighPass, LowPass, false>(data, samples);
}

template <int Channels>
void OutputFilter::runChannels(uint8_t *data, size_t samples) {
    if (hp_ && lp_) runFormat<Channels, true, true>(data, samples);
    else if (hp_) runFormat<Channels, true, false>(data, samples);
    else runFormat<Channels, false, true>(data, samples);
}

void OutputFilter::process(uint8_t *data, size_t bytes) {
    if (!hp_ && !lp_) return;
    const size_t samples = bytes / (bits_ == 8 ? 1 : 2);
    if (channels_ == 2) runChannels<2>(data, samples);
    else runChannels<1>(data, samples);
}

void FilterSink::write(const uint8_t *data, size_t bytes) {
    buffer_.assign(data, data + bytes);
    filter_.process(buffer_.data(), bytes);
    next_.write(buffer_.data(), bytes);
}

} // namespace pelrin_render
