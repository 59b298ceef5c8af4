#include "reglog.hpp"

#include <cctype>
#include <charconv>
#include <cmath>
#include <fstream>
#include <sstream>

namespace pelrin_render {

LogError::LogError(const std::string &file, int line, const std::string &message)
    : std::runtime_error(line > 0 ? file + ":" + std::to_string(line) + ": " + message
                                  : file + ": " + message),
      line_(line), message_(message) {}

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Splits a line into tokens; `#` starts a comment, "..." quotes a token.
std::vector<std::string> tokenize(std::string_view line, std::string &error) {
    std::vector<std::string> tokens;
    size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (c == '#') break;
        if (std::isspace(static_cast<unsigned char>(c))) { ++i; continue; }
        std::string tok;
        if (c == '"') {
            size_t end = line.find('"', i + 1);
            if (end == std::string_view::npos) { error = "unterminated quoted string"; return {}; }
            tok = std::string(line.substr(i + 1, end - i - 1));
            i = end + 1;
        } else {
            while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])) && line[i] != '#')
                tok += line[i++];
        }
        tokens.push_back(std::move(tok));
    }
    return tokens;
}

class LineParser {
public:
    LineParser(const std::string &file, int line, std::vector<std::string> tokens)
        : file_(file), line_(line), tok_(std::move(tokens)) {}

    [[noreturn]] void fail(const std::string &message) const { throw LogError(file_, line_, message); }

    const std::string &command() const { return tok_[0]; }
    size_t args() const { return tok_.size() - 1; }
    const std::string &arg(size_t i) const { return tok_[i + 1]; }

    void expectArgs(size_t lo, size_t hi, const char *usage) const {
        if (args() < lo || args() > hi) fail(std::string("expected: ") + usage);
    }

    uint64_t number(size_t i, const char *what, uint64_t lo, uint64_t hi) const {
        auto v = parseUnsigned(arg(i));
        if (!v) fail(std::string("bad ") + what + " '" + arg(i) + "' (use decimal, $hex or 0xhex)");
        if (*v < lo || *v > hi)
            fail(std::string(what) + " " + arg(i) + " is out of range " + std::to_string(lo) + ".." +
                 std::to_string(hi));
        return *v;
    }

    bool keep(size_t i) const { return arg(i) == "-"; }

    int32_t switchValue(size_t i, const char *what, const char *offName, const char *onName) const {
        if (keep(i)) return -1;
        std::string s = lower(arg(i));
        if (s == "0" || s == "off" || s == offName) return 0;
        if (s == "1" || s == "on" || s == onName) return 1;
        fail(std::string("bad ") + what + " '" + arg(i) + "' (use " + offName + ", " + onName + ", 0, 1 or -)");
    }

    int64_t integer(size_t i, const char *what, int64_t lo, int64_t hi) const {
        auto v = parseSigned(arg(i));
        if (!v) fail(std::string("bad ") + what + " '" + arg(i) + "'");
        if (*v < lo || *v > hi)
            fail(std::string(what) + " " + arg(i) + " is out of range " + std::to_string(lo) + ".." +
                 std::to_string(hi));
        return *v;
    }

    double real(size_t i, const char *what, double lo, double hi) const {
        auto v = parseReal(arg(i));
        if (!v) fail(std::string("bad ") + what + " '" + arg(i) + "'");
        if (!(*v >= lo && *v <= hi)) fail(std::string(what) + " " + arg(i) + " is out of range");
        return *v;
    }

private:
    const std::string &file_;
    int line_;
    std::vector<std::string> tok_;
};

std::vector<uint8_t> readFileBytes(const std::filesystem::path &path, std::string &error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) { error = "cannot open '" + path.string() + "'"; return {}; }
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) { error = "cannot read '" + path.string() + "'"; return {}; }
    return data;
}

} // namespace

RegisterLog parseLog(std::string_view text, const std::string &name, const std::filesystem::path &baseDir) {
    RegisterLog log;
    log.name = name;
    uint64_t prevCycle = 0;
    int lineNo = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        std::string_view raw = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        pos = nl == std::string_view::npos ? text.size() + 1 : nl + 1;
        ++lineNo;
        if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
        std::string tokError;
        auto tokens = tokenize(raw, tokError);
        if (!tokError.empty()) throw LogError(name, lineNo, tokError);
        if (tokens.empty()) continue;
        LineParser p(name, lineNo, std::move(tokens));
        std::string cmd = lower(p.command());
        Command c;
        c.line = lineNo;

        auto timedCycle = [&](size_t i) {
            const std::string &t = p.arg(i);
            uint64_t v;
            if (!t.empty() && t[0] == '+') {
                auto d = parseUnsigned(std::string_view(t).substr(1));
                if (!d) p.fail("bad cycle '" + t + "'");
                v = prevCycle + *d;
            } else {
                auto a = parseUnsigned(t);
                if (!a) p.fail("bad cycle '" + t + "' (use a number, or +N for N cycles after the previous line)");
                v = *a;
            }
            if (v < prevCycle)
                p.fail("cycle " + std::to_string(v) + " lies before the previous cycle " + std::to_string(prevCycle));
            if (v >= (uint64_t(1) << 52)) p.fail("cycle " + t + " is too large");
            prevCycle = v;
            log.lastCycle = v;
            log.hasTimed = true;
            return v;
        };

        if (cmd == "w" || cmd == "write") {
            p.expectArgs(3, 3, "w CYCLE ADDRESS VALUE");
            c.op = Op::Write;
            c.cycle = timedCycle(0);
            c.address = static_cast<uint32_t>(p.number(1, "address", 0, 0xFFFF));
            c.value = static_cast<uint32_t>(p.number(2, "value", 0, 0xFF));
        } else if (cmd == "r" || cmd == "read") {
            p.expectArgs(2, 3, "r CYCLE ADDRESS [BUS]");
            c.op = Op::Read;
            c.cycle = timedCycle(0);
            c.address = static_cast<uint32_t>(p.number(1, "address", 0, 0xFFFF));
            c.value = p.args() == 3 ? static_cast<uint32_t>(p.number(2, "bus value", 0, 0xFF)) : 0;
        } else if (cmd == "run") {
            p.expectArgs(1, 1, "run CYCLE");
            c.op = Op::Run;
            c.cycle = timedCycle(0);
        } else if (cmd == "reset") {
            p.expectArgs(0, 1, "reset [none|vrc6|mmc5|n163]");
            c.op = Op::Reset;
            if (p.args() == 1) {
                auto chip = chipValue(p.arg(0));
                if (!chip) p.fail("unknown chip '" + p.arg(0) + "' (use none, vrc6, mmc5 or n163)");
                c.chip = *chip;
            }
        } else if (cmd == "configure") {
            p.expectArgs(3, 3, "configure MASTER RAMP SHAPE (- keeps a setting)");
            c.op = Op::Configure;
            c.master = p.keep(0) ? -1.0f : static_cast<float>(p.real(0, "master volume", 0.0, 1.99));
            c.ramp = p.switchValue(1, "ramp", "off", "on");
            c.shape = p.switchValue(2, "triangle shape", "staircase", "symmetric");
        } else if (cmd == "channel") {
            p.expectArgs(4, 4, "channel NAME ENABLE VOLUME PAN (- keeps a setting)");
            c.op = Op::Channel;
            auto idx = channelIndex(p.arg(0));
            if (!idx) p.fail("unknown channel '" + p.arg(0) + "'");
            c.index = *idx;
            c.enable = p.switchValue(1, "enable", "off", "on");
            c.volume = p.keep(2) ? -1 : static_cast<int32_t>(p.integer(2, "volume", 0, 255));
            c.pan = p.keep(3) ? -128 : static_cast<int32_t>(p.integer(3, "pan", -127, 127));
        } else if (cmd == "environment") {
            p.expectArgs(3, 3, "environment REGION CLOCK STEP-PERIOD (- keeps a setting)");
            c.op = Op::Environment;
            if (p.keep(0)) c.region = -1;
            else {
                std::string r = lower(p.arg(0));
                if (r == "ntsc") c.region = 0;
                else if (r == "pal") c.region = 1;
                else c.region = static_cast<int32_t>(p.integer(0, "region", 0, 255));
            }
            c.clock = p.keep(1) ? 0.0f : static_cast<float>(p.real(1, "clock", 8000.0, 1e8));
            c.stepPeriod = p.keep(2) ? 0.0f : static_cast<float>(p.real(2, "step period", 1.0, 1e8));
        } else if (cmd == "format") {
            p.expectArgs(3, 3, "format RATE BITS CHANNELS");
            if (log.hasTimed) p.fail("format must come before the first w, r or run line");
            if (log.format) p.fail("format given twice");
            OutputFormat f;
            f.rate = static_cast<int>(p.number(0, "rate", 8000, 192000));
            f.bits = static_cast<int>(p.number(1, "bits", 8, 16));
            if (f.bits != 8 && f.bits != 16) p.fail("bits must be 8 or 16");
            f.channels = static_cast<int>(p.number(2, "channels", 1, 2));
            log.format = f;
            continue;
        } else if (cmd == "mem" || cmd == "memfile") {
            c.op = Op::Memory;
            if (cmd == "mem") {
                if (p.args() < 2) p.fail("expected: mem ADDRESS HEXBYTES...");
                c.address = static_cast<uint32_t>(p.number(0, "address", 0x8000, 0xFFFF));
                for (size_t i = 1; i < p.args(); ++i) {
                    const std::string &h = p.arg(i);
                    if (h.size() % 2 != 0) p.fail("hex bytes '" + h + "' have an odd number of digits");
                    for (size_t k = 0; k < h.size(); k += 2) {
                        int hi = hexDigit(h[k]), lo = hexDigit(h[k + 1]);
                        if (hi < 0 || lo < 0) p.fail("bad hex bytes '" + h + "'");
                        c.bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
                    }
                }
            } else {
                p.expectArgs(2, 4, "memfile ADDRESS PATH [OFFSET [LENGTH]]");
                c.address = static_cast<uint32_t>(p.number(0, "address", 0x8000, 0xFFFF));
                std::filesystem::path path(p.arg(1));
                if (path.is_relative()) path = baseDir / path;
                std::string err;
                auto data = readFileBytes(path, err);
                if (!err.empty()) p.fail(err);
                uint64_t off = p.args() >= 3 ? p.number(2, "offset", 0, UINT32_MAX) : 0;
                if (off > data.size()) p.fail("offset lies past the end of '" + p.arg(1) + "'");
                uint64_t len = p.args() >= 4 ? p.number(3, "length", 0, 0x8000) : data.size() - off;
                if (off + len > data.size()) p.fail("'" + p.arg(1) + "' is shorter than offset + length");
                c.bytes.assign(data.begin() + static_cast<std::ptrdiff_t>(off),
                               data.begin() + static_cast<std::ptrdiff_t>(off + len));
            }
            if (c.address + c.bytes.size() > 0x10000)
                p.fail("bytes run past $FFFF (" + std::to_string(c.bytes.size()) + " bytes from $" +
                       [&] { std::ostringstream o; o << std::hex << std::uppercase << c.address; return o.str(); }() + ")");
        } else {
            p.fail("unknown command '" + p.command() + "'");
        }
        log.commands.push_back(std::move(c));
    }
    return log;
}

RegisterLog loadLog(const std::filesystem::path &path) {
    std::string err;
    auto data = readFileBytes(path, err);
    if (!err.empty()) throw LogError(path.string(), 0, err);
    std::string_view text(reinterpret_cast<const char *>(data.data()), data.size());
    return parseLog(text, path.string(), path.parent_path());
}

} // namespace pelrin_render
