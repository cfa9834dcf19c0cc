#include "help_format.h"

#include <algorithm>
#include <sstream>

namespace linkrate_cli {

std::string wrap_words(const std::string& text, std::size_t width) {
    std::string out;
    std::istringstream lines(text);
    std::string line;
    bool first_line = true;
    while (std::getline(lines, line)) {
        if (!first_line) out += '\n';
        first_line = false;
        std::istringstream words(line);
        std::string word;
        std::size_t used = 0;
        while (words >> word) {
            if (used > 0 && used + 1 + word.size() > width) {
                out += '\n';
                used = 0;
            } else if (used > 0) {
                out += ' ';
                ++used;
            }
            out += word;
            used += word.size();
        }
    }
    if (!text.empty() && text.back() == '\n') out += '\n';
    return out;
}

std::size_t help_width(std::size_t columns) {
    if (columns == 0) return kHelpWidth;
    return std::clamp<std::size_t>(columns, 50, 120);
}

std::string WrappingFormatter::make_option_desc(const CLI::Option* option) const {
    return wrap_words(CLI::Formatter::make_option_desc(option), description_width());
}

std::string WrappingFormatter::make_subcommand(const CLI::App* sub) const {
    std::stringstream out;
    CLI::detail::format_help(out, sub->get_display_name(true),
                             wrap_words(sub->get_description(), description_width()),
                             get_column_width());
    return out.str();
}

std::string WrappingFormatter::make_description(const CLI::App* app) const {
    return wrap_words(CLI::Formatter::make_description(app), width_ - 1);
}

std::string WrappingFormatter::make_footer(const CLI::App* app) const {
    return wrap_words(CLI::Formatter::make_footer(app), width_ - 1);
}

}  // namespace linkrate_cli
