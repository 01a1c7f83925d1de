#include "engine/capture_library.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

#include "engine/fake_scanwell.hpp"
#include "engine/isolated_process.hpp"
#include "support/temp_dir.hpp"

namespace corvane {
namespace {

using test::run_isolated;

struct LoadOutcome {
  bool loaded;
  bool same_on_second_call;
  int version_calls;
};

// Loads the binding once with CORVANE_SCANWELL_LIB set to library_env
// (nullptr: unset) after preloading the fake at preload (nullptr: none)
// with the given version.
auto load(const char* library_env, const char* preload, int version = 0x000503) {
  return run_isolated([=] {
    FakeScanwell* fake = nullptr;
    if (preload) {
      fake = &fake_scanwell_at(preload);
      fake->version = version;
    }
    if (library_env) {
      ::setenv("CORVANE_SCANWELL_LIB", library_env, 1);
    } else {
      ::unsetenv("CORVANE_SCANWELL_LIB");
    }
    const CaptureLibrary* first = capture_library();
    const CaptureLibrary* second = capture_library();
    return LoadOutcome{first != nullptr, first == second, fake ? fake->version_calls : -1};
  });
}

TEST(CaptureLibraryLoad, LoadsTheLibraryNamedByTheEnvironment) {
  auto run = run_isolated([] {
    ::setenv("CORVANE_SCANWELL_LIB", FAKE_SCANWELL, 1);
    const CaptureLibrary* library = capture_library();
    FakeScanwell& fake = fake_scanwell_at(FAKE_SCANWELL);
    bool complete =
        library && library->handle && library->scanwell_open && library->scanwell_gpu_driver &&
        library->scanwell_render_node(nullptr) == std::string_view("/dev/dri/renderD128");
    return LoadOutcome{complete, capture_library() == library, fake.version_calls};
  });
  ASSERT_TRUE(run.exited);
  EXPECT_TRUE(run.value.loaded);
  EXPECT_TRUE(run.value.same_on_second_call);
  EXPECT_EQ(run.value.version_calls, 1);
  EXPECT_EQ(run.log, "");
}

TEST(CaptureLibraryLoad, AcceptsEveryPatchOfTheSupportedSeriesOnly) {
  struct Case {
    int version;
    const char* log;
  };
  for (const Case& c : {
           Case{0x000500, ""},
           Case{0x0005FF, ""},
           Case{0x000600, "[KMS] libscanwell 0.6 does not match the 0.5 this was built for\n"},
           Case{0x000402, "[KMS] libscanwell 0.4 does not match the 0.5 this was built for\n"},
           Case{0x010500, "[KMS] libscanwell 1.5 does not match the 0.5 this was built for\n"},
       }) {
    SCOPED_TRACE(c.version);
    auto run = load(FAKE_SCANWELL, FAKE_SCANWELL, c.version);
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.value.loaded, *c.log == '\0');
    EXPECT_TRUE(run.value.same_on_second_call);
    EXPECT_EQ(run.value.version_calls, 1);
    EXPECT_EQ(run.log, c.log);
  }
}

TEST(CaptureLibraryLoad, ReportsEveryMissingSymbolAndSkipsTheVersionCheck) {
  auto run = load(FAKE_SCANWELL_LACKING, FAKE_SCANWELL_LACKING, 0x000600);
  ASSERT_TRUE(run.exited);
  EXPECT_FALSE(run.value.loaded);
  EXPECT_EQ(run.value.version_calls, 0);
  EXPECT_EQ(run.log,
            "[KMS] libscanwell.so.0 lacks scanwell_open\n"
            "[KMS] libscanwell.so.0 lacks scanwell_gpu_driver\n");
}

TEST(CaptureLibraryLoad, FallsBackToTheLibrarysOwnName) {
  // The preloaded fake carries the soname libscanwell.so.0, so the loader
  // answers a load by that name with it.
  test::TempDir dir;
  std::ofstream(dir / "not-a-library") << "text";
  std::string unloadable = (dir / "not-a-library").string();
  for (const char* env : {static_cast<const char*>(nullptr), "", unloadable.c_str()}) {
    SCOPED_TRACE(env ? env : "(unset)");
    auto run = load(env, FAKE_SCANWELL);
    ASSERT_TRUE(run.exited);
    EXPECT_TRUE(run.value.loaded);
    EXPECT_EQ(run.value.version_calls, 1);
    EXPECT_EQ(run.log, "");
  }
}

TEST(CaptureLibraryLoad, ReportsTheFallbacksErrorOnceWhenNothingLoads) {
  test::TempDir dir;
  std::ofstream(dir / "not-a-library") << "text";
  auto run = load((dir / "not-a-library").c_str(), nullptr);
  ASSERT_TRUE(run.exited);
  EXPECT_FALSE(run.value.loaded);
  EXPECT_TRUE(run.value.same_on_second_call);
  // One line for two calls: a failed load is not retried.
  EXPECT_EQ(run.log,
            "[KMS] libscanwell.so.0 not loadable: libscanwell.so.0: cannot open shared object "
            "file: No such file or directory\n");
}

TEST(CaptureLibraryLoad, ConcurrentFirstCallsShareOneLoad) {
  struct Outcome {
    bool all_same;
    int version_calls;
  };
  auto run = run_isolated([] {
    ::setenv("CORVANE_SCANWELL_LIB", FAKE_SCANWELL, 1);
    std::vector<const CaptureLibrary*> seen(8);
    {
      std::vector<std::jthread> threads;
      for (auto& slot : seen) threads.emplace_back([&slot] { slot = capture_library(); });
    }
    bool all_same = seen.front() != nullptr;
    for (auto* library : seen) all_same = all_same && library == seen.front();
    return Outcome{all_same, fake_scanwell_at(FAKE_SCANWELL).version_calls};
  });
  ASSERT_TRUE(run.exited);
  EXPECT_TRUE(run.value.all_same);
  EXPECT_EQ(run.value.version_calls, 1);
}

}  // namespace
}  // namespace corvane
