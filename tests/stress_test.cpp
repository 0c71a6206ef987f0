// Thousands of answer streams, good and bad, made from a fixed seed: every
// run must end with status 0 and one well-formed instance file, or with
// status 1, one line on standard error and no file.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "run_program.h"

namespace {

constexpr int Runs = 2000;
const char White_Space[] = " \t\n\v\f\r";

class Answer_Maker {
 public:
  explicit Answer_Maker(unsigned seed) : random_(seed) {}

  std::string answers() {
    std::string stream =
        space() + name() + space() + count() + space() + number() + space();
    if (chance(10)) stream.resize(pick(0, stream.size()));
    if (chance(10)) stream.insert(pick(0, stream.size()), 1, byte());
    return stream;
  }

 private:
  std::size_t pick(std::size_t low, std::size_t high) {
    return std::uniform_int_distribution<std::size_t>(low, high)(random_);
  }
  bool chance(int percent) {
    return pick(1, 100) <= static_cast<std::size_t>(percent);
  }
  char byte() { return static_cast<char>(pick(0, 255)); }

  std::string space() {
    std::string text;
    for (std::size_t i = pick(chance(90) ? 1 : 0, 3); i > 0; --i)
      text += White_Space[pick(0, 5)];
    return text;
  }

  // Relative names only: no '/' at all, and never "." or "..".
  std::string name() {
    std::string text;
    const std::size_t length = chance(5) ? pick(250, 300) : pick(1, 12);
    while (text.size() < length) {
      const char c = chance(10) ? byte() : static_cast<char>('a' + pick(0, 25));
      if (c != '/') text += c;
    }
    if (text.find_first_not_of('.') == std::string::npos) text += 'x';
    return text;
  }

  std::string digits(std::size_t length, const char *alphabet) {
    std::string text;
    const std::size_t size = std::char_traits<char>::length(alphabet);
    while (text.size() < length) text += alphabet[pick(0, size - 1)];
    return text;
  }

  // Counts that reduce to more than a few thousand cities are refused by
  // the program or kept small here, so that no run writes much.
  std::string count() {
    std::ostringstream text;
    switch (pick(0, 7)) {
      case 0: text << pick(0, 3000); break;
      case 1: text << '-' << space() << pick(0, 5000000000ULL); break;
      case 2: text << "0x" << std::hex << pick(0, 3000); break;
      case 3: text << '0' << std::oct << pick(0, 3000); break;
      case 4:
        text << (std::uint64_t{pick(1, 1000)} << 32) + pick(0, 2000);
        break;
      case 5: text << pick(429496730, 4294967295ULL); break;
      case 6: text << digits(pick(0, 3), "0xX+-8g "); break;
      default: text << number(); break;
    }
    return text.str();
  }

  std::string number() {
    switch (pick(0, 4)) {
      case 0: return std::to_string(static_cast<int>(pick(0, 1ULL << 32)));
      case 1: return "0x" + digits(pick(0, 30), "0123456789abcdefABCDEF");
      case 2: return "0" + digits(pick(0, 30), "01234567");
      case 3: return digits(pick(1, 40), "0123456789");
      default: return digits(pick(1, 4), "+- \t08xXq");
    }
  }

  std::mt19937_64 random_;
};

// Checks the file format; returns what is wrong, or "" if nothing is.
std::string format_fault(const std::string &file) {
  std::istringstream lines(file);
  std::string line;
  if (!std::getline(lines, line)) return "no header";
  const std::size_t space = line.find(' ');
  if (space == std::string::npos || line.substr(space) != " 0")
    return "bad header " + line;
  const long long count = std::stoll(line.substr(0, space));
  if (std::to_string(count) != line.substr(0, space))
    return "bad count " + line;
  long long city = 0;
  while (std::getline(lines, line)) {
    long long number = 0;
    long long x = -1;
    long long y = -1;
    std::istringstream fields(line);
    fields >> number >> x >> y;
    if (line != std::to_string(number) + ' ' + std::to_string(x) + ' ' +
                    std::to_string(y) ||
        number != ++city || x < 0 || y < 0 || x > 5 * count || y > 5 * count)
      return "bad line " + line;
  }
  if (city != std::max(count, 0LL)) return "wrong number of cities";
  if (file.back() != '\n') return "no final line feed";
  return "";
}

std::vector<std::filesystem::path> files_in(const std::string &directory) {
  std::vector<std::filesystem::path> files;
  for (const auto &entry : std::filesystem::directory_iterator(directory))
    files.push_back(entry.path());
  return files;
}

TEST(Stress, EveryAnswerStreamEndsCleanly) {
  Answer_Maker maker(20261206);
  int successes = 0;
  for (int run = 0; run < Runs; ++run) {
    Temporary_Directory directory;
    Run_Options options;
    options.input = maker.answers();
    options.directory = directory.path();
    options.file_size_limit = 1 << 20;
    options.timeout_ms = 10000;
    const Run_Result result = run_program(options);
    SCOPED_TRACE(testing::Message() << "run " << run << ": " << options.input);
    ASSERT_FALSE(result.timed_out);
    ASSERT_TRUE(result.exit_status == 0 || result.exit_status == 1)
        << "status " << result.exit_status << " signal " << result.signal
        << "\n"
        << result.error;
    const auto files = files_in(directory.path());
    if (result.exit_status == 0) {
      ++successes;
      ASSERT_EQ(files.size(), 1U);
      ASSERT_EQ(format_fault(read_file(files[0].string())), "");
      ASSERT_EQ(result.error, "");
    } else {
      ASSERT_TRUE(files.empty());
      ASSERT_EQ(result.error.rfind("tspgen: ", 0), 0U) << result.error;
      ASSERT_EQ(result.error.find('\n'), result.error.size() - 1);
    }
  }
  // The mix must exercise both outcomes, not only the refusals.
  EXPECT_GT(successes, Runs / 10);
  EXPECT_LT(successes, Runs * 9 / 10);
}

}  // namespace
