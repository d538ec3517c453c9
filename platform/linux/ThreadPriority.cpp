#include "platform/ThreadPriority.h"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace platform {

bool LowerThreadPriority() {
    // SCHED_IDLE runs the thread only on a processor nobody else wants. A nice value was not
    // enough: beside a busy thread at nice 19, even a bare loop of fdatasync lost a quarter of
    // its rate, and the record path commits the same way.
    sched_param param{};
    if (::sched_setscheduler(0, SCHED_IDLE, &param) == 0) return true;
    // On Linux a nice value belongs to a thread, named by its id.
    return ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19) == 0;
}

}  // namespace platform
