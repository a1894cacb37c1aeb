// What the input routes (ALSA sequencer, JACK) share with midi_input.cpp: the queue each route
// fills from its own thread and the program's thread empties, the byte parser, and the wake-up.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "app/midi/midi_backend.h"

namespace app {

// A source of input: an ALSA sequencer client number (0..191), or the JACK port.
constexpr uint8_t jack_source = 255;
// The real-time priority of the threads that pass input on, where they may have one: below the
// renderer's, since what they pass on is only heard at its next block.
constexpr int input_priority = 40;

// One writer (the route's thread: the sequencer's poll, or the JACK process cycle) and one
// reader (the program's thread); lock-free, so the JACK cycle never waits on the program.
class InputQueue {
public:
    // The writer's side. A full queue drops the message, but never a Note Off of a note it
    // let through: that one is kept as a bit and taken as a Note Off all the same.
    void push(uint8_t status, uint8_t data1, uint8_t data2, uint8_t source) {
        const uint8_t kind = status & 0xF0;
        const bool on = kind == 0x90 && data2 != 0, off = kind == 0x80 || (kind == 0x90 && data2 == 0);
        const uint32_t head = head_.load(std::memory_order_relaxed);
        if (head - tail_.load(std::memory_order_acquire) >= size) {
            if (off && let_through_[data1]) {
                lost_offs_[data1 / 64].fetch_or(uint64_t{1} << (data1 % 64), std::memory_order_release);
                let_through_[data1] = false;
            }
            return;
        }
        if (on) let_through_[data1] = true;
        if (off) let_through_[data1] = false;
        words_[head % size] = status | uint32_t{data1} << 8 | uint32_t{data2} << 16 | uint32_t{source} << 24;
        head_.store(head + 1, std::memory_order_release);
    }
    // The source went away (unplugged, disconnected, its server gone): its notes end.
    void source_gone(uint8_t source) {
        gone_[source / 64].fetch_or(uint64_t{1} << (source % 64), std::memory_order_release);
    }

    // The reader's side: every message queued so far, as (status, data1, data2, source).
    template <typename Each>
    void take(Each&& each) {
        uint32_t tail = tail_.load(std::memory_order_relaxed);
        const uint32_t head = head_.load(std::memory_order_acquire);
        for (; tail != head; ++tail) {
            const uint32_t word = words_[tail % size];
            each(static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word >> 16),
                 static_cast<uint8_t>(word >> 24));
        }
        tail_.store(tail, std::memory_order_release);
    }
    // Notes whose Note Off found the queue full, and sources gone, since the last call.
    std::array<uint64_t, 2> take_lost_offs() {
        return {lost_offs_[0].exchange(0, std::memory_order_acquire), lost_offs_[1].exchange(0, std::memory_order_acquire)};
    }
    std::array<uint64_t, 4> take_gone() {
        std::array<uint64_t, 4> gone;
        for (int i = 0; i < 4; ++i) gone[i] = gone_[i].exchange(0, std::memory_order_acquire);
        return gone;
    }
    // While no route writes: starts empty.
    void clear() {
        head_.store(0);
        tail_.store(0);
        let_through_.fill(false);
        take_lost_offs();
        take_gone();
    }

private:
    // About a second of a dense MIDI file played into the port, in 16 KiB.
    static constexpr uint32_t size = 4096;
    std::array<uint32_t, size> words_{};
    std::atomic<uint32_t> head_{0}, tail_{0};
    std::array<bool, 128> let_through_{};  // the writer's: a Note On queued, its Note Off not yet
    std::atomic<uint64_t> lost_offs_[2] = {};
    std::atomic<uint64_t> gone_[4] = {};
};

extern InputQueue alsa_input_queue;
extern InputQueue jack_input_queue;

// Wakes the passing thread, which passes the JACK queue on; callable from any thread, the JACK
// cycle too (one write to an event counter, no lock).
void midi_input_wake();
// Passes on what `queue` holds on the calling thread, its one reader (the ALSA route's, which
// may take locks, unlike the JACK cycle): a message waits for no other thread.
void midi_input_take(InputQueue& queue);

// Raw MIDI bytes into whole channel messages: running status; system real-time bytes skipped
// wherever they fall; SysEx, system common messages and data bytes with no status before them
// dropped.
class MidiParser {
public:
    // True when `byte` completes a message: then out holds it and *length is 2 or 3.
    bool feed(uint8_t byte, uint8_t out[3], int* length) {
        if (byte >= 0xF8) return false;
        if (byte >= 0x80) {
            // A system common message or SysEx ends running status; their data bytes go nowhere.
            status_ = byte < 0xF0 ? byte : 0;
            have_ = 0;
            return false;
        }
        if (status_ == 0) return false;
        data_[have_++] = byte;
        const int needed = midi_message_length(status_) - 1;
        if (have_ < needed) return false;
        out[0] = status_;
        out[1] = data_[0];
        out[2] = needed > 1 ? data_[1] : 0;
        *length = needed + 1;
        have_ = 0;
        return true;
    }

private:
    uint8_t status_ = 0;
    uint8_t data_[2] = {0, 0};
    int have_ = 0;
};

// The routes. Each open reports on stderr what it could not do and returns false when the
// route is not there (no sequencer, no server); the close ends its thread or client.
bool alsa_input_open(const char* sources);
void alsa_input_close();
bool jack_input_open(const char* ports);
void jack_input_close();
// On the passing thread after each wake-up: connects physical ports registered since, closes a
// client whose server went and opens it again when the server is back. Returns when to be
// called again at the latest, in milliseconds, or -1 for only at the next wake-up.
int jack_input_tend();

}  // namespace app
