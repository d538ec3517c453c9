#include "capture/Main.h"

// Replaced by the call database's record path.
void TMO::RecordEnd() { ClearRecord(); }
bool TMO::StoreRing() {
    ClearRecord();
    return false;
}
