#include "base/fresh_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Something may be planted again between the removal and the creation.
constexpr int create_attempts = 3;

// Open flags for a stdio mode, or -1 for a mode this helper does not serve.
int flags_for(const char* mode, bool create) {
    if (!mode) return -1;
    bool update = std::strchr(mode, '+') != nullptr;
    if (create && mode[0] == 'w') return update ? O_RDWR : O_WRONLY;
    if (!create && mode[0] == 'r') return update ? O_RDWR : O_RDONLY;
    return -1;
}

FILE* stream_for(int fd, const char* mode) {
    if (fd < 0) return nullptr;
    FILE* stream = fdopen(fd, mode);
    if (!stream) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return stream;
}

}  // namespace

FILE* fopen_fresh(const char* path, const char* mode, mode_t permissions) {
    int flags = flags_for(mode, true);
    if (!path || flags < 0) {
        errno = EINVAL;
        return nullptr;
    }
    for (int attempt = 0; attempt < create_attempts; ++attempt) {
        if (unlink(path) != 0 && errno != ENOENT && errno != EISDIR && errno != EPERM) return nullptr;
        int fd = open(path, flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, permissions);
        if (fd >= 0) return stream_for(fd, mode);
        if (errno != EEXIST) return nullptr;
        // A directory cannot be unlinked; anything else may be planted again.
        struct stat info;
        if (lstat(path, &info) == 0 && S_ISDIR(info.st_mode)) {
            errno = EISDIR;
            return nullptr;
        }
    }
    return nullptr;
}

FILE* fopen_no_follow(const char* path, const char* mode) {
    int flags = flags_for(mode, false);
    if (!path || flags < 0) {
        errno = EINVAL;
        return nullptr;
    }
    return stream_for(open(path, flags | O_NOFOLLOW | O_CLOEXEC), mode);
}
