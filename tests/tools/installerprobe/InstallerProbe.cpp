// Test tool: does what the start of setup.exe does for its configuration and
// reports the result on stdout, one "key=value" line each (UTF-8).
//
//   installerprobe.exe [setup.exe's own arguments]
//
// Exit code: 0 when the application object was built (also as a second
// instance), else the code its construction ended with (-1, -2).
// With KAVRI_PROBE_TRACE=1 in the environment it also writes one
// information, one warning and one error line through the trace calls.
// With KAVRI_PROBE_RETRY=1 a failed construction is tried a second time.
// With KAVRI_PROBE_WEBCONFIG=<ini path> it loads that file as a web
// configuration afterwards and reports the result, and what a title pointer
// taken before the load still reads.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/Installer.h"
#include "log/Log.h"

namespace {

void Print(const std::wstring& key, const std::wstring& value) {
    std::wstring line = key + L"=" + value + L"\n";
    int len = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr,
                                  0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(len > 0 ? len : 0), '\0');
    if (len > 0)
        WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), &bytes[0],
                            len, nullptr, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), stdout);
}

std::wstring Text(const wchar_t* s) { return s ? s : L"(null)"; }
std::wstring Number(unsigned long long n) { return std::to_wstring(n); }

std::wstring EnvW(const wchar_t* name) {
    wchar_t value[1024];
    DWORD n = GetEnvironmentVariableW(name, value, 1024);
    return n > 0 && n < 1024 ? std::wstring(value, n) : std::wstring();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    CInstaller* installer = CInstaller::GetInstance();
    if (!installer) {
        int code = CInstaller::GetConstructionError();
        Print(L"instance", L"null");
        Print(L"error", std::to_wstring(code));
        if (EnvW(L"KAVRI_PROBE_RETRY") == L"1") {
            // A second attempt in the same process builds again: it must not
            // take the mutex left by the first attempt for another instance.
            CInstaller* again = CInstaller::GetInstance();
            Print(L"retry", again ? (again->IsAlreadyRunning() ? L"running" : L"built") : L"null");
            Print(L"retryerror", std::to_wstring(CInstaller::GetConstructionError()));
        }
        fflush(stdout);
        return code;
    }
    Print(L"running", installer->IsAlreadyRunning() ? L"1" : L"0");
    Print(L"product", Text(installer->GetProductName()));
    Print(L"logpath", Text(installer->GetLogPath()));
    if (!installer->IsAlreadyRunning()) {
        const InstallerConfig* cfg = installer->GetConfig();
        Print(L"url", Text(installer->GetDownloadUrl()));
        Print(L"webconfig", Text(installer->GetWebConfigUrl()));
        Print(L"installer", cfg->product.installer);
        Print(L"help", Text(installer->GetHelpUrl()));
        Print(L"version", Number(cfg->product.version));
        Print(L"segments", Number(installer->GetMaxSegments()));
        Print(L"lcid", Number(installer->GetLcid()));
        Print(L"ram", Number(installer->GetRequiredRamMB()));
        Print(L"cpu", Number(installer->GetRequiredCpuMHz()));
        Print(L"hdd", Number(installer->GetRequiredDiskMB()));
        const OSVERSIONINFOW* os = installer->GetRequiredOsVersion();
        Print(L"os", Number(os->dwMajorVersion) + L"." + Number(os->dwMinorVersion));
        Print(L"tracking", installer->IsTrackingEnabled() ? L"1" : L"0");
        Print(L"template", cfg->campaign.trackingUrlTemplate);
        Print(L"cd", installer->CanInstallFromCD() ? L"1" : L"0");
        Print(L"loglevel", std::to_wstring(GetLogLevel()));
    }
    if (EnvW(L"KAVRI_PROBE_TRACE") == L"1") {
        CLog downloader(L"CDownloader");
        LogInfo(&downloader, L":Probe, information line");
        LogWarning(&downloader, 7, L":Probe, warning line");
        LogError(&downloader, -503, L":Run, failed to create new internet session.");
    }
    std::wstring webConfig = EnvW(L"KAVRI_PROBE_WEBCONFIG");
    if (!webConfig.empty() && !installer->IsAlreadyRunning()) {
        // Held across the replacement, as the interface thread may hold the
        // title while the download thread loads a web configuration.
        const wchar_t* heldName = installer->GetProductName();
        bool replaced = installer->LoadConfig(webConfig.c_str());
        Print(L"replaced", replaced ? L"1" : L"0");
        Print(L"heldname", Text(heldName));
        Print(L"product", Text(installer->GetProductName()));
        Print(L"url", Text(installer->GetDownloadUrl()));
        Print(L"loglevel", std::to_wstring(GetLogLevel()));
    }
    fflush(stdout);
    (void)argc;
    (void)argv;
    return 0;
}
