#include "cli/help_format.h"

#include <memory>
#include <sstream>
#include <string>

#include <CLI/CLI.hpp>

#include "output/text.h"

namespace report {

namespace {

// CLI11's layout, each text wrapped by wrap_words: a description in the
// right-hand column is wrapped at what the names leave of the width (CLI11
// indents each of its lines to that column), the command's own description
// and the footer at the whole width.
class WrappingFormatter : public CLI::Formatter {
public:
    explicit WrappingFormatter(std::size_t width) : width_(width) {}

    std::string make_option_desc(const CLI::Option* option) const override {
        return right_column(CLI::Formatter::make_option_desc(option));
    }

    // A set of values too long for the line ("{single rate,overall
    // rate,...}") is broken after its commas, so no value is cut.
    std::string make_option_opts(const CLI::Option* option) const override {
        return broken_at_commas(CLI::Formatter::make_option_opts(option),
                                2 + display_width(make_option_name(option, false)));
    }

    std::string make_subcommand(const CLI::App* sub) const override {
        std::stringstream out;
        CLI::detail::format_help(out, sub->get_display_name(true),
                                 right_column(sub->get_description()), get_column_width());
        return out.str();
    }

    std::string make_description(const CLI::App* app) const override {
        return wrap_words(CLI::Formatter::make_description(app), width_, 0);
    }

    std::string make_footer(const CLI::App* app) const override {
        return wrap_words(CLI::Formatter::make_footer(app), width_, 0);
    }

private:
    std::string broken_at_commas(const std::string& opts, std::size_t used) const;

    // A description beside the names: at least 20 columns, so that a
    // narrow terminal still gets words rather than letters a line.
    std::string right_column(const std::string& text) const {
        std::size_t names = get_column_width();
        std::size_t left = width_ > names + 20 ? width_ - names : 20;
        return wrap_words(text, left, 0);
    }

    std::size_t width_;
};

std::string WrappingFormatter::broken_at_commas(const std::string& opts, std::size_t used) const {
    if (used + display_width(opts) <= width_)
        return opts;
    std::string out, line;
    for (std::size_t pos = 0; pos < opts.size();) {
        std::size_t comma = opts.find(',', pos);
        std::size_t end = comma == std::string::npos ? opts.size() : comma + 1;
        std::string piece = opts.substr(pos, end - pos);
        if (!line.empty() && used + display_width(line + piece) > width_) {
            out += line + "\n";
            line = std::string(6, ' ');
            used = 0;
        }
        line += piece;
        pos = end;
    }
    return out + line;
}

void set_formatter(CLI::App& command, const std::shared_ptr<CLI::FormatterBase>& formatter) {
    command.formatter(formatter);
    for (CLI::App* sub : command.get_subcommands({}))
        set_formatter(*sub, formatter);
}

}  // namespace

void wrap_help(CLI::App& app, std::size_t width) {
    set_formatter(app, std::make_shared<WrappingFormatter>(width));
}

}  // namespace report
