/* The plain C build of the classic LZHUF algorithm that bench_lzhuf
 * measures the codec against (lzhuf_reference.c). */
#pragma once

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Compresses in to its end into out; gives the compressed length (0 for an
 * empty input). */
unsigned long reference_encode(FILE* in, FILE* out);
/* Restores textsize bytes from in into out. */
void reference_decode(FILE* in, FILE* out, unsigned long textsize);
/* The same with locking getc and putc, as the classic program has them. */
unsigned long reference_encode_locked(FILE* in, FILE* out);
void reference_decode_locked(FILE* in, FILE* out, unsigned long textsize);

#ifdef __cplusplus
}
#endif
