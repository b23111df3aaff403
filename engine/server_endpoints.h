// What the updater asks of its two servers.
#pragma once

#include <string>

// Version service, plain http: path followed by "1" (Chinese) or "0".
constexpr char VERSION_SERVICE_PATH[] = "/index3.php/Ver2Control/0/0/";

// Download server, https: every path is appended to the download base URL.
constexpr wchar_t UPDATE_PATH_PREFIX[] = L"/update/";
constexpr wchar_t FILE_LIST_PATH_FORMAT[] = L"%s%.1f/comm/file.lst";  // prefix, version directory
constexpr wchar_t PRODUCT_FILE_PATH_FORMAT[] = L"%s%.1f/";            // prefix, version directory
constexpr char MAIN_PROGRAM_PATH_FORMAT[] = "/update/%.1f/%s.exe";    // major version, name
constexpr char MAIN_PROGRAM_NAME[] = "veldra";
constexpr wchar_t PACKAGE_PATH[] = L"/update/last/veldrazip.exe";

// "https://" + the compiled-in download server host, no trailing "/".
const std::wstring& DownloadBaseUrl();
// The compiled-in version service host, with an optional ":port".
const std::string& VersionServiceHost();

// Test-only seams: point the process at a loopback server. Product code never
// calls these.
void SetDownloadBaseUrlForTesting(const std::wstring& baseUrl);
void SetVersionServiceHostForTesting(const std::string& host);
