// What may run elevated: the signature and hash pins against files signed at
// test time (the fixture's scripts/testsign.py and trustroot.exe), the held
// file, hostile names, the web configuration's limits, the download folder,
// the log and the machine id.
#include <windows.h>
#include <aclapi.h>
#include <rpc.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <tuple>

#include "app/InstallerConfig.h"
#include "app/SystemProbes.h"
#include "app/Verification.h"
#include "download/Connection.h"
#include "download/DownloadFolder.h"
#include "download/Downloader.h"
#include "support/ProcessRunner.h"
#include "support/LogCapture.h"
#include "support/TestEnv.h"

namespace {

using kavri::Verdict;
using kavri_test::StateFile;

std::wstring Pin(const char* name) {
    const std::string pins = kavri_test::ReadFileBytes(StateFile("signing/pins.json"));
    const std::string hex = kavri_test::JsonValue(pins, name);
    return std::wstring(hex.begin(), hex.end());
}

Verdict Check(const wchar_t* file, const std::wstring& signers, const std::wstring& sha = L"") {
    const std::wstring path = StateFile("signing/" + kavri_test::Utf8(file));
    HANDLE held = kavri::OpenHeld(path.c_str());
    EXPECT_NE(held, INVALID_HANDLE_VALUE) << kavri_test::Utf8(path);
    std::wstring signer;
    const Verdict v = kavri::VerifyFile(held, path.c_str(), signers, sha, &signer);
    CloseHandle(held);
    return v;
}

TEST(Trust, FilesAgainstPins) {
    const std::wstring leaf = L"sha256:" + Pin("leaf"), root = L"sha256:" + Pin("root");
    const std::wstring cn = L"CN=Kavri Test Signer", hash = Pin("unsigned_file");
    struct Row {
        const wchar_t* file;
        std::wstring signers, sha;
        Verdict expected;
    } rows[] = {
        {L"signed.exe", leaf, L"", Verdict::Verified},
        {L"signed.exe", root, L"", Verdict::Verified},
        {L"signed.exe", L" CN=Nobody ; " + cn, L"", Verdict::Verified},  // trusted root
        {L"unsigned.exe", leaf, L"", Verdict::NoSignature},
        {L"codebyte.exe", leaf, L"", Verdict::ChangedAfterSigning},
        {L"sigbyte.exe", leaf, L"", Verdict::ChangedAfterSigning},
        {L"rewritten.exe", root, L"", Verdict::ChangedAfterSigning},
        {L"other.exe", leaf, L"", Verdict::SignerNotListed},
        {L"untrusted.exe", cn, L"", Verdict::ChainNotTrusted},  // same CN, root not trusted
        {L"untrusted.exe", L"sha256:" + Pin("stray"), L"", Verdict::Verified},  // the pin is the anchor
        {L"unsigned.exe", L"", hash, Verdict::Verified},
        {L"signed.exe", L"", hash, Verdict::HashMismatch},
        {L"signed.exe", cn, hash, Verdict::HashMismatch},
        {L"signed.exe", L"", L"", Verdict::NotPinned},
        {L"signed.exe", L"sha256:12ab", L"", Verdict::SignerNotListed},  // a broken pin refuses
        {L"signed.exe", L"", L"xyz", Verdict::HashMismatch},
    };
    for (const Row& r : rows)
        EXPECT_EQ(static_cast<int>(r.expected), static_cast<int>(Check(r.file, r.signers, r.sha)))
            << kavri_test::Utf8(r.file) << " / " << kavri_test::Utf8(r.signers) << " / "
            << kavri_test::Utf8(r.sha);
}

TEST(Trust, HeldFileCannotBeChangedButStarts) {
    kavri_test::TempDir dir;
    const std::wstring path = dir.File(L"held.exe");
    ASSERT_TRUE(CopyFileW(StateFile("signing/unsigned.exe").c_str(), path.c_str(), FALSE));
    HANDLE held = kavri::OpenHeld(path.c_str());
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    EXPECT_FALSE(MoveFileW(path.c_str(), dir.File(L"swapped.exe").c_str()));
    // The hold must not keep the system from starting the file.
    const kavri_test::ProcessOutput run = kavri_test::RunChildProcess({L"\"" + path + L"\"", 30000});
    EXPECT_TRUE(run.Finished());
    CloseHandle(held);
}

TEST(Trust, HostileNamesFromTheNetwork) {
    struct Row {
        const wchar_t* url;
        const wchar_t* name;  // null: refused, saved as the default name
    } rows[] = {
        {L"http://h/dir/KavriSetup.exe?x=1#f", L"KavriSetup.exe"},
        {L"http://h/My%20Setup.exe", L"My Setup.exe"},
        {L"http://h/..evil.exe", nullptr},
        {L"http://h/..%2f..%2fx.exe", nullptr},
        {L"http://h/..%5c..%5cx.exe", nullptr},
        {L"http://h/a.exe:x", nullptr},
        {L"http://h/a.exe%3ax", nullptr},
        {L"http://h/CON.exe", nullptr},
        {L"http://h/x%0a.exe", nullptr},
        {L"http://h/%E2%80%A8evil.exe", nullptr},  // a line separator
        {L"http://h/evil%E2%80%AEexe.txt", nullptr},  // right-to-left override
        {L"http://h/a%C2%85b.exe", nullptr},  // a C1 control
        {L"http://h/%E2%80%8Bsetup.exe", nullptr},  // zero width
        {L"http://h/setup.exe.", nullptr},
        {L"http://h/noextension", nullptr},
        {L"http://h/", nullptr},
    };
    for (const Row& r : rows) {
        wchar_t name[256];
        const bool ok = kavri::FileNameFromUrl(r.url, name, 256);
        EXPECT_EQ(r.name != nullptr, ok) << kavri_test::Utf8(r.url);
        if (ok && r.name) EXPECT_STREQ(r.name, name);
    }
    // Content-Disposition: download/ConnectionTest.
    wchar_t out[MAX_PATH];
    EXPECT_TRUE(kavri::JoinInside(L"C:\\dl", L"a.exe", out));
    EXPECT_FALSE(kavri::JoinInside(L"C:\\dl", L"..\\a.exe", out));
    EXPECT_FALSE(kavri::JoinInside(L"C:\\dl", L"..a.exe\\..\\..\\b.exe", out));
}

TEST(Trust, HostileWebConfigurations) {
    using V = kavri::WebConfigVerdict;
    const std::string a = "URL=http://h/a.exe\r\n", hashA = "SHA256=" + std::string(64, 'a') + "\r\n";
    const std::string signer = "Signer=CN=Kavri\r\n",
                      local = "Installer=C:\\cd\\setup.exe /S\r\nQuietArgs=/quiet\r\nMirror1=http://m/a.exe\r\n";
    const std::wstring wA(64, L'a'), wB(64, L'b');
    const struct {
        std::string local, web;
        V verdict;
        std::wstring url, sha256;  // when taken
    } rows[] = {
        // What runs and who signs stays local; a new URL drops the old URL's hash.
        {signer + hashA, "Ver=2\r\nURL=http://h/b.exe\r\nInstaller=cmd.exe /c evil\r\nSigner=CN=Evil\r\nQuietArgs=/evil\r\n"
         "Help=C:\\Windows\\System32\\cmd.exe\r\n",
         V::Taken, L"http://h/b.exe", L""},
        {signer + hashA, "Ver=2\r\nName=New\r\n", V::Taken, L"http://h/a.exe", wA},  // same URL: its hash stays
        {signer, "Ver=2\r\nURL=http://h/b.exe\r\nSHA256=" + std::string(64, 'b') + "\r\n", V::Taken, L"http://h/b.exe", wB},
        {"", "Ver=2\r\nURL=https://h/b.exe\r\n", V::Taken, L"https://h/b.exe", L""},  // nothing pinned locally
        // Only a local hash: nothing from the network may move or replace it.
        {hashA, "Ver=99\r\nURL=http://other/unsigned.exe\r\n", V::Unpinned},
        {hashA, "Ver=99\r\nURL=http://other/b.exe\r\nSHA256=" + std::string(64, 'b') + "\r\n", V::Unpinned},
        {hashA, "Ver=99\r\nSHA256=" + std::string(64, 'b') + "\r\n", V::Unpinned},
        {hashA, "Ver=99\r\nName=New\r\n", V::Taken, L"http://h/a.exe", wA},
        // Versions that are no number are not newer.
        {signer, "Ver=-99999999999999999999999999999999\r\nURL=http://h/b.exe\r\n", V::BadVersion},
        {signer, "Ver=-1\r\n", V::BadVersion}, {signer, "Ver=4294967296\r\n", V::BadVersion},
        {signer, "Ver=2x\r\n", V::BadVersion}, {signer, "Ver=1\r\n", V::NotNewer}, {signer, "Name=x\r\n", V::NotNewer},
        {signer, "Ver= 2 \r\n", V::Taken, L"http://h/a.exe", L""},
        // Only a URL the download can fetch.
        {signer, "Ver=2\r\nURL=file:///C:/Windows/notepad.exe\r\n", V::BadUrl},
        {signer, "Ver=2\r\nURL=C:\\Windows\\notepad.exe\r\n", V::BadUrl}, {signer, "Ver=2\r\nURL=http://\r\n", V::BadUrl},
        // 64 KiB at most.
        {signer, "Ver=2\r\n;" + std::string(kavri::kMaxWebConfigBytes, 'x') + "\r\n", V::TooLarge},
        {signer, "Ver=2\r\n;" + std::string(kavri::kMaxWebConfigBytes - 40, 'x') + "\r\n", V::Taken, L"http://h/a.exe"},
    };
    kavri_test::TempDir dir;
    const std::wstring localIni = dir.File(L"local.ini"), webIni = dir.File(L"web.ini");
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const auto& r = rows[i];
        ASSERT_TRUE(kavri_test::WriteFileBytes(localIni, "[PRODUCT]\r\nVer=1\r\n" + a + local + r.local));
        ASSERT_TRUE(kavri_test::WriteFileBytes(webIni, "[PRODUCT]\r\n" + r.web));
        InstallerConfig cfg;
        kavri::ReadIniFile(localIni.c_str(), &cfg);
        const ProductSection before = cfg.product;
        EXPECT_EQ(r.verdict, kavri::ReadWebConfigFile(webIni.c_str(), !cfg.product.signer.empty(), &cfg)) << "row " << i;
        if (r.verdict != V::Taken) continue;
        EXPECT_EQ(r.url, cfg.product.downloadUrl) << "row " << i;
        EXPECT_EQ(r.sha256, cfg.product.sha256) << "row " << i;
        EXPECT_EQ(r.url == L"http://h/a.exe", cfg.product.mirrors.size() == 1) << "row " << i;  // they serve their URL
        const ProductSection& p = cfg.product;
        EXPECT_EQ(std::tie(before.installer, before.signer, before.quietArgs, before.helpUrl),
                  std::tie(p.installer, p.signer, p.quietArgs, p.helpUrl)) << "row " << i;
    }
}

TEST(Trust, DownloadFolderIsPrivate) {
    struct Row {
        const wchar_t* sddl;
        bool isPrivate;
    } rows[] = {
        {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", true},
        {L"O:SYD:(A;;FA;;;BA)(A;;0x1200a9;;;WD)", true},  // others may read
        {L"O:BAD:(A;;FA;;;BA)(A;;FA;;;WD)", false},
        {L"O:BAD:(A;;FA;;;BA)(A;OICIIO;0x2;;;BU)", false},  // add files, inherited
        {L"O:S-1-5-21-1-2-3-1000D:(A;;FA;;;BA)", false},    // a user owns it
        {L"O:BAD:(D;;FA;;;WD)(A;;FA;;;SY)", true},
    };
    for (const Row& r : rows) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(r.sddl, SDDL_REVISION_1, &sd, nullptr));
        PSID owner = nullptr;
        PACL dacl = nullptr;
        BOOL present = FALSE, defaulted = FALSE;
        GetSecurityDescriptorOwner(sd, &owner, &defaulted);
        GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
        EXPECT_EQ(r.isPrivate, kavri::IsPrivateSecurity(owner, dacl, nullptr)) << kavri_test::Utf8(r.sddl);
        LocalFree(sd);
    }
    // A link where the folder should be (made by the fixture) is not used.
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring link = std::wstring(temp) + L"KavriLinkTest";
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(link.c_str()));
    DownloadFolder folder;
    ASSERT_TRUE(folder.Open(L"KavriLinkTest"));
    EXPECT_NE(link, folder.Path());
    EXPECT_TRUE(GetFileAttributesW(folder.Path().c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    // Read back: no one but SYSTEM, the Administrators (and under Wine the
    // user, whose processes all share one set of rights) may write.
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, GetNamedSecurityInfoW(folder.Path().c_str(), SE_FILE_OBJECT,
                                                   OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                                   &owner, nullptr, &dacl, nullptr, &sd));
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    BYTE user[256];
    DWORD size = sizeof(user);
    GetTokenInformation(token, TokenUser, user, size, &size);
    CloseHandle(token);
    EXPECT_TRUE(kavri::IsPrivateSecurity(owner, dacl, reinterpret_cast<TOKEN_USER*>(user)->User.Sid));
    LocalFree(sd);
}

TEST(Trust, ControlCharactersForgeNoLogLine) {
    kavri_test::LogCapture log;
    CLog source(L"Test");
    LogInfo(&source, L"DownloadUrl: %ls", L"http://h/x\r\n[12:00.00][ERROR] -1:FAKE injected\x1b[2J\x07.exe\n");
    ASSERT_EQ(1u, log.Lines().size());
    const std::wstring line = log.Lines()[0].line;
    for (wchar_t c : line) EXPECT_GE(c, 0x20) << "control character in the line";
    EXPECT_NE(std::wstring::npos, line.find(L"\\x0d\\x0a[12:00.00][ERROR]"));
}

TEST(Trust, MachineIdIsOneWay) {
    UUID uuid = {};
    UuidCreateSequential(&uuid);
    const unsigned char* mac = &uuid.Data4[2];
    wchar_t a[13], other[13], macHex[13];
    kavri::FormatMachineId(mac, L"Kavri Skyguard", a);
    kavri::FormatMachineId(mac, L"Other Product", other);
    _snwprintf(macHex, 13, L"%02X%02X%02X%02X%02X%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    EXPECT_STRNE(a, other);
    EXPECT_STRNE(a, macHex);
    EXPECT_STREQ(a, GetMachineId());  // the same again
    ASSERT_EQ(12u, wcslen(a));
    for (const wchar_t* p = a; *p; ++p) EXPECT_TRUE(iswdigit(*p) || (*p >= L'A' && *p <= L'F'));
}

}  // namespace
