// input_file.h - files a user names as input (a patch, a MIDI file, a WAV
// source). Only regular files are read: a FIFO would hold the run until
// someone writes to it, a device such as /dev/zero never ends and a folder
// is no file. Whole files are read only up to a cap, after their header.
#ifndef SEHOST_CLI_INPUT_FILE_H
#define SEHOST_CLI_INPUT_FILE_H

#include <cstdint>
#include <string>

namespace secli {

// The largest patch file and MIDI file read (docs/sehost.md): far beyond
// any patch or song written by hand or tool, and small enough that reading
// one costs at most a few hundred megabytes.
constexpr uint64_t kMaxPatchBytes = 16u << 20;
constexpr uint64_t kMaxMidiFileBytes = 16u << 20;

// An open input file: its descriptor (closed with the object) and size.
class InputFile
{
public:
    // Opens `path` without waiting (a FIFO does not block the open) and
    // checks that it is a regular file. InputError "`what`: ..." otherwise,
    // `what` naming the option or field and the file.
    InputFile(const std::string &path, std::string what);
    ~InputFile();
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;

    int fd() const { return m_fd; }
    uint64_t size() const { return m_size; }
    // Gives the descriptor away (to a reader that closes it).
    int release();
    // Up to n bytes from the current position (fewer at the end).
    std::string read(uint64_t n);
    // The rest of the file, which must not pass `cap` bytes in all (a
    // file that grows while it is read is cut off there, with an error).
    std::string read_all(uint64_t cap);

private:
    [[noreturn]] void fail(const std::string &why) const;
    int m_fd = -1;
    uint64_t m_size = 0, m_read = 0;
    std::string m_what;
};

// "16 MiB": a byte count for messages.
std::string byte_size(uint64_t bytes);

} // namespace secli

#endif
