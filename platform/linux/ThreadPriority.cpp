#include "platform/ThreadPriority.h"

#include <sys/resource.h>
#include <unistd.h>

namespace platform {

bool LowerThreadPriority() {
    // On Linux a nice value belongs to a thread, named by its id.
    return ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10) == 0;
}

}  // namespace platform
