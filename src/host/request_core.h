#pragma once
// What every family of the bridge's calls shares of one request: what the extension was asked,
// its control block, the request's lock, the channel to the client, and how far the body has been
// read. TRequest (bridge.h) is the one kind of request; the families below it reach it through
// this alone, so that none of them needs the file above it.

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "host/client_channel.h"
#include "host/response_text.h"
#include "host/server_variables.h"
#include "isapi/isapi_host_interface.h"

namespace isapi_web::host {

class TExtension;

/// Body bytes placed in lpbData before the extension is called; the rest comes by ReadClient.
inline constexpr std::size_t MaxPreloadedBody = 48 * 1024;
/// cbTotalBytes when the request has no Content-Length.
inline constexpr DWORD UnknownTotalBytes = 0xFFFFFFFF;

/// What serves a URL of a child request: an extension, with the URL split as the host maps it.
struct TRoute {
  const TExtension* Extension = nullptr;
  std::string ScriptName;
  std::string PathInfo;
};
/// Finds the extension mapped to a normalised path; nullopt: a static file under the root.
using TRouter = std::function<std::optional<TRoute>(std::string_view path)>;

/// What a request is made of before the extension sees it.
struct TRequestSetup {
  TRequestInfo Info;
  std::string Body;         ///< the body's first bytes (read ahead), or all of it
  bool BodyComplete = true; ///< false: the rest comes from the channel's ReceiveBody
  DWORD TotalBytes = UnknownTotalBytes;
  bool HeadOnly = false;
  TConnectionState Connection;
  const std::filesystem::path* Root = nullptr; ///< for map-URL-to-path; outlives the request
  const TRouter* Router = nullptr;             ///< for child requests; outlives the request
  /// A child whose parent sends the headers: its answer is body bytes only, framed by the parent.
  bool BodyOnly = false;
  unsigned ChildDepth = 0; ///< how many parents the request has
};

/// One request as the families of calls see it. The fields are guarded by Mutex, the request's
/// lock, but for those set before the extension is called.
class TRequestCore : public std::enable_shared_from_this<TRequestCore> {
public:
  /// Fills the control block but for ConnID and the four callbacks.
  TRequestCore(const TExtension& extension, TRequestSetup&& setup,
               std::shared_ptr<IClientChannel>&& channel);
  virtual ~TRequestCore();
  TRequestCore(const TRequestCore&) = delete;
  TRequestCore& operator=(const TRequestCore&) = delete;

  /// Calls HttpExtensionProc on the calling thread (the owner) and handles its status.
  virtual void Run() = 0;
  /// Ends the request with a host page unless it has ended already (see TRequest::Expire).
  virtual bool Expire(unsigned status, std::string_view note, bool onOwnerThread, bool wait) = 0;
  /// Ends the request as status says, or once the pending operation has completed. Called with
  /// the lock held in lock, which the end releases.
  virtual void EndLocked(std::unique_lock<std::mutex>& lock, DWORD status, bool onOwnerThread) = 0;
  /// Ends the request with a host page, or cuts the pending operation short and ends it after.
  virtual void ExpireLocked(std::unique_lock<std::mutex>& lock, unsigned status,
                            std::string_view note, bool onOwnerThread) = 0;
  /// A request of the same kind, a child of this one, that answers through channel.
  virtual std::shared_ptr<TRequestCore> CreateChild(const TExtension& extension,
                                                    TRequestSetup&& setup,
                                                    std::shared_ptr<IClientChannel> channel) = 0;

  const TExtension& Extension;
  TRequestSetup Setup;
  std::string ContentType;
  EXTENSION_CONTROL_BLOCK ECB{};

  mutable std::mutex Mutex; // the request's lock: guards what follows and the families' state
  std::shared_ptr<IClientChannel> Channel; ///< null once the request has ended
  /// The request has ended: its ConnID is no longer live. Written under the lock; read without
  /// it by whoever only asks whether the request has ended.
  std::atomic<bool> Finished = false;
  bool ProcReturned = false;               ///< HttpExtensionProc has returned
  std::size_t ReadOffset = 0;              ///< where in Setup.Body the next read starts
  bool BodyComplete = true;                ///< the whole body has been read (or was given up front)
};

} // namespace isapi_web::host
