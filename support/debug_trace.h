// Developer diagnostics: standard output and the attached debugger.
#pragma once

// printf-style; a format over 8000 bytes is dropped. No line end is added.
void DebugTrace(const char* format, ...);
