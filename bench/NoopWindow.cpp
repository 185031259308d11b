// kavri_noopwindow.exe: the baseline of the start-up benchmark. It shows a
// plain window titled "Kavri Noop" as soon as it can and closes it after two
// seconds: the time any Wine program needs to put a window on the screen.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = instance;
    wc.lpszClassName = L"KavriNoop";
    RegisterClassW(&wc);
    HWND window = CreateWindowExW(0, L"KavriNoop", L"Kavri Noop", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100, 100, 300,
                                  120, nullptr, nullptr, instance, nullptr);
    SetTimer(window, 1, 2000, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER) break;
        DispatchMessageW(&msg);
    }
    return 0;
}
