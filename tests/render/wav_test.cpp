// WAV header fields and the sinks that write rendered PCM.
#include "wav.hpp"
#include "output_filter.hpp"
#include "pipe_sink.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#if defined(__linux__)
#include <sys/stat.h>
#endif

using namespace pelrin_render;

namespace {
uint32_t get32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

std::vector<uint8_t> readAll(const std::filesystem::path &p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::filesystem::path freshDir(const std::string &name) {
    auto dir = std::filesystem::temp_directory_path() /
               (name + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

size_t filesIn(const std::filesystem::path &dir) {
    size_t n = 0;
    for ([[maybe_unused]] auto &e : std::filesystem::directory_iterator(dir)) ++n;
    return n;
}
} // namespace

TEST(WavHeader, StereoSixteenBit) {
    auto h = wavHeader(48000, 16, 2, 1000);
    EXPECT_EQ(std::memcmp(&h[0], "RIFF", 4), 0);
    EXPECT_EQ(get32(&h[4]), 1036u);
    EXPECT_EQ(std::memcmp(&h[8], "WAVE", 4), 0);
    EXPECT_EQ(std::memcmp(&h[12], "fmt ", 4), 0);
    EXPECT_EQ(get32(&h[16]), 16u);
    EXPECT_EQ(get16(&h[20]), 1u);
    EXPECT_EQ(get16(&h[22]), 2u);
    EXPECT_EQ(get32(&h[24]), 48000u);
    EXPECT_EQ(get32(&h[28]), 192000u);
    EXPECT_EQ(get16(&h[32]), 4u);
    EXPECT_EQ(get16(&h[34]), 16u);
    EXPECT_EQ(std::memcmp(&h[36], "data", 4), 0);
    EXPECT_EQ(get32(&h[40]), 1000u);
}

TEST(WavHeader, MonoEightBit) {
    auto h = wavHeader(8000, 8, 1, 7);
    EXPECT_EQ(get32(&h[4]), 43u);
    EXPECT_EQ(get16(&h[22]), 1u);
    EXPECT_EQ(get32(&h[24]), 8000u);
    EXPECT_EQ(get32(&h[28]), 8000u);
    EXPECT_EQ(get16(&h[32]), 1u);
    EXPECT_EQ(get16(&h[34]), 8u);
    EXPECT_EQ(get32(&h[40]), 7u);
}

// Small writes go through the stream's buffer, large ones straight to the
// file, in order; the finished file takes the place of the old one, whose
// other name keeps the old content.
TEST(WavFileSink, WritesHeaderAndDataThenReplacesTheTarget) {
    auto dir = freshDir("pelrin-render-wav-test-a");
    auto target = dir / "out.wav";
    {
        std::ofstream old(target);
        old << "previous";
    }
    std::error_code noLink;  // where hard links cannot be made, that part is not checked
    std::filesystem::create_hard_link(target, dir / "other-name.wav", noLink);
    // Small and large writes in turn: large ones go to the file up to a
    // page boundary and hold the rest back for what follows.
    const size_t sizes[] = {4, 70000, 2, 131075, 65536, 65537, 3};
    std::vector<uint8_t> data(4 + 70000 + 2 + 131075 + 65536 + 65537 + 3);
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i * 7 + 1);
    {
        // Room reserved for far more than is written: released at the end.
        WavFileSink sink(target, 22050, 16, 1, uint64_t{64} << 20);
        size_t at = 0;
        for (size_t n : sizes) {
            sink.write(data.data() + at, n);
            at += n;
        }
        EXPECT_EQ(readAll(target).size(), 8u); // only the temporary file so far
        sink.finish();
    }
    auto bytes = readAll(target);
    ASSERT_EQ(bytes.size(), 44u + data.size());
    EXPECT_EQ(get32(&bytes[4]), 36u + data.size());
    EXPECT_EQ(get32(&bytes[24]), 22050u);
    EXPECT_EQ(get32(&bytes[40]), data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), bytes.begin() + 44));
#if defined(__linux__)
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, uint64_t{1} << 20);
#endif
    if (!noLink) {
        EXPECT_EQ(readAll(dir / "other-name.wav").size(), 8u);
    }
    EXPECT_EQ(filesIn(dir), noLink ? 1u : 2u); // no temporary file left
    std::filesystem::remove_all(dir);
}

TEST(WavFileSink, AbandonedRenderLeavesNoFile) {
    auto dir = freshDir("pelrin-render-wav-test-b");
    {
        std::ofstream old(dir / "out.wav");
        old << "previous";
    }
    {
        WavFileSink sink(dir / "out.wav", 44100, 16, 2);
        const uint8_t data[4] = {};
        sink.write(data, 4);
        // destroyed without finish(), as after a failed render
    }
    EXPECT_EQ(filesIn(dir), 1u);
    EXPECT_EQ(readAll(dir / "out.wav").size(), 8u); // the old file is untouched
    std::filesystem::remove_all(dir);
}

TEST(WavFileSink, UnwritableTargetThrows) {
    EXPECT_THROW(WavFileSink("/nonexistent-dir/out.wav", 44100, 16, 1), std::runtime_error);
}

TEST(FadeOut, SixteenBitEndsSilentAndLeavesTheRestAlone) {
    MemorySink mem;
    FadeOutSink fade(mem, 100, 16, 1);
    std::vector<uint8_t> data;
    for (int i = 0; i < 1000; ++i) { data.push_back(0x10); data.push_back(0x27); } // 10000
    fade.write(data.data(), 600);
    fade.write(data.data() + 600, data.size() - 600);
    fade.finish();
    ASSERT_TRUE(mem.finished);
    ASSERT_EQ(mem.data.size(), 2000u);
    auto sample = [&](size_t i) { return static_cast<int16_t>(mem.data[2 * i] | mem.data[2 * i + 1] << 8); };
    EXPECT_EQ(sample(0), 10000);
    EXPECT_EQ(sample(899), 10000); // before the fade
    EXPECT_EQ(sample(900), 10000); // the fade starts at full gain
    EXPECT_LT(sample(950), 3000);
    EXPECT_GT(sample(950), 2000);  // (49/99)^2 of full
    EXPECT_EQ(sample(999), 0);
}

TEST(FadeOut, EightBitStereoFadesTowards128) {
    MemorySink mem;
    FadeOutSink fade(mem, 10, 8, 2);
    std::vector<uint8_t> data(40, 228);
    fade.write(data.data(), data.size());
    fade.finish();
    ASSERT_EQ(mem.data.size(), 40u);
    EXPECT_EQ(mem.data[0], 228);
    EXPECT_EQ(mem.data[38], 128);
    EXPECT_EQ(mem.data[39], 128);
    EXPECT_LT(mem.data[30], 228);
}

TEST(FadeOut, ShorterThanTheFadeFadesWhatThereIs) {
    MemorySink mem;
    FadeOutSink fade(mem, 1000, 16, 1);
    std::vector<uint8_t> data(20, 0x40);
    fade.write(data.data(), data.size());
    fade.finish();
    ASSERT_EQ(mem.data.size(), 20u);
    EXPECT_EQ(mem.data[18], 0);
    EXPECT_EQ(mem.data[19], 0);
    EXPECT_EQ(mem.data[0], 0x40);
}

// The packed filter path (where it is built) against the plain one: every
// format, both filters, buffers of any length (odd ones too), filtered in
// place and into another buffer, with full-scale steps that drive the
// output into the clamp, and corners at rate / 2 pi, where the coefficients
// are one half and results land on halves. The bytes must be the same.
TEST(OutputFilterPaths, PackedAndPlainGiveTheSameBytes) {
    uint64_t seed = 0x9E3779B97F4A7C15ull;
    auto next = [&seed] {
        seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
        return seed;
    };
    const double half = 44100 / (2 * 3.14159265358979323846);
    for (int channels : {1, 2})
        for (int bits : {8, 16})
            for (FilterSettings settings : {FilterSettings{20, 0}, FilterSettings{0, 6000}, FilterSettings{20, 6000},
                                            FilterSettings{half, 0}, FilterSettings{0, half}}) {
                std::vector<uint8_t> pcm(size_t{1} << 16);
                for (size_t i = 0; i < pcm.size(); i++) {
                    // Stretches of full-scale square waves, noise and near silence.
                    const uint64_t r = next();
                    const size_t part = (i >> 11) % 3;
                    const uint8_t square = (i >> 7) & 1 ? 0xFF : (i & 1 ? 0x7F : 0x80);
                    pcm[i] = part == 0 ? square : static_cast<uint8_t>(part == 1 ? r : r & 3);
                }
                OutputFilter packed(settings, 44100, bits, channels);
                OutputFilter plain(settings, 44100, bits, channels, true);
                std::vector<uint8_t> expected = pcm, got(pcm.size());
                const size_t sampleBytes = static_cast<size_t>(bits / 8);
                for (size_t at = 0; at < pcm.size();) {
                    const size_t bytes = std::min(pcm.size() - at, static_cast<size_t>(next() % 1500) * sampleBytes);
                    plain.process(expected.data() + at, bytes);
                    if (next() & 1) {
                        std::memcpy(got.data() + at, pcm.data() + at, bytes);
                        packed.process(got.data() + at, bytes);
                    } else {
                        packed.process(pcm.data() + at, got.data() + at, bytes);
                    }
                    at += bytes;
                }
                ASSERT_TRUE(got == expected) << channels << " channels, " << bits << " bits, " << settings.highPassHz
                                             << " Hz high-pass, " << settings.lowPassHz << " Hz low-pass";
            }
}

// Long buffers filtered into another buffer run as two recurrences, the
// second from a guessed state. Against the plain path: music-like input,
// where the guess holds, and input that falls silent at zero, where the
// state only decays and the guess cannot hold, and a warm-up far too short
// for any guess to hold.
TEST(OutputFilterPaths, LongBuffersGiveTheSameBytes) {
    uint64_t seed = 0x2545F4914F6CDD1Dull;
    auto next = [&seed] {
        seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
        return seed;
    };
    for (int channels : {1, 2})
        for (int bits : {8, 16})
            for (FilterSettings settings : {FilterSettings{20, 0}, FilterSettings{20, 6000}, FilterSettings{0, 6000}}) {
                const size_t frameBytes = static_cast<size_t>(bits / 8 * channels), buffer = 65536 * frameBytes;
                std::vector<uint8_t> pcm(3 * buffer);
                for (size_t i = 0; i < pcm.size(); i++) {
                    const size_t frame = i / frameBytes;
                    const bool silent = i >= buffer + buffer / 4 && i < 2 * buffer;
                    const uint8_t zero = bits == 8 ? 0x80 : 0;
                    const uint8_t square = (frame >> 6) & 1 ? 0x30 : 0xD0;
                    pcm[i] = silent ? zero : (frame >> 12) % 2 ? static_cast<uint8_t>(next()) : square;
                }
                OutputFilter split(settings, 44100, bits, channels);
                OutputFilter plain(settings, 44100, bits, channels, true);
                OutputFilter hasty(settings, 44100, bits, channels);
                hasty.setSplitWarmUp(2);
                std::vector<uint8_t> expected = pcm, got(pcm.size()), guessed(pcm.size());
                for (size_t at = 0; at < pcm.size(); at += buffer) {
                    plain.process(expected.data() + at, buffer);
                    split.process(pcm.data() + at, got.data() + at, buffer);
                    hasty.process(pcm.data() + at, guessed.data() + at, buffer);
                }
                ASSERT_TRUE(got == expected && guessed == expected) << channels << " channels, " << bits << " bits, " << settings.highPassHz
                                             << " Hz high-pass, " << settings.lowPassHz << " Hz low-pass";
            }
}

// The filter's inline rounding: to the nearest integer, halves away from
// zero (what std::lround specifies; some C libraries' lround gets the
// doubles just below a half wrong). Halves, the doubles next to them, and a
// sweep over the filter's whole output range.
TEST(OutputFilterRounding, RoundsToNearestHalvesAwayFromZero) {
    std::vector<double> values = {0.0, -0.0, 0.5, -0.5, 1.5, -1.5, 2.5, -2.5, 32767.5, -32768.5};
    for (double h = 0.5; h < 70000; h += 1.0) {
        for (double v : {h, -h}) {
            values.push_back(v);
            values.push_back(std::nextafter(v, 0.0));
            values.push_back(std::nextafter(v, v * 2));
        }
    }
    uint64_t seed = 88172645463325252ull;
    for (int i = 0; i < 200000; i++) {
        seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
        values.push_back(static_cast<double>(static_cast<int64_t>(seed)) / 9.0e13);
    }
    for (double v : values) {
        const long r = RoundHalfAway(v);
        const double off = std::fabs(v - static_cast<double>(r));  // exact: |v| < 2^52
        ASSERT_TRUE(off < 0.5 || (off == 0.5 && std::fabs(static_cast<double>(r)) > std::fabs(v))) << v << " " << r;
    }
}

// Every byte arrives in order, in chunks however the writes were cut, and
// the sink behind is finished once: with the pipe's own thread, and without
// one, where a helper thread writes chunks on while the writer also writes
// some itself whenever it finds the pipe full; an error of the sink behind
// comes back to the writer.
TEST(PipeSink, PassesTheBytesInOrderAndReturnsErrors) {
    // Keeps what it is given and the longest piece.
    struct Kept : MemorySink {
        size_t longest = 0;
        void write(const uint8_t *d, size_t n) override {
            longest = std::max(longest, n);
            MemorySink::write(d, n);
        }
    };
    for (const bool ownThread : {true, false}) {
        Kept mem;
        std::vector<uint8_t> sent;
        {
            PipeSink pipe(mem, 64, 2, ownThread);
            std::atomic<bool> writing{true};
            std::thread helper([&] {
                while (writing) {
                    if (!ownThread) pipe.help();
                    std::this_thread::yield();
                }
            });
            for (size_t n = 0; n < 3000; n++) {
                std::vector<uint8_t> piece(n % 37, static_cast<uint8_t>(n));
                sent.insert(sent.end(), piece.begin(), piece.end());
                if (n % 3 == 0) {
                    // In place: room for just as much, or for more, as the player asks.
                    uint8_t *at = pipe.room(std::min<size_t>(piece.size() + n % 2 * 20, 64));
                    std::copy(piece.begin(), piece.end(), at);
                    pipe.wrote(piece.size());
                } else {
                    pipe.write(piece.data(), piece.size());
                }
            }
            writing = false;
            helper.join();
            pipe.finish();
        }
        EXPECT_TRUE(mem.finished) << ownThread;
        EXPECT_EQ(mem.data, sent) << ownThread;
        EXPECT_LE(mem.longest, 64u) << ownThread; // whole chunks at most
    }

    struct Failing : PcmSink {
        void write(const uint8_t *, size_t) override { throw std::runtime_error("disk full"); }
        void finish() override {}
    } failing;
    PipeSink pipe(failing, 16, 1);
    const uint8_t bytes[16] = {};
    try {
        for (int i = 0; i < 1000; i++) pipe.write(bytes, sizeof bytes);
        pipe.finish();
        FAIL() << "the error did not come back";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "disk full");
    }
}
