// Plays an NSF file through the sound library: runs the file's 6502 code as
// an NSF player does (init once, then play at the file's rate) and hands the
// collected PCM to a sink; optionally writes every library call as a
// register log that pelrin-render can replay without the CPU.
#pragma once

#include "nsf.hpp"

#include <apu.hpp>
#include <mixer_options.hpp>
#include <pipe_sink.hpp>
#include <wav.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace pelrin_nsf {

struct PlayerOptions {
    int track = -1;              // 0-based; -1: the file's starting song
    double seconds = 120.0;      // length of the render
    int rate = 44100;
    int bits = 16;
    int channels = 1;
    int region = -1;             // -1 from the file (PAL only when it says so), 0 NTSC, 1 PAL
    // Mixer channel switches applied before the song starts: (index, enable).
    std::vector<std::pair<int, int>> channelEnable;
    // Master volume, DMC ramp, triangle shape, per-channel enable, volume
    // and pan, and a clock or step period other than the region's; applied
    // before the song starts (after channelEnable). Format fields are unused.
    pelrin_render::MixerSettings mixer;
    // Stop when the output has not changed for this long (0: never).
    double silenceSeconds = 0.0;
    // Called with every sound-register write (meters, pictures).
    std::function<void(uint16_t address, uint8_t value)> onSoundWrite;
    // Jump over the turns of a loop that provably idles (writes nothing,
    // reads only RAM and program memory, comes back to where it began with
    // the same registers) up to the next event the player must see. The
    // output is the same either way; off only to check that.
    bool skipIdleLoops = true;
    // Make the library's calls on a thread of their own while the 6502
    // needs nothing back from them (no sound-register reads, no samples,
    // no interrupts, no register log, no callback, no sound unit given).
    // The output and the result are the same either way; off only to check that.
    bool soundThread = true;
    // The pipe the sink's PCM goes through, made without a thread of its
    // own: while the library's calls run on their thread, the 6502's thread
    // writes the PCM on whenever the 6502 is far enough ahead; otherwise the
    // pipe is given a thread of its own. Null: none.
    pelrin_render::PipeSink *pipe = nullptr;
    // The sound unit to play on, for a caller that plays several renders
    // on one or acts on it while it plays (live mutes); null: a fresh one
    // of the render's own.
    pelrin_tools::Apu *apu = nullptr;
};

struct PlayResult {
    uint64_t frames = 0;         // PCM frames written to the sink
    uint64_t bytes = 0;
    uint64_t playCalls = 0;
    uint64_t skippedPlays = 0;   // play calls missed because the previous one was still running
    uint64_t stallCycles = 0;    // CPU cycles stolen by sample fetches
    uint64_t cpuCycles = 0;      // CPU cycles emulated, stalls included
    uint64_t idleLoopCycles = 0; // of which cycles of idle loops jumped over rather than run
    int chip = 0;                // expansion chip selector given to the reset
    bool pal = false;
    double playPeriodCycles = 0;
    bool endedBySilence = false;
    // Set when the 6502 could not go on (jam, unsupported opcode): the
    // track ended early there, with the sound rendered so far kept.
    std::string cpuStopped;
};

// Expansion chip selector for the reset from the header's chip byte, and a
// warning when the byte names chips that cannot all be played (else empty).
int selectChip(uint8_t chips, std::string &warning);

// Cycles between play calls for the file in the given region.
double playPeriod(const NsfFile &nsf, bool pal);

using PlayProgress = std::function<void(uint64_t framesDone, uint64_t framesTotal)>;

// Plays one track into sink (sink.finish() is not called). When log is
// given, writes the register log there. A routine that never returns is
// music like any other: the render goes on. A 6502 that cannot go on ends
// the track early (PlayResult::cpuStopped); NsfError when that happens
// before any sound was rendered, or for a bad track; std::runtime_error for
// other failures.
PlayResult play(const NsfFile &nsf, const PlayerOptions &options, pelrin_render::PcmSink &sink,
                std::ostream *log = nullptr, const PlayProgress &progress = {});

} // namespace pelrin_nsf
