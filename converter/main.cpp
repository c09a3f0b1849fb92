// Console entry point of the converter.
#include "ciso.h"

// Runs one command line; returns the converter's exit status.
int main(int argc, char** argv) {
    return converter_main(argc, argv);
}
