#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/publish/publisher_run.h"

namespace fs = std::filesystem;

namespace {

// fileSizeLimit 0: none.
PublisherRun Run(const std::string& program, const std::vector<fs::path>& arguments,
                 rlim_t fileSizeLimit) {
    PublisherRun run;
    fs::path outputFolder = NewFolder("output");
    fs::path outputPath = outputFolder / "output.txt";
    std::vector<std::string> texts = {program};
    for (const auto& argument : arguments) texts.push_back(argument.native());
    std::vector<char*> argv;
    for (auto& text : texts) argv.push_back(&text[0]);
    argv.push_back(nullptr);

    pid_t child = fork();
    if (child == 0) {
        int fd = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) _exit(127);
        dup2(fd, 1);
        dup2(fd, 2);
        if (fileSizeLimit > 0) {
            // A write past the limit then fails with EFBIG instead of ending the process.
            signal(SIGXFSZ, SIG_IGN);
            rlimit limit = {fileSizeLimit, fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        execvp(program.c_str(), argv.data());
        _exit(127);
    }
    if (child < 0) return run;
    int status = 0;
    bool ended = false;
    for (int waited = 0; waited < 60000 && !ended; waited += 10) {
        ended = waitpid(child, &status, WNOHANG) == child;
        if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    run.started = ended;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.output = ReadBytes(outputPath);
    RemoveFolder(outputFolder);
    return run;
}

}  // namespace

fs::path PublisherPath() {
    return fs::read_symlink("/proc/self/exe").parent_path() / "veldra-publish";
}

PublisherRun RunPublisher(const std::vector<fs::path>& arguments) {
    return Run(PublisherPath().native(), arguments, 0);
}

PublisherRun RunPublisherWithFault(const std::vector<fs::path>& arguments,
                                   const std::string& fault) {
    setenv("VELDRA_PUBLISH_FAULT", fault.c_str(), 1);
    PublisherRun run = Run(PublisherPath().native(), arguments, 0);
    unsetenv("VELDRA_PUBLISH_FAULT");
    return run;
}

PublisherRun RunPublisherFailingOn(const std::vector<fs::path>& arguments, const fs::path& file) {
    std::error_code error;
    uintmax_t size = fs::file_size(file, error);
    if (error || size < 2) return PublisherRun();
    return Run(PublisherPath().native(), arguments, static_cast<rlim_t>(size / 2));
}

bool SignatureVerifies(const fs::path& publicKey, const fs::path& file, const fs::path& signature) {
    PublisherRun run =
        Run("openssl", {"dgst", "-sha256", "-verify", publicKey, "-signature", signature, file}, 0);
    return run.started && run.exitCode == 0;
}

bool OnlyOwnerReads(const fs::path& file) {
    struct stat status = {};
    return stat(file.c_str(), &status) == 0 && (status.st_mode & 0777) == 0600;
}
