// Reference compressor and decompressor: the engines the front-end runs.
#include "halvard.h"

#include <cstdlib>
#include <cstring>

#include "ciso.h"
#include "init.h"
#include "platform.h"
#include "zblock.h"


// Prints the reference compressor's five summary lines.
static void comp_summary(int lvl) {
    printf("Compress '%s' to '%s'\n", O.input_name, O.output_name);
    printf("Total File Size %llu bytes\n", static_cast<unsigned long long>(ciso.total_bytes));
    printf("block size      %d  bytes\n", static_cast<int>(ciso.block_size));
    printf("index align     %d\n", 1 << ciso.index_align);
    printf("compress level  %d\n", lvl);
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
            printf("block %d : Write error\n", static_cast<int>(b));
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
    if (fread(block_buf1, 1, BLOCK, fin) < static_cast<size_t>(BLOCK)) {
        printf("block=%d : read error\n", static_cast<int>(b));
        return 1;
    }
    unsigned len = 0;
    int ret = zb_deflate_block(&Z1, block_buf1, BLOCK, block_buf2, 2 * BLOCK, &len);
    if (ret != Z_STREAM_END) {
        printf("block %d:deflate : %s[%d]\n", static_cast<int>(b), zb_msg(&Z1, "error"), ret);
        return 1;
    }
    if (len >= static_cast<unsigned>(BLOCK)) {  // deflate did not help: store the block
        memcpy(block_buf2, block_buf1, BLOCK);
        index_buf[b] |= CSO_PLAIN_FLAG;
        len = BLOCK;
    }
    if (fwrite(block_buf2, 1, len, fout) != len) {
        printf("block %d : Write error\n", static_cast<int>(b));
        return 1;
    }
    *pos += len;
    return 0;
}

// Compresses every block with the progress lines; returns 0 or 1.
static int comp_all_blocks(uint32_t* pos) {
    uint32_t n = ciso_total_block;
    uint32_t period = n / 100 ? n / 100 : 1;
    int countdown = static_cast<int>(n / 100);
    for (uint32_t b = 0; b < n; b++) {
        if (--countdown < 1) {
            uint32_t rate = b == 0 ? 0 : (*pos / 2048) * 100 / b;
            printf("compress %3d%% average rate %3d%%\r", static_cast<int>(b / period),
                   static_cast<int>(rate));
            fflush(stdout);  // a front-end reads progress through a pipe
            countdown = static_cast<int>(period);
        }
        if (comp_one_block(b, pos)) return 1;
    }
    return 0;
}

// Compresses fin into fout at deflate level `lvl`; returns 0 or 1.
int comp_ciso(int lvl) {
    int size = check_file_size(fin);
    if (size < 0) {
        printf("Can't get file size\n");
        return 1;
    }
    initcisoheader(size);
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

// Reads and checks the 24-byte header; `optimised` also requires the layout the
// sequential decoder can follow. Returns 0, or 1 after printing why.
int read_cso_header(int optimised) {
    if (fread(&ciso, 1, sizeof ciso, fin) != sizeof ciso) {
        printf("file read error\n");
        return 1;
    }
    uint32_t total = static_cast<uint32_t>(ciso.total_bytes);
    int bad = memcmp(ciso.magic, "CISO", 4) != 0 || ciso.block_size == 0 || total == 0;
    // A block larger than 1 MiB or a shift of 31 bits or more is no CSO we can honour.
    bad = bad || ciso.block_size > (1u << 20) || ciso.index_align > 30;
    if (optimised) bad = bad || ciso.block_size != 2048 || ciso.index_align != 0;
    if (bad) {
        printf("ciso file format error\n");
        return 1;
    }
    return 0;
}

// Allocates and reads the n + 1 index entries after checking that the file can hold
// them; returns 0, or 1 after printing why.
int read_cso_index(uint32_t n, size_t size1, size_t size2) {
    uint64_t bytes = 4 * (static_cast<uint64_t>(n) + 1);
    long long file_size = plat_stream_size(fin);
    plat_seek(fin, 24);
    if (file_size < 0 || static_cast<uint64_t>(file_size) < 24 + bytes) {
        printf("file read error\n");  // the index could not be read whole
        return 1;
    }
    if (alloc_index_and_buffers(n + 1, size1, size2)) return 1;
    if (fread(index_buf, 1, bytes, fin) != bytes) {
        printf("file read error\n");
        return 1;
    }
    return 0;
}

// Returns the stored length of compressed block b in bytes, or -1 when the entries
// decrease or the payload would not fit the `cap`-byte buffer.
long long stored_length(uint32_t b, unsigned shift, uint32_t cap) {
    uint32_t cur = index_buf[b] & CSO_OFFSET_MASK, next = index_buf[b + 1] & CSO_OFFSET_MASK;
    if (next < cur) return -1;
    uint64_t len = static_cast<uint64_t>(next - cur) << shift;
    return len > cap ? -1 : static_cast<long long>(len);
}

// Inflates `len` payload bytes of block b from block_buf2 into block_buf1 (bs bytes);
// returns 0, or 1 after printing why.
int inflate_payload(uint32_t b, unsigned len, uint32_t bs) {
    unsigned produced = 0;
    int ret = zb_inflate_block(&Z1, block_buf2, len, block_buf1, bs, &produced);
    if (ret != Z_STREAM_END) {
        printf("block %d:inflate : %s[%d]\n", static_cast<int>(b), zb_msg(&Z1, "error"), ret);
        return 1;
    }
    if (produced != bs) {
        printf("block %d : block size error %d != %d\n", static_cast<int>(b),
               static_cast<int>(produced), static_cast<int>(bs));
        return 1;
    }
    return 0;
}

// Positions fin at `off` unless it is there already (*pos); a seek on a stream drops
// its buffer, which costs a system call per block for payloads that follow each other.
static int seek_payload(uint64_t off, uint64_t* pos) {
    if (off == *pos) return 0;
    *pos = off;
    return plat_seek(fin, static_cast<long long>(off));
}

// Decodes block b by seeking to its payload and writes it; returns 0 or 1.
static int decomp_one_block(uint32_t b, uint64_t* pos) {
    uint32_t bs = ciso.block_size, e = index_buf[b];
    long long len = (e & CSO_PLAIN_FLAG) ? bs : stored_length(b, ciso.index_align, 2 * bs);
    uint64_t off = static_cast<uint64_t>(e & CSO_OFFSET_MASK) << ciso.index_align;
    if (len < 0 || seek_payload(off, pos) != 0 ||
        fread(block_buf2, 1, static_cast<size_t>(len), fin) != static_cast<size_t>(len)) {
        printf("block=%d : read error\n", static_cast<int>(b));
        *pos = UINT64_MAX;  // unknown after a failed read
        return 1;
    }
    *pos += static_cast<uint64_t>(len);
    if (e & CSO_PLAIN_FLAG)
        memcpy(block_buf1, block_buf2, bs);
    else if (inflate_payload(b, static_cast<unsigned>(len), bs))
        return 1;
    if (fwrite(block_buf1, 1, bs, fout) != bs) {
        printf("block %d : Write error\n", static_cast<int>(b));
        return 1;
    }
    return 0;
}

// Prints the reference decompressor's five summary lines.
static void decomp_summary(uint32_t n) {
    printf("Decompress '%s' to '%s'\n", O.input_name, O.output_name);
    printf("Total File Size %llu bytes\n",  // 64-bit: 2 GiB and more must not print negative
           static_cast<unsigned long long>(static_cast<uint32_t>(ciso.total_bytes)));
    printf("block size      %d  bytes\n", static_cast<int>(ciso.block_size));
    printf("total blocks    %d  blocks\n", static_cast<int>(n));
    printf("index align     %d\n", 1 << ciso.index_align);
}

// Decompresses the CSO in fin into fout, following its header; returns 0 or 1.
int decomp_ciso() {
    if (read_cso_header(0)) return 1;
    uint32_t n = static_cast<uint32_t>(ciso.total_bytes) / ciso.block_size;
    ciso_total_block = n;
    if (read_cso_index(n, ciso.block_size, 2 * static_cast<size_t>(ciso.block_size))) return 1;
    decomp_summary(n);
    uint32_t period = n / 100 ? n / 100 : 1;
    int countdown = 0;
    uint64_t pos = 24 + 4 * (static_cast<uint64_t>(n) + 1);  // fin stands after the index
    if (n > 0 && open_inflate()) return 1;
    for (uint32_t b = 0; b < n; b++) {
        if (--countdown <= 0) {
            printf("decompress %d%%\r", static_cast<int>(b / period));
            fflush(stdout);  // a front-end reads progress through a pipe
            countdown = static_cast<int>(period);
        }
        if (decomp_one_block(b, &pos)) return 1;
    }
    if (close_z1() || flush_output(n)) return 1;
    printf("ciso decompress completed\n");
    return 0;
}
