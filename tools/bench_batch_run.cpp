// Runs a whole "sifterra -batch" five times, each in a fresh folder, and
// prints the median wall time and the median peak resident memory of the
// program itself (not of the commands it starts).
//
//   bench_batch_run [PATH-TO-SIFTERRA]   (default: the sifterra beside this program)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int runs = 5;

struct measurement {
    double wall_ms;
    long peak_kb;
};

double now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

std::string beside_this_program(const char* name) {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return (self.parent_path() / name).string();
}

bool run_once(const std::string& program, measurement& result) {
    char pattern[] = "/tmp/sifterra-bench-XXXXXX";
    if (!mkdtemp(pattern)) return false;
    const double start = now_ms();
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (chdir(pattern) != 0) _exit(127);
        execl(program.c_str(), program.c_str(), "-batch", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    bool ok = pid > 0 && wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    result.wall_ms = now_ms() - start;
    result.peak_kb = usage.ru_maxrss;
    std::error_code ignored;
    std::filesystem::remove_all(pattern, ignored);
    return ok;
}

template <typename T>
T median(std::vector<T> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const std::string program = argc > 1 ? argv[1] : beside_this_program("sifterra");
    std::vector<double> walls;
    std::vector<long> peaks;
    for (int i = 0; i < runs; ++i) {
        measurement m{};
        if (!run_once(program, m)) {
            std::fprintf(stderr, "run %d of %s failed\n", i + 1, program.c_str());
            return 1;
        }
        std::printf("run %d: %.1f ms wall, %ld KB peak resident\n", i + 1, m.wall_ms, m.peak_kb);
        walls.push_back(m.wall_ms);
        peaks.push_back(m.peak_kb);
    }
    std::printf("median of %d runs: %.1f ms wall, %ld KB (%.1f MB) peak resident\n", runs, median(walls),
                median(peaks), median(peaks) / 1024.0);
    return 0;
}
