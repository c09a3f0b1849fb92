// Console entry point of the converter.
#include "ciso.h"

int main(int argc, char** argv) {
    return converter_main(argc, argv);
}
