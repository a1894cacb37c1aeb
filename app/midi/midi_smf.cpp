// Standard MIDI File recorder: every message with its time since the open, in one track that
// is a complete, readable file after every message (a killed program leaves a valid file).
#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "app/midi/midi.h"
#include "app/midi/midi_backend.h"

namespace app {

namespace {

// 1000 ticks per quarter note at 500,000 microseconds per quarter note: one tick is 0.5 ms.
constexpr int ticks_per_quarter = 1000;
constexpr int tempo_us_per_quarter = 500000;
constexpr int64_t us_per_tick = tempo_us_per_quarter / ticks_per_quarter;

constexpr off_t track_length_offset = 18;  // after "MThd", its 6 bytes and "MTrk"
constexpr off_t track_data_offset = 22;
constexpr uint8_t end_of_track[4] = {0x00, 0xFF, 0x2F, 0x00};  // delta 0, meta 2F, length 0

struct SmfRecorder {
    int fd = -1;
    off_t end_of_track_offset = 0;  // where the closing end-of-track event starts
    uint32_t track_length = 0;
    int64_t last_tick = 0;
    std::chrono::steady_clock::time_point start;
};

SmfRecorder recorder;

void put_be32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

// Variable-length quantity: 7 bits a byte, most significant first, bit 7 set on all but the
// last. Deltas are capped at the format's 28 bits (about 37 hours at 0.5 ms a tick).
int put_delta(uint8_t* out, int64_t delta) {
    uint32_t value = delta > 0x0FFFFFFF ? 0x0FFFFFFF : static_cast<uint32_t>(delta < 0 ? 0 : delta);
    uint8_t reversed[4];
    int count = 0;
    do {
        reversed[count++] = static_cast<uint8_t>(value & 0x7F);
        value >>= 7;
    } while (value != 0);
    for (int i = 0; i < count; ++i)
        out[i] = static_cast<uint8_t>(reversed[count - 1 - i] | (i + 1 < count ? 0x80 : 0));
    return count;
}

bool write_all_at(int fd, const uint8_t* bytes, size_t count, off_t offset) {
    while (count > 0) {
        ssize_t written = ::pwrite(fd, bytes, count, offset);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        count -= static_cast<size_t>(written);
        offset += written;
    }
    return true;
}

}  // namespace

int smf_open(const char* arg, int flags) {
    if (arg == nullptr || *arg == '\0') {
        if (!(flags & midi_open_probe)) midi_set_reason("smf needs a path: VXMIDI=smf:PATH");
        return 1;
    }
    // A file at its size limit would end the process with SIGXFSZ instead of failing a write.
    midi_ignore_signal(SIGXFSZ);
    int fd = ::open(arg, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        midi_set_reason("MIDI file %s: %s", arg, std::strerror(errno));
        return 1;
    }
    // Format 0, one track, the tempo, then the end of the track.
    uint8_t head[] = {'M', 'T', 'h', 'd', 0, 0, 0, 6,  0, 0, 0, 1,
                      static_cast<uint8_t>(ticks_per_quarter >> 8),
                      static_cast<uint8_t>(ticks_per_quarter & 0xFF),
                      'M', 'T', 'r', 'k', 0, 0, 0, 0,
                      0x00, 0xFF, 0x51, 0x03,
                      static_cast<uint8_t>(tempo_us_per_quarter >> 16),
                      static_cast<uint8_t>(tempo_us_per_quarter >> 8),
                      static_cast<uint8_t>(tempo_us_per_quarter),
                      0x00, 0xFF, 0x2F, 0x00};
    const uint32_t track_length = sizeof head - track_data_offset;
    put_be32(head + track_length_offset, track_length);
    if (!write_all_at(fd, head, sizeof head, 0)) {
        midi_set_reason("MIDI file %s: %s", arg, std::strerror(errno ? errno : ENOSPC));
        ::close(fd);
        return 1;
    }
    recorder.fd = fd;
    recorder.track_length = track_length;
    recorder.end_of_track_offset = static_cast<off_t>(sizeof head - sizeof end_of_track);
    recorder.last_tick = 0;
    recorder.start = std::chrono::steady_clock::now();
    return 0;
}

int smf_send(const uint8_t* bytes, int count) {
    if (recorder.fd < 0 || count <= 0 || count > 3) return midi_send_failed;
    auto elapsed = std::chrono::steady_clock::now() - recorder.start;
    int64_t tick = std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count() /
                   us_per_tick;
    if (tick < recorder.last_tick) tick = recorder.last_tick;

    // The event goes where the end-of-track event was and brings its own; then the track
    // length is raised. Between the two writes a reader sees the old length.
    uint8_t event[4 + 3 + sizeof end_of_track];
    int length = put_delta(event, tick - recorder.last_tick);
    std::memcpy(event + length, bytes, static_cast<size_t>(count));
    length += count;
    std::memcpy(event + length, end_of_track, sizeof end_of_track);
    length += static_cast<int>(sizeof end_of_track);

    const int event_bytes = length - static_cast<int>(sizeof end_of_track);
    uint8_t new_length[4];
    put_be32(new_length, recorder.track_length + static_cast<uint32_t>(event_bytes));
    if (!write_all_at(recorder.fd, event, static_cast<size_t>(length),
                      recorder.end_of_track_offset) ||
        !write_all_at(recorder.fd, new_length, sizeof new_length, track_length_offset)) {
        // Disk full or the file gone: put the old ending back (it overwrites bytes that were
        // already there, so it needs no new space) and drop what a part write added.
        uint8_t old_length[4];
        put_be32(old_length, recorder.track_length);
        write_all_at(recorder.fd, end_of_track, sizeof end_of_track, recorder.end_of_track_offset);
        write_all_at(recorder.fd, old_length, sizeof old_length, track_length_offset);
        if (::ftruncate(recorder.fd, recorder.end_of_track_offset +
                                         static_cast<off_t>(sizeof end_of_track)) != 0) {
            // Nothing more to do: the declared track still ends at the old end-of-track.
        }
        return midi_send_failed;
    }
    recorder.end_of_track_offset += event_bytes;
    recorder.track_length += static_cast<uint32_t>(event_bytes);
    recorder.last_tick = tick;
    return midi_sent;
}

void smf_close() {
    if (recorder.fd >= 0) ::close(recorder.fd);
    recorder = SmfRecorder{};
}

}  // namespace app
