// The local file of a download. See FileWriter.h for the threads.
#include "download/FileWriter.h"

#include <shlwapi.h>

#include <algorithm>
#include <cwchar>
#include <mutex>
#include <shared_mutex>
#include <string>

namespace kavri {

namespace {

bool SetSize(HANDLE file, uint64_t size) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

}  // namespace

bool FileWriter::Create(const wchar_t* path, int64_t size) {
    Close();
    kavri::ScopedFileHandle file(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    // The full length now: a full disk shows before the download, not in it.
    if (size > 0 && !SetSize(file.Get(), static_cast<uint64_t>(size))) {
        const DWORD error = GetLastError();
        file.Reset();
        DeleteFileW(path);
        SetLastError(error);
        return false;
    }
    return Adopt(file.Release());
}

bool FileWriter::Adopt(HANDLE file) {
    std::lock_guard<Lock> hold(m_lock);
    m_file.Reset(file);
    ++m_generation;
    return true;
}

bool FileWriter::OpenExisting(const wchar_t* path, int64_t size) {
    Close();
    kavri::ScopedFileHandle file(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    LARGE_INTEGER have;
    if (!GetFileSizeEx(file.Get(), &have) || have.QuadPart != size) {
        file.Reset();
        SetLastError(ERROR_FILE_INVALID);
        return false;
    }
    return Adopt(file.Release());
}

bool FileWriter::WriteAt(uint32_t generation, uint64_t offset, const void* data, uint32_t count) {
    std::shared_lock<Lock> hold(m_lock);
    if (!m_file || generation != m_generation) return false;
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    return WriteFile(m_file.Get(), data, count, &written, &at) && written == count;
}

uint32_t FileWriter::Generation() const {
    std::shared_lock<Lock> hold(m_lock);
    return m_generation;
}

bool FileWriter::IsOpen() const {
    std::shared_lock<Lock> hold(m_lock);
    return m_file.IsValid();
}

bool FileWriter::Flush() {
    std::shared_lock<Lock> hold(m_lock);
    return m_file && FlushFileBuffers(m_file.Get());
}

bool FileWriter::Truncate(uint64_t size) {
    std::lock_guard<Lock> hold(m_lock);
    return m_file && SetSize(m_file.Get(), size);
}

bool FileWriter::Close() {
    std::lock_guard<Lock> hold(m_lock);
    if (!m_file) return true;
    return CloseHandle(m_file.Release()) != FALSE;
}

bool JoinInside(const wchar_t* dir, const wchar_t* name, wchar_t* out) {
    out[0] = L'\0';
    if (!dir || !name || !*name) return false;
    std::wstring folder(dir);
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    const std::wstring joined = folder + L"\\" + name;
    wchar_t full[MAX_PATH], fullFolder[MAX_PATH];
    wchar_t* filePart = nullptr;
    DWORD n = GetFullPathNameW(joined.c_str(), MAX_PATH, full, &filePart);
    if (n == 0 || n >= MAX_PATH || !filePart || filePart == full) return false;
    n = GetFullPathNameW(folder.c_str(), MAX_PATH, fullFolder, nullptr);
    if (n == 0 || n >= MAX_PATH) return false;
    const std::wstring parent(full, static_cast<size_t>(filePart - full - 1));
    // The name stays what it was and the file lies directly in the folder.
    if (_wcsicmp(parent.c_str(), fullFolder) != 0 || wcscmp(filePart, name) != 0) return false;
    wcscpy(out, full);
    return true;
}

void NumberedFileName(const wchar_t* fileName, unsigned n, wchar_t* out, size_t outChars) {
    if (!out || outChars == 0) return;
    out[0] = L'\0';
    if (!fileName) return;
    const size_t limit = std::min<size_t>(outChars, MAX_PATH);  // 259 characters + terminator
    const wchar_t* ext = PathFindExtensionW(fileName);
    const size_t baseLen = static_cast<size_t>(ext - fileName);
    wchar_t number[16];
    _snwprintf(number, 16, L"%u", n);
    number[15] = L'\0';
    auto append = [&](const wchar_t* text, size_t len) {
        const size_t have = wcslen(out);
        const size_t room = limit - 1 - have;
        if (len > room) len = room;
        wmemcpy(out + have, text, len);
        out[have + len] = L'\0';
    };
    append(fileName, baseLen);
    append(L"[", 1);
    append(number, wcslen(number));
    append(L"]", 1);
    append(ext, wcslen(ext));
}

}  // namespace kavri
