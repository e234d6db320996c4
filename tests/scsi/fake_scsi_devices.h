// A fake set of SCSI device nodes behind the probe's device access: generic
// nodes that answer the sg ioctls and INQUIRY, serial-number and READ CAPACITY
// commands through the write/read packet interface, and ordinary nodes
// (/dev/sda, /dev/sr0, ...) that answer only with their address.
#pragma once

#include <fcntl.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "scsi/scsi_device_access.h"
#include "scsi/sg_io.h"

struct fake_address {
    int host = 0, channel = 0, target = 0, lun = 0;
    uint32_t host_unique_id = 0;

    uint32_t dev_id() const {
        return static_cast<uint32_t>(target & 0xff) | static_cast<uint32_t>(lun & 0xff) << 8 |
               static_cast<uint32_t>(channel & 0xff) << 16 | static_cast<uint32_t>(host & 0xff) << 24;
    }
};

// How a command ends: good, or CHECK CONDITION with a sense byte 2.
struct fake_reply {
    std::vector<unsigned char> data;
    bool check_condition = false;
    unsigned char sense_key = 0;

    static fake_reply good(std::vector<unsigned char> bytes) { return {std::move(bytes), false, 0}; }
    static fake_reply sense(unsigned char key) { return {{}, true, key}; }
};

struct fake_node {
    fake_address address;
    bool generic = false;           // answers the sg ioctls and commands
    int open_errno = 0;             // open fails with this
    bool old_driver = false;        // SG_GET_RESERVED_SIZE fails
    std::set<unsigned long> failing_ioctls;
    std::optional<int> bus_number;  // default: the host number
    std::optional<std::string> adapter_name;  // none: SCSI_IOCTL_PROBE_HOST fails
    std::map<std::string, fake_reply> replies;  // by command block (block_key)
    std::optional<int> short_read;  // read returns this many bytes
};

// Standard INQUIRY data: type byte, vendor, product, revision.
inline std::vector<unsigned char> inquiry_data(unsigned char type, const std::string& vendor,
                                               const std::string& product,
                                               const std::string& revision) {
    std::vector<unsigned char> data(96, 0);
    data[0] = type;
    data[2] = 0x05;
    data[3] = 0x02;
    data[4] = 91;
    auto put = [&](size_t at, const std::string& text, size_t width) {
        for (size_t i = 0; i < width; ++i) data[at + i] = i < text.size() ? text[i] : ' ';
    };
    put(8, vendor, 8);
    put(16, product, 16);
    put(32, revision, 4);
    return data;
}

inline std::vector<unsigned char> serial_page(const std::string& serial, int page_length = -1) {
    std::vector<unsigned char> data(4 + serial.size(), 0);
    data[1] = 0x80;
    data[3] = static_cast<unsigned char>(page_length >= 0 ? page_length : serial.size());
    for (size_t i = 0; i < serial.size(); ++i) data[4 + i] = static_cast<unsigned char>(serial[i]);
    return data;
}

inline std::vector<unsigned char> capacity_10(uint32_t last_block, uint32_t block_length) {
    std::vector<unsigned char> data;
    for (uint32_t word : {last_block, block_length})
        for (int shift = 24; shift >= 0; shift -= 8) data.push_back(static_cast<unsigned char>(word >> shift));
    return data;
}

inline std::string block_key(const std::vector<unsigned char>& block) {
    return std::string(block.begin(), block.end());
}

const std::vector<unsigned char> inquiry_block = {0x12, 0x00, 0x00, 0x00, 0xff, 0x00};
const std::vector<unsigned char> serial_block = {0x12, 0x01, 0x80, 0x00, 0xff, 0x00};
const std::vector<unsigned char> capacity_10_block = {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const std::vector<unsigned char> capacity_16_block = {0x9e, 0x10, 0, 0, 0, 0, 0, 0,
                                                      0,    0,    0, 0, 0, 0x20, 0, 0};

class fake_scsi_devices : public scsi_device_access {
public:
    fake_scsi_devices() { set_scsi_device_access(this); }
    ~fake_scsi_devices() override { set_scsi_device_access(nullptr); }

    // A generic node with a disk-like identity; callers adjust the rest.
    fake_node& generic(const std::string& path, fake_address address,
                       std::vector<unsigned char> inquiry) {
        fake_node& node = nodes[path];
        node.generic = true;
        node.address = address;
        node.replies[block_key(inquiry_block)] = fake_reply::good(std::move(inquiry));
        node.replies[block_key(serial_block)] = fake_reply::sense(0x05);
        node.replies[block_key(capacity_10_block)] = fake_reply::sense(0x02);
        return node;
    }
    // An ordinary node of the same device.
    fake_node& ordinary(const std::string& path, fake_address address) {
        fake_node& node = nodes[path];
        node.address = address;
        return node;
    }

    int open(const char* path, int flags) override {
        auto found = nodes.find(path);
        if (found == nodes.end()) return fail(ENOENT);
        if (found->second.open_errno) return fail(found->second.open_errno);
        int fd = next_fd_++;
        open_files_[fd] = {&found->second, flags, {}};
        return fd;
    }
    int fcntl(int fd, int command, int argument) override {
        open_file* file = find(fd);
        if (!file) return fail(EBADF);
        if (command == F_GETFL) return file->flags;
        if (command == F_SETFL) {
            file->flags = argument;
            return 0;
        }
        return fail(EINVAL);
    }
    int ioctl(int fd, unsigned long request, void* argument) override {
        ioctls.push_back(request);
        open_file* file = find(fd);
        if (!file) return fail(EBADF);
        const fake_node& node = *file->node;
        if (node.failing_ioctls.count(request)) return fail(EIO);
        if (request == SCSI_IOCTL_GET_IDLUN) {
            scsi_idlun idlun{node.address.dev_id(), node.address.host_unique_id};
            std::memcpy(argument, &idlun, sizeof idlun);
            return 0;
        }
        if (!node.generic) return fail(ENOTTY);
        int value = 0;
        switch (request) {
        case SG_GET_RESERVED_SIZE:
            if (node.old_driver) return fail(ENOTTY);
            value = 32768;
            break;
        case SG_GET_VERSION_NUM:
            if (node.old_driver) return fail(ENOTTY);
            value = 30536;
            break;
        case SG_EMULATED_HOST:
            value = 0;
            break;
        case SCSI_IOCTL_GET_BUS_NUMBER:
            value = node.bus_number.value_or(node.address.host);
            break;
        case SG_GET_SCSI_ID: {
            if (node.old_driver) return fail(ENOTTY);
            sg_scsi_id id{node.address.host, node.address.channel, node.address.target,
                          node.address.lun, 0, 1, 1, {0, 0}};
            std::memcpy(argument, &id, sizeof id);
            return 0;
        }
        case SCSI_IOCTL_PROBE_HOST: {
            if (!node.adapter_name) return fail(EINVAL);
            // The adapter copies at most the length in the first word, and
            // ends the name with a zero only when it is shorter.
            uint32_t length;
            std::memcpy(&length, argument, sizeof length);
            const std::string& name = *node.adapter_name;
            if (length > name.size()) length = static_cast<uint32_t>(name.size()) + 1;
            std::memcpy(argument, name.c_str(), length);
            return 1;
        }
        default:
            return fail(EINVAL);
        }
        std::memcpy(argument, &value, sizeof value);
        return 0;
    }
    ssize_t write(int fd, const void* data, size_t length) override {
        open_file* file = find(fd);
        if (!file) return fail(EBADF);
        if (!file->node->generic) return fail(EINVAL);
        const unsigned char* bytes = static_cast<const unsigned char*>(data);
        written.assign(bytes, bytes + length);
        file->command.assign(reinterpret_cast<const char*>(bytes) + sg_header_size, length - sg_header_size);
        std::memcpy(&file->reply_len, bytes + 4, 4);
        return static_cast<ssize_t>(length);
    }
    ssize_t read(int fd, void* data, size_t length) override {
        open_file* file = find(fd);
        if (!file) return fail(EBADF);
        if (file->flags & O_NONBLOCK) return fail(EAGAIN);
        // Like the driver: the reply is reply_len bytes, the data after the
        // header as long as the device sent, then zeros.
        std::vector<unsigned char> reply(static_cast<size_t>(file->reply_len), 0);
        std::memcpy(reply.data() + 4, &file->reply_len, 4);
        auto found = file->node->replies.find(file->command);
        fake_reply answer = found != file->node->replies.end() ? found->second : fake_reply::sense(0x05);
        if (answer.check_condition) {
            uint32_t status = 0x01u << 1 | 0x08u << 14;
            std::memcpy(reply.data() + sg_status_offset, &status, 4);
            reply[sg_sense_offset] = 0x70;
            reply[sg_sense_offset + 2] = answer.sense_key;
        }
        size_t room = reply.size() - sg_header_size;
        for (size_t i = 0; i < answer.data.size() && i < room; ++i)
            reply[sg_header_size + i] = answer.data[i];
        size_t count = length < reply.size() ? length : reply.size();
        if (file->node->short_read) count = static_cast<size_t>(*file->node->short_read);
        std::memcpy(data, reply.data(), count);
        return static_cast<ssize_t>(count);
    }
    int close(int fd) override {
        if (!open_files_.erase(fd)) return fail(EBADF);
        return 0;
    }

    size_t open_count() const { return open_files_.size(); }

    std::map<std::string, fake_node> nodes;
    std::vector<unsigned long> ioctls;        // every request, in order
    std::vector<unsigned char> written;       // the last packet written

private:
    struct open_file {
        fake_node* node;
        int flags;
        std::string command;
        int32_t reply_len = 0;
    };
    static int fail(int error) {
        errno = error;
        return -1;
    }
    open_file* find(int fd) {
        auto found = open_files_.find(fd);
        return found == open_files_.end() ? nullptr : &found->second;
    }

    std::map<int, open_file> open_files_;
    int next_fd_ = 100;
};
