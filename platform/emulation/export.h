// Writing keys out as a "Windows Registry Editor Version 5.00" file, the way Windows' editor
// writes one: UTF-16LE with a byte order mark, CRLF line ends, subkeys after their key in
// name order, values in the order they were created, hex data wrapped at 80 columns.
#ifndef REGEMU_EXPORT_H
#define REGEMU_EXPORT_H

#include "state.h"

#include <string>

namespace regemu {

// The file's bytes for the key and everything below it; the caller holds the TreeLock.
std::string exportDocument(State &s, Key &top);
// The file's bytes for every root that holds anything; takes the TreeLock itself.
std::string exportEverything(State &s);
// Writes the bytes to `path`; a file that cannot be written whole is removed.
LONG writeExportFile(const char *path, const std::string &bytes, std::string &message);

}  // namespace regemu

#endif
