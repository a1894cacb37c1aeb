// Compressed SoundFonts (.sf3) for the embedded synthesiser, read by a loader of our own. The
// library's loader decodes every sample of a program when it is chosen: about 100 MB for the
// piano of a General MIDI .sf3, of which the keyboard plays one key at a time. This one decodes
// the first half second of each sample when its program is chosen, and the rest of a sample
// while its first note plays those first frames; the rest goes again once the sample has
// rested, and every sample of a program no longer chosen goes whole, never while a voice may
// still read it. What a file can make it decode, and a Note On's work, are bounded.
#pragma once

#include <atomic>

#include <fluidsynth.h>

namespace app {

// For fluid_synth_add_sfloader: takes SoundFonts of version 3 while the synth's settings load
// samples on demand (synth.dynamic-sample-loading), and leaves every other file to the loaders
// after it. Synths that load the same file share its samples.
fluid_sfloader_t* new_sf3_loader(fluid_settings_t* settings);

// Where `synth` holds a SoundFont of that loader: decodes the beginnings of the samples of the
// programs now on its channels, on the calling thread, before it returns (giving up early once
// `cancelled`), and lets the samples of every other program go once no voice plays them.
// False, doing nothing, where the synth holds none.
bool sf3_follow_programs(fluid_synth_t* synth, const std::atomic<bool>& cancelled);

}  // namespace app
