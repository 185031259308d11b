// Numeric ids of the installer's resources. Plain #defines so that both the
// resource compiler and C++ can read them; i18n/LanguageResources.h builds its
// enums from these names, so the two never drift apart.
#pragma once

// Strings (neutral table only)
#define RC_IDS_PRODUCT_NAME 101
#define RC_IDS_HELP_URL 103
#define RC_IDS_TRACKING_URL 104
// Built in from the CMake variable KAVRI_TRUSTED_SIGNERS (a block of its own).
#define RC_IDS_TRUSTED_SIGNERS 112

// Strings (every language)
#define RC_IDS_BTN_CANCEL 200
#define RC_IDS_BTN_CLOSE 201
#define RC_IDS_BTN_RETRY 202
#define RC_IDS_BTN_NO 203
#define RC_IDS_BTN_NO_INSTALL_FROM_CD 204
#define RC_IDS_BTN_YES 205
#define RC_IDS_BTN_OK 206
#define RC_IDS_STATUS_PREPARING 500
#define RC_IDS_STATUS_CONNECTING 501
#define RC_IDS_STATUS_DOWNLOADING 502
#define RC_IDS_STATUS_COMPLETE 503
#define RC_IDS_STATUS_FAILED 504
#define RC_IDS_STATUS_CANCELLING 505
#define RC_IDS_LINK_SUPPORTED_OS 510
#define RC_IDS_TRANSFER_OF 520
#define RC_IDS_TRANSFER_RATE 521
#define RC_IDS_UNIT_KB 522
#define RC_IDS_UNIT_MB 523
#define RC_IDS_UNIT_GB 524
#define RC_IDS_MSG_UNEXPECTED_ERROR 590
#define RC_IDS_MSG_DOWNLOAD_FAILED_RETRY 591
#define RC_IDS_CAPTION_OS_NOT_SUPPORTED 593
#define RC_IDS_MSG_OS_NOT_SUPPORTED 594
#define RC_IDS_MSG_NOT_ENOUGH_RAM 595
#define RC_IDS_MSG_NO_INTERNET 596
#define RC_IDS_MSG_CPU_TOO_SLOW 597
#define RC_IDS_MSG_NOT_ENOUGH_DISK 598
#define RC_IDS_MSG_INSTALL_LATEST 599
#define RC_IDS_CAPTION_CANCEL 600
#define RC_IDS_MSG_CONFIRM_CANCEL 601
#define RC_IDS_CAPTION_PROXY_LOGIN 608
#define RC_IDS_MSG_PROXY_LOGIN 609
#define RC_IDS_MSG_PROXY_LOGIN_AGAIN 610
#define RC_IDS_LABEL_USER 611
#define RC_IDS_LABEL_PASSWORD 612

// Icon, dialog templates and their controls
#define RC_IDI_APP 300
#define RC_IDD_PROGRESS 700
#define RC_IDD_QUESTION 710
#define RC_IDD_CONFIRM 712
#define RC_IDD_ERROR 714
#define RC_IDD_PROXY_LOGIN 716
#define RC_IDC_PROGRESS_BAR 1008
#define RC_IDC_LINK 1009
#define RC_IDC_PERCENT 1014
#define RC_IDC_TRANSFER 1015
#define RC_IDC_MSG_ICON 1017
#define RC_IDC_USER_LABEL 1018
#define RC_IDC_PASSWORD_LABEL 1019
#define RC_IDC_USER 1020
#define RC_IDC_PASSWORD 1021

// The system's own icons (IDI_WARNING, IDI_QUESTION, IDI_ERROR). A dialog's
// icon static that names one of them by number and finds no such icon in the
// module gets the system icon.
#define RC_SYSICON_WARNING 32515
#define RC_SYSICON_QUESTION 32514
#define RC_SYSICON_ERROR 32513
