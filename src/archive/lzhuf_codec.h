// LZHUF compression: LZSS over a 4096-byte window, literals and match lengths
// coded by one adaptive Huffman tree, match positions by a fixed prefix code.
// Streams carry no length prefix; the caller records both lengths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Uncompressed and compressed length of one coded stream.
struct CodecSizes {
    uint32_t uncompressed = 0;
    uint32_t compressed = 0;
};

class LzhufCodec {
public:
    static constexpr int N = 4096;           // window size
    static constexpr int F = 60;             // look-ahead size, longest match
    static constexpr int THRESHOLD = 2;      // shortest match is THRESHOLD + 1
    static constexpr int NIL = N;            // no node in the search trees
    static constexpr int N_CHAR = 256 - THRESHOLD + F;  // 314 symbols
    static constexpr int T = 2 * N_CHAR - 1;             // 627 tree nodes
    static constexpr int R = T - 1;                      // root node
    static constexpr unsigned MAX_FREQ = 0x8000;

    LzhufCodec();
    LzhufCodec(const LzhufCodec&) = delete;
    LzhufCodec& operator=(const LzhufCodec&) = delete;

    // Compresses input from its current position to its end into output.
    // 0 ok (sizes filled, input at its end, output not flushed), -1 missing
    // argument, -4 nothing to compress, -2 input read error, -3 output
    // write error.
    int encode(FILE* input, FILE* output, CodecSizes* sizes);
    // The same for a descriptor that cannot seek (a pipe): compresses what
    // it gives up to its end, -4 when it gives nothing. It is read without
    // stdio, so that a thread blocked in reading holds no stream lock that
    // a writer flushing every stream would wait for.
    int encode_descriptor(int input, FILE* output, CodecSizes* sizes);

    // Restores sizes->uncompressed bytes from input. Equal lengths mean the
    // data is stored and is copied unchanged. Never writes more than the
    // uncompressed length and never reads more than the compressed length
    // (missing bits count as zero). 0 ok, -1 missing argument, -2 read error
    // (or stored data cut short), -3 write error.
    int decode(FILE* input, FILE* output, const CodecSizes* sizes);

    // After decode: true when the data filled exactly its recorded
    // compressed length and the last match ended on the uncompressed length,
    // as every stream written by encode does.
    bool stream_exact() const { return stream_exact_; }

private:
    static constexpr int IO_BUFFER = 16384;

    void start_model();
    void rebuild_tree();
    void update_model(int symbol);
    void update_path(int symbol, const uint16_t* path, int depth);
    // Node indexes of the machine's width: no step of a walk widens them.
    size_t exchange(size_t k, unsigned f);
    size_t exchange_with(size_t k, size_t l, unsigned f);
    void update_leaf(int symbol, int k);
    void start_trees();
    void insert_node(int r);
    void delete_node(int p);
    void fill_ring();
    void start_streams(FILE* input, FILE* output, uint64_t input_budget);

    // Buffered byte input limited to a byte budget.
    int next_byte();
    int refill_input();
    void refill_bits();
    int decode_symbol();
    int decode_position();
    void copy_match(int start, int length, int& r);

    void put_bits(int length, uint64_t code);
    void put_byte(unsigned value);
    bool flush_output();
    void encode_symbol(int symbol);
    void encode_position(unsigned position);
    int encode_rest(CodecSizes* sizes);

    FILE* input_ = nullptr;
    int input_fd_ = -1;  // read instead of input_ when not -1
    FILE* output_ = nullptr;
    uint32_t text_size_ = 0;
    uint32_t code_size_ = 0;

    // N + F - 1 bytes of window and mirror, plus padding for 8-byte compares.
    uint8_t ring_[N + F - 1 + 16];
    int16_t match_position_ = 0;
    int16_t match_length_ = 0;
    // Search trees: the two children of a node side by side (0 left,
    // 1 right), so that the descent picks one by the comparison's sign.
    uint16_t kids_[N + 257][2];
    uint16_t parent_[N + 1];

    // The Huffman tree in frequency order. A node's parent and child share
    // one entry, so each step of a walk is one load. A child of T or more
    // is a leaf for symbol child - T; otherwise the node's children are
    // child and child + 1. Count T is a sentinel of 0xFFFF.
    struct HuffmanNode {
        uint16_t parent;
        uint16_t child;
    };
    void set_parent(size_t child, size_t node);
    HuffmanNode nodes_[T + 1];
    // The counts apart, so that the search for the end of a run of equal
    // counts reads several at once; padded with sentinels past entry T.
    static constexpr int FREQ_ENTRIES = T + 8;
    uint16_t freq_[FREQ_ENTRIES];
    size_t first_not_below(size_t from, unsigned f) const;
    // For decoding, two levels a step: entry 2y + b is the child of node
    // y's child + b (y's own child when that is a leaf). Kept up to date
    // only while two_level_ is set.
    void start_grandchildren();
    void note_child(size_t x);
    bool two_level_ = false;
    uint16_t grand_[2 * T];
    uint16_t leaf_[N_CHAR];  // the node holding each symbol
    // The nodes a symbol's code passed, root first (no path is longer than
    // the tree has nodes).
    uint16_t path_[T];

    // Bit input: valid bits sit at the top of bit_buffer_.
    uint64_t bit_buffer_ = 0;
    int bit_count_ = 0;
    uint64_t bytes_taken_ = 0;
    uint64_t input_left_ = 0;
    bool read_error_ = false;

    // Bit output: valid bits sit at the top of out_bits_.
    uint64_t out_bits_ = 0;
    int out_count_ = 0;
    bool write_error_ = false;

    bool stream_exact_ = false;

    int in_pos_ = 0;
    int in_end_ = 0;
    int out_pos_ = 0;
    uint8_t in_buffer_[IO_BUFFER + 8];
    uint8_t out_buffer_[IO_BUFFER];
};
