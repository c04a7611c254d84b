// Fault: the entry point is exported under the wrong name, so the library loads but has no
// create_manager.
#include <vorn/device_manager.hpp>
#include <vorn/export.hpp>

VORN_EXPORT vorn::DeviceManager *make_manager() { return nullptr; }
