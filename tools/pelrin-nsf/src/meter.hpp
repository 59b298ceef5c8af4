// A rough level per mixer channel for the live player's meters, worked out
// from the sound-register writes (volume fields, enables, note starts), not
// from the sound itself: the library mixes the channels into one output.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace pelrin_nsf {

class ChannelMeter {
public:
    static constexpr int kChannels = 19;
    // One register write, at the given time in seconds.
    void write(uint16_t address, uint8_t value, double seconds);
    // Level 0..1 of a channel at the given time.
    double level(int channel, double seconds) const;
    void reset() { *this = ChannelMeter{}; }

private:
    struct Voice {
        double volume = 0;      // 0..1 of the channel's loudest
        double start = 0;       // time of the last note start
        double decayPerSecond = 0; // envelope: fall after a note start
        bool on = false;
    };
    void noteOn(int ch, double t);
    void envelope(int ch, uint8_t value);
    std::array<Voice, kChannels> v_{};
    uint8_t enabled_ = 0;     // $4015
    uint8_t n163Address_ = 0;
    bool n163Increment_ = false;
};

// "▁▃▅" style bar of one character for a level 0..1.
std::string meterGlyph(double level);

} // namespace pelrin_nsf
