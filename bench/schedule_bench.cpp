// The schedule planner on large in-memory databases with long dependency
// chains: package i of a chain depends on package i-1 of the same chain.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

#include "model/installer_context.h"
#include "resolve/schedule.h"

namespace {

constexpr PackageVersion VERSION_1_0 = (1u << 24) | ('f' << 8);

std::string chainName(int chain, int link) {
  return "c" + std::to_string(chain) + "p" + std::to_string(link);
}

/// `total` enabled packages in chains of `chainLength`; the first of each
/// chain depends on `rootDependency` when that is not empty.
void buildChains(int total, int chainLength, const std::string& rootDependency) {
  InstallerContext::reset();
  auto& packages = InstallerContext::instance().packages;
  for (int index = 0; index < total; ++index) {
    int chain = index / chainLength;
    int link = index % chainLength;
    auto record = std::make_unique<InstalledPackage>(chainName(chain, link));
    record->version = VERSION_1_0;
    if (link > 0) record->deps.push_back(PackageRef{chainName(chain, link - 1), 0, 0, 0});
    else if (!rootDependency.empty()) record->deps.push_back(PackageRef{rootDependency, 0, 0, 0});
    packages.push_back(std::move(record));
  }
}

void plan(benchmark::State& state) {
  PackageList removals;
  PackageList enables;
  benchmark::DoNotOptimize(planSchedule(removals, enables, 0));
  state.counters["removals"] = static_cast<double>(removals.size());
  state.counters["enables"] = static_cast<double>(enables.size());
}

/// The common case: nothing scheduled, every dependency met (each stream
/// install runs this once).
void BM_PlanNothingScheduled(benchmark::State& state) {
  int total = static_cast<int>(state.range(0));
  buildChains(total, 100, "");
  for (auto _ : state) plan(state);
  state.SetComplexityN(state.range(0));
}

/// A package that everything needs is scheduled for uninstall: every
/// chain cancels it through its first link.
void BM_PlanUninstallNeededBase(benchmark::State& state) {
  int total = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    buildChains(total, 100, "base");
    auto base = std::make_unique<InstalledPackage>("base");
    base->version = VERSION_1_0;
    base->scheduledAction = ACTION_UNINSTALL;
    InstallerContext::instance().packages.push_back(std::move(base));
    state.ResumeTiming();
    plan(state);
  }
  state.SetComplexityN(state.range(0));
}

/// The worst case of the dependant scan: one chain whose first link has
/// lost its dependency, so that every link is uninstalled one restart after
/// the other. One unrelated package stays active.
void BM_PlanChainLosesItsRoot(benchmark::State& state) {
  int total = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    buildChains(total, total, "missing");
    auto keeper = std::make_unique<InstalledPackage>("keeper");
    keeper->version = VERSION_1_0;
    InstallerContext::instance().packages.push_back(std::move(keeper));
    state.ResumeTiming();
    plan(state);
  }
  state.SetComplexityN(state.range(0));
}

/// One chain, every link disabled; enabling the last link pulls in the
/// whole chain through nested dependency visits.
void BM_PlanEnableChainEnd(benchmark::State& state) {
  int total = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    buildChains(total, total, "");
    for (auto& record : InstallerContext::instance().packages) record->disabled = true;
    InstallerContext::instance().packages.back()->scheduledAction = ACTION_ENABLE;
    state.ResumeTiming();
    plan(state);
  }
  state.SetComplexityN(state.range(0));
}

/// BM_PlanChainLosesItsRoot with the chain listed last link first: every
/// dependant comes before what it needs.
void BM_PlanReversedChainLosesItsRoot(benchmark::State& state) {
  int total = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    buildChains(total, total, "missing");
    auto& packages = InstallerContext::instance().packages;
    std::reverse(packages.begin(), packages.end());
    auto keeper = std::make_unique<InstalledPackage>("keeper");
    keeper->version = VERSION_1_0;
    packages.push_back(std::move(keeper));
    state.ResumeTiming();
    plan(state);
  }
  state.SetComplexityN(state.range(0));
}

/// Nothing scheduled, but every package provides a name of its own: each
/// has terms that could exclude another.
void BM_PlanNothingScheduledWithProvides(benchmark::State& state) {
  int total = static_cast<int>(state.range(0));
  buildChains(total, 100, "");
  for (auto& record : InstallerContext::instance().packages)
    record->provides.push_back(PackageRef{record->name + "-api", 0, 0, 0});
  for (auto _ : state) plan(state);
  state.SetComplexityN(state.range(0));
}

/// Bundles of 100 packages: a bundle record "b<chain>" and its members, each
/// member but the first depending on the one before. Every other bundle is
/// scheduled for disable and takes its members along; the members of the
/// others keep their bundle.
void BM_PlanDisableEveryOtherBundle(benchmark::State& state) {
  int total = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    InstallerContext::reset();
    auto& packages = InstallerContext::instance().packages;
    for (int index = 0; index < total; ++index) {
      int chain = index / 100;
      int link = index % 100;
      std::string bundleName = "b" + std::to_string(chain);
      auto record = std::make_unique<InstalledPackage>(link == 0 ? bundleName : chainName(chain, link));
      record->version = VERSION_1_0;
      if (link == 0) {
        record->isBundle = true;
        if (chain % 2 == 1) record->scheduledAction = ACTION_DISABLE;
      } else {
        record->bundle.name = bundleName;
        if (link > 1) record->deps.push_back(PackageRef{chainName(chain, link - 1), 0, 0, 0});
      }
      packages.push_back(std::move(record));
    }
    state.ResumeTiming();
    plan(state);
  }
  state.SetComplexityN(state.range(0));
}

/// Disabled packages that need nothing, every one scheduled for enable: the
/// enables are ordered with none placed after another.
void BM_PlanEnableUnrelated(benchmark::State& state) {
  int total = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    buildChains(total, 1, "");
    for (auto& record : InstallerContext::instance().packages) {
      record->disabled = true;
      record->scheduledAction = ACTION_ENABLE;
    }
    state.ResumeTiming();
    plan(state);
  }
  state.SetComplexityN(state.range(0));
}

void chainSizes(benchmark::internal::Benchmark* run) {
  run->Arg(125)->Arg(250)->Arg(500)->Arg(1000)->Complexity()->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_PlanNothingScheduled)->Apply(chainSizes);
BENCHMARK(BM_PlanUninstallNeededBase)->Apply(chainSizes);
BENCHMARK(BM_PlanChainLosesItsRoot)->Apply(chainSizes);
BENCHMARK(BM_PlanEnableChainEnd)->Apply(chainSizes);
BENCHMARK(BM_PlanReversedChainLosesItsRoot)->Apply(chainSizes);
BENCHMARK(BM_PlanNothingScheduledWithProvides)->Apply(chainSizes);
BENCHMARK(BM_PlanDisableEveryOtherBundle)->Apply(chainSizes);
BENCHMARK(BM_PlanEnableUnrelated)->Apply(chainSizes);

}  // namespace
