// The existence test, on real names in a scratch folder.

#include "app/file_presence.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

class FilePresenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tarnwick-presence-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    std::ofstream(folder_ / "game.dat", std::ios::binary) << "0123456789";
    std::ofstream(folder_ / "empty.bin", std::ios::binary);
    fs::create_directory(folder_ / "folder");
  }

  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  std::string In(const std::string& name) const { return (folder_ / name).string(); }

  fs::path folder_;
};

TEST_F(FilePresenceTest, FilesAndOtherNonFoldersArePresent) {
  EXPECT_TRUE(FileIsPresent(In("game.dat")));
  EXPECT_TRUE(FileIsPresent(In("empty.bin")));
  EXPECT_TRUE(FileIsPresent("/dev/null"));
}

TEST_F(FilePresenceTest, AFifoIsPresentAndTheTestDoesNotWaitForAWriter) {
  ASSERT_EQ(mkfifo(In("queue").c_str(), 0644), 0);
  // An open of a FIFO with no writer would wait for ever; the lookup answers at once.
  EXPECT_TRUE(FileIsPresent(In("queue")));
}

TEST_F(FilePresenceTest, FoldersAreNotPresent) {
  EXPECT_FALSE(FileIsPresent(In("folder")));
  EXPECT_FALSE(FileIsPresent(In("folder/")));
  EXPECT_FALSE(FileIsPresent("/"));
}

TEST_F(FilePresenceTest, AbsentNamesAreNotPresent) {
  EXPECT_FALSE(FileIsPresent(In("missing.dat")));
  EXPECT_FALSE(FileIsPresent(In("missing/game.dat")));
  // A file on the way where a folder should be.
  EXPECT_FALSE(FileIsPresent(In("game.dat/x")));
  EXPECT_FALSE(FileIsPresent(""));
}

TEST_F(FilePresenceTest, SymbolicLinksAreFollowed) {
  fs::create_symlink(In("game.dat"), In("to-file"));
  fs::create_symlink(In("folder"), In("to-folder"));
  fs::create_symlink(In("gone.dat"), In("dangling"));
  EXPECT_TRUE(FileIsPresent(In("to-file")));
  EXPECT_FALSE(FileIsPresent(In("to-folder")));
  EXPECT_FALSE(FileIsPresent(In("dangling")));
}

TEST_F(FilePresenceTest, NamesAreTakenAsTheyAre) {
  std::ofstream(folder_ / " spaced \xe9.dat", std::ios::binary) << "x";
  EXPECT_TRUE(FileIsPresent(In(" spaced \xe9.dat")));
  EXPECT_FALSE(FileIsPresent(In("spaced \xe9.dat")));
  EXPECT_FALSE(FileIsPresent(In("GAME.DAT")));
}

TEST_F(FilePresenceTest, ANameHoldingByteZeroIsNotPresent) {
  // Cut short at the byte 0, the name would designate game.dat.
  EXPECT_FALSE(FileIsPresent(In("game.dat") + std::string("\0.bak", 5)));
  EXPECT_FALSE(FileIsPresent(In("game.dat") + std::string(1, '\0')));
}

TEST_F(FilePresenceTest, ANameLongerThanTheSystemTakesIsNotPresent) {
  // Every "./" designates the same folder, so only the length keeps this name from game.dat.
  std::string name = folder_.string() + "/";
  while (name.size() <= PATH_MAX) name += "./";
  name += "game.dat";
  EXPECT_FALSE(FileIsPresent(name));
  // One component longer than any the system takes.
  EXPECT_FALSE(FileIsPresent(In(std::string(NAME_MAX + 1, 'a'))));
}

TEST_F(FilePresenceTest, TheTestChangesNothing) {
  const auto before = fs::last_write_time(folder_ / "game.dat");
  EXPECT_TRUE(FileIsPresent(In("game.dat")));
  EXPECT_FALSE(FileIsPresent(In("missing.dat")));
  EXPECT_FALSE(fs::exists(folder_ / "missing.dat"));
  EXPECT_EQ(fs::file_size(folder_ / "game.dat"), 10u);
  EXPECT_EQ(fs::last_write_time(folder_ / "game.dat"), before);
}

}  // namespace
}  // namespace tarnwick
