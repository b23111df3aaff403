#include "engine/replacement.h"

#include <io.h>
#include <shellapi.h>

#include <string>

#include "engine/main_program.h"
#include "support/file_io.h"
#include "support/paths.h"
#include "support/unique_handle.h"

namespace {

constexpr wchar_t LOCKED_TEXT_FORMAT[] =
    L"杀软拦截或者图纸已经被打开无法替换: %s, \r\n 终止后按Y继续，按N取消更新";
constexpr wchar_t LOCKED_CAPTION[] = L"Veldra更新程序!";

bool Exists(const std::wstring& path) { return _waccess(path.c_str(), 0) == 0; }

// Opening for writing tells whether the product is in use, without touching its bytes.
bool ProductWritable(const std::wstring& product) {
    SetFileAttributesW(product.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!Exists(product)) return true;
    UniqueHandle probe(CreateFileW(product.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return probe.valid();
}

// False when the user gives up on a locked product.
bool WaitUntilWritable(HWND dialog, const std::wstring& product) {
    while (!ProductWritable(product)) {
        wchar_t text[256] = {};
        _snwprintf_s(text, 256, _TRUNCATE, LOCKED_TEXT_FORMAT, product.c_str());
        if (MessageBoxW(dialog, text, LOCKED_CAPTION, MB_YESNO | MB_ICONINFORMATION) == IDNO) {
            return false;
        }
    }
    return true;
}

// One rename over the old program: whatever ends the process meanwhile, the
// product folder holds either the old program or the new one.
bool SwapIn(const std::wstring& pending, const std::wstring& product) {
    return MoveFileExW(pending.c_str(), product.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

unsigned long long SizeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Whole-file comparison; false when either cannot be read.
bool SameBytes(const std::wstring& first, const std::wstring& second) {
    if (SizeOf(first) != SizeOf(second)) return false;
    std::string a;
    std::string b;
    return ReadWholeFile(first, a) > 0 && ReadWholeFile(second, b) > 0 && a == b;
}

}  // namespace

int ReplaceAndRestart(HWND dialog) {
    const std::wstring product = ExeRelativePath(PRODUCT_FILE_NAME);
    const std::wstring pending = ExeRelativePath(PENDING_FILE_NAME);
    if (!Exists(pending)) return REPLACE_NO_PENDING_FILE;
    if (!ReadPendingRecord()) return REPLACE_INVALID_RECORD;
    // The program fetched again is the one in place: nothing to swap, nobody
    // to ask to close the product.
    if (SameBytes(pending, product)) {
        DeleteFileW(pending.c_str());
        DeleteFileW(MarkerPath(pending).c_str());
        return REPLACE_ALREADY_CURRENT;
    }
    Sleep(10);

    if (!WaitUntilWritable(dialog, product)) return REPLACE_DECLINED;
    if (!SwapIn(pending, product)) return REPLACE_MOVE_FAILED;
    DeleteFileW(MarkerPath(pending).c_str());

    const std::wstring exeDirectory = DirectoryOf(nullptr);
    const HINSTANCE started =
        ShellExecuteW(nullptr, L"open", product.c_str(), L"", exeDirectory.c_str(), SW_SHOWNORMAL);
    if (reinterpret_cast<INT_PTR>(started) > 32) ExitProcess(0);
    return REPLACE_START_FAILED;
}
