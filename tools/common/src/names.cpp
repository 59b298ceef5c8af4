#include "names.hpp"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace pelrin_render {

namespace {

const std::vector<std::string> kChannelNames = {
    "pulse1",      "pulse2",      "triangle",    "noise",       "dmc",
    "vrc6-pulse1", "vrc6-pulse2", "vrc6-saw",    "mmc5-pulse1", "mmc5-pulse2",
    "mmc5-pcm",    "n163-0",      "n163-1",      "n163-2",      "n163-3",
    "n163-4",      "n163-5",      "n163-6",      "n163-7"};

std::string lower(std::string_view s) {
    std::string out(s);
    for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

} // namespace

const std::vector<std::string> &channelNames() { return kChannelNames; }

std::optional<int> channelIndex(std::string_view name) {
    std::string s = lower(name);
    for (size_t i = 0; i < kChannelNames.size(); ++i)
        if (kChannelNames[i] == s) return static_cast<int>(i);
    if (s == "triangle" || s == "tri") return 2;
    if (s == "saw" || s == "vrc6-sawtooth") return 7;
    if (s == "pcm") return 10;
    auto v = parseUnsigned(s);
    if (v && *v < kChannelNames.size()) return static_cast<int>(*v);
    return std::nullopt;
}

std::optional<int> chipValue(std::string_view name) {
    std::string s = lower(name);
    if (s == "none" || s == "2a03") return 0;
    if (s == "vrc6") return 1;
    if (s == "mmc5") return 8;
    if (s == "n163" || s == "namco163") return 16;
    auto v = parseUnsigned(s);
    if (v && *v <= 255) return static_cast<int>(*v);
    return std::nullopt;
}

const char *chipName(int chip) {
    switch (chip) {
    case 1: return "vrc6";
    case 8: return "mmc5";
    case 16: return "n163";
    default: return "none";
    }
}

std::optional<uint64_t> parseUnsigned(std::string_view t) {
    int base = 10;
    if (!t.empty() && t[0] == '$') { base = 16; t.remove_prefix(1); }
    else if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) { base = 16; t.remove_prefix(2); }
    else if (t.size() > 2 && t[0] == '0' && (t[1] == 'b' || t[1] == 'B')) { base = 2; t.remove_prefix(2); }
    if (t.empty()) return std::nullopt;
    uint64_t v = 0;
    auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v, base);
    if (ec != std::errc() || p != t.data() + t.size()) return std::nullopt;
    return v;
}

std::optional<int64_t> parseSigned(std::string_view t) {
    bool neg = false;
    if (!t.empty() && (t[0] == '-' || t[0] == '+')) { neg = t[0] == '-'; t.remove_prefix(1); }
    auto v = parseUnsigned(t);
    if (!v || *v > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
    return neg ? -static_cast<int64_t>(*v) : static_cast<int64_t>(*v);
}

std::optional<double> parseReal(std::string_view t) {
    if (t.empty()) return std::nullopt;
    std::string s(t);
    char *end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size() || !std::isfinite(v)) return std::nullopt;
    // Reject hex floats, inf and nan spellings that strtod accepts.
    for (char c : s)
        if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E'))
            return std::nullopt;
    return v;
}

} // namespace pelrin_render
