// The driver and the optimised, threaded and estimating engines.
#pragma once

// Optimised one-thread compressor; returns 0 or 1.
int comp_ciso_no_thread_fast();
// Threaded compressor (worker_count workers); returns 0 or 1.
int comp_ciso_MT();
// One-thread estimate; returns 0 or 1.
int comp_ciso_in_memory();
// Threaded estimate (worker_count workers); returns 0 or 1.
int comp_ciso_in_memory_MT();
// Optimised decompressor (block size 2048, contiguous payloads); returns 0 or 1.
int MY_decomp_ciso();
// Runs the converter for one command line; returns the exit status.
int converter_main(int argc, char** argv);
// Frees buffers, closes streams and puts every global back to its start value (for tests).
void converter_reset_state();
