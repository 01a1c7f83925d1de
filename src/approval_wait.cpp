#include "approval_wait.hpp"

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

#include "approval.hpp"
#include "log.hpp"
#include "session/error_pause.hpp"
#include "supervisor/dialog.hpp"

namespace corvane {
namespace {

std::string question_text(const std::string& fingerprint, bool another_kvm_approved) {
  std::string text;
  if (another_kvm_approved) text = "This is not the KVM you allowed before.\n\n";
  return text +
         "It can see your screen, use your clipboard, open a terminal and save files.\n\n"
         "Fingerprint: " +
         fingerprint + "\nAllow only if your KVM's settings show this fingerprint.";
}

}  // namespace

DialogCommand approval_dialog(const std::string& fingerprint_text, bool another_kvm_approved) {
  return {"zenity",
          {"--question", "--default-cancel", "--title", "Allow this KVM?", "--text",
           question_text(fingerprint_text, another_kvm_approved), "--ok-label", "Allow",
           "--cancel-label", "Don't Allow"}};
}

namespace {

bool holds(const ApprovedList& list, const Fingerprint& fingerprint) {
  return std::ranges::find(list, fingerprint) != list.end();
}

class ApprovalWait {
 public:
  ApprovalWait(const Fingerprint& fingerprint, const StopFlag& stop,
               const std::function<CandidateSnapshot()>& snapshot, Clock& clock)
      : fingerprint_(fingerprint), text_(format_fingerprint(fingerprint)), stop_(stop),
        snapshot_(snapshot), clock_(clock) {}

  // An error that should end the wait with the error pause.
  Result<> run() {
    log_line("corvane: the KVM " + text_ +
             " is not approved; select Allow in the dialog, or run: corvane --approve-kvm " +
             text_);
    auto store = store_path();
    if (!store) return std::unexpected(store.error());
    auto approved = load_approved(*store);
    if (!approved) return std::unexpected(approved.error());
    dialog_ = DialogChild::start(approval_dialog(text_, !approved->empty()));
    if (!dialog_) log_line("corvane: no dialog program found to ask for approval");
    const auto snapshot = snapshot_();
    for (;;) {
      if (stop_->load()) return {};
      if (snapshot_() != snapshot) return {};
      if (auto answered = poll_dialog(*store); !answered) return answered;
      auto current = load_approved(*store);
      if (!current) return std::unexpected(current.error());
      if (holds(*current, fingerprint_)) {
        log_line("corvane: approved the KVM " + text_);
        return {};
      }
      clock_.sleep_for(std::chrono::seconds(1));
    }
  }

  void close_dialog() {
    if (dialog_) dialog_->close();
  }

 private:
  Result<> poll_dialog(const std::filesystem::path& store) {
    if (!dialog_) return {};
    auto state = dialog_->poll();
    if (!state) return std::unexpected(state.error());
    if (*state == DialogState::running) return {};
    // Whatever the answer, the question is not asked again in this wait.
    dialog_.reset();
    if (*state == DialogState::accepted) return approve(store, fingerprint_);
    return {};
  }

  const Fingerprint& fingerprint_;
  const std::string text_;
  const StopFlag& stop_;
  const std::function<CandidateSnapshot()>& snapshot_;
  Clock& clock_;
  std::optional<DialogChild> dialog_;
};

}  // namespace

void approval_wait(const Fingerprint& fingerprint, const StopFlag& stop,
                   const std::function<CandidateSnapshot()>& snapshot, Clock& clock) {
  ApprovalWait wait(fingerprint, stop, snapshot, clock);
  auto waited = wait.run();
  wait.close_dialog();
  if (waited) return;
  log_line("corvane: " + waited.error().message);
  error_pause(stop, clock);
}

}  // namespace corvane
