// CConnection's URL check and split, and the pure helpers behind the header
// checks (file name from Content-Disposition, Range / Content-Range offsets).
#include <gtest/gtest.h>

#include <string>

#include "common/ErrorCode.h"
#include "download/Connection.h"
#include "net/NetTestUtil.h"
#include "net/Session.h"

using kavri_nettest::Narrow;

namespace {

// What the constructor makes of a URL; -2 when it refuses it.
struct Split {
    int code;
    std::wstring host, path, file;
    bool secure;
};
Split Construct(const wchar_t* url) {
    try {
        CConnection c(nullptr, url);
        return {0, c.GetHost(), c.GetPath(), c.GetFileName(), c.IsSecure()};
    } catch (kavri::EErrorCode code) {
        return {code, L"", L"", L"", false};
    }
}

}  // namespace

TEST(ConnectionUrl, AcceptanceAndSplit) {
    struct Case {
        std::wstring url;
        int code;
        const wchar_t* host;
        const wchar_t* path;
        const wchar_t* file;
        bool secure;
    } cases[] = {
        {L"http://h/dir/setup.exe", 0, L"h", L"/dir/setup.exe", L"setup.exe", false},
        {L"HTTP://h/x.exe", 0, L"h", L"/x.exe", L"x.exe", false},
        {L"hTtP://Host.Example:8080/a/b.bin", 0, L"Host.Example:8080", L"/a/b.bin", L"b.bin", false},
        {L"https://h/x.exe", 0, L"h", L"/x.exe", L"x.exe", true},
        {L"HTTPS://h/x.exe", 0, L"h", L"/x.exe", L"x.exe", true},
        {L"http://h", 0, L"h", L"", L"h", false},
        {L"http://h/get/file.exe?id=3&x=/y", 0, L"h", L"/get/file.exe?id=3&x=/y", L"file.exe", false},
        {L"http://h/setup.exe#part", 0, L"h", L"/setup.exe#part", L"setup.exe", false},
        {L"ftp://h/x", -2, L"", L"", L"", false},
        {L"file:///c:/x.exe", -2, L"", L"", L"", false},
        {L"httpx://h/x", -2, L"", L"", L"", false},
        {L"http:/h/x", -2, L"", L"", L"", false},
        {L"http://", -2, L"", L"", L"", false},
        {L"http:///nohost", -2, L"", L"", L"", false},
        {L"", -2, L"", L"", L"", false},
        {L"h/x.exe", -2, L"", L"", L"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.url));
        const Split s = Construct(c.url.c_str());
        EXPECT_EQ(s.code, c.code);
        if (c.code == 0) {
            EXPECT_EQ(s.host, c.host);
            EXPECT_EQ(s.path, c.path);
            EXPECT_EQ(s.file, c.file);
            EXPECT_EQ(s.secure, c.secure);
        }
    }
    EXPECT_EQ(Construct(nullptr).code, -2);
}

TEST(ConnectionUrl, LengthLimitIs259Characters) {
    const std::wstring base = L"http://h/";
    const std::wstring url259 = base + std::wstring(259 - base.size() - 4, L'a') + L".exe";
    const std::wstring url260 = base + std::wstring(260 - base.size() - 4, L'a') + L".exe";
    ASSERT_EQ(url259.size(), 259u);
    EXPECT_EQ(Construct(url259.c_str()).code, 0);
    EXPECT_EQ(Construct(url260.c_str()).code, -2);
    const std::wstring secure259 = L"https://h/" + std::wstring(259 - 10, L'b');
    EXPECT_EQ(Construct(secure259.c_str()).code, 0);
    EXPECT_EQ(Construct((secure259 + L"b").c_str()).code, -2);
    // A host longer than its 256-character buffer is refused, not cut.
    const std::wstring longHost = L"http://" + std::wstring(256, L'h') + L"/x";
    EXPECT_EQ(Construct(longHost.c_str()).code, -2);
}

TEST(ContentDisposition, OnlyAPlainSafeNameIsTaken) {
    struct Case {
        const wchar_t* value;
        const wchar_t* name;  // null: no name taken
    } cases[] = {
        {L"attachment; filename=\"setup.exe\"", L"setup.exe"},
        {L"filename=setup.exe", L"setup.exe"},
        {L"attachment; filename=\"Setup Product 1.0.exe\"", L"Setup Product 1.0.exe"},
        {L"attachment; filename=\"a.exe\"; size=3", L"a.exe"},
        {L"attachment; filename=a.exe;", L"a.exe"},
        {L"attachment; filename=\"\"\"b.exe\"\"\"", L"b.exe"},
        {L"attachment; filename=\"..\\..\\evil.exe\"", L"evil.exe"},
        {L"attachment; filename=\"../../evil.exe\"", L"evil.exe"},
        {L"attachment; filename=\"C:\\Windows\\System32\\evil.dll\"", L"evil.dll"},
        {L"attachment; filename=/etc/x", L"x"},
        {L"attachment; filename=\"dir/\"", nullptr},
        {L"attachment; filename=\"..\"", nullptr},
        {L"attachment; filename=\".\"", nullptr},
        {L"attachment; filename=\"\"", nullptr},
        {L"attachment; filename=", nullptr},
        {L"attachment; filename=\"CON\"", nullptr},
        {L"attachment; filename=con.txt", nullptr},
        {L"attachment; filename=\"LPT1.exe\"", nullptr},
        {L"attachment; filename=COM9", nullptr},
        {L"attachment; filename=NUL.", nullptr},
        {L"attachment; filename=\"CONSOLE.exe\"", L"CONSOLE.exe"},
        {L"attachment; filename=\"a:b\"", nullptr},
        {L"attachment; filename=\"x.exe:stream\"", nullptr},
        {L"attachment; filename=\"a*b.exe\"", nullptr},
        {L"attachment; filename=\"a?b\"", nullptr},
        {L"attachment; filename=\"a|b\"", nullptr},
        {L"attachment; filename=\"a<b>\"", nullptr},
        {L"attachment; filename=\"trailing.exe.\"", nullptr},
        {L"attachment; filename=\"tab\there.exe\"", nullptr},
        {L"attachment; FILENAME=\"setup.exe\"", nullptr},  // the marker is matched as written
        {L"attachment", nullptr},
        {L"inline; name=\"setup.exe\"", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.value));
        wchar_t out[256] = L"unchanged";
        const bool taken = kavri::FileNameFromContentDisposition(c.value, out, 256);
        EXPECT_EQ(taken, c.name != nullptr);
        if (c.name) {
            EXPECT_STREQ(out, c.name);
        }
    }
}

TEST(RangeOffsets, FromRangeHeaderAndContentRange) {
    uint64_t start = 7;
    EXPECT_TRUE(kavri::ParseRangeStart(L"Range: bytes=100-199\r\n", &start));
    EXPECT_EQ(start, 100u);
    EXPECT_TRUE(kavri::ParseRangeStart(L"X-A: 1\r\nrange:bytes=5000000000-\r\n", &start));
    EXPECT_EQ(start, 5000000000ull);
    EXPECT_FALSE(kavri::ParseRangeStart(L"X-Range: bytes=1-2\r\n", &start));
    EXPECT_FALSE(kavri::ParseRangeStart(L"Range: bytes=-500\r\n", &start));
    EXPECT_FALSE(kavri::ParseRangeStart(L"", &start));
    EXPECT_FALSE(kavri::ParseRangeStart(nullptr, &start));

    EXPECT_TRUE(kavri::ParseContentRangeStart(L"bytes 100-199/1048576", &start));
    EXPECT_EQ(start, 100u);
    EXPECT_TRUE(kavri::ParseContentRangeStart(L"bytes 0-0/1", &start));
    EXPECT_EQ(start, 0u);
    EXPECT_TRUE(kavri::ParseContentRangeStart(L"bytes 4294967296-4294967395/5368709120", &start));
    EXPECT_EQ(start, 4294967296ull);
    EXPECT_FALSE(kavri::ParseContentRangeStart(L"bytes */1000", &start));
    EXPECT_FALSE(kavri::ParseContentRangeStart(L"items 1-2/3", &start));
    EXPECT_FALSE(kavri::ParseContentRangeStart(L"bytes 12", &start));
    EXPECT_FALSE(kavri::ParseContentRangeStart(nullptr, &start));
}

TEST(SafeFileName, WindowsRules) {
    for (const wchar_t* ok : {L"setup.exe", L"a", L"a b.exe", L"COM10", L"LPT", L".hidden", L"x..y"})
        EXPECT_TRUE(kavri::IsSafeFileName(ok)) << Narrow(ok);
    for (const wchar_t* bad : {L"", L".", L"..", L"aux", L"Aux.dll", L"prn.txt", L"CONIN$", L"conout$.x",
                               L"a\\b", L"a/b", L"a\"b", L"end ", L"end."})
        EXPECT_FALSE(kavri::IsSafeFileName(bad)) << Narrow(bad);
    EXPECT_FALSE(kavri::IsSafeFileName(nullptr));
    EXPECT_FALSE(kavri::IsSafeFileName(std::wstring(256, L'a').c_str()));
}
