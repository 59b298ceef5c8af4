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
        Outcome a = nsf(quote(c.file) + " " + c.options + " -l " + c.seconds + " -q -o direct.wav --log song.log");
        ASSERT_EQ(a.code, 0) << c.file << ": " << a.err;
        Outcome b = render("song.log -q -l " + c.seconds + " -o replay.wav");
        ASSERT_EQ(b.code, 0) << c.file << ": " << b.err;
        std::string direct = slurp(dir / "direct.wav"), replayed = slurp(dir / "replay.wav");
        EXPECT_GT(direct.size(), 44u + 100000u) << c.file;
        EXPECT_GT(wavRms(direct), 100.0) << c.file;
        EXPECT_TRUE(direct == replayed) << c.file << " " << c.options << ": the replay differs";
    }
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

TEST_F(NsfCli, JammedAndRunawayCpusAreReportedWithoutOutput) {
    const std::string jam = writeNsf("jam.nsf", buildNsf(program({0xEA, 0x12})));
    Outcome j = nsf(quote(jam) + " -o out.wav --log out.log");
    EXPECT_EQ(j.code, 1);
    EXPECT_EQ(j.err, "pelrin-nsf: " + jam + ": init routine: CPU jammed at $8001 (opcode $12)\n");

    const std::string loop = writeNsf("loop.nsf", buildNsf(program({0x4C, 0x00, 0x80})));
    Outcome r = nsf(quote(loop) + " -l 30 -o out.wav");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "pelrin-nsf: " + loop +
                         ": the init routine at $8000 ran for 10 s of CPU time without returning or touching a sound "
                         "register (runaway; PC $8000)\n");
    expectOnly({"jam.nsf", "loop.nsf"}); // no WAV, no log, no temporary file
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
        {nsfe, nsfe + ": this is an NSFe file, which pelrin-nsf cannot read yet; only NSF files play"},
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
    ASSERT_EQ(nsf(quote(f) + " -q -l 1 -o direct.wav --log t.log").code, 0);
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
