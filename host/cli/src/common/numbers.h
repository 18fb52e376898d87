// numbers.h - the number texts sehost reads, in one place, and the limits of
// every counted setting. The command line and patch files share them, so an
// option and its patch field accept exactly the same values.
//
// Syntax, as the manual writes numbers:
//   whole numbers   decimal digits, optionally after a minus sign: 44100, -3
//   decimals        a whole number with an optional fraction and exponent:
//                   0.5, -12.25, 1e-3
// Nothing else: no "+", no spaces, no hexadecimal, no "inf" or "nan".
#ifndef SEHOST_CLI_NUMBERS_H
#define SEHOST_CLI_NUMBERS_H

#include <optional>
#include <string>

namespace secli {

// A whole-number setting: its name in messages, its range and unit.
struct Whole {
    const char *what;
    long long lo, hi;
    const char *unit; // " Hz", " samples" or ""
};

constexpr Whole kRateHz{"sample rate", 1000, 768000, " Hz"};
constexpr Whole kBlockSize{"block size", 1, 65536, " samples"};
constexpr Whole kRepeatCopies{"repeated copies", 0, 64, ""};
constexpr Whole kCopyIndex{"copy", 0, 64, ""};
constexpr Whole kHostVersion{"host version", 0, 2147483647, ""};
constexpr Whole kSplitSeed{"split seed", 0, 4294967295LL, ""};
constexpr Whole kSplitMax{"longest stretch", 1, 65536, " samples"};

// True for the whole-number syntax above.
bool is_whole_text(const std::string &text);

// A whole number in the range of `w`; InputError naming `where` and the text
// otherwise. The text is checked digit by digit, so no size overflows.
long long read_whole(const std::string &text, const Whole &w, const std::string &where);

// A number already read as a double (JSON): whole and in range, checked
// before it is converted.
long long whole_from(double value, const Whole &w, const std::string &where);

// A finite decimal in the syntax above, or nothing.
std::optional<double> read_decimal(const std::string &text);

// A double as a message shows it: "4294967297", "1e+20", "0.5".
std::string number_text(double value);

// The range message shared by every limit.
std::string outside(const std::string &text, const Whole &w);

} // namespace secli

#endif
