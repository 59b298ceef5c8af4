// The launcher's window, menu and commands, driven through the recording
// stand-in of Win32 (fakewin/, fake_win32.cpp) and the recording system().
#include <windows.h>
#include <commdlg.h>

#include "control.h"
#include "fake_win32.h"
#include "system_recorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

// Defined in launcher/main.cpp.
extern HMENU MenuBar;
extern HMENU FileMenu;
extern HMENU OptionsMenu;
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand);
LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void InsertarMenu(HWND window);
void FillOpenParams(OPENFILENAMEA& record, HWND owner, char* filter, char* file);

namespace {

const std::string kInitialOptions(OptionString);

// The dialog record without its post-2000 extension fields: 76 bytes with
// 32-bit pointers, 136 with 64-bit ones.
constexpr DWORD kShortRecordSize = sizeof(void*) == 4 ? 76 : 136;

// Win32 values, written out so that a wrong constant in the stand-in
// headers cannot hide a wrong call.
constexpr UINT kWmCommand = 0x0111;
constexpr UINT kWmDestroy = 0x0002;
constexpr UINT kWmQuit = 0x0012;
constexpr UINT kMfChecked = 0x0008;
constexpr UINT kMfPopup = 0x0010;
constexpr UINT kMfByPosition = 0x0400;
constexpr int kSwHide = 0;
constexpr int kSwRestore = 9;

HINSTANCE FakeInstance()
{
    static int object;
    return reinterpret_cast<HINSTANCE>(&object);
}

class Launcher : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakewin::Reset();
        system_recorder::Reset();
        std::memcpy(OptionString, kInitialOptions.c_str(), kInitialOptions.size() + 1);
        MenuBar = FileMenu = OptionsMenu = nullptr;
    }

    static fakewin::State& S() { return fakewin::S(); }

    static int Count(const std::string& prefix)
    {
        return static_cast<int>(std::count_if(S().events.begin(), S().events.end(), [&](const std::string& e) {
            return e.compare(0, prefix.size(), prefix) == 0;
        }));
    }
};

// A window with the launcher's menu, as WinMain leaves it, for driving the
// window procedure directly.
class LauncherWindow : public Launcher {
protected:
    void SetUp() override
    {
        Launcher::SetUp();
        window = CreateWindowExA(0, "WindowsApp", "Morvane Launcher", 0, 0, 0, 240, 240, nullptr, nullptr,
                                 FakeInstance(), nullptr);
        ShowWindow(window, 1);
        InsertarMenu(window);
        S().events.clear();
    }

    LRESULT Command(UINT id, WORD code = 0)
    {
        return WindowProcedure(window, kWmCommand, static_cast<WPARAM>(id) | (static_cast<WPARAM>(code) << 16), 0);
    }

    const fakewin::MenuItem& OptionItem(size_t position)
    {
        return fakewin::MenuOf(OptionsMenu)->items.at(position);
    }

    bool Visible() { return fakewin::WindowOf(window)->visible; }

    HWND window = nullptr;
};

// ---------------------------------------------------------------- WinMain

TEST_F(Launcher, WinMainRegistersTheClass)
{
    fakewin::Post(nullptr, kWmQuit, 0, 0);
    WinMain(FakeInstance(), nullptr, nullptr, 1);

    ASSERT_EQ(S().registerCalls, 1);
    const WNDCLASSEXA& c = S().windowClass;
    EXPECT_EQ(S().windowClassName, "WindowsApp");
    EXPECT_EQ(c.cbSize, sizeof(WNDCLASSEXA));
    EXPECT_EQ(c.style, 0x0008u);  // CS_DBLCLKS
    EXPECT_EQ(c.lpfnWndProc, &WindowProcedure);
    EXPECT_EQ(c.cbClsExtra, 0);
    EXPECT_EQ(c.cbWndExtra, 0);
    EXPECT_EQ(c.hInstance, FakeInstance());
    EXPECT_EQ(c.hbrBackground, reinterpret_cast<HBRUSH>(1));  // COLOR_BACKGROUND as the brush
    EXPECT_EQ(c.lpszMenuName, nullptr);
    // Both icons are the system's application icon, the cursor its arrow.
    EXPECT_EQ(c.hIcon, fakewin::IconHandle());
    EXPECT_EQ(c.hIconSm, fakewin::IconHandle());
    EXPECT_EQ(c.hCursor, fakewin::CursorHandle());
    ASSERT_FALSE(S().iconLoads.empty());
    for (const auto& load : S().iconLoads) {
        EXPECT_EQ(load.instance, nullptr);
        EXPECT_EQ(load.name, 32512u);  // IDI_APPLICATION
    }
    ASSERT_EQ(S().cursorLoads.size(), 1u);
    EXPECT_EQ(S().cursorLoads[0].instance, nullptr);
    EXPECT_EQ(S().cursorLoads[0].name, 32512u);  // IDC_ARROW
}

TEST_F(Launcher, WinMainCreatesShowsAndAttachesTheMenu)
{
    fakewin::Post(nullptr, kWmQuit, 0, 0);
    WinMain(FakeInstance(), nullptr, nullptr, 3);

    ASSERT_EQ(S().windows.size(), 1u);
    const fakewin::Window& w = *S().windows[0];
    EXPECT_EQ(w.exStyle, 0u);
    EXPECT_EQ(w.className, "WindowsApp");
    EXPECT_EQ(w.title, "Morvane Launcher");
    EXPECT_EQ(w.style, 0x00CF0000u);  // WS_OVERLAPPEDWINDOW
    EXPECT_EQ(w.x, static_cast<int>(0x80000000u));  // CW_USEDEFAULT
    EXPECT_EQ(w.y, static_cast<int>(0x80000000u));
    EXPECT_EQ(w.width, 240);
    EXPECT_EQ(w.height, 240);
    EXPECT_EQ(w.parent, nullptr);
    EXPECT_EQ(w.menu, nullptr);
    EXPECT_EQ(w.instance, FakeInstance());
    EXPECT_EQ(w.param, nullptr);
    EXPECT_EQ(w.attachedMenu, MenuBar);
    EXPECT_NE(MenuBar, nullptr);

    // Menu before showing, shown with the start-up show command, then the loop.
    auto at = [&](const std::string& e) {
        return std::find(S().events.begin(), S().events.end(), e) - S().events.begin();
    };
    EXPECT_LT(at("RegisterClassExA"), at("CreateWindowExA"));
    EXPECT_LT(at("CreateWindowExA"), at("SetMenu"));
    EXPECT_LT(at("SetMenu"), at("ShowWindow 3"));
    EXPECT_LT(at("ShowWindow 3"), at("GetMessageA"));
    EXPECT_EQ(Count("ShowWindow"), 1);
}

TEST_F(Launcher, WinMainReturnsTheQuitCode)
{
    fakewin::Post(nullptr, kWmQuit, 7, 0);
    EXPECT_EQ(WinMain(FakeInstance(), nullptr, nullptr, 1), 7);
    EXPECT_FALSE(S().queueRanDry);
}

TEST_F(Launcher, WinMainStopsAtOnceWhenRegistrationFails)
{
    S().registerResult = 0;
    fakewin::Post(nullptr, kWmQuit, 7, 0);
    EXPECT_EQ(WinMain(FakeInstance(), nullptr, nullptr, 1), 0);
    EXPECT_EQ(Count("CreateWindowExA"), 0);
    EXPECT_EQ(Count("ShowWindow"), 0);
    EXPECT_EQ(Count("GetMessageA"), 0);
}

TEST_F(Launcher, MessageLoopTranslatesAndDispatchesUntilExit)
{
    // Fullscreen on, an unrelated message, then File > Exit.
    fakewin::Post(nullptr, kWmCommand, 102, 0);
    fakewin::Post(nullptr, 0x000F, 0, 0);
    fakewin::Post(nullptr, kWmCommand, 101, 0);
    EXPECT_EQ(WinMain(FakeInstance(), nullptr, nullptr, 1), 0);

    EXPECT_FALSE(S().queueRanDry);
    EXPECT_EQ(S().translated, 3);
    EXPECT_EQ(Count("DispatchMessageA"), 3);
    EXPECT_EQ(Count("GetMessageA"), 4);  // three messages and the quit
    EXPECT_EQ(Count("PostQuitMessage 0"), 1);
    EXPECT_EQ(fakewin::MenuOf(OptionsMenu)->items.at(0).flags, kMfChecked);
    EXPECT_STREQ(OptionString, "\" -fs      ");
}

TEST_F(Launcher, ClosingTheWindowEndsTheProgramWithZero)
{
    fakewin::Post(nullptr, kWmDestroy, 0, 0);
    EXPECT_EQ(WinMain(FakeInstance(), nullptr, nullptr, 1), 0);
    EXPECT_FALSE(S().queueRanDry);
    EXPECT_EQ(Count("PostQuitMessage 0"), 1);
}

// ------------------------------------------------------------------- menu

TEST_F(Launcher, MenuHasTwoPopupsWithFiveUncheckedItems)
{
    fakewin::Window* w = nullptr;
    HWND window = CreateWindowExA(0, "WindowsApp", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    w = fakewin::WindowOf(window);
    InsertarMenu(window);

    // Created in the order bar, File, Options.
    ASSERT_EQ(S().menus.size(), 3u);
    EXPECT_EQ(MenuBar, reinterpret_cast<HMENU>(S().menus[0].get()));
    EXPECT_EQ(FileMenu, reinterpret_cast<HMENU>(S().menus[1].get()));
    EXPECT_EQ(OptionsMenu, reinterpret_cast<HMENU>(S().menus[2].get()));
    EXPECT_EQ(w->attachedMenu, MenuBar);

    const auto& bar = fakewin::MenuOf(MenuBar)->items;
    ASSERT_EQ(bar.size(), 2u);
    EXPECT_EQ(bar[0].flags, kMfPopup);
    EXPECT_EQ(bar[0].id, reinterpret_cast<UINT_PTR>(FileMenu));
    EXPECT_EQ(bar[0].text, "&File");
    EXPECT_EQ(bar[1].flags, kMfPopup);
    EXPECT_EQ(bar[1].id, reinterpret_cast<UINT_PTR>(OptionsMenu));
    EXPECT_EQ(bar[1].text, "&Options");

    struct Expected {
        UINT_PTR id;
        const char* text;
    };
    const std::vector<Expected> file = {{100, "&Load Rom"}, {101, "&Exit"}};
    const std::vector<Expected> options = {{102, "&Fullscreen"}, {103, "&Trace"}, {104, "&Stats"}};
    auto check = [](const std::vector<fakewin::MenuItem>& items, const std::vector<Expected>& expected) {
        ASSERT_EQ(items.size(), expected.size());
        for (size_t i = 0; i < items.size(); ++i) {
            EXPECT_EQ(items[i].flags, 0u) << i;  // plain string, unchecked
            EXPECT_EQ(items[i].id, expected[i].id);
            EXPECT_EQ(items[i].text, expected[i].text);
        }
    };
    check(fakewin::MenuOf(FileMenu)->items, file);
    check(fakewin::MenuOf(OptionsMenu)->items, options);
}

TEST_F(LauncherWindow, EachOptionChecksItsOwnItemAndTogglesBack)
{
    const char* labels[] = {"&Fullscreen", "&Trace", "&Stats"};
    const char* on[] = {"\" -fs      ", "\"     -t   ", "\"        -s"};
    for (UINT position = 0; position < 3; ++position) {
        SCOPED_TRACE(labels[position]);
        const UINT id = 102 + position;
        S().events.clear();

        EXPECT_EQ(Command(id), S().defWindowProcResult);
        EXPECT_STREQ(OptionString, on[position]);
        // Replaced by position with a checked string item of the same id.
        EXPECT_EQ(Count("ModifyMenuA " + std::to_string(position) + " " +
                        std::to_string(kMfByPosition | kMfChecked) + " " + std::to_string(id)),
                  1);
        for (UINT other = 0; other < 3; ++other) {
            EXPECT_EQ(OptionItem(other).flags, other == position ? kMfChecked : 0u);
            EXPECT_EQ(OptionItem(other).id, 102 + other);
            EXPECT_EQ(OptionItem(other).text, labels[other]);
        }

        // The second time: off, unchecked, same identifier, label and place.
        EXPECT_EQ(Command(id), S().defWindowProcResult);
        EXPECT_STREQ(OptionString, kInitialOptions.c_str());
        EXPECT_EQ(Count("ModifyMenuA " + std::to_string(position) + " " + std::to_string(kMfByPosition) + " " +
                        std::to_string(id)),
                  1);
        EXPECT_EQ(OptionItem(position).flags, 0u);
        EXPECT_EQ(OptionItem(position).id, id);
        EXPECT_EQ(OptionItem(position).text, labels[position]);
        ASSERT_EQ(fakewin::MenuOf(OptionsMenu)->items.size(), 3u);

        // Both commands went on to the default procedure.
        ASSERT_EQ(S().defProcCalls.size(), 2u * (position + 1));
        EXPECT_EQ(S().defProcCalls.back().message, kWmCommand);
        EXPECT_EQ(S().defProcCalls.back().wParam, id);
        EXPECT_EQ(S().defProcCalls.back().window, window);
    }
}

TEST_F(LauncherWindow, OptionsCombineAndOnlyTheLowWordSelectsTheCommand)
{
    Command(102, 1);  // as from an accelerator: notification code 1
    Command(104, 0);
    EXPECT_STREQ(OptionString, "\" -fs    -s");
    EXPECT_EQ(OptionItem(0).flags, kMfChecked);
    EXPECT_EQ(OptionItem(1).flags, 0u);
    EXPECT_EQ(OptionItem(2).flags, kMfChecked);
    EXPECT_EQ(S().defProcCalls.front().wParam, 102u | (1u << 16));
}

// --------------------------------------------------------------- Load Rom

TEST_F(LauncherWindow, LoadRomOpensTheDialogWithTheRomFilter)
{
    Command(100);
    ASSERT_EQ(S().dialogs.size(), 1u);
    const fakewin::DialogCall& d = S().dialogs[0];
    const OPENFILENAMEA& r = d.record;

    EXPECT_EQ(r.lStructSize, kShortRecordSize);
    EXPECT_EQ(r.hwndOwner, window);
    std::string filter("NES ROM Files (*.nes)\0*.nes\0", 28);
    filter.resize(256, '\0');
    EXPECT_EQ(d.filterBytes, filter);
    ASSERT_NE(r.lpstrFile, nullptr);
    EXPECT_EQ(r.nMaxFile, 256u);
    EXPECT_EQ(d.fileBufferBytes, std::string(256, '\0'));
    EXPECT_EQ(r.Flags, 0x180Cu);
    // Everything else zero: no title, default extension, initial folder,
    // file-title buffer, custom filter or hook; filter index 0.
    EXPECT_EQ(r.hInstance, nullptr);
    EXPECT_EQ(r.lpstrCustomFilter, nullptr);
    EXPECT_EQ(r.nMaxCustFilter, 0u);
    EXPECT_EQ(r.nFilterIndex, 0u);
    EXPECT_EQ(r.lpstrFileTitle, nullptr);
    EXPECT_EQ(r.nMaxFileTitle, 0u);
    EXPECT_EQ(r.lpstrInitialDir, nullptr);
    EXPECT_EQ(r.lpstrTitle, nullptr);
    EXPECT_EQ(r.nFileOffset, 0u);
    EXPECT_EQ(r.nFileExtension, 0u);
    EXPECT_EQ(r.lpstrDefExt, nullptr);
    EXPECT_EQ(r.lCustData, 0);
    EXPECT_EQ(r.lpfnHook, nullptr);
    EXPECT_EQ(r.lpTemplateName, nullptr);
    EXPECT_EQ(r.pvReserved, nullptr);
    EXPECT_EQ(r.dwReserved, 0u);
    EXPECT_EQ(r.FlagsEx, 0u);
}

TEST_F(LauncherWindow, CancelledDialogChangesNothing)
{
    Command(102);
    S().events.clear();
    S().defProcCalls.clear();
    S().dialogAccepts = false;

    EXPECT_EQ(Command(100), S().defWindowProcResult);
    EXPECT_EQ(S().dialogs.size(), 1u);
    EXPECT_TRUE(system_recorder::Commands().empty());
    EXPECT_EQ(Count("ShowWindow"), 0);
    EXPECT_EQ(Count("ModifyMenuA"), 0);
    EXPECT_EQ(Count("PostQuitMessage"), 0);
    EXPECT_TRUE(Visible());
    EXPECT_STREQ(OptionString, "\" -fs      ");
    ASSERT_EQ(S().defProcCalls.size(), 1u);
    EXPECT_EQ(S().defProcCalls[0].wParam, 100u);
}

TEST_F(LauncherWindow, ChosenRomRunsTheEmulatorWhileTheWindowIsHidden)
{
    Command(102);
    Command(104);
    S().events.clear();
    S().dialogAccepts = true;
    S().dialogPath = "C:\\My Games\\Super Game.nes";
    bool visibleWhileRunning = true;
    system_recorder::Handler() = [&](const char* command) {
        visibleWhileRunning = Visible();
        S().events.push_back(std::string("system ") + command);
        return 3;  // the emulator's exit status does not matter
    };

    EXPECT_EQ(Command(100), S().defWindowProcResult);

    const std::vector<std::string> expected = {
        "GetOpenFileNameA",
        "ShowWindow " + std::to_string(kSwHide),
        "system morvane \"C:\\My Games\\Super Game.nes\" -fs    -s",
        "ShowWindow " + std::to_string(kSwRestore),
        "DefWindowProcA " + std::to_string(kWmCommand),
    };
    EXPECT_EQ(S().events, expected);
    EXPECT_FALSE(visibleWhileRunning);
    EXPECT_TRUE(Visible());
    // Options and check marks carry over to the next game.
    EXPECT_STREQ(OptionString, "\" -fs    -s");
    EXPECT_EQ(OptionItem(0).flags, kMfChecked);
}

TEST_F(LauncherWindow, EveryLoadStartsWithAnEmptyFileName)
{
    S().dialogAccepts = true;
    S().dialogPath = "C:\\first.nes";
    Command(100);
    S().dialogPath = "D:\\second.nes";
    Command(100);
    ASSERT_EQ(S().dialogs.size(), 2u);
    EXPECT_EQ(S().dialogs[1].fileBufferBytes, std::string(256, '\0'));
    EXPECT_EQ(system_recorder::Commands(),
              (std::vector<std::string>{"morvane \"C:\\first.nes\"          ",
                                        "morvane \"D:\\second.nes\"          "}));
}

TEST_F(LauncherWindow, LongestChosenPathReachesTheCommandWhole)
{
    std::string path = "C:\\" + std::string(255 - 7, 'r') + ".nes";
    ASSERT_EQ(path.size(), 255u);
    S().dialogAccepts = true;
    S().dialogPath = path;
    Command(100);
    ASSERT_EQ(system_recorder::Commands().size(), 1u);
    EXPECT_EQ(system_recorder::Commands()[0], "morvane \"" + path + "\"          ");
}

// ----------------------------------------------------- Exit, close, others

TEST_F(LauncherWindow, ExitPostsQuitWithoutDestroyingAndGoesOnToTheDefault)
{
    EXPECT_EQ(Command(101), S().defWindowProcResult);
    EXPECT_EQ(Count("PostQuitMessage 0"), 1);
    ASSERT_EQ(S().queue.size(), 1u);
    EXPECT_EQ(S().queue[0].message, kWmQuit);
    EXPECT_EQ(S().queue[0].wParam, 0u);
    ASSERT_EQ(S().defProcCalls.size(), 1u);
    EXPECT_EQ(S().defProcCalls[0].wParam, 101u);
    EXPECT_TRUE(Visible());
}

TEST_F(LauncherWindow, DestroyPostsQuitAndReturnsZero)
{
    EXPECT_EQ(WindowProcedure(window, kWmDestroy, 0, 0), 0);
    ASSERT_EQ(S().queue.size(), 1u);
    EXPECT_EQ(S().queue[0].message, kWmQuit);
    EXPECT_EQ(S().queue[0].wParam, 0u);
    EXPECT_TRUE(S().defProcCalls.empty());
}

TEST_F(LauncherWindow, OtherMessagesAndUnknownCommandsReachTheDefaultProcedure)
{
    struct Case {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    const Case cases[] = {
        {0x000F, 0, 0},             // WM_PAINT
        {0x0010, 0, 0},             // WM_CLOSE: the default procedure destroys
        {0x0201, 1, 0x00200010},    // WM_LBUTTONDOWN
        {kWmCommand, 99, 0},
        {kWmCommand, 105, 0},
        {kWmCommand, 1, 0x1234},    // IDOK from a control
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        S().defProcCalls.clear();
        S().defWindowProcResult = static_cast<LRESULT>(c.message) * 3 + 1;
        EXPECT_EQ(WindowProcedure(window, c.message, c.wParam, c.lParam), S().defWindowProcResult);
        ASSERT_EQ(S().defProcCalls.size(), 1u);
        EXPECT_EQ(S().defProcCalls[0].window, window);
        EXPECT_EQ(S().defProcCalls[0].message, c.message);
        EXPECT_EQ(S().defProcCalls[0].wParam, c.wParam);
        EXPECT_EQ(S().defProcCalls[0].lParam, c.lParam);
    }
    EXPECT_TRUE(S().queue.empty());
    EXPECT_TRUE(S().dialogs.empty());
    EXPECT_EQ(Count("ModifyMenuA"), 0);
    EXPECT_STREQ(OptionString, kInitialOptions.c_str());
}

TEST_F(Launcher, FillOpenParamsSetsOnlyItsFields)
{
    // Zeroed byte for byte, padding included, so the records compare whole.
    OPENFILENAMEA record;
    OPENFILENAMEA expected;
    std::memset(&record, 0, sizeof record);
    std::memset(&expected, 0, sizeof expected);
    char filter[256] = "f\0*.nes\0";
    char file[256] = {};
    static int ownerObject;
    HWND owner = reinterpret_cast<HWND>(&ownerObject);
    FillOpenParams(record, owner, filter, file);
    expected.lStructSize = kShortRecordSize;
    expected.hwndOwner = owner;
    expected.lpstrFilter = filter;
    expected.lpstrFile = file;
    expected.nMaxFile = 256;
    expected.Flags = 0x180C;
    EXPECT_EQ(std::memcmp(&record, &expected, sizeof record), 0);
}

}  // namespace
