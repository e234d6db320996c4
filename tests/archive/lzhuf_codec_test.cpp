#include "archive/lzhuf_codec.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#include "archive_test_support.h"

namespace {

// Codec runs on memory streams. Empty inputs need a real (empty) stream, so
// a one-byte buffer is used and the position moved to its end.
struct EncodeResult {
    int rc = 0;
    CodecSizes sizes;
    std::string stream;
};

EncodeResult encode_bytes(const std::string& input, long start = 0) {
    EncodeResult result;
    std::string backing = input.empty() ? std::string(1, 'x') : input;
    FILE* in = fmemopen(backing.data(), backing.size(), "rb");
    if (input.empty()) std::fseek(in, 1, SEEK_SET);
    else std::fseek(in, start, SEEK_SET);
    char* data = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&data, &size);
    auto codec = std::make_unique<LzhufCodec>();
    result.rc = codec->encode(in, out, &result.sizes);
    std::fclose(out);
    std::fclose(in);
    result.stream.assign(data, size);
    std::free(data);
    return result;
}

struct DecodeResult {
    int rc = 0;
    bool exact = false;
    std::string output;
};

DecodeResult decode_bytes(const std::string& stream, uint32_t uncompressed, uint32_t compressed,
                          LzhufCodec* codec = nullptr) {
    DecodeResult result;
    std::string backing = stream + std::string(8, '\xAA');  // bytes after the stream must not matter
    FILE* in = fmemopen(backing.data(), backing.size(), "rb");
    char* data = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&data, &size);
    std::unique_ptr<LzhufCodec> own;
    if (!codec) {
        own = std::make_unique<LzhufCodec>();
        codec = own.get();
    }
    CodecSizes sizes;
    sizes.uncompressed = uncompressed;
    sizes.compressed = compressed;
    result.rc = codec->decode(in, out, &sizes);
    result.exact = codec->stream_exact();
    std::fclose(out);
    std::fclose(in);
    result.output.assign(data, size);
    std::free(data);
    return result;
}

std::string hex(const std::string& s) {
    std::string h;
    char b[4];
    for (unsigned char c : s) {
        std::snprintf(b, sizeof b, "%02X", c);
        h += b;
    }
    return h;
}

void expect_round_trip(const std::string& input, const char* what) {
    EncodeResult e = encode_bytes(input);
    ASSERT_EQ(e.rc, 0) << what;
    ASSERT_EQ(e.sizes.uncompressed, input.size()) << what;
    ASSERT_EQ(e.sizes.compressed, e.stream.size()) << what;
    if (e.sizes.compressed == e.sizes.uncompressed) return;  // would read back as stored
    DecodeResult d = decode_bytes(e.stream, e.sizes.uncompressed, e.sizes.compressed);
    ASSERT_EQ(d.rc, 0) << what;
    EXPECT_TRUE(d.exact) << what;
    EXPECT_TRUE(d.output == input) << what;
}

}  // namespace

// Streams worked out by hand from the initial Huffman tree, the blank-filled
// window and the position code.
TEST(LzhufCodec, KnownStreams) {
    EncodeResult a = encode_bytes("A");
    EXPECT_EQ(hex(a.stream), "E680");

    EncodeResult blanks = encode_bytes(std::string(60, ' '));  // one match of 60 at position 59
    EXPECT_EQ(hex(blanks.stream), "C51D80");
    EXPECT_EQ(blanks.sizes.uncompressed, 60u);
    EXPECT_EQ(blanks.sizes.compressed, 3u);

    EXPECT_EQ(hex(encode_bytes(std::string(1, '\x74')).stream), "00");    // byte 116: eight zero bits
    EXPECT_EQ(hex(encode_bytes(std::string(1, '\x73')).stream), "FF80");  // byte 115: nine one bits
}

// FNV-1a, 64 bits: a fixed digest for pinned streams.
uint64_t digest(const std::string& bytes) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : bytes) hash = (hash ^ c) * 0x100000001b3ull;
    return hash;
}

// 200 KiB from a fixed generator: words that give matches, and runs of
// arbitrary bytes that keep every literal in use, so that the adaptive tree
// is rebuilt several times.
std::string pinned_input() {
    static const char* const words[] = {"device", "vendor", "0x8086", "memory", "slot",  "bridge", "status", "OK",
                                        "Unknown", "<ROW>", "eth0",   "cache",  "DIMM", "kernel", "\n",     "  "};
    uint64_t state = 20021204;
    auto next = [&state] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(state >> 33);
    };
    std::string input;
    while (input.size() < 200 * 1024) {
        uint32_t r = next();
        if (r % 3 == 0) {
            for (uint32_t n = r % 29; n > 0; --n) input += static_cast<char>(next() & 0xFF);
        } else {
            input += words[r % 16];
            input += ' ';
        }
    }
    input.resize(200 * 1024);
    return input;
}

// The exact bytes the encoder gives for a large input: a change to the
// model, the match search or the bit output shows here even when the
// decoder would still read the stream back.
TEST(LzhufCodec, EncoderOutputIsPinned) {
    const std::string input = pinned_input();
    EncodeResult e = encode_bytes(input);
    ASSERT_EQ(e.rc, 0);
    EXPECT_EQ(e.sizes.uncompressed, input.size());
    EXPECT_EQ(e.sizes.compressed, 141298u);
    EXPECT_EQ(digest(e.stream), 0xd858fa8c6f864e10ull);
    DecodeResult d = decode_bytes(e.stream, e.sizes.uncompressed, e.sizes.compressed);
    EXPECT_TRUE(d.exact && d.output == input);
}

TEST(LzhufCodec, OneByteInputsCodeAsOneLiteral) {
    for (int value = 0; value < 256; value++) {
        std::string input(1, static_cast<char>(value));
        EncodeResult e = encode_bytes(input);
        ASSERT_EQ(e.rc, 0);
        EXPECT_EQ(e.sizes.uncompressed, 1u);
        EXPECT_EQ(e.sizes.compressed, value < 116 ? 2u : 1u) << value;
        DecodeResult d = decode_bytes(e.stream, e.sizes.uncompressed, e.sizes.compressed);
        // Equal lengths are taken as stored data: the code byte comes back.
        EXPECT_EQ(d.output, value < 116 ? input : e.stream) << value;
    }
}

TEST(LzhufCodec, RoundTrips) {
    std::mt19937 rng(7);
    expect_round_trip(std::string(10000, 'Q'), "repeated byte");
    expect_round_trip(random_bytes(rng, 70000), "random, many symbols and rebuilds");
    expect_round_trip(text_like(rng, 150000), "text");
    std::string mixed = text_like(rng, 30000) + random_bytes(rng, 9000) + std::string(5000, '\0') +
                        text_like(rng, 30000);
    expect_round_trip(mixed, "mixed");
}

TEST(LzhufCodec, RepeatedBytesCompressWell) {
    EncodeResult e = encode_bytes(std::string(10000, 'Q'));
    ASSERT_EQ(e.rc, 0);
    EXPECT_LT(e.sizes.compressed, 400u);
}

// Short inputs and inputs around the look-ahead size are where the initial
// window content and the positions past the text take part in matching.
TEST(LzhufCodec, ShortInputsAroundTheLookAhead) {
    std::mt19937 rng(11);
    for (size_t n = 1; n <= 130; n++) {
        expect_round_trip(std::string(n, ' '), "blanks");
        std::string tail_blanks = text_like(rng, n / 2) + std::string(n - n / 2, ' ');
        expect_round_trip(tail_blanks, "text ending in blanks");
        expect_round_trip(std::string(n, '\0'), "zeros");
        expect_round_trip(random_bytes(rng, n), "random");
    }
}

TEST(LzhufCodec, OutputIsRepeatableAcrossObjectsAndCalls) {
    std::mt19937 rng(3);
    std::string input = text_like(rng, 20000);
    EncodeResult first = encode_bytes(input);
    EncodeResult second = encode_bytes(input);
    EXPECT_EQ(first.stream, second.stream);

    // One object used twice decodes both times from a fresh state.
    LzhufCodec codec;
    for (int i = 0; i < 2; i++) {
        DecodeResult d = decode_bytes(first.stream, first.sizes.uncompressed, first.sizes.compressed, &codec);
        EXPECT_TRUE(d.output == input);
    }
}

TEST(LzhufCodec, EncodeStartsAtTheCurrentPosition) {
    std::mt19937 rng(5);
    std::string input = text_like(rng, 9000);
    EncodeResult e = encode_bytes(input, 4000);
    ASSERT_EQ(e.rc, 0);
    EXPECT_EQ(e.sizes.uncompressed, 5000u);
    DecodeResult d = decode_bytes(e.stream, e.sizes.uncompressed, e.sizes.compressed);
    EXPECT_TRUE(d.output == input.substr(4000));
}

TEST(LzhufCodec, RefusesMissingArgumentsAndEmptyInput) {
    LzhufCodec codec;
    CodecSizes sizes;
    EXPECT_EQ(codec.encode(nullptr, stdout, &sizes), -1);
    EXPECT_EQ(codec.encode(stdin, nullptr, &sizes), -1);
    EXPECT_EQ(codec.encode(stdin, stdout, nullptr), -1);
    EXPECT_EQ(codec.decode(nullptr, stdout, &sizes), -1);
    EXPECT_EQ(codec.decode(stdin, stdout, nullptr), -1);

    EncodeResult empty = encode_bytes("");
    EXPECT_EQ(empty.rc, -4);
    EXPECT_TRUE(empty.stream.empty());
}

TEST(LzhufCodec, EqualLengthsCopyTheBytesUnchanged) {
    std::string bytes = "\x00\xFF\x01 any bytes at all";
    bytes[0] = '\0';
    DecodeResult d = decode_bytes(bytes, static_cast<uint32_t>(bytes.size()), static_cast<uint32_t>(bytes.size()));
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.output, bytes);

    DecodeResult none = decode_bytes("", 0, 0);
    EXPECT_EQ(none.rc, 0);
    EXPECT_TRUE(none.output.empty());

    // Stored data shorter than its length (only the 8 filler bytes follow).
    DecodeResult short_read = decode_bytes("", 20, 20);
    EXPECT_EQ(short_read.rc, -2);
}

TEST(LzhufCodec, StreamCutShortStillGivesTheFullLength) {
    std::mt19937 rng(9);
    std::string input = text_like(rng, 40000);
    EncodeResult e = encode_bytes(input);
    ASSERT_EQ(e.rc, 0);
    uint32_t half = e.sizes.compressed / 2;
    DecodeResult d = decode_bytes(e.stream.substr(0, half), e.sizes.uncompressed, half);
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.output.size(), input.size());
    EXPECT_FALSE(d.exact);
    EXPECT_TRUE(d.output.substr(0, 1000) == input.substr(0, 1000));

    // A stream that ends exactly on a byte boundary (the literal 0x74 is
    // eight zero bits) with one spare byte recorded after it is not exact.
    DecodeResult aligned = decode_bytes(std::string(2, '\0'), 1, 2);
    EXPECT_EQ(aligned.rc, 0);
    EXPECT_EQ(aligned.output, "\x74");
    EXPECT_FALSE(aligned.exact);
    DecodeResult aligned_two = decode_bytes(std::string(1, '\0'), 2, 1);  // two literals need more bits
    EXPECT_FALSE(aligned_two.exact);

    // A recorded compressed length with a spare byte is not exact either.
    DecodeResult padded = decode_bytes(e.stream + '\0', e.sizes.uncompressed, e.sizes.compressed + 1);
    EXPECT_TRUE(padded.output == input);
    EXPECT_FALSE(padded.exact);
}

// Compressing from a descriptor gives the very stream that compressing the
// same bytes from a file stream gives.
TEST(LzhufCodec, DescriptorInputGivesTheSameStream) {
    ScratchDir scratch;
    ASSERT_TRUE(scratch.ok());
    std::mt19937 rng(26);
    const std::string inputs[] = {"A", std::string(70, ' '), text_like(rng, 100000), random_bytes(rng, 40000)};
    for (const std::string& input : inputs) {
        ASSERT_TRUE(write_file("in", input));
        int fd = open("in", O_RDONLY);
        ASSERT_GE(fd, 0);
        char* data = nullptr;
        size_t size = 0;
        FILE* out = open_memstream(&data, &size);
        auto codec = std::make_unique<LzhufCodec>();
        CodecSizes sizes;
        EXPECT_EQ(codec->encode_descriptor(fd, out, &sizes), 0);
        std::fclose(out);
        close(fd);
        std::string stream(data, size);
        std::free(data);
        EncodeResult expected = encode_bytes(input);
        EXPECT_EQ(sizes.uncompressed, expected.sizes.uncompressed);
        EXPECT_EQ(sizes.compressed, expected.sizes.compressed);
        EXPECT_TRUE(stream == expected.stream) << input.size();
    }
    LzhufCodec codec;
    CodecSizes sizes;
    ASSERT_TRUE(write_file("empty", ""));
    int empty = open("empty", O_RDONLY);
    EXPECT_EQ(codec.encode_descriptor(empty, stdout, &sizes), -4);
    close(empty);
    EXPECT_EQ(codec.encode_descriptor(-1, stdout, &sizes), -1);
    EXPECT_EQ(codec.encode_descriptor(0, nullptr, &sizes), -1);
}

// One object that encodes and decodes by turns: each keeps the model state
// of its own direction only, so neither may leave the other anything.
TEST(LzhufCodec, EncodingAndDecodingByTurnsOnOneObject) {
    std::mt19937 rng(31);
    const std::string inputs[] = {text_like(rng, 60000), random_bytes(rng, 50000), std::string(3000, 'z')};
    LzhufCodec codec;
    for (const std::string& input : inputs) {
        const EncodeResult fresh = encode_bytes(input);
        for (int round = 0; round < 2; round++) {
            char* data = nullptr;
            size_t size = 0;
            std::string backing = input;
            FILE* in = fmemopen(backing.data(), backing.size(), "rb");
            FILE* out = open_memstream(&data, &size);
            CodecSizes sizes;
            ASSERT_EQ(codec.encode(in, out, &sizes), 0);
            std::fclose(out);
            std::fclose(in);
            const std::string stream(data, size);
            std::free(data);
            EXPECT_TRUE(stream == fresh.stream) << input.size() << " round " << round;
            DecodeResult d = decode_bytes(stream, sizes.uncompressed, sizes.compressed, &codec);
            EXPECT_TRUE(d.exact && d.output == input) << input.size() << " round " << round;
        }
    }
}

// Repeats at every short period, so that matches overlap their own source
// by any amount, and long runs of full-length matches, placed so that some
// cross the end of the window.
TEST(LzhufCodec, RoundTripsAtEveryShortPeriod) {
    std::mt19937 rng(12);
    for (size_t period = 1; period <= 24; period++) {
        const std::string unit = random_bytes(rng, period);
        std::string input = text_like(rng, 4000 + 37 * period);
        for (int n = 0; n < 400; n++) input += unit;
        input += text_like(rng, 500);
        expect_round_trip(input, ("period " + std::to_string(period)).c_str());
    }
}

// Byte streams whose symbol counts form long runs of equal counts, and
// symbols that climb past many others at once: the decoder's update starts
// from the leaf and the encoder's keeps to the coded path, so any
// disagreement between the two shows as a broken round trip.
TEST(LzhufCodec, RoundTripsWhileCountsClimbPastLongRuns) {
    std::mt19937 rng(13);
    auto skewed = [&](size_t n, double p) {
        std::geometric_distribution<int> pick(p);
        std::string s;
        for (size_t i = 0; i < n; i++) s += static_cast<char>(pick(rng) % 256);
        return s;
    };
    std::string climbing;
    for (int pass = 0; pass < 40; pass++) {
        for (int v = 0; v < 256; v++) {
            for (int n = 0; n <= v * pass / 64; n++) climbing += static_cast<char>(v);
        }
    }
    std::string one_in_many;
    for (int v = 0; v < 256; v++) one_in_many += static_cast<char>(v);
    for (int i = 0; i < 3000; i++) one_in_many += static_cast<char>(i % 7 == 0 ? 'x' : rng() % 256);
    const struct {
        std::string input;
        const char* what;
    } cases[] = {
        {skewed(90000, 0.02), "mild skew over all values, crossing rebuilds"},
        {skewed(90000, 0.3), "steep skew, a few heavy symbols"},
        {climbing, "every value in turn, each pass more of the higher ones"},
        {one_in_many, "one symbol rising through a flat field"},
    };
    for (const auto& c : cases) expect_round_trip(c.input, c.what);
}
