// Prints LZHUF encode and decode throughput on a generated 16 MB corpus of
// text-like and binary blocks (1 MB = 1,000,000 bytes).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "archive/lzhuf_codec.h"

namespace {

constexpr size_t corpus_size = 16u << 20;
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

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
    std::mt19937 rng(2024);
    std::string corpus;
    corpus.reserve(corpus_size);
    while (corpus.size() < corpus_size) {
        if (rng() % 3) append_text(rng, corpus, block_size);
        else append_binary(rng, corpus, block_size);
    }
    corpus.resize(corpus_size);

    char pattern[] = "/tmp/bench_lzhuf.XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    std::string dir = pattern;
    std::string plain = dir + "/corpus", packed = dir + "/corpus.lzh", restored = dir + "/corpus.out";
    FILE* f = std::fopen(plain.c_str(), "wb");
    std::fwrite(corpus.data(), 1, corpus.size(), f);
    std::fclose(f);

    LzhufCodec codec;
    CodecSizes sizes;
    FILE* in = std::fopen(plain.c_str(), "rb");
    FILE* out = std::fopen(packed.c_str(), "wb");
    auto start = std::chrono::steady_clock::now();
    int rc = codec.encode(in, out, &sizes);
    std::fflush(out);
    double encode_time = seconds_since(start);
    std::fclose(in);
    std::fclose(out);

    in = std::fopen(packed.c_str(), "rb");
    out = std::fopen(restored.c_str(), "wb");
    start = std::chrono::steady_clock::now();
    int rc2 = codec.decode(in, out, &sizes);
    std::fflush(out);
    double decode_time = seconds_since(start);
    std::fclose(in);
    std::fclose(out);

    std::string back;
    back.resize(corpus.size());
    f = std::fopen(restored.c_str(), "rb");
    size_t got = std::fread(back.data(), 1, back.size(), f);
    std::fclose(f);
    bool same = rc == 0 && rc2 == 0 && got == corpus.size() && back == corpus;
    std::filesystem::remove_all(dir);

    double mb = corpus.size() / 1e6;
    std::printf("corpus      %.1f MB (text-like and binary blocks of 64 KiB)\n", mb);
    std::printf("compressed  %.1f MB (%.1f%%)\n", sizes.compressed / 1e6, 100.0 * sizes.compressed / corpus.size());
    std::printf("encode      %.1f MB/s (%.2f s)\n", mb / encode_time, encode_time);
    std::printf("decode      %.1f MB/s (%.2f s)\n", mb / decode_time, decode_time);
    std::printf("round trip  %s\n", same ? "exact" : "FAILED");
    return same ? 0 : 1;
}
