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

// Rounds half away from zero, as std::lround does, without a library call
// per sample: the truncation and the fraction it leaves are both exact.
long RoundHalfAway(double y) {
    if (!(std::fabs(y) < 4503599627370496.0)) return std::lround(y); // 2^52: no fraction left
    long long whole = static_cast<long long>(y);
    const double fraction = y - static_cast<double>(whole);
    if (fraction >= 0.5) whole++;
    else if (fraction <= -0.5) whole--;
    return static_cast<long>(whole);
}

void OutputFilter::process(uint8_t *data, size_t bytes) {
    if (!hp_ && !lp_) return;
    const size_t sampleBytes = bits_ == 8 ? 1 : 2;
    const size_t samples = bytes / sampleBytes;
    size_t channel = 0;  // each buffer starts at the first channel
    for (size_t i = 0; i < samples; ++i) {
        State &st = state_[channel];
        if (++channel == state_.size()) channel = 0;
        double x;
        if (bits_ == 8) x = (data[i] - 128.0) * 256.0;
        else x = static_cast<int16_t>(static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8)));
        if (!st.started) {
            st.lastIn = x;
            st.started = true;
        }
        double y = x;
        if (hp_) {
            st.high = hpA_ * (st.high + x - st.lastIn);
            st.lastIn = x;
            y = st.high;
        }
        if (lp_) {
            st.low += lpB_ * (y - st.low);
            y = st.low;
        }
        const long v = std::clamp(RoundHalfAway(y), -32768L, 32767L);
        if (bits_ == 8) {
            data[i] = static_cast<uint8_t>(std::clamp((v + 32768 + 128) >> 8, 0L, 255L));
        } else {
            data[2 * i] = static_cast<uint8_t>(v & 0xFF);
            data[2 * i + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
        }
    }
}

void FilterSink::write(const uint8_t *data, size_t bytes) {
    buffer_.assign(data, data + bytes);
    filter_.process(buffer_.data(), bytes);
    next_.write(buffer_.data(), bytes);
}

} // namespace pelrin_render
