// recover.cpp - `sehost recover DIR`.
#include "commands/recover.h"

#include <filesystem>
#include <memory>

#include "common/errors.h"
#include "output/output_dir.h"

namespace secli {

std::string recover_folder(const std::string &dir)
{
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec))
        throw InputError(dir + ": no such folder");
    std::unique_ptr<OutputDir> taken;
    try {
        taken.reset(new OutputDir(dir, false));
    } catch (const InputError &e) {
        // Named as the command's argument, not as an option.
        std::string what = e.what();
        throw InputError(what.rfind("--out ", 0) == 0 ? what.substr(6) : what);
    }
    const OutputDir &out = *taken;
    const Settled &s = out.settled();
    std::string text;
    if (!s.found)
        text = dir + ": no unfinished commit\n";
    else if (s.way == CommitWay::forward)
        text = dir + ": finished the commit of a run that was stopped while it made it (" +
               std::to_string(s.files) + " files): the folder holds that run's set\n";
    else
        text = dir + ": undid the commit of a run that failed while it made it (" +
               std::to_string(s.files) + " files): the folder holds the set before that run\n";
    if (out.stale_removed())
        text += dir + ": removed " + std::to_string(out.stale_removed()) +
                " temporary files of runs that were stopped\n";
    return text;
}

} // namespace secli
