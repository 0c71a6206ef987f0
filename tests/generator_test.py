#!/usr/bin/env python3
# tspgen as its users meet it: started by /bin/sh in a directory of its own, answers on
# standard input, with the user's own redirections, limits, terminals and signals.
# Usage: generator_test.py TSPGEN [unittest arguments, e.g. Tspgen.test_name]
# Exits with 77 when every row that ran passed but some were skipped for a missing tool; with
# TSPGEN_NO_SKIP set, as on CI, such a row fails instead.
import contextlib, os, pathlib, signal, subprocess, sys, tempfile, time, unittest
from subprocess import PIPE

# What the rows' commands use: "$tspgen"; "$strace", with LeakSanitizer off, as it cannot bear
# being traced; "$block_term", Python that runs its arguments with SIGTERM blocked.
ENVIRONMENT = dict(
    os.environ, tspgen=os.path.abspath(sys.argv.pop(1)),
    strace="strace --quiet=all -o /dev/null -E ASAN_OPTIONS=detect_leaks=0",
    block_term="import os, signal as s, sys; s.pthread_sigmask(s.SIG_BLOCK, [s.SIGTERM]); "
               "os.execvp(sys.argv[1], sys.argv[1:])")
# Tools not every system has: the tool, the word that marks a row needing it, and a probe that
# fails where it is missing. strace needs leave to trace, and the BSDs' script(1) has other
# options.
TOOLS = [("strace", "$strace", "strace -o /dev/null true"),
         ("util-linux script", "script", "script -V | grep util-linux")]
MISSING_TOOLS = {} if "TSPGEN_NO_SKIP" in os.environ else {
    word: tool for tool, word, probe in TOOLS
    if subprocess.run(probe, shell=True, env=ENVIRONMENT, capture_output=True).returncode}
CAUGHT_SIGNALS = [signal.Signals["SIG" + name] for name in
                  "HUP INT QUIT PIPE ALRM TERM USR1 USR2 XCPU VTALRM PROF".split()]
DIALOGUE = ("Random TSP Generator\nby Dr. Halvard Quist and Benno Strale\n"
            "Part of the Mirto Demo for the TSP\nOutput Filename: Number of Cities: Seed: \n"
            "Generating random TSP instance ...\n")
# The file of the answers "f 3 1"; f left whole, or as it was; the symlink f, its target emptied.
THREE_CITIES = "3 0\n1 4 5\n2 5 9\n3 15 15\n"
WHOLE_F = {"f": THREE_CITIES}
OLD_F = {"f": "old\n"}
EMPTIED_THROUGH_SYMLINK = {"f": None, "t": ""}
# A row may take this long, and a group of rows (one CTest test) all of them this long: less
# than CTest gives it, so that the suite itself kills what a faulty build leaves running.
ROW_SECONDS = 30
GROUP_DEADLINE = time.monotonic() + 240


# Counts: 99999 cities make about 2 MB, past ulimit -f 1 (512 bytes) and a FIFO's buffer;
# 99999999 keep a run going past the second after which the progress line shows.
# strace makes a system call fail (error=) or sends a signal once the call is done (signal=);
# when=N picks the Nth such call, and -P NAME counts only the calls on that file.
# Of the writes of "f 3 1", 1 to 5 are the dialogue's, 6 the file's, 7 and 8 the closing message's.
def traced_on_f(injections):
    return f'echo old >f; exec $strace -P f -e {injections} "$tspgen"'


def traced_through_symlink(injections):
    return f'echo old >t; ln -s t f; exec $strace -P t -e {injections} "$tspgen"'


def on_a_terminal(command):
    return f"script -eqc '{command}' /dev/null"


# A reader of the FIFO p that opens it at once but only from 1.5 s on drains it with `drain`
# into the file drained.
def slow_reader_of_fifo(drain):
    return f"mkfifo p; (exec 3<p; sleep 1.5; {drain} <&3 >drained) & "


# The start of an instance, by the POSIX drand48 recurrence.
def instance(count, seed, cities=2**31):
    state = (seed % 2**32) << 16 | 0x330E
    draws = []
    for _ in range(2 * max(min(count, cities), 0)):
        state = (0x5DEECE66D * state + 0xB) % 2**48
        draws.append((state >> 17) % (5 * count + 1))
    cities = zip(range(1, count + 1), draws[::2], draws[1::2])
    return f"{count} 0\n" + "".join(f"{number} {x} {y}\n" for number, x, y in cities)


# The files here, and what the regular ones hold; a symlink, a FIFO or a device holds None.
def files_left():
    return {name: None if os.path.islink(name) or not os.path.isfile(name)
            else pathlib.Path(name).read_text(errors="replace") for name in os.listdir()}


# The world of a command typed at an interactive shell, whoever started the suite (a script's
# background job, say, has SIGINT and SIGQUIT ignored): every signal at its default, none blocked.
def as_typed_at_a_shell():
    for number in CAUGHT_SIGNALS:
        signal.signal(number, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_SETMASK, [])


# A run's outcome. Not a plain tuple, so that a failure shows where the two first differ
# instead of a line diff, which takes minutes for a file of megabytes.
class Outcome(tuple):
    pass


class Tspgen(unittest.TestCase):
    # Runs each row's command by sh with the row's answers, in a new directory beside a file
    # keep, and checks the status, standard output and standard error with `check`. The row's
    # processes are its shell's process group, killed when the row ends.
    def check_rows(self, rows, check):
        for command, answers, *expected in rows:
            with self.subTest(row=f"{answers!r} | {command}"[:99]), \
                    tempfile.TemporaryDirectory() as directory:
                os.chdir(directory)
                for tool in [tool for word, tool in MISSING_TOOLS.items() if word in command]:
                    self.skipTest(tool)
                seconds = max(0.1, min(ROW_SECONDS, GROUP_DEADLINE - time.monotonic()))
                with subprocess.Popen(
                        ["sh", "-c", "printf old >keep; " + command], stdin=PIPE, stdout=PIPE,
                        stderr=PIPE, env=ENVIRONMENT, start_new_session=True,
                        preexec_fn=as_typed_at_a_shell) as shell:
                    try:
                        output, error = shell.communicate(answers.encode("latin-1"), seconds)
                    finally:
                        with contextlib.suppress(OSError):
                            os.killpg(shell.pid, signal.SIGKILL)
                # The status as a shell reports it: 128 and its number for a signal.
                status = shell.returncode if shell.returncode >= 0 else 128 - shell.returncode
                check(str(status), output, error, *expected)

    # The outcome is the status, then the message if there is one; then the files left.
    def check_outcome(self, status, _, error, outcome, left):
        expected_status, _, why = outcome.partition(" ")
        self.assertEqual(Outcome((status, error.decode(), files_left())), Outcome(
            (expected_status, why and f"tspgen: {why}\n", {"keep": "old", **left})))

    # ulimit -f: a guard, as a wrongly read count could write up to 13 GB.
    def test_answers_give_exactly_their_files(self):
        self.check_rows([
            ('ulimit -f 20000; echo an older and longer file >f; "$tspgen"', answers, "0",
             {"f": instance(count, seed)}) for answers, count, seed in [
                ("f\n3\n1\n", 3, 1), ("f 010 1", 8, 1), ("f 4 +0X02a", 4, 42), ("f 08", 0, 8),
                ("\t f\v3\f1\r", 3, 1), ("f - 4 1", -4, 1), ("f 2147483648 1", -2**31, 1),
                ("f 0xFFFFFFFFFFFFFFFFFFFFFFFF 1", -1, 1)]
        ] + [
            # Nothing past the seed is taken, from a seekable file or a pipe: the next reader
            # starts there.
            ('echo a 3 1 b 3 1 >c; { "$tspgen" && "$tspgen"; } <c; rm c', "", "0",
             {"a": THREE_CITIES, "b": THREE_CITIES}),
            ('"$tspgen" && "$tspgen"', "a 3 1\nb 3 1\n", "0",
             {"a": THREE_CITIES, "b": THREE_CITIES}),
        ], self.check_outcome)

    # A refusal comes before the open, and the file keep, which the refused answers name, stays.
    def test_a_refused_answer_leaves_the_old_file(self):
        self.check_rows([('ulimit -f 9; "$tspgen"', answers, "1 " + why, {}) for answers, why in [
            ("", "file name: input ended"), ("keep 0x", "number of cities: not a number"),
            ("ke\0ep 3 1", "file name: contains a NUL byte"), ("keep 3 - ", "seed: not a number"),
            ("k", "number of cities: input ended"), ("n/f 3 1", "n/f: No such file or directory"),
            ("k" * 256 + " 3 1", "file name: longer than 255 bytes"),
            ("keep 429496730 1", "number of cities: 429496730 is above the limit of 429496729"),
        ]] + [
            ('"$tspgen"', "n" * 255 + " 3 1", "0", {"n" * 255: THREE_CITIES}),
            ('"$tspgen" <&-', "", "1 standard input: Bad file descriptor", {}),
            ('"$tspgen" >o', "o 3 1", "1 o: the same file as standard output", {"o": DIALOGUE}),
            ('"$tspgen" 2>>keep', "keep 3 1", "1",
             {"keep": "oldtspgen: keep: the same file as standard error\n"}),
            ('cat >i; "$tspgen" <i', "i 3 1", "1 i: the same file as standard input",
             {"i": "i 3 1"}),
            ('ln -s /dev/stdin i; "$tspgen"', "i 3 1", "1 i: the same file as standard input",
             {"i": None}),
        ], self.check_outcome)

    # From the truncation until a close that succeeded, a failure empties the file through what
    # was opened and removes a name that leads straight to it, or says why something stays.
    def test_a_failure_while_writing_leaves_no_instance(self):
        too_large = "1 f: File too large; could not remove the partial file: Permission denied"
        close_frees_it = "inject=close:error=EIO:when=1 -e inject=fcntl:error=EBADF"
        self.check_rows([
            ("ulimit -f 1; " + traced_on_f("inject=unlink:error=EACCES"), "f 99999 1", too_large,
             {"f": ""}),
            # The second stat of f is the one before the removal, the first the one after the open.
            ("ulimit -f 1; " + traced_on_f("inject=%fstat:error=EACCES:when=2"), "f 99999 1",
             too_large, {"f": ""}),
            # A failed close that freed the descriptor, as F_GETFD says: the file is reached through
            # a copy, and the message kept out of it on a closed standard error. Without a copy it
            # is left alone, never found again by a name that may lead to another file by now.
            ("exec 2>&-; " + traced_through_symlink(close_frees_it), "f 3 1", "1",
             EMPTIED_THROUGH_SYMLINK),
            (traced_on_f(f"inject=dup:error=EMFILE -e {close_frees_it}"), "f 3 1", "1 f: Input/"
             "output error; could not remove the partial file: Bad file descriptor", WHOLE_F),
            (traced_through_symlink("inject=close:error=EIO:when=1 -e inject=ftruncate:error=EIO:"
                                    "when=2"), "f 3 1", "1 f: Input/output error; could not "
             "remove the partial file: Input/output error", {"f": None, "t": THREE_CITIES}),
            # Before the truncation the file is closed, before any message, and left as it was.
            ("exec 2>&-; " + traced_on_f("inject=%fstat:error=EIO"), "f 3 1", "1", OLD_F),
            ("exec 2>&-; " + traced_on_f("inject=ftruncate:error=EIO"), "f 3 1", "1", OLD_F),
            # After the close, a failure of the console leaves the whole file.
            ('exec $strace -e inject=write:error=ENOSPC:when=8 "$tspgen"', "f 3 1",
             "1 standard output: No space left on device", WHOLE_F),
            # Descriptors 0 to 3 are all there is, and a written file stays.
            ('echo old >e; ln e f; ulimit -n 4; "$tspgen"', "f 3 1", "0",
             {"e": THREE_CITIES, "f": THREE_CITIES}),
        ], self.check_outcome)

    # A signal that comes before the truncation leaves the old file as it was, one from then
    # until the close has succeeded leaves no instance, and one after it leaves the whole file;
    # tspgen then ends by that signal, for the shell to see. A signal ignored or blocked at the
    # start stays so. ulimit -c 0: no core file from SIGQUIT or SIGXCPU.
    def test_a_signal_acts_in_the_phase_it_came_in(self):
        self.check_rows([
            ("ulimit -c 0; " + traced_through_symlink(f"inject=write:signal={number.name}"),
             "f 3 1", str(128 + number), EMPTIED_THROUGH_SYMLINK) for number in CAUGHT_SIGNALS
        ] + [
            (traced_on_f("inject=openat:signal=INT"), "f 3 1", "130", OLD_F),
            # Sent as the signals are blocked for the truncation, by the second sigprocmask.
            ('echo old >f; exec $strace -e inject=rt_sigprocmask:signal=INT:when=2 "$tspgen"',
             "f 3 1", "130", OLD_F),
            (traced_on_f("inject=close:signal=TERM"), "f 3 1", "143", WHOLE_F),
            # Sent while the open waits for a FIFO's reader, and while the message waits for room
            # on a standard error that yes(1) filled.
            ('mkfifo p; echo p 3 1 | "$tspgen" & sleep 0.5; kill $!; wait $! 2>&-', "", "143",
             {"p": None}),
            ('mkfifo e; exec 3<>e; yes >e & sleep 0.5; kill $!; echo n/f 3 1 | "$tspgen" 2>e & '
             "sleep 0.5; kill $!; wait $! 2>&-", "", "143", {"e": None}),
            ('python3 -c "$block_term" $strace -e inject=write:signal=TERM "$tspgen"', "f 3 1",
             "0", WHOLE_F),
        ], self.check_outcome)

    # A symlink is followed, and an existing file, device or FIFO is written in place, keeping
    # its mode and its other links. Devices are named through symlinks here, so that a faulty
    # build that replaced its file could not replace them.
    def test_links_devices_and_fifos_are_written_in_place(self):
        self.check_rows([
            # A reader that leaves after one byte.
            ('mkfifo p; head -c 1 p >/dev/null & "$tspgen"', "p 99999 1", "141", {"p": None}),
            # A run of over a second, with no progress line where standard error is no terminal.
            (slow_reader_of_fifo("cat") + '"$tspgen"; wait', "p 99999 1", "0",
             {"drained": instance(99999, 1), "p": None}),
            ('ln -s /dev/stdout o; "$tspgen" | cat >out', "o 3 1", "0", {"o": None, "out":
             f"{DIALOGUE}{THREE_CITIES}o TSP instance succesfully generated.\n"}),
            ('umask 004; "$tspgen" && ls -l f | cut -c5-10 >mode', "f 3 1", "0",
             {"f": THREE_CITIES, "mode": "rw----\n"}),
            # The header and 2000 cities of the largest count, whose coordinates have up to ten
            # digits, after which head leaves and SIGPIPE ends tspgen.
            ('ln -s /dev/fd/3 o; "$tspgen" 3>&1 >/dev/null | head -n 2001 >out', "o 429496729 1",
             "0", {"o": None, "out": instance(429496729, 1, 2000)}),
        ], self.check_outcome)

    # On a terminal, a progress line on standard error is erased at the end, and an error
    # message never follows a prompt on the same line: neither one whose answer was typed ahead,
    # nor one whose answer was typed at it, after its echoed Enter.
    def test_the_terminal_shows_progress_and_messages_on_lines_of_their_own(self):
        def check(status, seen, _, expected_status, seen_last):
            self.assertEqual((status, seen[-len(seen_last):]), (expected_status, seen_last))

        erased = b"million cities/s\x1b[K\r\x1b[K"
        into_fifo = '"$tspgen" >/dev/null'
        not_a_number = b"\r\ntspgen: number of cities: not a number\r\n"
        self.check_rows([
            (on_a_terminal('"$tspgen"'), "f\nx\n", "1", b"Cities: " + not_a_number),
            # Each answer typed a second after the last.
            ("(sleep 1; echo f; sleep 1; echo x) | " + on_a_terminal('"$tspgen"'), "", "1",
             b"Cities: x" + not_a_number),
            (on_a_terminal(slow_reader_of_fifo("cat") + into_fifo), "p 99999 1\n", "0", erased),
            (on_a_terminal(slow_reader_of_fifo("cat") + "echo p 429496729 1 | " + into_fifo
                           + " & sleep 3; kill $!; wait $! 2>&-"), "", "143", erased),
            (on_a_terminal('trap "" PIPE; ' + slow_reader_of_fifo("head -c 999999") + into_fifo),
             "p 99999999 1\n", "1", erased + b"tspgen: p: Broken pipe\r\n"),
        ], check)


if __name__ == "__main__":
    result = unittest.main(exit=False).result
    sys.exit(1 if not result.wasSuccessful() else 77 if result.skipped else 0)
