// pelrin-render: renders a register log (or the built-in demo) through the
// pelrin sound library into a WAV file.

#include "cli.hpp"
#include "demo.hpp"
#include "render.hpp"

#include <output_file.hpp>
#include <output_filter.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#define PR_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define PR_ISATTY(fd) isatty(fd)
#endif

using namespace pelrin_render;

namespace {

volatile std::sig_atomic_t gInterrupted = 0;
extern "C" void onSignal(int) { gInterrupted = 1; }

int fail(const std::string &message, int code = 1) {
    std::fprintf(stderr, "pelrin-render: %s\n", pelrin_tools::printable(message).c_str());
    return code;
}

// A copy of standard input on disk, so that a log of any length is parsed
// twice (once to check it and find its length, once to render it) without
// being held in memory. Removed when done.
class Spool {
public:
    Spool() {
        path_ = std::filesystem::temp_directory_path() /
                ("pelrin-render-stdin-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) +
                 ".log");
        file_.open(path_, std::ios::in | std::ios::out | std::ios::trunc | std::ios::binary);
        if (!file_) throw std::runtime_error("cannot create a temporary file for standard input");
        slot_ = pelrin_tools::rememberTemporaryFile(path_); // removed if a signal ends the read
        pelrin_tools::removeTemporaryFilesOnSignal();
    }
    ~Spool() {
        pelrin_tools::forgetTemporaryFile(slot_);
        file_.close();
        std::error_code ec;
        std::filesystem::remove(path_, ec);
    }
    std::fstream &stream() { return file_; }
    void rewind() {
        file_.flush();
        if (!file_) throw std::runtime_error("cannot write a temporary copy of standard input");
        file_.clear();
        file_.seekg(0);
    }

private:
    std::filesystem::path path_;
    std::fstream file_;
    int slot_ = -1;
};

// A one-line bar on stderr, redrawn at most ten times a second.
class ProgressBar {
public:
    explicit ProgressBar(uint64_t total, int rate) : total_(total ? total : 1), rate_(rate) {}
    void update(uint64_t frames) {
        auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        double f = std::min(1.0, static_cast<double>(frames) / static_cast<double>(total_));
        int filled = static_cast<int>(f * 30);
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(30 - filled), '.');
        std::fprintf(stderr, "\r[%s] %3d%%  %.1f / %.1f s", bar.c_str(), static_cast<int>(f * 100),
                     static_cast<double>(frames) / rate_, static_cast<double>(total_) / rate_);
        std::fflush(stderr);
        shown_ = true;
    }
    void clear() {
        if (shown_) std::fprintf(stderr, "\r%60s\r", "");
    }

private:
    uint64_t total_;
    int rate_;
    std::chrono::steady_clock::time_point last_{};
    bool shown_ = false;
};

int run(const std::vector<std::string> &args) {
    CliOptions opt;
    try {
        opt = parseCommandLine(args);
    } catch (const UsageError &e) {
        fail(e.what(), 2);
        std::fprintf(stderr, "Try 'pelrin-render --help' for more information.\n");
        return 2;
    }
    if (opt.help) { std::fputs(helpText().c_str(), stdout); return 0; }
    if (opt.version) { std::fputs(versionText().c_str(), stdout); return 0; }

    Environment demoEnv;
    if (opt.settings.environment) {
        const Environment &e = *opt.settings.environment;
        if (e.region >= 0) demoEnv.region = e.region;
        if (e.clock >= 1.0) demoEnv.clock = e.clock;
    }
    if (opt.demoLog) {
        if (opt.input) return fail("--demo-log takes no input log", 2);
        std::string text = demoLogText(demoEnv);
        if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
            return fail("cannot write the demo log");
        return 0;
    }

    if (opt.input && *opt.input == "-" && !opt.output)
        return fail("a log read from standard input needs -o FILE (or -o -)", 2);
    // A log file or standard input is parsed once here for its length and
    // format, its commands dropped, and parsed again while it renders.
    RegisterLog log;
    std::unique_ptr<Spool> spool;
    std::ifstream logFile;
    std::istream *second = nullptr;
    std::filesystem::path baseDir;
    try {
        const auto drop = [](Command &&) {};
        if (!opt.input) {
            log = parseLog(demoLogText(demoEnv), "demo");
        } else if (*opt.input == "-") {
            spool = std::make_unique<Spool>();
            baseDir = std::filesystem::current_path();
            log = parseLog(std::cin, "<stdin>", baseDir, drop, &spool->stream());
            if (std::ferror(stdin)) return fail(std::string("cannot read standard input: ") + std::strerror(errno));
            spool->rewind();
            second = &spool->stream();
        } else {
            log = loadLog(*opt.input, drop);
            baseDir = std::filesystem::path(*opt.input).parent_path();
            logFile.open(*opt.input, std::ios::binary);
            if (!logFile) return fail("cannot open '" + *opt.input + "'");
            second = &logFile;
        }
    } catch (const LogError &e) {
        return fail(e.what());
    }
    if (!log.hasTimed && !opt.settings.lengthSeconds && !opt.quiet)
        std::fprintf(stderr, "pelrin-render: warning: %s has no w, r or run line: the output holds no sound "
                             "(-l SECONDS renders a length)\n",
                     pelrin_tools::printable(log.name).c_str());

    const std::string output = defaultOutput(opt);
    const bool toStdout = output == "-";
    if (toStdout && PR_ISATTY(1)) return fail("refusing to write raw PCM to a terminal; redirect it or use -o FILE", 2);
    const OutputFormat fmt = effectiveFormat(log, opt.settings);
    if (!toStdout) {
        std::error_code ec;
        if (std::filesystem::is_directory(output, ec)) return fail("'" + output + "' is a directory");
        // Refuse at once what a WAV file could not hold, rather than after rendering it.
        const uint64_t bytes = expectedFrames(log, opt.settings) * static_cast<uint64_t>(fmt.bits / 8 * fmt.channels);
        if (bytes > kMaxWavData)
            return fail("the output would exceed the 4 GiB a WAV file can hold; render less or use -o -");
    }

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    try {
        std::unique_ptr<PcmSink> sink;
        if (toStdout) {
#if defined(_WIN32)
            _setmode(_fileno(stdout), _O_BINARY);
#endif
            sink = std::make_unique<RawStreamSink>(stdout);
        } else {
            const uint64_t expected = expectedFrames(log, opt.settings) * static_cast<uint64_t>(fmt.bits / 8 * fmt.channels);
            sink = std::make_unique<WavFileSink>(output, static_cast<uint32_t>(fmt.rate), fmt.bits, fmt.channels,
                                                 expected);
        }
        std::unique_ptr<FadeOutSink> fade;
        PcmSink *target = sink.get();
        if (opt.fadeSeconds > 0) {
            fade = std::make_unique<FadeOutSink>(*sink, static_cast<size_t>(opt.fadeSeconds * fmt.rate), fmt.bits,
                                                 fmt.channels);
            target = fade.get();
        }
        // The listening filter, when asked for: after the library, before the fade.
        std::unique_ptr<FilterSink> filter;
        if (opt.settings.filter.value_or(false) || opt.settings.lowPassHz > 0) {
            filter = std::make_unique<FilterSink>(
                *target, FilterSettings{opt.settings.filter.value_or(false) ? 20.0 : 0.0, opt.settings.lowPassHz},
                fmt.rate, fmt.bits, fmt.channels);
            target = filter.get();
        }
        const uint64_t expected = expectedFrames(log, opt.settings);
        std::unique_ptr<ProgressBar> bar;
        if (opt.progress && !opt.quiet && PR_ISATTY(2) && expected > static_cast<uint64_t>(fmt.rate) * 10)
            bar = std::make_unique<ProgressBar>(expected, fmt.rate);
        ProgressFn progress;
        if (bar) progress = [&](uint64_t frames) { bar->update(frames); };
        RenderStats stats;
        try {
            const CancelFn cancel = [] { return gInterrupted != 0; };
            stats = second ? renderStream(log, *second, baseDir, opt.settings, *target, progress, cancel)
                           : render(log, opt.settings, *target, progress, cancel);
        } catch (...) {
            if (bar) bar->clear();
            throw;
        }
        if (bar) bar->clear();
        if (opt.verbose) {
            for (const ReadResult &r : stats.reads)
                std::fprintf(stderr, "%s:%d: read $%04X -> $%02X\n", pelrin_tools::printable(log.name).c_str(), r.line,
                             static_cast<unsigned>(r.address), r.value);
            std::fprintf(stderr,
                         "pelrin-render: %llu frames, %llu bytes, %llu stall cycles, %llu interrupts, %llu stretches\n",
                         static_cast<unsigned long long>(stats.frames), static_cast<unsigned long long>(stats.bytes),
                         static_cast<unsigned long long>(stats.stallCycles),
                         static_cast<unsigned long long>(stats.interrupts),
                         static_cast<unsigned long long>(stats.stretches));
        }
        if (!opt.quiet) {
            std::FILE *msg = toStdout ? stderr : stdout;
            std::fprintf(msg, "pelrin-render: wrote %s (%.2f s, %d Hz, %d-bit, %s)\n",
                         toStdout ? "raw PCM to stdout" : pelrin_tools::printable(output).c_str(), stats.seconds(),
                         fmt.rate, fmt.bits,
                         fmt.channels == 2 ? "stereo" : "mono");
        }
    } catch (const RenderCancelled &) {
        return fail(toStdout ? "interrupted" : "interrupted; no file written", 130);
    } catch (const std::exception &e) {
        return fail(e.what());
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        return run(args);
    } catch (const std::exception &e) {
        return fail(e.what());
    } catch (...) {
        return fail("unexpected error");
    }
}
