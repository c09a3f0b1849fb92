// Driver and the optimised, threaded and estimating engines.
//
// Every writer measures the input, writes the header and a zeroed placeholder index,
// then passes each block through its engine: reference (halvard.cpp), optimised
// (threshold and NC/Lost areas), threaded (the head on this thread, the rest through the
// ring of thread_ring.h, stored sizes summed into offsets at the end) or estimate (sampled
// blocks, nothing written). The finished index is written over the placeholder last. The
// decompressors read the CSO through the block reader and write the image through
// span_writer.cpp.
#include "ciso.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cso_format.h"
#include "cso_reader.h"
#include "engine_io.h"
#include "examine.h"
#include "halvard.h"
#include "init.h"
#include "isosearch.h"
#include "messages.h"
#include "span_writer.h"
#include "thread_ring.h"
#include "zblock.h"

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
static void my_decomp_summary(uint32_t) {
    printf("Decompress '%s' to '%s'\n", O.input_name, O.output_name);
    printf("Thread number       %d\n", 1);
    printf("Total ISO size      ");
    number(static_cast<long long>(ciso.total_bytes));
    printf(" bytes\n");
    printf("Block size          %d  bytes\n", BLOCK);
}

int MY_decomp_ciso() {
    return run_decoder(1, my_decomp_summary);
}

// ---------------------------------------------------------------- optimised compressor

// Prints the optimised engines' summary and runs the area search.
static void Information(int compress_mode, int threads) {
    if (compress_mode)
        printf("Compress '%s' to '%s'\n", O.input_name, O.output_name);
    else
        printf("Estimate '%s'\n", O.input_name);
    printf("Thread number       %d\n", threads);
    printf("Total file size     ");
    number(image_size());
    printf(" bytes\n");
    printf("Block size          %d bytes\n", BLOCK);
    printf("Compress level      ");
    print_level(level);
    printf("\n");
    printf("Compress threshold  %d%%\n", threshold_percent(threshold));
    if (!compress_mode) printf("Estimation quality  %d\n", pas_estimation);
    MEDIA();
    searchMediaFiles(0);
    print_progress(0, 100);
}

// Reads block b into block_buf1; returns 0, or 1 after the read error.
static int read_block(uint32_t b) {
    img_fault fault;
    if (read_image_blocks(image_main, block_buf1, 1, b, 1, &fault) < 0) return 0;
    report_image_fault(&fault, b);
    return 1;
}

// Decides how a block of kind `kind` (its BLOCK bytes at `in`, zeroed in place first when
// Lost) is stored, deflating with z (or best's encoders) into tmp unless it is NC. Returns the stored size and
// points *src at the bytes to store (`in` when plain); returns -1 with deflate's code in
// *code when deflate fails.
static int decide_block(unsigned char* in, int kind, z_stream* z, zbest_state* best,
                        unsigned char* tmp, const unsigned char** src, int* code) {
    *src = in;
    if (kind == NC_AREA) return BLOCK;
    if (kind == LOST_AREA) memset(in, 0, BLOCK);
    unsigned len = 0;
    *code = encode_block(z, best, in, tmp, &len);
    if (*code != Z_STREAM_END) return -1;
    if (len >= static_cast<unsigned>(threshold)) return BLOCK;
    *src = tmp;
    return static_cast<int>(len);
}

// Reads, encodes and writes block b at write_pos; returns 0, or 1 after a message.
static int opt_one_block(uint32_t b) {
    index_buf[b] = write_pos;
    if (read_block(b)) return 1;
    const unsigned char* out;
    int code = 0;
    int len = decide_block(block_buf1, IsNCArea_type(b), &Z1, Z1_best, block_buf2, &out, &code);
    if (len < 0) {
        say(MSG_DEFLATE, static_cast<int>(b), zb_msg(&Z1, "error"), code);
        return 1;
    }
    if (out == block_buf1) index_buf[b] |= CSO_PLAIN_FLAG;
    if (fwrite(out, 1, static_cast<size_t>(len), fout) != static_cast<size_t>(len)) {
        say(MSG_WRITE_ERROR, static_cast<int>(b));
        return 1;
    }
    write_pos += static_cast<uint32_t>(len);
    return 0;
}

// Prints the optimised compressors' final line.
static void print_completed() {
    uint32_t total = image_size();
    printf("Ciso compress completed, total size ");
    number(static_cast<int>(write_pos));
    printf(" bytes, rate %d%%\n", total ? round_half_up(write_pos * 100.0 / total) : 0);
}

// Prints a progress line for sample block b with the rounded floating-point rate.
static void progress_float(uint32_t b, uint32_t period, uint32_t q) {
    double rate = static_cast<double>(write_pos / BLOCK) * 100 * q / (b ? b : 1);
    print_progress(static_cast<int>(b / (period * q) + 1), round_half_up(rate));
}

// Compresses every block on this thread with the progress lines; returns 0 or 1.
static int opt_all_blocks(uint32_t n) {
    uint32_t period = progress_period(n), countdown = period;
    for (uint32_t b = 0; b < n; b++) {
        if (--countdown == 0) {
            progress_float(b, period, 1);
            countdown = period;
        }
        if (opt_one_block(b)) return 1;
    }
    return 0;
}

int comp_ciso_no_thread_fast() {
    if (measure_input()) return 1;
    uint32_t n = ciso_total_block;
    if (alloc_index_and_buffers(n + 1, BLOCK, 2 * BLOCK)) return 1;
    Information(1, 1);
    write_pos = write_header_and_placeholder(n + 1);
    if (n > 0 && open_deflate(level)) return 1;
    if (opt_all_blocks(n) || close_z1()) return 1;
    index_buf[n] = write_pos;
    if (write_final_index(n + 1)) return 1;
    print_completed();
    free_index_and_buffers();
    return 0;
}

// ---------------------------------------------------------------- threaded engines
//
// The first blocks, those that do not fill a chunk (the head), are done on the main
// thread with worker A's stream; the rest goes through the ring. Each block's stored size
// goes into the size table, which becomes the offsets once every block is done.

static uint32_t* taille_temp_buf = nullptr;  // [0]: offset of block 0; [b + 1]: stored size of block b

// Decides block b (its bytes at `in`) by the optimised rule with the stream and buffer of
// `job`: returns the stored size and points *src at the bytes to store, or returns -1
// after noting the deflate failure in `job`.
static int job_block(unsigned char* in, uint32_t b, worker_job* job, const unsigned char** src) {
    int len = decide_block(in, IsNCArea_type(b), job->z, job->best, job->deflate_out, src,
                           &job->fail_code);
    if (len < 0) job->fail_block = static_cast<int32_t>(b);
    return len;
}

// Stores block b into `out` with the stream and buffer of `job`, sets its plain flag and
// its size-table entry; returns the stored size, or -1 after noting the deflate failure
// in `job`.
static int compress_block(unsigned char* in, unsigned char* out, uint32_t b, worker_job* job) {
    const unsigned char* src;
    int len = job_block(in, b, job, &src);
    if (len < 0) return -1;
    if (src == in) index_buf[b] |= CSO_PLAIN_FLAG;
    memcpy(out, src, static_cast<size_t>(len));
    taille_temp_buf[b + 1] = static_cast<uint32_t>(len);
    return len;
}

// Worker A's (and the head's) block compressor; returns the stored size, or -1.
static int compresse1_1bloc(unsigned char* in, unsigned char* out, uint32_t b) {
    return compress_block(in, out, b, &ST1);
}

// Returns the stored size of sample block b (its bytes at `in`) by the optimised rule,
// deflating with the stream and buffer of `job`; returns -1 after noting a deflate
// failure in `job`.
static int estimate_block(unsigned char* in, uint32_t b, worker_job* job) {
    const unsigned char* src;
    return job_block(in, b, job, &src);
}

// Worker A's (and the head's) sample estimator; returns the stored size, or -1.
static int estimate1bloc_1(unsigned char* in, uint32_t b) {
    return estimate_block(in, b, &ST1);
}

// A worker's compression of a ring slot; returns the stored size, or -1.
static int compress_slot(worker_job* job, size_t slot, uint32_t b) {
    return compress_block(block_buf1 + slot * BLOCK, block_buf_write_cpu1 + slot * BLOCK, b, job);
}

// A worker's estimate of a ring slot; returns the stored size, or -1.
static int estimate_slot(worker_job* job, size_t slot, uint32_t b) {
    return estimate_block(block_buf1 + slot * BLOCK, b, job);
}

// Every worker of the threaded compressor; returns 0.
static int ThreadProcA(void* job) {
    return ring_worker(static_cast<worker_job*>(job), compress_slot);
}

// Every worker of the threaded estimate; returns 0.
static int ThreadProcEst(void* job) {
    return ring_worker(static_cast<worker_job*>(job), estimate_slot);
}

// Writes `len` stored bytes that start with block b and counts them; returns 0, or 1
// after the write error.
static int write_stored(const unsigned char* buf, int32_t len, uint32_t b) {
    if (fwrite(buf, 1, static_cast<size_t>(len), fout) != static_cast<size_t>(len)) {
        say(MSG_WRITE_ERROR, static_cast<int>(b));
        return 1;
    }
    write_pos += static_cast<uint32_t>(len);
    return 0;
}

// Writes the stored blocks of done chunk k in block order; returns 0 or 1.
static int write_chunk(uint32_t k) {
    size_t slot0 = ring_slot(k);
    for (uint32_t i = 0; i < CHUNK_BLOCKS; i++)
        if (write_stored(block_buf_write_cpu1 + (slot0 + i) * BLOCK, ring_stored(slot0 + i),
                         chunk_start(k) + i))
            return 1;
    return 0;
}

// Prints a progress line showing `shown` and the rate over n blocks (or samples) in
// truncating integer arithmetic.
static void progress_int(uint32_t shown, uint32_t n) {
    uint32_t rate = (write_pos / BLOCK) * 100 / (n ? n : 1);
    print_progress(static_cast<int>(shown), static_cast<int>(rate));
}

// The compressor's progress line before the chunk at block s.
static void compress_progress(uint32_t s, uint32_t period) {
    progress_int(s / period + 1, s);
}

// Compresses the first `head` blocks on this thread and writes them; returns 0 or 1.
static int mt_head(uint32_t head, uint32_t period, int* countdown) {
    if (head == 0) return 0;
    img_fault fault;
    if (read_image_blocks(image_main, block_buf1, head, 0, 1, &fault) >= 0) {
        report_image_fault(&fault, 0);
        return 1;
    }
    int32_t total = 0;
    for (uint32_t b = 0; b < head; b++) {
        if (--*countdown == 0) {
            progress_int(b / period + 1, b);
            *countdown = static_cast<int>(period);
        }
        int len = compresse1_1bloc(block_buf1 + static_cast<size_t>(b) * BLOCK,
                                   block_buf_write_cpu1 + total, b);
        if (len < 0) return report_worker_failure(&ST1);
        total += len;
    }
    return write_stored(block_buf_write_cpu1, total, 0);
}

// Turns the size table into offsets and adds them into the index (keeping plain flags).
static void sizes_to_offsets(uint32_t n) {
    for (uint32_t i = 1; i <= n; i++) {
        taille_temp_buf[i] += taille_temp_buf[i - 1];
        index_buf[i] += taille_temp_buf[i];
    }
}

// Allocates the zeroed index and size table of `entries` entries; returns 0 or 1.
static int alloc_index_tables(uint32_t entries) {
    free_index_and_buffers();
    free(taille_temp_buf);
    index_buf = static_cast<uint32_t*>(calloc(entries, sizeof(uint32_t)));
    taille_temp_buf = static_cast<uint32_t*>(calloc(entries, sizeof(uint32_t)));
    if (index_buf && taille_temp_buf) return 0;
    say(MSG_NO_MEMORY);
    return 1;
}

// Frees what the threaded engines allocated and ends the workers' streams.
static void free_threaded_state() {
    ring_free();
    free_index_and_buffers();
    free(taille_temp_buf);
    taille_temp_buf = nullptr;
}

static const chunk_ops COMPRESS_OPS = {ThreadProcA, write_chunk, compress_progress};

// The threaded compressor's work, leaving the clean-up to the caller; returns 0 or 1.
static int mt_compress() {
    if (measure_input()) return 1;
    uint32_t n = ciso_total_block;
    if (alloc_index_tables(n + 1)) return 1;
    Information(1, worker_count);
    write_pos = write_header_and_placeholder(n + 1);
    uint32_t period = progress_period(n);
    taille_temp_buf[0] = index_buf[0] = write_pos;
    if (ring_alloc(1) || (n > 0 && ring_open_streams(level))) return 1;
    int countdown = static_cast<int>(period);
    uint32_t head = n % CHUNK_BLOCKS;
    if (mt_head(head, period, &countdown) ||
        ring_run(&COMPRESS_OPS, (n - head) / CHUNK_BLOCKS, head, 1, period, &countdown) ||
        ring_end_streams())
        return 1;
    sizes_to_offsets(n);
    if (write_final_index(n + 1)) return 1;
    print_completed();
    return 0;
}

int comp_ciso_MT() {
    int status = mt_compress();
    free_threaded_state();
    return status;
}

// ---------------------------------------------------------------- estimates

// Returns the number of samples of an n-block image at one every q blocks: n / q, but
// one when there is at least one block, and none for an image without a whole block.
static uint32_t sample_count(uint32_t n, uint32_t q) {
    if (n == 0) return 0;
    return n / q ? n / q : 1;
}

// Prints the estimate's final line for a sum of sampled stored sizes.
static void print_estimate(uint32_t sum) {
    uint32_t n = ciso_total_block, total = image_size();
    uint64_t e = static_cast<uint64_t>(pas_estimation) * sum + cso_payload_start(uint64_t{n} + 1);
    printf("Ciso estimation completed, total size ");
    number(static_cast<long long>(e));
    printf(" bytes, rate %.1f%%\n", total ? e * 100.0 / total : 0.0);  // empty input: 0.0
}

// Adds the stored size of sample b to write_pos; returns 0 or 1.
static int estimate_one_sample(uint32_t b) {
    int kind = IsNCArea_type(b);
    // Stored plain whatever it holds, so an image's block is passed unread; a compressed
    // file's is still decoded, as every other engine decodes it, so that one that fails
    // stops this estimate too.
    if (kind == NC_AREA && img_format(image) == FORMAT_NONE) {
        write_pos += BLOCK;
        return 0;
    }
    if (read_block(b)) return 1;
    const unsigned char* src;
    int code = 0;
    int len = decide_block(block_buf1, kind, &Z1, Z1_best, block_buf2, &src, &code);
    if (len < 0) {
        say(MSG_DEFLATE, static_cast<int>(b), zb_msg(&Z1, "error"), code);
        return 1;
    }
    write_pos += static_cast<uint32_t>(len);
    return 0;
}

// The one-thread estimate's work, leaving the clean-up to the caller; returns 0 or 1.
static int estimate_one_thread() {
    if (measure_input() || alloc_index_and_buffers(1, BLOCK, 2 * BLOCK)) return 1;
    Information(0, 1);
    uint32_t n = ciso_total_block, q = static_cast<uint32_t>(pas_estimation);
    uint32_t samples = sample_count(n, q), period = progress_period(n / q);
    write_pos = 0;
    int countdown = static_cast<int>(period);
    if (samples > 0 && open_deflate(level)) return 1;
    for (uint32_t k = 0; k < samples; k++) {
        if (--countdown <= 0) {
            progress_float(k * q, period, q);
            countdown = static_cast<int>(period);
        }
        if (estimate_one_sample(k * q)) return 1;
    }
    if (close_z1()) return 1;
    print_estimate(write_pos);
    return 0;
}

int comp_ciso_in_memory() {
    int status = estimate_one_thread();
    close_z1();
    free_index_and_buffers();
    return status;
}

// Estimates the first `head` samples on this thread into *sum; returns 0 or 1.
static int estimate_head(uint32_t head, uint32_t period, int* countdown, uint32_t* sum) {
    uint32_t q = static_cast<uint32_t>(pas_estimation);
    *sum = 0;
    if (head == 0) return 0;
    img_fault fault;
    int64_t bad = read_image_blocks(image_main, block_buf1, head, 0, q, &fault);
    if (bad >= 0) {
        report_image_fault(&fault, static_cast<uint32_t>(bad));
        return 1;
    }
    for (uint32_t k = 0; k < head; k++) {
        if (--*countdown <= 0) {
            progress_int(k / (period * q) + 1, k);
            *countdown = static_cast<int>(period);
        }
        int len = estimate1bloc_1(block_buf1 + static_cast<size_t>(k) * BLOCK, k * q);
        if (len < 0) return report_worker_failure(&ST1);
        *sum += static_cast<uint32_t>(len);
        write_pos = *sum;
    }
    return 0;
}

// Adds the stored sizes of done sample chunk k to write_pos; returns 0.
static int add_up_chunk(uint32_t k) {
    size_t slot0 = ring_slot(k);
    for (uint32_t i = 0; i < CHUNK_BLOCKS; i++)
        write_pos += static_cast<uint32_t>(ring_stored(slot0 + i));
    return 0;
}

// The estimate's progress line before the sample chunk at block s.
static void estimate_progress(uint32_t s, uint32_t period) {
    progress_float(s, period, static_cast<uint32_t>(pas_estimation));
}

static const chunk_ops ESTIMATE_OPS = {ThreadProcEst, add_up_chunk, estimate_progress};

// The threaded estimate's work, leaving the clean-up to the caller; returns 0 or 1.
static int estimate_threaded() {
    if (measure_input()) return 1;
    Information(0, worker_count);
    if (ring_alloc(0)) return 1;
    uint32_t n = ciso_total_block, q = static_cast<uint32_t>(pas_estimation);
    uint32_t samples = sample_count(n, q), period = progress_period(n / q);
    if (samples > 0 && ring_open_streams(level)) return 1;
    int countdown = static_cast<int>(period);
    uint32_t head = samples % CHUNK_BLOCKS, head_sum = 0;
    write_pos = 0;
    if (estimate_head(head, period, &countdown, &head_sum)) return 1;
    write_pos = 0;
    if (ring_run(&ESTIMATE_OPS, (samples - head) / CHUNK_BLOCKS, head * q, q, period,
                     &countdown) ||
        ring_end_streams())
        return 1;
    print_estimate(head_sum + write_pos);
    return 0;
}

int comp_ciso_in_memory_MT() {
    int status = estimate_threaded();
    free_threaded_state();
    return status;
}

// ---------------------------------------------------------------- driver

// Prints the seven banner lines and an empty line.
static void banner() {
    printf("/\\/\\                                                   /\\/\\\n");
    printf("/\\/\\     Vellicor Ver." VELLICOR_VERSION "  by Orsolan Brede         /\\/\\\n");
    printf("/\\/\\                                                   /\\/\\\n");
    printf(" Based on Halvard's CISO v1.01 by Halvard Ostmark\n");
    printf("          and Tessaly Scan v0.3 by Marrow Fenn\n");
    printf(" Icon by Quillane\t(http://vellicor.example.org)\n");
    printf(" 27/09/07\n");
    printf("\n");
}

// The first line of the no-argument screen and of both help texts.
static const char HEADING[] = "Convert PSP-ISO file in compressed CSO format\n";

// Shows the screen for a run without arguments and waits for Enter.
static void no_argument_screen() {
    fputs(HEADING, stdout);
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
    threshold = threshold_bytes(O.threshold_pct);
    level = O.comp_level;
    pas_estimation = O.est_quality;
    media = (O.nc_audio ? 1 : 0) + (O.nc_video ? 2 : 0);
    worker_count = O.mt_workers ? O.mt_workers : plat_processor_count();
    if (worker_count > MT_MAX_WORKERS) worker_count = MT_MAX_WORKERS;
}

// Prints "No input file"/"No output file" when a name is missing; returns 1 if one was.
static int missing_names(int need_output) {
    if (!O.input_name) {
        fputs(msg(MSG_NO_INPUT), stdout);
        return 1;
    }
    if (need_output && !O.output_name) {
        fputs(msg(MSG_NO_OUTPUT), stdout);
        return 1;
    }
    return 0;
}

// Runs the engine for O.action; returns its status, or 1 when no engine fits.
static int run_engine() {
    int a = O.action;
    if (is_estimate(a)) return is_threaded(a) ? comp_ciso_in_memory_MT() : comp_ciso_in_memory();
    if (!writes_output(a)) return 1;
    if (action_in(a, ACTION_DECOMPRESS))
        return a == ACTION_DECOMPRESS ? decomp_ciso() : MY_decomp_ciso();
    if (a == ACTION_COMPRESS) return comp_ciso(level);
    return is_threaded(a) ? comp_ciso_MT() : comp_ciso_no_thread_fast();
}

// Refuses an input that the compressors and the estimates would not take whole, opening
// its image (read through the block reader when the file is compressed); returns 0, or 1
// after one line. The size limit is the image's: a compressed file may be larger.
static int check_image() {
    if (stream_size(fin) < 0) {
        say(MSG_NO_FILE_SIZE);
        return 1;
    }
    if (open_image(fin)) return 1;
    long long size = image_bytes();  // ends the run over the limit
    if (size >= 0 && image_size_taken(static_cast<uint64_t>(size))) return 0;
    if (size == 0) say(MSG_INPUT_EMPTY, O.input_name);  // a CSO can't say "no bytes" either
    else say(MSG_INPUT_NOT_SECTORS, size, O.input_name);
    return 1;
}

// Refuses an input that is no CSO the decoder (`optimised` or not) can follow, reading
// its header and index as the decoder will; returns 0, or 1 after the decoder's own line.
static int check_cso(int optimised) {
    cso_reader r;
    int status = cso_open(&r, cso_stream_source(fin), optimised);
    if (status) printf("%s\n", r.fault);
    cso_close(&r);
    return status ? 1 : 0;
}

// Runs the checks of the input that can refuse action a before anything is written;
// returns 0, or 1 after one line.
static int check_input(int a) {
    if (is_estimate(a)) return check_image();
    if (!writes_output(a)) return 0;
    return action_in(a, ACTION_DECOMPRESS) ? check_cso(a != ACTION_DECOMPRESS) : check_image();
}

// Opens the scan log and the output that action a writes; returns 0, or 1 after the message.
static int open_run_files(int a) {
    if (searches_areas(a) && open_scan_log()) return 1;
    return writes_output(a) && open_output();
}

// Returns how many bytes of the image the compressed file a run read never stored (its
// size was no whole number of blocks and the index holds no entry for the rest, as some
// older tools wrote): the decompressors' CSO, or the compressed input of a compression or
// an estimate (0 for a plain image). The result leaves them out.
static uint64_t unheld_bytes(int decompress) {
    if (!decompress) return image ? img_unheld_bytes(image) : 0;
    uint64_t held = static_cast<uint64_t>(ciso_total_block) * ciso.block_size;
    return ciso.total_bytes > held ? ciso.total_bytes - held : 0;
}

// Closes the streams and frees what the driver owns; returns the final status.
static int clean_up(int status) {
    close_image();
    close_scan_log();
    status = close_output(status);
    if (fin) fclose(fin);
    fin = nullptr;
    free(ncareas);
    ncareas = nullptr;
    free(O.ext_list);
    free(O.log_name);
    O.ext_list = O.log_name = nullptr;
    return status;
}

// A report's lines (-test, -info, an estimate's, the help) are its result: one not
// written whole fails the run, said where it can still be seen.
static int report_written(int status) {
    if (fflush(stdout) == 0 && !ferror(stdout)) return status;
    say_to(stderr, MSG_REPORT_UNWRITTEN);
    return 1;
}

int converter_main(int argc, char** argv) {
    banner();
    parse_ligne_commande(argc, argv);
    if (O.action == ACTION_NONE) {
        no_argument_screen();
        return clean_up(0);
    }
    if (O.action == ACTION_SHORT_HELP || O.action == ACTION_FULL_HELP) {
        fputs(HEADING, stdout);
        O.action == ACTION_SHORT_HELP ? aidecourte() : aidelongue();
        return clean_up(report_written(0));
    }
    if (O.action == ACTION_TEST) return clean_up(report_written(test_ciso()));
    if (O.action == ACTION_INFO) return clean_up(report_written(info_ciso()));
    derive_globals();
    ncareas = static_cast<nc_area*>(calloc(MAX_NC_AREAS, sizeof(nc_area)));
    if (!ncareas) {
        say(MSG_NO_MEMORY);
        return clean_up(1);
    }
    int a = O.action, decompress = action_in(a, ACTION_DECOMPRESS);
    if ((action_in(a, ACTION_COMPRESS) || decompress || is_estimate(a)) &&
        missing_names(!is_estimate(a)))
        return clean_up(1);
    time_t start = time(nullptr);
    int status = check_input(a);
    if (status == 0) {
        if (open_run_files(a)) return clean_up(1);
        status = run_engine();
        uint64_t unheld = status == 0 ? unheld_bytes(decompress) : 0;
        if (unheld) say(MSG_TAIL_NOT_STORED, static_cast<unsigned long long>(unheld));
    }
    printf(CLOSING_LINE_START "%g sec\n", difftime(time(nullptr), start));
    return clean_up(is_estimate(a) ? report_written(status) : status);
}

void converter_reset_state() {
    close_z1();
    close_output(1);  // a run cut short (fatal_exit swapped) never puts its output in place
    clean_up(0);
    free_threaded_state();
    reset_options(&O);
    memset(&ciso, 0, sizeof ciso);
    ciso_total_block = 0;
    reset_engine_state();
    reset_area_state();
    reset_worker_state();
}
