#include "tools/publish/publish_report.h"

#include "tools/publish/publish_statement.h"

std::string PublishReport(const PublishRequest& request, const ReleaseVersion& version,
                          const StagedRelease& staged, const PublishOutcome& outcome) {
    std::string report = "published " + request.versionText + " as update\\" +
                         version.versionDirectory + ": " + std::to_string(staged.listed) +
                         " files, " + std::to_string(staged.totalBytes) + " bytes, list " +
                         staged.listMd5 + "\nmain program update\\" + version.majorDirectory +
                         "\\veldra.exe (" + staged.mainMd5 + ")" +
                         (request.packageGiven ? "\npackage update\\last\\veldrazip.exe" : "");
    if (staged.patched > 0) {
        report += "\npatches from earlier releases: " + std::to_string(staged.patched) +
                  " lines in update\\" + version.versionDirectory + "\\comm\\delta.lst";
    }
    if (outcome.key != nullptr) {
        report += "\nsigned update\\" + version.versionDirectory + "\\comm\\file.lst and update\\" +
                  version.majorDirectory +
                  "\\veldra.exe (signatures beside them as .sig), key SHA-256 " +
                  outcome.key->fingerprint;
        report += "\n" + StatementReportLine(request, version);
    }
    if (!outcome.unsignedOver.empty()) {
        report += "\nnot signed: removed the previous release's " + outcome.unsignedOver +
                  "; updaters built with a release key take neither this list nor this program";
    }
    if (outcome.rollback) {
        report += "\nrolled back from lastVer " + std::to_string(outcome.announced) +
                  ": clients fetch every listed file of update\\" + version.versionDirectory +
                  " that differs from theirs; veldra.exe is only replaced from update\\" +
                  version.majorDirectory + "\\veldra.exe";
    }
    report += "\nreplies index3.php/Ver2Control/0/0/0 and /1: status " +
              std::to_string(outcome.status) + ", lastVer " + std::to_string(version.lastVer);
    if (!outcome.readAdvice.empty()) report += "\nwarning: " + outcome.readAdvice;
    return report;
}
