// Looking at a CSO or an ISO without writing anything: -test checks every block and
// prints the image's checksums, -info lists what a CSO's header and index say.
#pragma once

// Checks O.input_name (a CSO block by block, an ISO by reading it), prints its first fault
// or that it is intact, then its size, CRC32, MD5 and SHA-1; with O.output_name also
// checks that file and compares the two images. Returns 0 when all is intact and equal, else 1.
int test_ciso();
// Prints the header, block counts and sizes, ratio and index end of the CSO O.input_name,
// decoding nothing; returns 0, or 1 for a file that is no CSO or whose index is broken.
int info_ciso();
