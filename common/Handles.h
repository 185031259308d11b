// The one RAII owner of handles, ScopedHandle<Traits>, with a traits type per
// handle kind (the kind says what its empty value is: null, or
// INVALID_HANDLE_VALUE for files), and AtomicHandle<Traits>, the same owner
// for a handle that another thread may close to cancel a call under way.
// Reset() and the destructor preserve the thread's last error, so a wrapper
// going out of scope on a failure path never hides the error that caused it.
//
// Concurrency: a ScopedHandle belongs to one thread at a time. Every change
// of an AtomicHandle is one atomic exchange, so each handle is closed exactly
// once, by whoever took it out of the field.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstdio>
#include <utility>

namespace kavri {

template <class Traits>
class ScopedHandle {
public:
    using Type = typename Traits::Type;

    ScopedHandle() noexcept : m_h(Traits::Invalid()) {}
    explicit ScopedHandle(Type h) noexcept : m_h(h) {}
    ~ScopedHandle() { Reset(); }

    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ScopedHandle(ScopedHandle&& o) noexcept : m_h(o.Release()) {}
    ScopedHandle& operator=(ScopedHandle&& o) noexcept {
        if (this != &o) Reset(o.Release());
        return *this;
    }

    Type Get() const noexcept { return m_h; }
    bool IsValid() const noexcept { return m_h != Traits::Invalid(); }
    explicit operator bool() const noexcept { return IsValid(); }

    Type Release() noexcept {
        Type h = m_h;
        m_h = Traits::Invalid();
        return h;
    }

    void Reset(Type h = Traits::Invalid()) noexcept {
        if (m_h != Traits::Invalid()) {
            DWORD err = GetLastError();
            Traits::Close(m_h);
            SetLastError(err);
        }
        m_h = h;
    }

private:
    Type m_h;
};

template <class Traits>
class AtomicHandle {
public:
    using Type = typename Traits::Type;

    AtomicHandle() noexcept : m_h(Traits::Invalid()) {}
    ~AtomicHandle() { Reset(); }
    AtomicHandle(const AtomicHandle&) = delete;
    AtomicHandle& operator=(const AtomicHandle&) = delete;

    Type Get() const noexcept { return m_h.load(); }
    bool IsValid() const noexcept { return Get() != Traits::Invalid(); }
    explicit operator bool() const noexcept { return IsValid(); }
    Type Release() noexcept { return m_h.exchange(Traits::Invalid()); }
    // Puts h in and closes the handle that was there (from any thread).
    void Reset(Type h = Traits::Invalid()) noexcept {
        const Type old = m_h.exchange(h);
        if (old != Traits::Invalid()) {
            DWORD err = GetLastError();
            Traits::Close(old);
            SetLastError(err);
        }
    }
    // Puts h in only when the field is empty; false (h not taken) otherwise.
    bool ResetIfEmpty(Type h) noexcept {
        Type expected = Traits::Invalid();
        return m_h.compare_exchange_strong(expected, h);
    }

private:
    std::atomic<Type> m_h;
};

struct KernelHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { CloseHandle(h); }
};

// CreateFileW's handles: empty is INVALID_HANDLE_VALUE, not null.
struct FileHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { CloseHandle(h); }
};

struct InternetHandleTraits {
    using Type = HINTERNET;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { InternetCloseHandle(h); }
};

struct FileTraits {
    using Type = FILE*;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { fclose(h); }
};

struct RegKeyTraits {
    using Type = HKEY;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { RegCloseKey(h); }
};

struct LocalMemTraits {
    using Type = HLOCAL;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { LocalFree(h); }
};

// A directory search: its empty value is INVALID_HANDLE_VALUE.
struct FindHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { FindClose(h); }
};

using ScopedKernelHandle = ScopedHandle<KernelHandleTraits>;
using ScopedFindHandle = ScopedHandle<FindHandleTraits>;
using ScopedFileHandle = ScopedHandle<FileHandleTraits>;
using ScopedInternetHandle = ScopedHandle<InternetHandleTraits>;
using AtomicInternetHandle = AtomicHandle<InternetHandleTraits>;
using ScopedFile = ScopedHandle<FileTraits>;
using ScopedRegKey = ScopedHandle<RegKeyTraits>;
using ScopedLocalMem = ScopedHandle<LocalMemTraits>;

}  // namespace kavri
