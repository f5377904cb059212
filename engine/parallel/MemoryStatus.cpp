#include "parallel/MemoryStatus.h"

#include <cstdio>
#include <cstring>

namespace velthread {

uint64_t availablePhysicalMemory()
{
    std::FILE* file = std::fopen("/proc/meminfo", "r");
    if (!file)
        return 0;
    char line[256];
    uint64_t bytes = 0;
    while (std::fgets(line, sizeof line, file)) {
        unsigned long long kib = 0;
        if (std::strncmp(line, "MemAvailable:", 13) == 0) {
            if (std::sscanf(line + 13, "%llu", &kib) == 1)
                bytes = static_cast<uint64_t>(kib) * 1024u;
            break;
        }
    }
    std::fclose(file);
    return bytes;
}

}  // namespace velthread
