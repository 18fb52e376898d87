// registry.h - live instances, found by their plug record address.
//
// The host callback receives only the record address.  Every instance is
// registered under its record; a request from an unregistered record is
// answered 0 and kept as an orphan error.  While makeModule runs, the
// record is not known yet, so requests then go to the instance being made.
// One thread drives all instances (the host contract's rule).
#ifndef SEHOST_REGISTRY_H
#define SEHOST_REGISTRY_H

#include <string>
#include <vector>

namespace sehost {

class DspInstance;
class GuiInstance;

namespace registry {

void add(const void *record, DspInstance *dsp);
void add(const void *record, GuiInstance *gui);
void remove(const void *record);
DspInstance *find_dsp(const void *record);
GuiInstance *find_gui(const void *record);

// The instance whose makeModule call is running, or null.
void set_making(DspInstance *dsp, GuiInstance *gui);
DspInstance *making_dsp();
GuiInstance *making_gui();

void orphan_error(const std::string &message);
// Requests from records of no live instance, oldest first.
const std::vector<std::string> &orphan_errors();

} // namespace registry
} // namespace sehost

#endif
