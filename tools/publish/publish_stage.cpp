#include "tools/publish/publish_stage.h"

#include <fstream>

#include "tools/publish/publish_delta.h"
#include "tools/publish/publish_sign.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t COPY_CHUNK = 1 << 20;

}  // namespace

PublishLayout LayoutOf(const fs::path& out, const ReleaseVersion& version) {
    PublishLayout layout;
    layout.out = out;
    layout.updateRoot = out / "update";
    layout.finalDir = layout.updateRoot / version.versionDirectory;
    layout.recordDir = out / "published";
    layout.recordPath = layout.recordDir / (version.versionDirectory + ".txt");
    layout.staging = out / ".staging";
    layout.stagedDir = layout.staging / version.versionDirectory;
    layout.oldDir = layout.staging / (version.versionDirectory + ".old");
    layout.stagedMain = layout.staging / "veldra.exe.new";
    layout.stagedMainSignature = layout.staging / "veldra.exe.sig.new";
    layout.stagedPackage = layout.staging / "veldrazip.exe.new";
    layout.packageTarget = layout.updateRoot / "last" / "veldrazip.exe";
    layout.mainTarget = layout.updateRoot / version.majorDirectory / MAIN_PROGRAM;
    layout.mainSignature = WithSuffix(layout.mainTarget, SIGNATURE_SUFFIX);
    return layout;
}

bool CopyInto(const fs::path& source, const fs::path& target, std::vector<char>& buffer) {
    std::ifstream in(source, std::ios::binary);
    if (!in) return false;
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    buffer.resize(COPY_CHUNK);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        std::streamsize got = in.gcount();
        if (got > 0 && !out.write(buffer.data(), got)) return false;
    }
    if (in.bad() || !in.eof()) return false;
    out.close();
    return !out.fail();
}

bool MakeDirectories(const fs::path& dir) {
    std::error_code error;
    fs::create_directories(dir, error);
    return fs::is_directory(dir, error);
}

void RemoveAll(const fs::path& path) {
    std::error_code error;
    if (!fs::exists(fs::symlink_status(path, error))) return;
    // A read-only mark (Windows) or a folder without write permission would
    // stop the removal half-way.
    if (fs::is_directory(fs::symlink_status(path, error))) {
        for (fs::recursive_directory_iterator it(path, error), end; !error && it != end;
             it.increment(error)) {
            std::error_code ignored;
            fs::permissions(it->path(), fs::perms::owner_write,
                            fs::perm_options::add | fs::perm_options::nofollow, ignored);
        }
    }
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::add, error);
    fs::remove_all(path, error);
}

fs::path WithSuffix(fs::path path, const char* suffix) {
    path += suffix;
    return path;
}

int StageRelease(const PublishRequest& request, const ReleaseVersion& version,
                 const std::vector<ReleaseFile>& files, const SigningKey* key,
                 const PublishLayout& layout, StagedRelease& staged, std::string& report) {
    const fs::path& staging = layout.staging;
    const fs::path& stagedDir = layout.stagedDir;
    bool signing = key != nullptr;
    std::error_code code;

    // Staged tree: every file but the main program, then the list.
    RemoveAll(staging);
    if (!MakeDirectories(stagedDir / "comm")) {
        report = "cannot create " + DisplayPath(staging);
        return PUBLISH_WRITE_FAILED;
    }
    auto fail = [&](const std::string& message) {
        RemoveAll(staging);
        report = message;
        return PUBLISH_WRITE_FAILED;
    };
    bool sharedDirectory = version.versionDirectory == version.majorDirectory;
    fs::path mainSource;
    for (const auto& file : files) {
        if (IsMainProgram(file.listedPath)) {
            mainSource = request.releaseDir / file.relativePath;
        }
    }
    std::string list;
    std::vector<DeltaSource> patchable;
    fs::path madeDirectory;
    std::vector<char> buffer;
    for (const auto& file : files) {
        bool isMain = IsMainProgram(file.listedPath);
        // The main program arrives by its own path, which waits for a running product.
        if (isMain && !sharedDirectory) continue;
        fs::path target = stagedDir / file.relativePath;
        fs::path parent = target.parent_path();
        // Files come sorted, so a folder is mostly created once for all its files.
        if (parent != madeDirectory && !MakeDirectories(parent)) {
            return fail("cannot create " + DisplayPath(parent));
        }
        madeDirectory = parent;
        if (!CopyInto(request.releaseDir / file.relativePath, target, buffer)) {
            return fail("cannot copy " + file.listedPath);
        }
        if (isMain) continue;
        // Size and digest of the copy, so the list describes exactly what is served.
        uint64_t size = fs::file_size(target, code);
        std::string md5 = DigestOfFile(target);
        if (code || size == 0 || size > LARGEST_DIGESTED || md5.empty()) {
            return fail("refused: " + file.listedPath + " changed while it was published");
        }
        list += file.listedPath + "=" + md5 + "=" + std::to_string(size) + "\r\n";
        patchable.push_back({file.relativePath, file.listedPath, md5});
        staged.totalBytes += size;
        ++staged.listed;
    }
    if (!request.noDelta) {
        staged.patched =
            StagePatches(PlanPatches(request, version, layout.recordPath), stagedDir, patchable);
        if (staged.patched < 0) return fail("cannot write the patch index");
    }
    fs::path stagedList = stagedDir / "comm" / "file.lst";
    if (!WriteFileThrough(stagedList, list)) return fail("cannot write " + DisplayPath(stagedList));
    staged.listMd5 = DigestOfFile(stagedList);
    if (signing && !SignInto(*key, stagedList, WithSuffix(stagedList, SIGNATURE_SUFFIX))) {
        return fail("cannot sign the file list");
    }

    if (!CopyInto(mainSource, layout.stagedMain, buffer)) {
        return fail("cannot copy veldra.exe");
    }
    staged.mainMd5 = DigestOfFile(layout.stagedMain);
    if (staged.mainMd5.empty()) return fail("refused: veldra.exe is empty");
    if (signing) {
        // A shared directory is swapped in whole: its program arrives with its signature.
        if (!SignInto(*key, layout.stagedMain, layout.stagedMainSignature) ||
            (sharedDirectory &&
             !CopyInto(layout.stagedMainSignature,
                       WithSuffix(stagedDir / MAIN_PROGRAM, SIGNATURE_SUFFIX), buffer))) {
            return fail("cannot sign veldra.exe");
        }
    }

    // The package, the largest copy, is made before anything is swapped in.
    if (request.packageGiven && !CopyInto(request.packagePath, layout.stagedPackage, buffer)) {
        return fail("cannot copy the package " + DisplayPath(request.packagePath) + " to " +
                    DisplayPath(layout.stagedPackage));
    }
    return PUBLISH_OK;
}
