// Raw resources compiled into the image by iw_embed_resources. Each generated object puts a
// pointer to one entry per resource into the section "isapi_web_resources"; the linker gathers the
// entries of every object of the image into one array and marks its ends with __start_/__stop_
// symbols. Nothing has to reference the generated objects and nothing runs at load, and every image
// (executable or shared library) sees only its own entries, as a Windows module sees its own
// resources.

#include "platform/platform.h"

namespace isapi_web::platform {

namespace {

// The layout of an entry; cmake/EmbedResources.cmake writes the same one.
struct TResourceEntry {
  const char* Name;
  const unsigned char* Data;
  std::size_t Size;
};

} // namespace

// Weak, so that an image without resources links (both ends are then null); hidden, so that
// each image finds its own section and not that of another shared object.
extern "C" {
extern const TResourceEntry* const __start_isapi_web_resources[]
    __attribute__((weak, visibility("hidden")));
extern const TResourceEntry* const __stop_isapi_web_resources[]
    __attribute__((weak, visibility("hidden")));
}

namespace {

char16_t UpperAscii(char16_t c) {
  return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
}

bool SameName(const char* entryName, std::u16string_view name) {
  for (const char16_t c : name) {
    const auto entryChar = static_cast<unsigned char>(*entryName++);
    if (entryChar == 0 || UpperAscii(entryChar) != UpperAscii(c))
      return false;
  }
  return *entryName == 0;
}

} // namespace

std::optional<std::string_view> FindRawResource(std::u16string_view name) {
  const TResourceEntry* const* entry = __start_isapi_web_resources;
  const TResourceEntry* const* const end = __stop_isapi_web_resources;
  if (entry == nullptr || end == nullptr || name.empty())
    return std::nullopt;
  for (; entry != end; ++entry) {
    if (SameName((*entry)->Name, name)) {
      return std::string_view(reinterpret_cast<const char*>((*entry)->Data), (*entry)->Size);
    }
  }
  return std::nullopt;
}

} // namespace isapi_web::platform
