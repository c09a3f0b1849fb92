// Both decompressors' way from a CSO to the image: blocks decoded by the block reader
// straight into large output spans that a writer thread puts out in order.
#pragma once
#include <cstdint>

// Decompresses the CSO in fin into fout (`sequential`: the optimised decoder's walk),
// printing summary(blocks) once the header and index are read, then the progress lines
// and "ciso decompress completed"; returns 0, or 1 after the decoder's line.
int run_decoder(int sequential, void (*summary)(uint32_t blocks));
