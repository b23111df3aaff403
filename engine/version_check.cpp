#include "engine/version_check.h"

#include <io.h>
#include <json/json.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/shell_texts.h"
#include "engine/download.h"
#include "engine/server_endpoints.h"
#include "engine/version_numbers.h"
#include "support/fields.h"
#include "support/map_txt_file.h"
#include "support/md5.h"
#include "support/paths.h"

namespace {

struct InstalledRelease {
    double version = 0.0;
    int32_t build = 0;
};

// "major.minor.build", the minor counting hundredths; any other shape is 0.0 build 0.
InstalledRelease ParseInstalledVersion(const std::string& text) {
    InstalledRelease release;
    std::vector<std::string> pieces;
    if (SplitFields(text, pieces, ".") != 3) return release;
    release.version = std::atof(pieces[0].c_str()) + std::atof(pieces[1].c_str()) / 100.0;
    release.build = static_cast<int32_t>(std::strtol(pieces[2].c_str(), nullptr, 10));
    return release;
}

// asInt() throws on anything but null, bool or an in-range number, and
// asString() on arrays and objects: refuse such replies before reading them.
bool HasUsableShape(const Json::Value& root) {
    if (!root.isObject()) return false;
    for (const char* key : {"status", "lastVer"}) {
        const Json::Value& member = root[key];
        if (!member.isNull() && !member.isInt()) return false;
    }
    for (const char* key : {"newmd5", "skinmd5"}) {
        const Json::Value& member = root[key];
        if (!member.isNull() && !member.isString()) return false;
    }
    return true;
}

// The service sends the version times 1000 or times 100; the quotient is single precision.
void StoreServerVersion(int v, VersionCheckResult& result) {
    float serverVersion = 0.0f;
    if (ServerVersionFromLastVer(v, serverVersion)) {
        result.serverVersion = static_cast<double>(serverVersion);
    }
}

}  // namespace

void CheckVersion(VersionCheckResult& result) {
    CMapTxtFileA config(ExeRelativePath(L"config/config.ini"));
    const InstalledRelease installed = ParseInstalledVersion(config.GetValue("ver"));

    const std::string url = std::string("http://") + VersionServiceHost() + VERSION_SERVICE_PATH +
                            (SystemUsesChinese() ? "1" : "0");
    std::string reply;
    DownloadToMemory(url, reply);

    Json::Reader reader;
    Json::Value root;
    if (!reader.parse(reply, root)) return;
    if (!HasUsableShape(root)) return;

    result.status = root["status"].asInt();
    StoreServerVersion(root["lastVer"].asInt(), result);
    result.packageMd5 = root["newmd5"].asString();
    result.listMd5 = root["skinmd5"].asString();

    if (result.status == STATUS_FORCED) return;
    if (result.serverVersion > installed.version) {
        result.status = STATUS_NEW_VERSION;
    } else if (result.serverVersion == installed.version && result.serverBuild > installed.build) {
        result.status = STATUS_NEW_BUILD;
    } else if (result.listMd5.empty()) {
        result.status = STATUS_UP_TO_DATE;
    } else {
        const std::wstring listPath = ExeRelativePath(L"comm\\file.lst");
        const std::string localMd5 =
            _waccess(listPath.c_str(), 0) == 0 ? Md5OfFile(listPath) : std::string();
        result.status = result.listMd5 == localMd5 ? STATUS_UP_TO_DATE : STATUS_LIST_CHANGED;
    }
}
