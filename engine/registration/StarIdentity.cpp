#include "registration/StarIdentity.h"

#include <atomic>

namespace velreg {
namespace {

// Never reset, so identities stay unique across runs of the same process.
std::atomic<int32_t> g_nextIdentity{1};

}  // namespace

int32_t nextStarIdentity() { return g_nextIdentity.fetch_add(1, std::memory_order_relaxed); }

void assignStarIdentities(StarPattern& pattern)
{
    for (StarDescriptor& descriptor : pattern.descriptors)
        descriptor.identity = nextStarIdentity();
}

}  // namespace velreg
