// Where the main dialog goes on its parent.
#pragma once

#include <windows.h>

// Top-left corner that centres dialog on parent (both in screen coordinates).
POINT CenteredPosition(const RECT& parent, const RECT& dialog);
