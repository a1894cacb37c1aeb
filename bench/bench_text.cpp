// Cost of draw_string per glyph with the 8 x 14 font on the application's 32-bit screen, and of
// console output on the same screen.
#include <benchmark/benchmark.h>

#include <string>

#include "gfx/console.h"
#include "gfx/console_ops.h"
#include "gfx/context.h"
#include "gfx/fonts.h"
#include <vxgfx/text.h>

namespace {

// The application's screen without a window; glyphs get a half-set pattern when the block has
// not been expanded in this build, so that the pixel writes are really counted.
void open_screen() {
    vx::screen_res(720, 190, 32, 0, -1, 0);
    vx::gfx_width(90, 13);
    auto* glyphs = const_cast<uint8_t*>(vx::font_8x14().glyphs);
    bool blank = true;
    for (int i = 0; i < 256 * 14; ++i) blank = blank && glyphs[i] == 0;
    if (blank)
        for (int i = 0; i < 256 * 14; ++i) glyphs[i] = static_cast<uint8_t>(i % 2 ? 0x5A : 0xA5);
}

std::string caption(size_t length) {
    const std::string words = "Lautst\x84rke: 99% Konzertfl\x81gel Oktaven: 2 bis 6 ";
    std::string text;
    while (text.size() < length) text += words;
    text.resize(length);
    return text;
}

void BM_DrawStringPerGlyph(benchmark::State& state) {
    open_screen();
    const std::string text = caption(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        int result = vx::draw_string(nullptr, 4, 90, 0x80000004u, text.data(), static_cast<int32_t>(text.size()), 0,
                                     nullptr, 0, nullptr, nullptr, nullptr);
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    vx::screen_close();
}
BENCHMARK(BM_DrawStringPerGlyph)->Arg(1)->Arg(12)->Arg(89);

// The floor under drawing text: the glyph cells of the same text filled, one fill_span per
// pixel row (every pixel a glyph can touch, written once).
void BM_GlyphCellsFilled(benchmark::State& state) {
    open_screen();
    vx::DrawState* s = vx::draw_state();
    const size_t glyphs = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        for (int row = 0; row < 14; ++row) s->fill_span(s->lines[static_cast<size_t>(90 + row)] + 4 * 4, 0xFF000000u, glyphs * 8);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    vx::screen_close();
}
BENCHMARK(BM_GlyphCellsFilled)->Arg(1)->Arg(12)->Arg(89);

// Half the text left of the screen: the cost of the clipping paths.
void BM_DrawStringClippedLeft(benchmark::State& state) {
    open_screen();
    const std::string text = caption(90);
    for (auto _ : state) {
        int result = vx::draw_string(nullptr, -356, 90, 0x80000004u, text.data(), 90, 0, nullptr, 0, nullptr, nullptr,
                                     nullptr);
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(state.iterations() * 45);
    vx::screen_close();
}
BENCHMARK(BM_DrawStringClippedLeft);

// Console output that scrolls the whole 90 x 13 grid once per line.
void BM_ConsolePrintScrolling(benchmark::State& state) {
    open_screen();
    std::string line = caption(89) + "\n";
    vx::console_locate(13, 1, 0);
    for (auto _ : state) vx::console_print(line.data(), static_cast<int>(line.size()), 0);
    state.SetItemsProcessed(state.iterations() * 89);
    vx::screen_close();
}
BENCHMARK(BM_ConsolePrintScrolling);

}  // namespace
