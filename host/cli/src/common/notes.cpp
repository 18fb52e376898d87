// notes.cpp - notes on standard error, each once.
#include "common/notes.h"

#include <iostream>
#include <mutex>
#include <set>

#include "common/text.h"

namespace secli {

void note(const std::string &text)
{
    static std::mutex lock;
    static std::set<std::string> told;
    std::lock_guard<std::mutex> hold(lock);
    if (told.insert(text).second)
        std::cerr << "sehost: note: " << terminal_text(text) << std::endl;
}

} // namespace secli
