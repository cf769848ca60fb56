// Marks a function as part of the card's exported C interface. The project builds with hidden
// visibility, so every entry that callers bind by name must carry this.
#pragma once

#define VCAN_EXPORT extern "C" __attribute__((visibility("default")))
