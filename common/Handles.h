// One small RAII owner per handle kind. Reset() and the destructor preserve
// the thread's last error, so a wrapper going out of scope on a failure path
// never hides the error that caused it.
#pragma once

#include <windows.h>
#include <wininet.h>
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

struct KernelHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
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

struct GdiObjectTraits {
    using Type = HGDIOBJ;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { DeleteObject(h); }
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
using ScopedInternetHandle = ScopedHandle<InternetHandleTraits>;
using ScopedFile = ScopedHandle<FileTraits>;
using ScopedGdiObject = ScopedHandle<GdiObjectTraits>;
using ScopedRegKey = ScopedHandle<RegKeyTraits>;
using ScopedLocalMem = ScopedHandle<LocalMemTraits>;

}  // namespace kavri
