// The message dialog and the helpers that ask the user or report an error.
#include "ui/MsgBox.h"

#include <atomic>
#include <string>

#include "i18n/LanguageResources.h"
#include "ui/Hyperlink.h"

// The message static of the templates has id -1; depending on the template
// form the window carries it as 0xFFFF or as -1.
HWND MessageStatic(HWND dlg) {
    HWND w = GetDlgItem(dlg, -1);
    return w ? w : GetDlgItem(dlg, 0xFFFF);
}

namespace {

const wchar_t* NonEmpty(const wchar_t* s) { return (s && *s) ? s : nullptr; }

INT_PTR RunMessageDialog(WORD templateId, const wchar_t* text, const wchar_t* caption,
                         const wchar_t* firstButton, const wchar_t* secondButton,
                         const wchar_t* link, HWND owner) {
    MsgBox box(nullptr);
    box.caption = NonEmpty(caption);
    box.text = NonEmpty(text);
    box.firstButton = NonEmpty(firstButton);
    box.secondButton = NonEmpty(secondButton);
    box.link = NonEmpty(link);
    return box.DoModal(templateId, owner);
}

std::atomic<const wchar_t* (*)()> g_titleSource{nullptr};  // set by the start-up, read on any thread

}  // namespace

void SetInstallerTitleSource(const wchar_t* (*source)()) { g_titleSource.store(source); }

const wchar_t* GetInstallerTitle() {
    const auto source = g_titleSource.load();
    const wchar_t* title = source ? source() : nullptr;
    return (title && *title) ? title : GetString(IDS_PRODUCT_NAME);
}

MsgBox::MsgBox(HINSTANCE instance) : Dialog(instance) {}

BOOL MsgBox::OnInitDialog(DialogMessage*) {
    SetWindowTextW(m_window, caption ? caption : GetInstallerTitle());
    if (!secondButton) secondButton = GetString(IDS_BTN_CLOSE);
    if (text) {
        HWND message = MessageStatic(m_window);
        SetWindowTextW(message, text);
        ShowWindow(message, SW_SHOW);
    }
    if (link) {
        HWND linkWindow = GetDlgItem(m_window, IDC_LINK);
        SetWindowTextW(linkWindow, link);
        ShowWindow(linkWindow, SW_SHOW);
        MakeHyperlink(linkWindow);
    }
    // Right to left: a button that grows pushes the ones on its left along.
    POINT shift = {0, 0};
    FitButton(IDCANCEL, secondButton, &shift);
    if (firstButton) {
        FitButton(IDOK, firstButton, &shift);
        ShowWindow(GetDlgItem(m_window, IDOK), SW_SHOW);
    }
    return TRUE;
}

BOOL MsgBox::OnCommand(WORD id, WORD code) {
    switch (id) {
    case IDOK:
    case IDCANCEL:
    case IDCLOSE:
    case IDC_LINK:
        PostMessageW(m_window, WM_CLOSE, id, code);
        return 1;
    default:
        return 0;
    }
}

int MsgBox::OnClose(DialogMessage* msg) {
    msg->result = LOWORD(msg->wParam);
    return 1;
}

void MsgBox::FitButton(int id, const wchar_t* label, POINT* shift) {
    HWND button = GetDlgItem(m_window, id);
    if (!button || !label) return;

    // Measured with the window's plain device context (no font selected), as
    // the layout rule was made for.
    SIZE textSize = {0, 0};
    if (HDC dc = GetDC(m_window)) {
        GetTextExtentPoint32W(dc, label, lstrlenW(label), &textSize);
        ReleaseDC(m_window, dc);
    }
    WINDOWINFO info = {};
    info.cbSize = sizeof info;
    GetWindowInfo(button, &info);
    const RECT& client = info.rcClient;  // screen coordinates
    const LONG clientWidth = client.right - client.left;
    const LONG height = client.bottom - client.top;

    LONG extra = textSize.cx - clientWidth;
    if (extra <= 20) {
        if (shift->x != 0 || shift->y != 0) {
            POINT at = {client.left - shift->x, client.top - shift->y};
            ScreenToClient(m_window, &at);
            SetWindowPos(button, nullptr, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
        }
    } else {
        extra += 20;
        SetWindowPos(button, nullptr, 0, 0, textSize.cx + 20, height, SWP_NOMOVE | SWP_SHOWWINDOW);
        POINT at = {client.left - shift->x - extra, client.top - shift->y};
        ScreenToClient(m_window, &at);
        SetWindowPos(button, nullptr, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
        shift->x += extra;
        shift->y = 0;
    }
    SetWindowTextW(button, label);
}

INT_PTR ShowMessageDialog(WORD templateId, const wchar_t* text, const wchar_t* caption,
                          const wchar_t* firstButton, const wchar_t* secondButton, HWND owner) {
    return RunMessageDialog(templateId, text, caption, firstButton, secondButton, nullptr, owner);
}

INT_PTR ShowErrorBox(const wchar_t* text, const wchar_t* caption, const wchar_t* link, HWND owner) {
    return RunMessageDialog(IDD_ERROR, text, caption, nullptr, nullptr, link, owner);
}

INT_PTR ShowQuestionBox(const wchar_t* text, const wchar_t* caption, const wchar_t* firstButton,
                        const wchar_t* secondButton, HWND owner) {
    return RunMessageDialog(IDD_QUESTION, text, caption, firstButton, secondButton, nullptr, owner);
}

INT_PTR ShowErrorMessage(HWND owner, UINT textId, unsigned value) {
    const wchar_t* title = GetInstallerTitle();
    std::wstring text;
    FormatString(&text, textId, title, value);
    return ShowErrorBox(text.c_str(), title, nullptr, owner);
}

INT_PTR ShowErrorWithLink(HWND owner, UINT captionId, UINT linkId, UINT textId, unsigned value) {
    std::wstring text;
    FormatString(&text, textId, GetInstallerTitle(), value);
    return ShowErrorBox(text.c_str(), GetString(captionId), GetString(linkId), owner);
}

std::wstring QuestionText(UINT textId) {
    std::wstring text;
    FormatString(&text, textId, GetInstallerTitle(), 0u);
    return text;
}

INT_PTR AskYesNo(UINT textId, UINT secondButtonId, HWND owner) {
    std::wstring text = QuestionText(textId);
    return ShowQuestionBox(text.c_str(), GetInstallerTitle(), GetString(IDS_BTN_YES),
                           GetString(secondButtonId), owner);
}

INT_PTR AskRetry(UINT textId, UINT secondButtonId, HWND owner) {
    std::wstring text = QuestionText(textId);
    return ShowQuestionBox(text.c_str(), GetInstallerTitle(), GetString(IDS_BTN_RETRY),
                           GetString(secondButtonId), owner);
}

INT_PTR AskRetry(UINT textId, HWND owner) { return AskRetry(textId, IDS_BTN_CANCEL, owner); }

INT_PTR ConfirmCancel(UINT textId, UINT captionId, HWND owner) {
    std::wstring text = QuestionText(textId);
    const wchar_t* caption = GetString(captionId);
    if (!*caption) caption = GetInstallerTitle();
    return ShowMessageDialog(IDD_CONFIRM, text.c_str(), caption, GetString(IDS_BTN_YES),
                             GetString(IDS_BTN_NO), owner);
}
