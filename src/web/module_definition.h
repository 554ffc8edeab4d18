#pragma once
// The definition reader: applies a stored module definition (ordered JSON, see
// docs/module-definitions.md) to an existing component through the published properties and
// methods of its class, creating the child components it lists.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "runtime/component.h"

namespace isapi_web {

/// Applies one definition to Root: flags it loading and reading, presets OldCreateOrder (data
/// modules), names it, assigns its properties in stored order and reads its children. ClassName
/// is the class the definition belongs to (Root's class or an ancestor). Raises EReadError for a
/// malformed definition, an unknown property or class and an invalid value; setters raise their
/// own errors. Loaded runs when the outermost read scope of the thread ends.
void ReadComponentDefinition(TComponent& Root, std::string_view Definition,
                             std::u16string_view ClassName);

/// One read on this thread, holding the name-space lock. Complete() on the outermost scope
/// resolves the references between the components read and calls Loaded on each of them; a
/// scope left without Complete (an error) only clears their loading and reading flags.
class TDefinitionReadScope {
public:
  TDefinitionReadScope();
  ~TDefinitionReadScope();
  TDefinitionReadScope(const TDefinitionReadScope&) = delete;
  TDefinitionReadScope& operator=(const TDefinitionReadScope&) = delete;

  void Complete();

private:
  std::unique_lock<std::recursive_mutex> FLock;
  bool FCompleted = false;
  // The thread's read state, owned by its outermost scope.
  std::shared_ptr<void> FOwnedState;
};

/// The stored name when the runtime's uniqueness test accepts it, else Name_1, Name_2, ...
std::u16string UniqueComponentName(std::u16string_view Name);

/// Retries component references that no read could resolve, through FindGlobalComponent.
void GlobalFixupReferences();

/// Definitions applied in this process so far (each ReadComponentDefinition that started).
std::int64_t DefinitionReadCount() noexcept;

} // namespace isapi_web
