// -test and -info through the built converter: checksums against the system's own tools,
// verdicts on the damaged-file corpus against the decompressors', -info's figures against
// the index read here, and lines that must never open a file for writing.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "engine_helpers.h"
#include "examine.h"
#include "format_writers.h"
#include "test_util.h"

namespace {

const std::string kData = std::string(TEST_DATA_DIR) + "/cso/";

// The CRC32 of a file from gzip's trailer (gzip has its own CRC code), as 8 hex digits.
std::string gzip_crc32(const std::string& path) {
    std::string gz = run_tool("/usr/bin/gzip", {"-1", "-c", path}).out;
    if (gz.size() < 8) return "(gzip failed)";
    char hex[9];
    snprintf(hex, sizeof hex, "%08x", le32(gz, gz.size() - 8));
    return hex;
}

// Expects -test's size and checksum lines for the report starting at `from` to be those
// of the plain file `image`; `note` follows the size.
void expect_checksums_of(const std::string& out, size_t from, const std::string& image,
                         const std::string& note = "") {
    EXPECT_EQ(field(out, "Image size", from), std::to_string(read_file(image).size()) + " bytes" + note);
    EXPECT_EQ(field(out, "CRC32", from), gzip_crc32(image));
    EXPECT_EQ(field(out, "MD5", from), digest("md5sum", image));
    EXPECT_EQ(field(out, "SHA-1", from), digest("sha1sum", image));
}

// A mastered image with text, noise (stored plain) and zeros, and its CSO.
struct Mastered {
    std::string dir, iso, cso;
    Mastered() : dir(make_temp_dir()), iso(dir + "/game.iso"), cso(dir + "/game.cso") {
        std::filesystem::create_directories(dir + "/tree/PSP_GAME/USRDIR");
        write_file(dir + "/tree/PSP_GAME/USRDIR/TEXT.DAT", text_bytes(300000, 3));
        write_file(dir + "/tree/PSP_GAME/USRDIR/MOVIE.PMF", random_bytes(200000, 4));
        write_file(dir + "/tree/PSP_GAME/USRDIR/ZERO.BIN", std::string(100000, '\0'));
        if (!master_iso(dir + "/tree", iso) || run_vellicor({"-com", iso, cso}).status != 0) iso.clear();
    }
};
const Mastered& mastered() {
    static Mastered m;
    return m;
}

TEST(TestChecksums, CsoAndItsIsoGiveTheChecksumsOfTheImage) {
    const Mastered& m = mastered();
    ASSERT_FALSE(m.iso.empty());
    for (const std::string& file : {m.cso, m.iso}) {
        RunResult r = run_vellicor({"-test", file});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(field(r.out, "Result"), "intact") << file;
        expect_checksums_of(r.out, 0, m.iso);
    }
    RunResult both = run_vellicor({"-test", m.cso, m.iso});
    EXPECT_EQ(both.status, 0) << both.out;
    size_t second = both.out.find("\nFile          " + m.iso);
    ASSERT_NE(second, std::string::npos) << both.out;
    expect_checksums_of(both.out, 0, m.iso);
    expect_checksums_of(both.out, second, m.iso);
    EXPECT_EQ(field(both.out, "Compare"), "the images are identical");
}

TEST(TestChecksums, ExactReportOfTheCorpusFile) {
    std::string dir = make_temp_dir(), image = dir + "/valid.iso";
    ASSERT_EQ(run_vellicor({"-dec", kData + "valid.cso", image}).status, 0);
    RunResult r = run_vellicor({"-test", kData + "valid.cso"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kBanner + "File          " + kData + "valid.cso\n" +
                         "Format        CSO v1, 7 blocks of 2048 bytes\n" +
                         "Result        intact\n" +
                         "Image size    14336 bytes\n" +
                         "CRC32         " + gzip_crc32(image) + "\n" +
                         "MD5           " + digest("md5sum", image) + "\n" +
                         "SHA-1         " + digest("sha1sum", image) + "\n");
    EXPECT_EQ(r.err, "");
}

// One comparison and the line it must end with.
struct Comparison {
    const char* what;
    std::string second;  // contents of the second file
    std::string line;    // the Compare line
};

TEST(TestCompare, NamesTheFirstBlockThatDiffers) {
    const Mastered& m = mastered();
    ASSERT_FALSE(m.iso.empty());
    std::string iso = read_file(m.iso), dir = make_temp_dir();
    std::string late = iso, early = iso;
    late[iso.size() - 1] ^= 1;  // the last byte of the last block
    early[20 * 2048 + 5] ^= 0x40;
    early[30 * 2048] ^= 0x40;
    const std::vector<Comparison> cases = {
        {"last byte", late, "the images differ first at block " + std::to_string(iso.size() / 2048 - 1)},
        {"two blocks", early, "the images differ first at block 20"},
        {"one block short", iso.substr(0, iso.size() - 2048),
         "the images differ in size (" + std::to_string(iso.size()) + " and " +
             std::to_string(iso.size() - 2048) + " bytes); the first " +
             std::to_string(iso.size() - 2048) + " bytes are the same"},
    };
    for (const Comparison& c : cases) {
        write_file(dir + "/other.iso", c.second);
        RunResult r = run_vellicor({"-test", m.cso, dir + "/other.iso"});
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(field(r.out, "Compare"), c.line) << c.what;
        EXPECT_EQ(read_file(dir + "/other.iso"), c.second) << c.what << ": changed";
    }
    // A CSO damaged at or past the end of the other image: the sizes differ, as far as
    // both were read the same.
    write_file(dir + "/short.iso", iso.substr(0, 10 * 2048));
    for (uint32_t damaged : {static_cast<uint32_t>(iso.size() / 2048 - 1), 11u}) {  // block 10 fails
        std::string cso = read_file(m.cso);
        uint32_t far = 0x80000000u | static_cast<uint32_t>(cso.size() + 4096);
        cso.replace(24 + 4 * damaged, 4, reinterpret_cast<const char*>(&far), 4);
        write_file(dir + "/damaged.cso", cso);
        RunResult r = run_vellicor({"-test", dir + "/short.iso", dir + "/damaged.cso"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(field(r.out, "Compare"), "the images differ in size (20480 and " + std::to_string(iso.size()) +
                                               " bytes); the first 20480 bytes are the same") << damaged;
    }
    // Differences in two 1 MiB chunks: the first is named.
    std::string big = text_bytes(3 << 20, 8), other = big;
    other[5] ^= 1;
    other[(2 << 20) + 5] ^= 1;
    write_file(dir + "/big.iso", big);
    write_file(dir + "/other.iso", other);
    EXPECT_EQ(field(run_vellicor({"-test", dir + "/big.iso", dir + "/other.iso"}).out, "Compare"),
              "the images differ first at block 0");
    // A file in a format not read may well be whole: nothing is said the same or damaged.
    write_file(dir + "/j.cso", "JISO" + read_file(m.cso).substr(4));
    RunResult r = run_vellicor({"-test", dir + "/j.cso", m.iso});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(field(r.out, "Compare"), "not made: " + dir + "/j.cso is in a format not read");
}

// One MANIFEST row of the reference decompressor: file, status and its last line.
struct Verdict {
    std::string file, line;
    int status;
};

// Returns the rows of tests/data/cso/MANIFEST for -dec (the decoder -test follows).
std::vector<Verdict> dec_verdicts() {
    std::vector<Verdict> rows;
    std::string text = read_file(kData + "MANIFEST");
    for (size_t at = 0, nl; at < text.size(); at = nl + 1) {
        nl = std::min(text.find('\n', at), text.size());
        std::string line = text.substr(at, nl - at);
        std::vector<std::string> f;
        for (size_t p = 0, q; f.size() < 4 && (q = line.find('|', p)) != std::string::npos; p = q + 1)
            f.push_back(line.substr(p, q - p));
        if (line[0] != '#' && f.size() == 4 && f[1] == "dec")
            rows.push_back({f[0], line.substr(line.rfind('|') + 1), std::stoi(f[2])});
    }
    return rows;
}

TEST(TestCorpus, EveryDamagedFileGetsTheDecompressorsVerdict) {
    std::vector<Verdict> rows = dec_verdicts();
    ASSERT_GE(rows.size(), 40u) << "MANIFEST is missing or cut short";
    for (const Verdict& v : rows) {
        RunResult r = run_vellicor({"-test", kData + v.file});
        EXPECT_EQ(r.status, v.status) << v.file << "\n" << r.out;
        if (v.status == 0) {
            EXPECT_EQ(field(r.out, "Result"), "intact") << v.file;
            continue;
        }
        // The fault line stands alone, worded as -dec words it, right before the verdict.
        std::string verdict = v.line.rfind("Unsupported", 0) == 0 ? "unsupported" : "damaged";
        EXPECT_NE(r.out.find("\n" + v.line + "\nResult        " + verdict + "\n"), std::string::npos)
            << v.file << " printed:\n" << r.out;
        EXPECT_EQ(field(r.out, "CRC32"), "(missing)") << v.file << ": checksums of a damaged image";
    }
}

// The figures -info must print for a CSO, worked out here from its header and index.
std::vector<std::string> expected_info(const std::string& bytes) {
    CsoView v = parse_cso(bytes);
    uint32_t n = static_cast<uint32_t>(v.total_bytes) / v.block_size, plain = 0;
    std::vector<uint64_t> lens;
    for (uint32_t b = 0; b < n; b++) {
        uint32_t cur = v.index[b] & 0x7FFFFFFF, next = v.index[b + 1] & 0x7FFFFFFF;
        if (v.index[b] & 0x80000000u) plain++;
        else if (next >= cur) lens.push_back(static_cast<uint64_t>(next - cur) << v.index_align);
    }
    std::sort(lens.begin(), lens.end());
    uint64_t end = static_cast<uint64_t>(v.index[n] & 0x7FFFFFFF) << v.index_align;
    std::string sizes = lens.empty() ? "none"
                                     : "smallest " + std::to_string(lens.front()) + ", median " +
                                           std::to_string(lens[(lens.size() - 1) / 2]) + ", largest " +
                                           std::to_string(lens.back()) + " bytes";
    return {std::to_string(n) + ": " + std::to_string(n - plain) + " stored compressed, " +
                std::to_string(plain) + " stored plain",
            sizes, std::to_string(end) + " bytes",
            std::to_string(bytes.size() * 100 / static_cast<uint32_t>(v.total_bytes)) +
                "% (file size to image size)"};
}

TEST(Info, FiguresMatchTheIndexReadHere) {
    const Mastered& m = mastered();
    ASSERT_FALSE(m.iso.empty());
    std::string two = make_temp_dir() + "/two.cso";  // two payloads: the lower middle is the median
    write_file(two + ".iso", text_bytes(2048, 1) + std::string(2048, '\0'));
    ASSERT_EQ(run_vellicor({"-com", two + ".iso", two}).status, 0);
    for (const std::string& file : {m.cso, kData + "valid.cso", kData + "index-align-2.cso",
                                    kData + "block-size-4096.cso", kData + "payload-after-gap.cso", two}) {
        std::string bytes = read_file(file);
        std::vector<std::string> want = expected_info(bytes);
        RunResult r = run_vellicor({"-info", file});
        EXPECT_EQ(r.status, 0) << file << "\n" << r.out;
        EXPECT_EQ(field(r.out, "Blocks"), want[0]) << file;
        EXPECT_EQ(field(r.out, "Compressed"), want[1]) << file;
        EXPECT_EQ(field(r.out, "Index end"), want[2]) << file;
        EXPECT_EQ(field(r.out, "File size").substr(0, std::to_string(bytes.size()).size() + 6),
                  std::to_string(bytes.size()) + " bytes") << file;
        EXPECT_EQ(field(r.out, "Ratio"), want[3]) << file;
        EXPECT_EQ(field(r.out, "Index"), "no fault found") << file;
        CsoView v = parse_cso(bytes);
        EXPECT_EQ(field(r.out, "Block size"), std::to_string(v.block_size)) << file;
        EXPECT_EQ(field(r.out, "Total bytes"), std::to_string(v.total_bytes)) << file;
        EXPECT_EQ(field(r.out, "Index align"), std::to_string(v.index_align)) << file;
    }
}

// Returns the sum of the counts a "Stored as" line gives.
unsigned long kinds_total(const std::string& line) {
    unsigned long sum = 0;
    std::istringstream parts(line);
    for (std::string part; std::getline(parts, part, ',');) sum += strtoul(part.c_str(), nullptr, 10);
    return sum;
}

TEST(Info, IndexFaultsAtTheBlocksTheDecompressorsStopAt) {
    std::vector<Verdict> rows = dec_verdicts();
    ASSERT_GE(rows.size(), 40u) << "MANIFEST is missing or cut short";
    for (const Verdict& v : rows) {
        RunResult r = run_vellicor({"-info", kData + v.file});
        // Only decoding finds a bad stream; everything else is in the header or the index.
        bool decoding_fault = v.line.find("inflate") != std::string::npos ||
                              v.line.find("block size error") != std::string::npos;
        EXPECT_EQ(r.status, v.status != 0 && !decoding_fault ? 1 : 0) << v.file << "\n" << r.out;
        int block = -1;
        if (sscanf(v.line.c_str(), "block=%d : read error", &block) == 1) {
            EXPECT_EQ(field(r.out, "Index").rfind("broken at block " + std::to_string(block) + ": ", 0), 0u)
                << v.file << "\n" << r.out;
            EXPECT_EQ(kinds_total(field(r.out, "Stored as")), stoul(field(r.out, "Blocks"))) << v.file << "\n" << r.out;
        } else if (v.status != 0 && !decoding_fault) {
            EXPECT_EQ(r.out.substr(r.out.size() - v.line.size() - 1), v.line + "\n") << v.file;
        }
    }
}

// A line that -test or -info must refuse, and its one line.
struct Refused {
    std::vector<std::string> args;
    std::string line;
};

TEST(ReadOnlyLines, OtherOptionsOrNamesAreRefusedAndNothingIsCreated) {
    std::string dir = make_temp_dir(), cso = kData + "valid.cso", out = dir + "/out.iso";
    const std::vector<Refused> cases = {
        {{"-test", "-opt", cso}, "-test cannot be combined with other options"},
        {{"-dec", "-test", cso, out}, "-test cannot be combined with other options"},
        {{"-test", cso, out, "-com"}, "-test cannot be combined with other options"},
        {{"-info", "-l9", cso}, "-info cannot be combined with other options"},
        {{"-test", "-info", cso}, "-info cannot be combined with other options"},
        {{"-info", cso, out}, "-info takes one file name"},
        {{"-test", cso, out, dir + "/third.iso"}, "-test takes one or two file names"},
        {{"-test"}, "-test takes one or two file names"},
        {{"-info"}, "-info takes one file name"},
        {{"-test", cso, out}, "Can't open " + out},
    };
    for (const Refused& c : cases) {
        RunResult r = run_vellicor(c.args);
        EXPECT_EQ(r.status, 1) << c.line;
        EXPECT_EQ(r.out, kBanner + c.line + "\n");
        EXPECT_TRUE(std::filesystem::is_empty(dir)) << c.line << ": a file was created";
    }
}

// Refuses the hashing threads whose start number (1 or 2) has its bit set in the mask.
int start_calls = 0, refuse_mask = 0;
plat_thread* refusing_start(plat_thread_proc proc, void* job) {
    return (refuse_mask >> ++start_calls) & 1 ? nullptr : plat_thread_start(proc, job);
}

// An image of several rings of chunks with a partial last block: the checksums cover the
// blocks the CSO holds, whether the hashers run on threads or, when a thread cannot be
// started, on the decoding thread.
TEST(TestThreads, SameReportWithAndWithoutHashingThreads) {
    std::string dir = make_temp_dir(), image = engine_helpers::mixed_image(3000, 1000);
    write_file(dir + "/held.iso", whole_blocks(image));
    ASSERT_EQ(run_vellicor({"-com", "-l1", dir + "/held.iso", dir + "/tail.cso"}).status, 0);
    std::string written = read_file(dir + "/tail.cso");  // as older tools wrote it:
    for (int i = 0; i < 4; i++)                          // the cut block's size recorded
        written[8 + i] = static_cast<char>(image.size() >> (8 * i));
    write_file(dir + "/tail.cso", written);
    RunResult whole = run_vellicor({"-test", dir + "/tail.cso"});
    ASSERT_EQ(whole.status, 0) << whole.out;
    expect_checksums_of(whole.out, 0, dir + "/held.iso",
                        " (the header records 6145000: the last 1000 bytes are not held)");
    std::string cso = dir + "/tail.cso";
    for (int mask : {0, 2, 4, 6}) {
        converter_reset_state();
        O.input_name = cso.c_str();
        start_calls = 0;
        refuse_mask = mask;
        start_worker = refusing_start;  // the reset below puts the real one back
        std::string printed;
        EXPECT_EQ(engine_helpers::run_captured(test_ciso, &printed), 0) << mask;
        converter_reset_state();
        EXPECT_EQ(start_calls, 2);
        EXPECT_EQ(kBanner + printed, whole.out) << "refused starts " << mask;
    }
}

}  // namespace

namespace {

// Returns one raw deflate stream of `data`, compressed at `level`, with a full flush
// after `flush_at` bytes when that is inside it.
std::string raw_deflate(const std::string& data, int level, size_t flush_at = SIZE_MAX) {
    z_stream z{};
    std::string out(3 * data.size() + 64, '\0');
    deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    if (flush_at < data.size()) {
        z.avail_in = static_cast<uInt>(flush_at);
        deflate(&z, Z_FULL_FLUSH);
    }
    z.avail_in = static_cast<uInt>(data.size() - z.total_in);
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Returns a CSO v1 file of 2048-byte blocks holding these payloads, its image `total` bytes.
std::string cso_of_payloads(const std::vector<std::string>& payloads, uint64_t total) {
    std::string cso = std::string("CISO") + std::string(4, '\0') + std::string(reinterpret_cast<char*>(&total), 8);
    uint32_t bs = 2048, at = 24 + 4 * static_cast<uint32_t>(payloads.size() + 1);
    cso += std::string(reinterpret_cast<char*>(&bs), 4) + std::string("\x01\0\0\0", 4);
    for (const std::string& p : payloads) {
        cso += std::string(reinterpret_cast<char*>(&at), 4);
        at += static_cast<uint32_t>(p.size());
    }
    cso += std::string(reinterpret_cast<char*>(&at), 4);
    for (const std::string& p : payloads) cso += p;
    return cso;
}

// -info counts the deflate payloads that keep zlib's shape and those with each feature,
// and names the first that may keep handheld firmware from starting the file; it advises
// -com only where -com would read the file.
TEST(Info, CountsThePayloadsByTheirStreamShape) {
    std::string block = text_bytes(2048, 1), dir = make_temp_dir();
    std::vector<std::string> payloads = {raw_deflate(block, 9), raw_deflate(block, 0), raw_deflate(block, 9, 1024),
                                         raw_deflate(block, 9) + "xyz", raw_deflate(block.substr(0, 2000), 9)};
    write_file(dir + "/f.cso", cso_of_payloads(payloads, payloads.size() * 2048));
    std::string out = fold_crlf(run_vellicor({"-info", dir + "/f.cso"}).out);
    EXPECT_EQ(field(out, "Zlib's shape"), "1 of 5 deflate payloads") << out;
    for (const char* line : {"  with several deflate blocks                   1\n",
                             "  with a stored block                           2\n",
                             "  with output other than its block              1\n",
                             "  with bytes after the stream                   1\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << out;
    // Its last payload decodes short, which -com refuses too: no advice to run it.
    EXPECT_EQ(field(out, "Handheld"), "may not start: 1 payload with several deflate blocks") << out;
    payloads.pop_back();
    const struct {
        uint64_t total;
        const char* handheld;
    } rows[] = {
        {4 * 2048, "may not start: 1 payload with several deflate blocks; "
                   "vellicor -com from this file writes one that may"},
        {4 * 2048 - 100, "may not start: 1 payload with several deflate blocks"},  // -com refuses the size
    };
    for (const auto& row : rows) {
        write_file(dir + "/f.cso", cso_of_payloads(payloads, row.total));
        out = fold_crlf(run_vellicor({"-info", dir + "/f.cso"}).out);
        EXPECT_EQ(field(out, "Handheld"), row.handheld) << out;
    }
    write_file(dir + "/f.cso", cso_of_payloads({"", payloads[0]}, 2 * 2048));  // no bytes: a broken entry
    out = fold_crlf(run_vellicor({"-info", dir + "/f.cso"}).out);
    EXPECT_NE(out.find("  with a broken index entry                     1\n"), std::string::npos) << out;
}

// Alignment padding after a stream is the file's, not the stream's, as the reader takes
// it; a payload a broken index hides is counted, and the file is not called ready.
TEST(Info, CensusOfAlignedAndOfBrokenFiles) {
    std::string dir = make_temp_dir(), image = text_bytes(2048 * 40, 3);
    std::string cso = write_cso_family("CISO", 1, image, 2048, [](uint32_t) { return Store::DEFLATE; }, 3);
    std::string zso = write_cso_family("ZISO", 1, image, 2048, [](uint32_t) { return Store::LZ4; }, 3);
    write_file(dir + "/aligned.cso", cso);
    write_file(dir + "/cut.cso", cso.substr(0, cso.size() / 2));
    write_file(dir + "/cut.zso", zso.substr(0, zso.size() / 2));
    std::string damaged = cso;
    damaged[static_cast<size_t>(le32(cso, 24 + 4 * 5)) << 3] = '\xff';  // block type 3: no inflate takes it
    write_file(dir + "/damaged.cso", damaged);
    std::string out = fold_crlf(run_vellicor({"-info", dir + "/aligned.cso"}).out);
    EXPECT_EQ(field(out, "Zlib's shape"), "40 of 40 deflate payloads") << out;
    EXPECT_EQ(field(out, "Handheld"), "ready: 2048-byte blocks, every payload in zlib's shape");
    out = fold_crlf(run_vellicor({"-info", dir + "/cut.cso"}).out);
    EXPECT_NE(field(out, "Zlib's shape").find(" of 40 deflate payloads"), std::string::npos) << out;
    EXPECT_NE(out.find("  with a broken index entry"), std::string::npos) << out;
    // -com can't read such a file either: no advice to use it, whatever the payloads.
    EXPECT_EQ(field(out, "Handheld"), "may not start: the index is broken") << out;
    // Plain blocks of 128 KiB, each over the span the image source reads ahead, all decode.
    write_file(dir + "/big.cso", write_cso_family("CISO", 1, random_bytes(2 * 131072, 9), 131072,
                                                  [](uint32_t) { return Store::PLAIN; }));
    out = fold_crlf(run_vellicor({"-info", dir + "/big.cso"}).out);
    EXPECT_EQ(field(out, "Handheld"), "may not start: blocks of 131072 bytes, not 2048; "
                                      "vellicor -com from this file writes one that may") << out;
    out = fold_crlf(run_vellicor({"-info", dir + "/cut.zso"}).out);  // its payloads are LZ4
    EXPECT_EQ(field(out, "Zlib's shape"), "0 of 0 deflate payloads") << out;
    EXPECT_EQ(field(out, "Handheld"), "may not start: the index is broken") << out;
    out = fold_crlf(run_vellicor({"-info", dir + "/damaged.cso"}).out);
    EXPECT_EQ(field(out, "Handheld"), "may not start: 1 payload with invalid stream") << out;
    // A DAX frame of an NC area is stored plain, even where its offset is refused.
    std::string dax = write_dax(image, {{3, 2}});
    dax.replace(32 + 4 * 4, 4, le(le32(dax, 32 + 4 * 3) - 1, 4));
    write_file(dir + "/back.dax", dax);
    out = fold_crlf(run_vellicor({"-info", dir + "/back.dax"}).out);
    EXPECT_EQ(field(out, "Zlib's shape"), "8 of 8 deflate payloads") << out;
}

}  // namespace
