#include "region.hpp"

#include <cctype>
#include <string>

namespace pelrin_render {

std::optional<Environment> regionPreset(std::string_view name) {
    std::string s(name);
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (s == "ntsc") return Environment{0, kNtscClock, kNtscStepPeriod};
    if (s == "pal") return Environment{1, kPalClock, kPalStepPeriod};
    return std::nullopt;
}

} // namespace pelrin_render
