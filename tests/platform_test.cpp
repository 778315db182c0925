// The result file's cleanup through the platform seam, on each platform: only
// the file that was created for the verdict is removed by its name.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "platform.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;

class ResultCleanup : public testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(dir_ / "input", std::ios::binary) << "x";
    input_ = platform::open_input((dir_ / "input").string().c_str());
    ASSERT_TRUE(input_);
  }
  void TearDown() override { input_.reset(); }

  // Creates the result as the run does and closes it: the identity it was created with.
  platform::FileIdentity create_and_close() {
    platform::CreatedResult created = platform::create_result(result().c_str(), input_->identity());
    EXPECT_TRUE(created.file);
    EXPECT_TRUE(created.file.close());
    return created.identity;
  }
  std::string result() const { return (dir_ / "test.fzz").string(); }

  TempDir temp_{"seam"};
  const fs::path& dir_ = temp_.path();
  std::unique_ptr<platform::Input> input_;
};

TEST_F(ResultCleanup, RemovesTheFileItCreated) {
  const platform::FileIdentity created = create_and_close();
  platform::remove_result(result().c_str(), created);
  EXPECT_FALSE(fs::exists(result()));
}

TEST_F(ResultCleanup, LeavesAnotherFileThatTookTheName) {
  const platform::FileIdentity created = create_and_close();
  // Renamed rather than removed, so that the new file cannot reuse its index.
  fs::rename(result(), dir_ / "moved");
  std::ofstream(result(), std::ios::binary) << "other";
  platform::remove_result(result().c_str(), created);
  EXPECT_TRUE(fs::exists(result()));
  EXPECT_TRUE(fs::exists(dir_ / "moved"));
}

}  // namespace
