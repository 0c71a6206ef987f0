// Runs the built tspgen as a user meets it: answers on standard input, in a
// directory of the test's own, with its output and exit status collected.
#ifndef TSPGEN_TESTS_RUN_PROGRAM_H
#define TSPGEN_TESTS_RUN_PROGRAM_H

#include <sys/resource.h>
#include <sys/types.h>

#include <string>

struct Run_Options {
  std::string input;
  std::string directory = ".";
  // Where standard output goes instead of a pipe, such as "/dev/full".
  std::string output_path;
  // Standard error on a pseudo-terminal instead of a pipe.
  bool error_on_terminal = false;
  rlim_t file_size_limit = RLIM_INFINITY;
  int timeout_ms = 20000;
};

struct Run_Result {
  int exit_status = -1;  // -1 unless the program exited
  int signal = 0;        // the signal that ended it, if one did
  bool timed_out = false;
  std::string output;
  std::string error;
};

// A started program whose pipes the caller drives.
struct Running_Program {
  pid_t pid = -1;
  int input = -1;
  int output = -1;
  int error = -1;
};

Running_Program start_program(const Run_Options &options);
// Reads standard output until it ends with `text`; false on timeout.
bool read_output_until(Running_Program &program, std::string &seen,
                       const std::string &text, int timeout_ms);
Run_Result finish_program(Running_Program &program, const std::string &input,
                          int timeout_ms);
Run_Result run_program(const Run_Options &options);

// A fresh directory under the system's temporary directory, removed with
// all it holds when the object goes.
class Temporary_Directory {
 public:
  Temporary_Directory();
  ~Temporary_Directory();
  Temporary_Directory(const Temporary_Directory &) = delete;
  Temporary_Directory &operator=(const Temporary_Directory &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string read_file(const std::string &path);
bool file_exists(const std::string &path);

#endif
