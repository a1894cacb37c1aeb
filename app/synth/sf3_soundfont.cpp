// The .sf3 loader: the file's directory read as the library reads it, notes started through the
// library's voice interface as its own loader starts them, and samples decoded in two parts.
#include "app/synth/sf3_soundfont.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <sndfile.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app {

namespace {

using Clock = std::chrono::steady_clock;

// What is decoded of each sample when its program is chosen: what a first note plays while the
// rest is decoded, several hundred times faster than it plays. The rate is capped so that a
// header's rate cannot make a "beginning" of any length.
constexpr double head_seconds = 0.5;
constexpr uint32_t head_rate_max = 96000;
// How long the rest of a sample stays after its last voice ended, and how much of such rests
// stays at most: a run across the keyboard decodes one sample after another.
constexpr auto rest_kept = std::chrono::seconds(10);
constexpr size_t rest_budget_bytes = size_t{12} << 20;
// What a file can make us decode and keep, whatever it says: a sample's length (longer ones
// are cut there: over three minutes at 44.1 kHz), the beginnings held at once (a General MIDI
// font's sixteen programs need a few hundred) and the rests of sounding samples. Past these a
// file's samples stay silent and the user is told once.
constexpr size_t sample_frames_max = size_t{1} << 23;
constexpr size_t heads_max = 4096;
constexpr size_t heads_budget_bytes = size_t{64} << 20;
constexpr size_t rests_budget_bytes = size_t{128} << 20;
// What one Note On may do on the rendering thread, whatever the file holds: zones looked at
// and voices started (an ordinary note starts one to four).
constexpr size_t note_zones_max = 16384;
constexpr int note_voices_max = 64;
// The library keeps as many modulators per zone; later ones are ignored.
constexpr size_t zone_modulators_max = 64;
// How often a sample's rest or a left program is looked at again while a voice still plays it.
constexpr auto recheck_every = std::chrono::seconds(1);
// The library scales a zone's initial attenuation by this, as EMU's hardware does; the same
// here keeps programs as loud as with the library's loader.
constexpr float attenuation_factor = 0.4f;

// ---- The file's directory --------------------------------------------------------------

struct Zone {
    int key_lo = 0, key_hi = 128, vel_lo = 0, vel_hi = 128;
    std::array<float, GEN_LAST> value{};
    uint64_t given = 0;  // bit g: generator g is set in this zone
    int target = -1;     // its instrument (preset zones) or sample (instrument zones)
    std::vector<fluid_mod_t*> mods;

    bool has(int gen) const { return (given >> gen & 1) != 0; }
    bool covers(int key, int vel) const { return key_lo <= key && key <= key_hi && vel_lo <= vel && vel <= vel_hi; }
};

struct Instrument {
    Zone global;
    std::vector<Zone> zones;
};

struct Font;

struct Preset {
    std::string name;
    int bank = 0, program = 0;
    Zone global;
    std::vector<Zone> zones;
    Font* font = nullptr;
};

enum SampleState : int { sample_none, sample_head, sample_whole };

// A sample header, and for the first header of each range of the sample chunk (its `owner`)
// the decoded frames, which every header of the same range plays through a record of its own.
struct Sample {
    // From the sample header.
    char name[21] = {};
    uint32_t start = 0, end = 0;  // an Ogg stream's bytes in the sample chunk; frames for PCM
    uint32_t loop_start = 0, loop_end = 0;
    uint32_t rate = 0;
    int root = 60, correction = 0;
    bool compressed = false;
    bool broken = false;  // never playable: a ROM sample, an empty one, one outside the chunk
    size_t owner = 0;
    // The library's record of this header, over its owner's frames; made once, kept for the
    // font's life, since a voice holds it.
    std::atomic<fluid_sample_t*> fluid{nullptr};
    // The owner's, under Font::lock. The mapping lives as long as the font: pages let go read
    // as silence.
    int16_t* data = nullptr;
    size_t frames = 0, head_frames = 0, mapped = 0;
    bool needed = false;    // its program is on a channel
    bool recorded = false;  // records over its frames exist: their length stands
    uint64_t starts_seen = 0;
    Clock::time_point quiet_since{};
    // The owner's, shared with the rendering thread, which starts the voices.
    std::atomic<int> state{sample_none};
    std::atomic<bool> rest_wanted{false};
    std::atomic<uint64_t> starts{0};
    // Voices that may still read the frames: counted up before a note reads `state`, down once
    // the voice is seen to have ended (VoiceTable).
    std::atomic<int> users{0};
};

// The voices one synth started on the font's samples, one entry per voice of the synth (its
// voices live as long as the synth): which sample's frames it reads and under which note id.
// The rendering thread fills an entry without locks; a voice handed out again for a new note
// has ended its old one, so replacing an entry ends it, and the sample worker ends entries whose
// voice has stopped or plays another note. Either way exactly one of them counts it off.
struct VoiceEntry {
    std::atomic<fluid_voice_t*> voice{nullptr};  // set once
    std::atomic<uint64_t> use{0};                // (owner + 1) << 32 | note id; 0 when free
};

struct FontHandle;

struct Font {
    std::string path;
    int file = -1;
    uint64_t chunk_at = 0, chunk_bytes = 0;  // the sample chunk
    std::vector<Preset> presets;
    std::unordered_map<int, size_t> preset_index;  // bank << 7 | program
    std::vector<Instrument> instruments;
    std::unique_ptr<Sample[]> samples;
    size_t sample_count = 0;
    std::vector<fluid_mod_t*> mods;  // every zone's, freed with the font

    std::mutex lock;  // a sample's decoding and letting go, one thread at a time
    // Under `lock`.
    std::vector<FontHandle*> handles;  // whose voices the worker looks at
    size_t heads = 0, head_bytes = 0, rest_bytes = 0;
    size_t playable = 0;  // headers not broken
    bool decoded_any = false, said_cut = false, said_broken = false;
    sem_t wake;
    std::atomic<bool> stopping{false};
    std::thread worker;

    Font() { sem_init(&wake, 0, 0); }
    ~Font();
    const Preset* find(int bank, int program) const {
        auto found = preset_index.find(bank << 7 | program);
        return found == preset_index.end() ? nullptr : &presets[found->second];
    }
};

// One synth's view of a shared font.
struct FontHandle {
    std::shared_ptr<Font> font;
    fluid_sfont_t* sfont = nullptr;
    std::vector<fluid_preset_t*> presets;
    size_t next = 0;
    std::unique_ptr<VoiceEntry[]> voices;
    size_t voice_slots = 0;  // a power of two, at least twice the synth's polyphony
};

uint16_t u16(const unsigned char* at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }
int16_t s16(const unsigned char* at) { return static_cast<int16_t>(u16(at)); }
uint32_t u32(const unsigned char* at) { return u16(at) | static_cast<uint32_t>(u16(at + 2)) << 16; }

bool read_at(int file, uint64_t offset, void* into, size_t count) {
    auto* bytes = static_cast<unsigned char*>(into);
    while (count > 0) {
        const ssize_t got = pread(file, bytes, count, static_cast<off_t>(offset));
        if (got <= 0) return false;
        bytes += got, offset += static_cast<uint64_t>(got), count -= static_cast<size_t>(got);
    }
    return true;
}

// The directory's nine tables, each a run of fixed-size records.
struct Table {
    const unsigned char* at = nullptr;
    size_t count = 0, size = 0;
    const unsigned char* operator[](size_t index) const { return at + index * size; }
};

bool unused_generator(int gen) {
    return gen == 14 || gen == 18 || gen == 19 || gen == 20 || gen == 42 || gen == 49 || gen == 55 || gen > 58;
}
// Sample offsets, key and velocity overrides, loop mode, exclusive class and root key: an
// instrument's own, ignored in a preset.
bool instrument_only_generator(int gen) {
    switch (gen) {
        case GEN_STARTADDROFS: case GEN_ENDADDROFS: case GEN_STARTLOOPADDROFS: case GEN_ENDLOOPADDROFS:
        case GEN_STARTADDRCOARSEOFS: case GEN_ENDADDRCOARSEOFS: case GEN_STARTLOOPADDRCOARSEOFS:
        case GEN_KEYNUM: case GEN_VELOCITY: case GEN_ENDLOOPADDRCOARSEOFS: case GEN_SAMPLEMODE:
        case GEN_EXCLUSIVECLASS: case GEN_OVERRIDEROOTKEY:
            return true;
        default: return false;
    }
}

// A zone's generators as the library reads them: a key range only first, a velocity range only
// before anything else but a key range, nothing after the instrument (or sample), and of two
// of the same generator the later.
void read_generators(const Table& gens, size_t first, size_t last, bool preset_level, Zone& zone) {
    const int terminal = preset_level ? GEN_INSTRUMENT : GEN_SAMPLEID;
    int level = 0;
    for (size_t g = first; g < last; ++g) {
        const unsigned char* record = gens[g];
        const int gen = u16(record);
        if (gen == GEN_KEYRANGE) {
            if (level == 0) zone.key_lo = record[2], zone.key_hi = record[3], level = 1;
        } else if (gen == GEN_VELRANGE) {
            if (level <= 1) zone.vel_lo = record[2], zone.vel_hi = record[3], level = 2;
        } else if (gen == terminal) {
            zone.target = u16(record + 2);
            return;
        } else {
            level = 2;
            if (unused_generator(gen) || gen == GEN_INSTRUMENT || gen == GEN_SAMPLEID ||
                (preset_level && instrument_only_generator(gen)))
                continue;
            float value = s16(record + 2);
            if (gen == GEN_ATTENUATION) value *= attenuation_factor;
            zone.value[gen] = value;
            zone.given |= uint64_t{1} << gen;
        }
    }
}

// A modulator source's flags from its SoundFont bits; false for an unknown curve.
bool source_flags(unsigned source, int* flags) {
    *flags = (source & 0x80 ? FLUID_MOD_CC : FLUID_MOD_GC) |
             (source & 0x100 ? FLUID_MOD_NEGATIVE : FLUID_MOD_POSITIVE) |
             (source & 0x200 ? FLUID_MOD_BIPOLAR : FLUID_MOD_UNIPOLAR);
    static constexpr int curves[] = {FLUID_MOD_LINEAR, FLUID_MOD_CONCAVE, FLUID_MOD_CONVEX, FLUID_MOD_SWITCH};
    const unsigned curve = source >> 10;
    if (curve > 3) return false;
    *flags |= curves[curve];
    return true;
}

bool valid_source(int index, int flags) {
    if (flags & FLUID_MOD_CC)
        return !(index == 0 || index == 6 || (index >= 32 && index <= 63) || (index >= 98 && index <= 101) ||
                 index >= 120);
    return index == FLUID_MOD_NONE || index == FLUID_MOD_VELOCITY || index == FLUID_MOD_KEY ||
           index == FLUID_MOD_KEYPRESSURE || index == FLUID_MOD_CHANNELPRESSURE || index == FLUID_MOD_PITCHWHEEL ||
           index == FLUID_MOD_PITCHWHEELSENS;
}

// One modulator as the library takes it, or nullptr for one it drops.
fluid_mod_t* read_modulator(const unsigned char* record) {
    const unsigned source = u16(record), dest = u16(record + 2), amount_source = u16(record + 6);
    double amount = s16(record + 4);
    int flags1 = 0, flags2 = 0;
    const bool source_known = source_flags(source, &flags1);
    const bool known = source_flags(amount_source, &flags2) && source_known;  // both flags read
    const int source1 = source & 127, source2 = amount_source & 127;
    // Unknown curves and transforms silence it; no primary source gives nothing.
    if (!known || u16(record + 8) != 0) amount = 0;
    if (!(flags1 & FLUID_MOD_CC) && source1 == FLUID_MOD_NONE) amount = 0;
    if (!(flags2 & FLUID_MOD_CC) && source2 == FLUID_MOD_NONE) flags2 &= ~FLUID_MOD_BIPOLAR;
    if (dest >= GEN_LAST || !valid_source(source1, flags1) || !valid_source(source2, flags2)) return nullptr;
    fluid_mod_t* mod = new_fluid_mod();
    if (mod == nullptr) return nullptr;
    fluid_mod_set_source1(mod, source1, flags1);
    fluid_mod_set_source2(mod, source2, flags2);
    fluid_mod_set_dest(mod, static_cast<int>(dest));
    fluid_mod_set_amount(mod, amount);
    return mod;
}

// A zone's first modulators only, as the library reads them: each Note On compares a global
// zone's with a local one's, on the rendering thread.
void read_modulators(Font& font, const Table& mods, size_t first, size_t last, Zone& zone) {
    for (size_t m = first; m < std::min(last, first + zone_modulators_max); ++m) {
        fluid_mod_t* mod = read_modulator(mods[m]);
        if (mod == nullptr) continue;
        font.mods.push_back(mod);
        // Of two identical modulators in a zone the later stands.
        std::erase_if(zone.mods, [mod](fluid_mod_t* earlier) { return fluid_mod_test_identity(earlier, mod); });
        zone.mods.push_back(mod);
    }
}

// Zones of one preset or instrument: bags [first, last). The first zone without a target is
// the global one; any later one is dropped.
template <typename Owner>
bool read_zones(Font& font, const Table& bags, const Table& gens, const Table& mods, size_t first, size_t last,
                bool preset_level, size_t targets, Owner& owner) {
    if (first > last || last >= bags.count) return false;
    for (size_t bag = first; bag < last; ++bag) {
        const size_t gen_first = u16(bags[bag]), gen_last = u16(bags[bag + 1]);
        const size_t mod_first = u16(bags[bag] + 2), mod_last = u16(bags[bag + 1] + 2);
        if (gen_first > gen_last || gen_last > gens.count || mod_first > mod_last || mod_last > mods.count)
            return false;
        Zone zone;
        read_generators(gens, gen_first, gen_last, preset_level, zone);
        read_modulators(font, mods, mod_first, mod_last, zone);
        if (zone.target < 0) {
            if (bag == first) owner.global = std::move(zone);
        } else if (static_cast<size_t>(zone.target) < targets) {
            owner.zones.push_back(std::move(zone));
        }
    }
    return true;
}

// Finds the chunk `id` among those in [at, end); tolerates an odd size without its pad byte,
// as some .sf3 writers leave it out.
bool find_chunk(int file, uint64_t at, uint64_t end, const char* id, uint64_t* body, uint32_t* size) {
    while (at + 8 <= end) {
        unsigned char header[12];
        if (!read_at(file, at, header, 8)) return false;
        const uint32_t length = u32(header + 4);
        bool match = std::memcmp(header, id, 4) == 0;
        if (match && std::strlen(id) > 4) {  // "LISTtype"
            match = at + 12 <= end && read_at(file, at + 8, header + 8, 4) && std::memcmp(header + 8, id + 4, 4) == 0;
            if (match) return *body = at + 12, *size = length >= 4 ? length - 4 : 0, true;
        } else if (match) {
            return *body = at + 8, *size = length, true;
        }
        uint64_t next = at + 8 + length;
        unsigned char probe[4];
        auto chunk_id_at = [&](uint64_t offset) {
            return read_at(file, offset, probe, 4) &&
                   std::all_of(probe, probe + 4, [](unsigned char c) { return std::isalnum(c) || c == ' '; });
        };
        if ((length & 1) && !chunk_id_at(next)) ++next;
        at = next;
    }
    return false;
}

void read_samples(Font& font, const Table& headers) {
    font.sample_count = headers.count - 1;  // the last is the terminal record
    font.samples = std::make_unique<Sample[]>(font.sample_count);
    for (size_t i = 0; i < font.sample_count; ++i) {
        const unsigned char* record = headers[i];
        Sample& sample = font.samples[i];
        std::memcpy(sample.name, record, 20);
        sample.start = u32(record + 20), sample.end = u32(record + 24);
        sample.loop_start = u32(record + 28), sample.loop_end = u32(record + 32);
        sample.rate = u32(record + 36);
        sample.root = record[40] <= 127 ? record[40] : 60;
        sample.correction = static_cast<int8_t>(record[41]);
        const unsigned type = u16(record + 44);
        sample.compressed = (type & FLUID_SAMPLETYPE_OGG_VORBIS) != 0;
        const uint64_t bytes = sample.compressed ? sample.end : uint64_t{sample.end} * 2;
        // ROM samples, empty ones and ones outside the chunk are never played.
        sample.broken = (type & FLUID_SAMPLETYPE_ROM) != 0 || sample.end <= sample.start || sample.rate == 0 ||
                        bytes > font.chunk_bytes;
        font.playable += sample.broken ? 0 : 1;
    }
    // Headers of the same bytes share one decoding: a file may point thousands at one stream.
    std::map<std::tuple<uint32_t, uint32_t, bool>, size_t> first_of;
    for (size_t i = 0; i < font.sample_count; ++i) {
        Sample& sample = font.samples[i];
        sample.owner = first_of.try_emplace({sample.start, sample.end, sample.compressed}, i).first->second;
    }
}

// Reads the directory of a version 3 SoundFont; nullptr for any other file.
std::unique_ptr<Font> read_font(const char* path) {
    auto font = std::make_unique<Font>();
    font->path = path;
    font->file = open(path, O_RDONLY | O_CLOEXEC);
    struct stat about {};
    if (font->file < 0 || fstat(font->file, &about) != 0) return nullptr;
    const uint64_t file_end = static_cast<uint64_t>(about.st_size);
    unsigned char header[12];
    if (!read_at(font->file, 0, header, 12) || std::memcmp(header, "RIFF", 4) != 0 ||
        std::memcmp(header + 8, "sfbk", 4) != 0)
        return nullptr;
    uint64_t info = 0, sdta = 0, pdta = 0, at = 0;
    uint32_t info_size = 0, sdta_size = 0, pdta_size = 0, size = 0;
    unsigned char version[4];
    if (!find_chunk(font->file, 12, file_end, "LISTINFO", &info, &info_size) ||
        !find_chunk(font->file, info, info + info_size, "ifil", &at, &size) || size < 4 ||
        !read_at(font->file, at, version, 4) || u16(version) != 3)
        return nullptr;
    if (!find_chunk(font->file, 12, file_end, "LISTsdta", &sdta, &sdta_size) ||
        !find_chunk(font->file, sdta, std::min(file_end, sdta + sdta_size), "smpl", &font->chunk_at, &size) ||
        !find_chunk(font->file, 12, file_end, "LISTpdta", &pdta, &pdta_size) || pdta + pdta_size > file_end)
        return nullptr;
    font->chunk_bytes = std::min<uint64_t>(size, file_end - font->chunk_at);
    std::vector<unsigned char> directory(pdta_size);
    if (!read_at(font->file, pdta, directory.data(), directory.size())) return nullptr;

    // Each table ends in a terminal record; the header tables need one record more.
    static constexpr struct { const char* id; size_t size, least; } layout[] = {
        {"phdr", 38, 2}, {"pbag", 4, 2}, {"pmod", 10, 1}, {"pgen", 4, 1}, {"inst", 22, 2},
        {"ibag", 4, 2},  {"imod", 10, 1}, {"igen", 4, 1}, {"shdr", 46, 2}};
    Table tables[9];
    for (size_t t = 0; t < 9; ++t) {
        const unsigned char* base = directory.data();
        uint64_t offset = 0;
        uint32_t length = 0;
        while (offset + 8 <= directory.size() && std::memcmp(base + offset, layout[t].id, 4) != 0)
            offset += 8 + u32(base + offset + 4);
        if (offset + 8 <= directory.size()) length = u32(base + offset + 4);
        if (offset + 8 + length > directory.size() || length % layout[t].size != 0 ||
            length < layout[t].least * layout[t].size)
            return nullptr;
        tables[t] = Table{base + offset + 8, length / layout[t].size, layout[t].size};
    }
    const Table &phdr = tables[0], &pbag = tables[1], &pmod = tables[2], &pgen = tables[3], &inst = tables[4],
                &ibag = tables[5], &imod = tables[6], &igen = tables[7], &shdr = tables[8];
    read_samples(*font, shdr);
    font->instruments.resize(inst.count - 1);
    for (size_t i = 0; i + 1 < inst.count; ++i) {
        Instrument& instrument = font->instruments[i];
        if (!read_zones(*font, ibag, igen, imod, u16(inst[i] + 20), u16(inst[i + 1] + 20), false, font->sample_count,
                        instrument))
            return nullptr;
        std::erase_if(instrument.zones, [&](const Zone& zone) { return font->samples[zone.target].broken; });
    }
    font->presets.resize(phdr.count - 1);
    for (size_t i = 0; i + 1 < phdr.count; ++i) {
        Preset& preset = font->presets[i];
        const unsigned char* record = phdr[i];
        preset.name.assign(reinterpret_cast<const char*>(record), strnlen(reinterpret_cast<const char*>(record), 20));
        preset.program = u16(record + 20), preset.bank = u16(record + 22);
        preset.font = font.get();
        if (!read_zones(*font, pbag, pgen, pmod, u16(record + 24), u16(phdr[i + 1] + 24), true,
                        font->instruments.size(), preset))
            return nullptr;
        font->preset_index.emplace(preset.bank << 7 | preset.program, i);  // the first of a pair stands
    }
    return font;
}

// ---- Decoding ----------------------------------------------------------------------------

// An Ogg stream's bytes, read from the file as the decoder asks for them, through a window:
// the decoder asks for a few bytes at a time while it looks the stream over.
struct StreamBytes {
    int file = -1;
    uint64_t at_file = 0;
    sf_count_t size = 0, at = 0;
    sf_count_t window_at = 0, window_size = 0;
    unsigned char window[16384];
};
sf_count_t stream_length(void* data) { return static_cast<StreamBytes*>(data)->size; }
sf_count_t stream_seek(sf_count_t offset, int whence, void* data) {
    auto* stream = static_cast<StreamBytes*>(data);
    const sf_count_t base = whence == SEEK_CUR ? stream->at : whence == SEEK_END ? stream->size : 0;
    stream->at = std::clamp<sf_count_t>(base + offset, 0, stream->size);
    return stream->at;
}
sf_count_t stream_read(void* into, sf_count_t count, void* data) {
    auto* stream = static_cast<StreamBytes*>(data);
    count = std::clamp<sf_count_t>(count, 0, stream->size - stream->at);
    const auto from_file = [stream](void* to, sf_count_t bytes) {
        const ssize_t got = pread(stream->file, to, static_cast<size_t>(bytes),
                                  static_cast<off_t>(stream->at_file + static_cast<uint64_t>(stream->at)));
        return got > 0 ? static_cast<sf_count_t>(got) : 0;
    };
    if (count > static_cast<sf_count_t>(sizeof stream->window)) {
        const sf_count_t got = from_file(into, count);
        stream->at += got;
        return got;
    }
    if (stream->at < stream->window_at || stream->at + count > stream->window_at + stream->window_size) {
        stream->window_at = stream->at;
        stream->window_size = from_file(stream->window, std::min<sf_count_t>(sizeof stream->window, stream->size - stream->at));
    }
    const sf_count_t got = std::clamp<sf_count_t>(stream->window_at + stream->window_size - stream->at, 0, count);
    std::memcpy(into, stream->window + (stream->at - stream->window_at), static_cast<size_t>(got));
    stream->at += got;
    return got;
}
sf_count_t stream_tell(void* data) { return static_cast<StreamBytes*>(data)->at; }

// One sample's frames in order from the file: an Ogg Vorbis stream decoded by libsndfile, as
// the library's own loader decodes it, or 16-bit PCM read as it is. Under Font::lock.
class SampleReader {
public:
    SampleReader(Font& font, const Sample& sample) : font_(font), sample_(sample) {
        if (!sample.compressed) {
            claimed_ = sample.end - sample.start;
            return;
        }
        stream_.file = font.file;
        stream_.at_file = font.chunk_at + sample.start;
        stream_.size = static_cast<sf_count_t>(sample.end - sample.start);
        SF_VIRTUAL_IO io{stream_length, stream_seek, stream_read, nullptr, stream_tell};
        SF_INFO info{};
        decoder_ = sf_open_virtual(&io, SFM_READ, &info, &stream_);
        // The count comes from the stream's last page, which says what it likes: only what is
        // decoded is believed.
        if (decoder_ != nullptr && info.channels == 1 && info.frames > 0) claimed_ = static_cast<uint64_t>(info.frames);
    }
    ~SampleReader() {
        if (decoder_ != nullptr) sf_close(decoder_);
    }
    SampleReader(const SampleReader&) = delete;
    SampleReader& operator=(const SampleReader&) = delete;
    uint64_t claimed_frames() const { return claimed_; }
    // Reads up to `count` next frames into `into` (nullptr: past them); how many there were.
    size_t read(int16_t* into, size_t count) {
        int16_t scratch[4096];
        size_t done = 0;
        while (done < count) {
            const size_t step = into != nullptr ? count - done : std::min(count - done, std::size(scratch));
            int16_t* target = into != nullptr ? into + done : scratch;
            size_t got = 0;
            if (decoder_ != nullptr) {
                const sf_count_t frames = sf_readf_short(decoder_, target, static_cast<sf_count_t>(step));
                got = frames > 0 ? static_cast<size_t>(frames) : 0;
            } else if (!sample_.compressed) {
                const uint64_t at = font_.chunk_at + (uint64_t{sample_.start} + position_) * 2;
                const ssize_t bytes = pread(font_.file, target, step * 2, static_cast<off_t>(at));
                got = bytes > 0 ? static_cast<size_t>(bytes) / 2 : 0;
            }
            if (got == 0) break;
            position_ += got, done += got;
        }
        return done;
    }

private:
    Font& font_;
    const Sample& sample_;
    StreamBytes stream_;
    SNDFILE* decoder_ = nullptr;
    uint64_t claimed_ = 0;
    size_t position_ = 0;
};

size_t page_up(size_t bytes) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

size_t head_bytes_of(const Sample& sample) { return page_up(sample.head_frames * sizeof(int16_t)); }
size_t rest_bytes_of(const Sample& sample) { return (sample.frames - sample.head_frames) * sizeof(int16_t); }

// Gives the pages of frames [from, end) back; they read as silence until decoded again.
void let_go(Sample& sample, size_t from) {
    const size_t first = page_up(from * sizeof(int16_t));
    if (first < sample.mapped)
        madvise(reinterpret_cast<char*>(sample.data) + first, sample.mapped - first, MADV_DONTNEED);
}

void say_cut(Font& font) {
    if (font.said_cut) return;
    font.said_cut = true;
    std::fprintf(stderr,
                 "vxpiano: SoundFont %s needs more than %zu MiB of samples decoded at once (or a sample over %zu "
                 "frames); the notes beyond stay silent\n",
                 font.path.c_str(), (heads_budget_bytes + rests_budget_bytes) >> 20, sample_frames_max);
}

// The library's record for header `index`, over its owner's frames, made the first time the
// owner has frames; stays null where the library refuses it.
void make_record(Font& font, size_t index) {
    Sample& sample = font.samples[index];
    Sample& owner = font.samples[sample.owner];
    if (sample.fluid.load() != nullptr || owner.state.load() == sample_none) return;
    fluid_sample_t* record = new_fluid_sample();
    if (record == nullptr) return;
    // Loops of compressed samples count from the sample's start, those of PCM from the chunk's.
    size_t loop_start = sample.loop_start, loop_end = sample.loop_end;
    if (!sample.compressed) {
        loop_start -= std::min<size_t>(loop_start, sample.start);
        loop_end -= std::min<size_t>(loop_end, sample.start);
    }
    if (loop_start > loop_end) std::swap(loop_start, loop_end);
    loop_end = std::min(loop_end, owner.frames);
    if (loop_start > owner.frames) loop_start = 0;
    if (fluid_sample_set_name(record, sample.name) != FLUID_OK ||
        fluid_sample_set_sound_data(record, owner.data, nullptr, static_cast<unsigned>(owner.frames), sample.rate, 0) !=
            FLUID_OK ||
        fluid_sample_set_loop(record, static_cast<unsigned>(loop_start), static_cast<unsigned>(loop_end)) != FLUID_OK ||
        fluid_sample_set_pitch(record, sample.root, sample.correction) != FLUID_OK) {
        delete_fluid_sample(record);
        return;
    }
    owner.recorded = true;
    sample.fluid.store(record);
}

enum Decoded { decoded, failed, over_budget };

size_t head_frames_for(const Sample& sample) {
    return std::max<size_t>(1, static_cast<size_t>(std::min(sample.rate, head_rate_max) * head_seconds));
}

// Decodes an owner's beginning, under Font::lock. One that would not decode is tried again
// when a program needs it next. A stream that says it is longer than a sample may be is
// decoded whole now, up to that length, to learn what it really holds.
Decoded decode_head(Font& font, Sample& sample) {
    if (sample.state.load() != sample_none) return decoded;
    // Checked before the stream is opened, which costs as much as decoding a little of it.
    if (font.heads >= heads_max || font.head_bytes + page_up(head_frames_for(sample) * 2) > heads_budget_bytes)
        return say_cut(font), over_budget;
    SampleReader reader(font, sample);
    const uint64_t claimed = reader.claimed_frames();
    if (claimed == 0) return failed;
    if (sample.data == nullptr) {
        const size_t frames = static_cast<size_t>(std::min<uint64_t>(claimed, sample_frames_max));
        const size_t mapped = page_up(frames * sizeof(int16_t));
        void* pages = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (pages == MAP_FAILED) return failed;
        sample.data = static_cast<int16_t*>(pages);
        sample.mapped = mapped;
        sample.frames = frames;
        sample.head_frames = claimed > sample_frames_max ? frames : std::min(head_frames_for(sample), frames);
    } else if (std::min<uint64_t>(claimed, sample_frames_max) < sample.frames) {
        return failed;  // not the stream it was
    }
    if (font.head_bytes + head_bytes_of(sample) > heads_budget_bytes) return say_cut(font), over_budget;
    const size_t got = reader.read(sample.data, sample.head_frames);
    if (got == 0) {
        let_go(sample, 0);
        return failed;
    }
    // Shorter than it said: the stream's end, known before any record was made.
    if (got < sample.head_frames && !sample.recorded) sample.frames = sample.head_frames = got;
    if (claimed > sample_frames_max && reader.read(nullptr, 1) != 0) say_cut(font);
    font.heads += 1;
    font.head_bytes += head_bytes_of(sample);
    font.decoded_any = true;
    sample.state.store(sample.head_frames == sample.frames ? sample_whole : sample_head);
    return decoded;
}

// The rest of a sounding sample; what the stream lacks of its stated length stays silent and
// is not looked for again.
void decode_rest(Font& font, Sample& sample) {
    if (sample.state.load() != sample_head) return;
    if (font.rest_bytes + rest_bytes_of(sample) > rests_budget_bytes) return say_cut(font);
    SampleReader reader(font, sample);
    if (reader.claimed_frames() == 0 || reader.read(nullptr, sample.head_frames) != sample.head_frames) return;
    reader.read(sample.data + sample.head_frames, sample.frames - sample.head_frames);
    font.rest_bytes += rest_bytes_of(sample);
    sample.state.store(sample_whole);
}

// Voices that have ended are counted off their samples; true while any is left. Under
// Font::lock, or where the handle's synth plays no more.
bool count_off_ended(Font& font, FontHandle& handle) {
    bool left = false;
    for (size_t i = 0; i < handle.voice_slots; ++i) {
        VoiceEntry& entry = handle.voices[i];
        uint64_t use = entry.use.load();
        if (use == 0) continue;
        const fluid_voice_t* voice = entry.voice.load();
        if (fluid_voice_get_id(voice) == static_cast<unsigned>(use) && fluid_voice_is_playing(voice)) {
            left = true;
            continue;
        }
        if (entry.use.compare_exchange_strong(use, 0)) font.samples[(use >> 32) - 1].users.fetch_sub(1);
    }
    return left;
}

// Back to its beginning only, unless a voice came meanwhile; a note started after plays the
// beginning while the rest is decoded again.
void let_go_of_rest(Font& font, Sample& sample) {
    sample.state.store(sample_head);
    if (sample.users.load() != 0) {
        sample.state.store(sample_whole);
        return;
    }
    font.rest_bytes -= rest_bytes_of(sample);
    let_go(sample, sample.head_frames);
}

// Lets go of what is no longer wanted: a left program's samples once silent; a sample's rest
// once silent for a while, or sooner, longest silent first, while the rests of silent samples
// come to more than the budget. True while something waits to be looked at again.
bool let_go_unused(Font& font, Clock::time_point now) {
    for (FontHandle* handle : font.handles) count_off_ended(font, *handle);
    bool again = false;
    size_t kept_bytes = 0;
    std::vector<Sample*> silent;
    for (size_t i = 0; i < font.sample_count; ++i) {
        Sample& sample = font.samples[i];
        const int state = sample.state.load();
        if (state == sample_none) continue;
        const uint64_t starts = sample.starts.load();
        if (starts != sample.starts_seen || sample.users.load() != 0) {
            sample.starts_seen = starts;
            sample.quiet_since = now;
            again = true;
            continue;
        }
        if (!sample.needed) {
            // Set before the users are read, as a note counts itself before reading it.
            sample.state.store(sample_none);
            if (sample.users.load() != 0) {
                sample.state.store(state);
                again = true;
                continue;
            }
            font.heads -= 1;
            font.head_bytes -= head_bytes_of(sample);
            if (state == sample_whole && sample.head_frames < sample.frames) font.rest_bytes -= rest_bytes_of(sample);
            let_go(sample, 0);
        } else if (state == sample_whole && sample.head_frames < sample.frames) {
            if (now - sample.quiet_since >= rest_kept) {
                let_go_of_rest(font, sample);
                continue;
            }
            again = true;
            kept_bytes += rest_bytes_of(sample);
            silent.push_back(&sample);
        }
    }
    auto longer_silent = [](const Sample* a, const Sample* b) { return a->quiet_since < b->quiet_since; };
    std::sort(silent.begin(), silent.end(), longer_silent);
    for (size_t i = 0; i < silent.size() && kept_bytes > rest_budget_bytes; ++i) {
        kept_bytes -= rest_bytes_of(*silent[i]);
        let_go_of_rest(font, *silent[i]);
    }
    return again;
}

void run_worker(Font* font) {
    pthread_setname_np(pthread_self(), "vx-samples");
    bool again = false;
    while (!font->stopping.load()) {
        if (again) {
            timespec until{};
            clock_gettime(CLOCK_MONOTONIC, &until);
            until.tv_sec += std::chrono::duration_cast<std::chrono::seconds>(recheck_every).count();
            sem_clockwait(&font->wake, CLOCK_MONOTONIC, &until);
        } else {
            sem_wait(&font->wake);
        }
        while (sem_trywait(&font->wake) == 0) {
        }
        for (size_t i = 0; i < font->sample_count && !font->stopping.load(); ++i) {
            Sample& sample = font->samples[i];
            if (!sample.rest_wanted.exchange(false)) continue;
            std::lock_guard<std::mutex> guard(font->lock);
            decode_rest(*font, sample);
        }
        std::lock_guard<std::mutex> guard(font->lock);
        again = let_go_unused(*font, Clock::now());
    }
}

Font::~Font() {
    if (worker.joinable()) {
        stopping.store(true);
        sem_post(&wake);
        worker.join();
    }
    for (size_t i = 0; i < sample_count; ++i) {
        if (fluid_sample_t* record = samples[i].fluid.load()) delete_fluid_sample(record);
        if (samples[i].data != nullptr) munmap(samples[i].data, samples[i].mapped);
    }
    for (fluid_mod_t* mod : mods) delete_fluid_mod(mod);
    if (file >= 0) close(file);
    sem_destroy(&wake);
}

// ---- Notes -------------------------------------------------------------------------------

void add_modulators(fluid_voice_t* voice, const Zone& global, const Zone& local, int mode) {
    // A modulator of no effect changes nothing when added, but replaces one when overwriting.
    auto add = [&](fluid_mod_t* mod) {
        if (mode == FLUID_VOICE_OVERWRITE || fluid_mod_get_amount(mod) != 0) fluid_voice_add_mod(voice, mod, mode);
    };
    for (fluid_mod_t* mod : local.mods) add(mod);
    for (fluid_mod_t* mod : global.mods) {
        auto same = [mod](fluid_mod_t* own) { return fluid_mod_test_identity(own, mod); };
        if (std::none_of(local.mods.begin(), local.mods.end(), same)) add(mod);
    }
}

// The handle's entry for `voice`: the one it has, else a free one; nullptr when the synth has
// more voices than the table was made for.
VoiceEntry* entry_of(FontHandle& handle, fluid_voice_t* voice) {
    const size_t mask = handle.voice_slots - 1;
    size_t at = (reinterpret_cast<uintptr_t>(voice) >> 4) * 0x9E3779B97F4A7C15u >> 32 & mask;
    for (size_t probe = 0; probe < handle.voice_slots; ++probe, at = (at + 1) & mask) {
        VoiceEntry& entry = handle.voices[at];
        fluid_voice_t* known = entry.voice.load();
        if (known == voice) return &entry;
        if (known == nullptr && entry.voice.compare_exchange_strong(known, voice)) return &entry;
        if (known == voice) return &entry;
    }
    return nullptr;
}

FontHandle* handle_of(fluid_sfont_t* sfont) { return static_cast<FontHandle*>(fluid_sfont_get_data(sfont)); }

// On the rendering thread: no lock, no allocation, no decoding, and bounded work whatever the
// file holds. A sample whose program was never chosen stays silent; one with only its
// beginning asks for the rest.
int play_note(fluid_preset_t* preset_record, fluid_synth_t* synth, int channel, int key, int velocity) {
    const Preset& preset = *static_cast<const Preset*>(fluid_preset_get_data(preset_record));
    FontHandle& handle = *handle_of(fluid_preset_get_sfont(preset_record));
    Font& font = *preset.font;
    bool wake = false;
    size_t zones_seen = 0;
    int voices = 0;
    for (const Zone& zone : preset.zones) {
        if (++zones_seen > note_zones_max || voices >= note_voices_max) break;
        if (!zone.covers(key, velocity)) continue;
        const Instrument& instrument = font.instruments[zone.target];
        for (const Zone& part : instrument.zones) {
            if (++zones_seen > note_zones_max || voices >= note_voices_max) break;
            if (!part.covers(key, velocity)) continue;
            Sample& sample = font.samples[part.target];
            Sample& sound = font.samples[sample.owner];
            fluid_sample_t* record = sample.fluid.load();
            // Counted before the state is read; the letting go sets it before reading these.
            sound.starts.fetch_add(1);
            sound.users.fetch_add(1);
            const int state = sound.state.load();
            if (state == sample_none || record == nullptr) {
                sound.users.fetch_sub(1);
                continue;
            }
            fluid_voice_t* voice = fluid_synth_alloc_voice(synth, record, channel, key, velocity);
            VoiceEntry* entry = voice == nullptr ? nullptr : entry_of(handle, voice);
            if (entry == nullptr) {
                // Never started, the voice is free again for the next note.
                sound.users.fetch_sub(1);
                if (wake) sem_post(&font.wake);
                return FLUID_FAILED;
            }
            for (int gen = 0; gen < GEN_LAST; ++gen) {
                if (part.has(gen)) fluid_voice_gen_set(voice, gen, part.value[gen]);
                else if (instrument.global.has(gen)) fluid_voice_gen_set(voice, gen, instrument.global.value[gen]);
            }
            add_modulators(voice, instrument.global, part, FLUID_VOICE_OVERWRITE);
            // A preset's generators add to the instrument's.
            for (int gen = 0; gen < GEN_LAST; ++gen) {
                if (zone.has(gen)) fluid_voice_gen_incr(voice, gen, zone.value[gen]);
                else if (preset.global.has(gen)) fluid_voice_gen_incr(voice, gen, preset.global.value[gen]);
            }
            add_modulators(voice, preset.global, zone, FLUID_VOICE_ADD);
            fluid_synth_start_voice(synth, voice);
            ++voices;
            // The voice's previous note, if it was one of ours, has ended.
            const uint64_t use = uint64_t{sample.owner + 1} << 32 | fluid_voice_get_id(voice);
            const uint64_t before = entry->use.exchange(use);
            if (before != 0) font.samples[(before >> 32) - 1].users.fetch_sub(1);
            if (state == sample_head && !sound.rest_wanted.exchange(true)) wake = true;
        }
    }
    if (wake) sem_post(&font.wake);
    return FLUID_OK;
}

// ---- The library's records ----------------------------------------------------------------

// Never destroyed: the library may free a font from its own timer thread (font_free refused
// earlier) while the process exits.
std::mutex& registry_lock = *new std::mutex;
std::vector<std::weak_ptr<Font>>& open_fonts = *new std::vector<std::weak_ptr<Font>>;
std::vector<FontHandle*>& handles = *new std::vector<FontHandle*>;

const Preset& preset_of(fluid_preset_t* preset) { return *static_cast<const Preset*>(fluid_preset_get_data(preset)); }

const char* font_name(fluid_sfont_t* sfont) { return handle_of(sfont)->font->path.c_str(); }
fluid_preset_t* font_preset(fluid_sfont_t* sfont, int bank, int program) {
    FontHandle* handle = handle_of(sfont);
    const Preset* preset = handle->font->find(bank, program);
    return preset == nullptr ? nullptr : handle->presets[static_cast<size_t>(preset - handle->font->presets.data())];
}
void font_iteration_start(fluid_sfont_t* sfont) { handle_of(sfont)->next = 0; }
fluid_preset_t* font_iteration_next(fluid_sfont_t* sfont) {
    FontHandle* handle = handle_of(sfont);
    return handle->next < handle->presets.size() ? handle->presets[handle->next++] : nullptr;
}
// As the library's own loader: refused while a voice of this synth may still read a sample,
// and tried again later by the library.
int font_free(fluid_sfont_t* sfont) {
    FontHandle* handle = handle_of(sfont);
    {
        Font& font = *handle->font;
        std::lock_guard<std::mutex> guard(font.lock);
        if (count_off_ended(font, *handle)) return 1;
        // The synth goes: its voices are no longer looked at (the library frees them after this).
        std::erase(font.handles, handle);
    }
    {
        std::lock_guard<std::mutex> guard(registry_lock);
        std::erase(handles, handle);
    }
    for (fluid_preset_t* preset : handle->presets) delete_fluid_preset(preset);
    delete handle;  // the last synth's takes the font with it
    delete_fluid_sfont(sfont);
    return 0;
}

const char* preset_name(fluid_preset_t* preset) { return preset_of(preset).name.c_str(); }
int preset_bank(fluid_preset_t* preset) { return preset_of(preset).bank; }
int preset_program(fluid_preset_t* preset) { return preset_of(preset).program; }

std::shared_ptr<Font> open_font(const char* path) {
    std::lock_guard<std::mutex> guard(registry_lock);
    std::erase_if(open_fonts, [](const std::weak_ptr<Font>& font) { return font.expired(); });
    for (const std::weak_ptr<Font>& open : open_fonts)
        if (std::shared_ptr<Font> font = open.lock(); font && font->path == path) return font;
    std::shared_ptr<Font> font = read_font(path);
    if (!font) return nullptr;
    font->worker = std::thread(run_worker, font.get());
    open_fonts.push_back(font);
    return font;
}

void free_handle(FontHandle* handle) {
    for (fluid_preset_t* preset : handle->presets) delete_fluid_preset(preset);
    if (handle->sfont != nullptr) delete_fluid_sfont(handle->sfont);
    delete handle;
}

fluid_sfont_t* load_font(fluid_sfloader_t* loader, const char* path) {
    auto* settings = static_cast<fluid_settings_t*>(fluid_sfloader_get_data(loader));
    int on_demand = 0, polyphony = 256;
    fluid_settings_getint(settings, "synth.dynamic-sample-loading", &on_demand);
    fluid_settings_getint(settings, "synth.polyphony", &polyphony);
    if (!on_demand) return nullptr;
    std::shared_ptr<Font> font = open_font(path);
    if (!font) return nullptr;
    auto* handle = new FontHandle;
    handle->font = font;
    handle->voice_slots = std::bit_ceil(2 * static_cast<size_t>(std::clamp(polyphony, 64, 65535)));
    handle->voices = std::make_unique<VoiceEntry[]>(handle->voice_slots);
    handle->sfont = new_fluid_sfont(font_name, font_preset, font_iteration_start, font_iteration_next, font_free);
    if (handle->sfont == nullptr) return free_handle(handle), nullptr;
    fluid_sfont_set_data(handle->sfont, handle);
    for (Preset& preset : font->presets) {
        fluid_preset_t* record =
            new_fluid_preset(handle->sfont, preset_name, preset_bank, preset_program, play_note, delete_fluid_preset);
        if (record == nullptr) return free_handle(handle), nullptr;
        fluid_preset_set_data(record, &preset);
        handle->presets.push_back(record);
    }
    {
        std::lock_guard<std::mutex> guard(font->lock);
        font->handles.push_back(handle);
    }
    std::lock_guard<std::mutex> guard(registry_lock);
    handles.push_back(handle);
    return handle->sfont;
}

// The preset a channel plays for (bank, program), with the library's fallbacks for one the
// font lacks.
const Preset* channel_preset(const Font& font, int bank, int program) {
    if (const Preset* preset = font.find(bank, program)) return preset;
    if (const Preset* preset = bank == 128 ? font.find(128, 0) : font.find(0, program)) return preset;
    return font.find(0, 0);
}

}  // namespace

fluid_sfloader_t* new_sf3_loader(fluid_settings_t* settings) {
    fluid_sfloader_t* loader = new_fluid_sfloader(load_font, delete_fluid_sfloader);
    if (loader != nullptr) fluid_sfloader_set_data(loader, settings);
    return loader;
}

bool sf3_follow_programs(fluid_synth_t* synth, const std::atomic<bool>& cancelled) {
    // The synth's fonts are asked for before the registry is locked: loading takes the synth's
    // lock first, then the registry's.
    std::vector<fluid_sfont_t*> fonts;
    for (int i = 0; i < fluid_synth_sfcount(synth); ++i)
        fonts.push_back(fluid_synth_get_sfont(synth, static_cast<unsigned>(i)));
    FontHandle* handle = nullptr;
    {
        std::lock_guard<std::mutex> guard(registry_lock);
        for (FontHandle* known : handles)
            if (std::find(fonts.begin(), fonts.end(), known->sfont) != fonts.end()) handle = known;
    }
    if (handle == nullptr) return false;
    Font& font = *handle->font;
    std::vector<bool> needed(font.sample_count, false);
    const int id = fluid_sfont_get_id(handle->sfont);
    for (int channel = 0; channel < fluid_synth_count_midi_channels(synth); ++channel) {
        int font_id = 0, bank = 0, program = 0;
        if (fluid_synth_get_program(synth, channel, &font_id, &bank, &program) != FLUID_OK || font_id != id ||
            program > 127)
            continue;
        const Preset* preset = channel_preset(font, bank, program);
        if (preset == nullptr) continue;
        for (const Zone& zone : preset->zones)
            for (const Zone& part : font.instruments[zone.target].zones) needed[part.target] = true;
    }
    // A sample that would not decode is tried again each time its program is chosen; past the
    // budget none is tried.
    size_t tried = 0, failures = 0;
    bool spent = false;
    for (size_t i = 0; i < font.sample_count && !cancelled.load(); ++i) {
        if (!needed[i]) continue;
        Sample& sample = font.samples[i];
        Sample& owner = font.samples[sample.owner];
        std::lock_guard<std::mutex> guard(font.lock);
        owner.needed = true;
        if (spent && owner.state.load() == sample_none) continue;
        const Decoded result = decode_head(font, owner);
        spent = spent || result == over_budget;
        if (result == decoded) make_record(font, i);
        tried += 1;
        failures += result != decoded || sample.fluid.load() == nullptr ? 1 : 0;
    }
    {
        std::lock_guard<std::mutex> guard(font.lock);
        for (size_t i = 0; i < font.sample_count; ++i)
            if (needed[i]) needed[font.samples[i].owner] = true;
        for (size_t i = 0; i < font.sample_count; ++i)
            if (!needed[i]) font.samples[i].needed = false;
        const bool none_decodes = font.playable == 0 || (tried > 0 && failures == tried && !font.decoded_any);
        if (none_decodes && !font.said_broken && !cancelled.load()) {
            font.said_broken = true;
            std::fprintf(stderr, "vxpiano: cannot play SoundFont %s: none of its samples decodes\n",
                         font.path.c_str());
        }
    }
    sem_post(&font.wake);
    return true;
}

}  // namespace app
