// Word wrapping of the program's help text.
#include "help_format.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

std::vector<std::string> words_of(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    std::string word;
    while (in >> word) words.push_back(word);
    return words;
}

}  // namespace

TEST(WrapWords, KeepsEveryWordWholeAndEveryLineWithinTheWidth) {
    struct Case {
        std::string text;
        std::size_t width;
        std::string want;
    };
    const std::vector<Case> cases = {
        {"", 10, ""},
        {"short", 10, "short"},
        {"one two three four", 9, "one two\nthree\nfour"},
        {"exactly ten", 11, "exactly ten"},
        // A word longer than the width stands alone, unbroken.
        {"a extraordinarily b", 8, "a\nextraordinarily\nb"},
        // Breaks already in the text stay; runs of spaces fold into one.
        {"first  line\nsecond line", 20, "first line\nsecond line"},
        {"ends with a break\n", 40, "ends with a break\n"},
    };
    for (const Case& c : cases) {
        const std::string got = linkrate_cli::wrap_words(c.text, c.width);
        EXPECT_EQ(got, c.want) << c.text;
        EXPECT_EQ(words_of(got), words_of(c.text)) << c.text;
    }
}

TEST(HelpWidth, FollowsTheTerminalWithinBounds) {
    const std::vector<std::pair<std::size_t, std::size_t>> cases = {
        {0, 80}, {30, 50}, {50, 50}, {64, 64}, {100, 100}, {120, 120}, {300, 120}};
    for (const auto& [columns, want] : cases) {
        EXPECT_EQ(linkrate_cli::help_width(columns), want) << columns;
    }
}

TEST(WrappingFormatter, EveryLineFitsTheWidthItWasGiven) {
    for (std::size_t width : {50u, 64u, 100u}) {
        CLI::App app{
            "A description long enough to need wrapping at every width that this test "
            "tries, with words of several lengths in it.",
            "prog"};
        app.formatter(std::make_shared<linkrate_cli::WrappingFormatter>(width));
        app.add_option("--duration",
                       "How long each transfer runs, in milliseconds; a longer run evens out "
                       "short bursts on the link and costs more time.");
        app.add_subcommand("serve",
                           "Runs the built-in server until interrupted, on every local "
                           "address, and prints each client it serves.");
        app.footer(
            "Exit statuses: 0 every test measured, 1 a test failed, 2 a usage error, "
            "130 and 143 stopped by a signal.");
        std::istringstream lines(app.help());
        std::string line;
        bool wide = false;
        while (std::getline(lines, line)) {
            EXPECT_LE(line.size(), width - 1) << width << ": " << line;
            wide = wide || line.size() > 45;
        }
        EXPECT_TRUE(wide) << width << ": the text was not laid out to the width";
    }
}
