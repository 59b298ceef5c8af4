// Fuzz target: an NSF image is loaded and a short stretch of its starting
// track is played through the 6502 and the library, with a register log.
// A file that plays must replay from its log to the same PCM, byte for byte.
#include <nsf.hpp>
#include <player.hpp>
#include <reglog.hpp>
#include <render.hpp>

#include <cstdio>
#include <cstdlib>
#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    pelrin_nsf::NsfFile nsf;
    try {
        nsf = pelrin_nsf::parseNsf(data, size);
    } catch (const pelrin_nsf::NsfError &) {
        return 0;
    }
    pelrin_nsf::PlayerOptions options;
    options.seconds = 0.1;
    // The last byte picks stereo and the rate, so every format gets played.
    const uint8_t pick = data[size - 1];
    options.channels = pick & 1 ? 2 : 1;
    options.rate = pick & 2 ? 8000 : 44100;
    pelrin_render::MemorySink played;
    std::ostringstream log;
    pelrin_nsf::PlayResult result;
    try {
        result = pelrin_nsf::play(nsf, options, played, &log);
    } catch (const pelrin_nsf::NsfError &) {
        return 0; // a CPU that jammed before any sound: reported, not a fault
    }
    if (result.frames == 0) return 0;
    played.finish();

    pelrin_render::RenderSettings settings;
    // A CPU that stopped ends the track early: replay what was played.
    settings.lengthSeconds = static_cast<double>(result.frames) / options.rate;
    pelrin_render::MemorySink replayed;
    const std::string text = log.str();
    try {
        auto parsed = pelrin_render::parseLog(text, "log");
        pelrin_render::render(parsed, settings, replayed);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "nsf_fuzz: the register log does not replay: %s\n", e.what());
        std::abort();
    }
    if (replayed.data != played.data) {
        std::fprintf(stderr, "nsf_fuzz: the replayed log differs from the played sound\n");
        std::abort();
    }
    return 0;
}
