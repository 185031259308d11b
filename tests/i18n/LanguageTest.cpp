// Language choice and the string tables, read through the product's own
// lookup (this test executable embeds the installer's resources).
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "i18n/LanguageResources.h"

const UINT kTranslated[] = {200, 201, 202, 203, 204, 205, 206, 500, 501, 502, 503, 504, 505, 510, 590,
                            591, 593, 594, 595, 596, 597, 598, 599, 600, 601, 608, 609, 610, 611, 612};
static LPCWSTR Block(UINT id) { return MAKEINTRESOURCEW((id >> 4) + 1); }

// The stored table used for a language: the exact id, then the primary
// language with the neutral sublanguage, then neutral.
TEST(Language, StoredLanguageChoice) {
    const struct { LCID lcid; LPCWSTR type, name; LANGID chosen; } rows[] = {  // 0xFFFF: none
        {1031, RT_STRING, Block(200), 7}, {0x0807, RT_STRING, Block(200), 7}, {1028, RT_STRING, Block(200), 1028},
        {2052, RT_STRING, Block(200), 4}, {0x0C04, RT_STRING, Block(200), 4}, {1046, RT_STRING, Block(200), 1046},
        {2070, RT_STRING, Block(200), 22}, {1044, RT_STRING, Block(200), 20}, {1033, RT_STRING, Block(200), 0},
        {0x0412, RT_STRING, Block(200), 0}, {0, RT_STRING, Block(200), 0}, {1031, RT_STRING, Block(101), 0},
        {1033, RT_DIALOG, MAKEINTRESOURCEW(700), 1033}, {1031, RT_DIALOG, MAKEINTRESOURCEW(714), 0xFFFF},
        {0x0809, RT_DIALOG, MAKEINTRESOURCEW(710), 0xFFFF}, {1033, RT_STRING, Block(1600), 0xFFFF},
    };
    for (const auto& r : rows) {
        LANGID chosen = 0xFFFF;
        LanguageResources(r.lcid).ResolveResourceLanguage(r.type, r.name, &chosen);
        EXPECT_EQ(chosen, r.chosen) << "lcid " << r.lcid << ", name " << reinterpret_cast<ULONG_PTR>(r.name);
    }
}

// The inserts and escapes of a message as FormatMessage reads them: "%1", "%2!u!", "%%".
static std::multiset<std::wstring> Inserts(const std::wstring& text) {
    static const std::wregex insert(L"%([0-9]+(![^!]*!)?|[\\s\\S])");
    std::multiset<std::wstring> out;
    for (std::wsregex_iterator m(text.begin(), text.end(), insert), end; m != end; ++m) out.insert(m->str());
    return out;
}

static wchar_t Mnemonic(const std::wstring& label) {
    const size_t at = label.find(L'&');
    wchar_t letter[2] = {at + 1 < label.size() ? label[at + 1] : L'\0', 0};
    CharLowerW(letter);  // as the keyboard sees Cyrillic and Greek letters
    return at == std::wstring::npos ? 0 : letter[0];
}

static BOOL CALLBACK AddLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR set) {
    reinterpret_cast<std::set<LANGID>*>(set)->insert(language);
    return TRUE;
}

// Every shipped language has every string in a table of its own, with the
// inserts of the neutral text, and distinct mnemonics on the buttons that one
// message dialog shows together.
TEST(Language, EveryTableIsComplete) {
    std::set<LANGID> languages;
    for (UINT id : kTranslated)
        EnumResourceLanguagesW(nullptr, RT_STRING, Block(id), AddLanguage, reinterpret_cast<LONG_PTR>(&languages));
    EXPECT_EQ(languages.size(), 23u);
    const std::pair<UINT, UINT> dialogs[] = {{IDS_BTN_YES, IDS_BTN_NO_INSTALL_FROM_CD}, {IDS_BTN_YES, IDS_BTN_NO},
        {IDS_BTN_RETRY, IDS_BTN_CANCEL}, {IDS_BTN_RETRY, IDS_BTN_NO_INSTALL_FROM_CD},
        {IDS_LABEL_USER, IDS_LABEL_PASSWORD}, {IDS_LABEL_USER, IDS_BTN_CANCEL}, {IDS_LABEL_PASSWORD, IDS_BTN_CANCEL}};
    for (LANGID language : languages) {
        LanguageResources table(language);
        for (UINT id : kTranslated) {
            LANGID chosen = 0xFFFF;
            table.ResolveResourceLanguage(RT_STRING, Block(id), &chosen);
            const std::wstring text = table.GetString(id, false);
            EXPECT_TRUE(chosen == language && !text.empty() && Inserts(text) == Inserts(GetString(id)))
                << "language " << language << ", id " << id;
        }
        for (const auto& pair : dialogs) {
            const wchar_t first = Mnemonic(table.GetString(pair.first, false));
            const wchar_t second = Mnemonic(table.GetString(pair.second, false));
            EXPECT_TRUE(first && second && first != second)
                << "language " << language << ", ids " << pair.first << " and " << pair.second;
        }
    }
}
