// Register logs: a text form of the calls a host emulator makes into the
// sound library, one call a line. See docs/register-log.md for the format.
#pragma once

#include "names.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pelrin_render {

// A malformed log line; what() is "file:line: message".
class LogError : public std::runtime_error {
public:
    LogError(const std::string &file, int line, const std::string &message);
    int line() const { return line_; }
    const std::string &message() const { return message_; }

private:
    int line_;
    std::string message_;
};

enum class Op {
    Write,       // APU_RegWrite(addr, value, cycle)
    Read,        // APU_RegRead(addr, &bus, cycle)
    Run,         // APU_RunToCycle(cycle), then collect the output
    Reset,       // APU_Reset(chip)
    Configure,   // APU_Configure(master, ramp, shape)
    Channel,     // APU_SetChannelOptions(index, enable, volume, pan)
    Environment, // APU_SetEnvironment(region, clock, stepPeriod)
    Memory,      // store bytes into the host memory behind the DMA banks
};

inline bool isTimed(Op op) { return op == Op::Write || op == Op::Read || op == Op::Run; }

struct Command {
    Op op = Op::Run;
    int line = 0;          // 1-based line in the log text
    uint64_t cycle = 0;    // timed commands: host CPU cycle, stalls not counted
    uint32_t address = 0;  // Write/Read: register; Memory: CPU address $8000-$FFFF
    uint32_t value = 0;    // Write: value; Read: data-bus byte passed in
    int32_t chip = 0;      // Reset
    int32_t index = 0;     // Channel: mixer index 0..18
    int32_t enable = -1;   // Channel: -1 keep, 0 off, 1 on
    int32_t volume = -1;   // Channel: -1 keep, else 0..255
    int32_t pan = -128;    // Channel: -128 keep, else -127..127
    float master = -1.0f;  // Configure: negative keeps
    int32_t ramp = -1;     // Configure: -1 keep, 0 off, 1 on
    int32_t shape = -1;    // Configure: -1 keep, 0 staircase, 1 symmetric
    int32_t region = -1;   // Environment: negative keeps
    float clock = 0.0f;    // Environment: below 1 keeps
    float stepPeriod = 0.0f; // Environment: below 1 keeps
    std::vector<uint8_t> bytes; // Memory
};

struct OutputFormat {
    int rate = 44100;
    int bits = 16;
    int channels = 1;
};

struct RegisterLog {
    std::string name;                   // file name used in messages
    std::vector<Command> commands;
    std::optional<OutputFormat> format; // from a `format` line, if any
    uint64_t lastCycle = 0;             // cycle of the last timed line
    bool hasTimed = false;
};

// Receives each command as it is parsed, instead of the log's list.
using CommandSink = std::function<void(Command &&)>;

// Parses log text. baseDir resolves `memfile` paths. Throws LogError.
RegisterLog parseLog(std::string_view text, const std::string &name,
                     const std::filesystem::path &baseDir = {});

// Parses a log line by line from a stream (lines are at most 1 MiB). With a
// sink, each command goes there and the returned log holds none, so memory
// does not grow with the log. With copy, every line read is written there too.
RegisterLog parseLog(std::istream &in, const std::string &name, const std::filesystem::path &baseDir,
                     const CommandSink &sink = {}, std::ostream *copy = nullptr);

// Reads and parses a log file (a regular file; a folder, FIFO or device is
// refused). Throws LogError (line 0 for an unreadable file).
RegisterLog loadLog(const std::filesystem::path &path, const CommandSink &sink = {});

} // namespace pelrin_render
