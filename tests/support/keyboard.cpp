#include "tests/support/keyboard.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include <unistd.h>

#include "app/midi.h"
#include "app/piano.h"

namespace vxtest {

void reset_keyboard_settings() {
    app::midi_channel = 0;
    app::octave_base = 3;
    app::note_velocity = 127;
    app::sounding_key = -1;
}

std::string use_raw_midi_file(const std::string& label) {
    std::string path = ::testing::TempDir() + "vxpiano_" + label + "_" + std::to_string(getpid()) + ".raw";
    std::remove(path.c_str());
    setenv("VXMIDI", ("raw:" + path).c_str(), 1);
    return path;
}

}  // namespace vxtest
