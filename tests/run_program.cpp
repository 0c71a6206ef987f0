#include "run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

using Clock = std::chrono::steady_clock;

void check(bool ok, const char *what) {
  if (!ok)
    throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

int open_terminal(int &secondary) {
  const int primary = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  check(primary >= 0 && grantpt(primary) == 0 && unlockpt(primary) == 0,
        "pseudo-terminal");
  secondary = open(ptsname(primary), O_RDWR | O_NOCTTY);
  check(secondary >= 0, "pseudo-terminal");
  return primary;
}

[[noreturn]] void become_program(const Run_Options &options, int input,
                                 int output, int error) {
  if (chdir(options.directory.c_str()) != 0) _exit(126);
  if (options.file_size_limit != RLIM_INFINITY) {
    const rlimit limit{options.file_size_limit, options.file_size_limit};
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  signal(SIGPIPE, SIG_DFL);
  if (options.error_on_terminal) setsid();
  if (!options.output_path.empty())
    output = open(options.output_path.c_str(), O_WRONLY);
  dup2(input, STDIN_FILENO);
  dup2(output, STDOUT_FILENO);
  dup2(error, STDERR_FILENO);
  execl(TSPGEN_PATH, "tspgen", static_cast<char *>(nullptr));
  _exit(127);
}

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Appends what `fd` has to `text`; false once it has ended.
bool drain(int &fd, std::string &text) {
  char block[65536];
  const ssize_t got = read(fd, block, sizeof block);
  if (got > 0) {
    text.append(block, static_cast<std::size_t>(got));
    return true;
  }
  if (got < 0 && errno == EINTR) return true;
  // A pseudo-terminal reports EIO once its other side has closed.
  close(fd);
  fd = -1;
  return false;
}

}  // namespace

Running_Program start_program(const Run_Options &options) {
  signal(SIGPIPE, SIG_IGN);
  int input[2];
  int output[2];
  int error[2];
  check(pipe2(input, O_CLOEXEC) == 0 && pipe2(output, O_CLOEXEC) == 0, "pipe");
  if (options.error_on_terminal)
    error[0] = open_terminal(error[1]);
  else
    check(pipe2(error, O_CLOEXEC) == 0, "pipe");
  const pid_t pid = fork();
  check(pid >= 0, "fork");
  if (pid == 0) become_program(options, input[0], output[1], error[1]);
  close(input[0]);
  close(output[1]);
  close(error[1]);
  return Running_Program{pid, input[1], output[0], error[0]};
}

bool read_output_until(Running_Program &program, std::string &seen,
                       const std::string &text, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (seen.size() < text.size() ||
         seen.compare(seen.size() - text.size(), text.size(), text) != 0) {
    pollfd entry{program.output, POLLIN, 0};
    if (program.output < 0 || poll(&entry, 1, remaining_ms(deadline)) <= 0 ||
        !drain(program.output, seen))
      return false;
  }
  return true;
}

Run_Result finish_program(Running_Program &program, const std::string &input,
                          int timeout_ms) {
  Run_Result result;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::size_t written = 0;
  if (input.empty()) close(program.input), program.input = -1;
  while (program.output >= 0 || program.error >= 0) {
    pollfd entries[3] = {{program.output, POLLIN, 0},
                         {program.error, POLLIN, 0},
                         {program.input, POLLOUT, 0}};
    const int ready = poll(entries, 3, remaining_ms(deadline));
    if (ready == 0) {
      result.timed_out = true;
      kill(program.pid, SIGKILL);
      break;
    }
    if (entries[0].revents != 0) drain(program.output, result.output);
    if (entries[1].revents != 0) drain(program.error, result.error);
    if (entries[2].revents != 0) {
      const ssize_t sent =
          write(program.input, input.data() + written, input.size() - written);
      if (sent > 0) written += static_cast<std::size_t>(sent);
      if (sent < 0 || written == input.size())
        close(program.input), program.input = -1;
    }
  }
  for (int *fd : {&program.input, &program.output, &program.error})
    if (*fd >= 0) close(*fd), *fd = -1;
  int status = 0;
  while (waitpid(program.pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

Run_Result run_program(const Run_Options &options) {
  Running_Program program = start_program(options);
  return finish_program(program, options.input, options.timeout_ms);
}

Temporary_Directory::Temporary_Directory() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "tspgen-test-XXXXXX").string();
  check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
  path_ = pattern;
}

Temporary_Directory::~Temporary_Directory() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool file_exists(const std::string &path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}
