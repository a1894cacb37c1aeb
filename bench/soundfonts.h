// The General MIDI SoundFonts the benches compare: the small one every FluidSynth brings, the
// large one many music packages bring, and a compressed one; named, not taken from what the
// machine's default points at. VX_BENCH_SYNTH adds FluidSynth settings to "VXMIDI" (e.g.
// synth.dynamic-sample-loading=0 for every sample read at start-up).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/support/program.h"

namespace vxbench {

struct SoundFont {
    const char* name;
    const char* path;
};

inline constexpr SoundFont soundfonts[] = {
    {"TimGM6mb", "/usr/share/sounds/sf2/TimGM6mb.sf2"},
    {"FluidR3_GM", "/usr/share/sounds/sf2/FluidR3_GM.sf2"},
    {"MuseScore_General_Lite", "/usr/share/sounds/sf3/MuseScore_General_Lite.sf3"},
};

// "VXMIDI" for the embedded synthesiser with SoundFont `index`, finding its sound server as
// with "VXMIDI" unset.
inline std::string synth_with(int index) {
    std::string vxmidi = std::string("fluidsynth:soundfont=") + soundfonts[index].path;
    if (const char* extra = std::getenv("VX_BENCH_SYNTH"); extra != nullptr && extra[0] != '\0')
        vxmidi += std::string(",") + extra;
    return vxmidi;
}

// Resident memory once it has not changed for a second (a program's samples loaded), at most
// `limit` later; and how long that took.
inline long settled_resident_kib(pid_t pid, std::chrono::milliseconds limit, double* settled_ms) {
    const auto begin = std::chrono::steady_clock::now();
    long last = vxtest::resident_kib(pid);
    auto last_change = begin;
    while (std::chrono::steady_clock::now() - begin < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const long now = vxtest::resident_kib(pid);
        if (now != last) {
            last = now;
            last_change = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - last_change >= std::chrono::seconds(1)) {
            break;
        }
    }
    *settled_ms = std::chrono::duration<double, std::milli>(last_change - begin).count();
    return last;
}

}  // namespace vxbench
