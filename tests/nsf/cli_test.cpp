// The pelrin-nsf program: exit codes, messages, the files it writes, and
// register logs that pelrin-render replays to the same WAV byte for byte.
#include "nsf_builder.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;
using namespace nsf_test;

namespace {

struct Outcome {
    int code = -1;
    std::string out, err;
};

std::string slurp(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string quote(const std::string &s) { return "'" + s + "'"; }

class NsfCli : public ::testing::Test {
protected:
    fs::path dir;

    void SetUp() override {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::temp_directory_path() /
              ("pelrin-nsf-cli-" + std::string(info->name()) + "-" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // Runs a program in the test folder with the given arguments (already quoted).
    Outcome runProgram(const std::string &exe, const std::string &args) {
        const fs::path out = dir / "stdout.txt", err = dir / "stderr.txt";
        std::string cmd = "cd " + quote(dir.string()) + " && " + quote(exe) + " " + args + " >" +
                          quote(out.string()) + " 2>" + quote(err.string()) + " </dev/null";
        int status = std::system(cmd.c_str());
        Outcome r;
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = slurp(out);
        r.err = slurp(err);
        return r;
    }
    Outcome nsf(const std::string &args) { return runProgram(PELRIN_NSF_EXE, args); }
    Outcome render(const std::string &args) { return runProgram(PELRIN_RENDER_EXE, args); }

    std::string file(const std::string &name) { return (dir / name).string(); }
    std::string writeNsf(const std::string &name, const std::vector<uint8_t> &bytes) {
        writeFile(file(name), bytes);
        return file(name);
    }
    // Nothing but `keep` left in the folder (no temporary files).
    void expectOnly(std::initializer_list<std::string> keep) {
        for (const auto &e : fs::directory_iterator(dir)) {
            std::string n = e.path().filename().string();
            if (n == "stdout.txt" || n == "stderr.txt") continue;
            bool wanted = false;
            for (const auto &k : keep) wanted = wanted || n == k;
            EXPECT_TRUE(wanted) << "unexpected file " << n;
        }
    }
};

uint32_t le32(const std::string &s, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1]) << 8 |
                                 static_cast<uint8_t>(s[at + 2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(s[at + 3])) << 24);
}

double wavRms(const std::string &wav) {
    size_t n = (wav.size() - 44) / 2;
    double mean = 0, acc = 0;
    std::vector<double> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint8_t>(wav[44 + 2 * i]) |
                                                          static_cast<uint8_t>(wav[45 + 2 * i]) << 8));
        mean += v[i];
    }
    mean /= static_cast<double>(n ? n : 1);
    for (double x : v) acc += (x - mean) * (x - mean);
    return n ? std::sqrt(acc / static_cast<double>(n)) : 0.0;
}

NsfLayout program(std::vector<uint8_t> code) {
    NsfLayout s;
    s.data = std::move(code);
    return s;
}

TEST_F(NsfCli, HelpAndInfo) {
    Outcome h = nsf("--help");
    EXPECT_EQ(h.code, 0);
    EXPECT_EQ(h.out.rfind("Usage: pelrin-nsf FILE.nsf [OPTIONS]\n", 0), 0u);
    Outcome i = nsf(quote(dataFile("pently.nsf")) + " --info");
    EXPECT_EQ(i.code, 0) << i.err;
    EXPECT_NE(i.out.find("songs:       21 (starting song 1)\n"), std::string::npos) << i.out;
    EXPECT_NE(i.out.find("load:        $C000\ninit:        $C000\nplay:        $C0B6\n"), std::string::npos);
    EXPECT_NE(i.out.find("title:       argument turned on (inst.)\n"), std::string::npos);
    EXPECT_NE(i.out.find("expansion:   none\n"), std::string::npos);
    Outcome v = nsf("--info " + quote(dataFile("bhop_saw_vol_test.nsf")));
    EXPECT_NE(v.out.find("expansion:   VRC6\n"), std::string::npos) << v.out;
    expectOnly({});
}

TEST_F(NsfCli, WritesAWavFile) {
    Outcome r = nsf(quote(dataFile("pently.nsf")) + " -t 3 -l 2 -o out.wav");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "pelrin-nsf: track 3 of 21, 2.00 s, 44100 Hz mono, wrote out.wav\n");
    std::string wav = slurp(dir / "out.wav");
    ASSERT_EQ(wav.size(), 44u + 2u * 44100u * 2u);
    EXPECT_EQ(wav.substr(0, 4), "RIFF");
    EXPECT_EQ(wav.substr(8, 4), "WAVE");
    EXPECT_EQ(le32(wav, 24), 44100u);
    EXPECT_EQ(le32(wav, 40), 2u * 44100u * 2u);
    EXPECT_GT(wavRms(wav), 100.0);
    expectOnly({"out.wav"});

    Outcome s = nsf(quote(dataFile("nat_db_apu.nsf")) + " -l 1 --stereo --rate 22050 -o st.wav -q");
    ASSERT_EQ(s.code, 0) << s.err;
    EXPECT_EQ(s.out, "");
    std::string st = slurp(dir / "st.wav");
    ASSERT_EQ(st.size(), 44u + 22050u * 4u);
    EXPECT_EQ(static_cast<uint8_t>(st[22]), 2); // channels
    EXPECT_EQ(le32(st, 24), 22050u);
}

TEST_F(NsfCli, DefaultOutputNameAndLogOnly) {
    Outcome r = nsf(quote(dataFile("pently.nsf")) + " -l 1 -q");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(slurp(dir / "pently.wav").size(), 44u + 44100u * 2u);
    fs::remove(dir / "pently.wav");
    Outcome l = nsf(quote(dataFile("pently.nsf")) + " -l 1 -q --log only.log");
    ASSERT_EQ(l.code, 0) << l.err;
    expectOnly({"only.log"}); // no WAV when only a log is asked for
    EXPECT_EQ(slurp(dir / "only.log").rfind("# pelrin-nsf: track 1 of 21", 0), 0u);
}

// The register log replays through pelrin-render (each program with a fresh
// library) to the very same WAV file.
TEST_F(NsfCli, LogReplaysByteForByte) {
    NsfLayout dmc; // DMC looping over a bankswitched page, switched after 30 frames
    dmc.init = 0xF000;
    dmc.play = 0xF015;
    dmc.banks = {0, 0, 0, 0, 1, 0, 0, 0};
    dmc.data.assign(0x3000, 0);
    const uint8_t code[] = {0xA9, 0x4F, 0x8D, 0x10, 0x40, 0xA9, 0x00, 0x8D, 0x12, 0x40, 0xA9, 0xFF, 0x8D, 0x13,
                            0x40, 0xA9, 0x1F, 0x8D, 0x15, 0x40, 0x60, 0xE6, 0x00, 0xA5, 0x00, 0xC9, 0x1E, 0xD0,
                            0x05, 0xA9, 0x02, 0x8D, 0xFC, 0x5F, 0x60};
    std::copy(std::begin(code), std::end(code), dmc.data.begin());
    std::fill(dmc.data.begin() + 0x1000, dmc.data.begin() + 0x2000, 0x5A);
    const std::string dmcFile = writeNsf("dmc.nsf", buildNsf(dmc));
    struct Case {
        std::string file, options, seconds;
    };
    const Case cases[] = {
        {dataFile("pently.nsf"), "-t 1", "4"},
        {dataFile("pently.nsf"), "-t 5 --stereo --region pal", "3"},
        {dataFile("bhop_saw_vol_test.nsf"), "", "3"},
        {dataFile("nat_db_mmc5.nsf"), "", "6"},
        {dataFile("nat_db_n163.nsf"), "--stereo", "6"},
        {dataFile("nat_db_vrc6.nsf"), "", "6"},
        {dataFile("nat_dac_tnd2.nsf"), "", "3"},
        {dataFile("nat_nsf2_irq.nsf"), "", "3"}, // $4011 written from interrupts
        {dmcFile, "", "2"},
    };
    for (const Case &c : cases) {
        Outcome a = nsf(quote(c.file) + " " + c.options + " -l " + c.seconds + " -q --no-filter -o direct.wav --log song.log");
        ASSERT_EQ(a.code, 0) << c.file << ": " << a.err;
        Outcome b = render("song.log -q -l " + c.seconds + " -o replay.wav");
        ASSERT_EQ(b.code, 0) << c.file << ": " << b.err;
        std::string direct = slurp(dir / "direct.wav"), replayed = slurp(dir / "replay.wav");
        EXPECT_GT(direct.size(), 44u + 100000u) << c.file;
        EXPECT_GT(wavRms(direct), 100.0) << c.file;
        EXPECT_TRUE(direct == replayed) << c.file << " " << c.options << ": the replay differs";
    }
}

// The mixer and format options are pelrin-render's, parsed by the same
// code: the same words given to both tools give the same bytes, whether
// pelrin-render replays a plain log with them or pelrin-nsf plays with them.
TEST_F(NsfCli, MixerOptionsMatchPelrinRender) {
    const std::string mix = "--stereo --pan all=0 --pan pulse1=-100 --pan=pulse2=90 --volume triangle=100 --mute noise "
                            "-m 0.8 --triangle symmetric --dmc-ramp on -b 8 -r 22050";
    const std::string song = quote(dataFile("pently.nsf")) + " -t 2 -l 2 -q --no-filter";
    ASSERT_EQ(nsf(song + " -o plain.wav --log plain.log").code, 0);
    Outcome a = nsf(song + " " + mix + " -o mixed.wav --log mixed.log");
    ASSERT_EQ(a.code, 0) << a.err;
    ASSERT_EQ(render("plain.log -q -l 2 " + mix + " -o replay-plain.wav").code, 0);
    ASSERT_EQ(render("mixed.log -q -l 2 -o replay-mixed.wav").code, 0);
    const std::string mixed = slurp(dir / "mixed.wav");
    EXPECT_EQ(mixed.size(), 44u + 2u * 22050u * 2u);
    EXPECT_TRUE(mixed == slurp(dir / "replay-plain.wav"));
    EXPECT_TRUE(mixed == slurp(dir / "replay-mixed.wav"));
    EXPECT_FALSE(mixed == slurp(dir / "plain.wav"));
    // The listening filter too (on by default in pelrin-nsf, asked for here in both).
    ASSERT_EQ(nsf(song + " " + mix + " --filter --lowpass 6000 -o filtered.wav").code, 0);
    ASSERT_EQ(render("plain.log -q -l 2 " + mix + " --filter --lowpass 6000 -o replay-filtered.wav").code, 0);
    EXPECT_TRUE(slurp(dir / "filtered.wav") == slurp(dir / "replay-filtered.wav"));
    EXPECT_FALSE(slurp(dir / "filtered.wav") == mixed);

    // -o -: raw PCM on stdout, as from pelrin-render, or with --wav a WAV stream.
    Outcome w = nsf(song + " " + mix + " -o - --wav");
    Outcome r = nsf(song + " " + mix + " -o -");
    EXPECT_EQ(w.out.substr(0, 4), "RIFF");
    EXPECT_EQ(w.out.substr(44), mixed.substr(44));
    EXPECT_EQ(r.out, mixed.substr(44));
    // Stereo without pans spreads the channels: the two sides differ.
    ASSERT_EQ(nsf(song + " --stereo -o spread.wav").code, 0);
    const std::string spread = slurp(dir / "spread.wav");
    size_t differ = 0;
    for (size_t i = 44; i + 3 < spread.size(); i += 4) differ += spread.compare(i, 2, spread, i + 2, 2) != 0;
    EXPECT_GT(differ, 10000u);
    Outcome v = nsf("--version");
    EXPECT_EQ(v.out.rfind("pelrin-nsf ", 0), 0u);
    Outcome bad = nsf(song + " --solo kazoo");
    EXPECT_EQ(bad.code, 2);
    EXPECT_EQ(bad.err.rfind("pelrin-nsf: --solo: unknown channel 'kazoo'", 0), 0u);
}

// NSFe and M3U files: titles, lengths, fades, playing order; tracks without
// a length end in silence; the listening filter starts and ends at zero.
TEST_F(NsfCli, TracksEndWhereTheirFilesSay) {
    const std::vector<uint8_t> real = readFile(dataFile("pently.nsf"));
    writeFile(file("tune.nsfe"), nsfeFrom(real, {{"tlbl", cstrings({"Intro", "Theme/Main"})},
                                                {"time", le32s({1000, 1500})},
                                                {"fade", le32s({500, 0})},
                                                {"plst", {1, 0}}}));
    Outcome i = nsf("tune.nsfe --info");
    ASSERT_EQ(i.code, 0) << i.err;
    EXPECT_NE(i.out.find("tracks:      2 in playing order (number, length + fade, title)\n"
                         "    2  0:02       Theme/Main\n    1  0:01+0:01  Intro\n"),
              std::string::npos) << i.out;
    Outcome one = nsf("tune.nsfe -t 1 -o one.wav");
    ASSERT_EQ(one.code, 0) << one.err;
    EXPECT_EQ(one.out, "pelrin-nsf: track 1 of 21 \"Intro\", 1.50 s, 44100 Hz mono, wrote one.wav\n");
    const std::string w = slurp(dir / "one.wav");
    ASSERT_EQ(w.size(), 44u + 2u * 66150u);
    auto sample = [&](size_t k) { return static_cast<int16_t>(static_cast<uint8_t>(w[44 + 2 * k]) | static_cast<uint8_t>(w[45 + 2 * k]) << 8); };
    EXPECT_EQ(sample(0), 0);         // the high-pass starts at rest, not at -8192
    EXPECT_EQ(sample(66149), 0);     // faded out

    fs::copy_file(dataFile("pently.nsf"), file("pently.nsf"));
    std::ofstream(file("list.m3u")) << "#EXTM3U\npently.nsf::NSF,2,Second\\, short,0:01,,0\npently.nsf::NSF,3,,,,\n";
    Outcome m = nsf("list.m3u --info");
    EXPECT_NE(m.out.find("    2  0:01       Second, short\n    3  ?          \n"), std::string::npos) << m.out;
    Outcome all = nsf("list.m3u --all --silence 1 -o songs");
    ASSERT_EQ(all.code, 0) << all.err;
    EXPECT_EQ(slurp(dir / "songs" / "01 Second, short.wav").size(), 44u + 2u * 44100u);
    // Without a length, track 3 ends after a second of silence.
    const auto second = fs::file_size(dir / "songs" / "02 track 3.wav");
    EXPECT_GT(second, 44u + 2u * 44100u * 5);
    EXPECT_LT(second, 44u + 2u * 44100u * 120);

    Outcome stems = nsf("pently.nsf -t 2 -l 1 --stems parts");
    ASSERT_EQ(stems.code, 0) << stems.err;
    EXPECT_EQ(stems.out, "pelrin-nsf: track 2: 3 stems in parts: dmc pulse1 pulse2\n");
    EXPECT_EQ(fs::file_size(dir / "parts" / "pulse1.wav"), 44u + 2u * 44100u);
}

// --play renders exactly what a WAV render writes: SDL's disk driver
// records what was played, with silence before (the device runs paused
// while the first half second is queued) and after (until it closes).
TEST_F(NsfCli, PlayedSoundEqualsTheWavRender) {
    const std::string song = quote(dataFile("pently.nsf")) + " -t 2 -l 1.5 --stereo --rate 22050";
    Outcome p = nsf("--play " + song);
    if (!PELRIN_NSF_PLAY) {
        EXPECT_EQ(p.code, 2);
        EXPECT_EQ(p.err.rfind("pelrin-nsf: --play is unavailable", 0), 0u) << p.err;
        return;
    }
    const std::string env = "SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=" + quote(file("played.raw")) + " ";
    Outcome wav = nsf(song + " -q -o song.wav");
    ASSERT_EQ(wav.code, 0) << wav.err;
    const std::string cmd = "cd " + quote(dir.string()) + " && " + env + quote(PELRIN_NSF_EXE) + " --play " + song +
                            " </dev/null >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    const std::string played = slurp(dir / "played.raw"), data = slurp(dir / "song.wav").substr(44);
    const size_t lead = played.find_first_not_of('\0') - data.find_first_not_of('\0');
    ASSERT_LE(lead + data.size(), played.size());
    EXPECT_EQ(lead % 4, 0u); // whole stereo frames
    EXPECT_TRUE(played.compare(lead, data.size(), data) == 0);
    EXPECT_EQ(played.find_first_not_of('\0', lead + data.size()), std::string::npos);
}

// --picture: a PNG with one lane per channel heard (libpng), or a clear
// message in a build without it.
TEST_F(NsfCli, PictureOfATrack) {
    Outcome p = nsf(quote(dataFile("pently.nsf")) + " -t 5 -l 20 --picture roll.png");
    if (!PELRIN_NSF_PICTURE) {
        EXPECT_EQ(p.code, 2);
        EXPECT_EQ(p.err.rfind("pelrin-nsf: --picture is unavailable", 0), 0u) << p.err;
        return;
    }
    ASSERT_EQ(p.code, 0) << p.err;
    EXPECT_EQ(p.out, "pelrin-nsf: track 5: 20.00 s, 4 lanes, 416x598 picture roll.png\n");
    const std::string png = slurp(dir / "roll.png");
    ASSERT_GT(png.size(), 1000u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    EXPECT_EQ(png.substr(12, 4), "IHDR");
    auto be32 = [&](size_t at) { return static_cast<uint32_t>(static_cast<uint8_t>(png[at]) << 24 | static_cast<uint8_t>(png[at + 1]) << 16 |
                                                             static_cast<uint8_t>(png[at + 2]) << 8 | static_cast<uint8_t>(png[at + 3])); };
    EXPECT_EQ(be32(16), 416u);
    EXPECT_EQ(be32(20), 598u);
}

TEST_F(NsfCli, BadFilesGiveOneLineErrors) {
    const std::string magic = writeNsf("magic.nsf", {'h', 'e', 'l', 'l', 'o', '\n'});
    Outcome m = nsf(quote(magic) + " -o out.wav");
    EXPECT_EQ(m.code, 1);
    EXPECT_EQ(m.err, "pelrin-nsf: " + magic + ": not an NSF file (bad magic)\n");

    std::vector<uint8_t> real = readFile(dataFile("pently.nsf"));
    const std::string cut = writeNsf("cut.nsf", std::vector<uint8_t>(real.begin(), real.begin() + 100));
    Outcome t = nsf(quote(cut) + " -o out.wav");
    EXPECT_EQ(t.code, 1);
    EXPECT_EQ(t.err, "pelrin-nsf: " + cut + ": truncated header (100 bytes, need 128)\n");

    std::vector<uint8_t> zero = real;
    zero[6] = 0;
    const std::string none = writeNsf("none.nsf", zero);
    Outcome z = nsf(quote(none) + " -o out.wav");
    EXPECT_EQ(z.code, 1);
    EXPECT_EQ(z.err, "pelrin-nsf: " + none + ": the file has no songs (song count 0)\n");

    NsfLayout low = program({0x60});
    low.load = 0x7000;
    const std::string lowFile = writeNsf("low.nsf", buildNsf(low));
    Outcome l = nsf(quote(lowFile));
    EXPECT_EQ(l.code, 1);
    EXPECT_EQ(l.err, "pelrin-nsf: " + lowFile + ": load address $7000 is out of range ($8000-$FFFF)\n");

    Outcome range = nsf(quote(dataFile("pently.nsf")) + " -t 22 -o out.wav");
    EXPECT_EQ(range.code, 1);
    EXPECT_EQ(range.err, "pelrin-nsf: " + dataFile("pently.nsf") + ": track 22 is out of range (the file has 21 songs)\n");

    Outcome missing = nsf(quote(file("absent.nsf")));
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.err, "pelrin-nsf: " + file("absent.nsf") + ": cannot open '" + file("absent.nsf") + "'\n");
    expectOnly({"magic.nsf", "cut.nsf", "none.nsf", "low.nsf"});
}

TEST_F(NsfCli, JammedCpusEndTracksAndLoopingOnesPlay) {
    const std::string jam = writeNsf("jam.nsf", buildNsf(program({0xEA, 0x12})));
    Outcome j = nsf(quote(jam) + " -o out.wav --log out.log");
    EXPECT_EQ(j.code, 1);
    EXPECT_EQ(j.err, "pelrin-nsf: " + jam + ": init routine: CPU jammed at $8001 (opcode $12)\n");

    // A program that sets nothing up and loops is silence, rendered in full.
    const std::string loop = writeNsf("loop.nsf", buildNsf(program({0x4C, 0x00, 0x80})));
    Outcome r = nsf(quote(loop) + " -l 3 -o out.wav");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(slurp(dir / "out.wav").size(), 44u + 3u * 44100u * 2u);

    // Play jams after some frames: the track ends there, with a warning.
    NsfLayout late = program({0x60, 0xE6, 0x00, 0xA5, 0x00, 0xC9, 0x14, 0xD0, 0x01, 0x02, 0x60});
    late.play = 0x8001;
    const std::string lateFile = writeNsf("late.nsf", buildNsf(late));
    Outcome l = nsf(quote(lateFile) + " -l 3 -q -o late.wav");
    EXPECT_EQ(l.code, 0);
    EXPECT_EQ(l.err, "pelrin-nsf: warning: " + lateFile + ": play routine: CPU jammed at $8009 (opcode $02); the track ends there\n");
    EXPECT_NEAR(static_cast<double>(slurp(dir / "late.wav").size() - 44) / 2 / 44100, 20 / 60.0, 0.02);
    expectOnly({"jam.nsf", "loop.nsf", "late.nsf", "out.wav", "late.wav"}); // nothing from the jam at init
}

TEST_F(NsfCli, UsageAndOutputErrors) {
    Outcome none = nsf("");
    EXPECT_EQ(none.code, 2);
    EXPECT_EQ(none.err, "pelrin-nsf: no NSF file given\nTry 'pelrin-nsf --help' for more information.\n");
    Outcome track = nsf(quote(dataFile("pently.nsf")) + " -t 0");
    EXPECT_EQ(track.code, 2);
    EXPECT_EQ(track.err.rfind("pelrin-nsf: track must be a number 1..256\n", 0), 0u);
    Outcome opt = nsf(quote(dataFile("pently.nsf")) + " --bogus");
    EXPECT_EQ(opt.code, 2);
    EXPECT_EQ(opt.err.rfind("pelrin-nsf: unknown option --bogus\n", 0), 0u);
    Outcome len = nsf(quote(dataFile("pently.nsf")) + " -l -3");
    EXPECT_EQ(len.code, 2);

    Outcome dirOut = nsf(quote(dataFile("pently.nsf")) + " -l 1 -o " + quote(dir.string()));
    EXPECT_EQ(dirOut.code, 1);
    EXPECT_EQ(dirOut.err, "pelrin-nsf: '" + dir.string() + "' is a directory\n");
    Outcome noDir = nsf(quote(dataFile("pently.nsf")) + " -l 1 -o no/such/folder/out.wav");
    EXPECT_EQ(noDir.code, 1);
    EXPECT_EQ(noDir.err.rfind("pelrin-nsf: cannot", 0), 0u) << noDir.err;
    Outcome noLog = nsf(quote(dataFile("pently.nsf")) + " -l 1 -o fine.wav --log no/such/folder/x.log");
    EXPECT_EQ(noLog.code, 1);
    EXPECT_EQ(noLog.err, "pelrin-nsf: cannot write 'no/such/folder/x.log': No such file or directory\n");
    expectOnly({});
}

TEST_F(NsfCli, WarnsAboutWhatItCannotPlay) {
    // Version 2 interrupts are played: no warning.
    Outcome irq = nsf(quote(dataFile("nat_nsf2_irq.nsf")) + " -l 1 -q -o irq.wav");
    EXPECT_EQ(irq.code, 0);
    EXPECT_EQ(irq.err, "");
    for (uint8_t flags : {0x20, 0x40, 0x30}) {
        NsfLayout v2 = program({0x60, 0x60});
        v2.version = 2;
        v2.flags = flags;
        const std::string v2File = writeNsf("v2.nsf", buildNsf(v2));
        Outcome o = nsf(quote(v2File) + " -l 1 -q -o v2.wav");
        EXPECT_EQ(o.code, 0);
        EXPECT_EQ(o.err, "pelrin-nsf: warning: the file asks for a version 2 non-returning init or no play routine, "
                         "which are not supported; it may not play as intended\n")
            << int(flags);
    }
    NsfLayout two = program({0x60, 0x60});
    two.chips = 0x18;
    const std::string twoFile = writeNsf("two.nsf", buildNsf(two));
    Outcome t = nsf(quote(twoFile) + " -l 1 -q -o two.wav");
    EXPECT_EQ(t.code, 0);
    EXPECT_EQ(t.err, "pelrin-nsf: warning: expansion chip byte $18 names several chips (MMC5, Namco 163); playing "
                     "MMC5 and the 2A03 only\n");
}

} // namespace

// Inputs that are not NSF files, or that cannot be read whole safely.
TEST_F(NsfCli, WrongKindsOfInputAreNamed) {
    const std::string nsfe = writeNsf("song.nsfe", {'N', 'S', 'F', 'E', 8, 0, 0, 0, 'I', 'N', 'F', 'O'});
    ASSERT_EQ(mkfifo(file("fifo").c_str(), 0600), 0);
    std::vector<uint8_t> huge = readFile(dataFile("pently.nsf"));
    huge.resize((4u << 20) + 1);
    const std::string big = writeNsf("big.nsf", huge);
    const std::pair<std::string, std::string> cases[] = {
        {nsfe, nsfe + ": truncated chunk 'INFO' (8 bytes, 0 left)"}, // NSFe files are read now
        {dir.string(), dir.string() + ": '" + dir.string() + "' is a directory, not an NSF file"},
        {file("fifo"), file("fifo") + ": '" + file("fifo") +
                           "' is not a regular file (a device, FIFO or socket cannot be read as an NSF file)"},
        {big, big + ": '" + big + "' is too large for an NSF file (4194305 bytes, at most 4194304)"},
    };
    for (const auto &[input, message] : cases) {
        Outcome r = nsf(quote(input) + " -o out.wav");
        EXPECT_EQ(r.code, 1) << input;
        EXPECT_EQ(r.err, "pelrin-nsf: " + message + "\n");
    }
    expectOnly({"song.nsfe", "fifo", "big.nsf"});
}

// Control bytes of a title are escaped on the terminal and in the log, whose
// header stays one comment line, so the replay equals the direct render.
TEST_F(NsfCli, ControlBytesInTitlesAreEscaped) {
    NsfLayout s = program({0x60, 0x60});
    s.title = "a\nw 0 $4015 $1F\x1b[2J";
    const std::string f = writeNsf("t.nsf", buildNsf(s));
    Outcome i = nsf(quote(f) + " --info");
    EXPECT_NE(i.out.find("title:       a\\x0Aw 0 $4015 $1F\\x1B[2J\n"), std::string::npos) << i.out;
    ASSERT_EQ(nsf(quote(f) + " -q -l 1 --no-filter -o direct.wav --log t.log").code, 0);
    EXPECT_EQ(slurp(dir / "t.log").rfind("# pelrin-nsf: track 1 of 1, \"a\\x0Aw 0 $4015 $1F\\x1B[2J\"\n# Cyc", 0), 0u);
    ASSERT_EQ(render("t.log -q -l 1 -o replay.wav").code, 0);
    EXPECT_EQ(slurp(dir / "direct.wav"), slurp(dir / "replay.wav"));
}

// Outputs: never over an input (by identity), a full device fails, a log
// through a symbolic link, `-o -` is standard output, and a WAV file that
// could not hold the length is refused before any rendering.
TEST_F(NsfCli, OutputsAreSafe) {
    const std::string song = writeNsf("song.nsf", readFile(dataFile("pently.nsf")));
    fs::create_hard_link(song, file("alias.nsf"));
    for (const std::string args : {"-o song.nsf", "-o alias.nsf", "--log alias.nsf"}) {
        Outcome r = nsf("song.nsf -l 1 " + args);
        EXPECT_EQ(r.code, 1) << args;
        EXPECT_EQ(r.err.rfind("pelrin-nsf: refusing to write over the input file '", 0), 0u) << r.err;
        EXPECT_EQ(readFile(song), readFile(dataFile("pently.nsf")));
    }
    fs::path full = "/dev/full"; // replaced by a node of our own when root may make one
    if (geteuid() == 0 && mknod(file("full").c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0) full = file("full");
    Outcome d = nsf("song.nsf -l 1 -o " + full.string());
    EXPECT_EQ(d.code, 1);
    EXPECT_EQ(d.err, "pelrin-nsf: cannot write '" + full.string() + "': No space left on device\n");
    EXPECT_TRUE(fs::is_character_file(full));

    fs::create_symlink("logs.txt", dir / "link.log");
    Outcome raw = nsf("song.nsf -q -l 1 -o - --log link.log");
    ASSERT_EQ(raw.code, 0) << raw.err;
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir / "link.log")));
    EXPECT_EQ(slurp(dir / "logs.txt").rfind("# pelrin-nsf: track 1 of 21", 0), 0u);
    EXPECT_EQ(raw.out.size(), 2u * 44100u);
    EXPECT_FALSE(fs::exists(dir / "-"));

    Outcome twice = nsf("song.nsf -l 1 -o x.out --log x.out");
    EXPECT_EQ(twice.err, "pelrin-nsf: 'x.out' is given as two outputs\n");
    EXPECT_EQ(nsf("song.nsf -q -l 1 -o /dev/null --log /dev/null").code, 0); // written straight, never renamed over

    Outcome big = nsf("song.nsf -l 86400 --rate 192000 --stereo -o big.wav");
    EXPECT_EQ(big.code, 1);
    EXPECT_EQ(big.err, "pelrin-nsf: the output would exceed the 4 GiB a WAV file can hold; render less or use -o - "
                       "for raw PCM\n");
    expectOnly({"song.nsf", "alias.nsf", "full", "link.log", "logs.txt"});
}

// SIGINT and SIGTERM remove the temporary WAV and log files.
TEST_F(NsfCli, SignalsLeaveNoTemporaryFiles) {
    writeNsf("song.nsf", readFile(dataFile("pently.nsf")));
    for (const char *sig : {"INT", "TERM"}) {
        const std::string cmd = "cd " + quote(dir.string()) + " && { " + quote(PELRIN_NSF_EXE) +
                                " song.nsf -q -l 3000 -o out.wav --log out.log & } && sleep 0.5 && kill -" + sig +
                                " $! && wait $!";
        int status = std::system(cmd.c_str());
        EXPECT_NE(status, 0) << sig;
        expectOnly({"song.nsf"});
    }
}
