#include "se_check.h"

#include <cstdio>
#include <cstdlib>

namespace se_sdk {

void check_failed(const char *expression, const char *source, int line)
{
    if (line > 0)
        std::fprintf(stderr, "%s(%d): check failed: %s\n", source, line, expression);
    else
        std::fprintf(stderr, "%s: check failed: %s\n", source, expression);
    std::fflush(stderr);
    std::abort();
}

} // namespace se_sdk
