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
        words_[head % size] = word_of(bytes, count);
        if ((bytes[0] & 0xF0) == 0x90 && count > 2 && bytes[2] > 0) last_note_on_.store(head + 1, std::memory_order_release);
        head_.store(head + 1, std::memory_order_release);
    }
    // Whether a key the synth was played is still down (its Note On went in, its Note Off not
    // yet): the renderer asks this instead of the synth's voice count, which takes the synth's
    // lock, held for milliseconds while another program is selected.
    bool keys_down() const { return keys_down_.load(std::memory_order_relaxed) > 0; }
    // Whether every Note On queued so far has gone into the synth. A stream never stops for
    // silence with one waiting, so this comes true within a block or two.
    bool note_ons_taken() const {
        const uint32_t taken = tail_.load(std::memory_order_acquire);
        return static_cast<int32_t>(taken - last_note_on_.load(std::memory_order_acquire)) >= 0;
    }
    // The reader's side: everything queued so far, into the synth; without `note_ons` the Note
    // Ons are left out.
    void play(fluid_synth_t* synth, bool note_ons = true) {
        uint32_t tail = tail_.load(std::memory_order_relaxed);
        const uint32_t head = head_.load(std::memory_order_acquire);
        for (; tail != head; ++tail) apply(synth, words_[tail % size], note_ons);
        tail_.store(tail, std::memory_order_release);
    }
    // While the output is away nothing renders and nothing reads the queue but this, called
    // where the output keeps its reader out: what is queued and this message go into the synth
    // at once, in order and without waiting, Note Ons left out: a note played in silence would
    // sound when the output comes back, long after its click, and perhaps with no end. Note
    // Offs and Program Changes still count, so the output comes back playing the program shown
    // and no key that is not held.
    void play_while_away(fluid_synth_t* synth, const uint8_t* bytes, int count) {
        play(synth, false);
        apply(synth, word_of(bytes, count), false);
    }
    // The output just went away: what it left queued goes in as above and every voice stops,
    // and the reverb's and chorus's tails are rendered away here (about 1.4 s at 48 kHz, a few
    // milliseconds of work), so the output comes back silent instead of going on with sound
    // cut off seconds before.
    void lose(fluid_synth_t* synth) {
        play(synth, false);
        fluid_synth_all_sounds_off(synth, -1);
        float scratch[2 * 1024];
        for (int block = 0; block < 64; ++block) fluid_synth_write_float(synth, 1024, scratch, 0, 2, scratch, 1, 2);
    }

private:
    static uint32_t word_of(const uint8_t* bytes, int count) {
        uint32_t word = bytes[0];
        if (count > 1) word |= static_cast<uint32_t>(bytes[1]) << 8;
        if (count > 2) word |= static_cast<uint32_t>(bytes[2]) << 16;
        return word;
    }
    void apply(fluid_synth_t* synth, uint32_t word, bool note_ons) {
        const int status = word & 0xFF, data1 = (word >> 8) & 0x7F, data2 = (word >> 16) & 0x7F;
        const int channel = status & 0x0F;
        switch (status & 0xF0) {
            case 0x90:
                // A velocity of 0 is a Note Off.
                if (data2 == 0) {
                    key_up(channel, data1);
                    fluid_synth_noteoff(synth, channel, data1);
                } else if (note_ons) {
                    key_down(channel, data1);
                    fluid_synth_noteon(synth, channel, data1, data2);
                }
                break;
            case 0x80:
                key_up(channel, data1);
                fluid_synth_noteoff(synth, channel, data1);
                break;
            case 0xC0: fluid_synth_program_change(synth, channel, data1); break;
            // Controllers go in while the output is away too: a sustain pedal let go in the
            // silence must not hold the notes played when sound is back.
            case 0xA0: fluid_synth_key_pressure(synth, channel, data1, data2); break;
            case 0xB0: fluid_synth_cc(synth, channel, data1, data2); break;
            case 0xD0: fluid_synth_channel_pressure(synth, channel, data1); break;
            case 0xE0: fluid_synth_pitch_bend(synth, channel, data1 | data2 << 7); break;
            default: break;
        }
    }

    void key_down(int channel, int key) {
        if (down_[channel * 128 + key]) return;
        down_[channel * 128 + key] = true;
        keys_down_.store(keys_down_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    void key_up(int channel, int key) {
        if (!down_[channel * 128 + key]) return;
        down_[channel * 128 + key] = false;
        keys_down_.store(keys_down_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    }

    static constexpr uint32_t size = 256;
    std::array<uint32_t, size> words_{};
    std::atomic<uint32_t> head_{0}, tail_{0};
    std::atomic<uint32_t> last_note_on_{0};  // head_ just after the last Note On
    // Keys played down and not yet up, by whichever thread plays the queue (one at a time).
    std::array<bool, 16 * 128> down_{};
    std::atomic<int> keys_down_{0};
};

// Whether a rendered block is silence (`count` samples, `stride` apart): below about -100
// dBFS throughout, under a 16-bit step. With no key down either, a stream may stop once its
// effects have died away.
inline bool quiet_block(const float* samples, int count, int stride) {
    constexpr float quiet_level = 1e-5f;
    for (int i = 0; i < count; i += stride)
        if (samples[i] >= quiet_level || samples[i] <= -quiet_level) return false;
    return true;
}

// A Note On with a velocity: the message that must start a stopped output.
inline bool starts_sound(const uint8_t* bytes, int count) {
    return (bytes[0] & 0xF0) == 0x90 && count > 2 && bytes[2] > 0;
}

}  // namespace app
