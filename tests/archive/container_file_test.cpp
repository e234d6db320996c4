#include "archive/container_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "archive/lzhuf_codec.h"
#include "archive_test_support.h"
#include "base/run_context.h"
#include "base/clock.h"

namespace {

constexpr std::time_t fixed_time = 1700000000;  // 2023-11-14 22:13:20 UTC
std::time_t fixed_clock() {
    return fixed_time;
}

uint32_t u32_at(const std::string& s, size_t at) {
    auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(s[at + i])); };
    return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
}

std::vector<std::string> directory_listing(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
    return names;
}

class ContainerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(scratch.ok());
        set_clock_source(fixed_clock);
        container.set_trace(nullptr);
    }
    void TearDown() override { set_clock_source(nullptr); }

    // Adds each input as an item and returns what extraction gives back.
    void expect_items_round_trip(const std::vector<std::string>& inputs, bool compress) {
        ASSERT_EQ(container.create("c.KD2"), 0);
        for (size_t i = 0; i < inputs.size(); i++) {
            std::string name = "in" + std::to_string(i);
            ASSERT_TRUE(write_file(name, inputs[i]));
            ASSERT_EQ(container.add_item(static_cast<int>(i % 256), name.c_str(), compress), 0) << i;
        }
        container.close();
        ASSERT_EQ(ContainerFile::seal("c.KD2"), 0);
        ContainerFile reader;
        reader.set_trace(nullptr);
        ASSERT_EQ(reader.open("c.KD2"), 0);
        ASSERT_EQ(reader.item_count(), static_cast<int>(inputs.size()));
        for (size_t i = 0; i < inputs.size(); i++) {
            ASSERT_EQ(reader.extract_item(static_cast<int>(i), "out"), 0) << i;
            EXPECT_TRUE(read_file("out") == inputs[i]) << "item " << i << " compress " << compress;
            EXPECT_TRUE(reader.last_extract_exact()) << i;
        }
    }

    ScratchDir scratch;
    ContainerFile container;
};

}  // namespace

// The sequence the program runs: version record, report, close, seal.
TEST_F(ContainerTest, ProgramSequenceGivesASealedTwoItemContainer) {
    std::mt19937 rng(1);
    std::string report = "<?xml version=\"1.0\"?>\n" + text_like(rng, 50000);
    ASSERT_TRUE(write_file("keldr1a2b.tmp", report));
    ASSERT_EQ(container.create("box.KD2"), 0);
    EXPECT_EQ(container.write_version_record(sifterra_version), 0);
    EXPECT_EQ(container.add_item(xml_report_item_id, "keldr1a2b.tmp", true), 0);
    container.close();
    ASSERT_EQ(ContainerFile::seal("box.KD2"), 0);

    std::string sealed = read_file("box.KD2");
    EXPECT_EQ(sealed.substr(0, 9), "_KELDRFF_");
    EXPECT_EQ(static_cast<unsigned char>(sealed[9]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(sealed[10]), 0x01);
    EXPECT_EQ(sealed.find('\0'), std::string::npos);
    // Only the container and the input are left: no KDLIC.TMP, no "%X.tmp".
    std::vector<std::string> names = directory_listing(scratch.path());
    EXPECT_EQ(names.size(), 2u);

    ContainerFile reader;
    reader.set_trace(nullptr);
    ASSERT_EQ(reader.open("box.KD2"), 0);
    std::string plain = read_file("box.KD2");
    EXPECT_EQ(plain.substr(0, 10), std::string("_KELDRAN_\0", 10));
    EXPECT_EQ(plain[17], 0);
    EXPECT_EQ(plain[18], 2);
    EXPECT_EQ(plain[19], 2);
    ASSERT_EQ(reader.item_count(), 2);
    EXPECT_EQ(reader.item_id(0), 16);
    EXPECT_EQ(reader.item_id(1), 15);

    DateStamp stamp = reader.creation_stamp();
    EXPECT_EQ(stamp.hour, 22);
    EXPECT_EQ(stamp.minute, 13);
    EXPECT_EQ(stamp.second, 20);
    EXPECT_EQ(stamp.day, 14);
    EXPECT_EQ(stamp.month, 11);
    EXPECT_EQ(stamp.year, 2023);

    ItemRecord version;
    ASSERT_EQ(reader.read_record(0, &version), 0);
    EXPECT_EQ(version.uncompressed_length, 76u);
    EXPECT_EQ(version.compressed_flag, 1);
    ASSERT_EQ(reader.extract_item_by_id(16, "version"), 0);
    std::string record = read_file("version");
    ASSERT_EQ(record.size(), 76u);
    EXPECT_EQ(u32_at(record, 0), 76u);
    EXPECT_EQ(record[4], 1);
    EXPECT_EQ(record.substr(5, 7), std::string("\x16\x0D\x14\x0E\x0B\xE7\x07", 7));
    EXPECT_EQ(record.substr(12, 24), "2.00 (Internal use Only)");
    EXPECT_EQ(record.substr(36), std::string(40, '\0'));

    ASSERT_EQ(reader.extract_item_by_id(15, "report"), 0);
    EXPECT_TRUE(read_file("report") == report);
}

TEST_F(ContainerTest, ItemsRoundTripCompressedAndStored) {
    std::mt19937 rng(2);
    std::vector<std::string> inputs = {std::string(10000, 'r'), random_bytes(rng, 60000), text_like(rng, 120000),
                                       std::string(1, '\xFF'), std::string("\0\xFF\xFF\x01\0", 5)};
    expect_items_round_trip(inputs, true);
    expect_items_round_trip(inputs, false);
}

TEST_F(ContainerTest, EveryOneByteItemRoundTrips) {
    for (int half = 0; half < 2; half++) {
        std::vector<std::string> inputs;
        for (int v = 0; v < 128; v++) inputs.push_back(std::string(1, static_cast<char>(half * 128 + v)));
        expect_items_round_trip(inputs, true);
        expect_items_round_trip(inputs, false);
    }
}

// Equal lengths read back as stored data, so such items are written stored.
TEST_F(ContainerTest, ItemThatCompressesToItsOwnLengthIsStored) {
    // Find a short text whose stream is exactly as long as the text.
    std::string text;
    for (int seed = 0; seed < 2000 && text.empty(); seed++) {
        std::mt19937 rng(seed);
        std::string candidate = text_like(rng, 3 + seed % 12);
        ASSERT_TRUE(write_file("probe", candidate));
        FILE* in = std::fopen("probe", "rb");
        FILE* out = std::fopen("probe.out", "wb");
        LzhufCodec codec;
        CodecSizes sizes;
        codec.encode(in, out, &sizes);
        std::fclose(in);
        std::fclose(out);
        if (sizes.compressed == sizes.uncompressed) text = candidate;
    }
    ASSERT_FALSE(text.empty());

    ASSERT_EQ(container.create("c.KD2"), 0);
    ASSERT_TRUE(write_file("text", text));
    ASSERT_TRUE(write_file("byte", "\xC8"));
    ASSERT_EQ(container.add_item(1, "text", true), 0);
    ASSERT_EQ(container.add_item(2, "byte", true), 0);
    for (int i = 0; i < 2; i++) {
        ItemRecord record;
        ASSERT_EQ(container.read_record(i, &record), 0);
        EXPECT_EQ(record.compressed_flag, 0);
        EXPECT_EQ(record.compressed_length, 0u);
    }
    ASSERT_EQ(container.extract_item(0, "out"), 0);
    EXPECT_EQ(read_file("out"), text);
    ASSERT_EQ(container.extract_item(1, "out"), 0);
    EXPECT_EQ(read_file("out"), "\xC8");
}

TEST_F(ContainerTest, EmptyFile) {
    ASSERT_TRUE(write_file("empty", ""));
    ASSERT_EQ(container.create("c.KD2"), 0);
    std::string before = read_file("c.KD2");
    EXPECT_EQ(container.add_item(1, "empty", true), -9);
    EXPECT_EQ(container.item_count(), 0);
    EXPECT_EQ(read_file("c.KD2"), before);
    EXPECT_EQ(directory_listing(scratch.path()).size(), 2u);  // no temporary file left

    ASSERT_EQ(container.add_item(1, "empty", false), 0);
    std::string plain = read_file("c.KD2");
    ASSERT_EQ(plain.size(), 30u);
    EXPECT_EQ(plain.substr(20), std::string("\x01\0\0\0\0\0\0\0\0\0", 10));
    ASSERT_EQ(container.extract_item(0, "out"), 0);
    EXPECT_TRUE(file_exists("out"));
    EXPECT_EQ(read_file("out"), "");
}

TEST_F(ContainerTest, DirectoryHoldsAtMost255Items) {
    ASSERT_TRUE(write_file("x", "x"));
    ASSERT_EQ(container.create("c.KD2"), 0);
    for (int i = 0; i < 255; i++) ASSERT_EQ(container.add_item(i, "x", false), 0);
    std::string before = read_file("c.KD2");
    EXPECT_EQ(static_cast<unsigned char>(before[19]), 255);
    EXPECT_EQ(container.add_item(7, "x", true), -4);
    EXPECT_EQ(read_file("c.KD2"), before);
    EXPECT_EQ(container.item_count(), 255);
}

TEST_F(ContainerTest, SealAndUnsealAreExactInverses) {
    std::mt19937 rng(4);
    std::string plain = std::string("_KELDRAN_\0", 10) + std::string(10, '\0');
    for (int i = 0; i < 5000; i++) {
        static const char pick[] = {'\0', '\xFF', '\x01', 'a'};
        plain += pick[rng() % 4];
    }
    plain += "\xFF\x01\xFF\xFF\xFF";
    ASSERT_TRUE(write_file("c.KD2", plain));
    ASSERT_EQ(ContainerFile::seal("c.KD2"), 0);
    std::string sealed = read_file("c.KD2");
    EXPECT_EQ(sealed.find('\0'), std::string::npos);
    EXPECT_EQ(sealed.substr(0, 11), "_KELDRFF_\xFF\x01");
    EXPECT_FALSE(file_exists("c.KD2.tmp"));
    ASSERT_EQ(ContainerFile::unseal("c.KD2"), 0);
    EXPECT_TRUE(read_file("c.KD2") == plain);
    EXPECT_FALSE(file_exists("c.KD2.tmp"));
}

TEST_F(ContainerTest, OpenUnsealsOnDiskOnce) {
    ASSERT_TRUE(write_file("x", "payload"));
    ASSERT_EQ(container.create("c.KD2"), 0);
    ASSERT_EQ(container.add_item(3, "x", true), 0);
    container.close();
    std::string plain = read_file("c.KD2");
    ASSERT_EQ(ContainerFile::seal("c.KD2"), 0);
    ASSERT_EQ(container.open("c.KD2"), 0);
    EXPECT_EQ(read_file("c.KD2"), plain);
    container.close();
    ASSERT_EQ(container.open("c.KD2"), 0);  // plain magic found directly
    EXPECT_EQ(container.item_count(), 1);
}

TEST_F(ContainerTest, BrokenSealedFormsAreNotContainers) {
    std::string sealed_start = std::string("_KELDRFF_\xFF\x01", 11) + std::string(9, 'a');
    // A lone 0xFF at the very end is a cut in the middle of a pair: unseal
    // refuses it, open reads what is before it.
    const std::string empty_header = std::string("_KELDRFF_\xFF\x01" "abcdefg\xFF\x01\x02\xFF\x01", 23);
    ASSERT_TRUE(write_file("lone.KD2", empty_header + "\xFF"));
    EXPECT_EQ(ContainerFile::unseal("lone.KD2"), -6);
    EXPECT_EQ(container.open("lone.KD2"), 0);
    EXPECT_TRUE(container.damaged());
    EXPECT_EQ(container.item_count(), 0);
    ASSERT_TRUE(write_file("bad.KD2", sealed_start + "\xFF\x02"));
    EXPECT_EQ(container.open("bad.KD2"), -10);
    // A failed unseal leaves the file as it was and no temporary file.
    EXPECT_EQ(read_file("bad.KD2"), sealed_start + "\xFF\x02");
    EXPECT_FALSE(file_exists("bad.KD2.tmp"));
}

TEST_F(ContainerTest, WrongMagicLeavesTheObjectClosed) {
    ASSERT_TRUE(write_file("c.KD2", std::string("_KELDRAX_\0", 10) + std::string(10, '\0')));
    EXPECT_EQ(container.open("c.KD2"), -10);
    EXPECT_EQ(container.extract_item(0, "out"), -1);
    ASSERT_TRUE(write_file("x", "x"));
    EXPECT_EQ(container.add_item(1, "x", false), -1);
    ASSERT_TRUE(write_file("short", "_KELDRAN_"));
    EXPECT_EQ(container.open("short"), -5);
    EXPECT_EQ(container.open("missing"), -2);
    EXPECT_EQ(container.open(nullptr), -1);
}

TEST_F(ContainerTest, ItemsAreFoundByIdAndIndex) {
    ASSERT_TRUE(write_file("a", "first"));
    ASSERT_TRUE(write_file("b", "second"));
    ASSERT_EQ(container.create("c.KD2"), 0);
    ASSERT_EQ(container.add_item(9, "a", true), 0);
    ASSERT_EQ(container.add_item(9, "b", false), 0);
    EXPECT_EQ(container.extract_item_by_id(9, "out"), 0);
    EXPECT_EQ(read_file("out"), "first");
    EXPECT_EQ(container.extract_item_by_id(10, "out"), -8);
    EXPECT_EQ(container.item_id(-1), 0);
    EXPECT_EQ(container.item_id(2), 0);
    EXPECT_EQ(container.extract_item(2, "out"), -1);
    EXPECT_EQ(container.add_item(256, "a", false), -1);
    EXPECT_EQ(container.add_item(1, "no such file", false), -2);

    // After close the directory still answers; the file operations do not.
    container.close();
    EXPECT_EQ(container.item_count(), 2);
    EXPECT_EQ(container.item_id(1), 9);
    EXPECT_EQ(container.extract_item(0, "out"), -1);
    EXPECT_EQ(container.add_item(1, "a", false), -1);
}

TEST_F(ContainerTest, VersionTextIsCutTo64Bytes) {
    std::string long_text(70, 'v');
    for (const std::string& text : {std::string(64, 'w'), long_text}) {
        ASSERT_EQ(container.create("c.KD2"), 0);
        ASSERT_EQ(container.write_version_record(text.c_str()), 0);
        ASSERT_EQ(container.extract_item(0, "version"), 0);
        std::string record = read_file("version");
        ASSERT_EQ(record.size(), 76u);
        EXPECT_EQ(record.substr(12), text.substr(0, 64));
    }
    EXPECT_FALSE(file_exists("KDLIC.TMP"));
}

// A folder under the item's temporary name (it cannot be removed) makes the
// writer take the next second's name.
TEST_F(ContainerTest, FolderUnderTheItemTemporaryNameIsPassedBy) {
    char item_temp[32];
    std::snprintf(item_temp, sizeof item_temp, "%lX.tmp", static_cast<unsigned long>(fixed_time));
    ASSERT_EQ(mkdir(item_temp, 0700), 0);
    ASSERT_TRUE(write_file("x", std::string(5000, 'x')));
    ASSERT_EQ(container.create("c.KD2"), 0);
    EXPECT_EQ(container.add_item(1, "x", true), 0);
    EXPECT_EQ(directory_listing(scratch.path()).size(), 3u);  // c.KD2, x and the folder
}

// The writer reads its own files by name; a link put in their place is not
// followed.
TEST_F(ContainerTest, InputsAreReadWithoutFollowingLinks) {
    ASSERT_TRUE(write_file("x", std::string(5000, 'x')));
    ASSERT_EQ(symlink("x", "link-to-x"), 0);
    ASSERT_EQ(container.create("c.KD2"), 0);
    EXPECT_EQ(container.add_item(1, "link-to-x", false), -2);
    EXPECT_EQ(container.close(), 0);
    EXPECT_EQ(ContainerFile::seal("link-to-x"), -4);
    EXPECT_EQ(read_file("x"), std::string(5000, 'x'));
}

// An upload cut short keeps every complete item before the cut, at any
// length, and says that it is damaged.
TEST_F(ContainerTest, CutContainerKeepsItsCompleteItems) {
    std::mt19937 rng(6);
    const std::vector<std::string> inputs = {text_like(rng, 3000), random_bytes(rng, 400), text_like(rng, 900)};
    ASSERT_EQ(container.create("c.KD2"), 0);
    std::vector<size_t> plain_ends;  // where each item ends in the plain form
    for (size_t i = 0; i < inputs.size(); i++) {
        ASSERT_TRUE(write_file("in", inputs[i]));
        ASSERT_EQ(container.add_item(static_cast<int>(i + 1), "in", i != 1), 0);
    }
    container.close();
    std::string plain = read_file("c.KD2");
    ASSERT_EQ(container.open("c.KD2"), 0);
    for (int i = 0; i < container.item_count(); i++) {
        ItemRecord r;
        ASSERT_EQ(container.read_record(i, &r), 0);
        plain_ends.push_back(static_cast<size_t>(r.offset) + item_record_size + r.data_length());
    }
    container.close();
    ASSERT_EQ(plain_ends.back(), plain.size());
    ASSERT_EQ(ContainerFile::seal("c.KD2"), 0);
    const std::string sealed = read_file("c.KD2");
    // Sealed length of a plain prefix: escaped bytes take two.
    auto sealed_length = [&](size_t plain_length) {
        size_t n = plain_length;
        for (size_t i = 0; i < plain_length; i++) n += plain[i] == '\0' || plain[i] == '\xFF';
        return n;
    };

    for (bool is_sealed : {false, true}) {
        const std::string& whole = is_sealed ? sealed : plain;
        auto end_of = [&](size_t plain_length) { return is_sealed ? sealed_length(plain_length) : plain_length; };
        // Every length next to an item's or record's end or inside an escape
        // pair, and a spread of the others.
        // Where each item ends, and where each item's record header ends.
        std::vector<size_t> item_ends, record_ends = {end_of(container_header_size + item_record_size)};
        for (size_t end : plain_ends) {
            item_ends.push_back(end_of(end));
            record_ends.push_back(end_of(std::min(end + item_record_size, plain.size())));
        }
        auto worth_trying = [&](size_t length) {
            if (length % 23 == 0 || (is_sealed && whole[length - 1] == '\xFF')) return true;
            for (const auto* ends : {&item_ends, &record_ends})
                for (size_t edge : *ends)
                    if (length + 2 >= edge && length <= edge + 2) return true;
            return false;
        };
        for (size_t length = end_of(container_header_size); length < whole.size(); length++) {
            if (!worth_trying(length)) continue;
            ASSERT_TRUE(write_file("cut.KD2", whole.substr(0, length)));
            ASSERT_EQ(container.open("cut.KD2"), 0) << length;
            EXPECT_TRUE(container.damaged()) << length;
            EXPECT_EQ(container.declared_item_count(), 3);
            int complete = 0;
            while (complete < 3 && item_ends[complete] <= length) complete++;
            ASSERT_EQ(container.item_count(), complete) << length << (is_sealed ? " sealed" : " plain");
            for (int i = 0; i < complete; i++) {
                ASSERT_EQ(container.extract_item(i, "out"), 0);
                EXPECT_TRUE(read_file("out") == inputs[i]) << length;
            }
            ItemRecord cut;
            if (container.cut_record(&cut)) {
                EXPECT_EQ(cut.id, complete + 1);
            }
            EXPECT_EQ(container.cut_record(nullptr), record_ends[complete] <= length) << length;
        }
    }
    // A cut inside the header leaves nothing to read.
    ASSERT_TRUE(write_file("cut.KD2", plain.substr(0, container_header_size - 1)));
    EXPECT_EQ(container.open("cut.KD2"), -5);
    ASSERT_TRUE(write_file("cut.KD2", sealed.substr(0, container_header_size - 1)));
    EXPECT_EQ(container.open("cut.KD2"), -5);
}

TEST_F(ContainerTest, SealNeedsAnExistingHeader) {
    EXPECT_EQ(ContainerFile::seal("missing.KD2"), -4);
    EXPECT_EQ(ContainerFile::unseal("missing.KD2"), -4);
    ASSERT_TRUE(write_file("tiny.KD2", "_KELDRAN_"));
    EXPECT_EQ(ContainerFile::seal("tiny.KD2"), -5);
    EXPECT_EQ(read_file("tiny.KD2"), "_KELDRAN_");
    EXPECT_FALSE(file_exists("tiny.KD2.tmp"));
}

// A new container is its owner's alone whatever the umask; sealing and
// unsealing keep the permissions the file has, never widen them.
TEST_F(ContainerTest, ContainersAreOwnerOnlyAndConversionsKeepTheMode) {
    const mode_t saved_umask = umask(0);
    ASSERT_TRUE(write_file("in", "report"));
    ASSERT_EQ(container.create("box.KD2"), 0);
    ASSERT_EQ(container.add_item(15, "in", true), 0);
    container.close();
    auto mode_of = [](const char* name) {
        struct stat info;
        return stat(name, &info) == 0 ? info.st_mode & 0777 : 07777u;
    };
    EXPECT_EQ(mode_of("box.KD2"), 0600u);
    struct row {
        mode_t before;
    };
    for (const row& r : {row{0600}, row{0640}, row{0400}}) {
        ASSERT_EQ(chmod("box.KD2", r.before), 0);
        ASSERT_EQ(ContainerFile::seal("box.KD2"), 0);
        EXPECT_EQ(mode_of("box.KD2"), r.before) << std::oct << r.before;
        ASSERT_EQ(ContainerFile::unseal("box.KD2"), 0);
        EXPECT_EQ(mode_of("box.KD2"), r.before) << std::oct << r.before;
    }
    umask(saved_umask);
}
