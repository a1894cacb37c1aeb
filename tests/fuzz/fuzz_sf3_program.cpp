// libFuzzer target: a whole .sf3 file through the loader as the program uses it (load, choose
// programs, play, render, choose another, unload), under ASan and UBSan.
#include "tests/fuzz/sf3_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The variant comes from the bytes, so that a saved input replays the same way.
    unsigned variant = 0;
    for (size_t i = 0; i < size; i += 97) variant = variant * 31 + data[i];
    sf3_fuzz::play(data, size, variant);
    return 0;
}
