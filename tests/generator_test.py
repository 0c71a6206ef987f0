#!/usr/bin/env python3
# tspgen as its users meet it: started by /bin/sh in a directory of its own, answers on
# standard input, with the user's own redirections, limits, terminals and signals.
# Usage: generator_test.py PATH-TO-TSPGEN
# A row that needs a tool this system lacks is skipped and names it; with TSPGEN_NO_SKIP set,
# as on CI, it fails instead.
import contextlib, os, signal, subprocess, sys, tempfile, unittest
from subprocess import PIPE

# In the commands, "$B" is tspgen. $T runs it under strace, which makes a system call fail
# (error=) or sends a signal once the call is done (signal=); when=N picks the Nth such call,
# and -P NAME counts only the calls on that file. LeakSanitizer cannot bear strace: $T turns it
# off. $K runs its arguments with SIGTERM blocked.
ENV = dict(os.environ, B=os.path.abspath(sys.argv.pop()),
           T="strace --quiet=all -o /dev/null -E ASAN_OPTIONS=detect_leaks=0",
           K="import os, signal as s, sys; s.pthread_sigmask(s.SIG_BLOCK, [s.SIGTERM]); "
           "os.execvp(sys.argv[1], sys.argv[1:])")
# The tools that this system lacks, of those that not every system has: strace with leave to
# trace, and util-linux's script(1), whose options the BSDs' does not share. With TSPGEN_NO_SKIP
# set, none is taken to be lacking, and a row that needs one fails where it is.
LACKS = {key: tool for key, tool, probe in [
    ("$T", "strace", "strace -o /dev/null true"),
    ("script", "util-linux script", "script -V | grep util-linux"),
] if not os.environ.get("TSPGEN_NO_SKIP")
    and subprocess.run(probe, shell=True, capture_output=True).returncode}
# The signals that end tspgen by default and that it catches.
SIGNALS = [signal.Signals["SIG" + name] for name in "HUP INT QUIT PIPE ALRM TERM USR1 USR2 "
           "XCPU VTALRM PROF".split()]
DIALOGUE = ("Random TSP Generator\nby Dr. Halvard Quist and Benno Strale\nPart of the Mirto Demo "
            "for the TSP\nOutput Filename: Number of Cities: Seed: \nGenerating random TSP "
            "instance ...\n")
# The file of "f 3 1"; the symlink f, and its target t emptied.
W, EMPTIED = "3 0\n1 4 5\n2 5 9\n3 15 15\n", {"f": None, "t": ""}
# A command on a terminal: script(1) gives it one and types there what comes on its own input.
S = "script -eqc '%s' /dev/null"
# A reader of the FIFO p that opens it at once but drains it only from 1.5 s on.
SLOW = "mkfifo p; (exec 3<p; sleep 1.5; %s <&3 >/dev/null) & "
# The file f, or t behind the symlink f, holds "old", and strace counts the calls on it.
# Of the writes of "f 3 1", 1 to 5 are the dialogue's, 6 the file's, 7 and 8 the closing message's.
# Counts: 99999 cities make about 2 MB, past ulimit -f 1 (512 bytes) and a FIFO's buffer;
# 99999999 keep a run going past the second after which the progress line shows.
AT_F = 'echo old >f; exec $T -P f -e %s "$B"'
AT_T = 'echo old >t; ln -s t f; exec $T -P t -e %s "$B"'


# The start of an instance, by the POSIX drand48 recurrence.
def instance(count, seed, cities=2**31):
    state, draws = (seed % 2**32) << 16 | 0x330E, []
    for _ in range(2 * max(min(count, cities), 0)):
        state = (0x5DEECE66D * state + 0xB) % 2**48
        draws.append((state >> 17) % (5 * count + 1))
    cities = zip(range(1, count + 1), draws[::2], draws[1::2])
    return f"{count} 0\n" + "".join(f"{i} {x} {y}\n" for i, x, y in cities)


# The files here, and what the regular ones hold; a symlink, a FIFO or a device holds None.
def files():
    return {n: None if os.path.islink(n) or not os.path.isfile(n)
            else open(n, errors="replace").read() for n in os.listdir()}


# The world of a command typed at an interactive shell, whoever started the suite (a script's
# background job, say, has SIGINT and SIGQUIT ignored): every signal at its default, none blocked.
def as_typed_at_a_shell():
    for number in SIGNALS:
        signal.signal(number, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_SETMASK, [])


# A run's outcome. Not a plain tuple, so that a failure shows where the two first differ
# instead of a line diff, which takes minutes for a file of megabytes.
class Run(tuple):
    pass


class Tspgen(unittest.TestCase):
    # Runs each row's command by sh with the row's answers, in a new directory beside a file
    # keep, and checks the status, standard output and standard error with `check`. The row's
    # processes are its shell's process group, killed when the row ends.
    def check_runs(self, rows, check):
        for command, answers, *expected in rows:
            with self.subTest(row=f"{answers!r} | {command}"[:99]), \
                    tempfile.TemporaryDirectory() as directory:
                os.chdir(directory)
                for tool in [tool for key, tool in LACKS.items() if key in command]:
                    self.skipTest(tool)
                shell = subprocess.Popen(["sh", "-c", "printf old >keep; " + command], env=ENV,
                                         stdin=PIPE, stdout=PIPE, stderr=PIPE,
                                         start_new_session=True, preexec_fn=as_typed_at_a_shell)
                try:
                    out, error = shell.communicate(answers.encode("latin-1"), timeout=60)
                finally:
                    with contextlib.suppress(OSError):
                        os.killpg(shell.pid, signal.SIGKILL)
                # The status as a shell reports it: 128 and its number for a signal.
                check(str(abs(shell.returncode) + 128 * (shell.returncode < 0)), out, error,
                      *expected)

    # The outcome is the status, then the message if there is one; then the files left.
    def check_outcome(self, code, _, error, outcome, left):
        status, _, why = outcome.partition(" ")
        self.assertEqual(Run((code, error.decode(), files())),
                         Run((status, why and f"tspgen: {why}\n", {"keep": "old", **left})))

    # ulimit -f: a guard, as a wrongly read count could write up to 13 GB.
    def test_answers_give_exactly_their_files(self):
        self.check_runs([('ulimit -f 20000; echo an older and longer file >f; "$B"', a, "0",
                          {"f": instance(n, s)}) for a, n, s in [
            ("f\n3\n1\n", 3, 1), ("f 4 -1", 4, -1), ("f 010 1", 8, 1), ("f 4 0x2A", 4, 42),
            ("f 4 +0X02a", 4, 42), ("\t f\v3\f1\r", 3, 1), ("f 08", 0, 8), ("f - 4 1", -4, 1),
            ("f 2147483648 1", -2**31, 1), ("f 0xFFFFFFFFFFFFFFFFFFFFFFFF 1", -1, 1),
            ("f 300000 11", 300000, 11),
        ]] + [
            # A seekable standard input is left just past the seed, for the next reader.
            ('echo a 3 1 b 3 1 >c; { "$B" && "$B"; } <c; rm c', "", "0", {"a": W, "b": W}),
        ], self.check_outcome)
        self.assertEqual(instance(3, 1), W)

    # A refusal comes before the open, and the file keep, which the refused answers name, stays.
    def test_a_refused_answer_leaves_the_old_file(self):
        self.check_runs([('ulimit -f 9; "$B"', answers, "1 " + why, {}) for answers, why in [
            ("", "file name: input ended"), ("keep 0x", "number of cities: not a number"),
            ("ke\0ep 3 1", "file name: contains a NUL byte"), ("keep 3 - ", "seed: not a number"),
            ("k", "number of cities: input ended"), ("n/f 3 1", "n/f: No such file or directory"),
            ("k" * 256 + " 3 1", "file name: longer than 255 bytes"),
            ("keep 429496730 1", "number of cities: 429496730 is above the limit of 429496729"),
        ]] + [
            ('"$B"', "n" * 255 + " 3 1", "0", {"n" * 255: W}),
            ('"$B" <&-', "", "1 standard input: Bad file descriptor", {}),
            ('"$B" >o', "o 3 1", "1 o: the same file as standard output", {"o": DIALOGUE}),
            ('"$B" 2>>keep', "keep 3 1", "1",
             {"keep": "oldtspgen: keep: the same file as standard error\n"}),
            *[(command, "i 3 1", "1 i: the same file as standard input", {"i": i}) for command, i
              in [('cat >i; "$B" <i', "i 3 1"), ('ln -s /dev/stdin i; "$B"', None)]],
        ], self.check_outcome)

    # From the open until a close that succeeded, a failure empties the file through what was
    # opened and removes a name that leads straight to it, or says why it could not.
    def test_a_failure_while_writing_leaves_no_instance(self):
        self.check_runs([
            ('ln -s t f; ulimit -f 1; "$B"', "f 99999 1", "1 f: File too large", EMPTIED),
            # The second stat of f is the one before the removal, the first the one after the open.
            *[("ulimit -f 1; " + AT_F % f"inject={call}:error=EACCES", "f 99999 1", "1 f: File "
               "too large; could not remove the partial file: Permission denied", {"f": ""})
              for call in ("unlink", "%fstat:when=2")],
            # A failed close that keeps the descriptor, and one that does not (as F_GETFD says).
            ("exec 2>&-; " + AT_T % "inject=close:error=EIO:when=1", "f 3 1", "1", EMPTIED),
            (AT_T % "inject=close:error=EIO -e inject=fcntl:error=EBADF", "f 3 1",
             "1 f: Input/output error", EMPTIED),
            # Before the truncation the file is closed, before any message, and left as it was.
            *[("exec 2>&-; " + AT_F % f"inject={call}:error=EIO", "f 3 1", "1", {"f": "old\n"})
              for call in ("%fstat", "ftruncate")],
            # After the close, a failure of the console leaves the whole file.
            ('exec $T -e inject=write:error=ENOSPC:when=8 "$B"', "f 3 1",
             "1 standard output: No space left on device", {"f": W}),
            # Descriptors 0 to 3 are all there is, and a written file stays.
            ('echo old >e; ln e f; ulimit -n 4; "$B"', "f 3 1", "0", {"e": W, "f": W}),
        ], self.check_outcome)

    # A signal before the open or after the close leaves the file as it is, and one in between
    # leaves no instance; tspgen then ends by that signal, for the shell to see. A signal ignored
    # or blocked at the start stays so. ulimit -c 0: no core file from SIGQUIT or SIGXCPU.
    def test_a_signal_follows_the_phase_it_comes_in(self):
        self.check_runs([("ulimit -c 0; " + AT_T % f"inject=write:signal={number.name}", "f 3 1",
                          str(128 + number), EMPTIED) for number in SIGNALS] + [
            # Sent at the open, it leaves the old file as it was.
            (AT_F % "inject=openat:signal=INT", "f 3 1", "130", {"f": "old\n"}),
            # Sent while the open waits for a FIFO's reader.
            ('mkfifo p; echo p 3 1 | "$B" & sleep 0.5; kill $!; wait $! 2>&-', "", "143",
             {"p": None}),
            ('python3 -c "$K" $T -e inject=write:signal=TERM "$B"', "f 3 1", "0", {"f": W}),
            ('exec $T -e inject=write:signal=INT:when=7 "$B"', "f 3 1", "130", {"f": W}),
        ], self.check_outcome)

    # A symlink is followed, and an existing file, device or FIFO is written in place, keeping
    # its mode and its other links. Devices are named through symlinks here, so that a faulty
    # build that replaced its file could not replace them.
    def test_links_devices_and_fifos_are_written_in_place(self):
        self.check_runs([
            ('mkfifo p; (sleep 0.5; cat p >out) & "$B"; wait', "p 3 1", "0", {"out": W, "p": None}),
            # A reader that leaves after one byte.
            ('mkfifo p; head -c 1 p >/dev/null & "$B"', "p 99999 1", "141", {"p": None}),
            ('ln -s /dev/stdout o; "$B" | cat >out', "o 3 1", "0",
             {"o": None, "out": DIALOGUE + W + "o TSP instance succesfully generated.\n"}),
            ('umask 004; "$B" && ls -l f | cut -c5-10 >m', "f 3 1", "0", {"f": W, "m": "rw----\n"}),
            # The first cities where coordinates have eight digits or nine, and nine or ten: the
            # header and 2000 cities, after which head leaves and SIGPIPE ends tspgen.
            *[('ln -s /dev/fd/3 o; "$B" 3>&1 >/dev/null | head -n 2001 >out', f"o {n} 1", "0",
               {"o": None, "out": instance(n, 1, 2000)}) for n in (40000000, 429496729)],
        ], self.check_outcome)

    # On a terminal, a progress line on standard error is erased at the end, and a message
    # starts a line of its own: after a prompt whose answer was typed ahead, and after the
    # echoed Enter of an answer typed at its prompt.
    def test_the_terminal_shows_progress_and_messages_on_lines_of_their_own(self):
        def check(code, seen, _, status, end):
            self.assertEqual((code, seen[-len(end):]), (status, end))

        erased, into_p = b"million cities/s\x1b[K\r\x1b[K", '"$B" >/dev/null'
        not_a_number = b"\r\ntspgen: number of cities: not a number\r\n"
        self.check_runs([
            (S % '"$B"', "f\nx\n", "1", b"Cities: " + not_a_number),
            # Each answer typed a second after the last.
            ("(sleep 1; echo f; sleep 1; echo x) | " + S % '"$B"', "", "1",
             b"Cities: x" + not_a_number),
            (S % (SLOW % "cat" + into_p), "p 99999 1\n", "0", erased),
            (S % (SLOW % "cat" + "echo p 429496729 1 | " + into_p
                  + " & sleep 3; kill $!; wait $! 2>&-"), "", "143", erased),
            (S % ('trap "" PIPE; ' + SLOW % "head -c 999999" + into_p), "p 99999999 1\n", "1",
             erased + b"tspgen: p: Broken pipe\r\n"),
        ], check)


if __name__ == "__main__":
    unittest.main(warnings="ignore")
