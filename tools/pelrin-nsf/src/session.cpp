#include "session.hpp"

#include <output_file.hpp>
#include <pipe_sink.hpp>
#include <pelrin.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace pelrin_nsf {

RenderPlan planFor(const Options &o, const Track &t) {
    RenderPlan p;
    PlayerOptions &po = p.player;
    po.track = t.track;
    po.rate = o.mixer.rate.value_or(44100);
    po.bits = o.mixer.bits.value_or(16);
    po.channels = o.mixer.channels.value_or(1);
    po.region = o.mixer.environment && o.mixer.environment->region >= 0 ? o.mixer.environment->region : -1;
    po.mixer = o.mixer;
    if (po.channels == 2)
        for (int i = 0; i < pelrin_render::kMixerChannels; ++i) {
            auto &c = po.mixer.channelOptions[static_cast<size_t>(i)];
            if (c.pan == -128) c.pan = pelrin_render::defaultStereoPan(i);
        }
    if (o.length) {
        po.seconds = *o.length;
        p.fadeSeconds = std::min(o.fade.value_or(0.0), *o.length);
    } else if (t.lengthMs >= 0) {
        p.fadeSeconds = o.fade ? *o.fade : t.fadeMs >= 0 ? t.fadeMs / 1000.0 : kDefaultFadeSeconds;
        po.seconds = std::max(t.lengthMs / 1000.0 + p.fadeSeconds, 0.001);
    } else {
        p.fadeSeconds = o.fade.value_or(kDefaultFadeSeconds);
        po.seconds = kDefaultLengthSeconds + p.fadeSeconds;
        po.silenceSeconds = o.silence;
    }
    // On unless --no-filter: pelrin-nsf's output is for listening.
    if (o.mixer.filter.value_or(true) || o.mixer.lowPassHz > 0)
        p.filter = pelrin_render::FilterSettings{o.mixer.filter.value_or(true) ? 20.0 : 0.0, o.mixer.lowPassHz};
    return p;
}

PlayResult renderTrack(const NsfFile &nsf, const RenderPlan &plan, pelrin_render::PcmSink &sink, std::ostream *log,
                       const PlayProgress &progress) {
    const PlayerOptions &po = plan.player;
    pelrin_render::PcmSink *head = &sink;
    std::unique_ptr<pelrin_render::FadeOutSink> fade;
    std::unique_ptr<pelrin_render::FilterSink> filter;
    if (plan.fadeSeconds > 0) {
        fade = std::make_unique<pelrin_render::FadeOutSink>(
            *head, static_cast<size_t>(std::llround(plan.fadeSeconds * po.rate)), po.bits, po.channels);
        head = fade.get();
    }
    if (plan.filter) {
        filter = std::make_unique<pelrin_render::FilterSink>(*head, *plan.filter, po.rate, po.bits, po.channels);
        head = filter.get();
    }
    // Last, so that its thread stops before the sinks it writes to go.
    // The player gives it a thread of its own unless its library calls run
    // on one: then the 6502's thread writes the PCM on between its steps.
    // Chunks of 512 KiB: the filter splits each chunk into runs that start
    // from guesses warmed up over some 16,000 frames, a smaller share of a
    // longer chunk. (Longer chunks again were slower: the two threads then
    // share the writing in coarser turns.)
    std::unique_ptr<pelrin_render::PipeSink> pipe;
    PlayerOptions options = po;
    if (plan.overlap) {
        pipe = std::make_unique<pelrin_render::PipeSink>(*head, size_t{1} << 19, 3, false);
        head = pipe.get();
        options.pipe = pipe.get();
    }
    PlayResult r = play(nsf, options, *head, log, progress);
    head->finish();
    return r;
}

std::vector<Track> loadPlaylist(const fs::path &path) {
    std::vector<uint8_t> bytes;
    try {
        bytes = pelrin_tools::readInputFile(path, 1u << 20, 0, UINT64_MAX, "a playlist");
    } catch (const std::runtime_error &e) {
        throw NsfError(e.what());
    }
    const std::string text(bytes.begin(), bytes.end());
    std::vector<Track> tracks = parseM3u(text, path.parent_path());
    if (tracks.empty()) throw NsfError("the playlist has no file.nsf::NSF,track entries");
    return tracks;
}

void printTrackList(const std::vector<Track> &tracks, std::FILE *out) {
    std::fprintf(out, "tracks:      %zu in playing order (number, length + fade, title)\n", tracks.size());
    for (const Track &t : tracks) {
        std::string len = formatTime(t.lengthMs);
        if (t.lengthMs >= 0 && t.fadeMs > 0) {
            len.push_back('+');
            len.append(formatTime(t.fadeMs));
        }
        std::fprintf(out, "  %3d  %-10s %s\n", t.track + 1, len.c_str(), pelrin_tools::printable(t.title).c_str());
    }
}

std::vector<int> channelsOf(int chip) {
    std::vector<int> ch = {PELRIN_CH_PULSE1, PELRIN_CH_PULSE2, PELRIN_CH_TRIANGLE, PELRIN_CH_NOISE, PELRIN_CH_DMC};
    if (chip == PELRIN_CHIP_VRC6) ch.insert(ch.end(), {5, 6, 7});
    if (chip == PELRIN_CHIP_MMC5) ch.insert(ch.end(), {8, 9, 10});
    if (chip == PELRIN_CHIP_N163)
        for (int i = 11; i < 19; ++i) ch.push_back(i);
    return ch;
}

int runParallel(size_t count, int parallel, const std::function<int(size_t)> &job,
                const std::function<void(size_t, int)> &done) {
    std::atomic<size_t> next{0};
    std::mutex doneLock;
    int failed = 0;
    const auto work = [&] {
        for (size_t i = next++; i < count; i = next++) {
            int status = 1;
            try {
                status = job(i);
            } catch (const std::exception &e) {
                std::fprintf(stderr, "pelrin-nsf: %s\n", e.what());
            } catch (...) {
                // Anything else thrown fails the job too, without a message.
            }
            const std::lock_guard<std::mutex> hold(doneLock);
            if (status) ++failed;
            try {
                done(i, status);
            } catch (...) {
                // done only reports; what it throws must not end the thread (and the process).
            }
        }
    };
    const size_t wanted = std::min(count, static_cast<size_t>(std::max(parallel, 1)));
    std::vector<std::thread> threads;
    threads.reserve(wanted);
    for (size_t k = 0; k < wanted; ++k) {
        try {
            threads.emplace_back(work);
        } catch (const std::system_error &) {
            break; // no more threads to be had: those running share the jobs
        }
    }
    if (threads.empty()) work();
    for (std::thread &t : threads) t.join();
    return failed;
}

namespace {

int cores(const Options &o) {
    if (o.jobs > 0) return o.jobs;
    unsigned n = std::thread::hardware_concurrency();
    return n ? static_cast<int>(n) : 1;
}

// Renders a track into a WAV file; warnings on stderr.
void renderToFile(const NsfFile &nsf, const RenderPlan &plan, const fs::path &target, const Track &t) {
    pelrin_render::WavFileSink wav(target, static_cast<uint32_t>(plan.player.rate), plan.player.bits,
                                   plan.player.channels);
    RenderPlan overlapped = plan;
    overlapped.overlap = true;
    PlayResult r = renderTrack(nsf, overlapped, wav);
    if (!r.cpuStopped.empty())
        std::fprintf(stderr, "pelrin-nsf: warning: %s track %d: %s; the track ends there\n", t.file.string().c_str(),
                     t.track + 1, r.cpuStopped.c_str());
}

} // namespace

int renderAll(const Options &o, const std::vector<Track> &tracks) {
    const fs::path dir = o.output ? fs::path(*o.output) : fs::path(".");
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir, ec)) throw std::runtime_error("cannot make the folder '" + dir.string() + "'");
    std::vector<fs::path> names;
    for (size_t i = 0; i < tracks.size(); ++i) {
        // Numbered by playing order, so the files sort as they play.
        names.push_back(dir / trackFileName(static_cast<int>(i + 1),
                                            tracks[i].title.empty() ? "track " + std::to_string(tracks[i].track + 1)
                                                                    : tracks[i].title,
                                            ".wav"));
    }
    size_t finished = 0;
    const bool tty = !o.quiet;
    // Several tracks at once keep the cores busy: their library calls stay
    // on their render's thread, which saves the handing over.
    const bool alone = cores(o) == 1 || tracks.size() == 1;
    int failed = runParallel(
        tracks.size(), cores(o),
        [&](size_t i) {
            NsfFile nsf = loadNsf(tracks[i].file);
            RenderPlan plan = planFor(o, tracks[i]);
            plan.player.soundThread = alone;
            renderToFile(nsf, plan, names[i], tracks[i]);
            return 0;
        },
        [&](size_t i, int status) {
            ++finished;
            if (tty)
                std::printf("pelrin-nsf: [%zu/%zu] %s %s\n", finished, tracks.size(), status ? "FAILED" : "wrote",
                            names[i].string().c_str());
            std::fflush(stdout);
        });
    if (failed) {
        std::fprintf(stderr, "pelrin-nsf: %d of %zu tracks failed\n", failed, tracks.size());
        return 1;
    }
    return 0;
}

int renderStems(const Options &o, const Track &t) {
    const fs::path dir = *o.stems;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir, ec)) throw std::runtime_error("cannot make the folder '" + dir.string() + "'");
    const NsfFile nsf = loadNsf(t.file);
    std::string warning;
    const std::vector<int> channels = channelsOf(selectChip(nsf.chips, warning));
    const RenderPlan base = planFor(o, t);
    // Every stem ends where the mix ends: the mix's length is found first.
    RenderPlan mixPlan = base;
    pelrin_tools::Apu mixApu;
    mixPlan.player.apu = &mixApu;
    NullSink none;
    const PlayResult mix = renderTrack(nsf, mixPlan, none);
    std::vector<std::string> written;
    int failed = 0;
    runParallel(
        channels.size(), cores(o),
        [&](size_t k) {
            const int ch = channels[k];
            // Each stem on a sound unit of its own that starts as the mix
            // left the mix's (the timers and sequence positions that a reset
            // keeps included), so that the stems come out as they always have.
            pelrin_tools::Apu apu(mixApu);
            RenderPlan p = base;
            p.player.apu = &apu;
            p.player.silenceSeconds = 0;
            p.player.seconds = static_cast<double>(mix.frames) / p.player.rate;
            for (int i = 0; i < pelrin_render::kMixerChannels; ++i)
                p.player.mixer.channelOptions[static_cast<size_t>(i)].enable = i == ch ? 1 : 0;
            pelrin_render::MemorySink mem;
            renderTrack(nsf, p, mem);
            // A channel that never moves is not audible: no stem.
            const size_t step = static_cast<size_t>(p.player.bits / 8);
            bool moves = false;
            for (size_t i = step; i < mem.data.size() && !moves; ++i) moves = mem.data[i] != mem.data[i % step];
            if (!moves) return 3;
            const fs::path target = dir / (pelrin_render::channelNames()[static_cast<size_t>(ch)] + ".wav");
            pelrin_render::WavFileSink wav(target, static_cast<uint32_t>(p.player.rate), p.player.bits,
                                           p.player.channels);
            wav.write(mem.data.data(), mem.data.size());
            wav.finish();
            return 0;
        },
        [&](size_t k, int status) {
            if (status == 0) written.push_back(pelrin_render::channelNames()[static_cast<size_t>(channels[k])]);
            else if (status != 3) ++failed; // 3: a silent channel, not a failure
        });
    std::sort(written.begin(), written.end());
    if (!o.quiet) {
        std::printf("pelrin-nsf: track %d: %zu stems in %s:", t.track + 1, written.size(), dir.string().c_str());
        for (const auto &w : written) std::printf(" %s", w.c_str());
        std::printf("\n");
    }
    if (failed) {
        std::fprintf(stderr, "pelrin-nsf: %d stems failed\n", failed);
        return 1;
    }
    return 0;
}

} // namespace pelrin_nsf
