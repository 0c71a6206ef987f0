// tspgen: asks for a file name, a number of cities and a seed, and writes a
// reproducible random instance of the travelling salesman problem.
//
// The console is handled with read(2) and write(2) on the standard file
// descriptors: every prompt is out before the program waits, every answer
// is parsed by our own reader, and every failure is known and reported.
//
// The instance file goes through five phases, and what a failure or a
// caught signal does to it follows from the phase it comes in alone:
//   Before_Open  until the open has returned, however long it waits: the
//                file is left as it is.
//   Opened       open, not yet truncated, however long it waits for the
//                lock that keeps one run at a time on a regular file: it
//                is closed and left as it is; one that the open created
//                stays, empty.
//   Writing      from the truncation until the close has succeeded: the
//                file is emptied through a descriptor that reaches it,
//                which empties a symlink's target and the other hard links
//                too, and the name is removed if it still leads straight
//                to that regular file. Where partial data stays reachable,
//                or the emptied file under its name, the message says so.
//   Complete     the file is whole and stays, whatever comes after.
//   Discarded    the clean-up has run; it runs once.
// The two steps that change the file and its phase together, the
// truncation and the close, are critical sections with every signal
// blocked: a signal that comes during one acts once it is over, whether it
// succeeded or failed. A step that fails settles the phase inside and is
// reported outside, where a signal can still end the run.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "misc.h"

namespace {

// ---- Limits

// 5 * N must fit in an int: this is the largest N for which it does.
constexpr int Largest_City_Count = 429496729;
constexpr std::size_t Longest_File_Name = 255;
// "429496729 2147483645 2147483645\n" is the longest city line.
constexpr std::size_t Longest_Line = 32;

static_assert(sizeof(off_t) >= 8,
              "instance files pass 2 GiB: build with _FILE_OFFSET_BITS=64");

// Ends the program after a failure, once the instance file is dealt with
// as its phase asks; the reason is by default that of errno at the call.
// It is defined with the clean-up, at the end.
[[noreturn]] void fail(std::string_view what,
                       std::string_view why = std::strerror(errno));

// ---- The console

// Which standard descriptors are terminals, taken at the start: the
// instance file may later take the number of one that was closed; and
// whether standard error is one that TERM says can redraw a line, which a
// dumb terminal would show the codes of.
struct {
  bool input, output, error, redraws;
} Terminal;

// Whether the cursor stands after a prompt on the terminal of standard
// output, where a message would be glued to it. A prompt opens the line; a
// byte typed at the prompt closes it, as in the mode terminals start in its
// line was echoed, with its Enter, before it could be read. A byte typed
// ahead was echoed before the prompt, and the end of input is not echoed.
bool Line_Open;

// Whether a call on `fd` that failed is to be made again: it was
// interrupted, or `fd` was opened non-blocking by whoever handed it to us
// and is ready now. Returns false, with errno set, if not.
bool should_retry(int fd, short events) {
  if (errno == EINTR) return true;
  if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
  pollfd entry{fd, events, 0};
  while (poll(&entry, 1, -1) < 0)
    if (errno != EINTR) return false;
  return true;
}

bool write_all(int fd, const char *data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0 && should_retry(fd, POLLOUT)) continue;
    if (written <= 0) {
      // A write that takes nothing would take nothing again.
      if (written == 0) errno = EIO;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// Whether a byte waits on standard input, typed ahead on a terminal.
bool input_ready() {
  pollfd entry{STDIN_FILENO, POLLIN, 0};
  return poll(&entry, 1, 0) > 0;
}

// Writes "tspgen: WHAT: WHY" and its note as one line of standard error,
// after `lead`, with each control byte of WHAT shown as \ and three octal
// digits: WHAT may be a name from a file someone else wrote, whose bytes
// would otherwise reach the terminal as commands that retitle its window or
// erase its lines. A failure to write it could not be reported anywhere.
void tell(const char *lead, std::string_view what, std::string_view why,
          const char *note = "") {
  // It fits: the name shown takes at most 1020 bytes, the rest 250.
  char message[1280];
  char *out = message + std::snprintf(message, 16, "%stspgen: ", lead);
  for (const char c : what.substr(0, Longest_File_Name)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F)
      out += std::snprintf(out, 5, "\\%03o", byte);
    else
      *out++ = c;
  }
  const auto room = static_cast<std::size_t>(message + sizeof message - out);
  out += std::snprintf(out, room, ": %.*s%s\n", static_cast<int>(why.size()),
                       why.data(), note);
  write_all(STDERR_FILENO, message, static_cast<std::size_t>(out - message));
}

void say(std::string_view text) {
  if (!write_all(STDOUT_FILENO, text.data(), text.size()))
    fail("standard output");
  Line_Open = Terminal.output && text.back() != '\n';
}

// ---- Reading the answers

// Standard input is read a byte at a time, whatever it is, so that nothing
// past the character that ends the seed is taken and the next reader
// (another tspgen, say) starts there, as after the shell's read(1).
struct {
  int next;  // the byte read and not yet taken, or -1 at the end of input
  bool held;
} Input;

// Reads the next byte into Input. Returns false, with errno set, if the
// read failed.
bool read_input() {
  // Asked only while a prompt leaves the line open: a poll for every byte
  // would double the cost of a long input.
  const bool typed_at_prompt = Line_Open && Terminal.input && !input_ready();
  for (;;) {
    unsigned char byte;
    const ssize_t got = read(STDIN_FILENO, &byte, 1);
    if (got >= 0) {
      Input = {got == 1 ? byte : -1, true};
      if (got == 1 && typed_at_prompt) Line_Open = false;
      return true;
    }
    if (!should_retry(STDIN_FILENO, POLLIN)) return false;
  }
}

// The next byte of input without taking it, or -1 at the end of input.
int peek_input() {
  if (!Input.held && !read_input()) fail("standard input");
  return Input.next;
}

// The end of input stays, for every later peek to see.
void take_input() { Input.held = Input.next == -1; }

// On a terminal, takes what is already typed of the line of the last
// answer, so that the shell never runs it as a command.
void take_rest_of_terminal_line() {
  while (Terminal.input && Input.next != '\n' && Input.next != -1 &&
         input_ready() && read_input()) {
  }
}

[[noreturn]] void refuse_answer(std::string_view what, std::string_view why) {
  take_rest_of_terminal_line();
  fail(what, why);
}

bool is_white_space(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

void skip_white_space() {
  while (is_white_space(peek_input())) take_input();
}

// Reads one word into `name`, which then holds it and its terminator.
void read_file_name(char (&name)[Longest_File_Name + 1]) {
  skip_white_space();
  std::size_t length = 0;
  for (int c = peek_input(); c != -1 && !is_white_space(c); c = peek_input()) {
    if (length == Longest_File_Name)
      refuse_answer("file name", "longer than 255 bytes");
    if (c == '\0') refuse_answer("file name", "contains a NUL byte");
    name[length++] = static_cast<char>(c);
    take_input();
  }
  if (length == 0) fail("file name", "input ended");
  name[length] = '\0';
}

// The value of `c` as a digit of any base up to 16, or 16 if it is none.
unsigned digit_value(int c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  return 16;
}

// Reads an integer whose prefix gives its base (0x hexadecimal, 0 octal,
// else decimal), taking digits without limit and keeping the result modulo
// 2^32, as a signed 32-bit value. `what` names the answer in messages.
int read_number(const char *what) {
  skip_white_space();
  // Once a sign or a 0x is taken, the answer has begun, and what lacks its
  // digits is not a number, whether input goes on or not.
  if (peek_input() == -1) fail(what, "input ended");
  bool negative = false;
  if (peek_input() == '+' || peek_input() == '-') {
    negative = peek_input() == '-';
    take_input();
    skip_white_space();
  }
  unsigned base = 10;
  bool has_digit = false;
  if (peek_input() == '0') {
    take_input();
    if (peek_input() == 'x' || peek_input() == 'X') {
      take_input();
      base = 16;
    } else {
      base = 8;
      has_digit = true;
    }
  }
  std::uint32_t value = 0;
  for (unsigned digit = digit_value(peek_input()); digit < base;
       digit = digit_value(peek_input())) {
    value = value * base + digit;
    has_digit = true;
    take_input();
  }
  if (!has_digit) refuse_answer(what, "not a number");
  if (negative) value = 0U - value;
  return static_cast<int>(value);
}

int read_city_count() {
  const int count = read_number("number of cities");
  if (count > Largest_City_Count) {
    char why[80];
    std::snprintf(why, sizeof why, "%d is above the limit of %d", count,
                  Largest_City_Count);
    refuse_answer("number of cities", why);
  }
  return count;
}

// ---- Opening and locking the instance file

enum Phase { Before_Open, Opened, Writing, Complete, Discarded };

struct {
  volatile std::sig_atomic_t phase;
  // The descriptor that reaches the file, or -1 once none does.
  volatile std::sig_atomic_t fd;
  const char *name;
  struct stat opened;
} Instance_File = {Before_Open, -1, nullptr, {}};

bool same_file(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The console's own files cannot take the instance: a regular file would
// have the dialogue written among the cities, and the file or pipe of
// standard input would be written into by its own reader. A terminal can.
void refuse_a_console_file() {
  constexpr const char *Consoles[] = {"the same file as standard input",
                                      "the same file as standard output",
                                      "the same file as standard error"};
  const struct stat &opened = Instance_File.opened;
  for (const int console : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    const bool may_clash =
        S_ISREG(opened.st_mode) ||
        (console == STDIN_FILENO && S_ISFIFO(opened.st_mode));
    struct stat stream {};
    if (console != Instance_File.fd && may_clash &&
        fstat(console, &stream) == 0 && same_file(opened, stream))
      fail(Instance_File.name, Consoles[console]);
  }
}

// One run at a time writes a regular file: the lock is waited for, and
// holds until the file's last descriptor, the close's copy too, is closed.
// A wait says so, as the lock may be held by what started us (flock(1)),
// and would then never end. The notice starts a line of its own on a
// terminal, where another run's progress line may stand; it never goes to
// a file that took the number of a closed standard error.
void lock_instance_file() {
  const int fd = Instance_File.fd;
  int locked = flock(fd, LOCK_EX | LOCK_NB);
  if (locked != 0 && errno == EWOULDBLOCK) {
    if (fd != STDERR_FILENO)
      tell(Terminal.redraws ? "\r\033[K" : "", Instance_File.name,
           "waiting for another process to release its lock");
    while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
  }
  if (locked != 0) fail(Instance_File.name);
}

// The open and the lock may wait long (for a FIFO's reader, another run,
// another process's lease, a slow network file system), and a signal
// meanwhile ends the program at once. Nothing is truncated, so that a
// failure or a signal before the truncation leaves the old file as it was.
// Once the lock is ours, the name must still lead to the file, as the run
// that held it may have removed it: if not, the file is opened anew.
void open_instance_file(const char *name) {
  Instance_File.name = name;
  for (;;) {
    const int fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0664);
    if (fd < 0) fail(name);
    Instance_File.fd = fd;
    Instance_File.phase = Opened;
    if (fstat(fd, &Instance_File.opened) != 0) fail(name);
    refuse_a_console_file();
    if (!S_ISREG(Instance_File.opened.st_mode)) return;
    lock_instance_file();
    struct stat named {};
    if (stat(name, &named) == 0 && same_file(named, Instance_File.opened))
      return;
    Instance_File.phase = Before_Open;
    close(fd);
  }
}

// ---- The truncation

// Runs `step`, a change of the file's state, with every signal blocked: a
// signal that comes meanwhile acts once it is over, whether it succeeded or
// not. A step that fails settles the file's phase and gives back why, for
// the failure to be reported after the section, as a message may wait.
template <typename Step>
auto in_critical_section(Step step) {
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &before);
  const auto result = step();
  sigprocmask(SIG_SETMASK, &before, nullptr);
  return result;
}

void truncate_instance_file() {
  const int error = in_critical_section([] {
    if (S_ISREG(Instance_File.opened.st_mode) &&
        ftruncate(Instance_File.fd, 0) != 0)
      return errno;
    Instance_File.phase = Writing;
    return 0;
  });
  if (error != 0) fail(Instance_File.name, std::strerror(error));
}

// ---- The progress line

// A line on standard error, when it is a terminal, that shows how far a
// long run has come.
struct {
  volatile std::sig_atomic_t drawn;
  bool wanted;
  double start;
  double next_update;
  int total;
} Progress;

void erase_progress() {
  // One write, never retried, as the signal handler erases the line too.
  // On a terminal stopped by Ctrl-S it waits until Ctrl-Q, the clean-up
  // done by then. The line is a courtesy: a failure to erase it is not
  // reported.
  if (Progress.drawn && write(STDERR_FILENO, "\r\033[K", 4) != 4) {
  }
  Progress.drawn = 0;
}

double seconds_now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) +
         static_cast<double>(now.tv_nsec) / 1e9;
}

void start_progress(int total) {
  // Not where the instance goes to a terminal: among the cities.
  Progress.wanted = Terminal.redraws && isatty(Instance_File.fd) != 1;
  Progress.total = total;
  Progress.next_update = 1.0;
  Progress.start = seconds_now();
}

void update_progress(int done) {
  if (!Progress.wanted) return;
  const double elapsed = seconds_now() - Progress.start;
  if (elapsed < Progress.next_update) return;
  Progress.next_update = elapsed + 0.25;
  // A line that wrapped would leave a copy of itself at each redraw. Where
  // the line does not fit, a shorter one is drawn, each true as it stands,
  // never a number cut short; where none fits, none. The last column stays
  // free, as some terminals wrap on reaching it, and the width is asked at
  // each redraw, so that a resized window counts.
  char line[112] = "\r";
  char *const text = line + 1;
  const std::size_t room = sizeof line - 4;
  winsize size{};
  const int width =
      ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0
          ? size.ws_col - 1
          : static_cast<int>(room);
  const int total = Progress.total;
  const int percent = static_cast<int>(100.0 * done / total);
  int length = std::snprintf(
      text, room, "tspgen: %d of %d cities (%d%%), %.1f million cities/s", done,
      total, percent, done / elapsed / 1e6);
  if (length > width)
    length = std::snprintf(text, room, "tspgen: %d of %d cities (%d%%)", done,
                           total, percent);
  if (length > width)
    length = std::snprintf(text, room, "tspgen: %d%%", percent);
  if (length > width) length = 0;
  std::strcpy(text + length, "\033[K");
  // Marked first, so that a signal that comes as the line appears erases it.
  Progress.drawn = 1;
  // The line is a courtesy: a failure to draw it is not reported.
  if (!write_all(STDERR_FILENO, line, static_cast<std::size_t>(length) + 4))
    Progress.wanted = false;
}

// ---- Digits

// Numbers are written four digits at a time from a table of the 10,000
// groups "0000" to "9999": one multiplication splits off a group where a
// digit-by-digit loop would divide by ten four times, and a group is moved
// with one 4-byte copy. A group that leads a number is written without its
// zeros, from a second table that also holds their count.
struct Leading_Group {
  char digits[4];  // left-aligned; the bytes past `length` are never kept
  std::uint32_t length;
};

struct Digit_Groups {
  Leading_Group leading[10000];
  char inner[10000][4];
};

constexpr Digit_Groups make_digit_groups() {
  Digit_Groups groups{};
  for (int value = 0; value < 10000; ++value) {
    char(&inner)[4] = groups.inner[value];
    for (int place = 3, rest = value; place >= 0; --place, rest /= 10)
      inner[place] = static_cast<char>('0' + rest % 10);
    Leading_Group &leading = groups.leading[value];
    leading.length = value >= 1000 ? 4 : value >= 100 ? 3 : value >= 10 ? 2 : 1;
    for (std::uint32_t place = 0; place < leading.length; ++place)
      leading.digits[place] = inner[4 - leading.length + place];
  }
  return groups;
}

constexpr Digit_Groups Groups = make_digit_groups();

// Up to 3 bytes past the end of the digits are scribbled on.
char *write_leading_group(char *out, std::uint32_t group) {
  const Leading_Group &leading = Groups.leading[group];
  std::memcpy(out, leading.digits, 4);
  return out + leading.length;
}

char *write_inner_group(char *out, std::uint32_t group) {
  std::memcpy(out, Groups.inner[group], 4);
  return out + 4;
}

// Writes `value` in decimal with the fewest digits and returns the end of
// its digits; up to 3 bytes past that end are scribbled on.
char *write_decimal(char *out, std::uint32_t value) {
  if (value < 10000) return write_leading_group(out, value);
  const std::uint32_t high = value / 10000;
  if (high < 10000) {
    out = write_leading_group(out, high);
  } else {
    const std::uint32_t highest = high / 10000;
    out = write_leading_group(out, highest);
    out = write_inner_group(out, high - highest * 10000);
  }
  return write_inner_group(out, value - high * 10000);
}

// ---- Writing the instance

// The instance file's bytes on their way to the disk.
struct {
  char bytes[512 * 1024];
  std::size_t used;
} File_Buffer;

void flush_file_buffer() {
  if (!write_all(Instance_File.fd, File_Buffer.bytes, File_Buffer.used))
    fail(Instance_File.name);
  File_Buffer.used = 0;
}

// Writes a space and a coordinate drawn from 0 to `bound`.
char *write_coordinate(char *out, int bound) {
  *out++ = ' ';
  return write_decimal(out, static_cast<std::uint32_t>(random_int(bound)));
}

// Writes the lines of the cities `block` * 10,000 + `low` for `low` from
// `first_low` to `last_low`. The digits above a city number's last four
// are the block's, written once for all its cities, so a city's own number
// costs one table group and no division.
char *write_city_block(char *out, std::uint32_t block, std::uint32_t first_low,
                       std::uint32_t last_low, int bound) {
  char block_digits[16] = {};
  const char *const block_end = write_decimal(block_digits, block);
  const auto block_length = static_cast<std::size_t>(block_end - block_digits);
  for (std::uint32_t low = first_low; low <= last_low; ++low) {
    if (block == 0) {
      out = write_leading_group(out, low);
    } else {
      std::memcpy(out, block_digits, 8);
      out = write_inner_group(out + block_length, low);
    }
    out = write_coordinate(out, bound);
    out = write_coordinate(out, bound);
    *out++ = '\n';
  }
  return out;
}

void write_header(int count) {
  File_Buffer.used = static_cast<std::size_t>(std::snprintf(
      File_Buffer.bytes, sizeof File_Buffer.bytes, "%d 0\n", count));
}

// Kept out of main: inlined there, GCC spills a register in the loop over
// the cities, one more instruction a city.
[[gnu::noinline]] void write_cities(int count) {
  // A count of 0 or less has no cities, and 5 times it could overflow.
  if (count < 1) return;
  const int bound = 5 * count;
  const auto last_block = static_cast<std::uint32_t>(count) / 10000;
  start_progress(count);
  for (std::uint32_t block = 0; block <= last_block; ++block) {
    // Room for a block of the longest lines and what is scribbled past them.
    if (sizeof File_Buffer.bytes - File_Buffer.used < 10000 * Longest_Line + 8)
      flush_file_buffer();
    const std::uint32_t first_low = block == 0 ? 1 : 0;
    const std::uint32_t last_low =
        block == last_block ? static_cast<std::uint32_t>(count) % 10000 : 9999;
    char *out = File_Buffer.bytes + File_Buffer.used;
    out = write_city_block(out, block, first_low, last_low, bound);
    File_Buffer.used = static_cast<std::size_t>(out - File_Buffer.bytes);
    update_progress(static_cast<int>(block * 10000 + last_low));
  }
  erase_progress();
}

// ---- The close

// After a failed close, settles the descriptor through which the clean-up
// empties the file, like one whose write failed: `copy` where there is
// one, else `fd` if the system kept it open. Some systems keep `fd` open
// after a failure, so it is closed again beside a copy: no descriptor of
// the file but the one settled stays open to take the message. Returns why
// the close failed.
int settle_after_failed_close(int fd, int copy) {
  const int close_error = errno;
  if (copy >= 0) {
    close(fd);
    Instance_File.fd = copy;
  } else {
    Instance_File.fd = fcntl(fd, F_GETFD) != -1 ? fd : -1;
  }
  return close_error;
}

// On some systems a close that fails has freed the descriptor all the
// same, and the name may by then lead to another file: a copy of the
// descriptor, where one is free, keeps the file within reach through the
// close. Where only the last close writes the data out, it is the copy's.
void close_instance_file() {
  const int fd = Instance_File.fd;
  const int copy = dup(fd);
  const int error = in_critical_section([&] {
    if (close(fd) != 0) return settle_after_failed_close(fd, copy);
    if (copy >= 0 && close(copy) != 0)
      return settle_after_failed_close(copy, -1);
    Instance_File.phase = Complete;
    return 0;
  });
  if (error != 0) fail(Instance_File.name, std::strerror(error));
}

void write_instance(const char *name, int count) {
  open_instance_file(name);
  truncate_instance_file();
  write_header(count);
  write_cities(count);
  flush_file_buffer();
  close_instance_file();
}

// ---- The clean-up

// What the clean-up left against its phase's promise, and why: partial
// data that stay reachable ("not emptied"), which matter more than the
// emptied file under its name ("not removed"); no `what` where it kept it.
struct Left_Behind {
  const char *what;
  int why;
};

// Removes the name if it still leads straight to the file. Returns why it
// could not, or 0. The file is held open meanwhile, so no other file can
// have its device and inode.
int remove_name_of_instance_file() {
  struct stat named {};
  if (lstat(Instance_File.name, &named) != 0)
    return errno == ENOENT ? 0 : errno;
  if (!same_file(named, Instance_File.opened)) return 0;
  return unlink(Instance_File.name) == 0 ? 0 : errno;
}

// Empties the regular file being written through its descriptor, which
// empties a symlink's target and the other hard links too, removes its
// name, and closes it. Data that lost their last name are gone, emptied or
// not.
Left_Behind empty_instance_file() {
  const int fd = Instance_File.fd;
  if (fd < 0) return {"not emptied", EBADF};
  const int not_emptied = ftruncate(fd, 0) == 0 ? 0 : errno;
  const int not_removed = remove_name_of_instance_file();
  struct stat now {};
  const bool unreachable = fstat(fd, &now) == 0 && now.st_nlink == 0;
  close(fd);
  if (not_emptied && !unreachable) return {"not emptied", not_emptied};
  if (not_removed) return {"not removed", not_removed};
  return {};
}

// Deals with the file as its phase asks, once, and closes it before any
// message, so that a file that took the number of a closed standard error
// never receives one. Only async-signal-safe calls are made here.
Left_Behind discard_instance_file() {
  const std::sig_atomic_t phase = Instance_File.phase;
  if (phase != Opened && phase != Writing) return {};
  Instance_File.phase = Discarded;
  if (phase == Writing && S_ISREG(Instance_File.opened.st_mode))
    return empty_instance_file();
  close(Instance_File.fd);
  return {};
}

// The clean-up is a critical section too; the message after it may wait
// on a slow standard error, and a signal then still ends the run.
void fail(std::string_view what, std::string_view why) {
  const Left_Behind left = in_critical_section(discard_instance_file);
  erase_progress();
  char note[96] = "";
  if (left.what != nullptr)
    std::snprintf(note, sizeof note, "; %s: %s", left.what,
                  std::strerror(left.why));
  tell(Line_Open && Terminal.error ? "\n" : "", what, why, note);
  std::exit(EXIT_FAILURE);
}

// ---- The caught signals

// The signals that end a process by default and come from outside it: from
// users, shells, pipelines, timers and limits, and the real-time signals.
// SIGKILL cannot be caught, SIGXFSZ is ignored, and the signals of a fault
// in the program itself are left to do their work.
constexpr int Fatal_Signals[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGPIPE,
                                 SIGALRM, SIGTERM,   SIGUSR1, SIGUSR2,
                                 SIGXCPU, SIGVTALRM, SIGPROF};

void on_fatal_signal(int signal_number) {
  discard_instance_file();
  erase_progress();
  // The handler was reset on entry, so this ends the process by the same
  // signal once the handler returns and the signal is unblocked.
  raise(signal_number);
}

// Catches the fatal signals but those ignored or blocked when we started
// (nohup, a background job), which stay so. The handler runs with every
// signal blocked, so that a second one cannot cut its clean-up short.
void catch_fatal_signals() {
  sigset_t blocked;
  sigprocmask(SIG_SETMASK, nullptr, &blocked);
  struct sigaction action {};
  action.sa_handler = on_fatal_signal;
  action.sa_flags = SA_RESETHAND;
  sigfillset(&action.sa_mask);
  const auto catch_signal = [&](int signal_number) {
    struct sigaction current {};
    if (!sigismember(&blocked, signal_number) &&
        sigaction(signal_number, nullptr, &current) == 0 &&
        current.sa_handler != SIG_IGN)
      sigaction(signal_number, &action, nullptr);
  };
  for (const int signal_number : Fatal_Signals) catch_signal(signal_number);
#ifdef __linux__
  // Linux ends a process on these too; NetBSD, say, ignores SIGPWR.
  catch_signal(SIGPOLL);
  catch_signal(SIGPWR);
#endif
#ifdef SIGSTKFLT
  catch_signal(SIGSTKFLT);
#endif
#ifdef SIGRTMIN
  // The C library keeps those below SIGRTMIN for itself.
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number)
    catch_signal(signal_number);
#endif
}

}  // namespace

int main() {
  Terminal = {isatty(STDIN_FILENO) == 1, isatty(STDOUT_FILENO) == 1,
              isatty(STDERR_FILENO) == 1, false};
  const char *const type = std::getenv("TERM");
  Terminal.redraws = Terminal.error && type != nullptr && *type != '\0' &&
                     std::strcmp(type, "dumb") != 0;
  // A write past the file-size limit then fails with EFBIG and is reported
  // like any other failure, instead of killing the program mid-file.
  signal(SIGXFSZ, SIG_IGN);
  catch_fatal_signals();
  say("Random TSP Generator\n"
      "by Dr. Halvard Quist and Benno Strale\n"
      "Part of the Mirto Demo for the TSP\n");
  char name[Longest_File_Name + 1];
  say("Output Filename: ");
  read_file_name(name);
  say("Number of Cities: ");
  const int count = read_city_count();
  say("Seed: ");
  const int seed = read_number("seed");
  // The character that ends the seed was read to end it, as the shell's
  // read(1) takes the end of its line.
  take_rest_of_terminal_line();
  init_random_int(seed);
  say("\nGenerating random TSP instance ...\n");
  write_instance(name, count);
  say(name);
  say(" TSP instance succesfully generated.\n");
  return EXIT_SUCCESS;
}
