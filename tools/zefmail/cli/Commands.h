// zefmail's commands and the one place that runs them.
#pragma once

#include <string>
#include <vector>

#include "tools/zefmail/cli/Console.h"

namespace zef::zefmail {

// Runs the command the words name (`zefmail send ...`), or sendmail when the program was
// started under that name; the exit status.
int RunZefmail(const std::string& program, const std::vector<std::string>& args,
               const Console& console);

}  // namespace zef::zefmail
