// Console entry point of the converter.
#include "ciso.h"
#include "platform.h"

// Runs one command line with its arguments as UTF-8; returns the converter's exit status.
int main(int argc, char** argv) {
    plat_heap_init();
    plat_console_init();
    char** args = plat_utf8_args(&argc, argv);
    return converter_main(argc, args);
}
