// The run's proxy credentials. See ProxyCredentials.h.
#include "net/ProxyCredentials.h"

#include <mutex>

namespace kavri {

namespace {

struct Store {
    std::mutex lock;
    std::wstring user, password;
};

// Never destroyed: requests may be opened until the process ends.
Store& TheStore() {
    static Store* store = new Store();
    return *store;
}

}  // namespace

void Wipe(std::wstring* text) {
    if (!text->empty()) SecureZeroMemory(&(*text)[0], text->size() * sizeof(wchar_t));
    text->clear();
}

void SetProxyCredentials(const std::wstring& user, const std::wstring& password) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> hold(s.lock);
    Wipe(&s.user);
    Wipe(&s.password);
    s.user = user;
    s.password = password;
}

bool HasProxyCredentials() {
    Store& s = TheStore();
    std::lock_guard<std::mutex> hold(s.lock);
    return !s.user.empty();
}

void ClearProxyCredentials() { SetProxyCredentials(std::wstring(), std::wstring()); }

bool ApplyProxyCredentials(HINTERNET request) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> hold(s.lock);
    if (s.user.empty()) return true;
    // The lengths are in characters; the strings stay owned by the store,
    // WinINet keeps copies.
    const BOOL user = InternetSetOptionW(request, INTERNET_OPTION_PROXY_USERNAME, &s.user[0],
                                         static_cast<DWORD>(s.user.size()));
    const BOOL password = InternetSetOptionW(request, INTERNET_OPTION_PROXY_PASSWORD,
                                             s.password.empty() ? const_cast<wchar_t*>(L"") : &s.password[0],
                                             static_cast<DWORD>(s.password.size()));
    return user && password;
}

}  // namespace kavri
