// The configuration record: defaults, INI file and command line.
//
// Concurrency: a record is filled on one thread (start-up, or the download
// thread for a web configuration) before anyone else reads it; nothing here
// takes a lock.
#include "app/InstallerConfig.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <cwchar>
#include <cwctype>

#include "app/Installer.h"
#include "app/SystemProbes.h"
#include "common/ErrorCode.h"
#include "common/Handles.h"
#include "download/Connection.h"
#include "i18n/LanguageResources.h"
#include "log/Log.h"

namespace {

// Configuration lines belong to the application object's log source.
const wchar_t kSourceName[] = L"CInstaller";

const wchar_t kUndefined[] = L"undefined";

bool IsSwitchChar(wchar_t c) { return c == L'-' || c == L'/'; }

// A word that starts a switch: '-' or '/' and not a negative number ("-1"
// is the value of "-l", not a switch).
bool IsSwitchWord(const std::wstring& word) {
    if (word.empty() || !IsSwitchChar(word[0])) return false;
    return !(word[0] == L'-' && word.size() > 1 && std::iswdigit(word[1]));
}

// Reads one INI key. True when the key is present with a non-empty value
// that fits; an empty value or a missing key leaves out untouched. A value
// longer than the accepted length is refused and logged rather than cut,
// since half a URL or path would silently point somewhere else.
bool ReadKey(const wchar_t* iniPath, const wchar_t* section, const wchar_t* key,
             std::wstring* out) {
    // One character more than accepted, so that a longer value shows as one.
    const DWORD kBufferChars = static_cast<DWORD>(kavri::kMaxValueChars + 2);
    wchar_t buffer[kavri::kMaxValueChars + 2];
    DWORD n = GetPrivateProfileStringW(section, key, nullptr, buffer, kBufferChars, iniPath);
    if (n == 0) return false;
    if (n > kavri::kMaxValueChars) {
        CLog source(kSourceName);
        LogWarning(&source, kavri::kErrBadArgument,
                   L":ReadIniFile, [%ls] %ls is longer than %u characters and was ignored.",
                   section, key, static_cast<unsigned>(kavri::kMaxValueChars));
        return false;
    }
    out->assign(buffer, n);
    return true;
}

// _wtoi semantics: decimal, optional sign, 0 for no number; a negative
// number stored in an unsigned field wraps.
void ReadNumber(const wchar_t* iniPath, const wchar_t* section, const wchar_t* key,
                uint32_t* field) {
    std::wstring value;
    if (ReadKey(iniPath, section, key, &value)) *field = static_cast<uint32_t>(_wtoi(value.c_str()));
}

void ReadString(const wchar_t* iniPath, const wchar_t* section, const wchar_t* key,
                std::wstring* field) {
    std::wstring value;
    if (ReadKey(iniPath, section, key, &value)) *field = value;
}

bool ReadMirrors(const wchar_t* iniPath, std::vector<std::wstring>* mirrors) {
    std::vector<std::wstring> found;
    bool named = false;
    for (int n = 1; n <= kavri::kMaxMirrors; ++n) {
        std::wstring value;
        const std::wstring key = L"Mirror" + std::to_wstring(n);
        if (!ReadKey(iniPath, L"PRODUCT", key.c_str(), &value)) continue;
        named = true;
        if (kavri::SplitHttpUrl(value.c_str(), nullptr, nullptr, nullptr)) {
            found.push_back(value);
        } else if (!value.empty()) {
            CLog source(kSourceName);
            LogWarning(&source, kavri::kErrBadArgument, L":ReadIniFile, [PRODUCT] %ls is not http or https and was ignored.",
                       key.c_str());
        }
    }
    if (named) *mirrors = found;
    return named;
}

}  // namespace

RuntimeSection::RuntimeSection() : osVersion(), cpuMHz(0), ramMB(0), hddMB(0) {
    osVersion.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    GetOsVersion(&osVersion);
    osVersion.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    cpuMHz = GetCpuMHz();
    ramMB = GetTotalRamMB();
    hddMB = GetFreeDiskMB();
}

ProductSection::ProductSection() : version(0) {
    GetString(IDS_PRODUCT_NAME, &name);
    GetString(IDS_HELP_URL, &helpUrl);
}

CampaignSection::CampaignSection()
    : source(kUndefined), information(kUndefined), medium(kUndefined) {
    GetString(IDS_TRACKING_URL, &trackingUrlTemplate);
}

LocalizationSection::LocalizationSection() : maxSegments(10), lcid(GetUserDefaultLCID()) {}

namespace kavri {

void ParseOsVersion(const wchar_t* text, OSVERSIONINFOW* out) {
    ZeroMemory(out, sizeof(*out));
    out->dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    if (!text) return;
    // major.minor[.build]: "10.0.19041" requires 10.0, not 10.19041, which
    // no Windows would ever reach.
    out->dwMajorVersion = static_cast<DWORD>(_wtoi(text));
    if (const wchar_t* dot = wcschr(text, L'.')) out->dwMinorVersion = static_cast<DWORD>(_wtoi(dot + 1));
}

bool ParseVersion(const std::wstring& text, uint32_t* out) {
    const size_t first = text.find_first_not_of(L" \t");
    if (first == std::wstring::npos) return false;
    const size_t last = text.find_last_not_of(L" \t");
    uint64_t value = 0;
    for (size_t i = first; i <= last; ++i) {
        if (text[i] < L'0' || text[i] > L'9') return false;
        value = value * 10 + static_cast<uint64_t>(text[i] - L'0');
        if (value > UINT32_MAX) return false;
    }
    *out = static_cast<uint32_t>(value);
    return true;
}

std::wstring QualifyInstallerCommand(const std::wstring& command) {
    std::wstring file, args;
    CInstaller::SplitCommand(command.c_str(), &file, &args);
    if (file.empty() || file.size() >= MAX_PATH) return command;
    wchar_t qualified[MAX_PATH];
    if (!PathSearchAndQualifyW(file.c_str(), qualified, MAX_PATH)) return command;
    std::wstring out = qualified;
    // A file that was quoted stays quoted, so the command still splits the
    // same way when it is launched.
    if (!command.empty() && command[0] == L'"') out = L"\"" + out + L"\"";
    // The arguments exactly as written: "/S /v" must not become "\S \v".
    if (!args.empty()) out += L" " + args;
    return out;
}

void ReadIniFile(const wchar_t* iniPath, InstallerConfig* cfg, bool* mirrorsNamed) {
    if (!iniPath || !*iniPath || !cfg) return;

    ReadNumber(iniPath, L"DOWNLOADER", L"MaxAllowedSegments", &cfg->localization.maxSegments);
    std::wstring value;
    // Applied at once, also when cfg is a copy that is later discarded.
    if (ReadKey(iniPath, L"DEBUG", L"LogLevel", &value)) SetLogLevel(_wtoi(value.c_str()));

    if (ReadKey(iniPath, L"RUNTIME", L"OSVersion", &value))
        ParseOsVersion(value.c_str(), &cfg->runtime.osVersion);
    ReadNumber(iniPath, L"RUNTIME", L"RAM", &cfg->runtime.ramMB);
    ReadNumber(iniPath, L"RUNTIME", L"CPU", &cfg->runtime.cpuMHz);
    ReadNumber(iniPath, L"RUNTIME", L"HDD", &cfg->runtime.hddMB);

    ReadString(iniPath, L"PRODUCT", L"URL", &cfg->product.downloadUrl);
    ReadString(iniPath, L"PRODUCT", L"Name", &cfg->product.name);
    ReadString(iniPath, L"PRODUCT", L"Help", &cfg->product.helpUrl);
    ReadString(iniPath, L"PRODUCT", L"Config", &cfg->product.webConfigUrl);
    if (ReadKey(iniPath, L"PRODUCT", L"Installer", &value))
        cfg->product.installer = QualifyInstallerCommand(value);
    if (ReadKey(iniPath, L"PRODUCT", L"Ver", &value) && !ParseVersion(value, &cfg->product.version)) {
        CLog source(kSourceName);
        LogWarning(&source, kErrBadArgument, L":ReadIniFile, [PRODUCT] Ver \"%ls\" is not a version and was ignored.",
                   value.c_str());
    }
    ReadString(iniPath, L"PRODUCT", L"Signer", &cfg->product.signer);
    ReadString(iniPath, L"PRODUCT", L"SHA256", &cfg->product.sha256);
    ReadString(iniPath, L"PRODUCT", L"QuietArgs", &cfg->product.quietArgs);
    const bool named = ReadMirrors(iniPath, &cfg->product.mirrors);
    if (mirrorsNamed) *mirrorsNamed = named;

    ReadString(iniPath, L"CAMPAIGN", L"URL", &cfg->campaign.trackingUrlTemplate);
    ReadString(iniPath, L"CAMPAIGN", L"INFORMATION", &cfg->campaign.information);
    ReadString(iniPath, L"CAMPAIGN", L"MEDIUM", &cfg->campaign.medium);
    ReadString(iniPath, L"CAMPAIGN", L"SOURCE", &cfg->campaign.source);
}

const wchar_t* WebConfigVerdictText(WebConfigVerdict verdict) {
    switch (verdict) {
    case WebConfigVerdict::Taken: return L"taken";
    case WebConfigVerdict::NotNewer: return L"not newer";
    case WebConfigVerdict::BadVersion: return L"its version is not a number";
    case WebConfigVerdict::BadUrl: return L"its URL is not http or https";
    case WebConfigVerdict::TooLarge: return L"it is too large";
    case WebConfigVerdict::Unpinned: return L"only a local hash is pinned, and it belongs to the local URL";
    }
    return L"unknown";
}

WebConfigVerdict ReadWebConfigFile(const wchar_t* iniPath, bool signerPinned, InstallerConfig* cfg) {
    if (!iniPath || !*iniPath || !cfg) return WebConfigVerdict::NotNewer;
    WIN32_FILE_ATTRIBUTE_DATA info = {};
    if (!GetFileAttributesExW(iniPath, GetFileExInfoStandard, &info)) return WebConfigVerdict::NotNewer;
    if (info.nFileSizeHigh != 0 || info.nFileSizeLow > kMaxWebConfigBytes) return WebConfigVerdict::TooLarge;

    const ProductSection local = cfg->product;
    std::wstring version, url, sha256;
    const bool hasVersion = ReadKey(iniPath, L"PRODUCT", L"Ver", &version);
    const bool hasUrl = ReadKey(iniPath, L"PRODUCT", L"URL", &url);
    ReadKey(iniPath, L"PRODUCT", L"SHA256", &sha256);
    uint32_t offered = 0;
    if (hasVersion && !ParseVersion(version, &offered)) return WebConfigVerdict::BadVersion;
    if (!hasVersion || offered <= local.version) {
        // Not taken, but its log level applies at once, as for any INI file read.
        InstallerConfig ignored(*cfg);
        ReadIniFile(iniPath, &ignored);
        return WebConfigVerdict::NotNewer;
    }
    if (hasUrl && !SplitHttpUrl(url.c_str(), nullptr, nullptr, nullptr)) return WebConfigVerdict::BadUrl;

    bool mirrorsNamed = false;
    ReadIniFile(iniPath, cfg, &mirrorsNamed);
    // What runs elevated, and who may sign it, is the local file's to say.
    CLog source(kSourceName);
    struct Kept {
        const wchar_t* key;
        std::wstring* value;
        const std::wstring& local;
    } kept[] = {{L"Installer", &cfg->product.installer, local.installer},
                {L"Signer", &cfg->product.signer, local.signer},
                {L"QuietArgs", &cfg->product.quietArgs, local.quietArgs}};
    for (Kept& k : kept) {
        std::wstring ignored;
        if (!ReadKey(iniPath, L"PRODUCT", k.key, &ignored)) continue;
        LogWarning(&source, kErrBadArgument,
                   L":ReadWebConfig, [PRODUCT] %ls from the web configuration is ignored.", k.key);
        *k.value = k.local;
    }
    // The help link is opened by the shell: only a web page.
    if (cfg->product.helpUrl != local.helpUrl && !SplitHttpUrl(cfg->product.helpUrl.c_str(), nullptr, nullptr, nullptr)) {
        LogWarning(&source, kErrBadArgument, L":ReadWebConfig, [PRODUCT] Help is not a web address and is ignored.");
        cfg->product.helpUrl = local.helpUrl;
    }
    // The hash belongs to its URL.
    const bool sameUrl = cfg->product.downloadUrl == local.downloadUrl;
    cfg->product.sha256 = !sha256.empty() ? sha256 : sameUrl ? local.sha256 : std::wstring();
    // So do the mirrors: the local ones serve the local URL's file.
    if (!mirrorsNamed && !sameUrl) cfg->product.mirrors.clear();
    // Without a signer the local hash is the only pin: nothing from the
    // network may replace it or point it at another file.
    if (!signerPinned && !local.sha256.empty() && (!sameUrl || cfg->product.sha256 != local.sha256))
        return WebConfigVerdict::Unpinned;
    return WebConfigVerdict::Taken;
}

bool HasQuietSwitch(const std::vector<std::wstring>& args) {
    for (const std::wstring& word : args)
        if (word.size() >= 2 && IsSwitchChar(word[0]) && std::towlower(word[1]) == L'q') return true;
    return false;
}

bool IsQuietCommandLine() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) return false;
    const kavri::ScopedLocalMem owner(reinterpret_cast<HLOCAL>(argv));
    return HasQuietSwitch(std::vector<std::wstring>(argv + (argc > 0 ? 1 : 0), argv + argc));
}

void ApplyCommandLine(const std::vector<std::wstring>& args, InstallerConfig* cfg) {
    if (!cfg || args.empty()) return;
    CLog source(kSourceName);

    // A value longer than the accepted length is refused, not cut: a cut URL
    // would download something else, or nothing, without saying why.
    auto fits = [&source](const std::wstring& value, size_t index) {
        if (value.size() <= kMaxValueChars) return true;
        LogWarning(&source, kErrBadArgument,
                   L":ParseCommandLine, argument %u is longer than %u characters and was ignored.",
                   static_cast<unsigned>(index + 1), static_cast<unsigned>(kMaxValueChars));
        return false;
    };

    const std::wstring iniUrl = cfg->product.downloadUrl;
    size_t i = 0;
    // A first argument that is not a switch ('-' or '/') is the download URL.
    if (!IsSwitchWord(args[0])) {
        if (fits(args[0], 0)) cfg->product.downloadUrl = args[0];
        i = 1;
    }
    for (; i < args.size(); ++i) {
        const std::wstring& word = args[i];
        if (word.size() < 2 || !IsSwitchWord(word)) continue;
        // The one switch without a value.
        if (std::towlower(word[1]) == L'q') {
            cfg->quiet = true;
            continue;
        }
        if (i + 1 >= args.size()) break;  // a switch as the last word
        const std::wstring& value = args[i + 1];
        if (IsSwitchWord(value)) continue;  // no value
        ++i;  // the value is consumed with its switch
        if (!fits(value, i)) continue;
        // Only the second character selects: -u, /U, -Url and -ufoo are one switch.
        switch (std::towlower(word[1])) {
            case L'u':
                cfg->product.downloadUrl = value;
                break;
            case L'c':
                cfg->localization.lcid = static_cast<uint32_t>(_wtoi(value.c_str()));
                break;
            case L's':
                cfg->localization.maxSegments = static_cast<uint32_t>(_wtoi(value.c_str()));
                break;
            case L't':
                if (_wtoi(value.c_str()) == 0) cfg->campaign.trackingUrlTemplate.clear();
                break;
            case L'l':
                SetLogLevel(_wtoi(value.c_str()));
                break;
            default:
                break;  // unknown letters are ignored
        }
    }
    // The INI file's mirrors serve the INI file's URL: another URL given here
    // drops them (with no URL in the INI they serve the one given here).
    if (!iniUrl.empty() && cfg->product.downloadUrl != iniUrl) cfg->product.mirrors.clear();
}

}  // namespace kavri
