// The real updater in a fresh product folder, its dialog found and driven by
// messages. No version service listens on the compiled-in loopback port.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/shell_texts.h"
#include "tests/http_test_server.h"
#include "tests/test_support.h"
#include "tools/ui_driver/dialog_access.h"

namespace {

constexpr DWORD DIALOG_TIMEOUT_MS = 30000;

bool ChineseSystem() { return PRIMARYLANGID(GetSystemDefaultLangID()) == LANG_CHINESE; }

struct Updater {
    PROCESS_INFORMATION process{};
    HWND dialog = nullptr;

    ~Updater() {
        if (process.hProcess == nullptr) return;
        if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process.hProcess, 99);
            WaitForSingleObject(process.hProcess, 10000);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }

    // Exit code once ended within the bound; STILL_ACTIVE otherwise.
    DWORD WaitExit() const {
        if (WaitForSingleObject(process.hProcess, DIALOG_TIMEOUT_MS) != WAIT_OBJECT_0) {
            return STILL_ACTIVE;
        }
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(process.hProcess, &code);
        return code;
    }
};

// A product folder holding the updater and, when given, config/config.ini.
std::wstring ProductFolder(const std::wstring& label, const std::string* config) {
    const std::wstring folder = MakeTempDir(label);
    EXPECT_TRUE(CopyFileW((BinDir() + L"veldraupdate_e2e.exe").c_str(),
                          (folder + L"veldraupdate.exe").c_str(), FALSE));
    if (config != nullptr) {
        CreateDirectoryW((folder + L"config").c_str(), nullptr);
        EXPECT_TRUE(WriteBytes(folder + L"config\\config.ini", *config));
    }
    return folder;
}

void Start(Updater& updater, const std::wstring& folder) {
    std::wstring commandLine = L"\"" + folder + L"veldraupdate.exe\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    // Seen once on a loaded machine: Wine failing to start a process at all.
    DWORD error = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                           folder.c_str(), &startup, &updater.process)) {
            error = 0;
            break;
        }
        error = GetLastError();
        Sleep(500);
    }
    ASSERT_EQ(error, 0u) << "the updater did not start";
    updater.dialog = WaitForMainDialog(updater.process.dwProcessId, DIALOG_TIMEOUT_MS);
    ASSERT_NE(updater.dialog, nullptr);
}

std::wstring ExpectedCaption(const std::wstring& installed) {
    if (ChineseSystem()) {
        return L"Veldra图纸升级工具v1.31 本地版本: " + installed + L", 服务器版本:0.00";
    }
    return L"Veldra auto update tools v1.31, location version " + installed +
           L". Latest version 0.00";
}

TEST(MainDialog, CaptionShowsInstalledVersionAndNoServerVersion) {
    const std::string config = "ver=1.31.5\r\n";
    const std::wstring folder = ProductFolder(L"dialog-caption", &config);
    Updater updater;
    Start(updater, folder);
    EXPECT_EQ(WindowText(updater.dialog), ExpectedCaption(L"1.31.5"));
    // A settings file that changes while the dialog is open (an update brought
    // it) is not written over when the dialog closes.
    const std::string brought = "ver=1.32.0\r\nz=1\r\n";
    ASSERT_TRUE(WriteBytes(folder + L"config\\config.ini", brought));
    PostMessageW(updater.dialog, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(updater.WaitExit(), 0u);
    EXPECT_EQ(ReadBytes(folder + L"config\\config.ini"), brought);
}

TEST(MainDialog, MissingSettingsOrEmptyVersionReadAsUnknown) {
    const std::string emptyVersion = "ver=\r\nother=1\r\n";
    for (const std::string* config : {static_cast<const std::string*>(nullptr), &emptyVersion}) {
        const std::wstring folder = ProductFolder(L"dialog-unknown", config);
        Updater updater;
        Start(updater, folder);
        EXPECT_EQ(WindowText(updater.dialog), ExpectedCaption(L"未知"));
        PostMessageW(updater.dialog, WM_COMMAND, IDCANCEL, 0);
        EXPECT_EQ(updater.WaitExit(), 0u);
    }
}

TEST(MainDialog, TemplateOfTheSystemLanguage) {
    const std::wstring folder = ProductFolder(L"dialog-template", nullptr);
    Updater updater;
    Start(updater, folder);
    const std::vector<int> ids = ChildIds(updater.dialog);
    if (ChineseSystem()) {
        EXPECT_EQ(ids, (std::vector<int>{1003, 1004, 1002, 1012, 1, 1174, -1}));
        EXPECT_EQ(ControlText(updater.dialog, IDC_START), L"开始升级");
        EXPECT_EQ(ControlText(updater.dialog, IDC_DOWNLOAD_PACKAGE), L"下载整包");
        EXPECT_EQ(ControlText(updater.dialog, IDOK), L"退出升级");
    } else {
        EXPECT_EQ(ids, (std::vector<int>{1003, 1002, 1004, 1, 1174, 1012, -1}));
        EXPECT_EQ(ControlText(updater.dialog, IDC_START), L"Start Update");
        EXPECT_EQ(ControlText(updater.dialog, IDC_DOWNLOAD_PACKAGE), L"Download package");
        EXPECT_EQ(ControlText(updater.dialog, IDOK), L"Exit");
    }
    EXPECT_EQ(ControlText(updater.dialog, IDC_BROWSE), L"...");
    EXPECT_EQ(ControlText(updater.dialog, IDC_STATUS), L"");
    // Deep in the prefix's temp folder, without veldra.exe: the default
    // folder on the first drive there is (the prefix has C: and Z:).
    EXPECT_EQ(ControlText(updater.dialog, IDC_PATH), L"C:\\veldra\\");
    PostMessageW(updater.dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(updater.WaitExit(), 0u);
}

TEST(MainDialog, ExitButtonDisabledUntilStartAndEscapeEnds) {
    const std::wstring folder = ProductFolder(L"dialog-exit", nullptr);
    Updater updater;
    Start(updater, folder);
    EXPECT_TRUE(ControlEnabled(updater.dialog, IDC_START));
    EXPECT_FALSE(ControlEnabled(updater.dialog, IDOK));
    // Esc reaches the dialog as IDCANCEL through its message loop.
    HWND start = GetDlgItem(updater.dialog, IDC_START);
    PostMessageW(start, WM_KEYDOWN, VK_ESCAPE, 0);
    PostMessageW(start, WM_KEYUP, VK_ESCAPE, 0);
    EXPECT_EQ(updater.WaitExit(), 0u);
}

TEST(MainDialog, CentredOnTheDesktop) {
    const std::wstring folder = ProductFolder(L"dialog-centre", nullptr);
    Updater updater;
    Start(updater, folder);
    RECT desktop{};
    RECT dialog{};
    GetWindowRect(GetDesktopWindow(), &desktop);
    GetWindowRect(updater.dialog, &dialog);
    const LONG width = dialog.right - dialog.left;
    const LONG height = dialog.bottom - dialog.top;
    EXPECT_EQ(dialog.left, desktop.left + (desktop.right - desktop.left - width) / 2);
    EXPECT_EQ(dialog.top, desktop.top + (desktop.bottom - desktop.top - height) / 2);
    PostMessageW(updater.dialog, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(updater.WaitExit(), 0u);
}

TEST(MainDialog, CancelledFolderPickerLeavesThePathBox) {
    const std::wstring folder = ProductFolder(L"dialog-browse", nullptr);
    Updater updater;
    Start(updater, folder);
    const std::wstring before = ControlText(updater.dialog, IDC_PATH);
    PressButton(updater.dialog, IDC_BROWSE);
    HWND picker = nullptr;
    ASSERT_TRUE(WaitUntil(
        [&] { return (picker = FindMessageBox(updater.process.dwProcessId, L"")) != nullptr; },
        DIALOG_TIMEOUT_MS));
    // The picker is owned by the dialog, which waits for it.
    EXPECT_EQ(GetWindow(picker, GW_OWNER), updater.dialog);
    PostMessageW(picker, WM_COMMAND, IDCANCEL, 0);
    ASSERT_TRUE(
        WaitUntil([&] { return FindMessageBox(updater.process.dwProcessId, L"") == nullptr; },
                  DIALOG_TIMEOUT_MS));
    EXPECT_EQ(ControlText(updater.dialog, IDC_PATH), before);
    PostMessageW(updater.dialog, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(updater.WaitExit(), 0u);
}

TEST(MainDialog, StartIsDisabledWhileARunWorksAndComesBackWhenNothingCanBeStarted) {
    // The version service answers the dialog, then holds the run's own check.
    HttpTestServer service;
    ASSERT_TRUE(service.Start(E2E_VERSION_PORT));
    const std::string path =
        ChineseSystem() ? "/index3.php/Ver2Control/0/0/1" : "/index3.php/Ver2Control/0/0/0";
    service.AddRoute(path, 200, R"({"status":0,"lastVer":132})");
    const std::string config = "ver=1.31.5\r\n";
    const std::wstring folder = ProductFolder(L"dialog-start", &config);
    Updater updater;
    Start(updater, folder);
    HttpTestResponse held;
    held.behaviour = HttpTestResponse::Stall;
    held.stallMs = 8000;
    service.AddRoute(path, held);

    PressButton(updater.dialog, IDC_START);
    ASSERT_TRUE(WaitUntil([&] { return service.requestCount(path) == 2; }, DIALOG_TIMEOUT_MS));
    EXPECT_EQ(ControlText(updater.dialog, IDC_STATUS),
              ChineseSystem() ? L"正在更新中, 请稍等..." : L"Updating, Please wait...");
    EXPECT_FALSE(ControlEnabled(updater.dialog, IDC_START));
    EXPECT_TRUE(ControlEnabled(updater.dialog, IDOK));
    // A click that still reaches the disabled button starts no second run.
    PressButton(updater.dialog, IDC_START);
    Sleep(1000);
    EXPECT_EQ(service.requestCount(path), 2u);
    // No veldra.exe and nothing to fetch: the run ends in the dialog, the start
    // button back.
    EXPECT_TRUE(WaitUntil([&] { return ControlEnabled(updater.dialog, IDC_START); }, 60000));
    EXPECT_EQ(WaitForSingleObject(updater.process.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(FileExists(folder + L"veldra.exe"));
    // The exit button now ends the dialog.
    PressButton(updater.dialog, IDOK);
    EXPECT_EQ(updater.WaitExit(), 0u);
    EXPECT_EQ(ReadBytes(folder + L"config\\config.ini"), config);
}

}  // namespace
