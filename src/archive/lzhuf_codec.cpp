#include "archive/lzhuf_codec.h"

#include <sys/types.h>

#include <algorithm>
#include <cstring>

namespace {

// Prefix codes for the upper six bits of a match position, and the tables
// that decode them from the next eight bits of the stream.
struct PositionTables {
    uint8_t p_len[64];
    uint8_t p_code[64];
    uint8_t d_code[256];
    uint8_t d_len[256];
};

constexpr PositionTables make_position_tables() {
    PositionTables t{};
    // Code lengths 3 to 8 and how many positions share each length.
    constexpr int lengths[6] = {3, 4, 5, 6, 7, 8};
    constexpr int counts[6] = {1, 3, 8, 12, 24, 16};
    int u = 0;
    int code = 0;  // next code, left-aligned in a byte
    for (int g = 0; g < 6; g++) {
        int step = 1 << (8 - lengths[g]);
        for (int n = 0; n < counts[g]; n++) {
            t.p_len[u] = static_cast<uint8_t>(lengths[g]);
            t.p_code[u] = static_cast<uint8_t>(code);
            for (int b = code; b < code + step; b++) {
                t.d_code[b] = static_cast<uint8_t>(u);
                t.d_len[b] = static_cast<uint8_t>(lengths[g]);
            }
            code += step;
            u++;
        }
    }
    return t;
}

constexpr PositionTables tables = make_position_tables();

static_assert(tables.p_code[1] == 0x20 && tables.p_code[4] == 0x50 && tables.p_code[12] == 0x90 &&
              tables.p_code[24] == 0xC0 && tables.p_code[48] == 0xF0 && tables.p_code[63] == 0xFF);

}  // namespace

LzhufCodec::LzhufCodec() {
    std::memset(ring_, 0, sizeof ring_);
}

void LzhufCodec::fill_ring() {
    // Everything past the pre-filled part, including the look-ahead and the
    // mirror bytes, starts as zero so that the output is repeatable.
    std::memset(ring_, 0, sizeof ring_);
    std::memset(ring_, ' ', N - F);
}

// ---------------------------------------------------------------- Huffman model

void LzhufCodec::start_model() {
    for (int i = 0; i < N_CHAR; i++) {
        freq_[i] = 1;
        child_[i] = static_cast<int16_t>(i + T);
        tree_parent_[i + T] = static_cast<int16_t>(i);
    }
    for (int i = 0, j = N_CHAR; j <= R; i += 2, j++) {
        freq_[j] = static_cast<uint16_t>(freq_[i] + freq_[i + 1]);
        child_[j] = static_cast<int16_t>(i);
        tree_parent_[i] = tree_parent_[i + 1] = static_cast<int16_t>(j);
    }
    freq_[T] = 0xFFFF;
    tree_parent_[R] = 0;
}

void LzhufCodec::rebuild_tree() {
    // Leaves to the front, frequencies halved upward.
    int j = 0;
    for (int i = 0; i < T; i++) {
        if (child_[i] >= T) {
            freq_[j] = static_cast<uint16_t>((freq_[i] + 1) / 2);
            child_[j] = child_[i];
            j++;
        }
    }
    // Join pairs into inner nodes, each placed in frequency order.
    for (int i = 0, n = N_CHAR; n < T; i += 2, n++) {
        unsigned f = freq_[i] + freq_[i + 1];
        freq_[n] = static_cast<uint16_t>(f);
        int k = n - 1;
        while (f < freq_[k]) k--;
        k++;
        std::memmove(&freq_[k + 1], &freq_[k], (n - k) * sizeof freq_[0]);
        freq_[k] = static_cast<uint16_t>(f);
        std::memmove(&child_[k + 1], &child_[k], (n - k) * sizeof child_[0]);
        child_[k] = static_cast<int16_t>(i);
    }
    for (int i = 0; i < T; i++) {
        int k = child_[i];
        tree_parent_[k] = static_cast<int16_t>(i);
        if (k < T) tree_parent_[k + 1] = static_cast<int16_t>(i);
    }
}

void LzhufCodec::update_model(int symbol) {
    if (freq_[R] == MAX_FREQ) rebuild_tree();
    int k = tree_parent_[symbol + T];
    do {
        unsigned f = ++freq_[k];
        if (f > freq_[k + 1]) {
            // Swap with the last node of lower frequency to keep the order.
            int l = k + 1;
            while (f > freq_[++l]) {
            }
            l--;
            freq_[k] = freq_[l];
            freq_[l] = static_cast<uint16_t>(f);

            int i = child_[k];
            tree_parent_[i] = static_cast<int16_t>(l);
            if (i < T) tree_parent_[i + 1] = static_cast<int16_t>(l);

            int j = child_[l];
            child_[l] = static_cast<int16_t>(i);
            tree_parent_[j] = static_cast<int16_t>(k);
            if (j < T) tree_parent_[j + 1] = static_cast<int16_t>(k);
            child_[k] = static_cast<int16_t>(j);
            k = l;
        }
    } while ((k = tree_parent_[k]) != 0);
}

// ---------------------------------------------------------------- match search

void LzhufCodec::start_trees() {
    for (int i = 0; i <= N; i++) left_[i] = NIL;
    for (int i = 0; i < N + 257; i++) right_[i] = NIL;
    for (int i = 0; i <= N; i++) parent_[i] = NIL;
}

// Length of the common prefix of two F-byte strings whose first bytes are
// equal: 1 to F. Compares eight bytes at a time; the ring's padding keeps
// the wide reads inside the buffer.
static inline int common_prefix(const uint8_t* a, const uint8_t* b) {
    constexpr int F = LzhufCodec::F;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    for (int i = 1; i < F; i += 8) {
        uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y) {
            int at = i + __builtin_ctzll(x ^ y) / 8;
            return at < F ? at : F;
        }
    }
    return F;
#else
    int i = 1;
    while (i < F && a[i] == b[i]) i++;
    return i;
#endif
}

void LzhufCodec::insert_node(int r) {
    const uint8_t* key = &ring_[r];
    int p = N + 1 + key[0];
    int cmp = 1;
    int best_length = 0;
    int best_position = match_position_;
    right_[r] = left_[r] = NIL;
    for (;;) {
        int16_t* link = cmp >= 0 ? &right_[p] : &left_[p];
        if (*link == NIL) {
            *link = static_cast<int16_t>(r);
            parent_[r] = static_cast<int16_t>(p);
            match_length_ = static_cast<int16_t>(best_length);
            match_position_ = static_cast<int16_t>(best_position);
            return;
        }
        p = *link;
        int i = common_prefix(key, &ring_[p]);
        cmp = i < F ? key[i] - ring_[p + i] : 0;
        if (i > THRESHOLD) {
            int position = ((r - p) & (N - 1)) - 1;
            if (i > best_length) {
                best_position = position;
                best_length = i;
                if (i >= F) break;
            } else if (i == best_length && position < best_position) {
                best_position = position;
            }
        }
    }
    match_length_ = static_cast<int16_t>(best_length);
    match_position_ = static_cast<int16_t>(best_position);
    // Full-length match: r takes p's place in the tree.
    parent_[r] = parent_[p];
    left_[r] = left_[p];
    right_[r] = right_[p];
    parent_[left_[p]] = static_cast<int16_t>(r);
    parent_[right_[p]] = static_cast<int16_t>(r);
    if (right_[parent_[p]] == p)
        right_[parent_[p]] = static_cast<int16_t>(r);
    else
        left_[parent_[p]] = static_cast<int16_t>(r);
    parent_[p] = NIL;
}

void LzhufCodec::delete_node(int p) {
    if (parent_[p] == NIL) return;
    int q;
    if (right_[p] == NIL) {
        q = left_[p];
    } else if (left_[p] == NIL) {
        q = right_[p];
    } else {
        q = left_[p];
        if (right_[q] != NIL) {
            do {
                q = right_[q];
            } while (right_[q] != NIL);
            right_[parent_[q]] = left_[q];
            parent_[left_[q]] = parent_[q];
            left_[q] = left_[p];
            parent_[left_[p]] = static_cast<int16_t>(q);
        }
        right_[q] = right_[p];
        parent_[right_[p]] = static_cast<int16_t>(q);
    }
    parent_[q] = parent_[p];
    if (right_[parent_[p]] == p)
        right_[parent_[p]] = static_cast<int16_t>(q);
    else
        left_[parent_[p]] = static_cast<int16_t>(q);
    parent_[p] = NIL;
}

// ---------------------------------------------------------------- bit input

inline int LzhufCodec::next_byte() {
    if (in_pos_ == in_end_) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(IO_BUFFER, input_left_));
        if (want == 0) return -1;
        size_t got = std::fread(in_buffer_, 1, want, input_);
        if (got < want && std::ferror(input_)) read_error_ = true;
        input_left_ -= got;
        in_pos_ = 0;
        in_end_ = static_cast<int>(got);
        if (got == 0) {
            input_left_ = 0;
            return -1;
        }
    }
    return in_buffer_[in_pos_++];
}

// Bytes past the end of the stream read as zero.
inline unsigned LzhufCodec::get_bit() {
    if (bit_count_ == 0) {
        int b = next_byte();
        bit_buffer_ = static_cast<uint64_t>(b < 0 ? 0 : b) << 56;
        bit_count_ = 8;
    }
    unsigned bit = static_cast<unsigned>(bit_buffer_ >> 63);
    bit_buffer_ <<= 1;
    bit_count_--;
    bits_used_++;
    return bit;
}

inline unsigned LzhufCodec::get_byte() {
    while (bit_count_ < 8) {
        int b = next_byte();
        bit_buffer_ |= static_cast<uint64_t>(b < 0 ? 0 : b) << (56 - bit_count_);
        bit_count_ += 8;
    }
    unsigned value = static_cast<unsigned>(bit_buffer_ >> 56);
    bit_buffer_ <<= 8;
    bit_count_ -= 8;
    bits_used_ += 8;
    return value;
}

int LzhufCodec::decode_symbol() {
    int n = child_[R];
    while (n < T) n = child_[n + get_bit()];
    n -= T;
    update_model(n);
    return n;
}

int LzhufCodec::decode_position() {
    unsigned b = get_byte();
    unsigned upper = static_cast<unsigned>(tables.d_code[b]) << 6;
    for (int extra = tables.d_len[b] - 2; extra > 0; extra--) b = (b << 1) + get_bit();
    return static_cast<int>(upper | (b & 0x3F));
}

// ---------------------------------------------------------------- bit output

inline void LzhufCodec::put_byte(unsigned value) {
    if (out_pos_ == IO_BUFFER) flush_output();
    out_buffer_[out_pos_++] = static_cast<uint8_t>(value);
}

bool LzhufCodec::flush_output() {
    if (out_pos_ > 0 && std::fwrite(out_buffer_, 1, out_pos_, output_) != static_cast<size_t>(out_pos_))
        write_error_ = true;
    out_pos_ = 0;
    return !write_error_;
}

// Appends the top `length` bits of code (at most 32), most significant first.
inline void LzhufCodec::put_bits(int length, uint32_t code) {
    out_bits_ |= (static_cast<uint64_t>(code) << 32) >> out_count_;
    out_count_ += length;
    while (out_count_ >= 8) {
        put_byte(static_cast<unsigned>(out_bits_ >> 56));
        out_bits_ <<= 8;
        out_count_ -= 8;
        code_size_++;
    }
}

void LzhufCodec::encode_symbol(int symbol) {
    // Walk from the leaf to the root; the root's bit ends up first. The code
    // is collected in 32 bits: the frequency limit keeps trees far shallower.
    uint32_t code = 0;
    int length = 0;
    int k = tree_parent_[symbol + T];
    do {
        code >>= 1;
        if (k & 1) code |= 0x80000000u;
        length++;
    } while ((k = tree_parent_[k]) != R);
    put_bits(length, code);
    update_model(symbol);
}

void LzhufCodec::encode_position(unsigned position) {
    unsigned upper = position >> 6;
    put_bits(tables.p_len[upper], static_cast<uint32_t>(tables.p_code[upper]) << 24);
    put_bits(6, static_cast<uint32_t>(position & 0x3F) << 26);
}

// ---------------------------------------------------------------- operations

int LzhufCodec::encode(FILE* input, FILE* output, CodecSizes* sizes) {
    if (!input || !output || !sizes) return -1;
    off_t start = ftello(input);
    if (start < 0 || fseeko(input, 0, SEEK_END) != 0) return -4;
    off_t end = ftello(input);
    if (fseeko(input, start, SEEK_SET) != 0 || end <= start) return -4;
    sizes->uncompressed = static_cast<uint32_t>(end - start);

    input_ = input;
    output_ = output;
    input_left_ = UINT64_MAX;
    in_pos_ = in_end_ = out_pos_ = 0;
    read_error_ = write_error_ = false;
    out_bits_ = 0;
    out_count_ = 0;
    text_size_ = code_size_ = 0;

    start_model();
    start_trees();
    fill_ring();
    int s = 0;
    int r = N - F;
    int len = 0;
    int c;
    while (len < F && (c = next_byte()) >= 0) ring_[r + len++] = static_cast<uint8_t>(c);
    if (len == 0) return -4;
    text_size_ = static_cast<uint32_t>(len);
    for (int i = 1; i <= F; i++) insert_node(r - i);
    insert_node(r);

    do {
        if (match_length_ > len) match_length_ = static_cast<int16_t>(len);
        if (match_length_ <= THRESHOLD) {
            match_length_ = 1;
            encode_symbol(ring_[r]);
        } else {
            encode_symbol(255 - THRESHOLD + match_length_);
            encode_position(static_cast<unsigned>(match_position_));
        }
        int last_length = match_length_;
        int i = 0;
        for (; i < last_length && (c = next_byte()) >= 0; i++) {
            delete_node(s);
            ring_[s] = static_cast<uint8_t>(c);
            if (s < F - 1) ring_[s + N] = static_cast<uint8_t>(c);
            s = (s + 1) & (N - 1);
            r = (r + 1) & (N - 1);
            insert_node(r);
        }
        text_size_ += static_cast<uint32_t>(i);
        while (i++ < last_length) {
            delete_node(s);
            s = (s + 1) & (N - 1);
            r = (r + 1) & (N - 1);
            if (--len) insert_node(r);
        }
    } while (len > 0);

    if (out_count_ > 0) {
        put_byte(static_cast<unsigned>(out_bits_ >> 56));
        code_size_++;
        out_count_ = 0;
    }
    flush_output();
    sizes->uncompressed = text_size_;
    sizes->compressed = code_size_;
    if (read_error_) return -2;
    return write_error_ ? -3 : 0;
}

int LzhufCodec::decode(FILE* input, FILE* output, const CodecSizes* sizes) {
    if (!input || !output || !sizes) return -1;
    input_ = input;
    output_ = output;
    input_left_ = sizes->compressed;
    in_pos_ = in_end_ = out_pos_ = 0;
    read_error_ = write_error_ = false;
    bit_buffer_ = 0;
    bit_count_ = 0;
    bits_used_ = 0;
    stream_exact_ = false;
    const uint32_t total = sizes->uncompressed;

    if (sizes->uncompressed == sizes->compressed) {
        // Stored data: copied unchanged.
        uint32_t copied = 0;
        while (copied < total) {
            int c = next_byte();
            if (c < 0) {
                flush_output();
                return write_error_ ? -3 : -2;
            }
            put_byte(static_cast<unsigned>(c));
            copied++;
        }
        if (!flush_output()) return -3;
        stream_exact_ = true;
        return 0;
    }

    start_model();
    fill_ring();
    int r = N - F;
    uint32_t count = 0;
    bool overran = false;
    while (count < total) {
        int c = decode_symbol();
        if (c < 256) {
            put_byte(static_cast<unsigned>(c));
            ring_[r] = static_cast<uint8_t>(c);
            r = (r + 1) & (N - 1);
            count++;
            continue;
        }
        int start = (r - decode_position() - 1) & (N - 1);
        uint32_t length = static_cast<uint32_t>(c - 255 + THRESHOLD);
        if (length > total - count) {
            // A damaged stream: stop at the recorded length.
            length = total - count;
            overran = true;
        }
        for (uint32_t k = 0; k < length; k++) {
            uint8_t byte = ring_[(start + k) & (N - 1)];
            put_byte(byte);
            ring_[r] = byte;
            r = (r + 1) & (N - 1);
        }
        count += length;
    }
    if (!flush_output()) return -3;
    if (read_error_) return -2;
    uint64_t available = static_cast<uint64_t>(sizes->compressed) * 8;
    stream_exact_ = !overran && bits_used_ <= available && bits_used_ + 8 > available;
    return 0;
}
