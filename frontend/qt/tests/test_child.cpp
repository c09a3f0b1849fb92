// A stand-in child process for the real process layer's tests.
//   args FILE ARG...   writes every ARG to FILE, one per line, and exits with 0
//   progress STATUS    prints progress lines (flushed one by one), a message, exits STATUS
//   sleep [FILE]       writes its process id to FILE, prints "ready" and sleeps until
//                      it is killed; a SIGTERM removes FILE first, as the converter
//                      removes its temporary output
//   -com -lN IN OUT    like a slow converter: creates its temporary file beside OUT
//                      (".OUT.vellicor-tmp-PID"), prints one flushed progress line and
//                      sleeps until it is killed; but when IN's name begins
//                      with "damage-flip", "damage-cut" or "damage-index", a converter
//                      that writes a damaged CSO of IN and reports success: the first
//                      byte of block 16's payload flipped, the last 10 bytes cut off,
//                      or block 16's index entry one byte too far
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "tiny_cso.h"

static const char* pid_file = nullptr;

// Removes the pid file and ends as the signal would have ended it.
static void on_term(int sig) {
    unlink(pid_file);
    signal(sig, SIG_DFL);
    raise(sig);
}

// Writes a CSO of `in` to `out`, damaged as `how` says; returns the exit status.
static int write_damaged_cso(const char* in, const char* out, const std::string& how) {
    std::ifstream f(in, std::ios::binary);
    std::stringstream image;
    image << f.rdbuf();
    std::string cso = damaged_cso(image.str(), how);
    if (!f || cso.empty()) return 2;
    std::ofstream(out, std::ios::binary) << cso;
    printf("ciso compress completed\nTime: 0 sec\n");
    return 0;
}

// Returns "flip", "cut" or "index" when the file name asks for that damage, else "".
static std::string damage_of(const std::string& path) {
    std::string name = path.substr(path.find_last_of('/') + 1);
    for (const char* how : {"flip", "cut", "index"})
        if (name.rfind(std::string("damage-") + how, 0) == 0) return how;
    return "";
}

int main(int argc, char** argv) {
    if (argc >= 3 && strcmp(argv[1], "args") == 0) {
        FILE* f = fopen(argv[2], "w");
        if (!f) return 2;
        for (int i = 3; i < argc; i++) fprintf(f, "%s\n", argv[i]);
        return fclose(f) == 0 ? 0 : 2;
    }
    if (argc >= 3 && strcmp(argv[1], "progress") == 0) {
        for (int p = 0; p <= 60; p += 20) {
            printf("decompress %d%%\r", p);
            fflush(stdout);
        }
        printf("block 7 : Write error\nTime: 0 sec\n");
        return atoi(argv[2]);
    }
    if (argc >= 2 && strcmp(argv[1], "sleep") == 0) {
        if (argc >= 3) std::ofstream(argv[2]) << getpid();
        pid_file = argc >= 3 ? argv[2] : nullptr;
        if (pid_file) signal(SIGTERM, on_term);
        printf("ready\n");
        fflush(stdout);
        for (;;) pause();
    }
    if (argc == 5 && strcmp(argv[1], "-com") == 0 && !damage_of(argv[3]).empty())
        return write_damaged_cso(argv[3], argv[4], damage_of(argv[3]));
    if (argc == 5 && strcmp(argv[1], "-com") == 0) {
        std::string name = argv[4];
        size_t cut = name.find_last_of('/') + 1;
        name.insert(cut, ".");
        name += ".vellicor-tmp-" + std::to_string(getpid());
        FILE* out = fopen(name.c_str(), "w");
        if (!out) return 2;
        fclose(out);
        printf("Compress '%s' to '%s'\ncompress  42%% average rate  51%%\r", argv[3], argv[4]);
        fflush(stdout);
        for (;;) pause();
    }
    return 3;
}
