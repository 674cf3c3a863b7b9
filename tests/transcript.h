// Whole-transcript checks shared by the test executables. An expected line
// is literal text in which "{}" stands for one number written in the
// stream's default format and "{t}" for a thread number.
#pragma once

#include <cmath>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string::size_type start = 0, nl;
    while ((nl = text.find('\n', start)) != std::string::npos) {
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    if (start < text.size())
        lines.push_back(text.substr(start) + "<no newline at end>");
    return lines;
}

// True when `text` is exactly how the stream's default format writes the
// number it holds (6 significant digits, general notation).
inline bool default_format(const std::string& text, double& value) {
    if (text.empty())
        return false;
    std::istringstream in(text);
    if (text == "inf" || text == "-inf" || text == "nan")
        return false;
    in >> value;
    if (!in || !in.eof())
        return false;
    std::ostringstream out;
    out << value;
    return out.str() == text;
}

// Matches one line; appends the numbers it holds to `values`.
inline ::testing::AssertionResult match_line(const std::string& line, const std::string& pattern,
                                             std::vector<double>& values) {
    std::string::size_type l = 0, p = 0;
    while (p < pattern.size()) {
        bool number = pattern.compare(p, 2, "{}") == 0;
        bool thread = pattern.compare(p, 3, "{t}") == 0;
        if (!number && !thread) {
            if (l >= line.size() || line[l] != pattern[p])
                return ::testing::AssertionFailure()
                       << "line \"" << line << "\" does not match \"" << pattern << "\"";
            ++l, ++p;
            continue;
        }
        p += number ? 2 : 3;
        std::string::size_type end = l;
        while (end < line.size() &&
               std::string("0123456789.e+-").find(line[end]) != std::string::npos)
            ++end;
        std::string text = line.substr(l, end - l);
        double value = 0;
        bool ok =
            thread ? (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos &&
                      default_format(text, value))
                   : default_format(text, value);
        if (!ok)
            return ::testing::AssertionFailure() << "\"" << text << "\" in \"" << line
                                                 << "\" is not a number as the stream writes it";
        values.push_back(value);
        l = end;
    }
    if (l != line.size())
        return ::testing::AssertionFailure()
               << "line \"" << line << "\" is longer than \"" << pattern << "\"";
    return ::testing::AssertionSuccess();
}

// Matches a whole transcript, line by line; `values` gets every number in
// order.
inline ::testing::AssertionResult match_transcript(const std::string& text,
                                                   const std::vector<std::string>& patterns,
                                                   std::vector<double>& values) {
    std::vector<std::string> lines = split_lines(text);
    for (size_t i = 0; i < patterns.size() || i < lines.size(); ++i) {
        if (i >= lines.size())
            return ::testing::AssertionFailure()
                   << "transcript ends before line " << i + 1 << " \"" << patterns[i] << "\"";
        if (i >= patterns.size())
            return ::testing::AssertionFailure()
                   << "unexpected line " << i + 1 << " \"" << lines[i] << "\"";
        auto r = match_line(lines[i], patterns[i], values);
        if (!r)
            return r << " (line " << i + 1 << ")";
    }
    return ::testing::AssertionSuccess();
}

// Two printed figures agree within the rounding of 6 significant digits.
inline bool close_to(double printed, double exact) {
    return std::fabs(printed - exact) <= 2e-5 * std::fabs(exact) + 1e-300;
}
