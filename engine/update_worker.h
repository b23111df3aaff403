// One whole update on its own thread.
#pragma once

// Thread procedure; its argument is the main dialog's window handle.
unsigned __stdcall UpdateWorker(void* dialog);
