// The local file of a download: created and sized once, then written at each
// piece's own offset (positional writes on the file handle, no seek), and
// the checks of the names it is created under.
//
// Concurrency: WriteAt runs on many segment workers at once; writes of
// different workers never overlap (each byte has one owner), so they need no
// ordering. Only Close/Open exclude writes (m_lock, shared by writes; taken
// after the coordinator's plan lock, never before it), so a worker of a
// failed run that is still ending can never write into a closed handle, and
// a write names the opening it belongs to (Generation), so it never lands in
// a file opened after it was claimed.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "common/CriticalSection.h"
#include "common/Handles.h"

namespace kavri {

class FileWriter {
public:
    FileWriter() = default;
    ~FileWriter() { Close(); }
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    // Creates or truncates path (other writers denied) and gives it its full
    // length when size > 0. False (last error kept) on failure.
    bool Create(const wchar_t* path, int64_t size);
    // Opens a partial file that must already have exactly `size` bytes.
    bool OpenExisting(const wchar_t* path, int64_t size);
    // count bytes at offset of the opening `generation`; false when not all
    // were written or the file is closed or another opening now.
    bool WriteAt(uint32_t generation, uint64_t offset, const void* data, uint32_t count);
    // Counts the openings (Create, OpenExisting).
    uint32_t Generation() const;
    bool Flush();           // to the disk (before the resume record names the bytes)
    bool Truncate(uint64_t size);  // a restart of a body of unknown length
    bool Close();           // false when the handle reported an error
    bool IsOpen() const;

private:
    bool Adopt(HANDLE file);
    mutable Lock m_lock;
    ScopedFileHandle m_file;
    uint32_t m_generation = 0;
};

// out := dir\name as a full path; false unless it names a file directly
// inside dir under exactly that name.
bool JoinInside(const wchar_t* dir, const wchar_t* name, wchar_t* out);
// "name.ext" -> "name[n].ext".
void NumberedFileName(const wchar_t* fileName, unsigned n, wchar_t* out, size_t outChars);

}  // namespace kavri
