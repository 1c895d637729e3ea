// Field formats of the summary report. Every formatter is independent of the
// C locale: the decimal point is always ".", day and month names are English.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace ordinata::report {

// The width of a text in characters (UTF-8 code points), as Python counts a str.
std::size_t text_width(std::string_view text);
// A text cut to `width` characters, its last kept character an ellipsis.
std::string cut(std::string_view text, std::size_t width);
// "Sat, 05 Dec 2026" and "06:10:00".
std::string date_text(const std::tm& t);
std::string time_text(const std::tm& t);

// One report line: fields separated by single spaces, widths are minimums
// counted in characters.
//   fixed: plain decimal with `digits` digits after the point, never an
//     exponent; exact ties round to the even digit.
//   exp: d.ddd e exponent, the exponent without "+" and without leading
//     zeros (1.00e-10, 1.00e0).
// Both spell NaN "NaN" and the infinities "inf"/"-inf".
class LineWriter {
public:
    explicit LineWriter(std::string& out) : out_(out) {}
    LineWriter& left(std::string_view text, std::size_t width);
    LineWriter& right(std::string_view text, std::size_t width);
    LineWriter& fixed(double v, int digits, std::size_t width);  // right-aligned
    LineWriter& exp(double v, int digits, std::size_t width);    // right-aligned
    LineWriter& count(std::uint64_t v, std::size_t width);       // left-aligned U
    void end() { out_.push_back('\n'); }

private:
    void separate();
    std::string& out_;
    bool first_ = true;
};

}  // namespace ordinata::report
