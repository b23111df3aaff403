#include "engine/update_worker.h"

#include <windows.h>
#include <io.h>
#include <shellapi.h>

#include <string>

#include "support/shell_texts.h"
#include "engine/file_downloads.h"
#include "engine/file_list.h"
#include "engine/main_program.h"
#include "engine/replacement.h"
#include "engine/run_lock.h"
#include "engine/version_check.h"
#include "engine/download.h"
#include "support/debug_trace.h"
#include "support/file_io.h"
#include "support/owned_files.h"
#include "support/paths.h"

namespace {

constexpr DWORD TEMP_PATH_CHARS = 256;

bool Exists(const std::wstring& path) { return _waccess(path.c_str(), 0) == 0; }

// Whatever a step throws (a hostile reply, too little memory) fails that step
// alone: the run goes on as after any failed step, and the product is started.
template <typename Step>
void RunStep(const char* name, Step step) {
    try {
        step();
    } catch (...) {
        DebugTrace("update step %s failed: an exception\n", name);
    }
}

// What an ended run left was never put in place: it goes. A live process's
// files are never touched.
void RemoveEndedRunsFiles(const std::wstring& exeDirectory) {
    const std::wstring oldStaging = JoinPath(exeDirectory, STAGING_FILE_NAME);
    SetFileAttributesW(oldStaging.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(oldStaging.c_str());
    // Where the pending program and the list are staged; the list's own
    // folders are cleared as the scan reaches them.
    RemoveLeftovers(exeDirectory, STAGING_PREFIX, STAGING_SUFFIX);
    RemoveLeftovers(JoinPath(exeDirectory, L"comm"), STAGING_PREFIX, STAGING_SUFFIX);
    wchar_t tempDir[TEMP_PATH_CHARS] = {};
    if (GetTempPathW(TEMP_PATH_CHARS, tempDir) > 0) RemoveEndedFetches(tempDir);
}

void RunUpdate(HWND dialog) {
    std::wstring exeDirectory = DirectoryOf(nullptr);
    const std::wstring product = ExeRelativePath(PRODUCT_FILE_NAME);
    // Held to the end of the run, the main program's swap included; a second
    // updater on this folder waits here with its status text as it is.
    RunLock lock(exeDirectory);
    RemoveEndedRunsFiles(exeDirectory);

    VersionCheckResult result;
    RunStep("version check", [&] { CheckVersion(result); });

    // Shows the versions until the downloads write their own texts.
    const std::wstring startText =
        FormatVersionMessage(MSG_START_UPDATE, InstalledVersion, result.serverVersion);
    SetDlgItemTextW(dialog, IDC_STATUS, startText.c_str());

    RunStep("files", [&] {
        DownloadQueue queue;
        const float version = static_cast<float>(result.serverVersion);
        if (FetchFileList(exeDirectory, queue, version, result.listMd5,
                          {result.lastVer, result.installedVersion})) {
            DownloadQueuedFiles(queue, exeDirectory, dialog, version);
        }
    });

    const bool due = result.status >= STATUS_NEW_BUILD || !Exists(product);
    RunStep("main program", [&] {
        if (due && !MainProgramIsCurrent(result.packageMd5)) {
            FetchMainProgram(dialog, result.serverBuild, result.serverVersion);
            ReplaceAndRestart(dialog);
        }
    });
}

}  // namespace

unsigned __stdcall UpdateWorker(void* argument) {
    HWND dialog = static_cast<HWND>(argument);
    SetDlgItemTextW(dialog, IDC_STATUS, ShellMessageText(MSG_UPDATING));

    RunUpdate(dialog);

    EnableWindow(GetDlgItem(dialog, IDC_START), TRUE);

    const std::wstring product = ExeRelativePath(PRODUCT_FILE_NAME);
    if (Exists(product)) {
        const std::wstring exeDirectory = DirectoryOf(nullptr);
        const HINSTANCE started = ShellExecuteW(nullptr, L"open", product.c_str(), L"",
                                                exeDirectory.c_str(), SW_SHOWNORMAL);
        if (reinterpret_cast<INT_PTR>(started) > 32) ExitProcess(0);
    }
    return 0;
}
