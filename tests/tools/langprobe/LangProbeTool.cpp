// Looks strings up in a given language and prints what it got, one line per
// id, as UTF-8: "<id>|<miss marker 0/1 after the lookup>|<text>", with a
// line break in the text written as "\n". The tool embeds the installer's
// resources plus an incomplete table of its own (partial.rc), which is how
// the tests see the fallback to the neutral table at work.
//
//   langprobe.exe <lcid> <id> [<id> ...]
#include <windows.h>

#include <cwchar>
#include <string>

#include "i18n/LanguageResources.h"

namespace {

void Write(const std::wstring& text) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                    nullptr);
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &utf8[0], bytes, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    SetLanguage(static_cast<LCID>(wcstoul(argv[1], nullptr, 0)));
    for (int i = 2; i < argc; ++i) {
        const UINT id = static_cast<UINT>(wcstoul(argv[i], nullptr, 10));
        const wchar_t* text = GetString(id);
        std::wstring line = std::to_wstring(id) + L"|" +
                            (GetCurrentLanguage()->HasMissMarker(id) ? L"1" : L"0") + L"|";
        for (const wchar_t* p = text; *p; ++p) {
            if (*p == L'\n') {
                line += L"\\n";
            } else {
                line += *p;
            }
        }
        Write(line + L"\n");
    }
    return 0;
}
