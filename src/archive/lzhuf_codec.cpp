#include "archive/lzhuf_codec.h"

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
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
        nodes_[i].child = static_cast<uint16_t>(i + T);
        leaf_[i] = static_cast<uint16_t>(i);
    }
    for (int i = 0, j = N_CHAR; j <= R; i += 2, j++) {
        freq_[j] = static_cast<uint16_t>(freq_[i] + freq_[i + 1]);
        nodes_[j].child = static_cast<uint16_t>(i);
        nodes_[i].parent = nodes_[i + 1].parent = static_cast<uint16_t>(j);
    }
    for (int i = T; i < FREQ_ENTRIES; i++) freq_[i] = 0xFFFF;
    nodes_[T].child = 0;
    nodes_[R].parent = 0;
    if (two_level_) start_grandchildren();
}

// The grandchild table from scratch.
void LzhufCodec::start_grandchildren() {
    for (int y = 0; y < R; y++) {
        int c = nodes_[y].child;
        for (int b = 0; b < 2; b++) grand_[y * 2 + b] = c < T ? nodes_[c + b].child : static_cast<uint16_t>(c);
    }
}

// Node x got another child: its own grandchild entries and the one of its
// parent that names x's child follow. A leaf's entries hold its child too.
inline void LzhufCodec::note_child(size_t x) {
    const size_t c = nodes_[x].child;
    const size_t inner = c < T ? c : 0;
    grand_[x * 2] = c < T ? nodes_[inner].child : static_cast<uint16_t>(c);
    grand_[x * 2 + 1] = c < T ? nodes_[inner + 1].child : static_cast<uint16_t>(c);
    const size_t y = nodes_[x].parent;
    grand_[y * 2 + (x & 1)] = static_cast<uint16_t>(c);
}

// Points the parent link of a node's child (both children for an inner
// node, the leaf entry for a symbol) at the node.
inline void LzhufCodec::set_parent(size_t child, size_t node) {
    if (child >= T) {
        leaf_[child - T] = static_cast<uint16_t>(node);
    } else {
        nodes_[child].parent = static_cast<uint16_t>(node);
        nodes_[child + 1].parent = static_cast<uint16_t>(node);
    }
}

void LzhufCodec::rebuild_tree() {
    uint16_t freq[T];
    uint16_t child[T];
    // Leaves to the front, frequencies halved upward.
    int j = 0;
    for (int i = 0; i < T; i++) {
        if (nodes_[i].child >= T) {
            freq[j] = static_cast<uint16_t>((freq_[i] + 1) / 2);
            child[j] = nodes_[i].child;
            j++;
        }
    }
    // Join pairs into inner nodes, each placed in frequency order.
    for (int i = 0, n = N_CHAR; n < T; i += 2, n++) {
        unsigned f = freq[i] + freq[i + 1];
        freq[n] = static_cast<uint16_t>(f);
        int k = n - 1;
        while (f < freq[k]) k--;
        k++;
        std::memmove(&freq[k + 1], &freq[k], (n - k) * sizeof freq[0]);
        freq[k] = static_cast<uint16_t>(f);
        std::memmove(&child[k + 1], &child[k], (n - k) * sizeof child[0]);
        child[k] = static_cast<uint16_t>(i);
    }
    for (int i = 0; i < T; i++) {
        freq_[i] = freq[i];
        nodes_[i].child = child[i];
    }
    for (int i = 0; i < T; i++) set_parent(child[i], i);
    if (two_level_) start_grandchildren();
}

// Counts one more of symbol on the way from its leaf to the root. A node
// whose count passes that of the next node first changes places with the
// last node of its old count, which keeps the nodes in frequency order.
// (That node is found by a scan: runs of equal counts are short, and a
// table of run ends measured slower, its upkeep lying on every step.)
void LzhufCodec::update_model(int symbol) {
    if (freq_[R] == MAX_FREQ) rebuild_tree();
    size_t k = leaf_[symbol];
    do {
        unsigned f = ++freq_[k];
        if (f > freq_[k + 1]) k = exchange(k, f);
    } while ((k = nodes_[k].parent) != 0);
}

// The first node from `from` on whose count is f or more. Counts grow
// along the nodes and end in the sentinel, so the search stops there at
// the latest; the padding after the sentinel lets it read eight at a time.
inline size_t LzhufCodec::first_not_below(size_t from, unsigned f) const {
#if defined(__SSE2__)
    const __m128i wanted = _mm_set1_epi16(static_cast<short>(f));
    const __m128i zero = _mm_setzero_si128();
    for (size_t at = from;; at += 8) {
        const __m128i counts = _mm_loadu_si128(reinterpret_cast<const __m128i*>(freq_ + at));
        // f - count saturates to zero exactly where the count is f or more.
        const int hits = _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_subs_epu16(wanted, counts), zero));
        if (hits) return at + __builtin_ctz(static_cast<unsigned>(hits)) / 2;
    }
#else
    while (f > freq_[from]) from++;
    return from;
#endif
}

// Node k's count f passed that of the next node: k changes places with the
// last node l of k's old count, l takes f; gives l.
inline size_t LzhufCodec::exchange(size_t k, unsigned f) {
    return exchange_with(k, first_not_below(k + 2, f) - 1, f);
}

// Node k with count f changes places with node l (k itself for no change).
inline size_t LzhufCodec::exchange_with(size_t k, size_t l, unsigned f) {
    freq_[k] = freq_[l];
    freq_[l] = static_cast<uint16_t>(f);
    const size_t i = nodes_[k].child;
    const size_t j = nodes_[l].child;
    set_parent(i, l);
    set_parent(j, k);
    nodes_[l].child = static_cast<uint16_t>(i);
    nodes_[k].child = static_cast<uint16_t>(j);
    if (two_level_) {
        note_child(k);
        note_child(l);
    }
    return l;
}

// The same update, given the nodes the symbol's code has just passed (root
// first): while nothing changes places the nodes are known in advance, and
// the counting need not wait for each parent link.
inline void LzhufCodec::update_path(int symbol, const uint16_t* path, int depth) {
    if (freq_[R] == MAX_FREQ) {
        update_model(symbol);  // the rebuilt tree has other paths
        return;
    }
    for (int at = depth - 1; at >= 0; at--) {
        size_t k = path[at];
        unsigned f = ++freq_[k];
        if (f > freq_[k + 1]) {
            k = exchange(k, f);
            // The root never changes places, so the path has a node above;
            // often the new place has the same parent (a sibling took the
            // old one) and the path still holds.
            if (nodes_[k].parent == path[at - 1]) continue;
            while ((k = nodes_[k].parent) != 0) {
                f = ++freq_[k];
                if (f > freq_[k + 1]) k = exchange(k, f);
            }
            return;
        }
    }
}

// The update from the leaf: at the leaf an exchange happens about every
// other symbol, past all guessing, so the leaf changes places with the
// last node of its old count unconditionally (with itself when no node
// follows with that count); above it exchanges are rare, and the walk up
// tests for them.
inline void LzhufCodec::update_leaf(int symbol, int k) {
    if (freq_[R] == MAX_FREQ) {
        update_model(symbol);
        return;
    }
    unsigned f = ++freq_[k];
    // An index of the machine's width, so that no step widens it.
    size_t up = exchange_with(k, first_not_below(k + 1, f) - 1, f);
    while ((up = nodes_[up].parent) != 0) {
        f = ++freq_[up];
        if (f > freq_[up + 1]) up = exchange(up, f);
    }
}

// ---------------------------------------------------------------- match search

void LzhufCodec::start_trees() {
    for (auto& kids : kids_) kids[0] = kids[1] = NIL;
    for (int i = 0; i <= N; i++) parent_[i] = NIL;
}

namespace {

// Eight bytes as they lie in memory, and as a number whose highest byte is
// the first in memory.
inline uint64_t load_raw64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline uint64_t to_be64(uint64_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

inline uint64_t load_be64(const uint8_t* p) { return to_be64(load_raw64(p)); }

// The length of the common prefix of two F-byte strings whose first nine
// bytes are equal (up to F), and whether a is the greater one.
inline int longer_prefix(const uint8_t* a, const uint8_t* b, int* greater) {
    constexpr int F = LzhufCodec::F;
    for (int i = 9; i < F; i += 8) {
        uint64_t x = load_be64(a + i), y = load_be64(b + i);
        if (x != y) {
            *greater = x > y;
            int at = i + __builtin_clzll(x ^ y) / 8;
            return at < F ? at : F;
        }
    }
    return F;
}

}  // namespace

// Inserts position r into the tree of its first byte and leaves the longest
// match among the strings passed (the nearest one of equal length) in
// match_length_ and match_position_.
//
// The descent is one chain of dependent loads, so each step keeps it short:
// strings are compared eight bytes at a time as big-endian numbers, so that
// one comparison gives the side; both children of a node and their first
// words are fetched while that comparison runs, and the next ones are
// picked by masks (the side is as good as random: a branch on it would be
// mispredicted every other step). A match is scored as 8 - its length
// above its position, so that the smallest score is the best and one
// minimum keeps it without a branch; for a common length below 9 that is
// the highest set bit of the two words' difference over eight. Matches of
// THRESHOLD bytes or fewer are scored too: any longer one outscores them,
// and a caller codes a literal for them as for no match at all.
__attribute__((always_inline)) inline void LzhufCodec::insert_node(int r) {
    const uint8_t* key = &ring_[r];
    const uint64_t head = load_be64(key + 1);
    const unsigned before = static_cast<unsigned>(r) - 1;
    unsigned p = N + 1 + key[0];
    int best = INT32_MAX;  // no string passed
    kids_[r][0] = kids_[r][1] = NIL;
    uint64_t pick = ~uint64_t{0};  // all ones for the right side
    unsigned next = kids_[p][1];
    uint64_t other = load_be64(&ring_[next + 1]);
    while (next != NIL) {
        p = next;
        const unsigned left = kids_[p][0], right = kids_[p][1];
        const uint64_t left_word = load_raw64(&ring_[left + 1]);
        const uint64_t right_word = load_raw64(&ring_[right + 1]);
        const int position = static_cast<int>((before - p) & (N - 1));
        int score;
        if (head != other) {
            pick = 0 - static_cast<uint64_t>(head > other);
            score = (63 ^ __builtin_clzll(head ^ other)) >> 3 << 12 | position;
        } else {
            int greater = 0;
            const int i = longer_prefix(key, &ring_[p], &greater);
            pick = 0 - static_cast<uint64_t>(greater);
            score = (8 - i) * (1 << 12) + position;
            if (i >= F) {
                // Full-length match: r takes p's place in the tree.
                best = score < best ? score : best;
                parent_[r] = parent_[p];
                kids_[r][0] = static_cast<uint16_t>(left);
                kids_[r][1] = static_cast<uint16_t>(right);
                parent_[left] = static_cast<uint16_t>(r);
                parent_[right] = static_cast<uint16_t>(r);
                int up = parent_[p];
                kids_[up][kids_[up][1] == p ? 1 : 0] = static_cast<uint16_t>(r);
                parent_[p] = NIL;
                match_length_ = static_cast<int16_t>(8 - (best >> 12));
                match_position_ = static_cast<int16_t>(best & (N - 1));
                return;
            }
        }
        best = score < best ? score : best;
        next = left ^ ((left ^ right) & static_cast<unsigned>(pick));
        other = to_be64(left_word ^ ((left_word ^ right_word) & pick));
    }
    kids_[p][pick & 1] = static_cast<uint16_t>(r);
    parent_[r] = static_cast<uint16_t>(p);
    if (best != INT32_MAX) {
        match_length_ = static_cast<int16_t>(8 - (best >> 12));
        match_position_ = static_cast<int16_t>(best & (N - 1));
    } else {
        match_length_ = 0;
    }
}

__attribute__((always_inline)) inline void LzhufCodec::delete_node(int p) {
    if (parent_[p] == NIL) return;
    int q;
    if (kids_[p][1] == NIL) {
        q = kids_[p][0];
    } else if (kids_[p][0] == NIL) {
        q = kids_[p][1];
    } else {
        q = kids_[p][0];
        if (kids_[q][1] != NIL) {
            do {
                q = kids_[q][1];
            } while (kids_[q][1] != NIL);
            kids_[parent_[q]][1] = kids_[q][0];
            parent_[kids_[q][0]] = parent_[q];
            kids_[q][0] = kids_[p][0];
            parent_[kids_[p][0]] = static_cast<uint16_t>(q);
        }
        kids_[q][1] = kids_[p][1];
        parent_[kids_[p][1]] = static_cast<uint16_t>(q);
    }
    parent_[q] = parent_[p];
    int up = parent_[p];
    kids_[up][kids_[up][1] == p ? 1 : 0] = static_cast<uint16_t>(q);
    parent_[p] = NIL;
}

// ---------------------------------------------------------------- bit input

void LzhufCodec::start_streams(FILE* input, FILE* output, uint64_t input_budget) {
    input_ = input;
    output_ = output;
    input_left_ = input_budget;
    in_pos_ = in_end_ = out_pos_ = 0;
    read_error_ = write_error_ = false;
    bit_buffer_ = 0;
    bit_count_ = 0;
    bytes_taken_ = 0;
    out_bits_ = 0;
    out_count_ = 0;
}

// Refills the input buffer; gives its byte count (0 at the end).
int LzhufCodec::refill_input() {
    size_t want = static_cast<size_t>(std::min<uint64_t>(IO_BUFFER, input_left_));
    in_pos_ = in_end_ = 0;
    if (want == 0) return 0;
    size_t got = 0;
    if (input_fd_ >= 0) {
        ssize_t n;
        while ((n = read(input_fd_, in_buffer_, want)) < 0 && errno == EINTR) {
        }
        if (n < 0) read_error_ = true;
        got = n > 0 ? static_cast<size_t>(n) : 0;
    } else {
        got = std::fread(in_buffer_, 1, want, input_);
        if (got < want && std::ferror(input_)) read_error_ = true;
    }
    input_left_ = got == 0 ? 0 : input_left_ - got;
    in_end_ = static_cast<int>(got);
    return in_end_;
}

inline int LzhufCodec::next_byte() {
    if (in_pos_ == in_end_ && refill_input() == 0) return -1;
    return in_buffer_[in_pos_++];
}

// Tops the bit buffer up to more than 56 bits, enough for the deepest
// symbol code (the frequency limit keeps codes under 22 bits) and a
// position. Bytes past the end of the stream read as zero. Bits below the
// count may already hold the next bytes; they are ORed in again unchanged.
inline void LzhufCodec::refill_bits() {
    if (bit_count_ > 56) return;
    if (in_end_ - in_pos_ >= 8) {
        int take = (64 - bit_count_) >> 3;
        bit_buffer_ |= load_be64(in_buffer_ + in_pos_) >> bit_count_;
        in_pos_ += take;
        bytes_taken_ += static_cast<uint64_t>(take);
        bit_count_ += take * 8;
        return;
    }
    while (bit_count_ <= 56) {
        int b = next_byte();
        bit_buffer_ |= static_cast<uint64_t>(b < 0 ? 0 : b) << (56 - bit_count_);
        bit_count_ += 8;
        bytes_taken_++;
    }
}

inline int LzhufCodec::decode_symbol() {
    refill_bits();
    uint64_t bits = bit_buffer_;
    int depth = 0;    // bits taken
    size_t holder;    // the node whose child is the leaf
    size_t n = nodes_[R].child;
    // Two levels a step: the child of the node the first bit picks, and
    // from the grandchild table, in one go, the child of the node the
    // second bit picks below it. Indexes have the machine's width, so
    // that no step widens them.
    for (;;) {
        const size_t node = n + (bits >> 63);
        const size_t below = nodes_[node].child;
        const size_t further = grand_[n * 2 + (bits >> 62)];
        if (below >= T) {
            depth += 1;
            bits <<= 1;
            n = below;
            holder = node;
            break;
        }
        holder = below + ((bits >> 62) & 1);
        depth += 2;
        bits <<= 2;
        n = further;
        if (n >= T) break;
    }
    bit_buffer_ = bits;
    bit_count_ -= depth;
    const int symbol = static_cast<int>(n) - T;
    update_leaf(symbol, static_cast<int>(holder));
    return symbol;
}

// The upper six bits from the code in the next byte, the lower six as
// they are: p_len + 6 bits in all, from the bits decode_symbol left.
inline int LzhufCodec::decode_position() {
    unsigned b = static_cast<unsigned>(bit_buffer_ >> 56);
    int length = tables.d_len[b] + 6;
    unsigned low = static_cast<unsigned>(bit_buffer_ >> (64 - length)) & 0x3F;
    bit_buffer_ <<= length;
    bit_count_ -= length;
    return static_cast<int>(static_cast<unsigned>(tables.d_code[b]) << 6 | low);
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

// Appends the top `length` bits of code (at most 32), most significant
// first; whole 32-bit words go out at once.
inline void LzhufCodec::put_bits(int length, uint64_t code) {
    out_bits_ |= code >> out_count_;
    out_count_ += length;
    if (out_count_ >= 32) {
        if (out_pos_ > IO_BUFFER - 4) flush_output();
        uint8_t* at = out_buffer_ + out_pos_;
        at[0] = static_cast<uint8_t>(out_bits_ >> 56);
        at[1] = static_cast<uint8_t>(out_bits_ >> 48);
        at[2] = static_cast<uint8_t>(out_bits_ >> 40);
        at[3] = static_cast<uint8_t>(out_bits_ >> 32);
        out_pos_ += 4;
        out_bits_ <<= 32;
        out_count_ -= 32;
        code_size_ += 4;
    }
}

void LzhufCodec::encode_symbol(int symbol) {
    // Walk from the leaf to the root; the root's bit ends up first. The
    // nodes passed are noted from the end of path_, root first.
    uint64_t code = 0;
    int length = 0;
    uint16_t* end = path_ + T;
    int k = leaf_[symbol];
    do {
        end[-1 - length] = static_cast<uint16_t>(k);
        code = code >> 1 | static_cast<uint64_t>(k & 1) << 63;
        length++;
    } while ((k = nodes_[k].parent) != R);
    end[-1 - length] = R;
    put_bits(length, code);
    update_path(symbol, end - 1 - length, length + 1);
}

void LzhufCodec::encode_position(unsigned position) {
    unsigned upper = position >> 6;
    int length = tables.p_len[upper];
    uint64_t code = static_cast<uint64_t>(tables.p_code[upper]) << 56 | static_cast<uint64_t>(position & 0x3F)
                                                                            << (58 - length);
    put_bits(length + 6, code);
}

// ---------------------------------------------------------------- operations

int LzhufCodec::encode(FILE* input, FILE* output, CodecSizes* sizes) {
    if (!input || !output || !sizes) return -1;
    off_t start = ftello(input);
    if (start < 0 || fseeko(input, 0, SEEK_END) != 0) return -4;
    off_t end = ftello(input);
    if (fseeko(input, start, SEEK_SET) != 0 || end <= start) return -4;
    sizes->uncompressed = static_cast<uint32_t>(end - start);
    start_streams(input, output, UINT64_MAX);
    return encode_rest(sizes);
}

int LzhufCodec::encode_descriptor(int input, FILE* output, CodecSizes* sizes) {
    if (input < 0 || !output || !sizes) return -1;
    start_streams(nullptr, output, UINT64_MAX);
    input_fd_ = input;
    int rc = encode_rest(sizes);
    input_fd_ = -1;
    return rc;
}

int LzhufCodec::encode_rest(CodecSizes* sizes) {
    text_size_ = code_size_ = 0;
    two_level_ = false;
    start_model();
    start_trees();
    fill_ring();
    int s = 0;
    int r = N - F;
    int len = 0;
    int c;
    while (len < F && (c = next_byte()) >= 0) ring_[r + len++] = static_cast<uint8_t>(c);
    if (len == 0) return read_error_ ? -2 : -4;
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

    // The last bits, the final byte filled with zero bits.
    for (; out_count_ > 0; out_count_ -= 8) {
        put_byte(static_cast<unsigned>(out_bits_ >> 56));
        out_bits_ <<= 8;
        code_size_++;
    }
    out_count_ = 0;
    flush_output();
    sizes->uncompressed = text_size_;
    sizes->compressed = code_size_;
    if (read_error_) return -2;
    return write_error_ ? -3 : 0;
}

// Copies a match from the window to the output and to the window's front.
inline void LzhufCodec::copy_match(int start, int length, int& r) {
    if (out_pos_ > IO_BUFFER - F) flush_output();
    uint8_t* out = out_buffer_ + out_pos_;
    int at = r;
    for (int k = 0; k < length; k++) {
        uint8_t byte = ring_[(start + k) & (N - 1)];
        out[k] = byte;
        ring_[at] = byte;
        at = (at + 1) & (N - 1);
    }
    out_pos_ += length;
    r = at;
}

int LzhufCodec::decode(FILE* input, FILE* output, const CodecSizes* sizes) {
    if (!input || !output || !sizes) return -1;
    start_streams(input, output, sizes->compressed);
    stream_exact_ = false;
    const uint32_t total = sizes->uncompressed;

    if (sizes->uncompressed == sizes->compressed) {
        // Stored data: copied unchanged.
        uint32_t copied = 0;
        while (copied < total) {
            if (in_pos_ == in_end_ && refill_input() == 0) {
                flush_output();
                return write_error_ ? -3 : -2;
            }
            int n = std::min<int>(in_end_ - in_pos_, static_cast<int>(std::min<uint32_t>(total - copied, IO_BUFFER)));
            if (out_pos_ + n > IO_BUFFER) flush_output();
            std::memcpy(out_buffer_ + out_pos_, in_buffer_ + in_pos_, static_cast<size_t>(n));
            out_pos_ += n;
            in_pos_ += n;
            copied += static_cast<uint32_t>(n);
        }
        if (!flush_output()) return -3;
        stream_exact_ = true;
        return 0;
    }

    two_level_ = true;
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
        copy_match(start, static_cast<int>(length), r);
        count += length;
    }
    if (!flush_output()) return -3;
    if (read_error_) return -2;
    uint64_t available = static_cast<uint64_t>(sizes->compressed) * 8;
    uint64_t used = bytes_taken_ * 8 - static_cast<uint64_t>(bit_count_);
    stream_exact_ = !overran && used <= available && used + 8 > available;
    return 0;
}
