// Fault: create_manager throws a class of its own, not derived from std::exception, whose type
// information and destructor live in this library.
#include <vorn/device_manager.hpp>
#include <vorn/export.hpp>

#include <string>

namespace {

struct PluginError {
    std::string reason;
};

} // namespace

VORN_EXPORT vorn::DeviceManager *create_manager() {
    throw PluginError{std::string(64, 'x')}; // long enough to own heap memory
}
