#pragma once
// A shared library (DLL) with a raw resource of its own, to show that each image's lookup finds
// the resources of that image and no other. One plain C export, named in resource_image.def.

#include <cstddef>

extern "C" {

/// The shared library's own FindRawResource of a NUL-terminated name: the bytes and their
/// count, or null when the library has no such resource.
const char* PlatformTestImageResource(const char16_t* name, std::size_t* size);
}
