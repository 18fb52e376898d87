// events_out.h - events.jsonl: every event of a run as one JSON line.
#ifndef SEHOST_CLI_EVENTS_OUT_H
#define SEHOST_CLI_EVENTS_OUT_H

#include <cstdio>
#include <string>
#include <vector>

namespace secli {

class EventsOut
{
public:
    explicit EventsOut(const std::string &path);
    ~EventsOut();
    void write(const std::string &line); // one JSON object; the newline is added
    void close();

private:
    std::FILE *m_file = nullptr;
    std::vector<char> m_buffer; // the stream's buffer: lines leave in large writes
    std::string m_path;
};

} // namespace secli

#endif
