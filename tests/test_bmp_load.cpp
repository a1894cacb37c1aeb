// image_load on files written by the test itself: bitmaps of every depth into the screen,
// images of either header form and memory blocks, palettes, raw dumps, result codes, and the
// files that must not make the loader touch a byte it does not own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "gfx/context.h"
#include "gfx/image.h"
#include "gfx/pixels.h"
#include "runtime/runtime.h"
#include "tests/support/fake_driver.h"
#include "tests/support/temp_dir.h"

using namespace vx;
using vxtest::fake;

namespace {

// --- A small bitmap writer -------------------------------------------------------------------

struct Bitmap {
    int32_t width = 0, height = 0;
    uint16_t bits = 24;
    uint32_t compression = 0;
    uint32_t info_size = 40;
    std::vector<uint32_t> palette = {};   // 0x00RRGGBB, written as blue, green, red, 0
    std::vector<uint8_t> masks = {};      // written between the header and the palette
    std::optional<uint32_t> data_offset = {};  // default: where the rows start
    // Pixel (x, y), y counted from the top of the picture: a palette index or 0xAARRGGBB.
    std::function<uint32_t(int, int)> pixel = [](int, int) { return 0u; };
    uint8_t padding = 0xAA;  // fills the end of each row up to 4 bytes
    bool rows = true;        // false: the header and palette only (for sizes no file could hold)
};

void put_u16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void put_u32(std::vector<uint8_t>& out, uint32_t v) {
    put_u16(out, v & 0xFFFF);
    put_u16(out, v >> 16);
}

std::vector<uint8_t> stored_row(const Bitmap& b, int y) {
    std::vector<uint8_t> row;
    if (b.bits == 1 || b.bits == 4) {
        int per_byte = 8 / b.bits;
        for (int x = 0; x < b.width; x += per_byte) {
            uint8_t byte = 0;
            for (int i = 0; i < per_byte; ++i)
                if (x + i < b.width) byte |= static_cast<uint8_t>((b.pixel(x + i, y) & ((1u << b.bits) - 1)) << (8 - b.bits * (i + 1)));
            row.push_back(byte);
        }
    } else {
        for (int x = 0; x < b.width; ++x) {
            uint32_t v = b.pixel(x, y);
            if (b.bits == 8) row.push_back(static_cast<uint8_t>(v));
            else
                for (int i = 0; i < b.bits / 8; ++i) row.push_back(static_cast<uint8_t>(uint64_t{v} >> (8 * i)));
        }
    }
    while (row.size() % 4) row.push_back(b.padding);
    return row;
}

std::vector<uint8_t> bmp_bytes(const Bitmap& b) {
    std::vector<uint8_t> rows;
    int count = !b.rows ? 0 : b.height < 0 ? -b.height : b.height;
    for (int r = 0; r < count; ++r) {
        std::vector<uint8_t> row = stored_row(b, b.height < 0 ? r : count - 1 - r);  // bottom row first
        rows.insert(rows.end(), row.begin(), row.end());
    }
    uint32_t offset = b.data_offset.value_or(static_cast<uint32_t>(54 + b.masks.size() + 4 * b.palette.size()));
    std::vector<uint8_t> out = {'B', 'M'};
    put_u32(out, static_cast<uint32_t>(54 + b.masks.size() + 4 * b.palette.size() + rows.size()));
    put_u32(out, 0);
    put_u32(out, offset);
    put_u32(out, b.info_size);
    put_u32(out, static_cast<uint32_t>(b.width));
    put_u32(out, static_cast<uint32_t>(b.height));
    put_u16(out, 1);
    put_u16(out, b.bits);
    put_u32(out, b.compression);
    for (int i = 0; i < 5; ++i) put_u32(out, 0);
    out.insert(out.end(), b.masks.begin(), b.masks.end());
    for (uint32_t c : b.palette) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
        out.push_back(static_cast<uint8_t>(c >> 16));
        out.push_back(0x5A);  // the skipped byte
    }
    out.insert(out.end(), rows.begin(), rows.end());
    return out;
}

std::vector<uint8_t> raw_fe(const std::vector<uint8_t>& payload, std::optional<uint32_t> length = {}) {
    std::vector<uint8_t> out = {0xFE};
    put_u32(out, length.value_or(static_cast<uint32_t>(payload.size())));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::filesystem::path temp_dir() {
    static const vxtest::TempDir dir("vx_bmp_load");
    return dir.path();
}

std::string write_file(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::filesystem::path path = temp_dir() / name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path.string();
}

// --- Reading results back --------------------------------------------------------------------

uint8_t* pixels(void* image) { return image_view(image, 4).pixels; }

uint32_t image_pixel(void* image, int x, int y) {
    ImageView v = image_view(image, 4);
    int bpp = v.bpp ? v.bpp : 4;
    const uint8_t* p = v.pixels + y * v.pitch + x * bpp;
    return bpp == 1 ? *p : bpp == 2 ? load16(p) : load32(p);
}

// Every pixel of the image must equal expected(x, y); names the first that does not.
::testing::AssertionResult image_is(void* image, const std::function<uint32_t(int, int)>& expected) {
    ImageView v = image_view(image, 4);
    for (int y = 0; y < v.height; ++y)
        for (int x = 0; x < v.width; ++x)
            if (image_pixel(image, x, y) != expected(x, y)) {
                std::ostringstream out;
                out << "first differing pixel (" << x << ", " << y << "): 0x" << std::hex << image_pixel(image, x, y)
                    << ", expected 0x" << expected(x, y);
                return ::testing::AssertionFailure() << out.str();
            }
    return ::testing::AssertionSuccess();
}

uint32_t colour_at(int x, int y) { return static_cast<uint32_t>((x * 0x010203 + y * 0x0A0B0C + 0x123456) & 0xFFFFFF); }
uint32_t as_565(uint32_t c) {
    uint32_t r = (c >> 16) & 0xFF, g = (c >> 8) & 0xFF, b = c & 0xFF;
    return (b >> 3) | ((g << 3) & 0x7E0) | ((r >> 3) << 11);
}
uint32_t bgr_entry(uint32_t rgb) { return ((rgb & 0xFF) << 16) | (rgb & 0xFF00) | ((rgb >> 16) & 0xFF); }

std::vector<uint32_t> colour_ramp(int entries) {
    std::vector<uint32_t> palette;
    for (int i = 0; i < entries; ++i) palette.push_back(static_cast<uint32_t>((i * 0x030507 + 0x102030) & 0xFFFFFF));
    return palette;
}

struct Load : ::testing::Test {
    void SetUp() override {
        ASSERT_EQ(vxtest::open_fake_screen(), 0);
        vxtest::clear_dirty();
    }
    void TearDown() override {
        rt_legacy_header_mode = false;
        vxtest::restore_drivers();
    }
    static void* picture() { return image_create(284, 36, 0, 0, 0x80000000u); }
};

}  // namespace

TEST_F(Load, Bitmap24IntoTheProgramsPicture) {
    Bitmap b{.width = 284, .height = 36, .bits = 24};
    b.pixel = colour_at;
    std::vector<uint8_t> bytes = bmp_bytes(b);
    void* image = picture();
    ASSERT_EQ(image_load(write_file("picture.bmp", bytes).c_str(), image, nullptr), 0);
    EXPECT_TRUE(image_is(image, [](int x, int y) { return 0xFF000000u | colour_at(x, y); }));
    // The file's first stored row is the picture's bottom row.
    EXPECT_EQ(image_pixel(image, 0, 35), 0xFF000000u | bytes[54] | bytes[55] << 8 | bytes[56] << 16);
    EXPECT_EQ(draw_state()->target, image);  // left selected
    EXPECT_EQ(vxtest::dirty_count(), 0);     // an image is not the visible page
    image_destroy(image);
}

TEST_F(Load, Bitmap24ThreePixelsWideHasTwelveByteRows) {
    Bitmap b{.width = 3, .height = 4, .bits = 24};
    b.pixel = colour_at;
    std::vector<uint8_t> bytes = bmp_bytes(b);
    ASSERT_EQ(bytes.size(), 54u + 4 * 12);
    int locks = fake.locks;
    ASSERT_EQ(image_load(write_file("three.bmp", bytes).c_str(), nullptr, nullptr), 0);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(vxtest::screen_pixel(x, y), x < 3 && y < 4 ? 0xFF000000u | colour_at(x, y) : 0xFF000000u)
                << x << "," << y;
    EXPECT_EQ(vxtest::dirty_count(), 190);  // the screen: every line
    EXPECT_EQ(fake.locks, locks + 1);
    EXPECT_EQ(fake.unlocks, fake.locks);
}

TEST_F(Load, Bitmap1TenPixelsWide) {
    const uint32_t zero = 0x00102030, one = 0x00F0E0D0;
    Bitmap b{.width = 10, .height = 3, .bits = 1, .palette = {zero, one}};
    b.pixel = [](int x, int y) { return static_cast<uint32_t>((x * 3 + y) % 4 == 0 || x == 0); };
    std::vector<uint8_t> bytes = bmp_bytes(b);
    ASSERT_EQ(bytes.size(), 54u + 8 + 3 * 4);  // 2 bytes of pixels and 2 skipped per row
    void* image = image_create(10, 3, 0, 0, 0x80000000u);
    ASSERT_EQ(image_load(write_file("one.bmp", bytes).c_str(), image, nullptr), 0);
    EXPECT_TRUE(image_is(image, [&](int x, int y) { return 0xFF000000u | (b.pixel(x, y) ? one : zero); }));
    EXPECT_EQ(bytes[62] >> 7, 1);  // pixel 0 of the bottom row is the top bit
    image_destroy(image);
}

TEST_F(Load, Bitmap4OddWidth) {
    std::vector<uint32_t> palette = colour_ramp(16);
    Bitmap b{.width = 5, .height = 2, .bits = 4, .palette = palette};
    b.pixel = [](int x, int y) { return static_cast<uint32_t>((x * 5 + y * 3) & 15); };
    void* image = image_create(5, 2, 0, 0, 0x80000000u);
    ASSERT_EQ(image_load(write_file("four.bmp", bmp_bytes(b)).c_str(), image, nullptr), 0);
    EXPECT_TRUE(image_is(image, [&](int x, int y) { return 0xFF000000u | palette[b.pixel(x, y)]; }));
    image_destroy(image);
}

TEST_F(Load, Bitmap8WithAFullPaletteGoesToTheDevicePalette) {
    std::vector<uint32_t> palette = colour_ramp(256);
    Bitmap b{.width = 16, .height = 16, .bits = 8, .palette = palette};
    b.pixel = [](int x, int y) { return static_cast<uint32_t>(y * 16 + x); };
    std::string path = write_file("eight.bmp", bmp_bytes(b));
    void* image = image_create(16, 16, 0, 0, 0x80000000u);
    int calls = fake.palette_calls;
    ASSERT_EQ(image_load(path.c_str(), image, nullptr), 0);
    GfxContext* ctx = gfx_context();
    for (int i = 0; i < 256; ++i) ASSERT_EQ(ctx->device_palette[i], bgr_entry(palette[i])) << "entry " << i;
    EXPECT_EQ(fake.palette_calls, calls + 256);  // all of it sent to the display
    EXPECT_TRUE(image_is(image, [&](int x, int y) { return 0xFF000000u | palette[y * 16 + x]; }));

    // With a palette buffer: 6-bit levels there, the device palette untouched, pixels looked
    // up in the device palette as it is.
    for (int i = 0; i < 256; ++i) ctx->device_palette[i] = static_cast<uint32_t>(i * 0x010101);
    std::vector<uint32_t> buffer(256, 0xDEADBEEF);
    calls = fake.palette_calls;
    ASSERT_EQ(image_load(path.c_str(), image, buffer.data()), 0);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(buffer[i], (bgr_entry(palette[i]) >> 2) & 0x3F3F3F) << "entry " << i;
        ASSERT_EQ(ctx->device_palette[i], static_cast<uint32_t>(i * 0x010101)) << "entry " << i;
    }
    EXPECT_EQ(fake.palette_calls, calls);
    EXPECT_TRUE(image_is(image, [](int x, int y) { return 0xFF000000u | static_cast<uint32_t>(y * 16 + x) * 0x010101; }));
    image_destroy(image);
}

TEST_F(Load, ConvertersForEachDestinationPixelSize) {
    std::vector<uint32_t> palette = colour_ramp(256);
    Bitmap indexed{.width = 7, .height = 3, .bits = 8, .palette = palette};
    indexed.pixel = [](int x, int y) { return static_cast<uint32_t>(x * 37 + y * 11); };
    Bitmap rgb{.width = 7, .height = 3, .bits = 24};
    rgb.pixel = colour_at;
    Bitmap rgba{.width = 7, .height = 3, .bits = 32};
    rgba.pixel = [](int x, int y) { return colour_at(x, y) | static_cast<uint32_t>(x * 30) << 24; };
    std::string indexed_path = write_file("c8.bmp", bmp_bytes(indexed));
    std::string rgb_path = write_file("c24.bmp", bmp_bytes(rgb));
    std::string rgba_path = write_file("c32.bmp", bmp_bytes(rgba));

    void* four = image_create(7, 3, 0, 32, 0x80000000u);
    ASSERT_EQ(image_load(rgba_path.c_str(), four, nullptr), 0);
    EXPECT_TRUE(image_is(four, rgba.pixel));  // copied as they are, the fourth byte as alpha

    void* two = image_create(7, 3, 0, 16, 0x80000000u);
    ASSERT_EQ(image_load(rgb_path.c_str(), two, nullptr), 0);
    EXPECT_TRUE(image_is(two, [](int x, int y) { return as_565(colour_at(x, y)); }));
    ASSERT_EQ(image_load(rgba_path.c_str(), two, nullptr), 0);
    EXPECT_TRUE(image_is(two, [](int x, int y) { return as_565(colour_at(x, y)); }));
    ASSERT_EQ(image_load(indexed_path.c_str(), two, nullptr), 0);
    EXPECT_TRUE(image_is(two, [&](int x, int y) { return as_565(palette[indexed.pixel(x, y) & 0xFF]); }));

    void* one = image_create(7, 3, 0, 8, 0x80000000u);
    ASSERT_EQ(image_load(indexed_path.c_str(), one, nullptr), 0);
    EXPECT_TRUE(image_is(one, [&](int x, int y) { return indexed.pixel(x, y) & 0xFF; }));
    // Colour files cannot go into 1-byte pixels; their palette entries are then not installed.
    rgba.data_offset = 54 + 8;
    rgba.palette = {0x00111111, 0x00222222};
    GfxContext* ctx = gfx_context();
    uint32_t before = ctx->device_palette[0];
    EXPECT_EQ(image_load(rgb_path.c_str(), one, nullptr), 1);
    EXPECT_EQ(image_load(write_file("c32p.bmp", bmp_bytes(rgba)).c_str(), one, nullptr), 1);
    EXPECT_EQ(ctx->device_palette[0], before);
    EXPECT_TRUE(image_is(one, [&](int x, int y) { return indexed.pixel(x, y) & 0xFF; }));
    image_destroy(four);
    image_destroy(two);
    image_destroy(one);
}

TEST_F(Load, IndicesAreMaskedToTheScreensDepth) {
    vxtest::open_fake_screen(16, 4, 4, 0);
    Bitmap b{.width = 16, .height = 4, .bits = 8, .palette = colour_ramp(256)};
    b.pixel = [](int x, int y) { return static_cast<uint32_t>(x * 16 + y); };
    ASSERT_EQ(image_load(write_file("masked.bmp", bmp_bytes(b)).c_str(), nullptr, nullptr), 0);
    GfxContext* ctx = gfx_context();
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 16; ++x) ASSERT_EQ(ctx->visible_buffer[y * ctx->pitch + x], (x * 16 + y) & 15) << x << "," << y;
}

TEST_F(Load, BitFieldFilesAreColoursWithoutAlpha) {
    Bitmap b{.width = 5, .height = 2, .bits = 32, .compression = 3,
             .masks = {0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0}};
    b.pixel = [](int x, int y) { return colour_at(x, y) | 0x5A000000u; };
    std::vector<uint8_t> bytes = bmp_bytes(b);
    ASSERT_EQ(bytes[10], 66);  // the masks sit between the header and the pixels
    void* image = image_create(5, 2, 0, 0, 0x80000000u);
    ASSERT_EQ(image_load(write_file("fields.bmp", bytes).c_str(), image, nullptr), 0);
    EXPECT_TRUE(image_is(image, [](int x, int y) { return 0xFF000000u | colour_at(x, y); }));

    void* fresh = image_create(5, 2, 0, 0, 0x80000000u);
    b.masks = {0xFF, 0, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0xFF, 0};  // red and blue exchanged
    EXPECT_EQ(image_load(write_file("fields_swapped.bmp", bmp_bytes(b)).c_str(), fresh, nullptr), 3);
    b.bits = 8;
    b.masks = {0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0};
    EXPECT_EQ(image_load(write_file("fields_8.bmp", bmp_bytes(b)).c_str(), fresh, nullptr), 3);
    EXPECT_TRUE(image_is(fresh, [](int, int) { return 0xFFFF00FFu; }));
    image_destroy(image);
    image_destroy(fresh);
}

TEST_F(Load, ResultCodesAndTheLastError) {
    Bitmap b{.width = 2, .height = 2, .bits = 16};
    EXPECT_EQ(image_load(write_file("sixteen.bmp", bmp_bytes(b)).c_str(), nullptr, nullptr), 1);
    EXPECT_EQ(rt_last_error(), 0);  // the bitmap path only returns its result
    b.bits = 15;
    EXPECT_EQ(image_load(write_file("fifteen.bmp", bmp_bytes(b)).c_str(), nullptr, nullptr), 1);
    for (uint16_t bits : {0, 2, 7, 64}) {
        b.bits = bits;
        EXPECT_EQ(image_load(write_file("odd_depth.bmp", bmp_bytes(b)).c_str(), nullptr, nullptr), 3) << bits;
    }
    b = Bitmap{.width = 2, .height = 2, .bits = 24, .info_size = 108};
    EXPECT_EQ(image_load(write_file("v4.bmp", bmp_bytes(b)).c_str(), nullptr, nullptr), 3);
    b.info_size = 40;
    std::vector<uint8_t> bytes = bmp_bytes(b);
    EXPECT_EQ(image_load(write_file("cut_header.bmp", {bytes.begin(), bytes.begin() + 53}).c_str(), nullptr, nullptr), 3);
    bytes[1] = 'Z';
    EXPECT_EQ(image_load(write_file("bz.bmp", bytes).c_str(), nullptr, nullptr), 3);

    rt_set_error(0);
    EXPECT_EQ(image_load(write_file("x.bmp", {'X', 'M', 0, 0}).c_str(), nullptr, nullptr), 3);
    EXPECT_EQ(rt_last_error(), 3);
    EXPECT_EQ(image_load(write_file("empty.bmp", {}).c_str(), nullptr, nullptr), 3);
    EXPECT_EQ(image_load((temp_dir() / "missing.bmp").c_str(), nullptr, nullptr), 2);
    EXPECT_EQ(rt_last_error(), 2);
    EXPECT_EQ(image_load(nullptr, nullptr, nullptr), 2);
    EXPECT_TRUE(std::all_of(gfx_context()->visible_buffer, gfx_context()->visible_buffer + 720 * 190 * 4,
                            [](uint8_t v) { return v == 0 || v == 0xFF; }));

    vxtest::restore_drivers();
    EXPECT_EQ(image_load(write_file("ok.bmp", bmp_bytes(Bitmap{.width = 1, .height = 1})).c_str(), nullptr, nullptr), 1);
    EXPECT_EQ(rt_last_error(), 1);
}

TEST_F(Load, TruncatedRowsKeepWhatWasConverted) {
    Bitmap b{.width = 4, .height = 6, .bits = 8, .palette = colour_ramp(256)};
    b.pixel = [](int x, int y) { return static_cast<uint32_t>(y * 4 + x); };
    std::vector<uint8_t> bytes = bmp_bytes(b);
    bytes.resize(bytes.size() - 4 * 2 - 1);  // the top two rows and a byte of the third are missing
    int locks = fake.locks;
    EXPECT_EQ(image_load(write_file("cut_rows.bmp", bytes).c_str(), nullptr, nullptr), 3);
    std::vector<uint32_t> palette = colour_ramp(256);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(vxtest::screen_pixel(x, y), y >= 3 ? 0xFF000000u | palette[y * 4 + x] : 0xFF000000u) << x << "," << y;
    EXPECT_EQ(gfx_context()->device_palette[5], bgr_entry(palette[5]));  // the palette stays
    EXPECT_EQ(vxtest::dirty_count(), 190);
    EXPECT_EQ(fake.locks, locks + 1);
    EXPECT_EQ(fake.unlocks, fake.locks);
}

TEST_F(Load, SizesThatDifferFromTheDestination) {
    Bitmap b{.width = 300, .height = 40, .bits = 24};
    b.pixel = colour_at;
    void* image = picture();
    ASSERT_EQ(image_load(write_file("large.bmp", bmp_bytes(b)).c_str(), image, nullptr), 0);
    // Cut: rows 36..39 of the file (its top rows) are read and dropped.
    EXPECT_TRUE(image_is(image, [](int x, int y) { return 0xFF000000u | colour_at(x, y); }));
    image_destroy(image);

    image = picture();
    b.width = 10;
    b.height = 5;
    ASSERT_EQ(image_load(write_file("small.bmp", bmp_bytes(b)).c_str(), image, nullptr), 0);
    EXPECT_TRUE(image_is(image, [](int x, int y) { return x < 10 && y < 5 ? 0xFF000000u | colour_at(x, y) : 0xFFFF00FFu; }));

    // A top-down file (negative height) loads no rows.
    void* untouched = picture();
    b.height = -5;
    EXPECT_EQ(image_load(write_file("top_down.bmp", bmp_bytes(b)).c_str(), untouched, nullptr), 0);
    EXPECT_TRUE(image_is(untouched, [](int, int) { return 0xFFFF00FFu; }));
    image_destroy(image);
    image_destroy(untouched);

    // Onto the screen: cut to 720 x 190.
    b.width = 730;
    b.height = 200;
    ASSERT_EQ(image_load(write_file("huge.bmp", bmp_bytes(b)).c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(vxtest::screen_pixel(719, 189), 0xFF000000u | colour_at(719, 189));
}

TEST_F(Load, AMemoryBlockBecomesAnImageOfTheFilesSize) {
    Bitmap b{.width = 5, .height = 3, .bits = 24};
    b.pixel = colour_at;
    std::string path = write_file("block.bmp", bmp_bytes(b));
    constexpr size_t size = 32 + 3 * 32, guard = 64;
    std::vector<uint8_t> block(size + guard, 0xCC);
    std::memset(block.data(), 0, 20);  // not an image: the first word is 0
    ASSERT_EQ(image_load(path.c_str(), block.data(), nullptr), 0);
    ImageHeader h;
    std::memcpy(&h, block.data(), sizeof h);
    EXPECT_EQ(h.type, 7);
    EXPECT_EQ(h.bpp, 4);
    EXPECT_EQ(h.width, 5);
    EXPECT_EQ(h.height, 3);
    EXPECT_EQ(h.pitch, 32);
    for (uint8_t byte : h.reserved) EXPECT_EQ(byte, 0xCC);  // bytes 20-31 are not written
    EXPECT_TRUE(image_is(block.data(), [](int x, int y) { return 0xFF000000u | colour_at(x, y); }));
    for (size_t i = 32 + 20; i < 32 + 32; ++i) EXPECT_EQ(block[i], 0xCC) << "row padding " << i;
    for (size_t i = size; i < block.size(); ++i) ASSERT_EQ(block[i], 0xCC) << "past the image " << i;

    // In the compatibility mode the block gets the 4-byte header and packed rows.
    rt_legacy_header_mode = true;
    std::vector<uint8_t> legacy(4 + 3 * 20 + guard, 0xCC);
    std::memset(legacy.data(), 0, 4);
    ASSERT_EQ(image_load(path.c_str(), legacy.data(), nullptr), 0);
    EXPECT_EQ(legacy[0], 4 | (5 << 3));
    EXPECT_EQ(legacy[2], 3);
    EXPECT_TRUE(image_is(legacy.data(), [](int x, int y) { return 0xFF000000u | colour_at(x, y); }));
    for (size_t i = 4 + 60; i < legacy.size(); ++i) ASSERT_EQ(legacy[i], 0xCC) << "past the image " << i;
}

TEST_F(Load, PalettesOfAnySizeStayInsideTheirTarget) {
    std::vector<uint32_t> thousand = colour_ramp(1000);
    Bitmap b{.width = 4, .height = 2, .bits = 8, .palette = thousand};
    b.pixel = [](int x, int y) { return static_cast<uint32_t>(250 + x + y); };
    std::vector<uint32_t> buffer(256 + 16, 0x77777777);
    void* image = image_create(4, 2, 0, 0, 0x80000000u);
    // The surplus entries are read and dropped: the rows follow all of them.
    ASSERT_EQ(image_load(write_file("pal1000.bmp", bmp_bytes(b)).c_str(), image, buffer.data()), 0);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(buffer[i], (bgr_entry(thousand[i]) >> 2) & 0x3F3F3F) << i;
    for (int i = 256; i < 272; ++i) ASSERT_EQ(buffer[i], 0x77777777u) << "past the palette buffer " << i;
    ASSERT_EQ(image_load(write_file("pal1000.bmp", bmp_bytes(b)).c_str(), image, nullptr), 0);
    EXPECT_TRUE(image_is(image, [&](int x, int y) { return 0xFF000000u | thousand[static_cast<size_t>(250 + x + y)]; }));

    // An offset below the header: no entries, the rows right after the header.
    GfxContext* ctx = gfx_context();
    for (int i = 0; i < 256; ++i) ctx->device_palette[i] = 0x00010203u * static_cast<uint32_t>(i);
    b.palette.clear();
    b.data_offset = 10;
    ASSERT_EQ(image_load(write_file("pal_low.bmp", bmp_bytes(b)).c_str(), image, nullptr), 0);
    EXPECT_EQ(ctx->device_palette[251], 0x00010203u * 251);
    EXPECT_EQ(image_pixel(image, 1, 0), 0xFF000000u | bgr_entry(0x00010203u * 251));

    // An offset far beyond the file: damaged, nothing installed or drawn.
    b.data_offset = 0xFFFFFFFF;
    void* fresh = image_create(4, 2, 0, 0, 0x80000000u);
    int locks = fake.locks, calls = fake.palette_calls;
    EXPECT_EQ(image_load(write_file("pal_far.bmp", bmp_bytes(b)).c_str(), fresh, nullptr), 3);
    EXPECT_EQ(fake.locks, locks);
    EXPECT_EQ(fake.palette_calls, calls);
    EXPECT_TRUE(image_is(fresh, [](int, int) { return 0xFFFF00FFu; }));
    image_destroy(image);
    image_destroy(fresh);
}

TEST_F(Load, HeadersThatWouldOverrun) {
    void* image = picture();
    auto load = [&](const Bitmap& b, const std::vector<uint8_t>& tail = {}) {
        std::vector<uint8_t> bytes = bmp_bytes(b);
        bytes.insert(bytes.end(), tail.begin(), tail.end());
        return image_load(write_file("overrun.bmp", bytes).c_str(), image, nullptr);
    };
    std::vector<uint8_t> some(256, 0x42);
    // Rows of more than 2^31 bytes: refused before any size is worked out in 32 bits.
    EXPECT_EQ(load(Bitmap{.width = 0x40000000, .height = 1, .bits = 32, .rows = false}, some), 3);
    EXPECT_EQ(load(Bitmap{.width = 0x7FFFFFFF, .height = 1, .bits = 24, .rows = false}, some), 3);
    EXPECT_EQ(load(Bitmap{.width = -3, .height = 1, .bits = 24, .rows = false}, some), 3);
    // A row the file cannot hold is refused before its buffer is allocated.
    EXPECT_EQ(load(Bitmap{.width = 100000000, .height = 2, .bits = 8, .rows = false}, some), 3);
    // Huge heights end at the end of the file; rows outside the image are dropped.
    EXPECT_EQ(load(Bitmap{.width = 4, .height = 0x7FFFFFFF, .bits = 24, .rows = false}, some), 3);
    EXPECT_EQ(load(Bitmap{.width = 0, .height = 0x7FFFFFFF, .bits = 24, .rows = false}), 0);
    EXPECT_EQ(load(Bitmap{.width = 4, .height = INT32_MIN, .bits = 24, .rows = false}, some), 0);
    EXPECT_TRUE(image_is(image, [](int, int) { return 0xFFFF00FFu; }));

    // A destination whose own header is corrupt is refused, and nothing is written.
    Bitmap fine{.width = 4, .height = 2, .bits = 24};
    fine.pixel = colour_at;
    std::vector<uint8_t> bad(32 + 64 + 64, 0xCC);
    for (ImageHeader h : {ImageHeader{7, 4, 4, 2, 8, {}}, ImageHeader{7, 3, 4, 2, 16, {}}, ImageHeader{7, 4, -4, 2, 16, {}}}) {
        std::memcpy(bad.data(), &h, sizeof h);
        EXPECT_EQ(image_load(write_file("fine.bmp", bmp_bytes(fine)).c_str(), bad.data(), nullptr), 1);
        for (size_t i = 32; i < bad.size(); ++i) ASSERT_EQ(bad[i], 0xCC) << i;
    }
    image_destroy(image);
}

TEST_F(Load, RawDumpReplacesTheWholeImageBuffer) {
    void* source = picture();
    for (int y = 0; y < 36; ++y)
        for (int x = 0; x < 284; ++x) store32(pixels(source) + y * 1136 + x * 4, 0x01000000u | colour_at(x, y));
    std::memset(static_cast<uint8_t*>(source) + 20, 0x3C, 12);
    std::vector<uint8_t> dump(static_cast<uint8_t*>(source), static_cast<uint8_t*>(source) + 40928);
    void* image = picture();
    rt_set_error(3);
    ASSERT_EQ(image_load(write_file("dump.raw", raw_fe(dump)).c_str(), image, nullptr), 0);
    EXPECT_EQ(rt_last_error(), 0);
    EXPECT_EQ(std::memcmp(image, dump.data(), dump.size()), 0);
    image_destroy(source);
    image_destroy(image);
}

TEST_F(Load, RawDumpsAreBoundedByTheDestinationImage) {
    // An image buffer inside a larger block: nothing past its 32 + 2 x 16 bytes may change.
    std::vector<uint8_t> block(64 + 256, 0xCC);
    ImageHeader h{7, 4, 4, 2, 16, {}};
    std::memcpy(block.data(), &h, sizeof h);
    std::vector<uint8_t> payload(200, 0x11);
    std::memcpy(payload.data(), &h, sizeof h);
    ASSERT_EQ(image_load(write_file("long.raw", raw_fe(payload)).c_str(), block.data(), nullptr), 0);
    for (size_t i = 32; i < 64; ++i) ASSERT_EQ(block[i], 0x11) << i;
    for (size_t i = 64; i < block.size(); ++i) ASSERT_EQ(block[i], 0xCC) << "past the image " << i;

    // A dump whose header claims more than the block holds keeps the old header: result 3.
    ImageHeader claims{7, 4, 8000, 8000, 32000, {}};
    std::memcpy(payload.data(), &claims, sizeof claims);
    EXPECT_EQ(image_load(write_file("claims.raw", raw_fe(payload)).c_str(), block.data(), nullptr), 3);
    EXPECT_EQ(rt_last_error(), 3);
    EXPECT_EQ(std::memcmp(block.data(), &h, sizeof h), 0);
    for (size_t i = 64; i < block.size(); ++i) ASSERT_EQ(block[i], 0xCC) << "past the image " << i;

    // A destination image with a corrupt header has no size to bound the copy: refused.
    ImageHeader corrupt{7, 4, 4, 2, 4, {}};
    std::memcpy(block.data(), &corrupt, sizeof corrupt);
    EXPECT_EQ(image_load(write_file("long.raw", raw_fe(payload)).c_str(), block.data(), nullptr), 1);

    // The program's picture: a dump claiming a larger picture is refused, the image stays usable.
    void* image = picture();
    std::vector<uint8_t> larger(32 + 300 * 36 * 4, 0x22);
    ImageHeader wide{7, 4, 300, 36, 1200, {}};
    std::memcpy(larger.data(), &wide, sizeof wide);
    EXPECT_EQ(image_load(write_file("wider.raw", raw_fe(larger)).c_str(), image, nullptr), 3);
    EXPECT_EQ(image_block_size(image_view(image, 4), 4), 40928);
    EXPECT_EQ(put_image(nullptr, 0, 0, image, whole_image, 0, 0, 0, 0, 0, put_trans, 0, nullptr, nullptr), 0);
    image_destroy(image);
}

TEST_F(Load, RawDumpsIntoMemoryBlocks) {
    // 0xFD: four bytes not used, then a 16-bit length.
    std::vector<uint8_t> file = {0xFD, 9, 9, 9, 9, 5, 0, 'a', 'b', 'c', 'd', 'e', 'f', 'g'};
    std::vector<uint8_t> block(16, 0);
    ASSERT_EQ(image_load(write_file("fd.raw", file).c_str(), block.data(), nullptr), 0);
    EXPECT_EQ(std::string(block.begin(), block.begin() + 6), std::string("abcde\0", 6));
    // A dump shorter than its length keeps what it had; without a screen too.
    vxtest::restore_drivers();
    std::vector<uint8_t> more(16, 0);
    ASSERT_EQ(image_load(write_file("short.raw", raw_fe({1, 2, 3}, 10)).c_str(), more.data(), nullptr), 0);
    EXPECT_EQ(more[2], 3);
    EXPECT_EQ(more[3], 0);
    EXPECT_EQ(image_load(write_file("cut_length.raw", {0xFE, 1, 2}).c_str(), more.data(), nullptr), 3);
    EXPECT_EQ(rt_last_error(), 3);
    EXPECT_EQ(image_load(write_file("cut_fd.raw", {0xFD, 0, 0, 0, 0, 1}).c_str(), more.data(), nullptr), 3);
}

TEST_F(Load, RawDumpsOntoTheScreen) {
    std::vector<uint8_t> page(720 * 190 * 4);
    for (size_t i = 0; i < page.size(); ++i) page[i] = static_cast<uint8_t>(i * 7);
    std::vector<uint8_t> longer = page;
    longer.resize(page.size() + 1000, 0x99);  // longer than the page: cut
    int locks = fake.locks;
    ASSERT_EQ(image_load(write_file("screen.raw", raw_fe(longer)).c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(std::memcmp(gfx_context()->visible_buffer, page.data(), page.size()), 0);
    EXPECT_EQ(vxtest::dirty_count(), 190);
    EXPECT_EQ(fake.locks, locks + 1);

    // An 8-bit screen: the pixels, then 256 entries of 6-bit red, green, blue.
    vxtest::open_fake_screen(32, 8, 8, 0);
    std::vector<uint8_t> payload(32 * 8, 0x05);
    std::vector<uint8_t> file = raw_fe(payload);
    for (int i = 0; i < 256; ++i) file.insert(file.end(), {static_cast<uint8_t>(i & 63), 0x3F, static_cast<uint8_t>(i >> 2)});
    std::string path = write_file("screen8.raw", file);
    int calls = fake.palette_calls;
    ASSERT_EQ(image_load(path.c_str(), nullptr, nullptr), 0);
    GfxContext* ctx = gfx_context();
    EXPECT_EQ(ctx->visible_buffer[100], 0x05);
    for (int i = 0; i < 256; ++i) {
        uint32_t value = static_cast<uint32_t>(i & 63) | 0x3F00u | static_cast<uint32_t>(i >> 2) << 16;
        ASSERT_EQ(ctx->device_palette[i], (value << 2) & 0xFCFCFC) << i;
    }
    EXPECT_EQ(fake.palette_calls, calls + 256);
    std::vector<uint32_t> buffer(256 + 4, 0xABABABAB);
    ASSERT_EQ(image_load(path.c_str(), nullptr, buffer.data()), 0);
    EXPECT_EQ(buffer[7], 7u | 0x3F00u | 1u << 16);
    EXPECT_EQ(buffer[256], 0xABABABABu);
}

// A name is whole up to 259 characters; a longer one opens nothing (cut, it would name the
// file at its first 259 characters).
TEST_F(Load, NamesUpTo259CharactersOpenAndKeepTheirSlashesLongerOnesOpenNothing) {
    // Directories of 100 characters so that the whole path passes 259 at a known place.
    std::filesystem::path dir = temp_dir();
    std::string full = dir.string();
    while (full.size() + 101 < 250) {
        full += "/" + std::string(100 - 1, 'd');
        std::filesystem::create_directories(full);
    }
    std::string name = full + "/" + std::string(259 - full.size() - 1, 'n');
    ASSERT_EQ(name.size(), 259u);
    std::ofstream(name, std::ios::binary) << "X";  // an unrecognised file: result 3, not 2
    EXPECT_EQ(image_load(name.c_str(), nullptr, nullptr), 3);
    EXPECT_EQ(image_load((name + "x").c_str(), nullptr, nullptr), 2);
    EXPECT_EQ(image_load((name.substr(0, 258)).c_str(), nullptr, nullptr), 2);
}
