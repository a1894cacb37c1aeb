// Embedded FluidSynth back end: a synthesiser in the process with a General MIDI SoundFont and
// a small audio buffer; "VXMIDI=fluidsynth:k=v,..." picks the SoundFont and any setting.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <pthread.h>
#include <sys/stat.h>

#include <fluidsynth.h>
#include <strings.h>
#include <unistd.h>

#include "app/midi/midi.h"
#include "app/midi/midi_backend.h"
#include "app/synth/sf3_soundfont.h"
#include "app/sound/sound_stream.h"

namespace app {

namespace {

struct SettingsDeleter {
    void operator()(fluid_settings_t* settings) const { delete_fluid_settings(settings); }
};
struct SynthDeleter {
    void operator()(fluid_synth_t* synth) const { delete_fluid_synth(synth); }
};
struct DriverDeleter {
    void operator()(fluid_audio_driver_t* driver) const { delete_fluid_audio_driver(driver); }
};
// Closes a sound stream through the back end that opened it.
struct SoundCloser {
    const SoundBackend* backend = nullptr;
    void operator()(SoundStream* stream) const { backend->close(stream); }
};

struct ProgramLoader;
void stop_loader(ProgramLoader* loader);
struct LoaderDeleter {
    void operator()(ProgramLoader* loader) const { stop_loader(loader); }
};

// Declared in the order of creation, so they go the other way round: first the thread that
// loads programs, which plays into the output, then the audio output (ours or the library's
// driver), which calls into the synth from its own thread, then the synth, then the settings
// they read.
struct FluidOutput {
    std::unique_ptr<fluid_settings_t, SettingsDeleter> settings;
    std::unique_ptr<fluid_synth_t, SynthDeleter> synth;
    std::unique_ptr<fluid_audio_driver_t, DriverDeleter> driver;
    std::unique_ptr<SoundStream, SoundCloser> sound;
    std::unique_ptr<ProgramLoader, LoaderDeleter> loader;
};

FluidOutput output;

// Where Debian, Fedora, Arch and hand installs put a General MIDI SoundFont, best first; tried
// after the library's configured default and the user's own folder.
constexpr const char* soundfont_paths[] = {
    "/usr/share/sounds/sf2/default-GM.sf2",
    "/usr/share/sounds/sf3/default-GM.sf3",
    "/usr/share/sounds/sf2/FluidR3_GM.sf2",
    "/usr/share/sounds/sf3/MuseScore_General.sf3",
    "/usr/share/sounds/sf2/TimGM6mb.sf2",
    "/usr/share/soundfonts/default.sf2",
    "/usr/share/soundfonts/FluidR3_GM.sf2",
    "/usr/share/soundfonts/default.sf3",
    "/usr/local/share/soundfonts/default.sf2",
};

// Tried after the library's own default when the user names no driver. "file" is left out (it
// would write a file nobody asked for), and so is "sdl2" (it needs the program to have started
// SDL's audio itself); JACK comes late since it may try to start a server.
constexpr const char* audio_driver_order[] = {"pipewire", "pulseaudio", "alsa", "jack", "oss"};

// The rate the synth is first made at, before the server says its own.
constexpr double likely_server_rate = 48000;

// About 4 ms of buffering at 48 kHz; the library's 16 periods would be 21 ms.
constexpr int default_period_size = 64;
constexpr int default_periods = 3;
// As loud as the output allows without clipping: at 1.0 some programs of the small default
// SoundFont overshoot at velocity 127 (up to 1.8 times full scale); 0.5 keeps every one inside.
constexpr double full_gain = 0.5;

// FluidSynth reports through its log; the last error while opening becomes the reason text
// and nothing reaches stderr.
std::atomic<bool> keeping_log{false};
char last_log_message[256];
std::atomic<bool> said_error{false};

void log_quietly(int level, const char* message, void*) {
    if (level > FLUID_ERR || message == nullptr) return;
    if (keeping_log.load(std::memory_order_relaxed))
        std::snprintf(last_log_message, sizeof last_log_message, "%s", message);
    else if (!said_error.exchange(true))  // while playing: the output lost its server, say
        std::fprintf(stderr, "vxpiano: FluidSynth: %s\n", message);
}

void quiet_log() {
    for (int level = FLUID_PANIC; level <= FLUID_DBG; ++level)
        fluid_set_log_function(level, log_quietly, nullptr);
}

bool parse_toggle(const std::string& text, int* value) {
    static constexpr const char* yes[] = {"yes", "true", "on"};
    static constexpr const char* no[] = {"no", "false", "off"};
    for (const char* word : yes)
        if (strcasecmp(text.c_str(), word) == 0) return *value = 1, true;
    for (const char* word : no)
        if (strcasecmp(text.c_str(), word) == 0) return *value = 0, true;
    return false;
}

// One "key=value" from "VXMIDI", typed as the setting is; false with the reason on error.
bool apply_setting(fluid_settings_t* settings, const std::string& key, const std::string& value) {
    int result = FLUID_FAILED;
    char* end = nullptr;
    switch (fluid_settings_get_type(settings, key.c_str())) {
        case FLUID_NUM_TYPE: {
            double number = std::strtod(value.c_str(), &end);
            if (end != value.c_str() && *end == '\0')
                result = fluid_settings_setnum(settings, key.c_str(), number);
            break;
        }
        case FLUID_INT_TYPE: {
            int number = static_cast<int>(std::strtol(value.c_str(), &end, 10));
            if ((end != value.c_str() && *end == '\0') || parse_toggle(value, &number))
                result = fluid_settings_setint(settings, key.c_str(), number);
            break;
        }
        case FLUID_STR_TYPE:
            result = fluid_settings_setstr(settings, key.c_str(), value.c_str());
            break;
        default:
            midi_set_reason("FluidSynth has no setting \"%s\"", key.c_str());
            return false;
    }
    if (result != FLUID_OK) {
        midi_set_reason("FluidSynth setting %s cannot take \"%s\"", key.c_str(), value.c_str());
        return false;
    }
    return true;
}

// Applies "k=v,k=v"; soundfont=PATH is ours, everything else is the library's.
bool apply_arguments(fluid_settings_t* settings, const char* arg, std::string* soundfont,
                     bool* driver_named) {
    std::string text = arg != nullptr ? arg : "";
    size_t start = 0;
    while (start < text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        std::string item = text.substr(start, comma - start);
        start = comma + 1;
        if (item.empty()) continue;
        size_t equals = item.find('=');
        if (equals == std::string::npos || equals == 0) {
            midi_set_reason("FluidSynth argument \"%s\" is not key=value", item.c_str());
            return false;
        }
        std::string key = item.substr(0, equals);
        std::string value = item.substr(equals + 1);
        if (key == "soundfont") {
            *soundfont = value;
            continue;
        }
        if (!apply_setting(settings, key, value)) return false;
        if (key == "audio.driver") *driver_named = true;
    }
    return true;
}

// The user's own SoundFonts, in name order: $XDG_DATA_HOME/soundfonts, else
// ~/.local/share/soundfonts.
std::vector<std::string> user_soundfonts() {
    std::string folder;
    const char* data_home = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (data_home != nullptr && data_home[0] == '/')
        folder = std::string(data_home) + "/soundfonts";
    else if (home != nullptr && home[0] != '\0')
        folder = std::string(home) + "/.local/share/soundfonts";
    std::vector<std::string> found;
    DIR* dir = folder.empty() ? nullptr : opendir(folder.c_str());
    if (dir == nullptr) return found;
    while (const dirent* entry = readdir(dir)) {
        const size_t length = std::strlen(entry->d_name);
        if (length > 4 && (strcasecmp(entry->d_name + length - 4, ".sf2") == 0 ||
                           strcasecmp(entry->d_name + length - 4, ".sf3") == 0))
            found.push_back(folder + "/" + entry->d_name);
    }
    closedir(dir);
    std::sort(found.begin(), found.end());
    return found;
}

// The SoundFonts tried when none is named, in order: the library's configured default
// (synth.default-soundfont, which "VXMIDI" may set too), the user's own, the system's.
std::vector<std::string> soundfont_candidates(fluid_settings_t* settings) {
    std::vector<std::string> paths;
    char* configured = nullptr;
    if (fluid_settings_dupstr(settings, "synth.default-soundfont", &configured) == FLUID_OK &&
        configured != nullptr) {
        if (configured[0] != '\0') paths.push_back(configured);
        fluid_free(configured);
    }
    for (std::string& path : user_soundfonts()) paths.push_back(std::move(path));
    for (const char* path : soundfont_paths) paths.push_back(path);
    return paths;
}

// A small .sf2 read whole costs less memory than the second synth that would load its programs
// (TimGM6mb: 6 MB of samples, and 2.3 MiB more resident with the loader), so it is read whole.
constexpr off_t whole_soundfont_bytes = 16 << 20;

bool read_whole(const std::string& path) {
    struct stat about {};
    const size_t length = path.size();
    return length > 4 && strcasecmp(path.c_str() + length - 4, ".sf2") == 0 &&
           stat(path.c_str(), &about) == 0 && about.st_size < whole_soundfont_bytes;
}

// The SoundFonts to try, in order: the one "VXMIDI" names, or every candidate that is there and
// is a SoundFont. Only their headers are read: the loading happens after the window is up.
bool choose_soundfonts(fluid_settings_t* settings, const std::string& named, std::vector<std::string>* chosen) {
    auto usable = [](const std::string& path) { return access(path.c_str(), R_OK) == 0 && fluid_is_soundfont(path.c_str()); };
    if (!named.empty()) {
        if (usable(named)) return chosen->push_back(named), true;
        midi_set_reason("cannot load SoundFont %s", named.c_str());
        return false;
    }
    for (std::string& path : soundfont_candidates(settings))
        if (usable(path)) chosen->push_back(std::move(path));
    if (!chosen->empty()) return true;
    midi_set_reason(
        "no General MIDI SoundFont found (install fluid-soundfont-gm or timgm6mb-soundfont, "
        "or set VXMIDI=fluidsynth:soundfont=PATH)");
    return false;
}

// Loads the first of `paths` that loads into `synth`. With samples loaded on demand
// (`*on_demand`) only the file's directory is read, and no channel gets a program: each is
// loaded when chosen (see ProgramLoader). Otherwise every sample is read now and the channels
// get their General MIDI programs at once. Unless "VXMIDI" set synth.dynamic-sample-loading
// (`choose_loading`), the file's size decides.
bool load_soundfont(fluid_synth_t* synth, const std::vector<std::string>& paths, bool choose_loading,
                    std::string* loaded, bool* on_demand) {
    fluid_settings_t* settings = fluid_synth_get_settings(synth);
    // Tried first; takes .sf3 files only, and only with samples loaded on demand.
    if (fluid_sfloader_t* compressed = new_sf3_loader(settings)) fluid_synth_add_sfloader(synth, compressed);
    for (const std::string& path : paths) {
        if (choose_loading) fluid_settings_setint(settings, "synth.dynamic-sample-loading", read_whole(path) ? 0 : 1);
        int dynamic = 0;
        fluid_settings_getint(settings, "synth.dynamic-sample-loading", &dynamic);
        *on_demand = dynamic != 0;
        *loaded = path;
        if (fluid_synth_sfload(synth, path.c_str(), *on_demand ? 0 : 1) != FLUID_FAILED) return true;
    }
    return false;
}

void collect_driver_name(void* data, const char*, const char* option) {
    static_cast<std::vector<std::string>*>(data)->push_back(option);
}

bool start_audio(FluidOutput& out, bool driver_named) {
    if (driver_named) {
        out.driver.reset(new_fluid_audio_driver(out.settings.get(), out.synth.get()));
        if (out.driver) return true;
        midi_set_reason("FluidSynth audio output failed%s%s", last_log_message[0] ? ": " : "",
                        last_log_message);
        return false;
    }
    std::vector<std::string> built;
    fluid_settings_foreach_option(out.settings.get(), "audio.driver", &built, collect_driver_name);
    std::vector<std::string> order;
    char* library_default = nullptr;
    if (fluid_settings_getstr_default(out.settings.get(), "audio.driver", &library_default) ==
            FLUID_OK && library_default != nullptr)
        order.push_back(library_default);
    for (const char* name : audio_driver_order) order.push_back(name);
    std::string failures;
    std::vector<std::string> tried;
    for (const std::string& name : order) {
        bool in_build = false, done = false;
        for (const std::string& known : built) in_build = in_build || known == name;
        for (const std::string& seen : tried) done = done || seen == name;
        if (!in_build || done || name == "file") continue;
        tried.push_back(name);
        last_log_message[0] = '\0';
        fluid_settings_setstr(out.settings.get(), "audio.driver", name.c_str());
        out.driver.reset(new_fluid_audio_driver(out.settings.get(), out.synth.get()));
        if (out.driver) return true;
        failures += failures.empty() ? " (" : ", ";
        failures += name;
        if (last_log_message[0] != '\0') failures += std::string(": ") + last_log_message;
    }
    midi_set_reason("FluidSynth found no working audio output%s%s", failures.c_str(),
                    failures.empty() ? "" : ")");
    return false;
}

// The period our PipeWire stream asks the graph for, unless "VXMIDI" sets audio.period-size:
// 10.7 ms at 48 kHz. Every node of the graph must run within each period, and with the other
// core busy a real-time thread (the server's own too) now and then wakes a few milliseconds
// late: 256 frames lost 15 to 26 cycles a minute and broke up held notes, 512 lost 0 to 6,
// never more than a client that only copies, and still starts a note within 10 ms at the
// median (bench/README.md).
constexpr int pipewire_quantum = 512;

// The server's request size and buffer for our own PulseAudio stream, unless "VXMIDI" sets
// them: 8 ms in all. Measured against 4 ms (3 x 64), which underran often under load, and
// 10.7 ms (3 x 128, 4 x 128), which underran no less and answered later (bench/README.md).
constexpr int pulse_period_size = 96;
constexpr int pulse_periods = 4;

// Our own streams, best first: a running JACK server, where the user patches sound (never
// started, and a probe of a missing one fails in well under a millisecond), with our own
// client rendering in its cycle; then a stream in a PipeWire server's graph, which answers
// within two of its periods; then a stream to the session's PulseAudio server (PipeWire's
// PulseAudio service would keep four periods queued), whose buffer we size and fill ourselves.
// Those left out of the build are not in the table; a name of nullptr ends it.
constexpr SoundBackend sound_backends[] = {
#if VX_JACK
    {"jack", jack_audio_connect, {0, 0, 0}, jack_audio_play, jack_audio_send, jack_audio_close},
#endif
#if VX_PIPEWIRE
    {"pipewire", pipewire_connect, {pipewire_quantum, 0, 0}, pipewire_play, pipewire_send,
     pipewire_close},
#endif
#if VX_PULSEAUDIO
    {"pulseaudio", pulse_connect, {pulse_period_size, pulse_periods, 0}, pulse_play, pulse_send,
     pulse_close},
#endif
    {},
};

// Where the synth's sound goes: a driver the user names is the library's; otherwise the first
// of our own streams whose server answers, and with none the library's drivers in turn
// (`declined` says why ours did not open).
void choose_sound_stream(FluidOutput& out, bool driver_named, std::string* declined) {
    if (driver_named) return;
    for (const SoundBackend& backend : sound_backends) {
        if (backend.name == nullptr) break;
        out.sound = std::unique_ptr<SoundStream, SoundCloser>(backend.connect(), SoundCloser{&backend});
        if (out.sound) return;
    }
    if (sound_backends[0].name != nullptr) *declined = midi_reason();
}

// The stream's own timing, unless "VXMIDI" sets the period size or the count of periods.
SoundTiming sound_timing(fluid_settings_t* settings, const SoundBackend& backend) {
    SoundTiming timing{default_period_size, default_periods, 0};
    fluid_settings_getint(settings, "audio.period-size", &timing.period_frames);
    fluid_settings_getint(settings, "audio.periods", &timing.periods);
    const bool periods_unset = backend.preferred.periods == 0 || timing.periods == default_periods;
    if (timing.period_frames == default_period_size && periods_unset)
        timing = backend.preferred;
    fluid_settings_getint(settings, "audio.realtime-prio", &timing.realtime_priority);
    int realtime = 1;
    fluid_settings_getint(settings, "audio.realtime", &realtime);  // absent in some builds
    if (!realtime) timing.realtime_priority = 0;
    return timing;
}

// Plays one message into the output now: queued for the thread that renders, or into the
// synth itself where the library's driver renders.
int play_message(FluidOutput& out, const uint8_t* bytes, int count) {
    if (out.sound)
        return out.sound.get_deleter().backend->send(out.sound.get(), bytes, count) ? midi_sent : midi_send_failed;
    fluid_synth_t* synth = out.synth.get();
    const int channel = bytes[0] & 0x0F;
    int result = FLUID_OK;
    switch (bytes[0] & 0xF0) {
        case 0x90: result = fluid_synth_noteon(synth, channel, bytes[1], bytes[2]); break;
        case 0x80:
            // A key that is not sounding (ended by a velocity-0 Note On, or by a voice that
            // died away) is a failure to the library but not to the player.
            fluid_synth_noteoff(synth, channel, bytes[1]);
            break;
        case 0xC0: result = fluid_synth_program_change(synth, channel, bytes[1]); break;
        case 0xA0: result = fluid_synth_key_pressure(synth, channel, bytes[1], bytes[2]); break;
        case 0xB0: result = fluid_synth_cc(synth, channel, bytes[1], bytes[2]); break;
        case 0xD0: result = fluid_synth_channel_pressure(synth, channel, bytes[1]); break;
        case 0xE0: result = fluid_synth_pitch_bend(synth, channel, bytes[1] | bytes[2] << 7); break;
        default: return midi_send_failed;
    }
    return result == FLUID_OK ? midi_sent : midi_send_failed;
}

using Clock = std::chrono::steady_clock;

struct HeldMessage {
    uint8_t bytes[3];
    int count;
};

constexpr int channel_count = 16;

// The SoundFont is loaded, and then programs as they are chosen, on a thread of their own: the
// window comes up while the file's directory is read (30 to 60 ms), and messages sent before
// it is read wait, in order. With samples loaded on demand FluidSynth reads (for .sf3,
// decodes) a program's samples inside the program change, under the synth's lock, which the
// rendering thread takes for every message it plays: 20 to 70 ms for a FluidR3 program,
// seconds for an .sf3 piano, a gap in every note still sounding. So the loader's own synth
// selects the program first: the samples land in the library's sample cache, which every synth
// of the process shares, and the output's synth then takes them from there in a millisecond or
// two. Messages behind a program still loading wait, in order.
struct ProgramLoader {
    FluidOutput* out = nullptr;
    std::vector<std::string> soundfonts;  // tried in order until one loads
    bool choose_loading = true;           // the file's size decides how its samples are loaded
    int lock_memory = 0;
    std::mutex lock;
    std::condition_variable wake;
    // Under the lock.
    std::deque<HeldMessage> held;   // the first is being loaded or played
    bool has_program[channel_count] = {};
    bool loaded = false;     // the output's synth has the SoundFont
    bool on_demand = false;  // its programs are loaded as they are chosen; set with `loaded`
    bool stopping = false;
    // The loader's thread only.
    std::string soundfont;  // the one that loaded
    // Channel c + 16 of its synth keeps the program c had before, so that the output's synth
    // lets go of it without freeing anything on the rendering thread; the loader frees it
    // later on its own.
    std::unique_ptr<fluid_settings_t, SettingsDeleter> settings;
    std::unique_ptr<fluid_synth_t, SynthDeleter> synth;
    int warm_program[channel_count];
    Clock::time_point release_due[channel_count];
    std::thread thread;
};

// How long a program change waits at most for the rendering thread to take the notes before
// it; a server that stalls longer than this is about to be given up as lost.
constexpr auto notes_taken_limit = std::chrono::seconds(1);
// How long the loader keeps a program the output's synth is leaving.
constexpr auto keep_time = std::chrono::seconds(1);

// A note sent before a program change is rendered with the program it was played with: the
// change, which goes into the synth straight from the loader, waits until the rendering thread
// has taken every Note On queued before it. The library's own drivers take each message at once.
void wait_for_notes_taken(const FluidOutput& out) {
    if (!out.sound) return;
    const Clock::time_point limit = Clock::now() + notes_taken_limit;
    while (!out.sound->queue.note_ons_taken() && Clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::microseconds(500));
}

// The loader's synth reads the file through these, so that a program still loading when the
// program ends gives up at its next sample instead of decoding a whole piano first.
std::atomic<bool> loading_cancelled{false};

void* open_file(const char* path) { return std::fopen(path, "rb"); }
int read_file(void* buffer, fluid_long_long_t count, void* file) {
    if (loading_cancelled.load(std::memory_order_relaxed)) return FLUID_FAILED;
    return std::fread(buffer, static_cast<size_t>(count), 1, static_cast<FILE*>(file)) == 1 ? FLUID_OK : FLUID_FAILED;
}
int seek_file(void* file, fluid_long_long_t offset, int origin) {
    return fseeko(static_cast<FILE*>(file), static_cast<off_t>(offset), origin) == 0 ? FLUID_OK : FLUID_FAILED;
}
fluid_long_long_t tell_file(void* file) { return ftello(static_cast<FILE*>(file)); }
int close_file(void* file) { return std::fclose(static_cast<FILE*>(file)) == 0 ? FLUID_OK : FLUID_FAILED; }

void open_loader_synth(ProgramLoader* loader) {
    loader->settings.reset(new_fluid_settings());
    fluid_settings_t* settings = loader->settings.get();
    if (settings == nullptr) return;
    // Only selects programs: no voices to speak of, no effects.
    fluid_settings_setint(settings, "synth.dynamic-sample-loading", 1);
    fluid_settings_setint(settings, "synth.lock-memory", loader->lock_memory);
    fluid_settings_setint(settings, "synth.midi-channels", 2 * channel_count);
    fluid_settings_setint(settings, "synth.polyphony", 1);
    fluid_settings_setint(settings, "synth.reverb.active", 0);
    fluid_settings_setint(settings, "synth.chorus.active", 0);
    loader->synth.reset(new_fluid_synth(settings));
    if (!loader->synth) return;
    fluid_sfloader_t* files = new_fluid_defsfloader(settings);
    if (files != nullptr) {
        fluid_sfloader_set_callbacks(files, open_file, read_file, seek_file, tell_file, close_file);
        fluid_synth_add_sfloader(loader->synth.get(), files);  // tried first; the synth frees it
    }
    if (fluid_sfloader_t* compressed = new_sf3_loader(settings)) fluid_synth_add_sfloader(loader->synth.get(), compressed);
    if (fluid_synth_sfload(loader->synth.get(), loader->soundfont.c_str(), 0) == FLUID_FAILED)
        loader->synth.reset();
}

// Loads the program's samples into the cache through the loader's synth; for an .sf3, decodes
// the beginnings of its samples (sf3_soundfont.h).
void warm_program(ProgramLoader* loader, int channel, int program) {
    fluid_synth_t* synth = loader->synth.get();
    if (synth == nullptr || loader->warm_program[channel] == program) return;
    int font = 0, bank = 0, preset = 0;
    if (loader->warm_program[channel] >= 0 &&
        fluid_synth_get_program(synth, channel, &font, &bank, &preset) == FLUID_OK) {
        fluid_synth_program_select(synth, channel + channel_count, font, bank, preset);
        loader->release_due[channel] = Clock::now() + keep_time;
    }
    fluid_synth_program_change(synth, channel, program);
    loader->warm_program[channel] = program;
    sf3_follow_programs(synth, loading_cancelled);
}

void release_kept_programs(ProgramLoader* loader, Clock::time_point now) {
    for (int channel = 0; channel < channel_count; ++channel) {
        if (loader->release_due[channel] == Clock::time_point{} || loader->release_due[channel] > now) continue;
        fluid_synth_unset_program(loader->synth.get(), channel + channel_count);
        loader->release_due[channel] = Clock::time_point{};
    }
    sf3_follow_programs(loader->synth.get(), loading_cancelled);
}

Clock::time_point next_release(const ProgramLoader* loader) {
    Clock::time_point next = Clock::time_point::max();
    for (Clock::time_point due : loader->release_due)
        if (due != Clock::time_point{}) next = std::min(next, due);
    return next;
}

// A program change needs no loading when a later one on the same channel comes before any
// note there: a slider dragged across many programs loads only the one it stops at.
bool superseded(const std::deque<HeldMessage>& held) {
    const int channel = held.front().bytes[0] & 0x0F;
    for (size_t i = 1; i < held.size(); ++i) {
        const HeldMessage& later = held[i];
        if ((later.bytes[0] & 0x0F) != channel) continue;
        if ((later.bytes[0] & 0xF0) == 0xC0) return true;
        if ((later.bytes[0] & 0xF0) == 0x90) return false;
    }
    return false;
}

// Into the output's synth, which plays silence until then; with none loading, the program
// says so once and its notes stay silent.
void load_output_soundfont(ProgramLoader* loader) {
    bool on_demand = false;
    if (!load_soundfont(loader->out->synth.get(), loader->soundfonts, loader->choose_loading, &loader->soundfont,
                        &on_demand))
        std::fprintf(stderr, "vxpiano: FluidSynth cannot load SoundFont %s\n", loader->soundfont.c_str());
    else if (on_demand)
        open_loader_synth(loader);
    std::lock_guard<std::mutex> guard(loader->lock);
    loader->loaded = true;
    loader->on_demand = on_demand;
}

void run_loader(ProgramLoader* loader) {
    // Named for what it does, as a process list shows it.
    pthread_setname_np(pthread_self(), "vx-soundfont");
    load_output_soundfont(loader);
    pthread_setname_np(pthread_self(), "vx-programs");
    std::unique_lock<std::mutex> guard(loader->lock);
    while (!loader->stopping) {
        if (loader->synth && next_release(loader) <= Clock::now()) {
            guard.unlock();
            release_kept_programs(loader, Clock::now());
            guard.lock();
            continue;
        }
        if (loader->held.empty()) {
            const Clock::time_point due = next_release(loader);
            if (due == Clock::time_point::max())
                loader->wake.wait(guard);
            else
                loader->wake.wait_until(guard, due);
            continue;
        }
        const HeldMessage message = loader->held.front();
        const bool load_program = loader->on_demand && (message.bytes[0] & 0xF0) == 0xC0;
        if (load_program && superseded(loader->held)) {
            loader->held.pop_front();
            continue;
        }
        // The first in line is played by this thread alone: the program's thread adds behind
        // it and plays nothing itself while anything is held.
        guard.unlock();
        if (load_program) {
            const int channel = message.bytes[0] & 0x0F;
            warm_program(loader, channel, message.bytes[1]);
            // Ending: the output's synth would load the program whole itself.
            if (loading_cancelled.load()) break;
            wait_for_notes_taken(*loader->out);
            // Straight into the output's synth, not through the rendering thread's queue: a
            // program change still opens the SoundFont file to look its samples up.
            fluid_synth_program_change(loader->out->synth.get(), channel, message.bytes[1]);
            // Without a synth of its own (it could not be made, or the file went) the
            // beginnings of an .sf3's samples are decoded from the output's channels.
            if (!loader->synth) sf3_follow_programs(loader->out->synth.get(), loading_cancelled);
        } else {
            play_message(*loader->out, message.bytes, message.count);
        }
        guard.lock();
        loader->held.pop_front();
    }
}

void start_loader(FluidOutput& out, std::vector<std::string> soundfonts, bool choose_loading) {
    auto* loader = new ProgramLoader;
    loader->out = &out;
    loader->soundfonts = std::move(soundfonts);
    loader->choose_loading = choose_loading;
    fluid_settings_getint(out.settings.get(), "synth.lock-memory", &loader->lock_memory);
    for (int& program : loader->warm_program) program = -1;
    loading_cancelled = false;
    loader->thread = std::thread(run_loader, loader);
    out.loader.reset(loader);
}

// True when the message waits behind the loader: everything until the SoundFont is loaded,
// then, with programs loaded as chosen, a program change and whatever follows one still
// loading. A channel given no program yet gets its General MIDI default first (program 0; the
// drum kit on channel 10), loaded like any other.
bool hold_for_loader(ProgramLoader& loader, const uint8_t* bytes, int count) {
    const int channel = bytes[0] & 0x0F;
    const bool program_change = (bytes[0] & 0xF0) == 0xC0;
    std::lock_guard<std::mutex> guard(loader.lock);
    if (loader.loaded && loader.held.empty() && (!loader.on_demand || (!program_change && loader.has_program[channel])))
        return false;
    if (!program_change && !loader.has_program[channel])
        loader.held.push_back(HeldMessage{{static_cast<uint8_t>(0xC0 | channel), 0, 0}, 2});
    loader.has_program[channel] = true;
    HeldMessage message{{bytes[0], bytes[1], count > 2 ? bytes[2] : uint8_t{0}}, count};
    loader.held.push_back(message);
    loader.wake.notify_one();
    return true;
}

void stop_loader(ProgramLoader* loader) {
    {
        std::lock_guard<std::mutex> guard(loader->lock);
        loader->stopping = true;
    }
    loader->wake.notify_one();
    // A program still loading gives up at its next sample; the library's own say on it is not
    // the user's concern at the end.
    keeping_log = true;
    loading_cancelled = true;
    if (loader->thread.joinable()) loader->thread.join();
    keeping_log = false;
    delete loader;
}

bool open_output(FluidOutput& out, const char* arg, std::vector<std::string>* soundfonts, bool* choose_loading) {
    out.settings.reset(new_fluid_settings());
    if (!out.settings) {
        midi_set_reason("FluidSynth cannot make its settings");
        return false;
    }
    fluid_settings_t* settings = out.settings.get();
    fluid_settings_setint(settings, "audio.period-size", default_period_size);
    fluid_settings_setint(settings, "audio.periods", default_periods);
    fluid_settings_setnum(settings, "synth.gain", full_gain);
    // Samples are not locked into memory, unless "VXMIDI" says so: locking and unlocking a
    // program's megabytes holds the process's memory map for milliseconds, and the rendering
    // thread, touching a fresh page of the server's buffer, waits for it: gaps in the notes
    // sounding while another program loads.
    fluid_settings_setint(settings, "synth.lock-memory", 0);
    std::string soundfont;
    bool driver_named = false;
    double library_rate = 0;
    fluid_settings_getnum(settings, "synth.sample-rate", &library_rate);
    if (!apply_arguments(settings, arg, &soundfont, &driver_named)) return false;
    if (!choose_soundfonts(settings, soundfont, soundfonts)) return false;
    *choose_loading = arg == nullptr || std::strstr(arg, "synth.dynamic-sample-loading=") == nullptr;
    double chosen_rate = 0;
    fluid_settings_getnum(settings, "synth.sample-rate", &chosen_rate);
    const bool rate_chosen = chosen_rate != library_rate;
    // The synth (about 15 ms of tables, voices and effects) is made while the servers are
    // asked (10 to 15 ms), at the rate most of them run.
    if (!rate_chosen && !driver_named) fluid_settings_setnum(settings, "synth.sample-rate", likely_server_rate);
    std::thread making([&out, settings] { out.synth.reset(new_fluid_synth(settings)); });
    std::string declined;
    choose_sound_stream(out, driver_named, &declined);
    making.join();
    const SoundBackend* stream = out.sound ? out.sound.get_deleter().backend : nullptr;
    // Rendered at the server's own rate nothing resamples on the way, unless the user chose
    // one; the library's own drivers get the library's rate.
    double wanted_rate = chosen_rate;
    if (stream != nullptr && !rate_chosen) wanted_rate = out.sound->rate;
    double made_rate = 0;
    fluid_settings_getnum(settings, "synth.sample-rate", &made_rate);
    if (wanted_rate != made_rate) {
        out.synth.reset();
        fluid_settings_setnum(settings, "synth.sample-rate", wanted_rate);
        out.synth.reset(new_fluid_synth(settings));
    }
    if (!out.synth) {
        midi_set_reason("FluidSynth cannot start%s%s", last_log_message[0] ? ": " : "",
                        last_log_message);
        return false;
    }
    if (stream != nullptr) return stream->play(out.sound.get(), out.synth.get(), sound_timing(settings, *stream));
    if (start_audio(out, driver_named)) return true;
    if (!declined.empty()) midi_set_reason("%s; %s", declined.c_str(), std::string(midi_reason()).c_str());
    return false;
}

}  // namespace

int fluidsynth_open(const char* arg, int) {
    // The ALSA audio driver goes through alsa-lib, which would print on a failed open.
    alsa_quiet_errors();
    quiet_log();
    last_log_message[0] = '\0';
    keeping_log = true;
    said_error = false;
    FluidOutput opened;
    std::vector<std::string> soundfonts;
    bool choose_loading = true;
    bool ok = open_output(opened, arg, &soundfonts, &choose_loading);
    keeping_log = false;
    if (!ok) return 1;  // the owners release what was made, driver first
    output = std::move(opened);
    start_loader(output, std::move(soundfonts), choose_loading);
    return 0;
}

int fluidsynth_send(const uint8_t* bytes, int count) {
    if (output.synth == nullptr || count < 2) return midi_send_failed;
    if (output.loader && hold_for_loader(*output.loader, bytes, count)) return midi_sent;
    return play_message(output, bytes, count);
}

void fluidsynth_close() {
    output.loader.reset();
    output.sound.reset();
    output.driver.reset();
    output.synth.reset();
    output.settings.reset();
}

}  // namespace app
