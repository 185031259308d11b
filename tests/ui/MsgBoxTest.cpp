// Message dialogs in real windows, driven from another process by the UI
// driver: captions, texts and buttons of every helper, the results of every
// way to end one, the button fitting and the dialog without a display.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "DialogTestSupport.h"
#include "i18n/LanguageResources.h"
#include "ui/MsgBox.h"

using namespace kavri_test;

namespace {

const DWORD kEndMs = 20000;

std::wstring Formatted(UINT id, unsigned value) {
    std::wstring text;
    FormatString(&text, id, GetInstallerTitle(), value);
    return text;
}

struct HelperCase {
    const char* name;
    std::function<INT_PTR()> show;
    std::wstring caption;
    std::wstring text;
    std::wstring firstButton;  // "" = hidden
    std::wstring secondButton;
    std::wstring link;         // "" = hidden; only template 714 has the control
    bool errorTemplate;
};

std::vector<HelperCase> HelperCases() {
    const std::wstring title = GetInstallerTitle();
    return {
        {"ShowErrorMessage(id)", [] { return ShowErrorMessage(IDS_MSG_UNEXPECTED_ERROR); }, title,
         Formatted(IDS_MSG_UNEXPECTED_ERROR, 0), L"", GetString(IDS_BTN_CLOSE), L"", true},
        {"ShowErrorMessage(owner,id,value)", [] { return ShowErrorMessage(nullptr, IDS_MSG_NOT_ENOUGH_DISK, 512); },
         title, Formatted(IDS_MSG_NOT_ENOUGH_DISK, 512), L"", GetString(IDS_BTN_CLOSE), L"", true},
        {"ShowErrorWithLink",
         [] {
             return ShowErrorWithLink(nullptr, IDS_CAPTION_OS_NOT_SUPPORTED, IDS_LINK_SUPPORTED_OS,
                                      IDS_MSG_OS_NOT_SUPPORTED, 0);
         },
         GetString(IDS_CAPTION_OS_NOT_SUPPORTED), Formatted(IDS_MSG_OS_NOT_SUPPORTED, 0), L"",
         GetString(IDS_BTN_CLOSE), GetString(IDS_LINK_SUPPORTED_OS), true},
        {"AskYesNo", [] { return AskYesNo(IDS_MSG_INSTALL_LATEST, IDS_BTN_NO_INSTALL_FROM_CD, nullptr); }, title,
         Formatted(IDS_MSG_INSTALL_LATEST, 0), GetString(IDS_BTN_YES), GetString(IDS_BTN_NO_INSTALL_FROM_CD), L"",
         false},
        {"AskRetry(id,second,owner)",
         [] { return AskRetry(IDS_MSG_DOWNLOAD_FAILED_RETRY, IDS_BTN_NO_INSTALL_FROM_CD, nullptr); }, title,
         Formatted(IDS_MSG_DOWNLOAD_FAILED_RETRY, 0), GetString(IDS_BTN_RETRY),
         GetString(IDS_BTN_NO_INSTALL_FROM_CD), L"", false},
        {"AskRetry(id,owner)", [] { return AskRetry(IDS_MSG_NO_INTERNET, nullptr); }, title,
         Formatted(IDS_MSG_NO_INTERNET, 0), GetString(IDS_BTN_RETRY), GetString(IDS_BTN_CANCEL), L"", false},
        {"ConfirmCancel", [] { return ConfirmCancel(IDS_MSG_CONFIRM_CANCEL, IDS_CAPTION_CANCEL, nullptr); },
         GetString(IDS_CAPTION_CANCEL), Formatted(IDS_MSG_CONFIRM_CANCEL, 0), GetString(IDS_BTN_YES),
         GetString(IDS_BTN_NO), L"", false},
        {"ConfirmCancel(empty caption)", [] { return ConfirmCancel(IDS_MSG_CONFIRM_CANCEL, 102, nullptr); }, title,
         Formatted(IDS_MSG_CONFIRM_CANCEL, 0), GetString(IDS_BTN_YES), GetString(IDS_BTN_NO), L"", false},
    };
}

TEST(MsgBoxHelpers, ShowTheirCaptionTextAndButtons) {
    ASSERT_NE(L'\0', *GetInstallerTitle());
    ASSERT_STREQ(L"&Close", GetString(IDS_BTN_CLOSE));
    for (const HelperCase& c : HelperCases()) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.caption.empty());
        DialogThread shown(c.show);
        const std::wstring filters = MessageDialog(c.caption);
        Dump d = DumpDialog(filters);
        ASSERT_FALSE(d.window.empty()) << "no dialog with that caption";
        EXPECT_EQ(JsonEscaped(c.caption), JsonField(d.window, "title"));
        EXPECT_EQ(JsonEscaped(c.text), d.Field(-1, "text"));
        EXPECT_EQ("true", d.Field(-1, "visible"));
        EXPECT_EQ("true", d.Field(1017, "visible"));  // the template's icon
        if (c.firstButton.empty()) {
            // Absent from the error template, hidden in the others.
            EXPECT_TRUE(!d.Has(IDOK) || d.Field(IDOK, "visible") == "false");
            EXPECT_EQ(!c.errorTemplate, d.Has(IDOK));
        } else {
            EXPECT_EQ("true", d.Field(IDOK, "visible"));
            EXPECT_EQ(JsonEscaped(c.firstButton), d.Field(IDOK, "text"));
        }
        EXPECT_EQ("true", d.Field(IDCANCEL, "visible"));
        EXPECT_EQ(JsonEscaped(c.secondButton), d.Field(IDCANCEL, "text"));
        EXPECT_EQ(c.errorTemplate, d.Has(IDC_LINK));
        if (d.Has(IDC_LINK)) {
            EXPECT_EQ(c.link.empty() ? "false" : "true", d.Field(IDC_LINK, "visible"));
            EXPECT_EQ(c.link.empty() ? "false" : "true", d.Field(IDC_LINK, "hyperlink"));
            if (!c.link.empty()) {
                EXPECT_EQ(JsonEscaped(c.link), d.Field(IDC_LINK, "text"));
            }
        }
        EXPECT_EQ(0, Drive(L"click --id 2 " + filters));
        INT_PTR result = 0;
        ASSERT_TRUE(shown.Wait(kEndMs, &result));
        EXPECT_EQ(2, result);
    }
}

struct EndCase {
    const char* name;
    bool withLink;
    const wchar_t* driverArgs;
    INT_PTR expected;
};

TEST(MsgBoxResults, EveryWayToEndGivesItsResult) {
    const EndCase cases[] = {
        {"first button", false, L"click --id 1", 1},
        {"second button", false, L"click --id 2", 2},
        {"close command IDCLOSE", false, L"command --id 8", 8},
        {"caption close box", false, L"close --syscommand", 0},
        {"WM_CLOSE", false, L"close", 0},
        {"Escape through the dialog's message loop", false, L"key --vk ESCAPE --method post", 0},
        {"Escape typed on the keyboard", false, L"key --vk ESCAPE --method input", 0},
        {"link", true, L"click --id 1009", 1009},
    };
    const std::wstring title = GetInstallerTitle();
    const std::wstring linkCaption = GetString(IDS_CAPTION_OS_NOT_SUPPORTED);
    for (const EndCase& c : cases) {
        SCOPED_TRACE(c.name);
        DialogThread shown([&c] {
            return c.withLink ? ShowErrorWithLink(nullptr, IDS_CAPTION_OS_NOT_SUPPORTED, IDS_LINK_SUPPORTED_OS,
                                                  IDS_MSG_OS_NOT_SUPPORTED, 0)
                              : AskYesNo(IDS_MSG_INSTALL_LATEST, IDS_BTN_NO, nullptr);
        });
        std::string out;
        EXPECT_EQ(0, Drive(std::wstring(c.driverArgs) + L" " + MessageDialog(c.withLink ? linkCaption : title), &out))
            << out;
        INT_PTR result = -2;
        ASSERT_TRUE(shown.Wait(kEndMs, &result));
        EXPECT_EQ(c.expected, result);
    }
}

TEST(MsgBoxResults, AnErrorHasNoFirstButtonToClick) {
    DialogThread shown([] { return ShowErrorMessage(IDS_MSG_UNEXPECTED_ERROR); });
    const std::wstring filters = MessageDialog(GetInstallerTitle());
    std::string out;
    EXPECT_EQ(1, Drive(L"click --id 1 " + filters, &out)) << out;  // no such control
    EXPECT_EQ(3, Drive(L"click --id 1009 " + filters, &out)) << out;  // the hidden link: refused
    EXPECT_EQ(0, Drive(L"click --id 2 " + filters));
    INT_PTR result = 0;
    ASSERT_TRUE(shown.Wait(kEndMs, &result));
    EXPECT_EQ(2, result);
}

// "&No. Install from CD" does not fit its button: the button grows to the
// left, keeping its right edge, and the first button moves left as far.
TEST(MsgBoxLayout, LongSecondButtonGrowsLeftAndPushesTheFirst) {
    auto layout = [](UINT secondId) {
        DialogThread shown([secondId] { return AskYesNo(IDS_MSG_INSTALL_LATEST, secondId, nullptr); });
        const std::wstring filters = MessageDialog(GetInstallerTitle());
        Dump d = DumpDialog(filters);
        EXPECT_EQ(0, Drive(L"click --id 2 " + filters));
        INT_PTR result = 0;
        EXPECT_TRUE(shown.Wait(kEndMs, &result));
        return d;
    };
    Dump fits = layout(IDS_BTN_NO);                    // "&No"
    Dump grows = layout(IDS_BTN_NO_INSTALL_FROM_CD);  // "&No. Install from CD"
    auto b1 = fits.Rect(IDOK), b2 = fits.Rect(IDCANCEL);
    auto w1 = grows.Rect(IDOK), w2 = grows.Rect(IDCANCEL);
    ASSERT_EQ(4u, b1.size());
    ASSERT_EQ(4u, b2.size());
    ASSERT_EQ(4u, w1.size());
    ASSERT_EQ(4u, w2.size());

    const int grown = (w2[2] - w2[0]) - (b2[2] - b2[0]);
    EXPECT_GT(grown, 0);
    EXPECT_EQ(b2[2], w2[2]);              // right edge kept
    EXPECT_EQ(b2[0] - grown, w2[0]);      // grew to the left
    EXPECT_EQ(b2[1], w2[1]);
    EXPECT_EQ(b2[3] - b2[1], w2[3] - w2[1]);  // same height
    EXPECT_EQ(b1[0] - grown, w1[0]);      // first button moved by the same amount
    EXPECT_EQ(b1[2] - grown, w1[2]);      // ... without changing its size
    EXPECT_EQ(b1[1], w1[1]);
    // In the dialog that fits, the buttons stay where the template puts them.
    EXPECT_LT(b1[2], b2[0]);
}

// The dialogs read in the chosen language although their templates are stored
// in English only.
TEST(MsgBoxLanguage, GermanTextsInTheEnglishTemplate) {
    SetLanguage(1031);
    ASSERT_STREQ(L"&Wiederholen", GetString(IDS_BTN_RETRY));
    DialogThread shown([] { return AskRetry(IDS_MSG_DOWNLOAD_FAILED_RETRY, IDS_BTN_NO_INSTALL_FROM_CD, nullptr); });
    const std::wstring filters = MessageDialog(GetInstallerTitle());
    Dump d = DumpDialog(filters);
    EXPECT_EQ(JsonEscaped(L"&Wiederholen"), d.Field(IDOK, "text"));
    EXPECT_EQ(JsonEscaped(GetString(IDS_BTN_NO_INSTALL_FROM_CD)), d.Field(IDCANCEL, "text"));
    EXPECT_EQ(JsonEscaped(Formatted(IDS_MSG_DOWNLOAD_FAILED_RETRY, 0)), d.Field(-1, "text"));
    EXPECT_EQ(0, Drive(L"click --id 1 " + filters));
    INT_PTR result = 0;
    ASSERT_TRUE(shown.Wait(kEndMs, &result));
    EXPECT_EQ(1, result);
}

}  // namespace
