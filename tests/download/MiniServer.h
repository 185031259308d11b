// A small HTTP server inside the test process, for the download-engine tests
// that need faults the shared test server cannot aim at one request: a reset
// in the middle of one segment's body, a server that goes away and comes back
// on the same port, a limit of concurrent connections beyond which requests
// are never answered (so the client's receive time-out fails them).
//
// It serves one body (Content-Length, Accept-Ranges, single byte ranges with
// 206 and Content-Range) on any path. Winsock is loaded at run time, so the
// test executable needs no extra link library.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kavri_test {

class MiniServer {
public:
    struct Request {
        int number;          // 1-based, in arrival order
        std::string range;   // the Range header's value, "" when none
        uint64_t start;      // first byte served
    };
    // What to do with one request (decided when it arrives).
    struct Fault {
        int64_t resetAfter = -1;  // >= 0: send that many body bytes, then RST
        bool stall = false;       // never answer
    };

    explicit MiniServer(std::string body);
    ~MiniServer();
    MiniServer(const MiniServer&) = delete;
    MiniServer& operator=(const MiniServer&) = delete;

    bool Start();  // listens (again) on 127.0.0.1, the same port once chosen
    void Stop();   // closes the listener and every connection: refused from now on
    int Port() const { return m_port; }
    std::wstring Url(const std::wstring& path) const;

    void SetRanges(bool on) { m_ranges = on; }
    // Bytes per second per connection; 0: as fast as possible.
    void SetRate(uint32_t bytesPerSecond) { m_rate = bytesPerSecond; }
    // At most n connections answered at once; later ones are held unanswered.
    void SetConnectionLimit(int n) { m_limit = n; }
    void SetFaultPlan(std::function<Fault(const Request&)> plan);

    std::vector<Request> Requests() const;
    // Body bytes sent in all.
    uint64_t BytesSent() const { return m_bytesSent.load(); }

private:
    void AcceptLoop();
    void Serve(uintptr_t socket);
    bool ReadRequest(uintptr_t socket, std::string* head);
    bool SendAll(uintptr_t socket, const char* data, size_t size, bool counts);
    bool Readable(uintptr_t socket, int ms);

    std::string m_body;
    std::atomic<bool> m_ranges{true};
    std::atomic<uint32_t> m_rate{0};
    std::atomic<int> m_limit{1 << 30};
    std::atomic<bool> m_stopping{false};
    std::atomic<uint64_t> m_bytesSent{0};
    int m_port = 0;
    uintptr_t m_listener;
    std::thread m_acceptThread;

    mutable std::mutex m_lock;
    std::function<Fault(const Request&)> m_plan;
    std::vector<Request> m_requests;
    std::vector<std::thread> m_connections;
    std::vector<uintptr_t> m_sockets;
    int m_admitted = 0;
};

// A body of n deterministic, non-repeating-looking bytes.
std::string MakeBody(size_t n, unsigned seed);

}  // namespace kavri_test
