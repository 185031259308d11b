// The dialog base class: binding, the modal runner and the message dispatch.
// See Dialog.h for the threading and lifetime rules.
#include "ui/Dialog.h"

#include <mutex>

#include "i18n/LanguageResources.h"
#include "log/Log.h"

namespace {

// Guards every child list and the owned/running/orphaned/endRequested flags,
// and the window binding while an owner is looked up. Never held while a
// window of another thread is messaged. Kept to process exit.
std::mutex& FrameworkLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

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

Dialog::Dialog(HINSTANCE instance, HWND owner)
    : m_instance(instance ? instance : GetModuleHandleW(nullptr)), m_window(nullptr), m_shown(0) {
    if (!owner) return;
    std::lock_guard<std::mutex> lock(FrameworkLock());
    // Looked up and adopted under the lock: the owner cannot be unbound and
    // deleted in between.
    Dialog* parent = FromWindow(owner);
    if (parent) {
        parent->AddChild(this);
        // The owner has already ended its open children and is on its way
        // out (its window still exists until its modal loop returns): a child
        // made now would outlive it on screen, so it ends unshown with -1.
        if (parent->m_closed) m_endRequested = true;
    }
}

Dialog::Dialog(HINSTANCE instance)
    : m_instance(instance ? instance : GetModuleHandleW(nullptr)), m_window(nullptr), m_shown(0) {}

Dialog::~Dialog() {
    std::vector<Dialog*> remove;
    std::vector<HWND> open;
    {
        std::lock_guard<std::mutex> lock(FrameworkLock());
        for (Dialog* child : m_children) {
            if (child->m_running) {
                // Still inside its DoModal on another thread: it ends with -1
                // (the close step or its WM_INITDIALOG sees the request) and
                // deletes itself when DoModal returns.
                child->m_orphaned = true;
                child->m_endRequested = true;
                if (child->m_window) open.push_back(child->m_window);
            } else {
                remove.push_back(child);
            }
        }
        m_children.clear();
        if (m_window && IsWindow(m_window) &&
            GetWindowLongPtrW(m_window, GWLP_USERDATA) == reinterpret_cast<LONG_PTR>(this)) {
            SetWindowLongPtrW(m_window, GWLP_USERDATA, 0);
        }
        m_window = nullptr;
    }
    for (HWND w : open) {
        if (IsWindow(w)) EndDialog(w, -1);
    }
    for (Dialog* child : remove) delete child;
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

void Dialog::AddChild(Dialog* child) {
    // Called with the framework lock held (from the constructor).
    child->m_owned = true;
    child->m_running = true;
    m_children.push_back(child);
}

void Dialog::EndOpenChildren() {
    std::vector<HWND> open;
    {
        std::lock_guard<std::mutex> lock(FrameworkLock());
        for (Dialog* child : m_children) {
            if (!child->m_running) continue;
            child->m_endRequested = true;
            if (child->m_window) open.push_back(child->m_window);
        }
    }
    // Outside the lock: EndDialog on another thread's dialog waits for that
    // thread, which may itself be waiting for the lock.
    for (HWND w : open) {
        if (IsWindow(w)) EndDialog(w, -1);
    }
}

INT_PTR Dialog::DoModal(WORD templateId, HWND owner) {
    INT_PTR result = -1;
    bool ownerClosed = false;
    {
        std::lock_guard<std::mutex> lock(FrameworkLock());
        ownerClosed = m_endRequested;
    }
    // An owner that closed before this dialog could show ends it unshown.
    if (!ownerClosed) {
        ScopedEscapeFilter filter;
        const DLGTEMPLATE* tmpl = FindDialogTemplate(templateId);
        SetLastError(0);
        if (tmpl) {
            result = DialogBoxIndirectParamW(m_instance, tmpl, owner, &Dialog::DialogProc,
                                             reinterpret_cast<LPARAM>(this));
        } else {
            result = DialogBoxParamW(m_instance, MAKEINTRESOURCEW(templateId), owner,
                                     &Dialog::DialogProc, reinterpret_cast<LPARAM>(this));
        }
        if (!m_window) {
            // -1, or 0 for an owner window that no longer exists.
            LogWarning(&DialogLog(), -1, L":DoModal, dialog %u was not created (%d), error %lu",
                       static_cast<unsigned>(templateId), static_cast<int>(result), GetLastError());
        }
    }
    bool deleteSelf = false;
    {
        std::lock_guard<std::mutex> lock(FrameworkLock());
        m_running = false;
        deleteSelf = m_orphaned;
    }
    if (deleteSelf) delete this;  // the owner is gone; nobody else holds this object
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
        bool endNow = false;
        {
            std::lock_guard<std::mutex> lock(FrameworkLock());
            self->m_window = hwnd;
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
            endNow = self->m_endRequested;
        }
        if (endNow) {
            // The owner closed before this window existed.
            EndDialog(hwnd, -1);
            return TRUE;
        }
    }
    if (!self) return 0;
    if (message == WM_NCDESTROY) {
        // The window is going away: no later message may reach the object.
        // The window field is kept, as the dialog's record of its window.
        std::lock_guard<std::mutex> lock(FrameworkLock());
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
        {
            std::lock_guard<std::mutex> lock(FrameworkLock());
            m_closed = true;
        }
        EndOpenChildren();
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
