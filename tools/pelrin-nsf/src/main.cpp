// pelrin-nsf: plays an NSF music file through the pelrin sound library and
// writes a WAV file and/or a register log that pelrin-render can replay,
// plays it on the sound card, or renders every track at once.

#include "nsf.hpp"
#include "player.hpp"
#include "playlist.hpp"
#include "session.hpp"

#include <mixer_options.hpp>
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
#include <fcntl.h>
#include <io.h>
#define NSF_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define NSF_ISATTY(fd) isatty(fd)
#endif

#ifndef PELRIN_NSF_VERSION
#define PELRIN_NSF_VERSION "0.0.0"
#endif

using namespace pelrin_nsf;
using pelrin_render::UsageError;
namespace fs = std::filesystem;

namespace {

std::string helpText() {
    return std::string(
               "Usage: pelrin-nsf FILE.nsf [OPTIONS]\n"
               "Plays an NSF music file through the pelrin sound library. FILE may also be\n"
               "an NSFe file or an extended M3U playlist (file.nsf::NSF,track,title,...).\n"
               "\n"
               "  -t, --track N      track to play, 1-based: the file's track number, or the\n"
               "                     entry of an M3U playlist (default: the starting song)\n"
               "  -l, --length SEC   render exactly SEC seconds (no fade unless --fade);\n"
               "                     default: the track's own length and fade, else 120 s\n"
               "                     or until --silence seconds of silence, then a fade\n"
               "      --fade SEC     fade-out at the end (default 5 s after a track's length;\n"
               "                     0 for none)\n"
               "      --silence SEC  end a track without a known length after this much\n"
               "                     silence (default 5; 0: never)\n"
               "  -o, --output FILE  WAV file to write (default: FILE's name with .wav, in the\n"
               "                     current folder, unless only --log is given); '-' writes\n"
               "                     raw PCM to stdout; with --all, the folder for the files\n"
               "      --wav          with -o -: a WAV stream instead of raw PCM\n"
               "      --log FILE     also write the library calls as a register log;\n"
               "                     `pelrin-render FILE -l SEC` replays it without the CPU\n"
               "      --play         play on the sound card (interactive on a terminal)\n"
               "      --all          render every track, in playlist order, in parallel\n"
               "      --jobs N       tracks rendered at once by --all (default: the cores)\n"
               "      --stems DIR    one WAV per audible channel of the track into DIR\n"
               "      --picture PNG  a piano roll of the track: one lane per channel\n"
               "      --info         print the header fields and the tracks, and exit\n"
               "  -q, --quiet        no summary line\n"
               "      --no-progress  no progress line (shown only on a terminal)\n"
               "  -h, --help         this text\n"
               "  -V, --version      version\n"
               "Output, sound unit and mixer (as in pelrin-render):\n") +
           pelrin_render::mixerOptionsHelp() +
           "  The listening filter is on unless --no-filter is given.\n"
           "  In stereo, channels without --pan get a default spread: pulse1 -48,\n"
           "  pulse2 +48, triangle and DMC 0, noise +24, expansion channels apart.\n"
           "\n"
           "Keys while playing on a terminal: n/p or right/left next/previous track,\n"
           "r restart, space pause, 1-9 0 a-c mute a channel, s then a channel key solo,\n"
           "u all channels on, q quit.\n"
           "Expansion sound: VRC6, MMC5 and Namco 163 (one chip per file).\n";
}

std::optional<long long> parseInt(const std::string &s) {
    if (s.empty()) return std::nullopt;
    char *end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 10);
    if (*end != '\0') return std::nullopt;
    return v;
}

double seconds(const std::string &opt, const std::string &s, double lo, const char *what) {
    char *end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end != '\0' || !std::isfinite(v) || v < lo || v > 86400 || (lo == 0 && v < 0) ||
        (lo > 0 && v <= 0))
        throw UsageError(opt + ": " + what);
    return v;
}

Options parseArgs(const std::vector<std::string> &args) {
    Options o;
    bool haveInput = false;
    pelrin_render::MixerParse mixerState;
    pelrin_render::ArgReader r(args);
    while (r.next()) {
        if (r.isOperand()) {
            if (haveInput) throw UsageError("only one NSF file, please (got '" + o.input + "' and '" + r.arg() + "')");
            o.input = r.arg();
            haveInput = true;
            continue;
        }
        if (pelrin_render::parseMixerOption(r, o.mixer, mixerState)) continue;
        const std::string &a = r.option();
        if (a == "-h" || a == "--help") { r.noValue(); o.help = true; }
        else if (a == "-V" || a == "--version") { r.noValue(); o.version = true; }
        else if (a == "--info") { r.noValue(); o.info = true; }
        else if (a == "-q" || a == "--quiet") { r.noValue(); o.quiet = true; }
        else if (a == "--no-progress") { r.noValue(); o.progress = false; }
        else if (a == "--wav") { r.noValue(); o.wavToStdout = true; }
        else if (a == "--play") { r.noValue(); o.play = true; }
        else if (a == "--all") { r.noValue(); o.all = true; }
        else if (a == "-t" || a == "--track") {
            auto v = parseInt(r.value());
            if (!v || *v < 1 || *v > 256) throw UsageError("track must be a number 1..256");
            o.track = static_cast<int>(*v);
        } else if (a == "--jobs") {
            auto v = parseInt(r.value());
            if (!v || *v < 1 || *v > 256) throw UsageError("--jobs must be a number 1..256");
            o.jobs = static_cast<int>(*v);
        } else if (a == "-l" || a == "--length") {
            o.length = seconds(a, r.value(), 1e-9, "length must be a number of seconds, more than 0 and at most 86400");
        } else if (a == "--fade") {
            o.fade = seconds(a, r.value(), 0, "fade must be a number of seconds, 0..86400");
        } else if (a == "--silence") {
            o.silence = seconds(a, r.value(), 0, "silence must be a number of seconds, 0..86400");
        } else if (a == "-o" || a == "--output") {
            o.output = r.value();
            if (o.output->empty()) throw UsageError(a + ": empty file name");
        } else if (a == "--log") o.log = r.value();
        else if (a == "--stems") o.stems = r.value();
        else if (a == "--picture") o.picture = r.value();
        else throw UsageError("unknown option " + r.arg());
    }
    pelrin_render::finishMixerOptions(o.mixer, mixerState);
    if (o.help || o.version) return o;
    if (!haveInput) throw UsageError("no NSF file given");
    if (o.wavToStdout && !(o.output && *o.output == "-")) throw UsageError("--wav needs -o -");
    int modes = o.play + o.all + (o.stems ? 1 : 0) + (o.picture ? 1 : 0) + o.info;
    if (modes > 1) throw UsageError("--info, --play, --all, --stems and --picture go one at a time");
    if ((o.all || o.play || o.stems) && o.log) throw UsageError("--log goes with a single WAV render only");
    if (o.all && o.track) throw UsageError("--all plays every track; leave out --track");
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

void printInfo(const std::string &name, const NsfFile &f, const std::vector<Track> &tracks) {
    using pelrin_tools::printable;
    std::printf("file:        %s\n", printable(name).c_str());
    std::printf("version:     %d%s\n", f.version, f.nsfe ? " (NSFe)" : "");
    std::printf("songs:       %d (starting song %d)\n", f.songCount, f.startSong);
    std::printf("title:       %s\n", printable(f.title).c_str());
    std::printf("artist:      %s\n", printable(f.artist).c_str());
    std::printf("copyright:   %s\n", printable(f.copyright).c_str());
    if (!f.ripper.empty()) std::printf("ripper:      %s\n", printable(f.ripper).c_str());
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
    printTrackList(tracks, stdout);
}

// A WAV file on a stream that cannot seek: the header's sizes say "as long
// as the stream", as streaming WAV writers do.
class WavStreamSink : public pelrin_render::PcmSink {
public:
    WavStreamSink(std::FILE *f, int rate, int bits, int channels) : raw_(f) {
        auto h = pelrin_render::wavHeader(static_cast<uint32_t>(rate), static_cast<uint16_t>(bits),
                                          static_cast<uint16_t>(channels), 0xFFFFFFFFu - 36);
        raw_.write(h.data(), h.size());
    }
    void write(const uint8_t *d, size_t n) override { raw_.write(d, n); }
    void finish() override { raw_.finish(); }

private:
    pelrin_render::RawStreamSink raw_;
};

int renderOne(const Options &o, const std::vector<Track> &tracks, size_t index) {
    const Track &t = tracks[index];
    NsfFile nsf = loadNsf(t.file);
    const bool toStdout = o.output && *o.output == "-";
    std::optional<std::string> wavPath = o.output;
    if (!wavPath && !o.log) wavPath = fs::path(o.input).stem().string() + ".wav";
    if (toStdout && NSF_ISATTY(1)) return fail("refusing to write sound to a terminal; redirect it or use -o FILE", 2);

    const std::optional<std::string> *outputs[] = {&wavPath, &o.log};
    for (const auto *p : outputs) {
        std::error_code ec;
        if (*p && **p != "-" && fs::is_directory(**p, ec)) return fail("'" + **p + "' is a directory");
    }
    RenderPlan plan = planFor(o, t);
    plan.overlap = true;  // files, streams and the null sink may run on a thread of their own
    // Refuse at once what a WAV file could not hold, rather than after rendering it.
    const uint64_t wavBytes = static_cast<uint64_t>(std::llround(plan.player.seconds * plan.player.rate)) *
                              static_cast<uint64_t>(plan.player.bits / 8 * plan.player.channels);
    if (wavPath && !toStdout && wavBytes > pelrin_render::kMaxWavData)
        return fail("the output would exceed the 4 GiB a WAV file can hold; render less or use -o - for raw PCM");
    pelrin_tools::removeTemporaryFilesOnSignal();
    std::unique_ptr<pelrin_render::PcmSink> sink;
    if (toStdout) {
#if defined(_WIN32)
        _setmode(_fileno(stdout), _O_BINARY);
#endif
        if (!o.wavToStdout) sink = std::make_unique<pelrin_render::RawStreamSink>(stdout);
        else sink = std::make_unique<WavStreamSink>(stdout, plan.player.rate, plan.player.bits, plan.player.channels);
    } else if (wavPath) {
        sink = std::make_unique<pelrin_render::WavFileSink>(*wavPath, static_cast<uint32_t>(plan.player.rate),
                                                            plan.player.bits, plan.player.channels, wavBytes);
    } else {
        sink = std::make_unique<NullSink>();
    }
    std::unique_ptr<pelrin_tools::OutputStream> log;
    if (o.log) log = std::make_unique<pelrin_tools::OutputStream>(*o.log);

    const bool showProgress = o.progress && !o.quiet && NSF_ISATTY(2) && plan.player.seconds > 30;
    auto last = std::chrono::steady_clock::now();
    bool shown = false;
    PlayProgress progress;
    const int rate = plan.player.rate;
    if (showProgress)
        progress = [&](uint64_t done, uint64_t total) {
            auto now = std::chrono::steady_clock::now();
            if (now - last < std::chrono::milliseconds(200)) return;
            last = now;
            std::fprintf(stderr, "\r%3d%%  %.1f / %.1f s", static_cast<int>(100.0 * done / total),
                         static_cast<double>(done) / rate, static_cast<double>(total) / rate);
            std::fflush(stderr);
            shown = true;
        };
    PlayResult r;
    try {
        r = renderTrack(nsf, plan, *sink, log.get(), progress);
    } catch (...) {
        if (shown) std::fprintf(stderr, "\r%40s\r", "");
        throw;
    }
    if (shown) std::fprintf(stderr, "\r%40s\r", "");
    if (!r.cpuStopped.empty())
        std::fprintf(stderr, "pelrin-nsf: warning: %s: %s; the track ends there\n",
                     pelrin_tools::printable(t.file.string()).c_str(), r.cpuStopped.c_str());
    if (log) log->commit();
    if (!o.quiet) {
        std::FILE *msg = toStdout ? stderr : stdout;
        const std::string title = t.title.empty() ? "" : " \"" + pelrin_tools::printable(t.title) + "\"";
        const std::string wavName =
            wavPath ? (toStdout ? (o.wavToStdout ? "a WAV to stdout" : "raw PCM to stdout") : pelrin_tools::printable(*wavPath)) : "";
        const std::string logName = o.log ? pelrin_tools::printable(*o.log) : "";
        std::fprintf(msg, "pelrin-nsf: track %d of %d%s, %.2f s%s, %d Hz %s%s%s%s%s\n", t.track + 1, nsf.songCount,
                     title.c_str(), static_cast<double>(r.frames) / rate, r.endedBySilence ? " (ended in silence)" : "",
                     rate, plan.player.channels == 2 ? "stereo" : "mono", wavPath ? ", wrote " : "",
                     wavName.c_str(), o.log ? ", log " : "", logName.c_str());
    }
    return 0;
}

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
        std::fputs(helpText().c_str(), stdout);
        return 0;
    }
    if (o.version) {
        std::printf("pelrin-nsf %s\n", PELRIN_NSF_VERSION);
        return 0;
    }
    std::vector<Track> tracks;
    NsfFile nsf;
    try {
        if (isPlaylistName(o.input)) {
            tracks = loadPlaylist(o.input);
            nsf = loadNsf(tracks.front().file);
        } else {
            nsf = loadNsf(o.input);
            tracks = fileTracks(o.input, nsf);
        }
    } catch (const NsfError &e) {
        return fail(o.input + ": " + e.what());
    }
    if (o.info) {
        printInfo(isPlaylistName(o.input) ? tracks.front().file.string() : o.input, nsf, tracks);
        return 0;
    }

    // The entry of the track list to play.
    size_t index = 0;
    if (isPlaylistName(o.input)) {
        if (o.track && static_cast<size_t>(*o.track) > tracks.size())
            return fail(o.input + ": track " + std::to_string(*o.track) + " is out of range (the playlist has " +
                        std::to_string(tracks.size()) + " entries)");
        index = o.track ? static_cast<size_t>(*o.track - 1) : 0;
    } else {
        const int want = o.track ? *o.track - 1 : nsf.startSong - 1;
        if (want >= nsf.songCount)
            return fail(o.input + ": track " + std::to_string(want + 1) + " is out of range (the file has " +
                        std::to_string(nsf.songCount) + (nsf.songCount == 1 ? " song)" : " songs)"));
        index = tracks.size();
        for (size_t i = 0; i < tracks.size(); ++i)
            if (tracks[i].track == want) index = i;
        if (index == tracks.size()) { // a track the playlist leaves out
            Track t = fileTracks(o.input, nsf).front();
            t.track = want;
            t.title = nsf.trackTitle(want);
            t.lengthMs = nsf.lengthMs(want);
            t.fadeMs = nsf.fadeMs(want);
            tracks.push_back(t);
        }
    }

    std::string warning;
    selectChip(nsf.chips, warning);
    if (!warning.empty()) std::fprintf(stderr, "pelrin-nsf: warning: %s\n", warning.c_str());
    if (nsf.unsupportedModes())
        std::fprintf(stderr, "pelrin-nsf: warning: the file asks for a version 2 non-returning init or no play "
                             "routine, which are not supported; it may not play as intended\n");

    try {
        if (o.all) return renderAll(o, tracks);
        if (o.stems) return renderStems(o, tracks[index]);
        if (o.picture) return renderPicture(o, tracks[index]);
        if (o.play) return playLive(o, tracks, index);
        return renderOne(o, tracks, index);
    } catch (const NsfError &e) {
        return fail(o.input + ": " + e.what());
    } catch (const std::exception &e) {
        return fail(e.what());
    }
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
