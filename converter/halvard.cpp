// Reference compressor and decompressor: the engines the front-end runs.
#include "halvard.h"

#include <cstdio>
#include <cstring>

#include "cso_format.h"
#include "engine_io.h"
#include "init.h"
#include "messages.h"
#include "span_writer.h"
#include "zblock.h"


// Prints the reference compressor's five summary lines.
static void comp_summary(int lvl) {
    printf("Compress '%s' to '%s'\n", O.input_name, O.output_name);
    printf("Total File Size %llu bytes\n", static_cast<unsigned long long>(ciso.total_bytes));
    printf("block size      %d  bytes\n", static_cast<int>(ciso.block_size));
    printf("index align     %d\n", 1 << ciso.index_align);
    printf("compress level  ");
    print_level(lvl);
    printf("\n");
    fflush(stdout);  // shown before the first block, not with the first progress line
}

// Writes zero bytes until *pos is a multiple of the index alignment; returns 0 or 1.
static int pad_to_alignment(uint32_t* pos, uint32_t b) {
    static const unsigned char zeros[64] = {0};
    uint32_t align = 1u << ciso.index_align;
    uint32_t pad = (align - (*pos % align)) % align;
    while (pad > 0) {
        uint32_t n = pad < sizeof zeros ? pad : sizeof zeros;
        if (fwrite(zeros, 1, n, fout) != n) {
            say(MSG_WRITE_ERROR, static_cast<int>(b));
            return 1;
        }
        *pos += n;
        pad -= n;
    }
    return 0;
}

// Compresses block b from fin to fout at *pos; returns 0, or 1 after printing why.
static int comp_one_block(uint32_t b, uint32_t* pos) {
    if (pad_to_alignment(pos, b)) return 1;
    index_buf[b] = *pos >> ciso.index_align;
    img_fault fault;
    if (read_image_blocks(image_main, block_buf1, 1, b, 1, &fault) >= 0) {
        report_image_fault(&fault, b);
        return 1;
    }
    unsigned len = 0;
    int ret = encode_block(&Z1, Z1_best, block_buf1, block_buf2, &len);
    if (ret != Z_STREAM_END) {
        say(MSG_DEFLATE, static_cast<int>(b), zb_msg(&Z1, "error"), ret);
        return 1;
    }
    if (len >= static_cast<unsigned>(BLOCK)) {  // deflate did not help: store the block
        memcpy(block_buf2, block_buf1, BLOCK);
        index_buf[b] |= CSO_PLAIN_FLAG;
        len = BLOCK;
    }
    if (fwrite(block_buf2, 1, len, fout) != len) {
        say(MSG_WRITE_ERROR, static_cast<int>(b));
        return 1;
    }
    *pos += len;
    return 0;
}

// Compresses every block with the progress lines; returns 0 or 1.
static int comp_all_blocks(uint32_t* pos) {
    uint32_t n = ciso_total_block;
    uint32_t period = progress_period(n);
    int countdown = static_cast<int>(n / 100);
    for (uint32_t b = 0; b < n; b++) {
        if (--countdown < 1) {
            uint32_t rate = b == 0 ? 0 : (*pos / BLOCK) * 100 / b;
            printf("compress %3d%% average rate %3d%%\r", static_cast<int>(b / period),
                   static_cast<int>(rate));
            fflush(stdout);  // a front-end reads progress through a pipe
            countdown = static_cast<int>(period);
        }
        if (comp_one_block(b, pos)) return 1;
    }
    return 0;
}

int comp_ciso(int lvl) {
    if (measure_input()) return 1;
    if (alloc_index_and_buffers(ciso_total_block + 1, BLOCK, 2 * BLOCK)) return 1;
    comp_summary(lvl);
    uint32_t pos = write_header_and_placeholder(ciso_total_block + 1);
    if (ciso_total_block > 0 && open_deflate(lvl)) return 1;
    if (comp_all_blocks(&pos)) return 1;
    if (close_z1()) return 1;
    index_buf[ciso_total_block] = pos >> ciso.index_align;
    if (write_final_index(ciso_total_block + 1)) return 1;
    uint64_t total = ciso.total_bytes & 0xFFFFFFFFu;
    int rate = total ? static_cast<int>(static_cast<uint64_t>(pos) * 100 / total) : 0;
    printf("ciso compress completed , total size = %8d bytes , rate %d%%\n",
           static_cast<int>(pos), rate);
    free_index_and_buffers();
    return 0;
}

// Prints the reference decompressor's five summary lines.
static void decomp_summary(uint32_t n) {
    printf("Decompress '%s' to '%s'\n", O.input_name, O.output_name);
    printf("Total File Size %llu bytes\n", static_cast<unsigned long long>(ciso.total_bytes));
    printf("block size      %d  bytes\n", static_cast<int>(ciso.block_size));
    printf("total blocks    %d  blocks\n", static_cast<int>(n));
    printf("index align     %d\n", 1 << ciso.index_align);
}

int decomp_ciso() {
    return run_decoder(0, decomp_summary);
}
