// The ALSA back end against a sequencer kept in this test program: the program's own
// definitions of the sequencer calls below take the place of the library's, so the events the
// back end makes, the port it finds and connects, and what happens when the sequencer goes away
// while the keyboard is played can be checked on a machine without a sequencer device.
// Client and port records and error texts still come from the real library.
#include <gtest/gtest.h>

#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/midi/midi.h"
#include "app/midi/midi_backend.h"
#include "app/keyboard/piano.h"
#include "display/input.h"
#include "tests/support/fake_driver.h"
#include "tests/support/keyboard.h"

namespace {

struct Port {
    int client, port;
    unsigned caps, type;
};

// The sequencer: its clients' ports, what this program connected and sent.
struct Sequencer {
    int open_error = 0;
    int send_error = 0;  // nonzero: the sequencer is gone, every send fails with it
    std::vector<Port> ports;
    std::string client_name;
    std::vector<snd_seq_addr_t> connections;
    std::vector<snd_seq_event_t> events;
    int opened = 0, closed = 0;
} seq;

int handle_storage;
snd_seq_t* const handle = reinterpret_cast<snd_seq_t*>(&handle_storage);
constexpr int self_client = 129;
constexpr unsigned writable = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;

}  // namespace

extern "C" {

int snd_seq_open(snd_seq_t** out, const char*, int, int) {
    if (seq.open_error) return seq.open_error;
    ++seq.opened;
    *out = handle;
    return 0;
}

int snd_seq_close(snd_seq_t* h) {
    if (h == handle) ++seq.closed;
    return 0;
}

int snd_seq_client_id(snd_seq_t*) { return self_client; }

int snd_seq_set_client_name(snd_seq_t*, const char* name) {
    seq.client_name = name;
    return 0;
}

int snd_seq_create_simple_port(snd_seq_t*, const char*, unsigned int, unsigned int) { return 0; }

int snd_seq_query_next_client(snd_seq_t*, snd_seq_client_info_t* info) {
    const int after = snd_seq_client_info_get_client(info);
    int next = -1;
    for (const Port& p : seq.ports)
        if (p.client > after && (next < 0 || p.client < next)) next = p.client;
    if (next < 0) return -ENOENT;
    snd_seq_client_info_set_client(info, next);
    return 0;
}

int snd_seq_query_next_port(snd_seq_t*, snd_seq_port_info_t* info) {
    // The port field is a byte: the -1 that starts a walk reads 255, and the next port is
    // the first at or after that plus one, modulo 256, as the kernel takes it.
    const int client = snd_seq_port_info_get_client(info), from = (snd_seq_port_info_get_port(info) + 1) & 0xFF;
    const Port* next = nullptr;
    for (const Port& p : seq.ports)
        if (p.client == client && p.port >= from && (!next || p.port < next->port)) next = &p;
    if (!next) return -ENOENT;
    snd_seq_port_info_set_port(info, next->port);
    snd_seq_port_info_set_capability(info, next->caps);
    snd_seq_port_info_set_type(info, next->type);
    return 0;
}

int snd_seq_parse_address(snd_seq_t*, snd_seq_addr_t* addr, const char* text) {
    int client = 0, port = 0;
    if (std::sscanf(text, "%d:%d", &client, &port) != 2) return -EINVAL;
    addr->client = static_cast<unsigned char>(client);
    addr->port = static_cast<unsigned char>(port);
    return 0;
}

int snd_seq_connect_to(snd_seq_t*, int, int client, int port) {
    for (const Port& p : seq.ports)
        if (p.client == client && p.port == port && (p.caps & writable) == writable) {
            seq.connections.push_back({static_cast<unsigned char>(client), static_cast<unsigned char>(port)});
            return 0;
        }
    return -ENOENT;
}

int snd_seq_event_output_direct(snd_seq_t*, snd_seq_event_t* ev) {
    if (seq.send_error) return seq.send_error;
    seq.events.push_back(*ev);
    return static_cast<int>(sizeof *ev);
}

}  // extern "C"

namespace {

using vxtest::fake;

struct AlsaOutput : ::testing::Test {
    void* sheet = nullptr;
    bool started = false;

    void SetUp() override {
        seq = Sequencer{};
        seq.ports = {{14, 0, writable, SND_SEQ_PORT_TYPE_MIDI_GENERIC},  // a MIDI Through: not a synthesiser
                     {128, 0, SND_SEQ_PORT_CAP_READ, SND_SEQ_PORT_TYPE_APPLICATION},
                     {128, 1, writable, SND_SEQ_PORT_TYPE_SYNTHESIZER | SND_SEQ_PORT_TYPE_MIDI_GM},
                     {130, 2, writable, SND_SEQ_PORT_TYPE_MIDI_GENERIC}};
        vxtest::use_fake_driver();
        vxtest::reset_keyboard_settings();
        fake.mouse_ok = true;
        fake.mouse_buttons = 0;
        vx::key_queue_clear();
    }
    void TearDown() override {
        vxtest::end_keyboard(sheet, started);
    }
    void start(const char* vxmidi) {
        setenv("VXMIDI", vxmidi, 1);
        // The input's thread would poll this sequencer, which has no descriptors to poll.
        setenv("VXMIDI_IN", "none", 1);
        ASSERT_TRUE(app::app_start(&sheet));
        started = true;
    }
    void pointer(int x, int y, int buttons) {
        fake.mouse_x = x;
        fake.mouse_y = y;
        fake.mouse_buttons = buttons;
        EXPECT_FALSE(app::app_pass(sheet)) << "the keyboard keeps running";
    }
};

std::string describe(const snd_seq_event_t& e) {
    char text[96];
    std::snprintf(text, sizeof text, "type %d channel %d note %d velocity %d value %d", e.type, e.data.note.channel,
                  e.data.note.note, e.data.note.velocity, e.data.control.value);
    return text;
}

void expect_note(const snd_seq_event_t& e, int type, int note) {
    SCOPED_TRACE(describe(e));
    EXPECT_EQ(e.type, type);
    EXPECT_EQ(e.data.note.channel, 0);
    EXPECT_EQ(e.data.note.note, note);
    EXPECT_EQ(e.data.note.velocity, 127);
    EXPECT_EQ(e.dest.client, SND_SEQ_ADDRESS_SUBSCRIBERS) << "to whoever is connected";
    EXPECT_EQ(e.queue, SND_SEQ_QUEUE_DIRECT) << "played at once, not scheduled";
}

}  // namespace

TEST_F(AlsaOutput, PlaysIntoTheFirstSynthesiserAsSequencerEvents) {
    start("alsa");
    EXPECT_EQ(seq.client_name, "vxpiano");
    ASSERT_EQ(seq.connections.size(), 1u);
    EXPECT_EQ(seq.connections[0].client, 128);
    EXPECT_EQ(seq.connections[0].port, 1) << "the synthesiser port, not the Through or a read-only port";

    pointer(20, 150, 1);  // C of the lowest octave: note 36
    pointer(20, 150, 0);
    ASSERT_EQ(seq.events.size(), 3u);
    EXPECT_EQ(seq.events[0].type, SND_SEQ_EVENT_PGMCHANGE);
    EXPECT_EQ(seq.events[0].data.control.channel, 0);
    EXPECT_EQ(seq.events[0].data.control.value, 0);
    expect_note(seq.events[1], SND_SEQ_EVENT_NOTEON, 36);
    expect_note(seq.events[2], SND_SEQ_EVENT_NOTEOFF, 36);
    app::app_stop(sheet);
    started = false;
    EXPECT_EQ(seq.closed, 1);
}

TEST_F(AlsaOutput, ANamedPortIsConnectedAndAMissingOneIsReported) {
    start("alsa:130:2");
    ASSERT_EQ(seq.connections.size(), 1u);
    EXPECT_EQ(seq.connections[0].client, 130);
    EXPECT_EQ(seq.connections[0].port, 2);
    app::app_stop(sheet);
    started = false;

    seq.connections.clear();
    EXPECT_NE(app::alsa_open("131:0", 0), 0) << "no such client";
    EXPECT_NE(std::string(app::midi_reason()).find("131:0"), std::string::npos) << app::midi_reason();
    EXPECT_TRUE(seq.connections.empty());
    EXPECT_EQ(seq.closed, seq.opened) << "the failed open leaves no client behind";
    EXPECT_EQ(app::alsa_send(std::vector<uint8_t>{0x90, 60, 100}.data(), 3), app::midi_send_failed) << "nothing is open";
}

// The synthesiser leaves: the back end's subscription goes with it and the sequencer takes the
// events for nobody. The sequencer itself goes (its device or module removed): every send fails.
// Either way the keyboard goes on drawing and answering, and plays again when a sequencer does.
TEST_F(AlsaOutput, TheKeyboardKeepsAnsweringWhenTheDestinationOrTheSequencerGoes) {
    start("alsa");
    const uint32_t resting = vxtest::screen_pixel(20, 150);
    seq.ports.erase(seq.ports.begin() + 2);  // the synthesiser's client ends
    pointer(20, 150, 1);
    EXPECT_NE(vxtest::screen_pixel(20, 150), resting) << "the key shows pressed";
    pointer(20, 150, 0);
    EXPECT_EQ(seq.events.size(), 3u);

    seq.send_error = -ENODEV;
    for (int i = 0; i < 3; ++i) {
        pointer(44, 150, 1);  // D
        EXPECT_NE(vxtest::screen_pixel(44, 150), vxtest::screen_pixel(20, 150)) << "pressed, round " << i;
        pointer(44, 150, 0);
        EXPECT_EQ(vxtest::screen_pixel(44, 150), resting) << "resting again, round " << i;
    }
    EXPECT_EQ(seq.events.size(), 3u);

    seq.send_error = 0;
    pointer(68, 150, 1);  // E
    pointer(68, 150, 0);
    ASSERT_EQ(seq.events.size(), 5u);
    expect_note(seq.events[3], SND_SEQ_EVENT_NOTEON, 40);
    expect_note(seq.events[4], SND_SEQ_EVENT_NOTEOFF, 40);
}
