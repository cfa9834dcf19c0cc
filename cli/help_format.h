// The program's help text, laid out for an 80-column terminal: descriptions
// and paragraphs are wrapped at word boundaries, never inside a word.
#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
#include <memory>
#include <string>

namespace linkrate_cli {

// The width every help line fits within.
inline constexpr std::size_t kHelpWidth = 80;

// `text` wrapped at spaces so that no line is longer than `width`; a word
// longer than `width` stands alone on its line. Line breaks already in
// `text` are kept.
std::string wrap_words(const std::string& text, std::size_t width);

// CLI11's formatter with every description and paragraph wrapped to
// kHelpWidth; the option and sub-command descriptions hang in their column.
class WrappingFormatter : public CLI::Formatter {
public:
    WrappingFormatter() { column_width(30); }
    std::string make_option_desc(const CLI::Option* option) const override;
    std::string make_subcommand(const CLI::App* sub) const override;
    std::string make_description(const CLI::App* app) const override;
    std::string make_footer(const CLI::App* app) const override;

private:
    // Room for a description beside the name column, less the one column
    // that a line must never reach.
    std::size_t description_width() const { return kHelpWidth - 1 - get_column_width(); }
};

}  // namespace linkrate_cli
