#pragma once

#include <cstdint>
#include <functional>

namespace velthread {

// Physical memory the system can still hand out without swapping (MemAvailable of
// /proc/meminfo), in bytes; 0 when it cannot be read, so callers treat "unknown" as "scarce".
uint64_t availablePhysicalMemory();

// The memory query the background workers use; tests pass their own.
using MemoryQuery = std::function<uint64_t()>;

}  // namespace velthread
