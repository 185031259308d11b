// Trace calls and the log-file writer. See Log.h for the threading rules.
#include "log/Log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <mutex>
#include <share.h>
#include <string>

#include "common/Guard.h"
#include "common/Handles.h"

namespace {

int ReadInitialLevel() {
    const char* value = std::getenv("KAVRI_DEBUG_LEVEL");
    return value ? std::atoi(value) : 0;
}

// The level lives in a function-local static so that a trace call made by
// another translation unit's static initialisation already sees the level
// from the environment, whatever the order of initialisation.
std::atomic<int>& Level() {
    static std::atomic<int> level{ReadInitialLevel()};
    return level;
}
std::atomic<LogWriterFn> g_writer{nullptr};

// Read once during static initialisation, before the entry point runs.
[[maybe_unused]] const int g_initialLevelRead = Level().load();

// The file writer's state: the path it appends to, and the lock that keeps
// two threads from opening the file at once (which would drop a line).
// Both are kept to process exit (never destroyed), so that lines written by
// exit handlers or late threads still find them.
std::mutex& FileLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}
std::wstring& FilePath() {
    static std::wstring* path = new std::wstring;
    return *path;
}

const wchar_t kTruncated[] = L"...";

// vsnwprintf into a fixed buffer; a result that does not fit is cut and
// marked, and the buffer is always terminated.
void FormatBounded(wchar_t* out, size_t outChars, const wchar_t* format, va_list args) {
    if (outChars == 0) return;
    if (!format) {
        out[0] = L'\0';
        return;
    }
    // msvcrt returns -1 when the text does not fit; a C99 implementation
    // returns the full length. A text of exactly outChars - 1 fits.
    int n = _vsnwprintf(out, outChars - 1, format, args);
    out[outChars - 1] = L'\0';
    if (n < 0 || static_cast<size_t>(n) > outChars - 1) {
        size_t markLen = wcslen(kTruncated);
        if (outChars > markLen + 1) wcscpy(out + outChars - 1 - markLen, kTruncated);
    }
}

void FormatBoundedV(wchar_t* out, size_t outChars, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    FormatBounded(out, outChars, format, args);
    va_end(args);
}

// Converts to the C runtime's current multibyte code page. A character that
// code page cannot hold becomes '?', and the rest of the text still follows.
std::string ToCurrentCodePage(const wchar_t* text) {
    UINT cp = ___lc_codepage_func();
    if (cp == 0) cp = CP_ACP;
    const bool utf = (cp == CP_UTF8 || cp == CP_UTF7);
    // No best-fit mapping: a character the code page lacks becomes '?'
    // rather than a look-alike that reads as something else.
    DWORD flags = utf ? 0 : WC_NO_BEST_FIT_CHARS;
    int len = WideCharToMultiByte(cp, flags, text, -1, nullptr, 0, nullptr, nullptr);
    if (len <= 0 && flags) {
        flags = 0;  // some code pages take no flags
        len = WideCharToMultiByte(cp, flags, text, -1, nullptr, 0, nullptr, nullptr);
    }
    if (len <= 0) return std::string();
    std::string out(static_cast<size_t>(len), '\0');
    BOOL usedDefault = FALSE;
    len = WideCharToMultiByte(cp, flags, text, -1, &out[0], len, utf ? nullptr : "?",
                              utf ? nullptr : &usedDefault);
    if (len <= 0) return std::string();
    out.resize(static_cast<size_t>(len) - 1);
    return out;
}

void Trace(const CLog* source, int level, int code, const wchar_t* format, va_list args) {
    const int current = Level().load(std::memory_order_relaxed);
    if (current == 0 || current > level) return;

    wchar_t message[kLogMessageChars];
    FormatBounded(message, kLogMessageChars, format, args);
    wchar_t raw[kLogMessageChars];
    FormatBoundedV(raw, kLogMessageChars, L"%ls:%ls", source ? source->GetLogName() : L"",
                   message);
    // Texts from the network, the INI file or the command line may hold
    // line breaks and other control characters: one call is one line.
    // A line break that ends the message is the line's own end.
    for (size_t n = wcslen(raw); n > 0 && (raw[n - 1] == L'\n' || raw[n - 1] == L'\r'); --n) raw[n - 1] = L'\0';
    wchar_t line[kLogMessageChars];
    kavri::EscapeControlChars(raw, line, kLogMessageChars);

    if (level >= LOG_LEVEL_ERROR) {
        std::string bytes = ToCurrentCodePage(line);
        bytes += '\n';
        fwrite(bytes.data(), 1, bytes.size(), stderr);
        fflush(stderr);
    }
    LogWriterFn writer = g_writer.load();
    if (writer) {
        kavri::Guarded([&] { writer(source, level, code, line); });
    }
}

}  // namespace

CLog::CLog(const wchar_t* name) { SetLogName(name); }

void CLog::SetLogName(const wchar_t* name) {
    wcsncpy(m_logName, name ? name : L"", 1023);
    m_logName[1023] = L'\0';
}

void LogInfo(const CLog* source, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    Trace(source, LOG_LEVEL_INFO, 0, format, args);
    va_end(args);
}

void LogWarning(const CLog* source, int code, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    Trace(source, LOG_LEVEL_WARNING, code, format, args);
    va_end(args);
}

void LogError(const CLog* source, int code, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    Trace(source, LOG_LEVEL_ERROR, code, format, args);
    va_end(args);
}

bool IsLogEnabled(int level) {
    const int current = Level().load(std::memory_order_relaxed);
    return current != 0 && current <= level;
}

const wchar_t* GetErrorText(DWORD code) {
    thread_local wchar_t text[1024];
    text[0] = L'\0';
    if (code == 0) code = GetLastError();
    if (code == 0) return text;
    wchar_t* buffer = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                 FORMAT_MESSAGE_FROM_SYSTEM,
                             nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    if (n && buffer) {
        wcsncpy(text, buffer, 1023);
        text[1023] = L'\0';
        // The system text ends in a line break; inside a log line it would
        // split the line in two.
        size_t len = wcslen(text);
        while (len > 0 && (text[len - 1] == L'\r' || text[len - 1] == L'\n' || text[len - 1] == L' '))
            text[--len] = L'\0';
    }
    if (buffer) LocalFree(buffer);
    return text;
}

void SetLogLevel(int level) { Level().store(level); }
int GetLogLevel() { return Level().load(); }
void SetLogWriter(LogWriterFn writer) { g_writer.store(writer); }

void SetLogFilePath(const wchar_t* path) {
    std::lock_guard<std::mutex> lock(FileLock());
    FilePath() = path ? path : L"";
}

namespace kavri {

void EscapeControlChars(const wchar_t* text, wchar_t* out, size_t outChars) {
    if (outChars == 0) return;
    const size_t markLen = wcslen(kTruncated);
    size_t n = 0;
    for (const wchar_t* p = text ? text : L""; *p; ++p) {
        const unsigned c = *p;
        const bool control = c < 0x20 || (c >= 0x7F && c < 0xA0) || c == 0x2028 || c == 0x2029;
        wchar_t piece[8] = {static_cast<wchar_t>(c), 0};
        if (control) _snwprintf(piece, 8, c < 0x100 ? L"\\x%02x" : L"\\u%04x", c);
        piece[7] = L'\0';
        const size_t len = wcslen(piece);
        if (n + len >= outChars) {
            // Cut where the mark still fits, like any line that is too long.
            if (outChars <= markLen) break;
            if (n > outChars - 1 - markLen) n = outChars - 1 - markLen;
            wcscpy(out + n, kTruncated);
            return;
        }
        wcscpy(out + n, piece);
        n += len;
    }
    out[n] = L'\0';
}

const wchar_t* LogLevelName(int level) {
    if (level == LOG_LEVEL_WARNING) return L"WARNING";
    if (level == LOG_LEVEL_ERROR) return L"ERROR";
    return L"INFO";
}

void FormatLogFileLine(wchar_t* out, size_t outChars, const wchar_t* timeText, int level,
                       int code, const wchar_t* line) {
    if (level > LOG_LEVEL_INFO)
        FormatBoundedV(out, outChars, L"[%ls][%ls] %d:%ls", timeText, LogLevelName(level), code,
                       line);
    else
        FormatBoundedV(out, outChars, L"[%ls][%ls] %ls", timeText, LogLevelName(level), line);
}

}  // namespace kavri

void WriteLogLine(const CLog* /*source*/, int level, int code, const wchar_t* line) {
    kavri::Guarded([&] {
        __time64_t now = _time64(nullptr);
        std::lock_guard<std::mutex> lock(FileLock());
        const std::wstring& path = FilePath();
        if (path.empty()) return;

        struct tm local = {};
        if (_localtime64_s(&local, &now) != 0) return;
        wchar_t timeText[10] = L"";
        wcsftime(timeText, 10, L"%H:%M.%S", &local);

        wchar_t text[kLogMessageChars + 64];
        kavri::FormatLogFileLine(text, sizeof(text) / sizeof(text[0]), timeText, level, code,
                                 line ? line : L"");
        std::string bytes = ToCurrentCodePage(text);
        bytes += "\r\n";

        // Binary append: the line break is written as CR LF explicitly, and
        // the code-page conversion above never stops at an unmappable character.
        // Readers may look at the file while it grows; other writers may not.
        kavri::ScopedFile file(_wfsopen(path.c_str(), L"ab", _SH_DENYWR));
        if (!file) return;
        fwrite(bytes.data(), 1, bytes.size(), file.Get());
    });
}
