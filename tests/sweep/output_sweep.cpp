// output_sweep.cpp - the output sweep as a command:
//
//   se_output_sweep <seed> [<dump file>]
//
// prints one line per plug-in, "<name> <digest> <words>", and with a file
// name writes every word too (compare two builds' dumps with cmp).  The
// plug-ins come from SE_PLUGIN_DIR when it is set, else from this build.
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "sweep.h"

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: se_output_sweep <seed> [<dump file>]\n");
        return 2;
    }
    char *end = nullptr;
    unsigned long long seed = std::strtoull(argv[1], &end, 10);
    if (*end != '\0') {
        std::fprintf(stderr, "se_output_sweep: seed '%s' is not a number\n", argv[1]);
        return 2;
    }
    std::FILE *file = nullptr;
    if (argc == 3 && !(file = std::fopen(argv[2], "wb"))) {
        std::fprintf(stderr, "se_output_sweep: cannot write %s\n", argv[2]);
        return 2;
    }
    int rc = 0;
    for (const char *name : se_test::kSweepModules) {
        se_test::SweepWriter w;
        w.file = file;
        try {
            se_test::sweep(name, seed, w);
            std::printf("%s %016llx %llu\n", name, static_cast<unsigned long long>(w.hash),
                        static_cast<unsigned long long>(w.words));
        } catch (const std::exception &e) {
            std::fprintf(stderr, "se_output_sweep: %s: %s\n", name, e.what());
            rc = 2;
        }
    }
    if (file && std::fclose(file) != 0) {
        std::fprintf(stderr, "se_output_sweep: cannot write %s\n", argv[2]);
        rc = 2;
    }
    return rc;
}
