// The modal dialog framework: a Dialog object is bound to its window at
// WM_INITDIALOG (window user data) and unbound when destroyed; window
// messages become five virtual operations.
//
// Threads: a dialog and everything it owns run on the thread that called
// DoModal; no other thread touches it.
//
// Lifetime: a dialog belongs to whoever made it; the owner window given to
// DoModal only places it and disables that window while it runs.
#pragma once

#include <windows.h>

struct DialogMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT result;
};

class Dialog {
public:
    explicit Dialog(HINSTANCE instance);
    // Unbinds the window.
    virtual ~Dialog();
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // Runs the dialog modally from the template in the current language (or
    // the platform's choice); returns the end value, -1/0 when not created.
    // While it runs, Escape pressed in the dialog reaches HandleMessage as
    // WM_KEYDOWN (the platform would otherwise turn it into IDCANCEL).
    INT_PTR DoModal(WORD templateId, HWND owner);
    HWND GetWindow() const { return m_window; }

    virtual void HandleMessage(DialogMessage* msg);
    virtual BOOL OnInitDialog(DialogMessage* msg);
    virtual int OnShow(DialogMessage* msg);
    virtual BOOL OnCommand(WORD id, WORD code);
    virtual int OnClose(DialogMessage* msg);

    // The Dialog bound to a window of this process, or null.
    static Dialog* FromWindow(HWND hwnd);

protected:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    HINSTANCE m_instance;
    HWND m_window;
    int m_shown;
};
