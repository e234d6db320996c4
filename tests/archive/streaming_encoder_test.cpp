#include "archive/streaming_encoder.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "archive/container_file.h"
#include "archive_test_support.h"
#include "base/clock.h"

namespace {

std::time_t fixed_clock() { return 1700000000; }

// How a test writes through the stream.
enum class writing { whole, small_pieces, flush_all_between, bypass_first_bytes };

struct stream_case {
    const char* what;
    std::string input;
    writing how;
};

// Writes input to name through a tee'd stream; gives the stream's close
// status.
int write_through(StreamingEncoder& encoder, const std::string& name, const std::string& input, writing how) {
    FILE* file = std::fopen(name.c_str(), "wb");
    if (!file) return -100;
    size_t at = 0;
    if (how == writing::bypass_first_bytes && !input.empty()) {
        // Bytes already in the file before the stream takes over.
        std::fwrite(input.data(), 1, 1, file);
        at = 1;
    }
    FILE* stream = encoder.tee(file);
    if (how == writing::whole || how == writing::bypass_first_bytes) {
        std::fwrite(input.data() + at, 1, input.size() - at, stream);
    } else {
        for (; at < input.size(); at += 7) {
            std::fwrite(input.data() + at, 1, std::min<size_t>(7, input.size() - at), stream);
            // Flushing every stream (as before starting a command) must not
            // wait on the encoder.
            if (how == writing::flush_all_between && at % 7007 == 0) std::fflush(nullptr);
        }
    }
    return std::fclose(stream);
}

// The container the program's sequence gives, the report added by adder.
std::string container_with(const std::function<int(ContainerFile&)>& adder) {
    ContainerFile c;
    c.set_trace(nullptr);
    if (c.create("c.KD2") != 0) return "create failed";
    c.write_version_record("2.00 (Internal use Only)");
    int rc = adder(c);
    c.close();
    if (rc != 0) return "add failed: " + std::to_string(rc);
    ContainerFile::seal("c.KD2");
    std::string bytes = read_file("c.KD2");
    std::remove("c.KD2");
    return bytes;
}

}  // namespace

// The container holds exactly the bytes the file-by-file packing gives,
// whether the stream's compression could be used or not.
TEST(StreamingEncoder, PacksExactlyAsTheFileWouldBe) {
    ScratchDir scratch;
    ASSERT_TRUE(scratch.ok());
    set_clock_source(fixed_clock);
    std::mt19937 rng(26);
    const std::vector<stream_case> cases = {
        {"one byte", "A", writing::whole},
        {"a byte that codes to one byte (stored)", "t", writing::whole},
        {"text larger than the pipe", text_like(rng, 3 << 20), writing::whole},
        {"random bytes in small pieces", random_bytes(rng, 200000), writing::small_pieces},
        {"flushing every stream while writing, more than the pipe holds", text_like(rng, 2500000),
         writing::flush_all_between},
        {"bytes written before the stream took over", text_like(rng, 50000), writing::bypass_first_bytes},
    };
    for (const stream_case& c : cases) {
        StreamingEncoder encoder;
        ASSERT_EQ(write_through(encoder, "report.tmp", c.input, c.how), 0) << c.what;
        ASSERT_EQ(read_file("report.tmp"), c.input) << c.what;
        EXPECT_TRUE(encoder.started()) << c.what;

        // The encoder had every byte of the stream; bytes that bypassed it
        // show in the file's length, and the file is packed instead.
        CodecSizes sizes;
        EXPECT_TRUE(encoder.finish(&sizes)) << c.what;
        EXPECT_EQ(sizes.uncompressed, c.input.size() - (c.how == writing::bypass_first_bytes ? 1 : 0)) << c.what;

        std::string expected = container_with([](ContainerFile& f) {
            return f.add_item(xml_report_item_id, "report.tmp", true);
        });
        std::string streamed = container_with([&](ContainerFile& f) {
            return add_streamed_item(f, &encoder, xml_report_item_id, "report.tmp");
        });
        EXPECT_TRUE(streamed == expected) << c.what;
        // Its compressed copy is given up once it is in the container.
        EXPECT_EQ(encoder.encoded(), nullptr) << c.what;
    }
    set_clock_source(nullptr);
}

// Without a started encoder, or with an empty report, the item is added as
// add_item adds it (an empty report is a codec failure, -9).
TEST(StreamingEncoder, FallsBackToTheFileWhenNothingWasStreamed) {
    ScratchDir scratch;
    ASSERT_TRUE(scratch.ok());
    set_clock_source(fixed_clock);
    ASSERT_TRUE(write_file("report.tmp", "not streamed"));
    StreamingEncoder idle;
    EXPECT_FALSE(idle.finish(nullptr));
    std::string expected = container_with([](ContainerFile& f) {
        return f.add_item(xml_report_item_id, "report.tmp", true);
    });
    for (StreamingEncoder* encoder : {static_cast<StreamingEncoder*>(nullptr), &idle}) {
        EXPECT_TRUE(container_with([&](ContainerFile& f) {
                        return add_streamed_item(f, encoder, xml_report_item_id, "report.tmp");
                    }) == expected);
    }

    StreamingEncoder empty;
    ASSERT_EQ(write_through(empty, "empty.tmp", "", writing::whole), 0);
    EXPECT_EQ(container_with([&](ContainerFile& f) {
                  return add_streamed_item(f, &empty, xml_report_item_id, "empty.tmp");
              }),
              "add failed: -9");
    set_clock_source(nullptr);
}

// A file that cannot be written fails the stream as it would fail the
// file, and the encoder never blocks the writer.
TEST(StreamingEncoder, WriteErrorsOfTheFileReachTheStream) {
    FILE* full = std::fopen("/dev/full", "wb");
    if (!full) GTEST_SKIP() << "no /dev/full";
    StreamingEncoder encoder;
    FILE* stream = encoder.tee(full);
    std::string block(100000, 'x');
    size_t put = std::fwrite(block.data(), 1, block.size(), stream);
    EXPECT_TRUE(put < block.size() || std::fflush(stream) != 0);
    EXPECT_TRUE(std::ferror(stream));
    std::fclose(stream);
    EXPECT_FALSE(encoder.finish(nullptr));
}
