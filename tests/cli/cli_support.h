// cli_support.h - running sehost as a subprocess and reading back its files.
#ifndef SE_TEST_CLI_SUPPORT_H
#define SE_TEST_CLI_SUPPORT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sndfile.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "plugin_path.h"
#include "smf_read.h"
#include "wav_check.h"

namespace se_cli {

namespace fs = std::filesystem;
using json = nlohmann::json;

struct Result {
    int status = -1;
    std::string out, err;
};

inline std::string quote(const std::string &s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs sehost with exactly these arguments (each passed as one word), after
// the shell's variable assignments `env` ("A=1 B=2").
inline Result sehost_bare(const std::vector<std::string> &args, const std::string &env = "");

// Runs sehost on the built plug-ins with the arguments.
inline Result sehost(const std::vector<std::string> &args, const std::string &env = "")
{
    std::vector<std::string> all = {"--plugins", se_test::plugin_dir()};
    all.insert(all.end(), args.begin(), args.end());
    return sehost_bare(all, env);
}

inline Result sehost_bare(const std::vector<std::string> &args, const std::string &env)
{
    static int serial = 0;
    fs::path dir = fs::temp_directory_path() / ("sehost_test_io_" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::string out = (dir / ("out" + std::to_string(serial))).string();
    std::string err = (dir / ("err" + std::to_string(serial++))).string();
    std::string cmd = env + " " + quote(SEHOST_BIN);
    for (const std::string &a : args)
        cmd += " " + quote(a);
    cmd += " >" + quote(out) + " 2>" + quote(err) + " </dev/null";
    int raw = std::system(cmd.c_str());
    Result r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::ifstream o(out), e(err);
    std::stringstream so, se;
    so << o.rdbuf();
    se << e.rdbuf();
    r.out = so.str();
    r.err = se.str();
    // Every WAV file a run writes is also read by sox and the tests' own
    // header walk.
    for (size_t i = 0; r.status == 0 && i + 1 < args.size(); ++i)
        if (args[i] == "-o" || args[i] == "--out" || args[i] == "--record") {
            std::vector<std::string> wavs;
            std::error_code ec;
            for (const auto &f : fs::directory_iterator(args[i + 1], ec))
                if (f.path().extension() == ".wav")
                    wavs.push_back(f.path().string());
            se_test::check_wav_files(wavs);
        }
    return r;
}

// A fresh, empty output folder for one test.
inline std::string fresh_dir(const std::string &name)
{
    fs::path d = fs::temp_directory_path() / ("sehost_test_" + std::to_string(getpid())) / name;
    fs::remove_all(d);
    return d.string();
}

inline std::vector<float> read_wav(const std::string &path, int *rate = nullptr)
{
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(f, nullptr) << path;
    if (!f)
        return {};
    EXPECT_EQ(info.channels, 1);
    // RF64 written as plain WAV: a WAVE_FORMAT_EXTENSIBLE header
    EXPECT_EQ(info.format, SF_FORMAT_WAVEX | SF_FORMAT_FLOAT);
    if (rate)
        *rate = info.samplerate;
    std::vector<float> v(static_cast<size_t>(info.frames));
    sf_readf_float(f, v.data(), info.frames);
    sf_close(f);
    return v;
}

// A patch file beside the test's output folders, named NAME.json.
inline std::string patch_file(const std::string &name, const json &patch)
{
    fs::path p = fs::path(fresh_dir(name)).parent_path() / (name + ".json");
    fs::create_directories(p.parent_path());
    std::ofstream(p) << patch.dump();
    return p.string();
}

inline std::vector<json> read_events(const std::string &dir)
{
    std::vector<json> out;
    std::ifstream in(dir + "/events.jsonl");
    EXPECT_TRUE(in.good()) << dir;
    for (std::string line; std::getline(in, line);)
        out.push_back(json::parse(line));
    return out;
}

inline std::vector<json> select(const std::vector<json> &events, const std::string &kind,
                                const std::string &pin = "")
{
    std::vector<json> out;
    for (const json &e : events)
        if (e["kind"] == kind && (pin.empty() || e.value("pin", "") == pin))
            out.push_back(e);
    return out;
}

inline std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A file of the given text in this process's scratch folder (patches, bad
// inputs), for tests that feed sehost files.
inline std::string input_file(const std::string &name, const std::string &text)
{
    fs::path p =
        fs::temp_directory_path() / ("sehost_test_" + std::to_string(getpid())) / "inputs" / name;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
}

// A command line that must fail: exit 2 and one line on standard error
// holding `message`.
struct Refused {
    std::vector<std::string> args;
    std::string message;
};

inline void expect_refused(const std::vector<Refused> &cases)
{
    for (const Refused &c : cases) {
        Result r = sehost(c.args);
        std::string line;
        for (const auto &a : c.args)
            line += a + " ";
        EXPECT_EQ(r.status, 2) << line << "\n  stderr: " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos)
            << line << "\n  wanted: " << c.message << "\n  got: " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << line << "\n  got: " << r.err;
    }
}

} // namespace se_cli

#endif
