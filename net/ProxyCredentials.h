// The user name and password a person typed for the proxy during this run.
// They live in memory only: handed to WinINet on each request handle (which
// answers the proxy's challenge with them) and never written to the log, the
// INI, the resume record or a tracking request.
//
// Concurrency: set on the interface thread; read by every thread that opens
// a request (segment workers, open jobs, tracking). One lock guards them.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <string>

namespace kavri {

// Replaces the credentials (the old ones are wiped from memory first).
void SetProxyCredentials(const std::wstring& user, const std::wstring& password);
bool HasProxyCredentials();
// Wipes them; requests go out without credentials again.
void ClearProxyCredentials();
// Sets the credentials, when there are any, on a request handle before it is
// sent. False when there were some and WinINet refused them.
bool ApplyProxyCredentials(HINTERNET request);

// Overwrites a string's characters before it is released.
void Wipe(std::wstring* text);

}  // namespace kavri
