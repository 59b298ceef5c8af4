// The launcher's window: a plain window whose menu bar picks a ROM image in
// the system's open-file dialog, toggles the three start-up options and runs
// the emulator with the resulting command line (see control.h).
#include <windows.h>
#include <commdlg.h>

#include <cstddef>

#include "control.h"

// Menu command identifiers.
enum : UINT {
    IDM_LOAD_ROM = 100,
    IDM_EXIT = 101,
    IDM_FULLSCREEN = 102,
    IDM_TRACE = 103,
    IDM_STATS = 104,
};

// The menu bar and its two pop-ups, created once by InsertarMenu.
HMENU MenuBar;
HMENU FileMenu;
HMENU OptionsMenu;

void FillOpenParams(OPENFILENAMEA& record, HWND owner, char* filter, char* file);
void InsertarMenu(HWND window);
LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

namespace {

const char kClassName[] = "WindowsApp";
const char kTitle[] = "Morvane Launcher";

// Labels of the options menu, by position (identifier 102 + position).
const char* const kOptionLabels[3] = {"&Fullscreen", "&Trace", "&Stats"};

// Size of the dialog record without the extension fields added after
// Windows 2000 (pvReserved, dwReserved, FlagsEx), so that every version of
// the common dialog accepts it: the record up to and including
// lpTemplateName, 76 bytes on 32-bit Windows and 136 on 64-bit.
constexpr DWORD kOpenRecordSize = offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(LPCSTR);
#if defined(_WIN32) && !defined(_WIN64)
static_assert(kOpenRecordSize == 76, "the short dialog record is 76 bytes on 32-bit Windows");
#elif defined(_WIN64)
static_assert(kOpenRecordSize == 136, "the short dialog record is 136 bytes on 64-bit Windows");
#endif

// Only existing files in existing folders, no read-only check box, and the
// working directory is left alone so that "morvane" is still looked up where
// the launcher was started.
constexpr DWORD kOpenFlags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
static_assert(kOpenFlags == 0x180C, "open-file dialog flags");

constexpr DWORD kPathBufferSize = 256;
constexpr size_t kFilterBufferSize = 256;

// The filter "NES ROM Files (*.nes)\0*.nes\0", the final terminator being the
// end of the list.
const char kRomFilter[] = "NES ROM Files (*.nes)\0*.nes\0";

void LoadRom(HWND window)
{
    char filter[kFilterBufferSize] = {};
    char path[kPathBufferSize] = {};
    OPENFILENAMEA record = {};
    static_assert(sizeof kRomFilter <= sizeof filter);
    for (size_t i = 0; i < sizeof kRomFilter; ++i) {
        filter[i] = kRomFilter[i];
    }

    FillOpenParams(record, window, filter, path);
    if (GetOpenFileNameA(&record) == 0) {
        return;  // cancelled or failed: nothing changes
    }
    // The window stays hidden while the emulator runs; control_cargar returns
    // when it has ended.
    ShowWindow(window, SW_HIDE);
    control_cargar(path, OptionString);
    ShowWindow(window, SW_RESTORE);
}

void ToggleOption(UINT position)
{
    const int on = control_opciones(static_cast<int>(position) + 1, OptionString);
    UINT flags = MF_BYPOSITION | MF_STRING;
    if (on == 1) {
        flags |= MF_CHECKED;
    }
    ModifyMenuA(OptionsMenu, position, flags, IDM_FULLSCREEN + position, kOptionLabels[position]);
}

}  // namespace

void FillOpenParams(OPENFILENAMEA& record, HWND owner, char* filter, char* file)
{
    record.lStructSize = kOpenRecordSize;
    record.hwndOwner = owner;
    record.lpstrFilter = filter;
    record.lpstrFile = file;
    record.nMaxFile = kPathBufferSize;
    record.lpstrInitialDir = nullptr;
    record.lpstrFileTitle = nullptr;
    record.Flags = kOpenFlags;
}

void InsertarMenu(HWND window)
{
    MenuBar = CreateMenu();
    FileMenu = CreateMenu();
    OptionsMenu = CreateMenu();

    AppendMenuA(FileMenu, MF_STRING, IDM_LOAD_ROM, "&Load Rom");
    AppendMenuA(FileMenu, MF_STRING, IDM_EXIT, "&Exit");
    AppendMenuA(OptionsMenu, MF_STRING, IDM_FULLSCREEN, kOptionLabels[0]);
    AppendMenuA(OptionsMenu, MF_STRING, IDM_TRACE, kOptionLabels[1]);
    AppendMenuA(OptionsMenu, MF_STRING, IDM_STATS, kOptionLabels[2]);

    AppendMenuA(MenuBar, MF_STRING | MF_POPUP, reinterpret_cast<UINT_PTR>(FileMenu), "&File");
    AppendMenuA(MenuBar, MF_STRING | MF_POPUP, reinterpret_cast<UINT_PTR>(OptionsMenu), "&Options");
    SetMenu(window, MenuBar);
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDM_LOAD_ROM:
            LoadRom(window);
            break;
        case IDM_EXIT:
            PostQuitMessage(0);
            break;
        case IDM_FULLSCREEN:
        case IDM_TRACE:
        case IDM_STATS:
            ToggleOption(LOWORD(wParam) - IDM_FULLSCREEN);
            break;
        default:
            break;
        }
        break;  // every command also reaches the default procedure
    default:
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE hThisInstance, HINSTANCE, LPSTR, int nCmdShow)
{
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = hThisInstance;
    windowClass.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
    windowClass.hIconSm = LoadIconA(nullptr, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    // The system colour index passed as a brush, as the class accepts.
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BACKGROUND));
    windowClass.lpszMenuName = nullptr;
    windowClass.lpszClassName = kClassName;
    if (!RegisterClassExA(&windowClass)) {
        return 0;
    }

    HWND window = CreateWindowExA(0, kClassName, kTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                  240, 240, HWND_DESKTOP, nullptr, hThisInstance, nullptr);
    InsertarMenu(window);
    ShowWindow(window, nCmdShow);

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return static_cast<int>(message.wParam);
}
