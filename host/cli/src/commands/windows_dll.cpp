// windows_dll.cpp - handing Windows DLLs to the Windows validator.
#include "commands/windows_dll.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/errors.h"

extern char **environ;

namespace secli {
namespace {

bool executable(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool regular_file(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string find_in_path(const std::string &program)
{
    const char *path = std::getenv("PATH");
    std::string dirs = path ? path : "";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
        if (executable(candidate))
            return candidate;
        start = end + 1;
    }
    return "";
}

std::string shell_word(const std::string &s)
{
    if (!s.empty() &&
        s.find_first_not_of(
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-+=/.,:") ==
            std::string::npos)
        return s;
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

} // namespace

bool is_windows_dll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    unsigned char dos[64] = {};
    if (!in.read(reinterpret_cast<char *>(dos), sizeof dos) || dos[0] != 'M' || dos[1] != 'Z')
        return false;
    uint32_t pe = dos[60] | dos[61] << 8 | dos[62] << 16 | static_cast<uint32_t>(dos[63]) << 24;
    char sig[4] = {};
    in.seekg(pe);
    return in.read(sig, 4) && sig[0] == 'P' && sig[1] == 'E' && sig[2] == 0 && sig[3] == 0;
}

std::string wine_path(const std::string &path)
{
    std::string p = !path.empty() && path[0] == '/' ? "Z:" + path : path;
    for (char &c : p)
        if (c == '/')
            c = '\\';
    return p;
}

int validate_under_wine(const std::vector<std::string> &args)
{
    const char *env = std::getenv("SEHOST_WIN32_VALIDATOR");
    std::string validator = env && *env ? env : SEHOST_WIN32_VALIDATOR;
    std::string wine = find_in_path("wine");
    std::string command = "wine " + shell_word(validator);
    for (const std::string &a : args)
        command += " " + shell_word(a);
    if (!regular_file(validator))
        throw InputError(
            "validate: a Windows DLL runs in the Windows validator, which is not built (no " +
            validator +
            "); build it with `cmake --preset win32 && cmake --build --preset win32 --target "
            "sevalidate`"
            ", then run: " +
            command);
    if (wine.empty())
        throw InputError("validate: a Windows DLL runs in the Windows validator under wine, and "
                         "wine is not on the "
                         "PATH; install it (scripts/bootstrap) and run: " +
                         command);
    std::vector<std::string> words = {wine, validator};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    if (!std::getenv("WINEDEBUG"))
        setenv("WINEDEBUG", "-all", 1); // wine's own diagnostics are noise here
    pid_t pid = 0;
    if (posix_spawn(&pid, wine.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        throw InputError("validate: cannot start " + wine + "; run: " + command);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        ;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    throw InputError("validate: wine ended by signal " + std::to_string(WTERMSIG(status)) +
                     "; run: " + command);
}

} // namespace secli
