#pragma once
// The approved-KVM store: the user's list of KVM fingerprints, one per
// line in ~/.config/corvane/approved-kvms. It has no state in memory;
// every operation reads the file again, since other processes may change
// it at any time.
#include <filesystem>
#include <vector>

#include "error.hpp"
#include "fingerprint.hpp"

namespace corvane {

using ApprovedList = std::vector<Fingerprint>;

Result<std::filesystem::path> store_path();

// A missing file is the empty list; one bad line makes the whole file
// unreadable, so nothing is served until the user repairs it.
Result<ApprovedList> load_approved(const std::filesystem::path& path);

// Replaces the store in one rename, so no reader sees half a file.
Result<> save_approved(const std::filesystem::path& path, const ApprovedList& list);

Result<> approve(const std::filesystem::path& path, const Fingerprint& fingerprint);
Result<> forget(const std::filesystem::path& path, const Fingerprint& fingerprint);

// The --approve-kvm and --forget-kvm modes: refuse root, change the store,
// print the success line.
Result<> approve_kvm_mode(const Fingerprint& fingerprint);
Result<> forget_kvm_mode(const Fingerprint& fingerprint);

}  // namespace corvane
