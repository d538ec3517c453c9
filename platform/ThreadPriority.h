#pragma once
// Background work that must yield the processor to the record path.

namespace platform {

// The calling thread runs at a lower priority from now on (the work it does inside the
// embedded database engine included). False when the system refused; the work runs all the same.
bool LowerThreadPriority();

}  // namespace platform
