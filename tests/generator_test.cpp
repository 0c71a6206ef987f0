// The program as its users meet it: answers on standard input, the console,
// the exit status and the bytes on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <string>
#include <thread>

#include "run_program.h"

namespace {

const std::string Console_Before_Message =
    "Random TSP Generator\n"
    "by Dr. Halvard Quist and Benno Strale\n"
    "Part of the Mirto Demo for the TSP\n"
    "Output Filename: Number of Cities: Seed: \n"
    "Generating random TSP instance ...\n";
const std::string Three_Cities_Seed_1 = "3 0\n1 4 5\n2 5 9\n3 15 15\n";
const std::string Three_Cities_Seed_42 = "3 0\n1 15 13\n2 3 6\n3 1 15\n";

void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

Run_Result run_in(const Temporary_Directory &directory,
                  const std::string &answers, Run_Options options = {}) {
  options.input = answers;
  options.directory = directory.path();
  return run_program(options);
}

struct Generated {
  Run_Result run;
  std::string file;
};

Generated generate(const std::string &answers, const std::string &name) {
  Temporary_Directory directory;
  write_file(directory.file(name), "an older and longer file of that name\n");
  const Run_Result run = run_in(directory, answers);
  return Generated{run, read_file(directory.file(name))};
}

struct Worked_Run {
  const char *answers;
  const char *file;
};

TEST(Generator, WorkedRunsGiveExactlyTheirFiles) {
  const Worked_Run runs[] = {
      {"cities.tsp\n3\n1\n", "3 0\n1 4 5\n2 5 9\n3 15 15\n"},
      {"cities.tsp\n5\n42\n", "5 0\n1 5 13\n2 5 24\n3 19 21\n4 2 17\n5 11 5\n"},
      {"cities.tsp\n3\n-1\n", "3 0\n1 7 12\n2 0 8\n3 2 6\n"},
      {"cities.tsp\n1\n1\n", "1 0\n1 4 1\n"},
      {"cities.tsp\n10\n0\n",
       "10 0\n1 19 26\n2 33 7\n3 20 49\n4 45 0\n5 29 32\n6 8 13\n7 45 39\n"
       "8 0 18\n9 3 31\n10 25 8\n"},
      {"cities.tsp\n010\n1\n",
       "8 0\n1 25 7\n2 1 27\n3 1 29\n4 2 22\n5 5 16\n6 7 7\n7 3 7\n8 0 17\n"},
      {"cities.tsp\n3\n0x2A\n", "3 0\n1 15 13\n2 3 6\n3 1 15\n"},
  };
  for (const Worked_Run &worked : runs) {
    SCOPED_TRACE(worked.answers);
    const Generated generated = generate(worked.answers, "cities.tsp");
    EXPECT_EQ(generated.run.exit_status, 0);
    EXPECT_EQ(generated.run.output,
              Console_Before_Message +
                  "cities.tsp TSP instance succesfully generated.\n");
    EXPECT_EQ(generated.run.error, "");
    EXPECT_EQ(generated.file, worked.file);
  }
}

struct Reading {
  const char *answers;
  std::string file;
};

TEST(Generator, ReadsNumbersByPrefixAndModulo2To32) {
  const Reading readings[] = {
      {"n 3 1", Three_Cities_Seed_1},
      {"\t n\v3\f1\r", Three_Cities_Seed_1},
      {"n 4294967299 1", Three_Cities_Seed_1},
      {"n +3 1", Three_Cities_Seed_1},
      {"n + \n 3 1", Three_Cities_Seed_1},
      {"n 0003 01", Three_Cities_Seed_1},
      {"n 0x3 0X1", Three_Cities_Seed_1},
      {"n 3 1junk", Three_Cities_Seed_1},
      {"n 3 4294967338", Three_Cities_Seed_42},
      {"n 3 052", Three_Cities_Seed_42},
      {"n 3 +0x2a", Three_Cities_Seed_42},
      {"n 3 0x00000000000000000000002A", Three_Cities_Seed_42},
      {"n 08", "0 0\n"},
      {"n 0 1", "0 0\n"},
      {"n -4 1", "-4 0\n"},
      {"n - 4 1", "-4 0\n"},
      {"n -0x4 1", "-4 0\n"},
      {"n 4294967292 1", "-4 0\n"},
      {"n 2147483648 1", "-2147483648 0\n"},
      {"n -1722435573 1", "-1722435573 0\n"},
      {"n 0xFFFFFFFFFFFFFFFFFFFFFFFF 1", "-1 0\n"},
      {"n 99999999999999999999999999999 1", "-1610612737 0\n"},
  };
  for (const Reading &reading : readings) {
    SCOPED_TRACE(reading.answers);
    const Generated generated = generate(reading.answers, "n");
    EXPECT_EQ(generated.run.exit_status, 0);
    EXPECT_EQ(generated.file, reading.file);
  }
}

struct Failure {
  std::string answers;
  std::string message;
};

TEST(Generator, RefusesBadAnswersBeforeTouchingTheFile) {
  const std::string long_name(256, 'a');
  const Failure failures[] = {
      {"", "tspgen: file name: input ended\n"},
      {" \n\t\n", "tspgen: file name: input ended\n"},
      {"out", "tspgen: number of cities: input ended\n"},
      {"out x 1", "tspgen: number of cities: not a number\n"},
      {"out 0x 1", "tspgen: number of cities: not a number\n"},
      {"out -", "tspgen: number of cities: input ended\n"},
      {"out 3", "tspgen: seed: input ended\n"},
      {"out 3x", "tspgen: seed: not a number\n"},
      {"out 3 0xg", "tspgen: seed: not a number\n"},
      {"out 3 + -1", "tspgen: seed: not a number\n"},
      {"out 429496730 1",
       "tspgen: number of cities: 429496730 is above the limit of "
       "429496729\n"},
      {"out 858993459 1",
       "tspgen: number of cities: 858993459 is above the limit of "
       "429496729\n"},
      {long_name + " 3 1", "tspgen: file name: longer than 255 characters\n"},
      {std::string(1 << 20, 'b'),
       "tspgen: file name: longer than 255 characters\n"},
      {std::string("o\0ut 3 1", 8), "tspgen: file name: contains a NUL byte\n"},
  };
  for (const Failure &failure : failures) {
    SCOPED_TRACE(failure.answers.substr(0, 40));
    Temporary_Directory directory;
    write_file(directory.file("out"), "keep");
    const Run_Result run = run_in(directory, failure.answers);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.error, failure.message);
    EXPECT_EQ(run.output.find("succesfully"), std::string::npos);
    EXPECT_EQ(read_file(directory.file("out")), "keep");
    EXPECT_FALSE(file_exists(directory.file(long_name)));
  }
}

TEST(Generator, TakesAFileNameOf255Characters) {
  const std::string name(255, 'n');
  const Generated generated = generate(name + " 3 1", name);
  EXPECT_EQ(generated.run.exit_status, 0);
  EXPECT_EQ(generated.file, Three_Cities_Seed_1);
}

TEST(Generator, CreatesTheFileWithMode0664LessTheUmask) {
  Temporary_Directory directory;
  const mode_t previous = umask(002);
  const Run_Result run = run_in(directory, "new 3 1");
  umask(previous);
  struct stat info {};
  ASSERT_EQ(stat(directory.file("new").c_str(), &info), 0);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(info.st_mode & 0777, 0664U);
}

TEST(Generator, ReportsAFileThatCannotBeOpened) {
  const Failure failures[] = {
      {"missing/out 3 1", "tspgen: missing/out: No such file or directory\n"},
      {"sub 3 1", "tspgen: sub: Is a directory\n"},
      {"sub/ 3 1", "tspgen: sub/: Is a directory\n"},
  };
  for (const Failure &failure : failures) {
    SCOPED_TRACE(failure.answers);
    Temporary_Directory directory;
    mkdir(directory.file("sub").c_str(), 0755);
    const Run_Result run = run_in(directory, failure.answers);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.error, failure.message);
    EXPECT_EQ(run.output, Console_Before_Message);
  }
}

TEST(Generator, ReportsAFileWithoutWritePermission) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  Temporary_Directory directory;
  write_file(directory.file("locked"), "keep");
  chmod(directory.file("locked").c_str(), 0444);
  const Run_Result run = run_in(directory, "locked 3 1");
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.error, "tspgen: locked: Permission denied\n");
  EXPECT_EQ(read_file(directory.file("locked")), "keep");
}

TEST(Generator, ReportsAFullDiskAtTheLargestCount) {
  Run_Options options;
  options.input = "/dev/full 429496729 1";
  const Run_Result run = run_program(options);
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.error, "tspgen: /dev/full: No space left on device\n");
  EXPECT_EQ(run.output, Console_Before_Message);
}

Run_Options with_file_size_limit(rlim_t bytes) {
  Run_Options options;
  options.file_size_limit = bytes;
  return options;
}

TEST(Generator, RemovesAPartialFileWhenAWriteFails) {
  Temporary_Directory directory;
  const Run_Result run =
      run_in(directory, "part 100000 1", with_file_size_limit(4096));
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.error, "tspgen: part: File too large\n");
  EXPECT_FALSE(file_exists(directory.file("part")));
}

// The link may be all the user has to the target, so the target is emptied
// and both stay.
TEST(Generator, EmptiesTheTargetOfASymlinkWhenAWriteFails) {
  Temporary_Directory directory;
  write_file(directory.file("target"), "old");
  ASSERT_EQ(symlink("target", directory.file("link").c_str()), 0);
  const Run_Result run =
      run_in(directory, "link 100000 1", with_file_size_limit(4096));
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_TRUE(file_exists(directory.file("link")));
  EXPECT_EQ(read_file(directory.file("target")), "");
}

TEST(Generator, WritesThroughASymlink) {
  Temporary_Directory directory;
  ASSERT_EQ(symlink("target", directory.file("link").c_str()), 0);
  EXPECT_EQ(run_in(directory, "link 3 1").exit_status, 0);
  EXPECT_EQ(read_file(directory.file("target")), Three_Cities_Seed_1);
}

TEST(Generator, ReportsAFailingStandardOutput) {
  Temporary_Directory directory;
  Run_Options options;
  options.output_path = "/dev/full";
  const Run_Result run = run_in(directory, "out 3 1", options);
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.error, "tspgen: standard output: No space left on device\n");
  EXPECT_FALSE(file_exists(directory.file("out")));
}

TEST(Generator, ShowsEachPromptBeforeWaitingForItsAnswer) {
  Temporary_Directory directory;
  Run_Options options;
  options.directory = directory.path();
  Running_Program program = start_program(options);
  std::string seen;
  const std::pair<const char *, const char *> dialogue[] = {
      {"Output Filename: ", "cities.tsp\n"},
      {"Number of Cities: ", "3\n"},
      {"Seed: ", "1\n"},
  };
  for (const auto &[prompt, answer] : dialogue) {
    ASSERT_TRUE(read_output_until(program, seen, prompt, 10000)) << seen;
    ASSERT_EQ(write(program.input, answer, strlen(answer)),
              static_cast<ssize_t>(strlen(answer)));
  }
  const Run_Result run = finish_program(program, "", 10000);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(seen + run.output,
            Console_Before_Message +
                "cities.tsp TSP instance succesfully generated.\n");
  EXPECT_EQ(read_file(directory.file("cities.tsp")), Three_Cities_Seed_1);
}

// Long enough for the progress line to appear, without touching the disk.
const char Long_Run_Answers[] = "/dev/null 100000000 1\n";

TEST(Generator, ShowsProgressOnATerminalAndErasesIt) {
  Run_Options options;
  options.input = Long_Run_Answers;
  options.error_on_terminal = true;
  options.timeout_ms = 120000;
  const Run_Result run = run_program(options);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.error.rfind("\rtspgen: ", 0), 0U) << run.error;
  EXPECT_NE(run.error.find(" of 100000000 cities ("), std::string::npos);
  EXPECT_EQ(run.error.substr(run.error.size() - 4), "\r\033[K");
  EXPECT_EQ(run.output, Console_Before_Message +
                            "/dev/null TSP instance succesfully generated.\n");
}

TEST(Generator, WritesNothingOnStandardErrorThatIsNoTerminal) {
  Run_Options options;
  options.input = Long_Run_Answers;
  options.timeout_ms = 120000;
  const Run_Result run = run_program(options);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.error, "");
}

TEST(Generator, RemovesThePartialFileAndEndsByTheSignal) {
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal_number);
    Temporary_Directory directory;
    Run_Options options;
    options.directory = directory.path();
    Running_Program program = start_program(options);
    const std::string answers = "big 429496729 1\n";
    ASSERT_EQ(write(program.input, answers.data(), answers.size()),
              static_cast<ssize_t>(answers.size()));
    struct stat info {};
    for (int wait = 0; wait < 20000; ++wait) {
      if (stat(directory.file("big").c_str(), &info) == 0 && info.st_size > 0)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_GT(info.st_size, 0);
    kill(program.pid, signal_number);
    const Run_Result run = finish_program(program, "", 20000);
    EXPECT_EQ(run.signal, signal_number);
    EXPECT_EQ(run.error, "");
    EXPECT_FALSE(file_exists(directory.file("big")));
  }
}

}  // namespace
