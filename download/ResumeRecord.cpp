// The resume record. See ResumeRecord.h for the threads.
#include "download/ResumeRecord.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "common/Handles.h"
#include "download/Connection.h"

namespace kavri {

namespace {

const char kMagic[] = "KAVRI-RESUME 1";
const size_t kMaxRecordBytes = 64 * 1024;
const size_t kMaxRanges = 1024;

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

bool Wide(const std::string& text, std::wstring* out) {
    out->clear();
    if (text.empty()) return true;
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0);
    if (n <= 0) return false;
    out->resize(static_cast<size_t>(n));
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &(*out)[0], n);
    return true;
}

// FNV-1a over the record's text: a torn or edited record does not match.
std::string Check(const std::string& text) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
    char hex[17];
    snprintf(hex, sizeof(hex), "%016llx", static_cast<unsigned long long>(h));
    return hex;
}

bool ParseU64(const std::string& text, uint64_t* value) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *value = _strtoui64(text.c_str(), nullptr, 10);
    return true;
}

bool NoLineBreak(const std::wstring& text) { return text.find_first_of(L"\r\n") == std::wstring::npos; }

}  // namespace

std::wstring ResumeRecordPath(const std::wstring& folder) {
    std::wstring path = folder;
    if (!path.empty() && path.back() != L'\\') path += L'\\';
    return path + L"download.resume";
}

bool SaveResumeState(const std::wstring& path, const ResumeState& state) {
    if (!NoLineBreak(state.url) || !NoLineBreak(state.fileName) || !NoLineBreak(state.validator)) return false;
    std::string text = std::string(kMagic) + "\nurl " + Utf8(state.url) + "\nfile " + Utf8(state.fileName) +
                       "\nsize " + std::to_string(state.size) + "\nvalidator " + Utf8(state.validator) + "\n";
    for (size_t i = 0; i < state.done.size() && i < kMaxRanges; ++i)
        text += "range " + std::to_string(state.done[i].start) + " " + std::to_string(state.done[i].end) + "\n";
    text += "check " + Check(text) + "\n";
    const std::wstring temp = path + L".tmp";
    bool ok;
    {
        const kavri::ScopedFileHandle file(
            CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return false;
        DWORD written = 0;
        ok = WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
             written == text.size() && FlushFileBuffers(file.Get());
    }  // closed before it replaces the record
    if (!ok || !MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(temp.c_str());
        return false;
    }
    return true;
}

bool LoadResumeState(const std::wstring& path, ResumeState* state) {
    *state = ResumeState();
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info) || info.nFileSizeHigh ||
        info.nFileSizeLow > kMaxRecordBytes)
        return false;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t written = (uint64_t(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime;
    const uint64_t current = (uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const uint64_t maxAge = uint64_t(kResumeMaxAgeDays) * 24 * 3600 * 10000000ull;
    if (written > current || current - written > maxAge) return false;

    const kavri::ScopedFileHandle file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return false;
    std::string text(info.nFileSizeLow, '\0');
    DWORD read = 0;
    if (!text.empty() && !(ReadFile(file.Get(), &text[0], info.nFileSizeLow, &read, nullptr) && read == text.size()))
        return false;

    const size_t checkAt = text.rfind("check ");
    if (checkAt == std::string::npos || text.compare(0, sizeof(kMagic) - 1, kMagic) != 0 ||
        text.substr(checkAt) != "check " + Check(text.substr(0, checkAt)) + "\n")
        return false;
    const std::string body = text.substr(sizeof(kMagic), checkAt - sizeof(kMagic));
    bool haveSize = false;
    uint64_t last = 0;
    for (size_t at = 0, end; at < body.size(); at = end + 1) {
        end = body.find('\n', at);
        if (end == std::string::npos) end = body.size();
        const std::string line = body.substr(at, end - at);
        const size_t space = line.find(' ');
        const std::string key = line.substr(0, space), value = space == std::string::npos ? "" : line.substr(space + 1);
        uint64_t a = 0, b = 0;
        if (key == "url" && Wide(value, &state->url)) continue;
        if (key == "file" && Wide(value, &state->fileName)) continue;
        if (key == "validator" && Wide(value, &state->validator)) continue;
        if (key == "size" && ParseU64(value, &a) && a > 0 && a < (1ull << 62)) {
            state->size = static_cast<int64_t>(a);
            haveSize = true;
            continue;
        }
        const size_t mid = value.find(' ');
        // Ranges in order, inside the file: anything else is not ours.
        if (key == "range" && haveSize && mid != std::string::npos && ParseU64(value.substr(0, mid), &a) &&
            ParseU64(value.substr(mid + 1), &b) && a >= last && a < b && b <= uint64_t(state->size) &&
            state->done.size() < kMaxRanges) {
            state->done.push_back({a, b});
            last = b;
            continue;
        }
        return false;
    }
    return haveSize && !state->url.empty() && !state->validator.empty() && IsSafeFileName(state->fileName.c_str());
}

}  // namespace kavri
