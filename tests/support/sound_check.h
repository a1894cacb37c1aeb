// What a recording of a sound server's output says about one played note: when it started
// against the click, whether it is at the right pitch, whether it broke up while held, and
// whether it stopped after the release. Pure functions on samples and clock stamps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vxtest {

// Mono samples (-1..1) read from a server in small pieces, each piece stamped with the
// monotonic clock when its read returned.
struct Recording {
    int rate = 48000;
    std::vector<float> samples;
    struct Stamp {
        int64_t end_sample;  // samples read so far when the read returned
        int64_t time_ns;     // steady clock
    };
    std::vector<Stamp> stamps;
};

// The clock time of sample 0, taken from the stamps within `window_ns` of `around_ns`: the
// smallest (time - position) there, the read that waited least for its samples. Local, so a
// slow drift between the server's clock and ours does not matter. -1 without stamps there.
int64_t clock_of_first_sample(const Recording& recording, int64_t around_ns, int64_t window_ns = 200'000'000);
// Sample index of a clock time (and back) by that local mapping.
int64_t sample_at(const Recording& recording, int64_t time_ns);

// Energy of one frequency in samples[first, first + count) (the Goertzel filter).
double goertzel_power(const float* samples, size_t count, double frequency, int rate);
// Frequency in [low, high] with the most energy in that stretch, in 1 Hz steps.
double strongest_frequency(const float* samples, size_t count, int rate, double low, double high);
// Equal temperament: MIDI note 69 is 440 Hz.
double note_frequency(int note);

// The first sample in [from, to) above both -60 dBFS and four times the peak of the
// `before` samples just ahead of `from`; -1 when none is.
int64_t onset(const std::vector<float>& samples, int64_t from, int64_t to, int64_t before);
// The level `onset` looks for: four times the loudest of the `before` samples ahead of `from`
// (a last note's tail), and never below -60 dBFS.
float onset_level(const std::vector<float>& samples, int64_t from, int64_t before);
// The largest magnitude in [from, to).
float peak(const std::vector<float>& samples, int64_t from, int64_t to);

// The SoundFont the sound tests and benches hear, named so that what else the machine has
// installed changes nothing: the library's configured default may be a large .sf3 whose piano
// takes seconds to decode.
inline constexpr const char* test_soundfont = "/usr/share/sounds/sf2/TimGM6mb.sf2";
// "VXMIDI" for the embedded synthesiser with that SoundFont; it finds its sound server as
// with "VXMIDI" unset.
inline const std::string embedded_synth = std::string("fluidsynth:soundfont=") + test_soundfont;

// Samples from a note's start to its first above `level` (-60 dBFS by default), rendered offline
// by the embedded synthesiser set up as the program sets it up: the instrument's own rise (6.6
// ms to -60 dBFS for the piano's A above middle C), which no output can shorten and which is
// not waiting.
int64_t own_attack(int program, int note, int rate, float level = 0.001f);

// Runs of exactly 0.0 samples in [from, to) at least `min_length` long: a sound that drops
// out has the server fill in digital silence, while a sounding note never holds exactly 0.
struct Gap {
    int64_t start, length;
};
std::vector<Gap> silent_gaps(const std::vector<float>& samples, int64_t from, int64_t to, int64_t min_length);
std::string describe(const std::vector<Gap>& gaps, int rate);

// One note as the recording has it, from its press and release times (steady clock). The
// benches look for its start within 250 ms of the press, as a player would still hear it as
// the click's; a test that asks only whether it sounded listens up to the release.
struct HeardNote {
    double latency_ms = -1;   // press to onset; -1 when no sound started within `listen_ms`
    float onset_level = 0;    // the level the onset was found above (over a last note's tail)
    double frequency = 0;     // strongest frequency within a third of an octave of the expected
    std::vector<Gap> gaps;    // silent runs of 0.5 ms or more between onset and release
    float held_peak = 0;      // loudest sample between onset and release
    float after_peak = 0;     // loudest sample from `tail_ms` after the release for 100 ms
};
HeardNote hear_note(const Recording& recording, int64_t press_ns, int64_t release_ns, double expected_frequency,
                    int tail_ms = 400, int listen_ms = 250);

// Whether a note has started in the recording since the clock time `since_ns`: a test holds a
// key until it has, however long a busy machine takes.
bool sounding_since(const Recording& recording, int64_t since_ns);

// Median and 95th percentile (nearest rank) of a list; 0 for an empty one.
double median(std::vector<double> values);
double percentile95(std::vector<double> values);

}  // namespace vxtest
