// info.h - `sehost info`: a plug-in's properties and pin table.
#ifndef SEHOST_CLI_INFO_H
#define SEHOST_CLI_INFO_H

#include <nlohmann/json.hpp>
#include <string>

namespace secli {

// InputError for a file that is no plug-in.
nlohmann::json plugin_info(const std::string &path);
std::string info_text(const nlohmann::json &info);

// `info --json`: one shape whatever the number of plug-ins,
//   {"sehost_version": "1.2.0", "plugins": [plugin_info, ...]}
// Plug-in texts need not be UTF-8; invalid bytes become U+FFFD.
std::string info_document(const nlohmann::json &plugins);

} // namespace secli

#endif
