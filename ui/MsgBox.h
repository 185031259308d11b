// The one message dialog class, and the helpers through which the rest of
// the installer asks a question or reports an error.
//
// Results: 1 first button, 2 second button, 1009 link, 8 close command,
// 0 closed otherwise (caption box, Escape), -1 not created or ended by its
// owner.
#pragma once

#include <windows.h>

#include "ui/Dialog.h"

class MsgBox : public Dialog {
public:
    MsgBox(HINSTANCE instance, HWND owner);

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

// The installer title: the configured product name, or the default name
// (string 101) when the application object is not available. Never null.
const wchar_t* GetInstallerTitle();

// Builders over ready strings. A message dialog shown without an owner Dialog
// is deleted when its builder returns; one with an owner Dialog belongs to it.
INT_PTR ShowMessageDialog(WORD templateId, const wchar_t* text, const wchar_t* caption,
                          const wchar_t* firstButton, const wchar_t* secondButton, HWND owner);
INT_PTR ShowErrorBox(const wchar_t* text, const wchar_t* caption, const wchar_t* link, HWND owner);
INT_PTR ShowQuestionBox(const wchar_t* text, const wchar_t* caption, const wchar_t* firstButton,
                        const wchar_t* secondButton, HWND owner);

// Helpers by string id; %1 of every text is the installer title.
INT_PTR ShowErrorMessage(UINT textId);
INT_PTR ShowErrorMessage(HWND owner, UINT textId, unsigned value);
INT_PTR ShowErrorWithLink(HWND owner, UINT captionId, UINT linkId, UINT textId, unsigned value);
INT_PTR AskYesNo(UINT textId, UINT secondButtonId, HWND owner);
INT_PTR AskRetry(UINT textId, UINT secondButtonId, HWND owner);
INT_PTR AskRetry(UINT textId, HWND owner);
INT_PTR ConfirmCancel(UINT textId, UINT captionId, HWND owner);
