// msgprobe: shows one message dialog in a process of its own and prints its
// result, for tests that need a separate process (no display, for instance).
//
//   msgprobe error TEXTID [VALUE]       ShowErrorMessage(null, TEXTID, VALUE)
//   msgprobe link                       ShowErrorWithLink(null, 593, 510, 594, 0)
//   msgprobe yesno TEXTID SECONDID      AskYesNo
//   msgprobe retry TEXTID [SECONDID]    AskRetry
//   msgprobe confirm TEXTID CAPTIONID   ConfirmCancel
// Output: {"result":N,"error":GetLastError,"ms":elapsed}. Exit code 0, 2 on bad usage.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "i18n/LanguageResources.h"
#include "ui/MsgBox.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    std::wstring what = argv[1];
    auto arg = [&](int i, UINT def) { return i < argc ? static_cast<UINT>(_wtoi(argv[i])) : def; };
    DWORD start = GetTickCount();
    INT_PTR r = 0;
    if (what == L"error") {
        r = ShowErrorMessage(nullptr, arg(2, IDS_MSG_UNEXPECTED_ERROR), arg(3, 0));
    } else if (what == L"link") {
        r = ShowErrorWithLink(nullptr, IDS_CAPTION_OS_NOT_SUPPORTED, IDS_LINK_SUPPORTED_OS,
                              IDS_MSG_OS_NOT_SUPPORTED, 0);
    } else if (what == L"yesno") {
        r = AskYesNo(arg(2, IDS_MSG_INSTALL_LATEST), arg(3, IDS_BTN_NO_INSTALL_FROM_CD), nullptr);
    } else if (what == L"retry") {
        r = argc > 3 ? AskRetry(arg(2, 0), arg(3, 0), nullptr) : AskRetry(arg(2, IDS_MSG_NO_INTERNET), nullptr);
    } else if (what == L"confirm") {
        r = ConfirmCancel(arg(2, IDS_MSG_CONFIRM_CANCEL), arg(3, IDS_CAPTION_CANCEL), nullptr);
    } else {
        return 2;
    }
    DWORD err = GetLastError();
    std::string line = "{\"result\":" + std::to_string(static_cast<long long>(r)) + ",\"error\":" +
                       std::to_string(err) + ",\"ms\":" + std::to_string(GetTickCount() - start) + "}\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    return 0;
}
