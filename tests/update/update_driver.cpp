// Runs one engine operation from inside a product folder, since the engine
// finds its files beside the running executable. Prints what it observed.
//   update_driver check-version HOST
//   update_driver fetch-main BASEURL BUILD VERSION
//   update_driver read-record
//   update_driver replace
//   update_driver worker HOST BASEURL
#include <windows.h>
#include <process.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/main_program.h"
#include "engine/replacement.h"
#include "engine/server_endpoints.h"
#include "engine/update_worker.h"
#include "engine/version_check.h"
#include "support/shell_texts.h"
#include "support/encoding.h"
#include "support/map_txt_file.h"
#include "support/paths.h"
#include "support/unique_handle.h"

namespace {

// Exit code of a driver that returned normally (the engine ends it with 0).
constexpr int RETURNED = 3;
constexpr int USAGE = 2;
constexpr DWORD WORKER_LIMIT_MS = 120000;

std::wstring Widen(const char* text) { return std::wstring(text, text + std::strlen(text)); }

// A real top-level window standing in for the main dialog, with the two
// controls the engine addresses; the start button is disabled as after a press.
HWND CreateOwnerWindow() {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"VeldraDriverOwner";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"driver", WS_OVERLAPPEDWINDOW, 50,
                                  50, 400, 200, nullptr, nullptr, windowClass.hInstance, nullptr);
    CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 10, 10, 360, 20, window,
                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_STATUS)),
                    windowClass.hInstance, nullptr);
    HWND start = CreateWindowExW(
        0, L"BUTTON", L"start", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 10, 40, 80, 24, window,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_START)), windowClass.hInstance, nullptr);
    EnableWindow(start, FALSE);
    ShowWindow(window, SW_SHOWNORMAL);
    return window;
}

int CheckVersionCommand(const char* host) {
    SetVersionServiceHostForTesting(host);
    VersionCheckResult result;
    CheckVersion(result);
    std::printf("status=%d serverVersion=%.17g serverBuild=%d listMd5=[%s] packageMd5=[%s]\n",
                static_cast<int>(result.status), result.serverVersion,
                static_cast<int>(result.serverBuild), result.listMd5.c_str(),
                result.packageMd5.c_str());
    return RETURNED;
}

int FetchMainCommand(const char* baseUrl, const char* build, const char* version) {
    SetDownloadBaseUrlForTesting(Widen(baseUrl));
    HWND window = CreateOwnerWindow();
    FetchMainProgram(window, static_cast<int32_t>(std::atoi(build)), std::atof(version));
    char title[256] = {};
    GetWindowTextA(window, title, sizeof(title));
    std::printf("title=%s\n", title);
    return RETURNED;
}

int ReadRecordCommand() {
    const std::optional<PendingRecord> record = ReadPendingRecord();
    if (!record) {
        std::printf("record=none\n");
    } else {
        std::printf("record version=%.17g build=%d tag=%s\n", record->version,
                    static_cast<int>(record->build), record->tag.c_str());
    }
    return RETURNED;
}

int ReplaceCommand() {
    HWND window = CreateOwnerWindow();
    const int result = ReplaceAndRestart(window);
    std::printf("replace=%d\n", result);
    return RETURNED;
}

int WorkerCommand(const char* host, const char* baseUrl) {
    // As the entry point does before the dialog exists.
    InstalledVersion =
        AnsiToWide(CMapTxtFileA(ExeRelativePath(L"config/config.ini")).GetValue("ver"));
    SetVersionServiceHostForTesting(host);
    SetDownloadBaseUrlForTesting(Widen(baseUrl));
    HWND window = CreateOwnerWindow();
    std::fflush(stdout);
    UniqueHandle thread(
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, UpdateWorker, window, 0, nullptr)));
    if (!thread.valid()) return USAGE;
    HANDLE threadHandle = thread.get();
    // The worker's window calls are carried out by this thread's message loop.
    const DWORD deadline = GetTickCount() + WORKER_LIMIT_MS;
    bool ended = false;
    while (!ended && static_cast<LONG>(deadline - GetTickCount()) > 0) {
        const DWORD wait = MsgWaitForMultipleObjects(1, &threadHandle, FALSE,
                                                     deadline - GetTickCount(), QS_ALLINPUT);
        if (wait == WAIT_OBJECT_0) ended = true;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    wchar_t status[256] = {};
    GetDlgItemTextW(window, IDC_STATUS, status, 256);
    std::printf("worker-ended=%d start-enabled=%d\nstatus=%s\n", ended ? 1 : 0,
                IsWindowEnabled(GetDlgItem(window, IDC_START)) ? 1 : 0,
                WideToUtf8Paired(status).c_str());
    return RETURNED;
}

int Run(int argc, char** argv) {
    if (argc < 2) return USAGE;
    const std::string command = argv[1];
    if (command == "check-version" && argc == 3) return CheckVersionCommand(argv[2]);
    if (command == "fetch-main" && argc == 5) return FetchMainCommand(argv[2], argv[3], argv[4]);
    if (command == "read-record") return ReadRecordCommand();
    if (command == "replace") return ReplaceCommand();
    if (command == "worker" && argc == 4) return WorkerCommand(argv[2], argv[3]);
    return USAGE;
}

}  // namespace

int main(int argc, char** argv) {
    const int code = Run(argc, argv);
    std::fflush(stdout);
    return code;
}
