// MIDI messages from the program's thread to the thread that renders the synth, played before
// its next block: the program's thread never holds the synth's lock, so it cannot keep the
// real-time renderer waiting while it is itself preempted. One writer, one reader.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include <fluidsynth.h>

namespace app {

class SynthQueue {
public:
    bool full() const {
        return head_.load(std::memory_order_relaxed) - tail_.load(std::memory_order_acquire) >= size;
    }
    bool empty() const {
        return head_.load(std::memory_order_acquire) == tail_.load(std::memory_order_acquire);
    }
    // The writer's side; the caller makes room first (full()).
    void push(const uint8_t* bytes, int count) {
        const uint32_t head = head_.load(std::memory_order_relaxed);
        uint32_t word = bytes[0];
        if (count > 1) word |= static_cast<uint32_t>(bytes[1]) << 8;
        if (count > 2) word |= static_cast<uint32_t>(bytes[2]) << 16;
        words_[head % size] = word;
        head_.store(head + 1, std::memory_order_release);
    }
    // The reader's side: everything queued so far, into the synth.
    void play(fluid_synth_t* synth) {
        uint32_t tail = tail_.load(std::memory_order_relaxed);
        const uint32_t head = head_.load(std::memory_order_acquire);
        for (; tail != head; ++tail) {
            const uint32_t word = words_[tail % size];
            const int status = word & 0xFF, data1 = (word >> 8) & 0x7F, data2 = (word >> 16) & 0x7F;
            const int channel = status & 0x0F;
            switch (status & 0xF0) {
                case 0x90: fluid_synth_noteon(synth, channel, data1, data2); break;
                case 0x80: fluid_synth_noteoff(synth, channel, data1); break;
                case 0xC0: fluid_synth_program_change(synth, channel, data1); break;
                default: break;
            }
        }
        tail_.store(tail, std::memory_order_release);
    }

private:
    static constexpr uint32_t size = 256;
    std::array<uint32_t, size> words_{};
    std::atomic<uint32_t> head_{0}, tail_{0};
};

// A Note On with a velocity: the message that must start a stopped output.
inline bool starts_sound(const uint8_t* bytes, int count) {
    return (bytes[0] & 0xF0) == 0x90 && count > 2 && bytes[2] > 0;
}

}  // namespace app
