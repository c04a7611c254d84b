// Fault: create_manager succeeds but hands back no manager.
#include <vorn/device_manager.hpp>
#include <vorn/export.hpp>

VORN_EXPORT vorn::DeviceManager *create_manager() { return nullptr; }
