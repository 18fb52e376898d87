// child.cpp - one check in a child process with a time limit: fork() on
// Linux, the executable started again on Windows.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "check.h"
#include "fork_guard.h"
#include "private_files.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#endif

namespace sevalidate {

// The result travels as text: outcome name on the first line, details
// after.  The file must be new: an existing file or link is never written.
bool write_result_file(const std::string &path, const CheckResult &r, std::string &error)
{
    return write_new_file(path, std::string(outcome_name(r.outcome)) + '\n' + r.details, error);
}

namespace {

std::string read_file(const std::string &path, size_t limit = 1u << 20)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    std::string t = s.str();
    return t.size() > limit ? t.substr(t.size() - limit) : t;
}

bool parse_result(const std::string &text, CheckResult &r)
{
    size_t nl = text.find('\n');
    if (nl == std::string::npos)
        return false;
    std::string name = text.substr(0, nl);
    for (Outcome o : {Outcome::Pass, Outcome::Warning, Outcome::Skip, Outcome::Fail})
        if (name == outcome_name(o)) {
            r.outcome = o;
            r.details = text.substr(nl + 1);
            return true;
        }
    return false;
}

// The last lines of what the child wrote to standard error.
std::string tail(const std::string &text, size_t lines = 12)
{
    size_t pos = text.size();
    while (pos > 0 && (text[pos - 1] == '\n' || text[pos - 1] == '\r'))
        --pos;
    size_t end = pos;
    for (size_t n = 0; pos > 0 && n < lines; ++n) {
        pos = text.rfind('\n', pos - 1);
        if (pos == std::string::npos) {
            pos = 0;
            break;
        }
    }
    std::string t = text.substr(pos, end - pos);
    while (!t.empty() && t[0] == '\n')
        t.erase(0, 1);
    return t;
}

// The telling lines of a sanitizer or SDK report: the error, the first
// frames, the summary.
std::string sanitizer_lines(const std::string &text)
{
    std::istringstream in(text);
    std::string line, out;
    int kept = 0;
    while (std::getline(in, line) && kept < 14) {
        bool frame = line.find("    #0 ") == 0 || line.find("    #1 ") == 0 ||
                     line.find("    #2 ") == 0 || line.find("    #3 ") == 0;
        if (line.find("ERROR: ") != std::string::npos ||
            line.find("runtime error") != std::string::npos ||
            line.find("check failed") != std::string::npos ||
            line.find("SUMMARY: ") != std::string::npos || frame) {
            if (line.size() > 240)
                line = line.substr(0, 240) + "...";
            out += (out.empty() ? "" : "\n") + line;
            ++kept;
        }
    }
    return out;
}

// Decides the outcome of a child that ended; `ended_ok` when it returned
// normally with exit code 0.
void finish(CheckResult &r, bool ended_ok, const std::string &how, const std::string &result_text,
            const std::string &err_text, const char *tolerated)
{
    if (ended_ok && parse_result(result_text, r))
        return;
    if (tolerated &&
        err_text.find(std::string("check failed: ") + tolerated) != std::string::npos) {
        r.outcome = Outcome::Pass;
        r.details =
            std::string("stopped by the SDK's check \"") + tolerated + "\", as the contract allows";
        return;
    }
    r.outcome = Outcome::Crash;
    r.details = how;
    std::string t = sanitizer_lines(err_text);
    if (t.empty())
        t = tail(err_text);
    if (!t.empty())
        r.details += "\n" + t;
}

} // namespace

CheckResult run_check_isolated(const std::string &plugin, const std::string &check, uint64_t seed,
                               double timeout_seconds,
                               const std::vector<std::string> &reexec_prefix,
                               const std::vector<std::string> &traits_files, int level)
{
#if !defined(_WIN32)
    std::unique_lock<std::mutex> guard(fork_guard());
#endif
    CheckResult r;
    r.plugin = plugin;
    r.check = check;
    const char *tolerated = nullptr;
    for (const CheckInfo &c : registry())
        if (check == c.name)
            tolerated = c.tolerated_stop;
    std::string result_path, err_path;
    try {
        result_path = private_file_name(".result");
        err_path = private_file_name(".err");
    } catch (const std::exception &e) {
        r.outcome = Outcome::Crash;
        r.details = std::string("could not run: ") + e.what();
        r.could_not_run = true;
        return r;
    }
    auto t0 = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    std::string how;
    bool ended_ok = false, timed_out = false;

#if defined(_WIN32)
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    auto quote = [](const std::string &a) {
        std::string q = "\"";
        for (char c : a)
            q += c == '"' ? std::string("\\\"") : std::string(1, c);
        return q + "\"";
    };
    std::string cmd = quote(exe);
    for (const std::string &a : reexec_prefix)
        cmd += " " + quote(a);
    cmd += " --single-check " + quote(check) + " --seed " + std::to_string(seed) + " --level " +
           std::to_string(level) + " --result-file " + quote(result_path);
    for (const std::string &t : traits_files)
        cmd += " --traits " + quote(t);
    cmd += " " + quote(plugin);
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE err = CreateFileA(err_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = err;
    si.hStdError = err;
    PROCESS_INFORMATION pi{};
    std::vector<char> line(cmd.begin(), cmd.end());
    line.push_back('\0');
    // No error dialogs in the child: a crash ends it at once.
    UINT old_mode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    BOOL started =
        CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    SetErrorMode(old_mode);
    CloseHandle(err);
    if (!started) {
        r.outcome = Outcome::Crash;
        r.details =
            "could not run: no child process (error " + std::to_string(GetLastError()) + ")";
        r.could_not_run = true;
        return r;
    }
    DWORD wait = WaitForSingleObject(pi.hProcess, static_cast<DWORD>(timeout_seconds * 1000.0));
    if (wait == WAIT_TIMEOUT) {
        TerminateProcess(pi.hProcess, 9);
        WaitForSingleObject(pi.hProcess, 5000);
        timed_out = true;
    } else {
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        ended_ok = code == 0;
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(code));
        how = "the child process ended with exit code " + std::string(buf);
    }
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
#else
    (void)reexec_prefix;
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid != 0)
        guard.unlock(); // the parent waits without it
    if (pid < 0) {
        r.outcome = Outcome::Crash;
        r.details = std::string("could not run: fork failed: ") + std::strerror(errno);
        r.could_not_run = true;
        return r;
    }
    if (pid == 0) {
        int fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        CheckResult c = run_check_here(plugin, check, seed, traits_files, level);
        std::string error;
        const bool written = write_result_file(result_path, c, error);
        if (!written)
            std::fprintf(stderr, "%s\n", error.c_str());
        std::fflush(nullptr);
        _exit(written ? 0 : 3);
    }
    int status = 0;
    for (;;) {
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid)
            break;
        if (elapsed() > timeout_seconds) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            timed_out = true;
            break;
        }
        struct timespec ts {
            0, 2000000
        };
        nanosleep(&ts, nullptr);
    }
    guard.lock();
    if (!timed_out) {
        if (WIFSIGNALED(status)) {
            how = "the child process was stopped by signal " + std::to_string(WTERMSIG(status));
        } else {
            ended_ok = WEXITSTATUS(status) == 0;
            how = "the child process ended with exit code " + std::to_string(WEXITSTATUS(status));
        }
    }
#endif
    r.seconds = elapsed();
    std::string result_text = read_file(result_path), err_text = read_file(err_path);
    remove_private_file(result_path);
    remove_private_file(err_path);
    if (timed_out) {
        r.outcome = Outcome::Timeout;
        r.details = "no answer within " + std::to_string(static_cast<int>(timeout_seconds)) + " s";
        std::string t = tail(err_text);
        if (!t.empty())
            r.details += "\n" + t;
        return r;
    }
    finish(r, ended_ok, how, result_text, err_text, tolerated);
    return r;
}

} // namespace sevalidate
