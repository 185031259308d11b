// See MiniServer.h. Every blocking socket call is preceded by a short
// select, so Stop ends every thread within a fraction of a second.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "MiniServer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kavri_test {

namespace {

// Winsock, loaded once at run time.
struct Ws {
    decltype(&::WSAStartup) startup = nullptr;
    decltype(&::socket) socket = nullptr;
    decltype(&::bind) bind = nullptr;
    decltype(&::listen) listen = nullptr;
    decltype(&::accept) accept = nullptr;
    decltype(&::recv) recv = nullptr;
    decltype(&::send) send = nullptr;
    decltype(&::closesocket) close = nullptr;
    decltype(&::setsockopt) setsockopt = nullptr;
    decltype(&::getsockname) getsockname = nullptr;
    decltype(&::select) select = nullptr;
    bool ok = false;

    Ws() {
        HMODULE m = LoadLibraryW(L"ws2_32.dll");
        if (!m) return;
        auto get = [m](auto& fn, const char* name) {
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(
                reinterpret_cast<void*>(GetProcAddress(m, name)));
            return fn != nullptr;
        };
        ok = get(startup, "WSAStartup") && get(socket, "socket") && get(bind, "bind") &&
             get(listen, "listen") && get(accept, "accept") && get(recv, "recv") && get(send, "send") &&
             get(close, "closesocket") && get(setsockopt, "setsockopt") &&
             get(getsockname, "getsockname") && get(select, "select");
        WSADATA data;
        if (ok) ok = startup(MAKEWORD(2, 2), &data) == 0;
    }
};

Ws& W() {
    static Ws ws;
    return ws;
}

uint16_t Swap16(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }

std::string HeaderValue(const std::string& head, const char* name) {
    std::string lower = head;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return static_cast<char>(tolower(c)); });
    std::string key = std::string("\r\n") + name + ":";
    size_t at = lower.find(key);
    if (at == std::string::npos) return {};
    size_t begin = at + key.size();
    size_t end = head.find("\r\n", begin);
    std::string value = head.substr(begin, end - begin);
    while (!value.empty() && value.front() == ' ') value.erase(0, 1);
    return value;
}

}  // namespace

std::string MakeBody(size_t n, unsigned seed) {
    std::string body(n, '\0');
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        body[i] = static_cast<char>(x & 0xFF);
    }
    return body;
}

MiniServer::MiniServer(std::string body) : m_body(std::move(body)), m_listener(INVALID_SOCKET) {}

MiniServer::~MiniServer() { Stop(); }

void MiniServer::SetFaultPlan(std::function<Fault(const Request&)> plan) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_plan = std::move(plan);
}

std::vector<MiniServer::Request> MiniServer::Requests() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_requests;
}

std::wstring MiniServer::Url(const std::wstring& path) const {
    return L"http://127.0.0.1:" + std::to_wstring(m_port) + path;
}

bool MiniServer::Start() {
    Ws& ws = W();
    if (!ws.ok) return false;
    Stop();
    m_stopping = false;
    SOCKET s = ws.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return false;
    BOOL yes = TRUE;
    ws.setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof(yes));
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = 0x0100007F;  // 127.0.0.1 in network order
    addr.sin_port = Swap16(static_cast<uint16_t>(m_port));
    if (ws.bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ws.listen(s, 64) != 0) {
        ws.close(s);
        return false;
    }
    int len = sizeof(addr);
    ws.getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    m_port = Swap16(addr.sin_port);
    m_listener = s;
    m_acceptThread = std::thread([this] { AcceptLoop(); });
    return true;
}

void MiniServer::Stop() {
    m_stopping = true;
    if (m_acceptThread.joinable()) m_acceptThread.join();
    std::vector<std::thread> connections;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        connections.swap(m_connections);
    }
    for (std::thread& t : connections)
        if (t.joinable()) t.join();
    if (m_listener != INVALID_SOCKET) {
        W().close(m_listener);
        m_listener = INVALID_SOCKET;
    }
    std::lock_guard<std::mutex> hold(m_lock);
    m_admitted = 0;
}

bool MiniServer::Readable(uintptr_t socket, int ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(static_cast<SOCKET>(socket), &set);
    timeval tv = {ms / 1000, (ms % 1000) * 1000};
    return W().select(0, &set, nullptr, nullptr, &tv) > 0;
}

void MiniServer::AcceptLoop() {
    while (!m_stopping) {
        if (!Readable(m_listener, 50)) continue;
        SOCKET c = W().accept(m_listener, nullptr, nullptr);
        if (c == INVALID_SOCKET) continue;
        std::lock_guard<std::mutex> hold(m_lock);
        m_connections.emplace_back([this, c] { Serve(c); });
    }
}

bool MiniServer::ReadRequest(uintptr_t socket, std::string* head) {
    head->clear();
    char buf[1024];
    while (head->find("\r\n\r\n") == std::string::npos) {
        if (m_stopping) return false;
        if (!Readable(socket, 50)) continue;
        int n = W().recv(static_cast<SOCKET>(socket), buf, sizeof(buf), 0);
        if (n <= 0) return false;
        head->append(buf, static_cast<size_t>(n));
    }
    return true;
}

bool MiniServer::SendAll(uintptr_t socket, const char* data, size_t size, bool counts) {
    const uint32_t rate = m_rate;
    const size_t step = rate ? std::max<size_t>(1024, rate / 20) : 65536;
    const ULONGLONG started = GetTickCount64();
    size_t sent = 0;
    while (sent < size) {
        if (m_stopping) return false;
        int n = W().send(static_cast<SOCKET>(socket), data + sent,
                         static_cast<int>(std::min(step, size - sent)), 0);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
        if (counts) m_bytesSent += static_cast<uint64_t>(n);
        if (rate) {
            ULONGLONG due = started + sent * 1000ull / rate;
            ULONGLONG now = GetTickCount64();
            if (due > now) Sleep(static_cast<DWORD>(due - now));
        }
    }
    return true;
}

void MiniServer::Serve(uintptr_t socket) {
    Ws& ws = W();
    bool admitted = false;
    std::string head;
    while (!m_stopping && ReadRequest(socket, &head)) {
        Request request;
        Fault fault;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            request.number = static_cast<int>(m_requests.size()) + 1;
            request.range = HeaderValue(head, "range");
            request.start = 0;
            if (!admitted && m_admitted < m_limit) {
                admitted = true;
                ++m_admitted;
            }
            if (m_plan) fault = m_plan(request);
        }
        uint64_t size = m_body.size();
        uint64_t first = 0, last = size ? size - 1 : 0;
        bool partial = false;
        if (m_ranges && request.range.compare(0, 6, "bytes=") == 0) {
            const char* p = request.range.c_str() + 6;
            char* end = nullptr;
            first = _strtoui64(p, &end, 10);
            if (end && *end == '-' && end[1]) last = std::min<uint64_t>(_strtoui64(end + 1, nullptr, 10), size - 1);
            partial = true;
        }
        request.start = first;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_requests.push_back(request);
        }
        if (!admitted || fault.stall) {
            // Never answered: wait until the client gives up or we stop.
            while (!m_stopping) {
                if (Readable(socket, 50)) {
                    char b[256];
                    if (ws.recv(static_cast<SOCKET>(socket), b, sizeof(b), 0) <= 0) break;
                }
            }
            break;
        }
        if (partial && first >= size) {
            const char* text = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\n\r\n";
            if (!SendAll(socket, text, strlen(text), false)) break;
            continue;
        }
        const uint64_t length = last - first + 1;
        char header[512];
        if (partial)
            snprintf(header, sizeof(header),
                     "HTTP/1.1 206 Partial Content\r\nAccept-Ranges: bytes\r\nContent-Type: application/octet-stream\r\n"
                     "Content-Length: %llu\r\nContent-Range: bytes %llu-%llu/%llu\r\n\r\n",
                     static_cast<unsigned long long>(length), static_cast<unsigned long long>(first),
                     static_cast<unsigned long long>(last), static_cast<unsigned long long>(size));
        else
            snprintf(header, sizeof(header),
                     "HTTP/1.1 200 OK\r\n%sContent-Type: application/octet-stream\r\nContent-Length: %llu\r\n\r\n",
                     m_ranges ? "Accept-Ranges: bytes\r\n" : "", static_cast<unsigned long long>(length));
        if (!SendAll(socket, header, strlen(header), false)) break;
        if (fault.resetAfter >= 0 && static_cast<uint64_t>(fault.resetAfter) < length) {
            SendAll(socket, m_body.data() + first, static_cast<size_t>(fault.resetAfter), true);
            linger l = {1, 0};
            ws.setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l),
                          sizeof(l));
            break;
        }
        if (!SendAll(socket, m_body.data() + first, static_cast<size_t>(length), true)) break;
    }
    if (admitted) {
        // An answered connection held its place until now.
        std::lock_guard<std::mutex> hold(m_lock);
        --m_admitted;
    }
    ws.close(static_cast<SOCKET>(socket));
}

}  // namespace kavri_test
