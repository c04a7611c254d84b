// Fault: stamped with an interface version this module does not speak; never gets called.
#include <vorn/device_manager.hpp>
#include <vorn/export.hpp>

VORN_EXPORT const char vorn_abi_tag[] = "vorn-plugin-abi-0";
VORN_EXPORT vorn::DeviceManager *create_manager() { return nullptr; }
