// Drives the sound library through a register log as a host emulator does
// and hands the collected PCM to a sink.
#pragma once

#include "reglog.hpp"
#include "mixer_options.hpp"
#include "wav.hpp"

#include <array>
#include <functional>
#include <optional>

namespace pelrin_render {

// Host-side choices: the mixer and output options shared with pelrin-nsf,
// plus the render's own. Options here override the log's own settings made
// before its first timed line; later log lines still apply in their turn.
struct RenderSettings : MixerSettings {
    int chip = 0;                              // chip of the reset made before the log starts
    std::optional<double> lengthSeconds;       // render exactly this long
};

struct ReadResult {
    int line;
    uint32_t address;
    uint8_t value;
};

struct RenderStats {
    OutputFormat format;
    uint64_t frames = 0;
    uint64_t bytes = 0;
    uint64_t stallCycles = 0;  // all stall cycles the library returned
    uint64_t interrupts = 0;   // times an interrupt became pending
    uint64_t stretches = 0;    // buffer collections
    std::vector<ReadResult> reads;
    double seconds() const { return format.rate ? static_cast<double>(frames) / format.rate : 0.0; }
};

// Output format the render will use: settings over the log's `format` line
// over 44100 Hz, 16 bits, mono.
OutputFormat effectiveFormat(const RegisterLog &log, const RenderSettings &settings);

// Expected output length in frames, for progress display.
uint64_t expectedFrames(const RegisterLog &log, const RenderSettings &settings);

using ProgressFn = std::function<void(uint64_t framesDone)>;
using CancelFn = std::function<bool()>;

class RenderCancelled : public std::runtime_error {
public:
    RenderCancelled() : std::runtime_error("interrupted") {}
};

// Renders the whole log into sink (sink.finish() is called at the end).
// Throws std::runtime_error on failure, RenderCancelled when cancel() says so.
RenderStats render(const RegisterLog &log, const RenderSettings &settings, PcmSink &sink,
                   const ProgressFn &progress = {}, const CancelFn &cancel = {});

// The same for a log too large to hold: summary is the log as parsed once
// (with its commands left out), and the commands are parsed again from `in`
// and rendered one by one, so memory does not grow with the log.
RenderStats renderStream(const RegisterLog &summary, std::istream &in, const std::filesystem::path &baseDir,
                         const RenderSettings &settings, PcmSink &sink, const ProgressFn &progress = {},
                         const CancelFn &cancel = {});

} // namespace pelrin_render
