// registry.cpp - see registry.h.
#include "registry.h"

#include <atomic>
#include <cstdint>
#include <unordered_map>

namespace sehost {
namespace registry {
namespace {

struct Entry {
    DspInstance *dsp;
    GuiInstance *gui;
};

std::unordered_map<const void *, Entry> &table()
{
    static std::unordered_map<const void *, Entry> t;
    return t;
}

// The record asked about last and its entry, per thread: a module makes
// its requests in runs (a block's sends come from one instance), so most
// lookups are answered here without hashing.  Every change of the table
// starts a new generation, which empties every thread's cache.
std::atomic<uint64_t> g_generation{1};

struct LastFound {
    const void *record;
    Entry entry;
    uint64_t generation;
};
thread_local LastFound t_last{nullptr, Entry{nullptr, nullptr}, 0};

void forget_last()
{
    g_generation.fetch_add(1, std::memory_order_acq_rel);
}

const Entry *lookup(const void *record)
{
    const uint64_t generation = g_generation.load(std::memory_order_acquire);
    if (record && record == t_last.record && t_last.generation == generation)
        return &t_last.entry;
    auto it = table().find(record);
    if (it == table().end())
        return nullptr;
    t_last = LastFound{record, it->second, generation};
    return &t_last.entry;
}

DspInstance *g_making_dsp = nullptr;
GuiInstance *g_making_gui = nullptr;

std::vector<std::string> &orphans()
{
    static std::vector<std::string> v;
    return v;
}

} // namespace

void add(const void *record, DspInstance *dsp)
{
    forget_last();
    table()[record] = Entry{dsp, nullptr};
}
void add(const void *record, GuiInstance *gui)
{
    forget_last();
    table()[record] = Entry{nullptr, gui};
}
void remove(const void *record)
{
    forget_last();
    table().erase(record);
}

DspInstance *find_dsp(const void *record)
{
    const Entry *e = lookup(record);
    return e ? e->dsp : nullptr;
}

GuiInstance *find_gui(const void *record)
{
    const Entry *e = lookup(record);
    return e ? e->gui : nullptr;
}

void set_making(DspInstance *dsp, GuiInstance *gui)
{
    g_making_dsp = dsp;
    g_making_gui = gui;
}
DspInstance *making_dsp()
{
    return g_making_dsp;
}
GuiInstance *making_gui()
{
    return g_making_gui;
}

void orphan_error(const std::string &message)
{
    orphans().push_back(message);
}
const std::vector<std::string> &orphan_errors()
{
    return orphans();
}

} // namespace registry
} // namespace sehost

namespace sehost {
const std::vector<std::string> &orphan_errors()
{
    return registry::orphan_errors();
}
} // namespace sehost
