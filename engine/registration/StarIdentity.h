#pragma once

#include <cstdint>

#include "registration/Star.h"

namespace velreg {

// Next identity from the one process-wide counter: starts at 1, never reset, thread-safe.
int32_t nextStarIdentity();

// Gives every descriptor of the reference pattern a fresh identity.
void assignStarIdentities(StarPattern& pattern);

}  // namespace velreg
