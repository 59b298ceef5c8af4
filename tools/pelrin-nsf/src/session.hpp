// What one run of pelrin-nsf does with its tracks: the command-line
// choices, how long each track plays, the chain of sinks after the player,
// and the modes beyond a single WAV file (every track, stems, a picture,
// live playback).
#pragma once

#include "nsf.hpp"
#include "player.hpp"
#include "playlist.hpp"

#include <mixer_options.hpp>
#include <output_filter.hpp>
#include <wav.hpp>

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pelrin_nsf {

constexpr double kDefaultLengthSeconds = 120.0; // a track without a known length
constexpr double kDefaultFadeSeconds = 5.0;
constexpr double kDefaultSilenceSeconds = 5.0;

struct Options {
    std::string input;
    std::optional<int> track;
    std::optional<double> length, fade;
    double silence = kDefaultSilenceSeconds;
    std::optional<std::string> output, log, stems, picture;
    pelrin_render::MixerSettings mixer;
    bool wavToStdout = false; // -o - --wav
    bool info = false, help = false, version = false, quiet = false, progress = true;
    bool play = false, all = false;
    int jobs = 0; // 0: the cores
};

// How one track is rendered.
struct RenderPlan {
    PlayerOptions player;                 // seconds: the whole render, fade included
    double fadeSeconds = 0.0;
    std::optional<pelrin_render::FilterSettings> filter;
    // The filter, fade and sink run on a thread of their own beside the
    // render (for sinks that may: files and streams, not the sound card).
    bool overlap = false;
};

// Length: --length exactly (fade only with --fade); else the track's own
// length plus its fade (or --fade, or 5 s); else 120 s plus the fade, ended
// early by --silence seconds of silence. Format, region and mixer from the
// options; in stereo, channels without a pan get the default spread.
RenderPlan planFor(const Options &o, const Track &t);

// Plays the track through the filter and fade into sink (not finished).
PlayResult renderTrack(const NsfFile &nsf, const RenderPlan &plan, pelrin_render::PcmSink &sink,
                       std::ostream *log = nullptr, const PlayProgress &progress = {});

// Discards PCM.
class NullSink : public pelrin_render::PcmSink {
public:
    void write(const uint8_t *, size_t) override {}
    void finish() override {}
};

// Tracks of an M3U file. Throws NsfError (unreadable, no entries).
std::vector<Track> loadPlaylist(const std::filesystem::path &path);

// "  1  3:05  title" lines.
void printTrackList(const std::vector<Track> &tracks, std::FILE *out);

// Mixer channels of the 2A03 and of the file's expansion chip.
std::vector<int> channelsOf(int chip);

// Runs job(i) for i in 0..count-1 on threads, up to `parallel` at once (each
// job makes its own sound unit); done(i, status) is called as each one
// ends, one call at a time. A job that throws has failed (status 1), its
// message on stderr. Returns the number that failed.
int runParallel(size_t count, int parallel, const std::function<int(size_t)> &job,
                const std::function<void(size_t, int)> &done);

int renderAll(const Options &o, const std::vector<Track> &tracks);
int renderStems(const Options &o, const Track &t);
int renderPicture(const Options &o, const Track &t);
int playLive(const Options &o, const std::vector<Track> &tracks, size_t index);

} // namespace pelrin_nsf
