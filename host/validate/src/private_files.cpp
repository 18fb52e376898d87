// private_files.cpp - the private folder for the children's result files.
#include "private_files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <stdexcept>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace sevalidate {
namespace {

struct Folder {
    std::mutex lock;
    std::string path;
    std::set<std::string> files; // made from private names, not yet removed
    unsigned serial = 0;
    bool made = false;
    long owner = 0; // the process that made it (children do not clean up)
};

Folder &folder()
{
    static Folder *f = new Folder; // outlives every static destructor
    return *f;
}

long this_process()
{
#if defined(_WIN32)
    return static_cast<long>(GetCurrentProcessId());
#else
    return static_cast<long>(getpid());
#endif
}

void remove_folder()
{
    Folder &f = folder();
    std::lock_guard<std::mutex> hold(f.lock);
    if (!f.made || f.owner != this_process())
        return;
    for (const std::string &p : f.files)
        std::remove(p.c_str());
    f.files.clear();
#if defined(_WIN32)
    RemoveDirectoryA(f.path.c_str());
#else
    rmdir(f.path.c_str());
#endif
    f.made = false;
}

std::string make_folder()
{
#if defined(_WIN32)
    char dir[MAX_PATH + 1];
    DWORD n = GetTempPathA(MAX_PATH, dir);
    if (n == 0 || n > MAX_PATH)
        throw std::runtime_error("no temporary folder (GetTempPath failed)");
    // CreateDirectory fails on an existing name, so a name planted by
    // someone else is never used; the random part makes a clash unlikely.
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    unsigned long long r = static_cast<unsigned long long>(t.QuadPart) ^
                           (GetCurrentProcessId() * 0x9E3779B97F4A7C15ull);
    for (int attempt = 0; attempt < 100; ++attempt) {
        r = r * 6364136223846793005ull + 1442695040888963407ull;
        char name[64];
        std::snprintf(name, sizeof name, "sevalidate-%08llx", (r >> 24) & 0xFFFFFFFFull);
        std::string path = std::string(dir) + name;
        if (CreateDirectoryA(path.c_str(), nullptr))
            return path;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    throw std::runtime_error(std::string("cannot make a private folder in ") + dir);
#else
    const char *tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/sevalidate-XXXXXX";
    std::string buf = templ;
    if (!mkdtemp(&buf[0])) // mode 0700, a name nobody else has
        throw std::runtime_error("cannot make a private folder " + templ + ": " +
                                 std::strerror(errno));
    return buf;
#endif
}

} // namespace

std::string private_file_name(const std::string &suffix)
{
    Folder &f = folder();
    std::lock_guard<std::mutex> hold(f.lock);
    if (!f.made || f.owner != this_process()) {
        f.path = make_folder();
        f.files.clear();
        f.made = true;
        f.owner = this_process();
        static bool registered = false;
        if (!registered) {
            registered = true;
            std::atexit(remove_folder);
        }
    }
#if defined(_WIN32)
    const char sep = '\\';
#else
    const char sep = '/';
#endif
    std::string path = f.path + sep + "check-" + std::to_string(f.serial++) + suffix;
    f.files.insert(path);
    return path;
}

void remove_private_file(const std::string &path)
{
    std::remove(path.c_str());
    Folder &f = folder();
    std::lock_guard<std::mutex> hold(f.lock);
    f.files.erase(path);
}

void remove_private_folder()
{
    remove_folder();
}

bool write_new_file(const std::string &path, const std::string &data, std::string &error)
{
#if defined(_WIN32)
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = "cannot create " + path + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    DWORD written = 0;
    BOOL ok = data.empty() ||
              WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    CloseHandle(h);
    if (!ok || written != data.size()) {
        error = "cannot write " + path;
        return false;
    }
    return true;
#else
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = "cannot write " + path + ": " + std::strerror(errno);
            close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (close(fd) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
#endif
}

} // namespace sevalidate
