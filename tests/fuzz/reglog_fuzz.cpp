// Fuzz target: register-log text is parsed, and a log that parses is
// rendered for a short fixed length, which must come out exactly that long.
// `memfile` lines read from a small folder made once per process.
#include <reglog.hpp>
#include <render.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>

namespace fs = std::filesystem;

namespace {

// Made once; never destroyed, so that the removal at exit can still name it.
const fs::path &memfileFolder() {
    static const fs::path *const dir = [] {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        auto *d = new fs::path(fs::temp_directory_path() / ("pelrin-reglog-fuzz-" + std::to_string(stamp)));
        fs::create_directories(*d / "dir");
        std::ofstream(*d / "a.bin", std::ios::binary) << std::string(300, '\x55');
        std::ofstream(*d / "empty.bin", std::ios::binary);
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(memfileFolder(), ec);
        });
        return d;
    }();
    return *dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const fs::path dir = memfileFolder();
    std::string_view text(reinterpret_cast<const char *>(data), size);
    pelrin_render::RegisterLog log;
    try {
        log = pelrin_render::parseLog(text, "fuzz.log", dir);
    } catch (const pelrin_render::LogError &) {
        return 0;
    }
    pelrin_render::RenderSettings settings;
    settings.lengthSeconds = 0.05;
    pelrin_render::MemorySink sink;
    pelrin_render::RenderStats stats;
    try {
        stats = pelrin_render::render(log, settings, sink);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "reglog_fuzz: a log that parses fails to render: %s\n", e.what());
        std::abort();
    }
    const auto fmt = pelrin_render::effectiveFormat(log, settings);
    const uint64_t frames = static_cast<uint64_t>(std::llround(*settings.lengthSeconds * fmt.rate));
    const size_t frameBytes = static_cast<size_t>(fmt.bits / 8 * fmt.channels);
    if (stats.frames != frames || sink.data.size() != frames * frameBytes || !sink.finished) {
        std::fprintf(stderr, "reglog_fuzz: rendered %llu frames, not %llu\n",
                     static_cast<unsigned long long>(stats.frames), static_cast<unsigned long long>(frames));
        std::abort();
    }
    return 0;
}
