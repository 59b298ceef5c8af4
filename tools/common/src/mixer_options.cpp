#include "mixer_options.hpp"

#include <cctype>
#include <sstream>

namespace pelrin_render {

namespace {

std::string lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// "pulse1,noise" or "all": the channel indexes named.
std::vector<int> channelList(const std::string &opt, const std::string &v) {
    std::vector<int> out;
    std::stringstream ss(v);
    std::string name;
    while (std::getline(ss, name, ',')) {
        if (lower(name) == "all") {
            for (int i = 0; i < kMixerChannels; ++i) out.push_back(i);
            continue;
        }
        auto idx = channelIndex(name);
        if (!idx) throw UsageError(opt + ": unknown channel '" + name + "' (see --help for the names)");
        out.push_back(*idx);
    }
    if (out.empty()) throw UsageError(opt + ": no channel named");
    return out;
}

bool onOff(const std::string &opt, const std::string &v) {
    std::string s = lower(v);
    if (s == "on" || s == "1" || s == "yes") return true;
    if (s == "off" || s == "0" || s == "no") return false;
    throw UsageError(opt + ": expected on or off, not '" + v + "'");
}

} // namespace

double realOption(const std::string &opt, const std::string &v, double lo, double hi) {
    auto d = parseReal(v);
    if (!d) throw UsageError(opt + ": '" + v + "' is not a number");
    if (!(*d >= lo && *d <= hi)) {
        std::ostringstream o;
        o << opt << ": " << v << " is out of range " << lo << ".." << hi;
        throw UsageError(o.str());
    }
    return *d;
}

int intOption(const std::string &opt, const std::string &v, long long lo, long long hi) {
    auto d = parseSigned(v);
    if (!d) throw UsageError(opt + ": '" + v + "' is not a whole number");
    if (*d < lo || *d > hi)
        throw UsageError(opt + ": " + v + " is out of range " + std::to_string(lo) + ".." + std::to_string(hi));
    return static_cast<int>(*d);
}

bool ArgReader::next() {
    if (started_) ++i_;
    started_ = true;
    if (i_ >= args_.size()) return false;
    const std::string &a = args_[i_];
    hasValue_ = false;
    value_.clear();
    opt_ = a;
    operand_ = noMoreOptions_ || a.empty() || a[0] != '-' || a == "-";
    if (operand_) return true;
    if (a == "--") {
        noMoreOptions_ = true;
        return next();
    }
    if (a.rfind("--", 0) == 0) {
        size_t eq = a.find('=');
        if (eq != std::string::npos) {
            opt_ = a.substr(0, eq);
            value_ = a.substr(eq + 1);
            hasValue_ = true;
        }
    } else if (a.size() > 2) { // -r44100
        opt_ = a.substr(0, 2);
        value_ = a.substr(2);
        hasValue_ = true;
    }
    return true;
}

std::string ArgReader::value() {
    if (hasValue_) return value_;
    if (i_ + 1 >= args_.size()) throw UsageError(opt_ + " needs a value");
    return args_[++i_];
}

void ArgReader::noValue() const {
    if (hasValue_) throw UsageError(opt_ + " takes no value");
}

bool parseMixerOption(ArgReader &r, MixerSettings &s, MixerParse &state) {
    const std::string &opt = r.option();
    if (opt == "-r" || opt == "--rate") s.rate = intOption(opt, r.value(), 8000, 192000);
    else if (opt == "-b" || opt == "--bits") {
        int b = intOption(opt, r.value(), 8, 16);
        if (b != 8 && b != 16) throw UsageError(opt + ": bits must be 8 or 16");
        s.bits = b;
    }
    else if (opt == "-c" || opt == "--channels") s.channels = intOption(opt, r.value(), 1, 2);
    else if (opt == "--mono") { r.noValue(); s.channels = 1; }
    else if (opt == "--stereo") { r.noValue(); s.channels = 2; }
    else if (opt == "--region") {
        std::string v = r.value();
        state.region = regionPreset(v);
        if (!state.region) throw UsageError(opt + ": expected ntsc or pal, not '" + v + "'");
    }
    else if (opt == "--clock") state.clock = realOption(opt, r.value(), 8000.0, 1e8);
    else if (opt == "--step-period") state.step = realOption(opt, r.value(), 1.0, 1e8);
    else if (opt == "-m" || opt == "--master-volume") s.master = static_cast<float>(realOption(opt, r.value(), 0.0, 1.99));
    else if (opt == "--dmc-ramp") s.ramp = onOff(opt, r.value()) ? 1 : 0;
    else if (opt == "--triangle") {
        std::string v = lower(r.value());
        if (v == "staircase" || v == "0") s.shape = 0;
        else if (v == "symmetric" || v == "1") s.shape = 1;
        else throw UsageError(opt + ": expected staircase or symmetric, not '" + v + "'");
    }
    else if (opt == "--mute" || opt == "--enable") {
        for (int idx : channelList(opt, r.value())) s.channelOptions[static_cast<size_t>(idx)].enable = opt == "--enable";
    }
    else if (opt == "--solo") {
        auto list = channelList(opt, r.value());
        for (auto &c : s.channelOptions) c.enable = 0;
        for (int idx : list) s.channelOptions[static_cast<size_t>(idx)].enable = 1;
    }
    else if (opt == "--volume" || opt == "--pan") {
        std::string v = r.value();
        size_t eq = v.find('=');
        if (eq == std::string::npos) throw UsageError(opt + ": expected NAME=VALUE, not '" + v + "'");
        auto list = channelList(opt, v.substr(0, eq));
        bool vol = opt == "--volume";
        int n = vol ? intOption(opt, v.substr(eq + 1), 0, 255) : intOption(opt, v.substr(eq + 1), -127, 127);
        for (int idx : list) (vol ? s.channelOptions[static_cast<size_t>(idx)].volume
                                  : s.channelOptions[static_cast<size_t>(idx)].pan) = n;
    }
    else if (opt == "--filter") { r.noValue(); s.filter = true; }
    else if (opt == "--no-filter") { r.noValue(); s.filter = false; }
    else if (opt == "--lowpass") s.lowPassHz = realOption(opt, r.value(), 1.0, 96000.0);
    else return false;
    return true;
}

void finishMixerOptions(MixerSettings &s, const MixerParse &state) {
    if (!state.region && !state.clock && !state.step) return;
    Environment e = state.region.value_or(Environment{});
    if (!state.region) { // --clock or --step-period alone keep the other settings
        e.region = -1;
        e.clock = 0.0;
        e.stepPeriod = 0.0;
    }
    if (state.clock) e.clock = *state.clock;
    if (state.step) e.stepPeriod = *state.step;
    s.environment = e;
    int rate = s.rate.value_or(44100);
    if (e.clock > 0.0 && e.clock < rate) throw UsageError("--clock must not be below the sample rate");
}

std::string mixerOptionsHelp() {
    return R"(  -r, --rate HZ           sample rate, 8000..192000 (default 44100)
  -b, --bits 8|16         sample size (default 16)
  -c, --channels 1|2      mono or stereo (also --mono, --stereo)
Sound unit:
      --region ntsc|pal   clock, frame-step period and DMC rate table
                          (ntsc: 1789772.75 Hz, 7457.5; pal: 1662607.125 Hz, 8313)
      --clock HZ          CPU clock in Hz
      --step-period N     CPU cycles between frame-sequencer steps
Mixer:
  -m, --master-volume X   master volume, 0..1.99 (default 1)
      --volume NAME=V     channel volume 0..255 (default 255)
      --pan NAME=P        channel pan -127 (left) .. 127 (right); stereo only
      --mute NAMES        leave channels out of the mix (comma-separated)
      --enable NAMES      put channels back into the mix
      --solo NAMES        mix only these channels
      --dmc-ramp on|off   smooth jumps of the DMC level written to $4011
      --triangle SHAPE    staircase (hardware) or symmetric
Listening filter (after the library, which stays exact):
      --filter            a 20 Hz high-pass that removes the output's offset
      --no-filter         the library's exact bytes
      --lowpass HZ        also a first-order low-pass at HZ
  Channel NAMES: pulse1 pulse2 triangle noise dmc vrc6-pulse1 vrc6-pulse2
  vrc6-saw mmc5-pulse1 mmc5-pulse2 mmc5-pcm n163-0 .. n163-7, a mixer
  index 0..18, or all.
)";
}

int defaultStereoPan(int index) {
    static const int kPans[kMixerChannels] = {
        -48, 48, 0, 24, 0,        // pulse1 pulse2 triangle noise dmc
        -32, 32, -16,             // vrc6 pulses, saw
        -40, 40, 16,              // mmc5 pulses, pcm
        -56, 56, -40, 40, -24, 24, -8, 8}; // n163-0..7
    return index >= 0 && index < kMixerChannels ? kPans[index] : 0;
}

} // namespace pelrin_render
