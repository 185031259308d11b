// Process-wide trace facility.
//
// Every working class carries a CLog as a virtual base; the most-derived class
// names it, and the name prefixes each line. Three trace calls format a
// message, filter it against one global level, echo errors to stderr and hand
// the finished line to one global writer.
//
// Concurrency: the trace calls may be made from any thread at once. The level
// and the writer are atomics; the file writer serialises its appends, so no
// line that passes the level is lost or interleaved.
#pragma once

#include <windows.h>

class CLog {
public:
    // The name is copied, bounded to 1024 characters (terminator included).
    explicit CLog(const wchar_t* name = L"");
    CLog(const CLog& other) = default;
    CLog& operator=(const CLog& other) = default;

    const wchar_t* GetLogName() const { return m_logName; }
    void SetLogName(const wchar_t* name);

private:
    wchar_t m_logName[1024];
};

// Message levels.
enum ELogLevel : int {
    LOG_LEVEL_INFO = 1,
    LOG_LEVEL_WARNING = 4,
    LOG_LEVEL_ERROR = 5,
};

// Buffer sizes for one formatted message and one finished line.
constexpr int kLogMessageChars = 2048;

typedef void (*LogWriterFn)(const CLog* source, int level, int code, const wchar_t* line);

// Formats use the printf family's Microsoft rules; write %ls for a wide
// string and %hs for a narrow one so the code means the same on every
// compiler. A message or line longer than its buffer is cut and ends in "...".
void LogInfo(const CLog* source, const wchar_t* format, ...);
void LogWarning(const CLog* source, int code, const wchar_t* format, ...);
void LogError(const CLog* source, int code, const wchar_t* format, ...);

// A message of level m is written when the global level L is not 0 and L <= m.
bool IsLogEnabled(int level);

// The system's text for an error (0: GetLastError()); "" when there is none.
// The text lives in a per-thread buffer until the next call on that thread.
const wchar_t* GetErrorText(DWORD code);

void SetLogLevel(int level);
int GetLogLevel();
void SetLogWriter(LogWriterFn writer);

// The log file the file writer appends to; an empty path drops every line.
// Set by the application object once it knows its paths.
void SetLogFilePath(const wchar_t* path);

// The file writer: appends "[time][LEVEL] code:line" (or "[time][INFO] line")
// to the log file. Faults are swallowed; a line that cannot be written is dropped.
void WriteLogLine(const CLog* source, int level, int code, const wchar_t* line);

// Pure helpers, exposed for tests.
namespace kavri {
// Formats the file line (without the line break) for a level, code and time text.
void FormatLogFileLine(wchar_t* out, size_t outChars, const wchar_t* timeText, int level,
                       int code, const wchar_t* line);
const wchar_t* LogLevelName(int level);
// Copies text with every control character (C0, DEL, C1, U+2028/2029)
// written as a visible escape ("\x1b", "\u2028"); cut and marked "..." when
// it does not fit.
void EscapeControlChars(const wchar_t* text, wchar_t* out, size_t outChars);
}  // namespace kavri
