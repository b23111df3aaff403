#include "engine/server_endpoints.h"

#include "engine/server_hosts.h"

namespace {

// Set once from the compiled-in host; only tests replace it.
std::wstring& BaseUrlStorage() {
    static std::wstring url = std::wstring(L"https://") + DOWNLOAD_SERVER_HOST;
    return url;
}

std::string& VersionHostStorage() {
    static std::string host = VERSION_SERVICE_HOST;
    return host;
}

}  // namespace

const std::wstring& DownloadBaseUrl() { return BaseUrlStorage(); }

const std::string& VersionServiceHost() { return VersionHostStorage(); }

void SetDownloadBaseUrlForTesting(const std::wstring& baseUrl) { BaseUrlStorage() = baseUrl; }

void SetVersionServiceHostForTesting(const std::string& host) { VersionHostStorage() = host; }
