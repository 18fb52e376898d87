// commit_test.cpp - a run killed, interrupted or failing at any rename of
// its commit: once settled (by the next run or `sehost recover`), the
// folder holds one whole set, the earlier or the new, and nothing else.
// The renames are counted by a preloaded shim (fixture/rename_shim.c).
#include "cli_support.h"

namespace {

using namespace se_cli;

// sehost with the shim told what to do ("SE_RENAME_KILL=4"); it comes
// before a sanitizer's runtime in the load order.
Result shimmed(const std::string &orders, const std::vector<std::string> &args)
{
    return sehost(args, "LD_PRELOAD=" + quote(RENAME_SHIM) +
                            " ASAN_OPTIONS=\"$ASAN_OPTIONS:verify_asan_link_order=0\" " + orders);
}

bool killed(const Result &r)
{
    return r.status == -1 || r.status == 128 + SIGKILL;
}

// Sets A and B of three instances, told apart by every WAV.
class SehostCommit : public ::testing::Test
{
protected:
    static inline std::string patch[2], ref[2];
    static inline std::vector<std::string> names;

    static void SetUpTestSuite()
    {
        for (int s = 0; s < 2; ++s) {
            json mods = json::array();
            for (const char *name : {"p0", "p1", "p2"})
                mods.push_back(
                    {{"name", name}, {"plugin", "pitch_adjust"}, {"set", {{"Octave", s}}}});
            patch[s] =
                patch_file("commit" + std::to_string(s), {{"duration", "10ms"}, {"modules", mods}});
            ref[s] = fresh_dir("commit_ref" + std::to_string(s));
            ASSERT_EQ(sehost({"run", patch[s], "-o", ref[s]}).status, 0);
        }
        names = listing(ref[0]);
    }

    static std::vector<std::string> listing(const std::string &dir)
    {
        std::vector<std::string> held;
        for (const auto &e : fs::directory_iterator(dir))
            held.push_back(e.path().filename().string());
        std::sort(held.begin(), held.end());
        return held;
    }

    static std::string folder_of_a(const std::string &name)
    {
        std::string dir = fresh_dir(name);
        fs::copy(ref[0], dir);
        return dir;
    }

    // "A" or "B" when the folder holds exactly that set (WAV samples, other
    // files' bytes) and nothing else; otherwise what it holds.
    static std::string which_set(const std::string &dir)
    {
        if (listing(dir) != names)
            return "files " + json(listing(dir)).dump();
        size_t equal[2] = {0, 0};
        for (const std::string &n : names)
            for (int s = 0; s < 2; ++s) {
                std::string f = dir + "/" + n, r = ref[s] + "/" + n;
                equal[s] += n.size() > 4 && n.substr(n.size() - 4) == ".wav"
                                ? read_wav(f) == read_wav(r)
                                : slurp(f) == slurp(r);
            }
        return equal[0] == names.size() ? "A" : equal[1] == names.size() ? "B" : "a mix";
    }
};

TEST_F(SehostCommit, AKillAtAnyRenameIsSettledToOneWholeSet)
{
    // Rename 1 puts the journal in place: set A before it, set B after.
    int n = 1;
    for (;; ++n) {
        std::string dir = folder_of_a("commit_kill");
        Result r =
            shimmed("SE_RENAME_KILL=" + std::to_string(n), {"run", patch[1], "-o", dir, "--force"});
        if (r.status == 0)
            break;
        ASSERT_TRUE(killed(r)) << n << ": " << r.err;
        EXPECT_EQ(sehost({"recover", dir}).status, 0);
        EXPECT_EQ(which_set(dir), n == 1 ? "A" : "B") << "killed at rename " << n;
    }
    EXPECT_EQ(n, 2 + 2 * static_cast<int>(names.size())); // the journal, then two per file
}

// Until settled, the folder's files are refused to readers with what to
// run; the next run into it settles it before anything else.
TEST_F(SehostCommit, AnUnsettledFolderIsRefusedUntilTheNextRunSettlesIt)
{
    std::string dir = folder_of_a("commit_unsettled");
    ASSERT_TRUE(killed(shimmed("SE_RENAME_KILL=4", {"run", patch[1], "-o", dir, "--force"})));
    fs::copy_file(input_file("commit.mid", "MThd"), dir + "/in.mid");
    std::string planted = fresh_dir("commit_planted"), out = fresh_dir("commit_reader");
    fs::create_directories(planted);
    std::ofstream(planted + "/.sehost-commit")
        << "sehost commit 1 forward\n../victim .x.AbCdEf.part -\nend 1\n";
    const std::string advice = "run `sehost recover " + dir + "` first";
    expect_refused({
        {{"render", "edge_detect", "--set", "Audio In=" + dir + "/p0.Pitch_Adj.wav", "-o", out},
         advice},
        {{"render", "midi_choice", "--midi-file", dir + "/in.mid", "-o", out}, advice},
        {{"recover", planted}, "holds a line sehost does not write: \"../victim"},
        {{"recover", fresh_dir("commit_missing")}, "no such folder"},
    });
    fs::remove(dir + "/in.mid");
    Result r = sehost({"run", patch[0], "-o", dir});
    EXPECT_NE(r.err.find("exists; use --force"), std::string::npos) << r.err;
    EXPECT_EQ(which_set(dir), "B");
    EXPECT_EQ(sehost({"recover", dir}).out, dir + ": no unfinished commit\n");
}

TEST_F(SehostCommit, AFailedRenameIsUndoneEvenWhenTheRunIsKilledWhileUndoing)
{
    // Rename 6 fails; then a second journal (7) and the renames back. A
    // kill at 7 leaves the first journal, which the next run finishes.
    int kill = 7;
    for (;; ++kill) {
        std::string dir = folder_of_a("commit_undo");
        Result r = shimmed("SE_RENAME_FAIL=6 SE_RENAME_KILL=" + std::to_string(kill),
                           {"run", patch[1], "-o", dir, "--force"});
        if (!killed(r)) {
            EXPECT_NE(r.err.find("left as they were"), std::string::npos) << r.err;
            EXPECT_EQ(which_set(dir), "A");
            break;
        }
        EXPECT_EQ(sehost({"recover", dir}).status, 0);
        EXPECT_EQ(which_set(dir), kill == 7 ? "B" : "A") << "killed at rename " << kill;
    }
    EXPECT_GT(kill, 8);
    // When the second journal fails too, the run says so in one line.
    std::string dir = folder_of_a("commit_unsettled_failure");
    Result r = shimmed("SE_RENAME_FAIL=6,7", {"run", patch[1], "-o", dir, "--force"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("until `sehost recover " + dir + "` can settle it"), std::string::npos);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(sehost({"recover", dir}).out.find("finished the commit"), std::string::npos);
    EXPECT_EQ(which_set(dir), "B");
}

// SIGINT waits for the commit, then says the folder holds the new set.
TEST_F(SehostCommit, AnInterruptDuringTheCommitReportsTheNewSet)
{
    std::string dir = folder_of_a("commit_sigint");
    Result r = shimmed("SE_RENAME_INT=3", {"run", patch[1], "-o", dir, "--force"});
    EXPECT_EQ(r.status, 130);
    EXPECT_EQ(r.err, "sehost: interrupted; the run was complete: " + dir + " holds its new set\n");
    EXPECT_EQ(which_set(dir), "B");
}

} // namespace
