// What the recording stand-in of the Win32 calls (fakewin/ headers,
// fake_win32.cpp) saw, and the knobs a test turns before driving the code.
#ifndef LAUNCHER_TEST_FAKE_WIN32_H
#define LAUNCHER_TEST_FAKE_WIN32_H

#include <windows.h>
#include <commdlg.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace fakewin {

struct MenuItem {
    UINT flags;
    UINT_PTR id;
    std::string text;
};

struct Menu {
    std::vector<MenuItem> items;
};

struct Window {
    DWORD exStyle = 0;
    std::string className;
    std::string title;
    DWORD style = 0;
    int x = 0, y = 0, width = 0, height = 0;
    HWND parent = nullptr;
    HMENU menu = nullptr;  // given at creation
    HINSTANCE instance = nullptr;
    LPVOID param = nullptr;
    HMENU attachedMenu = nullptr;  // set by SetMenu
    bool visible = false;
};

struct DefProcCall {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

struct ResourceLoad {
    HINSTANCE instance;
    UINT_PTR name;  // the integer resource identifier
};

struct DialogCall {
    OPENFILENAMEA record;        // the record as passed in
    std::string filterBytes;     // the first 256 bytes of lpstrFilter
    std::string fileBufferBytes; // the first nMaxFile bytes of lpstrFile on entry
};

struct State {
    // Knobs.
    ATOM registerResult = 0xC001;
    LRESULT defWindowProcResult = 0x5EED;
    bool dialogAccepts = false;
    std::string dialogPath;  // written into lpstrFile when the dialog accepts

    // What was seen.
    std::vector<std::string> events;  // every call, in order, in short text form
    int registerCalls = 0;
    WNDCLASSEXA windowClass{};
    std::string windowClassName;
    std::vector<ResourceLoad> iconLoads;
    std::vector<ResourceLoad> cursorLoads;
    std::vector<std::unique_ptr<Window>> windows;
    std::vector<std::unique_ptr<Menu>> menus;  // in creation order
    std::vector<DefProcCall> defProcCalls;
    std::vector<DialogCall> dialogs;
    std::deque<MSG> queue;  // GetMessageA takes from the front
    bool queueRanDry = false;
    int translated = 0;
};

State& S();
void Reset();

// Handles returned by the stand-in, and the objects behind them.
HWND HandleOf(const Window& window);
Window* WindowOf(HWND window);
Menu* MenuOf(HMENU menu);
HICON IconHandle();
HCURSOR CursorHandle();

// Appends a message for GetMessageA to hand out.
void Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace fakewin

#endif
