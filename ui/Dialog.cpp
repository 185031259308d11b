// The dialog base class: binding, the modal runner and the message dispatch.
// See Dialog.h for the thread and lifetime rules.
#include "ui/Dialog.h"

#include "i18n/LanguageResources.h"
#include "log/Log.h"

namespace {

const CLog& DialogLog() {
    static const CLog* log = new CLog(L"Dialog");
    return *log;
}

// In a modal dialog the platform's loop turns Escape into WM_COMMAND IDCANCEL
// before the dialog sees the key, which would make Escape look like a click on
// the second button. A message filter on the dialog's thread hands the key to
// the dialog itself instead, so the dialog's own Escape handling decides.
// One hook per thread, installed while at least one DoModal runs on it.
struct EscapeFilter {
    HHOOK hook = nullptr;
    int depth = 0;
};
thread_local EscapeFilter t_escapeFilter;

LRESULT CALLBACK EscapeFilterProc(int code, WPARAM wParam, LPARAM lParam) {
    if (code == MSGF_DIALOGBOX && lParam) {
        const MSG* m = reinterpret_cast<const MSG*>(lParam);
        if (m->message == WM_KEYDOWN && m->wParam == VK_ESCAPE && m->hwnd) {
            HWND root = GetAncestor(m->hwnd, GA_ROOT);
            if (root && Dialog::FromWindow(root)) {
                SendMessageW(root, WM_KEYDOWN, m->wParam, m->lParam);
                return 1;  // handled: the platform does not see it
            }
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

class ScopedEscapeFilter {
public:
    ScopedEscapeFilter() {
        EscapeFilter& f = t_escapeFilter;
        if (f.depth++ == 0) {
            f.hook = SetWindowsHookExW(WH_MSGFILTER, EscapeFilterProc, nullptr, GetCurrentThreadId());
            if (!f.hook)
                LogWarning(&DialogLog(), -1, L":DoModal, no Escape filter, error %lu", GetLastError());
        }
    }
    ~ScopedEscapeFilter() {
        EscapeFilter& f = t_escapeFilter;
        if (--f.depth == 0 && f.hook) {
            UnhookWindowsHookEx(f.hook);
            f.hook = nullptr;
        }
    }
    ScopedEscapeFilter(const ScopedEscapeFilter&) = delete;
    ScopedEscapeFilter& operator=(const ScopedEscapeFilter&) = delete;
};

}  // namespace

Dialog::Dialog(HINSTANCE instance)
    : m_instance(instance ? instance : GetModuleHandleW(nullptr)), m_window(nullptr), m_shown(0) {}

Dialog::~Dialog() {
    if (m_window && IsWindow(m_window) &&
        GetWindowLongPtrW(m_window, GWLP_USERDATA) == reinterpret_cast<LONG_PTR>(this)) {
        SetWindowLongPtrW(m_window, GWLP_USERDATA, 0);
    }
}

Dialog* Dialog::FromWindow(HWND hwnd) {
    if (!hwnd) return nullptr;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != GetCurrentProcessId()) return nullptr;
    // Only our own dialogs: any other window may keep something else in its
    // user data.
    if (GetWindowLongPtrW(hwnd, DWLP_DLGPROC) != reinterpret_cast<LONG_PTR>(&Dialog::DialogProc))
        return nullptr;
    return reinterpret_cast<Dialog*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

INT_PTR Dialog::DoModal(WORD templateId, HWND owner) {
    ScopedEscapeFilter filter;
    const DLGTEMPLATE* tmpl = FindDialogTemplate(templateId);
    SetLastError(0);
    const INT_PTR result =
        tmpl ? DialogBoxIndirectParamW(m_instance, tmpl, owner, &Dialog::DialogProc, reinterpret_cast<LPARAM>(this))
             : DialogBoxParamW(m_instance, MAKEINTRESOURCEW(templateId), owner, &Dialog::DialogProc,
                               reinterpret_cast<LPARAM>(this));
    if (!m_window) {
        // -1, or 0 for an owner window that no longer exists.
        LogWarning(&DialogLog(), -1, L":DoModal, dialog %u was not created (%d), error %lu",
                   static_cast<unsigned>(templateId), static_cast<int>(result), GetLastError());
    }
    return result;
}

INT_PTR CALLBACK Dialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Dialog* self = reinterpret_cast<Dialog*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<Dialog*>(lParam);
        if (!self) return FALSE;
        if (!(GetWindowLongPtrW(hwnd, GWL_STYLE) & DS_ABSALIGN)) {
            HICON icon = LoadIconW(self->m_instance, MAKEINTRESOURCEW(IDI_APP));
            if (icon) SetClassLongPtrW(hwnd, GCLP_HICON, reinterpret_cast<LONG_PTR>(icon));
        }
        self->m_window = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    if (!self) return 0;
    if (message == WM_NCDESTROY) {
        // The window is going away: no later message may reach the object.
        // The window field is kept, as the dialog's record of its window.
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        return 0;
    }
    DialogMessage msg = {message, wParam, lParam, 0};
    self->HandleMessage(&msg);
    return static_cast<INT_PTR>(msg.result);
}

void Dialog::HandleMessage(DialogMessage* msg) {
    switch (msg->message) {
    case WM_INITDIALOG:
        msg->result = OnInitDialog(msg);
        break;
    case WM_COMMAND:
        msg->result = OnCommand(LOWORD(msg->wParam), HIWORD(msg->wParam));
        break;
    case WM_SHOWWINDOW:
        // The first-show step runs when the window is shown, never while it
        // is being hidden (EndDialog hides it before it goes away).
        if (m_shown == 0 && msg->wParam) {
            m_shown = OnShow(msg);
            if (m_shown == 0) EndDialog(m_window, -1);
        }
        break;
    case WM_KEYDOWN:
        if (msg->wParam == VK_ESCAPE) {
            PostMessageW(m_window, WM_CLOSE, 0, 0);
            msg->result = 1;
        }
        break;
    case WM_CLOSE:
        if (!OnClose(msg)) {
            msg->result = 1;
            break;
        }
        EndDialog(m_window, msg->result);
        msg->result = 1;
        break;
    default:
        break;
    }
}

BOOL Dialog::OnInitDialog(DialogMessage*) { return TRUE; }
int Dialog::OnShow(DialogMessage*) { return 1; }
BOOL Dialog::OnCommand(WORD, WORD) { return 0; }
int Dialog::OnClose(DialogMessage*) { return 1; }
