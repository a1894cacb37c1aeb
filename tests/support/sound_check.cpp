#include "tests/support/sound_check.h"

#include <fluidsynth.h>

#include <algorithm>
#include <cmath>
#include <sstream>

namespace vxtest {

int64_t clock_of_first_sample(const Recording& recording, int64_t around_ns, int64_t window_ns) {
    int64_t best = -1;
    for (const Recording::Stamp& stamp : recording.stamps) {
        if (stamp.time_ns < around_ns - window_ns || stamp.time_ns > around_ns + window_ns) continue;
        int64_t origin = stamp.time_ns - stamp.end_sample * 1'000'000'000 / recording.rate;
        if (best < 0 || origin < best) best = origin;
    }
    return best;
}

int64_t sample_at(const Recording& recording, int64_t time_ns) {
    int64_t origin = clock_of_first_sample(recording, time_ns);
    if (origin < 0) return -1;
    return (time_ns - origin) * recording.rate / 1'000'000'000;
}

double goertzel_power(const float* samples, size_t count, double frequency, int rate) {
    const double coefficient = 2 * std::cos(2 * M_PI * frequency / rate);
    double s1 = 0, s2 = 0;
    for (size_t i = 0; i < count; ++i) {
        double s0 = samples[i] + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - coefficient * s1 * s2;
}

double strongest_frequency(const float* samples, size_t count, int rate, double low, double high) {
    double best = low, best_power = -1;
    for (double f = low; f <= high; f += 1) {
        double power = goertzel_power(samples, count, f, rate);
        if (power > best_power) best_power = power, best = f;
    }
    return best;
}

double note_frequency(int note) { return 440.0 * std::pow(2.0, (note - 69) / 12.0); }

float peak(const std::vector<float>& samples, int64_t from, int64_t to) {
    float largest = 0;
    from = std::max<int64_t>(from, 0);
    to = std::min<int64_t>(to, static_cast<int64_t>(samples.size()));
    for (int64_t i = from; i < to; ++i) largest = std::max(largest, std::fabs(samples[static_cast<size_t>(i)]));
    return largest;
}

float onset_level(const std::vector<float>& samples, int64_t from, int64_t before) {
    return std::max(0.001f, 4 * peak(samples, from - before, from));  // 0.001 is -60 dBFS
}

int64_t onset(const std::vector<float>& samples, int64_t from, int64_t to, int64_t before) {
    const float threshold = onset_level(samples, from, before);
    from = std::max<int64_t>(from, 0);
    to = std::min<int64_t>(to, static_cast<int64_t>(samples.size()));
    for (int64_t i = from; i < to; ++i)
        if (std::fabs(samples[static_cast<size_t>(i)]) > threshold) return i;
    return -1;
}

std::vector<Gap> silent_gaps(const std::vector<float>& samples, int64_t from, int64_t to, int64_t min_length) {
    std::vector<Gap> gaps;
    from = std::max<int64_t>(from, 0);
    to = std::min<int64_t>(to, static_cast<int64_t>(samples.size()));
    int64_t run_start = -1;
    for (int64_t i = from; i <= to; ++i) {
        bool zero = i < to && samples[static_cast<size_t>(i)] == 0.0f;
        if (zero && run_start < 0) run_start = i;
        if (!zero && run_start >= 0) {
            if (i - run_start >= min_length) gaps.push_back({run_start, i - run_start});
            run_start = -1;
        }
    }
    return gaps;
}

std::string describe(const std::vector<Gap>& gaps, int rate) {
    std::ostringstream out;
    out << gaps.size() << " silent gaps";
    for (size_t i = 0; i < gaps.size() && i < 8; ++i)
        out << (i ? ", " : ": ") << gaps[i].length * 1000.0 / rate << " ms at " << gaps[i].start * 1000.0 / rate << " ms";
    return out.str();
}

HeardNote hear_note(const Recording& recording, int64_t press_ns, int64_t release_ns, double expected_frequency, int tail_ms,
                    int listen_ms) {
    HeardNote heard;
    const int64_t rate = recording.rate;
    const int64_t press = sample_at(recording, press_ns), release = sample_at(recording, release_ns);
    if (press < 0 || release < 0) return heard;
    const int64_t start = onset(recording.samples, press, press + rate * listen_ms / 1000, rate / 50);
    if (start < 0) return heard;
    heard.onset_level = onset_level(recording.samples, press, rate / 50);
    heard.latency_ms = static_cast<double>(start - press) * 1000.0 / static_cast<double>(rate);
    // The attack left out, at most 0.3 s of the held note.
    const int64_t from = start + rate / 20, to = std::min(release, from + rate * 3 / 10);
    if (to > from && to <= static_cast<int64_t>(recording.samples.size()))
        heard.frequency = strongest_frequency(recording.samples.data() + from, static_cast<size_t>(to - from), recording.rate,
                                              expected_frequency / 1.26, expected_frequency * 1.26);
    heard.gaps = silent_gaps(recording.samples, start, release, rate / 2000);
    heard.held_peak = peak(recording.samples, start, release);
    const int64_t tail = release + rate * tail_ms / 1000;
    heard.after_peak = peak(recording.samples, tail, tail + rate / 10);
    return heard;
}

bool sounding_since(const Recording& recording, int64_t since_ns) {
    const int64_t from = sample_at(recording, since_ns);
    if (from < 0) return false;
    // The time's place is found late by the samples of any cycle a loaded server dropped from
    // the recording near it: looked for from a tenth of a second earlier, or a note that began
    // just before the place found would set the level it has to beat.
    const int64_t slack = recording.rate / 10;
    return onset(recording.samples, std::max<int64_t>(0, from - slack), static_cast<int64_t>(recording.samples.size()),
                 recording.rate / 50) >= 0;
}

int64_t own_attack(int program, int note, int rate, float level) {
    fluid_settings_t* settings = new_fluid_settings();
    fluid_settings_setnum(settings, "synth.sample-rate", rate);
    fluid_settings_setnum(settings, "synth.gain", 0.5);
    fluid_synth_t* synth = new_fluid_synth(settings);
    std::vector<float> left(static_cast<size_t>(rate) / 10), right(left.size());
    int64_t attack = -1;
    if (fluid_synth_sfload(synth, test_soundfont, 1) != FLUID_FAILED) {
        fluid_synth_program_change(synth, 0, program);
        fluid_synth_noteon(synth, 0, note, 127);
        fluid_synth_write_float(synth, static_cast<int>(left.size()), left.data(), 0, 1, right.data(), 0, 1);
        for (size_t i = 0; i < left.size() && attack < 0; ++i)
            if (std::fabs(left[i]) > level) attack = static_cast<int64_t>(i);
    }
    delete_fluid_synth(synth);
    delete_fluid_settings(settings);
    return attack;
}

namespace {
double nearest_rank(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size())));
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}
}  // namespace

double median(std::vector<double> values) { return nearest_rank(std::move(values), 0.5); }
double percentile95(std::vector<double> values) { return nearest_rank(std::move(values), 0.95); }

}  // namespace vxtest
