// draw_string on real pixels: the built-in fonts with clipping on every edge and the dirty
// lines it leaves, and font images with their widths table, pen advance, clipping, the exact
// put calls, and damaged images that must be refused without a read outside them.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "gfx/console_ops.h"
#include "gfx/context.h"
#include "gfx/image.h"
#include "gfx/pixels.h"
#include "gfx/primitives.h"
#include <vxgfx/text.h>
#include "runtime/runtime.h"
#include "tests/support/fake_driver.h"
#include "tests/test_text_pixels.h"

using namespace vx;
using vxtest::fake;

namespace {

constexpr uint32_t kBlack = 0xFF000000u;
constexpr uint32_t kFgAbsolute = 0x80000004u;  // the foreground colour, absolute coordinates

// An image buffer of our own, filled with zero.
std::vector<uint8_t> make_image(int width, int height, int bpp) {
    int pitch = (width * bpp + 15) / 16 * 16;
    std::vector<uint8_t> image(32 + static_cast<size_t>(pitch) * height);
    ImageHeader header{image_header_type, bpp, width, height, pitch, {}};
    std::memcpy(image.data(), &header, sizeof header);
    return image;
}

struct Text : ::testing::Test {
    void TearDown() override { vxtest::restore_drivers(); }

    static int draw(float x, float y, const std::string& text, uint32_t colour = 0xFFFFFF, uint32_t flags = 4) {
        return draw_string(nullptr, x, y, flags, text.data(), static_cast<int32_t>(text.size()), colour, nullptr, 0,
                           nullptr, nullptr, nullptr);
    }
    static void expect_text(vxtest::Frame& f, const FontDesc& font, const std::string& text, int x, int y,
                            uint32_t colour) {
        for (size_t i = 0; i < text.size(); ++i)
            vxtest::expect_glyph(f, font, static_cast<unsigned char>(text[i]), x + static_cast<int>(i) * font.width, y,
                                 colour);
    }
    static void ensure_glyphs(const FontDesc& font, const std::string& text) {
        for (unsigned char c : text) vxtest::ensure_glyph(font, c);
    }
};

}  // namespace

TEST_F(Text, CaptionWithUmlautOnTheApplicationsScreen) {
    ASSERT_EQ(vxtest::open_fake_screen(720, 190, 32, 4), 0);
    gfx_width(90, 13);
    gfx_color(0, 0xC8C0B8, 0);
    gfx_cls(cls_no_argument);
    const std::string caption = "\x4C\x61\x75\x74\x73\x74\x84\x72\x6B\x65";  // "Lautstärke"
    ensure_glyphs(font_8x14(), caption);
    ASSERT_NE(std::memcmp(font_8x14().glyphs + 0x84 * 14, font_8x14().glyphs + 'a' * 14, 14), 0);
    vxtest::Frame expected = vxtest::snapshot();
    vxtest::clear_dirty();
    int locks = fake.locks;

    EXPECT_EQ(draw_string(nullptr, 160, 27, kFgAbsolute, caption.data(), 10, 0, nullptr, 0, nullptr, nullptr, nullptr), 0);
    expect_text(expected, font_8x14(), caption, 160, 27, 0);
    EXPECT_TRUE(vxtest::screen_matches(expected));
    EXPECT_EQ(fake.locks, locks + 1);
    EXPECT_EQ(vxtest::dirty_count(), 14);
    EXPECT_TRUE(vxtest::dirty(27) && vxtest::dirty(40));
    EXPECT_EQ(draw_state()->last_x, 160.0f);

    // Without bit 31 the colour argument counts, and control codes are glyphs like any other.
    const std::string controls("\x00\x01\x0A\x0D", 4);
    ensure_glyphs(font_8x14(), controls);
    EXPECT_EQ(draw(256, 100, controls, 0xFF0000), 0);
    expect_text(expected, font_8x14(), controls, 256, 100, 0xFF0000);
    EXPECT_TRUE(vxtest::screen_matches(expected));
}

TEST_F(Text, ClippedAtTheLeftEdge) {
    ASSERT_EQ(vxtest::open_fake_screen(64, 32, 32, 0), 0);
    ensure_glyphs(font_8x8(), "AB");
    vxtest::Frame expected = vxtest::snapshot();
    // Columns 4-7 of "A" land on 0-3; nothing wraps onto the end of the line above.
    EXPECT_EQ(draw(-4, 9, "AB"), 0);
    expect_text(expected, font_8x8(), "AB", -4, 9, 0xFFFFFF);
    EXPECT_TRUE(vxtest::screen_matches(expected));
    // Far to the left: whole characters are skipped before the first visible one.
    EXPECT_EQ(draw(-21, 20, "ABBAB"), 0);
    expect_text(expected, font_8x8(), "ABBAB", -21, 20, 0xFFFFFF);
    EXPECT_TRUE(vxtest::screen_matches(expected));
}

TEST_F(Text, StraddlingTheRightAndBottomEdges) {
    ASSERT_EQ(vxtest::open_fake_screen(64, 32, 32, 0), 0);
    ensure_glyphs(font_8x8(), "CDE");
    vxtest::Frame expected = vxtest::snapshot();
    vxtest::clear_dirty();
    EXPECT_EQ(draw(60, 3, "CDE"), 0);  // "C" cut after 4 columns; the next line keeps its start
    EXPECT_EQ(draw(10, 29, "CDE"), 0);  // rows 0-2 only, on the last three lines
    expect_text(expected, font_8x8(), "CDE", 60, 3, 0xFFFFFF);
    expect_text(expected, font_8x8(), "CDE", 10, 29, 0xFFFFFF);
    EXPECT_TRUE(vxtest::screen_matches(expected));
    EXPECT_EQ(vxtest::dirty_count(), 8 + 3);
    EXPECT_FALSE(vxtest::dirty(11));
}

TEST_F(Text, SixteenRowFontAboveTheTopEdge) {
    ASSERT_EQ(vxtest::open_fake_screen(64, 32, 32, 0), 0);
    ASSERT_EQ(gfx_width(8, 2), 8 + 4 * 65536);
    ASSERT_EQ(gfx_context()->font, &font_8x16());
    ensure_glyphs(font_8x16(), "Wq");
    vxtest::Frame expected = vxtest::snapshot();
    vxtest::clear_dirty();
    EXPECT_EQ(draw(3, -5, "Wq"), 0);
    expect_text(expected, font_8x16(), "Wq", 3, -5, 0xFFFFFF);  // glyph rows 5-15 on lines 0-10
    EXPECT_TRUE(vxtest::screen_matches(expected));
    EXPECT_EQ(vxtest::dirty_count(), 11);
    EXPECT_TRUE(vxtest::dirty(0) && vxtest::dirty(10));
}

TEST_F(Text, NothingToDrawTakesNoLock) {
    ASSERT_EQ(vxtest::open_fake_screen(64, 32, 32, 0), 0);
    vxtest::clear_dirty();
    int locks = fake.locks;
    rt_set_error(3);
    EXPECT_EQ(draw(0, 0, ""), 0);
    EXPECT_EQ(rt_last_error(), 0);
    EXPECT_EQ(draw_string(nullptr, 0, 0, 4, nullptr, 5, 0, nullptr, 0, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(rt_last_error(), 1);
    for (auto [x, y] : {std::pair{-80, 0}, std::pair{64, 0}, std::pair{0, -8}, std::pair{0, 32}})
        EXPECT_EQ(draw(static_cast<float>(x), static_cast<float>(y), "ABCDEFGHIJ"), 0) << x << "," << y;
    EXPECT_EQ(fake.locks, locks);
    EXPECT_EQ(vxtest::dirty_count(), 0);
    EXPECT_TRUE(vxtest::screen_matches({64, 32, std::vector<uint32_t>(64 * 32, kBlack)}));
    // No screen: nothing drawn, 0, but a null text is still an error.
    vxtest::restore_drivers();
    EXPECT_EQ(draw(0, 0, "A"), 0);
    EXPECT_EQ(draw_string(nullptr, 0, 0, 4, nullptr, 1, 0, nullptr, 0, nullptr, nullptr, nullptr), 1);
}

TEST_F(Text, RelativeCoordinatesImageTargetsAndDepth16) {
    ASSERT_EQ(vxtest::open_fake_screen(64, 32, 32, 0), 0);
    ensure_glyphs(font_8x8(), "M");
    vxtest::Frame expected = vxtest::snapshot();
    draw_state()->last_x = 10;
    draw_state()->last_y = 4;
    EXPECT_EQ(draw(2, 3, "M", 0x555555, 5), 0);  // relative to the last point: (12, 7)
    expect_text(expected, font_8x8(), "M", 12, 7, 0x555555);
    EXPECT_TRUE(vxtest::screen_matches(expected));
    EXPECT_EQ(draw_state()->last_x, 12.0f);

    // Into an image: its pixels change, the screen and its dirty lines do not.
    std::vector<uint8_t> image_block = make_image(10, 9, 4);
    void* image = image_block.data();
    vxtest::clear_dirty();
    EXPECT_EQ(draw_string(image, 1, 1, 4, "M", 1, 0x00FF00, nullptr, 0, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(vxtest::dirty_count(), 0);
    EXPECT_TRUE(vxtest::screen_matches(expected));
    ImageView view = image_view(image, 4);
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c)
            ASSERT_EQ(load32(view.pixels + (r + 1) * view.pitch + (c + 1) * 4),
                      vxtest::glyph_bit(font_8x8(), 'M', r, c) ? 0x00FF00u : 0u)
                << c << "," << r;

    // Depth 16: the colour is converted to 5-6-5.
    ASSERT_EQ(vxtest::open_fake_screen(16, 8, 16, 0), 0);
    EXPECT_EQ(draw(0, 0, "M", 0xFF0000), 0);
    GfxContext* ctx = gfx_context();
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c)
            ASSERT_EQ(load16(ctx->visible_buffer + r * ctx->pitch + c * 2),
                      vxtest::glyph_bit(font_8x8(), 'M', r, c) ? 0xF800 : 0)
                << c << "," << r;
}

TEST_F(Text, RealGlyphShapesOnceTheBlockIsExpanded) {
    ASSERT_EQ(vxtest::open_fake_screen(16, 8, 32, 0), 0);
    if (vxtest::builtin_block_is_zero()) GTEST_SKIP() << "built-in font block not expanded in this build";
    const uint8_t capital_a[8] = {0x0C, 0x1E, 0x33, 0x33, 0x3F, 0x33, 0x33, 0x00};
    EXPECT_EQ(std::memcmp(font_8x8().glyphs + 0x41 * 8, capital_a, 8), 0);
    const uint8_t smiley[8] = {0x7E, 0x81, 0xA5, 0x81, 0xBD, 0x99, 0x81, 0x7E};
    EXPECT_EQ(std::memcmp(font_8x8().glyphs + 0x01 * 8, smiley, 8), 0);
    EXPECT_EQ(draw(0, 0, "A"), 0);
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c)
            EXPECT_EQ(vxtest::screen_pixel(c, r), (capital_a[r] >> c) & 1 ? 0xFFFFFFu : kBlack) << c << "," << r;
    // Umlauts the captions need are distinct shapes, not blanks.
    for (int code : {0x81, 0x84, 0x94, 0xE1}) {
        int bits = 0;
        for (int r = 0; r < 14; ++r) bits += __builtin_popcount(font_8x14().glyphs[code * 14 + r]);
        EXPECT_GT(bits, 0) << std::hex << code;
    }
}

// ---- Font images -------------------------------------------------------------------------

namespace {

struct PutCall {
    const uint8_t* src;
    uint8_t* dst;
    int32_t width, height, src_pitch, dst_pitch;
    uint32_t colour;
    void* blender;
    void* param;
};
std::vector<PutCall> put_calls;

void record_put(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t src_pitch, int32_t dst_pitch,
                uint32_t colour, void* blender, void* param) {
    put_calls.push_back({src, dst, width, height, src_pitch, dst_pitch, colour, blender, param});
}

// A 4-byte font image: codes first..last with the given widths, glyph rows `glyph_height`,
// each glyph's pixels the value 0x00100000 * (k + 1) + column.
std::vector<uint8_t> make_font(int first, int last, std::vector<int> widths, int glyph_height, int pitch = 0) {
    int total = 0;
    for (int w : widths) total += w;
    if (!pitch) pitch = ((std::max(total * 4, 3 + static_cast<int>(widths.size())) + 15) / 16) * 16;
    std::vector<uint8_t> image(32 + static_cast<size_t>(pitch) * (glyph_height + 1));
    ImageHeader header{image_header_type, 4, pitch / 4, glyph_height + 1, pitch, {}};
    std::memcpy(image.data(), &header, sizeof header);
    uint8_t* row0 = image.data() + 32;
    row0[0] = 0;
    row0[1] = static_cast<uint8_t>(first);
    row0[2] = static_cast<uint8_t>(last);
    for (size_t k = 0; k < widths.size() && 3 + k < static_cast<size_t>(pitch); ++k)
        row0[3 + k] = static_cast<uint8_t>(widths[k]);
    for (int r = 1; r <= glyph_height; ++r) {
        int column = 0;
        for (size_t k = 0; k < widths.size(); ++k)
            for (int c = 0; c < widths[k]; ++c, ++column)
                if (column * 4 + 4 <= pitch)
                    store32(image.data() + 32 + r * pitch + column * 4, 0x00100000u * (k + 1) + r * 256 + c);
    }
    return image;
}

// A plain 32-bit copy in the put routine contract.
void copy_put(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t src_pitch, int32_t dst_pitch,
              uint32_t, void*, void*) {
    for (int y = 0; y < height; ++y) std::memcpy(dst + y * dst_pitch, src + y * src_pitch, static_cast<size_t>(width) * 4);
}

const uint8_t* glyph_pixel(std::vector<uint8_t>& image, int row, int column) {
    int pitch;
    std::memcpy(&pitch, image.data() + 16, 4);
    return image.data() + 32 + static_cast<size_t>(row) * pitch + column * 4;
}

int draw_with(std::vector<uint8_t>& font, float x, float y, const std::string& text, put_fn put = record_put,
              void* target = nullptr) {
    put_calls.clear();
    static int blender_tag, param_tag;
    return draw_string(target, x, y, 4, text.data(), static_cast<int32_t>(text.size()), 0x123456, font.data(), 0, put,
                       &blender_tag, &param_tag);
}

}  // namespace

TEST_F(Text, FontImageWidthsAdvanceAndExactPutCalls) {
    ASSERT_EQ(vxtest::open_fake_screen(64, 32, 32, 0), 0);
    std::vector<uint8_t> font = make_font(65, 67, {3, 2, 4}, 5);
    DrawState* s = draw_state();
    vxtest::clear_dirty();
    // "D" (68) has no glyph: the pen moves on by the glyph height, 5.
    EXPECT_EQ(draw_with(font, 10, 6, "ABDC"), 0);
    ASSERT_EQ(put_calls.size(), 3u);
    const int pen[3] = {10, 13, 20};
    const int first_column[3] = {0, 3, 5};
    const int width[3] = {3, 2, 4};
    const int glyph[3] = {0, 1, 2};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(put_calls[i].src, glyph_pixel(font, 1, first_column[glyph[i]]));
        EXPECT_EQ(put_calls[i].dst, s->lines[6] + pen[i] * 4);
        EXPECT_EQ(put_calls[i].width, width[glyph[i]]);
        EXPECT_EQ(put_calls[i].height, 5);
        EXPECT_EQ(put_calls[i].src_pitch, 48);
        EXPECT_EQ(put_calls[i].dst_pitch, 256);
        EXPECT_EQ(put_calls[i].colour, 0x123456u);
        EXPECT_NE(put_calls[i].blender, nullptr);
        EXPECT_NE(put_calls[i].param, put_calls[i].blender);
    }
    EXPECT_EQ(vxtest::dirty_count(), 5);
    EXPECT_TRUE(vxtest::dirty(6) && vxtest::dirty(10));

    // The same copied onto real pixels, with first and last given swapped.
    font[32 + 1] = 67;
    font[32 + 2] = 65;
    vxtest::Frame expected = vxtest::snapshot();
    EXPECT_EQ(draw_with(font, 10, 20, "ABDC", copy_put), 0);
    for (int i = 0; i < 3; ++i)
        for (int r = 0; r < 5; ++r)
            for (int c = 0; c < width[glyph[i]]; ++c)
                expected.at(pen[i] + c, 20 + r) = 0x00100000u * (glyph[i] + 1) + (r + 1) * 256 + c;
    EXPECT_TRUE(vxtest::screen_matches(expected));
}

TEST_F(Text, FontImageClipping) {
    ASSERT_EQ(vxtest::open_fake_screen(64, 32, 32, 0), 0);
    std::vector<uint8_t> font = make_font(65, 67, {3, 2, 4}, 5);
    DrawState* s = draw_state();
    // Left: "A" loses two columns, "B" is whole; above the top: two rows skipped.
    EXPECT_EQ(draw_with(font, -2, -2, "AB"), 0);
    ASSERT_EQ(put_calls.size(), 2u);
    EXPECT_EQ(put_calls[0].src, glyph_pixel(font, 3, 2));
    EXPECT_EQ(put_calls[0].dst, s->lines[0]);
    EXPECT_EQ(put_calls[0].width, 1);
    EXPECT_EQ(put_calls[0].height, 3);
    EXPECT_EQ(put_calls[1].src, glyph_pixel(font, 3, 3));
    EXPECT_EQ(put_calls[1].dst, s->lines[0] + 1 * 4);
    EXPECT_EQ(put_calls[1].width, 2);
    // Wholly left of the edge: skipped without a call. A missing code advances by the rows
    // actually drawn (here 3).
    EXPECT_EQ(draw_with(font, -6, -2, "AAxB"), 0);
    ASSERT_EQ(put_calls.size(), 1u);
    EXPECT_EQ(put_calls[0].dst, s->lines[0] + 3 * 4);
    // Right and bottom: "C" cut to the 3 columns that remain, 2 rows; nothing after it.
    EXPECT_EQ(draw_with(font, 59, 30, "BCA"), 0);
    ASSERT_EQ(put_calls.size(), 2u);
    EXPECT_EQ(put_calls[1].dst, s->lines[30] + 61 * 4);
    EXPECT_EQ(put_calls[1].width, 3);
    EXPECT_EQ(put_calls[1].height, 2);
    // Entirely outside: 0, no call, no lock.
    int locks = fake.locks;
    EXPECT_EQ(draw_with(font, 0, 32, "A"), 0);
    EXPECT_EQ(draw_with(font, 0, -5, "A"), 0);
    EXPECT_EQ(draw_with(font, 64, 0, "A"), 0);
    EXPECT_TRUE(put_calls.empty());
    EXPECT_EQ(fake.locks, locks);
}

TEST_F(Text, DamagedFontImagesAreRefused) {
    ASSERT_EQ(vxtest::open_fake_screen(64, 32, 32, 0), 0);
    int locks = fake.locks;
    auto refused = [&](std::vector<uint8_t> font, const char* what) {
        vxtest::clear_dirty();
        EXPECT_EQ(draw_with(font, 0, 5, "ABC"), 1) << what;
        EXPECT_EQ(rt_last_error(), 1) << what;
        EXPECT_TRUE(put_calls.empty()) << what;
        EXPECT_EQ(vxtest::dirty_count(), 0) << what;
    };
    std::vector<uint8_t> font = make_font(65, 67, {3, 2, 4}, 5);
    font[32] = 1;
    refused(font, "version byte");
    font = make_font(65, 67, {3, 2, 4}, 5);
    font[4] = 2;
    refused(font, "depth differs from the target");
    refused(make_font(65, 67, {3, 2, 4}, 0), "no glyph rows");
    std::vector<uint8_t> narrow = make_font(65, 65, {0}, 5, 3);
    refused(narrow, "pitch of 3");
    // Widths that add up past the row: a 16-byte row holds 4 pixels of 4 bytes, not 5.
    refused(make_font(65, 67, {3, 2, 0}, 5, 16), "glyphs wider than the row");
    // A width table longer than row 0 itself: codes 0..255 need 259 bytes of a 64-byte row.
    refused(make_font(0, 255, std::vector<int>(256, 0), 2, 64), "widths table past the row");
    EXPECT_EQ(fake.locks, locks);
    // A null put routine cannot draw a font image.
    font = make_font(65, 67, {3, 2, 4}, 5);
    EXPECT_EQ(draw_with(font, 0, 0, "A", nullptr), 1);
}

TEST_F(Text, FontImageOnAnImageOfAnotherDepthIsBoundedByItsOwnPixelSize) {
    // An 8-bit screen with a 32-bit image target: the glyphs' bytes are counted at 4 per
    // pixel, not at the screen's 1, so 10 pixels never pass for a 16-byte row.
    ASSERT_EQ(vxtest::open_fake_screen(64, 32, 8, 0), 0);
    std::vector<uint8_t> target_block = make_image(32, 16, 4);
    void* target = target_block.data();
    std::vector<uint8_t> font = make_font(65, 66, {6, 4}, 4, 16);
    EXPECT_EQ(draw_with(font, 0, 0, "AB", record_put, target), 1);
    EXPECT_TRUE(put_calls.empty());
    std::vector<uint8_t> fits = make_font(65, 66, {2, 2}, 4, 16);
    EXPECT_EQ(draw_with(fits, 0, 0, "AB", record_put, target), 0);
    EXPECT_EQ(put_calls.size(), 2u);
}

TEST_F(Text, RandomFontImagesNeverReadOutsideTheirRows) {
    // Exactly sized buffers with random headers and bytes: under the address sanitizer any read
    // past the image shows; here every put call's source must lie inside the glyph rows.
    ASSERT_EQ(vxtest::open_fake_screen(64, 32, 32, 0), 0);
    std::mt19937 random(20240611);
    for (int round = 0; round < 400; ++round) {
        int height = static_cast<int>(random() % 6), pitch = static_cast<int>(random() % 40);
        std::vector<uint8_t> font(32 + static_cast<size_t>(height) * pitch);
        for (size_t i = 32; i < font.size(); ++i) font[i] = static_cast<uint8_t>(random());
        if (height && pitch && random() % 2) font[32] = 0;
        ImageHeader header{image_header_type, 4, pitch / 4, height, pitch, {}};
        std::memcpy(font.data(), &header, sizeof header);
        std::string text;
        for (int i = 0; i < 6; ++i) text.push_back(static_cast<char>(random()));
        if (height > 0 && pitch > 3) {
            // Lean towards codes the font has, so that glyphs are really put.
            for (char& c : text)
                if (random() % 2) c = static_cast<char>(font[33] + random() % 3);
        }
        draw_with(font, static_cast<float>(static_cast<int>(random() % 80) - 10),
                  static_cast<float>(static_cast<int>(random() % 40) - 5), text);
        for (const PutCall& call : put_calls) {
            ASSERT_GE(call.src, font.data() + 32 + pitch) << round;
            ASSERT_LE(call.src + static_cast<size_t>(call.height - 1) * pitch + call.width * 4, font.data() + font.size())
                << round;
        }
    }
}

// Whole glyph rows are written in one go where the pixel routine is a plain store: the pixels
// under clear bits must keep whatever was there, at every depth, on a noisy background.
TEST_F(Text, GlyphsLeaveTheBackgroundUnderClearBitsAtEveryDepth) {
    const std::string text = "Lautst\x84rke: 99%";
    for (int depth : {8, 16, 32}) {
        ASSERT_EQ(vxtest::open_fake_screen(160, 20, depth, 0), 0);
        GfxContext* ctx = gfx_context();
        const FontDesc& font = *ctx->font;
        ensure_glyphs(font, text);
        std::mt19937 rng(static_cast<unsigned>(depth));
        for (int i = 0; i < ctx->pitch * ctx->height; ++i) ctx->visible_buffer[i] = static_cast<uint8_t>(rng());
        std::vector<uint8_t> before(ctx->visible_buffer, ctx->visible_buffer + ctx->pitch * ctx->height);
        const uint32_t colour = depth == 8 ? 0xA7 : 0x3366CC;
        const uint32_t stored = depth == 8 ? 0xA7 : depth == 16 ? 0x3339u : 0x3366CCu;  // 5-6-5 of 0x3366CC
        EXPECT_EQ(draw(3, 2, text, colour), 0);
        const int bpp = ctx->bpp;
        for (int y = 0; y < ctx->height; ++y)
            for (int x = 0; x < ctx->width; ++x) {
                const size_t at = static_cast<size_t>(y) * ctx->pitch + static_cast<size_t>(x) * bpp;
                const int cell = (x - 3) / 8, r = y - 2, c = (x - 3) % 8;
                const bool inside = x >= 3 && r >= 0 && r < font.height && cell < static_cast<int>(text.size());
                const bool set = inside && vxtest::glyph_bit(font, static_cast<unsigned char>(text[cell]), r, c);
                uint32_t got = bpp == 1 ? ctx->visible_buffer[at] : bpp == 2 ? load16(ctx->visible_buffer + at) : load32(ctx->visible_buffer + at);
                uint32_t was = bpp == 1 ? before[at] : bpp == 2 ? load16(before.data() + at) : load32(before.data() + at);
                ASSERT_EQ(got, set ? stored : was) << "depth " << depth << ", first differing pixel (" << x << ", " << y << ")";
            }
    }
}
