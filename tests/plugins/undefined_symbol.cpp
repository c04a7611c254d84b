// Fault: the plug-in calls a function that no library defines. It links (undefined symbols are
// allowed in a module) but cannot be loaded with immediate binding.
#include <vorn/device_manager.hpp>
#include <vorn/export.hpp>

extern "C" vorn::DeviceManager *vorn_test_factory_nobody_defines();

VORN_EXPORT vorn::DeviceManager *create_manager() { return vorn_test_factory_nobody_defines(); }
