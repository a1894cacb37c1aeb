// Key codes and scancodes, with X keysyms standing for the virtual keys.
#include "display/keys.h"

#include <X11/keysym.h>

#include <array>

namespace vx {

const ScancodeRow scancode_table[scancode_rows + 1] = {
    {1, XK_Escape, 0},
    {2, XK_1, 0}, {3, XK_2, 0}, {4, XK_3, 0}, {5, XK_4, 0}, {6, XK_5, 0},
    {7, XK_6, 0}, {8, XK_7, 0}, {9, XK_8, 0}, {10, XK_9, 0}, {11, XK_0, 0},
    {12, XK_minus, XK_KP_Subtract},
    {13, XK_equal, 0},
    {14, XK_BackSpace, 0},
    {15, XK_Tab, 0},
    {16, XK_Q, 0}, {17, XK_W, 0}, {18, XK_E, 0}, {19, XK_R, 0}, {20, XK_T, 0},
    {21, XK_Y, 0}, {22, XK_U, 0}, {23, XK_I, 0}, {24, XK_O, 0}, {25, XK_P, 0},
    {26, XK_bracketleft, 0},
    {27, XK_bracketright, 0},
    {28, XK_Return, XK_KP_Enter},
    {29, XK_Control_L, XK_Control_R},
    {30, XK_A, 0}, {31, XK_S, 0}, {32, XK_D, 0}, {33, XK_F, 0}, {34, XK_G, 0},
    {35, XK_H, 0}, {36, XK_J, 0}, {37, XK_K, 0}, {38, XK_L, 0},
    {39, XK_semicolon, 0},
    {40, XK_apostrophe, 0},
    {41, XK_grave, 0},
    {42, XK_Shift_L, XK_Shift_R},
    {43, XK_backslash, 0},
    {44, XK_Z, 0}, {45, XK_X, 0}, {46, XK_C, 0}, {47, XK_V, 0}, {48, XK_B, 0},
    {49, XK_N, 0}, {50, XK_M, 0},
    {51, XK_comma, 0},
    {52, XK_period, 0},
    {53, XK_slash, XK_KP_Divide},
    // Both Shift keys mark 42 and 54 alike, as the generic Shift key does.
    {54, XK_Shift_L, XK_Shift_R},
    {55, XK_KP_Multiply, 0},
    {56, XK_Alt_L, XK_Alt_R},
    {57, XK_space, 0},
    {58, XK_Caps_Lock, 0},
    {59, XK_F1, 0}, {60, XK_F2, 0}, {61, XK_F3, 0}, {62, XK_F4, 0}, {63, XK_F5, 0},
    {64, XK_F6, 0}, {65, XK_F7, 0}, {66, XK_F8, 0}, {67, XK_F9, 0}, {68, XK_F10, 0},
    {69, XK_Num_Lock, 0},
    {70, XK_Scroll_Lock, 0},
    {71, XK_Home, XK_KP_Home},
    {72, XK_Up, XK_KP_Up},
    {73, XK_Prior, XK_KP_Prior},
    {75, XK_Left, XK_KP_Left},
    {77, XK_Right, XK_KP_Right},
    {78, XK_KP_Add, 0},
    {79, XK_End, XK_KP_End},
    {80, XK_Down, XK_KP_Down},
    {81, XK_Next, XK_KP_Next},
    {82, XK_Insert, XK_KP_Insert},
    {83, XK_Delete, XK_KP_Delete},
    {87, XK_F11, 0}, {88, XK_F12, 0},
    {91, XK_Super_L, 0}, {92, XK_Super_R, 0},
    {93, XK_Menu, 0},
    {0, 0, 0},
};

namespace {

constexpr uint16_t ext(int byte) { return static_cast<uint16_t>(byte << 8); }

// Only the extended entries decide a key code (a character entry always yields the typed
// character instead), so the character entries are left 0.
constexpr std::array<ExtendedCodeRow, 89> build_extended_codes() {
    std::array<ExtendedCodeRow, 89> t{};
    t[1].alt = ext(0x01);
    constexpr int digit_alt[10] = {0x78, 0x79, 0x7A, 0x7B, 0x7C, 0x7D, 0x82, 0x83, 0x80, 0x81};
    for (int i = 0; i < 10; ++i) t[2 + i].alt = ext(digit_alt[i]);
    t[3].ctrl = ext(0x03);
    t[12].alt = ext(0x82);
    t[13].alt = ext(0x83);
    t[14].alt = ext(0xE0);
    t[15].shift = ext(0x0F);
    t[15].ctrl = ext(0x94);
    t[15].alt = ext(0x0F);
    for (int s = 16; s <= 28; ++s) t[s].alt = ext(s);
    for (int s = 30; s <= 41; ++s) t[s].alt = ext(s);
    for (int s = 44; s <= 53; ++s) t[s].alt = ext(s);
    for (int i = 0; i < 10; ++i) {
        t[59 + i].normal = ext(0x3B + i);
        t[59 + i].shift = ext(0x54 + i);
        t[59 + i].ctrl = ext(0x5E + i);
        t[59 + i].alt = ext(0x68 + i);
    }
    constexpr int pad[13][3] = {  // scancode, normal, ctrl
        {71, 0x47, 0x77}, {72, 0x48, 0x8D}, {73, 0x49, 0x84}, {75, 0x4B, 0x73}, {76, 0x4C, 0x8F},
        {77, 0x4D, 0x74}, {79, 0x4F, 0x75}, {80, 0x50, 0x91}, {81, 0x51, 0x76}, {82, 0x52, 0x92},
        {83, 0x53, 0x93}, {0, 0, 0}, {0, 0, 0}};
    for (const auto& p : pad)
        if (p[0]) {
            t[p[0]].normal = ext(p[1]);
            t[p[0]].ctrl = ext(p[2]);
        }
    t[76].alt = ext(0x4C);
    t[87] = {ext(0x85), ext(0x87), ext(0x89), ext(0x8B)};
    t[88] = {ext(0x86), ext(0x88), ext(0x8A), ext(0x8C)};
    return t;
}

// Code page 437 bytes 0x80..0xFF as Unicode.
constexpr uint16_t cp437_high[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

// Legacy keysyms (outside Latin-1 and the Unicode range) whose characters code page 437 has.
constexpr uint32_t legacy_keysyms[][2] = {
    {0x7E1, 0x03B1}, {0x7C3, 0x0393}, {0x7F0, 0x03C0}, {0x7D2, 0x03A3}, {0x7F2, 0x03C3}, {0x7F4, 0x03C4},
    {0x7D6, 0x03A6}, {0x7C8, 0x0398}, {0x7D9, 0x03A9}, {0x7E4, 0x03B4}, {0x7F6, 0x03C6}, {0x7E5, 0x03B5},
    {0x8BC, 0x2264}, {0x8BE, 0x2265}, {0x8C2, 0x221E}, {0x8D6, 0x221A}, {0x8DC, 0x2229}, {0x8CF, 0x2261},
    {0x8A4, 0x2320}, {0x8A5, 0x2321}, {0x8F6, 0x0192},
};

int swap_case(int ch) {
    if (ch >= 'a' && ch <= 'z') return ch - 32;
    if (ch >= 'A' && ch <= 'Z') return ch + 32;
    return ch;
}

int finish(int value) { return value >= 256 ? (value & 0xFF00) + 0xFF : value; }

}  // namespace

const std::array<ExtendedCodeRow, 89> extended_code_table = build_extended_codes();

const GrayKeyRow gray_key_table[12] = {
    {0x1C, 13, 13, 10, ext(0xA6)},
    {0x35, '/', '?', ext(0x95), ext(0xA4)},
    {0x47, ext(0x47), ext(0x47), ext(0x77), ext(0x97)},
    {0x48, ext(0x48), ext(0x48), ext(0x8D), ext(0x98)},
    {0x49, ext(0x49), ext(0x49), ext(0x84), ext(0x99)},
    {0x4B, ext(0x4B), ext(0x4B), ext(0x73), ext(0x9B)},
    {0x4D, ext(0x4D), ext(0x4D), ext(0x74), ext(0x9D)},
    {0x4F, ext(0x4F), ext(0x4F), ext(0x75), ext(0x9F)},
    {0x50, ext(0x50), ext(0x50), ext(0x91), ext(0xA0)},
    {0x51, ext(0x51), ext(0x51), ext(0x76), ext(0xA1)},
    {0x52, ext(0x52), ext(0x52), ext(0x92), ext(0xA2)},
    {0x53, ext(0x53), ext(0x53), ext(0x93), ext(0xA3)},
};

int scancode_lookup(uint32_t vk) {
    if (vk == 0) return 0;
    for (const ScancodeRow* row = scancode_table; row->scancode; ++row)
        if (row->key_a == vk || row->key_b == vk) return row->scancode;
    return 0;
}

int key_translate(int c, int scancode, uint32_t vk, uint32_t modifiers) {
    bool alt = modifiers & (mod_left_alt | mod_right_alt);
    bool ctrl = modifiers & (mod_left_ctrl | mod_right_ctrl);
    bool shift = modifiers & mod_shift;
    if (c == 0 && (modifiers & mod_extended)) {
        for (const GrayKeyRow& row : gray_key_table) {
            if (row.scancode != scancode) continue;
            int value = alt ? row.alt : ctrl ? row.ctrl : shift ? row.shift : row.normal;
            return value ? finish(value) : -1;
        }
        return -1;
    }
    if (scancode >= 0 && scancode < 89) {
        int u = unshifted_char(vk);
        const ExtendedCodeRow& row = extended_code_table[scancode];
        int d = alt ? row.alt : ctrl ? row.ctrl : shift ? row.shift : c ? u : row.normal;
        if (d >= 256 && (c == u || c == swap_case(u))) return finish(d);
    }
    return c ? finish(c) : -1;
}

uint32_t virtual_key(uint32_t keysym) {
    if (keysym >= XK_a && keysym <= XK_z) return keysym - (XK_a - XK_A);
    switch (keysym) {
        case XK_KP_0: return XK_KP_Insert;
        case XK_KP_1: return XK_KP_End;
        case XK_KP_2: return XK_KP_Down;
        case XK_KP_3: return XK_KP_Next;
        case XK_KP_4: return XK_KP_Left;
        case XK_KP_5: return XK_KP_Begin;
        case XK_KP_6: return XK_KP_Right;
        case XK_KP_7: return XK_KP_Home;
        case XK_KP_8: return XK_KP_Up;
        case XK_KP_9: return XK_KP_Prior;
        case XK_KP_Decimal: return XK_KP_Delete;
        case XK_ISO_Left_Tab: return XK_Tab;
        default: return keysym;
    }
}

int key_scan(uint32_t vk) { return vk == XK_KP_Begin ? 76 : scancode_lookup(vk); }

bool gray_keysym(uint32_t keysym) {
    switch (keysym) {
        case XK_Home: case XK_Up: case XK_Prior: case XK_Left: case XK_Right: case XK_End:
        case XK_Down: case XK_Next: case XK_Insert: case XK_Delete: case XK_KP_Enter: case XK_KP_Divide:
        case XK_Control_R: case XK_Alt_R: case XK_Super_L: case XK_Super_R: case XK_Menu:
        case XK_Num_Lock: case XK_Print:
            return true;
        default:
            return false;
    }
}

uint32_t keysym_to_unicode(uint32_t keysym) {
    if ((keysym >= 0x20 && keysym <= 0x7E) || (keysym >= 0xA0 && keysym <= 0xFF)) return keysym;
    if (keysym >= 0x01000000 && keysym <= 0x0110FFFF) return keysym & 0x00FFFFFF;
    switch (keysym) {
        case XK_BackSpace: return 8;
        case XK_Tab: case XK_KP_Tab: case XK_ISO_Left_Tab: return 9;
        case XK_Return: case XK_KP_Enter: return 13;
        case XK_Escape: return 27;
        case XK_KP_Space: return ' ';
        case XK_KP_Equal: return '=';
        default: break;
    }
    // Keypad characters, '*' .. '9', sit at 0xFFAA .. 0xFFB9 in the same order as in ASCII.
    if (keysym >= XK_KP_Multiply && keysym <= XK_KP_9) return keysym - 0xFF80;
    for (const auto& pair : legacy_keysyms)
        if (pair[0] == keysym) return pair[1];
    return 0;
}

int unicode_to_cp437(uint32_t ucs) {
    if (ucs < 0x80) return static_cast<int>(ucs);
    for (int i = 0; i < 128; ++i)
        if (cp437_high[i] == ucs) return 0x80 + i;
    return 0;
}

uint32_t cp437_to_unicode(uint8_t byte) { return byte < 0x80 ? byte : cp437_high[byte - 0x80]; }

int unshifted_char(uint32_t vk) { return unicode_to_cp437(keysym_to_unicode(vk)); }

int typed_character(uint32_t keysym, const char* bytes, int count) {
    // Function and keypad keysyms: the keysym alone decides (X gives Delete the byte 127,
    // which a PC keyboard does not type).
    if (keysym >= 0xFF00 && keysym <= 0xFFFF) return unicode_to_cp437(keysym_to_unicode(keysym));
    // A single ASCII byte is what the lookup made of the key, control characters included.
    if (count == 1 && static_cast<unsigned char>(bytes[0]) < 0x80) return static_cast<unsigned char>(bytes[0]);
    return unicode_to_cp437(keysym_to_unicode(keysym));
}

}  // namespace vx
