// Command-line options shared by pelrin-render and pelrin-nsf: the output
// format, the sound unit's clock and the mixer. One parser for both tools,
// so the same option means the same thing in each.
#pragma once

#include "names.hpp"
#include "region.hpp"

#include <array>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pelrin_render {

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ChannelSetting {
    int enable = -1;  // -1 keep, 0 off, 1 on
    int volume = -1;  // -1 keep, 0..255
    int pan = -128;   // -128 keep, -127..127
};

constexpr int kMixerChannels = 19;

struct MixerSettings {
    std::optional<int> rate, bits, channels;   // output format
    std::optional<Environment> environment;    // clock, step period, region
    float master = -1.0f;                      // negative keeps
    int ramp = -1, shape = -1;                 // three-valued
    std::array<ChannelSetting, kMixerChannels> channelOptions{};
    // The listening filter after the library (20 Hz high-pass): --filter,
    // --no-filter; unset, each tool has its default. 0: no low-pass.
    std::optional<bool> filter;
    double lowPassHz = 0.0;
};

// Walks a command line (program name excluded). Options are "--name",
// "--name=value", "-x" or "-xVALUE"; "--" ends the options; "-" and words
// not starting with '-' are operands.
class ArgReader {
public:
    explicit ArgReader(const std::vector<std::string> &args) : args_(args) {}
    // Moves to the next argument; false after the last one.
    bool next();
    bool isOperand() const { return operand_; }
    const std::string &arg() const { return args_[i_]; }
    // The option's name, without an attached value.
    const std::string &option() const { return opt_; }
    // The option's value: attached, or the next argument. Throws UsageError.
    std::string value();
    // Throws UsageError when a value was attached to a switch.
    void noValue() const;

private:
    const std::vector<std::string> &args_;
    size_t i_ = 0;
    bool started_ = false, noMoreOptions_ = false, operand_ = false, hasValue_ = false;
    std::string opt_, value_;
};

// State the mixer options keep between arguments.
struct MixerParse {
    std::optional<double> clock, step;
    std::optional<Environment> region;
};

// Handles the reader's current option if it is a shared one; false if not.
// Throws UsageError for a bad value.
bool parseMixerOption(ArgReader &r, MixerSettings &s, MixerParse &state);

// Combines --region, --clock and --step-period after the last argument.
void finishMixerOptions(MixerSettings &s, const MixerParse &state);

// Help lines for the shared options, in the tools' help layout.
std::string mixerOptionsHelp();

// Pan given to each mixer channel in stereo when none is chosen: the 2A03
// pulses apart, triangle and DMC in the middle, noise a little right, the
// expansion channels spread around them.
int defaultStereoPan(int index);

// Numbers with range checks and usage errors naming the option.
double realOption(const std::string &opt, const std::string &v, double lo, double hi);
int intOption(const std::string &opt, const std::string &v, long long lo, long long hi);

} // namespace pelrin_render
