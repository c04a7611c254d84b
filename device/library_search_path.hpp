// Where the system's library loader looks for the libraries a plug-in depends on.
#pragma once

#include <string>

namespace vorn {

// Windows: makes `directory` the process-wide extra DLL search directory (SetDllDirectoryA),
// never restored. Linux has no run-time equivalent (the loader ignores LD_LIBRARY_PATH changes
// after start-up): plug-ins find libraries beside them through an $ORIGIN run path instead, so
// this does nothing there.
void set_library_search_directory(const std::string &directory);

} // namespace vorn
