// Command line of pelrin-render.
#pragma once

#include "render.hpp"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pelrin_render {

struct CliOptions {
    std::optional<std::string> input;  // register log; none: the demo
    std::optional<std::string> output; // file, or "-" for raw PCM on stdout
    RenderSettings settings;
    double fadeSeconds = 0.0;
    bool help = false, version = false, demoLog = false;
    bool quiet = false, verbose = false, progress = true;
};

// args excludes the program name. Throws UsageError.
CliOptions parseCommandLine(const std::vector<std::string> &args);

std::string helpText();
std::string versionText();

// Output path used when none is given.
std::string defaultOutput(const CliOptions &options);

} // namespace pelrin_render
