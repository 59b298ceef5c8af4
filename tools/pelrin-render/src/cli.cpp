#include "cli.hpp"

#include <cmath>
#include <sstream>

#ifndef PELRIN_RENDER_VERSION
#define PELRIN_RENDER_VERSION "0.0.0"
#endif

namespace pelrin_render {

namespace {

std::string lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

double realArg(const std::string &opt, const std::string &v, double lo, double hi) {
    auto d = parseReal(v);
    if (!d) throw UsageError(opt + ": '" + v + "' is not a number");
    if (!(*d >= lo && *d <= hi)) {
        std::ostringstream o;
        o << opt << ": " << v << " is out of range " << lo << ".." << hi;
        throw UsageError(o.str());
    }
    return *d;
}

int intArg(const std::string &opt, const std::string &v, long long lo, long long hi) {
    auto d = parseSigned(v);
    if (!d) throw UsageError(opt + ": '" + v + "' is not a whole number");
    if (*d < lo || *d > hi)
        throw UsageError(opt + ": " + v + " is out of range " + std::to_string(lo) + ".." + std::to_string(hi));
    return static_cast<int>(*d);
}

// "pulse1,noise" or "all": the channel indexes named.
std::vector<int> channelList(const std::string &opt, const std::string &v) {
    std::vector<int> out;
    std::stringstream ss(v);
    std::string name;
    while (std::getline(ss, name, ',')) {
        if (lower(name) == "all") {
            for (int i = 0; i < 19; ++i) out.push_back(i);
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

CliOptions parseCommandLine(const std::vector<std::string> &args) {
    CliOptions o;
    RenderSettings &s = o.settings;
    std::optional<double> clock, step;
    std::optional<Environment> region;
    bool noMoreOptions = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string a = args[i];
        if (noMoreOptions || a.empty() || a[0] != '-' || a == "-") {
            if (o.input) throw UsageError("more than one input log given ('" + *o.input + "' and '" + a + "')");
            o.input = a;
            continue;
        }
        if (a == "--") { noMoreOptions = true; continue; }
        std::string opt = a, value;
        bool hasValue = false;
        if (a.rfind("--", 0) == 0) {
            size_t eq = a.find('=');
            if (eq != std::string::npos) { opt = a.substr(0, eq); value = a.substr(eq + 1); hasValue = true; }
        } else if (a.size() > 2) { // -r44100
            opt = a.substr(0, 2);
            value = a.substr(2);
            hasValue = true;
        }
        auto need = [&]() -> std::string {
            if (hasValue) return value;
            if (i + 1 >= args.size()) throw UsageError(opt + " needs a value");
            return args[++i];
        };
        auto flag = [&]() {
            if (hasValue) throw UsageError(opt + " takes no value");
        };
        if (opt == "-h" || opt == "--help") { flag(); o.help = true; }
        else if (opt == "-V" || opt == "--version") { flag(); o.version = true; }
        else if (opt == "--demo-log") { flag(); o.demoLog = true; }
        else if (opt == "-q" || opt == "--quiet") { flag(); o.quiet = true; }
        else if (opt == "-v" || opt == "--verbose") { flag(); o.verbose = true; }
        else if (opt == "--no-progress") { flag(); o.progress = false; }
        else if (opt == "-o" || opt == "--output") {
            o.output = need();
            if (o.output->empty()) throw UsageError(opt + ": empty file name");
        }
        else if (opt == "-r" || opt == "--rate") s.rate = intArg(opt, need(), 8000, 192000);
        else if (opt == "-b" || opt == "--bits") {
            int b = intArg(opt, need(), 8, 16);
            if (b != 8 && b != 16) throw UsageError(opt + ": bits must be 8 or 16");
            s.bits = b;
        }
        else if (opt == "-c" || opt == "--channels") s.channels = intArg(opt, need(), 1, 2);
        else if (opt == "--mono") { flag(); s.channels = 1; }
        else if (opt == "--stereo") { flag(); s.channels = 2; }
        else if (opt == "--region") {
            std::string v = need();
            region = regionPreset(v);
            if (!region) throw UsageError(opt + ": expected ntsc or pal, not '" + v + "'");
        }
        else if (opt == "--clock") clock = realArg(opt, need(), 8000.0, 1e8);
        else if (opt == "--step-period") step = realArg(opt, need(), 1.0, 1e8);
        else if (opt == "--chip") {
            std::string v = need();
            auto chip = chipValue(v);
            if (!chip || (*chip != 0 && *chip != 1 && *chip != 8 && *chip != 16))
                throw UsageError(opt + ": expected none, vrc6, mmc5 or n163, not '" + v + "'");
            s.chip = *chip;
        }
        else if (opt == "-l" || opt == "--length") s.lengthSeconds = realArg(opt, need(), 0.001, 86400.0);
        else if (opt == "-f" || opt == "--fade") o.fadeSeconds = realArg(opt, need(), 0.0, 86400.0);
        else if (opt == "-m" || opt == "--master-volume") s.master = static_cast<float>(realArg(opt, need(), 0.0, 1.99));
        else if (opt == "--dmc-ramp") s.ramp = onOff(opt, need()) ? 1 : 0;
        else if (opt == "--triangle") {
            std::string v = lower(need());
            if (v == "staircase" || v == "0") s.shape = 0;
            else if (v == "symmetric" || v == "1") s.shape = 1;
            else throw UsageError(opt + ": expected staircase or symmetric, not '" + v + "'");
        }
        else if (opt == "--mute" || opt == "--enable") {
            for (int idx : channelList(opt, need())) s.channelOptions[static_cast<size_t>(idx)].enable = opt == "--enable";
        }
        else if (opt == "--solo") {
            auto list = channelList(opt, need());
            for (auto &c : s.channelOptions) c.enable = 0;
            for (int idx : list) s.channelOptions[static_cast<size_t>(idx)].enable = 1;
        }
        else if (opt == "--volume" || opt == "--pan") {
            std::string v = need();
            size_t eq = v.find('=');
            if (eq == std::string::npos) throw UsageError(opt + ": expected NAME=VALUE, not '" + v + "'");
            auto list = channelList(opt, v.substr(0, eq));
            bool vol = opt == "--volume";
            int n = vol ? intArg(opt, v.substr(eq + 1), 0, 255) : intArg(opt, v.substr(eq + 1), -127, 127);
            for (int idx : list) (vol ? s.channelOptions[static_cast<size_t>(idx)].volume
                                      : s.channelOptions[static_cast<size_t>(idx)].pan) = n;
        }
        else throw UsageError("unknown option '" + a + "'");
    }
    if (region || clock || step) {
        Environment e = region.value_or(Environment{});
        if (!region) { // --clock or --step-period alone keep the other settings
            e.region = -1;
            e.clock = 0.0;
            e.stepPeriod = 0.0;
        }
        if (clock) e.clock = *clock;
        if (step) e.stepPeriod = *step;
        s.environment = e;
        int rate = s.rate.value_or(44100);
        if (e.clock > 0.0 && e.clock < rate) throw UsageError("--clock must not be below the sample rate");
    }
    return o;
}

std::string defaultOutput(const CliOptions &o) {
    if (o.output) return *o.output;
    if (!o.input) return "pelrin-demo.wav";
    std::string in = *o.input;
    size_t slash = in.find_last_of("/\\");
    size_t dot = in.find_last_of('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) in.erase(dot);
    return in + ".wav";
}

std::string versionText() { return std::string("pelrin-render ") + PELRIN_RENDER_VERSION + "\n"; }

std::string helpText() {
    return R"(Usage: pelrin-render [OPTIONS] [LOG]

Drives the pelrin sound library with a register log, as a host emulator
does, and writes the sound as a WAV file. Without LOG it renders the
built-in demo song to pelrin-demo.wav. LOG '-' reads standard input
(then -o is needed).

Output:
  -o, --output FILE       WAV file to write (default: LOG with .wav, or
                          pelrin-demo.wav); '-' writes raw PCM to stdout
  -r, --rate HZ           sample rate, 8000..192000 (default 44100)
  -b, --bits 8|16         sample size (default 16)
  -c, --channels 1|2      mono or stereo (also --mono, --stereo)
  -l, --length SECONDS    render exactly this long (default: to the log's
                          last cycle)
  -f, --fade SECONDS      fade the last SECONDS out
Sound unit:
      --region ntsc|pal   clock, frame-step period and DMC rate table
                          (ntsc: 1789772.75 Hz, 7457.5; pal: 1662607.125 Hz, 8313)
      --clock HZ          CPU clock in Hz
      --step-period N     CPU cycles between frame-sequencer steps
      --chip CHIP         expansion chip of the first reset: none, vrc6,
                          mmc5, n163 (a log's own reset lines choose too)
Mixer:
  -m, --master-volume X   master volume, 0..1.99 (default 1)
      --volume NAME=V     channel volume 0..255 (default 255)
      --pan NAME=P        channel pan -127 (left) .. 127 (right); stereo only
      --mute NAMES        leave channels out of the mix (comma-separated)
      --enable NAMES      put channels back into the mix
      --solo NAMES        mix only these channels
      --dmc-ramp on|off   smooth jumps of the DMC level written to $4011
      --triangle SHAPE    staircase (hardware) or symmetric
  Channel NAMES: pulse1 pulse2 triangle noise dmc vrc6-pulse1 vrc6-pulse2
  vrc6-saw mmc5-pulse1 mmc5-pulse2 mmc5-pcm n163-0 .. n163-7, a mixer
  index 0..18, or all. Options given here override the log's own settings
  made before its first timed line.
Other:
      --demo-log          print the demo song's register log and exit
      --no-progress       no progress bar (shown only on a terminal)
  -q, --quiet             print nothing but errors
  -v, --verbose           print statistics and the values read by r lines
  -h, --help              this help
  -V, --version           version

Register log: one host call a line; '#' starts a comment. Numbers are
decimal, $hex or 0xhex; a cycle may be +N (N after the previous line).
  w CYCLE ADDR VALUE      register write          r CYCLE ADDR [BUS]  read
  run CYCLE               run to CYCLE            reset [CHIP]
  format RATE BITS CHANNELS                       (before the first timed line)
  environment REGION CLOCK STEP                   configure MASTER RAMP SHAPE
  channel NAME ENABLE VOLUME PAN                  ('-' keeps a setting)
  mem ADDR HEXBYTES...    bytes at $8000-$FFFF for DMC fetches
  memfile ADDR PATH [OFFSET [LENGTH]]             (PATH relative to the log)
Cycles are the host CPU's, without DMC stall cycles: the tool adds the
stalls the library reports. See docs/register-log.md for the full format.
)";
}

} // namespace pelrin_render
