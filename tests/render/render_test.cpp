// End to end: register logs rendered through the real library.
#include "demo.hpp"
#include "render.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace pelrin_render;

namespace {

struct Rendered {
    RenderStats stats;
    std::vector<uint8_t> bytes;
    bool finished = false;
};

Rendered renderText(const std::string &text, const RenderSettings &settings = {}) {
    RegisterLog log = parseLog(text, "test.log");
    MemorySink sink;
    Rendered r;
    r.stats = render(log, settings, sink);
    r.bytes = std::move(sink.data);
    r.finished = sink.finished;
    return r;
}

// One channel of 16-bit frames as numbers.
std::vector<double> samples16(const std::vector<uint8_t> &bytes, int channels, int which) {
    std::vector<double> out;
    for (size_t i = 2 * static_cast<size_t>(which); i + 1 < bytes.size(); i += 2 * static_cast<size_t>(channels))
        out.push_back(static_cast<int16_t>(bytes[i] | bytes[i + 1] << 8));
    return out;
}

double mean(const std::vector<double> &s, size_t from, size_t to) {
    double m = 0;
    for (size_t i = from; i < to; ++i) m += s[i];
    return m / static_cast<double>(to - from);
}

// Deviation from the mean: DC offsets (a delta channel at level 0) do not count.
double rms(const std::vector<double> &s, size_t from, size_t to) {
    double m = mean(s, from, to), acc = 0;
    for (size_t i = from; i < to; ++i) acc += (s[i] - m) * (s[i] - m);
    return std::sqrt(acc / static_cast<double>(to - from));
}

// Frequency from rising zero crossings (around the mean) in [from, to),
// interpolated between samples.
double frequency(const std::vector<double> &s, size_t from, size_t to, int rate) {
    double m = mean(s, from, to);
    double first = -1, last = -1;
    int crossings = 0;
    for (size_t i = from + 1; i < to; ++i) {
        double a = s[i - 1] - m, b = s[i] - m;
        if (a < 0 && b >= 0) {
            double t = static_cast<double>(i - 1) + a / (a - b);
            if (first < 0) first = t;
            last = t;
            ++crossings;
        }
    }
    if (crossings < 2) return 0;
    return (crossings - 1) / ((last - first) / rate);
}

const std::string kPulse440 =
    "w 0 $4015 $01\n"
    "w +4 $4000 $BF   # 50% duty, constant volume 15, length halted\n"
    "w +4 $4001 $08\n"
    "w +4 $4002 253   # period 253: 1789772.75 / (16 * 254) = 440.39 Hz\n"
    "w +4 $4003 $F8\n"
    "run 1789773\n";

} // namespace

TEST(Render, PulsePeriodGivesItsFrequency) {
    Rendered r = renderText(kPulse440);
    ASSERT_TRUE(r.finished);
    auto s = samples16(r.bytes, 1, 0);
    ASSERT_NEAR(static_cast<double>(s.size()), 44100.0, 2.0);
    EXPECT_GT(rms(s, 1000, s.size()), 3000.0);
    double f = frequency(s, 1000, s.size() - 100, 44100);
    EXPECT_NEAR(f, 1789772.75 / (16.0 * 254.0), 0.5);
}

TEST(Render, TrianglePeriodGivesItsFrequency) {
    Rendered r = renderText("w 0 $4015 $04\nw 4 $4008 $FF\nw 8 $400A 253\nw 12 $400B $F8\nrun 1789773\n");
    auto s = samples16(r.bytes, 1, 0);
    EXPECT_GT(rms(s, 1000, s.size()), 1000.0);
    EXPECT_NEAR(frequency(s, 1000, s.size() - 100, 44100), 1789772.75 / (32.0 * 254.0), 0.3);
}

TEST(Render, PalRegionUsesThePalClock) {
    RenderSettings settings;
    settings.environment = regionPreset("pal");
    Rendered r = renderText(kPulse440, settings);
    auto s = samples16(r.bytes, 1, 0);
    EXPECT_NEAR(frequency(s, 1000, s.size() - 100, 44100), 1662607.125 / (16.0 * 254.0), 0.5);
    // The log runs 1789773 cycles, a little more than a second at the PAL clock.
    EXPECT_NEAR(static_cast<double>(s.size()), 1789773.0 / 1662607.125 * 44100.0, 3.0);
}

TEST(Render, PanRightLandsOnTheRight) {
    RenderSettings settings;
    settings.channels = 2;
    settings.channelOptions[0].pan = 127;
    Rendered r = renderText(kPulse440, settings);
    EXPECT_EQ(r.stats.format.channels, 2);
    auto left = samples16(r.bytes, 2, 0), right = samples16(r.bytes, 2, 1);
    ASSERT_EQ(left.size(), right.size());
    EXPECT_LT(rms(left, 1000, left.size()), 10.0);
    EXPECT_GT(rms(right, 1000, right.size()), 3000.0);

    settings.channelOptions[0].pan = -127;
    r = renderText(kPulse440, settings);
    left = samples16(r.bytes, 2, 0);
    right = samples16(r.bytes, 2, 1);
    EXPECT_GT(rms(left, 1000, left.size()), 3000.0);
    EXPECT_LT(rms(right, 1000, right.size()), 10.0);
}

TEST(Render, LogFormatAndSettingsOverride) {
    Rendered r = renderText("format 22050 8 2\n" + kPulse440);
    EXPECT_EQ(r.stats.format.rate, 22050);
    EXPECT_EQ(r.stats.format.bits, 8);
    EXPECT_NEAR(static_cast<double>(r.bytes.size()), 22050.0 * 2, 4.0);
    RenderSettings settings;
    settings.rate = 8000;
    settings.channels = 1;
    r = renderText("format 22050 8 2\n" + kPulse440, settings);
    EXPECT_EQ(r.stats.format.rate, 8000);
    EXPECT_EQ(r.stats.format.bits, 8);
    EXPECT_EQ(r.stats.format.channels, 1);
    EXPECT_NEAR(static_cast<double>(r.bytes.size()), 8000.0, 2.0);
}

TEST(Render, ChannelLinesAndCommandLineOverride) {
    const std::string muted = "channel pulse1 off - -\n" + kPulse440;
    auto s = samples16(renderText(muted).bytes, 1, 0);
    EXPECT_LT(rms(s, 100, s.size()), 1.0);
    RenderSettings settings;
    settings.channelOptions[0].enable = 1; // applied after the log's own settings
    s = samples16(renderText(muted, settings).bytes, 1, 0);
    EXPECT_GT(rms(s, 100, s.size()), 3000.0);
}

TEST(Render, LengthIsExactAndExtendsTheLog) {
    RenderSettings settings;
    settings.rate = 22050;
    settings.lengthSeconds = 2.5; // the log itself lasts one second
    Rendered r = renderText(kPulse440, settings);
    EXPECT_EQ(r.stats.frames, 55125u);
    EXPECT_EQ(r.bytes.size(), 55125u * 2);
    auto s = samples16(r.bytes, 1, 0);
    EXPECT_GT(rms(s, 50000, 55125), 3000.0); // the pulse holds on past the log's end
    settings.lengthSeconds = 0.25;
    EXPECT_EQ(renderText(kPulse440, settings).stats.frames, 5513u);
}

TEST(Render, StallCyclesAreCountedAndShiftTheClock) {
    // A looping sample at the fastest rate: one byte, one stall cycle, every 432 cycles.
    std::string text = "mem $C000";
    for (int i = 0; i < 17; ++i) text += " 55";
    text += "\nw 0 $4010 $4F\nw 4 $4012 0\nw 8 $4013 1\nw 12 $4015 $10\nrun 1789773\n";
    Rendered r = renderText(text);
    // The stolen cycles are run too and fetch bytes of their own: one stall
    // per 431 cycles of the 1789773 - 12 asked for.
    const double expectedStalls = (1789773.0 - 12.0) / (54.0 * 8.0 - 1.0);
    EXPECT_NEAR(static_cast<double>(r.stats.stallCycles), expectedStalls, 3.0);
    // The host's clock runs on by the stolen cycles, so the output is longer.
    EXPECT_NEAR(static_cast<double>(r.stats.frames), (1789773.0 + expectedStalls) / (1789772.75 / 44100.0), 2.0);
}

TEST(Render, OneShotSampleStealsOneCyclePerByte) {
    Rendered r = renderText("mem $C000 FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF\nw 0 $4010 $0F\nw 4 $4012 0\nw 8 $4013 1\nw 12 $4015 $10\n"
                            "run 100000\n");
    EXPECT_EQ(r.stats.stallCycles, 17u); // $4013 = 1: 17 bytes
    // All-ones bytes raise the delta level: the output ends above where it began.
    auto s = samples16(r.bytes, 1, 0);
    EXPECT_GT(s.back() - s.front(), 5000.0);
}

TEST(Render, ReadsSeeStatusAndTheFrameInterrupt) {
    Rendered r = renderText("w 0 $4015 $01\nw 4 $4003 $F8\nr 8 $4015\nr 40000 $4015\nr +4 $4015\n"
                            "r +4 $4017 $FF\n");
    ASSERT_EQ(r.stats.reads.size(), 4u);
    EXPECT_EQ(r.stats.reads[0].value, 0x01);
    EXPECT_EQ(r.stats.reads[0].line, 3);
    EXPECT_EQ(r.stats.reads[1].value, 0x41); // the frame interrupt came at cycle 29830
    EXPECT_EQ(r.stats.reads[2].value, 0x01); // and the read cleared it
    EXPECT_EQ(r.stats.reads[3].value, 0x3F);
    EXPECT_GE(r.stats.interrupts, 1u);
}

TEST(Render, ResetSelectsTheExpansionChip) {
    const std::string vrc6 = "w +0 $9000 $7F\nw +4 $9001 253\nw +4 $9002 $80\n";
    Rendered r = renderText("reset none\n" + vrc6 + "run 441000\nreset vrc6\n" + vrc6 + "run 882000\n");
    auto s = samples16(r.bytes, 1, 0);
    // Log cycles go on across the reset: 882000 cycles in all.
    EXPECT_NEAR(static_cast<double>(s.size()), 882000.0 / (1789772.75 / 44100.0), 3.0);
    const size_t half = s.size() / 2;
    EXPECT_LT(rms(s, 100, half - 100), 1.0); // no VRC6 before its reset
    EXPECT_GT(rms(s, half + 100, s.size()), 3000.0);
    EXPECT_NEAR(frequency(s, half + 100, s.size() - 100, 44100), 1789772.75 / (16.0 * 254.0), 1.0);
}

TEST(Render, SilentLogGivesConstantOutput) {
    Rendered r = renderText("run 44744\n");
    auto s = samples16(r.bytes, 1, 0);
    EXPECT_NEAR(static_cast<double>(s.size()), 1102.0, 2.0);
    EXPECT_EQ(rms(s, 0, s.size()), 0.0);
}

TEST(Demo, RendersEverySectionAudibly) {
    RegisterLog log = parseLog(demoLogText(), "demo");
    MemorySink sink;
    RenderStats stats = render(log, {}, sink);
    auto s = samples16(sink.data, 1, 0);
    const auto sections = demoSections();
    ASSERT_EQ(sections.size(), 4u);
    EXPECT_NEAR(stats.seconds(), sections.back().end, 0.05);
    EXPECT_GT(stats.seconds(), 30.0);
    EXPECT_LT(stats.seconds(), 60.0);
    EXPECT_GT(stats.stallCycles, 0u); // the delta-coded kick drum played
    for (const auto &sec : sections) {
        size_t a = static_cast<size_t>(sec.start * 44100) + 4410, b = static_cast<size_t>(sec.end * 44100) - 4410;
        EXPECT_GT(rms(s, a, b), 1500.0) << sec.name;
    }
}

TEST(Demo, EachExpansionChipSoundsInItsOwnSection) {
    RegisterLog log = parseLog(demoLogText(), "demo");
    const auto sections = demoSections();
    const std::vector<std::pair<int, std::vector<int>>> chips = {
        {1, {5, 6, 7}}, {2, {8, 9, 10}}, {3, {15, 16, 17, 18}}};
    for (const auto &[section, channels] : chips) {
        for (int ch : channels) {
            RenderSettings settings;
            for (auto &c : settings.channelOptions) c.enable = 0;
            settings.channelOptions[static_cast<size_t>(ch)].enable = 1;
            MemorySink sink;
            render(log, settings, sink);
            auto s = samples16(sink.data, 1, 0);
            const auto &sec = sections[static_cast<size_t>(section)];
            size_t a = static_cast<size_t>(sec.start * 44100), b = static_cast<size_t>(sec.end * 44100);
            EXPECT_GT(rms(s, a, b), 300.0) << "channel " << ch << " in " << sec.name;
            EXPECT_LT(rms(s, 0, a - 100), 1.0) << "channel " << ch << " before " << sec.name;
        }
    }
}

TEST(Demo, PalVersionKeepsItsTempo) {
    RenderSettings settings;
    settings.environment = regionPreset("pal");
    RegisterLog log = parseLog(demoLogText(*settings.environment), "demo");
    MemorySink sink;
    RenderStats stats = render(log, settings, sink);
    EXPECT_NEAR(stats.seconds(), demoSections().back().end, 0.05);
}

TEST(Render, DeltaInterruptIsSeenAndReadBack) {
    // Frame interrupt off; a one-shot sample with its interrupt enabled.
    Rendered r = renderText("mem $C000 5555555555555555555555555555555555\n"
                            "w 0 $4017 $40\nw 4 $4010 $8F\nw 8 $4012 0\nw 12 $4013 1\nw 16 $4015 $10\n"
                            "r 1000 $4015\nr 20000 $4015\nrun 40000\n");
    EXPECT_EQ(r.stats.interrupts, 1u);
    ASSERT_EQ(r.stats.reads.size(), 2u);
    EXPECT_EQ(r.stats.reads[0].value, 0x10); // still playing
    EXPECT_EQ(r.stats.reads[1].value, 0x80); // ended: 17 bytes x 8 bits x 54 cycles, interrupt raised
}
