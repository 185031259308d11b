// String lookup, language choice, formatting and locale names.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "i18n/LanguageResources.h"
#include "support/ProcessRunner.h"
#include "support/TestEnv.h"

namespace {

const UINT kAllIds[] = {101, 103, 104, 200, 201, 202, 203, 204, 205, 500, 501, 502, 503, 504,
                        505, 510, 590, 591, 593, 594, 595, 596, 597, 598, 599, 600, 601};

// Each test leaves the process in its start-up state: the neutral language.
class LanguageTest : public ::testing::Test {
protected:
    void TearDown() override { SetLanguage(0); }
};

TEST_F(LanguageTest, BothInstancesExistAtStartWithLcidZero) {
    ASSERT_NE(GetCurrentLanguage(), nullptr);
    ASSERT_NE(GetNeutralLanguage(), nullptr);
    EXPECT_NE(GetCurrentLanguage(), GetNeutralLanguage());
    EXPECT_EQ(GetCurrentLanguage()->GetLcid(), 0u);
    EXPECT_EQ(GetNeutralLanguage()->GetLcid(), 0u);
}

TEST_F(LanguageTest, ResolvesStoredLanguageExactThenPrimaryThenNeutral) {
    struct Case {
        LCID lcid;
        LPCWSTR type;
        WORD name;  // block number for strings, template id for dialogs
        bool found;
        LANGID chosen;
    };
    const WORD buttons = (200 >> 4) + 1;
    const WORD product = (101 >> 4) + 1;
    const Case table[] = {
        {1031, RT_STRING, buttons, true, 7},       // German (Germany) -> German
        {0x0807, RT_STRING, buttons, true, 7},     // German (Switzerland)
        {1028, RT_STRING, buttons, true, 1028},    // Chinese (Taiwan): stored exactly
        {2052, RT_STRING, buttons, true, 4},       // Chinese (PRC) -> Chinese
        {0x0C04, RT_STRING, buttons, true, 4},     // Chinese (Hong Kong) -> Chinese, not Taiwan
        {1046, RT_STRING, buttons, true, 1046},    // Portuguese (Brazil)
        {2070, RT_STRING, buttons, true, 22},      // Portuguese (Portugal) -> Portuguese
        {1044, RT_STRING, buttons, true, 20},      // Norwegian Bokmål -> Norwegian
        {1033, RT_STRING, buttons, true, 0},       // English lives in the neutral table
        {0x0412, RT_STRING, buttons, true, 0},     // Korean: not shipped
        {0, RT_STRING, buttons, true, 0},          // neutral itself
        {1031, RT_STRING, product, true, 0},       // 101..104 only in neutral
        {1033, RT_DIALOG, 700, true, 1033},        // templates: English (US) only
        {1031, RT_DIALOG, 714, false, 0},          // no German template, no neutral one
        {0x0809, RT_DIALOG, 710, false, 0},        // no step from en-GB to en-US
        {0, RT_DIALOG, 700, false, 0},
        {1033, RT_STRING, (102 >> 4) + 100, false, 0},  // no such block at all
    };
    for (const Case& c : table) {
        SCOPED_TRACE(testing::Message() << "lcid " << c.lcid << ", name " << c.name);
        LanguageResources language(c.lcid);
        LANGID chosen = 0xFFFF;
        EXPECT_EQ(language.ResolveResourceLanguage(c.type, MAKEINTRESOURCEW(c.name), &chosen), c.found);
        if (c.found) {
            EXPECT_EQ(chosen, c.chosen);
        }
    }
}

TEST_F(LanguageTest, GermanGermanyReadsTheGermanTable) {
    LanguageResources german(1031);
    EXPECT_STREQ(german.GetString(200, false), L"&Abbrechen");
    EXPECT_STREQ(german.GetString(201, false), L"&Schlie\u00DFen");
    EXPECT_STREQ(german.GetString(101, true), L"Kavri Skyguard");
    EXPECT_STREQ(german.GetCrtLocaleName(), L"German_Germany.1252");
    EXPECT_STREQ(german.GetIsoLanguageName(), L"de");
    std::wstring iso;
    EXPECT_STREQ(GetIsoLanguageName(1041, &iso), L"ja");
    EXPECT_STREQ(GetIsoLanguageName(1049, &iso), L"ru");
}

TEST_F(LanguageTest, SetLanguageSwitchesCurrentAndLocale) {
    SetLanguage(1031);
    LanguageResources* current = GetCurrentLanguage();
    EXPECT_EQ(current->GetLcid(), 1031u);
    EXPECT_STREQ(GetString(IDS_BTN_YES), L"&Ja");
    EXPECT_STREQ(GetString(IDS_PRODUCT_NAME), L"Kavri Skyguard");  // neutral only
    EXPECT_STREQ(GetCurrentLanguage()->GetIsoLanguageName(), L"de");
    EXPECT_EQ(GetThreadLocale(), 1031u);
    const wchar_t* crt = _wsetlocale(LC_ALL, nullptr);
    ASSERT_NE(crt, nullptr);
    EXPECT_EQ(std::wstring(crt).find(L"German"), 0u) << crt;

    SetLanguage(1041);
    EXPECT_NE(GetCurrentLanguage()->GetLcid(), 1031u);
    EXPECT_STREQ(GetString(IDS_BTN_YES), L"\u306F\u3044(&Y)");  // はい(&Y)
    std::wstring copy;
    GetString(IDS_CAPTION_CANCEL, &copy);
    EXPECT_EQ(copy, L"\u30A4\u30F3\u30B9\u30C8\u30FC\u30EB\u306E\u30AD\u30E3\u30F3\u30BB\u30EB");
}

TEST_F(LanguageTest, NeutralLcidReadsTheNeutralTable) {
    LanguageResources neutral(0);
    for (UINT id : kAllIds) {
        EXPECT_STREQ(neutral.GetString(id, false), GetNeutralLanguage()->GetString(id, false)) << id;
        EXPECT_STRNE(neutral.GetString(id, false), L"") << id;
    }
    EXPECT_STREQ(neutral.GetString(203, false), L"&No");
    EXPECT_STREQ(GetString(505), L"Cancelling...");
}

TEST_F(LanguageTest, IdFoundNowhereIsEmptyAndRecordedAsMissOnlyInCurrent) {
    for (UINT id : {102u, 206u, 592u, 4000u}) {
        const wchar_t* text = GetString(id);
        ASSERT_NE(text, nullptr) << id;
        EXPECT_STREQ(text, L"") << id;
        EXPECT_TRUE(GetCurrentLanguage()->HasMissMarker(id)) << id;
        EXPECT_FALSE(GetNeutralLanguage()->HasMissMarker(id)) << id;
        // The second lookup is answered from the marker and still gives "".
        EXPECT_STREQ(GetString(id), L"") << id;
    }
    // Present ids never get a marker.
    EXPECT_STREQ(GetString(101), L"Kavri Skyguard");
    EXPECT_FALSE(GetCurrentLanguage()->HasMissMarker(101));
}

TEST_F(LanguageTest, PointersStayValidAndStable) {
    LanguageResources german(1031);
    const wchar_t* first = german.GetString(598, false);
    for (UINT id : kAllIds) german.GetString(id, true);  // grows the cache
    EXPECT_EQ(german.GetString(598, false), first);
    EXPECT_EQ(std::wstring(first).find(L"%2!u!") != std::wstring::npos, true);
}

TEST_F(LanguageTest, FormatStringOfTheRamMessage) {
    std::wstring out;
    const int length = FormatString(&out, 595, L"Kavri Skyguard", 512u);
    // The formatter writes each line break of the text as the system's CR LF.
    EXPECT_EQ(out, L"To install Kavri Skyguard you need 512 MB of RAM or more.\r\nIncrease the RAM and try again.");
    EXPECT_EQ(length, static_cast<int>(out.size()));
}

TEST_F(LanguageTest, FormatStringInTheChosenLanguage) {
    SetLanguage(1031);
    std::wstring out;
    FormatString(&out, 597, L"Kavri Skyguard", 2000u);
    EXPECT_EQ(out, L"F\u00FCr die Installation von Kavri Skyguard ben\u00F6tigen Sie einen Prozessor mit mindestens "
                   L"2000 MHz.");
}

TEST_F(LanguageTest, FormatEmptyOrMissingGivesEmptyOutput) {
    std::wstring out = L"stale";
    EXPECT_EQ(FormatString(&out, 102, L"x", 1u), 0);
    EXPECT_EQ(out, L"");
    out = L"stale";
    EXPECT_EQ(FormatText(&out, L""), 0);
    EXPECT_EQ(out, L"");
    out = L"stale";
    EXPECT_EQ(FormatText(&out, nullptr), 0);
    EXPECT_EQ(out, L"");
}

TEST_F(LanguageTest, FormatTextBuildsTheTrackingUrl) {
    std::wstring url;
    FormatText(&url, GetString(IDS_TRACKING_URL), L"stubinstaller_Started", L"en", L"00155D012345", L"undefined",
               L"undefined", L"undefined");
    EXPECT_EQ(url,
              L"http://www.google-analytics.com/__utm.gif?utmwv=4.6.5&utmn=809250245&utmhn=www.example.com"
              L"&utmcs=UTF-8&utmsr=1280x800&utmsc=24-bit&utmul=es-es&utmje=1&utmfl=10.0%20r45&utmdt=SKYGUARD"
              L"&utmhid=1976984839&utmr=-&utmp=%2Fen%2Fstubinstaller_Started%2F&utmac=UA-0000000-1"
              L"&utmcc=__utma%3D27364815.00155D012345.1268347230.1268347230.1268347230.1%3B%2B__utmz%3D27364815"
              L".1268347230.1.1.utmcsr%3Dundefined%7Cutmccn%3Dundefined%7Cutmcmd%3Dundefined%3B");
}

TEST_F(LanguageTest, DialogTemplatesFollowTheCurrentLanguage) {
    SetLanguage(1033);
    for (WORD id : {IDD_PROGRESS, IDD_QUESTION, IDD_CONFIRM, IDD_ERROR}) {
        EXPECT_NE(FindDialogTemplate(id), nullptr) << id;
    }
    EXPECT_EQ(FindDialogTemplate(709), nullptr);
    SetLanguage(1031);  // no German templates: the platform chooses
    EXPECT_EQ(FindDialogTemplate(IDD_PROGRESS), nullptr);
}

TEST_F(LanguageTest, ConcurrentLookupsAgree) {
    // A fresh object with a cold cache, read by several threads at once: all
    // of them must see the same texts as a single-threaded reader.
    LanguageResources reference(1049);
    std::map<UINT, std::wstring> expected;
    for (UINT id : kAllIds) expected[id] = reference.GetString(id, true);

    LanguageResources shared(1049);
    std::atomic<int> mismatches{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            for (int round = 0; round < 50; ++round) {
                for (size_t i = 0; i < sizeof(kAllIds) / sizeof(kAllIds[0]); ++i) {
                    UINT id = kAllIds[(i + static_cast<size_t>(t) * 3) % (sizeof(kAllIds) / sizeof(kAllIds[0]))];
                    if (expected[id] != shared.GetString(id, true)) ++mismatches;
                    if (GetString(id)[0] == L'\0') ++mismatches;
                    (void)shared.GetString(102, true);
                }
            }
        });
    }
    go = true;
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_TRUE(shared.HasMissMarker(102));
}

// --- Fallback to the neutral table, seen in a tool process ------------------
// langprobe.exe carries an incomplete Korean table (only 200 and 500); the
// other ids of those two blocks must come from the neutral instance and be
// recorded as misses in the current language. Blocks that Korean lacks
// altogether are read from the neutral resources by the Korean object itself.

TEST(LanguageFallback, MissingEntriesComeFromNeutralAndAreMarked) {
    using kavri_test::Utf8;
    const std::wstring tool = kavri_test::ToolPath(L"langprobe.exe");
    ASSERT_TRUE(kavri_test::FileExists(tool)) << Utf8(tool);
    const kavri_test::ProcessOutput run =
        kavri_test::RunCommand(L"\"" + tool + L"\" 0x0412 200 201 500 591 101 102");
    EXPECT_TRUE(run.Finished());
    EXPECT_EQ(run.exitCode, 0u);
    const std::string& output = run.out;
    EXPECT_EQ(output,
              "200|0|" + Utf8(L"\uCDE8\uC18C(&C)") + "\n"            // Korean, own table
              "201|1|&Close\n"                                      // empty in the Korean block
              "500|0|" + Utf8(L"\uC124\uCE58\uB97C \uC900\uBE44\uD558\uB294 \uC911\u2026") + "\n"
              "591|0|Download failed.\\nDo you want to try it again?\n"  // no Korean block: neutral block
              "101|0|Kavri Skyguard\n"                              // neutral block, found directly
              "102|1|\n");                                          // nowhere: "" and a marker
}

}  // namespace
