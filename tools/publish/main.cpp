// veldra-publish: writes a release for the download server and the version service.
#include <filesystem>
#include <string>
#include <vector>

#include "tools/publish/publish.h"
#include "tools/publish/publish_scan.h"
#include "tools/publish/publish_platform.h"
#include "tools/publish/publish_statement.h"

namespace {

constexpr char USAGE[] =
    "usage: veldra-publish <release-folder> <X.Y.Z> <output-folder> [--package FILE] [--force] "
    "[--replace] [--rollback] [--sign KEY [--expires-in DAYS]] [--no-delta] "
    "[--delta-from FOLDER]... [--jobs N] [--pkcs12 PATH]...\n"
    "       veldra-publish resign <output-folder> --sign KEY [--expires-in DAYS]\n"
    "       veldra-publish keygen <private-key-file> <public-key-file>\n"
    "       veldra-publish recover <output-folder>\n"
    "  writes update/<version directory>/... with comm/file.lst, update/<major>.0/veldra.exe,\n"
    "  optionally update/last/veldrazip.exe, and the replies index3.php/Ver2Control/0/0/0 and /1\n"
    "  --force    the replies announce a forced update (status 3432)\n"
    "  --replace  replace another version that shares the version directory\n"
    "  --rollback publish a version below the one the replies announce\n"
    "  --sign KEY sign comm/file.lst and veldra.exe with the private key file KEY (ECDSA P-256,\n"
    "             SHA-256): file.lst.sig and veldra.exe.sig beside them, and write the\n"
    "             release statement comm/release.txt (and .sig) with comm/file.sha256\n"
    "  --expires-in DAYS\n"
    "             the statement expires DAYS days after it is issued (default: never)\n"
    "  resign     issue the statement of the announced version again, now, with a new expiry\n"
    "  --no-delta no patches: every changed file is fetched whole\n"
    "  --delta-from FOLDER\n"
    "             also make patches from the release in FOLDER (repeatable); patches are\n"
    "             made from the version directory replaced, the newest others and the\n"
    "             releases kept in .earlier-releases, into update/<dir>/comm/delta\n"
    "  --jobs N   make at most N patches at once (default: one per processor, fewer when\n"
    "             memory is short); the patches are the same bytes whatever N is\n"
    "  --pkcs12 PATH\n"
    "             the release file PATH (below the release folder) is a PKCS#12 container\n"
    "             that is meant to be published; any other one is refused as a key container\n"
    "  recover    bring an output folder whose publish ended half-way to a consistent\n"
    "             state: put back before the release was announced, finished after\n"
    "  keygen     make a key pair: the private key for --sign, the public key for updater\n"
    "             builds (VELDRA_RELEASE_PUBLIC_KEY); existing files are never overwritten\n";

// Control characters in names come out as \xNN; line breaks stay.
std::string PrintableReport(const std::string& report) {
    std::string printable;
    size_t start = 0;
    for (size_t end = report.find('\n'); end != std::string::npos;
         start = end + 1, end = report.find('\n', start)) {
        printable += Printable(report.substr(start, end - start)) + "\n";
    }
    return printable + Printable(report.substr(start));
}

int KeyGen(const std::vector<std::filesystem::path>& arguments) {
    if (arguments.size() != 3) {
        WriteText(true, USAGE);
        return PUBLISH_USAGE;
    }
    std::string report;
    int result = MakeKeyFiles(arguments[1], arguments[2], report);
    WriteText(result != PUBLISH_OK, "veldra-publish: " + PrintableReport(report) + "\n");
    return result;
}

int Recover(const std::vector<std::filesystem::path>& arguments) {
    if (arguments.size() != 2 || arguments[1].empty()) {
        WriteText(true, USAGE);
        return PUBLISH_USAGE;
    }
    std::string report;
    int result = RecoverOutput(arguments[1], report);
    WriteText(result != PUBLISH_OK, "veldra-publish: " + PrintableReport(report) + "\n");
    return result;
}

// resign <output-folder> --sign KEY [--expires-in DAYS]
int Resign(const std::vector<std::filesystem::path>& arguments) {
    std::filesystem::path out;
    std::filesystem::path key;
    int days = 0;
    bool daysGiven = false;
    for (size_t i = 1; i < arguments.size(); ++i) {
        std::string text;
        PathToUtf8(arguments[i], text);
        std::string next;
        if (i + 1 < arguments.size()) PathToUtf8(arguments[i + 1], next);
        if (text == "--sign" && !next.empty() && key.empty()) {
            key = arguments[++i];
        } else if (text == "--expires-in" && !daysGiven && ParseExpiryDays(next, days)) {
            daysGiven = true;
            ++i;
        } else if (text.rfind("--", 0) != 0 && out.empty() && !text.empty()) {
            out = arguments[i];
        } else {
            WriteText(true, "veldra-publish: unexpected argument " + DisplayPath(arguments[i]) +
                                "\n" + USAGE);
            return PUBLISH_USAGE;
        }
    }
    if (out.empty() || key.empty()) {
        WriteText(true, USAGE);
        return PUBLISH_USAGE;
    }
    std::string report;
    int result = ResignStatement(out, key, days, report);
    WriteText(result != PUBLISH_OK, "veldra-publish: " + PrintableReport(report) + "\n");
    return result;
}

// A count of at least 1 written in decimal digits; 0 otherwise.
unsigned JobCount(const std::string& text) {
    if (text.empty() || text.size() > 4) return 0;
    unsigned count = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        count = count * 10 + static_cast<unsigned>(c - '0');
    }
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> arguments = CommandArguments(argc, argv);
    if (!arguments.empty() && arguments[0] == "keygen") return KeyGen(arguments);
    if (!arguments.empty() && arguments[0] == "recover") return Recover(arguments);
    if (!arguments.empty() && arguments[0] == "resign") return Resign(arguments);
    PublishRequest request;
    std::filesystem::path positional[3];
    std::string versionText;
    int count = 0;
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string text;
        PathToUtf8(arguments[i], text);
        if (text == "--force") {
            request.force = true;
        } else if (text == "--replace") {
            request.replace = true;
        } else if (text == "--rollback") {
            request.rollback = true;
        } else if (text == "--package" && i + 1 < arguments.size() && !request.packageGiven) {
            request.packageGiven = true;
            request.packagePath = arguments[++i];
        } else if (text == "--sign" && i + 1 < arguments.size() && !arguments[i + 1].empty() &&
                   request.signingKey.empty()) {
            request.signingKey = arguments[++i];
        } else if (text == "--expires-in" && i + 1 < arguments.size() &&
                   request.expiresInDays == 0 &&
                   ParseExpiryDays(DisplayPath(arguments[i + 1]), request.expiresInDays)) {
            ++i;
        } else if (text == "--no-delta") {
            request.noDelta = true;
        } else if (text == "--delta-from" && i + 1 < arguments.size() &&
                   !arguments[i + 1].empty()) {
            request.deltaFrom.push_back(arguments[++i]);
        } else if (text == "--jobs" && i + 1 < arguments.size() &&
                   JobCount(arguments[i + 1].u8string()) > 0) {
            request.jobs = JobCount(arguments[++i].u8string());
        } else if (text == "--pkcs12" && i + 1 < arguments.size() && !arguments[i + 1].empty()) {
            std::string allowed;
            PathToUtf8(arguments[++i], allowed);
            request.pkcs12Allowed.push_back(allowed);
        } else if (text == "--help" || text == "-h") {
            WriteText(false, USAGE);
            return PUBLISH_OK;
        } else if (text.rfind("--", 0) == 0 || count == 3) {
            WriteText(true, "veldra-publish: unexpected argument " + DisplayPath(arguments[i]) +
                                "\n" + USAGE);
            return PUBLISH_USAGE;
        } else {
            if (count == 1) versionText = DisplayPath(arguments[i]);
            positional[count++] = arguments[i];
        }
    }
    // Only a signed statement expires.
    if (count != 3 || (request.expiresInDays > 0 && request.signingKey.empty())) {
        WriteText(true, USAGE);
        return PUBLISH_USAGE;
    }
    request.releaseDir = positional[0];
    request.versionText = versionText;
    request.outputDir = positional[2];
    std::string report;
    int result = Publish(request, report);
    WriteText(result != PUBLISH_OK, "veldra-publish: " + PrintableReport(report) + "\n");
    return result;
}
