// Usage tracking: one page-view request per installation event.
//
// Runs on whichever thread records the event and waits for the request on
// it. No state of its own: the inserts are read-only during the flow.
#include "app/Tracking.h"

#include "app/TrackingSender.h"

#include <cwctype>

#include "app/Installer.h"
#include "app/SystemProbes.h"
#include "download/Request.h"
#include "i18n/LanguageResources.h"
#include "log/Log.h"

namespace kavri {
namespace {

const CLog& TrackingLog() {
    static const CLog* log = new CLog(L"Tracking");
    return *log;
}

bool IsUrlSafe(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') ||
           c == L'-' || c == L'_' || c == L'.' || c == L'~';
}

bool IsHex(wchar_t c) { return c < 0x80 && std::iswxdigit(c); }

void AppendByte(std::wstring* out, unsigned char b) {
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    out->push_back(L'%');
    out->push_back(kHex[b >> 4]);
    out->push_back(kHex[b & 15]);
}

void AppendUtf8(std::wstring* out, unsigned long cp) {
    if (cp < 0x80) {
        AppendByte(out, static_cast<unsigned char>(cp));
    } else if (cp < 0x800) {
        AppendByte(out, static_cast<unsigned char>(0xC0 | (cp >> 6)));
        AppendByte(out, static_cast<unsigned char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        AppendByte(out, static_cast<unsigned char>(0xE0 | (cp >> 12)));
        AppendByte(out, static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F)));
        AppendByte(out, static_cast<unsigned char>(0x80 | (cp & 0x3F)));
    } else {
        AppendByte(out, static_cast<unsigned char>(0xF0 | (cp >> 18)));
        AppendByte(out, static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F)));
        AppendByte(out, static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F)));
        AppendByte(out, static_cast<unsigned char>(0x80 | (cp & 0x3F)));
    }
}

// The template may name only the six inserts we pass, and only with formats
// that read just the insert itself: FormatMessage would read a %7, or the
// argument a '*' asks for, from beyond the arguments.
bool TemplateInsertsValid(const std::wstring& tmpl) {
    for (size_t i = 0; i < tmpl.size(); ++i) {
        if (tmpl[i] != L'%' || i + 1 >= tmpl.size()) continue;
        wchar_t next = tmpl[i + 1];
        if (next == L'%') {
            ++i;  // an escaped percent sign
            continue;
        }
        if (next >= L'1' && next <= L'9') {
            int n = next - L'0';
            size_t end = i + 2;
            if (end < tmpl.size() && tmpl[end] >= L'0' && tmpl[end] <= L'9') {
                n = n * 10 + (tmpl[end] - L'0');
                ++end;
            }
            if (n > 6) return false;
            // A printf-style format after the insert ("%1!s!"): a '*' width or
            // precision would take further arguments than the six passed, and
            // 'n' would write through one; the template may come from a
            // downloaded web configuration, so neither is accepted.
            if (end < tmpl.size() && tmpl[end] == L'!') {
                const size_t close = tmpl.find(L'!', end + 1);
                if (close == std::wstring::npos) return false;
                const std::wstring format = tmpl.substr(end + 1, close - end - 1);
                if (format.find_first_of(L"*nN") != std::wstring::npos) return false;
                i = close;
            }
        }
    }
    return true;
}

}  // namespace

std::wstring EncodeUrlInsert(const std::wstring& value) {
    std::wstring out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        wchar_t c = value[i];
        if (IsUrlSafe(c)) {
            out.push_back(c);
        } else if (c == L'%' && i + 2 < value.size() && IsHex(value[i + 1]) && IsHex(value[i + 2])) {
            // Already an escape (INI files may hold encoded values): kept.
            out.append(value, i, 3);
            i += 2;
        } else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < value.size() && value[i + 1] >= 0xDC00 &&
                   value[i + 1] <= 0xDFFF) {
            unsigned long cp = 0x10000 + ((static_cast<unsigned long>(c) - 0xD800) << 10) +
                               (static_cast<unsigned long>(value[i + 1]) - 0xDC00);
            AppendUtf8(&out, cp);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            AppendUtf8(&out, 0xFFFD);  // a lone surrogate has no UTF-8 form
        } else {
            AppendUtf8(&out, c);
        }
    }
    return out;
}

std::wstring BuildTrackingUrl(const std::wstring& urlTemplate, const wchar_t* eventName,
                              const wchar_t* language, const wchar_t* machineId,
                              const std::wstring& source, const std::wstring& information,
                              const std::wstring& medium) {
    if (urlTemplate.empty()) return std::wstring();
    if (!TemplateInsertsValid(urlTemplate)) {
        LogWarning(&TrackingLog(), -1, L":BuildTrackingUrl, the template names an insert above %%6: %ls",
                   urlTemplate.c_str());
        return std::wstring();
    }
    const std::wstring e1 = EncodeUrlInsert(eventName ? eventName : L"");
    const std::wstring e2 = EncodeUrlInsert(language ? language : L"");
    const std::wstring e3 = EncodeUrlInsert(machineId ? machineId : L"");
    const std::wstring e4 = EncodeUrlInsert(source);
    const std::wstring e5 = EncodeUrlInsert(information);
    const std::wstring e6 = EncodeUrlInsert(medium);
    std::wstring url;
    FormatText(&url, urlTemplate.c_str(), e1.c_str(), e2.c_str(), e3.c_str(), e4.c_str(), e5.c_str(),
               e6.c_str());
    return url;
}

bool TrackEvent(const wchar_t* eventName) {
    CInstaller* app = CInstaller::GetInstance();
    if (!app || !app->IsTrackingEnabled()) return false;
    InstallerConfig* cfg = app->GetConfig();
    if (!cfg) return false;
    LanguageResources* language = GetCurrentLanguage();
    std::wstring url = BuildTrackingUrl(cfg->campaign.trackingUrlTemplate, eventName,
                                        language ? language->GetIsoLanguageName() : L"",
                                        GetMachineId(), cfg->campaign.source,
                                        cfg->campaign.information, cfg->campaign.medium);
    if (url.empty()) return false;
    return QueueTrackingRequest(url);
}

}  // namespace kavri
