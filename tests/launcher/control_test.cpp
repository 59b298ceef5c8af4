// The option text and the emulator command line. system() is the recording
// one from system_recorder.cpp, so nothing is run.
#include "control.h"
#include "system_recorder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// OptionString as the program starts (it is constant-initialised, so this
// copy is taken before any test touches it).
const std::string kInitialOptions(OptionString);

const std::string kAllOff = "\"          ";  // closing quote + ten spaces

class Control : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::memcpy(OptionString, kInitialOptions.c_str(), kInitialOptions.size() + 1);
        system_recorder::Reset();
    }

    static std::string Options() { return std::string(OptionString, sizeof OptionString); }

    // Runs control_cargar and returns the one command it handed to system().
    static std::string CommandFor(const std::string& path)
    {
        std::string buffer = path;
        const size_t before = system_recorder::Commands().size();
        control_cargar(buffer.data(), OptionString);
        EXPECT_EQ(system_recorder::Commands().size(), before + 1);
        return system_recorder::Commands().empty() ? std::string() : system_recorder::Commands().back();
    }
};

TEST_F(Control, StartsWithAllOptionsOff)
{
    EXPECT_EQ(kInitialOptions, kAllOff);
    EXPECT_EQ(sizeof OptionString, 12u);
    EXPECT_EQ(OptionString[11], '\0');
}

TEST_F(Control, EachOptionTurnsOnInItsOwnFieldOnly)
{
    EXPECT_EQ(control_opciones(1, OptionString), 1);
    EXPECT_EQ(Options(), std::string("\" -fs      \0", 12));
    SetUp();
    EXPECT_EQ(control_opciones(2, OptionString), 1);
    EXPECT_EQ(Options(), std::string("\"     -t   \0", 12));
    SetUp();
    EXPECT_EQ(control_opciones(3, OptionString), 1);
    EXPECT_EQ(Options(), std::string("\"        -s\0", 12));
}

TEST_F(Control, SecondToggleTurnsTheOptionOffAgain)
{
    for (int option = 1; option <= 3; ++option) {
        SCOPED_TRACE(option);
        ASSERT_EQ(control_opciones(option, OptionString), 1);
        EXPECT_EQ(control_opciones(option, OptionString), 0);
        EXPECT_EQ(Options(), kAllOff + std::string(1, '\0'));
        EXPECT_EQ(std::strlen(OptionString), 11u);
    }
}

TEST_F(Control, OptionsAreIndependent)
{
    EXPECT_EQ(control_opciones(1, OptionString), 1);
    EXPECT_EQ(control_opciones(3, OptionString), 1);
    EXPECT_EQ(control_opciones(2, OptionString), 1);
    EXPECT_EQ(std::string(OptionString), "\" -fs -t -s");
    // Stats off again: positions 9 and 10 back to spaces, the rest untouched.
    EXPECT_EQ(control_opciones(3, OptionString), 0);
    EXPECT_EQ(Options(), std::string("\" -fs -t   \0", 12));
    EXPECT_EQ(control_opciones(1, OptionString), 0);
    EXPECT_EQ(Options(), std::string("\"     -t   \0", 12));
}

TEST_F(Control, TogglesTheTextItIsGiven)
{
    char other[12] = "\"          ";
    EXPECT_EQ(control_opciones(2, other), 1);
    EXPECT_STREQ(other, "\"     -t   ");
    EXPECT_EQ(std::string(OptionString), kAllOff);
}

TEST_F(Control, CommandLineWithNoOptions)
{
    EXPECT_EQ(CommandFor("C:\\roms\\game.nes"), "morvane \"C:\\roms\\game.nes\"          ");
}

TEST_F(Control, CommandLineWithAllOptions)
{
    for (int option = 1; option <= 3; ++option) {
        control_opciones(option, OptionString);
    }
    EXPECT_EQ(CommandFor("C:\\roms\\game.nes"), "morvane \"C:\\roms\\game.nes\" -fs -t -s");
}

TEST_F(Control, CommandLineAfterTogglingBack)
{
    control_opciones(1, OptionString);
    control_opciones(3, OptionString);
    EXPECT_EQ(CommandFor("a.nes"), "morvane \"a.nes\" -fs    -s");
    control_opciones(3, OptionString);
    EXPECT_EQ(CommandFor("a.nes"), "morvane \"a.nes\" -fs      ");
    control_opciones(1, OptionString);
    EXPECT_EQ(CommandFor("a.nes"), "morvane \"a.nes\"          ");
}

TEST_F(Control, PathWithSpacesStaysInsideTheQuotes)
{
    control_opciones(2, OptionString);
    EXPECT_EQ(CommandFor("C:\\My Games\\Super Game (E).nes"),
              "morvane \"C:\\My Games\\Super Game (E).nes\"     -t   ");
}

TEST_F(Control, LongestPathIsPassedWhole)
{
    std::string path = "C:\\";
    path += std::string(255 - path.size() - 4, 'x');
    path += ".nes";
    ASSERT_EQ(path.size(), 255u);
    for (int option = 1; option <= 3; ++option) {
        control_opciones(option, OptionString);
    }
    const std::string command = CommandFor(path);
    EXPECT_EQ(command.size(), 9u + 255u + 11u);
    EXPECT_EQ(command, "morvane \"" + path + "\" -fs -t -s");
}

TEST_F(Control, ReturnsWhatSystemReturnsAndRunsOneCommandPerCall)
{
    system_recorder::Handler() = [](const char*) { return 42; };
    char path[] = "x.nes";
    EXPECT_EQ(control_cargar(path, OptionString), 42);
    EXPECT_EQ(control_cargar(path, OptionString), 42);
    EXPECT_EQ(system_recorder::Commands().size(), 2u);
    // The option text is only read.
    EXPECT_EQ(std::string(OptionString), kAllOff);
}

}  // namespace
