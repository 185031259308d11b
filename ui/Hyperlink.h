// Turns a static text control into a web-style link: blue text, underlined
// while hovered, the hand cursor, and a click notification (STN_CLICKED) to
// its dialog. All state lives in window properties; both windows clean up on
// WM_DESTROY. Runs on the thread that owns the dialog.
#pragma once

#include <windows.h>

BOOL MakeHyperlink(HWND control);
LRESULT CALLBACK HyperlinkProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK HyperlinkParentProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// RGB(0, 0, 192)
constexpr COLORREF kHyperlinkColor = 0xC00000;
