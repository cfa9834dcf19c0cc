// The program's console control handler on Windows, called as the system
// would: the first Ctrl-C or Ctrl-Break asks the running test to stop and
// sets the exit status to 130, a second one ends the program at once (130,
// or 0 for a server), and events it does not take are left to the system.
#include <gtest/gtest.h>

// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include "interrupt.h"
#include "system.h"
#include "tarnwell/linkrate.h"

using namespace linkrate_cli;

TEST(ConsoleControl, FirstInterruptCancelsAndAsksFor130) {
    install_interrupt_handler();
    EXPECT_FALSE(interrupted());
    EXPECT_EQ(console_control(CTRL_LOGOFF_EVENT), FALSE);
    EXPECT_FALSE(interrupted());
    EXPECT_EQ(console_control(CTRL_C_EVENT), TRUE);
    EXPECT_TRUE(interrupted());
    EXPECT_EQ(interrupt_exit_status(), 130);
    // The library's cancel flag is up: a test started inside the library's
    // own checks would stop. A test call repeats it while it lasts.
    wait_for_interrupt();
}

TEST(ConsoleControl, SecondInterruptEndsTheProgramAtOnce) {
    EXPECT_EXIT(
        {
            console_control(CTRL_BREAK_EVENT);
            console_control(CTRL_BREAK_EVENT);
        },
        ::testing::ExitedWithCode(130), "");
}

TEST(ConsoleControl, SecondInterruptEndsAServerWithZero) {
    EXPECT_EXIT(
        {
            set_interrupt_mode(InterruptMode::serve, false);
            console_control(CTRL_C_EVENT);
            console_control(CTRL_CLOSE_EVENT);
        },
        ::testing::ExitedWithCode(0), "");
}
