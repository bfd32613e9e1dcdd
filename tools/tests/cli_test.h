// A fixture that runs the torvex executable as a user runs it, in a fresh
// temporary folder, and collects its exit status and output.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace torvex::tools {

inline std::string ReadText(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

inline std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path) {
    const std::string text = ReadText(path);
    return {text.begin(), text.end()};
}

class CliTest : public ::testing::Test {
protected:
    struct Result {
        int status;
        std::string out, err;
    };

    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "torvex-cli-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path Path(const std::string& name) const { return dir_ / name; }

    // Runs torvex with `args` (already quoted as needed) in the test folder;
    // `input` names a file for standard input. Standard output and error are
    // kept in stdout.txt and stderr.txt there.
    Result Run(const std::string& args, const std::string& input = "") const {
        const std::string command = "cd '" + dir_.string() + "' && '" TORVEX_CLI "' " + args +
                                    (input.empty() ? " </dev/null" : " <'" + input + "'") + " >stdout.txt 2>stderr.txt";
        const int raw = std::system(command.c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadText(Path("stdout.txt")), ReadText(Path("stderr.txt"))};
    }

    // A refusal: exit status 1 and exactly one line on standard error, starting
    // with "torvex: " and containing `message`.
    static void ExpectRefusal(const Result& result, const std::string& message) {
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err.rfind("torvex: ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }

    void Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
        std::ofstream(Path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    std::filesystem::path dir_;
};

}  // namespace torvex::tools
