// The facade of the download coordinator: every call goes to the core it
// shares with the threads of a run. See Downloader.h and DownloadCore.h.
#include "download/Downloader.h"

#include "download/DownloadCore.h"

CDownloader::CDownloader() : m_core(std::make_shared<CDownloadCore>(this)) {}

// Threads that miss their deadline keep the core alive; this object goes.
CDownloader::~CDownloader() { m_core->Shutdown(); }

void CDownloader::SetMaxSegments(uint32_t n) { m_core->SetMaxSegments(n); }
void CDownloader::SetUrl(const wchar_t* url) { m_core->SetUrl(url); }
void CDownloader::AddUrl(const wchar_t* url) { m_core->AddUrl(url); }
void CDownloader::SetCallback(DownloadCallback fn) { m_core->SetCallback(fn); }
void CDownloader::SetDownloadFolder(const wchar_t* dir) { m_core->SetDownloadFolder(dir); }
void CDownloader::SetKind(DownloadKind kind) { m_core->SetKind(kind); }
int CDownloader::Run(void* context) { return m_core->Run(context); }
void CDownloader::Cancel() { m_core->Cancel(); }
void CDownloader::CancelAsync() { m_core->CancelAsync(); }
void CDownloader::Reset(bool keepConnections) { m_core->Reset(keepConnections); }
const wchar_t* CDownloader::GetFilePath() const { return m_core->GetFilePath(); }
int64_t CDownloader::GetFileSize() const { return m_core->GetFileSize(); }
int CDownloader::GetResult() const { return m_core->GetResult(); }
bool CDownloader::IsBusy() const { return m_core->IsBusy(); }
uint32_t CDownloader::GetMaxSegments() const { return m_core->GetMaxSegments(); }
bool CDownloader::IsCancelled() const { return m_core->IsCancelled(); }
void CDownloader::SetRestartDelayFactorForTest(uint32_t factor) { m_core->SetRestartDelayFactorForTest(factor); }
void CDownloader::SetFreeSpaceForTest(int64_t bytes) { m_core->SetFreeSpaceForTest(bytes); }
void CDownloader::SetTimeoutsForTest(DWORD connectionMs, DWORD receiveMs) {
    m_core->SetTimeoutsForTest(connectionMs, receiveMs);
}
