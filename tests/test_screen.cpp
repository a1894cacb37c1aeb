// Opening, reopening and closing the screen; the driver trial; targets, pages, events and
// the display lock bracket, seen through framebuffer bytes, dirty flags and driver calls.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "display/input.h"
#include "gfx/context.h"
#include "gfx/image.h"
#include "gfx/primitives.h"
#include "runtime/console.h"
#include "runtime/runtime.h"
#include "tests/support/fake_driver.h"
#include "tests/support/sanitizers.h"

using namespace vx;
using vxtest::fake;

namespace {

struct Screen : ::testing::Test {
    void SetUp() override { vxtest::use_fake_driver(); }
    void TearDown() override { vxtest::restore_drivers(); }
};

}  // namespace

TEST_F(Screen, TheApplicationsScreen) {
    ASSERT_EQ(screen_res(720, 190, 32, 0, 4, 0), 0);
    GfxContext* ctx = gfx_context();
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->page_count, 1);
    EXPECT_EQ(ctx->depth, 32);
    EXPECT_EQ(ctx->bpp, 4);
    EXPECT_EQ(ctx->pitch, 2880);
    EXPECT_EQ(ctx->colour_mask, 0xFFFFFFFFu);
    EXPECT_EQ(ctx->font, &font_8x8());
    EXPECT_EQ(ctx->text_cols, 90);
    EXPECT_EQ(ctx->text_rows, 23);
    EXPECT_EQ(ctx->mode, -1);
    for (int y = 0; y < 190; ++y)
        for (int x = 0; x < 720; ++x) ASSERT_EQ(vxtest::screen_pixel(x, y), 0xFF000000u) << x << "," << y;
    DrawState* s = draw_state();
    EXPECT_EQ(s->fg, 0xFFFFFFFFu);
    EXPECT_EQ(s->bg, 0xFF000000u);
    EXPECT_EQ(fake.opened_width, 720);
    EXPECT_EQ(fake.opened_height, 190);
    EXPECT_EQ(fake.opened_depth, 32);
    EXPECT_EQ(fake.opened_flags, 4);
    EXPECT_EQ(rt_last_error(), 0);
}

TEST_F(Screen, DepthsAreStoredAsTheirStorageForm) {
    ASSERT_EQ(screen_res(64, 8, 24, 0, 0, 0), 0);
    EXPECT_EQ(gfx_context()->depth, 32);
    ASSERT_EQ(screen_res(64, 8, 15, 0, 0, 0), 0);
    EXPECT_EQ(gfx_context()->depth, 16);
    EXPECT_EQ(gfx_context()->colour_mask, 0xFFFFu);
    EXPECT_EQ(gfx_context()->pitch, 128);
    ASSERT_EQ(screen_res(64, 8, 4, 0, 0, 0), 0);
    EXPECT_EQ(gfx_context()->colour_mask, 15u);
    EXPECT_EQ(gfx_context()->bpp, 1);
    EXPECT_EQ(draw_state()->fg, 15u);
    EXPECT_EQ(draw_state()->bg, 0u);
}

TEST_F(Screen, InvalidRequestsLeaveTheOpenScreen) {
    ASSERT_EQ(screen_res(320, 200, 32, 0, 0, 0), 0);
    int id = gfx_context()->id;
    for (int depth : {0, 3, 33, -1, 7}) {
        EXPECT_EQ(screen_res(320, 200, depth, 0, 0, 0), 1) << depth;
        EXPECT_EQ(rt_last_error(), 1);
    }
    EXPECT_EQ(screen_res(0, 200, 32, 0, 0, 0), 1);
    EXPECT_EQ(screen_res(320, -1, 32, 0, 0, 0), 1);
    for (int mode : {3, 6, 22, -1}) EXPECT_EQ(screen_mode(mode, 0, 0, 0, 0), 1) << mode;
    ASSERT_NE(gfx_context(), nullptr);
    EXPECT_EQ(gfx_context()->id, id);
}

TEST_F(Screen, NumberedModesAndTheirDepths) {
    ASSERT_EQ(screen_mode(14, 16, 0, 0, 0), 0);
    EXPECT_EQ(gfx_context()->width, 320);
    EXPECT_EQ(gfx_context()->height, 240);
    EXPECT_EQ(gfx_context()->depth, 16);
    ASSERT_EQ(screen_mode(13, 16, 0, 0, 0), 0);
    EXPECT_EQ(gfx_context()->depth, 8);
    EXPECT_EQ(gfx_context()->mode, 13);
    ASSERT_EQ(screen_mode(2, 0, 0, 0, 0), 0);
    EXPECT_EQ(gfx_context()->scale, 2);
    EXPECT_EQ(fake.opened_height, 400);  // the driver sees height times scale
    ASSERT_EQ(screen_mode(9, 0, 0, 0, 0), 0);
    EXPECT_EQ(gfx_context()->font, &font_8x14());
    EXPECT_EQ(gfx_context()->palette_desc->entries, 64);
    ASSERT_EQ(screen_mode(21, 0, 0, 0, 0), 0);
    EXPECT_EQ(gfx_context()->text_cols, 160);
    EXPECT_EQ(gfx_context()->text_rows, 64);
    ASSERT_EQ(screen_mode(0, 0, 0, 0, 0), 0);
    EXPECT_EQ(gfx_context(), nullptr);
    EXPECT_EQ(console_hooks_installed(), 0);
}

TEST_F(Screen, ModeFlagsThatTheModeSetInterprets) {
    ASSERT_EQ(screen_res(64, 8, 8, 0, 0x2, 0), 0);
    EXPECT_EQ(gfx_context()->depth, 16);
    EXPECT_TRUE(gfx_context()->flags & ctx_opengl);
    ASSERT_EQ(screen_res(64, 8, 32, 0, 0x10, 0), 0);
    EXPECT_EQ(fake.opened_flags, 0x1C);
    ASSERT_EQ(screen_res(64, 8, 32, 0, 0x40, 0), 0);
    EXPECT_TRUE(gfx_context()->flags & ctx_alpha_primitives);
    ASSERT_EQ(screen_res(64, 8, 32, 0, -1, 0), 0);  // no window at all
    EXPECT_EQ(gfx_context()->driver, &null_driver);
    EXPECT_FALSE(gfx_context()->flags & ctx_alpha_primitives);
}

TEST_F(Screen, NullInAnyCaseSelectsTheNullDriver) {
    for (const char* name : {"null", "NULL", "nUlL"}) {
        setenv("VXGFX", name, 1);
        fake.calls.clear();
        ASSERT_EQ(screen_res(32, 8, 32, 0, 4, 0), 0);
        EXPECT_TRUE(fake.calls.empty()) << "no driver entry is called";
        ScreenInfo info;
        screen_info(&info);
        EXPECT_EQ(info.driver, "Null");
        EXPECT_EQ(info.width, 32);
        EXPECT_EQ(info.bpp, 4);
        EXPECT_EQ(info.pitch, 128);
    }
    unsetenv("VXGFX");
}

TEST_F(Screen, WithoutAScreenInfoReportsTheDesktop) {
    screen_close();
    const char* display = std::getenv("DISPLAY");
    std::string saved = display ? display : "";
    unsetenv("DISPLAY");
    ScreenInfo info;
    info.bpp = 7;
    screen_info(&info);
    EXPECT_EQ(info.width, 0);  // no display reachable: zeros, not a failure
    EXPECT_EQ(info.bpp, 0);
    EXPECT_EQ(info.pitch, 0);
    EXPECT_EQ(info.driver, "");
    if (display) setenv("DISPLAY", saved.c_str(), 1);
}

TEST_F(Screen, TrialWithoutANameRunsTheListThenFlipsFullScreen) {
    const DisplayDriver* const list[] = {&vxtest::fake_driver, &vxtest::other_driver};
    set_display_drivers(list);
    fake.open_result = -1;
    EXPECT_EQ(screen_res(32, 8, 32, 0, 4, 60), 1);
    std::vector<std::string> want = {
        "open Fake r=60 f=4",  "close", "open Fake r=0 f=4",  "close", "open Other r=60 f=4", "close",
        "open Other r=0 f=4",  "close", "open Fake r=60 f=5", "close", "open Fake r=0 f=5",   "close",
        "open Other r=60 f=5", "close", "open Other r=0 f=5", "close",
    };
    EXPECT_EQ(fake.calls, want);
    EXPECT_EQ(gfx_context(), nullptr);
    EXPECT_EQ(console_hooks_installed(), 0);
}

TEST_F(Screen, TrialWithANameTriesItFirstAndAgain) {
    const DisplayDriver* const list[] = {&vxtest::fake_driver, &vxtest::other_driver};
    set_display_drivers(list);
    setenv("VXGFX", "oThEr", 1);
    fake.open_result = -1;
    EXPECT_EQ(screen_res(32, 8, 32, 0, 0, 0), 1);
    std::vector<std::string> opens;
    for (auto& c : fake.calls)
        if (c != "close") opens.push_back(c);
    std::vector<std::string> want = {
        "open Other r=0 f=0", "open Other r=0 f=0",                                              // named
        "open Fake r=0 f=0",  "open Fake r=0 f=0",  "open Other r=0 f=0", "open Other r=0 f=0",  // all
        "open Other r=0 f=0", "open Other r=0 f=0",                                              // named
        "open Fake r=0 f=1",  "open Fake r=0 f=1",  "open Other r=0 f=1", "open Other r=0 f=1",  // all, flipped
    };
    EXPECT_EQ(opens, want);
    unsetenv("VXGFX");
}

TEST_F(Screen, FirstSuccessfulOpenEndsTheTrial) {
    const DisplayDriver* const list[] = {&vxtest::fake_driver, &vxtest::other_driver};
    set_display_drivers(list);
    setenv("VXGFX", "other", 1);
    ASSERT_EQ(screen_res(32, 8, 32, 0, 0, 0), 0);
    EXPECT_EQ(fake.calls, std::vector<std::string>{"open Other r=0 f=0"});
    EXPECT_STREQ(gfx_context()->driver->name, "Other");
    unsetenv("VXGFX");
    screen_close();
    EXPECT_EQ(fake.calls.back(), "close");
}

TEST_F(Screen, ReopeningClosesThePreviousScreenAndMakesTheStateStale) {
    ASSERT_EQ(screen_res(32, 8, 32, 0, 0, 0), 0);
    int first = gfx_context()->id;
    DrawState* s = draw_state();
    s->fg = 0x123456;
    s->clip_w = 5;
    ASSERT_EQ(screen_res(64, 16, 16, 0, 0, 0), 0);
    EXPECT_EQ(gfx_context()->id, first + 1);
    EXPECT_EQ(fake.calls[1], "close");
    s = draw_state();
    EXPECT_EQ(s->context_id, first + 1);
    EXPECT_EQ(s->fg, 0xFFFFu);
    EXPECT_EQ(s->clip_w, 64);
    EXPECT_EQ(s->clip_h, 16);
    EXPECT_EQ(s->target_bpp, 2);
}

// Screens of two depths kept set up at once: drawing lands in the open one with its own pixel
// size, the other keeps its pixels, and a screen with a window is never taken out of service.
TEST_F(Screen, ReleasedScreensComeBackWithTheirPixels) {
    ASSERT_EQ(screen_res(16, 4, 32, 1, -1, 0), 0);
    pixel_set(nullptr, 1, 1, 0x123456, 4, false);
    GfxContext* wide = screen_release();
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(gfx_context(), nullptr);
    EXPECT_EQ(console_hooks_installed(), 0);
    ASSERT_EQ(screen_res(8, 4, 8, 1, -1, 0), 0);
    GfxContext* small = screen_release();
    ASSERT_NE(small, nullptr);

    screen_restore(wide);
    EXPECT_EQ(gfx_context(), wide);
    EXPECT_NE(console_hooks_installed(), 0);
    pixel_set(nullptr, 2, 1, 0x654321, 4, false);
    auto* wide_row = reinterpret_cast<const uint32_t*>(wide->pages[0].get() + wide->pitch);
    EXPECT_EQ(wide_row[1], 0x123456u);
    EXPECT_EQ(wide_row[2], 0x654321u);

    EXPECT_EQ(screen_release(), wide);
    screen_restore(small);
    pixel_set(nullptr, 2, 1, 7, 4, false);
    const uint8_t* small_row = small->pages[0].get() + small->pitch;
    EXPECT_EQ(small_row[2], 7);
    EXPECT_EQ(small_row[3], 0);
    EXPECT_EQ(wide_row[2], 0x654321u);

    screen_restore(wide);  // closes the small one
    EXPECT_EQ(draw_state()->target_bpp, 4);
    ASSERT_EQ(screen_res(16, 4, 32, 0, 0, 0), 0);
    EXPECT_EQ(screen_release(), nullptr);
    EXPECT_NE(gfx_context(), nullptr);
    screen_close();
}

TEST_F(Screen, HooksAreInstalledWhileAScreenIsOpen) {
    ASSERT_EQ(screen_res(32, 8, 32, 0, 0, 0), 0);
    EXPECT_NE(console_hooks.key_read, nullptr);
    EXPECT_NE(console_hooks.mouse_get, nullptr);
    EXPECT_NE(console_hooks.pause, nullptr);
    EXPECT_NE(console_hooks.page_select, nullptr);
    fake.mouse_x = 12;
    fake.mouse_buttons = 1;
    int x = 0, y = 0, w = 0, b = 0, c = 0;
    EXPECT_EQ(rt_mouse_get(&x, &y, &w, &b, &c), 0);  // reaches the driver through the table
    EXPECT_EQ(x, 12);
    EXPECT_EQ(b, 1);
    screen_close();
    EXPECT_EQ(console_hooks_installed(), 0);
}

TEST_F(Screen, PagesAndTheVisiblePage) {
    ASSERT_EQ(screen_res(16, 4, 32, 3, 0, 0), 0);
    GfxContext* ctx = gfx_context();
    EXPECT_EQ(ctx->page_count, 3);
    vxtest::clear_dirty();
    EXPECT_EQ(page_select(2, -1), 0);  // previous: work 0, visible 0
    line_draw(nullptr, 0, 0, 0, 0, 0xFF0000, 0, 0xFFFF, 4);
    EXPECT_EQ(vxtest::dirty_count(), 0) << "the work page is not shown";
    EXPECT_EQ(ctx->pages[0][2], 0x00) << "page 0 untouched";
    uint32_t first;
    std::memcpy(&first, ctx->pages[2].get(), 4);
    EXPECT_EQ(first, 0xFF0000u);
    EXPECT_EQ(page_select(-1, 2), 2);
    EXPECT_EQ(ctx->visible_buffer, ctx->pages[2].get());
    EXPECT_EQ(vxtest::dirty_count(), 4);
    EXPECT_EQ(page_select(-5, -5), 2 + 2 * 256);
    EXPECT_EQ(draw_state()->work_page, 0);
    EXPECT_EQ(ctx->visible_page, 0);
    screen_close();
    EXPECT_EQ(page_select(0, 0), -1);
}

TEST_F(Screen, EventRingKeeps127UnreadEvents) {
    ASSERT_EQ(screen_res(16, 4, 32, 0, 0, 0), 0);
    GfxContext* ctx = gfx_context();
    for (int i = 1; i <= 127; ++i) post_event({4, {i, 0, 0, 0}});
    EXPECT_EQ(ctx->event_read, 0);
    EXPECT_EQ(ctx->event_ring[0].word[0], 1);
    post_event({4, {128, 0, 0, 0}});  // the 128th drops the oldest
    EXPECT_EQ(ctx->event_read, 1);
    EXPECT_EQ(ctx->event_write, 0);
    EXPECT_EQ(ctx->event_ring[127].word[0], 128);
}

TEST_F(Screen, TargetsSwitchBetweenAnImageAndTheScreen) {
    ASSERT_EQ(screen_res(40, 10, 32, 0, 0, 0), 0);
    alignas(16) uint8_t block[32 + 3 * 16] = {};
    ImageHeader header{image_header_type, 2, 5, 3, 16, {}};
    std::memcpy(block, &header, sizeof header);
    DrawState* s = draw_state();
    s->clip_x = 2;  // a screen clip that must come back
    s->clip_w = 30;
    set_target(s, block);
    EXPECT_EQ(s->clip_x, 0);
    EXPECT_EQ(s->clip_w, 5);
    EXPECT_EQ(s->clip_h, 3);
    EXPECT_EQ(s->target_bpp, 2);
    EXPECT_EQ(s->target_pitch, 16);
    EXPECT_EQ(s->lines[2], block + 32 + 32);
    set_target(s, nullptr);
    EXPECT_EQ(s->clip_x, 2);
    EXPECT_EQ(s->clip_w, 30);
    EXPECT_EQ(s->target_bpp, 4);
    EXPECT_EQ(s->lines[1], gfx_context()->pages[0].get() + 160);
}

TEST_F(Screen, UnusableImageHeadersGetNothingDrawnIntoThem) {
    ASSERT_EQ(screen_res(40, 10, 32, 0, 0, 0), 0);
    alignas(16) uint8_t block[64] = {};
    ImageHeader header{image_header_type, 3, 4, 4, 4, {}};  // 3 bytes per pixel does not exist
    std::memcpy(block, &header, sizeof header);
    line_draw(block, 0, 0, 3, 3, 0xFFFFFF, 2, 0xFFFF, 4);
    for (int i = 32; i < 64; ++i) EXPECT_EQ(block[i], 0);
}

TEST_F(Screen, LockBracketTakesTheDriverLockOncePerOperation) {
    ASSERT_EQ(screen_res(40, 10, 32, 0, 0, 0), 0);
    fake.locks = fake.unlocks = 0;
    line_draw(nullptr, 0, 0, 39, 9, 0xFFFFFF, 2, 0xFFFF, 4);
    EXPECT_EQ(fake.locks, 1);
    EXPECT_EQ(fake.unlocks, 1);
    EXPECT_EQ(gfx_context()->flags & (ctx_locked | ctx_auto_locked), 0u);
    // Already held: the operation neither locks nor unlocks.
    gfx_context()->flags |= ctx_locked;
    line_draw(nullptr, 0, 0, 5, 0, 0xFFFFFF, 0, 0xFFFF, 4);
    EXPECT_EQ(fake.locks, 1);
    EXPECT_EQ(fake.unlocks, 1);
    gfx_context()->flags &= ~ctx_locked;
    // Nothing visible: no lock at all.
    line_draw(nullptr, -50, -50, -10, -10, 0xFFFFFF, 0, 0xFFFF, 4);
    line_draw(nullptr, 100, 0, 200, 5, 0xFFFFFF, 2, 0xFFFF, 4);
    EXPECT_EQ(fake.locks, 1);
    EXPECT_EQ(fake.depth_locked, 0);
}

TEST_F(Screen, TitleDefaultsToTheExecutableNameAndReachesTheDriver) {
    EXPECT_STREQ(current_title(), "test_screen");
    ASSERT_EQ(screen_res(40, 10, 32, 0, 0, 0), 0);
    screen_title(std::string(200, 'x').c_str());
    EXPECT_EQ(fake.title, std::string(127, 'x'));
    screen_title("vxpiano");
    EXPECT_EQ(fake.title, "vxpiano");
}

TEST_F(Screen, ScreenCloseRunsOnceAtProcessExit) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        static int out = fds[1];
        static const DisplayDriver recording = {
            "Rec", [](const char*, int, int, int, int, int) { return 0; }, [] { (void)!write(out, "c", 1); },
            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
        static const DisplayDriver* const list[] = {&recording};
        set_display_drivers(list);
        screen_res(16, 4, 32, 0, 0, 0);
        screen_res(16, 4, 32, 0, 0, 0);  // closes the first one
        rt_exit(0);
    }
    close(fds[1]);
    std::string closes;
    char c;
    while (read(fds[0], &c, 1) == 1) closes += c;
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(closes, "cc");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(Screen, MemoryExhaustionIsReportedNotACrash) {
    // Far beyond any machine: refused before allocating.
    EXPECT_EQ(screen_res(60000, 60000, 32, 4, 0, 0), 1);
    EXPECT_EQ(gfx_context(), nullptr);
    EXPECT_EQ(console_hooks_installed(), 0);
    // Within reason but beyond the process's address space limit: the allocation fails.
    if (vxtest::sanitized) GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
    pid_t pid = fork();
    if (pid == 0) {
        rlimit limit{512u << 20, 512u << 20};
        setrlimit(RLIMIT_AS, &limit);
        int code = screen_res(12000, 12000, 32, 1, 0, 0);  // 576 MB
        _exit(code == 1 && gfx_context() == nullptr && rt_last_error() == 1 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status)) << "the process must not be killed";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
