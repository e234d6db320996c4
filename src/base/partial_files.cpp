#include "base/partial_files.h"

#include <unistd.h>

#include <csignal>
#include <cstring>

namespace {

constexpr size_t path_room = 1024;

// A slot is filled before it is marked used, and marked unused before it is
// changed, so the handler never sees half a name.
struct partial_slot {
    volatile sig_atomic_t used = 0;
    char path[path_room] = "";
};
partial_slot slots[partial_file_slots];

void on_signal(int signal_number) {
    remove_partial_files_now();
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

}  // namespace

bool track_partial_file(const char* path) {
    if (!path || std::strlen(path) >= path_room) return false;
    for (partial_slot& slot : slots) {
        if (slot.used) continue;
        std::memcpy(slot.path, path, std::strlen(path) + 1);
        slot.used = 1;
        return true;
    }
    return false;
}

void forget_partial_file(const char* path) {
    if (!path) return;
    for (partial_slot& slot : slots)
        if (slot.used && std::strcmp(slot.path, path) == 0) slot.used = 0;
}

void remove_partial_files_now() {
    for (partial_slot& slot : slots)
        if (slot.used) unlink(slot.path);
}

void remove_partial_files_on_signals() {
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    const int signals[] = {SIGINT, SIGTERM, SIGHUP};
    for (int s : signals) sigaddset(&action.sa_mask, s);
    for (int s : signals) {
        struct sigaction old {};
        if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(s, &action, nullptr);
    }
}
