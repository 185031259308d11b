// The dialog framework with real windows: owners and children on different
// threads, the first-show and close steps, and dialogs that cannot be made.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "DialogTestSupport.h"
#include "i18n/LanguageResources.h"
#include "ui/Dialog.h"
#include "ui/MsgBox.h"

using namespace kavri_test;

namespace {

const DWORD kEndMs = 20000;
// The question template's own caption: a plain Dialog keeps it.
const wchar_t kTemplateCaption[] = L"Kavri Stub Installer";

std::wstring OwnerDialog() {
    return L"--pid " + std::to_wstring(GetCurrentProcessId()) + L" --title " + Quoted(kTemplateCaption);
}

// A message dialog that counts its destruction.
std::atomic<int> g_boxesDeleted{0};
class CountingBox : public MsgBox {
public:
    explicit CountingBox(HWND owner) : MsgBox(nullptr, owner) { secondButton = L"counted"; }
    ~CountingBox() override { ++g_boxesDeleted; }
};

// Waits (bounded) until the owner's window exists and is shown; its handle.
HWND WaitOwner() {
    std::string out;
    if (Drive(L"wait-window " + OwnerDialog(), &out) != 0) return nullptr;
    return ParseHwnd(out);
}

TEST(DialogChildren, ChildOnAnotherThreadEndsWithMinusOneWhenItsOwnerCloses) {
    Dialog* owner = new Dialog(nullptr);
    DialogThread ownerThread([owner] {
        INT_PTR r = owner->DoModal(IDD_QUESTION, nullptr);
        delete owner;  // may run while the child is still on its way out
        return r;
    });
    HWND ownerWindow = WaitOwner();
    ASSERT_TRUE(ownerWindow);

    DialogThread child([ownerWindow] { return AskRetry(IDS_MSG_NO_INTERNET, ownerWindow); });
    std::string out;
    ASSERT_EQ(0, Drive(L"wait-window " + MessageDialog(GetInstallerTitle()), &out)) << out;
    EXPECT_FALSE(IsWindowEnabled(ownerWindow));  // modal child

    ASSERT_EQ(0, Drive(L"close --hwnd " + std::to_wstring(reinterpret_cast<ULONG_PTR>(ownerWindow))));
    INT_PTR childResult = 0, ownerResult = -2;
    ASSERT_TRUE(child.Wait(kEndMs, &childResult));
    ASSERT_TRUE(ownerThread.Wait(kEndMs, &ownerResult));
    EXPECT_EQ(-1, childResult);
    EXPECT_EQ(0, ownerResult);
}

TEST(DialogChildren, OwnerDeletedWhileChildStillOpenHandsTheChildItsOwnLife) {
    g_boxesDeleted = 0;
    Dialog* owner = new Dialog(nullptr);
    HANDLE ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DialogThread ownerThread([owner, ended] {
        INT_PTR r = owner->DoModal(IDD_QUESTION, nullptr);
        WaitForSingleObject(ended, kEndMs);
        delete owner;  // the child is still open: it must not be deleted under its feet
        return r;
    });
    HWND ownerWindow = WaitOwner();
    ASSERT_TRUE(ownerWindow);

    std::atomic<bool> adopted{false};
    DialogThread child([ownerWindow, &adopted] {
        CountingBox* box = new CountingBox(ownerWindow);
        adopted = box->HasOwnerDialog();
        return box->DoModal(IDD_QUESTION, ownerWindow);  // box belongs to the owner now
    });
    std::string out;
    ASSERT_EQ(0, Drive(L"wait-window --title-has " + Quoted(GetInstallerTitle()) + L" --has-id 1017 --pid " +
                       std::to_wstring(GetCurrentProcessId()), &out)) << out;
    EXPECT_TRUE(adopted);

    // The owner ends without a close (no WM_CLOSE, so children are not ended
    // by it), then its object is deleted while the child is open.
    EndDialog(ownerWindow, 5);
    INT_PTR ownerResult = 0, childResult = 0;
    SetEvent(ended);
    ASSERT_TRUE(ownerThread.Wait(kEndMs, &ownerResult));
    EXPECT_EQ(5, ownerResult);
    ASSERT_TRUE(child.Wait(kEndMs, &childResult));
    EXPECT_EQ(-1, childResult);
    EXPECT_EQ(1, g_boxesDeleted.load());  // deleted exactly once, by itself
    CloseHandle(ended);
}

TEST(DialogChildren, ChildCreatedWhileItsOwnerClosesEndsAsSoonAsItShows) {
    g_boxesDeleted = 0;
    Dialog* owner = new Dialog(nullptr);
    DialogThread ownerThread([owner] {
        INT_PTR r = owner->DoModal(IDD_QUESTION, nullptr);
        delete owner;
        return r;
    });
    HWND ownerWindow = WaitOwner();
    ASSERT_TRUE(ownerWindow);

    // A notification thread makes its message dialog just before the owner
    // closes, and shows it just after.
    HANDLE made = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DialogThread child([ownerWindow, made, go] {
        CountingBox* box = new CountingBox(ownerWindow);
        SetEvent(made);
        WaitForSingleObject(go, kEndMs);
        return box->DoModal(IDD_QUESTION, ownerWindow);
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(made, kEndMs));
    ASSERT_EQ(0, Drive(L"close --hwnd " + std::to_wstring(reinterpret_cast<ULONG_PTR>(ownerWindow))));
    INT_PTR ownerResult = -2, childResult = 0;
    ASSERT_TRUE(ownerThread.Wait(kEndMs, &ownerResult));
    EXPECT_EQ(0, ownerResult);
    SetEvent(go);
    ASSERT_TRUE(child.Wait(kEndMs, &childResult));
    EXPECT_EQ(-1, childResult);
    EXPECT_EQ(1, g_boxesDeleted.load());
    CloseHandle(made);
    CloseHandle(go);
}

// An owner whose close step has run but whose window still exists (its
// modal loop has not returned yet) holds there until a child has been made.
class LingeringOwner : public Dialog {
public:
    LingeringOwner(HANDLE closed, HANDLE childDone) : Dialog(nullptr), m_closed(closed), m_childDone(childDone) {}
    void HandleMessage(DialogMessage* msg) override {
        Dialog::HandleMessage(msg);
        if (msg->message == WM_CLOSE) {
            SetEvent(m_closed);
            WaitForSingleObject(m_childDone, kEndMs);
        }
    }

private:
    HANDLE m_closed;
    HANDLE m_childDone;
};

TEST(DialogChildren, ChildMadeAfterItsOwnerClosedEndsUnshown) {
    g_boxesDeleted = 0;
    HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE childDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Dialog* owner = new LingeringOwner(closed, childDone);
    DialogThread ownerThread([owner] {
        INT_PTR r = owner->DoModal(IDD_QUESTION, nullptr);
        delete owner;
        return r;
    });
    HWND ownerWindow = WaitOwner();
    ASSERT_TRUE(ownerWindow);
    PostMessageW(ownerWindow, WM_CLOSE, 0, 0);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(closed, kEndMs));
    ASSERT_TRUE(IsWindow(ownerWindow));

    std::atomic<bool> adopted{false};
    DialogThread child([ownerWindow, childDone, &adopted] {
        CountingBox* box = new CountingBox(ownerWindow);
        adopted = box->HasOwnerDialog();
        INT_PTR r = box->DoModal(IDD_QUESTION, ownerWindow);
        SetEvent(childDone);
        return r;
    });
    INT_PTR childResult = 0, ownerResult = -2;
    // Unfixed, the child shows and waits for an answer that never comes.
    EXPECT_TRUE(child.Wait(5000, &childResult));
    SetEvent(childDone);
    ASSERT_TRUE(ownerThread.Wait(kEndMs, &ownerResult));
    if (!child.Wait(0, &childResult)) {
        // Answer the stray box so that the thread ends.
        Drive(L"close " + MessageDialog(GetInstallerTitle()));
        ASSERT_TRUE(child.Wait(kEndMs, &childResult));
    }
    EXPECT_TRUE(adopted);
    EXPECT_EQ(-1, childResult);
    EXPECT_EQ(0, ownerResult);
    EXPECT_EQ(1, g_boxesDeleted.load());
    CloseHandle(closed);
    CloseHandle(childDone);
}

TEST(DialogChildren, MessageDialogWithoutOwnerDialogBelongsToNoList) {
    EXPECT_FALSE(MsgBox(nullptr, nullptr).HasOwnerDialog());
    HWND plain = CreateWindowExW(0, L"STATIC", L"not a dialog", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
    ASSERT_TRUE(plain);
    SetWindowLongPtrW(plain, GWLP_USERDATA, 0x1234);  // user data that is not a Dialog
    EXPECT_FALSE(MsgBox(nullptr, plain).HasOwnerDialog());
    DestroyWindow(plain);
}

// First show: OnShow runs once; 0 ends the dialog with -1.
class RefusingShow : public Dialog {
public:
    RefusingShow() : Dialog(nullptr) {}
    int OnShow(DialogMessage*) override {
        ++calls;
        return 0;
    }
    int calls = 0;
};

TEST(DialogFlow, ShowRefusedEndsWithMinusOneAndRunsOnce) {
    RefusingShow dlg;
    DialogThread shown([&dlg] { return dlg.DoModal(IDD_QUESTION, nullptr); });
    INT_PTR result = 0;
    ASSERT_TRUE(shown.Wait(kEndMs, &result));
    EXPECT_EQ(-1, result);
    EXPECT_EQ(1, dlg.calls);
    EXPECT_TRUE(dlg.GetWindow() != nullptr);  // the record of its window is kept
}

// OnClose 0 keeps the window; the next close goes through.
class RefuseFirstClose : public Dialog {
public:
    RefuseFirstClose() : Dialog(nullptr) {}
    int OnClose(DialogMessage* msg) override {
        msg->result = 42;
        return ++closes > 1;
    }
    std::atomic<int> closes{0};
};

TEST(DialogFlow, RefusedCloseKeepsTheWindowAndResultComesFromOnClose) {
    RefuseFirstClose dlg;
    DialogThread shown([&dlg] { return dlg.DoModal(IDD_QUESTION, nullptr); });
    HWND window = WaitOwner();
    ASSERT_TRUE(window);
    ASSERT_EQ(0, Drive(L"close " + OwnerDialog()));
    for (DWORD start = GetTickCount(); dlg.closes.load() < 1 && GetTickCount() - start < kEndMs;) Sleep(10);
    ASSERT_EQ(1, dlg.closes.load());
    INT_PTR result = 0;
    EXPECT_FALSE(shown.Wait(0, &result));
    EXPECT_TRUE(IsWindowVisible(window));
    ASSERT_EQ(0, Drive(L"close " + OwnerDialog()));
    ASSERT_TRUE(shown.Wait(kEndMs, &result));
    EXPECT_EQ(42, result);
}

TEST(DialogFlow, EscapeReachesTheDialogAsAKey) {
    // A plain Dialog has no Escape handling of its own beyond the framework's:
    // WM_KEYDOWN posts WM_CLOSE, so the end value is 0 and not IDCANCEL.
    Dialog dlg(nullptr);
    DialogThread shown([&dlg] { return dlg.DoModal(IDD_QUESTION, nullptr); });
    ASSERT_TRUE(WaitOwner());
    ASSERT_EQ(0, Drive(L"key --vk ESCAPE " + OwnerDialog()));
    INT_PTR result = -2;
    ASSERT_TRUE(shown.Wait(kEndMs, &result));
    EXPECT_EQ(0, result);
}

TEST(DialogFlow, BindsAtInitAndGivesTheClassTheProgramIcon) {
    Dialog dlg(nullptr);
    DialogThread shown([&dlg] { return dlg.DoModal(IDD_QUESTION, nullptr); });
    HWND window = WaitOwner();
    ASSERT_TRUE(window);
    EXPECT_EQ(&dlg, Dialog::FromWindow(window));
    EXPECT_EQ(window, dlg.GetWindow());
    HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP));
    ASSERT_TRUE(icon);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(icon), GetClassLongPtrW(window, GCLP_HICON));
    ASSERT_EQ(0, Drive(L"close " + OwnerDialog()));
    INT_PTR result = -2;
    ASSERT_TRUE(shown.Wait(kEndMs, &result));
    EXPECT_EQ(0, result);
    EXPECT_EQ(window, dlg.GetWindow());  // kept after the end
}

TEST(DialogFlow, MissingTemplateIsNotCreated) {
    Dialog dlg(nullptr);
    EXPECT_EQ(-1, dlg.DoModal(9999, nullptr));
    EXPECT_EQ(nullptr, dlg.GetWindow());
}

}  // namespace
