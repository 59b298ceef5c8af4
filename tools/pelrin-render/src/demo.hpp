// The built-in demo song, composed as a register log.
#pragma once

#include "render.hpp"

#include <string>

namespace pelrin_render {

// Register log text of the demo for the given clock environment (periods,
// tempo and sample rates follow the clock). About 40 seconds: a 2A03 section,
// then one section each for the VRC6, the MMC5 and the Namco 163.
std::string demoLogText(const Environment &env = Environment{});

// Start of each section in seconds, and the song's end.
struct DemoSection {
    const char *name;
    double start, end;
};
std::vector<DemoSection> demoSections();

} // namespace pelrin_render
