// The one macro a plug-in needs to export its entry point from a library built with hidden
// symbol visibility.
#pragma once

#if defined(_WIN32)
#define VORN_EXPORT extern "C" __declspec(dllexport)
#else
#define VORN_EXPORT extern "C" __attribute__((visibility("default")))
#endif
