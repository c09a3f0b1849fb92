// Small text helpers used by the ISO scan.
#include "utils.h"
