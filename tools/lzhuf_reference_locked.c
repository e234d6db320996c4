/* The plain C build of the algorithm with locking getc and putc, as the
 * classic program reads and writes. */
#define REFERENCE_LOCKED_STDIO
#include "lzhuf_reference.c"
