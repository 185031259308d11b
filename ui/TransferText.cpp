// The progress texts. See TransferText.h.
#include "ui/TransferText.h"

#include <windows.h>

#include <climits>
#include <cmath>
#include <cwchar>

#include "i18n/LanguageResources.h"

namespace kavri {

namespace {

std::wstring Unit(UINT id, const std::wstring& number) {
    std::wstring out;
    FormatString(&out, id, number.c_str());
    return out.empty() ? number : out;
}

// value / unit rounded to tenths, as "a<sep>b".
std::wstring Tenths(uint64_t value, uint64_t unit, const std::wstring& decimal) {
    const uint64_t tenths = value / unit * 10 + (value % unit * 10 + unit / 2) / unit;
    return std::to_wstring(tenths / 10) + decimal + std::to_wstring(tenths % 10);
}

}  // namespace

std::wstring FormatSize(uint64_t bytes, const std::wstring& decimal) {
    const uint64_t kMB = 1ull << 20, kGB = 1ull << 30;
    if (bytes < kMB) return Unit(IDS_UNIT_KB, std::to_wstring(bytes / 1024));
    // What would round up to 1024.0 MB is shown as 1.0 GB.
    if (bytes < kGB - kMB / 20) return Unit(IDS_UNIT_MB, Tenths(bytes, kMB, decimal));
    return Unit(IDS_UNIT_GB, Tenths(bytes, kGB, decimal));
}

std::wstring FormatTimeLeft(uint64_t seconds) {
    wchar_t text[32];
    if (seconds >= 3600)
        _snwprintf(text, 32, L"%llu:%02u:%02u", static_cast<unsigned long long>(seconds / 3600),
                   static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
    else
        _snwprintf(text, 32, L"%u:%02u", static_cast<unsigned>(seconds / 60), static_cast<unsigned>(seconds % 60));
    text[31] = L'\0';
    return text;
}

void RateMeter::Add(uint64_t tickMs, uint64_t bytes) {
    if (!m_samples.empty() && (bytes < m_samples.back().second || tickMs < m_samples.back().first)) return;
    m_samples.emplace_back(tickMs, bytes);
    // Keep one sample at or beyond the window's start, so the span covers it.
    while (m_samples.size() > 2 && tickMs - m_samples[1].first >= kWindowMs) m_samples.pop_front();
}

double RateMeter::BytesPerSecond() const {
    if (m_samples.size() < 2) return 0;
    const uint64_t span = m_samples.back().first - m_samples.front().first;
    if (span < kMinSpanMs) return 0;
    return static_cast<double>(m_samples.back().second - m_samples.front().second) * 1000.0 / span;
}

std::wstring FormatTransferLine(uint64_t done, uint64_t size, double bytesPerSecond,
                                const std::wstring& decimal) {
    if (size == 0) return std::wstring();
    if (done > size) done = size;
    const std::wstring a = FormatSize(done, decimal), b = FormatSize(size, decimal);
    std::wstring out;
    if (bytesPerSecond <= 0) {
        FormatString(&out, IDS_TRANSFER_OF, a.c_str(), b.c_str());
        return out;
    }
    const std::wstring rate = FormatSize(static_cast<uint64_t>(bytesPerSecond), decimal);
    const uint64_t left = static_cast<uint64_t>(std::ceil(static_cast<double>(size - done) / bytesPerSecond));
    const std::wstring time = FormatTimeLeft(left);
    FormatString(&out, IDS_TRANSFER_RATE, a.c_str(), b.c_str(), rate.c_str(), time.c_str());
    return out;
}

std::wstring UserDecimalSeparator() {
    wchar_t sep[8] = L".";
    if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, sep, 8) <= 0) wcscpy(sep, L".");
    return sep;
}

bool DownloadPercent(int64_t bytes, int64_t fileSize, uint32_t* percent) {
    if (fileSize <= 0 || bytes < 0) return false;
    const uint64_t done = static_cast<uint64_t>(bytes);
    const uint64_t size = static_cast<uint64_t>(fileSize);
    uint64_t value;
    if (done >= size) {
        value = 100;
    } else if (done <= UINT64_MAX / 100) {
        value = done * 100 / size;
    } else {
        // done x 100 would overflow: the largest p with done >= p x size / 100,
        // with p x size / 100 rounded up and computed as p x a + p x b / 100
        // for size = 100a + b, which stays in range.
        const uint64_t a = size / 100, b = size % 100;
        value = 0;
        for (uint64_t p = 100; p > 0; --p) {
            if (done >= p * a + (p * b + 99) / 100) {
                value = p;
                break;
            }
        }
    }
    if (value > 100) value = 100;
    if (percent) *percent = static_cast<uint32_t>(value);
    return true;
}

}  // namespace kavri
