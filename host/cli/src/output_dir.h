// output_dir.h - the output folder. Every file is written under a temporary
// name (".NAME.part") and renamed when complete, so an interrupted run never
// leaves a half-written file that looks whole. Existing files are kept unless
// the run is forced.
#ifndef SEHOST_CLI_OUTPUT_DIR_H
#define SEHOST_CLI_OUTPUT_DIR_H

#include <string>
#include <vector>

namespace secli {

class OutputDir {
public:
    OutputDir(std::string dir, bool force);
    // Reserves a file name; InputError if it exists and the run is not forced.
    // Answers the temporary path to write.
    std::string reserve(const std::string &name);
    // Renames every reserved file to its final name.
    void commit();
    // Removes the temporary files (after a failure).
    void abandon();
    std::string path(const std::string &name) const;
    const std::string &dir() const { return m_dir; }

private:
    std::string m_dir;
    bool m_force;
    std::vector<std::string> m_names;
};

// A file name from an instance and pin: "count.Index_Count".
std::string file_stem(const std::string &instance, const std::string &pin);

} // namespace secli

#endif
