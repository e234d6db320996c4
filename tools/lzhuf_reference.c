/* A plain C build of the classic LZHUF algorithm (LZSS over a 4096-byte
 * window with a binary-tree match search, adaptive Huffman coding of
 * literals and lengths, a fixed prefix code for the upper position bits),
 * written straight from the algorithm with global state and byte-wise
 * stdio. It is the yardstick bench_lzhuf measures the codec against and
 * must give the very same bytes; no length prefix is written.
 * Built as C at -O2, like a plain build of the classic program. */
#include <stdio.h>
#include <string.h>

#include "lzhuf_reference.h"

/* The classic program reads and writes with getc and putc; the default
 * build uses their unlocked forms, the stricter yardstick. */
#ifdef REFERENCE_LOCKED_STDIO
#define GETC getc
#define PUTC putc
#define reference_encode reference_encode_locked
#define reference_decode reference_decode_locked
#else
#define GETC getc_unlocked
#define PUTC putc_unlocked
#endif

#define N 4096
#define F 60
#define THRESHOLD 2
#define NIL N
#define N_CHAR (256 - THRESHOLD + F)
#define T (N_CHAR * 2 - 1)
#define R (T - 1)
#define MAX_FREQ 0x8000

static unsigned char text_buf[N + F - 1];
static int match_position, match_length;
static int lson[N + 1], rson[N + 257], dad[N + 1];

static unsigned freq[T + 1];
static int prnt[T + N_CHAR];
static int son[T];

static unsigned getbuf, getlen, putbuf, putlen;
static unsigned long codesize;
static FILE *infile, *outfile;

static const unsigned char p_len[64] = {
    0x03, 0x04, 0x04, 0x04, 0x05, 0x05, 0x05, 0x05, 0x05, 0x05, 0x05, 0x05, 0x06, 0x06, 0x06, 0x06,
    0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x07, 0x07, 0x07, 0x07, 0x07, 0x07, 0x07, 0x07,
    0x07, 0x07, 0x07, 0x07, 0x07, 0x07, 0x07, 0x07, 0x07, 0x07, 0x07, 0x07, 0x07, 0x07, 0x07, 0x07,
    0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08};

static const unsigned char p_code[64] = {
    0x00, 0x20, 0x30, 0x40, 0x50, 0x58, 0x60, 0x68, 0x70, 0x78, 0x80, 0x88, 0x90, 0x94, 0x98, 0x9C,
    0xA0, 0xA4, 0xA8, 0xAC, 0xB0, 0xB4, 0xB8, 0xBC, 0xC0, 0xC2, 0xC4, 0xC6, 0xC8, 0xCA, 0xCC, 0xCE,
    0xD0, 0xD2, 0xD4, 0xD6, 0xD8, 0xDA, 0xDC, 0xDE, 0xE0, 0xE2, 0xE4, 0xE6, 0xE8, 0xEA, 0xEC, 0xEE,
    0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF};

static unsigned char d_code[256], d_len[256];

static void make_decode_tables(void) {
    int u, b;
    for (u = 0; u < 64; u++) {
        int span = 1 << (8 - p_len[u]);
        for (b = p_code[u]; b < p_code[u] + span; b++) {
            d_code[b] = (unsigned char)u;
            d_len[b] = p_len[u];
        }
    }
}

static void InitTree(void) {
    int i;
    for (i = N + 1; i <= N + 256; i++) rson[i] = NIL;
    for (i = 0; i < N; i++) dad[i] = NIL;
}

static void InsertNode(int r) {
    int i, p, cmp;
    unsigned char* key;
    unsigned c;

    cmp = 1;
    key = &text_buf[r];
    p = N + 1 + key[0];
    rson[r] = lson[r] = NIL;
    match_length = 0;
    for (;;) {
        if (cmp >= 0) {
            if (rson[p] != NIL)
                p = rson[p];
            else {
                rson[p] = r;
                dad[r] = p;
                return;
            }
        } else {
            if (lson[p] != NIL)
                p = lson[p];
            else {
                lson[p] = r;
                dad[r] = p;
                return;
            }
        }
        for (i = 1; i < F; i++)
            if ((cmp = key[i] - text_buf[p + i]) != 0) break;
        if (i > THRESHOLD) {
            if (i > match_length) {
                match_position = ((r - p) & (N - 1)) - 1;
                if ((match_length = i) >= F) break;
            }
            if (i == match_length) {
                if ((c = ((r - p) & (N - 1)) - 1) < (unsigned)match_position) match_position = c;
            }
        }
    }
    dad[r] = dad[p];
    lson[r] = lson[p];
    rson[r] = rson[p];
    dad[lson[p]] = r;
    dad[rson[p]] = r;
    if (rson[dad[p]] == p)
        rson[dad[p]] = r;
    else
        lson[dad[p]] = r;
    dad[p] = NIL;
}

static void DeleteNode(int p) {
    int q;
    if (dad[p] == NIL) return;
    if (rson[p] == NIL)
        q = lson[p];
    else if (lson[p] == NIL)
        q = rson[p];
    else {
        q = lson[p];
        if (rson[q] != NIL) {
            do {
                q = rson[q];
            } while (rson[q] != NIL);
            rson[dad[q]] = lson[q];
            dad[lson[q]] = dad[q];
            lson[q] = lson[p];
            dad[lson[p]] = q;
        }
        rson[q] = rson[p];
        dad[rson[p]] = q;
    }
    dad[q] = dad[p];
    if (rson[dad[p]] == p)
        rson[dad[p]] = q;
    else
        lson[dad[p]] = q;
    dad[p] = NIL;
}

static int GetBit(void) {
    int i;
    while (getlen <= 8) {
        if ((i = GETC(infile)) < 0) i = 0;
        getbuf |= (unsigned)i << (8 - getlen);
        getlen += 8;
    }
    i = (int)((getbuf >> 15) & 1);
    getbuf = (getbuf << 1) & 0xFFFF;
    getlen--;
    return i;
}

static int GetByte(void) {
    unsigned i;
    while (getlen <= 8) {
        int c = GETC(infile);
        if (c < 0) c = 0;
        getbuf |= (unsigned)c << (8 - getlen);
        getlen += 8;
    }
    i = getbuf;
    getbuf = (getbuf << 8) & 0xFFFF;
    getlen -= 8;
    return (int)(i >> 8);
}

static void Putcode(int l, unsigned c) {
    putbuf |= c >> putlen;
    if ((putlen += l) >= 8) {
        PUTC((int)((putbuf >> 8) & 0xFF), outfile);
        if ((putlen -= 8) >= 8) {
            PUTC((int)(putbuf & 0xFF), outfile);
            codesize += 2;
            putlen -= 8;
            putbuf = (c << (l - putlen)) & 0xFFFF;
        } else {
            putbuf = (putbuf << 8) & 0xFFFF;
            codesize++;
        }
    }
}

static void StartHuff(void) {
    int i, j;
    for (i = 0; i < N_CHAR; i++) {
        freq[i] = 1;
        son[i] = i + T;
        prnt[i + T] = i;
    }
    i = 0;
    j = N_CHAR;
    while (j <= R) {
        freq[j] = freq[i] + freq[i + 1];
        son[j] = i;
        prnt[i] = prnt[i + 1] = j;
        i += 2;
        j++;
    }
    freq[T] = 0xffff;
    prnt[R] = 0;
}

static void reconst(void) {
    int i, j, k;
    unsigned f, l;

    j = 0;
    for (i = 0; i < T; i++) {
        if (son[i] >= T) {
            freq[j] = (freq[i] + 1) / 2;
            son[j] = son[i];
            j++;
        }
    }
    for (i = 0, j = N_CHAR; j < T; i += 2, j++) {
        k = i + 1;
        f = freq[j] = freq[i] + freq[k];
        for (k = j - 1; f < freq[k]; k--)
            ;
        k++;
        l = (unsigned)(j - k) * sizeof freq[0];
        memmove(&freq[k + 1], &freq[k], l);
        freq[k] = f;
        l = (unsigned)(j - k) * sizeof son[0];
        memmove(&son[k + 1], &son[k], l);
        son[k] = i;
    }
    for (i = 0; i < T; i++) {
        if ((k = son[i]) >= T) {
            prnt[k] = i;
        } else {
            prnt[k] = prnt[k + 1] = i;
        }
    }
}

static void update(int c) {
    int i, j, l;
    unsigned k;

    if (freq[R] == MAX_FREQ) reconst();
    c = prnt[c + T];
    do {
        k = ++freq[c];
        if (k > freq[l = c + 1]) {
            while (k > freq[++l])
                ;
            l--;
            freq[c] = freq[l];
            freq[l] = k;

            i = son[c];
            prnt[i] = l;
            if (i < T) prnt[i + 1] = l;

            j = son[l];
            son[l] = i;

            prnt[j] = c;
            if (j < T) prnt[j + 1] = c;
            son[c] = j;

            c = l;
        }
    } while ((c = prnt[c]) != 0);
}

static void EncodeChar(unsigned c) {
    unsigned i;
    int j, k;
    i = 0;
    j = 0;
    k = prnt[c + T];
    do {
        i >>= 1;
        if (k & 1) i += 0x8000;
        j++;
    } while ((k = prnt[k]) != R);
    Putcode(j, i);
    update((int)c);
}

static void EncodePosition(unsigned c) {
    unsigned i = c >> 6;
    Putcode(p_len[i], (unsigned)p_code[i] << 8);
    Putcode(6, (c & 0x3f) << 10);
}

static void EncodeEnd(void) {
    if (putlen) {
        PUTC((int)((putbuf >> 8) & 0xFF), outfile);
        codesize++;
    }
}

static int DecodeChar(void) {
    unsigned c = (unsigned)son[R];
    while (c < T) {
        c += (unsigned)GetBit();
        c = (unsigned)son[c];
    }
    c -= T;
    update((int)c);
    return (int)c;
}

static int DecodePosition(void) {
    unsigned i, j, c;
    i = (unsigned)GetByte();
    c = (unsigned)d_code[i] << 6;
    j = d_len[i];
    j -= 2;
    while (j--) i = (i << 1) + (unsigned)GetBit();
    return (int)(c | (i & 0x3f));
}

unsigned long reference_encode(FILE* in, FILE* out) {
    int i, c, len, r, s, last_match_length;
    infile = in;
    outfile = out;
    getbuf = getlen = putbuf = putlen = 0;
    codesize = 0;
    match_position = match_length = 0;
    memset(text_buf, 0, sizeof text_buf);
    StartHuff();
    InitTree();
    s = 0;
    r = N - F;
    for (i = s; i < r; i++) text_buf[i] = ' ';
    for (len = 0; len < F && (c = GETC(infile)) != EOF; len++) text_buf[r + len] = (unsigned char)c;
    if (len == 0) return 0;
    for (i = 1; i <= F; i++) InsertNode(r - i);
    InsertNode(r);
    do {
        if (match_length > len) match_length = len;
        if (match_length <= THRESHOLD) {
            match_length = 1;
            EncodeChar(text_buf[r]);
        } else {
            EncodeChar((unsigned)(255 - THRESHOLD + match_length));
            EncodePosition((unsigned)match_position);
        }
        last_match_length = match_length;
        for (i = 0; i < last_match_length && (c = GETC(infile)) != EOF; i++) {
            DeleteNode(s);
            text_buf[s] = (unsigned char)c;
            if (s < F - 1) text_buf[s + N] = (unsigned char)c;
            s = (s + 1) & (N - 1);
            r = (r + 1) & (N - 1);
            InsertNode(r);
        }
        while (i++ < last_match_length) {
            DeleteNode(s);
            s = (s + 1) & (N - 1);
            r = (r + 1) & (N - 1);
            if (--len) InsertNode(r);
        }
    } while (len > 0);
    EncodeEnd();
    return codesize;
}

void reference_decode(FILE* in, FILE* out, unsigned long textsize) {
    int i, j, k, r, c;
    unsigned long count;
    infile = in;
    outfile = out;
    getbuf = getlen = 0;
    make_decode_tables();
    memset(text_buf, 0, sizeof text_buf);
    StartHuff();
    for (i = 0; i < N - F; i++) text_buf[i] = ' ';
    r = N - F;
    for (count = 0; count < textsize;) {
        c = DecodeChar();
        if (c < 256) {
            PUTC(c, outfile);
            text_buf[r++] = (unsigned char)c;
            r &= (N - 1);
            count++;
        } else {
            i = (r - DecodePosition() - 1) & (N - 1);
            j = c - 255 + THRESHOLD;
            for (k = 0; k < j; k++) {
                c = text_buf[(i + k) & (N - 1)];
                PUTC(c, outfile);
                text_buf[r++] = (unsigned char)c;
                r &= (N - 1);
                count++;
            }
        }
    }
}
