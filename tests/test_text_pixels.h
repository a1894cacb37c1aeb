// Helpers for the text and console tests: whole-frame comparison that names the first
// differing pixel (and writes both frames as PPM files), and glyph data that does not depend
// on the built-in block having been expanded yet.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "gfx/context.h"
#include "gfx/fonts.h"
#include "gfx/pixels.h"

namespace vxtest {

// The visible page of a 32-bit screen, pixel by pixel.
struct Frame {
    int width = 0, height = 0;
    std::vector<uint32_t> pixels;
    uint32_t& at(int x, int y) { return pixels[static_cast<size_t>(y) * width + x]; }
    uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

inline Frame snapshot() {
    vx::GfxContext* ctx = vx::gfx_context();
    Frame f{ctx->width, ctx->height, {}};
    f.pixels.resize(static_cast<size_t>(f.width) * f.height);
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x)
            f.at(x, y) = vx::load32(ctx->visible_buffer + static_cast<size_t>(y) * ctx->pitch + static_cast<size_t>(x) * 4);
    return f;
}

inline void write_ppm(const Frame& f, const std::string& path) {
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) return;
    std::fprintf(out, "P6\n%d %d\n255\n", f.width, f.height);
    for (uint32_t p : f.pixels) {
        unsigned char rgb[3] = {static_cast<unsigned char>(p >> 16), static_cast<unsigned char>(p >> 8),
                                static_cast<unsigned char>(p)};
        std::fwrite(rgb, 1, 3, out);
    }
    std::fclose(out);
}

// Compares the screen with `expected`; on a difference names the first pixel and writes
// actual and expected frames to <build>/test-output/<test name>.{actual,expected}.ppm.
inline ::testing::AssertionResult screen_matches(const Frame& expected) {
    Frame actual = snapshot();
    if (actual.width != expected.width || actual.height != expected.height)
        return ::testing::AssertionFailure() << "frame size " << actual.width << "x" << actual.height << ", expected "
                                             << expected.width << "x" << expected.height;
    int differing = 0, first_x = -1, first_y = -1;
    for (int y = 0; y < actual.height; ++y)
        for (int x = 0; x < actual.width; ++x)
            if (actual.at(x, y) != expected.at(x, y)) {
                if (differing++ == 0) {
                    first_x = x;
                    first_y = y;
                }
            }
    if (!differing) return ::testing::AssertionSuccess();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string dir = std::string(VX_BINARY_DIR) + "/test-output";
    std::error_code ignored;
    std::filesystem::create_directories(dir, ignored);
    std::string base = dir + "/" + info->test_suite_name() + "." + info->name();
    write_ppm(actual, base + ".actual.ppm");
    write_ppm(expected, base + ".expected.ppm");
    char text[160];
    std::snprintf(text, sizeof text, "%d pixels differ; first at (%d, %d): 0x%08X, expected 0x%08X", differing, first_x,
                  first_y, actual.at(first_x, first_y), expected.at(first_x, first_y));
    return ::testing::AssertionFailure() << text << " (frames in " << base << ".*.ppm)";
}

// Whether the block was still all zero when first asked (after a screen open expanded it),
// so that glyphs invented by ensure_glyph later do not count as real data.
inline bool builtin_block_is_zero() {
    static const bool zero = [] {
        for (uint8_t b : vx::builtin_data)
            if (b) return false;
        return true;
    }();
    return zero;
}

// The glyph's bytes; a glyph that is all zero (block not expanded in this build) gets an
// irregular pattern of its own, so that drawn pixels can be told from missing ones.
inline const uint8_t* ensure_glyph(const vx::FontDesc& font, int code) {
    builtin_block_is_zero();
    auto* glyph = const_cast<uint8_t*>(font.glyphs) + static_cast<size_t>(code) * font.height;
    bool blank = true;
    for (int r = 0; r < font.height; ++r) blank = blank && glyph[r] == 0;
    if (blank)
        for (int r = 0; r < font.height; ++r)
            glyph[r] = static_cast<uint8_t>((code * 37 + r * 91 + 0x5A) ^ (r << 3) ^ (1u << (r % 8)));
    return glyph;
}

inline bool glyph_bit(const vx::FontDesc& font, int code, int row, int col) {
    return (font.glyphs[static_cast<size_t>(code) * font.height + row] >> col) & 1;
}

// Sets in `f` what the built-in font draws for `code` at (x, y): set bits in `fg`, clear bits
// in `bg` when opaque, everything cut to the frame.
inline void expect_glyph(Frame& f, const vx::FontDesc& font, int code, int x, int y, uint32_t fg, bool opaque = false,
                         uint32_t bg = 0) {
    for (int r = 0; r < font.height; ++r)
        for (int c = 0; c < font.width; ++c) {
            int px = x + c, py = y + r;
            if (px < 0 || py < 0 || px >= f.width || py >= f.height) continue;
            if (glyph_bit(font, code, r, c)) f.at(px, py) = fg;
            else if (opaque) f.at(px, py) = bg;
        }
}

}  // namespace vxtest
