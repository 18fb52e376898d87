// output_dir.cpp - reserving, committing and abandoning output files.
#include "output/output_dir.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/commit_journal.h"
#include "common/errors.h"
#include "common/interrupt.h"
#include "common/safe_names.h"

namespace secli {
namespace fs = std::filesystem;

namespace {

// Removes the files of `dir` named as sehost names its temporaries: with
// the folder's lock held, they are left by runs that were killed.
size_t remove_stale_temporaries(const std::string &dir)
{
    size_t removed = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        if (is_temporary_name(it->path().filename().string()) &&
            it->symlink_status(ec).type() == fs::file_type::regular &&
            ::unlink(it->path().c_str()) == 0)
            ++removed;
    return removed;
}

std::string note_before(const std::string &dir)
{
    return "temporary files removed; " + dir + " holds what it held before the run";
}

} // namespace

OutputDir::OutputDir(std::string dir, bool force, std::string option)
    : m_dir(std::move(dir)), m_option(std::move(option)), m_force(force)
{
    std::error_code ec;
    fs::create_directories(m_dir, ec);
    if (ec || !fs::is_directory(m_dir))
        throw InputError(m_option + " " + m_dir + ": cannot create the output folder" +
                         (ec ? ": " + ec.message() : ""));
    // The lock is on the folder itself: nothing to clean up, and the system
    // releases it when the process ends, however it ends.
    m_lock = ::open(m_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_lock < 0)
        throw InputError(m_option + " " + m_dir +
                         ": cannot open the output folder: " + std::strerror(errno));
    if (::flock(m_lock, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        ::close(m_lock);
        m_lock = -1;
        throw InputError(m_option + " " + m_dir + ": " +
                         (e == EWOULDBLOCK
                              ? std::string("output folder in use by another run")
                              : "cannot lock the output folder: " + std::string(std::strerror(e))));
    }
    // What a killed run left, before anything else: its commit settled
    // (which needs its temporaries), then the temporaries of any run.
    try {
        InterruptHold hold;
        m_settled = settle_commit(m_dir);
    } catch (const InputError &e) {
        ::close(m_lock);
        m_lock = -1;
        throw InputError(m_option + " " + std::string(e.what()));
    }
    m_stale_removed = remove_stale_temporaries(m_dir);
    set_interrupt_note(note_before(m_dir));
}

OutputDir::~OutputDir()
{
    abandon();
    if (m_lock >= 0)
        ::close(m_lock);
}

// The only place where a path inside the folder is made: one checked file
// name joined to the folder, so it cannot climb out or reach a subfolder.
std::string OutputDir::path(const std::string &name) const
{
    if (!is_safe_file_name(name))
        throw InputError(m_option + " " + m_dir + ": \"" + name +
                         "\" is not a safe file name for an output");
    return (fs::path(m_dir) / name).string();
}

std::string OutputDir::reserve(const std::string &name)
{
    std::error_code ec;
    std::string final_path = path(name);
    for (const File &f : m_files)
        if (f.name == name)
            throw InputError(m_option + " " + m_dir + ": two outputs would both be written to \"" +
                             name + "\"");
    if (!m_force && fs::exists(fs::symlink_status(final_path, ec)))
        throw InputError(final_path + " exists; use --force to overwrite");
    // A name of our own, created here and now: never a file or link that was
    // there before, nor one another process writes.
    std::string temp = (fs::path(m_dir) / ("." + name + ".XXXXXX.part")).string();
    std::vector<char> buf(temp.begin(), temp.end());
    buf.push_back('\0');
    int fd = ::mkostemps(buf.data(), 5, O_CLOEXEC);
    if (fd < 0)
        throw InputError(final_path + ": cannot create a temporary file: " + std::strerror(errno));
    // Created private; the finished file gets the permissions of any file
    // the user makes.
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    ::close(fd);
    m_files.push_back(File{name, buf.data()});
    remove_on_interrupt(m_files.back().temp);
    return m_files.back().temp;
}

void OutputDir::commit()
{
    InterruptHold hold;
    std::error_code ec;
    std::vector<CommitStep> steps;
    for (const File &f : m_files) {
        fs::file_status st = fs::symlink_status(path(f.name), ec);
        if (fs::exists(st) && !fs::is_regular_file(st) && !fs::is_symlink(st))
            throw InputError(path(f.name) +
                             ": cannot write: something other than a file is in the way");
        std::string temp = fs::path(f.temp).filename().string();
        steps.push_back(CommitStep{f.name, temp, fs::exists(st) ? aside_name(temp) : ""});
    }
    // The journal first: from its rename on, a killed run's commit is
    // finished by the next run. A failed step is undone the same way, so
    // that a run killed while it undoes leaves the earlier set too.
    std::string failure = write_journal(m_dir, CommitWay::forward, steps);
    if (failure.empty())
        failure = roll(m_dir, CommitWay::forward, steps);
    else
        steps.clear(); // no journal: nothing was renamed
    if (!failure.empty()) {
        std::string undo;
        if (!steps.empty()) {
            undo = write_journal(m_dir, CommitWay::back, steps);
            if (undo.empty())
                undo = roll(m_dir, CommitWay::back, steps);
        }
        if (!undo.empty()) {
            // The journal needs what is left: nothing more is removed.
            for (const File &f : m_files)
                keep_on_interrupt(f.temp);
            m_files.clear();
            set_interrupt_note("the commit is unfinished; run `sehost recover " + m_dir + "`");
            throw UnsettledError(
                failure + "; putting back the previous files failed too: " + undo + "; " + m_dir +
                " may hold files of two runs until `sehost recover " + m_dir + "` can settle it");
        }
        abandon();
        throw InputError(failure);
    }
    for (const File &f : m_files)
        keep_on_interrupt(f.temp);
    m_files.clear();
    set_interrupt_note("the run was complete: " + m_dir + " holds its new set");
}

void OutputDir::abandon()
{
    for (const File &f : m_files) {
        ::unlink(f.temp.c_str());
        keep_on_interrupt(f.temp);
    }
    m_files.clear();
}

} // namespace secli
