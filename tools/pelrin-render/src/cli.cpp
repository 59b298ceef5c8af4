#include "cli.hpp"

#include <cmath>
#include <sstream>

#ifndef PELRIN_RENDER_VERSION
#define PELRIN_RENDER_VERSION "0.0.0"
#endif

namespace pelrin_render {

CliOptions parseCommandLine(const std::vector<std::string> &args) {
    CliOptions o;
    RenderSettings &s = o.settings;
    MixerParse mixer;
    ArgReader r(args);
    while (r.next()) {
        if (r.isOperand()) {
            if (o.input) throw UsageError("more than one input log given ('" + *o.input + "' and '" + r.arg() + "')");
            o.input = r.arg();
            continue;
        }
        const std::string &opt = r.option();
        if (parseMixerOption(r, s, mixer)) continue;
        if (opt == "-h" || opt == "--help") { r.noValue(); o.help = true; }
        else if (opt == "-V" || opt == "--version") { r.noValue(); o.version = true; }
        else if (opt == "--demo-log") { r.noValue(); o.demoLog = true; }
        else if (opt == "-q" || opt == "--quiet") { r.noValue(); o.quiet = true; }
        else if (opt == "-v" || opt == "--verbose") { r.noValue(); o.verbose = true; }
        else if (opt == "--no-progress") { r.noValue(); o.progress = false; }
        else if (opt == "-o" || opt == "--output") {
            o.output = r.value();
            if (o.output->empty()) throw UsageError(opt + ": empty file name");
        }
        else if (opt == "--chip") {
            std::string v = r.value();
            auto chip = chipValue(v);
            if (!chip || (*chip != 0 && *chip != 1 && *chip != 8 && *chip != 16))
                throw UsageError(opt + ": expected none, vrc6, mmc5 or n163, not '" + v + "'");
            s.chip = *chip;
        }
        else if (opt == "-l" || opt == "--length") s.lengthSeconds = realOption(opt, r.value(), 0.001, 86400.0);
        else if (opt == "-f" || opt == "--fade") o.fadeSeconds = realOption(opt, r.value(), 0.0, 86400.0);
        else throw UsageError("unknown option '" + r.arg() + "'");
    }
    finishMixerOptions(s, mixer);
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
    return std::string(R"(Usage: pelrin-render [OPTIONS] [LOG]

Drives the pelrin sound library with a register log, as a host emulator
does, and writes the sound as a WAV file. Without LOG it renders the
built-in demo song to pelrin-demo.wav. LOG '-' reads standard input
(then -o is needed).

Output:
  -o, --output FILE       WAV file to write (default: LOG with .wav, or
                          pelrin-demo.wav); '-' writes raw PCM to stdout
  -l, --length SECONDS    render exactly this long (default: to the log's
                          last cycle)
  -f, --fade SECONDS      fade the last SECONDS out
      --chip CHIP         expansion chip of the first reset: none, vrc6,
                          mmc5, n163 (a log's own reset lines choose too)
)" + mixerOptionsHelp() + R"(Mixer and clock options override the log's own settings made before its
first timed line.
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
)");
}

} // namespace pelrin_render
