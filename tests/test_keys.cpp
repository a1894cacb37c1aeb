// Scancodes and key codes for X keysyms, and typed characters in code page 437.
#include <gtest/gtest.h>

#include <X11/keysym.h>

#include <set>
#include <string>

#include "display/keys.h"

using namespace vx;

namespace {

struct Row {
    int scancode;
    uint32_t keysym;
};

// Every key of the table, written independently of it: letters and digits by their rows.
std::vector<Row> expected_rows() {
    std::vector<Row> rows = {
        {1, XK_Escape}, {12, XK_minus}, {12, XK_KP_Subtract}, {13, XK_equal}, {14, XK_BackSpace}, {15, XK_Tab},
        {26, XK_bracketleft}, {27, XK_bracketright}, {28, XK_Return}, {28, XK_KP_Enter}, {29, XK_Control_L},
        {29, XK_Control_R}, {39, XK_semicolon}, {40, XK_apostrophe}, {41, XK_grave}, {42, XK_Shift_L}, {42, XK_Shift_R},
        {43, XK_backslash}, {51, XK_comma}, {52, XK_period}, {53, XK_slash}, {53, XK_KP_Divide}, {55, XK_KP_Multiply},
        {56, XK_Alt_L}, {56, XK_Alt_R}, {57, XK_space}, {58, XK_Caps_Lock}, {69, XK_Num_Lock}, {70, XK_Scroll_Lock},
        {71, XK_Home}, {71, XK_KP_Home}, {72, XK_Up}, {72, XK_KP_Up}, {73, XK_Prior}, {73, XK_KP_Prior}, {75, XK_Left},
        {75, XK_KP_Left}, {77, XK_Right}, {77, XK_KP_Right}, {78, XK_KP_Add}, {79, XK_End}, {79, XK_KP_End}, {80, XK_Down},
        {80, XK_KP_Down}, {81, XK_Next}, {81, XK_KP_Next}, {82, XK_Insert}, {82, XK_KP_Insert}, {83, XK_Delete},
        {83, XK_KP_Delete}, {87, XK_F11}, {88, XK_F12}, {91, XK_Super_L}, {92, XK_Super_R}, {93, XK_Menu},
    };
    const std::string digits = "1234567890";
    for (size_t i = 0; i < digits.size(); ++i) rows.push_back({2 + static_cast<int>(i), static_cast<uint32_t>(digits[i])});
    const std::pair<int, std::string> letters[] = {{16, "QWERTYUIOP"}, {30, "ASDFGHJKL"}, {44, "ZXCVBNM"}};
    for (const auto& [first, keys] : letters)
        for (size_t i = 0; i < keys.size(); ++i) rows.push_back({first + static_cast<int>(i), static_cast<uint32_t>(keys[i])});
    for (int i = 0; i < 10; ++i) rows.push_back({59 + i, static_cast<uint32_t>(XK_F1 + i)});
    return rows;
}

uint32_t plain(int c) { return static_cast<uint32_t>(c); }

}  // namespace

TEST(Keys, EveryRowOfTheScancodeTableMapsItsKeys) {
    for (const Row& row : expected_rows()) {
        uint32_t vk = virtual_key(row.keysym);
        int expected = row.scancode == 42 || row.scancode == 54 ? 42 : row.scancode;  // the first Shift row wins
        EXPECT_EQ(scancode_lookup(vk), expected) << "keysym 0x" << std::hex << row.keysym;
    }
    int rows = 0;
    std::set<int> scancodes;
    for (const ScancodeRow* r = scancode_table; r->scancode; ++r, ++rows) scancodes.insert(r->scancode);
    EXPECT_EQ(rows, 86);
    EXPECT_EQ(scancodes.size(), 86u);
    for (int none : {74, 76, 84, 85, 86, 89, 90}) EXPECT_FALSE(scancodes.count(none)) << none;
    // Both generic Shift rows name both Shift keys, so sampling marks 42 and 54 alike.
    for (const ScancodeRow* r = scancode_table; r->scancode; ++r)
        if (r->scancode == 42 || r->scancode == 54) {
            EXPECT_EQ(r->key_a, plain(XK_Shift_L));
            EXPECT_EQ(r->key_b, plain(XK_Shift_R));
        }
}

TEST(Keys, KeysWithoutARowHaveScancodeZero) {
    EXPECT_EQ(scancode_lookup(XK_Print), 0);
    EXPECT_EQ(scancode_lookup(XK_KP_Begin), 0);
    EXPECT_EQ(scancode_lookup(XK_udiaeresis), 0);
    EXPECT_EQ(scancode_lookup(0), 0);
    EXPECT_EQ(key_scan(XK_KP_Begin), 76);  // keypad 5: no row, but codes
}

TEST(Keys, VirtualKeysAreTheUnshiftedKeysymsCanonicalised) {
    EXPECT_EQ(virtual_key(XK_a), plain(XK_A));
    EXPECT_EQ(virtual_key(XK_z), plain(XK_Z));
    EXPECT_EQ(virtual_key(XK_A), plain(XK_A));
    EXPECT_EQ(virtual_key(XK_KP_8), plain(XK_KP_Up));
    EXPECT_EQ(virtual_key(XK_KP_0), plain(XK_KP_Insert));
    EXPECT_EQ(virtual_key(XK_KP_5), plain(XK_KP_Begin));
    EXPECT_EQ(virtual_key(XK_KP_Decimal), plain(XK_KP_Delete));
    EXPECT_EQ(virtual_key(XK_ISO_Left_Tab), plain(XK_Tab));
    EXPECT_EQ(virtual_key(XK_Escape), plain(XK_Escape));
    EXPECT_TRUE(gray_keysym(XK_Up));
    EXPECT_FALSE(gray_keysym(XK_KP_Up));
    EXPECT_TRUE(gray_keysym(XK_KP_Enter));
    EXPECT_FALSE(gray_keysym(XK_Return));
}

// key_translate(c, scancode, vk, modifiers) for the combinations a user types.
struct Translation {
    const char* name;
    int c;
    uint32_t keysym;
    uint32_t modifiers;
    int expected;
};

TEST(Keys, TranslationTable) {
    const uint32_t shift = mod_shift, ctrl = mod_left_ctrl, alt = mod_left_alt, gray = mod_extended;
    const Translation cases[] = {
        {"F1", 0, XK_F1, 0, 0x3BFF},
        {"Shift+F1", 0, XK_F1, shift, 0x54FF},
        {"Ctrl+F1", 0, XK_F1, ctrl, 0x5EFF},
        {"Alt+F1", 0, XK_F1, alt, 0x68FF},
        {"F10", 0, XK_F10, 0, 0x44FF},
        {"Alt+F4", 0, XK_F4, alt, 0x6BFF},
        {"right Alt+F4", 0, XK_F4, mod_right_alt, 0x6BFF},
        {"gray Up", 0, XK_Up, gray, 0x48FF},
        {"Ctrl+gray Up", 0, XK_Up, ctrl | gray, 0x8DFF},
        {"right Ctrl+gray Up", 0, XK_Up, mod_right_ctrl | gray, 0x8DFF},
        {"Alt+gray Up", 0, XK_Up, alt | gray, 0x98FF},
        {"Shift+gray Up", 0, XK_Up, shift | gray, 0x48FF},
        {"keypad 8, Num Lock off", 0, XK_KP_Up, 0, 0x48FF},
        {"Ctrl+keypad 8", 0, XK_KP_Up, ctrl, 0x8DFF},
        {"keypad 8, Num Lock on", '8', XK_KP_Up, 0, '8'},
        {"keypad 5, Num Lock off", 0, XK_KP_Begin, 0, 0x4CFF},
        {"gray Delete", 0, XK_Delete, gray, 0x53FF},
        {"Alt+gray Delete", 0, XK_Delete, alt | gray, 0xA3FF},
        {"gray Home", 0, XK_Home, gray, 0x47FF},
        {"Alt+gray Page Down", 0, XK_Next, alt | gray, 0xA1FF},
        {"a", 'a', XK_A, 0, 'a'},
        {"Shift+a", 'A', XK_A, shift, 'A'},
        {"Alt+a", 'a', XK_A, alt, 0x1EFF},
        {"Alt+Shift+a", 'A', XK_A, alt | shift, 0x1EFF},
        {"Ctrl+a", 1, XK_A, ctrl, 1},
        {"Alt+q", 'q', XK_Q, alt, 0x10FF},
        {"Alt+m", 'm', XK_M, alt, 0x32FF},
        {"Alt+1", '1', XK_1, alt, 0x78FF},
        {"Alt+7", '7', XK_7, alt, 0x82FF},
        {"Alt+0", '0', XK_0, alt, 0x81FF},
        {"Alt+minus", '-', XK_minus, alt, 0x82FF},
        {"Alt+equals", '=', XK_equal, alt, 0x83FF},
        {"Shift+1", '!', XK_1, shift, '!'},
        {"Escape", 27, XK_Escape, 0, 27},
        {"Alt+Escape", 27, XK_Escape, alt, 0x01FF},
        {"Alt+Backspace", 8, XK_BackSpace, alt, 0xE0FF},
        {"Tab", 9, XK_Tab, 0, 9},
        {"Shift+Tab", 9, XK_Tab, shift, 0x0FFF},
        {"Ctrl+Tab", 9, XK_Tab, ctrl, 0x94FF},
        {"Enter", 13, XK_Return, 0, 13},
        {"Alt+Enter", 13, XK_Return, alt, 0x1CFF},
        {"F11", 0, XK_F11, 0, 0x85FF},
        {"Ctrl+F12", 0, XK_F12, ctrl, 0x8AFF},
        {"Alt+F12", 0, XK_F12, alt, 0x8CFF},
        {"keypad Enter", 13, XK_KP_Enter, gray, 13},
        {"keypad divide", '/', XK_KP_Divide, gray, '/'},
        {"typed u umlaut (no row)", 0x81, XK_udiaeresis, 0, 0x81},
        {"Print Screen", 0, XK_Print, gray, -1},
        {"Shift alone", 0, XK_Shift_L, 0, -1},
        {"right Ctrl alone", 0, XK_Control_R, gray, -1},
        {"Alt with a layout character (AltGr+q = @)", '@', XK_Q, alt, '@'},
    };
    for (const Translation& t : cases) {
        uint32_t vk = virtual_key(t.keysym);
        EXPECT_EQ(key_translate(t.c, key_scan(vk), vk, t.modifiers), t.expected) << t.name;
    }
}

TEST(Keys, GrayKeyTableRowsInEveryColumn) {
    // {scancode, normal, shift, ctrl, alt} with extended bytes as their key codes.
    const int rows[12][5] = {
        {0x1C, 13, 13, 10, 0xA6FF},         {0x35, '/', '?', 0x95FF, 0xA4FF},   {0x47, 0x47FF, 0x47FF, 0x77FF, 0x97FF},
        {0x48, 0x48FF, 0x48FF, 0x8DFF, 0x98FF}, {0x49, 0x49FF, 0x49FF, 0x84FF, 0x99FF}, {0x4B, 0x4BFF, 0x4BFF, 0x73FF, 0x9BFF},
        {0x4D, 0x4DFF, 0x4DFF, 0x74FF, 0x9DFF}, {0x4F, 0x4FFF, 0x4FFF, 0x75FF, 0x9FFF}, {0x50, 0x50FF, 0x50FF, 0x91FF, 0xA0FF},
        {0x51, 0x51FF, 0x51FF, 0x76FF, 0xA1FF}, {0x52, 0x52FF, 0x52FF, 0x92FF, 0xA2FF}, {0x53, 0x53FF, 0x53FF, 0x93FF, 0xA3FF},
    };
    const uint32_t columns[4] = {0, mod_shift, mod_left_ctrl, mod_left_alt};
    for (const auto& row : rows)
        for (int column = 0; column < 4; ++column)
            EXPECT_EQ(key_translate(0, row[0], 0, columns[column] | mod_extended), row[1 + column])
                << "scancode 0x" << std::hex << row[0] << " column " << column;
    EXPECT_EQ(key_translate(0, 0x1D, 0, mod_extended), -1) << "a gray scancode without a row";
}

TEST(Keys, ExtendedCodesOfTheFunctionKeysAndKeypad) {
    for (int i = 0; i < 10; ++i) {
        const ExtendedCodeRow& row = extended_code_table[59 + i];
        EXPECT_EQ(row.normal, (0x3B + i) << 8);
        EXPECT_EQ(row.shift, (0x54 + i) << 8);
        EXPECT_EQ(row.ctrl, (0x5E + i) << 8);
        EXPECT_EQ(row.alt, (0x68 + i) << 8);
    }
    const int keypad[][3] = {{71, 0x47, 0x77}, {72, 0x48, 0x8D}, {73, 0x49, 0x84}, {75, 0x4B, 0x73}, {76, 0x4C, 0x8F},
                             {77, 0x4D, 0x74}, {79, 0x4F, 0x75}, {80, 0x50, 0x91}, {81, 0x51, 0x76}, {82, 0x52, 0x92},
                             {83, 0x53, 0x93}};
    for (const auto& k : keypad) {
        EXPECT_EQ(extended_code_table[k[0]].normal, k[1] << 8) << k[0];
        EXPECT_EQ(extended_code_table[k[0]].ctrl, k[2] << 8) << k[0];
        EXPECT_EQ(extended_code_table[k[0]].alt, k[0] == 76 ? 0x4C00 : 0) << k[0];
    }
    EXPECT_EQ(extended_code_table[3].ctrl, 0x0300) << "Ctrl+2";
    for (int s : {16, 28, 30, 41, 44, 53}) EXPECT_EQ(extended_code_table[s].alt, s << 8) << s;
    EXPECT_EQ(extended_code_table[29].alt, 0) << "Control has no Alt code";
}

TEST(Keys, TypedCharactersInCodePage437) {
    EXPECT_EQ(typed_character(XK_udiaeresis, "\xFC", 1), 0x81);
    EXPECT_EQ(typed_character(XK_adiaeresis, "\xE4", 1), 0x84);
    EXPECT_EQ(typed_character(XK_odiaeresis, "", 0), 0x94);
    EXPECT_EQ(typed_character(XK_ssharp, "\xDF", 1), 0xE1);
    EXPECT_EQ(typed_character(XK_Udiaeresis, "\xDC", 1), 0x9A);
    EXPECT_EQ(typed_character(XK_a, "a", 1), 'a');
    EXPECT_EQ(typed_character(XK_a, "\x01", 1), 1) << "Ctrl+a keeps the control character";
    EXPECT_EQ(typed_character(XK_Escape, "\x1B", 1), 27);
    EXPECT_EQ(typed_character(XK_Return, "\r", 1), 13);
    EXPECT_EQ(typed_character(XK_Delete, "\x7F", 1), 0) << "Delete types nothing";
    EXPECT_EQ(typed_character(XK_KP_Delete, "\x7F", 1), 0);
    EXPECT_EQ(typed_character(XK_F1, "", 0), 0);
    EXPECT_EQ(typed_character(XK_KP_7, "7", 1), '7');
    EXPECT_EQ(typed_character(XK_KP_Home, "", 0), 0);
    EXPECT_EQ(typed_character(XK_EuroSign, "", 0), 0) << "unmappable";
    EXPECT_EQ(typed_character(0x1000000 + 0x00FC, "\xC3\xBC", 2), 0x81) << "Unicode keysym, UTF-8 lookup bytes";
    EXPECT_EQ(typed_character(XK_Greek_alpha, "", 0), 0xE0);
    EXPECT_EQ(typed_character(XK_agrave, "\xE0", 1), 0x85);
    EXPECT_EQ(typed_character(XK_Agrave, "\xC0", 1), 0) << "no capital A grave in code page 437";
}

TEST(Keys, CodePage437RoundTripsThroughUnicode) {
    for (int byte = 1; byte < 256; ++byte) {
        uint32_t ucs = cp437_to_unicode(static_cast<uint8_t>(byte));
        EXPECT_EQ(unicode_to_cp437(ucs), byte) << "byte 0x" << std::hex << byte;
    }
    EXPECT_EQ(unicode_to_cp437(0x20AC), 0);
    EXPECT_EQ(unshifted_char(XK_A), 'A');
    EXPECT_EQ(unshifted_char(XK_Escape), 27);
    EXPECT_EQ(unshifted_char(XK_F1), 0);
}
