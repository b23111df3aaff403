// The main dialog: version caption, path box and the four buttons.
#pragma once

#include <windows.h>

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void OnInitDialog(HWND dialog);
