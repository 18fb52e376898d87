// output_dir.cpp - reserving, committing and abandoning output files.
#include "output_dir.h"

#include <cctype>
#include <filesystem>

#include "errors.h"

namespace secli {
namespace fs = std::filesystem;

OutputDir::OutputDir(std::string dir, bool force) : m_dir(std::move(dir)), m_force(force) {
    std::error_code ec;
    fs::create_directories(m_dir, ec);
    if (ec || !fs::is_directory(m_dir))
        throw InputError("--out " + m_dir + ": cannot create the output folder" + (ec ? ": " + ec.message() : ""));
}

std::string OutputDir::path(const std::string &name) const { return (fs::path(m_dir) / name).string(); }

std::string OutputDir::reserve(const std::string &name) {
    std::error_code ec;
    for (const std::string &n : m_names)
        if (n == name)
            throw InputError("--out " + m_dir + ": two outputs would both be written to \"" + name + "\"");
    if (!m_force && fs::exists(path(name), ec))
        throw InputError(path(name) + " exists; use --force to overwrite");
    m_names.push_back(name);
    return path("." + name + ".part");
}

void OutputDir::commit() {
    for (const std::string &n : m_names) {
        std::error_code ec;
        fs::rename(path("." + n + ".part"), path(n), ec);
        if (ec)
            throw InputError(path(n) + ": cannot write: " + ec.message());
    }
}

void OutputDir::abandon() {
    for (const std::string &n : m_names) {
        std::error_code ec;
        fs::remove(path("." + n + ".part"), ec);
    }
}

std::string file_stem(const std::string &instance, const std::string &pin) {
    std::string s = instance + ".";
    for (char c : pin) {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '+')
            s += c;
        else if (s.back() != '_')
            s += '_';
    }
    while (s.back() == '_')
        s.pop_back();
    return s;
}

} // namespace secli
