#include "engine/response_headers.h"

#include <wchar.h>

#include <cstdlib>
#include <initializer_list>

const wchar_t* HeaderValue(const wchar_t* headers, const wchar_t* name) {
    if (!headers) return nullptr;
    const size_t nameLength = wcslen(name);
    const wchar_t* line = headers;
    while (*line) {
        const wchar_t* end = wcschr(line, L'\n');
        size_t length = end ? static_cast<size_t>(end - line) : wcslen(line);
        if (length > nameLength && _wcsnicmp(line, name, nameLength) == 0) {
            const wchar_t* value = line + nameLength;
            while (*value == L' ' || *value == L'\t') ++value;
            return value;
        }
        if (!end) break;
        line = end + 1;
    }
    return nullptr;
}

bool IsEncoded(const wchar_t* headers) {
    const wchar_t* encoding = HeaderValue(headers, L"content-encoding:");
    if (!encoding) return false;
    for (const wchar_t* decoded : {L"gzip", L"x-gzip", L"deflate"}) {
        const size_t length = wcslen(decoded);
        // Compared first: a shorter value ends before the character after it.
        if (_wcsnicmp(encoding, decoded, length) != 0) continue;
        const wchar_t after = encoding[length];
        if (after == L'\0' || after == L'\r' || after == L'\n' || after == L' ' || after == L'\t' ||
            after == L',' || after == L';') {
            return true;
        }
    }
    return false;
}

long long ContentLength(const wchar_t* headers) {
    const wchar_t* value = HeaderValue(headers, L"content-length:");
    if (value && *value >= L'0' && *value <= L'9') return _wtoi64(value);
    return -1;
}
