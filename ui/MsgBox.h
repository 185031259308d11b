// The one message dialog class, and the helpers through which the rest of
// the installer asks a question or reports an error.
//
// Results: 1 first button, 2 second button, 1009 link, 8 close command,
// 0 closed otherwise (caption box, Escape), -1 not created or ended by its
// owner.
#pragma once

#include <windows.h>

#include <string>

#include "ui/Dialog.h"
#include "ui/ProgressWindow.h"  // the title source, ShowErrorMessage, ShowErrorWithLink

class MsgBox : public Dialog {
public:
    explicit MsgBox(HINSTANCE instance);

    BOOL OnInitDialog(DialogMessage* msg) override;
    BOOL OnCommand(WORD id, WORD code) override;
    int OnClose(DialogMessage* msg) override;

    // Not owned; null (or empty) = absent.
    const wchar_t* caption = nullptr;
    const wchar_t* text = nullptr;
    const wchar_t* firstButton = nullptr;
    const wchar_t* secondButton = nullptr;
    const wchar_t* link = nullptr;

private:
    void FitButton(int id, const wchar_t* label, POINT* shift);
};

// The installer title (SetInstallerTitleSource). Never null.
const wchar_t* GetInstallerTitle();
// The message static (id -1) of a dialog made from one of the templates.
HWND MessageStatic(HWND dlg);
// A text by string id with the title as %1 (and a 0 as %2, so that a text
// which names %2 reads a number rather than whatever follows on the stack).
std::wstring QuestionText(UINT textId);

// Builders over ready strings; each box lives until its builder returns.
INT_PTR ShowMessageDialog(WORD templateId, const wchar_t* text, const wchar_t* caption,
                          const wchar_t* firstButton, const wchar_t* secondButton, HWND owner);
INT_PTR ShowErrorBox(const wchar_t* text, const wchar_t* caption, const wchar_t* link, HWND owner);
INT_PTR ShowQuestionBox(const wchar_t* text, const wchar_t* caption, const wchar_t* firstButton,
                        const wchar_t* secondButton, HWND owner);

// Questions by string id; %1 of every text is the installer title.
INT_PTR AskYesNo(UINT textId, UINT secondButtonId, HWND owner);
INT_PTR AskRetry(UINT textId, UINT secondButtonId, HWND owner);
INT_PTR AskRetry(UINT textId, HWND owner);
INT_PTR ConfirmCancel(UINT textId, UINT captionId, HWND owner);
