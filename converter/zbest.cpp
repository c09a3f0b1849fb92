// The -best block encoder: zlib's level 9 stream, then each other encoder of the mix in a
// fixed order, a candidate replacing the best so far only when strictly shorter, so ties
// and the order of calls never change the bytes.
#include "zbest.h"

#include <libdeflate.h>
#include <zlib.h>
#include <zopfli/zopfli.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <cstring>

#include "cso_format.h"
#include "deflate_shape.h"
#include "platform.h"
#include "zblock.h"

constexpr int kZlibLevel = 9;
constexpr int kLibdeflateLevel = 12;  // its highest

struct zbest_state {
    zbest_mix mix;
    z_stream z;                       // level 9, reset for every block
    libdeflate_compressor* ld;        // level 12; nullptr when the mix has none
    libdeflate_decompressor* back;    // decodes a candidate back to compare it
    unsigned char candidate[2 * BLOCK];
    unsigned char decoded[BLOCK];
};

// calloc: a zeroed stream and null encoders, so a failed state frees like a whole one.
zbest_state* zbest_create(zbest_mix mix) {
    zbest_state* s = static_cast<zbest_state*>(calloc(1, sizeof(zbest_state)));
    if (!s) return nullptr;
    s->mix = mix;
    bool ok = zb_deflate_open(&s->z, kZlibLevel) == Z_OK;
    if (mix.libdeflate) s->ld = libdeflate_alloc_compressor(kLibdeflateLevel);
    s->back = libdeflate_alloc_decompressor();
    if (ok && s->back && (s->ld || !mix.libdeflate)) return s;
    zbest_free(s);
    return nullptr;
}

void zbest_free(zbest_state* s) {
    if (!s) return;
    deflateEnd(&s->z);  // harmless on a stream that failed to open
    libdeflate_free_compressor(s->ld);
    libdeflate_free_decompressor(s->back);
    free(s);
}

// zopfli's stream of in[0..len) into out[0..cap); returns its length, 0 when it does not fit.
static unsigned zopfli_encode(const unsigned char* in, unsigned len, unsigned char* out,
                              unsigned cap, int iterations) {
    ZopfliOptions o;
    ZopfliInitOptions(&o);
    o.numiterations = iterations;
    o.blocksplitting = 0;  // several blocks are not of zlib's shape
    unsigned char* z = nullptr;
    size_t n = 0;
    ZopfliCompress(&o, ZOPFLI_FORMAT_DEFLATE, in, len, &z, &n);
    bool fits = z && n <= cap;
    if (fits) memcpy(out, z, n);
    free(z);
    return fits ? static_cast<unsigned>(n) : 0;
}

unsigned zbest_encode(zbest_state* s, zbest_encoder e, const unsigned char* in, unsigned len,
                      unsigned char* out, unsigned cap, int iterations) {
    unsigned n = 0;
    switch (e) {
    case ZBEST_ZLIB9:
        return zb_deflate_block(&s->z, in, len, out, cap, &n) == Z_STREAM_END ? n : 0;
    case ZBEST_LIBDEFLATE12:
        if (!s->ld) return 0;
        return static_cast<unsigned>(libdeflate_deflate_compress(s->ld, in, len, out, cap));
    case ZBEST_ZOPFLI:
        return zopfli_encode(in, len, out, cap, iterations);
    default:
        return 0;
    }
}

// True when the candidate's n bytes are of zlib's shape and decode back to in[0..len).
static bool fit_to_store(zbest_state* s, unsigned n, const unsigned char* in, unsigned len) {
    if (!deflate_shape_ok(deflate_shape(s->candidate, n, len))) return false;
    size_t got = 0;
    return libdeflate_deflate_decompress(s->back, s->candidate, n, s->decoded, len, &got) ==
               LIBDEFLATE_SUCCESS &&
           got == len && memcmp(s->decoded, in, len) == 0;
}

// Lets encoder e try the block: its stream replaces out[0..*best) when shorter and fit.
static void try_encoder(zbest_state* s, zbest_encoder e, int iterations, const unsigned char* in,
                        unsigned len, unsigned char* out, unsigned* best) {
    // The whole buffer: libdeflate gives up on a buffer without some slack past its stream.
    unsigned n = zbest_encode(s, e, in, len, s->candidate, sizeof s->candidate, iterations);
    if (n == 0 || n >= *best || !fit_to_store(s, n, in, len)) return;
    memcpy(out, s->candidate, n);
    *best = n;
}

// zlib's stream goes straight into out; the others go through the candidate buffer.
int zbest_block(zbest_state* s, const unsigned char* in, unsigned len, unsigned char* out,
                unsigned cap, unsigned* out_len) {
    int ret = zb_deflate_block(&s->z, in, len, out, cap, out_len);
    if (ret != Z_STREAM_END || len > BLOCK) return ret;
    if (s->mix.libdeflate) try_encoder(s, ZBEST_LIBDEFLATE12, 0, in, len, out, out_len);
    if (s->mix.zopfli_iterations > 0)
        try_encoder(s, ZBEST_ZOPFLI, s->mix.zopfli_iterations, in, len, out, out_len);
    return Z_STREAM_END;
}

// A counting gate over the slots: the n-th thread to ask goes on once n - slots + 1 states
// have been given back, so at most `slots` threads hold one; each then takes a state whose
// flag it finds clear.
struct zbest_pool {
    int slots;
    zbest_state* states[ZBEST_MAX_SLOTS];
    std::atomic<bool> busy[ZBEST_MAX_SLOTS];
    plat_count* asked;     // blocks that asked for a state so far
    plat_count* returned;  // states given back so far
};

zbest_pool* zbest_pool_create(zbest_mix mix, int slots) {
    zbest_pool* p = new (std::nothrow) zbest_pool{};
    if (!p) return nullptr;
    p->slots = slots < 1 ? 1 : slots > ZBEST_MAX_SLOTS ? ZBEST_MAX_SLOTS : slots;
    p->asked = plat_count_new();
    p->returned = plat_count_new();
    bool ok = p->asked && p->returned;
    for (int i = 0; i < p->slots; i++) ok &= (p->states[i] = zbest_create(mix)) != nullptr;
    if (ok) return p;
    zbest_pool_free(p);
    return nullptr;
}

void zbest_pool_free(zbest_pool* p) {
    if (!p) return;
    for (int i = 0; i < p->slots; i++) zbest_free(p->states[i]);
    plat_count_free(p->asked);
    plat_count_free(p->returned);
    delete p;
}

zbest_state* zbest_pool_take(zbest_pool* p) {
    uint32_t n = plat_count_add(p->asked, 1);
    if (n >= static_cast<uint32_t>(p->slots))
        plat_count_wait(p->returned, n - static_cast<uint32_t>(p->slots) + 1);
    for (;;)  // fewer than `slots` others hold one: a clear flag is there or soon will be
        for (int i = 0; i < p->slots; i++)
            if (!p->busy[i].exchange(true, std::memory_order_acquire)) return p->states[i];
}

void zbest_pool_give(zbest_pool* p, zbest_state* s) {
    int i = 0;
    while (p->states[i] != s) i++;
    p->busy[i].store(false, std::memory_order_release);
    plat_count_add(p->returned, 1);
}
