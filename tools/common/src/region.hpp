// Clock presets of the two console regions.
#pragma once

#include <optional>
#include <string_view>

namespace pelrin_render {

constexpr double kNtscClock = 1789772.75;
constexpr double kNtscStepPeriod = 7457.5;
constexpr double kNtscFrameCycles = 29780.5;
constexpr double kPalClock = 1662607.125;
constexpr double kPalStepPeriod = 8313.0;
constexpr double kPalFrameCycles = 33247.5;

struct Environment {
    int region = 0;
    double clock = kNtscClock;
    double stepPeriod = kNtscStepPeriod;
};
// "ntsc" or "pal" (any case); nullopt otherwise.
std::optional<Environment> regionPreset(std::string_view name);

} // namespace pelrin_render
