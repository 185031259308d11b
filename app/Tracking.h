// Usage tracking: each installation event becomes one page-view request,
// built from the tracking URL template and six inserts and sent with Ping.
#pragma once

#include <string>

namespace kavri {

// Percent-encodes every character outside the URL-safe set (non-ASCII as
// UTF-8), leaving existing %XX escapes as they are.
std::wstring EncodeUrlInsert(const std::wstring& value);

// Fills the template (FormatMessage syntax, %1..%6) with the encoded inserts:
// event, language, machine id, source, information, medium. "" when the
// template is empty, names an insert above %6, or formatting fails.
std::wstring BuildTrackingUrl(const std::wstring& urlTemplate, const wchar_t* eventName,
                              const wchar_t* language, const wchar_t* machineId,
                              const std::wstring& source, const std::wstring& information,
                              const std::wstring& medium);

// Builds the URL for an event from the application's configuration and
// queues it for the background sender. False when tracking is off, the URL
// is empty or it could not be queued.
bool TrackEvent(const wchar_t* eventName);

}  // namespace kavri
