// Thread facilities the core needs from the operating system.
#pragma once

#include <cstdint>

namespace kv {

// The kernel's id of the calling thread, as the log shows it.
uint64_t CurrentThreadId();
// One step below normal priority, for background transfers.
void LowerThreadPriority();

} // namespace kv
