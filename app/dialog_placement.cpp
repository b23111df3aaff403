#include "app/dialog_placement.h"

POINT CenteredPosition(const RECT& parent, const RECT& dialog) {
    // Signed division truncating toward zero, as C++ int division does.
    POINT position;
    position.x = parent.left + (dialog.left + parent.right - dialog.right - parent.left) / 2;
    position.y = parent.top + (dialog.top + parent.bottom - dialog.bottom - parent.top) / 2;
    return position;
}
