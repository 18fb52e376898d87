// child.cpp - one check in a child process with a time limit: fork() on
// Linux, the executable started again on Windows.  Everything a check starts
// ends with it: on Linux its child leads a process group of its own, and
// this process takes in (as their subreaper) the descendants that leave the
// group, so that they too are found and ended; on Windows the child and its
// descendants share a job.  What a child may write to its standard streams
// is capped, and of it only the tail is read back.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "check.h"
#include "fork_guard.h"
#include "private_files.h"
#include "stop_signals.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif
#endif

namespace sevalidate {

// The result travels as text: outcome name on the first line, details
// after.  The file must be new: an existing file or link is never written.
bool write_result_file(const std::string &path, const CheckResult &r, std::string &error)
{
    return write_new_file(path, std::string(outcome_name(r.outcome)) + '\n' + r.details, error);
}

namespace {

// A check's child may write this much to its standard output and error
// together (one file); the write that passes it ends the child.  Of what it
// wrote, the last kOutputTail bytes are read back for the report.
constexpr uint64_t kOutputCap = 4u << 20;
constexpr size_t kOutputTail = 1u << 20;

std::string read_tail(const std::string &path)
{
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    if (!f)
        return {};
    const std::streamoff size = f.tellg();
    const std::streamoff tail = static_cast<std::streamoff>(kOutputTail);
    const std::streamoff from = size > tail ? size - tail : 0;
    f.seekg(from);
    std::string t(static_cast<size_t>(size - from), '\0');
    f.read(&t[0], static_cast<std::streamsize>(t.size()));
    t.resize(static_cast<size_t>(f.gcount()));
    return t;
}

std::string flooded_how()
{
    return "the child process wrote more than " + std::to_string(kOutputCap >> 20) +
           " MiB to its standard output and error and was stopped";
}

#if !defined(_WIN32)
// The children of the checks running now (changed and read under the fork
// guard, as every fork is made).
std::vector<pid_t> &running()
{
    static std::vector<pid_t> *pids = new std::vector<pid_t>; // outlives static destructors
    return *pids;
}

void reap(pid_t pid, int *status = nullptr)
{
    while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
}

// The numbers in a /proc file of numbers, appended to `out`.
bool read_numbers(const char *path, std::vector<pid_t> &out)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    close(fd);
    for (const char *p = text.c_str(); *p;) {
        char *end = nullptr;
        const long v = std::strtol(p, &end, 10);
        if (end == p)
            break;
        out.push_back(static_cast<pid_t>(v));
        p = end;
    }
    return true;
}

// The parent process of `pid` from /proc (the name field, in brackets, may
// hold anything: the fields after it follow its last closing bracket).
long parent_of(long pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char buf[512];
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return -1;
    buf[n] = '\0';
    const char *after = std::strrchr(buf, ')');
    long ppid = -1;
    if (!after || std::sscanf(after + 1, " %*c %ld", &ppid) != 1)
        return -1;
    return ppid;
}

// This process's children: each thread's list where the kernel keeps one
// (cheap), else every process whose parent this is (a look at each).
std::vector<pid_t> own_children()
{
    std::vector<pid_t> out;
    bool listed = false;
    if (DIR *d = opendir("/proc/self/task")) {
        while (const dirent *e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            const std::string path = std::string("/proc/self/task/") + e->d_name + "/children";
            listed = read_numbers(path.c_str(), out) || listed;
        }
        closedir(d);
    }
    if (listed)
        return out;
    const long self = static_cast<long>(getpid());
    if (DIR *d = opendir("/proc")) {
        while (const dirent *e = readdir(d)) {
            char *end = nullptr;
            const long pid = std::strtol(e->d_name, &end, 10);
            if (*end == '\0' && pid > 0 && parent_of(pid) == self)
                out.push_back(static_cast<pid_t>(pid));
        }
        closedir(d);
    }
    return out;
}

// This process's children that are no running check's: descendants of
// checks that ended, handed over when their parents went.  Each is ended and
// collected, again until two looks in a row find none (ending one may hand
// over its own, and a list read while others change may miss one).
void end_strays()
{
    for (int round = 0, empty = 0; round < 64 && empty < 2; ++round) {
        std::vector<pid_t> strays;
        for (pid_t pid : own_children()) {
            const auto &r = running();
            if (std::find(r.begin(), r.end(), pid) == r.end())
                strays.push_back(pid);
        }
        empty = strays.empty() ? empty + 1 : 0;
        for (pid_t pid : strays) {
            kill(pid, SIGKILL);
            reap(pid);
        }
    }
}

// In the child, before the check: a process group of its own (the
// terminal's Ctrl-C reaches the validator alone, which ends the group),
// the default actions of the signals the validator notes, the output cap,
// no core file.
void enter_child()
{
    setpgid(0, 0);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGXFSZ})
        signal(sig, SIG_DFL);
    auto cap = [](int resource, rlim_t most) {
        struct rlimit now {};
        getrlimit(resource, &now);
        const rlim_t v = now.rlim_max == RLIM_INFINITY ? most : std::min(most, now.rlim_max);
        struct rlimit limit {
            v, v
        };
        setrlimit(resource, &limit);
    };
    cap(RLIMIT_FSIZE, kOutputCap);
    cap(RLIMIT_CORE, 0);
}
#endif

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
    auto could_not_run = [&](const std::string &why) {
        r.outcome = Outcome::Crash;
        r.details = "could not run: " + why;
        r.could_not_run = true;
        return r;
    };
    if (const int sig = stop_signal())
        return could_not_run(std::string("stopped by ") + signal_name(sig));
#if defined(_WIN32)
    // The child is this executable again with --single-check, which its main
    // hands to run_validation.  An executable that does not (a test program
    // that runs its tests again) would start checks again in the child, and
    // children without end: a check's child never starts checks itself.
    if (std::strstr(GetCommandLineA(), " --single-check "))
        return could_not_run("this process is a check's child: its executable does not hand "
                             "--single-check to run_validation");
#endif
    const char *tolerated = nullptr;
    for (const CheckInfo &c : registry())
        if (check == c.name)
            tolerated = c.tolerated_stop;
    std::string result_path, err_path;
    try {
        result_path = private_file_name(".result");
        err_path = private_file_name(".err");
    } catch (const std::exception &e) {
        return could_not_run(e.what());
    }
    auto t0 = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    std::string how;
    bool ended_ok = false, timed_out = false;
    int stopped_by = 0;

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
    // Read attributes too: its size is looked at while the child writes.
    HANDLE err = CreateFileA(err_path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ, &sa, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = err;
    si.hStdError = err;
    PROCESS_INFORMATION pi{};
    std::vector<char> line(cmd.begin(), cmd.end());
    line.push_back('\0');
    // The child and whatever it starts share a job: ended together, and
    // with this process, whose handle closes when it ends.
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    if (job) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    // No error dialogs in the child: a crash ends it at once.
    UINT old_mode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                                  nullptr, nullptr, &si, &pi);
    SetErrorMode(old_mode);
    if (!started) {
        const DWORD error = GetLastError();
        if (err != INVALID_HANDLE_VALUE)
            CloseHandle(err);
        if (job)
            CloseHandle(job);
        remove_private_file(result_path);
        remove_private_file(err_path);
        return could_not_run("no child process (error " + std::to_string(error) + ")");
    }
    if (job && !AssignProcessToJobObject(job, pi.hProcess)) {
        CloseHandle(job); // the child alone is ended then
        job = nullptr;
    }
    ResumeThread(pi.hThread);
    auto end_all = [&] {
        if (job)
            TerminateJobObject(job, 9);
        else
            TerminateProcess(pi.hProcess, 9);
    };
    // No file size limit here: the size is looked at while the child runs
    // and when it has ended.
    auto flooded = [&] {
        LARGE_INTEGER size{};
        return err != INVALID_HANDLE_VALUE && GetFileSizeEx(err, &size) &&
               static_cast<uint64_t>(size.QuadPart) > kOutputCap;
    };
    for (;;) {
        if (WaitForSingleObject(pi.hProcess, 20) != WAIT_TIMEOUT) {
            DWORD code = 0;
            GetExitCodeProcess(pi.hProcess, &code);
            ended_ok = code == 0;
            char buf[32];
            std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(code));
            how = "the child process ended with exit code " + std::string(buf);
            break;
        }
        timed_out = elapsed() > timeout_seconds;
        stopped_by = stop_signal();
        if (flooded() || timed_out || stopped_by) {
            end_all();
            WaitForSingleObject(pi.hProcess, 5000);
            break;
        }
    }
    if (!timed_out && !stopped_by && flooded()) {
        ended_ok = false;
        how = flooded_how();
    }
    if (job) { // what the check left running ends with it
        TerminateJobObject(job, 9);
        CloseHandle(job);
    }
    if (err != INVALID_HANDLE_VALUE)
        CloseHandle(err);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
#else
    (void)reexec_prefix;
#if defined(__linux__)
    // Descendants whose parent ends come to this process, not to init.
    static const int subreaper = prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    (void)subreaper;
#endif
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return could_not_run(std::string("fork failed: ") + std::strerror(errno));
    if (pid == 0) {
        enter_child();
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
    setpgid(pid, pid); // as the child does: whichever comes first
    running().push_back(pid);
    guard.unlock(); // the parent waits without it
    int status = 0;
    for (;;) {
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid)
            break;
        timed_out = elapsed() > timeout_seconds;
        stopped_by = stop_signal();
        if (timed_out || stopped_by) {
            kill(-pid, SIGKILL);
            reap(pid, &status);
            break;
        }
        struct timespec ts {
            0, 2000000
        };
        nanosleep(&ts, nullptr);
    }
    guard.lock();
    kill(-pid, SIGKILL); // what is left of its group
    running().erase(std::find(running().begin(), running().end(), pid));
    end_strays();
    if (!timed_out && !stopped_by) {
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) {
            how = flooded_how();
        } else if (WIFSIGNALED(status)) {
            how = "the child process was stopped by signal " + std::to_string(WTERMSIG(status));
        } else {
            ended_ok = WEXITSTATUS(status) == 0;
            how = "the child process ended with exit code " + std::to_string(WEXITSTATUS(status));
        }
    }
#endif
    r.seconds = elapsed();
    std::string result_text = read_tail(result_path), err_text = read_tail(err_path);
    remove_private_file(result_path);
    remove_private_file(err_path);
    if (stopped_by)
        return could_not_run(std::string("stopped by ") + signal_name(stopped_by));
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

std::optional<std::string> identify_isolated(const std::string &plugin, double timeout_seconds,
                                             const std::vector<std::string> &reexec_prefix)
{
    const CheckResult r =
        run_check_isolated(plugin, kIdentityCheck, 0, timeout_seconds, reexec_prefix, {}, 1);
    if (r.outcome != Outcome::Pass)
        return std::nullopt;
    return r.details;
}

} // namespace sevalidate
