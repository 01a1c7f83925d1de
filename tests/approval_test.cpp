#include "approval.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/sandbox.hpp"

namespace corvane {
namespace {

using test::read_file;
using test::write_file;

const Fingerprint sample{{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71}};
const Fingerprint other{{0xFF, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0xEE}};

TEST(Fingerprint, TextFormRoundTrips) {
  EXPECT_EQ(format_fingerprint(sample), "0A:1B:2C:3D:4E:5F:60:71");
  for (const char* text : {"0a1b2c3d4e5f6071", "0A-1B-2C-3D 4E-5F-60-71",
                           "0a:1b:2c:3d:4e:5f:60:71", " 0a1b 2c3d-4e5f:6071 "}) {
    auto parsed = parse_fingerprint(text);
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(*parsed, sample) << text;
  }
  for (const char* text : {"", "0a1b2c3d4e5f607", "0a1b2c3d4e5f60711", "0g1b2c3d4e5f6071",
                           "0a1b2c3d4e5f60\t71", "+a1b2c3d4e5f6071"}) {
    auto parsed = parse_fingerprint(text);
    ASSERT_FALSE(parsed) << text;
    EXPECT_EQ(parsed.error().message, std::string("not a KVM fingerprint: ") + text);
  }
}

class Store : public ::testing::Test {
 protected:
  test::TempDir dir;
  std::filesystem::path path = dir / "corvane/approved-kvms";
};

TEST_F(Store, LoadsLeniently) {
  EXPECT_EQ(load_approved(path), ApprovedList{});  // missing
  const std::pair<std::string, ApprovedList> cases[] = {
      {"", {}},
      {"\n \n\t\n", {}},
      {"0A:1B:2C:3D:4E:5F:60:71\n", {sample}},
      {"  0a 1b 2c 3d 4e 5f 60 71  \r\n\xc2\xa0" "ff000102030405ee\xe3\x80\x80",
       {sample, other}},
      {"0A:1B:2C:3D:4E:5F:60:71\n0a1b2c3d4e5f6071\n", {sample, sample}},
  };
  for (const auto& [content, list] : cases) {
    write_file(path, content);
    auto loaded = load_approved(path);
    ASSERT_TRUE(loaded) << content;
    EXPECT_EQ(*loaded, list) << content;
  }
}

TEST_F(Store, OneBadLineMakesTheWholeFileUnreadable) {
  write_file(path, "0A:1B:2C:3D:4E:5F:60:71\n  0a1b2c3d4e5f60712 \n");
  EXPECT_EQ(load_approved(path).error().message, "not a KVM fingerprint: 0a1b2c3d4e5f60712");
  write_file(path, "0A:1B:2C:3D:4E:5F:60:71\n\xff\n");
  EXPECT_EQ(load_approved(path).error().message, "stream did not contain valid UTF-8");
  std::filesystem::remove(path);
  std::filesystem::create_directories(path);
  EXPECT_EQ(load_approved(path).error().message, "Is a directory");
}

TEST_F(Store, ApproveAndForgetRewriteTheCanonicalForm) {
  write_file(path, "  0a 1b 2c 3d 4e 5f 60 71  \n\n");
  ASSERT_TRUE(approve(path, sample));
  EXPECT_EQ(read_file(path), "0A:1B:2C:3D:4E:5F:60:71\n");
  ASSERT_TRUE(approve(path, other));
  EXPECT_EQ(read_file(path), "0A:1B:2C:3D:4E:5F:60:71\nFF:00:01:02:03:04:05:EE\n");

  write_file(path, "0a1b2c3d4e5f6071\nff000102030405ee\n0A:1B:2C:3D:4E:5F:60:71\n");
  ASSERT_TRUE(approve(path, sample));  // duplicates in the file stay
  EXPECT_EQ(read_file(path),
            "0A:1B:2C:3D:4E:5F:60:71\nFF:00:01:02:03:04:05:EE\n0A:1B:2C:3D:4E:5F:60:71\n");
  ASSERT_TRUE(forget(path, sample));  // and all go together
  EXPECT_EQ(read_file(path), "FF:00:01:02:03:04:05:EE\n");
  ASSERT_TRUE(forget(path, other));
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(read_file(path), "");

  auto again = forget(path, other);
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().message, "the KVM FF:00:01:02:03:04:05:EE is not approved");
}

TEST_F(Store, AFailedSaveLeavesTheStoreUnchanged) {
  write_file(path, "0a1b2c3d4e5f6071\n");
  // A directory in the temporary file's place makes the write fail.
  auto temporary = path;
  temporary += "." + std::to_string(::getpid());
  std::filesystem::create_directory(temporary);
  auto saved = save_approved(path, {other});
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error().message, "Is a directory");
  EXPECT_EQ(read_file(path), "0a1b2c3d4e5f6071\n");
}

// The modes as the user runs them from a terminal.
class ApprovalModes : public ::testing::Test {
 protected:
  test::Sandbox sandbox;
  std::filesystem::path store = sandbox.home() / ".config/corvane/approved-kvms";
};

TEST_F(ApprovalModes, ApproveAndForgetPrintTheirLines) {
  auto approved = sandbox.run_as_user({"--approve-kvm", "0a:1b:2c:3d:4e:5f:60:71"});
  EXPECT_EQ(approved.exit_code, 0);
  EXPECT_EQ(approved.out, "approved the KVM 0A:1B:2C:3D:4E:5F:60:71\n");
  EXPECT_EQ(approved.err, "");
  auto twice = sandbox.run_as_user({"--approve-kvm", "0A1B2C3D4E5F6071"});
  EXPECT_EQ(twice.exit_code, 0);
  EXPECT_EQ(read_file(store), "0A:1B:2C:3D:4E:5F:60:71\n");

  auto forgot = sandbox.run_as_user({"--forget-kvm", "0a1b2c3d-4e5f6071"});
  EXPECT_EQ(forgot.exit_code, 0);
  EXPECT_EQ(forgot.out, "forgot the KVM 0A:1B:2C:3D:4E:5F:60:71\n");
  EXPECT_EQ(read_file(store), "");
}

TEST_F(ApprovalModes, XdgConfigHomeMustBeAbsolute) {
  auto absolute = sandbox.run_as_user({"--approve-kvm", "0a1b2c3d4e5f6071"},
                                      {"XDG_CONFIG_HOME=" + (sandbox.home() / "xdg").string()});
  EXPECT_EQ(absolute.exit_code, 0);
  EXPECT_TRUE(std::filesystem::exists(sandbox.home() / "xdg/corvane/approved-kvms"));
  auto relative = sandbox.run_as_user({"--approve-kvm", "ff000102030405ee"},
                                      {"XDG_CONFIG_HOME=relative"});
  EXPECT_EQ(relative.exit_code, 0);
  EXPECT_EQ(read_file(store), "FF:00:01:02:03:04:05:EE\n");
}

TEST_F(ApprovalModes, ForgetWithoutStoreCreatesItAndFails) {
  auto forgot = sandbox.run_as_user({"--forget-kvm", "0a1b2c3d4e5f6071"});
  EXPECT_EQ(forgot.exit_code, 1);
  EXPECT_EQ(forgot.err, "corvane: the KVM 0A:1B:2C:3D:4E:5F:60:71 is not approved\n");
  EXPECT_EQ(forgot.out, "");
  EXPECT_EQ(read_file(store), "");
}

TEST_F(ApprovalModes, ABrokenStoreIsReportedAndLeftAsItWas) {
  const std::string broken = "0A:1B:2C:3D:4E:5F:60:71\n0a1b2c3d4e5f60719\n";
  write_file(store, broken);
  for (const char* mode : {"--approve-kvm", "--forget-kvm"}) {
    auto result = sandbox.run_as_user({mode, "ff000102030405ee"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, "corvane: not a KVM fingerprint: 0a1b2c3d4e5f60719\n");
    EXPECT_EQ(read_file(store), broken);
  }
}

TEST_F(ApprovalModes, RootIsRefusedBeforeAnyFileIsTouched) {
  const std::pair<const char*, const char*> cases[] = {
      {"--approve-kvm", "corvane: approve a KVM as the desktop user, without sudo\n"},
      {"--forget-kvm", "corvane: forget a KVM as the desktop user, without sudo\n"},
  };
  for (const auto& [mode, line] : cases) {
    auto result = sandbox.run({mode, "0a1b2c3d4e5f6071"}, {.as_root = true});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, line);
  }
  EXPECT_FALSE(std::filesystem::exists(sandbox.home() / ".config"));
}

}  // namespace
}  // namespace corvane
