#include <windows.h>

#include <vector>

#include "engine/release_signature.h"
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

PublisherRun RunPublisherWithFault(const std::vector<fs::path>& arguments,
                                   const std::string& fault) {
    // The child inherits this process's environment.
    SetEnvironmentVariableA("VELDRA_PUBLISH_FAULT", fault.c_str());
    PublisherRun run = FromProcess(RunProcess(CommandLine(arguments), L""));
    SetEnvironmentVariableA("VELDRA_PUBLISH_FAULT", nullptr);
    return run;
}

PublisherRun RunPublisherFailingOn(const std::vector<fs::path>& arguments, const fs::path& file) {
    HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) return PublisherRun();
    PublisherRun run = FromProcess(RunProcess(CommandLine(arguments), L""));
    CloseHandle(held);
    return run;
}

bool SignatureVerifies(const fs::path& publicKey, const fs::path& file, const fs::path& signature) {
    return VerifySignature(ReadBytes(publicKey), ReadBytes(file), ReadBytes(signature));
}

bool OnlyOwnerReads(const fs::path& file) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    std::vector<unsigned char> user(256);
    DWORD size = 0;
    bool known = GetTokenInformation(token, TokenUser, user.data(), 256, &size);
    CloseHandle(token);
    DWORD needed = 0;
    GetFileSecurityW(file.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<unsigned char> descriptor(needed);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!known || needed == 0 ||
        !GetFileSecurityW(file.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed,
                          &needed) ||
        !GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted) || !present ||
        dacl == nullptr) {
        return false;  // no DACL lets everyone in
    }
    PSID owner = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry)) return false;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        // The system reads every file anyway; Wine lists it on every file.
        PSID sid = &allowed->SidStart;
        if (allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            (allowed->Mask & (FILE_READ_DATA | GENERIC_READ | GENERIC_ALL)) != 0 &&
            !EqualSid(sid, owner) && !IsWellKnownSid(sid, WinLocalSystemSid)) {
            return false;
        }
    }
    return true;
}
