// The -best block encoder: for one block, the smallest raw deflate stream of zlib's shape
// (deflate_shape.h) among zlib's level 9, libdeflate's level 12 and zopfli's. zlib's
// stream is the one every block has; another encoder's wins only when it is shorter, of
// zlib's shape and decodes back to the block. The result depends on the bytes alone:
// the same stream for the same block on any thread.
#pragma once

// The encoders a mix may hold.
enum zbest_encoder { ZBEST_ZLIB9, ZBEST_LIBDEFLATE12, ZBEST_ZOPFLI, ZBEST_ENCODERS };

// zopfli's iterations in the default mix (bench/bench_best.cpp measured the choice).
constexpr int ZBEST_ZOPFLI_ITERATIONS = 3;

// Which encoders try a block beside zlib's level 9.
struct zbest_mix {
    bool libdeflate;        // libdeflate's level 12
    int zopfli_iterations;  // zopfli with block splitting off; 0: no zopfli
};
constexpr zbest_mix ZBEST_DEFAULT_MIX = {true, ZBEST_ZOPFLI_ITERATIONS};
// Without zopfli: most of the default's gain on real code at some ten times its speed.
constexpr zbest_mix ZBEST_FAST_MIX = {true, 0};

// One worker's encoders and buffers; no two threads may use one state at a time.
struct zbest_state;

// Returns a new state for the mix, or nullptr when memory runs out.
zbest_state* zbest_create(zbest_mix mix);
// Frees a state (nullptr is ignored).
void zbest_free(zbest_state* s);

// Deflates in[0..len) as one raw stream into out[0..cap), the shortest of the mix's
// encoders (a block over 2048 bytes gets zlib's stream alone); returns deflate's code
// (Z_STREAM_END on success, another code when zlib's own stream does not fit) and sets
// *out_len to the bytes produced, as zb_deflate_block does. Allocates nothing itself;
// zopfli's own allocations are unchecked: if one fails, the process ends.
int zbest_block(zbest_state* s, const unsigned char* in, unsigned len, unsigned char* out,
                unsigned cap, unsigned* out_len);

// One encoder's stream of in[0..len) into out[0..cap), whatever its shape (zopfli with
// `iterations`, the others ignore it); returns its length, or 0 when it does not fit.
// For the benchmark, which compares the encoders one by one.
unsigned zbest_encode(zbest_state* s, zbest_encoder e, const unsigned char* in, unsigned len,
                      unsigned char* out, unsigned cap, int iterations);

// States of one mix lent to any number of threads, so that at most `slots` threads encode
// at once: the memory grows with the slots, not the threads (a state holds some 0.9 MB,
// libdeflate's level 12 compressor most of it, and zopfli takes some 1.2 MB more for each
// block it encodes).
struct zbest_pool;

// Most slots a pool has: some 35 MB while every slot encodes, on a machine of any size
// (more would speed -best up only past 16 processors).
constexpr int ZBEST_MAX_SLOTS = 16;

// Returns a pool of `slots` states (1 to ZBEST_MAX_SLOTS), or nullptr when memory runs out.
zbest_pool* zbest_pool_create(zbest_mix mix, int slots);
// Frees a pool nobody uses any more (nullptr is ignored).
void zbest_pool_free(zbest_pool* p);
// Lends the calling thread a state of the pool, waiting while every state is lent; any
// thread may call it.
zbest_state* zbest_pool_take(zbest_pool* p);
// Gives a state lent by zbest_pool_take back to its pool.
void zbest_pool_give(zbest_pool* p, zbest_state* s);
