// Parsing of registry files as Windows exports them. The whole file is parsed into a list
// of operations before anything is applied, so a malformed file changes nothing.
#ifndef REGEMU_REGFILE_H
#define REGEMU_REGFILE_H

#include "regemu.h"

#include <string>
#include <string_view>
#include <vector>

namespace regemu {

struct ImportOp {
    enum class Kind {
        OpenKey,      // creates root\path if missing; later value operations apply to it
        DeleteKey,    // deletes root\path and everything below it
        SetValue,
        DeleteValue,
    };
    Kind kind = Kind::OpenKey;
    int root = 0;  // index of the predefined key, 0 = HKEY_CLASSES_ROOT
    std::vector<std::string> path;
    std::string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct ImportProblem {
    size_t line = 0;
    std::string reason;
};

// The file's bytes in, operations out; false with the problem for a malformed file.
bool parseRegFile(std::string_view bytes, std::vector<ImportOp> &ops, ImportProblem &problem);

}  // namespace regemu

#endif
