// exports_table.h - the names a plug-in file exports, read from the file
// itself (ELF dynamic symbols or the PE export directory).
#ifndef SEVALIDATE_EXPORTS_TABLE_H
#define SEVALIDATE_EXPORTS_TABLE_H

#include <string>
#include <vector>

namespace sevalidate {

// Answers false with `error` set when the file is neither ELF nor PE or is
// malformed.
bool read_exports(const std::string &path, std::vector<std::string> &names, std::string &error);

} // namespace sevalidate

#endif
