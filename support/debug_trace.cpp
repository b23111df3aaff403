#include "support/debug_trace.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr size_t TRACE_MAX_FORMAT_LENGTH = 8000;
constexpr size_t TRACE_BUFFER_SIZE = 8092;

}  // namespace

void DebugTrace(const char* format, ...) {
    if (format == nullptr || strlen(format) > TRACE_MAX_FORMAT_LENGTH) return;
    std::unique_ptr<char[]> buffer(new char[TRACE_BUFFER_SIZE]);
    buffer[0] = '\0';
    va_list args;
    va_start(args, format);
    // A text too long for the buffer is cut to it.
    _vsnprintf_s(buffer.get(), TRACE_BUFFER_SIZE, _TRUNCATE, format, args);
    va_end(args);
    // Straight to the handle: the stream's text mode would turn "\n" into "\r\n".
    // Flushed first so earlier stream output stays ahead of it.
    fflush(stdout);
    const DWORD length = static_cast<DWORD>(strlen(buffer.get()));
    DWORD written = 0;
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (length > 0 && output != nullptr && output != INVALID_HANDLE_VALUE) {
        WriteFile(output, buffer.get(), length, &written, nullptr);
    }
    OutputDebugStringA(buffer.get());
}
