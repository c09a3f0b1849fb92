// -info's shape census.
#include "shape_census.h"

#include <cstdio>

#include "deflate_shape.h"

namespace {

constexpr size_t ZLIB_HEADER = 2, ZLIB_CHECK = 4;  // around a zlib stream's deflate part

// One feature: its count in the census, how the lines name it, and whether -com decodes
// such a payload (and so writes one of zlib's shape from it).
struct feature {
    uint32_t shape_census::*count;
    const char* name;
    bool com_reads;
};

const feature FEATURES[] = {
    {&shape_census::unreadable, "a broken index entry", false},
    {&shape_census::invalid, "invalid stream", false},
    {&shape_census::several, "several deflate blocks", true},
    {&shape_census::stored, "a stored block", true},
    {&shape_census::incomplete_litlen, "an incomplete literal/length code", true},
    {&shape_census::incomplete_dist, "an incomplete distance code", true},
    {&shape_census::few_dist, "fewer than two distance codes", true},
    {&shape_census::crossing, "a code-length run across the two tables", true},
    {&shape_census::wrong_size, "output other than its block", true},
    {&shape_census::trailing, "bytes after the stream", true},
};

// Writes into `why` how many payloads have feature x; returns true.
bool name_feature(const shape_census& c, const feature& x, char* why, size_t room) {
    uint32_t n = c.*x.count;
    snprintf(why, room, "%u %s with %s", static_cast<unsigned>(n), n == 1 ? "payload" : "payloads", x.name);
    return true;
}

// Writes into `why` the first thing that may keep handheld firmware from starting the
// file and sets *com_helps to whether -com from the file writes one that may; returns
// false when there is none. What -com can't read either (a broken index, a stream no
// inflate takes) comes first.
bool obstacle(const shape_census& c, image_format f, uint32_t bs, bool index_broken, char* why, size_t room,
              bool* com_helps, bool com_reads_file) {
    *com_helps = false;
    if (index_broken || c.unreadable) return snprintf(why, room, "the index is broken") > 0;
    for (const feature& x : FEATURES)
        if (!x.com_reads && c.*x.count)
            return name_feature(c, x, why, room);
    *com_helps = com_reads_file;
    if (bs != BLOCK) return snprintf(why, room, "blocks of %u bytes, not %d", static_cast<unsigned>(bs), BLOCK) > 0;
    if (f != FORMAT_CSO1) return snprintf(why, room, "the format is %s, not CSO v1", format_name(f)) > 0;
    for (const feature& x : FEATURES)
        if (c.*x.count)
            return name_feature(c, x, why, room);
    return false;
}

}  // namespace

void census_add(shape_census* c, const unsigned char* p, size_t len, uint64_t expected, bool zlib,
                size_t padding) {
    DeflateShape s{};
    s.invalid = zlib && len < ZLIB_HEADER + ZLIB_CHECK;
    if (!s.invalid)
        s = zlib ? deflate_shape(p + ZLIB_HEADER, len - ZLIB_HEADER - ZLIB_CHECK, expected)
                 : deflate_shape(p, len, expected);
    if (!zlib && s.trailing && len - s.end <= padding) s.trailing = false;  // as the reader takes it
    c->payloads++;
    c->in_shape += deflate_shape_ok(s);
    c->invalid += s.invalid;
    c->several += s.blocks > 1;
    c->stored += s.stored > 0;
    c->incomplete_litlen += s.incomplete_litlen > 0;
    c->incomplete_dist += s.incomplete_dist > 0;
    c->few_dist += s.few_dist > 0;
    c->crossing += s.crossing_runs > 0;
    c->wrong_size += s.wrong_size;
    c->trailing += s.trailing;
}

void census_add_unreadable(shape_census* c) {
    c->payloads++;
    c->unreadable++;
}

bool census_advice_possible(const shape_census& c, image_format f, uint32_t block_size, bool index_broken) {
    char why[120];
    bool com_helps = false;
    return obstacle(c, f, block_size, index_broken, why, sizeof why, &com_helps, true) && com_helps;
}

void census_print(const shape_census& c, image_format f, uint32_t block_size, bool index_broken,
                  bool com_reads_file) {
    printf("Zlib's shape  %u of %u deflate payloads\n", static_cast<unsigned>(c.in_shape),
           static_cast<unsigned>(c.payloads));
    for (const feature& x : FEATURES)
        if (c.*x.count) printf("  with %-40s %u\n", x.name, static_cast<unsigned>(c.*x.count));
    char why[120];
    bool com_helps = false;
    if (obstacle(c, f, block_size, index_broken, why, sizeof why, &com_helps, com_reads_file))
        printf("Handheld      may not start: %s%s\n", why,
               com_helps ? "; vellicor -com from this file writes one that may" : "");
    else
        printf("Handheld      ready: %d-byte blocks, every payload in zlib's shape\n", BLOCK);
}
