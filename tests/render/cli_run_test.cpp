// Runs the built pelrin-render program: exit codes, messages, files.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

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
