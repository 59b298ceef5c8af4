// Runs the built pelrin-render program: exit codes, messages, files.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct Result {
    int code;
    std::string out, err;
};

class CliRun : public ::testing::Test {
protected:
    void SetUp() override {
        // Unique per test and per run, so that parallel runs do not meet.
        dir_ = fs::temp_directory_path() /
               ("pelrin-render-cli-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                "-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    static std::string read(const fs::path &p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    void write(const std::string &name, const std::string &text) {
        std::ofstream f(dir_ / name, std::ios::binary);
        f << text;
    }

    // Runs the program in the test's directory with args (shell words).
    Result run(const std::string &args) {
        std::string cmd = "cd '" + dir_.string() + "' && '" PELRIN_RENDER_EXE "' " + args + " >stdout.txt 2>stderr.txt";
        int status = std::system(cmd.c_str());
        Result r;
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = read(dir_ / "stdout.txt");
        r.err = read(dir_ / "stderr.txt");
        fs::remove(dir_ / "stdout.txt");
        fs::remove(dir_ / "stderr.txt");
        return r;
    }

    size_t fileCount() const {
        size_t n = 0;
        for ([[maybe_unused]] auto &e : fs::directory_iterator(dir_)) ++n;
        return n;
    }

    fs::path dir_;
};

const char *kLog = "w 0 $4015 $01\nw 4 $4000 $BF\nw 8 $4001 $08\nw 12 $4002 253\nw 16 $4003 $F8\nrun 178977\n";

} // namespace

TEST_F(CliRun, HelpExitsZero) {
    Result r = run("--help");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("Usage: pelrin-render"), std::string::npos);
    EXPECT_NE(r.out.find("--master-volume"), std::string::npos);
    EXPECT_TRUE(r.err.empty());
}

TEST_F(CliRun, VersionExitsZero) {
    Result r = run("--version");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.rfind("pelrin-render ", 0), 0u);
}

TEST_F(CliRun, BadArgumentsExitNonZeroWithAMessage) {
    for (const char *args : {"--frobnicate", "--rate 5", "--bits", "--solo kazoo", "a.log b.log"}) {
        Result r = run(args);
        EXPECT_EQ(r.code, 2) << args;
        EXPECT_EQ(r.err.rfind("pelrin-render: ", 0), 0u) << args << ": " << r.err;
        EXPECT_EQ(fileCount(), 0u) << args;
    }
}

TEST_F(CliRun, MalformedLogNamesTheLineAndWritesNothing) {
    write("bad.log", "# fine\nw 0 $4015 $01\nw 10 $4000\n");
    Result r = run("bad.log");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "pelrin-render: bad.log:3: expected: w CYCLE ADDRESS VALUE\n");
    EXPECT_FALSE(fs::exists(dir_ / "bad.wav"));
    EXPECT_EQ(fileCount(), 1u);
}

TEST_F(CliRun, MissingLogIsAnError) {
    Result r = run("missing.log");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("missing.log: cannot open"), std::string::npos) << r.err;
}

TEST_F(CliRun, UnwritableOutputIsAnError) {
    write("ok.log", kLog);
    Result r = run("ok.log -o /nonexistent-dir/out.wav");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("pelrin-render: cannot write '/nonexistent-dir/out.wav'"), std::string::npos) << r.err;
}

TEST_F(CliRun, RendersALogBesideIt) {
    write("ok.log", kLog);
    Result r = run("ok.log --stereo -r 22050");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("wrote ok.wav"), std::string::npos) << r.out;
    std::string wav = read(dir_ / "ok.wav");
    ASSERT_GT(wav.size(), 44u);
    EXPECT_EQ(wav.substr(0, 4), "RIFF");
    // 0.1 s of 16-bit stereo at 22050 Hz, give or take a frame.
    EXPECT_NEAR(static_cast<double>(wav.size() - 44), 2205.0 * 4, 8.0);
    EXPECT_EQ(fileCount(), 2u); // the log and the WAV, no temporary file
}

TEST_F(CliRun, DashWritesRawPcmToStdout) {
    write("ok.log", kLog);
    Result r = run("ok.log -o - -q -l 0.5 -r 8000 -b 8");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.size(), 4000u); // exactly 0.5 s of 8-bit mono
    EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST_F(CliRun, NoArgumentsRendersTheDemo) {
    Result r = run("");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("pelrin-demo.wav"), std::string::npos) << r.out;
    EXPECT_GT(fs::file_size(dir_ / "pelrin-demo.wav"), 44100u * 2 * 30);
}

TEST_F(CliRun, DemoLogRoundTrips) {
    Result r = run("--demo-log");
    EXPECT_EQ(r.code, 0);
    write("demo.log", r.out);
    Result again = run("demo.log -q");
    EXPECT_EQ(again.code, 0) << again.err;
    EXPECT_GT(fs::file_size(dir_ / "demo.wav"), 44100u * 2 * 30);
}

TEST_F(CliRun, LogFromStandardInput) {
    write("ok.log", kLog);
    Result r = run("- -o piped.wav < ok.log");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir_ / "piped.wav"));
    r = run("- < ok.log");
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("needs -o"), std::string::npos) << r.err;
}

TEST_F(CliRun, RefusesImpossibleOutputsBeforeRendering) {
    write("ok.log", kLog);
    fs::create_directories(dir_ / "sub");
    Result r = run("ok.log -o sub");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "pelrin-render: 'sub' is a directory\n");
    r = run("ok.log -l 86400 -r 192000 -c 2");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("4 GiB"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "ok.wav"));
}

// Hostile inputs: folders, FIFOs, NULs, over-long lines, other kinds of file;
// each gets a one-line message of the tool's own and writes nothing.
TEST_F(CliRun, HostileInputsGetClearErrors) {
    fs::create_directories(dir_ / "sub");
    ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    write("memdir.log", "memfile $C000 sub\n");
    write("memempty.log", "memfile $C000 \"\"\n");
    write("nuls.log", std::string(4096, '\0'));
    write("long.log", "# " + std::string(2u << 20, 'x') + "\nrun 10\n");
    write("song.nsf", std::string("NESM\x1a\x01\x01\x01\x00\x80\x00\x80\x03\x80\x1b[2Jtitle", 24));
    write("esc.log", "\x1b]0;owned\x07 1 2\n");
    const std::pair<const char *, const char *> cases[] = {
        {"sub", "pelrin-render: sub: 'sub' is a directory, not a register log\n"},
        {"fifo", "pelrin-render: fifo: 'fifo' is not a regular file (a device, FIFO or socket cannot be read as a "
                 "register log)\n"},
        {"memdir.log", "pelrin-render: memdir.log:1: 'sub' is a directory, not a file\n"},
        {"memempty.log", "pelrin-render: memempty.log:1: empty file name\n"},
        {"nuls.log", "pelrin-render: nuls.log:1: line contains a NUL byte; a register log is text\n"},
        {"long.log", "pelrin-render: long.log:1: line is longer than 1048576 bytes\n"},
        {"song.nsf", "pelrin-render: song.nsf: this is an NSF music file, not a register log; play it with "
                     "pelrin-nsf\n"},
        {"esc.log", "pelrin-render: esc.log:1: unknown command '\\x1B]0;owned\\x07'\n"},
    };
    for (const auto &[input, message] : cases) {
        Result r = run(std::string(input) + " -o out.wav");
        EXPECT_EQ(r.code, 1) << input;
        EXPECT_EQ(r.err, message) << input;
        EXPECT_FALSE(fs::exists(dir_ / "out.wav")) << input;
    }
    Result in = run("- -o out.wav < sub");
    EXPECT_EQ(in.code, 1);
    EXPECT_EQ(in.err, "pelrin-render: cannot read standard input: Is a directory\n");
}

// Logs that used to fail inside the render: empty memory images, a clock
// slower than the default; relative cycles that wrap are refused; an empty
// log renders but says it holds no sound.
TEST_F(CliRun, EdgeLogsRenderOrFailCleanly) {
    write("b.bin", "0123456789");
    write("empty.log", "# nothing\n");
    write("mem.log", "memfile $D000 b.bin 4 0\nmem $8000 \"\"\nw 0 $4015 $10\nrun 1000\n");
    write("slow.log", "environment ntsc 100000 7457.5\nw 0 $4015 $01\nw 0 $4000 $BF\nrun 50000\n");
    write("wrap.log", "w 1000 $4015 $01\nw +18446744073709551615 $4000 $BF\n");
    EXPECT_EQ(run("mem.log -q").code, 0);
    Result slow = run("slow.log -q");
    EXPECT_EQ(slow.code, 0) << slow.err;
    EXPECT_EQ(read(dir_ / "slow.wav").size(), 44u + 2u * (50000u * 44100u / 100000u));
    Result wrap = run("wrap.log");
    EXPECT_EQ(wrap.code, 1);
    EXPECT_EQ(wrap.err, "pelrin-render: wrap.log:2: cycle +18446744073709551615 is too large\n");
    Result empty = run("empty.log");
    EXPECT_EQ(empty.code, 0);
    EXPECT_EQ(empty.err, "pelrin-render: warning: empty.log has no w, r or run line: the output holds no sound "
                         "(-l SECONDS renders a length)\n");
}

// Outputs that are not plain new files: a device is written straight through
// and a failed write is an error; a symbolic link is followed; a FIFO gets
// the WAV stream; an input is never overwritten, under any name.
TEST_F(CliRun, OutputsOntoDevicesLinksFifosAndInputs) {
    write("song.log", kLog);
    // A full device: a node made here when root may make one, else /dev/full,
    // which an ordinary user cannot replace.
    fs::path full = "/dev/full";
    if (geteuid() == 0 && mknod((dir_ / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0) full = dir_ / "full";
    Result r = run("song.log -o " + full.string());
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "pelrin-render: cannot write '" + full.string() + "': No space left on device\n");
    EXPECT_TRUE(fs::is_character_file(full));

    fs::create_directories(dir_ / "real");
    fs::create_symlink("real/target.wav", dir_ / "link.wav");
    EXPECT_EQ(run("song.log -q -o link.wav").code, 0);
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir_ / "link.wav")));
    EXPECT_EQ(read(dir_ / "real/target.wav").substr(0, 4), "RIFF");

    ASSERT_EQ(mkfifo((dir_ / "pipe").c_str(), 0600), 0);
    // The reader starts first, in the background, so that opening the FIFO never waits for ever.
    std::system(("cd '" + dir_.string() + "' && { timeout 20 cat pipe > piped.wav & } && '" PELRIN_RENDER_EXE
                 "' song.log -q -o pipe && wait").c_str());
    EXPECT_TRUE(fs::is_fifo(dir_ / "pipe"));
    EXPECT_EQ(read(dir_ / "piped.wav"), read(dir_ / "real/target.wav"));

    Result out = run("song.log -q -o /dev/stdout"); // a link whose text is no path
    EXPECT_EQ(out.code, 0) << out.err;
    EXPECT_EQ(out.out, read(dir_ / "real/target.wav"));

    fs::create_hard_link(dir_ / "song.log", dir_ / "alias.log");
    for (const char *target : {"song.log", "alias.log"}) {
        Result same = run(std::string("song.log -o ") + target);
        EXPECT_EQ(same.code, 1);
        EXPECT_EQ(same.err, std::string("pelrin-render: refusing to write over the input file '") + target + "'\n");
        EXPECT_EQ(read(dir_ / "song.log"), kLog);
    }
}

// Memory follows the render, not the log: a 400000-line log is parsed as it
// renders (it used to be held whole, with every command, some 60 MB).
TEST_F(CliRun, LongLogsRenderInBoundedMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer keeps freed memory; the bound holds for plain builds";
#endif
    std::string log = "w 0 $4015 $01\n";
    for (int i = 0; i < 400000; ++i) log += "w +10 $4000 $BF\n";
    write("long.log", log);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (chdir(dir_.c_str()) != 0) _exit(127);
        execl(PELRIN_RENDER_EXE, PELRIN_RENDER_EXE, "long.log", "-q", static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    ASSERT_EQ(wait4(pid, &status, 0, &usage), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_LT(usage.ru_maxrss, 32 * 1024) << "peak resident set in KiB";
}

// SIGINT while standard input is read removes its temporary copy.
TEST_F(CliRun, InterruptedStandardInputLeavesNoTemporaryFile) {
    ASSERT_EQ(mkfifo((dir_ / "in").c_str(), 0600), 0);
    fs::create_directories(dir_ / "tmp");
    // A writer holds the FIFO open and silent, so the program waits in its read.
    const std::string cmd = "cd '" + dir_.string() + "' && { sleep 2 > in & } && { TMPDIR=tmp '" PELRIN_RENDER_EXE
                            "' - -o out.wav < in & } && sleep 0.5 && ls tmp > listed.txt && kill -INT $! && wait $!";
    EXPECT_NE(std::system(cmd.c_str()), 0);
    EXPECT_EQ(read(dir_ / "listed.txt").rfind("pelrin-render-stdin-", 0), 0u);
    EXPECT_TRUE(fs::is_empty(dir_ / "tmp"));
    EXPECT_FALSE(fs::exists(dir_ / "out.wav"));
}
