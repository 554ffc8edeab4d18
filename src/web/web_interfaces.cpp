#include "web/web_interfaces.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace isapi_web {

std::u16string GUIDToString(const TGUID& guid) {
  static constexpr char16_t Digits[] = u"0123456789ABCDEF";
  std::u16string text(u"{");
  const auto append = [&text](std::uint32_t value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
      text.push_back(Digits[(value >> shift) & 0xF]);
    }
  };
  append(guid.D1, 8);
  text.push_back(u'-');
  append(guid.D2, 4);
  text.push_back(u'-');
  append(guid.D3, 4);
  text.push_back(u'-');
  append(guid.D4[0], 2);
  append(guid.D4[1], 2);
  text.push_back(u'-');
  for (std::size_t i = 2; i < guid.D4.size(); ++i) {
    append(guid.D4[i], 2);
  }
  text.push_back(u'}');
  return text;
}

namespace {

// Readers on many threads load one pointer and call the immutable hook object it names. An
// install publishes a new object; the objects ever installed are kept for the life of the
// process (the application installs three), so no reader can ever hold a freed one.
std::atomic<const TRequestExceptionHook*> CurrentHook{nullptr};

struct TInstalledHooks {
  std::mutex Lock;
  std::vector<std::unique_ptr<const TRequestExceptionHook>> Kept;
};

TInstalledHooks& InstalledHooks() {
  static TInstalledHooks hooks;
  return hooks;
}

} // namespace

void SetRequestExceptionHook(TRequestExceptionHook hook) {
  if (!hook.Assigned()) {
    CurrentHook.store(nullptr, std::memory_order_release);
    return;
  }
  TInstalledHooks& hooks = InstalledHooks();
  std::lock_guard<std::mutex> guard(hooks.Lock);
  hooks.Kept.push_back(std::make_unique<const TRequestExceptionHook>(std::move(hook)));
  CurrentHook.store(hooks.Kept.back().get(), std::memory_order_release);
}

TRequestExceptionHook RequestExceptionHook() {
  const TRequestExceptionHook* hook = CurrentHook.load(std::memory_order_acquire);
  return hook != nullptr ? *hook : TRequestExceptionHook();
}

bool OfferRequestError(TObject* Sender, const std::exception_ptr& E) {
  if (!E) {
    return false;
  }
  try {
    std::rethrow_exception(E);
  } catch (const Exception& error) {
    bool handled = false;
    if (auto* errorHandler = Supports<IRequestErrorHandler>(Sender)) {
      errorHandler->HandleRequestError(error, handled);
    }
    return handled;
  } catch (...) {
    return false;
  }
}

bool CallRequestExceptionHook(TObject* Sender) {
  const TRequestExceptionHook* hook = CurrentHook.load(std::memory_order_acquire);
  if (hook == nullptr) {
    return false;
  }
  (*hook)(Sender);
  return true;
}

} // namespace isapi_web
