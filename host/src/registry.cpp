// registry.cpp - see registry.h.
#include "registry.h"

#include <unordered_map>

namespace sehost {
namespace registry {
namespace {

struct Entry {
    DspInstance *dsp;
    GuiInstance *gui;
};

std::unordered_map<const void *, Entry> &table() {
    static std::unordered_map<const void *, Entry> t;
    return t;
}

DspInstance *g_making_dsp = nullptr;
GuiInstance *g_making_gui = nullptr;

std::vector<std::string> &orphans() {
    static std::vector<std::string> v;
    return v;
}

} // namespace

void add(const void *record, DspInstance *dsp) { table()[record] = Entry{dsp, nullptr}; }
void add(const void *record, GuiInstance *gui) { table()[record] = Entry{nullptr, gui}; }
void remove(const void *record) { table().erase(record); }

DspInstance *find_dsp(const void *record) {
    auto it = table().find(record);
    return it == table().end() ? nullptr : it->second.dsp;
}

GuiInstance *find_gui(const void *record) {
    auto it = table().find(record);
    return it == table().end() ? nullptr : it->second.gui;
}

void set_making(DspInstance *dsp, GuiInstance *gui) {
    g_making_dsp = dsp;
    g_making_gui = gui;
}
DspInstance *making_dsp() { return g_making_dsp; }
GuiInstance *making_gui() { return g_making_gui; }

void orphan_error(const std::string &message) { orphans().push_back(message); }
const std::vector<std::string> &orphan_errors() { return orphans(); }

} // namespace registry
} // namespace sehost

namespace sehost {
const std::vector<std::string> &orphan_errors() { return registry::orphan_errors(); }
} // namespace sehost
