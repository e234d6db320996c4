#include "system/disk_health.h"

#include <sys/wait.h>

#include "base/run_context.h"
#include "system/block_devices.h"
#include "system/bounded_command.h"
#include "system/system_files.h"

namespace {

// All the health commands together stop after this long: a machine with
// many slow disks still gets the rest of its report.
constexpr int health_time_limit_ms = 60000;
constexpr size_t controller_cap = 1024;

// Kernel device names are letters and digits; anything else is not put on
// a command line.
bool plain_name(const std::string& name) {
    if (name.empty() || name.size() > 32) return false;
    for (char c : name)
        if (!(c >= 'a' && c <= 'z') && !(c >= '0' && c <= '9')) return false;
    return true;
}

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// "nvme0" and the like: controllers, not namespaces ("nvme0n1") or
// subsystems ("nvme-subsys0").
bool nvme_controller_name(const std::string& name) {
    if (!starts_with(name, "nvme") || name.size() == 4) return false;
    for (size_t i = 4; i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9') return false;
    return true;
}

}  // namespace

std::vector<health_command> disk_health_commands() {
    std::vector<health_command> commands;
    if (!locate_tool("smartctl").empty()) {
        for (const block_device& disk : read_block_devices()) {
            if (disk.type != "disk" || !starts_with(disk.name, "sd") || disk.removable || !plain_name(disk.name))
                continue;
            const std::string node = "/dev/" + disk.name;
            // -n standby: a disk that sleeps is left asleep (smartctl then
            // says so and ends with status 2).
            commands.push_back({"smartctl -H -A " + node, "smartctl", {"-H", "-A", "-n", "standby", node}});
        }
    }
    if (!locate_tool("nvme").empty()) {
        std::vector<std::string> controllers;
        list_directory("/sys/class/nvme", controllers, controller_cap);
        for (const std::string& name : controllers) {
            if (!nvme_controller_name(name)) continue;
            const std::string node = "/dev/" + name;
            commands.push_back({"nvme smart-log " + node, "nvme", {"smart-log", node}});
        }
    }
    return commands;
}

bool disk_health_available() { return !locate_tool("smartctl").empty() || !locate_tool("nvme").empty(); }

bool write_disk_health(FILE* report) {
    const long long deadline = monotonic_ms() + health_time_limit_ms;
    bool wrote = false;
    for (const health_command& command : disk_health_commands()) {
        if (monotonic_ms() > deadline) {
            debug_printf("disk health: out of time before %s\n", command.label.c_str());
            break;
        }
        std::string path = locate_tool(command.tool);
        if (path.empty()) continue;
        std::vector<const char*> argv{path.c_str()};
        for (const std::string& arg : command.args) argv.push_back(arg.c_str());
        argv.push_back(nullptr);
        command_result result = run_tool(argv.data(), tool_timeout_ms, tool_output_cap);
        debug_printf("%s: %s\n", command.label.c_str(), describe_result(result).c_str());
        if (!result.errors.empty()) debug_printf("%s: error output:\n%s\n", command.label.c_str(), result.errors.c_str());
        if (!result.started) continue;
        std::string output = result.output;
        if (result.timed_out) {
            if (!output.empty() && output.back() != '\n') output += '\n';
            output += "--- the command did not finish within " + std::to_string(tool_timeout_ms / 1000) +
                      " seconds: what it printed until then is above ---\n";
        }
        wrote = embed_text(report, command.label.c_str(), output, result.cut, tool_output_cap) || wrote;
    }
    return wrote;
}
