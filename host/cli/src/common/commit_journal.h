// commit_journal.h - the commit of an output folder's set, made so that a
// run killed at any instant leaves something the next run can settle.
//
// A commit is a list of steps, one per file: its temporary ".NAME.X.part"
// takes the name NAME, and an earlier NAME is first set aside as
// ".NAME.X.old" (X the temporary's own six characters). Before the first
// rename the whole list is written to DIR/.sehost-commit, the journal,
// which appears at once (written aside, then renamed). Every step can be
// taken again from wherever it stopped, forward (the new set takes its
// place, the set-aside files go) or back (the set-aside files return, the
// new ones go); the journal says which way, and goes when the last step is
// done. So whatever instant a run is killed, the folder holds the earlier
// set and temporaries, or the journal and what it needs to finish.
//
// The journal guards against a stopped process, not against a lost power
// supply: nothing is synced to the disk.
#ifndef SEHOST_CLI_COMMIT_JOURNAL_H
#define SEHOST_CLI_COMMIT_JOURNAL_H

#include <string>
#include <vector>

namespace secli {

extern const char kCommitJournal[]; // ".sehost-commit"

struct CommitStep {
    std::string name;  // the final name, a safe file name
    std::string temp;  // ".NAME.XXXXXX.part"
    std::string aside; // ".NAME.XXXXXX.old"; empty when no earlier NAME
};

enum class CommitWay { forward, back };

// ".NAME.XXXXXX.part" -> ".NAME.XXXXXX.old".
std::string aside_name(const std::string &temp);

// Writes (or replaces) the journal of `dir`. An error message, empty on
// success.
std::string write_journal(const std::string &dir, CommitWay way,
                          const std::vector<CommitStep> &steps);

// Takes every step of the list the given way, each from wherever it stopped,
// then removes the journal. An error message naming the file, empty on
// success; on an error the journal stays.
std::string roll(const std::string &dir, CommitWay way, const std::vector<CommitStep> &steps);

// What the journal of a folder asked for when the run that wrote it ended.
struct Settled {
    bool found = false; // false: there was no journal
    CommitWay way = CommitWay::forward;
    size_t files = 0;
};

// Finishes (or undoes) the commit a killed run left in `dir`; the caller
// holds the folder's lock. InputError if the journal cannot be read or a
// step cannot be taken (the journal then stays).
Settled settle_commit(const std::string &dir);

// For readers of a file sehost may have written: InputError naming `where`
// while the file's folder holds a journal (its files may be of two runs).
void refuse_unsettled(const std::string &file, const std::string &where);

} // namespace secli

#endif
