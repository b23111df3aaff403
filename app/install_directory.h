// The install directory proposed in the main dialog's path box.
#pragma once

#include <functional>
#include <string>

// For the running executable, testing the file system with _waccess.
std::wstring FindInstallDirectory();

// The same rule for an executable directory (with its trailing "\"); pathExists
// answers both the "veldra.exe" test and the drive-root tests.
std::wstring FindInstallDirectory(const std::wstring& exeDirectory,
                                  const std::function<bool(const std::wstring&)>& pathExists);
