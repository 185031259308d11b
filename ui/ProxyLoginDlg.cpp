// The proxy sign-in dialog. See ProxyLoginDlg.h.
#include "ui/ProxyLoginDlg.h"

#include <string>
#include <vector>

#include "i18n/LanguageResources.h"
#include "net/ProxyCredentials.h"
#include "ui/MsgBox.h"

namespace {

// The longest user name or password taken (what a proxy's Basic scheme
// carries comfortably).
const int kMaxField = 255;

// A field's text; the window's copy is wiped afterwards for the password.
std::wstring FieldText(HWND dlg, int id) {
    std::vector<wchar_t> buffer(kMaxField + 2, L'\0');
    GetDlgItemTextW(dlg, id, buffer.data(), static_cast<int>(buffer.size()));
    std::wstring text(buffer.data());
    SecureZeroMemory(buffer.data(), buffer.size() * sizeof(wchar_t));
    return text;
}

}  // namespace

ProxyLoginDlg::ProxyLoginDlg(HINSTANCE instance, UINT text) : Dialog(instance), m_text(text) {}

BOOL ProxyLoginDlg::OnInitDialog(DialogMessage*) {
    SetWindowTextW(m_window, GetString(IDS_CAPTION_PROXY_LOGIN));
    SetWindowTextW(MessageStatic(m_window), QuestionText(m_text).c_str());
    SetDlgItemTextW(m_window, IDC_USER_LABEL, GetString(IDS_LABEL_USER));
    SetDlgItemTextW(m_window, IDC_PASSWORD_LABEL, GetString(IDS_LABEL_PASSWORD));
    SetDlgItemTextW(m_window, IDOK, GetString(IDS_BTN_OK));
    SetDlgItemTextW(m_window, IDCANCEL, GetString(IDS_BTN_CANCEL));
    SendDlgItemMessageW(m_window, IDC_USER, EM_LIMITTEXT, kMaxField, 0);
    SendDlgItemMessageW(m_window, IDC_PASSWORD, EM_LIMITTEXT, kMaxField, 0);
    SetFocus(GetDlgItem(m_window, IDC_USER));
    return FALSE;  // the focus is set
}

BOOL ProxyLoginDlg::OnCommand(WORD id, WORD) {
    if (id != IDOK && id != IDCANCEL) return 0;
    if (id == IDOK) {
        std::wstring user = FieldText(m_window, IDC_USER);
        std::wstring password = FieldText(m_window, IDC_PASSWORD);
        if (user.empty()) {  // nothing to sign in with: the dialog stays
            SetFocus(GetDlgItem(m_window, IDC_USER));
            return 1;
        }
        kavri::SetProxyCredentials(user, password);
        kavri::Wipe(&user);
        kavri::Wipe(&password);
    }
    PostMessageW(m_window, WM_CLOSE, id, 0);
    return 1;
}

int ProxyLoginDlg::OnClose(DialogMessage* msg) {
    msg->result = LOWORD(msg->wParam);
    SetDlgItemTextW(m_window, IDC_PASSWORD, L"");
    return 1;
}

INT_PTR AskProxyLogin(UINT textId, HWND owner) {
    ProxyLoginDlg dialog(nullptr, textId);
    return dialog.DoModal(IDD_PROXY_LOGIN, owner);
}
