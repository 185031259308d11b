// The small record that lets a download go on after the program ended
// half-way (killed, crashed, power lost): the URL, the file's size and
// validator, the name of the partial file and the byte ranges on disk. It
// lives in the download folder beside the partial file.
//
// Concurrency: none of its own; the coordinator's main download thread
// saves and loads it. A save writes a temporary file and then replaces the
// record, so a crash at any moment leaves the old record or the new one. A
// record that is torn, hostile (ranges past the end, an unsafe name) or
// older than the age limit is refused as a whole.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "download/Planner.h"

namespace kavri {

struct ResumeState {
    std::wstring url;
    std::wstring fileName;   // a plain name inside the folder
    std::wstring validator;  // ETag, else Last-Modified
    int64_t size = -1;
    std::vector<ByteRange> done;
};

constexpr unsigned kResumeMaxAgeDays = 7;

// The record's path in a download folder.
std::wstring ResumeRecordPath(const std::wstring& folder);
bool SaveResumeState(const std::wstring& path, const ResumeState& state);
// False when there is no usable record (missing, torn, hostile, too old).
bool LoadResumeState(const std::wstring& path, ResumeState* state);

}  // namespace kavri
