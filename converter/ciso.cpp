// Driver and the optimised, threaded and estimating engines.
//
// A CSO file is a 24-byte header ("CISO", header size 0, image size, block size 2048,
// version 1, index alignment 0), then n + 1 little-endian 32-bit index entries, then
// the payloads of blocks 0..n-1 back to back. Entry i holds the file offset of block i
// (bit 31 set when the block is stored plain); entry n holds the end of the file.
// A compressed payload is one complete raw deflate stream of its own.
//
// Every writer measures the input, writes the header and a zeroed placeholder index,
// then passes each 2048-byte block through its engine: reference (plain only when
// deflate does not shrink the block), optimised (threshold and NC/Lost areas),
// threaded (chunks of 320 blocks split between two workers, stored sizes summed into
// offsets at the end) or estimate (sampled blocks, nothing written). The finished
// index is written over the placeholder last. The decompressors read the index whole
// and decode the blocks in order.
#include "ciso.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "halvard.h"
#include "init.h"
#include "isosearch.h"
#include "zblock.h"

int threshold = 2048;
int level = 9;
int pas_estimation = 1;
int media = 0;
uint32_t* index_buf = nullptr;
unsigned char* block_buf1 = nullptr;
unsigned char* block_buf2 = nullptr;
uint32_t write_pos = 0;
z_stream Z1;
int Z1_mode = 0;

static const uint32_t PLAIN = 0x80000000u;

// ---------------------------------------------------------------- shared helpers

// Allocates a zeroed index and the two block buffers; returns 0, or 1 after the message.
int alloc_index_and_buffers(uint32_t entries, size_t size1, size_t size2) {
    free_index_and_buffers();
    index_buf = static_cast<uint32_t*>(calloc(entries, sizeof(uint32_t)));
    block_buf1 = static_cast<unsigned char*>(malloc(size1));
    block_buf2 = static_cast<unsigned char*>(malloc(size2));
    if (index_buf && block_buf1 && block_buf2) return 0;
    printf("Can't allocate memory\n");
    return 1;
}

// Frees the index and the two block buffers.
void free_index_and_buffers() {
    free(index_buf);
    free(block_buf1);
    free(block_buf2);
    index_buf = nullptr;
    block_buf1 = block_buf2 = nullptr;
}

// Writes the header and a zeroed index at offset 0; returns the bytes that takes.
// A failed write here shows up again at the final index write, which is checked.
uint32_t write_header_and_placeholder(uint32_t entries) {
    fwrite(&ciso, 1, sizeof ciso, fout);
    fwrite(index_buf, sizeof(uint32_t), entries, fout);
    return static_cast<uint32_t>(sizeof ciso + 4 * static_cast<uint64_t>(entries));
}

// Writes the finished index over the placeholder and flushes; returns 0, or 1 after a message.
int write_final_index(uint32_t entries) {
    int ok = fseek(fout, 24, SEEK_SET) == 0 &&
             fwrite(index_buf, sizeof(uint32_t), entries, fout) == entries &&
             fflush(fout) == 0 && !ferror(fout);
    if (ok) return 0;
    printf("Index write error\n");
    return 1;
}

// Opens Z1 for deflate at `lvl`; returns 0, or 1 after the message.
int open_deflate(int lvl) {
    if (zb_deflate_open(&Z1, lvl) == Z_OK) {
        Z1_mode = 1;
        return 0;
    }
    printf("deflateInit : %s\n", zb_msg(&Z1, "???"));
    return 1;
}

// Opens Z1 for inflate; returns 0, or 1 after naming the failed initialisation.
int open_inflate() {
    if (zb_inflate_open(&Z1) == Z_OK) {
        Z1_mode = 2;
        return 0;
    }
    printf("inflateInit : %s\n", zb_msg(&Z1, "???"));
    return 1;
}

// Ends whatever Z1 holds; returns 0, or 1 after the message.
int close_z1() {
    int mode = Z1_mode;
    Z1_mode = 0;
    if (mode == 0) return 0;
    int ret = mode == 1 ? deflateEnd(&Z1) : inflateEnd(&Z1);
    if (ret == Z_OK || (mode == 1 && ret == Z_DATA_ERROR)) return 0;  // ended mid-stream: fine
    printf(mode == 1 ? "deflateEnd : %s\n" : "inflateEnd : %s\n", zb_msg(&Z1, "error"));
    return 1;
}

// Flushes the decoded image; returns 0, or 1 after the write error of the last block.
// Without it the tail of the image could fail at close, after "completed" was printed.
int flush_output(uint32_t n) {
    if (n == 0 || (fflush(fout) == 0 && !ferror(fout))) return 0;
    printf("block %d : Write error\n", static_cast<int>(n - 1));
    return 1;
}

// Returns x rounded to the nearest integer, halves up.
static int round_half_up(double x) {
    return static_cast<int>(std::floor(x + 0.5));
}

// Returns the low 32 bits of the header's image size.
static uint32_t image_size() {
    return static_cast<uint32_t>(ciso.total_bytes);
}

// ---------------------------------------------------------------- optimised decompressor

// Prints the optimised decompressor's four summary lines.
static void my_decomp_summary() {
    printf("Decompress '%s' to '%s'\n", O.input_name, O.output_name);
    printf("Thread number       %d\n", 1);
    printf("Total ISO size      ");
    number(static_cast<int>(image_size()));
    printf(" bytes\n");
    printf("Block size          %d  bytes\n", 2048);
}

// Reads the payload of block b, which must start at *pos, into the right buffer;
// returns its length, or -1 after printing the read error.
static long long my_read_payload(uint32_t b, uint32_t* pos) {
    uint32_t e = index_buf[b];
    long long len = (e & PLAIN) ? BLOCK : stored_length(b, 0, 2 * BLOCK);
    // Payloads must follow each other; anything else would decode foreign bytes.
    unsigned char* dst = (e & PLAIN) ? block_buf1 : block_buf2;
    if (len < 0 || (e & ~PLAIN) != *pos ||
        fread(dst, 1, static_cast<size_t>(len), fin) != static_cast<size_t>(len)) {
        printf("block=%d : read error\n", static_cast<int>(b));
        return -1;
    }
    *pos += static_cast<uint32_t>(len);
    return len;
}

// Decodes block b from the current position and writes it; returns 0 or 1.
static int my_decomp_one_block(uint32_t b, uint32_t* pos) {
    long long len = my_read_payload(b, pos);
    if (len < 0) return 1;
    if (!(index_buf[b] & PLAIN)) {
        if (Z1_mode == 0 && open_inflate()) return 1;
        if (inflate_payload(b, static_cast<unsigned>(len), BLOCK)) return 1;
    }
    if (fwrite(block_buf1, 1, BLOCK, fout) != static_cast<size_t>(BLOCK)) {
        printf("block %d : Write error\n", static_cast<int>(b));
        return 1;
    }
    return 0;
}

// Optimised decompressor (block size 2048, contiguous payloads); returns 0 or 1.
int MY_decomp_ciso() {
    if (read_cso_header(1)) return 1;
    uint32_t n = image_size() >> 11;
    ciso_total_block = n;
    if (read_cso_index(n, BLOCK, 2 * BLOCK)) return 1;
    my_decomp_summary();
    uint32_t period = n >= 100 ? n / 100 : 1;
    uint32_t pos = 24 + 4 * (n + 1);
    int countdown = 0;
    for (uint32_t b = 0; b < n; b++) {
        if (--countdown <= 0) {
            printf("decompress %d%%\r", static_cast<int>(b / period));
            fflush(stdout);
            countdown = static_cast<int>(period);
        }
        if (my_decomp_one_block(b, &pos)) return 1;
    }
    if (close_z1() || flush_output(n)) return 1;
    printf("ciso decompress completed\n");
    return 0;
}

// ---------------------------------------------------------------- optimised compressor

// Prints the optimised engines' summary and runs the area search.
void Information(int compress_mode, int threads) {
    if (compress_mode)
        printf("Compress '%s' to '%s'\n", O.input_name, O.output_name);
    else
        printf("Estimate '%s'\n", O.input_name);
    printf("Thread number       %d\n", threads);
    printf("Total file size     ");
    number(static_cast<int>(image_size()));
    printf(" bytes\n");
    printf("Block size          %d bytes\n", 2048);
    printf("Compress level      %d\n", level);
    printf("Compress threshold  %d%%\n", (threshold * 100 - 1) / 2048 + 1);
    if (!compress_mode) printf("Estimation quality  %d\n", pas_estimation);
    MEDIA();
    searchMediaFiles(0);
    printf("Compress %3d%% average rate %3d%%  \r", 0, 100);
    fflush(stdout);
}

// Reads block b into block_buf1; returns 0, or 1 after the read error.
static int read_block(uint32_t b) {
    if (fread(block_buf1, 1, BLOCK, fin) == static_cast<size_t>(BLOCK)) return 0;
    printf("block=%d : read error\n", static_cast<int>(b));
    return 1;
}

// Compresses block_buf1 (zeroed first for a Lost block) into block_buf2 by the
// threshold rule; returns the stored size, with the plain flag in *flag, or -1.
static long long opt_store_block(uint32_t b, int kind, uint32_t* flag) {
    if (kind == LOST_AREA) memset(block_buf1, 0, BLOCK);
    unsigned len = 0;
    int ret = zb_deflate_block(&Z1, block_buf1, BLOCK, block_buf2, 2 * BLOCK, &len);
    if (ret != Z_STREAM_END) {
        printf("block %d:deflate : %s[%d]\n", static_cast<int>(b), zb_msg(&Z1, "error"), ret);
        return -1;
    }
    *flag = 0;
    if (len < static_cast<unsigned>(threshold)) return len;
    memcpy(block_buf2, block_buf1, BLOCK);
    *flag = PLAIN;
    return BLOCK;
}

// Reads, encodes and writes block b at write_pos; returns 0, or 1 after a message.
static int opt_one_block(uint32_t b) {
    index_buf[b] = write_pos;
    int kind = IsNCArea_type(b);
    if (read_block(b)) return 1;
    const unsigned char* out = block_buf1;  // NC blocks go out as read, without deflate
    long long len = BLOCK;
    uint32_t flag = PLAIN;
    if (kind != NC_AREA) {
        len = opt_store_block(b, kind, &flag);
        if (len < 0) return 1;
        out = block_buf2;
    }
    index_buf[b] |= flag;
    if (fwrite(out, 1, static_cast<size_t>(len), fout) != static_cast<size_t>(len)) {
        printf("block %d : Write error\n", static_cast<int>(b));
        return 1;
    }
    write_pos += static_cast<uint32_t>(len);
    return 0;
}

// Prints the optimised compressors' final line.
void print_completed() {
    uint32_t total = image_size();
    printf("Ciso compress completed, total size ");
    number(static_cast<int>(write_pos));
    printf(" bytes, rate %d%%\n", total ? round_half_up(write_pos * 100.0 / total) : 0);
}

// Optimised one-thread compressor; returns 0 or 1.
int comp_ciso_no_thread_fast() {
    int size = check_file_size(fin);
    if (size < 0) {
        printf("Can't get file size\n");
        return 1;
    }
    initcisoheader(size);
    uint32_t n = ciso_total_block;
    if (alloc_index_and_buffers(n + 1, BLOCK, 2 * BLOCK)) return 1;
    Information(1, 1);
    write_pos = write_header_and_placeholder(n + 1);
    uint32_t period = n >= 100 ? n / 100 : 1, countdown = period;
    if (n > 0 && open_deflate(level)) return 1;
    for (uint32_t b = 0; b < n; b++) {
        if (--countdown == 0) {
            double rate = static_cast<double>(write_pos / 2048) * 100 / (b ? b : 1);
            printf("Compress %3d%% average rate %3d%%  \r", static_cast<int>(b / period + 1),
                   round_half_up(rate));
            fflush(stdout);
            countdown = period;
        }
        if (opt_one_block(b)) return 1;
    }
    if (close_z1()) return 1;
    index_buf[n] = write_pos;
    if (write_final_index(n + 1)) return 1;
    print_completed();
    free_index_and_buffers();
    return 0;
}

// ---------------------------------------------------------------- threaded engines

// Two-thread compressor; returns 0 or 1.
int comp_ciso_MT() {
    printf("The threaded compressor is not built yet\n");
    return 1;
}

// One-thread estimate; returns 0 or 1.
int comp_ciso_in_memory() {
    printf("The estimate is not built yet\n");
    return 1;
}

// Two-thread estimate; returns 0 or 1.
int comp_ciso_in_memory_MT() {
    printf("The threaded estimate is not built yet\n");
    return 1;
}

// ---------------------------------------------------------------- driver

// Prints the seven banner lines and an empty line.
static void banner() {
    printf("/\\/\\                                                   /\\/\\\n");
    printf("/\\/\\     Vellicor Ver.1.0.11  by Orsolan Brede         /\\/\\\n");
    printf("/\\/\\                                                   /\\/\\\n");
    printf(" Based on Halvard's CISO v1.01 by Halvard Ostmark\n");
    printf("          and Tessaly Scan v0.3 by Marrow Fenn\n");
    printf(" Icon by Quillane\t(http://vellicor.example.org)\n");
    printf(" 27/09/07\n");
    printf("\n");
}

// Shows the screen for a run without arguments and waits for Enter.
static void no_argument_screen() {
    printf("Convert PSP-ISO file in compressed CSO format\n");
    printf("use: 'vellicor -help' for short help\n");
    printf("use: 'vellicor -fullhelp' for detailled help\n");
    printf("\n");
    printf("Please do not forget that Vellicor! is a command line tool:\n");
    printf("    ---   You must open a MS-DOS prompt to use it!   ---\n");
    printf("Press Enter to exit\n");
    fflush(stdout);
    getchar();
}

// Derives the engines' globals from the options record.
static void derive_globals() {
    threshold = (O.threshold_pct * 2048 + 2048) / 100;
    level = O.comp_level;
    pas_estimation = O.est_quality;
    media = (O.nc_audio ? 1 : 0) + (O.nc_video ? 2 : 0);
}

// Prints "No input file"/"No output file" when a name is missing; returns 1 if one was.
static int missing_names(int need_output) {
    if (!O.input_name) {
        printf("No input file");
        return 1;
    }
    if (need_output && !O.output_name) {
        printf("No output file");
        return 1;
    }
    return 0;
}

// Runs the engine for O.action; returns its status, or 1 when no engine fits.
static int run_engine() {
    int a = O.action, r = a % 100;
    if (r == 13) {
        if (a == 13) return decomp_ciso();
        return (a == 113 || a == 1113) ? MY_decomp_ciso() : 1;
    }
    if (r == 12) {
        if (a == 12) return comp_ciso(level);
        if (a == 112) return comp_ciso_no_thread_fast();
        return a > 1000 ? comp_ciso_MT() : 1;
    }
    if (r == 14) return a <= 1000 ? comp_ciso_in_memory() : comp_ciso_in_memory_MT();
    return 1;
}

// Closes the streams and frees what the driver owns; returns the final status.
static int clean_up(int status) {
    if (fout && fclose(fout) != 0 && status == 0) {
        printf("Can't close %s\n", O.output_name);  // the output may not be whole
        status = 1;
    }
    fout = nullptr;
    if (fin) fclose(fin);
    fin = nullptr;
    free(ncareas);
    ncareas = nullptr;
    free(O.ext_list);
    free(O.log_name);
    O.ext_list = O.log_name = nullptr;
    return status;
}

// Runs the converter for one command line; returns the exit status.
int converter_main(int argc, char** argv) {
    banner();
    parse_ligne_commande(argc, argv);
    if (O.action == 0) {
        no_argument_screen();
        return clean_up(0);
    }
    if (O.action == 1 || O.action == 2) {
        printf("Convert PSP-ISO file in compressed CSO format\n");
        O.action == 1 ? aidecourte() : aidelongue();
        return clean_up(0);
    }
    derive_globals();
    ncareas = static_cast<nc_area*>(calloc(MAX_NC_AREAS, sizeof(nc_area)));
    if (!ncareas) {
        printf("Can't allocate memory\n");
        return clean_up(1);
    }
    int r = O.action % 100;
    if ((r == 12 || r == 13 || r == 14) && missing_names(r != 14)) return clean_up(1);
    time_t start = time(nullptr);
    int status = run_engine();
    printf("Time: %g sec\n", difftime(time(nullptr), start));
    return clean_up(status);
}

// Frees buffers, closes streams and puts every global back to its start value.
void converter_reset_state() {
    close_z1();
    clean_up(0);
    free_index_and_buffers();
    reset_options(&O);
    memset(&ciso, 0, sizeof ciso);
    ciso_total_block = 0;
    threshold = 2048;
    level = 9;
    pas_estimation = 1;
    media = 0;
    write_pos = 0;
    NB_NC_AREAS = 0;
}
