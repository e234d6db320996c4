#include "scsi/scsi_device_access.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

class system_device_access : public scsi_device_access {
public:
    int open(const char* path, int flags) override { return ::open(path, flags | O_CLOEXEC); }
    int fcntl(int fd, int command, int argument) override { return ::fcntl(fd, command, argument); }
    int ioctl(int fd, unsigned long request, void* argument) override {
        return ::ioctl(fd, request, argument);
    }
    ssize_t write(int fd, const void* data, size_t length) override {
        return ::write(fd, data, length);
    }
    ssize_t read(int fd, void* data, size_t length) override { return ::read(fd, data, length); }
    int close(int fd) override { return ::close(fd); }
};

system_device_access system_access;
scsi_device_access* current_access = &system_access;

}  // namespace

scsi_device_access& scsi_devices() { return *current_access; }

void set_scsi_device_access(scsi_device_access* access) {
    current_access = access ? access : &system_access;
}
