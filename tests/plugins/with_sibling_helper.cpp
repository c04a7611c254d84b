// The sibling library of the with_sibling plug-in; it lies in the plug-in's directory only.
#include <vorn/export.hpp>

VORN_EXPORT const char *vorn_test_sibling_greeting() { return "hello from the sibling"; }
