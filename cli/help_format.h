// The program's help text, laid out for the terminal it goes to (80 columns
// when it goes elsewhere, as to a man page): descriptions and paragraphs are
// wrapped at word boundaries, never inside a word.
#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
#include <memory>
#include <string>

namespace linkrate_cli {

// The width every help line fits within when stdout is no terminal.
inline constexpr std::size_t kHelpWidth = 80;

// The help's width for a terminal of `columns` (0: none): the terminal's
// width, no less than 50, where the name column still leaves room for words,
// and no more than 120, beyond which lines read badly.
std::size_t help_width(std::size_t columns);

// `text` wrapped at spaces so that no line is longer than `width`; a word
// longer than `width` stands alone on its line. Line breaks already in
// `text` are kept.
std::string wrap_words(const std::string& text, std::size_t width);

// CLI11's formatter with every description and paragraph wrapped to `width`
// columns; the option and sub-command descriptions hang in their column.
class WrappingFormatter : public CLI::Formatter {
public:
    explicit WrappingFormatter(std::size_t width = kHelpWidth) : width_(width) { column_width(30); }
    std::string make_option_desc(const CLI::Option* option) const override;
    std::string make_subcommand(const CLI::App* sub) const override;
    std::string make_description(const CLI::App* app) const override;
    std::string make_footer(const CLI::App* app) const override;

private:
    // Room for a description beside the name column, less the one column
    // that a line must never reach.
    std::size_t description_width() const { return width_ - 1 - get_column_width(); }

    std::size_t width_;
};

}  // namespace linkrate_cli
