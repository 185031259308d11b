// The proxy sign-in dialog: asks for the user name and password a proxy
// wants, and on OK stores them for the run's requests
// (net/ProxyCredentials.h). What was typed is wiped from the dialog and from
// memory as it closes.
//
// Threads: runs on the interface thread, modal to its owner.
#pragma once

#include <windows.h>

#include "ui/Dialog.h"

class ProxyLoginDlg : public Dialog {
public:
    // text: the message's string id; %1 is the installer title.
    ProxyLoginDlg(HINSTANCE instance, UINT text);

    BOOL OnInitDialog(DialogMessage* msg) override;
    BOOL OnCommand(WORD id, WORD code) override;
    int OnClose(DialogMessage* msg) override;

private:
    UINT m_text;
};

// Shows the dialog; 1 when OK stored the credentials, else 2 (Cancel), 0
// (closed) or -1 (not shown).
INT_PTR AskProxyLogin(UINT textId, HWND owner);
