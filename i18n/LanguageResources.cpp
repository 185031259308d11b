// Language selection, string cache and dialog template lookup.
//
// Strings are read from the executable's RT_STRING blocks (16 entries each:
// a 16-bit length followed by that many UTF-16 units, no terminator). A block
// is read once per language object, on the first miss in it; every non-empty
// entry is then kept as an owned, NUL-terminated copy in the cache.
//
// Concurrency: GetString, the name getters and the free lookup functions may
// run on several threads at once; each object serialises its cache with its
// own lock, and cached strings are never moved or freed while the object
// lives, so a pointer handed out stays valid. SetLanguage replaces the
// current object and must run before other threads look up text.
#include "i18n/LanguageResources.h"

#include <atomic>
#include <clocale>
#include <cstdarg>
#include <cwchar>
#include <new>

#include "log/Log.h"

namespace {

// The one shared miss marker: the cache points at it for ids known to be
// missing in a language, and it doubles as the "" handed out for ids found
// nowhere. It is never freed.
const wchar_t kMissMarker[] = L"";

constexpr int kLocaleBufferChars = 127;

const CLog* Logger() {
    static const CLog log(L"LanguageResources");
    return &log;
}

std::atomic<LanguageResources*>& CurrentSlot() {
    static std::atomic<LanguageResources*> current{new LanguageResources(0)};
    return current;
}

// Both process-wide instances exist before the entry point runs, so the
// configuration can read the product name, help URL and tracking template
// before the language is known.
const bool g_instancesCreated = (GetNeutralLanguage() != nullptr) && (GetCurrentLanguage() != nullptr);

struct LanguageList {
    LANGID ids[64];
    int count;
};

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) {
    LanguageList* list = reinterpret_cast<LanguageList*>(param);
    if (list->count < static_cast<int>(sizeof(list->ids) / sizeof(list->ids[0]))) {
        list->ids[list->count++] = language;
    }
    return TRUE;
}

bool ListContains(const LanguageList& list, LANGID id) {
    for (int i = 0; i < list.count; ++i) {
        if (list.ids[i] == id) return true;
    }
    return false;
}

// GetLocaleInfoW into a cleared buffer; "" when the call fails.
bool QueryLocale(LCID lcid, LCTYPE type, wchar_t (&buffer)[kLocaleBufferChars]) {
    wmemset(buffer, 0, kLocaleBufferChars);
    return GetLocaleInfoW(lcid, type, buffer, kLocaleBufferChars) != 0;
}

int FormatV(std::wstring* out, const wchar_t* format, va_list* args) {
    out->clear();
    if (format == nullptr || *format == L'\0') return 0;
    wchar_t* produced = nullptr;
    DWORD chars = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER, format, 0, 0,
                                 reinterpret_cast<LPWSTR>(&produced), 0, args);
    if (chars != 0 && produced != nullptr) {
        out->assign(produced, chars);
    }
    if (produced != nullptr) LocalFree(produced);
    return static_cast<int>(out->size());
}

}  // namespace

LanguageResources::LanguageResources(LCID lcid) : m_lcid(lcid) {}

LanguageResources::~LanguageResources() {
    for (auto& entry : m_cache) {
        if (entry.second != kMissMarker) delete[] entry.second;
    }
}

bool LanguageResources::ResolveResourceLanguage(LPCWSTR type, LPCWSTR name, LANGID* chosen) const {
    LanguageList stored{};
    EnumResourceLanguagesW(nullptr, type, name, CollectLanguage, reinterpret_cast<LONG_PTR>(&stored));
    const LANGID exact = GetLangId();
    const LANGID candidates[] = {exact, MAKELANGID(PRIMARYLANGID(exact), SUBLANG_NEUTRAL),
                                 MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)};
    for (LANGID candidate : candidates) {
        if (ListContains(stored, candidate)) {
            *chosen = candidate;
            return true;
        }
    }
    return false;
}

const wchar_t* LanguageResources::LoadBlock(UINT id) {
    const UINT block = (id >> 4) + 1;
    LPCWSTR name = MAKEINTRESOURCEW(block);
    LANGID language = 0;
    if (!ResolveResourceLanguage(RT_STRING, name, &language)) return nullptr;
    HRSRC info = FindResourceExW(nullptr, RT_STRING, name, language);
    if (info == nullptr) return nullptr;
    HGLOBAL loaded = LoadResource(nullptr, info);
    if (loaded == nullptr) return nullptr;
    const WCHAR* data = static_cast<const WCHAR*>(LockResource(loaded));
    if (data == nullptr) return nullptr;
    // Never read past the resource, even if a block is malformed.
    const DWORD units = SizeofResource(nullptr, info) / sizeof(WCHAR);

    wchar_t* copies[16] = {};
    DWORD pos = 0;
    for (int i = 0; i < 16 && pos < units; ++i) {
        const DWORD length = data[pos++];
        if (length > units - pos) break;
        if (length != 0) {
            copies[i] = new (std::nothrow) wchar_t[length + 1];
            if (copies[i] == nullptr) {
                for (wchar_t* copy : copies) delete[] copy;
                return nullptr;
            }
            wmemcpy(copies[i], data + pos, length);
            copies[i][length] = L'\0';
        }
        pos += length;
    }

    const wchar_t* result = nullptr;
    const UINT first = (block - 1) * 16;
    for (UINT i = 0; i < 16; ++i) {
        if (copies[i] == nullptr) continue;
        auto inserted = m_cache.emplace(first + i, copies[i]);
        if (!inserted.second) {
            // An id already cached keeps its entry; the fresh copy is not needed.
            delete[] copies[i];
            copies[i] = nullptr;
        }
        if (first + i == id) result = inserted.first->second;
    }
    return result;
}

const wchar_t* LanguageResources::GetString(UINT id, bool fallback) {
    const wchar_t* candidate = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = m_cache.find(id);
        const bool hit = it != m_cache.end();
        candidate = hit ? it->second : LoadBlock(id);
        if (fallback && !hit && (candidate == nullptr || *candidate == L'\0')) {
            m_cache.emplace(id, kMissMarker);
        }
    }
    if (!fallback) return candidate != nullptr ? candidate : kMissMarker;
    if (candidate != nullptr && *candidate != L'\0') return candidate;
    return GetNeutralLanguage()->GetString(id, false);
}

bool LanguageResources::HasMissMarker(UINT id) {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_cache.find(id);
    return it != m_cache.end() && it->second == kMissMarker;
}

const wchar_t* LanguageResources::GetIsoLanguageName() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_isoLanguageName.empty()) {
        wchar_t buffer[kLocaleBufferChars];
        QueryLocale(m_lcid, LOCALE_SISO639LANGNAME, buffer);
        m_isoLanguageName = buffer;
    }
    return m_isoLanguageName.c_str();
}

const wchar_t* LanguageResources::GetCrtLocaleName() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_crtLocaleName.empty()) {
        wchar_t buffer[kLocaleBufferChars];
        std::wstring name;
        QueryLocale(m_lcid, LOCALE_SENGLANGUAGE, buffer);
        name = buffer;
        QueryLocale(m_lcid, LOCALE_SENGCOUNTRY, buffer);
        if (buffer[0] != L'\0') {
            name += L"_";
            name += buffer;
        }
        if (QueryLocale(m_lcid, LOCALE_IDEFAULTANSICODEPAGE, buffer) ||
            QueryLocale(m_lcid, LOCALE_IDEFAULTCODEPAGE, buffer)) {
            if (buffer[0] != L'\0') {
                name += L".";
                name += buffer;
            }
        }
        m_crtLocaleName = name;
    }
    return m_crtLocaleName.c_str();
}

LanguageResources* GetCurrentLanguage() {
    return CurrentSlot().load();
}

LanguageResources* GetNeutralLanguage() {
    static LanguageResources* neutral = new LanguageResources(0);
    return neutral;
}

void SetLanguage(LCID lcid) {
    // The new object is in place before the old one goes, so a reader never
    // sees a dangling current language; pointers from the old one die here.
    LanguageResources* fresh = new LanguageResources(lcid);
    delete CurrentSlot().exchange(fresh);

    const wchar_t* crtName = fresh->GetCrtLocaleName();
    if (*crtName == L'\0' || _wsetlocale(LC_ALL, crtName) == nullptr) {
        LogWarning(Logger(), 0, L":SetLanguage, the C runtime rejected locale \"%ls\".", crtName);
    }
    SetThreadLocale(lcid);

    // SetThreadUILanguage is missing on older systems: look it up by name.
    typedef LANGID(WINAPI * SetThreadUILanguageFn)(LANGID);
    HMODULE kernel = GetModuleHandleW(L"KERNEL32.DLL");
    if (kernel != nullptr) {
        SetThreadUILanguageFn setUiLanguage =
            reinterpret_cast<SetThreadUILanguageFn>(GetProcAddress(kernel, "SetThreadUILanguage"));
        if (setUiLanguage != nullptr) setUiLanguage(LANGIDFROMLCID(lcid));
    }
    LogInfo(Logger(), L":SetLanguage, language %lu (%ls).", static_cast<unsigned long>(lcid), crtName);
}

const wchar_t* GetString(UINT id) {
    return GetCurrentLanguage()->GetString(id, true);
}

void GetString(UINT id, std::wstring* out) {
    out->assign(GetString(id));
}

int FormatString(std::wstring* out, UINT id, ...) {
    out->clear();
    const wchar_t* format = GetString(id);
    if (*format == L'\0') return 0;
    va_list args;
    va_start(args, id);
    int length = FormatV(out, format, &args);
    va_end(args);
    return length;
}

int FormatText(std::wstring* out, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    int length = FormatV(out, format, &args);
    va_end(args);
    return length;
}

const wchar_t* GetIsoLanguageName(LCID lcid, std::wstring* out) {
    wchar_t buffer[kLocaleBufferChars];
    QueryLocale(lcid, LOCALE_SISO639LANGNAME, buffer);
    out->assign(buffer);
    return out->c_str();
}

const DLGTEMPLATE* FindDialogTemplate(WORD id) {
    LanguageResources* current = GetCurrentLanguage();
    LPCWSTR name = MAKEINTRESOURCEW(id);
    LANGID language = 0;
    if (!current->ResolveResourceLanguage(RT_DIALOG, name, &language)) return nullptr;
    HRSRC info = FindResourceExW(nullptr, RT_DIALOG, name, language);
    if (info == nullptr) return nullptr;
    HGLOBAL loaded = LoadResource(nullptr, info);
    if (loaded == nullptr) return nullptr;
    // Resources of a loaded image stay mapped for the life of the process;
    // there is nothing to release.
    return static_cast<const DLGTEMPLATE*>(LockResource(loaded));
}
