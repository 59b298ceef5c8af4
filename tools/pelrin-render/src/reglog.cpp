#include "reglog.hpp"

#include <output_file.hpp>

#include <cctype>
#include <charconv>
#include <cmath>
#include <fstream>
#include <sstream>

namespace pelrin_render {

LogError::LogError(const std::string &file, int line, const std::string &message)
    : std::runtime_error(line > 0 ? pelrin_tools::printable(file) + ":" + std::to_string(line) + ": " +
                                        pelrin_tools::printable(message)
                                  : pelrin_tools::printable(file) + ": " + pelrin_tools::printable(message)),
      line_(line), message_(pelrin_tools::printable(message)) {}

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

// Longest line read; longer ones are an error, so one line never fills memory.
constexpr size_t kMaxLineBytes = 1u << 20;

// Reads one line (without its \n) into line; false at the end of the input.
bool readLine(std::istream &in, std::string &line, bool &tooLong) {
    line.clear();
    tooLong = false;
    std::streambuf *sb = in.rdbuf();
    bool any = false;
    for (;;) {
        const int c = sb->sbumpc();
        if (c == std::char_traits<char>::eof()) return any;
        any = true;
        if (c == '\n') return true;
        if (line.size() >= kMaxLineBytes) {
            tooLong = true;
            return true;
        }
        line.push_back(static_cast<char>(c));
    }
}

} // namespace

RegisterLog parseLog(std::string_view text, const std::string &name, const std::filesystem::path &baseDir) {
    std::istringstream in{std::string(text)};
    return parseLog(in, name, baseDir);
}

RegisterLog parseLog(std::istream &in, const std::string &name, const std::filesystem::path &baseDir,
                     const CommandSink &sink, std::ostream *copy) {
    RegisterLog log;
    log.name = name;
    uint64_t prevCycle = 0;
    int lineNo = 0;
    std::string line;
    bool tooLong = false;
    while (readLine(in, line, tooLong)) {
        ++lineNo;
        if (tooLong) throw LogError(name, lineNo, "line is longer than " + std::to_string(kMaxLineBytes) + " bytes");
        if (lineNo == 1 && (line.rfind("NESM\x1a", 0) == 0 || line.rfind("NSFE", 0) == 0))
            throw LogError(name, 0, "this is an NSF music file, not a register log; play it with pelrin-nsf");
        if (line.find('\0') != std::string::npos)
            throw LogError(name, lineNo, "line contains a NUL byte; a register log is text");
        if (copy) *copy << line << '\n';
        std::string_view raw = line;
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
                if (*d >= (uint64_t(1) << 52)) p.fail("cycle " + t + " is too large");
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
            auto pastEnd = [&](uint64_t n) {
                std::ostringstream o;
                o << std::hex << std::uppercase << c.address;
                p.fail("bytes run past $FFFF (" + std::to_string(n) + " bytes from $" + o.str() + ")");
            };
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
                if (p.arg(1).empty()) p.fail("empty file name");
                std::filesystem::path path(p.arg(1));
                if (path.is_relative()) path = baseDir / path;
                uint64_t off = p.args() >= 3 ? p.number(2, "offset", 0, UINT32_MAX) : 0;
                std::optional<uint64_t> len;
                if (p.args() >= 4) len = p.number(3, "length", 0, 0x8000);
                uint64_t size = 0;
                try {
                    // Only the bytes asked for are read, never the whole file.
                    size = pelrin_tools::checkInputFile(path, UINT64_MAX);
                    if (off > size) p.fail("offset lies past the end of '" + p.arg(1) + "'");
                    if (!len) len = size - off;
                    if (off + *len > size) p.fail("'" + p.arg(1) + "' is shorter than offset + length");
                    if (c.address + *len > 0x10000) pastEnd(*len);
                    c.bytes = pelrin_tools::readInputFile(path, UINT64_MAX, off, *len);
                } catch (const LogError &) {
                    throw;
                } catch (const std::exception &e) {
                    p.fail(e.what());
                }
                if (c.bytes.size() != *len)
                    p.fail("'" + p.arg(1) + "' changed while it was read");
            }
            if (c.address + c.bytes.size() > 0x10000) pastEnd(c.bytes.size());
        } else {
            p.fail("unknown command '" + p.command() + "'");
        }
        if (sink) sink(std::move(c));
        else log.commands.push_back(std::move(c));
    }
    if (in.bad()) throw LogError(name, 0, "cannot read the log");
    return log;
}

RegisterLog loadLog(const std::filesystem::path &path, const CommandSink &sink) {
    std::ifstream in;
    try {
        pelrin_tools::checkInputFile(path, UINT64_MAX, "a register log");
        in.open(path, std::ios::binary);
        if (!in) throw std::runtime_error("cannot open '" + path.string() + "'");
    } catch (const std::exception &e) {
        throw LogError(path.string(), 0, e.what());
    }
    return parseLog(in, path.string(), path.parent_path(), sink);
}

} // namespace pelrin_render
