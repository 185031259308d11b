// The application object: one per process, built on first use. It holds the
// program's paths, the single-instance mutex, the last installation state and
// the configuration record.
//
// Concurrency: built on the first thread. The getters are read from the
// interface thread and from the download's threads; the record is replaced
// (LoadConfig of a web configuration) only on the interface thread while no
// other download runs.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "app/InstallerConfig.h"
#include "app/InstallerState.h"
#include "download/DownloadFolder.h"
#include "log/Log.h"

class CInstaller : public virtual CLog {
public:
    // The one object, or null when its construction ended with an error code
    // (the next call then tries again). Null also while the object is being
    // built, so that code reached from the constructor cannot recurse.
    static CInstaller* GetInstance();
    // The code the last failed construction ended with (kavri::EErrorCode:
    // -1 no module path, -2 no download source); 0 after a success.
    static int GetConstructionError();

    bool IsAlreadyRunning() const { return m_mutex == nullptr; }

    // The installer title. Never null: for an instance that found another one
    // running it is still the title that instance shows.
    const wchar_t* GetProductName() const;
    InstallerConfig* GetConfig() { return m_config.load(); }

    uint32_t GetLcid() const;
    uint32_t GetMaxSegments() const;
    uint32_t GetRequiredRamMB() const;
    uint32_t GetRequiredCpuMHz() const;
    uint32_t GetRequiredDiskMB() const;
    const OSVERSIONINFOW* GetRequiredOsVersion() const;
    const wchar_t* GetHelpUrl() const;       // never null
    const wchar_t* GetDownloadUrl() const;   // null when empty
    const wchar_t* GetWebConfigUrl() const;  // null when empty
    // The other sources of the download URL's file (the list stays valid
    // until the configuration is replaced).
    const std::vector<std::wstring>& GetMirrors() const;
    bool CanInstallFromCD() const;
    bool IsTrackingEnabled() const;

    // First call builds the record; later calls replace it only when the
    // file's [PRODUCT] Ver is higher. True when built or replaced.
    bool LoadConfig(const wchar_t* iniPath);

    // Installation flow (InstallerFlow.cpp).
    bool SetState(EInstallerState state);
    bool InstallFromCD(HWND parent);
    bool StartMainInstaller(HWND parent, const wchar_t* path);
    // Verifies the downloaded file against the pins and starts it from its
    // folder: 0 when started; kErrNotVerified when refused (the file is
    // deleted); kErrLaunch when the system could not start it.
    // With args, they are its command line; with exitCode, waits for it
    // to end and stores its exit code.
    int LaunchMainInstaller(const wchar_t* path, const wchar_t* args = nullptr, DWORD* exitCode = nullptr);
    // The configured local installer, with argsOverride instead of its own
    // arguments when given, waiting for it when exitCode is given. False
    // when there is none or it could not be started.
    bool StartLocalInstaller(const wchar_t* argsOverride, DWORD* exitCode);
    // The private download folder, made on first use; null when none could be.
    const wchar_t* GetDownloadFolder();
    // The signer pins in force: the built-in list when there is one, else
    // the local INI file's [PRODUCT] Signer.
    std::wstring GetSignerList() const;
    int GetState() const { return m_state.load(); }

    const wchar_t* GetModulePath() const { return m_modulePath; }
    const wchar_t* GetDirectory() const { return m_directory; }
    const wchar_t* GetBaseName() const { return m_baseName; }
    const wchar_t* GetLogPath() const { return m_logPath; }

    // Splits a command into its file (directory kept whole, even with blanks)
    // and its arguments. A quoted file is taken up to its closing quote and
    // returned without the quotes. For an unquoted command, the shortest
    // prefix ending at a blank (or the whole command) that names an existing
    // file is the file; when none exists, the file part is found after the
    // last backslash, so a backslash in the arguments then moves the split.
    static void SplitCommand(const wchar_t* command, std::wstring* file, std::wstring* args);

private:
    CInstaller();  // throws kavri::EErrorCode
    ~CInstaller() = default;  // never destroyed: lives to process exit
    void ParseCommandLine(InstallerConfig* cfg);
    void DumpConfig(const CLog* source) const;
    void BuildConfiguration();  // steps after the mutex; throws kavri::EErrorCode
    static void OnProcessExit();

    wchar_t m_modulePath[MAX_PATH];
    wchar_t m_directory[MAX_PATH];
    wchar_t m_baseName[MAX_PATH];
    wchar_t m_logPath[MAX_PATH];
    HANDLE m_mutex;
    std::atomic<int> m_state;
    std::atomic<InstallerConfig*> m_config;
    // For an instance that found another one running: the title that one shows.
    std::wstring m_otherInstanceTitle;
    DownloadFolder m_downloadFolder;
};
