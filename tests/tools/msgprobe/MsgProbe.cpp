// msgprobe: a message dialog, or the installer's texts, in a process of its own.
//   msgprobe error TEXTID            ShowErrorMessage(TEXTID) without an owner; prints {"result":N,"ms":elapsed}
//   msgprobe texts LCID VALUE ID...  per id {"id":N,"text":"..."}: the text in that language as
//                                    the dialogs format it (%1 the installer title, %2 VALUE)
// Exit code 0, 2 on bad usage.
#include <windows.h>

#include <string>

#include "i18n/LanguageResources.h"
#include "tests/support/JsonText.h"
#include "ui/MsgBox.h"

namespace {

void Print(const std::string& line) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), (line + "\n").data(), static_cast<DWORD>(line.size() + 1), &written,
              nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    auto arg = [&](int i) { return static_cast<UINT>(wcstoul(argv[i], nullptr, 0)); };
    const std::wstring what = argc > 2 ? argv[1] : L"";
    if (what == L"texts" && argc > 3) {
        SetLanguage(arg(2));
        for (int i = 4; i < argc; ++i) {
            std::wstring text;
            FormatString(&text, arg(i), GetInstallerTitle(), arg(3));
            Print("{\"id\":" + std::to_string(arg(i)) + ",\"text\":" + kavri_test::JsonString(text) + "}");
        }
        return 0;
    }
    if (what != L"error") return 2;
    const DWORD start = GetTickCount();
    const INT_PTR r = ShowErrorMessage(nullptr, arg(2), 0);
    Print("{\"result\":" + std::to_string(r) + ",\"ms\":" + std::to_string(GetTickCount() - start) + "}");
    return 0;
}
