// Reference compressor and decompressor.
#pragma once

// Compresses fin into fout at deflate level `lvl`; returns 0 or 1.
int comp_ciso(int lvl);
// Decompresses the CSO in fin into fout, following its header; returns 0 or 1.
int decomp_ciso();
