// Fault: create_manager throws a standard exception.
#include <vorn/device_manager.hpp>
#include <vorn/export.hpp>

#include <stdexcept>

VORN_EXPORT vorn::DeviceManager *create_manager() { throw std::runtime_error("factory exploded"); }
