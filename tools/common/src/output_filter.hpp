// A listening filter applied to the library's output on its way to a file
// or the sound card: a first-order high-pass that removes the constant
// offset (the library's output rests at -8192 while the DMC level is 0) and
// an optional first-order low-pass. The library's own output stays exact;
// the tools skip this filter with --no-filter.
#pragma once

#include "wav.hpp"

#include <vector>

namespace pelrin_render {

struct FilterSettings {
    double highPassHz = 20.0; // 0: none
    double lowPassHz = 0.0;   // 0: none
};

// Filters PCM in place, keeping its state between calls. The first sample
// seen is taken as the resting level, so output starts at silence instead
// of jumping to the offset.
// Rounding to the nearest integer, halves away from zero, inline.
long RoundHalfAway(double y);

class OutputFilter {
public:
    // channels: 1 or 2. portable: the plain C++ path even where the packed
    // one is built (the two give the same bytes; tests compare them).
    OutputFilter(const FilterSettings &settings, int rate, int bits, int channels, bool portable = false);
    void process(uint8_t *data, size_t bytes) { process(data, data, bytes); }
    // Filters bytes from in into out; in and out may be the same buffer.
    void process(const uint8_t *in, uint8_t *out, size_t bytes);
    // Long buffers run as two recurrences, the second from a guess this
    // many frames ahead; tests shorten it to make the guess fail.
    void setSplitWarmUp(size_t frames) { warmUp_ = frames; }

private:
    struct State {
        double lastIn = 0, high = 0, low = 0;
        bool started = false;
    };
    template <int Channels, bool EightBit>
    void start(const uint8_t *in, size_t samples);
    template <int Channels, bool HighPass, bool LowPass, bool EightBit>
    void run(const uint8_t *in, uint8_t *out, size_t samples);
    template <int Channels, bool HighPass, bool LowPass, bool EightBit>
    void runPacked(const uint8_t *in, uint8_t *out, size_t samples);
    template <int Channels, bool HighPass, bool LowPass>
    void runFormat(const uint8_t *in, uint8_t *out, size_t samples);
    bool splits(const uint8_t *in, const uint8_t *out, size_t frames);
    void splitHeld(bool held);
    template <int Channels>
    void runChannels(const uint8_t *in, uint8_t *out, size_t samples);

    double hpA_ = 0, lpB_ = 0;
    // Long buffers run as several recurrences at once, all but the first
    // from a guessed state this many frames ahead (0: never); after guesses
    // that failed (failedSplits_ in a row), the next skipSplits_ buffers
    // run as one.
    size_t warmUp_ = 0;
    int skipSplits_ = 0;
    int failedSplits_ = 0;
    bool hp_, lp_, portable_;
    int bits_, channels_;
    std::vector<State> state_;
};

// A sink that filters what passes through it.
class FilterSink : public PcmSink {
public:
    FilterSink(PcmSink &next, const FilterSettings &settings, int rate, int bits, int channels)
        : next_(next), filter_(settings, rate, bits, channels) {}
    void write(const uint8_t *data, size_t bytes) override;
    void finish() override { next_.finish(); }

private:
    PcmSink &next_;
    OutputFilter filter_;
    std::vector<uint8_t> buffer_; // the filtered copy; the caller's PCM stays as it is
};

} // namespace pelrin_render
