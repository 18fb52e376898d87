// info.h - `sehost info`: a plug-in's properties and pin table.
#ifndef SEHOST_CLI_INFO_H
#define SEHOST_CLI_INFO_H

#include <nlohmann/json.hpp>
#include <string>

namespace secli {

// InputError for a file that is no plug-in.
nlohmann::json plugin_info(const std::string &path);
std::string info_text(const nlohmann::json &info);

} // namespace secli

#endif
