// The link of the unsupported-system message in a real dialog: hover state
// as the screen shows it, its colour, and the clean-up when the dialog goes.
#include <gtest/gtest.h>

#include <string>

#include "DialogTestSupport.h"
#include "i18n/LanguageResources.h"
#include "ui/Hyperlink.h"
#include "ui/MsgBox.h"

using namespace kavri_test;

namespace {

const DWORD kEndMs = 20000;
const wchar_t* const kLinkProperties[] = {L"_Hyperlink_Original_Proc_", L"_Hyperlink_Original_Font_",
                                          L"_Hyperlink_Underline_Font_", L"_Hyperlink_From_Static_"};

INT_PTR ShowLinkMessage() {
    return ShowErrorWithLink(nullptr, IDS_CAPTION_OS_NOT_SUPPORTED, IDS_LINK_SUPPORTED_OS, IDS_MSG_OS_NOT_SUPPORTED,
                             0);
}

std::wstring LinkDialog() { return MessageDialog(GetString(IDS_CAPTION_OS_NOT_SUPPORTED)); }

TEST(Hyperlink, UnderlinedWhileHoveredAndBlueThroughout) {
    for (const wchar_t* method : {L"post", L"input"}) {
        SCOPED_TRACE(std::string("mouse moves by ") + (method[0] == L'p' ? "posted messages" : "SendInput"));
        DialogThread shown(ShowLinkMessage);
        const std::wstring filters = LinkDialog() + L" --id 1009 --method " + method;

        Dump before = DumpDialog(LinkDialog());
        EXPECT_EQ("false", before.Field(IDC_LINK, "underlined"));
        EXPECT_NE("0", before.Field(IDC_LINK, "blue_pixels"));  // blue before any hover
        EXPECT_EQ("0", before.Field(-1, "blue_pixels"));        // the message text is not
        EXPECT_EQ("false", before.Field(-1, "hyperlink"));

        std::string out;
        ASSERT_EQ(0, Drive(L"hover " + filters, &out));
        EXPECT_EQ("true", JsonField(out, "underlined")) << out;
        EXPECT_EQ("true", JsonField(out, "capture")) << out;
        ASSERT_EQ(0, Drive(L"hover --leave " + filters, &out));
        EXPECT_EQ("false", JsonField(out, "underlined")) << out;
        EXPECT_EQ("false", JsonField(out, "capture")) << out;
        EXPECT_NE("0", JsonField(out, "blue_pixels")) << out;

        EXPECT_EQ(0, Drive(L"click --id 2 " + LinkDialog()));
        INT_PTR result = 0;
        ASSERT_TRUE(shown.Wait(kEndMs, &result));
        EXPECT_EQ(2, result);
    }
}

// The colour as the parent hands it to the static: asked directly, in this
// process, with a memory device context.
TEST(Hyperlink, ParentColoursOnlyTheLinkBlue) {
    DialogThread shown(ShowLinkMessage);
    std::string out;
    ASSERT_EQ(0, Drive(L"wait-window " + LinkDialog(), &out));
    HWND dlg = ParseHwnd(out);
    ASSERT_TRUE(IsWindow(dlg));
    HWND link = GetDlgItem(dlg, IDC_LINK);
    HWND message = nullptr;
    for (HWND c = GetWindow(dlg, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        if ((GetDlgCtrlID(c) & 0xFFFF) == 0xFFFF) message = c;
    }
    ASSERT_TRUE(link && message);

    HDC dc = CreateCompatibleDC(nullptr);
    SetTextColor(dc, RGB(1, 2, 3));
    SendMessageW(dlg, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(link));
    EXPECT_EQ(kHyperlinkColor, GetTextColor(dc));
    EXPECT_EQ(RGB(0, 0, 192), GetTextColor(dc));
    SetTextColor(dc, RGB(1, 2, 3));
    SendMessageW(dlg, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(message));
    EXPECT_NE(kHyperlinkColor, GetTextColor(dc));
    DeleteDC(dc);

    EXPECT_EQ(reinterpret_cast<LONG_PTR>(&HyperlinkParentProc), GetWindowLongPtrW(dlg, GWLP_WNDPROC));
    EXPECT_EQ(reinterpret_cast<LONG_PTR>(&HyperlinkProc), GetWindowLongPtrW(link, GWLP_WNDPROC));
    EXPECT_NE(0, GetWindowLongPtrW(link, GWL_STYLE) & SS_NOTIFY);

    EXPECT_EQ(0, Drive(L"click --id 1009 " + LinkDialog()));
    INT_PTR result = 0;
    ASSERT_TRUE(shown.Wait(kEndMs, &result));
    EXPECT_EQ(IDC_LINK, result);
}

// What the windows still carry right after their WM_DESTROY, seen by a hook
// on the dialog's thread.
struct DestroyWatch {
    HWND dlg = nullptr;
    HWND link = nullptr;
    int linkProps = -1;
    int parentProps = -1;
    LONG_PTR linkProc = 0;
    LONG_PTR parentProc = 0;
};
DestroyWatch g_watch;

LRESULT CALLBACK AfterMessage(int code, WPARAM wParam, LPARAM lParam) {
    const CWPRETSTRUCT* m = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    if (code == HC_ACTION && m->message == WM_DESTROY) {
        if (m->hwnd == g_watch.link) {
            g_watch.linkProps = 0;
            for (const wchar_t* p : kLinkProperties) g_watch.linkProps += GetPropW(m->hwnd, p) ? 1 : 0;
            g_watch.linkProc = GetWindowLongPtrW(m->hwnd, GWLP_WNDPROC);
        } else if (m->hwnd == g_watch.dlg) {
            g_watch.parentProps = GetPropW(m->hwnd, kLinkProperties[0]) ? 1 : 0;
            g_watch.parentProc = GetWindowLongPtrW(m->hwnd, GWLP_WNDPROC);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST(Hyperlink, DestroyedDialogLeavesNoPropertyAndNoFont) {
    DialogThread shown(ShowLinkMessage);
    std::string out;
    ASSERT_EQ(0, Drive(L"wait-window " + LinkDialog(), &out));
    g_watch = DestroyWatch();
    g_watch.dlg = ParseHwnd(out);
    g_watch.link = GetDlgItem(g_watch.dlg, IDC_LINK);
    ASSERT_TRUE(g_watch.link);
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROCRET, AfterMessage, nullptr, shown.ThreadId());
    ASSERT_TRUE(hook);

    for (const wchar_t* p : kLinkProperties) EXPECT_TRUE(GetPropW(g_watch.link, p)) << p;
    HFONT underline = static_cast<HFONT>(GetPropW(g_watch.link, L"_Hyperlink_Underline_Font_"));
    LOGFONTW lf = {};
    ASSERT_NE(0, GetObjectW(underline, sizeof lf, &lf));
    EXPECT_TRUE(lf.lfUnderline);
    // Hovered when the dialog goes: the underline font is in use then.
    ASSERT_EQ(0, Drive(L"hover --id 1009 " + LinkDialog(), &out));
    EXPECT_EQ("true", JsonField(out, "underlined")) << out;

    ASSERT_EQ(0, Drive(L"close " + LinkDialog()));
    INT_PTR result = -2;
    ASSERT_TRUE(shown.Wait(kEndMs, &result));
    UnhookWindowsHookEx(hook);
    EXPECT_EQ(0, result);

    EXPECT_EQ(0, g_watch.linkProps);
    EXPECT_EQ(0, g_watch.parentProps);
    EXPECT_NE(0, g_watch.linkProc);
    EXPECT_NE(reinterpret_cast<LONG_PTR>(&HyperlinkProc), g_watch.linkProc);
    EXPECT_NE(reinterpret_cast<LONG_PTR>(&HyperlinkParentProc), g_watch.parentProc);
    EXPECT_EQ(0u, static_cast<unsigned>(GetObjectType(underline)));  // deleted
}

// Two links in one window: the parent is subclassed once, both are blue.
TEST(Hyperlink, TwoLinksShareOneParentSubclass) {
    HWND parent = CreateWindowExW(0, L"STATIC", L"parent", WS_POPUP, 0, 0, 300, 100, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    ASSERT_TRUE(parent);
    const LONG_PTR original = GetWindowLongPtrW(parent, GWLP_WNDPROC);
    HWND a = CreateWindowExW(0, L"STATIC", L"a", WS_CHILD | WS_VISIBLE, 0, 0, 100, 20, parent, nullptr, nullptr, nullptr);
    HWND b = CreateWindowExW(0, L"STATIC", L"b", WS_CHILD | WS_VISIBLE, 0, 30, 100, 20, parent, nullptr, nullptr, nullptr);
    HWND plain = CreateWindowExW(0, L"STATIC", L"c", WS_CHILD | WS_VISIBLE, 0, 60, 100, 20, parent, nullptr, nullptr, nullptr);
    EXPECT_TRUE(MakeHyperlink(a));
    EXPECT_TRUE(MakeHyperlink(b));
    EXPECT_TRUE(MakeHyperlink(b));  // a second call changes nothing
    EXPECT_EQ(reinterpret_cast<HANDLE>(original), GetPropW(parent, L"_Hyperlink_Original_Proc_"));
    EXPECT_NE(reinterpret_cast<HANDLE>(&HyperlinkProc), GetPropW(b, L"_Hyperlink_Original_Proc_"));

    HDC dc = CreateCompatibleDC(nullptr);
    for (HWND link : {a, b}) {
        SetTextColor(dc, 0);
        SendMessageW(parent, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(link));
        EXPECT_EQ(kHyperlinkColor, GetTextColor(dc));
    }
    SetTextColor(dc, 0);
    SendMessageW(parent, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(plain));
    EXPECT_NE(kHyperlinkColor, GetTextColor(dc));
    DeleteDC(dc);

    HFONT fa = static_cast<HFONT>(GetPropW(a, L"_Hyperlink_Underline_Font_"));
    HFONT fb = static_cast<HFONT>(GetPropW(b, L"_Hyperlink_Underline_Font_"));
    DestroyWindow(parent);
    EXPECT_EQ(0u, static_cast<unsigned>(GetObjectType(fa)));
    EXPECT_EQ(0u, static_cast<unsigned>(GetObjectType(fb)));
}

}  // namespace
