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

#include "resources/resource.h"

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

    // True when id is recorded as missing in this language (a lookup with
    // fallback found it empty or absent); such ids go straight to neutral.
    bool HasMissMarker(UINT id);

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

// String ids (values from resources/resource.h, shared with the .rc files).
enum EStringId : UINT {
    IDS_PRODUCT_NAME = RC_IDS_PRODUCT_NAME,
    IDS_HELP_URL = RC_IDS_HELP_URL,
    IDS_TRACKING_URL = RC_IDS_TRACKING_URL,
    IDS_TRUSTED_SIGNERS = RC_IDS_TRUSTED_SIGNERS,
    IDS_BTN_CANCEL = RC_IDS_BTN_CANCEL,
    IDS_BTN_CLOSE = RC_IDS_BTN_CLOSE,
    IDS_BTN_RETRY = RC_IDS_BTN_RETRY,
    IDS_BTN_NO = RC_IDS_BTN_NO,
    IDS_BTN_NO_INSTALL_FROM_CD = RC_IDS_BTN_NO_INSTALL_FROM_CD,
    IDS_BTN_YES = RC_IDS_BTN_YES,
    IDS_BTN_OK = RC_IDS_BTN_OK,
    IDS_STATUS_PREPARING = RC_IDS_STATUS_PREPARING,
    IDS_STATUS_CONNECTING = RC_IDS_STATUS_CONNECTING,
    IDS_STATUS_DOWNLOADING = RC_IDS_STATUS_DOWNLOADING,
    IDS_STATUS_COMPLETE = RC_IDS_STATUS_COMPLETE,
    IDS_STATUS_FAILED = RC_IDS_STATUS_FAILED,
    IDS_STATUS_CANCELLING = RC_IDS_STATUS_CANCELLING,
    IDS_LINK_SUPPORTED_OS = RC_IDS_LINK_SUPPORTED_OS,
    IDS_TRANSFER_OF = RC_IDS_TRANSFER_OF,
    IDS_TRANSFER_RATE = RC_IDS_TRANSFER_RATE,
    IDS_UNIT_KB = RC_IDS_UNIT_KB,
    IDS_UNIT_MB = RC_IDS_UNIT_MB,
    IDS_UNIT_GB = RC_IDS_UNIT_GB,
    IDS_MSG_UNEXPECTED_ERROR = RC_IDS_MSG_UNEXPECTED_ERROR,
    IDS_MSG_DOWNLOAD_FAILED_RETRY = RC_IDS_MSG_DOWNLOAD_FAILED_RETRY,
    IDS_CAPTION_OS_NOT_SUPPORTED = RC_IDS_CAPTION_OS_NOT_SUPPORTED,
    IDS_MSG_OS_NOT_SUPPORTED = RC_IDS_MSG_OS_NOT_SUPPORTED,
    IDS_MSG_NOT_ENOUGH_RAM = RC_IDS_MSG_NOT_ENOUGH_RAM,
    IDS_MSG_NO_INTERNET = RC_IDS_MSG_NO_INTERNET,
    IDS_MSG_CPU_TOO_SLOW = RC_IDS_MSG_CPU_TOO_SLOW,
    IDS_MSG_NOT_ENOUGH_DISK = RC_IDS_MSG_NOT_ENOUGH_DISK,
    IDS_MSG_INSTALL_LATEST = RC_IDS_MSG_INSTALL_LATEST,
    IDS_CAPTION_CANCEL = RC_IDS_CAPTION_CANCEL,
    IDS_MSG_CONFIRM_CANCEL = RC_IDS_MSG_CONFIRM_CANCEL,
    IDS_CAPTION_PROXY_LOGIN = RC_IDS_CAPTION_PROXY_LOGIN,
    IDS_MSG_PROXY_LOGIN = RC_IDS_MSG_PROXY_LOGIN,
    IDS_MSG_PROXY_LOGIN_AGAIN = RC_IDS_MSG_PROXY_LOGIN_AGAIN,
    IDS_LABEL_USER = RC_IDS_LABEL_USER,
    IDS_LABEL_PASSWORD = RC_IDS_LABEL_PASSWORD,
};

// Dialog template, icon and control ids.
enum EResourceId : WORD {
    IDD_PROGRESS = RC_IDD_PROGRESS,
    IDD_QUESTION = RC_IDD_QUESTION,
    IDD_CONFIRM = RC_IDD_CONFIRM,
    IDD_ERROR = RC_IDD_ERROR,
    IDD_PROXY_LOGIN = RC_IDD_PROXY_LOGIN,
    IDI_APP = RC_IDI_APP,
    IDC_PROGRESS_BAR = RC_IDC_PROGRESS_BAR,
    IDC_LINK = RC_IDC_LINK,
    IDC_PERCENT = RC_IDC_PERCENT,
    IDC_TRANSFER = RC_IDC_TRANSFER,
    IDC_MSG_ICON = RC_IDC_MSG_ICON,
    IDC_USER_LABEL = RC_IDC_USER_LABEL,
    IDC_PASSWORD_LABEL = RC_IDC_PASSWORD_LABEL,
    IDC_USER = RC_IDC_USER,
    IDC_PASSWORD = RC_IDC_PASSWORD,
};
