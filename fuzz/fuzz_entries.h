// In-process entries shared by the fuzz targets and the regression replay, each in the
// target's own fuzz_<target>.cpp. Each entry runs one input through the real engines on
// in-memory streams, puts every global back afterwards, and returns nullptr when the run
// kept its promises, or a short text naming the broken one.
#pragma once
#include <cstddef>
#include <cstdint>

// Runs both decompressors on arbitrary CSO bytes; returns nullptr or what went wrong.
const char* fuzz_decompress(const uint8_t* data, size_t size);
// Runs both decompressors, -test and -info on arbitrary CSO bytes; returns nullptr or
// what went wrong.
const char* fuzz_examine(const uint8_t* data, size_t size);
// Runs the dialogs' verification on the CSO after four bytes that choose the image it is
// checked against; returns nullptr or what went wrong.
const char* fuzz_verify(const uint8_t* data, size_t size);
// Runs one compressor chosen by the first bytes (options too) on the rest as an image,
// then decodes the result; returns nullptr or what went wrong.
const char* fuzz_compress(const uint8_t* data, size_t size);
// Runs the whole converter on an argument vector cut from the bytes at each zero;
// returns nullptr or what went wrong.
const char* fuzz_parser(const uint8_t* data, size_t size);
// Runs the ISO walk and the area search with every area class on; returns nullptr or
// what went wrong.
const char* fuzz_isoscan(const uint8_t* data, size_t size);

// Builds a small ISO 9660 image with video, audio, update and plain files; returns its size
// and writes it to *out (caller frees).
size_t fuzz_sample_iso(uint8_t** out);