// What the .sf3 fuzz targets share: one synth per process with the loader, and a run of a file
// through it as the program uses it: load, choose programs (a melodic one and the drums), play,
// render, choose another so that memory is let go, unload (now and then while notes sound).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <fluidsynth.h>
#include <unistd.h>

#include "app/synth/sf3_soundfont.h"

namespace sf3_fuzz {

struct Synth {
    fluid_settings_t* settings = nullptr;
    fluid_synth_t* synth = nullptr;
    std::string folder;
    unsigned files = 0;
};

inline void no_log(int, const char*, void*) {}

// Takes every file the .sf3 loader refuses, as an empty font: the library's own loader, tried
// after both, would read them, and fuzzing it is not this target's business.
inline const char* refused_name(fluid_sfont_t*) { return "refused"; }
inline fluid_preset_t* no_preset(fluid_sfont_t*, int, int) { return nullptr; }
inline int free_refused(fluid_sfont_t* sfont) { return delete_fluid_sfont(sfont), 0; }
inline fluid_sfont_t* load_refused(fluid_sfloader_t*, const char*) {
    return new_fluid_sfont(refused_name, no_preset, nullptr, nullptr, free_refused);
}

// Made once: a synth costs far more than a run.
inline Synth& synth() {
    static Synth made = [] {
        Synth one;
        for (int level = FLUID_PANIC; level <= FLUID_DBG; ++level) fluid_set_log_function(level, no_log, nullptr);
        one.settings = new_fluid_settings();
        fluid_settings_setint(one.settings, "synth.dynamic-sample-loading", 1);
        fluid_settings_setint(one.settings, "synth.polyphony", 32);
        fluid_settings_setint(one.settings, "synth.reverb.active", 0);
        fluid_settings_setint(one.settings, "synth.chorus.active", 0);
        fluid_settings_setnum(one.settings, "synth.sample-rate", 22050);
        one.synth = new_fluid_synth(one.settings);
        // Each loader added is tried before those added earlier.
        fluid_synth_add_sfloader(one.synth, new_fluid_sfloader(load_refused, delete_fluid_sfloader));
        fluid_synth_add_sfloader(one.synth, app::new_sf3_loader(one.settings));
        one.folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        // A font unloaded while its notes sounded is freed by the library's timer thread some
        // 100 ms later (more on a busy machine); the process waits for that before its leak check.
        std::atexit([] { usleep(1000000); });
        return one;
    }();
    return made;
}

inline void render(fluid_synth_t* synth, int frames) {
    static int16_t out[2 * 1024];
    while (frames > 0) {
        const int step = frames < 1024 ? frames : 1024;
        fluid_synth_write_s16(synth, step, out, 0, 2, out, 1, 2);
        frames -= step;
    }
}

// The (bank, program) of the font's presets, in its order.
inline std::vector<std::pair<int, int>> presets_of(fluid_sfont_t* sfont) {
    std::vector<std::pair<int, int>> found;
    fluid_sfont_iteration_start(sfont);
    while (fluid_preset_t* preset = fluid_sfont_iteration_next(sfont))
        if (found.size() < 4) found.emplace_back(fluid_preset_get_banknum(preset), fluid_preset_get_num(preset));
    return found;
}

// Plays `file` through the shared synth; `variant` picks the notes and the moment of unloading.
inline void play(const uint8_t* file, size_t size, unsigned variant) {
    Synth& shared = synth();
    fluid_synth_t* synth = shared.synth;
    // A name of its own per run: the loader shares fonts of the same name.
    const std::string path = shared.folder + "/vxfuzz-sf3-" + std::to_string(getpid()) + "-" +
                             std::to_string(shared.files++) + ".sf3";
    const int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) return;
    const bool written = write(out, file, size) == static_cast<ssize_t>(size);
    close(out);
    const int id = written ? fluid_synth_sfload(synth, path.c_str(), 1) : FLUID_FAILED;
    unlink(path.c_str());
    if (id == FLUID_FAILED) return;
    const std::atomic<bool> cancelled{false};
    std::vector<std::pair<int, int>> presets = presets_of(fluid_synth_get_sfont_by_id(synth, id));
    if (presets.empty()) presets.emplace_back(0, 0);
    fluid_synth_program_select(synth, 0, id, presets[0].first, presets[0].second);
    fluid_synth_program_select(synth, 9, id, 128, 0);
    app::sf3_follow_programs(synth, cancelled);
    const int keys[] = {60, 69, 36, 84, 21, 108, 127, 0};
    for (int i = 0; i < 4; ++i) fluid_synth_noteon(synth, 0, keys[(variant + i) % 8], 1 + (variant * 37 + i * 50) % 127);
    fluid_synth_noteon(synth, 9, 36 + variant % 12, 100);
    render(synth, 512);
    // Another program: the first one's samples go once silent.
    const auto& next = presets[presets.size() > 1 ? 1 : 0];
    fluid_synth_program_select(synth, 0, id, next.first, next.second);
    app::sf3_follow_programs(synth, cancelled);
    fluid_synth_noteon(synth, 0, keys[variant % 8], 90);
    render(synth, 256);
    fluid_synth_noteoff(synth, 0, keys[variant % 8]);
    // Unloaded while notes sound, the font stays until they have ended.
    if (variant & 1) fluid_synth_sfunload(synth, static_cast<unsigned>(id), 1);
    render(synth, 128);
    // Every voice ended, as the library counts them, before the font can go.
    fluid_synth_all_sounds_off(synth, -1);
    render(synth, 64);
    if (!(variant & 1)) fluid_synth_sfunload(synth, static_cast<unsigned>(id), 1);
}

}  // namespace sf3_fuzz
