// The modal dialog framework: a Dialog object is bound to its window at
// WM_INITDIALOG (window user data) and unbound when destroyed; window
// messages become five virtual operations.
//
// Concurrency: a dialog runs on the thread that called DoModal. A child may
// be created on a notification thread while its owner closes on the
// interface thread, so child lists and the bookkeeping below are guarded by
// one process-wide lock. That lock is never held while a window of another
// thread is messaged (EndDialog on a child of another thread waits for that
// thread), so the two threads cannot deadlock.
//
// Lifetime: a dialog created with an owner Dialog belongs to that owner and
// is deleted with it. If the owner is deleted while the child is still being
// shown (its DoModal has not returned), the child is ended with -1 and
// deletes itself when its DoModal returns; the caller of DoModal must then not
// touch it again. A dialog without an owner Dialog belongs to whoever made it.
#pragma once

#include <windows.h>

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
    // Deletes the children, unbinds the window. Virtual, so that a message
    // dialog deleted through its owner's child list is destroyed whole.
    virtual ~Dialog();
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // Runs the dialog modally from the template in the current language (or
    // the platform's choice); returns the end value, -1/0 when not created.
    // While it runs, Escape pressed in the dialog reaches HandleMessage as
    // WM_KEYDOWN (the platform would otherwise turn it into IDCANCEL).
    INT_PTR DoModal(WORD templateId, HWND owner);
    HWND GetWindow() const { return m_window; }
    // True when an owner Dialog took this object into its child list.
    bool HasOwnerDialog() const { return m_owned; }

    virtual void HandleMessage(DialogMessage* msg);
    virtual BOOL OnInitDialog(DialogMessage* msg);
    virtual int OnShow(DialogMessage* msg);
    virtual BOOL OnCommand(WORD id, WORD code);
    virtual int OnClose(DialogMessage* msg);

    // The Dialog bound to a window of this process, or null.
    static Dialog* FromWindow(HWND hwnd);

protected:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    void AddChild(Dialog* child);
    // Ends every child still open with -1; a child not yet created ends as
    // soon as its window exists.
    void EndOpenChildren();

    std::vector<Dialog*> m_children;  // guarded by the framework lock
    HINSTANCE m_instance;
    HWND m_window;
    int m_shown;

private:
    bool m_owned = false;         // in an owner's child list
    bool m_running = false;       // owned and its DoModal has not returned yet
    bool m_orphaned = false;      // owner gone while running: delete self after DoModal
    bool m_endRequested = false;  // owner closed: end with -1 as soon as possible
    bool m_closed = false;        // its close step ran: a child made later ends at once
};
