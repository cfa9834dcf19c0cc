// Word wrapping of the program's help text.
#include "help_format.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
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
