#include "support/pe_image.h"

#include <windows.h>

#include <cstddef>
#include <cstring>

namespace {

// Copies a header record found at offset; false when it does not lie inside.
template <typename Record>
bool ReadAt(const std::string& bytes, unsigned long long offset, Record& record) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(Record)) return false;
    std::memcpy(&record, bytes.data() + offset, sizeof(Record));
    return true;
}

bool Inside(const std::string& bytes, unsigned long long offset, unsigned long long length) {
    return offset <= bytes.size() && length <= bytes.size() - offset;
}

}  // namespace

bool IsWholePeImage(const std::string& bytes) {
    IMAGE_DOS_HEADER dos = {};
    if (!ReadAt(bytes, 0, dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0) {
        return false;
    }
    const unsigned long long ntOffset = static_cast<unsigned long long>(dos.e_lfanew);
    DWORD signature = 0;
    IMAGE_FILE_HEADER file = {};
    if (!ReadAt(bytes, ntOffset, signature) || signature != IMAGE_NT_SIGNATURE ||
        !ReadAt(bytes, ntOffset + sizeof(signature), file)) {
        return false;
    }
    const unsigned long long optionalOffset = ntOffset + sizeof(signature) + sizeof(file);
    const unsigned long long sectionsOffset = optionalOffset + file.SizeOfOptionalHeader;
    if (!Inside(bytes, optionalOffset, file.SizeOfOptionalHeader)) return false;

    WORD magic = 0;
    if (!ReadAt(bytes, optionalOffset, magic)) return false;
    DWORD sizeOfHeaders = 0;
    IMAGE_DATA_DIRECTORY certificates = {};
    DWORD directories = 0;
    const unsigned long long securityIndex = IMAGE_DIRECTORY_ENTRY_SECURITY;
    if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        IMAGE_OPTIONAL_HEADER64 optional = {};
        if (file.SizeOfOptionalHeader < offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory) ||
            !ReadAt(bytes, optionalOffset, optional)) {
            return false;
        }
        sizeOfHeaders = optional.SizeOfHeaders;
        directories = optional.NumberOfRvaAndSizes;
        if (directories > securityIndex) certificates = optional.DataDirectory[securityIndex];
    } else if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        IMAGE_OPTIONAL_HEADER32 optional = {};
        if (file.SizeOfOptionalHeader < offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory) ||
            !ReadAt(bytes, optionalOffset, optional)) {
            return false;
        }
        sizeOfHeaders = optional.SizeOfHeaders;
        directories = optional.NumberOfRvaAndSizes;
        if (directories > securityIndex) certificates = optional.DataDirectory[securityIndex];
    } else {
        return false;
    }

    const unsigned long long sectionBytes =
        static_cast<unsigned long long>(file.NumberOfSections) * sizeof(IMAGE_SECTION_HEADER);
    if (!Inside(bytes, 0, sizeOfHeaders) || !Inside(bytes, sectionsOffset, sectionBytes)) {
        return false;
    }
    for (WORD i = 0; i < file.NumberOfSections; ++i) {
        IMAGE_SECTION_HEADER section = {};
        ReadAt(bytes, sectionsOffset + i * sizeof(IMAGE_SECTION_HEADER), section);
        if (section.SizeOfRawData > 0 &&
            !Inside(bytes, section.PointerToRawData, section.SizeOfRawData)) {
            return false;
        }
    }
    // The certificate table's address is a file offset, not an image address.
    if (certificates.Size > 0 && !Inside(bytes, certificates.VirtualAddress, certificates.Size)) {
        return false;
    }
    // Some linkers leave a symbol table and its strings after the sections.
    if (file.PointerToSymbolTable == 0) return true;
    const unsigned long long stringsOffset =
        file.PointerToSymbolTable +
        static_cast<unsigned long long>(file.NumberOfSymbols) * IMAGE_SIZEOF_SYMBOL;
    DWORD stringsSize = 0;
    return ReadAt(bytes, stringsOffset, stringsSize) && Inside(bytes, stringsOffset, stringsSize);
}
