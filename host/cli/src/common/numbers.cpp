// numbers.cpp - strict number syntax and range checks before conversion.
#include "common/numbers.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

#include "common/errors.h"

namespace secli {
namespace {

bool digit(char c)
{
    return c >= '0' && c <= '9';
}

// Digits from `i` on; returns the index after them.
size_t digits(const std::string &s, size_t i)
{
    while (i < s.size() && digit(s[i]))
        ++i;
    return i;
}

} // namespace

std::string number_text(double value)
{
    std::ostringstream os;
    os.precision(17);
    os << value;
    return os.str();
}

std::string outside(const std::string &text, const Whole &w)
{
    return std::string(w.what) + " " + text + " is outside " + std::to_string(w.lo) + " to " +
           std::to_string(w.hi) + w.unit;
}

bool is_whole_text(const std::string &text)
{
    size_t start = !text.empty() && text[0] == '-' ? 1 : 0;
    return text.size() > start && digits(text, start) == text.size();
}

long long read_whole(const std::string &text, const Whole &w, const std::string &where)
{
    if (!is_whole_text(text))
        throw InputError(where + ": \"" + text + "\" is not a whole number (" + w.what +
                         ", digits only)");
    bool negative = text[0] == '-';
    // Every limit fits in 12 digits; more digits are out of range whatever
    // they say, so the value below never overflows.
    size_t first = text.find_first_not_of('0', negative ? 1 : 0);
    size_t significant = first == std::string::npos ? 0 : text.size() - first;
    if (significant > 12)
        throw InputError(where + ": " + outside(text, w));
    long long v = significant == 0 ? 0 : std::stoll(text.substr(first));
    if (negative)
        v = -v;
    if (v < w.lo || v > w.hi)
        throw InputError(where + ": " + outside(text, w));
    return v;
}

long long whole_from(double value, const Whole &w, const std::string &where)
{
    std::string text = number_text(value);
    if (!std::isfinite(value) || value != std::floor(value))
        throw InputError(where + ": " + text + " is not a whole number (" + w.what + ")");
    if (value < static_cast<double>(w.lo) || value > static_cast<double>(w.hi))
        throw InputError(where + ": " + outside(text, w));
    return static_cast<long long>(value);
}

std::optional<double> read_decimal(const std::string &s)
{
    size_t i = !s.empty() && s[0] == '-' ? 1 : 0;
    size_t int_end = digits(s, i);
    if (int_end == i)
        return std::nullopt;
    i = int_end;
    if (i < s.size() && s[i] == '.') {
        size_t frac_end = digits(s, i + 1);
        if (frac_end == i + 1)
            return std::nullopt;
        i = frac_end;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-'))
            ++j;
        size_t exp_end = digits(s, j);
        if (exp_end == j)
            return std::nullopt;
        i = exp_end;
    }
    if (i != s.size())
        return std::nullopt;
    double v = std::strtod(s.c_str(), nullptr); // the grammar above is a subset of strtod's
    if (!std::isfinite(v))
        return std::nullopt;
    return v;
}

} // namespace secli
