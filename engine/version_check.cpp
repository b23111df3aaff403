#include "engine/version_check.h"

#include <io.h>
#include <json/json.h>

#include <climits>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "support/shell_texts.h"
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

// The service sends the version times 1000 or times 100; the quotient is single precision.
void StoreServerVersion(int v, VersionCheckResult& result) {
    float serverVersion = 0.0f;
    if (ServerVersionFromLastVer(v, serverVersion)) {
        result.serverVersion = static_cast<double>(serverVersion);
    }
}

// What Json::Value::asInt() converts: null, booleans and numbers inside the
// 32-bit range (a real number is cut toward zero).
bool ConvertsToInt(const Json::Value& value) {
    if (value.isNull() || value.isBool()) return true;
    if (!value.isNumeric()) return false;
    const double number = value.asDouble();
    return number >= INT_MIN && number <= INT_MAX;
}

// A reply whose members cannot be read as integers and texts is unusable.
bool HasUsableShape(const Json::Value& root) {
    if (!root.isObject()) return false;
    for (const char* key : {"status", "lastVer"}) {
        if (!ConvertsToInt(root[key])) return false;
    }
    for (const char* key : {"newmd5", "skinmd5"}) {
        const Json::Value& member = root[key];
        if (!member.isNull() && !member.isString()) return false;
    }
    return true;
}

// The reply's four values, or false when the reply is unusable. The library
// throws on some documents (nesting deeper than its limit); any such reply is
// unusable too, whatever the server meant.
bool ReadReply(const std::string& reply, VersionCheckResult& read) {
    try {
        Json::Reader reader;
        Json::Value root;
        if (!reader.parse(reply, root) || !HasUsableShape(root)) return false;
        read.status = root["status"].asInt();
        read.lastVer = root["lastVer"].asInt();
        StoreServerVersion(read.lastVer, read);
        read.packageMd5 = root["newmd5"].asString();
        read.listMd5 = root["skinmd5"].asString();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

void ApplyVersionReply(const std::string& reply, const std::string& installedVersion,
                       VersionCheckResult& result) {
    VersionCheckResult read = result;
    if (!ReadReply(reply, read)) return;
    result = read;
    result.installedVersion = installedVersion;

    const InstalledRelease installed = ParseInstalledVersion(installedVersion);
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

void CheckVersion(VersionCheckResult& result) {
    const CMapTxtFileA config(ExeRelativePath(L"config/config.ini"));

    const std::string url = std::string("http://") + VersionServiceHost() + VERSION_SERVICE_PATH +
                            (SystemUsesChinese() ? "1" : "0");
    std::string reply;
    DownloadToMemory(url, reply, VERSION_REPLY_LIMIT);
    ApplyVersionReply(reply, config.GetValue("ver"), result);
}
