// A well-behaved plug-in that depends on a library lying next to it (found through $ORIGIN).
// Its manager's info() is the sibling's greeting, fetched in create_manager.
#include <vorn/device_manager.hpp>
#include <vorn/export.hpp>

#include <string>

extern "C" const char *vorn_test_sibling_greeting();

namespace {

class SiblingManager final : public vorn::DeviceManager {
  public:
    explicit SiblingManager(std::string greeting) : greeting_(std::move(greeting)) {}

    std::string info() override { return greeting_; }
    std::filesystem::path location() override { return {}; }
    std::string list_devices() override { return {}; }
    std::string get_device_options() override { return {}; }
    vorn::DevicePtr create_device(const std::string &) override { return {}; }

  private:
    std::string greeting_;
};

} // namespace

VORN_EXPORT vorn::DeviceManager *create_manager() {
    return new SiblingManager(vorn_test_sibling_greeting());
}
