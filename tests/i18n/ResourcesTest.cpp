// The installer's resources as built into an executable (this test executable
// embeds the same resources as setup.exe): string tables per language, dialog
// templates, icon and manifest. Everything is read back with the resource
// APIs, by exact stored language, never through the loader's own fallback.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "i18n/LanguageResources.h"

namespace {

using Table = std::map<UINT, std::wstring>;

BOOL CALLBACK AddName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR param) {
    if (IS_INTRESOURCE(name)) {
        reinterpret_cast<std::vector<WORD>*>(param)->push_back(static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name)));
    }
    return TRUE;
}

BOOL CALLBACK AddLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) {
    reinterpret_cast<std::set<LANGID>*>(param)->insert(language);
    return TRUE;
}

std::vector<WORD> ResourceNames(LPCWSTR type) {
    std::vector<WORD> names;
    EnumResourceNamesW(nullptr, type, AddName, reinterpret_cast<LONG_PTR>(&names));
    return names;
}

std::set<LANGID> ResourceLanguages(LPCWSTR type, WORD name) {
    std::set<LANGID> languages;
    EnumResourceLanguagesW(nullptr, type, MAKEINTRESOURCEW(name), AddLanguage, reinterpret_cast<LONG_PTR>(&languages));
    return languages;
}

// Every string table of the executable, by stored language: decoded from the
// raw RT_STRING blocks, so empty entries are simply absent.
std::map<LANGID, Table> ReadAllTables() {
    std::map<LANGID, Table> tables;
    for (WORD block : ResourceNames(RT_STRING)) {
        for (LANGID language : ResourceLanguages(RT_STRING, block)) {
            HRSRC info = FindResourceExW(nullptr, RT_STRING, MAKEINTRESOURCEW(block), language);
            if (info == nullptr) continue;
            const WCHAR* data = static_cast<const WCHAR*>(LockResource(LoadResource(nullptr, info)));
            const DWORD units = SizeofResource(nullptr, info) / sizeof(WCHAR);
            DWORD pos = 0;
            for (UINT i = 0; i < 16 && pos < units; ++i) {
                const DWORD length = data[pos++];
                if (length != 0 && pos + length <= units) {
                    tables[language][(block - 1u) * 16u + i] = std::wstring(data + pos, length);
                }
                pos += length;
            }
        }
    }
    return tables;
}

const std::set<UINT>& TranslatedIds() {
    static const std::set<UINT> ids = {200, 201, 202, 203, 204, 205, 500, 501, 502, 503, 504, 505,
                                       510, 590, 591, 593, 594, 595, 596, 597, 598, 599, 600, 601};
    return ids;
}

const std::set<LANGID>& ShippedLanguages() {
    static const std::set<LANGID> languages = {0,    4,    7,    10,   12,   16,   19,   20,
                                               22,   29,   1026, 1028, 1030, 1032, 1035, 1038,
                                               1041, 1045, 1046, 1049, 1051, 1055, 1060};
    return languages;
}

size_t Count(const std::wstring& text, const std::wstring& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

std::set<UINT> Ids(const Table& table) {
    std::set<UINT> ids;
    for (const auto& entry : table) ids.insert(entry.first);
    return ids;
}

class StringTables : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_tables = new std::map<LANGID, Table>(ReadAllTables()); }
    static void TearDownTestSuite() {
        delete s_tables;
        s_tables = nullptr;
    }
    static std::map<LANGID, Table>* s_tables;
};
std::map<LANGID, Table>* StringTables::s_tables = nullptr;

TEST_F(StringTables, ExactlyTheShippedLanguagesWithTheirIds) {
    std::set<LANGID> stored;
    for (const auto& entry : *s_tables) stored.insert(entry.first);
    EXPECT_EQ(stored, ShippedLanguages());

    std::set<UINT> neutralIds = TranslatedIds();
    neutralIds.insert({101, 103, 104});
    for (const auto& entry : *s_tables) {
        SCOPED_TRACE(testing::Message() << "language " << entry.first);
        EXPECT_EQ(Ids(entry.second), entry.first == 0 ? neutralIds : TranslatedIds());
    }
}

TEST_F(StringTables, NeutralTextsAreExact) {
    const Table& neutral = (*s_tables)[0];
    EXPECT_EQ(neutral.at(101), L"Kavri Skyguard");
    EXPECT_EQ(neutral.at(103), L"https://help.example.com/redirector/?prod=1&app=UnsupportedOS&lang=eng");
    EXPECT_EQ(neutral.at(104),
              L"http://www.google-analytics.com/__utm.gif?utmwv=4.6.5&utmn=809250245&utmhn=www.example.com"
              L"&utmcs=UTF-8&utmsr=1280x800&utmsc=24-bit&utmul=es-es&utmje=1&utmfl=10.0%%20r45&utmdt=SKYGUARD"
              L"&utmhid=1976984839&utmr=-&utmp=%%2F%2%%2F%1%%2F&utmac=UA-0000000-1&utmcc=__utma%%3D27364815.%3"
              L".1268347230.1268347230.1268347230.1%%3B%%2B__utmz%%3D27364815.1268347230.1.1.utmcsr%%3D%4"
              L"%%7Cutmccn%%3D%5%%7Cutmcmd%%3D%6%%3B");
    EXPECT_EQ(neutral.at(200), L"&Cancel");
    EXPECT_EQ(neutral.at(204), L"&No. Install from CD");
    EXPECT_EQ(neutral.at(500), L"Preparing installation\u2026");
    EXPECT_EQ(neutral.at(591), L"Download failed.\nDo you want to try it again?");
    EXPECT_EQ(neutral.at(598),
              L"Not enough free disk space for installation of %1.\nFree up disk space at least to %2!u! MB of "
              L"available space and try again.");
    EXPECT_EQ(neutral.at(601), L"Are you sure you want to cancel the installation of %1?");
}

// A translation must keep what the code relies on: the inserts, one mnemonic
// per button, the line breaks, and no stray percent sign that the formatter
// would take for an insert.
TEST_F(StringTables, TranslationsKeepInsertsMnemonicsAndLineBreaks) {
    const Table& english = (*s_tables)[0];
    for (const auto& entry : *s_tables) {
        if (entry.first == 0) continue;
        for (const auto& text : entry.second) {
            const std::wstring& source = english.at(text.first);
            SCOPED_TRACE(testing::Message() << "language " << entry.first << ", id " << text.first);
            EXPECT_EQ(Count(text.second, L"%1"), Count(source, L"%1"));
            EXPECT_EQ(Count(text.second, L"%2!u!"), Count(source, L"%2!u!"));
            EXPECT_EQ(Count(text.second, L"%"), Count(source, L"%"));
            EXPECT_EQ(Count(text.second, L"&"), Count(source, L"&"));
            EXPECT_EQ(Count(text.second, L"\n"), Count(source, L"\n"));
            EXPECT_EQ(Count(text.second, L"\r"), 0u);
        }
    }
}

TEST_F(StringTables, TranslationsFormatWithBothInserts) {
    for (const auto& entry : *s_tables) {
        for (const auto& text : entry.second) {
            if (text.second.find(L'%') == std::wstring::npos || text.first == 104) continue;
            SCOPED_TRACE(testing::Message() << "language " << entry.first << ", id " << text.first);
            std::wstring out;
            ASSERT_GT(FormatText(&out, text.second.c_str(), L"Kavri Skyguard", 4242u), 0);
            EXPECT_NE(out.find(L"Kavri Skyguard"), std::wstring::npos) << "inserts lost";
            EXPECT_EQ(out.find(L"%"), std::wstring::npos);
            if (text.second.find(L"%2!u!") != std::wstring::npos) {
                EXPECT_NE(out.find(L"4242"), std::wstring::npos);
            }
        }
    }
}

TEST_F(StringTables, TranslationsAreNotTheEnglishText) {
    // "No" is the word itself in Spanish and Italian.
    const std::set<std::pair<LANGID, UINT>> sameWord = {{10, 203}, {16, 203}};
    const Table& english = (*s_tables)[0];
    for (const auto& entry : *s_tables) {
        if (entry.first == 0) continue;
        for (const auto& text : entry.second) {
            if (sameWord.count({entry.first, text.first})) continue;
            EXPECT_NE(text.second, english.at(text.first)) << "language " << entry.first << ", id " << text.first;
        }
    }
}

TEST_F(StringTables, VariantsOfOneLanguageDiffer) {
    // Traditional vs simplified Chinese, European vs Brazilian Portuguese:
    // each pair must be its own text, not a copy of the other table.
    const std::pair<LANGID, LANGID> pairs[] = {{4, 1028}, {22, 1046}};
    for (const auto& pair : pairs) {
        int different = 0;
        for (UINT id : TranslatedIds()) {
            if ((*s_tables)[pair.first].at(id) != (*s_tables)[pair.second].at(id)) ++different;
        }
        EXPECT_GE(different, 15) << pair.first << " vs " << pair.second;
    }
    EXPECT_EQ((*s_tables)[4].at(201), L"\u5173\u95ED(&C)");    // 关闭
    EXPECT_EQ((*s_tables)[1028].at(201), L"\u95DC\u9589(&C)");  // 關閉
    EXPECT_EQ((*s_tables)[7].at(201), L"&Schlie\u00DFen");
    EXPECT_EQ((*s_tables)[1049].at(205), L"&\u0414\u0430");  // &Да
}

// The letter after '&', folded to lower case by the system's own mapping, so
// that Cyrillic and Greek letters compare as the keyboard sees them.
wchar_t MnemonicOf(const std::wstring& label) {
    const size_t at = label.find(L'&');
    if (at == std::wstring::npos || at + 1 >= label.size()) return 0;
    wchar_t letter[2] = {label[at + 1], 0};
    CharLowerW(letter);
    return letter[0];
}

// Two buttons of one dialog with the same mnemonic make Alt+letter move the
// focus between them instead of pressing either.
TEST_F(StringTables, ButtonsShownTogetherHaveDistinctMnemonics) {
    // First and second button of each message dialog the installer shows.
    const std::pair<UINT, UINT> dialogs[] = {
        {205, 204},  // question 599: Yes / No. Install from CD
        {205, 203},  // cancel confirmation: Yes / No
        {202, 200},  // retry question without a local installer: Retry / Cancel
        {202, 204},  // retry question with one: Retry / No. Install from CD
    };
    for (const auto& entry : *s_tables) {
        for (const auto& buttons : dialogs) {
            SCOPED_TRACE(testing::Message() << "language " << entry.first << ", ids " << buttons.first
                                            << " and " << buttons.second);
            const wchar_t first = MnemonicOf(entry.second.at(buttons.first));
            const wchar_t second = MnemonicOf(entry.second.at(buttons.second));
            EXPECT_NE(first, 0);
            EXPECT_NE(first, second);
        }
    }
}

// --- Dialog templates -------------------------------------------------------

struct DialogItem {
    DWORD id;
    DWORD style;
    DWORD exStyle;
    short x, y, cx, cy;
    std::wstring className;  // "#130" for a predefined class atom
    std::wstring text;       // "#32515" for an ordinal
};

struct DialogTemplate {
    DWORD style = 0;
    short cx = 0, cy = 0;
    std::wstring caption;
    WORD pointSize = 0, weight = 0;
    BYTE italic = 0, charset = 0;
    std::wstring face;
    std::vector<DialogItem> items;
};

std::wstring ReadSzOrOrd(const WORD*& p) {
    if (*p == 0x0000) {
        ++p;
        return L"";
    }
    if (*p == 0xFFFF) {
        std::wstring ordinal = L"#" + std::to_wstring(p[1]);
        p += 2;
        return ordinal;
    }
    std::wstring text(reinterpret_cast<const wchar_t*>(p));
    p += text.size() + 1;
    return text;
}

bool ParseDialogEx(const void* resource, DialogTemplate* out) {
    const WORD* p = static_cast<const WORD*>(resource);
    if (p[0] != 1 || p[1] != 0xFFFF) return false;  // DLGTEMPLATEEX only
    const DWORD* d = reinterpret_cast<const DWORD*>(p + 2);
    out->style = d[2];
    p = reinterpret_cast<const WORD*>(d + 3);
    const WORD count = *p++;
    p += 2;  // x, y
    out->cx = static_cast<short>(*p++);
    out->cy = static_cast<short>(*p++);
    ReadSzOrOrd(p);  // menu
    ReadSzOrOrd(p);  // class
    out->caption = ReadSzOrOrd(p);
    if (out->style & DS_SETFONT) {
        out->pointSize = *p++;
        out->weight = *p++;
        out->italic = LOBYTE(*p);
        out->charset = HIBYTE(*p);
        ++p;
        out->face = ReadSzOrOrd(p);
    }
    for (WORD i = 0; i < count; ++i) {
        p = reinterpret_cast<const WORD*>((reinterpret_cast<ULONG_PTR>(p) + 3) & ~static_cast<ULONG_PTR>(3));
        const DWORD* item = reinterpret_cast<const DWORD*>(p);
        DialogItem it;
        it.exStyle = item[1];
        it.style = item[2];
        const short* pos = reinterpret_cast<const short*>(item + 3);
        it.x = pos[0];
        it.y = pos[1];
        it.cx = pos[2];
        it.cy = pos[3];
        it.id = *reinterpret_cast<const DWORD*>(pos + 4);
        p = reinterpret_cast<const WORD*>(pos + 6);
        it.className = ReadSzOrOrd(p);
        it.text = ReadSzOrOrd(p);
        const WORD extra = *p++;
        p = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(p) + extra);
        out->items.push_back(it);
    }
    return true;
}

DialogTemplate LoadDialog(WORD id) {
    DialogTemplate dialog;
    HRSRC info = FindResourceExW(nullptr, RT_DIALOG, MAKEINTRESOURCEW(id), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    EXPECT_NE(info, nullptr) << "dialog " << id;
    if (info != nullptr) {
        EXPECT_TRUE(ParseDialogEx(LockResource(LoadResource(nullptr, info)), &dialog)) << "dialog " << id;
    }
    return dialog;
}

const DialogItem* FindItem(const DialogTemplate& dialog, DWORD id) {
    for (const DialogItem& item : dialog.items) {
        if (item.id == id) return &item;
    }
    return nullptr;
}

bool Visible(const DialogItem* item) {
    return item != nullptr && (item->style & WS_VISIBLE) != 0;
}

TEST(DialogTemplates, OnlyTheFourTemplatesAndOnlyInEnglishUS) {
    std::set<WORD> names;
    for (WORD name : ResourceNames(RT_DIALOG)) names.insert(name);
    EXPECT_EQ(names, (std::set<WORD>{700, 710, 712, 714}));
    for (WORD name : names) {
        EXPECT_EQ(ResourceLanguages(RT_DIALOG, name), std::set<LANGID>{1033}) << "dialog " << name;
    }
}

TEST(DialogTemplates, CommonFrameAndFont) {
    for (WORD id : {700, 710, 712, 714}) {
        SCOPED_TRACE(testing::Message() << "dialog " << id);
        DialogTemplate dialog = LoadDialog(id);
        EXPECT_EQ(dialog.cx, 311);
        EXPECT_EQ(dialog.cy, 97);
        EXPECT_EQ(dialog.caption, L"Kavri Stub Installer");
        EXPECT_EQ(dialog.face, L"MS Shell Dlg");
        EXPECT_EQ(dialog.pointSize, 8);
        EXPECT_EQ(dialog.weight, 400);
        EXPECT_EQ(dialog.italic, 0);
        EXPECT_EQ(dialog.charset, 1);
        const DWORD common = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_CENTER | DS_SETFOREGROUND | DS_SHELLFONT;
        EXPECT_EQ(dialog.style & common, common);
        EXPECT_EQ((dialog.style & WS_MINIMIZEBOX) != 0, id == 700);
        EXPECT_EQ((dialog.style & DS_MODALFRAME) != 0, id != 700);
        EXPECT_EQ(dialog.style & DS_ABSALIGN, 0u);  // the runner sets the class icon only then
    }
}

TEST(DialogTemplates, ProgressWindowControls) {
    DialogTemplate dialog = LoadDialog(700);
    ASSERT_EQ(dialog.items.size(), 4u);
    const DialogItem* status = FindItem(dialog, static_cast<DWORD>(-1));
    const DialogItem* bar = FindItem(dialog, 1008);
    const DialogItem* cancel = FindItem(dialog, 2);
    const DialogItem* percent = FindItem(dialog, 1014);
    ASSERT_TRUE(status && bar && cancel && percent);
    EXPECT_TRUE(Visible(status) && Visible(bar) && Visible(cancel) && Visible(percent));
    EXPECT_EQ(status->x, 6);
    EXPECT_EQ(status->y, 30);
    EXPECT_EQ(status->cx, 298);
    EXPECT_EQ(status->cy, 8);
    EXPECT_EQ(status->exStyle & WS_EX_TRANSPARENT, static_cast<DWORD>(WS_EX_TRANSPARENT));
    EXPECT_EQ(_wcsicmp(bar->className.c_str(), L"msctls_progress32"), 0);
    EXPECT_EQ(bar->style & (PBS_SMOOTH | PBS_MARQUEE), static_cast<DWORD>(PBS_SMOOTH | PBS_MARQUEE));
    EXPECT_EQ(bar->exStyle & (WS_EX_STATICEDGE | WS_EX_TRANSPARENT),
              static_cast<DWORD>(WS_EX_STATICEDGE | WS_EX_TRANSPARENT));
    EXPECT_EQ(bar->x, 6);
    EXPECT_EQ(bar->y, 41);
    EXPECT_EQ(bar->cy, 9);
    EXPECT_EQ(cancel->x, 254);
    EXPECT_EQ(cancel->y, 76);
    EXPECT_EQ(cancel->cx, 50);
    EXPECT_EQ(cancel->cy, 14);
    EXPECT_EQ(cancel->style & WS_TABSTOP, static_cast<DWORD>(WS_TABSTOP));
    EXPECT_EQ(percent->style & SS_TYPEMASK, static_cast<DWORD>(SS_RIGHT));
    EXPECT_EQ(percent->x, 242);
    EXPECT_EQ(percent->y, 52);
    EXPECT_EQ(percent->cx, 62);
}

TEST(DialogTemplates, MessageDialogControls) {
    struct Expect {
        WORD id;
        const wchar_t* icon;
        bool firstButton;
        bool link;
        const wchar_t* placeholder;
    };
    const Expect table[] = {
        {710, L"#32515", true, false, L"Warning message of <product>. \n\nTry again."},
        {712, L"#32514", true, false, L"Are you sure you want to cancel an operation?"},
        {714, L"#32513", false, true, L"Error message of <product>."},
    };
    for (const Expect& e : table) {
        SCOPED_TRACE(testing::Message() << "dialog " << e.id);
        DialogTemplate dialog = LoadDialog(e.id);
        const DialogItem* text = FindItem(dialog, static_cast<DWORD>(-1));
        const DialogItem* icon = FindItem(dialog, 1017);
        const DialogItem* first = FindItem(dialog, 1);
        const DialogItem* second = FindItem(dialog, 2);
        const DialogItem* link = FindItem(dialog, 1009);
        ASSERT_TRUE(text && icon && second);
        EXPECT_EQ(dialog.items.size(), 3u + (e.firstButton ? 1 : 0) + (e.link ? 1 : 0));
        EXPECT_FALSE(Visible(text));
        EXPECT_EQ(text->text, e.placeholder);
        EXPECT_EQ(text->x, 62);
        EXPECT_EQ(text->y, 18);
        EXPECT_EQ(text->cx, 242);
        EXPECT_EQ(text->cy, 51);
        EXPECT_TRUE(Visible(icon));
        EXPECT_EQ(icon->style & SS_TYPEMASK, static_cast<DWORD>(SS_ICON));
        EXPECT_EQ(icon->text, e.icon);
        EXPECT_EQ(icon->x, 17);
        EXPECT_EQ(icon->y, 16);
        EXPECT_TRUE(Visible(second));
        EXPECT_EQ(second->x, 254);
        EXPECT_EQ(second->y, 76);
        ASSERT_EQ(first != nullptr, e.firstButton);
        if (first != nullptr) {
            EXPECT_FALSE(Visible(first));
            EXPECT_EQ(first->style & BS_TYPEMASK, static_cast<DWORD>(BS_DEFPUSHBUTTON));
            EXPECT_EQ(first->x, 202);
            EXPECT_EQ(first->y, 76);
        }
        ASSERT_EQ(link != nullptr, e.link);
        if (link != nullptr) {
            EXPECT_FALSE(Visible(link));
            EXPECT_EQ(link->style & SS_NOTIFY, static_cast<DWORD>(SS_NOTIFY));
            EXPECT_EQ(link->x, 62);
            EXPECT_EQ(link->y, 78);
            EXPECT_EQ(link->cx, 135);
            EXPECT_EQ(link->cy, 12);
        }
    }
}

INT_PTR CALLBACK PassiveDialogProc(HWND, UINT, WPARAM, LPARAM) {
    return FALSE;
}

// The templates must build real windows; the icon statics of the message
// dialogs name a system icon by number and must end up showing that icon.
TEST(DialogTemplates, CreateWindowsWithTheSystemIcons) {
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    ASSERT_TRUE(InitCommonControlsEx(&controls));
    const struct {
        WORD id;
        LPCWSTR systemIcon;
    } table[] = {{700, nullptr}, {710, IDI_WARNING}, {712, IDI_QUESTION}, {714, IDI_ERROR}};
    for (const auto& row : table) {
        SCOPED_TRACE(testing::Message() << "dialog " << row.id);
        HRSRC info = FindResourceExW(nullptr, RT_DIALOG, MAKEINTRESOURCEW(row.id), 1033);
        ASSERT_NE(info, nullptr);
        const DLGTEMPLATE* dialogTemplate = static_cast<const DLGTEMPLATE*>(LockResource(LoadResource(nullptr, info)));
        HWND window = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), dialogTemplate, nullptr,
                                                 PassiveDialogProc, 0);
        ASSERT_NE(window, nullptr) << GetLastError();
        if (row.systemIcon == nullptr) {
            wchar_t className[64] = {};
            GetClassNameW(GetDlgItem(window, 1008), className, 64);
            EXPECT_EQ(_wcsicmp(className, L"msctls_progress32"), 0) << className;
        } else {
            HICON shown = reinterpret_cast<HICON>(SendDlgItemMessageW(window, 1017, STM_GETICON, 0, 0));
            EXPECT_NE(shown, nullptr);
            EXPECT_EQ(shown, LoadIconW(nullptr, row.systemIcon));
        }
        DestroyWindow(window);
    }
}

// --- Icon and manifest ------------------------------------------------------

TEST(OtherResources, IconAndManifest) {
    EXPECT_NE(FindResourceW(nullptr, MAKEINTRESOURCEW(300), RT_GROUP_ICON), nullptr);
    EXPECT_NE(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(300)), nullptr);

    HRSRC info = FindResourceW(nullptr, MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(info, nullptr);
    const char* data = static_cast<const char*>(LockResource(LoadResource(nullptr, info)));
    const std::string manifest(data, SizeofResource(nullptr, info));
    for (const char* needle : {"level=\"requireAdministrator\"", "name=\"Microsoft.Windows.Common-Controls\"",
                               "version=\"6.0.0.0\"",
                               "{e2011457-1546-43c5-a5fe-008deee3d3f0}",    // Vista
                               "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",    // 7
                               "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",    // 8
                               "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",    // 8.1
                               "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {  // 10 and 11
        EXPECT_NE(manifest.find(needle), std::string::npos) << needle;
    }
}

}  // namespace
