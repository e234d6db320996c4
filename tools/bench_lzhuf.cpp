// Prints LZHUF encode and decode throughput on a generated mixed corpus of
// text-like and binary blocks (1 MB = 1,000,000 bytes), beside a plain C
// build of the same algorithm (tools/lzhuf_reference.c) on the same corpus
// in the same run, with unlocked stdio and with the classic getc/putc, and
// the ratios. All must give identical compressed bytes and restore the
// corpus exactly. Times are wall time and this thread's processor time.
//
//   bench_lzhuf [MIB [ROUNDS]]   (default: 16 MiB, 3 rounds; min-max shown)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "archive/lzhuf_codec.h"
#include "lzhuf_reference.h"

namespace {

constexpr size_t block_size = 64u << 10;

void append_text(std::mt19937& rng, std::string& s, size_t n) {
    static const char* words[] = {"PCI",     "device", "vendor", "0x8086", "memory", "slot",     "<ROW>",
                                  "</ROW>",  "bridge", "status", "OK",     "Unknown", "controller", "kernel",
                                  "eth0",    "cache",  "DIMM",   "<CHK>",  "</CHK>", "Ethernet"};
    size_t end = s.size() + n;
    while (s.size() < end) {
        s += words[rng() % 20];
        s += (rng() % 8 == 0) ? '\n' : ' ';
        if (rng() % 5 == 0) s += std::to_string(rng() % 1000000);
    }
    s.resize(end);
}

void append_binary(std::mt19937& rng, std::string& s, size_t n) {
    size_t end = s.size() + n;
    if (rng() % 2) {
        while (s.size() < end) s += static_cast<char>(rng());  // incompressible
    } else {
        // Table-like records: small integers, zero padding, repeated fields.
        while (s.size() < end) {
            uint32_t value = rng() % 4096;
            s.append(reinterpret_cast<const char*>(&value), 4);
            s.append(4, '\0');
            s += static_cast<char>(0xFF);
            s += static_cast<char>(rng() % 16);
        }
    }
    s.resize(end);
}

std::string make_corpus(size_t size) {
    std::mt19937 rng(2024);
    std::string corpus;
    corpus.reserve(size);
    while (corpus.size() < size) {
        if (rng() % 3) append_text(rng, corpus, block_size);
        else append_binary(rng, corpus, block_size);
    }
    corpus.resize(size);
    return corpus;
}

std::string read_all(const std::string& path) {
    std::string bytes;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return bytes;
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.append(chunk, got);
    std::fclose(f);
    return bytes;
}

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// The wall time and the processor time of this thread (which leaves out
// the time other programs on a busy machine held the processor).
struct timing {
    double wall = 0, cpu = 0;
};

// Runs work from the file in to the file out and gives its times.
timing timed(const std::string& in, const std::string& out, const std::function<void(FILE*, FILE*)>& work) {
    FILE* input = std::fopen(in.c_str(), "rb");
    FILE* output = std::fopen(out.c_str(), "wb");
    if (!input || !output) std::exit(1);
    auto start = std::chrono::steady_clock::now();
    double cpu_start = cpu_seconds();
    work(input, output);
    std::fflush(output);
    timing t;
    t.cpu = cpu_seconds() - cpu_start;
    t.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fclose(input);
    std::fclose(output);
    return t;
}

struct span {
    double low = 1e300, high = 0;
    void add(double v) {
        low = std::min(low, v);
        high = std::max(high, v);
    }
};

}  // namespace

int main(int argc, char** argv) {
    const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 16;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const std::string corpus = make_corpus(mib << 20);
    if (corpus.empty()) return 1;

    char pattern[] = "/tmp/bench_lzhuf.XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string dir = pattern;
    const std::string plain = dir + "/corpus", packed = dir + "/ours.lzh", restored = dir + "/ours.out";
    const std::string ref_packed = dir + "/ref.lzh", ref_restored = dir + "/ref.out";
    const std::string locked_packed = dir + "/locked.lzh", locked_restored = dir + "/locked.out";
    FILE* f = std::fopen(plain.c_str(), "wb");
    std::fwrite(corpus.data(), 1, corpus.size(), f);
    std::fclose(f);

    const double mb = corpus.size() / 1e6;
    // Rates and ratios by wall time and by processor time: [clock][who],
    // who 0 this codec, 1 the plain C build, 2 the same with locking stdio.
    span encode_rate[2][3], decode_rate[2][3], encode_ratio[2][3], decode_ratio[2][3];
    bool same = true;
    CodecSizes sizes;
    for (int round = 0; round < rounds && same; ++round) {
        LzhufCodec codec;
        int rc = 0, rc2 = 0;
        timing encode[3], decode[3];
        encode[1] = timed(plain, ref_packed, [](FILE* in, FILE* out) { reference_encode(in, out); });
        encode[0] = timed(plain, packed, [&](FILE* in, FILE* out) { rc = codec.encode(in, out, &sizes); });
        encode[2] = timed(plain, locked_packed, [](FILE* in, FILE* out) { reference_encode_locked(in, out); });
        decode[1] = timed(ref_packed, ref_restored,
                          [&](FILE* in, FILE* out) { reference_decode(in, out, corpus.size()); });
        decode[0] = timed(packed, restored, [&](FILE* in, FILE* out) { rc2 = codec.decode(in, out, &sizes); });
        decode[2] = timed(ref_packed, locked_restored,
                          [&](FILE* in, FILE* out) { reference_decode_locked(in, out, corpus.size()); });

        const std::string ours = read_all(packed);
        same = rc == 0 && rc2 == 0 && ours == read_all(ref_packed) && ours == read_all(locked_packed) &&
               ours.size() == sizes.compressed && read_all(restored) == corpus &&
               read_all(ref_restored) == corpus && read_all(locked_restored) == corpus;
        for (int kind = 0; kind < 2; ++kind) {
            auto pick = [kind](const timing& t) { return kind == 0 ? t.wall : t.cpu; };
            for (int who = 0; who < 3; ++who) {
                encode_rate[kind][who].add(mb / pick(encode[who]));
                decode_rate[kind][who].add(mb / pick(decode[who]));
                encode_ratio[kind][who].add(pick(encode[who]) / pick(encode[0]));
                decode_ratio[kind][who].add(pick(decode[who]) / pick(decode[0]));
            }
        }
    }
    std::filesystem::remove_all(dir);

    std::printf("corpus      %.1f MB (text-like and binary blocks of 64 KiB), %d rounds\n", mb, rounds);
    std::printf("compressed  %.1f MB (%.1f%%)\n", sizes.compressed / 1e6, 100.0 * sizes.compressed / corpus.size());
    for (int kind = 0; kind < 2; ++kind) {
        const char* clock = kind == 0 ? "wall" : "cpu ";
        for (int way = 0; way < 2; ++way) {
            span(&rate)[3] = way == 0 ? encode_rate[kind] : decode_rate[kind];
            span(&ratio)[3] = way == 0 ? encode_ratio[kind] : decode_ratio[kind];
            std::printf("%s %s %.1f-%.1f MB/s; plain C %.1f-%.1f MB/s, ratio %.2f-%.2fx; "
                        "with getc/putc %.1f-%.1f MB/s, ratio %.2f-%.2fx\n",
                        way == 0 ? "encode" : "decode", clock, rate[0].low, rate[0].high, rate[1].low, rate[1].high,
                        ratio[1].low, ratio[1].high, rate[2].low, rate[2].high, ratio[2].low, ratio[2].high);
        }
    }
    std::printf("output      %s\n", same ? "identical to the plain C build, round trip exact" : "DIFFERS: FAILED");
    return same ? 0 : 1;
}
