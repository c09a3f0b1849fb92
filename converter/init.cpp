// Options record, command-line parser, help texts and the CSO header routines.
#include "init.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "messages.h"
#include "platform.h"

options O;
FILE* fin = nullptr;
FILE* fout = nullptr;
plat_output* output_file = nullptr;
ciso_header ciso;
uint32_t ciso_total_block = 0;
void (*fatal_exit)(int status) = exit;

// Stream buffers, large enough that block-sized reads and writes rarely reach the OS.
// They must be given explicitly: with a null buffer the C library keeps its 4 KiB one.
static const size_t STREAM_BUFFER = 1 << 20;
static char fin_buffer[STREAM_BUFFER];
static char fout_buffer[STREAM_BUFFER];

void reset_options(options* o) {
    *o = options{};  // no action, no names, no areas, no log
    o->comp_level = DEFAULT_LEVEL;
    o->threshold_pct = THRESHOLD_NOT_GIVEN;
    o->est_quality = DEFAULT_QUALITY;
    o->mt_workers = MT_WORKERS;
}

// Prints the lines of a help text, one per entry.
static void print_lines(const char* const* lines, size_t count) {
    for (size_t i = 0; i < count; i++) printf("%s\n", lines[i]);
}

void aidecourte() {
    static const char* const lines[] = {
        "",
        "Usage:  vellicor [OPTIONS] inputfile outputfile",
        "",
        "OPTIONS are",
        "  -dec: decompress",
        "  -com: compress",
        "  -est: estimate compression rate",
        "    -ln : where n is a number from [1-9] specifying the compression level",
        "    -opt: for optimized compression",
        "    -MT : for threaded compression",
        "    -qn : where q is a number from [1-9] specifying the estimation quality",
        "    -tnn: where nn is a number from [00-99] specifying the threshold",
        "    -vid: put video files in NC areas",
        "    -aud: put audio files in NC areas",
        "    -ext.X.Y.Z: put *.X, *.Y, *.Z, ... files in NC areas",
        "    -rm_vid: put video files in Lost areas",
        "    -rm_aud: put audio files in Lost areas",
        "    -rm_ext: put files specified by -ext in Lost areas",
    };
    print_lines(lines, sizeof lines / sizeof lines[0]);
}

void aidelongue() {
    static const char* const lines[] = {
        "Usage:",
        "    vellicor ACTION [OPTIONS] inputfile outputfile",
        "ACTION is",
        "  -dec: to decompress",
        "  -com: to compress",
        "  -est: to estimate compression rate. No output file is written",
        "",
        "OPTIONS are one or more of:",
        "  -ln : where n is a number from [1-9] specifying the compression level",
        "        1 = fast but large file, 9 = small file but slow compression",
        "        If not specified, Vellicor uses 9",
        "",
        "  -opt: optimized compression. By default, Vellicor uses Halvard's code to",
        "        compress. If the -opt is set, Vellicor uses an optimized code.",
        "",
        "  -MT : threaded compression. If the -MT is set, Vellicor use an optimized",
        "        compression for Hyper-Threading and Dual-Core processors. Depending",
        "        on the CPU and HDD capacities, the compression is up to 2 times faster.",
        "        The threaded compression is available with -com & -est",
        "",
        "  -tnn: where nn is a number from [00-99] specifying the threshold percentage.",
        "        If the compressed blocksize is greater than (threshold+1)%, it will",
        "        not be compressed. Decrease this value if the game lags",
        "        By default, the threshold is 99 as in original Halvard's compression",
        "",
        "  -qn : where q is a number from [1-9] specifying the estimation quality.",
        "        1 = accurate estimation but slow, 9 = fast but inaccurate estimation",
        "",
        "  -vid: put video files in NC areas. If -vid is set, Vellicor searches for",
        "        video files in the input file and forces them to be in the not",
        "        compressed area without analyzing if they could be compressed.",
        "        Original Halvard's compression does not use -vid",
        "",
        "  -aud: put audio files in NC areas",
        "",
        "  -ext.XX1.XX2.XXN: where XX1 to XXN are file extension. If a file extension",
        "        in ISO is the same as one of the XXi, this file will be put in NC area",
        "        eg: -ext.prx.bin will put *.prx and *.bin files in NC area.",
        "        Original Halvard's compression does not use -ext",
        "",
        "  -rm_vid : put video files in Lost area to reduce CSO size. The videos are not",
        "        written in the output file. As a consequence when decompressing such a",
        "        CSO, it will not be possible to recover these video files. The game can",
        "        be also unplayable on the PSP. !!!PLEASE DO NOT USE THIS OPTION IF YOU",
        "        DO NOT HAVE THE FULL ISO ON YOUR COMPUTER!!!",
        "",
        "  -rm_aud : put audio files in Lost area to reduce CSO size",
        "",
        "  -rm_ext : if -ext.XX1.XX2.XXN is set, the files will be send in Lost area",
        "        instead of NC area. This option is even more dangerous than -rm_vid or",
        "        -rm_aud. The game will be totally unplayable if you do not set",
        "        the extensions carefully.",
        "",
        "  -rm_update : put the update files in Lost area. The game must be playable, ",
        "",
        "        only the update will not work (which is a good thing on CustomFirmware)",
        "ex: vellicor -com -l9 c:\\umdfile.iso d:\\umdfile.cso",
        "    vellicor -dec d:\\umdfile.cso  c:\\umdfile.iso",
        "    vellicor -com -opt -MT -l9 -t99 c:\\umdfile.iso  d:\\umdfile.cso",
        "    vellicor -com -opt -MT -l9 -t25 -vid -aud -ext.xpac.res c:\\1.iso  d:\\1.cso",
        "    vellicor -com -opt -rm_vid -rm_aud c:\\1.iso c:\\1.cso",
        "    vellicor -est -opt -MT -l9 -q1 c:\\umdfile.iso",
        "    vellicor -com -rm_update -l9 c:\\umdfile.iso d:\\umdfile.cso",
        "",
        "  -MTn: threaded compression with n threads, n from 1 to 64; -MT0 uses one",
        "        thread per processor Vellicor may run on. The file is the same as with",
        "        -MT (2 threads) whatever n, and so are the estimates",
        "ex: vellicor -com -opt -MT0 -l9 c:\\umdfile.iso d:\\umdfile.cso",
        "    vellicor -est -MT8 c:\\umdfile.iso",
        "",
        "  -logNAME: write the files found for NC and Lost areas into the file NAME",
        "  -rm_update acts in estimates and with the optimised compressor (-opt, -MT",
        "        or an option selecting it, such as -vid); otherwise update files stay",
        "",
        "Checking a file (nothing is written; no other option may be given):",
        "  -test FILE [FILE2]: decode every block of the CSO FILE (or read the ISO FILE)",
        "        and print the first damaged block, or that the file is intact and the",
        "        image's size, CRC32, MD5 and SHA-1. With FILE2, check it too and name",
        "        the first block where the two images differ",
        "  -info FILE: show the CSO's header, how many blocks are stored compressed and",
        "        plain, their sizes, the ratio and any fault of the index",
        "ex: vellicor -test d:\\umdfile.cso",
        "    vellicor -test d:\\umdfile.cso c:\\umdfile.iso",
        "    vellicor -info d:\\umdfile.cso",
        "",
        "Files of other tools: -dec (not -dec -opt), -test and -info read CSO v2, ZSO",
        "        and DAX files too; -com and -est take any of these (or a CSO) as their",
        "        input and compress the image it holds in one step, as if decompressed",
        "  -best: instead of -ln, each block is stored as the smallest of the streams",
        "        of zlib (level 9), libdeflate (level 12) and zopfli that keeps the",
        "        shape zlib writes, which handheld firmware starts: smaller files, much",
        "        slower compression. -better: -best without zopfli, several times faster",
        "  -info also counts the payloads that keep that shape and says whether",
        "        handheld firmware may start the file",
        "ex: vellicor -com -opt -MT0 -best d:\\other.zso d:\\umdfile.cso",
    };
    print_lines(lines, sizeof lines / sizeof lines[0]);
}

void print_level(int lvl) {
    if (lvl == LEVEL_BEST) printf("best");
    else if (lvl == LEVEL_BETTER) printf("better");
    else printf("%d", lvl);
}

void number(long long n) {
    if (n >= 1000000)
        printf("%lld,%03lld,%03lld", n / 1000000, (n / 1000) % 1000, n % 1000);
    else if (n >= 1000)
        printf("%lld,%03lld", n / 1000, n % 1000);
    else
        printf("%lld", n);
}

// Prints a parser failure and ends the process with status 1.
static void fail(const char* message) {
    fputs(message, stdout);
    fflush(stdout);
    fatal_exit(1);
}

// Prints the line and ends the process with status 1.
static void fail(message_id id) {
    say(id);
    fail("");
}

// Returns a heap copy of text, or ends the process when memory runs out.
static char* copy_or_fail(const char* text, size_t room) {
    char* copy = static_cast<char*>(malloc(room));
    if (!copy) fail(MSG_NO_MEMORY);
    memcpy(copy, text, strlen(text) + 1);
    return copy;
}

// Handles "-ext.X.Y": keeps the text from the first '.' on.
static void parse_ext(const char* token) {
    const char* dot = strchr(token, '.');
    if (!dot) fail(MSG_BAD_EXTENSION);
    free(O.ext_list);
    O.ext_list = copy_or_fail(dot, strlen(token));
}

// Handles "-lN", "-qN" and "-tNN"; the token's first two characters are known.
static void parse_value(const char* token) {
    char ch = token[2];
    if (token[1] == 'l' || token[1] == 'q') {
        if (ch >= '1' && ch <= '9') {
            (token[1] == 'l' ? O.comp_level : O.est_quality) = ch - '0';
            return;
        }
        say(token[1] == 'l' ? MSG_UNKNOWN_LEVEL : MSG_UNKNOWN_QUALITY, ch);
        fail("");
        return;
    }
    errno = 0;
    long v = strtol(token + 2, nullptr, 10);  // like atoi, but defined on overflow
    if (v >= 0 && v <= THRESHOLD_PCT_MAX && errno == 0) {
        O.threshold_pct = static_cast<int>(v);
        return;
    }
    say(MSG_UNKNOWN_THRESHOLD, token + 2);
    fail("");
}

// Handles "-MT" and "-MTn" (one or two digits, n up to MT_MAX_WORKERS): the threaded
// engines' modifier with their worker count.
static void parse_mt(const char* token) {
    const char* n = token + 3;
    size_t digits = strspn(n, "0123456789");
    O.action += ACTION_MT;
    if (!*n) {
        O.mt_workers = MT_WORKERS;
        return;
    }
    if (digits == strlen(n) && digits <= 2 && atoi(n) <= MT_MAX_WORKERS) {
        O.mt_workers = atoi(n);
        return;
    }
    say(MSG_UNKNOWN_THREADS, n);
    fail("");
}

static int name_tokens = 0;              // file names among the tokens
static const char* read_only_token = nullptr;  // "-test" or "-info", when given

// Applies one token to O; returns nothing, may end the process.
static void parse_token(const char* t) {
    if (!strcmp(t, "-help")) O.action = ACTION_SHORT_HELP;
    else if (!strcmp(t, "-test") || !strcmp(t, "-info")) {
        O.action = t[1] == 't' ? ACTION_TEST : ACTION_INFO;
        read_only_token = t;
    }
    else if (!strcmp(t, "-fullhelp")) O.action = ACTION_FULL_HELP;
    else if (!strcmp(t, "-com")) O.action = ACTION_COMPRESS;
    else if (!strcmp(t, "-dec")) O.action = ACTION_DECOMPRESS;
    else if (!strcmp(t, "-est")) O.action = ACTION_ESTIMATE;
    else if (!strcmp(t, "-opt")) O.action += ACTION_OPT;
    else if (!strcmp(t, "-best")) O.comp_level = LEVEL_BEST;
    else if (!strcmp(t, "-better")) O.comp_level = LEVEL_BETTER;
    else if (!strncmp(t, "-MT", 3)) parse_mt(t);
    else if (!strcmp(t, "-aud")) O.nc_audio = 1;
    else if (!strcmp(t, "-vid")) O.nc_video = 1;
    else if (!strcmp(t, "-rm_aud")) O.nc_audio = O.rm_aud = 1;
    else if (!strcmp(t, "-rm_vid")) O.nc_video = O.rm_vid = 1;
    else if (!strcmp(t, "-rm_ext")) O.rm_ext = 1;
    else if (!strcmp(t, "-rm_update")) O.rm_update = 1;
    else if (!strncmp(t, "-ext", 4)) parse_ext(t);
    else if (!strncmp(t, "-log", 4)) {
        O.log = 1;
        free(O.log_name);
        O.log_name = copy_or_fail(t + 4, strlen(t));
    } else if (t[0] == '-' && (t[1] == 'l' || t[1] == 'q' || t[1] == 't')) parse_value(t);
    else {
        name_tokens++;
        if (!O.input_name) O.input_name = t;
        else O.output_name = t;
    }
}

// -test and -info take file names only, which they open for reading themselves: any other
// option, or a wrong number of names, refuses the line.
static void check_read_only_line(int argc) {
    if (argc - 1 - name_tokens > 1) {
        say(MSG_READ_ONLY_ALONE, read_only_token);
        fail("");
    } else if (O.action == ACTION_INFO && name_tokens != 1) {
        fail(MSG_INFO_NAMES);
    } else if (O.action == ACTION_TEST && (name_tokens < 1 || name_tokens > 2)) {
        fail(MSG_TEST_NAMES);
    }
}

// Reads "d in out" (three bare arguments) as level d and two names.
static void parse_legacy(char** argv) {
    int d = argv[1][0] - '0';
    if (d < 0 || d > 9) {
        say(MSG_UNKNOWN_LEVEL, argv[1][0]);
        fail("");
        return;
    }
    O.comp_level = d;  // the driver derives `level` from it
    O.action = d == 0 ? ACTION_DECOMPRESS : ACTION_COMPRESS;
    O.input_name = argv[2];
    O.output_name = argv[3];
}

// Refuses an output name this user could not write; returns 0, or 1 after "Can't create".
static int check_output() {
    if (plat_output_check(O.output_name) == 0) return 0;
    say(MSG_CANT_CREATE, O.output_name);
    return 1;
}

// Opens fin as named; refuses an output that is the input itself, and one this user could
// not write, whatever the action (help and estimates too, as opening it would). The output
// is only opened once the run is known to write it (open_output), so a run that writes
// nothing leaves an existing file as it is.
static void open_files() {
    if (O.input_name) {
        fin = plat_fopen(O.input_name, "rb");
        // A folder opens for reading here but has no bytes to convert: refuse it as the
        // open itself would elsewhere, not later as a file of absurd size.
        if (fin && plat_stream_is_folder(fin)) {
            fclose(fin);
            fin = nullptr;
        }
        if (!fin) {
            say(MSG_CANT_OPEN, O.input_name);
            fail("");
            return;
        }
        setvbuf(fin, fin_buffer, _IOFBF, STREAM_BUFFER);
    }
    // Writing the output would replace the input before a byte of it is read.
    if (fin && O.output_name && plat_stream_is_file(fin, O.output_name)) {
        say(MSG_SAME_FILE, O.output_name);
        fail("");
        return;
    }
    if (O.output_name && check_output()) fail("");
}

int open_output() {
    output_file = plat_output_open(O.output_name, 0);
    if (!output_file) {
        say(MSG_CANT_CREATE, O.output_name);
        return 1;
    }
    fout = plat_output_stream(output_file);
    setvbuf(fout, fout_buffer, _IOFBF, STREAM_BUFFER);
    return 0;
}

int close_output(int status) {
    FILE* f = fout;
    fout = nullptr;
    if (!output_file) {  // a stream handed in directly (in-process tests)
        if (f && fclose(f) != 0 && status == 0) {
            say(MSG_CANT_CLOSE, O.output_name);
            status = 1;
        }
        return status;
    }
    plat_output* out = output_file;
    output_file = nullptr;
    if (status != 0) {
        plat_output_discard(out);
        return status;
    }
    int result = plat_output_commit(out);
    if (result == PLAT_OUTPUT_WRITE_FAILED) say(MSG_CANT_CLOSE, O.output_name);
    if (result == PLAT_OUTPUT_RENAME_FAILED) say(MSG_CANT_CREATE, O.output_name);
    return result == 0 ? 0 : 1;
}

void parse_ligne_commande(int argc, char** argv) {
    reset_options(&O);
    name_tokens = 0;
    read_only_token = nullptr;
    for (int i = 1; i < argc; i++) parse_token(argv[i]);
    if (read_only_token) {
        check_read_only_line(argc);
        return;  // no file is opened here: a second name is not an output
    }
    if (O.action == ACTION_NONE && argc == 4) parse_legacy(argv);
    open_files();
    if (argc == 3 && O.input_name && O.output_name) O.action = ACTION_FULL_HELP;
    if (O.action == ACTION_COMPRESS && (O.nc_audio || O.nc_video || O.ext_list || O.rm_ext ||
                                        O.threshold_pct < THRESHOLD_PCT_MAX))
        O.action = ACTION_COMPRESS + ACTION_OPT;
    if (O.threshold_pct == THRESHOLD_NOT_GIVEN) O.threshold_pct = THRESHOLD_PCT_MAX;
}

void initcisoheader(int size) {
    memset(&ciso, 0, sizeof ciso);
    memcpy(ciso.magic, CSO_MAGIC, CSO_MAGIC_SIZE);
    ciso.version = 1;
    ciso.block_size = BLOCK;
    ciso.total_bytes = static_cast<uint32_t>(size);
    ciso_total_block = static_cast<uint32_t>(size) / ciso.block_size;
}

long long stream_size(FILE* f) {
    long long size = plat_stream_size(f);  // 64-bit, so 4 GiB and more never look small
    if (size >= 0) plat_seek(f, 0);
    return size;
}

int check_file_size(FILE* f) {
    long long size = stream_size(f);
    return size < 0 ? -1 : static_cast<int>(check_size_limit(size));
}

long long check_size_limit(long long size) {
    if (size > MAX_INPUT_SIZE) {
        fflush(stdout);  // what was printed before comes first
        say_to(stderr, MSG_INPUT_TOO_LARGE, MAX_INPUT_SIZE);
        fatal_exit(1);
    }
    return size;
}

bool image_size_taken(uint64_t size) {
    return size > 0 && size % BLOCK == 0 && size <= static_cast<uint64_t>(MAX_INPUT_SIZE);
}

void MEDIA() {
    int any = 0;
    printf("Files in NC area   ");
    if (O.nc_audio && !O.rm_aud) any = printf(" Audio");
    if (O.nc_video && !O.rm_vid) any = printf(" Video");
    if (O.ext_list && !O.rm_ext) any = printf(" %s", O.ext_list);
    if (!any) printf(" none");
    printf("\nFiles in Lost area ");
    if (O.rm_aud) printf(" Audio");
    if (O.rm_vid) printf(" Video");
    if (O.ext_list && O.rm_ext) printf(" %s", O.ext_list);
    if (O.rm_update) printf(" Update");
    if (!O.rm_aud && !O.rm_vid && !O.rm_ext && !O.rm_update) printf(" none");
    printf("\n");
    fflush(stdout);
}
