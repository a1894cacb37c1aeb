// libFuzzer target: one sample's bytes, taken as its Ogg Vorbis stream, through the loader's
// decoding as a program choice and a note drive it: its beginning, its rest, its record for the
// library, and letting go of each again. Built with the loader's source, whose decoding is not
// public: thousands of runs a second where a synth in the way would allow a few hundred.
#include "app/synth/sf3_soundfont.cpp"

#include <array>
#include <vector>

#include <sys/mman.h>

namespace {

// One font of one sample, its file a memory file, made once.
app::Font& fuzz_sf3_sample_font() {
    static app::Font& font = *[] {
        auto* made = new app::Font;
        made->path = "fuzz";
        made->file = memfd_create("vxfuzz-sf3-sample", MFD_CLOEXEC);
        made->sample_count = 1;
        made->samples = std::make_unique<app::Sample[]>(1);
        for (int level = FLUID_PANIC; level <= FLUID_DBG; ++level) fluid_set_log_function(level, nullptr, nullptr);
        return made;
    }();
    return font;
}

// Each Ogg page's checksum made right again: the decoder drops a page whose checksum is wrong,
// so that nearly every change would otherwise end at the first page.
void fuzz_sf3_sample_fix_pages(std::vector<uint8_t>& bytes) {
    static const auto table = [] {
        std::array<uint32_t, 256> made{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t crc = i << 24;
            for (int bit = 0; bit < 8; ++bit) crc = crc & 0x80000000u ? crc << 1 ^ 0x04C11DB7u : crc << 1;
            made[i] = crc;
        }
        return made;
    }();
    for (size_t at = 0; at + 27 <= bytes.size(); ++at) {
        if (std::memcmp(&bytes[at], "OggS", 4) != 0) continue;
        const size_t segments = bytes[at + 26];
        if (at + 27 + segments > bytes.size()) break;
        size_t length = 27 + segments;
        for (size_t i = 0; i < segments; ++i) length += bytes[at + 27 + i];
        length = std::min(length, bytes.size() - at);
        std::memset(&bytes[at + 22], 0, 4);
        uint32_t crc = 0;
        for (size_t i = 0; i < length; ++i) crc = crc << 8 ^ table[(crc >> 24) ^ bytes[at + i]];
        for (int i = 0; i < 4; ++i) bytes[at + 22 + static_cast<size_t>(i)] = static_cast<uint8_t>(crc >> (8 * i));
        at += length - 1;
    }
}

void fuzz_sf3_sample_check(bool holds) {
    if (!holds) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace app;
    app::Font& font = fuzz_sf3_sample_font();
    std::vector<uint8_t> stream(data, data + size);
    fuzz_sf3_sample_fix_pages(stream);
    if (font.file < 0 || ftruncate(font.file, 0) != 0 ||
        pwrite(font.file, stream.data(), size, 0) != static_cast<ssize_t>(size))
        return 0;
    font.chunk_at = 0, font.chunk_bytes = size;
    Sample& sample = font.samples[0];
    sample.start = 0, sample.end = static_cast<uint32_t>(size), sample.compressed = true;
    // The rate decides the beginning's length: a byte of the input picks one, up to one past
    // the cap of the beginning's rate.
    sample.rate = size > 0 ? 1000 + data[size / 2] * 400 : 8000;
    sample.loop_start = 100, sample.loop_end = 40000, sample.root = 60;
    std::lock_guard<std::mutex> guard(font.lock);
    sample.needed = true;
    if (decode_head(font, sample) == decoded) {
        make_record(font, 0);
        fuzz_sf3_sample_check(sample.head_frames <= sample.frames && sample.frames <= sample_frames_max &&
                              sample.mapped >= sample.frames * 2 && font.head_bytes <= heads_budget_bytes);
        decode_rest(font, sample);
        fuzz_sf3_sample_check(sample.state.load() == sample_whole && font.rest_bytes <= rests_budget_bytes);
        // The rest, then the whole, let go as once silent, and the beginning decoded again.
        if (sample.head_frames < sample.frames) let_go_of_rest(font, sample);
        sample.needed = false;
        let_go_unused(font, Clock::now());
        fuzz_sf3_sample_check(sample.state.load() == sample_none && font.heads == 0 && font.head_bytes == 0 &&
                              font.rest_bytes == 0);
        sample.needed = true;
        fuzz_sf3_sample_check(decode_head(font, sample) == decoded);
        sample.needed = false;
        let_go_unused(font, Clock::now());
    }
    // Back to a sample never decoded, for the next input.
    if (fluid_sample_t* record = sample.fluid.exchange(nullptr)) delete_fluid_sample(record);
    if (sample.data != nullptr) munmap(sample.data, sample.mapped);
    sample.data = nullptr, sample.frames = sample.head_frames = sample.mapped = 0;
    sample.recorded = false;
    sample.state.store(sample_none);
    font.heads = font.head_bytes = font.rest_bytes = 0;
    return 0;
}
