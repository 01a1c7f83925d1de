#pragma once
#include <filesystem>
#include <string>

#include "error.hpp"
#include "system/unique_fd.hpp"

namespace corvane::lab {

// A FunctionFS instance mounted on its own folder, with the function's
// descriptors and strings written to ep0 and both bulk endpoint files open.
// Dropping it closes the files, unmounts and removes the folder.
class FunctionFs {
 public:
  static Result<FunctionFs> start(const std::string& instance, std::string_view interface_name);

  int ep0() const { return ep0_.get(); }
  int bulk_out() const { return bulk_out_.get(); }  // ep1: the host's writes arrive here
  int bulk_in() const { return bulk_in_.get(); }    // ep2: what the host reads

 private:
  class Mount {
   public:
    explicit Mount(std::filesystem::path path) : path_(std::move(path)) {}
    Mount(Mount&& other) noexcept : path_(std::exchange(other.path_, {})) {}
    Mount& operator=(Mount&&) = delete;
    ~Mount();
    const std::filesystem::path& path() const { return path_; }

   private:
    std::filesystem::path path_;
  };

  explicit FunctionFs(Mount mount) : mount_(std::move(mount)) {}

  Mount mount_;  // first member: it outlives the files opened in it
  UniqueFd ep0_;
  UniqueFd bulk_out_;
  UniqueFd bulk_in_;
};

}  // namespace corvane::lab
