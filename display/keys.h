// Key codes and scancodes: the tables that name keys, the translation from a key report to a
// key code, and the X keysym helpers that let a keysym stand for the virtual key.
#pragma once

#include <array>
#include <cstdint>

namespace vx {

// One row of scancode_table: the keys (X keysyms, letters upper case) that give a scancode.
struct ScancodeRow {
    uint8_t scancode;  // 0 ends the table
    uint32_t key_a;
    uint32_t key_b;    // 0 when only one key maps
};
constexpr int scancode_rows = 86;
extern const ScancodeRow scancode_table[scancode_rows + 1];

// Codes per scancode: a value below 256 is a character, 256 or more carries the extended byte
// in its high byte.
struct ExtendedCodeRow {
    uint16_t normal, shift, ctrl, alt;
};
extern const std::array<ExtendedCodeRow, 89> extended_code_table;

struct GrayKeyRow {
    uint8_t scancode;
    uint16_t normal, shift, ctrl, alt;
};
extern const GrayKeyRow gray_key_table[12];

// Modifier set bits.
enum : uint32_t {
    mod_right_alt = 0x01,
    mod_left_alt = 0x02,
    mod_right_ctrl = 0x04,
    mod_left_ctrl = 0x08,
    mod_shift = 0x10,
    mod_extended = 0x100,
};

// Scancode of the first row naming the virtual key, 0 when none.
int scancode_lookup(uint32_t virtual_key);

// c: the character (code page 437) the layout produces for the key now, 0 when none.
// Returns a character 1..255, an extended code (byte * 256 + 255), or -1 for none.
int key_translate(int c, int scancode, uint32_t virtual_key, uint32_t modifiers);

// The virtual key of an unshifted keysym: letters upper case, keypad digits as the keypad's
// navigation keysyms (what the key means with Num Lock off), left tab as tab.
uint32_t virtual_key(uint32_t keysym);
// The scancode key_translate is given for a virtual key: its row, and 76 for the keypad 5,
// which has no row but has codes.
int key_scan(uint32_t virtual_key);
// Keys the PC keyboard reports as extended (gray) keys.
bool gray_keysym(uint32_t keysym);
// The unshifted character of a virtual key in code page 437, 0 when none.
int unshifted_char(uint32_t virtual_key);

// Unicode of a keysym's character, 0 when it has none (function keys, Delete).
uint32_t keysym_to_unicode(uint32_t keysym);
// Code page 437 byte of a Unicode character, 0 when it has none.
int unicode_to_cp437(uint32_t ucs);
uint32_t cp437_to_unicode(uint8_t byte);
// The character a key press typed, in code page 437: from the keysym the layout chose and the
// bytes the X lookup gave (which carry the control characters of Ctrl combinations).
int typed_character(uint32_t keysym, const char* bytes, int count);

}  // namespace vx
