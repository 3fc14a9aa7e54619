// What each system's file gives the parts of the platform layer that all
// systems share (platform_posix.cpp); not for use outside src/platform.
#pragma once

#include <cstdint>

// Of the `length` bytes mapped at `map`, those whose pages are in memory, by
// mincore, whose vector type differs between the systems. False when mincore
// fails.
bool system_resident_bytes(void* map, uint64_t length, uint64_t page, uint64_t* resident);

// After the advice to drop a file's pages: what else the system needs to
// evict those that are clean. 0, or an errno value.
int system_evict_clean_pages(int fd);
