#include "playlist.hpp"

#include <cctype>
#include <cstdio>
#include <fstream>

namespace pelrin_nsf {

namespace {

std::string lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(std::string_view s) {
    size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
    return std::string(s.substr(a, b - a));
}

// Splits at commas not escaped with a backslash; "\x" becomes x.
std::vector<std::string> fields(std::string_view s) {
    std::vector<std::string> out(1);
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) out.back().push_back(s[++i]);
        else if (s[i] == ',') out.emplace_back();
        else out.back().push_back(s[i]);
    }
    return out;
}

std::optional<long> number(std::string_view s) {
    if (s.empty() || s.size() > 9) return std::nullopt;
    long v = 0;
    for (char c : s) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

} // namespace

std::optional<int32_t> parseTime(std::string_view text) {
    std::string t = trim(text);
    if (t.empty()) return std::nullopt;
    long ms = 0;
    size_t dot = t.find('.');
    if (dot != std::string::npos) {
        std::string frac = t.substr(dot + 1);
        if (frac.empty() || frac.size() > 3) return std::nullopt;
        auto f = number(frac);
        if (!f) return std::nullopt;
        for (size_t i = frac.size(); i < 3; ++i) *f *= 10;
        ms = *f;
        t.erase(dot);
    }
    long seconds = 0;
    int parts = 0;
    size_t start = 0;
    for (;;) {
        size_t colon = t.find(':', start);
        auto v = number(std::string_view(t).substr(start, colon == std::string::npos ? std::string::npos : colon - start));
        if (!v || ++parts > 3) return std::nullopt;
        if (parts > 1 && *v >= 60) return std::nullopt; // minutes and seconds after a colon stay below 60
        seconds = seconds * 60 + *v;
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    const long total = seconds * 1000 + ms;
    if (total > 24L * 3600 * 1000) return std::nullopt;
    return static_cast<int32_t>(total);
}

std::vector<Track> parseM3u(std::string_view text, const std::filesystem::path &baseDir) {
    std::vector<Track> out;
    int lineNo = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line(text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos));
        pos = nl == std::string_view::npos ? text.size() + 1 : nl + 1;
        ++lineNo;
        if (lineNo == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3); // UTF-8 mark
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string t = trim(line);
        if (t.empty() || t[0] == '#') continue;
        auto fail = [&](const std::string &why) -> std::vector<Track> {
            throw NsfError("playlist line " + std::to_string(lineNo) + ": " + why);
        };
        size_t sep = lower(t).find("::nsf");
        if (sep == std::string::npos) continue; // a plain entry: nothing to say about tracks
        Track tr;
        tr.file = baseDir / std::filesystem::path(t.substr(0, sep));
        std::string rest = t.substr(sep + 5);
        if (rest.empty() || rest[0] != ',') fail("expected ',' and a track number after '::NSF'");
        auto f = fields(std::string_view(rest).substr(1));
        std::string num = trim(f[0]);
        std::optional<long> n;
        if (!num.empty() && num[0] == '$') {
            try {
                size_t used = 0;
                n = std::stol(num.substr(1), &used, 16);
                if (used != num.size() - 1) n.reset();
            } catch (const std::exception &) {
            }
        } else {
            n = number(num);
        }
        if (!n || *n < 1 || *n > 256) fail("track number '" + num + "' is not 1..256");
        tr.track = static_cast<int>(*n - 1);
        if (f.size() > 1) tr.title = trim(f[1]);
        if (f.size() > 2 && !trim(f[2]).empty()) {
            auto ms = parseTime(f[2]);
            if (!ms) fail("length '" + trim(f[2]) + "' is not a time like 1:23 or 83");
            tr.lengthMs = *ms;
        }
        if (f.size() > 4 && !trim(f[4]).empty()) {
            auto ms = parseTime(f[4]);
            if (!ms) fail("fade '" + trim(f[4]) + "' is not a time like 0:05 or 5");
            tr.fadeMs = *ms;
        }
        out.push_back(tr);
    }
    return out;
}

bool isPlaylistName(const std::filesystem::path &path) {
    std::string ext = lower(path.extension().string());
    return ext == ".m3u" || ext == ".m3u8";
}

std::vector<Track> fileTracks(const std::filesystem::path &path, const NsfFile &nsf) {
    std::vector<Track> out;
    for (int t : nsf.playOrder()) {
        Track tr;
        tr.file = path;
        tr.track = t;
        tr.title = nsf.trackTitle(t);
        tr.lengthMs = nsf.lengthMs(t);
        tr.fadeMs = nsf.fadeMs(t);
        out.push_back(tr);
    }
    return out;
}

std::string formatTime(int64_t ms) {
    if (ms < 0) return "?";
    const int64_t s = (ms + 500) / 1000;
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                      static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
    else
        std::snprintf(buf, sizeof buf, "%lld:%02lld", static_cast<long long>(s / 60), static_cast<long long>(s % 60));
    return buf;
}

std::string trackFileName(int number, const std::string &title, const std::string &extension) {
    char num[16];
    std::snprintf(num, sizeof num, "%02d", number);
    std::string clean;
    for (unsigned char c : title) {
        if (clean.size() >= 80 && (c & 0xC0) != 0x80) break; // whole UTF-8 characters only
        if (c < 0x20 || c == 0x7F || std::string_view("/\\:*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos)
            clean.push_back('_');
        else
            clean.push_back(static_cast<char>(c));
    }
    while (!clean.empty() && (clean.back() == '.' || clean.back() == ' ')) clean.pop_back();
    while (!clean.empty() && clean.front() == ' ') clean.erase(clean.begin());
    return clean.empty() ? std::string(num) + extension : std::string(num) + " " + clean + extension;
}

} // namespace pelrin_nsf
