#pragma once
// Tells the capture engine where the capture library and its helper are
// installed beside this program (CORVANE_SCANWELL_LIB and
// CORVANE_SCANWELL_HELPER). Values already in the environment win.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace corvane {

struct EngineEnvironment {
  std::optional<std::string> scanwell_lib;  // nothing: leave it unset
  std::string scanwell_helper;
};

// The values to set, decided from the executable's path and what exists.
// Only variables absent from the environment (current_lib/current_helper
// null) are decided; present ones are returned unchanged.
EngineEnvironment decide_engine_environment(
    const std::optional<std::filesystem::path>& executable, const char* current_lib,
    const char* current_helper, const std::function<bool(const std::filesystem::path&)>& exists);

void prepare_engine_environment();

}  // namespace corvane
