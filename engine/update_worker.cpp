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
#include "engine/version_check.h"
#include "support/file_io.h"
#include "support/paths.h"

namespace {

bool Exists(const std::wstring& path) { return _waccess(path.c_str(), 0) == 0; }

}  // namespace

unsigned __stdcall UpdateWorker(void* argument) {
    HWND dialog = static_cast<HWND>(argument);
    SetDlgItemTextW(dialog, IDC_STATUS, ShellMessageText(MSG_UPDATING));

    VersionCheckResult result;
    const std::wstring product = ExeRelativePath(PRODUCT_FILE_NAME);
    // What an ended run left staged was never put in place: it goes.
    const std::wstring staging = ExeRelativePath(STAGING_FILE_NAME);
    SetFileAttributesW(staging.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(staging.c_str());
    CheckVersion(result);

    // Shows the versions until the downloads write their own texts.
    const std::wstring startText =
        FormatVersionMessage(MSG_START_UPDATE, InstalledVersion, result.serverVersion);
    SetDlgItemTextW(dialog, IDC_STATUS, startText.c_str());

    std::wstring exeDirectory = DirectoryOf(nullptr);
    {
        DownloadQueue queue;
        const float version = static_cast<float>(result.serverVersion);
        if (FetchFileList(exeDirectory, queue, version, result.listMd5,
                          {result.lastVer, result.installedVersion})) {
            DownloadQueuedFiles(queue, exeDirectory, dialog, version);
        }
    }

    const bool due = result.status >= STATUS_NEW_BUILD || !Exists(product);
    if (due && !MainProgramIsCurrent(result.packageMd5)) {
        FetchMainProgram(dialog, result.serverBuild, result.serverVersion);
        ReplaceAndRestart(dialog);
    }

    EnableWindow(GetDlgItem(dialog, IDC_START), TRUE);

    if (Exists(product)) {
        exeDirectory = DirectoryOf(nullptr);
        const HINSTANCE started = ShellExecuteW(nullptr, L"open", product.c_str(), L"",
                                                exeDirectory.c_str(), SW_SHOWNORMAL);
        if (reinterpret_cast<INT_PTR>(started) > 32) ExitProcess(0);
    }
    return 0;
}
