// MIDI output: back-end choice from "VXMIDI", the message words, and the open failure path.
#include "app/midi/midi.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include <signal.h>
#include <strings.h>

#include "app/midi/midi_backend.h"
#include <vxgfx/runtime.h>

namespace app {

int32_t midi_channel = 0;
int32_t octave_base = 3;
int32_t note_velocity = 127;
bool (*midi_failure_box)(const char* caption, const char* text, const char* reason) = nullptr;

namespace {

// Preference order: without "VXMIDI" the first that opens in probe mode wins. The file back
// ends need a path and JACK MIDI a connection the user makes, so they are never probed.
const MidiBackend midi_backends[] = {
    {"alsa", "alsa[:DEST]", alsa_open, alsa_send, alsa_close},
    {"fluidsynth", "fluidsynth[:k=v,...]", fluidsynth_open, fluidsynth_send, fluidsynth_close},
#if VX_JACK
    {"jack", "jack[:PORT]", jack_open, jack_send, jack_close},
#endif
    {"smf", "smf:PATH", smf_open, smf_send, smf_close},
    {"raw", "raw:PATH", raw_open, raw_send, raw_close},
};

const MidiBackend* midi_handle = nullptr;
// The program's thread and the input's passing thread both send; the back ends take one
// writer at a time.
std::mutex output_lock;

constexpr const char* open_failed_caption = "Cannot open MIDI device.";
constexpr const char* open_failed_text = "Error:";

// Opens what "VXMIDI" names, or probes the list; leaves the reason text on failure.
const MidiBackend* open_chosen_backend(const char* choice) {
    if (choice != nullptr && *choice != '\0') {
        std::string name = choice;
        const char* arg = nullptr;
        if (size_t colon = name.find(':'); colon != std::string::npos) {
            name.resize(colon);
            arg = choice + colon + 1;
        }
        for (const MidiBackend& backend : midi_backends) {
            if (strcasecmp(backend.name, name.c_str()) != 0) continue;
            return backend.open(arg, 0) == 0 ? &backend : nullptr;
        }
        std::string known;
        for (const MidiBackend& backend : midi_backends) {
            if (!known.empty()) known += ", ";
            known += backend.usage;
        }
        midi_set_reason("unknown MIDI output \"%s\" in VXMIDI; this build has: %s", name.c_str(),
                        known.c_str());
        return nullptr;
    }
    std::string all_reasons;
    for (const MidiBackend& backend : midi_backends) {
        midi_clear_reason();
        if (backend.open(nullptr, midi_open_probe) == 0) return &backend;
        if (midi_reason()[0] == '\0') continue;  // not a candidate without a path
        if (!all_reasons.empty()) all_reasons += "; ";
        all_reasons += backend.name;
        all_reasons += ": ";
        all_reasons += midi_reason();
    }
    midi_set_reason("%s", all_reasons.empty() ? "no MIDI output found" : all_reasons.c_str());
    return nullptr;
}

int send_word(uint32_t word) {
    if (midi_handle == nullptr) return midi_not_open;
    const uint8_t bytes[3] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                              static_cast<uint8_t>(word >> 16)};
    return midi_handle->send(bytes, midi_message_length(bytes[0]));
}

bool is_data_byte(int32_t value) { return value >= 0 && value <= 127; }
bool is_channel(int32_t value) { return value >= 0 && value <= 15; }

// The channel and note number each key's Note On went out with. Its Note Off ends that very
// note: the pointer can move between the keys' and the sliders' reads of one loop pass, so
// the channel or octave may change while a key sounds, and a recomputed Note Off would leave
// the started note hanging.
struct StartedNote {
    int32_t channel = -1;
    int32_t note = -1;
};
constexpr int key_note_count = 60;
StartedNote started_notes[key_note_count];

int send_note(uint32_t status_kind, int key_note) {
    if (midi_handle == nullptr) return midi_not_open;
    int32_t channel = midi_channel;
    int32_t note = octave_base * 12 + key_note;
    StartedNote* started = key_note >= 0 && key_note < key_note_count ? &started_notes[key_note] : nullptr;
    if (started != nullptr && status_kind == 0x80 && started->channel >= 0) {
        channel = started->channel;
        note = started->note;
    }
    // A note above 127 (octave 6, the four highest keys) would set bit 7 of a data byte and
    // turn it into a status byte for the receiver, so such keys stay silent, on and off alike.
    if (!is_channel(channel) || !is_data_byte(note) || !is_data_byte(note_velocity)) {
        if (started != nullptr) *started = status_kind == 0x90 ? StartedNote{channel, note} : StartedNote{};
        return midi_out_of_range;
    }
    uint32_t word = status_kind + static_cast<uint32_t>(channel) +
                    static_cast<uint32_t>(note) * 256 +
                    static_cast<uint32_t>(note_velocity) * 65536;
    const int result = send_word(word);
    // A Note On counts as started even if its send failed (part of it may have left); a Note
    // Off that failed keeps the note started, so the close tries it again.
    if (started != nullptr && (status_kind == 0x90 || result == midi_sent))
        *started = status_kind == 0x90 ? StartedNote{channel, note} : StartedNote{};
    return result;
}

// Every note still started gets its Note Off, so no receiver is left with a hanging note
// whichever way the program ends.
void end_started_notes() {
    for (StartedNote& started : started_notes) {
        if (started.channel < 0 || !is_channel(started.channel) || !is_data_byte(started.note)) {
            started = {};
            continue;
        }
        const uint8_t velocity = static_cast<uint8_t>(is_data_byte(note_velocity) ? note_velocity : 64);
        send_word(0x80 + static_cast<uint32_t>(started.channel) + static_cast<uint32_t>(started.note) * 256 +
                  static_cast<uint32_t>(velocity) * 65536);
        started = {};
    }
}

void close_output() {
    if (midi_handle == nullptr) return;
    end_started_notes();
    midi_handle->close();
    // Forgotten at once so a late send or a second close cannot reach a closed output.
    midi_handle = nullptr;
}

}  // namespace

void midi_ignore_signal(int signal_number) {
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) != 0) return;
    // Leave a handler the program installed itself alone.
    if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_DFL) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(signal_number, &ignore, nullptr);
    }
}

int midi_open() {
    std::unique_lock guard(output_lock);
    close_output();
    alsa_quiet_errors();
    midi_clear_reason();
    for (StartedNote& started : started_notes) started = {};
    midi_handle = open_chosen_backend(std::getenv("VXMIDI"));
    if (midi_handle == nullptr) {
        std::fprintf(stderr, "%s\n%s %s\n", open_failed_caption, open_failed_text, midi_reason());
        std::fflush(stderr);
        guard.unlock();
        if (midi_failure_box) midi_failure_box(open_failed_caption, open_failed_text, midi_reason());
        midi_close();
        vx::rt_exit(0);
    }
    // The output level is part of each back end's open (full where it has one), so the
    // program's first message is this Program Change.
    send_word(0x000000C0);
    return 0;
}

int midi_note_on(int key_note) {
    std::lock_guard guard(output_lock);
    return send_note(0x90, key_note);
}

int midi_note_off(int key_note) {
    std::lock_guard guard(output_lock);
    return send_note(0x80, key_note);
}

int midi_program_change(int program) {
    std::lock_guard guard(output_lock);
    if (midi_handle == nullptr) return midi_not_open;
    if (!is_channel(midi_channel) || !is_data_byte(program)) return midi_out_of_range;
    return send_word(0xC0 + static_cast<uint32_t>(midi_channel) +
                     static_cast<uint32_t>(program) * 256);
}

int midi_send(const uint8_t* bytes, int count) {
    if (midi_handle == nullptr) return midi_not_open;
    if (count < 2 || bytes[0] < 0x80 || bytes[0] >= 0xF0 || count != midi_message_length(bytes[0]))
        return midi_out_of_range;
    for (int i = 1; i < count; ++i)
        if (!is_data_byte(bytes[i])) return midi_out_of_range;
    std::lock_guard guard(output_lock);
    if (midi_handle == nullptr) return midi_not_open;
    return midi_handle->send(bytes, count);
}

int midi_close() {
    std::lock_guard guard(output_lock);
    close_output();
    return -1;
}

const char* midi_backend_name() { return midi_handle != nullptr ? midi_handle->name : nullptr; }

}  // namespace app
