// isapi-host: a development web server that loads ISAPI extensions and serves HTTP through
// them, and `isapi-host call`, one request in-process with a transcript.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>

#include <CLI/CLI.hpp>

#include "host/access_log.h"
#include "host/call_command.h"
#include "host/extension.h"
#include "host/host_system.h"
#include "host/http_server.h"
#include "host/response_text.h"
#include "host/shutdown_deadline.h"
#if ISAPI_HOST_TLS
#include "host/tls_context.h"
#endif
#include "host/url_path.h"

namespace host = isapi_web::host;
namespace fs = std::filesystem;

namespace {

constexpr const char* DefaultPrefix = "/scripts/moravel.dll";

fs::path ExecutableFolder() {
  return host::ExecutablePath().parent_path();
}

// The built moravel: beside the executable, or in the build tree's src/moravel/.
std::optional<fs::path> FindDefaultExtension(std::string& lookedAt) {
  const std::string name = "moravel" + std::string(host::ExtensionSuffix());
  const fs::path folder = ExecutableFolder();
  for (const fs::path& candidate : {folder / name, folder.parent_path() / "moravel" / name}) {
    lookedAt += (lookedAt.empty() ? "" : ", ") + candidate.lexically_normal().string();
    std::error_code error;
    if (fs::is_regular_file(candidate, error))
      return candidate.lexically_normal();
  }
  return std::nullopt;
}

bool ParseListen(const std::string& text, std::string& address, unsigned short& port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 == text.size())
    return false;
  address = text.substr(0, colon);
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
    address = address.substr(1, address.size() - 2);
  const std::string portText = text.substr(colon + 1);
  if (portText.find_first_not_of("0123456789") != std::string::npos || portText.size() > 5)
    return false;
  const unsigned long value = std::stoul(portText);
  if (value > 65535)
    return false;
  port = static_cast<unsigned short>(value);
  return !address.empty();
}

int Fail(const std::string& message) {
  std::cerr << "isapi-host: " << message << "\n";
  return 1;
}

} // namespace

int main(int argc, char** argv) {
  host::PrepareProcessHeap();
  CLI::App app{"isapi-host: a development web server that loads ISAPI extensions (a .dll on "
               "Windows, a .so on Linux) and serves HTTP through them as IIS does.\n"
               "With no arguments it serves the built moravel at /scripts/moravel.dll and a "
               "demo page at / on 127.0.0.1:8080.",
               "isapi-host"};
  std::string listen = "127.0.0.1:8080";
  std::string listenTls;
  std::string certFile;
  std::string keyFile;
  std::string clientCert = "none";
  std::string clientCa;
  std::vector<std::string> maps;
  std::string root;
  std::string accessLog;
  double pendingTimeout = 120;
  double shutdownTimeout = 30;
  double connectionTimeout = 120;
  unsigned minBytesPerSecond = 240;
  double headerWaitTimeout = 120;
  // Room for the files the host serves, its log and what the extension opens itself.
  const std::size_t descriptors = host::RaiseDescriptorLimit();
  std::size_t maxConnections = std::max<std::size_t>(16, descriptors - descriptors / 8 - 16);
  std::uint64_t maxRequestBody = 30'000'000;
  // One loop by default: on a small machine a second loop only adds thread switches (measured
  // on two processors with the client on one of them: 107k against 79k requests per second in
  // direct mode), and a blocked extension call gets its loop another thread anyway.
  unsigned threads = 1;
  unsigned maxThreads = 64;
  std::size_t queueLength = 1000;
  app.add_option("--listen", listen,
                 "ADDR:PORT to listen on; port 0 takes a free port (the first line printed "
                 "tells which)")
      ->capture_default_str();
  app.add_option("--listen-tls", listenTls,
                 "ADDR:PORT of an HTTPS listener beside the plain one (TLS 1.2 and 1.3); port 0 "
                 "takes a free port (a second line printed tells which)");
  app.add_option("--cert", certFile,
                 "PEM file of the HTTPS listener's certificate (and chain). Default: a "
                 "development certificate for localhost, made once and kept in the user's cache "
                 "folder");
  app.add_option("--key", keyFile, "PEM file of the certificate's private key");
  app.add_option("--client-cert", clientCert,
                 "whether an HTTPS client is asked for a certificate: none, optional (one whose "
                 "issuer is not in --client-ca is taken and flagged) or require")
      ->capture_default_str()
      ->check(CLI::IsMember({"none", "optional", "require"}));
  app.add_option("--client-ca", clientCa,
                 "PEM file of the authorities a client certificate is checked against");
  app.add_option("--map", maps,
                 "PREFIX=FILE: serve URLs under PREFIX with the extension FILE; everything after "
                 "PREFIX is the path info. Repeatable. Default: " +
                     std::string(DefaultPrefix) + "=the built moravel");
  app.add_option("--root", root,
                 "folder of the static files served for unmapped URLs (GET/HEAD, index.html) "
                 "and of the map-URL-to-path answers. Default: the demo folder beside the "
                 "executable");
  app.add_option("--access-log", accessLog,
                 "write a W3C extended access log to FILE (appending), or to standard output "
                 "with -");
  app.add_option("--pending-timeout", pendingTimeout,
                 "seconds a pending request (HSE_STATUS_PENDING) may take before the client "
                 "gets 500 and the connection closes")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--shutdown-timeout", shutdownTimeout,
                 "seconds that SIGINT/SIGTERM waits for requests in flight before answering "
                 "503 to the rest")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.add_option("--connection-timeout", connectionTimeout,
                 "seconds a connection may stay idle between requests, and a request body or an "
                 "answer may go without a byte moving, before the connection closes (IIS's "
                 "connectionTimeout); a synchronous WriteClient the client does not take in "
                 "time fails")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--min-bytes-per-second", minBytesPerSecond,
                 "a request body or an answer slower than this, once the connection timeout's "
                 "grace is spent, ends the connection (IIS's minBytesPerSecond); 0: no minimum")
      ->capture_default_str();
  app.add_option("--header-wait-timeout", headerWaitTimeout,
                 "seconds a request head may take once its first byte came (HTTP.sys's "
                 "HeaderWait); slower heads close the connection")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--max-request-body", maxRequestBody,
                 "bytes of the largest request body taken (IIS's maxAllowedContentLength); a "
                 "larger one is answered 413")
      ->capture_default_str();
  app.add_option("--max-connections", maxConnections,
                 "connections open at once; at the limit a new client takes the room of the "
                 "connection idle longest. The default leaves an eighth of the process's "
                 "descriptor limit (" +
                     std::to_string(descriptors) + ") to files and the extension")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--threads", threads,
                 "network loops, each run by its own thread; a quick extension call runs on it "
                 "(direct mode answers there), and one that blocks leaves the loop to a fresh "
                 "thread")
      ->capture_default_str()
      ->check(CLI::Range(1u, 1024u));
  app.add_option("--max-threads", maxThreads,
                 "at most this many extension calls at once (HttpExtensionProc, completions), "
                 "each on a thread that may block; further requests for extensions wait in the "
                 "queue")
      ->capture_default_str()
      ->check(CLI::Range(1u, 4096u));
  app.add_option("--queue-length", queueLength,
                 "requests that may wait for an extension thread (IIS's queueLength); beyond "
                 "them a request for an extension is answered 503 at once")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{0}, std::size_t{1} << 20));

  CLI::App* call = app.add_subcommand(
      "call", "run one request in-process against EXTENSION and print as JSON every callback "
              "it made, the host's answers and the HTTP response the client would get "
              "(bytes above 127 appear as the Latin-1 characters of the same number)");
  host::TCallOptions callOptions;
  std::string callExtension;
  std::string callRoot;
  double callPendingTimeout = 120;
  call->add_option("EXTENSION", callExtension, "the extension file (.so or .dll)")->required();
  call->add_option("--method", callOptions.Method, "request method")->capture_default_str();
  call->add_option("--path-info", callOptions.PathInfo, "PATH_INFO, e.g. /a/b");
  call->add_option("--query", callOptions.Query, "QUERY_STRING, without '?'");
  call->add_option("--header", callOptions.Headers, "a request header 'Name: value'; repeatable");
  call->add_option("--body", callOptions.Body, "the request body");
  call->add_option("--script-name", callOptions.ScriptName,
                   "SCRIPT_NAME (default /scripts/ and the extension's file name)");
  call->add_option("--root", callRoot, "root folder for PATH_TRANSLATED and map-URL-to-path");
  call->add_option("--pending-timeout", callPendingTimeout, "seconds to wait for a pending request")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);

  CLI11_PARSE(app, argc, argv);

  if (call->parsed()) {
    callOptions.Extension = fs::absolute(callExtension);
    if (!callRoot.empty())
      callOptions.Root = fs::absolute(callRoot);
    callOptions.PendingTimeout =
        std::chrono::milliseconds(static_cast<long long>(callPendingTimeout * 1000));
    return host::RunCallCommand(callOptions, std::cout, std::cerr);
  }

  // Before the extensions load: the threads they start must not take the stop signals either.
  host::HoldStopSignals();
  host::TServerOptions options;
  if (!ParseListen(listen, options.Address, options.Port))
    return Fail("--listen needs ADDR:PORT, not '" + listen + "'");
  if (!listenTls.empty()) {
#if ISAPI_HOST_TLS
    if (!ParseListen(listenTls, options.TlsAddress, options.TlsPort))
      return Fail("--listen-tls needs ADDR:PORT, not '" + listenTls + "'");
    if (certFile.empty() != keyFile.empty())
      return Fail("--cert and --key go together");
    host::TTlsSettings tls;
    tls.CertFile = certFile;
    tls.KeyFile = keyFile;
    tls.ClientCert = clientCert == "require"    ? host::TClientCertMode::Require
                     : clientCert == "optional" ? host::TClientCertMode::Optional
                                                : host::TClientCertMode::None;
    tls.ClientCaFile = clientCa;
    try {
      options.TlsContext = std::make_shared<host::TTlsContext>(tls);
    } catch (const std::exception& failure) {
      return Fail(failure.what());
    }
#else
    return Fail("--listen-tls: this build of isapi-host has no TLS (HTTPS is served by the "
                "Linux build)");
#endif
  } else if (!certFile.empty() || !keyFile.empty() || !clientCa.empty() || clientCert != "none") {
    return Fail("--cert, --key, --client-cert and --client-ca go with --listen-tls");
  }
  options.PendingTimeout = std::chrono::milliseconds(static_cast<long long>(pendingTimeout * 1000));
  options.ShutdownTimeout =
      std::chrono::milliseconds(static_cast<long long>(shutdownTimeout * 1000));
  options.ConnectionTimeout =
      std::chrono::milliseconds(static_cast<long long>(connectionTimeout * 1000));
  options.MinBytesPerSecond = minBytesPerSecond;
  options.MaxRequestBody = maxRequestBody;
  options.HeaderWaitTimeout =
      std::chrono::milliseconds(static_cast<long long>(headerWaitTimeout * 1000));
  // Sockets beyond the descriptors would only make accept fail: a limit above them is lowered.
  options.MaxConnections = std::min(maxConnections, descriptors - descriptors / 16);
  if (options.MaxConnections < maxConnections)
    std::cerr << "isapi-host: --max-connections " << maxConnections << " is more than "
              << descriptors << " descriptors allow; holding at most " << options.MaxConnections
              << "\n";
  options.Threads = threads;
  options.MaxThreads = maxThreads;
  options.ExtensionQueueLength = queueLength;

  std::vector<std::pair<std::string, fs::path>> mappings;
  for (const std::string& map : maps) {
    const std::size_t equals = map.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == map.size())
      return Fail("--map needs PREFIX=FILE, not '" + map + "'");
    mappings.emplace_back(host::NormalizeMapPrefix(map.substr(0, equals)),
                          fs::absolute(map.substr(equals + 1)).lexically_normal());
  }
  if (mappings.empty()) {
    std::string lookedAt;
    const std::optional<fs::path> moravel = FindDefaultExtension(lookedAt);
    if (!moravel)
      return Fail("no --map given and the built moravel was not found; looked at " + lookedAt);
    mappings.emplace_back(DefaultPrefix, *moravel);
  }

  fs::path rootPath = root.empty() ? ExecutableFolder() / "demo" : fs::path(root);
  std::error_code rootError;
  const fs::path canonicalRoot = fs::canonical(rootPath, rootError);
  if (!rootError && fs::is_directory(canonicalRoot, rootError))
    options.Root = canonicalRoot;
  else if (!root.empty())
    return Fail("--root " + root + " is not a folder");

  // One TExtension per file, however many prefixes map to it; each is started once.
  std::map<fs::path, std::unique_ptr<host::TExtension>> extensions;
  for (const auto& [prefix, file] : mappings) {
    std::unique_ptr<host::TExtension>& slot = extensions[file];
    if (!slot) {
      std::string error;
      slot = host::TExtension::Load(file, error);
      if (!slot)
        return Fail(error);
    }
    options.Mappings.push_back(host::TMapping{prefix, slot.get()});
  }

  std::string error;
  std::unique_ptr<host::THttpServer> server = host::THttpServer::Create(options, error);
  if (!server)
    return Fail(error);

  std::string serving;
  for (const auto& [prefix, file] : mappings)
    serving += (serving.empty() ? "" : ", ") + prefix + "=" + file.string();
  std::printf("listening on %s serving %s, %s\n", server->Url().c_str(), serving.c_str(),
              options.Root ? ("root " + options.Root->string()).c_str() : "no root");
#if ISAPI_HOST_TLS
  if (options.TlsContext) {
    const host::TTlsContext& tls = *options.TlsContext;
    const char* which = !tls.UsesDevelopmentCertificate() ? ""
                        : tls.MadeDevelopmentCertificate()
                            ? "the development certificate made now, "
                            : "the development certificate ";
    std::printf("listening on %s with %s%s, SHA-256 %s\n", server->Url(true).c_str(), which,
                tls.CertificateFile().string().c_str(), tls.Fingerprint().c_str());
  }
#endif
  std::fflush(stdout);

  std::unique_ptr<host::TAccessLog> log;
  if (!accessLog.empty()) {
    log = host::TAccessLog::Open(accessLog, host::ServerSoftware(), error);
    if (!log)
      return Fail(error);
    server->SetAccessLog(log.get());
  }

  const host::TRunEnd end = server->Run();
  if (end.Abandoned != 0 || !end.Clean) {
    // A thread may still be inside an extension: unloading, or any destructor of the host's,
    // would pull the code and the state from under it. The process ends without them.
    if (end.Abandoned != 0)
      std::cerr << "isapi-host: " << host::AbandonedCalls(end.Abandoned)
                << "; exiting without unloading\n";
    else
      std::cerr << "isapi-host: a thread is still inside an extension; exiting without "
                   "unloading\n";
    host::ExitLeavingExtensionThreads(end.Abandoned != 0 ? 1 : 0);
  }
  server.reset();
  extensions.clear();
  std::cerr << "isapi-host: stopped\n";
  return 0;
}
