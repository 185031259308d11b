// The configuration record: built-in defaults, then the INI file, then the
// command line. Plain value sections, copied member by member.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

class RuntimeSection {
public:
    RuntimeSection();  // the machine's own values (system probes)
    OSVERSIONINFOW osVersion;  // required major.minor; size field 276
    uint32_t cpuMHz;
    uint32_t ramMB;
    uint32_t hddMB;
};

class ProductSection {
public:
    ProductSection();  // name 101, help 103, the rest empty / 0
    std::wstring name;
    std::wstring helpUrl;
    std::wstring downloadUrl;
    std::wstring installer;
    std::wstring webConfigUrl;
    std::wstring signer;  // ';'-separated "sha256:<hex>" / "CN=<name>" entries
    std::wstring sha256;  // the download's expected SHA-256, hex
    std::wstring quietArgs;  // the main installer's arguments in quiet mode
    // Other sources of the file at downloadUrl (Mirror1..Mirror4), http(s) only.
    std::vector<std::wstring> mirrors;
    uint32_t version;
};

class CampaignSection {
public:
    CampaignSection();  // "undefined" x3, template 104
    std::wstring source;
    std::wstring trackingUrlTemplate;
    std::wstring information;
    std::wstring medium;
};

class LocalizationSection {
public:
    LocalizationSection();  // 10 segments, GetUserDefaultLCID()
    uint32_t maxSegments;
    uint32_t lcid;
};

class InstallerConfig {
public:
    RuntimeSection runtime;
    ProductSection product;
    CampaignSection campaign;
    LocalizationSection localization;
    bool quiet = false;  // -q: no window, automatic retries, the exit code tells
};

namespace kavri {

// Longest accepted command-line or INI value, in characters. A longer value
// is refused (the field keeps its value) and a warning is logged: a cut URL
// or path would silently name something else.
constexpr size_t kMaxValueChars = 2047;

// Reads an INI file (full path) into cfg; keys that are missing or empty keep
// the field. [DEBUG] LogLevel is applied to the global log level at once.
// [PRODUCT] Mirror1..Mirror4: when the file names any of them, the mirrors
// become the http(s) ones among them (others are logged and skipped), and
// *mirrorsNamed (when given) tells whether it did.
constexpr int kMaxMirrors = 4;
void ReadIniFile(const wchar_t* iniPath, InstallerConfig* cfg, bool* mirrorsNamed = nullptr);

// Applies the arguments after the program name (argv[1..]) to cfg: a first
// argument that is not a switch is the download URL; a switch ('-' or '/',
// selected by its second character alone: u c s t l) takes the next argument
// as its value unless that begins with '-' or '/' (a negative number such as
// "-1" is a value, not a switch).
void ApplyCommandLine(const std::vector<std::wstring>& args, InstallerConfig* cfg);

// The largest web configuration that is read; a larger one is refused.
constexpr uint64_t kMaxWebConfigBytes = 64 * 1024;

// Why a downloaded web configuration is, or is not, taken.
enum class WebConfigVerdict {
    Taken,
    NotNewer,    // its [PRODUCT] Ver is missing or not above the one in force
    BadVersion,  // Ver is negative, too large or no number
    BadUrl,      // its URL is not http:// or https:// with a host
    TooLarge,    // the file is over kMaxWebConfigBytes
    Unpinned,    // it names a file that the local pins could not admit
};
const wchar_t* WebConfigVerdictText(WebConfigVerdict verdict);

// Reads a downloaded web configuration into cfg (a copy of the record in
// force) and decides whether the copy may replace it; on anything but Taken
// the copy must be thrown away. It may change the download URL, Ver, the
// name, the help link, the tracking values and SHA256; it may not change the
// local installer, the signer or the quiet arguments (each such key is
// ignored with a warning). The hash pin follows the URL: the file's SHA256
// when it has one, else the local one while the URL stays the same, else
// none. signerPinned: a signer list is in force; without one, a local hash
// is the only pin, it belongs to the local URL, and a web configuration that
// would change the URL or the hash is Unpinned.
WebConfigVerdict ReadWebConfigFile(const wchar_t* iniPath, bool signerPinned, InstallerConfig* cfg);

// A [PRODUCT] Ver value: decimal digits only (blanks around them allowed),
// at most 4294967295. False for anything else, *out untouched.
bool ParseVersion(const std::wstring& text, uint32_t* out);

// True when the arguments hold the quiet switch (-q, /Q, -quiet, ...). A
// value that begins with '-' or '/' is a number, so every such word is a switch.
bool HasQuietSwitch(const std::vector<std::wstring>& args);
// The same for this process's command line.
bool IsQuietCommandLine();

// "6.1" -> 6.1, "6" -> 6.0, "10.0.19041" -> 10.0 (a build number is not
// part of the requirement).
void ParseOsVersion(const wchar_t* text, OSVERSIONINFOW* out);

// The [PRODUCT] Installer value made fully qualified: only its file part is
// qualified; the arguments stay exactly as written.
std::wstring QualifyInstallerCommand(const std::wstring& command);

}  // namespace kavri
