// NSF header parsing and its error messages.
#include "nsf.hpp"
#include "nsf_builder.hpp"
#include "player.hpp"
#include "playlist.hpp"
#include "session.hpp"

#include <gtest/gtest.h>

using namespace pelrin_nsf;
using namespace nsf_test;

namespace {

std::string errorOf(const std::vector<uint8_t> &bytes) {
    try {
        parseNsf(bytes.data(), bytes.size());
    } catch (const NsfError &e) {
        return e.what();
    }
    return "(no error)";
}

TEST(NsfLoader, ReadsTheHeaderOfARealFile) {
    NsfFile f = loadNsf(dataFile("pently.nsf"));
    EXPECT_EQ(f.version, 1);
    EXPECT_EQ(f.songCount, 21);
    EXPECT_EQ(f.startSong, 1);
    EXPECT_EQ(f.loadAddress, 0xC000);
    EXPECT_EQ(f.initAddress, 0xC000);
    EXPECT_EQ(f.playAddress, 0xC0B6);
    EXPECT_EQ(f.title, "argument turned on (inst.)");
    EXPECT_EQ(f.artist, "DJ Tepples");
    EXPECT_EQ(f.copyright, "2015 Damian Yerrick");
    EXPECT_EQ(f.ntscSpeed, 16640);
    EXPECT_EQ(f.palSpeed, 19998);
    EXPECT_EQ(f.region & 2, 2); // plays on both systems
    EXPECT_FALSE(f.palOnly());
    EXPECT_EQ(f.chips, 0);
    EXPECT_FALSE(f.bankswitched());
    EXPECT_EQ(f.data.size(), 6233u - 128u);
    EXPECT_EQ(chipNames(f.chips), "none");

    NsfFile v = loadNsf(dataFile("bhop_saw_vol_test.nsf"));
    EXPECT_EQ(v.chips, 0x01);
    EXPECT_EQ(chipNames(v.chips), "VRC6");
    NsfFile n2 = loadNsf(dataFile("nat_nsf2_irq.nsf"));
    EXPECT_EQ(n2.version, 2);
    EXPECT_EQ(n2.flags, 0x10);
    EXPECT_TRUE(n2.usesInterrupts());
    EXPECT_FALSE(n2.unsupportedModes());
    EXPECT_EQ(n2.data.size(), 0x2000u); // the metadata after the program is not loaded
    EXPECT_EQ(loadNsf(dataFile("nat_db_n163.nsf")).chips, 0x10);
    EXPECT_EQ(loadNsf(dataFile("nat_db_mmc5.nsf")).chips, 0x08);
}

TEST(NsfLoader, RejectsBadFilesWithTheReason) {
    NsfLayout layout;
    layout.data = {0x60, 0x60, 0x60, 0x60};
    std::vector<uint8_t> good = buildNsf(layout);
    EXPECT_EQ(errorOf(good), "(no error)");

    std::vector<uint8_t> bad = good;
    bad[3] = 'X';
    EXPECT_EQ(errorOf(bad), "not an NSF file (bad magic)");
    EXPECT_EQ(errorOf({'N', 'E', 'S'}), "not an NSF file (bad magic)");
    EXPECT_EQ(errorOf({}), "not an NSF file (bad magic)");

    std::vector<uint8_t> shortHeader(good.begin(), good.begin() + 100);
    EXPECT_EQ(errorOf(shortHeader), "truncated header (100 bytes, need 128)");
    std::vector<uint8_t> headerOnly(good.begin(), good.begin() + 128);
    EXPECT_EQ(errorOf(headerOnly), "truncated file: no program data after the header");

    NsfLayout zero = layout;
    zero.songs = 0;
    EXPECT_EQ(errorOf(buildNsf(zero)), "the file has no songs (song count 0)");

    NsfLayout low = layout;
    low.load = 0x6000;
    EXPECT_EQ(errorOf(buildNsf(low)), "load address $6000 is out of range ($8000-$FFFF)");

    // Version 2: a program length longer than the file.
    NsfLayout v2 = layout;
    v2.version = 2;
    std::vector<uint8_t> f2 = buildNsf(v2);
    f2[0x7D] = 0x00;
    f2[0x7E] = 0x10; // 4096 bytes claimed, 4 present
    EXPECT_EQ(errorOf(f2), "truncated program data (4 bytes, header says 4096)");

    // A real file cut short in its header.
    std::vector<uint8_t> real = readFile(dataFile("pently.nsf"));
    real.resize(64);
    EXPECT_EQ(errorOf(real), "truncated header (64 bytes, need 128)");

    try {
        loadNsf(dataFile("no-such-file.nsf"));
        FAIL() << "no error for a missing file";
    } catch (const NsfError &e) {
        EXPECT_NE(std::string(e.what()).find("cannot open"), std::string::npos) << e.what();
    }
}

TEST(NsfLoader, StartingSongOutsideTheRangeFallsBackToTheFirst) {
    NsfLayout layout;
    layout.songs = 3;
    layout.start = 9;
    layout.data = {0x60};
    std::vector<uint8_t> f = buildNsf(layout);
    EXPECT_EQ(parseNsf(f.data(), f.size()).startSong, 1);
}

TEST(NsfLoader, ChipSelection) {
    std::string w;
    EXPECT_EQ(selectChip(0x00, w), 0);
    EXPECT_EQ(w, "");
    EXPECT_EQ(selectChip(0x01, w), 1);
    EXPECT_EQ(w, "");
    EXPECT_EQ(selectChip(0x08, w), 8);
    EXPECT_EQ(selectChip(0x10, w), 16);
    EXPECT_EQ(w, "");
    EXPECT_EQ(selectChip(0x18, w), 8);
    EXPECT_EQ(w, "expansion chip byte $18 names several chips (MMC5, Namco 163); playing MMC5 and the 2A03 only");
    EXPECT_EQ(selectChip(0x04, w), 0);
    EXPECT_EQ(w, "expansion chip byte $04 names FDS, which cannot be played; playing the 2A03 only");
    EXPECT_EQ(selectChip(0x21, w), 1);
    EXPECT_EQ(w, "expansion chip byte $21 names Sunsoft 5B, which cannot be played; playing VRC6 and the 2A03");
}

TEST(NsfLoader, PlayPeriodFromTheSpeedFields) {
    NsfFile f;
    f.ntscSpeed = 16639;
    f.palSpeed = 20000;
    EXPECT_EQ(playPeriod(f, false), 0.0); // one video frame
    EXPECT_EQ(playPeriod(f, true), 0.0);
    f.ntscSpeed = 8320; // twice a frame
    EXPECT_NEAR(playPeriod(f, false), 8320 * 1789772.75 / 1e6, 1e-6);
    f.ntscSpeed = 0;
    EXPECT_EQ(playPeriod(f, false), 0.0);
}

} // namespace

// Metadata: NSFe chunks, version 2 chunks after the program, M3U lines and
// the length each track then gets.
TEST(NsfLoader, TrackMetadataFromNsfeNsf2AndM3u) {
    using namespace nsf_test;
    const std::vector<uint8_t> real = readFile(dataFile("pently.nsf"));
    const std::vector<uint8_t> e = nsfeFrom(real, {{"auth", cstrings({"Game", "Composer", "2024", "Ripper"})},
                                                  {"tlbl", cstrings({"One", "Two"})},
                                                  {"time", le32s({61000, -1})},
                                                  {"fade", le32s({2500})},
                                                  {"plst", {1, 0, 40}}});
    const NsfFile f = parseNsf(e.data(), e.size());
    const NsfFile n = parseNsf(real.data(), real.size());
    EXPECT_TRUE(f.nsfe);
    EXPECT_EQ(f.data, n.data);
    EXPECT_EQ(f.bankInit, n.bankInit);
    EXPECT_EQ(f.songCount, 21);
    EXPECT_EQ(f.initAddress, n.initAddress);
    EXPECT_EQ(f.title + "/" + f.artist + "/" + f.copyright + "/" + f.ripper, "Game/Composer/2024/Ripper");
    EXPECT_EQ(f.playOrder(), (std::vector<int>{1, 0})); // track 41 does not exist: dropped
    EXPECT_EQ(f.trackTitle(1) + f.trackTitle(2), "Two");
    EXPECT_EQ(f.lengthMs(0), 61000);
    EXPECT_EQ(f.lengthMs(1), -1);
    EXPECT_EQ(f.fadeMs(0), 2500);

    std::vector<uint8_t> bad = {'N', 'S', 'F', 'E'};
    appendChunk(bad, "INFO", std::vector<uint8_t>(real.begin() + 8, real.begin() + 17));
    appendChunk(bad, "VRC7", {1});
    EXPECT_THROW(parseNsf(bad.data(), bad.size()), NsfError); // an unknown chunk the file needs
    bad.resize(bad.size() - 9);
    appendChunk(bad, "NEND", {});
    try {
        parseNsf(bad.data(), bad.size());
        ADD_FAILURE();
    } catch (const NsfError &err) {
        EXPECT_STREQ(err.what(), "NSFe file without a DATA chunk");
    }

    // Version 2: program length at $7D-$7F, chunks after the program.
    std::vector<uint8_t> v2 = real;
    v2[5] = 2;
    v2[0x7C] = 0x80;
    const size_t len = real.size() - 128;
    v2[0x7D] = static_cast<uint8_t>(len);
    v2[0x7E] = static_cast<uint8_t>(len >> 8);
    v2[0x7F] = static_cast<uint8_t>(len >> 16);
    appendChunk(v2, "tlbl", cstrings({"Opening"}));
    appendChunk(v2, "time", le32s({3000}));
    const NsfFile g = parseNsf(v2.data(), v2.size());
    EXPECT_EQ(g.data, n.data);
    EXPECT_EQ(g.trackTitle(0), "Opening");
    EXPECT_EQ(g.lengthMs(0), 3000);

    EXPECT_EQ(parseTime("1:23"), 83000);
    EXPECT_EQ(parseTime("83"), 83000);
    EXPECT_EQ(parseTime(" 1:02:03.5 "), 3723500);
    for (const char *badTime : {"", "1:60", "x", "1:2:3:4", "1.2345"}) EXPECT_FALSE(parseTime(badTime)) << badTime;
    const auto m3u = parseM3u("#EXTM3U\r\n# comment\r\nmusic.nsf::NSF,3,Boss\\, fast,1:30,,0:04\r\n"
                              "music.nsf::NSF,$0A,Ten\nother.mp3\n",
                              "base");
    ASSERT_EQ(m3u.size(), 2u);
    EXPECT_EQ(m3u[0].file, std::filesystem::path("base") / "music.nsf");
    EXPECT_EQ(m3u[0].track, 2);
    EXPECT_EQ(m3u[0].title, "Boss, fast");
    EXPECT_EQ(m3u[0].lengthMs, 90000);
    EXPECT_EQ(m3u[0].fadeMs, 4000);
    EXPECT_EQ(m3u[1].track, 9);
    EXPECT_EQ(m3u[1].lengthMs, -1);
    EXPECT_THROW(parseM3u("a.nsf::NSF,0,x\n", "."), NsfError);
    EXPECT_THROW(parseM3u("a.nsf::NSF,1,x,soon\n", "."), NsfError);
    EXPECT_EQ(trackFileName(3, "A/B: \"c\"?. ", ".wav"), "03 A_B_ _c__.wav");

    // Lengths: the track's own plus its fade; none: 120 s plus a fade, or
    // until silence; --length: exactly that, faded only when asked.
    Options o;
    Track t;
    t.lengthMs = 90000;
    t.fadeMs = 4000;
    RenderPlan p = planFor(o, t);
    EXPECT_EQ(p.player.seconds, 94.0);
    EXPECT_EQ(p.fadeSeconds, 4.0);
    EXPECT_EQ(p.player.silenceSeconds, 0.0);
    t.lengthMs = -1;
    p = planFor(o, t);
    EXPECT_EQ(p.player.seconds, kDefaultLengthSeconds + kDefaultFadeSeconds);
    EXPECT_EQ(p.player.silenceSeconds, kDefaultSilenceSeconds);
    o.length = 10.0;
    p = planFor(o, t);
    EXPECT_EQ(p.player.seconds, 10.0);
    EXPECT_EQ(p.fadeSeconds, 0.0);
    EXPECT_EQ(p.player.silenceSeconds, 0.0);
    EXPECT_TRUE(p.filter.has_value());
}
