// The progress window's texts: the percentage, and the transfer line under
// the bar: how much is done, how fast it goes and how long it will take
// ("3.4 MB of 12.0 MB (2.1 MB/s), 0:04 left").
//
// Concurrency: pure functions; a RateMeter belongs to whoever holds the lock
// it is used under.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

namespace kavri {

// Whole KB below 1 MB, else MB or GB with one decimal and the given decimal
// separator, in the unit strings of the current language (1 KB = 1024 bytes).
std::wstring FormatSize(uint64_t bytes, const std::wstring& decimal);

// m:ss, or h:mm:ss from an hour on.
std::wstring FormatTimeLeft(uint64_t seconds);

// The transfer rate smoothed over the last few seconds of samples.
class RateMeter {
public:
    static constexpr uint64_t kWindowMs = 3000;
    static constexpr uint64_t kMinSpanMs = 1000;  // less is not yet a rate
    // A byte total at a time (ms); a total below the largest seen is ignored.
    void Add(uint64_t tickMs, uint64_t bytes);
    // Bytes per second; 0 while not known.
    double BytesPerSecond() const;
    void Clear() { m_samples.clear(); }

private:
    std::deque<std::pair<uint64_t, uint64_t>> m_samples;
};

// String 520 ("%1 of %2") while the rate is 0, else 521 with the rate and
// the time left; "" when the size is unknown (0).
std::wstring FormatTransferLine(uint64_t done, uint64_t size, double bytesPerSecond,
                                const std::wstring& decimal);

// The user's decimal separator.
std::wstring UserDecimalSeparator();

// The percentage for a byte count: false when no percentage can be shown
// (size unknown or 0); never above 100.
bool DownloadPercent(int64_t bytes, int64_t fileSize, uint32_t* percent);

}  // namespace kavri
