// flowprobe: runs installation-flow operations in a process of their own, with
// the application object built the way setup.exe builds it: from the INI file
// beside this executable (flowprobe.ini) and from this command line. Copy the
// exe to a directory of its own to give it an INI file.
//
// The operations come from the environment variable KAVRI_PROBE, separated by
// '|', so that the whole command line stays the application's:
//   state:N      SetState(N)
//   installcd    InstallFromCD(null)
//   main:PATH    StartMainInstaller(null, PATH)
//   url:N        the tracking URL for event N (built, not sent)
// Output, one JSON object per line: first {"machine_id","language","tracking"},
// then one line per operation with its result. Exit code: 0, 10 when the
// application object could not be built, 11 when another instance held the
// installer's single-instance mutex (the object then has no configuration;
// run again).
//
// Tests run in parallel: flowprobes take turns through a mutex of their own,
// and each waits (bounded) until no other installer instance holds the
// product's mutex before building its application object.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "app/Installer.h"
#include "app/InstallerState.h"
#include "app/SystemProbes.h"
#include "app/Tracking.h"
#include "i18n/LanguageResources.h"
#include "tests/support/InstanceMutex.h"
#include "tests/support/JsonText.h"

namespace {

void WriteOut(const std::string& line) {
    std::string s = line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), s.data(), static_cast<DWORD>(s.size()), &written, nullptr);
}

using kavri_test::JsonString;

const char* Bool(bool b) { return b ? "true" : "false"; }

}  // namespace

int wmain(int, wchar_t**) {
    // Held until the process ends.
    HANDLE turn = CreateMutexW(nullptr, FALSE, L"kavri-test-flowprobe-turn");
    if (turn) WaitForSingleObject(turn, 120000);
    kavri_test::WaitForNoInstance(120000);

    CInstaller* app = CInstaller::GetInstance();
    if (app && app->IsAlreadyRunning()) {
        WriteOut("{\"error\":\"another instance is running\"}");
        return 11;
    }
    if (!app) {
        WriteOut("{\"error\":\"no application object\",\"code\":" +
                 std::to_string(CInstaller::GetConstructionError()) + "}");
        return 10;
    }
    SetLanguage(app->GetLcid());
    WriteOut("{\"machine_id\":" + JsonString(GetMachineId()) + ",\"language\":" +
             JsonString(GetCurrentLanguage()->GetIsoLanguageName()) + ",\"tracking\":" +
             Bool(app->IsTrackingEnabled()) + "}");

    wchar_t buf[8192] = {};
    DWORD n = GetEnvironmentVariableW(L"KAVRI_PROBE", buf, 8192);
    std::wstring actions = (n > 0 && n < 8192) ? buf : L"";
    size_t pos = 0;
    while (pos <= actions.size() && !actions.empty()) {
        size_t bar = actions.find(L'|', pos);
        std::wstring op = actions.substr(pos, bar == std::wstring::npos ? std::wstring::npos : bar - pos);
        if (op.rfind(L"state:", 0) == 0) {
            int v = _wtoi(op.c_str() + 6);
            bool r = app->SetState(static_cast<EInstallerState>(v));
            WriteOut("{\"op\":\"state\",\"value\":" + std::to_string(v) + ",\"result\":" + Bool(r) +
                     ",\"state\":" + std::to_string(app->GetState()) + "}");
        } else if (op == L"installcd") {
            bool r = app->InstallFromCD(nullptr);
            WriteOut(std::string("{\"op\":\"installcd\",\"result\":") + Bool(r) + "}");
        } else if (op.rfind(L"main:", 0) == 0) {
            bool r = app->StartMainInstaller(nullptr, op.c_str() + 5);
            WriteOut(std::string("{\"op\":\"main\",\"result\":") + Bool(r) + "}");
        } else if (op.rfind(L"url:", 0) == 0) {
            int v = _wtoi(op.c_str() + 4);
            const InstallerConfig* cfg = app->GetConfig();
            const wchar_t* name = GetInstallerStateName(v);
            std::wstring url = kavri::BuildTrackingUrl(
                cfg->campaign.trackingUrlTemplate, name ? name : L"",
                GetCurrentLanguage()->GetIsoLanguageName(), GetMachineId(), cfg->campaign.source,
                cfg->campaign.information, cfg->campaign.medium);
            WriteOut("{\"op\":\"url\",\"url\":" + JsonString(url) + "}");
        } else if (!op.empty()) {
            WriteOut("{\"op\":" + JsonString(op) + ",\"error\":\"unknown\"}");
        }
        if (bar == std::wstring::npos) break;
        pos = bar + 1;
    }
    return 0;
}
