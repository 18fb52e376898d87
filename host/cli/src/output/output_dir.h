// output_dir.h - the output folder. Every path of a run is built here, and
// only as a direct child of the folder: a name is one safe file name or an
// error. Every file is written under a temporary name of its own
// (".NAME.XXXXXX.part", created exclusively) and renamed when the whole set
// is complete, so an interrupted or failed run leaves no half-written file
// and the previous run's files as they were. A run holds a lock on the
// folder from start to end: a second run into the same folder fails rather
// than mix its files with the first one's. Holding it, a run first settles
// what a killed run left: it finishes (or undoes) an unfinished commit and
// removes stale temporaries (commit_journal.h). Existing files are kept
// unless the run is forced.
#ifndef SEHOST_CLI_OUTPUT_DIR_H
#define SEHOST_CLI_OUTPUT_DIR_H

#include <string>
#include <vector>

#include "common/commit_journal.h"
#include "common/errors.h"
#include "common/interrupt.h"

namespace secli {

// A commit that failed and could not be undone: the folder keeps its
// journal until `sehost recover` settles it.
class UnsettledError : public InputError
{
public:
    using InputError::InputError;
};

class OutputDir
{
public:
    // Creates and locks the folder, then settles it; InputError if another
    // run holds it or an unfinished commit cannot be settled. Errors name
    // the folder after `option`, the option that gave it.
    OutputDir(std::string dir, bool force, std::string option = "--out");
    ~OutputDir(); // removes what was not committed, releases the lock
    OutputDir(const OutputDir &) = delete;
    OutputDir &operator=(const OutputDir &) = delete;
    // Reserves a file name; InputError if the name is not a safe file name,
    // or it exists and the run is not forced. Answers the temporary path to
    // write.
    std::string reserve(const std::string &name);
    // Renames every reserved file to its final name, all or none, under a
    // journal: a file that cannot take its place (a folder in the way, a
    // failed rename) puts back every file it replaced and throws
    // InputError; a run killed part-way leaves the journal to the next.
    void commit();
    // Removes the temporary files (after a failure).
    void abandon();
    // The final path of a file name; InputError unless it is a safe name.
    std::string path(const std::string &name) const;
    const std::string &dir() const { return m_dir; }
    // What settling found: an unfinished commit, and the number of stale
    // temporaries removed.
    const Settled &settled() const { return m_settled; }
    size_t stale_removed() const { return m_stale_removed; }

private:
    struct File {
        std::string name, temp;
    };
    InterruptCleanup m_interrupt; // first made, last gone
    std::string m_dir, m_option;
    bool m_force;
    int m_lock = -1;
    std::vector<File> m_files;
    Settled m_settled;
    size_t m_stale_removed = 0;
};

} // namespace secli

#endif
