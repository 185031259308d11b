// The modal dialog framework: a Dialog object is bound to its window at
// WM_INITDIALOG (window user data) and unbound when destroyed; window
// messages become five virtual operations.
//
// Concurrency: a dialog runs on the thread that called DoModal. A child may
// be created on a notification thread while its owner closes on the
// interface thread, so the child list is guarded by a lock.
#pragma once

#include <windows.h>

#include <mutex>
#include <vector>

struct DialogMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT result;
};

class Dialog {
public:
    Dialog(HINSTANCE instance, HWND owner);
    explicit Dialog(HINSTANCE instance);
    // Deletes the children, unbinds the window. Not virtual: the progress
    // window is deleted through its own type, message dialogs through Dialog.
    ~Dialog();
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // Runs the dialog modally from the template in the current language (or
    // the platform's choice); returns the end value, -1/0 when not created.
    INT_PTR DoModal(WORD templateId, HWND owner);
    HWND GetWindow() const { return m_window; }

    virtual void HandleMessage(DialogMessage* msg);
    virtual BOOL OnInitDialog(DialogMessage* msg);
    virtual int OnShow(DialogMessage* msg);
    virtual BOOL OnCommand(WORD id, WORD code);
    virtual int OnClose(DialogMessage* msg);

protected:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    void AddChild(Dialog* child);
    void EndOpenChildren();

    std::mutex m_childLock;
    std::vector<Dialog*> m_children;
    HINSTANCE m_instance;
    HWND m_window;
    int m_shown;
};
