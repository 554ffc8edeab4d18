#include "resource_image.h"

#include "platform/platform.h"

extern "C" const char* PlatformTestImageResource(const char16_t* name, std::size_t* size) {
  const auto bytes = isapi_web::platform::FindRawResource(name);
  if (!bytes)
    return nullptr;
  *size = bytes->size();
  return bytes->data();
}
