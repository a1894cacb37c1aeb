// MIDI output: the bytes each back end lets out, the recorded file, the synthesiser's sound,
// and the open failure path, in this process or in a child that plays commands.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/midi/midi.h"
#include "app/synth/sf3_soundfont.h"
#include "runtime/runtime.h"
#include "tests/support/child_process.h"
#include "tests/support/jack_server.h"
#include "tests/support/sanitizers.h"
#include "tests/support/sound_check.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xvfb.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---- A child that plays commands ---------------------------------------------------------
// The test binary started again with this variable set reads commands from stdin ("open",
// "on 33", "channel 9", ...) and answers each with the result on a line of its own. Paths that
// end the process (the open failure) or must survive a signal run there.

constexpr const char* child_variable = "VX_TEST_MIDI_CHILD";

void run_child_commands() {
    char line[256];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        char command[32] = "";
        int value = 0;
        if (std::sscanf(line, "%31s %d", command, &value) < 1) continue;
        int result = 0;
        std::string what = command;
        if (what == "open") result = app::midi_open();
        else if (what == "on") result = app::midi_note_on(value);
        else if (what == "off") result = app::midi_note_off(value);
        else if (what == "program") result = app::midi_program_change(value);
        else if (what == "close") result = app::midi_close();
        else if (what == "channel") app::midi_channel = value;
        else if (what == "octave") app::octave_base = value;
        else if (what == "velocity") app::note_velocity = value;
        else result = 99;
        std::printf("%d\n", result);
        std::fflush(stdout);
    }
    vx::rt_exit(0);
}

// Starts the child with the environment changed as given ("NAME=value"; "NAME=" unsets).
bool child_start(vxtest::ChildProcess& child, std::vector<std::string> environment) {
    environment.push_back(std::string(child_variable) + "=1");
    environment.push_back("JACK_NO_START_SERVER=1");
    return child.start(vx::rt_executable_path(), environment, {.input = true, .errors = true});
}

// Sends one command and returns the child's answer (nullopt when it gave none).
std::optional<int> child_ask(vxtest::ChildProcess& child, const std::string& command) {
    std::string answer;
    if (!child.write_line(command) || !child.read_line(answer)) return std::nullopt;
    return std::atoi(answer.c_str());
}

struct ChildEnd {
    int exit_code = -1;  // 128 + signal when killed, -1 when it did not end in time
    std::string err;
};

// Closes the child's stdin (it then ends itself) and waits for it, killing it after the limit.
ChildEnd child_finish(vxtest::ChildProcess& child, std::chrono::milliseconds limit) {
    child.close_input();
    ChildEnd end;
    end.exit_code = child.wait_exit(limit);
    if (end.exit_code < 0) child.kill();
    end.err = child.error_text();
    return end;
}

// Runs "open" in a child whose output cannot be opened and returns how it ended.
ChildEnd failed_open(const std::string& vxmidi) {
    vxtest::ChildProcess child;
    EXPECT_TRUE(child_start(child, {"VXMIDI=" + vxmidi, "DISPLAY="}));
    std::optional<int> answer = child_ask(child, "open");
    EXPECT_FALSE(answer.has_value()) << "midi_open returned " << *answer << " for " << vxmidi;
    return child_finish(child, vxtest::patience);
}

void expect_failure_report(const ChildEnd& end, const std::string& reason) {
    EXPECT_EQ(end.exit_code, 0) << "128 + signal when killed, -1 when it hung";
    EXPECT_NE(end.err.find("Cannot open MIDI device."), std::string::npos) << end.err;
    EXPECT_NE(end.err.find("Error:"), std::string::npos) << end.err;
    EXPECT_NE(end.err.find(reason), std::string::npos) << end.err;
}

// ---- Files and folders -----------------------------------------------------------------------

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void use_output(const std::string& vxmidi) { setenv("VXMIDI", vxmidi.c_str(), 1); }

void reset_settings() {
    app::midi_channel = 0;
    app::octave_base = 3;
    app::note_velocity = 127;
}

// ---- Standard MIDI File reader -------------------------------------------------------------

struct SmfEvent {
    int64_t tick;
    Bytes bytes;  // a channel message, or FF, type and data for a meta event
};

struct Smf {
    int format = -1, tracks = -1, division = -1;
    std::vector<SmfEvent> events;
    std::string error;  // empty when the file is a complete, well-formed file
    std::vector<Bytes> channel_messages() const {
        std::vector<Bytes> out;
        for (const SmfEvent& event : events)
            if (event.bytes[0] != 0xFF) out.push_back(event.bytes);
        return out;
    }
};

uint32_t be(const Bytes& data, size_t at, int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) value = value << 8 | data[at + static_cast<size_t>(i)];
    return value;
}

Smf parse_smf(const Bytes& data) {
    Smf smf;
    if (data.size() < 22 || std::memcmp(data.data(), "MThd", 4) != 0 || be(data, 4, 4) != 6 ||
        std::memcmp(data.data() + 14, "MTrk", 4) != 0)
        return smf.error = "no header and track", smf;
    smf.format = static_cast<int>(be(data, 8, 2));
    smf.tracks = static_cast<int>(be(data, 10, 2));
    smf.division = static_cast<int>(be(data, 12, 2));
    const size_t end = 22 + be(data, 18, 4);
    if (end != data.size()) return smf.error = "track length does not reach the file's end", smf;
    size_t at = 22;
    int64_t tick = 0;
    bool ended = false;
    while (at < end) {
        if (ended) return smf.error = "events after the end of track", smf;
        uint32_t delta = 0;
        for (int i = 0;; ++i) {
            if (at >= end || i == 4) return smf.error = "bad delta", smf;
            uint8_t byte = data[at++];
            delta = delta << 7 | (byte & 0x7F);
            if (!(byte & 0x80)) break;
        }
        tick += delta;
        if (at >= end) return smf.error = "delta without event", smf;
        uint8_t status = data[at];
        size_t length;
        if (status == 0xFF) {
            if (at + 3 > end) return smf.error = "cut meta event", smf;
            length = 3 + data[at + 2];
            ended = data[at + 1] == 0x2F;
        } else if (status >= 0x80 && status < 0xF0) {
            length = (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 ? 2 : 3;
        } else {
            return smf.error = "not a status byte", smf;
        }
        if (at + length > end) return smf.error = "cut event", smf;
        smf.events.push_back({tick, Bytes(data.begin() + static_cast<long>(at),
                                          data.begin() + static_cast<long>(at + length))});
        at += length;
    }
    if (!ended) smf.error = "no end of track";
    return smf;
}

// ---- Sound analysis ------------------------------------------------------------------------

struct Wav {
    int rate = 0, channels = 0, bits = 0;
    std::vector<int16_t> left;
};

// `growing`: a file still being written, whose data chunk runs to the end whatever its header
// says yet.
Wav parse_wav(const Bytes& data, bool growing = false) {
    Wav wav;
    if (data.size() < 12 || std::memcmp(data.data(), "RIFF", 4) != 0 ||
        std::memcmp(data.data() + 8, "WAVE", 4) != 0)
        return wav;
    auto le = [&](size_t at, int count) {
        uint32_t value = 0;
        for (int i = count - 1; i >= 0; --i) value = value << 8 | data[at + static_cast<size_t>(i)];
        return value;
    };
    for (size_t at = 12; at + 8 <= data.size();) {
        uint32_t size = le(at + 4, 4);
        size_t body = at + 8;
        if (std::memcmp(data.data() + at, "fmt ", 4) == 0 && size >= 16) {
            wav.channels = static_cast<int>(le(body + 2, 2));
            wav.rate = static_cast<int>(le(body + 4, 4));
            wav.bits = static_cast<int>(le(body + 14, 2));
        } else if (std::memcmp(data.data() + at, "data", 4) == 0 && wav.bits == 16 &&
                   wav.channels > 0) {
            size_t frame = 2 * static_cast<size_t>(wav.channels);
            size_t frames = (growing ? data.size() - body : std::min<size_t>(size, data.size() - body)) / frame;
            for (size_t i = 0; i < frames; ++i)
                wav.left.push_back(static_cast<int16_t>(le(body + i * frame, 2)));
            if (growing) break;
        }
        at = body + size + (size & 1);
    }
    return wav;
}

// Power of one frequency in a stretch of samples.
double goertzel(const std::vector<int16_t>& samples, size_t first, size_t count, double frequency,
                int rate) {
    const double coefficient = 2 * std::cos(2 * M_PI * frequency / rate);
    double s1 = 0, s2 = 0;
    for (size_t i = first; i < first + count; ++i) {
        double s0 = samples[i] + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - coefficient * s1 * s2;
}

// Where a rendered note starts: its first sample above a tenth of full scale's thirtieth.
size_t onset_of(const Wav& wav) {
    size_t onset = 0;
    while (onset < wav.left.size() && std::abs(static_cast<int>(wav.left[onset])) < 1000) ++onset;
    return onset;
}

// Waits until the file being written holds `seconds` of a note from its start: the synthesiser
// renders in real time once its SoundFont and programs are loaded, which a busy machine delays.
bool wait_for_note(const std::string& wav_path, double seconds) {
    return vxtest::wait_until([&] {
        const Wav so_far = parse_wav(read_file(wav_path), true);
        const size_t onset = onset_of(so_far);
        return so_far.rate > 0 && onset < so_far.left.size() &&
               so_far.left.size() - onset >= static_cast<size_t>(seconds * so_far.rate);
    });
}

double rms_of(const Wav& wav, size_t first, size_t count) {
    double energy = 0;
    for (size_t i = first; i < first + count; ++i) energy += double(wav.left[i]) * wav.left[i];
    return std::sqrt(energy / static_cast<double>(count));
}

// Whether `frequency` stands out against the semitones beside it and the octaves around it.
void expect_pitch(const Wav& wav, size_t first, size_t count, double frequency) {
    const double at_pitch = goertzel(wav.left, first, count, frequency, wav.rate);
    for (double ratio : {0.5, 0.891, 0.944, 1.059, 1.122, 2.0})
        EXPECT_GT(at_pitch, 10 * goertzel(wav.left, first, count, frequency * ratio, wav.rate)) << frequency * ratio;
}

// ---- A compressed SoundFont ----------------------------------------------------------------

void put16(Bytes& out, unsigned value) { out.insert(out.end(), {uint8_t(value), uint8_t(value >> 8)}); }
void put32(Bytes& out, uint32_t value) { put16(out, value & 0xFFFF), put16(out, value >> 16); }
void put_name(Bytes& out, const char* name) {
    char field[20] = {};
    std::strncpy(field, name, sizeof field - 1);
    out.insert(out.end(), field, field + sizeof field);
}
Bytes chunk(const char* id, const Bytes& body) {
    Bytes out(id, id + 4);
    put32(out, static_cast<uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    if (body.size() & 1) out.push_back(0);
    return out;
}
Bytes list(const char* id, const char* type, const std::vector<Bytes>& chunks) {
    Bytes body(type, type + 4);
    for (const Bytes& part : chunks) body.insert(body.end(), part.begin(), part.end());
    return chunk(id, body);
}

// The CRC of an Ogg page (polynomial 0x04C11DB7, no reflection), its own CRC field zeroed.
uint32_t ogg_crc(const uint8_t* bytes, size_t count) {
    uint32_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc ^= uint32_t{bytes[i]} << 24;
        for (int bit = 0; bit < 8; ++bit) crc = crc & 0x80000000u ? crc << 1 ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

// Makes the last page of an Ogg stream say the stream holds `frames` frames, as a damaged or
// hostile file may.
void forge_frame_count(Bytes& ogg, uint64_t frames) {
    size_t last = 0;
    for (size_t at = 0; at + 4 <= ogg.size(); ++at)
        if (std::memcmp(ogg.data() + at, "OggS", 4) == 0) last = at;
    for (int i = 0; i < 8; ++i) ogg[last + 6 + static_cast<size_t>(i)] = static_cast<uint8_t>(frames >> (8 * i));
    std::memset(ogg.data() + last + 22, 0, 4);
    const uint32_t crc = ogg_crc(ogg.data() + last, ogg.size() - last);
    for (int i = 0; i < 4; ++i) ogg[last + 22 + static_cast<size_t>(i)] = static_cast<uint8_t>(crc >> (8 * i));
}

// What a test SoundFont holds besides its sine.
struct SoundFontExtras {
    // Program 1, an instrument without samples: choosing it leaves the sine to no program.
    bool silent_program = false;
    // Modulators in the sine instrument's global zone and again in its sine zone: the first
    // leaves velocity without effect on loudness, 63 more change nothing, and every later one is
    // that first one again making the note 96 dB quieter.
    size_t zone_modulators = 0;
    // More sample headers on the same stream, in zones of key 127 only: the first half with
    // the stream's range, the others each with a range of its own (the stream and 1, 2, 3 ...
    // bytes after it).
    size_t more_headers = 0;
    // What the last page of the stream says its length is, when not 0.
    uint64_t forged_frames = 0;
    // Every page's capture pattern spoilt: no decoder can read the stream.
    bool broken_stream = false;
};

Bytes modulator(unsigned source, unsigned destination, int amount) {
    Bytes out;
    put16(out, source), put16(out, destination), put16(out, static_cast<uint16_t>(amount)), put16(out, 0), put16(out, 0);
    return out;
}

// A SoundFont of version 3 with one program (bank 0, program 0) of one sample stored as Ogg
// Vorbis: a sine of `frequency` Hz, `seconds` long, unlooped, at its own pitch on note 69.
bool write_sine_soundfont(const std::string& path, double frequency, double seconds, const SoundFontExtras& extras = {}) {
    constexpr int rate = 44100;
    SF_INFO format{};
    format.samplerate = rate, format.channels = 1, format.format = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    SNDFILE* encoder = sf_open((path + ".ogg").c_str(), SFM_WRITE, &format);
    if (encoder == nullptr) return false;
    std::vector<float> sine(static_cast<size_t>(rate * seconds));
    for (size_t i = 0; i < sine.size(); ++i) sine[i] = 0.5f * static_cast<float>(std::sin(2 * M_PI * frequency * i / rate));
    sf_writef_float(encoder, sine.data(), static_cast<sf_count_t>(sine.size()));
    sf_close(encoder);
    Bytes ogg = read_file(path + ".ogg");
    if (extras.forged_frames != 0) forge_frame_count(ogg, extras.forged_frames);
    if (extras.broken_stream)
        for (size_t i = 0; i + 4 <= ogg.size(); ++i)
            if (std::memcmp(&ogg[i], "OggS", 4) == 0) ogg[i] = 'X';
    Bytes samples = ogg;
    samples.resize(ogg.size() + extras.more_headers);

    Bytes version, phdr, pbag, pmod(10), pgen, inst, ibag, imod, igen, shdr;
    put16(version, 3), put16(version, 1);
    const unsigned presets = extras.silent_program ? 2 : 1;
    put_name(phdr, "Sine"), put16(phdr, 0), put16(phdr, 0), put16(phdr, 0), put32(phdr, 0), put32(phdr, 0), put32(phdr, 0);
    if (extras.silent_program)
        put_name(phdr, "Quiet"), put16(phdr, 1), put16(phdr, 0), put16(phdr, 1), put32(phdr, 0), put32(phdr, 0), put32(phdr, 0);
    put_name(phdr, "EOP"), put16(phdr, 0), put16(phdr, 0), put16(phdr, presets), put32(phdr, 0), put32(phdr, 0), put32(phdr, 0);
    for (unsigned zone = 0; zone <= presets; ++zone) put16(pbag, zone), put16(pbag, 0);
    for (unsigned zone = 0; zone < presets; ++zone) put16(pgen, 41), put16(pgen, zone);  // instrument `zone`
    put32(pgen, 0);

    // The sine instrument: a global zone with only modulators, the sine's zone, then one zone
    // per further header.
    std::vector<Bytes> zone_mods;
    for (size_t i = 0; i < extras.zone_modulators; ++i) {
        if (i == 0) zone_mods.push_back(modulator(0x0002, 48, 0));  // velocity, linear: attenuation
        else if (i < 64) zone_mods.push_back(modulator(0x0080 | (64 + static_cast<unsigned>(i) % 34), 8, 0));
        else zone_mods.push_back(modulator(0x0002, 48, 960));
    }
    unsigned zones = 0, gens = 0, mods = 0;
    auto add_zone = [&](std::initializer_list<std::pair<unsigned, unsigned>> generators, bool with_mods) {
        put16(ibag, gens), put16(ibag, mods);
        for (auto [gen, amount] : generators) put16(igen, gen), put16(igen, amount), ++gens;
        if (with_mods)
            for (const Bytes& mod : zone_mods) imod.insert(imod.end(), mod.begin(), mod.end()), ++mods;
        ++zones;
    };
    if (extras.zone_modulators > 0) add_zone({}, true);
    add_zone({{53, 0}}, true);  // sample 0
    for (size_t i = 0; i < extras.more_headers; ++i) add_zone({{43, 127 | 127 << 8}, {53, static_cast<unsigned>(i + 1)}}, false);
    const unsigned sine_zones = zones;
    put_name(inst, "Sine"), put16(inst, 0);
    if (extras.silent_program) put_name(inst, "Quiet"), put16(inst, sine_zones);
    put_name(inst, "EOI"), put16(inst, sine_zones);
    put16(ibag, gens), put16(ibag, mods);
    put32(igen, 0);
    imod.resize(imod.size() + 10);

    auto header = [&](const char* name, uint32_t end) {
        put_name(shdr, name), put32(shdr, 0), put32(shdr, end), put32(shdr, 0), put32(shdr, 0), put32(shdr, rate);
        shdr.push_back(69), shdr.push_back(0), put16(shdr, 0), put16(shdr, 0x11);  // mono, Ogg Vorbis
    };
    header("Sine", static_cast<uint32_t>(ogg.size()));
    for (size_t i = 0; i < extras.more_headers; ++i)
        header("Again", static_cast<uint32_t>(ogg.size() + (i < extras.more_headers / 2 ? 0 : i + 1)));
    put_name(shdr, "EOS"), shdr.resize(shdr.size() + 26);
    const Bytes file = list("RIFF", "sfbk",
                            {list("LIST", "INFO", {chunk("ifil", version), chunk("isng", Bytes{'E', 'M', 'U', '8', '0', '0', '0', 0}),
                                                   chunk("INAM", Bytes{'S', 'i', 'n', 'e', 0, 0})}),
                             list("LIST", "sdta", {chunk("smpl", samples)}),
                             list("LIST", "pdta", {chunk("phdr", phdr), chunk("pbag", pbag), chunk("pmod", pmod), chunk("pgen", pgen),
                                                   chunk("inst", inst), chunk("ibag", ibag), chunk("imod", imod), chunk("igen", igen),
                                                   chunk("shdr", shdr)})});
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    return out.good();
}

// ---- Raw bytes -------------------------------------------------------------------------------

class RawMidi : public testing::Test {
protected:
    void SetUp() override {
        reset_settings();
        path = dir.file("out.raw");
        use_output("raw:" + path);
    }
    void TearDown() override {
        app::midi_close();
        unsetenv("VXMIDI");
        reset_settings();
    }
    // The bytes written since the last call.
    Bytes new_bytes() {
        Bytes all = read_file(path);
        Bytes fresh(all.begin() + static_cast<long>(seen), all.end());
        seen = all.size();
        return fresh;
    }
    const vxtest::TempDir dir{"vxmidi"};
    std::string path;
    size_t seen = 0;
};

TEST_F(RawMidi, OpenSendsProgramChangeZeroOnChannelZeroFirst) {
    app::midi_channel = 5;  // the opening message ignores the current channel
    EXPECT_EQ(app::midi_open(), 0);
    EXPECT_STREQ(app::midi_backend_name(), "raw");
    EXPECT_EQ(new_bytes(), (Bytes{0xC0, 0x00}));
}

TEST_F(RawMidi, NotesCarryChannelOctaveAndVelocity) {
    ASSERT_EQ(app::midi_open(), 0);
    new_bytes();
    EXPECT_EQ(app::midi_note_on(0), app::midi_sent);
    EXPECT_EQ(app::midi_note_off(0), app::midi_sent);
    EXPECT_EQ(new_bytes(), (Bytes{0x90, 36, 127, 0x80, 36, 127})) << "octave 3, key 0: note 36";

    app::midi_channel = 9;
    app::note_velocity = 64;
    app::midi_note_on(33);
    app::midi_note_off(33);
    EXPECT_EQ(new_bytes(), (Bytes{0x99, 69, 64, 0x89, 69, 64})) << "percussion channel";

    app::midi_channel = 15;
    app::octave_base = 0;
    app::note_velocity = 0;  // a Note On with velocity 0 still goes out as it is
    app::midi_note_on(0);
    app::note_velocity = 100;  // the release carries the velocity of the moment
    app::midi_note_off(0);
    EXPECT_EQ(new_bytes(), (Bytes{0x9F, 0, 0, 0x8F, 0, 100}));
}

TEST_F(RawMidi, NotesAbove127StaySilentOnAndOff) {
    ASSERT_EQ(app::midi_open(), 0);
    new_bytes();
    app::octave_base = 6;
    EXPECT_EQ(app::midi_note_on(55), app::midi_sent);
    EXPECT_EQ(app::midi_note_off(55), app::midi_sent);
    EXPECT_EQ(new_bytes(), (Bytes{0x90, 127, 127, 0x80, 127, 127}));
    for (int key = 56; key <= 59; ++key) {
        EXPECT_EQ(app::midi_note_on(key), app::midi_out_of_range) << key;
        EXPECT_EQ(app::midi_note_off(key), app::midi_out_of_range) << key;
    }
    EXPECT_EQ(new_bytes(), Bytes{});
    // Values the sliders never give must not reach the stream either.
    app::octave_base = 3;
    app::note_velocity = 128;
    EXPECT_EQ(app::midi_note_on(0), app::midi_out_of_range);
    app::note_velocity = 127;
    app::midi_channel = 16;
    EXPECT_EQ(app::midi_note_on(0), app::midi_out_of_range);
    EXPECT_EQ(app::midi_program_change(0), app::midi_out_of_range);
    app::midi_channel = 0;
    EXPECT_EQ(app::midi_program_change(128), app::midi_out_of_range);
    EXPECT_EQ(new_bytes(), Bytes{});
}

TEST_F(RawMidi, ProgramChangeIsTwoBytesOnTheCurrentChannel) {
    ASSERT_EQ(app::midi_open(), 0);
    new_bytes();
    app::midi_channel = 4;
    EXPECT_EQ(app::midi_program_change(127), app::midi_sent);
    app::midi_channel = 0;
    app::midi_program_change(0);
    EXPECT_EQ(new_bytes(), (Bytes{0xC4, 0x7F, 0xC0, 0x00}));
}

TEST_F(RawMidi, NothingBeforeOpenOrAfterClose) {
    EXPECT_EQ(app::midi_note_on(0), app::midi_not_open);
    EXPECT_EQ(app::midi_program_change(1), app::midi_not_open);
    ASSERT_EQ(app::midi_open(), 0);
    app::midi_note_on(10);  // still sounding at close: its Note Off goes out first, once
    EXPECT_EQ(app::midi_close(), -1);
    EXPECT_EQ(app::midi_close(), -1);
    EXPECT_EQ(app::midi_backend_name(), nullptr);
    EXPECT_EQ(app::midi_note_off(10), app::midi_not_open);
    EXPECT_EQ(app::midi_program_change(1), app::midi_not_open);
    EXPECT_EQ(new_bytes(), (Bytes{0xC0, 0x00, 0x90, 46, 127, 0x80, 46, 127}));
}

// A FIFO at `path` with a reader that never blocks, as a synthesiser reading the pipe would
// hold it open; -1 when either cannot be made.
int fifo_reader(const std::string& path) {
    if (mkfifo(path.c_str(), 0600) != 0) return -1;
    return open(path.c_str(), O_RDONLY | O_NONBLOCK);
}

TEST(RawMidiFifo, EachMessageIsInTheFifoWhenTheCallReturns) {
    reset_settings();
    const vxtest::TempDir dir{"vxmidi"};
    std::string fifo = dir.file("midi.fifo");
    int reader = fifo_reader(fifo);
    ASSERT_GE(reader, 0);
    use_output("raw:" + fifo);
    ASSERT_EQ(app::midi_open(), 0);
    auto take = [&] {
        Bytes got(16);
        ssize_t n = read(reader, got.data(), got.size());
        got.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return got;
    };
    EXPECT_EQ(take(), (Bytes{0xC0, 0x00}));
    app::midi_note_on(24);
    EXPECT_EQ(take(), (Bytes{0x90, 60, 127}));
    app::midi_note_off(24);
    EXPECT_EQ(take(), (Bytes{0x80, 60, 127}));
    app::midi_program_change(73);
    EXPECT_EQ(take(), (Bytes{0xC0, 73}));
    app::midi_close();
    close(reader);
    unsetenv("VXMIDI");
}

// A synthesiser that stops reading for a moment fails the Note Off; the close sends it again
// once the pipe has room, so the note does not hang on in the synthesiser.
TEST(RawMidiFifo, ANoteOffThatCouldNotLeaveIsSentAgainAtClose) {
    reset_settings();
    const vxtest::TempDir dir{"vxmidi"};
    std::string fifo = dir.file("midi.fifo");
    int reader = fifo_reader(fifo);
    ASSERT_GE(reader, 0);
    fcntl(reader, F_SETPIPE_SZ, 4096);
    use_output("raw:" + fifo);
    ASSERT_EQ(app::midi_open(), 0);
    ASSERT_EQ(app::midi_note_on(10), app::midi_sent);
    int filled = 0;
    while (filled < 100000 && app::midi_program_change(5) == app::midi_sent) ++filled;
    ASSERT_LT(filled, 100000) << "the pipe never filled";
    EXPECT_EQ(app::midi_note_off(10), app::midi_send_failed);
    Bytes drained(8192);
    while (read(reader, drained.data(), drained.size()) > 0) {
    }
    app::midi_close();
    Bytes last(16);
    last.resize(static_cast<size_t>(std::max<ssize_t>(0, read(reader, last.data(), last.size()))));
    EXPECT_EQ(last, (Bytes{0x80, 46, 127}));
    close(reader);
    unsetenv("VXMIDI");
}

// ---- Standard MIDI File --------------------------------------------------------------------

TEST(SmfRecorder, FileIsCompleteAfterEveryMessageWithRisingTimes) {
    reset_settings();
    const vxtest::TempDir dir{"vxmidi"};
    std::string path = dir.file("take.mid");
    use_output("smf:" + path);
    ASSERT_EQ(app::midi_open(), 0);

    Smf smf = parse_smf(read_file(path));
    ASSERT_EQ(smf.error, "");
    EXPECT_EQ(smf.format, 0);
    EXPECT_EQ(smf.tracks, 1);
    EXPECT_EQ(smf.division, 1000);
    ASSERT_GE(smf.events.size(), 3u);
    EXPECT_EQ(smf.events[0].bytes, (Bytes{0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20}))
        << "500,000 us a quarter: a tick is 0.5 ms";
    EXPECT_EQ(smf.channel_messages(), std::vector<Bytes>{(Bytes{0xC0, 0x00})});

    std::vector<Bytes> sent = {{0xC0, 0x00}};
    app::midi_note_on(33);
    sent.push_back({0x90, 69, 127});
    vx::rt_sleep_ms(60);
    app::midi_note_off(33);
    sent.push_back({0x80, 69, 127});
    app::midi_channel = 9;
    app::midi_program_change(5);
    sent.push_back({0xC9, 5});
    for (int key = 0; key < 40; ++key) {
        app::midi_note_on(key);
        sent.push_back({0x99, static_cast<uint8_t>(36 + key), 127});
        smf = parse_smf(read_file(path));
        ASSERT_EQ(smf.error, "") << "after " << sent.size() << " messages";
        EXPECT_EQ(smf.channel_messages(), sent);
    }
    // The close ends every note still started, so the file leaves none hanging.
    app::midi_close();
    for (int key = 0; key < 40; ++key) sent.push_back({0x89, static_cast<uint8_t>(36 + key), 127});
    EXPECT_EQ(parse_smf(read_file(path)).channel_messages(), sent);

    int64_t previous = -1;
    for (const SmfEvent& event : smf.events) {
        EXPECT_GE(event.tick, previous);
        previous = event.tick;
    }
    // Note On at events[2], Note Off at [3]; 60 ms apart are at least 120 ticks.
    EXPECT_GE(smf.events[3].tick - smf.events[2].tick, 120);
    unsetenv("VXMIDI");
}

TEST(SmfRecorder, KilledProgramLeavesAReadableFile) {
    const vxtest::TempDir dir{"vxmidi"};
    std::string path = dir.file("killed.mid");
    std::string vxmidi = "smf:" + path;
    vxtest::ChildProcess child;
    ASSERT_TRUE(child_start(child, {"VXMIDI=" + vxmidi, "DISPLAY="}));
    EXPECT_EQ(child_ask(child, "open"), 0);
    EXPECT_EQ(child_ask(child, "on 10"), 0);
    EXPECT_EQ(child_ask(child, "program 40"), 0);
    kill(child.pid(), SIGKILL);
    EXPECT_EQ(child.wait_exit(), 128 + SIGKILL);
    Smf smf = parse_smf(read_file(path));
    EXPECT_EQ(smf.error, "");
    EXPECT_EQ(smf.channel_messages(),
              (std::vector<Bytes>{{0xC0, 0x00}, {0x90, 46, 127}, {0xC0, 40}}));
}

// ---- Embedded synthesiser ------------------------------------------------------------------

// A program's samples are loaded when it is chosen: a note played at once on a channel that
// never had a program, after the slider ran across twenty programs none played before, waits
// for the last one and sounds with it, at its pitch and full level.
TEST(FluidSynthOutput, FirstNoteOfAFreshlyChosenProgramSoundsAtItsPitch) {
    reset_settings();
    const vxtest::TempDir dir{"vxmidi"};
    std::string wav_path = dir.file("note.wav");
    // Small as it is, its programs are loaded when chosen, as those of any large SoundFont.
    use_output("fluidsynth:soundfont=" + std::string(vxtest::test_soundfont) +
               ",synth.dynamic-sample-loading=1,audio.driver=file,audio.file.name=" + wav_path);
    ASSERT_EQ(app::midi_open(), 0);
    EXPECT_STREQ(app::midi_backend_name(), "fluidsynth");
    app::midi_channel = 3;
    for (int program = 60; program <= 79; ++program)  // the last, "Okarina": nearly a sine
        EXPECT_EQ(app::midi_program_change(program), app::midi_sent);
    EXPECT_EQ(app::midi_note_on(33), app::midi_sent);  // octave 3: note 69, 440 Hz
    EXPECT_TRUE(wait_for_note(wav_path, 0.5)) << "no note in the file";
    app::midi_note_off(33);
    vx::rt_sleep_ms(100);
    app::midi_close();
    unsetenv("VXMIDI");

    Wav wav = parse_wav(read_file(wav_path));
    ASSERT_EQ(wav.bits, 16);
    ASSERT_GT(wav.rate, 0);
    // The file starts before the SoundFont is read; the note, once it and its program are.
    const size_t first = onset_of(wav) + static_cast<size_t>(wav.rate) / 10;
    const size_t count = static_cast<size_t>(wav.rate) * 3 / 10;
    ASSERT_GE(wav.left.size(), first + count) << "no note, or too short a one, in the file";
    int peak = 0;
    for (int16_t sample : wav.left) peak = std::max(peak, std::abs(static_cast<int>(sample)));
    // About 7,000 at full level; the library's own gain of 0.2 would give a fifth of that.
    EXPECT_GT(rms_of(wav, first, count), 3000) << "too quiet: the level is not full";
    EXPECT_LT(peak, 32700) << "clipped";
    expect_pitch(wav, first, count, 440);
}

// Plays note 69 of `font` (the sine's own pitch) through the output for `seconds`, doing
// `meanwhile` 600 ms into it, and returns what was rendered.
template <typename During>
Wav render_held_note(const vxtest::TempDir& dir, const std::string& font, double seconds, During meanwhile) {
    reset_settings();
    const std::string wav_path = dir.file("note.wav");
    use_output("fluidsynth:soundfont=" + font + ",audio.driver=file,audio.file.name=" + wav_path);
    EXPECT_EQ(app::midi_open(), 0);
    EXPECT_EQ(app::midi_note_on(33), app::midi_sent);  // octave 3: note 69, the sample's own pitch
    EXPECT_TRUE(wait_for_note(wav_path, 0.6)) << "no note in the file";
    meanwhile();
    EXPECT_TRUE(wait_for_note(wav_path, seconds)) << "the file stopped growing";
    app::midi_note_off(33);
    vx::rt_sleep_ms(100);
    app::midi_close();
    unsetenv("VXMIDI");
    return parse_wav(read_file(wav_path));
}

// The rendered note keeps the level it had 0.1 s in, and its pitch, at each of `times`
// (seconds after its onset).
void expect_note_holds(const Wav& wav, std::initializer_list<double> times) {
    ASSERT_GT(wav.rate, 0);
    const size_t onset = onset_of(wav), count = static_cast<size_t>(wav.rate) * 3 / 10;
    const double last = std::max(times);
    ASSERT_GE(wav.left.size(), onset + static_cast<size_t>((last + 0.3) * wav.rate)) << "no note, or too short a one";
    const double level = rms_of(wav, onset + static_cast<size_t>(wav.rate) / 10, count);
    EXPECT_GT(level, 1000);
    for (double at : times) {
        const size_t first = onset + static_cast<size_t>(at * wav.rate);
        EXPECT_NEAR(rms_of(wav, first, count), level, level / 10) << at << " s into the note";
        expect_pitch(wav, first, count, 440);
    }
}

// A compressed SoundFont's samples are decoded in two parts, the first half second when the
// program is chosen and the rest while the first note plays it: a held note goes on past the
// join at the same level and pitch.
TEST(FluidSynthOutput, NoteOfACompressedSoundFontHoldsPastItsFirstHalfSecond) {
    const vxtest::TempDir dir{"vxmidi"};
    const std::string font = dir.file("sine.sf3");
    ASSERT_TRUE(write_sine_soundfont(font, 440, 4));
    expect_note_holds(render_held_note(dir, font, 2.5, [] {}), {0.1, 0.35, 1.0, 1.6});
}

// A held note reads its sample for as long as it sounds, however many notes played the sample
// meanwhile, and after its program has left the channel.
TEST(FluidSynthOutput, HeldNoteOutlastsOtherNotesOnItsSampleAndItsProgram) {
    const vxtest::TempDir dir{"vxmidi"};
    const std::string font = dir.file("sine.sf3");
    ASSERT_TRUE(write_sine_soundfont(font, 440, 8, {.silent_program = true}));
    const Wav wav = render_held_note(dir, font, 6, [] {
        for (int key = 34; key < 58; ++key) {  // a run up the keys on the same sample
            app::midi_note_on(key);
            vx::rt_sleep_ms(15);
            app::midi_note_off(key);
        }
        app::midi_program_change(1);
        // A note elsewhere after them, as a player plays on.
        app::midi_channel = 1;
        app::midi_program_change(1);
        vx::rt_sleep_ms(500);
        app::midi_note_on(40);
        app::midi_note_off(40);
    });
    expect_note_holds(wav, {1.6, 3.5, 5.4});
}

// Modulators past the 64th of a zone are not read, as the library reads them: each Note On
// compares a global zone's modulators with a local one's, and 15,000 of each would keep it for
// most of a second. The ones past the 64th here would make the note 96 dB quieter.
TEST(FluidSynthOutput, NoteOfAZoneWithThousandsOfModulatorsPlaysAsWithItsFirst64) {
    const vxtest::TempDir dir{"vxmidi"};
    const std::string font = dir.file("sine.sf3");
    ASSERT_TRUE(write_sine_soundfont(font, 440, 4, {.zone_modulators = 15000}));
    expect_note_holds(render_held_note(dir, font, 2.0, [] {}), {0.5, 1.2});
}

// A stream whose last page claims far more frames than it holds (2^36: 128 GiB as 16-bit
// samples, 0 as an unsigned count) plays what it holds.
TEST(FluidSynthOutput, NoteOfAStreamThatOverstatesItsLengthPlaysWhatItHolds) {
    const vxtest::TempDir dir{"vxmidi"};
    const std::string font = dir.file("sine.sf3");
    ASSERT_TRUE(write_sine_soundfont(font, 440, 4, {.forged_frames = uint64_t{1} << 36}));
    expect_note_holds(render_held_note(dir, font, 2.5, [] {}), {0.35, 1.0, 1.6});
}

size_t resident_bytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6)) * 1024;
    return 0;
}

// What the loader writes on stderr while it follows the programs chosen on `synth`.
std::string said_while_following(fluid_synth_t* synth, const std::string& errors) {
    fflush(stderr);
    const int saved = dup(2), file = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(file, 2);
    const std::atomic<bool> cancelled{false};
    EXPECT_TRUE(app::sf3_follow_programs(synth, cancelled));
    fflush(stderr);
    dup2(saved, 2);
    close(file), close(saved);
    const Bytes said = read_file(errors);
    return {said.begin(), said.end()};
}

// A SoundFont none of whose samples decodes says so, once, instead of playing silence.
TEST(CompressedSoundFont, AFileWhoseEverySampleIsBrokenSaysSoOnce) {
    const vxtest::TempDir dir{"vxmidi"};
    const std::string font = dir.file("broken.sf3");
    ASSERT_TRUE(write_sine_soundfont(font, 440, 1, {.broken_stream = true}));
    fluid_settings_t* settings = new_fluid_settings();
    fluid_settings_setint(settings, "synth.dynamic-sample-loading", 1);
    fluid_synth_t* synth = new_fluid_synth(settings);
    fluid_synth_add_sfloader(synth, app::new_sf3_loader(settings));
    ASSERT_NE(fluid_synth_sfload(synth, font.c_str(), 1), FLUID_FAILED);
    const std::string first = said_while_following(synth, dir.file("first.txt"));
    EXPECT_NE(first.find("cannot play SoundFont " + font), std::string::npos) << first;
    fluid_synth_program_change(synth, 0, 0);
    const std::string again = said_while_following(synth, dir.file("again.txt"));
    EXPECT_EQ(again.find("cannot play SoundFont"), std::string::npos) << again;
    delete_fluid_synth(synth);
    delete_fluid_settings(settings);
}

// 20,000 sample headers on one two-second stream, half of them on the same bytes, the others
// each on a range of its own: choosing their program decodes the same bytes once and of the
// rest what fits the loader's bound (64 MiB of beginnings), says on stderr that the rest stays
// silent, and the note plays.
TEST(CompressedSoundFont, ProgramOfThousandsOfHeadersOnOneStreamIsCutToTheBound) {
    const vxtest::TempDir dir{"vxmidi"};
    const std::string font = dir.file("many.sf3"), errors = dir.file("errors.txt");
    ASSERT_TRUE(write_sine_soundfont(font, 440, 2, {.more_headers = 20000}));
    fluid_settings_t* settings = new_fluid_settings();
    fluid_settings_setint(settings, "synth.dynamic-sample-loading", 1);
    fluid_settings_setint(settings, "synth.reverb.active", 0);
    fluid_settings_setint(settings, "synth.chorus.active", 0);
    fluid_synth_t* synth = new_fluid_synth(settings);
    fluid_synth_add_sfloader(synth, app::new_sf3_loader(settings));
    ASSERT_NE(fluid_synth_sfload(synth, font.c_str(), 1), FLUID_FAILED);

    const size_t before = resident_bytes();
    const std::string said = said_while_following(synth, errors);
    const size_t grown = resident_bytes() - before;
    // A sanitizer's allocator keeps freed blocks and pads live ones: its figure says nothing.
    if (!vxtest::sanitized)
        EXPECT_LT(grown, size_t{96} << 20) << "resident memory grew by " << (grown >> 20) << " MiB";
    EXPECT_NE(said.find("SoundFont " + font), std::string::npos) << said;
    EXPECT_NE(said.find("stay silent"), std::string::npos) << said;

    fluid_synth_noteon(synth, 0, 69, 127);
    Wav wav;
    wav.rate = 44100;
    wav.left.resize(static_cast<size_t>(wav.rate) * 4 / 10 * 2);
    fluid_synth_write_s16(synth, wav.rate * 4 / 10, wav.left.data(), 0, 2, wav.left.data(), 1, 2);
    for (size_t i = 0; i < wav.left.size() / 2; ++i) wav.left[i] = wav.left[2 * i];
    wav.left.resize(wav.left.size() / 2);
    EXPECT_GT(rms_of(wav, wav.left.size() / 4, wav.left.size() / 2), 1000);
    expect_pitch(wav, wav.left.size() / 4, wav.left.size() / 2, 440);
    delete_fluid_synth(synth);
    delete_fluid_settings(settings);
}

// ---- Open failures -------------------------------------------------------------------------

TEST(MidiOpenFailure, UnknownOutputNameListsTheBackEnds) {
    ChildEnd end = failed_open("midiman");
    expect_failure_report(end, "unknown MIDI output \"midiman\"");
    for (const char* name : {"alsa", "fluidsynth", "jack[:PORT]", "smf:PATH", "raw:PATH"})
        EXPECT_NE(end.err.find(name), std::string::npos) << name;
}

TEST(MidiOpenFailure, AlsaWithoutSequencerFailsCleanly) {
    if (access("/dev/snd/seq", F_OK) == 0) GTEST_SKIP() << "this machine has an ALSA sequencer";
    ChildEnd end = failed_open("alsa");
    expect_failure_report(end, "no ALSA sequencer");
    EXPECT_EQ(end.err.find("ALSA lib"), std::string::npos) << "alsa-lib spoke: " << end.err;
    expect_failure_report(failed_open("alsa:128:0"), "no ALSA sequencer");
}

TEST(MidiOpenFailure, JackWithoutServerFailsAndStartsNone) {
    const std::string name = "vxtest-none-" + std::to_string(getpid());
    setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
    ChildEnd end = failed_open("jack:receiver:midi_in");
    unsetenv("JACK_DEFAULT_SERVER");
    expect_failure_report(end, "no JACK server is running");
    jack_client_t* client = vxtest::open_jack_client(name, "vxtest-probe");
    EXPECT_EQ(client, nullptr) << "a server was started";
    if (client != nullptr) jack_client_close(client);
}

TEST(MidiOpenFailure, NoSoundAnywhereNamesEveryBackEndTried) {
    if (access("/dev/snd", F_OK) == 0) GTEST_SKIP() << "this machine has sound devices";
    ChildEnd end = failed_open("");  // VXMIDI unset
    expect_failure_report(end, "alsa: no ALSA sequencer");
    EXPECT_NE(end.err.find("fluidsynth: "), std::string::npos) << end.err;
    EXPECT_EQ(end.err.find("ALSA lib"), std::string::npos) << end.err;
}

TEST(MidiOpenFailure, BadFileAndSynthArgumentsAreReported) {
    expect_failure_report(failed_open("raw:/nonexistent/dir/out"), "No such file or directory");
    expect_failure_report(failed_open("raw"), "raw needs a path");
    expect_failure_report(failed_open("smf:/nonexistent/dir/out.mid"), "No such file");
    expect_failure_report(failed_open("smf:/dev/full"), "No space left");
    expect_failure_report(failed_open("fluidsynth:soundfont=/nonexistent.sf2"),
                          "cannot load SoundFont /nonexistent.sf2");
    expect_failure_report(failed_open("fluidsynth:no.such.setting=1"),
                          "no setting \"no.such.setting\"");
    expect_failure_report(failed_open("fluidsynth:synth.gain=loud"), "cannot take \"loud\"");
    expect_failure_report(failed_open("fluidsynth:audio.driver=file,gain"), "not key=value");
    expect_failure_report(failed_open("fluidsynth:audio.driver=nosuch"), "driver 'nosuch'");
    expect_failure_report(failed_open("fluidsynth:audio.period-size=0"), "period-size cannot take \"0\"");
    expect_failure_report(failed_open("fluidsynth:audio.periods=few"), "periods cannot take \"few\"");
}

TEST(MidiOpenFailure, FifoWithoutReaderIsReportedAfterAShortWait) {
    const vxtest::TempDir dir{"vxmidi"};
    std::string fifo = dir.file("nobody.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    expect_failure_report(failed_open("raw:" + fifo), "no process is reading it");
}

}  // namespace

// The child's commands run from main, after every static object of the libraries is built:
// the failure box may open a screen, whose routine tables are such objects.
// ---- The loader's fuzz targets on their saved inputs ---------------------------------------
// Each input runs through the same entry as under the fuzzer (tests/fuzz/README.md).

#define LLVMFuzzerTestOneInput fuzz_sf3_program_entry
#include "tests/fuzz/fuzz_sf3_program.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput fuzz_sf3_sample_entry
#include "tests/fuzz/fuzz_sf3_sample.cpp"
#undef LLVMFuzzerTestOneInput
#include "tests/fuzz/replay.h"

TEST(FuzzReplay, Sf3ProgramCorpus) {
    EXPECT_GE(vx_fuzz::replay_corpus("sf3_program", fuzz_sf3_program_entry), 10u);
}

TEST(FuzzReplay, Sf3SampleCorpus) {
    EXPECT_GE(vx_fuzz::replay_corpus("sf3_sample", fuzz_sf3_sample_entry), 8u);
}

int main(int argc, char** argv) {
    if (std::getenv(child_variable) != nullptr) run_child_commands();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
