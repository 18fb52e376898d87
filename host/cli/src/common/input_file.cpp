// input_file.cpp - opening input files that are regular files, with caps.
#include "common/input_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/errors.h"

namespace secli {
namespace {

const char *kind_of(mode_t mode)
{
    return S_ISDIR(mode)                    ? "a folder"
           : S_ISFIFO(mode)                 ? "a pipe (FIFO)"
           : S_ISCHR(mode) || S_ISBLK(mode) ? "a device"
           : S_ISSOCK(mode)                 ? "a socket"
                                            : "not a regular file";
}

} // namespace

InputFile::InputFile(const std::string &path, std::string what) : m_what(std::move(what))
{
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
    // writer; the check below refuses it before anything is read.
    m_fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0)
        fail(errno == ENOENT ? "no such file" : std::strerror(errno));
    struct stat st;
    if (::fstat(m_fd, &st) != 0)
        fail(std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        fail(std::string("it is ") + kind_of(st.st_mode) + "; only regular files are read");
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) & ~O_NONBLOCK);
    m_size = static_cast<uint64_t>(st.st_size);
}

InputFile::~InputFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

int InputFile::release()
{
    int fd = m_fd;
    m_fd = -1;
    return fd;
}

void InputFile::fail(const std::string &why) const
{
    throw InputError(m_what + ": " + why);
}

std::string InputFile::read(uint64_t n)
{
    std::string out;
    out.resize(static_cast<size_t>(n));
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::read(m_fd, &out[got], static_cast<size_t>(n - got));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            fail(std::string("cannot read: ") + std::strerror(errno));
        if (r == 0)
            break;
        got += static_cast<size_t>(r);
    }
    out.resize(got);
    m_read += got;
    return out;
}

std::string InputFile::read_all(uint64_t cap)
{
    const auto too_large = [&] {
        fail("the file is larger than " + byte_size(cap) + ", the most that is read");
    };
    if (m_size > cap)
        too_large();
    // One byte past the size the file had at the open tells whether it grew.
    std::string rest = read(m_size >= m_read ? m_size - m_read + 1 : 1);
    if (m_read > cap)
        too_large();
    if (m_read > m_size) {
        std::string more = read(cap + 1 - m_read);
        rest += more;
        if (m_read > cap)
            too_large();
    }
    return rest;
}

std::string byte_size(uint64_t bytes)
{
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0)
        return std::to_string(bytes >> 20) + " MiB";
    return std::to_string(bytes) + " bytes";
}

} // namespace secli
