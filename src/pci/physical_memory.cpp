#include "pci/physical_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/run_context.h"

namespace {

const char* const default_memory_path = "/dev/mem";
std::string memory_path = default_memory_path;

// Reads up to length bytes at the current position; returns the count read,
// or -1 when the first read call failed.
long read_fully(int fd, uint8_t* buffer, int length) {
    long total = 0;
    while (total < length) {
        ssize_t got = read(fd, buffer + total, static_cast<size_t>(length - total));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return total > 0 ? total : -1;
        if (got == 0) break;
        total += got;
    }
    return total;
}

// Some kernels refuse read() of firmware-reserved memory but serve the same
// range through mmap(). Copies the range through a read-only mapping of the
// page-aligned span; false when it cannot be mapped. A regular file standing
// for memory is only mapped within its size (mapping past it would fault).
bool copy_through_mapping(int fd, uint64_t address, int length, uint8_t* buffer) {
    long page = sysconf(_SC_PAGESIZE);
    if (page <= 0) return false;
    off_t start = static_cast<off_t>(address) / page * page;
    size_t lead = static_cast<size_t>(address - start);
    size_t span = lead + static_cast<size_t>(length);
    struct stat info;
    if (fstat(fd, &info) != 0) return false;
    if (S_ISREG(info.st_mode) && static_cast<off_t>(address) + length > info.st_size) return false;
    void* map = mmap(nullptr, span, PROT_READ, MAP_SHARED, fd, start);
    if (map == MAP_FAILED) return false;
    std::memcpy(buffer, static_cast<const uint8_t*>(map) + lead, static_cast<size_t>(length));
    munmap(map, span);
    return true;
}

}  // namespace

void set_physical_memory_path(const char* path) {
    memory_path = path ? path : default_memory_path;
}

uint8_t* read_physical(uint64_t address, int length) {
    if (length < 1) return nullptr;
    auto* buffer = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(length), 1));
    if (!buffer) return nullptr;
    int fd = open(memory_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        debug_printf("read_physical: open %s failed: %s\n", memory_path.c_str(), std::strerror(errno));
        std::free(buffer);
        return nullptr;
    }
    bool ok = false;
    if (lseek(fd, static_cast<off_t>(address), SEEK_SET) == static_cast<off_t>(address)) {
        long got = read_fully(fd, buffer, length);
        if (got < 0) {
            debug_printf("read_physical: read of %d bytes at 0x%llx failed: %s, trying mmap\n",
                         length, static_cast<unsigned long long>(address), std::strerror(errno));
            ok = copy_through_mapping(fd, address, length, buffer);
        } else {
            ok = got > 0;
        }
    }
    close(fd);
    if (!ok) {
        std::free(buffer);
        return nullptr;
    }
    return buffer;
}
