// A static text control turned into a web-style link. Both the control and
// its parent are subclassed; all state is kept in window properties, so the
// link needs no object and is released with its windows.
#include "ui/Hyperlink.h"

namespace {

const wchar_t kOriginalProc[] = L"_Hyperlink_Original_Proc_";
const wchar_t kOriginalFont[] = L"_Hyperlink_Original_Font_";
const wchar_t kUnderlineFont[] = L"_Hyperlink_Underline_Font_";
const wchar_t kFromStatic[] = L"_Hyperlink_From_Static_";

WNDPROC SavedProc(HWND hwnd) { return reinterpret_cast<WNDPROC>(GetPropW(hwnd, kOriginalProc)); }

LRESULT CallSaved(WNDPROC saved, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return saved ? CallWindowProcW(saved, hwnd, message, wParam, lParam)
                 : DefWindowProcW(hwnd, message, wParam, lParam);
}

void SetLinkFont(HWND hwnd, const wchar_t* property) {
    SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(GetPropW(hwnd, property)), FALSE);
    InvalidateRect(hwnd, nullptr, FALSE);
}

}  // namespace

BOOL MakeHyperlink(HWND control) {
    // A second call would save HyperlinkProc as the original and recurse.
    if (GetWindowLongPtrW(control, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(&HyperlinkProc))
        return TRUE;
    HWND parent = GetParent(control);
    if (parent && GetWindowLongPtrW(parent, GWLP_WNDPROC) !=
                      reinterpret_cast<LONG_PTR>(&HyperlinkParentProc)) {
        SetPropW(parent, kOriginalProc, reinterpret_cast<HANDLE>(GetWindowLongPtrW(parent, GWLP_WNDPROC)));
        SetWindowLongPtrW(parent, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&HyperlinkParentProc));
    }

    SetWindowLongPtrW(control, GWL_STYLE, GetWindowLongPtrW(control, GWL_STYLE) | SS_NOTIFY);

    SetPropW(control, kOriginalProc, reinterpret_cast<HANDLE>(GetWindowLongPtrW(control, GWLP_WNDPROC)));
    SetWindowLongPtrW(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&HyperlinkProc));

    HFONT normal = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    SetPropW(control, kOriginalFont, normal);
    LOGFONTW lf = {};
    GetObjectW(normal, sizeof lf, &lf);
    lf.lfUnderline = TRUE;
    SetPropW(control, kUnderlineFont, CreateFontIndirectW(&lf));

    SetPropW(control, kFromStatic, reinterpret_cast<HANDLE>(1));
    return TRUE;
}

LRESULT CALLBACK HyperlinkParentProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    WNDPROC saved = SavedProc(hwnd);
    switch (message) {
    case WM_CTLCOLORSTATIC: {
        LRESULT brush = CallSaved(saved, hwnd, message, wParam, lParam);
        if (GetPropW(reinterpret_cast<HWND>(lParam), kFromStatic))
            SetTextColor(reinterpret_cast<HDC>(wParam), kHyperlinkColor);
        return brush;
    }
    case WM_DESTROY:
        SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(saved));
        RemovePropW(hwnd, kOriginalProc);
        return CallSaved(saved, hwnd, message, wParam, lParam);
    default:
        return CallSaved(saved, hwnd, message, wParam, lParam);
    }
}

LRESULT CALLBACK HyperlinkProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    WNDPROC saved = SavedProc(hwnd);
    switch (message) {
    case WM_SETCURSOR: {
        HCURSOR cursor = LoadCursorW(nullptr, IDC_HAND);
        SetCursor(cursor ? cursor : LoadCursorW(nullptr, IDC_ARROW));
        return TRUE;
    }
    case WM_MOUSEMOVE:
        if (GetCapture() != hwnd) {
            SetLinkFont(hwnd, kUnderlineFont);
            SetCapture(hwnd);
        } else {
            // lParam holds signed client coordinates.
            POINT pt = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
            ClientToScreen(hwnd, &pt);
            RECT rect = {};
            GetWindowRect(hwnd, &rect);
            if (!PtInRect(&rect, pt)) {
                SetLinkFont(hwnd, kOriginalFont);
                ReleaseCapture();
            }
        }
        return CallSaved(saved, hwnd, message, wParam, lParam);
    case WM_SETFONT: {
        // A font that is neither of ours is the dialog's new one (the scaling
        // changed): the underlined twin is made again at its size.
        HFONT font = reinterpret_cast<HFONT>(wParam);
        if (font && font != GetPropW(hwnd, kUnderlineFont) && font != GetPropW(hwnd, kOriginalFont)) {
            LOGFONTW lf = {};
            GetObjectW(font, sizeof lf, &lf);
            lf.lfUnderline = TRUE;
            HANDLE old = GetPropW(hwnd, kUnderlineFont);
            SetPropW(hwnd, kOriginalFont, font);
            SetPropW(hwnd, kUnderlineFont, CreateFontIndirectW(&lf));
            if (old) DeleteObject(old);
        }
        return CallSaved(saved, hwnd, message, wParam, lParam);
    }
    case WM_DESTROY: {
        SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(saved));
        RemovePropW(hwnd, kOriginalProc);
        SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(GetPropW(hwnd, kOriginalFont)), FALSE);
        RemovePropW(hwnd, kOriginalFont);
        DeleteObject(RemovePropW(hwnd, kUnderlineFont));
        RemovePropW(hwnd, kFromStatic);
        return CallSaved(saved, hwnd, message, wParam, lParam);
    }
    default:
        return CallSaved(saved, hwnd, message, wParam, lParam);
    }
}
