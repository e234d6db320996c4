// Copies of physical memory, read through the kernel's memory device.
#pragma once

#include <cstdint>

// Returns a malloc'ed buffer with length bytes of physical memory at address,
// or null when length < 1 or nothing could be read. Addresses above 4 GiB
// are allowed (64-bit firmware tables may lie there). A short read leaves the
// rest of the buffer zeroed. The caller frees the buffer with free().
uint8_t* read_physical(uint64_t address, int length);

// Replaces the memory device path ("/dev/mem"); null restores it. Tests only.
void set_physical_memory_path(const char* path);
