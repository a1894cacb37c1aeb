// The key-code queue and the graphics input operations over a driver record.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "display/input.h"
#include "gfx/context.h"
#include "runtime/runtime.h"
#include "tests/support/fake_driver.h"

using namespace vx;
using vxtest::fake;

namespace {

struct Input : ::testing::Test {
    void SetUp() override {
        ASSERT_EQ(vxtest::open_fake_screen(64, 16, 32, 4), 0);
        key_queue_clear();
        key_hit_take();
    }
    void TearDown() override { vxtest::restore_drivers(); }
};

double elapsed_ms(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST_F(Input, KeyReadGivesCharactersAndExtendedCodes) {
    key_queue_push('a');
    key_queue_push(0x81);  // code page 437 "ü"
    key_queue_push(close_key_code);
    key_queue_push(0);
    EXPECT_EQ(key_read(), "a");
    EXPECT_EQ(key_read(), "\x81");
    EXPECT_EQ(key_read(), std::string("\xFF\x6B"));
    EXPECT_EQ(key_read(), "");  // a queued 0 reads as no key
    EXPECT_EQ(key_read(), "");
}

TEST_F(Input, TheQueueHoldsFifteenCodesAndDropsTheOldest) {
    for (int i = 1; i <= 16; ++i) key_queue_push('A' + i);
    EXPECT_EQ(key_queue_size(), 15);
    EXPECT_EQ(key_read(), std::string(1, 'A' + 2));
    EXPECT_EQ(key_ready(), 1);
    for (int i = 0; i < 14; ++i) key_read();
    EXPECT_EQ(key_ready(), 0);
}

TEST_F(Input, KeyHitIsSetByPushesAndTakenOnce) {
    EXPECT_EQ(key_hit_take(), 0);
    key_queue_push('x');
    EXPECT_EQ(key_hit_take(), 1);
    EXPECT_EQ(key_hit_take(), 0);
    key_queue_push('y');
    key_read();  // popping takes the hit as well
    EXPECT_EQ(key_hit_take(), 0);
}

TEST_F(Input, KeyDownReadsTheKeyState) {
    gfx_context()->key_state[1] = 1;
    EXPECT_EQ(key_down(1), -1);
    EXPECT_EQ(key_down(2), 0);
    EXPECT_EQ(key_down(-1), 0);
    EXPECT_EQ(key_down(128), 0);
    screen_close();
    EXPECT_EQ(key_down(1), 0);
    EXPECT_EQ(key_read(), "");
}

TEST_F(Input, MouseGetReportsTheDriverOrMinusOneEverywhere) {
    fake.mouse_x = 100, fake.mouse_y = 120, fake.mouse_wheel = -2, fake.mouse_buttons = 1, fake.mouse_clip = 0;
    int x = 0, y = 0, wheel = 0, buttons = 0, clip = 0;
    fake.locks = 0;
    EXPECT_EQ(mouse_get(&x, &y, &wheel, &buttons, &clip), 0);
    EXPECT_EQ(fake.locks, 1) << "read under the screen lock";
    EXPECT_EQ(x, 100);
    EXPECT_EQ(y, 120);
    EXPECT_EQ(wheel, -2);
    EXPECT_EQ(buttons, 1);
    EXPECT_EQ(mouse_get(&x, &y, nullptr, nullptr, nullptr), 0);  // optional outputs may be absent
    fake.mouse_ok = false;  // outside the window or inactive
    EXPECT_EQ(mouse_get(&x, &y, &wheel, &buttons, &clip), 1);
    EXPECT_EQ(rt_last_error(), 1);
    for (int v : {x, y, wheel, buttons, clip}) EXPECT_EQ(v, -1);
    screen_close();
    x = 5;
    EXPECT_EQ(mouse_get(&x, &y, &wheel, &buttons, &clip), 1);
    EXPECT_EQ(x, -1);
    EXPECT_EQ(mouse_set(1, 1, 1, 0), 1);
}

TEST_F(Input, PauseReturnsEarlyOnAKeyOnlyForLongWaits) {
    key_queue_push('k');
    auto start = std::chrono::steady_clock::now();
    pause(30000);
    EXPECT_LT(elapsed_ms(start), 15000) << "a key queued before the call ends a long pause at once";
    key_queue_push('k');
    start = std::chrono::steady_clock::now();
    pause(99);
    EXPECT_GE(elapsed_ms(start), 99) << "short pauses are plain sleeps";
    EXPECT_EQ(key_hit_take(), 1);
}

TEST_F(Input, KeyWaitReturnsTheFirstNonZeroCode) {
    key_queue_push(0);
    key_queue_push(0x3BFF);
    EXPECT_EQ(key_wait(), 0x3BFF);
    screen_close();
    EXPECT_EQ(key_wait(), 0);
}

TEST(InputWaiting, AWaiterWakesOnInputNotAtItsTimeout) {
    uint64_t seen = input_generation();
    key_queue_push('q');  // every queued key counts as input
    EXPECT_NE(input_generation(), seen);
    auto start = std::chrono::steady_clock::now();
    wait_input(seen, 30000);  // input newer than `seen` is already there: no wait at all
    seen = input_generation();
    std::thread window_layer([] {
        vx::rt_sleep_ms(20);
        input_arrived();
    });
    wait_input(seen, 30000);
    window_layer.join();
    EXPECT_LT(elapsed_ms(start), 15000) << "woken by the input, not by the timeout";
    key_queue_clear();
}
