// Names and numbers shared by the tools' command lines and register logs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelrin_render {

// Mixer channel names: pulse1 ... n163-7, in index order.
const std::vector<std::string> &channelNames();
// Index 0..18 of a channel name or of a decimal index; nullopt if unknown.
std::optional<int> channelIndex(std::string_view name);

// Chip names for `reset` and --chip: none, vrc6, mmc5, n163.
std::optional<int> chipValue(std::string_view name);
const char *chipName(int chip);

// Number syntax shared with the command line: decimal, $hex, 0xhex, 0bbinary.
std::optional<uint64_t> parseUnsigned(std::string_view text);
std::optional<int64_t> parseSigned(std::string_view text);
std::optional<double> parseReal(std::string_view text);

} // namespace pelrin_render
