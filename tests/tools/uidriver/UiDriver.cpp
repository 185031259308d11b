// uidriver: drives the installer's real windows from the outside, the way a
// person would, for the tests. Run it under the same Wine prefix (wineserver)
// and display as the program under test.
//
// Usage: uidriver <command> [window filters] [options]
//
// Window filters (all given ones must match a visible top-level window):
//   --title T          exact caption          --title-has S   caption contains S
//   --class C          window class (#32770 for dialogs)
//   --has-id N         has a child control with id N (e.g. 1008 progress
//                      window, 1017 message dialog, 1009 error dialog)
//   --pid P            belongs to process P   --hwnd H        this window (0x..)
//   --enabled          only enabled windows (an owner is disabled while its
//                      modal child runs)
//   --timeout MS       how long to wait for the window (default 10000)
// When several windows match, the first in Z order (top-most) is taken.
//
// Commands (every output line is one JSON object):
//   list                          all visible top-level windows
//   wait-window                   waits until the window is visible; prints it
//   wait-gone                     waits until no matching window is left
//   dump                          the window, then one line per child control:
//                                 id, class, text, visible, enabled, rect (dialog
//                                 client coordinates), style; progress bars add
//                                 pos, min, max, marquee; statics add hyperlink
//                                 (window property "_Hyperlink_From_Static_");
//                                 visible statics also what the screen shows:
//                                 blue_pixels (RGB(0,0,192)), blue_width,
//                                 longest_blue_run and underlined (one blue row
//                                 spans >= 80% of the blue width). Fonts cannot
//                                 be read across processes under Wine.
//   click --id N [--force]        buttons: BM_CLICK (posted); SS_NOTIFY statics:
//                                 WM_LBUTTONDOWN/UP at the centre. Refuses hidden
//                                 or disabled controls unless --force.
//   key --vk NAME [--method post|input]
//                                 NAME: ESCAPE, RETURN, TAB, SPACE or a number.
//                                 post (default): WM_KEYDOWN/WM_KEYUP posted to the
//                                 dialog thread's focused control, so it passes
//                                 through the dialog's own message loop;
//                                 input: SetForegroundWindow + SendInput.
//   command --id N                posts WM_COMMAND with id N (e.g. 8, IDCLOSE) to the
//                                 dialog, as a menu or accelerator would
//   close [--syscommand]          posts WM_CLOSE (or WM_SYSCOMMAND SC_CLOSE, which
//                                 is what the caption's close box sends)
//   hover --id N [--leave] [--method post|input]
//                                 moves the mouse onto the control (or off it with
//                                 --leave), waits up to 2 s for the screen to show
//                                 the underline (or its absence), prints the pixel
//                                 fields and capture (the control holds the mouse
//                                 capture while hovered)
//   foreground                    the foreground window ({"hwnd":null} when none)
//
// Exit codes: 0 done, 1 window/control not found or timed out, 2 bad usage,
// 3 the control refused (hidden/disabled).
//
// Example (Python): subprocess.run(["wine", bindir + "/uidriver.exe", "click",
//   "--title", "Kavri Skyguard", "--has-id", "1017", "--id", "2"])
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "tests/support/JsonText.h"

namespace {

const wchar_t kPropFromStatic[] = L"_Hyperlink_From_Static_";
const UINT kSendTimeoutMs = 3000;

// ---- output -------------------------------------------------------------

void WriteOut(const std::string& line) {
    std::string s = line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), s.data(), static_cast<DWORD>(s.size()), &written,
              nullptr);
}

using kavri_test::JsonString;

std::string Hex(const void* p) {
    char buf[32];
    snprintf(buf, sizeof buf, "\"0x%llx\"", static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(p)));
    return buf;
}

std::string Num(long long v) { return std::to_string(v); }
std::string Bool(bool b) { return b ? "true" : "false"; }

void Error(const std::string& what) {
    WriteOut("{\"error\":" + JsonString(std::wstring(what.begin(), what.end())) + "}");
}

// ---- options -------------------------------------------------------------

struct Options {
    std::wstring command;
    std::wstring title, titleHas, className;
    bool hasTitle = false, hasTitleHas = false, hasClass = false;
    int hasId = 0;
    bool hasHasId = false;
    DWORD pid = 0;
    HWND hwnd = nullptr;
    bool enabledOnly = false;
    DWORD timeoutMs = 10000;
    int id = 0;
    bool hasIdArg = false;
    bool force = false;
    std::wstring vk;
    std::wstring method = L"post";
    bool syscommand = false;
    bool leave = false;
};

bool ParseInt(const wchar_t* s, long long* out) {
    wchar_t* end = nullptr;
    long long v = wcstoll(s, &end, 0);
    if (!end || *end || end == s) return false;
    *out = v;
    return true;
}

bool ParseArgs(int argc, wchar_t** argv, Options* o) {
    if (argc < 2) return false;
    o->command = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::wstring a = argv[i];
        auto value = [&](const wchar_t** v) {
            if (i + 1 >= argc) return false;
            *v = argv[++i];
            return true;
        };
        const wchar_t* v = nullptr;
        long long n = 0;
        if (a == L"--title") {
            if (!value(&v)) return false;
            o->title = v;
            o->hasTitle = true;
        } else if (a == L"--title-has") {
            if (!value(&v)) return false;
            o->titleHas = v;
            o->hasTitleHas = true;
        } else if (a == L"--class") {
            if (!value(&v)) return false;
            o->className = v;
            o->hasClass = true;
        } else if (a == L"--has-id") {
            if (!value(&v) || !ParseInt(v, &n)) return false;
            o->hasId = static_cast<int>(n);
            o->hasHasId = true;
        } else if (a == L"--pid") {
            if (!value(&v) || !ParseInt(v, &n)) return false;
            o->pid = static_cast<DWORD>(n);
        } else if (a == L"--hwnd") {
            if (!value(&v) || !ParseInt(v, &n)) return false;
            o->hwnd = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(n));
        } else if (a == L"--enabled") {
            o->enabledOnly = true;
        } else if (a == L"--timeout") {
            if (!value(&v) || !ParseInt(v, &n) || n < 0) return false;
            o->timeoutMs = static_cast<DWORD>(n);
        } else if (a == L"--id") {
            if (!value(&v) || !ParseInt(v, &n)) return false;
            o->id = static_cast<int>(n);
            o->hasIdArg = true;
        } else if (a == L"--force") {
            o->force = true;
        } else if (a == L"--vk") {
            if (!value(&v)) return false;
            o->vk = v;
        } else if (a == L"--method") {
            if (!value(&v)) return false;
            o->method = v;
            if (o->method != L"post" && o->method != L"input") return false;
        } else if (a == L"--syscommand") {
            o->syscommand = true;
        } else if (a == L"--leave") {
            o->leave = true;
        } else {
            return false;
        }
    }
    return true;
}

// ---- windows -------------------------------------------------------------

std::wstring ClassOf(HWND w) {
    wchar_t buf[256] = {};
    GetClassNameW(w, buf, 256);
    return buf;
}

std::wstring CaptionOf(HWND w) {
    wchar_t buf[1024] = {};
    GetWindowTextW(w, buf, 1024);
    return buf;
}

// WM_GETTEXT, bounded: a hung target must not hang the driver.
std::wstring ControlText(HWND w) {
    DWORD_PTR len = 0;
    if (!SendMessageTimeoutW(w, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &len))
        return CaptionOf(w);
    std::vector<wchar_t> buf(len + 2, 0);
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(w, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()),
                             SMTO_ABORTIFHUNG, kSendTimeoutMs, &got))
        return CaptionOf(w);
    return std::wstring(buf.data());
}

int ControlId(HWND w) { return static_cast<int>(GetWindowLongPtrW(w, GWLP_ID)); }

// Control ids compare on their low 16 bits: a template's -1 reaches the
// window as 0xFFFF or as 0xFFFFFFFF depending on the template form.
bool SameId(int a, int b) { return (a & 0xFFFF) == (b & 0xFFFF); }

std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> out;
    EnumChildWindows(
        parent,
        [](HWND w, LPARAM p) -> BOOL {
            reinterpret_cast<std::vector<HWND>*>(p)->push_back(w);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&out));
    return out;
}

HWND FindControl(HWND dlg, int id) {
    for (HWND c : Children(dlg)) {
        if (GetParent(c) == dlg && SameId(ControlId(c), id)) return c;
    }
    return nullptr;
}

std::vector<HWND> TopLevelWindows() {
    std::vector<HWND> out;
    EnumWindows(
        [](HWND w, LPARAM p) -> BOOL {
            reinterpret_cast<std::vector<HWND>*>(p)->push_back(w);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&out));
    return out;
}

bool Matches(HWND w, const Options& o) {
    if (!IsWindowVisible(w)) return false;
    if (o.hwnd && w != o.hwnd) return false;
    if (o.hasTitle && CaptionOf(w) != o.title) return false;
    if (o.hasTitleHas && CaptionOf(w).find(o.titleHas) == std::wstring::npos) return false;
    if (o.hasClass && ClassOf(w) != o.className) return false;
    if (o.pid) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (pid != o.pid) return false;
    }
    if (o.enabledOnly && !IsWindowEnabled(w)) return false;
    if (o.hasHasId && !FindControl(w, o.hasId)) return false;
    return true;
}

HWND FindTarget(const Options& o) {
    for (HWND w : TopLevelWindows()) {
        if (Matches(w, o)) return w;
    }
    return nullptr;
}

HWND WaitTarget(const Options& o) {
    DWORD start = GetTickCount();
    for (;;) {
        HWND w = FindTarget(o);
        if (w) return w;
        if (GetTickCount() - start >= o.timeoutMs) return nullptr;
        Sleep(20);
    }
}

std::string WindowLine(HWND w) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    RECT r = {};
    GetWindowRect(w, &r);
    return "{\"hwnd\":" + Hex(w) + ",\"title\":" + JsonString(CaptionOf(w)) + ",\"class\":" +
           JsonString(ClassOf(w)) + ",\"pid\":" + Num(pid) + ",\"visible\":" + Bool(IsWindowVisible(w) != 0) +
           ",\"enabled\":" + Bool(IsWindowEnabled(w) != 0) + ",\"rect\":[" + Num(r.left) + "," +
           Num(r.top) + "," + Num(r.right) + "," + Num(r.bottom) + "]}";
}

// What the screen shows of a control, read back from the display: the pixels
// in the link colour RGB(0, 0, 192), and whether one row of them spans most
// of their width (an underline). Fonts cannot be asked for across processes
// under Wine (WM_GETFONT answers 0), so the screen is the witness.
struct Pixels {
    int blue = 0;
    int blueWidth = 0;   // from the leftmost to the rightmost blue pixel
    int longestRun = 0;  // longest horizontal run of blue pixels
    bool underlined() const { return blue > 0 && blueWidth >= 20 && longestRun * 10 >= blueWidth * 8; }
};

Pixels ScanPixels(HWND c) {
    Pixels px;
    RECT r = {};
    GetWindowRect(c, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0) return px;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;  // top-down
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(mem, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bmp && bits) {
        HGDIOBJ old = SelectObject(mem, bmp);
        BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
        GdiFlush();
        const DWORD* p = static_cast<const DWORD*>(bits);
        int minX = w, maxX = -1;
        for (int y = 0; y < h; ++y) {
            int run = 0;
            for (int x = 0; x < w; ++x) {
                DWORD v = p[y * w + x] & 0xFFFFFF;  // 0x00RRGGBB
                if (v == 0x0000C0) {
                    ++px.blue;
                    if (x < minX) minX = x;
                    if (x > maxX) maxX = x;
                    if (++run > px.longestRun) px.longestRun = run;
                } else {
                    run = 0;
                }
            }
        }
        if (maxX >= minX) px.blueWidth = maxX - minX + 1;
        SelectObject(mem, old);
    }
    if (bmp) DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return px;
}

bool IsUnderlined(HWND c) { return ScanPixels(c).underlined(); }

std::string PixelFields(HWND c) {
    Pixels px = ScanPixels(c);
    return ",\"underlined\":" + Bool(px.underlined()) + ",\"blue_pixels\":" + Num(px.blue) +
           ",\"blue_width\":" + Num(px.blueWidth) + ",\"longest_blue_run\":" + Num(px.longestRun);
}

HWND CaptureOf(HWND w) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(w, nullptr), &info)) return nullptr;
    return info.hwndCapture;
}

std::string ControlLine(HWND dlg, HWND c) {
    std::wstring cls = ClassOf(c);
    RECT r = {};
    GetWindowRect(c, &r);
    MapWindowPoints(nullptr, dlg, reinterpret_cast<POINT*>(&r), 2);
    LONG style = GetWindowLongW(c, GWL_STYLE);
    std::string line = "{\"id\":" + Num(static_cast<short>(ControlId(c) & 0xFFFF)) +
                       ",\"class\":" + JsonString(cls) + ",\"text\":" + JsonString(ControlText(c)) +
                       ",\"visible\":" + Bool(IsWindowVisible(c) != 0) + ",\"enabled\":" +
                       Bool(IsWindowEnabled(c) != 0) + ",\"rect\":[" + Num(r.left) + "," + Num(r.top) +
                       "," + Num(r.right) + "," + Num(r.bottom) + "],\"style\":" +
                       Num(static_cast<unsigned long>(style));
    if (_wcsicmp(cls.c_str(), PROGRESS_CLASSW) == 0) {
        DWORD_PTR pos = 0, lo = 0, hi = 0;
        SendMessageTimeoutW(c, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &pos);
        SendMessageTimeoutW(c, PBM_GETRANGE, TRUE, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &lo);
        SendMessageTimeoutW(c, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &hi);
        line += ",\"pos\":" + Num(static_cast<int>(pos)) + ",\"min\":" + Num(static_cast<int>(lo)) +
                ",\"max\":" + Num(static_cast<int>(hi)) +
                ",\"marquee\":" + Bool((style & PBS_MARQUEE) != 0);
    } else if (_wcsicmp(cls.c_str(), L"Static") == 0) {
        bool link = GetPropW(c, kPropFromStatic) != nullptr;
        line += ",\"hyperlink\":" + Bool(link);
        if (IsWindowVisible(c)) line += PixelFields(c);
    }
    return line + "}";
}

// ---- commands ------------------------------------------------------------

int CmdList() {
    for (HWND w : TopLevelWindows()) {
        if (IsWindowVisible(w)) WriteOut(WindowLine(w));
    }
    return 0;
}

int CmdWaitGone(const Options& o) {
    DWORD start = GetTickCount();
    for (;;) {
        if (!FindTarget(o)) {
            WriteOut("{\"gone\":true}");
            return 0;
        }
        if (GetTickCount() - start >= o.timeoutMs) {
            Error("window still there");
            return 1;
        }
        Sleep(20);
    }
}

int CmdDump(HWND dlg) {
    WriteOut(WindowLine(dlg));
    for (HWND c : Children(dlg)) {
        if (GetParent(c) == dlg) WriteOut(ControlLine(dlg, c));
    }
    return 0;
}

bool Usable(HWND c, const Options& o) {
    if (o.force) return true;
    if (!IsWindowVisible(c)) {
        Error("control is hidden");
        return false;
    }
    if (!IsWindowEnabled(c)) {
        Error("control is disabled");
        return false;
    }
    return true;
}

int CmdClick(HWND dlg, const Options& o) {
    HWND c = FindControl(dlg, o.id);
    if (!c) {
        Error("no such control");
        return 1;
    }
    if (!Usable(c, o)) return 3;
    std::wstring cls = ClassOf(c);
    // Posted, not sent: a click that opens a modal dialog would otherwise
    // block the driver until that dialog ends.
    if (_wcsicmp(cls.c_str(), L"Static") == 0) {
        RECT r = {};
        GetClientRect(c, &r);
        LPARAM at = MAKELPARAM((r.right - r.left) / 2, (r.bottom - r.top) / 2);
        PostMessageW(c, WM_LBUTTONDOWN, MK_LBUTTON, at);
        PostMessageW(c, WM_LBUTTONUP, 0, at);
    } else {
        PostMessageW(c, BM_CLICK, 0, 0);
    }
    WriteOut("{\"clicked\":" + Num(o.id) + ",\"class\":" + JsonString(cls) + "}");
    return 0;
}

bool ParseVk(const std::wstring& name, UINT* vk) {
    struct KeyName {
        const wchar_t* name;
        UINT vk;
    };
    static const KeyName table[] = {{L"ESCAPE", VK_ESCAPE}, {L"ESC", VK_ESCAPE}, {L"RETURN", VK_RETURN},
                              {L"ENTER", VK_RETURN},  {L"TAB", VK_TAB},    {L"SPACE", VK_SPACE}};
    for (const auto& e : table) {
        if (_wcsicmp(name.c_str(), e.name) == 0) {
            *vk = e.vk;
            return true;
        }
    }
    long long n = 0;
    if (!ParseInt(name.c_str(), &n) || n <= 0 || n > 255) return false;
    *vk = static_cast<UINT>(n);
    return true;
}

bool BringToFront(HWND w) {
    DWORD start = GetTickCount();
    do {
        SetForegroundWindow(w);
        if (GetForegroundWindow() == w) return true;
        Sleep(20);
    } while (GetTickCount() - start < 2000);
    return false;
}

int CmdKey(HWND dlg, const Options& o) {
    UINT vk = 0;
    if (!ParseVk(o.vk, &vk)) {
        Error("unknown --vk");
        return 2;
    }
    UINT scan = MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
    if (o.method == L"input") {
        if (!BringToFront(dlg)) {
            Error("could not bring the window to the foreground");
            return 1;
        }
        INPUT in[2] = {};
        in[0].type = in[1].type = INPUT_KEYBOARD;
        in[0].ki.wVk = in[1].ki.wVk = static_cast<WORD>(vk);
        in[0].ki.wScan = in[1].ki.wScan = static_cast<WORD>(scan);
        in[1].ki.dwFlags = KEYEVENTF_KEYUP;
        if (SendInput(2, in, sizeof(INPUT)) != 2) {
            Error("SendInput failed");
            return 1;
        }
        WriteOut("{\"key\":" + Num(vk) + ",\"method\":\"input\"}");
        return 0;
    }
    // The key goes where the keyboard would send it: the dialog thread's
    // focused control (or the dialog itself), through its message loop.
    HWND target = dlg;
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(dlg, nullptr), &info) && info.hwndFocus &&
        (info.hwndFocus == dlg || IsChild(dlg, info.hwndFocus))) {
        target = info.hwndFocus;
    }
    LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16);
    LPARAM up = down | (1 << 30) | (static_cast<LPARAM>(1) << 31);
    PostMessageW(target, WM_KEYDOWN, vk, down);
    PostMessageW(target, WM_KEYUP, vk, up);
    WriteOut("{\"key\":" + Num(vk) + ",\"method\":\"post\",\"target\":" + Hex(target) +
             ",\"target_id\":" + Num(target == dlg ? 0 : static_cast<short>(ControlId(target) & 0xFFFF)) +
             "}");
    return 0;
}

int CmdCommand(HWND dlg, const Options& o) {
    PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(o.id & 0xFFFF, 0), 0);
    WriteOut("{\"command\":" + Num(o.id) + "}");
    return 0;
}

int CmdClose(HWND dlg, const Options& o) {
    if (o.syscommand)
        PostMessageW(dlg, WM_SYSCOMMAND, SC_CLOSE, 0);
    else
        PostMessageW(dlg, WM_CLOSE, 0, 0);
    WriteOut("{\"closed\":" + Hex(dlg) + "}");
    return 0;
}

int CmdHover(HWND dlg, const Options& o) {
    HWND c = FindControl(dlg, o.id);
    if (!c) {
        Error("no such control");
        return 1;
    }
    RECT wr = {};
    GetWindowRect(c, &wr);
    // On: the centre. Off: a point left of and above the control, inside the dialog.
    POINT screen = {(wr.left + wr.right) / 2, (wr.top + wr.bottom) / 2};
    if (o.leave) screen = {wr.left - 8, wr.top - 8};
    if (o.method == L"input") {
        SetCursorPos(screen.x, screen.y);
        INPUT in = {};
        in.type = INPUT_MOUSE;
        in.mi.dx = MulDiv(screen.x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
        in.mi.dy = MulDiv(screen.y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
        in.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
        SendInput(1, &in, sizeof in);
    } else {
        // A captured control gets the move wherever the mouse is; otherwise the
        // move goes to the window under the point.
        POINT client = screen;
        HWND to = (o.leave && CaptureOf(dlg) == c) ? c : (o.leave ? dlg : c);
        ScreenToClient(to, &client);
        PostMessageW(to, WM_MOUSEMOVE, 0, MAKELPARAM(client.x, client.y));
    }
    bool want = !o.leave;
    DWORD start = GetTickCount();
    while (IsUnderlined(c) != want && GetTickCount() - start < 2000) Sleep(20);
    WriteOut("{\"id\":" + Num(o.id) + PixelFields(c) + ",\"capture\":" + Bool(CaptureOf(dlg) == c) +
             ",\"hyperlink\":" + Bool(GetPropW(c, kPropFromStatic) != nullptr) + "}");
    return 0;
}

int CmdForeground() {
    HWND w = GetForegroundWindow();
    if (!w) {
        WriteOut("{\"hwnd\":null}");  // nothing active: an answer, not a failure
        return 0;
    }
    WriteOut(WindowLine(w));
    return 0;
}

void PrintUsage() {
    Error("usage: uidriver list|wait-window|wait-gone|dump|click|key|command|close|hover|foreground "
          "[--title T] [--title-has S] [--class C] [--has-id N] [--pid P] [--hwnd H] [--enabled] "
          "[--timeout MS] [--id N] [--force] [--vk NAME] [--method post|input] [--syscommand] [--leave]");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options o;
    if (!ParseArgs(argc, argv, &o)) {
        PrintUsage();
        return 2;
    }
    const std::wstring& cmd = o.command;
    if (cmd == L"list") return CmdList();
    if (cmd == L"foreground") return CmdForeground();
    if (cmd == L"wait-gone") return CmdWaitGone(o);

    bool known = cmd == L"wait-window" || cmd == L"dump" || cmd == L"click" || cmd == L"key" ||
                 cmd == L"close" || cmd == L"hover" || cmd == L"command";
    if (!known) {
        PrintUsage();
        return 2;
    }
    if ((cmd == L"click" || cmd == L"hover" || cmd == L"command") && !o.hasIdArg) {
        Error("--id is required");
        return 2;
    }
    if (cmd == L"key" && o.vk.empty()) {
        Error("--vk is required");
        return 2;
    }
    HWND dlg = WaitTarget(o);
    if (!dlg) {
        Error("window not found");
        return 1;
    }
    if (cmd == L"wait-window") {
        WriteOut(WindowLine(dlg));
        return 0;
    }
    if (cmd == L"dump") return CmdDump(dlg);
    if (cmd == L"click") return CmdClick(dlg, o);
    if (cmd == L"key") return CmdKey(dlg, o);
    if (cmd == L"close") return CmdClose(dlg, o);
    if (cmd == L"command") return CmdCommand(dlg, o);
    return CmdHover(dlg, o);
}
