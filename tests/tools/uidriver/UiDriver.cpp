// uidriver: drives the installer's real windows from another process, the way
// a person would. Run it in the same Wine prefix and display as the program.
//
//   uidriver <command> [--title T] [--has-id N] [--pid P] [--hwnd 0x..] [--timeout MS]
//                      [--id N] [--repeat MS] [--text T]
// The first visible top-level window (Z order) matching every filter given is
// waited for (default 10000 ms); --has-id: it has a child control with that id
// (1008 the progress window, 1017 a message dialog). Output: JSON lines.
//   dump [--repeat MS] the window (hwnd, title, pid), then per child control: id,
//                      class, text, visible, enabled, rect (dialog client
//                      coordinates); progress bars add pos and marquee; statics
//                      add hyperlink. --repeat: again every 20 ms until the
//                      window goes, for at most MS
//   click --id N       buttons: BM_CLICK; statics: a left click at the centre
//                      (exit 3 for a hidden or disabled control)
//   type --id N --text T  an edit control's text set to T (WM_SETTEXT)
//   escape             Escape posted to the window, so that it passes through
//                      the dialog's message loop as a typed key would
//   close              posts WM_CLOSE
// Exit codes: 0 done, 1 window or control not found, 2 bad usage, 3 refused.
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "tests/support/JsonText.h"

namespace {

using kavri_test::JsonString;

struct Options {
    std::wstring command, title, text;
    int hasId = 0, id = 0;
    DWORD pid = 0, timeoutMs = 10000, repeatMs = 0;
    HWND hwnd = nullptr;
};

int Out(const std::string& line, int code = 0) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), (line + "\n").data(), static_cast<DWORD>(line.size() + 1), &written,
              nullptr);
    return code;
}

int Fail(int code, const wchar_t* what) { return Out("{\"error\":" + JsonString(what) + "}", code); }

std::string Num(long long v) { return std::to_string(v); }
std::string Bool(bool b) { return b ? "true" : "false"; }

bool ParseArgs(int argc, wchar_t** argv, Options* o) {
    for (int i = 2; i < argc; ++i) {
        const std::wstring a = argv[i];
        if (i + 1 >= argc) return false;
        const wchar_t* v = argv[++i];
        const long long n = wcstoll(v, nullptr, 0);
        if (a == L"--title") o->title = v;
        else if (a == L"--has-id") o->hasId = static_cast<int>(n);
        else if (a == L"--pid") o->pid = static_cast<DWORD>(n);
        else if (a == L"--hwnd") o->hwnd = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(n));
        else if (a == L"--timeout") o->timeoutMs = static_cast<DWORD>(n);
        else if (a == L"--repeat") o->repeatMs = static_cast<DWORD>(n);
        else if (a == L"--id") o->id = static_cast<int>(n);
        else if (a == L"--text") o->text = v;
        else return false;
    }
    return true;
}

std::wstring ClassOf(HWND w) {
    wchar_t buf[256] = {};
    GetClassNameW(w, buf, 256);
    return buf;
}

bool IsClass(HWND w, const wchar_t* cls) { return _wcsicmp(ClassOf(w).c_str(), cls) == 0; }

// WM_GETTEXT, bounded: a hung target must not hang the driver.
std::wstring TextOf(HWND w) {
    DWORD_PTR len = 0;
    if (!SendMessageTimeoutW(w, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 3000, &len)) return L"";
    std::vector<wchar_t> buf(len + 2, 0);
    SendMessageTimeoutW(w, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()), SMTO_ABORTIFHUNG, 3000, &len);
    return buf.data();
}

// Ids compare on their low 16 bits: a template's -1 arrives as 0xFFFF or -1.
int IdOf(HWND w) { return static_cast<short>(GetWindowLongPtrW(w, GWLP_ID) & 0xFFFF); }

HWND FindControl(HWND dlg, int id) {
    for (HWND c = GetWindow(dlg, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        if (IdOf(c) == static_cast<short>(id & 0xFFFF)) return c;
    return nullptr;
}

bool Matches(HWND w, const Options& o) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    return IsWindowVisible(w) && (!o.hwnd || w == o.hwnd) && (o.title.empty() || TextOf(w) == o.title) &&
           (!o.pid || pid == o.pid) && (!o.hasId || FindControl(w, o.hasId));
}

std::string WindowLine(HWND w) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    char hwnd[32];
    snprintf(hwnd, sizeof hwnd, "\"0x%llx\"", static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(w)));
    return std::string("{\"hwnd\":") + hwnd + ",\"title\":" + JsonString(TextOf(w)) + ",\"pid\":" + Num(pid) + "}";
}

void Dump(HWND dlg) {
    Out(WindowLine(dlg));
    for (HWND c = GetWindow(dlg, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        RECT r = {};
        GetWindowRect(c, &r);
        MapWindowPoints(nullptr, dlg, reinterpret_cast<POINT*>(&r), 2);
        std::string line = "{\"id\":" + Num(IdOf(c)) + ",\"class\":" + JsonString(ClassOf(c)) + ",\"text\":" +
                           JsonString(TextOf(c)) + ",\"visible\":" + Bool(IsWindowVisible(c)) + ",\"enabled\":" +
                           Bool(IsWindowEnabled(c)) + ",\"rect\":[" + Num(r.left) + "," + Num(r.top) + "," +
                           Num(r.right) + "," + Num(r.bottom) + "]";
        if (IsClass(c, PROGRESS_CLASSW)) {
            DWORD_PTR pos = 0;
            SendMessageTimeoutW(c, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 3000, &pos);
            line += ",\"pos\":" + Num(static_cast<int>(pos)) +
                    ",\"marquee\":" + Bool(GetWindowLongW(c, GWL_STYLE) & PBS_MARQUEE);
        } else if (IsClass(c, L"Static")) {
            line += ",\"hyperlink\":" + Bool(GetPropW(c, L"_Hyperlink_From_Static_"));
        }
        Out(line + "}");
    }
}

int Act(HWND dlg, const Options& o) {
    if (o.command == L"close") return PostMessageW(dlg, WM_CLOSE, 0, 0), Out("{\"closed\":true}");
    if (o.command == L"escape") {
        const LPARAM down = 1 | (static_cast<LPARAM>(MapVirtualKeyW(VK_ESCAPE, MAPVK_VK_TO_VSC)) << 16);
        PostMessageW(dlg, WM_KEYDOWN, VK_ESCAPE, down);
        PostMessageW(dlg, WM_KEYUP, VK_ESCAPE, down | (3LL << 30));
        return Out("{\"escape\":true}");
    }
    HWND c = FindControl(dlg, o.id);
    if (!c) return Fail(1, L"no such control");
    if (!IsWindowVisible(c) || !IsWindowEnabled(c)) return Fail(3, L"control is hidden or disabled");
    if (o.command == L"type") {
        DWORD_PTR done = 0;
        SendMessageTimeoutW(c, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(o.text.c_str()), SMTO_ABORTIFHUNG, 3000, &done);
        return Out("{\"typed\":" + Num(o.id) + "}");
    }
    // Posted: a click that opens a modal dialog must not block the driver.
    if (IsClass(c, L"Static")) {
        RECT r = {};
        GetClientRect(c, &r);
        const LPARAM at = MAKELPARAM(r.right / 2, r.bottom / 2);
        PostMessageW(c, WM_LBUTTONDOWN, MK_LBUTTON, at);
        PostMessageW(c, WM_LBUTTONUP, 0, at);
    } else {
        PostMessageW(c, BM_CLICK, 0, 0);
    }
    return Out("{\"clicked\":" + Num(o.id) + "}");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options o;
    o.command = argc > 1 ? argv[1] : L"";
    if (!ParseArgs(argc, argv, &o) ||
        std::wstring(L" dump click type escape close ").find(L" " + o.command + L" ") == std::wstring::npos)
        return Fail(2, L"usage: uidriver dump|click|type|escape|close [--title T] [--has-id N] [--pid P] "
                       L"[--hwnd H] [--timeout MS] [--id N] [--repeat MS] [--text T]");
    HWND dlg = nullptr;
    for (const DWORD start = GetTickCount(); !dlg; Sleep(20)) {
        for (HWND w = GetTopWindow(nullptr); w && !dlg; w = GetWindow(w, GW_HWNDNEXT))
            if (Matches(w, o)) dlg = w;
        if (!dlg && GetTickCount() - start >= o.timeoutMs) return Fail(1, L"window not found");
    }
    if (o.command != L"dump") return Act(dlg, o);
    for (const DWORD start = GetTickCount(); Dump(dlg), GetTickCount() - start < o.repeatMs; Sleep(20))
        if (!IsWindow(dlg) || !IsWindowVisible(dlg)) break;
    return 0;
}
