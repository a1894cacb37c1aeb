// The instrument catalogue: the name shown for each General MIDI program number.
#pragma once

namespace app {

constexpr int instrument_count = 128;
constexpr int instrument_field_size = 20;  // up to 19 code page 437 bytes, then zeros

// Indexed by program number 0..127; every field is zero-filled after its name.
extern const char instrument_catalogue[instrument_count][instrument_field_size];

// The name of program 0..127 as a zero-terminated code page 437 text; "" outside that range.
const char* instrument_name(int program);

}  // namespace app
