#include "base/attribute_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

std::string read_attribute_line(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return "Unknown";
    char text[256];
    ssize_t got;
    do {
        got = read(fd, text, sizeof text - 1);
    } while (got < 0 && errno == EINTR);
    close(fd);
    if (got <= 0) return "Unknown";
    std::string value(text, static_cast<size_t>(got));
    size_t end = value.find('\n');
    if (end != std::string::npos) value.resize(end);
    return value.empty() ? "Unknown" : value;
}
