#include "library_search_path.hpp"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace vorn {

void set_library_search_directory(const std::string &directory) {
#if defined(_WIN32)
    ::SetDllDirectoryA(directory.c_str());
#else
    (void)directory;
#endif
}

} // namespace vorn
