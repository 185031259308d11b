// The application object: construction, paths, configuration loading and the
// getters. The installation flow (SetState and the launches) lives in
// InstallerFlow.cpp.
//
// Concurrency: built on the first thread; GetInstance publishes the finished
// object through an atomic, so other threads see it whole. The record is
// replaced by LoadConfig only on the thread that runs the flow (the interface
// thread, or the quiet run's) while no download runs; the getters take no lock.
#include "app/Installer.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <cstdlib>
#include <cwchar>
#include <memory>
#include <vector>

#include "common/ErrorCode.h"
#include "common/Handles.h"
#include "i18n/LanguageResources.h"

namespace {

const wchar_t kInstanceMutexName[] = L"{71FC2A2E-F39A-4360-9381-8B5BB3243854}";

std::atomic<CInstaller*> g_instance{nullptr};
std::atomic<bool> g_constructing{false};
std::atomic<int> g_constructionError{0};

// The mutex of a construction that ended with an error code stays open until
// the process ends; a later attempt in the same process takes it over rather
// than finding its own mutex and taking itself for a second instance.
HANDLE g_retainedMutex = nullptr;

// dst := a + b + c when it fits in MAX_PATH characters (terminator included);
// otherwise dst is left empty, since a cut path names another file.
bool JoinPath(wchar_t* dst, const wchar_t* a, const wchar_t* b, const wchar_t* c) {
    dst[0] = L'\0';
    size_t len = wcslen(a) + wcslen(b) + wcslen(c);
    if (len >= MAX_PATH) return false;
    wcscpy(dst, a);
    wcscat(dst, b);
    wcscat(dst, c);
    return true;
}

// Module path, directory (up to and including the last backslash) and base
// name (file name cut before its last dot). False when the module path
// cannot be read or its directory part is empty.
bool ReadProgramPaths(wchar_t* modulePath, wchar_t* directory, wchar_t* baseName) {
    modulePath[0] = directory[0] = baseName[0] = L'\0';
    DWORD n = GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
    // A full buffer means the path was cut: treat it as unreadable.
    if (n == 0 || n >= MAX_PATH) {
        modulePath[0] = L'\0';
        return false;
    }
    const wchar_t* lastSlash = wcsrchr(modulePath, L'\\');
    if (!lastSlash) return false;
    size_t dirLen = static_cast<size_t>(lastSlash - modulePath) + 1;
    wcsncpy(directory, modulePath, dirLen);
    directory[dirLen] = L'\0';

    wcscpy(baseName, PathFindFileNameW(modulePath));
    wchar_t* dot = wcsrchr(baseName, L'.');
    if (dot) *dot = L'\0';
    return true;
}

// Records replaced by a web configuration; never freed (see LoadConfig).
std::vector<InstallerConfig*>& RetiredConfigs() {
    static std::vector<InstallerConfig*>* retired = new std::vector<InstallerConfig*>;
    return *retired;
}

bool IsExistingFile(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

CInstaller* CInstaller::GetInstance() {
    CInstaller* instance = g_instance.load(std::memory_order_acquire);
    if (instance) return instance;
    // Code reached from the constructor (a trace call, a lookup) must not
    // start a second construction.
    if (g_constructing.exchange(true)) return nullptr;
    try {
        instance = new CInstaller();
    } catch (kavri::EErrorCode code) {
        g_constructionError.store(code);
        g_constructing.store(false);
        return nullptr;
    }
    g_constructionError.store(0);
    g_instance.store(instance, std::memory_order_release);
    g_constructing.store(false);
    atexit(&CInstaller::OnProcessExit);
    return instance;
}

int CInstaller::GetConstructionError() { return g_constructionError.load(); }

void CInstaller::OnProcessExit() {
    CInstaller* instance = g_instance.load();
    if (!instance || !instance->m_mutex) return;
    CloseHandle(instance->m_mutex);
    instance->m_mutex = nullptr;
    LogInfo(instance, L"Application exits");
}

CInstaller::CInstaller()
    : CLog(L"CInstaller"), m_mutex(nullptr), m_state(-1), m_config(nullptr) {
    // From here on, lines reach the log file once its path is known.
    SetLogWriter(&WriteLogLine);
    m_modulePath[0] = m_directory[0] = m_baseName[0] = m_logPath[0] = L'\0';

    if (g_retainedMutex) {
        m_mutex = g_retainedMutex;
        g_retainedMutex = nullptr;
    } else {
        HANDLE mutex = CreateMutexW(nullptr, FALSE, kInstanceMutexName);
        // No handle at all means the mutex exists but may not be opened from
        // here (an instance started with other rights holds it): that is
        // another instance too.
        if (!mutex || GetLastError() == ERROR_ALREADY_EXISTS) {
            // Another instance runs. It owns the log: no paths are set and
            // nothing is deleted or written. Only the title it shows is
            // worked out, so that its window can be found.
            if (mutex) CloseHandle(mutex);
            wchar_t modulePath[MAX_PATH], directory[MAX_PATH], baseName[MAX_PATH],
                iniPath[MAX_PATH];
            GetString(IDS_PRODUCT_NAME, &m_otherInstanceTitle);
            if (ReadProgramPaths(modulePath, directory, baseName) &&
                JoinPath(iniPath, directory, baseName, L".ini")) {
                wchar_t name[kavri::kMaxValueChars + 1];
                DWORD n = GetPrivateProfileStringW(L"PRODUCT", L"Name", nullptr, name,
                                                   kavri::kMaxValueChars + 1, iniPath);
                if (n > 0) m_otherInstanceTitle.assign(name, n);
            }
            return;
        }
        m_mutex = mutex;
    }

    try {
        BuildConfiguration();
    } catch (...) {
        // The mutex stays open to process exit; the record goes.
        g_retainedMutex = m_mutex;
        m_mutex = nullptr;
        delete m_config.exchange(nullptr);
        throw;
    }
}

void CInstaller::BuildConfiguration() {
    if (!ReadProgramPaths(m_modulePath, m_directory, m_baseName)) throw kavri::kErrGeneric;

    // Every run starts a new log.
    if (JoinPath(m_logPath, m_directory, m_baseName, L".log")) DeleteFileW(m_logPath);
    SetLogFilePath(m_logPath);
    LogInfo(this, L"Application starts");

    wchar_t iniPath[MAX_PATH];
    JoinPath(iniPath, m_directory, m_baseName, L".ini");
    LoadConfig(iniPath);  // an empty path reads nothing and keeps the defaults
    InstallerConfig* cfg = m_config.load();
    ParseCommandLine(cfg);
    // Unattended runs keep warnings and errors unless a level was given.
    if (cfg->quiet && GetLogLevel() == 0) SetLogLevel(LOG_LEVEL_WARNING);
    if (IsLogEnabled(LOG_LEVEL_INFO)) DumpConfig(this);
    if (GetString(IDS_TRUSTED_SIGNERS)[0] && !cfg->product.signer.empty())
        LogWarning(this, kavri::kErrBadArgument,
                   L":CInstaller, [PRODUCT] Signer is ignored: the built-in signer list applies.");

    if (cfg->product.downloadUrl.empty() &&
        (cfg->product.installer.empty() || cfg->product.webConfigUrl.empty())) {
        LogWarning(this, kavri::kErrBadArgument,
                   L":CInstaller, no download URL and no local installer with a web configuration.");
        throw kavri::kErrBadArgument;
    }
}

bool CInstaller::LoadConfig(const wchar_t* iniPath) {
    InstallerConfig* current = m_config.load();
    if (!current) {
        InstallerConfig* cfg = new InstallerConfig();
        m_config.store(cfg);
        kavri::ReadIniFile(iniPath, cfg);
        return true;
    }
    // Read into a copy: a file with no higher version must change nothing
    // (its [DEBUG] LogLevel still applies at once).
    std::unique_ptr<InstallerConfig> copy(new InstallerConfig(*current));
    const kavri::WebConfigVerdict verdict = kavri::ReadWebConfigFile(iniPath, !GetSignerList().empty(), copy.get());
    if (verdict != kavri::WebConfigVerdict::Taken) {
        if (verdict != kavri::WebConfigVerdict::NotNewer)
            LogWarning(this, kavri::kErrBadArgument, L":LoadConfig, the web configuration was refused (%ls); "
                       L"the local settings stay.", kavri::WebConfigVerdictText(verdict));
        return false;
    }
    m_config.store(copy.release());
    // The replaced record is kept, not freed: the getters hand out pointers
    // into it without a lock, and another thread may still hold one (a
    // tracking insert on the sender thread, a message title). A replacement happens at most a few times per
    // run, so the records are simply kept to process exit.
    RetiredConfigs().push_back(current);
    return true;
}

void CInstaller::ParseCommandLine(InstallerConfig* cfg) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    kavri::ScopedLocalMem owner(reinterpret_cast<HLOCAL>(argv));  // freed on every path
    if (!argv || argc < 2) return;
    std::vector<std::wstring> args(argv + 1, argv + argc);
    kavri::ApplyCommandLine(args, cfg);
}

void CInstaller::DumpConfig(const CLog* source) const {
    const InstallerConfig* cfg = m_config.load();
    if (!cfg) return;
    std::wstring lang;
    GetIsoLanguageName(cfg->localization.lcid, &lang);

    LogInfo(source, L"[LOCALIZATION]");
    LogInfo(source, L"LCID: %u", cfg->localization.lcid);
    LogInfo(source, L"Lang: %ls", lang.c_str());
    LogInfo(source, L"[DOWNLOADER]");
    LogInfo(source, L"MaxDownloadSegments: %u", cfg->localization.maxSegments);
    LogInfo(source, L"[RUNTIME]");
    LogInfo(source, L"CPUSpeed: %u", cfg->runtime.cpuMHz);
    LogInfo(source, L"FreeHDD: %u", cfg->runtime.hddMB);
    LogInfo(source, L"TotalRAM: %u", cfg->runtime.ramMB);
    LogInfo(source, L"OSversion: %u.%u", static_cast<unsigned>(cfg->runtime.osVersion.dwMajorVersion),
            static_cast<unsigned>(cfg->runtime.osVersion.dwMinorVersion));
    LogInfo(source, L"[PRODUCT]");
    LogInfo(source, L"Name: %ls", cfg->product.name.c_str());
    LogInfo(source, L"Version: %u", cfg->product.version);
    LogInfo(source, L"HelpUrl: %ls", cfg->product.helpUrl.c_str());
    LogInfo(source, L"DownloadUrl: %ls", cfg->product.downloadUrl.c_str());
    LogInfo(source, L"MainInstallerPath: %ls", cfg->product.installer.c_str());
    LogInfo(source, L"WebConfig: %ls", cfg->product.webConfigUrl.c_str());
    LogInfo(source, L"[CAMPAIGN]");
    LogInfo(source, L"TrackingUrl: %ls", cfg->campaign.trackingUrlTemplate.c_str());
    LogInfo(source, L"Information: %ls", cfg->campaign.information.c_str());
    LogInfo(source, L"Source: %ls", cfg->campaign.source.c_str());
    LogInfo(source, L"Medium: %ls", cfg->campaign.medium.c_str());
}

void CInstaller::SplitCommand(const wchar_t* command, std::wstring* file, std::wstring* args) {
    file->clear();
    args->clear();
    if (!command || !*command) return;
    const std::wstring cmd(command);

    // "C:\Program Files\x\setup.exe" /S: the file is what the quotes hold.
    if (cmd[0] == L'"') {
        size_t close = cmd.find(L'"', 1);
        if (close != std::wstring::npos) {
            *file = cmd.substr(1, close - 1);
            size_t start = close + 1;
            if (start < cmd.size() && cmd[start] == L' ') ++start;
            *args = cmd.substr(start);
            return;
        }
    }

    // Unquoted: the shortest prefix that names an existing file, as the
    // system itself resolves an unquoted command with blanks.
    for (size_t blank = cmd.find(L' '); blank != std::wstring::npos;
         blank = cmd.find(L' ', blank + 1)) {
        if (blank > 0 && IsExistingFile(cmd.substr(0, blank))) {
            *file = cmd.substr(0, blank);
            *args = cmd.substr(blank + 1);
            return;
        }
    }
    if (IsExistingFile(cmd)) {
        *file = cmd;
        return;
    }

    // Nothing exists (yet): split after the last backslash, so blanks in the
    // directory are not taken for the start of the arguments.
    size_t lastSlash = cmd.rfind(L'\\');
    size_t dirLen = lastSlash == std::wstring::npos ? 0 : lastSlash + 1;
    const std::wstring directory = cmd.substr(0, dirLen);
    std::vector<wchar_t> rest(cmd.begin() + static_cast<std::ptrdiff_t>(dirLen), cmd.end());
    rest.push_back(L'\0');
    *args = PathGetArgsW(rest.data());
    PathRemoveArgsW(rest.data());
    *file = directory + rest.data();
}

const wchar_t* CInstaller::GetProductName() const {
    const InstallerConfig* cfg = m_config.load();
    return cfg ? cfg->product.name.c_str() : m_otherInstanceTitle.c_str();
}

uint32_t CInstaller::GetLcid() const {
    const InstallerConfig* cfg = m_config.load();
    return cfg ? cfg->localization.lcid : GetUserDefaultLCID();
}

uint32_t CInstaller::GetMaxSegments() const {
    const InstallerConfig* cfg = m_config.load();
    return cfg ? cfg->localization.maxSegments : 0;
}

uint32_t CInstaller::GetRequiredRamMB() const {
    const InstallerConfig* cfg = m_config.load();
    return cfg ? cfg->runtime.ramMB : 0;
}

uint32_t CInstaller::GetRequiredCpuMHz() const {
    const InstallerConfig* cfg = m_config.load();
    return cfg ? cfg->runtime.cpuMHz : 0;
}

uint32_t CInstaller::GetRequiredDiskMB() const {
    const InstallerConfig* cfg = m_config.load();
    return cfg ? cfg->runtime.hddMB : 0;
}

const OSVERSIONINFOW* CInstaller::GetRequiredOsVersion() const {
    static const OSVERSIONINFOW kNone = {sizeof(OSVERSIONINFOW)};
    const InstallerConfig* cfg = m_config.load();
    return cfg ? &cfg->runtime.osVersion : &kNone;
}

const wchar_t* CInstaller::GetHelpUrl() const {
    const InstallerConfig* cfg = m_config.load();
    return cfg ? cfg->product.helpUrl.c_str() : L"";
}

const wchar_t* CInstaller::GetDownloadUrl() const {
    const InstallerConfig* cfg = m_config.load();
    return cfg && !cfg->product.downloadUrl.empty() ? cfg->product.downloadUrl.c_str() : nullptr;
}

const std::vector<std::wstring>& CInstaller::GetMirrors() const {
    static const std::vector<std::wstring> none;
    const InstallerConfig* cfg = m_config.load();
    return cfg ? cfg->product.mirrors : none;
}

const wchar_t* CInstaller::GetWebConfigUrl() const {
    const InstallerConfig* cfg = m_config.load();
    return cfg && !cfg->product.webConfigUrl.empty() ? cfg->product.webConfigUrl.c_str() : nullptr;
}

bool CInstaller::CanInstallFromCD() const {
    const InstallerConfig* cfg = m_config.load();
    return cfg && !cfg->product.installer.empty() && !cfg->product.webConfigUrl.empty();
}

std::wstring CInstaller::GetSignerList() const {
    const wchar_t* builtIn = GetString(IDS_TRUSTED_SIGNERS);
    if (builtIn[0]) return builtIn;
    const InstallerConfig* cfg = m_config.load();
    return cfg ? cfg->product.signer : std::wstring();
}

const wchar_t* CInstaller::GetDownloadFolder() {
    if (!m_downloadFolder.Open(GetString(IDS_PRODUCT_NAME))) return nullptr;
    return m_downloadFolder.Path().c_str();
}

bool CInstaller::IsTrackingEnabled() const {
    const InstallerConfig* cfg = m_config.load();
    return cfg && !cfg->campaign.trackingUrlTemplate.empty();
}
