#include "se_check.h"

#include <cstdio>
#include <cstdlib>

namespace se_sdk {

// Written with fputs alone: a formatted print would link a printf engine
// of some 30 KB into every Windows DLL for this one message.
void check_failed(const char *expression, const char *source, int line)
{
    std::fputs(source, stderr);
    if (line > 0) {
        char digits[12];
        char *p = digits + sizeof digits;
        *--p = '\0';
        for (unsigned n = static_cast<unsigned>(line); n != 0; n /= 10)
            *--p = static_cast<char>('0' + n % 10);
        std::fputs("(", stderr);
        std::fputs(p, stderr);
        std::fputs(")", stderr);
    }
    std::fputs(": check failed: ", stderr);
    std::fputs(expression, stderr);
    std::fputs("\n", stderr);
    std::fflush(stderr);
    std::abort();
}

} // namespace se_sdk
