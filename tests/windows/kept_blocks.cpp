// Drives the Windows build's malloc and free, which keep large freed blocks for reuse: a
// freed block comes back, still committed, for the next request of its size; four threads
// taking and freeing blocks of many sizes (some too small or too large to keep, some
// reallocated) never get one block twice: each keeps its owner's marks until it is freed.
// Prints "ok" and exits with 0, or names the fault and exits with 1.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "platform.h"

namespace {

const size_t kSizes[] = {1000, 65536, 80000, 131072, 186480, 190080, 262144, 17u << 20};

struct Held {
    unsigned char* p;
    size_t size;
    unsigned char mark;
};

// Marks 64 bytes spread over a block (every page of a small one) and its last byte; true
// when it still holds them.
size_t step(const Held& h) { return h.size / 64 > 4096 ? h.size / 64 : 4096; }
void fill(const Held& h) {
    for (size_t i = 0; i < h.size; i += step(h)) h.p[i] = h.mark;
    h.p[h.size - 1] = h.mark;
}
bool intact(const Held& h) {
    for (size_t i = 0; i < h.size; i += step(h))
        if (h.p[i] != h.mark) return false;
    return h.p[h.size - 1] == h.mark;
}

// One thread's round of takes, reallocations and frees; false on a block found changed.
bool churn(unsigned seed) {
    std::vector<Held> held;
    for (int i = 0; i < 2000; i++) {
        seed = seed * 1103515245u + 12345u;
        if (held.size() >= 8 || (!held.empty() && seed % 3 == 0)) {
            size_t at = seed % held.size();
            if (!intact(held[at])) return false;
            free(held[at].p);
            held.erase(held.begin() + static_cast<long>(at));
            continue;
        }
        size_t size = kSizes[(seed >> 8) % (sizeof kSizes / sizeof kSizes[0])];
        Held h{static_cast<unsigned char*>(malloc(size)), size, static_cast<unsigned char>(seed >> 16)};
        if (!h.p) return false;
        if (seed % 5 == 0 && size < (1u << 20)) {  // grows in place or moves, keeping its bytes
            fill(h);
            h.p = static_cast<unsigned char*>(realloc(h.p, size + 4096));
            if (!h.p || !intact(h)) return false;
            h.size += 4096;
        }
        fill(h);
        held.push_back(h);
    }
    for (const Held& h : held) {
        if (!intact(h)) return false;
        free(h.p);
    }
    return true;
}

// -best's encoder takes these arrays for each block and frees them. The heap alone may hand
// the same addresses back, but with their pages decommitted and zeroed in between. Returns
// how many came back with their bytes.
int arrays_back_whole() {
    const size_t sizes[] = {262144, 65536, 131072, 65536, 262144, 65536, 131072};
    // Through volatile: the compiler may drop stores to a block about to be freed and
    // assume anything of a new block's bytes.
    static void* (*volatile const set)(void*, int, size_t) = memset;
    volatile unsigned char* p[7];
    for (int i = 0; i < 7; i++) p[i] = static_cast<unsigned char*>(malloc(sizes[i]));
    for (int i = 0; i < 7; i++) set(const_cast<unsigned char*>(p[i]), 0xAB, sizes[i]);
    for (int i = 0; i < 7; i++) free(const_cast<unsigned char*>(p[i]));
    int whole = 0;
    for (int i = 0; i < 7; i++) {
        p[i] = static_cast<unsigned char*>(malloc(sizes[i]));
        whole += p[i][sizes[i] / 2] == 0xAB && p[i][sizes[i] - 1] == 0xAB ? 1 : 0;
    }
    for (int i = 0; i < 7; i++) free(const_cast<unsigned char*>(p[i]));
    return whole;
}

}  // namespace

int main() {
    plat_heap_init();
    if (int whole = arrays_back_whole(); whole != 7) {
        printf("%d of 7 freed blocks came back whole for the same requests\n", whole);
        return 1;
    }
    bool ok[4] = {};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; t++) threads.emplace_back([t, &ok] { ok[t] = churn(t + 1); });
    for (auto& th : threads) th.join();
    for (bool b : ok)
        if (!b) {
            puts("a block changed while its owner held it");
            return 1;
        }
    puts("ok");
    return 0;
}
