#pragma once

// Marks the few symbols that leave libvelostar; everything else is hidden.
#define VELOSTAR_API __attribute__((visibility("default")))
