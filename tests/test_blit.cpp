// Pixel format conversion: small cases computed by hand, the dirty-line walk (padding, clean
// lines, line doubling), the selection, and the vector family against the plain one.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sstream>
#include <vector>

#include "display/blitters.h"
#include "gfx/context.h"
#include "gfx/pixels.h"
#include "tests/support/fake_driver.h"

using namespace vx;

namespace {

constexpr uint8_t kJunk = 0xCD;  // what the destination holds before; untouched bytes keep it

struct Blit : ::testing::Test {
    void TearDown() override { vxtest::restore_drivers(); }

    // A screen of the given depth whose visible page holds `pixels` (row after row) with
    // every line dirty.
    GfxContext* frame(int width, int height, int depth, const std::vector<uint32_t>& pixels) {
        EXPECT_EQ(vxtest::open_fake_screen(width, height, depth, 4), 0);
        GfxContext* ctx = gfx_context();
        for (int i = 0; i < width * height; ++i) {
            uint8_t* p = ctx->visible_buffer + static_cast<size_t>(i) * ctx->bpp;
            uint32_t v = pixels[static_cast<size_t>(i)];
            if (ctx->bpp == 1) *p = static_cast<uint8_t>(v);
            else if (ctx->bpp == 2) store16(p, static_cast<uint16_t>(v));
            else store32(p, v);
        }
        std::memset(ctx->dirty.get(), 1, static_cast<size_t>(height) * ctx->scale);
        return ctx;
    }

    // Runs the routine of `family` into a destination of rows x pitch bytes full of junk.
    std::vector<uint8_t> convert(const BlitterFamily& family, int bits, bool reversed, int pitch, int rows) {
        GfxContext* ctx = gfx_context();
        rgb565_lut_build(ctx->conversion_table, reversed);
        Blitter blitter = blitter_lookup(family, ctx->depth, bits, reversed);
        EXPECT_NE(blitter, nullptr);
        std::vector<uint8_t> out(static_cast<size_t>(pitch) * rows, kJunk);
        if (blitter) blitter(out.data(), pitch);
        return out;
    }
};

std::vector<uint8_t> bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> v;
    for (int b : values) v.push_back(static_cast<uint8_t>(b));
    return v;
}
std::vector<uint8_t> le16(std::initializer_list<uint32_t> values) {
    std::vector<uint8_t> v;
    for (uint32_t x : values) v.insert(v.end(), {static_cast<uint8_t>(x), static_cast<uint8_t>(x >> 8)});
    return v;
}
std::vector<uint8_t> le32(std::initializer_list<uint32_t> values) {
    std::vector<uint8_t> v;
    for (uint32_t x : values)
        v.insert(v.end(), {static_cast<uint8_t>(x), static_cast<uint8_t>(x >> 8), static_cast<uint8_t>(x >> 16), static_cast<uint8_t>(x >> 24)});
    return v;
}

// The first differing byte, as row and offset in it.
std::string first_difference(const std::vector<uint8_t>& actual, const std::vector<uint8_t>& expected, int pitch) {
    for (size_t i = 0; i < std::max(actual.size(), expected.size()); ++i) {
        int a = i < actual.size() ? actual[i] : -1, e = i < expected.size() ? expected[i] : -1;
        if (a != e) {
            std::ostringstream s;
            s << "first difference at row " << i / static_cast<size_t>(pitch) << " byte " << i % static_cast<size_t>(pitch)
              << ": got 0x" << std::hex << a << ", want 0x" << e;
            return s.str();
        }
    }
    return {};
}

const BlitterFamily* const families[] = {&plain_blitters, &vector_blitters};
const char* family_name(const BlitterFamily* f) { return f == &plain_blitters ? "plain" : "vector"; }

struct OnePixelCase {
    const char* name;
    int depth;
    std::vector<uint32_t> pixels;  // one row
    int bits;
    bool reversed;
    std::vector<uint8_t> expected;  // the converted row; the byte after it stays junk
};

}  // namespace

TEST_F(Blit, HandComputedCases) {
    const uint32_t red = 0xF800, green = 0x07E0, blue = 0x001F;
    const OnePixelCase cases[] = {
        {"index 5 (FF,80,01) to normal 5-6-5", 8, {5}, 16, false, le16({0xFC00})},
        {"index 5 (FF,80,01) to reversed 5-6-5", 8, {5}, 16, true, le16({0x041F})},
        {"index 5 to normal 5-5-5", 8, {5}, 15, false, le16({0x7E00})},
        {"index 5 to reversed 5-5-5", 8, {5}, 15, true, le16({0x021F})},
        {"index 5 to 24 bits, blue green red", 8, {5}, 24, false, bytes({0x01, 0x80, 0xFF})},
        {"index 5 to reversed 24 bits", 8, {5}, 24, true, bytes({0xFF, 0x80, 0x01})},
        {"index 5 to 0x00RRGGBB", 8, {5}, 32, false, le32({0x00FF8001})},
        {"index 5 to 0x00BBGGRR as stored", 8, {5}, 32, true, le32({0x000180FF})},
        {"index to 8 bits is a copy", 8, {5, 200, 0}, 8, false, bytes({5, 200, 0})},
        {"5-6-5 red, green, blue to 0x00RRGGBB", 16, {red, green, blue}, 32, false, le32({0x00F80000, 0x0000FC00, 0x000000F8})},
        {"5-6-5 to 0x00BBGGRR", 16, {red, green, blue}, 32, true, le32({0x000000F8, 0x0000FC00, 0x00F80000})},
        {"5-6-5 white to 32 bits keeps low bits zero", 16, {0xFFFF}, 32, false, le32({0x00F8FCF8})},
        {"5-6-5 to 5-5-5 drops green's low bit", 16, {red, green, blue, 0xFFFF, 0x0020}, 15, false,
         le16({0x7C00, 0x03E0, 0x001F, 0x7FFF, 0x0000})},
        {"5-6-5 to reversed 5-5-5", 16, {red, green, blue}, 15, true, le16({0x001F, 0x03E0, 0x7C00})},
        {"5-6-5 to 5-6-5 is a copy", 16, {0x1234, 0xFEDC}, 16, false, le16({0x1234, 0xFEDC})},
        {"5-6-5 to reversed 5-6-5 exchanges red and blue", 16, {red, green, blue}, 16, true, le16({0x001F, 0x07E0, 0xF800})},
        {"5-6-5, 3 wide, to 24 bits writes 9 bytes", 16, {red, green, blue}, 24, false,
         bytes({0x00, 0x00, 0xF8, 0x00, 0xFC, 0x00, 0xF8, 0x00, 0x00})},
        {"5-6-5 to reversed 24 bits", 16, {red}, 24, true, bytes({0xF8, 0x00, 0x00})},
        {"32 bits 0xFF102030 to reversed 5-5-5", 32, {0xFF102030}, 15, true, le16({0x1882})},
        {"32 bits 0xFF102030 to normal 5-5-5", 32, {0xFF102030}, 15, false, le16({0x0886})},
        {"the alpha byte is junk to 5-5-5", 32, {0x00102030, 0x7F102030}, 15, false, le16({0x0886, 0x0886})},
        {"32 bits to 5-6-5", 32, {0xFF102030}, 16, false, le16({0x1106})},
        {"32 bits to reversed 5-6-5", 32, {0x5A102030}, 16, true, le16({0x3102})},
        {"32 bits to 24 bits, blue green red", 32, {0xAA112233}, 24, false, bytes({0x33, 0x22, 0x11})},
        {"32 bits to reversed 24 bits", 32, {0xAA112233}, 24, true, bytes({0x11, 0x22, 0x33})},
        {"32 bits to 32 bits copies all four bytes", 32, {0xAA112233}, 32, false, le32({0xAA112233})},
        {"32 bits to reversed 32 bits exchanges red and blue", 32, {0xAA112233}, 32, true, le32({0xAA332211})},
    };
    for (const OnePixelCase& c : cases)
        for (const BlitterFamily* family : families) {
            int width = static_cast<int>(c.pixels.size());
            GfxContext* ctx = frame(width, 1, c.depth, c.pixels);
            ctx->device_palette[5] = 0xFF | (0x80 << 8) | (0x01 << 16);
            ctx->device_palette[200] = 0x123456;
            int pitch = static_cast<int>(c.expected.size()) + 1;
            auto out = convert(*family, c.bits, c.reversed, pitch, 1);
            auto expected = c.expected;
            expected.push_back(kJunk);
            EXPECT_EQ(out, expected) << c.name << " (" << family_name(family) << "): " << first_difference(out, expected, pitch);
        }
}

TEST_F(Blit, AlphaClearingCopyClearsOnlyTheTopByte) {
    frame(2, 1, 32, {0xAA112233, 0xFFFFFFFF});
    std::vector<uint8_t> out(9, kJunk);
    blit_alpha_clear(out.data(), 9);
    auto expected = le32({0x00112233, 0x00FFFFFF});
    expected.push_back(kJunk);
    EXPECT_EQ(out, expected) << first_difference(out, expected, 9);
}

TEST_F(Blit, PaddedDestinationPitchKeepsItsPadding) {
    for (const BlitterFamily* family : families) {
        frame(2, 2, 32, {0xFF0000FF, 0xFF00FF00, 0xFFFF0000, 0xFFFFFFFF});
        auto out = convert(*family, 16, false, 7, 2);  // 4 bytes of pixels, 3 of padding per row
        auto expected = le16({0x001F, 0x07E0});
        expected.insert(expected.end(), 3, kJunk);
        auto row2 = le16({0xF800, 0xFFFF});
        expected.insert(expected.end(), row2.begin(), row2.end());
        expected.insert(expected.end(), 3, kJunk);
        EXPECT_EQ(out, expected) << family_name(family) << ": " << first_difference(out, expected, 7);
    }
}

TEST_F(Blit, OnlyDirtyLinesAreWritten) {
    for (const BlitterFamily* family : families) {
        GfxContext* ctx = frame(1, 3, 32, {0x01020304, 0x05060708, 0x090A0B0C});
        std::memset(ctx->dirty.get(), 0, 3);
        auto none = convert(*family, 32, false, 4, 3);
        EXPECT_EQ(none, std::vector<uint8_t>(12, kJunk)) << family_name(family) << ": a frame with no dirty line writes nothing";
        ctx->dirty[1] = 1;
        auto one = convert(*family, 32, false, 4, 3);
        std::vector<uint8_t> expected(12, kJunk);
        auto line = le32({0x05060708});
        std::copy(line.begin(), line.end(), expected.begin() + 4);
        EXPECT_EQ(one, expected) << family_name(family) << ": " << first_difference(one, expected, 4);
        EXPECT_EQ(ctx->dirty[1], 1) << "the routine leaves the flags alone";
    }
}

TEST_F(Blit, ScaleTwoWritesEachLineTwice) {
    vxtest::use_fake_driver();
    ASSERT_EQ(screen_mode(8, 0, 0, 0, 0), 0);  // 640 x 200, 4 bits, each line shown twice
    GfxContext* ctx = gfx_context();
    ASSERT_EQ(ctx->scale, 2);
    std::memset(ctx->visible_buffer, 3, static_cast<size_t>(ctx->pitch));
    std::memset(ctx->visible_buffer + ctx->pitch, 9, static_cast<size_t>(ctx->pitch));
    std::memset(ctx->dirty.get(), 0, 400);
    ctx->dirty[0] = 1;
    ctx->dirty[1] = 1;
    for (const BlitterFamily* family : families)
        for (int bits : {8, 32}) {
            int bpp = bits / 8, pitch = 640 * bpp;
            auto out = convert(*family, bits, false, pitch, 400);
            auto shown = [&](uint32_t index) {
                uint32_t e = ctx->device_palette[index];
                return bits == 8 ? index : ((e & 0xFF) << 16) | (e & 0xFF00) | ((e >> 16) & 0xFF);
            };
            for (int row = 0; row < 4; ++row) {
                const uint8_t* last = out.data() + static_cast<size_t>(row) * pitch + 639 * bpp;
                EXPECT_EQ(bits == 8 ? *last : load32(last), shown(row < 2 ? 3 : 9))
                    << family_name(family) << " bits " << bits << " output row " << row;
            }
            EXPECT_EQ(out[static_cast<size_t>(4) * pitch], kJunk) << "framebuffer line 2 is clean";
        }
}

TEST_F(Blit, SelectionFollowsSourceDestinationAndFamily) {
    frame(4, 1, 32, {0, 0, 0, 0});
    EXPECT_EQ(blitter_select(8, false), nullptr) << "a 32-bit screen on an 8-bit display has no conversion";
    EXPECT_EQ(blitter_select(12, false), nullptr);
    GfxContext* ctx = gfx_context();
    ctx->flags |= ctx_vector_routines;
    EXPECT_EQ(blitter_select(16, true), vector_blitters.routines[blit_from_32][2][1]);
    ctx->flags &= ~ctx_vector_routines;
    EXPECT_EQ(blitter_select(16, true), plain_blitters.routines[blit_from_32][2][1]);
    frame(4, 1, 16, {0, 0, 0, 0});
    EXPECT_EQ(blitter_select(8, false), nullptr) << "nor a 16-bit one";
    EXPECT_NE(blitter_select(24, false), nullptr);
    frame(4, 1, 8, {0, 0, 0, 0});
    EXPECT_NE(blitter_select(8, false), nullptr);
}

TEST_F(Blit, SelectionBuildsTheLookupTablesForTheOrder) {
    frame(1, 1, 16, {0});
    GfxContext* ctx = gfx_context();
    blitter_select(32, false);
    for (uint32_t p : {0x0000u, 0xF800u, 0x07E0u, 0x001Fu, 0xFFFFu, 0x1234u}) {
        uint32_t r = p >> 11, g = (p >> 5) & 0x3F, b = p & 0x1F;
        EXPECT_EQ(ctx->conversion_table[p & 0xFF] | ctx->conversion_table[256 + (p >> 8)], (r << 19) | (g << 10) | (b << 3)) << p;
    }
    blitter_select(32, true);
    for (uint32_t p : {0xF800u, 0x07E0u, 0x001Fu, 0xABCDu}) {
        uint32_t r = p >> 11, g = (p >> 5) & 0x3F, b = p & 0x1F;
        EXPECT_EQ(ctx->conversion_table[p & 0xFF] | ctx->conversion_table[256 + (p >> 8)], (b << 19) | (g << 10) | (r << 3)) << p;
    }
    EXPECT_EQ(ctx->conversion_table[0xFF], 0xF81C00u) << "reversed L[0xFF]: blue to 19..23, green's low bits to 10..12";
}

// Every conversion of both families on seeded random frames with odd widths, random dirty
// lines and misaligned destinations: identical bytes, padding untouched.
TEST_F(Blit, VectorFamilyMatchesThePlainOne) {
    std::mt19937 rng(20240601);
    const int widths[] = {1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, 63, 64, 65, 721};
    for (int depth : {8, 16, 32})
        for (int width : widths) {
            const int height = 5;
            std::vector<uint32_t> pixels(static_cast<size_t>(width) * height);
            for (auto& p : pixels) p = rng();
            GfxContext* ctx = frame(width, height, depth, pixels);
            for (auto& e : ctx->device_palette) e = rng() & 0x00FFFFFF;
            for (int y = 0; y < height; ++y) ctx->dirty[y] = static_cast<uint8_t>(rng() % 3 != 0);
            for (int bits : blit_destination_bits)
                for (bool reversed : {false, true}) {
                    if (!blitter_lookup(plain_blitters, depth, bits, reversed)) {
                        EXPECT_EQ(blitter_lookup(vector_blitters, depth, bits, reversed), nullptr);
                        continue;
                    }
                    int bytes_per_pixel = bits == 15 ? 2 : bits / 8;
                    int pitch = width * bytes_per_pixel + 5;
                    for (int misalign : {0, 1}) {
                        rgb565_lut_build(ctx->conversion_table, reversed);
                        std::vector<uint8_t> a(static_cast<size_t>(pitch) * height + 8, kJunk), b = a;
                        blitter_lookup(plain_blitters, depth, bits, reversed)(a.data() + misalign, pitch);
                        blitter_lookup(vector_blitters, depth, bits, reversed)(b.data() + misalign, pitch);
                        ASSERT_EQ(a, b) << "depth " << depth << " to " << bits << (reversed ? " reversed" : "") << " width " << width
                                        << " misalign " << misalign << ": " << first_difference(b, a, pitch);
                    }
                }
        }
}
