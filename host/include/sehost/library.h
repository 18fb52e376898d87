// library.h - one loaded plug-in library.
#ifndef SEHOST_LIBRARY_H
#define SEHOST_LIBRARY_H

#include <cstdint>
#include <memory>
#include <string>

#include "se_plugin.h"

namespace sehost {

// What getModuleProperties(0) answered, texts copied.
struct ModuleInfo {
    std::string name;
    std::string identifier;
    std::string about;
    int32_t flags = 0;
    int32_t sdk_revision = 0;
};

// Owns the library handle; instances keep a shared_ptr so the code stays
// mapped while any object of the library lives.
//
//   auto lib = sehost::Library::load(se_test::plugin_path("pitch_adjust"));
//   sehost::ModuleInfo info = lib->properties();
class Library
{
public:
    // Loads the library and resolves both exports.  HostError (naming the
    // path and the export) if it does not load or an export is missing.
    static std::shared_ptr<Library> load(const std::string &path);
    ~Library();
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;

    const std::string &path() const { return m_path; }

    // getModuleProperties(0) on a cleared record: must answer 1 with
    // non-null, printable name, identifier and about text.  HostError else.
    ModuleInfo properties() const;

    // The raw exports, for tests of the boundary itself.
    se_get_module_properties_fn get_properties_fn() const { return m_get_properties; }
    se_make_module_fn make_module_fn() const { return m_make_module; }

private:
    Library() = default;
    std::string m_path;
    void *m_handle = nullptr;
    se_get_module_properties_fn m_get_properties = nullptr;
    se_make_module_fn m_make_module = nullptr;
};

} // namespace sehost

#endif
