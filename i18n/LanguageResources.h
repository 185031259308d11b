// Language selection and language-specific lookup of strings and dialog
// templates, with message formatting.
//
// Two process-wide instances exist: the current language (replaced once by
// SetLanguage, early in start-up) and the neutral language (LCID 0, never
// replaced). Both are created at static initialisation with LCID 0.
//
// Concurrency: lookups may run on several threads at once (the interface
// thread and the download notification threads); the cache is guarded by a
// lock of its own. SetLanguage must run before any other thread looks up text.
#pragma once

#include <windows.h>

#include <map>
#include <mutex>
#include <string>

class LanguageResources {
public:
    explicit LanguageResources(LCID lcid);
    ~LanguageResources();
    LanguageResources(const LanguageResources&) = delete;
    LanguageResources& operator=(const LanguageResources&) = delete;

    // The text of id in this language. With fallback, an empty or missing
    // entry is recorded as a miss and answered from the neutral instance.
    // Never null; valid as long as this object lives.
    const wchar_t* GetString(UINT id, bool fallback);

    const wchar_t* GetIsoLanguageName();  // "de" for 1031; cached
    const wchar_t* GetCrtLocaleName();    // "German_Germany.1252" for 1031; cached
    LCID GetLcid() const { return m_lcid; }
    LANGID GetLangId() const { return LANGIDFROMLCID(m_lcid); }

    // The stored resource language to use for a type and name: the exact id,
    // then the primary language with the neutral sublanguage, then neutral.
    // Returns false when none of them is stored.
    bool ResolveResourceLanguage(LPCWSTR type, LPCWSTR name, LANGID* chosen) const;

private:
    const wchar_t* LoadBlock(UINT id);  // called with m_lock held

    std::mutex m_lock;
    std::map<UINT, const wchar_t*> m_cache;  // owned copies, or the shared miss marker
    std::wstring m_crtLocaleName;
    std::wstring m_isoLanguageName;
    LCID m_lcid;
};

// Makes lcid the process language: replaces the current instance, sets the C
// runtime locale, the thread locale and (where present) the thread UI language.
void SetLanguage(LCID lcid);

// Current language, then neutral, then "" (never null).
const wchar_t* GetString(UINT id);
void GetString(UINT id, std::wstring* out);

// FormatMessage-style formatting ("%1" a wide string, "%2!u!" an unsigned,
// "%%" a percent sign) of a string id or of a format text. out is cleared
// first and stays empty when the format is empty or formatting fails.
// Returns the length of out.
int FormatString(std::wstring* out, UINT id, ...);
int FormatText(std::wstring* out, const wchar_t* format, ...);

LanguageResources* GetCurrentLanguage();
LanguageResources* GetNeutralLanguage();

// ISO 639 name of any LCID (not cached); returns out->c_str().
const wchar_t* GetIsoLanguageName(LCID lcid, std::wstring* out);

// The dialog template with that id in the current language, or null.
const DLGTEMPLATE* FindDialogTemplate(WORD id);

// String ids.
enum EStringId : UINT {
    IDS_PRODUCT_NAME = 101,
    IDS_HELP_URL = 103,
    IDS_TRACKING_URL = 104,
    IDS_BTN_CANCEL = 200,
    IDS_BTN_CLOSE = 201,
    IDS_BTN_RETRY = 202,
    IDS_BTN_NO = 203,
    IDS_BTN_NO_INSTALL_FROM_CD = 204,
    IDS_BTN_YES = 205,
    IDS_STATUS_PREPARING = 500,
    IDS_STATUS_CONNECTING = 501,
    IDS_STATUS_DOWNLOADING = 502,
    IDS_STATUS_COMPLETE = 503,
    IDS_STATUS_FAILED = 504,
    IDS_STATUS_CANCELLING = 505,
    IDS_LINK_SUPPORTED_OS = 510,
    IDS_MSG_UNEXPECTED_ERROR = 590,
    IDS_MSG_DOWNLOAD_FAILED_RETRY = 591,
    IDS_CAPTION_OS_NOT_SUPPORTED = 593,
    IDS_MSG_OS_NOT_SUPPORTED = 594,
    IDS_MSG_NOT_ENOUGH_RAM = 595,
    IDS_MSG_NO_INTERNET = 596,
    IDS_MSG_CPU_TOO_SLOW = 597,
    IDS_MSG_NOT_ENOUGH_DISK = 598,
    IDS_MSG_INSTALL_LATEST = 599,
    IDS_CAPTION_CANCEL = 600,
    IDS_MSG_CONFIRM_CANCEL = 601,
};

// Dialog template, icon and control ids.
enum EResourceId : WORD {
    IDD_PROGRESS = 700,
    IDD_QUESTION = 710,
    IDD_CONFIRM = 712,
    IDD_ERROR = 714,
    IDI_APP = 300,
    IDC_PROGRESS_BAR = 1008,
    IDC_LINK = 1009,
    IDC_PERCENT = 1014,
    IDC_MSG_ICON = 1017,
};
