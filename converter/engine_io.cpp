// What the engines share.
#include "engine_io.h"

#include <cstdio>
#include <cstdlib>

#include "cso_format.h"
#include "cso_reader.h"
#include "init.h"
#include "messages.h"
#include "zbest.h"
#include "zblock.h"

uint32_t* index_buf = nullptr;
unsigned char* block_buf1 = nullptr;
unsigned char* block_buf2 = nullptr;
uint32_t write_pos = 0;
z_stream Z1;
int Z1_mode = 0;
zbest_state* Z1_best = nullptr;
img_source* image = nullptr;
image_cursor* image_main = nullptr;
int threshold = DEFAULT_THRESHOLD;
int level = DEFAULT_LEVEL;
int pas_estimation = DEFAULT_QUALITY;

void reset_engine_state() {
    free_index_and_buffers();
    write_pos = 0;
    threshold = DEFAULT_THRESHOLD;
    level = DEFAULT_LEVEL;
    pas_estimation = DEFAULT_QUALITY;
}

int threshold_bytes(int pct) {
    return (pct * BLOCK + BLOCK) / 100;
}

int threshold_percent(int bytes) {
    return (bytes * 100 - 1) / BLOCK + 1;
}

int open_image(FILE* f) {
    img_fault fault{};
    close_image();
    if (img_open(f, &image, &fault) != CSO_OK) {
        printf("%s\n", fault.line);
        return 1;
    }
    image_main = img_cursor_new(image);
    if (image_main) return 0;
    say(MSG_NO_MEMORY);
    return 1;
}

void close_image() {
    img_cursor_free(image_main);
    img_close(image);
    image_main = nullptr;
    image = nullptr;
}

// Consecutive blocks are read at once, so each byte is copied once.
int64_t read_image_blocks(image_cursor* c, unsigned char* dst, uint32_t count, uint32_t first,
                          uint32_t step, img_fault* fault) {
    uint32_t run = step == 1 ? count : 1;
    for (uint32_t i = 0; i < count; i += run) {
        uint64_t b = first + static_cast<uint64_t>(i) * step;
        if (img_read(c, b * BLOCK, dst + static_cast<size_t>(i) * BLOCK,
                     static_cast<size_t>(run) * BLOCK, fault) != CSO_OK)
            return static_cast<int64_t>(b);
    }
    return -1;
}

void report_image_fault(const img_fault* fault, uint32_t block) {
    if (img_format(image) == FORMAT_NONE) say(MSG_BLOCK_READ_ERROR, static_cast<int>(block));
    else printf("%s\n", fault->line);
}

long long image_bytes() {
    if (!image) return check_file_size(fin);
    return check_size_limit(static_cast<long long>(img_size(image)));
}

int measure_input() {
    if (!image && open_image(fin)) return 1;  // engines run without the driver (tests)
    long long size = image_bytes();
    if (size < 0) {
        say(MSG_NO_FILE_SIZE);
        return 1;
    }
    initcisoheader(static_cast<int>(size));
    return 0;
}

int zlib_level(int lvl) {
    return is_mix_level(lvl) ? 9 : lvl;
}

static zbest_mix mix_of(int lvl) {
    return lvl == LEVEL_BEST ? ZBEST_DEFAULT_MIX : ZBEST_FAST_MIX;
}

int open_best(int lvl, zbest_state** best) {
    *best = nullptr;
    if (!is_mix_level(lvl)) return 0;
    *best = zbest_create(mix_of(lvl));
    if (*best) return 0;
    say(MSG_NO_MEMORY);
    return 1;
}

int open_best_pool(int lvl, int slots, zbest_pool** pool) {
    *pool = nullptr;
    if (!is_mix_level(lvl)) return 0;
    *pool = zbest_pool_create(mix_of(lvl), slots);
    if (*pool) return 0;
    say(MSG_NO_MEMORY);
    return 1;
}

int encode_block(z_stream* z, zbest_state* best, const unsigned char* in, unsigned char* out,
                 unsigned* len) {
    if (best) return zbest_block(best, in, BLOCK, out, 2 * BLOCK, len);
    return zb_deflate_block(z, in, BLOCK, out, 2 * BLOCK, len);
}

uint32_t progress_period(uint32_t n) {
    return n >= 100 ? n / 100 : 1;
}

void print_progress(int shown, int rate) {
    printf("Compress %3d%% average rate %3d%%  \r", shown, rate);
    fflush(stdout);
}

int alloc_index_and_buffers(uint32_t entries, size_t size1, size_t size2) {
    free_index_and_buffers();
    index_buf = static_cast<uint32_t*>(calloc(entries, sizeof(uint32_t)));
    block_buf1 = static_cast<unsigned char*>(malloc(size1));
    block_buf2 = static_cast<unsigned char*>(malloc(size2));
    if (index_buf && block_buf1 && block_buf2) return 0;
    say(MSG_NO_MEMORY);
    return 1;
}

void free_index_and_buffers() {
    free(index_buf);
    free(block_buf1);
    free(block_buf2);
    index_buf = nullptr;
    block_buf1 = block_buf2 = nullptr;
}

// A failed write here shows up again at the final index write, which is checked.
uint32_t write_header_and_placeholder(uint32_t entries) {
    fwrite(&ciso, 1, sizeof ciso, fout);
    fwrite(index_buf, sizeof(uint32_t), entries, fout);
    return static_cast<uint32_t>(cso_payload_start(entries));
}

int write_final_index(uint32_t entries) {
    int ok = fseek(fout, CSO_HEADER_SIZE, SEEK_SET) == 0 &&
             fwrite(index_buf, sizeof(uint32_t), entries, fout) == entries &&
             fflush(fout) == 0 && !ferror(fout);
    if (ok) return 0;
    say(MSG_INDEX_WRITE_ERROR);
    return 1;
}

int open_deflate(int lvl) {
    if (zb_deflate_open(&Z1, zlib_level(lvl)) == Z_OK) {
        Z1_mode = 1;
        return open_best(lvl, &Z1_best);
    }
    say(MSG_DEFLATE_INIT, zb_msg(&Z1, "???"));
    return 1;
}

int open_inflate() {
    if (zb_inflate_open(&Z1) == Z_OK) {
        Z1_mode = 2;
        return 0;
    }
    say(MSG_INFLATE_INIT, zb_msg(&Z1, "???"));
    return 1;
}

int close_z1() {
    int mode = Z1_mode;
    Z1_mode = 0;
    zbest_free(Z1_best);
    Z1_best = nullptr;
    if (mode == 0) return 0;
    int ret = mode == 1 ? deflateEnd(&Z1) : inflateEnd(&Z1);
    if (ret == Z_OK || (mode == 1 && ret == Z_DATA_ERROR)) return 0;  // ended mid-stream: fine
    say(mode == 1 ? MSG_DEFLATE_END : MSG_INFLATE_END, zb_msg(&Z1, "error"));
    return 1;
}

// Without it the tail of the image could fail at close, after "completed" was printed.
int flush_output(uint32_t n) {
    if (n == 0 || (fflush(fout) == 0 && !ferror(fout))) return 0;
    say(MSG_WRITE_ERROR, static_cast<int>(n - 1));
    return 1;
}
