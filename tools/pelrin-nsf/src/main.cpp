// pelrin-nsf: plays an NSF music file through the pelrin sound library and
// writes a WAV file and/or a register log that pelrin-render can replay.

#include "nsf.hpp"
#include "player.hpp"

#include <output_file.hpp>
#include <wav.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#define NSF_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define NSF_ISATTY(fd) isatty(fd)
#endif

using namespace pelrin_nsf;
namespace fs = std::filesystem;

namespace {

const char kHelp[] =
    "Usage: pelrin-nsf FILE.nsf [OPTIONS]\n"
    "Plays an NSF music file through the pelrin sound library.\n"
    "\n"
    "  -t, --track N      track to play, 1-based (default: the file's starting song)\n"
    "  -l, --length SEC   seconds to render (default 120)\n"
    "  -o, --output FILE  WAV file to write (default: FILE's name with .wav, in the\n"
    "                     current folder, unless only --log is given); - writes\n"
    "                     raw PCM (16-bit little-endian) to standard output\n"
    "      --rate HZ      sample rate, 8000..192000 (default 44100)\n"
    "      --stereo       two channels (default mono)\n"
    "      --log FILE     also write the library calls as a register log;\n"
    "                     `pelrin-render FILE -l SEC` replays it without the CPU\n"
    "      --region R     ntsc or pal (default: PAL only for PAL-only files)\n"
    "      --info         print the header fields and exit\n"
    "  -q, --quiet        no summary line\n"
    "  -h, --help         this text\n"
    "\n"
    "Expansion sound: VRC6, MMC5 and Namco 163 (one chip per file).\n";

struct Options {
    std::string input;
    std::optional<int> track;
    double seconds = 120.0;
    std::optional<std::string> output, log;
    int rate = 44100;
    bool stereo = false, info = false, help = false, quiet = false;
    int region = -1;
};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::optional<long long> parseInt(const std::string &s) {
    if (s.empty()) return std::nullopt;
    char *end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 10);
    if (*end != '\0') return std::nullopt;
    return v;
}

Options parseArgs(const std::vector<std::string> &args) {
    Options o;
    bool haveInput = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        auto value = [&]() -> const std::string & {
            if (i + 1 >= args.size()) throw UsageError("option " + a + " needs a value");
            return args[++i];
        };
        if (a == "-h" || a == "--help") o.help = true;
        else if (a == "--info") o.info = true;
        else if (a == "-q" || a == "--quiet") o.quiet = true;
        else if (a == "--stereo") o.stereo = true;
        else if (a == "-t" || a == "--track") {
            auto v = parseInt(value());
            if (!v || *v < 1 || *v > 256) throw UsageError("track must be a number 1..256");
            o.track = static_cast<int>(*v);
        } else if (a == "-l" || a == "--length") {
            const std::string &s = value();
            char *end = nullptr;
            double v = std::strtod(s.c_str(), &end);
            if (s.empty() || *end != '\0' || !std::isfinite(v) || v <= 0 || v > 86400)
                throw UsageError("length must be a number of seconds, more than 0 and at most 86400");
            o.seconds = v;
        } else if (a == "-o" || a == "--output") o.output = value();
        else if (a == "--log") o.log = value();
        else if (a == "--rate") {
            auto v = parseInt(value());
            if (!v || *v < 8000 || *v > 192000) throw UsageError("rate must be 8000..192000 Hz");
            o.rate = static_cast<int>(*v);
        } else if (a == "--region") {
            const std::string &v = value();
            if (v == "ntsc") o.region = 0;
            else if (v == "pal") o.region = 1;
            else throw UsageError("region must be ntsc or pal");
        } else if (a.size() > 1 && a[0] == '-') {
            throw UsageError("unknown option " + a);
        } else {
            if (haveInput) throw UsageError("only one NSF file, please (got '" + o.input + "' and '" + a + "')");
            o.input = a;
            haveInput = true;
        }
    }
    if (!o.help && !haveInput) throw UsageError("no NSF file given");
    return o;
}

int fail(const std::string &message, int code = 1) {
    std::fprintf(stderr, "pelrin-nsf: %s\n", pelrin_tools::printable(message).c_str());
    return code;
}

std::string hex4(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "$%04X", v);
    return buf;
}

void printInfo(const std::string &name, const NsfFile &f) {
    using pelrin_tools::printable;
    std::printf("file:        %s\n", printable(name).c_str());
    std::printf("version:     %d\n", f.version);
    std::printf("songs:       %d (starting song %d)\n", f.songCount, f.startSong);
    std::printf("title:       %s\n", printable(f.title).c_str());
    std::printf("artist:      %s\n", printable(f.artist).c_str());
    std::printf("copyright:   %s\n", printable(f.copyright).c_str());
    std::printf("load:        %s\ninit:        %s\nplay:        %s\n", hex4(f.loadAddress).c_str(),
                hex4(f.initAddress).c_str(), hex4(f.playAddress).c_str());
    std::printf("NTSC speed:  %u us\nPAL speed:   %u us\n", f.ntscSpeed, f.palSpeed);
    std::printf("region:      %s\n", (f.region & 2) ? "NTSC and PAL" : (f.region & 1) ? "PAL" : "NTSC");
    if (f.bankswitched()) {
        std::printf("banks:      ");
        for (uint8_t b : f.bankInit) std::printf(" %02X", b);
        std::printf("\n");
    } else {
        std::printf("banks:       none (flat)\n");
    }
    std::printf("expansion:   %s\n", chipNames(f.chips).c_str());
    if (f.version >= 2) std::printf("flags:       $%02X\n", f.flags);
    std::printf("data:        %llu bytes\n", static_cast<unsigned long long>(f.data.size()));
}

// Discards PCM: a render that only writes the register log.
class NullSink : public pelrin_render::PcmSink {
public:
    void write(const uint8_t *, size_t) override {}
    void finish() override {}
};

int run(const std::vector<std::string> &args) {
    Options o;
    try {
        o = parseArgs(args);
    } catch (const UsageError &e) {
        fail(e.what());
        std::fprintf(stderr, "Try 'pelrin-nsf --help' for more information.\n");
        return 2;
    }
    if (o.help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    NsfFile nsf;
    try {
        nsf = loadNsf(o.input);
    } catch (const NsfError &e) {
        return fail(o.input + ": " + e.what());
    }
    if (o.info) {
        printInfo(o.input, nsf);
        return 0;
    }
    if (o.track && *o.track > nsf.songCount)
        return fail(o.input + ": track " + std::to_string(*o.track) + " is out of range (the file has " +
                    std::to_string(nsf.songCount) + (nsf.songCount == 1 ? " song)" : " songs)"));

    std::string warning;
    selectChip(nsf.chips, warning);
    if (!warning.empty()) std::fprintf(stderr, "pelrin-nsf: warning: %s\n", warning.c_str());
    if (nsf.unsupportedModes())
        std::fprintf(stderr, "pelrin-nsf: warning: the file asks for a version 2 non-returning init or no play "
                             "routine, which are not supported; it may not play as intended\n");

    std::optional<std::string> wavPath = o.output;
    if (!wavPath && !o.log) wavPath = fs::path(o.input).stem().string() + ".wav";

    PlayerOptions po;
    po.track = o.track ? *o.track - 1 : -1;
    po.seconds = o.seconds;
    po.rate = o.rate;
    po.channels = o.stereo ? 2 : 1;
    po.region = o.region;

    const bool toStdout = wavPath && *wavPath == "-";
    if (toStdout && NSF_ISATTY(1)) return fail("refusing to write raw PCM to a terminal; redirect it or use -o FILE", 2);
    // Refuse at once what a WAV file could not hold, rather than after rendering it.
    const uint64_t wavBytes = static_cast<uint64_t>(std::llround(o.seconds * po.rate)) * 2u * po.channels;
    if (wavPath && !toStdout && wavBytes > pelrin_render::kMaxWavData)
        return fail("the output would exceed the 4 GiB a WAV file can hold; render less or use -o - for raw PCM");

    try {
        pelrin_tools::removeTemporaryFilesOnSignal();
        std::unique_ptr<pelrin_render::PcmSink> sink;
        if (toStdout) sink = std::make_unique<pelrin_render::RawStreamSink>(stdout);
        else if (wavPath)
            sink = std::make_unique<pelrin_render::WavFileSink>(*wavPath, static_cast<uint32_t>(po.rate), 16,
                                                                po.channels, wavBytes);
        else sink = std::make_unique<NullSink>();
        std::unique_ptr<pelrin_tools::OutputStream> log;
        if (o.log) log = std::make_unique<pelrin_tools::OutputStream>(*o.log);

        const bool showProgress = !o.quiet && NSF_ISATTY(2) && o.seconds > 30;
        auto last = std::chrono::steady_clock::now();
        bool shown = false;
        PlayProgress progress;
        if (showProgress)
            progress = [&](uint64_t done, uint64_t total) {
                auto now = std::chrono::steady_clock::now();
                if (now - last < std::chrono::milliseconds(200)) return;
                last = now;
                std::fprintf(stderr, "\r%3d%%  %.1f / %.1f s", static_cast<int>(100.0 * done / total),
                             static_cast<double>(done) / po.rate, static_cast<double>(total) / po.rate);
                std::fflush(stderr);
                shown = true;
            };
        PlayResult r;
        try {
            r = play(nsf, po, *sink, log.get(), progress);
        } catch (...) {
            if (shown) std::fprintf(stderr, "\r%40s\r", "");
            throw;
        }
        if (shown) std::fprintf(stderr, "\r%40s\r", "");
        sink->finish();
        if (log) log->commit();
        if (!o.quiet) {
            const std::string wavName = toStdout ? "raw PCM to stdout" : wavPath ? pelrin_tools::printable(*wavPath) : "";
            const std::string logName = o.log ? pelrin_tools::printable(*o.log) : "";
            std::fprintf(toStdout ? stderr : stdout, "pelrin-nsf: track %d of %d, %.2f s, %d Hz %s%s%s%s%s\n",
                        (o.track ? *o.track : nsf.startSong), nsf.songCount,
                        static_cast<double>(r.frames) / po.rate, po.rate, po.channels == 2 ? "stereo" : "mono",
                        wavPath ? ", wrote " : "", wavName.c_str(), o.log ? ", log " : "", logName.c_str());
        }
    } catch (const NsfError &e) {
        return fail(o.input + ": " + e.what());
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
