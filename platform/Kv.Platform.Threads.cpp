#include "Kv.Platform.Threads.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kv {

uint64_t CurrentThreadId() { return static_cast<uint64_t>(::gettid()); }

void LowerThreadPriority() {
    // Failure only means the copy competes with the UI at normal priority.
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 5);
}

} // namespace kv
