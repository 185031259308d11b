// Message dialogs in real windows, driven from another process by the UI
// driver: texts and buttons per language, the result of each way to end one,
// and the button fitting.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "i18n/LanguageResources.h"
#include "support/TestEnv.h"
#include "tools/uidriver/UiDriverClient.h"
#include "ui/MsgBox.h"

using namespace kavri_test;

namespace {

// Driver filters: a window of this process with that caption and a message icon.
std::wstring Window(const std::wstring& caption) {
    return L" --pid " + std::to_wstring(GetCurrentProcessId()) + L" --has-id 1017 --title \"" + caption + L"\"";
}

std::string Drive(const std::wstring& args) {
    const ProcessOutput r = RunUiDriver(args);
    EXPECT_TRUE(r.Finished() && r.exitCode == 0) << Utf8(args) << ": " << r.out;
    return r.out;
}

struct Shown {
    std::function<INT_PTR()> show;
    INT_PTR result = -2;
    std::map<int, std::string> controls;  // the dump's lines by control id
    std::string Field(int id, const char* key) const {
        return controls.count(id) ? JsonValue(controls.at(id), key) : "<none>";
    }
    std::string Visible(int id) const { return Field(id, "visible") == "true" ? Field(id, "text") : ""; }
};

// Shows a dialog on a thread of its own (this one runs the driver), dumps it,
// runs the driver commands on it and waits for its end.
Shown Show(std::function<INT_PTR()> show, const std::wstring& caption, const std::vector<std::wstring>& commands) {
    Shown s{std::move(show)};
    DWORD id = 0;
    auto run = [](LPVOID p) -> DWORD { return static_cast<Shown*>(p)->result = static_cast<Shown*>(p)->show(), 0; };
    HANDLE thread = CreateThread(nullptr, 0, run, &s, 0, &id);
    for (const std::string& line : OutputLines(Drive(L"dump" + Window(caption))))
        if (!JsonValue(line, "id").empty()) s.controls.emplace(std::stoi(JsonValue(line, "id")), line);
    for (const std::wstring& command : commands) Drive(command + Window(caption));
    if (WaitForSingleObject(thread, 20000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the dialog did not end";
        EnumThreadWindows(id, [](HWND w, LPARAM) { return PostMessageW(w, WM_CLOSE, 0, 0); }, 0);
        WaitForSingleObject(thread, 10000);
    }
    CloseHandle(thread);
    return s;
}

std::string Formatted(UINT id, unsigned value) {
    std::wstring text;
    FormatString(&text, id, GetInstallerTitle(), value);
    return JsonEscaped(text);
}

std::string Label(UINT id) { return id ? JsonEscaped(GetString(id)) : ""; }

INT_PTR LinkMessage() {
    return ShowErrorWithLink(nullptr, IDS_CAPTION_OS_NOT_SUPPORTED, IDS_LINK_SUPPORTED_OS, IDS_MSG_OS_NOT_SUPPORTED, 0);
}

// Each helper shows its texts and labels as looked up in the chosen language
// (distinct mnemonics: i18n/LanguageTest), and each way to end a box gives its
// result (Escape is not the second button).
TEST(MsgBox, HelpersShowTheirTextsAndButtonsAndEachEndGivesItsResult) {
    const struct {
        LCID lcid;
        INT_PTR (*show)();
        UINT caption, text;  // caption 0: the installer title
        unsigned value;
        UINT first, second, link;  // 0: none
        const wchar_t* command;
        INT_PTR result;
    } cases[] = {
        {1031, [] { return ShowErrorMessage(nullptr, IDS_MSG_NOT_ENOUGH_DISK, 512); }, 0, IDS_MSG_NOT_ENOUGH_DISK, 512,
         0, IDS_BTN_CLOSE, 0, L"click --id 2", 2},
        {0x409, LinkMessage, IDS_CAPTION_OS_NOT_SUPPORTED, IDS_MSG_OS_NOT_SUPPORTED, 0, 0, IDS_BTN_CLOSE,
         IDS_LINK_SUPPORTED_OS, L"click --id 1009", 1009},
        {0x409, [] { return AskYesNo(IDS_MSG_INSTALL_LATEST, IDS_BTN_NO_INSTALL_FROM_CD, nullptr); }, 0,
         IDS_MSG_INSTALL_LATEST, 0, IDS_BTN_YES, IDS_BTN_NO_INSTALL_FROM_CD, 0, L"click --id 1", 1},
        {1041, [] { return AskRetry(IDS_MSG_DOWNLOAD_FAILED_RETRY, IDS_BTN_NO_INSTALL_FROM_CD, nullptr); }, 0,
         IDS_MSG_DOWNLOAD_FAILED_RETRY, 0, IDS_BTN_RETRY, IDS_BTN_NO_INSTALL_FROM_CD, 0, L"escape", 0},
        {1031, [] { return ConfirmCancel(IDS_MSG_CONFIRM_CANCEL, IDS_CAPTION_CANCEL, nullptr); }, IDS_CAPTION_CANCEL,
         IDS_MSG_CONFIRM_CANCEL, 0, IDS_BTN_YES, IDS_BTN_NO, 0, L"close", 0},
        {0x409, [] { return ConfirmCancel(IDS_MSG_CONFIRM_CANCEL, 102, nullptr); }, 0,  // no caption text
         IDS_MSG_CONFIRM_CANCEL, 0, IDS_BTN_YES, IDS_BTN_NO, 0, L"click --id 2", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "language " << c.lcid << ", text " << c.text);
        SetLanguage(c.lcid);
        const Shown s = Show(c.show, c.caption ? GetString(c.caption) : GetInstallerTitle(), {c.command});
        EXPECT_EQ(Formatted(c.text, c.value), s.Field(-1, "text"));
        EXPECT_EQ(Label(c.first), s.Visible(IDOK));
        EXPECT_EQ(Label(c.second), s.Visible(IDCANCEL));
        EXPECT_EQ(Label(c.link), s.Visible(IDC_LINK));
        EXPECT_EQ(c.link != 0, s.Field(IDC_LINK, "hyperlink") == "true");
        EXPECT_EQ(c.result, s.result);
    }
    SetLanguage(0x409);
}

// A label wider than its button: the button grows to the left, keeping its
// right edge, and the first button moves left as far.
TEST(MsgBox, LongSecondButtonGrowsLeftAndPushesTheFirst) {
    auto rects = [](UINT second) {
        const Shown s = Show([second] { return AskYesNo(IDS_MSG_INSTALL_LATEST, second, nullptr); },
                             GetInstallerTitle(), {L"click --id 2"});
        std::vector<int> v(8);
        sscanf((s.Field(IDOK, "rect") + s.Field(IDCANCEL, "rect")).c_str(), "[%d,%d,%d,%d][%d,%d,%d,%d]", &v[0],
               &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]);
        return v;
    };
    const std::vector<int> fits = rects(IDS_BTN_NO), grows = rects(IDS_BTN_NO_INSTALL_FROM_CD);
    const int grown = (grows[6] - grows[4]) - (fits[6] - fits[4]);
    EXPECT_GT(grown, 0);
    EXPECT_LT(fits[2], fits[4]);  // side by side, where the template puts them
    const std::vector<int> expected = {fits[0] - grown, fits[1], fits[2] - grown, fits[3],
                                       fits[4] - grown, fits[5], fits[6], fits[7]};
    EXPECT_EQ(expected, grows);
}

}  // namespace
