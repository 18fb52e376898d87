// library.cpp - loading a plug-in library and reading its properties.
#include "sehost/library.h"

#include <cstring>

#include "sehost/host_error.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace sehost {
namespace {

#if defined(_WIN32)
void *open_library(const std::string &path, std::string &why)
{
    HMODULE h = LoadLibraryA(path.c_str());
    if (!h)
        why = "LoadLibrary error " + std::to_string(GetLastError());
    return reinterpret_cast<void *>(h);
}
void *find_symbol(void *handle, const char *name)
{
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(handle), name));
}
void close_library(void *handle)
{
    FreeLibrary(static_cast<HMODULE>(handle));
}
#else
void *open_library(const std::string &path, std::string &why)
{
    // A bare file name would make the loader search its paths.
    std::string name = path.find('/') == std::string::npos ? "./" + path : path;
    void *h = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char *e = dlerror();
        why = e ? e : "dlopen failed";
    }
    return h;
}
void *find_symbol(void *handle, const char *name)
{
    return dlsym(handle, name);
}
void close_library(void *handle)
{
    dlclose(handle);
}
#endif

// A module text must be a readable, zero-terminated 8-bit text of sane length.
std::string copy_text(const std::string &path, const char *what, const char *text)
{
    if (!text)
        throw HostError(path + ": getModuleProperties left " + what + " null");
    const size_t limit = 1u << 16;
    size_t n = 0;
    while (n < limit && text[n] != '\0') {
        unsigned char c = static_cast<unsigned char>(text[n]);
        if (c < 0x20 && c != '\n' && c != '\t' && c != '\r')
            throw HostError(path + ": " + what + " holds control character " + std::to_string(c));
        ++n;
    }
    if (n == limit)
        throw HostError(path + ": " + what + " is not terminated within 64 KiB");
    return std::string(text, n);
}

} // namespace

std::shared_ptr<Library> Library::load(const std::string &path)
{
    std::string why;
    void *handle = open_library(path, why);
    if (!handle)
        throw HostError("cannot load plug-in " + path + ": " + why);
    std::shared_ptr<Library> lib(new Library());
    lib->m_path = path;
    lib->m_handle = handle;
    void *props = find_symbol(handle, SE_EXPORT_GET_PROPERTIES);
    if (!props)
        throw HostError(path + ": export " SE_EXPORT_GET_PROPERTIES " is missing");
    void *make = find_symbol(handle, SE_EXPORT_MAKE_MODULE);
    if (!make)
        throw HostError(path + ": export " SE_EXPORT_MAKE_MODULE " is missing");
    lib->m_get_properties = reinterpret_cast<se_get_module_properties_fn>(props);
    lib->m_make_module = reinterpret_cast<se_make_module_fn>(make);
    return lib;
}

Library::~Library()
{
    if (m_handle)
        close_library(m_handle);
}

ModuleInfo Library::properties() const
{
    ModuleProperties record;
    std::memset(&record, 0, sizeof record);
    int32_t answer = m_get_properties(0, &record);
    if (answer != 1)
        throw HostError(m_path + ": getModuleProperties(0) answered " + std::to_string(answer) +
                        ", expected 1");
    ModuleInfo info;
    info.name = copy_text(m_path, "name", record.name);
    info.identifier = copy_text(m_path, "identifier", record.identifier);
    info.about = copy_text(m_path, "about", record.about);
    info.flags = record.flags;
    info.sdk_revision = record.sdk_revision;
    return info;
}

} // namespace sehost
