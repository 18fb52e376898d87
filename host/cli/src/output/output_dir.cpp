// output_dir.cpp - reserving, committing and abandoning output files.
#include "output/output_dir.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/errors.h"
#include "common/interrupt.h"
#include "common/safe_names.h"

namespace secli {
namespace fs = std::filesystem;

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
    for (const File &f : m_files) {
        fs::file_status st = fs::symlink_status(path(f.name), ec);
        if (fs::exists(st) && !fs::is_regular_file(st) && !fs::is_symlink(st))
            throw InputError(path(f.name) +
                             ": cannot write: something other than a file is in the way");
    }
    // Old files aside, new ones in their place; on a failure every step
    // taken is undone in reverse.
    std::vector<std::string> aside(m_files.size());
    size_t done = 0;
    std::string failure;
    for (; done < m_files.size(); ++done) {
        const File &f = m_files[done];
        std::string target = path(f.name);
        if (fs::exists(fs::symlink_status(target, ec))) {
            std::string keep = (fs::path(m_dir) / ("." + f.name + ".XXXXXX.old")).string();
            std::vector<char> buf(keep.begin(), keep.end());
            buf.push_back('\0');
            int fd = ::mkostemps(buf.data(), 4, O_CLOEXEC);
            if (fd < 0 || (::close(fd), ::rename(target.c_str(), buf.data()) != 0)) {
                failure = target + ": cannot move the previous file aside: " + std::strerror(errno);
                if (fd >= 0)
                    ::unlink(buf.data());
                break;
            }
            aside[done] = buf.data();
        }
        if (::rename(f.temp.c_str(), target.c_str()) != 0) {
            failure = target + ": cannot write: " + std::strerror(errno);
            if (!aside[done].empty())
                ::rename(aside[done].c_str(), target.c_str());
            break;
        }
    }
    if (!failure.empty()) {
        for (size_t i = done; i-- > 0;) {
            std::string target = path(m_files[i].name);
            if (aside[i].empty())
                ::unlink(target.c_str());
            else
                ::rename(aside[i].c_str(), target.c_str());
        }
        abandon();
        throw InputError(failure);
    }
    for (const std::string &a : aside)
        if (!a.empty())
            ::unlink(a.c_str());
    for (const File &f : m_files)
        keep_on_interrupt(f.temp);
    m_files.clear();
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
