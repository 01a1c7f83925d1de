// Where dropped files go: the Downloads entry of a real user-dirs.dirs in a
// temporary home, else the home folder.
#include "services/file_drop/file_destination.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/temp_dir.hpp"

namespace corvane {
namespace {

namespace fs = std::filesystem;

TEST(DownloadDirEntry, ReadsTheEntryAsXdgUserDirsWritesIt) {
  const fs::path home = "/home/ana";
  struct Case {
    std::string text;
    std::optional<fs::path> folder;
  };
  const std::vector<Case> cases{
      {"XDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n",
       "/home/ana/Downloads"},
      {"  XDG_DOWNLOAD_DIR = \"/srv/drop box\"", "/srv/drop box"},
      {"XDG_DOWNLOAD_DIR=\"$HOME\"\n", "/home/ana"},
      {"XDG_DOWNLOAD_DIR=\"$HOME/My \\\"Files\\\"\"\n", "/home/ana/My \"Files\""},
      {"XDG_DOWNLOAD_DIR=\"$HOME//etc\"\n", "/home/ana//etc"},
      {"XDG_DOWNLOAD_DIR=\"$HOME/a\"\nXDG_DOWNLOAD_DIR=\"$HOME/b\"\n", "/home/ana/b"},
      {"XDG_DOWNLOAD_DIR=\"$HOMEX/a\"\n", std::nullopt},
      {"XDG_DOWNLOAD_DIR=\"Downloads\"\n", std::nullopt},
      {"XDG_DOWNLOAD_DIR=$HOME/Downloads\n", std::nullopt},
      {"# XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n", std::nullopt},
      {"XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n", std::nullopt},
  };
  for (const auto& [text, folder] : cases) {
    EXPECT_EQ(download_dir_entry(text, home), folder) << text;
  }
}

class FileDestinationTest : public testing::Test {
 protected:
  FileDestinationTest() {
    ::setenv("HOME", home.path().c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
  }
  void write_user_dirs(const fs::path& config, const std::string& download) {
    fs::create_directories(config);
    test::write_file(config / "user-dirs.dirs",
                     "# written by xdg-user-dirs-update\nXDG_DOWNLOAD_DIR=\"" + download + "\"\n");
  }

  test::TempDir home;
};

TEST_F(FileDestinationTest, TheDownloadsFolderWhenItExistsElseHome) {
  write_user_dirs(home / ".config", "$HOME/Downloads");
  EXPECT_EQ(find_file_destination(), home.path());
  // Read anew on every call: a folder created since is found.
  fs::create_directory(home / "Downloads");
  EXPECT_EQ(find_file_destination(), home / "Downloads");
}

TEST_F(FileDestinationTest, AnAbsoluteXdgConfigHomeHoldsTheFile) {
  test::TempDir config;
  fs::create_directory(home / "Fetched");
  write_user_dirs(config.path(), "$HOME/Fetched");
  ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
  EXPECT_EQ(find_file_destination(), home / "Fetched");
  // A relative one is not used: .config of the home folder has no file.
  ::setenv("XDG_CONFIG_HOME", "relative", 1);
  EXPECT_EQ(find_file_destination(), home.path());
}

TEST_F(FileDestinationTest, AnEntryThatIsNoFolderFallsBackToHome) {
  test::write_file(home / "Downloads", "a file");
  write_user_dirs(home / ".config", "$HOME/Downloads");
  EXPECT_EQ(find_file_destination(), home.path());
}

TEST_F(FileDestinationTest, WithoutAHomeFolderThereIsNone) {
  ::setenv("HOME", (home / "gone").c_str(), 1);
  EXPECT_EQ(find_file_destination(), std::nullopt);
}

}  // namespace
}  // namespace corvane
