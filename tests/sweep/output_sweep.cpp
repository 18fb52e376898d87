// output_sweep.cpp - the output sweep as a command:
//
//   se_output_sweep <seed> [<dump file>]
//   se_output_sweep --record [<plug-in>...]
//
// The first form prints one line per plug-in of the pack, "<name> <digest>
// <words>", and with a file name writes every word too (compare two builds'
// dumps with cmp); the plug-ins come from SE_PLUGIN_DIR when it is set, else
// from this build. The second records this build's digests of seed 1 (of
// the named plug-ins, or of all) for its word size in each module's
// tests/<folder>/sweep_digests.txt, which the sweep test holds every build
// to.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "sweep.h"

namespace {

int record(int argc, char **argv)
{
    std::vector<se_test::Deliverable> chosen;
    const std::vector<se_test::Deliverable> all = se_test::deliverables();
    for (int i = 2; i < argc; ++i) {
        bool found = false;
        for (const se_test::Deliverable &d : all)
            if (d.name == argv[i]) {
                chosen.push_back(d);
                found = true;
            }
        if (!found) {
            std::fprintf(stderr, "se_output_sweep: '%s' is not a plug-in of the pack\n", argv[i]);
            return 2;
        }
    }
    if (chosen.empty())
        chosen = all;
    for (const se_test::Deliverable &d : chosen) {
        se_test::SweepWriter w;
        se_test::sweep(d.name.c_str(), 1, w);
        const se_test::Digest digest{w.hash, w.words};
        se_test::record_digest(d, se_test::kWordBits, digest);
        std::printf("%s -> %s\n", se_test::digest_line(d.name, se_test::kWordBits, digest).c_str(),
                    se_test::digest_file(d).c_str());
    }
    return 0;
}

int print(int argc, char **argv)
{
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
    for (const std::string &name : se_test::deliverable_names()) {
        se_test::SweepWriter w;
        w.file = file;
        try {
            se_test::sweep(name.c_str(), seed, w);
            std::printf("%s %016llx %llu\n", name.c_str(), static_cast<unsigned long long>(w.hash),
                        static_cast<unsigned long long>(w.words));
        } catch (const std::exception &e) {
            std::fprintf(stderr, "se_output_sweep: %s: %s\n", name.c_str(), e.what());
            rc = 2;
        }
    }
    if (file && std::fclose(file) != 0) {
        std::fprintf(stderr, "se_output_sweep: cannot write %s\n", argv[2]);
        rc = 2;
    }
    return rc;
}

} // namespace

int main(int argc, char **argv)
{
    try {
        if (argc >= 2 && std::strcmp(argv[1], "--record") == 0)
            return record(argc, argv);
        if (argc == 2 || argc == 3)
            return print(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "se_output_sweep: %s\n", e.what());
        return 2;
    }
    std::fprintf(stderr, "usage: se_output_sweep <seed> [<dump file>] | --record [<plug-in>...]\n");
    return 2;
}
