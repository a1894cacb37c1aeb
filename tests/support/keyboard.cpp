#include "tests/support/keyboard.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include <unistd.h>

#include "app/midi/midi.h"
#include "app/keyboard/piano.h"
#include "tests/support/fake_driver.h"

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

void end_keyboard(void* sheet, bool started, const std::string& midi_file) {
    if (started) app::app_stop(sheet);
    restore_drivers();
    unsetenv("VXMIDI");
    if (!midi_file.empty()) std::remove(midi_file.c_str());
}

}  // namespace vxtest
