// Loading bitmap files and raw dumps. Every number read from the file is checked before it
// sizes a buffer or indexes one: the file decides what is drawn, never where outside the
// destination, the row buffer or the palette target a byte lands.
#include <vxgfx/image.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "gfx/context.h"
#include "gfx/image.h"
#include "gfx/palette.h"
#include "gfx/pixels.h"
#include "gfx/primitives.h"
#include "runtime/runtime.h"

namespace vx {
namespace {

constexpr size_t name_buffer_size = 260;
constexpr size_t bitmap_header_size = 54;
constexpr uint32_t bitfields_compression = 3;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

bool read_exact(std::FILE* file, void* into, size_t bytes) { return std::fread(into, 1, bytes, file) == bytes; }

// Bytes left between the read position and the end, or -1 when the file has no known size
// (a pipe): lets a row that cannot be in the file be refused before its buffer is allocated.
int64_t bytes_left(std::FILE* file) {
    struct stat info;
    if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    long position = std::ftell(file);
    if (position < 0) return -1;
    return std::max<int64_t>(int64_t{info.st_size} - position, 0);
}

// Reads and drops `bytes`; false when the file ends first.
bool skip_bytes(std::FILE* file, int64_t bytes) {
    int64_t left = bytes_left(file);
    if (left >= 0 && bytes > left) return false;
    uint8_t scratch[4096];
    while (bytes > 0) {
        size_t chunk = static_cast<size_t>(std::min<int64_t>(bytes, sizeof scratch));
        if (!read_exact(file, scratch, chunk)) return false;
        bytes -= static_cast<int64_t>(chunk);
    }
    return true;
}

// --- The bitmap header ---------------------------------------------------------------------

struct BitmapHeader {
    uint32_t data_offset;
    int32_t width, height;
    int32_t bits;
    uint32_t compression;
    int64_t file_row_bytes;  // one stored row with its padding to 4 bytes
    int64_t row_buffer_bytes;  // one unpacked row plus the byte the 24-bit converter reads past it
};

// Stored rows of `pixels` pixels of `bits` bits, padded to a multiple of 4 bytes. Widths
// below 2^31 times at most 4 bytes stay below 2^34, so 64 bits hold every step.
int64_t padded_row(int64_t pixels, int32_t bits) {
    int64_t bytes = bits == 1 ? (pixels + 7) / 8 : bits == 4 ? (pixels + 1) / 2 : (int64_t{bits} + 7) / 8 * pixels;
    return (bytes + 3) & ~int64_t{3};
}

// 0 when the header describes a bitmap this loader reads, else the result code: 3 for what is
// not a bitmap or is damaged, 1 for the 15- and 16-bit formats.
int parse_bitmap_header(const uint8_t (&raw)[bitmap_header_size], BitmapHeader* out) {
    if (raw[0] != 'B' || raw[1] != 'M' || le32(raw + 14) != 40) return err_bad_file;
    BitmapHeader header{};
    header.data_offset = le32(raw + 10);
    header.width = static_cast<int32_t>(le32(raw + 18));
    header.height = static_cast<int32_t>(le32(raw + 22));
    header.bits = le16(raw + 28);
    header.compression = le32(raw + 30);
    if (header.bits == 15 || header.bits == 16) return err_illegal_call;
    // Only the depths with a row layout and a converter; any other would let a row converter
    // read pixels the row buffer does not hold.
    if (header.bits != 1 && header.bits != 4 && header.bits != 8 && header.bits != 24 && header.bits != 32)
        return err_bad_file;
    if (header.compression == bitfields_compression && header.bits != 24 && header.bits != 32) return err_bad_file;
    if (header.width < 0) return err_bad_file;
    header.file_row_bytes = padded_row(header.width, header.bits);
    header.row_buffer_bytes = padded_row(header.width, header.bits <= 8 ? 8 : header.bits) + 1;
    // Row sizes, offsets and counts all stay in 32 bits.
    if (header.row_buffer_bytes > INT32_MAX || header.file_row_bytes > INT32_MAX) return err_bad_file;
    *out = header;
    return 0;
}

// --- Row converters: one per file pixel format and destination pixel size -------------------

struct ConvertInput {
    const uint32_t* palette;  // device_palette, 256 entries
    uint32_t colour_mask;
};
using RowConverter = void (*)(const uint8_t* src, uint8_t* dst, int32_t count, const ConvertInput& in);

void index_to_8(const uint8_t* s, uint8_t* d, int32_t n, const ConvertInput& in) {
    for (int32_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(s[i] & in.colour_mask);
}
void index_to_16(const uint8_t* s, uint8_t* d, int32_t n, const ConvertInput& in) {
    for (int32_t i = 0; i < n; ++i) {
        uint32_t e = in.palette[s[i]];
        store16(d + i * 2, static_cast<uint16_t>(((e >> 19) & 0x1F) | ((e >> 5) & 0x7E0) | ((e << 8) & 0xF800)));
    }
}
void index_to_32(const uint8_t* s, uint8_t* d, int32_t n, const ConvertInput& in) {
    for (int32_t i = 0; i < n; ++i) {
        uint32_t e = in.palette[s[i]];
        store32(d + i * 4, 0xFF000000u | ((e & 0xFF) << 16) | (e & 0xFF00) | ((e >> 16) & 0xFF));
    }
}
uint16_t bgr_to_565(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] >> 3) | ((p[1] << 3) & 0x7E0) | ((p[2] >> 3) << 11));
}
void bgr24_to_16(const uint8_t* s, uint8_t* d, int32_t n, const ConvertInput&) {
    for (int32_t i = 0; i < n; ++i) store16(d + i * 2, bgr_to_565(s + i * 3));
}
// Reads each pixel as a word from its first byte, one byte past the last pixel: the row
// buffer has that byte.
void bgr24_to_32(const uint8_t* s, uint8_t* d, int32_t n, const ConvertInput&) {
    for (int32_t i = 0; i < n; ++i) store32(d + i * 4, 0xFF000000u | load32(s + i * 3));
}
void bgra32_to_16(const uint8_t* s, uint8_t* d, int32_t n, const ConvertInput&) {
    for (int32_t i = 0; i < n; ++i) store16(d + i * 2, bgr_to_565(s + i * 4));
}
void bgra32_to_32(const uint8_t* s, uint8_t* d, int32_t n, const ConvertInput&) {
    std::memcpy(d, s, static_cast<size_t>(n) * 4);
}
// Bit-field files name their fourth byte unused: their pixels are colours without alpha.
void bgrx32_to_32(const uint8_t* s, uint8_t* d, int32_t n, const ConvertInput&) {
    for (int32_t i = 0; i < n; ++i) store32(d + i * 4, 0xFF000000u | (load32(s + i * 4) & 0x00FFFFFFu));
}

enum PixelKind { kind_index, kind_bgr24, kind_bgra32, kind_bgrx32 };

// By file pixel kind, then destination bytes per pixel 1, 2, 4; null where refused.
constexpr RowConverter row_converters[4][3] = {
    {index_to_8, index_to_16, index_to_32},
    {nullptr, bgr24_to_16, bgr24_to_32},
    {nullptr, bgra32_to_16, bgra32_to_32},
    {nullptr, bgra32_to_16, bgrx32_to_32},
};

RowConverter choose_converter(const BitmapHeader& header, int32_t dest_bpp) {
    PixelKind kind = header.bits <= 8 ? kind_index : header.bits == 24 ? kind_bgr24 : kind_bgra32;
    if (header.compression == bitfields_compression && header.bits == 32) kind = kind_bgrx32;
    int column = dest_bpp == 1 ? 0 : dest_bpp == 2 ? 1 : 2;
    return row_converters[kind][column];
}

// --- The bitmap path -----------------------------------------------------------------------

// Where the rows go: row y of the destination starts at pixels + y * pitch.
struct Destination {
    uint8_t* pixels;
    int32_t pitch;
    int32_t bpp;
    int32_t width, height;  // rows y < height, pixels x < width are written
};

bool usable_bpp(int32_t bpp) { return bpp == 1 || bpp == 2 || bpp == 4; }

// The destination of a bitmap: the screen, an image buffer of either header form, or a memory
// block that gets an image header for the file's size. 0 or a result code.
int bitmap_destination(GfxContext* ctx, DrawState* state, void* destination, const BitmapHeader& header,
                       Destination* out) {
    if (!destination) {
        *out = {state->lines[0], ctx->pitch, ctx->bpp, std::min(header.width, ctx->width),
                std::min(header.height, ctx->height)};
        return 0;
    }
    ImageView view = image_view(destination, ctx->bpp);
    if (!view.legacy || usable_bpp(view.bpp)) {
        // An image: its header must describe rows that lie inside what it claims to hold.
        if (image_block_size(view, ctx->bpp) < 0) return err_illegal_call;
        *out = {view.pixels, view.pitch, view.bpp, std::min(header.width, view.width), std::min(header.height, view.height)};
    } else {
        int32_t bpp = ctx->bpp;
        auto* bytes = static_cast<uint8_t*>(destination);
        if (rt_legacy_header_mode) {
            // The legacy header keeps 13 bits of width and 16 of height; the rows follow it.
            bytes[0] = static_cast<uint8_t>(bpp | ((header.width & 31) << 3));
            bytes[1] = static_cast<uint8_t>((header.width >> 5) & 0xFF);
            bytes[2] = static_cast<uint8_t>(header.height & 0xFF);
            bytes[3] = static_cast<uint8_t>((header.height >> 8) & 0xFF);
            view = image_view(destination, bpp);
            *out = {view.pixels, view.pitch, bpp, std::min(header.width, view.width), std::min(header.height, view.height)};
        } else {
            int64_t pitch = (int64_t{header.width} * bpp + 15) & ~int64_t{15};
            if (pitch > INT32_MAX) return err_bad_file;
            // Bytes 20-31 of the header are left as they are.
            const int32_t fields[5] = {image_header_type, bpp, header.width, header.height, static_cast<int32_t>(pitch)};
            std::memcpy(bytes, fields, sizeof fields);
            // A negative file height gives no rows.
            *out = {bytes + sizeof(ImageHeader), static_cast<int32_t>(pitch), bpp, header.width, header.height};
        }
    }
    // The block may be the current target with an older header: go through the screen so that
    // the state reads this one.
    set_target(state, nullptr);
    set_target(state, destination);
    choose_routines(state, 0xFF000000u);
    return 0;
}

// Reads the palette after the header into `entries` (at most 256, 0x00BBGGRR, 6-bit levels
// when they go to a caller's buffer). Entries beyond 256 are read and dropped. False when the
// file ends inside it.
bool read_palette(std::FILE* file, int64_t count, bool six_bit, uint32_t (&entries)[256], int* kept) {
    int64_t stored = std::min<int64_t>(count, 256);
    uint8_t raw[256 * 4];
    if (!read_exact(file, raw, static_cast<size_t>(stored) * 4)) return false;
    for (int64_t i = 0; i < stored; ++i) {
        const uint8_t* e = raw + i * 4;
        uint32_t value = e[2] | (e[1] << 8) | (static_cast<uint32_t>(e[0]) << 16);
        entries[i] = six_bit ? (value >> 2) & 0x3F3F3F : value;
    }
    *kept = static_cast<int>(stored);
    return skip_bytes(file, (count - stored) * 4);
}

// Reads the rows bottom first, converting those that land in the destination. 0 or 3.
int read_rows(std::FILE* file, const BitmapHeader& header, const Destination& dest, RowConverter convert,
              const ConvertInput& input) {
    if (header.width == 0 || header.height <= 0) return 0;  // no row holds a byte
    // A row longer than what is left of the file would be a short read: refuse it before its
    // buffer is allocated.
    int64_t left = bytes_left(file);
    if (left >= 0 && header.file_row_bytes > left) return err_bad_file;
    bool packed = header.bits < 8;
    size_t unpacked_bytes = static_cast<size_t>(header.row_buffer_bytes);
    size_t packed_bytes = packed ? static_cast<size_t>(header.file_row_bytes) : 0;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[unpacked_bytes + packed_bytes]());
    if (!buffer) return err_bad_file;
    uint8_t* row = buffer.get();
    uint8_t* stored_row = packed ? row + unpacked_bytes : row;
    size_t stored_bytes = packed ? packed_bytes : unpacked_bytes - 1;
    for (int64_t y = int64_t{header.height} - 1; y >= 0; --y) {
        if (!read_exact(file, stored_row, stored_bytes)) return err_bad_file;
        if (packed) {
            // Leftmost pixel in the most significant bits.
            int shift = header.bits == 1 ? 3 : 1, per_byte_mask = header.bits == 1 ? 7 : 1;
            uint8_t pixel_mask = header.bits == 1 ? 0x01 : 0x0F;
            for (int32_t x = 0; x < header.width; ++x) {
                int position = per_byte_mask - (x & per_byte_mask);
                row[x] = (stored_row[x >> shift] >> (position * header.bits)) & pixel_mask;
            }
        }
        if (y < dest.height && dest.width > 0)
            convert(row, dest.pixels + y * dest.pitch, dest.width, input);
    }
    return 0;
}

int load_bitmap(std::FILE* file, GfxContext* ctx, DrawState* state, void* destination, uint32_t* palette_buffer) {
    std::rewind(file);
    if (!ctx) return err_illegal_call;
    uint8_t raw[bitmap_header_size];
    if (!read_exact(file, raw, sizeof raw)) return err_bad_file;
    BitmapHeader header;
    if (int code = parse_bitmap_header(raw, &header)) return code;

    // Bit-field files keep their three channel masks right after the header; the palette, if
    // any, follows them. Their pixels are read as colours only when the masks say B, G, R.
    int64_t palette_start = bitmap_header_size;
    if (header.compression == bitfields_compression) {
        uint8_t masks[12];
        if (!read_exact(file, masks, sizeof masks)) return err_bad_file;
        if (le32(masks) != 0x00FF0000u || le32(masks + 4) != 0x0000FF00u || le32(masks + 8) != 0x000000FFu)
            return err_bad_file;
        palette_start += sizeof masks;
    }
    uint32_t entries[256];
    int entry_count = 0;
    int64_t count = header.data_offset > palette_start ? (int64_t{header.data_offset} - palette_start) / 4 : 0;
    if (!read_palette(file, count, palette_buffer != nullptr, entries, &entry_count)) return err_bad_file;

    Destination dest;
    if (int code = bitmap_destination(ctx, state, destination, header, &dest)) return code;
    RowConverter convert = choose_converter(header, dest.bpp);
    if (!convert) return err_illegal_call;

    bracket_begin(ctx);
    uint32_t* palette_target = palette_buffer ? palette_buffer : ctx->device_palette;
    std::copy(entries, entries + entry_count, palette_target);
    if (!palette_buffer) palette_push();
    int result = read_rows(file, header, dest, convert, {ctx->device_palette, ctx->colour_mask});
    bracket_mark_dirty(ctx, state, 0, ctx->height - 1);
    bracket_end(ctx);
    return result;
}

// --- The raw path --------------------------------------------------------------------------

// Bytes a destination image may receive: its header and rows, or -1 for a plain memory block
// whose size only the caller knows. -2 for an image whose header contradicts itself.
int64_t raw_destination_size(void* destination, int32_t screen_bpp) {
    ImageView view = image_view(destination, screen_bpp);
    if (view.legacy && !usable_bpp(view.bpp)) return -1;
    int64_t size = image_block_size(view, screen_bpp);
    return size < 0 ? -2 : size;
}

// After a dump replaced an image's header, the new header must not claim more than the block
// holds; a legacy header that leaves the pixel size to the target is measured at 4 bytes.
bool header_fits(void* destination, int64_t block_size) {
    int64_t size = image_block_size(image_view(destination, 4), 4);
    return size >= 0 && size <= block_size;
}

int load_raw(std::FILE* file, int kind, GfxContext* ctx, DrawState* state, void* destination, uint32_t* palette_buffer) {
    uint32_t length;
    if (kind == 0xFD) {
        uint8_t head[6];
        if (!read_exact(file, head, sizeof head)) return err_bad_file;
        length = le16(head + 4);
    } else {
        uint8_t head[4];
        if (!read_exact(file, head, sizeof head)) return err_bad_file;
        length = le32(head);
    }

    if (destination) {
        int64_t block_size = raw_destination_size(destination, ctx ? ctx->bpp : 4);
        if (block_size == -2) return err_illegal_call;
        // An image buffer takes at most its own size; a longer dump is cut.
        size_t bytes = block_size >= 0 ? static_cast<size_t>(std::min<int64_t>(length, block_size)) : length;
        uint8_t saved_header[sizeof(ImageHeader)];
        size_t header_bytes = image_view(destination, 4).legacy ? 4 : sizeof(ImageHeader);
        std::memcpy(saved_header, destination, header_bytes);
        if (ctx) bracket_begin(ctx);
        size_t got = std::fread(destination, 1, bytes, file);
        int result = got < bytes && std::ferror(file) ? err_bad_file : err_none;
        if (block_size >= 0 && !header_fits(destination, block_size)) {
            // The dump's header would send later puts and drawings past the block.
            std::memcpy(destination, saved_header, header_bytes);
            result = err_bad_file;
        }
        if (ctx) bracket_end(ctx);
        // The drawing state reads the (possibly new) header at its next use of this block.
        if (state && state->target == destination) set_target(state, nullptr);
        return result;
    }

    bracket_begin(ctx);
    uint8_t* page = ctx->pages[static_cast<size_t>(state->work_page)].get();
    size_t page_bytes = static_cast<size_t>(ctx->pitch) * static_cast<size_t>(ctx->height);
    size_t bytes = std::min<size_t>(length, page_bytes);
    size_t got = std::fread(page, 1, bytes, file);
    int result = got < bytes && std::ferror(file) ? err_bad_file : err_none;
    bracket_mark_dirty(ctx, state, 0, ctx->height - 1);
    if (result == err_none && !std::feof(file) && ctx->depth <= 8) {
        size_t count = size_t{1} << ctx->depth;
        uint8_t raw[256 * 3];
        size_t complete = std::fread(raw, 1, count * 3, file) / 3;
        for (size_t i = 0; i < complete; ++i) {
            uint32_t value = raw[i * 3] | (raw[i * 3 + 1] << 8) | (static_cast<uint32_t>(raw[i * 3 + 2]) << 16);
            if (palette_buffer) palette_buffer[i] = value;
            else ctx->device_palette[i] = (value << 2) & 0xFCFCFC;
        }
        if (complete > 0 && !palette_buffer) palette_push();
    }
    bracket_end(ctx);
    return result;
}

int stored(int code) {
    rt_set_error(code);
    return code;
}

}  // namespace

int image_load(const char* file_name, void* destination, uint32_t* palette_buffer) {
    rt_set_error(err_none);
    GfxContext* ctx = gfx_context();
    if (!destination && !ctx) return stored(err_illegal_call);

    // A name longer than 259 characters is not opened: cut short it could name another file.
    // "/" stays: it is this platform's directory separator.
    if (!file_name || std::strlen(file_name) >= name_buffer_size) return stored(err_file_open);
    File file(std::fopen(file_name, "rb"));
    if (!file) return stored(err_file_open);

    DrawState* state = nullptr;
    if (ctx) {
        state = draw_state();
        set_target(state, nullptr);
        choose_routines(state, 0xFF000000u);
    }
    int first = std::fgetc(file.get());
    if (first == 'B') return load_bitmap(file.get(), ctx, state, destination, palette_buffer);
    if (first == 0xFD || first == 0xFE) return stored(load_raw(file.get(), first, ctx, state, destination, palette_buffer));
    return stored(err_bad_file);
}

}  // namespace vx
