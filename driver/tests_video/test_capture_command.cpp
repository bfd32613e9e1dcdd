// The `torvex capture` command line, run as a user runs it.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status;
  std::string output;  // standard output and error together
};

Outcome Torvex(const std::string& arguments) {
  const std::string command = std::string(TORVEX_BINARY) + " " + arguments + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  std::string output;
  char buffer[512];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

class CaptureCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("torvex_capture_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path dir;
};

TEST_F(CaptureCommand, BadArgumentsGetOneLineAndNoOutput) {
  const char* cases[] = {"--size 13x7", "--size big", "--format yuy2", "--frames 0", "--fps 0", "--mirror maybe",
                         "--rotation 45", "--fault explode", "--fault stall@soon", "--source /nonexistent.png"};
  for (const char* arguments : cases) {
    const fs::path out = dir / "out.raw";
    const Outcome run = Torvex("capture " + std::string(arguments) + " " + out.string());
    EXPECT_EQ(run.status, 1) << arguments;
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << arguments << ": " << run.output;
    EXPECT_EQ(run.output.rfind("torvex: ", 0), 0u) << run.output;
    EXPECT_FALSE(fs::exists(out)) << arguments;
  }
  EXPECT_EQ(Torvex("capture " + (dir / "out.txt").string()).status, 1);
}

TEST_F(CaptureCommand, WritesEveryOutputKindAndTheLog) {
  const Outcome raw = Torvex("capture --frames 3 --log " + (dir / "log.txt").string() + " " + (dir / "a.raw").string());
  ASSERT_EQ(raw.status, 0) << raw.output;
  EXPECT_NE(raw.output.find("frames delivered 3"), std::string::npos) << raw.output;
  EXPECT_EQ(fs::file_size(dir / "a.raw"), 3u * 320 * 240 * 3);
  std::ifstream log(dir / "log.txt");
  std::string line;
  int lines = 0;
  while (std::getline(log, line)) {
    EXPECT_EQ(line.rfind("picture ", 0), 0u) << line;
    ++lines;
  }
  EXPECT_EQ(lines, 3);

  ASSERT_EQ(Torvex("capture --frames 2 --format iyuv " + (dir / "b.y4m").string()).status, 0);
  std::ifstream y4m(dir / "b.y4m", std::ios::binary);
  std::getline(y4m, line);
  EXPECT_EQ(line, "YUV4MPEG2 W320 H240 F15000:1000 Ip A1:1 C420jpeg");
  EXPECT_EQ(fs::file_size(dir / "b.y4m"), line.size() + 1 + 2 * (6 + 320 * 240 * 3 / 2));

  ASSERT_EQ(Torvex("capture --frames 2 --size 176x144 --rotation 90 " + (dir / "pngs").string()).status, 0);
  EXPECT_TRUE(fs::exists(dir / "pngs" / "frame_00001.png"));
  EXPECT_TRUE(fs::exists(dir / "pngs" / "frame_00002.png"));
}

TEST_F(CaptureCommand, FaultsAreRecoveredOrReported) {
  const Outcome stall = Torvex("capture --frames 6 --fault stall@2 " + (dir / "s.raw").string());
  EXPECT_EQ(stall.status, 0) << stall.output;
  EXPECT_NE(stall.output.find("resets 1"), std::string::npos) << stall.output;
  const Outcome unplug = Torvex("capture --frames 6 --fault unplug@2 " + (dir / "u.raw").string());
  EXPECT_EQ(unplug.status, 1) << unplug.output;
  EXPECT_NE(unplug.output.find("stopped sending"), std::string::npos) << unplug.output;
  EXPECT_EQ(fs::file_size(dir / "u.raw") % (320 * 240 * 3), 0u) << "the frames before the unplug are kept";
  const Outcome replug = Torvex("capture --frames 6 --fault unplug@2 --fault replug@3s " + (dir / "r.raw").string());
  EXPECT_EQ(replug.status, 0) << replug.output;
}

}  // namespace
