// Recording stand-in of the Win32 calls the launcher makes. Handles are the
// addresses of objects owned by fakewin::S(); nothing is ever drawn.
#include "fake_win32.h"

#include <cstring>

namespace fakewin {
namespace {

std::string Describe(const char* text)
{
    return text != nullptr ? std::string(text) : std::string("<null>");
}

UINT_PTR Number(const void* pointer)
{
    return reinterpret_cast<UINT_PTR>(pointer);
}

int iconObject;
int cursorObject;

}  // namespace

State& S()
{
    static State state;
    return state;
}

void Reset()
{
    S() = State{};
}

HWND HandleOf(const Window& window)
{
    return reinterpret_cast<HWND>(const_cast<Window*>(&window));
}

Window* WindowOf(HWND handle)
{
    for (auto& window : S().windows) {
        if (HandleOf(*window) == handle) {
            return window.get();
        }
    }
    return nullptr;
}

Menu* MenuOf(HMENU handle)
{
    for (auto& menu : S().menus) {
        if (reinterpret_cast<HMENU>(menu.get()) == handle) {
            return menu.get();
        }
    }
    return nullptr;
}

HICON IconHandle()
{
    return reinterpret_cast<HICON>(&iconObject);
}

HCURSOR CursorHandle()
{
    return reinterpret_cast<HCURSOR>(&cursorObject);
}

void Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    MSG msg{};
    msg.hwnd = window;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    S().queue.push_back(msg);
}

}  // namespace fakewin

using fakewin::S;

HICON WINAPI LoadIconA(HINSTANCE instance, LPCSTR name)
{
    S().iconLoads.push_back({instance, fakewin::Number(name)});
    S().events.push_back("LoadIconA");
    return fakewin::IconHandle();
}

HCURSOR WINAPI LoadCursorA(HINSTANCE instance, LPCSTR name)
{
    S().cursorLoads.push_back({instance, fakewin::Number(name)});
    S().events.push_back("LoadCursorA");
    return fakewin::CursorHandle();
}

ATOM WINAPI RegisterClassExA(const WNDCLASSEXA* windowClass)
{
    ++S().registerCalls;
    S().windowClass = *windowClass;
    S().windowClassName = fakewin::Describe(windowClass->lpszClassName);
    S().events.push_back("RegisterClassExA");
    return S().registerResult;
}

HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                            int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param)
{
    auto window = std::make_unique<fakewin::Window>();
    window->exStyle = exStyle;
    window->className = fakewin::Describe(className);
    window->title = fakewin::Describe(windowName);
    window->style = style;
    window->x = x;
    window->y = y;
    window->width = width;
    window->height = height;
    window->parent = parent;
    window->menu = menu;
    window->instance = instance;
    window->param = param;
    S().windows.push_back(std::move(window));
    S().events.push_back("CreateWindowExA");
    return fakewin::HandleOf(*S().windows.back());
}

BOOL WINAPI ShowWindow(HWND handle, int command)
{
    S().events.push_back("ShowWindow " + std::to_string(command));
    fakewin::Window* window = fakewin::WindowOf(handle);
    if (window == nullptr) {
        return 0;
    }
    const bool wasVisible = window->visible;
    window->visible = command != 0;  // SW_HIDE is 0; every other command shows
    return wasVisible ? 1 : 0;
}

BOOL WINAPI GetMessageA(MSG* message, HWND, UINT, UINT)
{
    S().events.push_back("GetMessageA");
    if (S().queue.empty()) {
        // A test forgot to end the loop: end it rather than hang.
        S().queueRanDry = true;
        *message = MSG{};
        message->message = WM_QUIT;
        message->wParam = 0xDEAD;
        return 0;
    }
    *message = S().queue.front();
    S().queue.pop_front();
    return message->message == WM_QUIT ? 0 : 1;
}

BOOL WINAPI TranslateMessage(const MSG*)
{
    ++S().translated;
    S().events.push_back("TranslateMessage");
    return 0;
}

LRESULT WINAPI DispatchMessageA(const MSG* message)
{
    S().events.push_back("DispatchMessageA");
    WNDPROC procedure = S().windowClass.lpfnWndProc;
    if (procedure == nullptr) {
        return 0;
    }
    return procedure(message->hwnd, message->message, message->wParam, message->lParam);
}

LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    S().defProcCalls.push_back({window, message, wParam, lParam});
    S().events.push_back("DefWindowProcA " + std::to_string(message));
    return S().defWindowProcResult;
}

void WINAPI PostQuitMessage(int exitCode)
{
    S().events.push_back("PostQuitMessage " + std::to_string(exitCode));
    fakewin::Post(nullptr, WM_QUIT, static_cast<WPARAM>(exitCode), 0);
}

HMENU WINAPI CreateMenu()
{
    S().menus.push_back(std::make_unique<fakewin::Menu>());
    S().events.push_back("CreateMenu");
    return reinterpret_cast<HMENU>(S().menus.back().get());
}

BOOL WINAPI AppendMenuA(HMENU handle, UINT flags, UINT_PTR id, LPCSTR item)
{
    S().events.push_back("AppendMenuA");
    fakewin::Menu* menu = fakewin::MenuOf(handle);
    if (menu == nullptr) {
        return 0;
    }
    menu->items.push_back({flags, id, fakewin::Describe(item)});
    return 1;
}

BOOL WINAPI ModifyMenuA(HMENU handle, UINT position, UINT flags, UINT_PTR id, LPCSTR item)
{
    S().events.push_back("ModifyMenuA " + std::to_string(position) + " " + std::to_string(flags) + " " +
                         std::to_string(id));
    fakewin::Menu* menu = fakewin::MenuOf(handle);
    // Only replacement by position is modelled; anything else fails.
    if (menu == nullptr || (flags & MF_BYPOSITION) == 0 || position >= menu->items.size()) {
        return 0;
    }
    menu->items[position] = {flags & ~static_cast<UINT>(MF_BYPOSITION), id, fakewin::Describe(item)};
    return 1;
}

BOOL WINAPI SetMenu(HWND handle, HMENU menu)
{
    S().events.push_back("SetMenu");
    fakewin::Window* window = fakewin::WindowOf(handle);
    if (window == nullptr) {
        return 0;
    }
    window->attachedMenu = menu;
    return 1;
}

BOOL WINAPI GetOpenFileNameA(OPENFILENAMEA* record)
{
    S().events.push_back("GetOpenFileNameA");
    fakewin::DialogCall call{};
    call.record = *record;
    if (record->lpstrFilter != nullptr) {
        call.filterBytes.assign(record->lpstrFilter, 256);
    }
    if (record->lpstrFile != nullptr) {
        call.fileBufferBytes.assign(record->lpstrFile, record->nMaxFile);
    }
    S().dialogs.push_back(call);
    if (!S().dialogAccepts || record->lpstrFile == nullptr) {
        return 0;
    }
    std::strncpy(record->lpstrFile, S().dialogPath.c_str(), record->nMaxFile - 1);
    return 1;
}
