#include "support/debug_trace.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr size_t kMaxFormatLength = 8000;
constexpr size_t kBufferSize = 8092;

}  // namespace

void DebugTrace(const char* format, ...) {
    if (format == nullptr || strlen(format) > kMaxFormatLength) return;
    std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    buffer[0] = '\0';
    va_list args;
    va_start(args, format);
    // A text too long for the buffer is cut to it.
    _vsnprintf_s(buffer.get(), kBufferSize, _TRUNCATE, format, args);
    va_end(args);
    fwrite(buffer.get(), 1, strlen(buffer.get()), stdout);
    fflush(stdout);
    OutputDebugStringA(buffer.get());
}
