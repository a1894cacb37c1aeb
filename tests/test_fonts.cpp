// The built-in block: its expansion, the three fonts, the default palettes and the generator
// that produced the committed source.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gfx/fonts.h"
#include "tests/support/temp_dir.h"

namespace {

using Rgb = std::array<int, 3>;

const uint8_t* glyph(const vx::FontDesc& font, int code) {
    return font.glyphs + code * font.height;
}

std::vector<uint8_t> glyph_rows(const vx::FontDesc& font, int code) {
    return {glyph(font, code), glyph(font, code) + font.height};
}

// Bit 0 is the leftmost pixel.
bool ink(uint8_t row, int column) { return (row >> column) & 1; }

int first_ink_row(const vx::FontDesc& font, int code) {
    for (int r = 0; r < font.height; ++r)
        if (glyph(font, code)[r]) return r;
    return -1;
}

int last_ink_row(const vx::FontDesc& font, int code) {
    for (int r = font.height - 1; r >= 0; --r)
        if (glyph(font, code)[r]) return r;
    return -1;
}

// Runs of set pixels in one row, as [first, last] columns.
std::vector<std::pair<int, int>> runs(uint8_t row) {
    std::vector<std::pair<int, int>> out;
    for (int c = 0; c < 8; ++c) {
        if (!ink(row, c)) continue;
        int start = c;
        while (c + 1 < 8 && ink(row, c + 1)) ++c;
        out.push_back({start, c});
    }
    return out;
}

std::string picture(const vx::FontDesc& font, int code) {
    std::string out;
    for (uint8_t row : glyph_rows(font, code)) {
        for (int c = 0; c < 8; ++c) out += ink(row, c) ? '#' : '.';
        out += '\n';
    }
    return out;
}

Rgb entry(const vx::PaletteDesc& palette, int i) {
    const uint8_t* p = palette.rgb + 3 * i;
    return {p[0], p[1], p[2]};
}

class BuiltinData : public ::testing::Test {
protected:
    static void SetUpTestSuite() { vx::expand_builtin_data(); }
};

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

TEST(BuiltinBlock, StoredStreamExpandsToExactlyTheBlockAndEndsOnTheEndCode) {
    std::vector<uint8_t> out(vx::builtin_data_size + 64, 0xEE);
    size_t count = out.size();
    EXPECT_EQ(vx::lzw_expand(vx::builtin_data_lzw, vx::builtin_data_lzw_size, out.data(), &count), 0);
    EXPECT_EQ(count, vx::builtin_data_size);
    EXPECT_EQ(out[vx::builtin_data_size], 0xEE);

    // The end code is the stream's last code: without its bytes the data is complete but
    // unterminated, which is a failure.
    count = out.size();
    EXPECT_EQ(vx::lzw_expand(vx::builtin_data_lzw, vx::builtin_data_lzw_size - 2, out.data(), &count), -1);
    EXPECT_EQ(count, vx::builtin_data_size);
}

TEST(BuiltinBlock, ExpandFillsTheBlockOnceAndLaterCallsChangeNothing) {
    vx::expand_builtin_data();
    std::vector<uint8_t> expected(vx::builtin_data_size);
    size_t count = expected.size();
    ASSERT_EQ(vx::lzw_expand(vx::builtin_data_lzw, vx::builtin_data_lzw_size, expected.data(), &count), 0);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), vx::builtin_data));

    vx::builtin_data[0] ^= 0x5A;
    vx::expand_builtin_data();
    EXPECT_EQ(vx::builtin_data[0], expected[0] ^ 0x5A);
    vx::builtin_data[0] = expected[0];
}

TEST_F(BuiltinData, DescriptorsPointIntoTheBlockInTheirOrder) {
    const int heights[3] = {16, 14, 8};
    const size_t font_offsets[3] = {5632, 2048, 0};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(vx::builtin_fonts[i].width, 8);
        EXPECT_EQ(vx::builtin_fonts[i].height, heights[i]);
        EXPECT_EQ(vx::builtin_fonts[i].glyphs, vx::builtin_data + font_offsets[i]);
    }
    EXPECT_EQ(&vx::font_8x14(), &vx::builtin_fonts[1]);

    const int entries[4] = {256, 64, 16, 2};
    const size_t palette_offsets[4] = {9974, 9782, 9734, 9728};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(vx::builtin_palettes[i].entries, entries[i]);
        EXPECT_EQ(vx::builtin_palettes[i].rgb, vx::builtin_data + palette_offsets[i]);
    }
    EXPECT_EQ(palette_offsets[0] + 3 * 256, vx::builtin_data_size);
}

TEST_F(BuiltinData, EightByEightGlyphsAreTheBitReversedVgaShapes) {
    const auto& f = vx::font_8x8();
    EXPECT_EQ(glyph_rows(f, 0x41), (std::vector<uint8_t>{0x0C, 0x1E, 0x33, 0x33, 0x3F, 0x33, 0x33, 0x00}));
    EXPECT_EQ(glyph_rows(f, 0x01), (std::vector<uint8_t>{0x7E, 0x81, 0xA5, 0x81, 0xBD, 0x99, 0x81, 0x7E}));
    EXPECT_EQ(glyph_rows(f, 0xDB), std::vector<uint8_t>(8, 0xFF));
    EXPECT_EQ(glyph_rows(f, 0x20), std::vector<uint8_t>(8, 0x00));
}

TEST_F(BuiltinData, EveryFontHasLeftmostPixelInBitZero) {
    for (const auto& f : vx::builtin_fonts) {
        SCOPED_TRACE(f.height);
        const auto h = static_cast<size_t>(f.height);
        EXPECT_EQ(glyph_rows(f, 0x00), std::vector<uint8_t>(h, 0x00));
        EXPECT_EQ(glyph_rows(f, 0x20), std::vector<uint8_t>(h, 0x00));
        EXPECT_EQ(glyph_rows(f, 0xDB), std::vector<uint8_t>(h, 0xFF));
        EXPECT_EQ(glyph_rows(f, 0xDD), std::vector<uint8_t>(h, 0x0F));  // left half block
        EXPECT_EQ(glyph_rows(f, 0xDE), std::vector<uint8_t>(h, 0xF0));  // right half block
        // "L": its upright is on the left, its foot reaches right.
        const uint8_t* l = glyph(f, 'L');
        EXPECT_TRUE(ink(l[first_ink_row(f, 'L')], 1));
        EXPECT_FALSE(ink(l[first_ink_row(f, 'L')], 6));
        EXPECT_TRUE(ink(l[last_ink_row(f, 'L')], 6));
    }
}

// The German captions need these four shapes; each is checked by its features rather than
// its bytes so that the check means "reads as the letter".
TEST_F(BuiltinData, UmlautsHaveTwoDotsAboveTheLetterBody) {
    const std::pair<int, int> pairs[] = {{0x84, 'a'}, {0x94, 'o'}, {0x81, 'u'}};
    for (const auto& f : vx::builtin_fonts) {
        for (auto [umlaut, plain] : pairs) {
            SCOPED_TRACE(::testing::Message() << "8x" << f.height << " glyph " << std::hex << umlaut
                                              << "\n" << picture(f, umlaut));
            const uint8_t* g = glyph(f, umlaut);
            int top = first_ink_row(f, umlaut);
            ASSERT_GE(top, 0);
            EXPECT_NE(glyph_rows(f, umlaut), glyph_rows(f, plain));

            // The dots: two separate runs, above the plain letter's x-height.
            auto dots = runs(g[top]);
            ASSERT_EQ(dots.size(), 2u);
            EXPECT_LT(top, first_ink_row(f, plain));
            int gap = top;
            while (gap < f.height && g[gap]) {
                EXPECT_EQ(g[gap], g[top]);
                ++gap;
            }
            // A blank row, then a body standing on the plain letter's baseline and spanning
            // the dots.
            ASSERT_LT(gap, f.height);
            EXPECT_EQ(g[gap], 0);
            int body = gap;
            while (body < f.height && !g[body]) ++body;
            EXPECT_EQ(last_ink_row(f, umlaut), last_ink_row(f, plain));
            EXPECT_GE(last_ink_row(f, umlaut) - body, 3);
            uint8_t body_columns = 0;
            for (int r = body; r <= last_ink_row(f, umlaut); ++r) {
                EXPECT_NE(g[r], 0) << "row " << r;
                body_columns |= g[r];
            }
            EXPECT_TRUE(ink(body_columns, dots[0].first));
            EXPECT_TRUE(ink(body_columns, dots[1].second));
        }
    }
}

TEST_F(BuiltinData, SharpSRisesToTheAscenderWithAStemAndTwoBowls) {
    for (const auto& f : vx::builtin_fonts) {
        SCOPED_TRACE(::testing::Message() << "8x" << f.height << "\n" << picture(f, 0xE1));
        const uint8_t* g = glyph(f, 0xE1);
        int top = first_ink_row(f, 0xE1);
        int ascender = first_ink_row(f, 'b');
        int baseline = last_ink_row(f, 'b');
        EXPECT_LE(top, ascender + 1);
        EXPECT_LT(top, first_ink_row(f, 'a'));
        // A closed round top that does not touch the left edge, then the stem on the left
        // from below it down to the baseline.
        auto cap = runs(g[top]);
        ASSERT_EQ(cap.size(), 1u);
        EXPECT_GE(cap[0].first, 1);
        for (int r = top + 1; r <= baseline; ++r) EXPECT_TRUE(ink(g[r], 0) && ink(g[r], 1)) << "row " << r;
        // The right side bulges twice: out, in at the waist, out again.
        int bulges = 0;
        bool in_bulge = false;
        for (int r = top + 1; r <= baseline; ++r) {
            bool out = ink(g[r], 5) || ink(g[r], 6) || ink(g[r], 7);
            if (out && !in_bulge) ++bulges;
            in_bulge = out;
        }
        EXPECT_EQ(bulges, 2);
        EXPECT_NE(glyph_rows(f, 0xE1), glyph_rows(f, 'B'));
    }
}

TEST_F(BuiltinData, SmallPalettesHoldTheDefaultColours) {
    EXPECT_EQ(entry(vx::palette_2(), 0), (Rgb{0, 0, 0}));
    EXPECT_EQ(entry(vx::palette_2(), 1), (Rgb{255, 255, 255}));

    const Rgb ega[16] = {{0, 0, 0},      {0, 0, 170},     {0, 170, 0},     {0, 170, 170},
                         {170, 0, 0},    {170, 0, 170},   {170, 85, 0},    {170, 170, 170},
                         {85, 85, 85},   {85, 85, 255},   {85, 255, 85},   {85, 255, 255},
                         {255, 85, 85},  {255, 85, 255},  {255, 255, 85},  {255, 255, 255}};
    for (int i = 0; i < 16; ++i) EXPECT_EQ(entry(vx::palette_16(), i), ega[i]) << i;

    for (int i = 0; i < 64; ++i) {
        auto bit = [i](int n) { return (i >> n) & 1; };
        Rgb expected{170 * bit(2) + 85 * bit(5), 170 * bit(1) + 85 * bit(4), 170 * bit(0) + 85 * bit(3)};
        EXPECT_EQ(entry(vx::palette_64(), i), expected) << i;
    }
    EXPECT_EQ(entry(vx::palette_64(), 9), (Rgb{0, 0, 255}));
    EXPECT_EQ(entry(vx::palette_64(), 20), (Rgb{170, 85, 0}));
}

TEST_F(BuiltinData, TwoHundredFiftySixEntryPaletteHasTheGreyRampAndNineRings) {
    const auto& p = vx::palette_256();
    for (int i = 0; i < 16; ++i) EXPECT_EQ(entry(p, i), entry(vx::palette_16(), i)) << i;
    const int grey[16] = {0, 20, 32, 44, 56, 68, 80, 97, 113, 129, 145, 161, 182, 202, 226, 255};
    for (int i = 0; i < 16; ++i) EXPECT_EQ(entry(p, 16 + i), (Rgb{grey[i], grey[i], grey[i]})) << i;

    // First ring: the hue circle at full level, corners every four entries.
    EXPECT_EQ(entry(p, 32), (Rgb{0, 0, 255}));
    EXPECT_EQ(entry(p, 33), (Rgb{64, 0, 255}));
    EXPECT_EQ(entry(p, 36), (Rgb{255, 0, 255}));
    EXPECT_EQ(entry(p, 40), (Rgb{255, 0, 0}));
    EXPECT_EQ(entry(p, 44), (Rgb{255, 255, 0}));
    EXPECT_EQ(entry(p, 48), (Rgb{0, 255, 0}));
    EXPECT_EQ(entry(p, 52), (Rgb{0, 255, 255}));
    EXPECT_EQ(entry(p, 55), (Rgb{0, 64, 255}));
    // Later rings start at 32 + 24 k with (L0, L0, L4).
    EXPECT_EQ(entry(p, 56), (Rgb{125, 125, 255}));
    EXPECT_EQ(entry(p, 80), (Rgb{182, 182, 255}));
    EXPECT_EQ(entry(p, 104 + 10), (Rgb{113, 56, 0}));
    EXPECT_EQ(entry(p, 128 + 13), (Rgb{97, 113, 56}));
    EXPECT_EQ(entry(p, 200), (Rgb{32, 32, 64}));
    EXPECT_EQ(entry(p, 224), (Rgb{44, 44, 64}));
    EXPECT_EQ(entry(p, 247), (Rgb{44, 48, 64}));
    for (int i = 248; i < 256; ++i) EXPECT_EQ(entry(p, i), (Rgb{0, 0, 0})) << i;
}

TEST_F(BuiltinData, EveryPaletteComponentIsASixBitLevel) {
    bool level[256] = {};
    for (int v = 0; v < 64; ++v) level[v * 255 / 63] = true;
    for (const auto& p : vx::builtin_palettes)
        for (int i = 0; i < 3 * p.entries; ++i) EXPECT_TRUE(level[p.rgb[i]]) << p.entries << " " << i;
}

TEST(BuiltinGenerator, ReproducesTheCommittedSource) {
    const std::filesystem::path source = VX_SOURCE_DIR;
    if (std::system("python3 -c '' >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3 not installed";
    if (!std::filesystem::exists("/usr/share/vgabios/vgabios.bin")) GTEST_SKIP() << "vgabios not installed";

    const vxtest::TempDir folder("vx_gen");
    ASSERT_NE(folder.path(), "");
    const std::filesystem::path dir = folder.path();
    std::string command = "python3 '" + (source / "tools/gen_builtin_data.py").string() + "' --output '" +
                          (dir / "out.cpp").string() + "' 2>'" + (dir / "log").string() + "'";
    int status = std::system(command.c_str());
    std::string log = read_file(dir / "log");
    EXPECT_EQ(status, 0) << log;
    // Name the first differing line rather than print two 300-line files.
    std::istringstream made(read_file(dir / "out.cpp"));
    std::istringstream committed(read_file(source / "gfx/builtin_data_lzw.cpp"));
    std::string made_line, committed_line;
    for (int line = 1;; ++line) {
        bool more_made = static_cast<bool>(std::getline(made, made_line));
        bool more_committed = static_cast<bool>(std::getline(committed, committed_line));
        if (!more_made && !more_committed) break;
        if (more_made != more_committed || made_line != committed_line) {
            ADD_FAILURE() << "gfx/builtin_data_lzw.cpp is not what tools/gen_builtin_data.py makes"
                          << " (regenerate it); first difference at line " << line << ":\n  made:      "
                          << made_line << "\n  committed: " << committed_line;
            break;
        }
    }
}
