// commit_journal.cpp - writing, reading and following the journal.
//
// The journal is text, one step a line between a head and a count:
//
//   sehost commit 1 forward
//   NAME TEMP ASIDE        (ASIDE "-" when there was no earlier NAME)
//   end N
//
// Safe file names hold no spaces. A journal is followed only if every line
// names files of this folder in the forms the commit makes, so a planted
// one cannot move anything else.
#include "common/commit_journal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "common/errors.h"
#include "common/safe_names.h"

namespace secli {
namespace fs = std::filesystem;

const char kCommitJournal[] = ".sehost-commit";

namespace {

const char kHead[] = "sehost commit 1";
// Far more than the steps of any run the limits allow.
constexpr size_t kMaxJournalBytes = 64u << 20;

std::string in(const std::string &dir, const std::string &name)
{
    return (fs::path(dir) / name).string();
}

bool present(const std::string &path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::string failed(const std::string &what, const std::string &path)
{
    return path + ": cannot " + what + ": " + std::strerror(errno);
}

// ".NAME.XXXXXX.part" of this step's NAME, as the commit makes it.
bool is_temp_of(const std::string &temp, const std::string &name)
{
    const std::string head = "." + name + ".", tail = ".part";
    if (temp.size() != head.size() + 6 + tail.size() || temp.compare(0, head.size(), head) != 0 ||
        temp.compare(temp.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    return is_temporary_name(temp);
}

} // namespace

std::string aside_name(const std::string &temp)
{
    return temp.substr(0, temp.size() - 5) + ".old";
}

std::string write_journal(const std::string &dir, CommitWay way,
                          const std::vector<CommitStep> &steps)
{
    std::string text = std::string(kHead) + (way == CommitWay::forward ? " forward\n" : " back\n");
    for (const CommitStep &s : steps)
        text += s.name + " " + s.temp + " " + (s.aside.empty() ? "-" : s.aside) + "\n";
    text += "end " + std::to_string(steps.size()) + "\n";

    std::string temp = in(dir, std::string(kCommitJournal) + ".XXXXXX.part");
    int fd = ::mkostemps(&temp[0], 5, O_CLOEXEC);
    if (fd < 0)
        return failed("create", in(dir, kCommitJournal));
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    std::string error = done < text.size() ? failed("write", temp) : "";
    if (::close(fd) != 0 && error.empty())
        error = failed("write", temp);
    if (error.empty() && ::rename(temp.c_str(), in(dir, kCommitJournal).c_str()) != 0)
        error = failed("write", in(dir, kCommitJournal));
    if (!error.empty())
        ::unlink(temp.c_str());
    return error;
}

std::string roll(const std::string &dir, CommitWay way, const std::vector<CommitStep> &steps)
{
    if (way == CommitWay::forward) {
        for (const CommitStep &s : steps) {
            std::string name = in(dir, s.name), temp = in(dir, s.temp);
            if (!present(temp))
                continue; // in place already
            // A NAME there now is the earlier one: aside it goes.
            if (!s.aside.empty() && present(name) &&
                ::rename(name.c_str(), in(dir, s.aside).c_str()) != 0)
                return failed("move the previous file aside", name);
            if (::rename(temp.c_str(), name.c_str()) != 0)
                return failed("write", name);
        }
        for (const CommitStep &s : steps)
            if (!s.aside.empty())
                ::unlink(in(dir, s.aside).c_str());
    } else {
        for (size_t i = steps.size(); i-- > 0;) {
            const CommitStep &s = steps[i];
            std::string name = in(dir, s.name), temp = in(dir, s.temp);
            if (present(temp)) {
                // Not renamed yet; the earlier file may be aside already.
                if (!s.aside.empty() && !present(name) && present(in(dir, s.aside)) &&
                    ::rename(in(dir, s.aside).c_str(), name.c_str()) != 0)
                    return failed("put back the previous file", name);
                ::unlink(temp.c_str());
            } else if (!s.aside.empty()) {
                if (present(in(dir, s.aside)) &&
                    ::rename(in(dir, s.aside).c_str(), name.c_str()) != 0)
                    return failed("put back the previous file", name);
            } else if (::unlink(name.c_str()) != 0 && errno != ENOENT) {
                return failed("remove the new file", name);
            }
        }
    }
    if (::unlink(in(dir, kCommitJournal).c_str()) != 0 && errno != ENOENT)
        return failed("remove", in(dir, kCommitJournal));
    return "";
}

Settled settle_commit(const std::string &dir)
{
    const std::string path = in(dir, kCommitJournal);
    Settled settled;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return settled;
    auto unreadable = [&](const std::string &why) {
        return InputError(path + ": the journal of an interrupted run " + why +
                          "; the folder may hold files of two runs: see which, then remove "
                          "the journal");
    };
    if (!S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > kMaxJournalBytes)
        throw unreadable("is not a journal sehost writes");
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        throw unreadable("cannot be read: " + std::string(std::strerror(errno)));
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t got = std::fread(&text[0], 1, text.size(), f);
    std::fclose(f);
    text.resize(got);

    std::istringstream lines(text);
    std::string line, way;
    std::getline(lines, line);
    if (line == std::string(kHead) + " forward")
        settled.way = CommitWay::forward;
    else if (line == std::string(kHead) + " back")
        settled.way = CommitWay::back;
    else
        throw unreadable("is not a journal sehost writes");
    std::vector<CommitStep> steps;
    bool ended = false;
    while (!ended && std::getline(lines, line)) {
        std::istringstream words(line);
        CommitStep s;
        std::string aside, extra;
        if (line.rfind("end ", 0) == 0) {
            ended = line == "end " + std::to_string(steps.size());
            if (!ended)
                break;
            continue;
        }
        if (!(words >> s.name >> s.temp >> aside) || (words >> extra) ||
            !is_safe_file_name(s.name) || !is_temp_of(s.temp, s.name) ||
            (aside != "-" && aside != aside_name(s.temp)))
            throw unreadable("holds a line sehost does not write: \"" + line.substr(0, 200) + "\"");
        s.aside = aside == "-" ? "" : aside;
        steps.push_back(s);
    }
    if (!ended || std::getline(lines, line))
        throw unreadable("is cut short or has lines after its end");
    std::string error = roll(dir, settled.way, steps);
    if (!error.empty())
        throw InputError(dir + ": the commit of an interrupted run cannot be " +
                         (settled.way == CommitWay::forward ? "finished" : "undone") + ": " +
                         error + "; the folder may hold files of two runs until `sehost recover " +
                         dir + "` can do it");
    settled.found = true;
    settled.files = steps.size();
    return settled;
}

void refuse_unsettled(const std::string &file, const std::string &where)
{
    fs::path dir = fs::path(file).parent_path();
    if (dir.empty())
        dir = ".";
    if (present((dir / kCommitJournal).string()))
        throw InputError(where + ": \"" + file +
                         "\" is in a folder whose commit is unfinished (it may hold files of two "
                         "runs); run `sehost recover " +
                         dir.string() + "` first");
}

} // namespace secli
