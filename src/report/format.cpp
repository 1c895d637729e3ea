#include "report/format.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

namespace ordinata::report {

namespace {

// Enough for the largest double in full (309 integer digits), a sign, the
// point and the fraction digits.
constexpr int kMaxDigits = 20;
using Buffer = std::array<char, 352>;

std::string_view special(double v) {
    if (std::isnan(v)) return "NaN";
    return v > 0 ? "inf" : "-inf";
}

std::string_view fixed_into(Buffer& buf, double v, int digits) {
    if (!std::isfinite(v)) return special(v);
    digits = std::clamp(digits, 0, kMaxDigits);
    // std::to_chars is exact (ties to even) and ignores the locale.
    const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::fixed, digits);
    return {buf.data(), static_cast<std::size_t>(r.ptr - buf.data())};
}

std::string_view exp_into(Buffer& buf, double v, int digits) {
    if (!std::isfinite(v)) return special(v);
    digits = std::clamp(digits, 0, kMaxDigits);
    const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::scientific, digits);
    // Rewrite "e+05" / "e-05" as "e5" / "e-5".
    char* e = std::find(buf.data(), r.ptr, 'e');
    char* w = e + 1;
    const char* s = e + 1;
    if (s < r.ptr && *s == '-')
        *w++ = *s++;
    else if (s < r.ptr && *s == '+')
        ++s;
    while (s + 1 < r.ptr && *s == '0') ++s;
    while (s < r.ptr) *w++ = *s++;
    return {buf.data(), static_cast<std::size_t>(w - buf.data())};
}

std::string_view unsigned_into(Buffer& buf, std::uint64_t v) {
    const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v);
    return {buf.data(), static_cast<std::size_t>(r.ptr - buf.data())};
}

constexpr std::array<const char*, 7> kWeekdays{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Index into a name table, tolerant of out-of-range fields in a caller's tm.
int wrap(int v, int n) { return ((v % n) + n) % n; }

void two_digits(std::string& out, int v) {
    v = wrap(v, 100);
    out.push_back(static_cast<char>('0' + v / 10));
    out.push_back(static_cast<char>('0' + v % 10));
}

}  // namespace

std::size_t text_width(std::string_view text) {
    // Every byte but a UTF-8 continuation byte starts a character.
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string cut(std::string_view text, std::size_t width) {
    if (text_width(text) <= width) return std::string(text);
    std::string out;
    if (width == 0) return out;
    // The bytes of the first width - 1 characters, then the ellipsis.
    std::size_t kept = 0, end = 0;
    for (; end < text.size(); ++end)
        if ((static_cast<unsigned char>(text[end]) & 0xC0) != 0x80 && kept++ == width - 1) break;
    out.assign(text.substr(0, end)).append("\u2026");
    return out;
}

std::string date_text(const std::tm& t) {
    std::string out;
    out.append(kWeekdays[wrap(t.tm_wday, 7)]).append(", ");
    two_digits(out, t.tm_mday);
    out.append(" ").append(kMonths[wrap(t.tm_mon, 12)]).append(" ");
    Buffer buf;
    const long long year = static_cast<long long>(t.tm_year) + 1900;
    const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), year);
    out.append(buf.data(), r.ptr);
    return out;
}

std::string time_text(const std::tm& t) {
    std::string out;
    two_digits(out, t.tm_hour);
    out.push_back(':');
    two_digits(out, t.tm_min);
    out.push_back(':');
    two_digits(out, t.tm_sec);
    return out;
}

void LineWriter::separate() {
    if (!first_) out_.push_back(' ');
    first_ = false;
}

LineWriter& LineWriter::left(std::string_view text, std::size_t width) {
    separate();
    out_.append(text);
    const std::size_t w = text_width(text);
    if (w < width) out_.append(width - w, ' ');
    return *this;
}

LineWriter& LineWriter::right(std::string_view text, std::size_t width) {
    separate();
    const std::size_t w = text_width(text);
    if (w < width) out_.append(width - w, ' ');
    out_.append(text);
    return *this;
}

LineWriter& LineWriter::fixed(double v, int digits, std::size_t width) {
    Buffer buf;
    return right(fixed_into(buf, v, digits), width);
}

LineWriter& LineWriter::exp(double v, int digits, std::size_t width) {
    Buffer buf;
    return right(exp_into(buf, v, digits), width);
}

LineWriter& LineWriter::count(std::uint64_t v, std::size_t width) {
    Buffer buf;
    return left(unsigned_into(buf, v), width);
}

}  // namespace ordinata::report
