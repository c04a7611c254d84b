// The one macro a plug-in needs to export its entry point from a library built with hidden
// symbol visibility, and the one line that stamps the plug-in with the interface version it was
// built against.
#pragma once

#if defined(_WIN32)
#define VORN_EXPORT extern "C" __declspec(dllexport)
#else
#define VORN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// The version of the plug-in interface (<vorn/device.hpp>, <vorn/device_manager.hpp>). It
// changes whenever a frozen layout, virtual order or ownership rule changes.
#define VORN_ABI_TAG "vorn-plugin-abi-1"

// The loader refuses a plug-in whose tag differs from its own; a plug-in without a tag loads
// unchecked, and `vorn check` fails it. VORN_PLUGIN (<vorn/plugin.hpp>) stamps it.
#define VORN_EXPORT_ABI_TAG() VORN_EXPORT const char vorn_abi_tag[] = VORN_ABI_TAG
