// Fuzz entry: both decompressors on arbitrary CSO bytes. Status 0 or 1, never an exit;
// success writes exactly the header's whole blocks (or the whole image when the reference
// decoder decodes a stored partial last block), failure never a partial block; a file the
// optimised decoder accepts decodes identically with the reference one.
#include "dax_format.h"
#include "fuzz_entries.h"
#include "fuzz_support.h"

namespace {

// Returns the block size a decoder uses for these bytes (0 when the header is short).
uint32_t decoder_block_size(const uint8_t* data, size_t size, int optimised) {
    if (size < 24) return 0;
    if (optimised) return 2048;
    return size >= DAX_HEADER_SIZE && dax_magic_at(data) ? DAX_FRAME : rd32(data + 16);
}

// Returns the bytes of the header's whole blocks for a decoder.
uint64_t expected_bytes(const uint8_t* data, size_t size, int optimised) {
    uint32_t bs = decoder_block_size(data, size, optimised);
    if (bs == 0) return 0;
    return recorded_size(data, size) / bs * bs;
}

// Checks one decoder's outcome against the header (`whole`: its whole blocks' bytes,
// `recorded`: the image size the reference decoder also gives when the file stores the
// partial last block); returns nullptr or the problem.
const char* check_decoded(const decoded& d, uint64_t whole, uint64_t recorded, uint32_t bs) {
    if (d.status == NO_STREAMS) return STREAMS_FAILED;
    if (d.status >= EXITED) return DECODER_EXITED;
    if (d.status != 0 && d.status != 1) return "a decompressor returned neither 0 nor 1";
    if (d.status == 0 && d.bytes != whole && d.bytes != recorded)
        return "a decompressor reported success with the wrong output size";
    // A failure leaves less than the whole blocks, or all of them when it comes at the
    // partial last block the header has.
    uint64_t most = recorded > whole ? whole : whole > 0 ? whole - 1 : 0;
    if (d.status == 1 && d.bytes > most) return "a decompressor reported failure after writing the whole image";
    if (d.status == 1 && bs && d.bytes % bs != 0) return "a decompressor wrote part of a block";
    return nullptr;
}

}  // namespace

const char* fuzz_decompress(const uint8_t* data, size_t size) {
    decoded ref = decode_once(data, size, 0), opt = decode_once(data, size, 1);
    uint64_t whole = expected_bytes(data, size, 0), recorded = recorded_size(data, size);
    const char* p = check_decoded(ref, whole, recorded, decoder_block_size(data, size, 0));
    whole = expected_bytes(data, size, 1);  // the optimised decoder never decodes a partial block
    if (!p) p = check_decoded(opt, whole, whole, decoder_block_size(data, size, 1));
    if (!p && opt.status == 0 && (ref.status != 0 || ref.bytes != opt.bytes || ref.crc != opt.crc))
        p = "the two decompressors disagree on a file the optimised one accepts";
    return p;
}
