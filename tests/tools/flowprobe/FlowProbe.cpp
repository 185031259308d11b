// flowprobe: pieces of the installer in a process of their own, the application object built as
// setup.exe builds it (flowprobe.ini beside the exe, this command line). KAVRI_PROBE holds
// '|'-separated operations; each prints "key=value" lines (UTF-8):
//   os  os=<major.minor> this manifest lets GetVersionExW report
//   text:LCID:VALUE:ID  {"id":ID,"text":"..."}: the text in that language as the dialogs format it
//                  (%1 the installer title, %2 VALUE)
//   error:ID  ShowErrorMessage(ID) without an owner, then {"result":N,"ms":elapsed}
//   app  app=<construction error, 0: built>, running=0/1 and the configuration
//   state:N, installcd, main:PATH  state=, installcd=, main=: the flow call's result
//   webconfig:PATH  replaced=<LoadConfig(PATH)>, held=<title read before it>, the configuration
#include <windows.h>

#include <sstream>
#include <string>

#include "app/Installer.h"
#include "app/TrackingSender.h"
#include "app/SystemProbes.h"
#include "i18n/LanguageResources.h"
#include "tests/support/JsonText.h"
#include "ui/MsgBox.h"

static void Line(const std::wstring& line) {
    char bytes[16384];
    DWORD n = WideCharToMultiByte(CP_UTF8, 0, (line + L"\n").c_str(), -1, bytes, sizeof bytes, 0, 0);
    if (n > 1) WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes, n - 1, &n, nullptr);
}
static void Print(const std::wstring& key, const std::wstring& value) { Line(key + L"=" + value); }
static std::wstring N(long long v) { return std::to_wstring(v); }

// Prints the object's state and configuration, and takes its language as the start-up does.
static void PrintConfig(CInstaller* app) {
    if (!app) return;
    const InstallerConfig* c = app->GetConfig();
    Print(L"running", N(app->IsAlreadyRunning()));
    Print(L"name", app->GetProductName());
    if (!c) return;
    SetLanguage(app->GetLcid());
    const std::pair<const wchar_t*, std::wstring> fields[] = {{L"url", c->product.downloadUrl},
        {L"installer", c->product.installer}, {L"cd", N(app->CanInstallFromCD())}, {L"level", N(GetLogLevel())},
        {L"segments", N(c->localization.maxSegments)}, {L"template", c->campaign.trackingUrlTemplate}};
    for (const auto& f : fields) Print(f.first, f.second);
}

int wmain(int, wchar_t**) {
    wchar_t buffer[8192] = {};
    std::wistringstream ops(GetEnvironmentVariableW(L"KAVRI_PROBE", buffer, 8192) < 8192 ? buffer : L"");
    CInstaller* app = nullptr;
    for (std::wstring op; std::getline(ops, op, L'|');) {
        const std::wstring name = op.substr(0, op.find(L':')), arg = op.substr(op.find(L':') + 1);
        if (name == L"os") {
            OSVERSIONINFOW os;
            GetOsVersion(&os);
            Print(L"os", N(os.dwMajorVersion) + L"." + N(os.dwMinorVersion));
        } else if (name == L"text") {
            unsigned lcid = 0, value = 0, id = 0;
            swscanf(arg.c_str(), L"%i:%u:%u", &lcid, &value, &id);
            SetLanguage(lcid);
            std::wstring text;
            FormatString(&text, id, GetInstallerTitle(), value);
            const std::string json = kavri_test::JsonString(text);
            Line(L"{\"id\":" + N(id) + L",\"text\":" + std::wstring(json.begin(), json.end()) + L"}");
        } else if (name == L"error") {
            const DWORD start = GetTickCount();
            const INT_PTR result = ShowErrorMessage(nullptr, _wtoi(arg.c_str()), 0);
            Line(L"{\"result\":" + N(result) + L",\"ms\":" + N(GetTickCount() - start) + L"}");
        } else if (name == L"app" || !app) {
            app = CInstaller::GetInstance();
            Print(L"app", N(CInstaller::GetConstructionError()));
            PrintConfig(app);
            if (!app || name == L"app") continue;
        }
        if (name == L"state") Print(L"state", N(app->SetState(static_cast<EInstallerState>(_wtoi(arg.c_str())))));
        if (name == L"installcd") Print(L"installcd", N(app->InstallFromCD(nullptr)));
        if (name == L"main") Print(L"main", N(app->StartMainInstaller(nullptr, arg.c_str())));
        if (name == L"webconfig") {
            const wchar_t* held = app->GetProductName();  // as the window may hold it meanwhile
            Print(L"replaced", N(app->LoadConfig(arg.c_str())));
            Print(L"held", held);
            PrintConfig(app);
        }
    }
    kavri::FlushTracking(10000);  // the events still queued go out, as at the end of a run
    return 0;
}
