// Both decompressors' way from a CSO to the image: blocks decoded by the block reader
// straight into large output spans that a writer thread puts out in order.
#pragma once
#include "cso_reader.h"

// Opens fin as a CSO for a decompressor (`sequential` for the optimised one): the header
// and index into `ciso`, ciso_total_block and the reader, the output spans allocated.
// Returns 0, or 1 after printing the decoder's line (the reader is to be closed either way).
int open_cso_input(cso_reader* r, int sequential);
// Decodes every block the reader holds into fout with the progress lines; returns 0, or 1
// after printing the first block's read, inflate, size or write error.
int decode_blocks(cso_reader* r);
