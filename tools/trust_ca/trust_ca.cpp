// trust_ca CERT.der: adds a certificate authority to the local machine's Root
// store of the running system (for tests: the Wine prefix they run in).
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<BYTE> ReadFileBytes(const wchar_t* path) {
    std::vector<BYTE> bytes;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    const DWORD size = GetFileSize(file, nullptr);
    if (size != INVALID_FILE_SIZE && size > 0 && size < (1u << 20)) {
        bytes.resize(size);
        DWORD read = 0;
        if (!ReadFile(file, bytes.data(), size, &read, nullptr) || read != size) bytes.clear();
    }
    CloseHandle(file);
    return bytes;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: trust_ca CERT.der\n");
        return 2;
    }
    const std::vector<BYTE> certificate = ReadFileBytes(argv[1]);
    if (certificate.empty()) {
        std::fprintf(stderr, "trust_ca: cannot read the certificate\n");
        return 1;
    }
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store == nullptr) {
        std::fprintf(stderr, "trust_ca: cannot open the Root store (%lu)\n", GetLastError());
        return 1;
    }
    const BOOL added = CertAddEncodedCertificateToStore(
        store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, certificate.data(),
        static_cast<DWORD>(certificate.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    const DWORD error = GetLastError();
    CertCloseStore(store, 0);
    if (!added) {
        std::fprintf(stderr, "trust_ca: the certificate was not added (0x%lx)\n", error);
        return 1;
    }
    std::printf("trusted\n");
    return 0;
}
