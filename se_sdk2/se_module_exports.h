// se_module_exports.h - defines a deliverable's two exports in one line.
//
//   static const se_sdk::ModuleIdentity kIdentity = {name, identifier, about,
//                                                    flags, sdk_revision};
//   SE_MODULE_EXPORTS(kIdentity, Module, GuiModule)
//
// Pass `void` as the GUI class for a module without a GUI side: makeModule
// then answers null for type 2.
#ifndef SE_MODULE_EXPORTS_H
#define SE_MODULE_EXPORTS_H

#include <new>

#include "se_plugin.h"
#include "se_shield.h"

namespace se_sdk {

struct ModuleIdentity {
    const char *name;
    const char *identifier;
    const char *about;
    int32_t flags; // written only when non-zero
    int32_t sdk_revision;
    bool revision_for_every_index = false; // write sdk_revision before looking at the index
};

inline int32_t fill_properties(const ModuleIdentity &id, int32_t index,
                               ModuleProperties *p) noexcept
{
    if (p == nullptr)
        return 0;
    if (id.revision_for_every_index)
        p->sdk_revision = id.sdk_revision;
    if (index != 0)
        return 0; // one module per library
    p->name = id.name;
    p->identifier = id.identifier;
    p->about = id.about;
    if (id.flags != 0)
        p->flags = id.flags;
    p->sdk_revision = id.sdk_revision;
    return 1;
}

// Creates one side and answers its plug record; null when memory runs out
// or the constructor throws.
template <class T> void *make_side(se_host_callback callback, void *host_data) noexcept
{
    return shield<void *>(nullptr, [&]() -> void * {
        T *object = new (std::nothrow) T(callback, host_data);
        return object != nullptr ? static_cast<void *>(object->Plug()) : nullptr;
    });
}
template <> inline void *make_side<void>(se_host_callback, void *) noexcept
{
    return nullptr;
}

} // namespace se_sdk

#define SE_MODULE_EXPORTS(IDENTITY, DSP_CLASS, GUI_CLASS)                                          \
    SE_EXPORT int32_t SE_CALL getModuleProperties(int32_t index,                                   \
                                                  ModuleProperties *properties) noexcept           \
    {                                                                                              \
        return ::se_sdk::fill_properties(IDENTITY, index, properties);                             \
    }                                                                                              \
    SE_EXPORT void *SE_CALL makeModule(int32_t index, int32_t type, se_host_callback callback,     \
                                       void *host_data) noexcept                                   \
    {                                                                                              \
        if (index != 0)                                                                            \
            return nullptr;                                                                        \
        if (type == SE_MAKE_DSP)                                                                   \
            return ::se_sdk::make_side<DSP_CLASS>(callback, host_data);                            \
        if (type == SE_MAKE_GUI)                                                                   \
            return ::se_sdk::make_side<GUI_CLASS>(callback, host_data);                            \
        return nullptr;                                                                            \
    }

#endif
