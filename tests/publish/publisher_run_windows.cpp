#include <windows.h>

#include "tests/publish/publisher_run.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace {

// One argument, quoted; the paths here never end with a backslash.
std::wstring Quoted(const fs::path& argument) { return L"\"" + argument.wstring() + L"\""; }

std::wstring CommandLine(const std::vector<fs::path>& arguments) {
    std::wstring line = Quoted(PublisherPath());
    for (const auto& argument : arguments) line += L" " + Quoted(argument);
    return line;
}

PublisherRun FromProcess(const ProcessResult& process) {
    PublisherRun run;
    run.started = process.started && !process.timedOut;
    run.exitCode = static_cast<int>(process.exitCode);
    run.output = process.output;
    return run;
}

}  // namespace

fs::path PublisherPath() { return fs::path(BinDir()) / L"veldra-publish.exe"; }

PublisherRun RunPublisher(const std::vector<fs::path>& arguments) {
    return FromProcess(RunProcess(CommandLine(arguments), L""));
}

PublisherRun RunPublisherFailingOn(const std::vector<fs::path>& arguments, const fs::path& file) {
    HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) return PublisherRun();
    PublisherRun run = FromProcess(RunProcess(CommandLine(arguments), L""));
    CloseHandle(held);
    return run;
}
