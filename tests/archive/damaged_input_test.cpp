// Damaged containers and streams: bounded random mutations that must never
// crash, hang, or produce more than the recorded length.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "archive/container_file.h"
#include "archive/lzhuf_codec.h"
#include "archive_test_support.h"

namespace {

std::string mutate(std::mt19937& rng, std::string bytes) {
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits && !bytes.empty(); e++) {
        size_t at = rng() % bytes.size();
        switch (rng() % 5) {
        case 0:
            bytes[at] = static_cast<char>(bytes[at] ^ (1 << (rng() % 8)));
            break;
        case 1:
            bytes[at] = static_cast<char>(rng());
            break;
        case 2:
            bytes.resize(at);
            break;
        case 3:
            bytes.insert(at, 1, static_cast<char>(rng()));
            break;
        default:
            bytes.erase(at, 1 + rng() % 8);
            break;
        }
    }
    return bytes;
}

// A plain container with a version record, a compressed and a stored item.
std::string build_container(bool sealed) {
    std::mt19937 rng(21);
    write_file("text", text_like(rng, 3000));
    write_file("blob", random_bytes(rng, 300));
    ContainerFile c;
    c.create("seed.KD2");
    c.write_version_record("2.00 (Internal use Only)");
    c.add_item(15, "text", true);
    c.add_item(3, "blob", false);
    c.close();
    if (sealed) ContainerFile::seal("seed.KD2");
    return read_file("seed.KD2");
}

void check_damaged_container(const std::string& bytes) {
    ASSERT_TRUE(write_file("damaged.KD2", bytes));
    ContainerFile c;
    c.set_trace(nullptr);
    if (c.open("damaged.KD2") != 0) return;
    for (int i = 0; i < c.item_count(); i++) {
        ItemRecord record;
        ASSERT_EQ(c.read_record(i, &record), 0);
        std::remove("out");
        if (c.extract_item(i, "out") != 0) {
            EXPECT_FALSE(file_exists("out"));
            continue;
        }
        size_t produced = read_file("out").size();
        if (record.compressed_flag)
            EXPECT_EQ(produced, record.uncompressed_length);
        else
            EXPECT_LE(produced, record.uncompressed_length);
    }
}

}  // namespace

TEST(DamagedInput, MutatedContainersOpenAndExtractSafely) {
    ScratchDir scratch;
    ASSERT_TRUE(scratch.ok());
    std::mt19937 rng(1234);
    for (bool sealed : {false, true}) {
        std::string seed = build_container(sealed);
        for (int round = 0; round < 250; round++) {
            check_damaged_container(mutate(rng, seed));
            if (HasFatalFailure()) return;
        }
    }
}

TEST(DamagedInput, RandomStreamsDecodeToExactlyTheRecordedLength) {
    std::mt19937 rng(99);
    for (int round = 0; round < 300; round++) {
        std::string stream = random_bytes(rng, rng() % 600);
        CodecSizes sizes;
        sizes.uncompressed = rng() % 20000;
        sizes.compressed = static_cast<uint32_t>(stream.size());
        std::string backing = stream + "tail";  // never part of the stream
        FILE* in = fmemopen(backing.data(), backing.size(), "rb");
        char* data = nullptr;
        size_t size = 0;
        FILE* out = open_memstream(&data, &size);
        LzhufCodec codec;
        int rc = codec.decode(in, out, &sizes);
        long consumed = std::ftell(in);
        std::fclose(out);
        std::fclose(in);
        std::free(data);
        if (sizes.uncompressed == sizes.compressed) continue;
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(size, sizes.uncompressed);
        EXPECT_LE(consumed, static_cast<long>(stream.size()));
    }
}

// No stream of this size could hold this much data: refused before any output.
TEST(DamagedInput, ImpossibleExpansionIsRefused) {
    ScratchDir scratch;
    ASSERT_TRUE(scratch.ok());
    std::string plain = std::string("_KELDRAN_\0", 10) + std::string(9, '\0') + '\x01';
    plain += std::string("\x07\xFF\xFF\xFF\x7F\x01\x02\0\0\0", 10) + "ab";
    ASSERT_TRUE(write_file("big.KD2", plain));
    ContainerFile c;
    c.set_trace(nullptr);
    ASSERT_EQ(c.open("big.KD2"), 0);
    EXPECT_EQ(c.extract_item(0, "out"), -9);
    EXPECT_FALSE(file_exists("out"));
}
