#include "approval.hpp"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "log.hpp"
#include "system/files.hpp"
#include "system/paths.hpp"
#include "system/utf8.hpp"

namespace corvane {

Result<std::filesystem::path> store_path() {
  auto config = config_dir();
  if (!config) return fail("entity not found");
  return *config / "corvane" / "approved-kvms";
}

Result<ApprovedList> load_approved(const std::filesystem::path& path) {
  auto content = read_whole_file(path);
  if (!content) {
    if (content.error().error_number == ENOENT) return ApprovedList{};
    return fail(content.error().message);
  }
  if (!is_valid_utf8(*content)) return fail("stream did not contain valid UTF-8");

  ApprovedList list;
  std::string_view rest = *content;
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    std::string_view line = trim_unicode_whitespace(rest.substr(0, end));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (line.empty()) continue;
    auto fingerprint = parse_fingerprint(line);
    if (!fingerprint) return std::unexpected(fingerprint.error());
    list.push_back(*fingerprint);
  }
  return list;
}

Result<> save_approved(const std::filesystem::path& path, const ApprovedList& list) {
  std::string text;
  for (const auto& fingerprint : list) text += format_fingerprint(fingerprint) + "\n";

  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  if (error) return fail(error.message());
  auto temporary = path;
  temporary += "." + std::to_string(::getpid());
  return replace_file(path, temporary, text);
}

Result<> approve(const std::filesystem::path& path, const Fingerprint& fingerprint) {
  auto list = load_approved(path);
  if (!list) return std::unexpected(list.error());
  if (std::ranges::find(*list, fingerprint) == list->end()) list->push_back(fingerprint);
  return save_approved(path, *list);
}

Result<> forget(const std::filesystem::path& path, const Fingerprint& fingerprint) {
  auto list = load_approved(path);
  if (!list) return std::unexpected(list.error());
  auto removed = std::erase(*list, fingerprint);
  if (auto saved = save_approved(path, *list); !saved) return saved;
  if (removed == 0) return fail("the KVM " + format_fingerprint(fingerprint) + " is not approved");
  return {};
}

namespace {

using StoreChange = Result<> (*)(const std::filesystem::path&, const Fingerprint&);

Result<> change_store_mode(StoreChange change, const Fingerprint& fingerprint,
                           std::string_view verb_as_root, std::string_view done_line) {
  if (::geteuid() == 0) {
    return fail(std::string(verb_as_root) + " a KVM as the desktop user, without sudo");
  }
  auto path = store_path();
  if (!path) return std::unexpected(path.error());
  if (auto changed = change(*path, fingerprint); !changed) return changed;
  print_line(std::string(done_line) + " the KVM " + format_fingerprint(fingerprint));
  return {};
}

}  // namespace

Result<> approve_kvm_mode(const Fingerprint& fingerprint) {
  return change_store_mode(approve, fingerprint, "approve", "approved");
}

Result<> forget_kvm_mode(const Fingerprint& fingerprint) {
  return change_store_mode(forget, fingerprint, "forget", "forgot");
}

}  // namespace corvane
