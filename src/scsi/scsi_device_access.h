// The one way the SCSI probe reaches device nodes: open, fcntl, ioctl, write,
// read and close, with the real system calls unless a test installs a fake
// device set. Every call answers like its system call: -1 and errno on failure.
#pragma once

#include <sys/types.h>

#include <cstddef>

class scsi_device_access {
public:
    virtual ~scsi_device_access() = default;
    virtual int open(const char* path, int flags) = 0;
    virtual int fcntl(int fd, int command, int argument) = 0;
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual ssize_t write(int fd, const void* data, size_t length) = 0;
    virtual ssize_t read(int fd, void* data, size_t length) = 0;
    virtual int close(int fd) = 0;
};

// The device access in use: the system's unless a test replaced it.
scsi_device_access& scsi_devices();
// Installs a device set (null restores the system's). Tests only.
void set_scsi_device_access(scsi_device_access* access);
