// The updater's entry: installed version, then the main dialog.
#include <windows.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "app/main_dialog.h"
#include "engine/download.h"
#include "engine/file_downloads.h"
#include "support/shell_texts.h"
#include "support/encoding.h"
#include "support/map_txt_file.h"
#include "support/paths.h"

namespace {

constexpr wchar_t UNKNOWN_VERSION[] = L"未知";

void ReadInstalledVersion() {
    // Released at once: a settings file that an update brings must not be
    // written over with the values read here when the dialog closes.
    const CMapTxtFileA settings(ExeRelativePath(L"config/config.ini"));
    const std::string ver = settings.GetValue("ver");
    InstalledVersion = ver.empty() ? std::wstring(UNKNOWN_VERSION) : AnsiToWide(ver);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    AllowParallelFetches(FETCH_WORKERS);
    ReadInstalledVersion();

    HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(IDD_MAIN), RT_DIALOG);
    if (found == nullptr) return 0;
    HGLOBAL loaded = LoadResource(instance, found);
    const DWORD size = SizeofResource(instance, found);
    const void* original = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (original == nullptr || size == 0) return 0;

    // The template is run from a heap copy of its own.
    std::unique_ptr<unsigned char[]> copy(new (std::nothrow) unsigned char[size]);
    if (!copy) return 0;
    std::memcpy(copy.get(), original, size);
    DialogBoxIndirectParamW(instance, reinterpret_cast<LPCDLGTEMPLATEW>(copy.get()), nullptr,
                            MainDialogProc, 0);
    // An update may still run on its worker thread: the process ends here,
    // before exit-time destructors free the values that the worker reads.
    ExitProcess(0);
}
