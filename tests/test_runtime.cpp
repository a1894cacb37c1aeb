// Runtime services: exit handlers, last error, number text, sleep.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "runtime/console.h"
#include "runtime/runtime.h"

namespace {

int order_fd = -1;
void handler_a() { (void)!write(order_fd, "a", 1); }
void handler_b() { (void)!write(order_fd, "b", 1); }
void handler_c() { (void)!write(order_fd, "c", 1); }

// Runs body in a child process and returns what it wrote to the pipe and its exit status.
std::pair<std::string, int> in_child(void (*body)()) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        order_fd = fds[1];
        body();
        _exit(99);
    }
    close(fds[1]);
    std::string out;
    char buf[64];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

}  // namespace

TEST(Runtime, ExitHandlersRunNewestFirstWithTheExitCode) {
    auto [order, code] = in_child([] {
        vx::rt_atexit(handler_a);
        vx::rt_atexit(handler_b);
        vx::rt_atexit(handler_c);
        vx::rt_exit(3);
    });
    EXPECT_EQ(order, "cba");
    EXPECT_EQ(code, 3);
}

TEST(Runtime, ExitHandlersAlsoRunWhenMainReturnsAndOnlyOnce) {
    auto [order, code] = in_child([] {
        vx::rt_atexit(handler_a);
        vx::rt_atexit(handler_b);
        vx::rt_run_exit_handlers();
        vx::rt_atexit(handler_c);
        std::exit(0);  // as when main returns
    });
    EXPECT_EQ(order, "bac");
    EXPECT_EQ(code, 0);
}

TEST(Runtime, LastErrorKeepsTheStoredCode) {
    for (int code : {0, 1, 2, 3}) {
        vx::rt_set_error(code);
        EXPECT_EQ(vx::rt_last_error(), code);
    }
}

TEST(Runtime, NumberTextHasNoSignBlankOrTrailingPoint) {
    EXPECT_EQ(vx::rt_number_text(0), "0");
    EXPECT_EQ(vx::rt_number_text(99), "99");
    EXPECT_EQ(vx::rt_number_text(127), "127");
    EXPECT_EQ(vx::rt_number_text(100), "100");
    EXPECT_EQ(vx::rt_number_text(2.95f), "2.95");
    EXPECT_EQ(vx::rt_number_text(99.99999f), "99.99999");
    EXPECT_EQ(vx::rt_number_text(1234567.f), "1234567");
    EXPECT_EQ(vx::rt_number_text(1e10f), "1E+10");
    EXPECT_EQ(vx::rt_number_text(-3), "-3");
}

TEST(Runtime, SleepIsNotCutShortBySignals) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigaction(SIGALRM, &action, nullptr);
    ualarm(5000, 0);  // arrives 5 ms into a 30 ms sleep
    auto start = std::chrono::steady_clock::now();
    vx::rt_sleep_ms(30);
    auto slept = std::chrono::steady_clock::now() - start;
    EXPECT_GE(slept, std::chrono::milliseconds(30));
}

TEST(Console, WithNoScreenTheConsoleVersionsRun) {
    EXPECT_EQ(vx::console_hooks_installed(), 0);
    int x = 0, y = 0, wheel = 0, buttons = 0, clip = 0;
    EXPECT_EQ(vx::rt_mouse_get(&x, &y, &wheel, &buttons, &clip), 1);
    EXPECT_EQ(x, -1);
    EXPECT_EQ(buttons, -1);
    EXPECT_EQ(vx::rt_key_down(1), 0);
    EXPECT_EQ(vx::rt_page_select(0, 0), -1);
    int previous = vx::rt_width(40, 0);
    EXPECT_EQ(previous, 80 + 25 * 65536);
    EXPECT_EQ(vx::rt_width(80, 25), 40 + 25 * 65536);
}

TEST(Console, TextViewUnsetMeansTheWholeGrid) {
    int top = 0, bottom = 0;
    vx::console_view_set(-1, -1);
    vx::console_view_get(13, &top, &bottom);
    EXPECT_EQ(top, 0);
    EXPECT_EQ(bottom, 12);
    vx::console_view_set(2, 5);
    vx::console_view_get(13, &top, &bottom);
    EXPECT_EQ(top, 2);
    EXPECT_EQ(bottom, 5);
    vx::console_view_set(2, 20);  // beyond the grid: whole grid
    vx::console_view_get(13, &top, &bottom);
    EXPECT_EQ(bottom, 12);
    vx::console_view_set(-1, -1);
}
