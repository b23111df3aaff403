#include "app/install_directory.h"

#include <io.h>

#include <vector>

#include "support/fields.h"
#include "support/paths.h"

namespace {

constexpr wchar_t PROTECTED_LOCATION_MARKER[] = L"Program Files";
constexpr wchar_t PRODUCT_MAIN_PROGRAM[] = L"veldra.exe";
constexpr wchar_t DEFAULT_DIRECTORY[] = L"D:\\veldra\\";
constexpr wchar_t DRIVE_ORDER[] = L"DEFGCHI";
constexpr size_t MINIMUM_DEPTH = 3;

}  // namespace

std::wstring FindInstallDirectory(const std::wstring& exeDirectory,
                                  const std::function<bool(const std::wstring&)>& pathExists) {
    if (exeDirectory.find(PROTECTED_LOCATION_MARKER) != std::wstring::npos) return exeDirectory;
    const std::wstring mainProgram = JoinPath(exeDirectory, PRODUCT_MAIN_PROGRAM);
    if (!mainProgram.empty() && pathExists(mainProgram)) return exeDirectory;

    std::vector<std::wstring> fields;
    if (SplitFields(exeDirectory, fields, L"\\") < MINIMUM_DEPTH) return exeDirectory;

    std::wstring proposal = DEFAULT_DIRECTORY;
    for (const wchar_t* drive = DRIVE_ORDER; *drive != L'\0'; ++drive) {
        const std::wstring root = std::wstring(1, *drive) + L":\\";
        if (pathExists(root)) {
            proposal[0] = *drive;
            break;
        }
    }
    return proposal;
}

std::wstring FindInstallDirectory() {
    return FindInstallDirectory(DirectoryOf(nullptr), [](const std::wstring& path) {
        return _waccess(path.c_str(), 0) == 0;
    });
}
