// HttpExtensionProc of the real moravel, loaded as a host loads it, against a bare extension that
// does only what moravel's answer needs, both driven by the in-memory host. moravel picks its mode
// from the host executable's name: this program run as built measures pool mode (post, then wait
// for done-with-session), its copy named httpd.exe measures direct mode. Each run prints ns per
// request and moravel's ratio to the bare extension measured in the same process.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/extension_loader.h"
#include "inproc/memory_host.h"

using namespace isapi_web;
using isapi_web::bench::TMemoryRequest;

namespace {

// Requests in flight at once in the batched pool benchmark: one per worker thread of moravel's.
constexpr int PoolBatch = 25;

struct TLoadedExtension {
  std::unique_ptr<host::TExtensionLibrary> Library;
  PFN_HTTPEXTENSIONPROC Proc = nullptr;
};

// Requests outlive every benchmark: a worker may still be inside the done-with-session call of
// the last one when the benchmark that posted it returns.
std::vector<std::unique_ptr<TMemoryRequest>>& Requests() {
  static std::vector<std::unique_ptr<TMemoryRequest>> requests;
  return requests;
}

TMemoryRequest& RequestAt(std::size_t index) {
  std::vector<std::unique_ptr<TMemoryRequest>>& requests = Requests();
  while (requests.size() <= index)
    requests.push_back(std::make_unique<TMemoryRequest>());
  return *requests[index];
}

// One request to its end: the returned status, or after a pending one the done-with-session.
bool Serve(PFN_HTTPEXTENSIONPROC proc, TMemoryRequest& request) {
  request.Reset();
  const DWORD status = proc(request.ECB());
  if (status == HSE_STATUS_PENDING) {
    request.WaitDone();
    return true;
  }
  return status == HSE_STATUS_SUCCESS || status == HSE_STATUS_SUCCESS_AND_KEEP_CONN;
}

// What the requests of one benchmark run have counted so far, to take differences of.
struct TTally {
  std::uint64_t Redirects = 0;
  std::uint64_t WrongRedirects = 0;
  std::uint64_t Lookups = 0;
};

TTally TallyOf(const std::vector<TMemoryRequest*>& used) {
  TTally tally;
  for (TMemoryRequest* request : used) {
    tally.Redirects += request->Redirects();
    tally.WrongRedirects += request->WrongRedirects();
    tally.Lookups += request->VariableLookups();
  }
  return tally;
}

// Fails the benchmark unless every request ended well with exactly the one redirect to the
// Referer; reports the server variables asked for per request.
void CheckAnswers(benchmark::State& state, const std::vector<TMemoryRequest*>& used,
                  const TTally& before, std::uint64_t failed, std::uint64_t expected) {
  const TTally after = TallyOf(used);
  const std::uint64_t redirects = after.Redirects - before.Redirects;
  if (failed != 0 || after.WrongRedirects != before.WrongRedirects || redirects != expected)
    state.SkipWithError("the extension did not answer every request with the redirect");
  state.counters["lookups"] =
      benchmark::Counter(static_cast<double>(after.Lookups - before.Lookups) /
                         static_cast<double>(std::max<std::uint64_t>(redirects, 1)));
}

void OneAtATime(benchmark::State& state, PFN_HTTPEXTENSIONPROC proc) {
  TMemoryRequest& request = RequestAt(0);
  const std::vector<TMemoryRequest*> used{&request};
  const TTally before = TallyOf(used);
  std::uint64_t failed = 0;
  for (auto _ : state) {
    if (!Serve(proc, request))
      ++failed;
  }
  CheckAnswers(state, used, before, failed, state.iterations());
}

// PoolBatch requests posted together, then waited for: the pool's throughput rather than its
// hand-over latency.
void Batched(benchmark::State& state, PFN_HTTPEXTENSIONPROC proc) {
  std::vector<TMemoryRequest*> used;
  for (int i = 0; i < PoolBatch; ++i)
    used.push_back(&RequestAt(static_cast<std::size_t>(i)));
  const TTally before = TallyOf(used);
  std::uint64_t failed = 0;
  for (auto _ : state) {
    for (TMemoryRequest* request : used) {
      request->Reset();
      if (proc(request->ECB()) != HSE_STATUS_PENDING) {
        ++failed;
        request->WaitDone(); // never comes: fail loudly instead of measuring nonsense
      }
    }
    for (TMemoryRequest* request : used)
      request->WaitDone();
  }
  CheckAnswers(state, used, before, failed, state.iterations() * PoolBatch);
  state.SetItemsProcessed(state.iterations() * PoolBatch);
}

// The console output as usual, and the median time per request of each benchmark kept for the
// summary (the single run's time when there are no repetitions).
class TSummaryReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred)
        continue;
      const std::string name = run.run_name.function_name;
      const double time = RealTime[name] ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
      const double perRequest = time / Batches[name];
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        Medians[name] = perRequest;
      } else if (run.run_type == Run::RT_Iteration && !Medians.count(name)) {
        Singles[name] = perRequest;
      }
    }
  }

  bool Has(const std::string& name) const { return Medians.count(name) || Singles.count(name); }
  double PerRequest(const std::string& name) const {
    const auto median = Medians.find(name);
    return median != Medians.end() ? median->second : Singles.at(name);
  }

  std::map<std::string, double> Batches;
  /// Whether a benchmark's time is the wall clock's (its work runs on other threads too) or the
  /// calling thread's CPU time (all of it runs there, and preemption by others does not count).
  std::map<std::string, bool> RealTime;

private:
  std::map<std::string, double> Medians;
  std::map<std::string, double> Singles;
};

bool LoadExtension(const char* file, TLoadedExtension& loaded) {
  std::string error;
  loaded.Library = host::TExtensionLibrary::Load(file, error);
  if (!loaded.Library) {
    std::fprintf(stderr, "inproc_bench: %s\n", error.c_str());
    return false;
  }
  HSE_VERSION_INFO version{};
  if (!loaded.Library->EntryPoints().GetExtensionVersion(&version)) {
    std::fprintf(stderr, "inproc_bench: GetExtensionVersion of %s answered FALSE\n", file);
    return false;
  }
  loaded.Proc = loaded.Library->EntryPoints().HttpExtensionProc;
  return true;
}

bool HasFlag(const std::vector<char*>& args, const std::string& prefix) {
  return std::any_of(args.begin() + 1, args.end(),
                     [&](const char* arg) { return std::string(arg).rfind(prefix, 0) == 0; });
}

} // namespace

int main(int argc, char** argv) {
  // Five repetitions by default, summarised by their median: the machine is shared.
  std::vector<char*> args(argv, argv + argc);
  static char repetitions[] = "--benchmark_repetitions=5";
  static char aggregatesOnly[] = "--benchmark_report_aggregates_only=true";
  if (!HasFlag(args, "--benchmark_repetitions"))
    args.push_back(repetitions);
  if (!HasFlag(args, "--benchmark_report_aggregates_only") &&
      !HasFlag(args, "--benchmark_display_aggregates_only"))
    args.push_back(aggregatesOnly);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data()))
    return 2;

  TLoadedExtension bare;
  TLoadedExtension moravel;
  if (!LoadExtension(BARE_EXTENSION_FILE, bare) || !LoadExtension(MORAVEL_FILE, moravel))
    return 1;

  // The mode as moravel chose it: pending answers mean its pool serves.
  TMemoryRequest& probe = RequestAt(0);
  probe.Reset();
  const DWORD status = moravel.Proc(probe.ECB());
  if (status == HSE_STATUS_PENDING)
    probe.WaitDone();
  const bool poolMode = status == HSE_STATUS_PENDING;
  if (probe.Redirects() != 1) {
    std::fprintf(stderr, "inproc_bench: moravel did not redirect to the Referer\n");
    return 1;
  }
  const std::string moravelName = poolMode ? "moravel-pool" : "moravel-direct";

  // The bare extension and direct mode run wholly on this thread: its CPU time is theirs. Pool
  // mode hands each request to a worker, so only the wall clock sees all of it.
  TSummaryReporter reporter;
  benchmark::RegisterBenchmark("bare", OneAtATime, bare.Proc);
  reporter.Batches["bare"] = 1;
  reporter.RealTime["bare"] = false;
  auto* single = benchmark::RegisterBenchmark(moravelName.c_str(), OneAtATime, moravel.Proc);
  if (poolMode)
    single->UseRealTime();
  reporter.Batches[moravelName] = 1;
  reporter.RealTime[moravelName] = poolMode;
  const std::string batchName = "moravel-pool-" + std::to_string(PoolBatch) + "-in-flight";
  if (poolMode) {
    benchmark::RegisterBenchmark(batchName.c_str(), Batched, moravel.Proc)->UseRealTime();
    reporter.Batches[batchName] = PoolBatch;
    reporter.RealTime[batchName] = true;
  }
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::printf("\n%-32s %12s %10s   (CPU time of this thread; pool mode: wall clock)\n",
              "per request", "ns", "x bare");
  const bool hasBare = reporter.Has("bare");
  for (const std::string& name : {std::string("bare"), moravelName, batchName}) {
    if (!reporter.Has(name))
      continue;
    const double ns = reporter.PerRequest(name);
    if (hasBare)
      std::printf("%-32s %12.1f %10.2f\n", name.c_str(), ns, ns / reporter.PerRequest("bare"));
    else
      std::printf("%-32s %12.1f\n", name.c_str(), ns);
  }
  if (!poolMode && hasBare && reporter.Has(moravelName)) {
    const double ratio = reporter.PerRequest(moravelName) / reporter.PerRequest("bare");
    std::printf("ratio moravel-direct / bare: %.2f (goal: at most 2.00) %s\n", ratio,
                ratio <= 2.0 ? "met" : "MISSED");
  }

  // As a host ends: terminate, then unload (the libraries' destructors).
  moravel.Library->EntryPoints().TerminateExtension(HSE_TERM_MUST_UNLOAD);
  bare.Library->EntryPoints().TerminateExtension(HSE_TERM_MUST_UNLOAD);
  moravel.Library.reset();
  bare.Library.reset();
  return 0;
}
