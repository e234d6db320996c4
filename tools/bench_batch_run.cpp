// Runs a whole "sifterra -batch" several times, each in a fresh folder, and
// prints the median wall time and the median peak resident memory of the
// program itself (not of the commands it starts), with their min-max. Given
// a previous build as well, runs the two in turns on the same machine and
// prints both and the ratio of their medians.
//
//   bench_batch_run [PATH-TO-SIFTERRA [PATH-TO-PREVIOUS-SIFTERRA [RUNS]]]
//   (default: the sifterra beside this program, no previous one, 7 runs)
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

struct series {
    std::string program;
    std::vector<double> walls;
    std::vector<long> peaks;
};

void print_series(const char* label, const series& s) {
    auto [wall_low, wall_high] = std::minmax_element(s.walls.begin(), s.walls.end());
    auto [peak_low, peak_high] = std::minmax_element(s.peaks.begin(), s.peaks.end());
    std::printf("%s: median of %zu runs %.1f ms wall (%.1f-%.1f), %.1f MB peak resident (%.1f-%.1f)\n", label,
                s.walls.size(), median(s.walls), *wall_low, *wall_high, median(s.peaks) / 1024.0,
                *peak_low / 1024.0, *peak_high / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<series> programs(1);
    // The runs start in fresh folders: relative paths are made absolute.
    programs[0].program = argc > 1 ? std::filesystem::absolute(argv[1]).string() : beside_this_program("sifterra");
    if (argc > 2) programs.push_back(series{std::filesystem::absolute(argv[2]).string(), {}, {}});
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 7;
    for (int i = 0; i < runs; ++i) {
        for (size_t p = 0; p < programs.size(); ++p) {
            series& s = programs[p];
            measurement m{};
            if (!run_once(s.program, m)) {
                std::fprintf(stderr, "run %d of %s failed\n", i + 1, s.program.c_str());
                return 1;
            }
            std::printf("run %d %s: %.1f ms wall, %ld KB peak resident\n", i + 1, p == 0 ? "this" : "previous",
                        m.wall_ms, m.peak_kb);
            s.walls.push_back(m.wall_ms);
            s.peaks.push_back(m.peak_kb);
        }
    }
    print_series("this    ", programs[0]);
    if (programs.size() > 1) {
        print_series("previous", programs[1]);
        std::printf("this / previous: %.2fx wall, %.2fx peak resident (medians)\n",
                    median(programs[0].walls) / median(programs[1].walls),
                    static_cast<double>(median(programs[0].peaks)) / median(programs[1].peaks));
    }
    return 0;
}
