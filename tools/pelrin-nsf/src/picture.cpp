// --picture: a piano roll of one track, written with libpng. Each audible
// channel of the file is rendered alone (the mixer's solo), and every
// column of the picture measures a short window of that sound: its level
// (brightness) and its pitch from the spacing of rising zero crossings
// (height in the channel's lane, one and a half pixels a semitone from C1
// to C8). A title line on top, a time axis below.
#include "runtime_library.hpp"
#include "session.hpp"

#include <pelrin.h>
#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#if defined(_WIN32)
#include <io.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

namespace pelrin_nsf {

namespace {

constexpr int kLaneNotes = 84;         // C1 (MIDI 24) .. C8 (108)
constexpr int kLowNote = 24;
constexpr double kPixelsPerNote = 1.5;
constexpr int kLaneHeight = static_cast<int>(kLaneNotes * kPixelsPerNote) + 6;
constexpr int kLeft = 96, kTop = 28, kBottom = 26, kGap = 4;

// A 3x5 font, rows top to bottom, drawn at twice its size.
struct Glyph {
    char c;
    const char *rows;
};
constexpr Glyph kFont[] = {
    {'0', "111101101101111"}, {'1', "010110010010111"}, {'2', "111001111100111"}, {'3', "111001111001111"},
    {'4', "101101111001001"}, {'5', "111100111001111"}, {'6', "111100111101111"}, {'7', "111001001001001"},
    {'8', "111101111101111"}, {'9', "111101111001111"}, {'A', "010101111101101"}, {'B', "110101110101110"},
    {'C', "011100100100011"}, {'D', "110101101101110"}, {'E', "111100110100111"}, {'F', "111100110100100"},
    {'G', "011100101101011"}, {'H', "101101111101101"}, {'I', "111010010010111"}, {'J', "001001001101010"},
    {'K', "101101110101101"}, {'L', "100100100100111"}, {'M', "101111111101101"}, {'N', "110101101101101"},
    {'O', "010101101101010"}, {'P', "110101110100100"}, {'Q', "010101101110011"}, {'R', "110101110101101"},
    {'S', "011100010001110"}, {'T', "111010010010010"}, {'U', "101101101101111"}, {'V', "101101101101010"},
    {'W', "101101111111101"}, {'X', "101101010101101"}, {'Y', "101101010010010"}, {'Z', "111001010100111"},
    {' ', "000000000000000"}, {'.', "000000000000010"}, {':', "000010000010000"}, {'-', "000000111000000"},
    {'(', "001010010010001"}, {')', "100010010010100"}, {'/', "001001010100100"}, {',', "000000000010100"},
    {'\'', "010010000000000"}, {'+', "000010111010000"}, {'_', "000000000000111"}, {'#', "101111101111101"},
    {'!', "010010010000010"}, {'&', "010101010101011"}, {'?', "111001010000010"},
};

struct Image {
    int w, h;
    std::vector<uint8_t> rgb;
    Image(int width, int height) : w(width), h(height), rgb(static_cast<size_t>(width) * height * 3, 0) {}
    void put(int x, int y, std::array<uint8_t, 3> c) {
        if (x < 0 || y < 0 || x >= w || y >= h) return;
        std::memcpy(&rgb[(static_cast<size_t>(y) * w + x) * 3], c.data(), 3);
    }
    void fill(int x0, int y0, int x1, int y1, std::array<uint8_t, 3> c) {
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) put(x, y, c);
    }
    // Text in capitals; returns the x after it.
    int text(int x, int y, const std::string &s, std::array<uint8_t, 3> c) {
        for (char ch : s) {
            char u = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            const char *rows = kFont[std::size(kFont) - 1].rows;
            for (const Glyph &g : kFont)
                if (g.c == u) rows = g.rows;
            for (int r = 0; r < 5; ++r)
                for (int k = 0; k < 3; ++k)
                    if (rows[r * 3 + k] == '1') fill(x + 2 * k, y + 2 * r, x + 2 * k + 2, y + 2 * r + 2, c);
            x += 8;
            if (x > w - 8) break;
        }
        return x;
    }
};

// The libpng functions the picture needs, from libpng opened when a
// picture is asked for.
#define PELRIN_PNG_CALLS(X)                                                                                          \
    X(create_write_struct) X(create_info_struct) X(destroy_write_struct) X(set_longjmp_fn) X(init_io) X(set_IHDR)    \
    X(write_info) X(write_row) X(write_end)

struct PngCalls {
#define PELRIN_PNG_FIELD(name) decltype(&png_##name) name;
    PELRIN_PNG_CALLS(PELRIN_PNG_FIELD)
#undef PELRIN_PNG_FIELD
};

const PngCalls &Png() {
    static const PngCalls calls = [] {
        const std::string number = std::to_string(PNG_LIBPNG_VER_DLLNUM);
#if defined(_WIN32)
        const RuntimeLibrary png({"libpng" + number + "-" + std::to_string(PNG_LIBPNG_VER_SONUM) + ".dll",
                                  "libpng" + number + ".dll"},
                                 "libpng", "--picture");
#elif defined(__APPLE__)
        const RuntimeLibrary png({"libpng" + number + ".dylib"}, "libpng", "--picture");
#else
        const RuntimeLibrary png({"libpng" + number + ".so." + std::to_string(PNG_LIBPNG_VER_SONUM)}, "libpng",
                                 "--picture");
#endif
        PngCalls c{};
#define PELRIN_PNG_FIND(name) png.find(c.name, "png_" #name);
        PELRIN_PNG_CALLS(PELRIN_PNG_FIND)
#undef PELRIN_PNG_FIND
        return c;
    }();
    return calls;
}

void writePng(const std::string &path, const Image &img) {
    const PngCalls &p = Png();
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot write '" + path + "'");
    png_structp png = p.create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? p.create_info_struct(png) : nullptr;
    // What png_jmpbuf does, through the opened library.
    if (!png || !info || setjmp(*p.set_longjmp_fn(png, longjmp, sizeof(jmp_buf)))) {
        p.destroy_write_struct(&png, &info);
        std::fclose(f);
        std::remove(path.c_str());
        throw std::runtime_error("cannot write '" + path + "' (PNG error)");
    }
    p.init_io(png, f);
    p.set_IHDR(png, info, static_cast<png_uint_32>(img.w), static_cast<png_uint_32>(img.h), 8, PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    p.write_info(png, info);
    for (int y = 0; y < img.h; ++y)
        p.write_row(png, const_cast<png_bytep>(&img.rgb[static_cast<size_t>(y) * img.w * 3]));
    p.write_end(png, nullptr);
    p.destroy_write_struct(&png, &info);
    if (std::fclose(f) != 0) throw std::runtime_error("cannot write '" + path + "'");
}

struct Measure {
    double level = 0; // 0..1
    double note = -1; // MIDI note, -1 when no pitch was found
};

// Level and pitch of samples [from, to).
Measure measure(const std::vector<int16_t> &s, size_t from, size_t to, int rate) {
    Measure m;
    if (to <= from + 2) return m;
    double mean = 0;
    for (size_t i = from; i < to; ++i) mean += s[i];
    mean /= static_cast<double>(to - from);
    double acc = 0;
    for (size_t i = from; i < to; ++i) acc += (s[i] - mean) * (s[i] - mean);
    const double rms = std::sqrt(acc / static_cast<double>(to - from));
    // Brightness on a decibel scale: 48 dB below a quarter of full scale is dark.
    m.level = std::clamp((20 * std::log10(std::max(rms, 1e-9) / 8192.0) + 48) / 48, 0.0, 1.0);
    if (rms < 16) return m;
    // Rising crossings of the mean, with hysteresis against small ripples.
    const double hyst = rms * 0.3;
    bool low = s[from] - mean < -hyst;
    double first = -1, last = -1;
    int count = 0;
    for (size_t i = from + 1; i < to; ++i) {
        const double v = s[i] - mean;
        if (v < -hyst) low = true;
        else if (low && v >= 0) {
            const double p = s[i - 1] - mean;
            const double t = static_cast<double>(i - 1) + (p < v ? -p / (v - p) : 0.0);
            if (first < 0) first = t;
            last = t;
            ++count;
            low = false;
        }
    }
    if (count >= 3 && last > first) {
        const double hz = (count - 1) * rate / (last - first);
        m.note = 69 + 12 * std::log2(hz / 440.0);
    }
    return m;
}

std::array<uint8_t, 3> hue(int k) {
    static const std::array<uint8_t, 3> kColors[] = {{255, 96, 96},  {255, 176, 64}, {96, 200, 255}, {200, 200, 200},
                                                     {160, 255, 120}, {255, 120, 220}, {180, 140, 255}, {255, 240, 100}};
    return kColors[static_cast<size_t>(k) % std::size(kColors)];
}

std::string clock(double s) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d:%02d", static_cast<int>(s) / 60, static_cast<int>(s) % 60);
    return buf;
}

} // namespace

int renderPicture(const Options &o, const Track &t) {
    Png(); // before the render, so that a missing libpng is said at once
    const NsfFile nsf = loadNsf(t.file);
    std::string warning;
    const std::vector<int> channels = channelsOf(selectChip(nsf.chips, warning));
    RenderPlan plan = planFor(o, t);
    plan.player.bits = 16;
    plan.player.channels = 1;
    plan.filter = pelrin_render::FilterSettings{20.0, 0.0};
    // The mix and then every lane, one after the other on one sound unit.
    pelrin_tools::Apu apu;
    plan.player.apu = &apu;
    NullSink none;
    const PlayResult mix = renderTrack(nsf, plan, none);
    const int rate = plan.player.rate;
    const double seconds = static_cast<double>(mix.frames) / rate;

    // Columns: ten a second, at most 2400.
    const int columns = std::clamp(static_cast<int>(std::ceil(seconds * 10)), 1, 2400);
    const double hop = static_cast<double>(mix.frames) / columns;
    const size_t window = std::max<size_t>(static_cast<size_t>(hop), static_cast<size_t>(rate / 25));

    struct Lane {
        int channel;
        std::vector<Measure> cols;
    };
    std::vector<Lane> lanes;
    const bool progress = o.progress && !o.quiet && isatty(2);
    for (int ch : channels) {
        if (progress) {
            std::fprintf(stderr, "\rmeasuring %-12s", pelrin_render::channelNames()[static_cast<size_t>(ch)].c_str());
            std::fflush(stderr);
        }
        RenderPlan p = plan;
        p.player.silenceSeconds = 0;
        p.player.seconds = seconds;
        for (int i = 0; i < pelrin_render::kMixerChannels; ++i)
            p.player.mixer.channelOptions[static_cast<size_t>(i)].enable = i == ch ? 1 : 0;
        pelrin_render::MemorySink mem;
        renderTrack(nsf, p, mem);
        std::vector<int16_t> s(mem.data.size() / 2);
        for (size_t i = 0; i < s.size(); ++i)
            s[i] = static_cast<int16_t>(static_cast<uint16_t>(mem.data[2 * i] | (mem.data[2 * i + 1] << 8)));
        Lane lane{ch, {}};
        int loud = 0; // columns clearly above silence: a lane needs a few

        for (int c = 0; c < columns; ++c) {
            const size_t mid = static_cast<size_t>((c + 0.5) * hop);
            const size_t from = mid > window / 2 ? mid - window / 2 : 0;
            const size_t to = std::min(s.size(), from + window);
            lane.cols.push_back(measure(s, from, to, rate));
            loud += lane.cols.back().level > 0.1;
        }
        if (loud >= 3) lanes.push_back(std::move(lane));
    }

    std::string title = "TRACK " + std::to_string(t.track + 1);
    if (!t.title.empty()) title += "  " + t.title;
    if (!nsf.title.empty()) title += "  (" + nsf.title + (nsf.artist.empty() ? "" : " - " + nsf.artist) + ")";
    // Wide enough for the title line, however short the track.
    if (progress) std::fprintf(stderr, "\r%30s\r", "");
    const int width = std::max(kLeft + columns + 32, std::min(16 + 8 * static_cast<int>(title.size()), 1600));
    const int height = kTop + static_cast<int>(std::max<size_t>(lanes.size(), 1)) * (kLaneHeight + kGap) + kBottom;
    Image img(width, height);
    img.fill(0, 0, width, height, {14, 14, 22});
    img.text(8, 8, title, {235, 235, 235});

    for (size_t k = 0; k < lanes.size(); ++k) {
        const int y0 = kTop + static_cast<int>(k) * (kLaneHeight + kGap);
        img.fill(kLeft, y0, kLeft + columns, y0 + kLaneHeight, {24, 24, 36});
        // A faint line at every C, a brighter one at middle C.
        for (int n = kLowNote; n <= kLowNote + kLaneNotes; n += 12) {
            const int y = y0 + kLaneHeight - 3 - static_cast<int>((n - kLowNote) * kPixelsPerNote);
            const uint8_t g = n == 60 ? 70 : 40;
            img.fill(kLeft, y, kLeft + columns, y + 1, {g, g, static_cast<uint8_t>(g + 12)});
        }
        const auto color = hue(static_cast<int>(k));
        img.text(8, y0 + kLaneHeight / 2 - 5, pelrin_render::channelNames()[static_cast<size_t>(lanes[k].channel)], color);
        for (int c = 0; c < columns; ++c) {
            const Measure &m = lanes[k].cols[static_cast<size_t>(c)];
            if (m.level <= 0.02) continue;
            const double b = 0.15 + 0.85 * m.level;
            const std::array<uint8_t, 3> px = {static_cast<uint8_t>(color[0] * b), static_cast<uint8_t>(color[1] * b),
                                               static_cast<uint8_t>(color[2] * b)};
            if (m.note < 0) { // sound without a clear pitch: a dim strip along the lane's foot
                img.fill(kLeft + c, y0 + kLaneHeight - 3, kLeft + c + 1, y0 + kLaneHeight, px);
                continue;
            }
            const double n = std::clamp(m.note, static_cast<double>(kLowNote), static_cast<double>(kLowNote + kLaneNotes));
            const int y = y0 + kLaneHeight - 3 - static_cast<int>((n - kLowNote) * kPixelsPerNote);
            img.fill(kLeft + c, y - 1, kLeft + c + 1, y + 2, px);
        }
    }
    // Time axis: a tick every 10 s (30 s for long tracks), labelled.
    const int axisY = height - kBottom + 4;
    img.fill(kLeft, axisY, kLeft + columns, axisY + 1, {120, 120, 140});
    const int step = seconds > 300 ? 30 : 10;
    for (int s = 0; s <= static_cast<int>(seconds); s += step) {
        const int x = kLeft + static_cast<int>(s * rate / hop);
        img.fill(x, axisY, x + 1, axisY + 5, {160, 160, 180});
        img.text(x - 8, axisY + 8, clock(s), {160, 160, 180});
    }
    writePng(*o.picture, img);
    if (!o.quiet)
        std::printf("pelrin-nsf: track %d: %.2f s, %zu lanes, %dx%d picture %s\n", t.track + 1, seconds, lanes.size(),
                    width, height, o.picture->c_str());
    return 0;
}

} // namespace pelrin_nsf
