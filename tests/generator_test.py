#!/usr/bin/env python3
# tspgen as its users meet it: started by /bin/sh in a directory of its own, answers on
# standard input, with the user's own redirections, limits, terminals and signals.
# Usage: generator_test.py PATH-TO-TSPGEN
import os, subprocess, sys, tempfile, unittest

# In the commands, "$B" is tspgen and $T traces it with strace (which LeakSanitizer cannot
# bear); $L takes a lease on f, closes its output, and dies of the signal that asks for it back;
# $K runs its arguments with SIGTERM blocked.
ENV = dict(
    os.environ,
    SHELL="/bin/sh",
    B=os.path.abspath(sys.argv.pop()),
    T="strace --quiet=all -o /dev/null -E ASAN_OPTIONS=detect_leaks=0",
    L="import fcntl as f, os, time; f.fcntl(os.open('f', 0), f.F_SETLEASE, 0); os.close(1); "
    "time.sleep(9)",
    K="import os, signal as s, sys; s.pthread_sigmask(s.SIG_BLOCK, [s.SIGTERM]); "
    "os.execvp(sys.argv[1], sys.argv[1:])",
)
DIALOGUE = (
    "Random TSP Generator\nby Dr. Halvard Quist and Benno Strale\nPart of the Mirto Demo "
    "for the TSP\nOutput Filename: Number of Cities: Seed: \nGenerating random TSP instance ...\n"
)
# The file of "f 3 1"; a symlink f to t, both emptied.
W, EMPTIED = "3 0\n1 4 5\n2 5 9\n3 15 15\n", {"f": "", "t": ""}
# A reader of the FIFO p that opens it at once but drains it only from 1.5 s on.
SLOW = "mkfifo p; (exec 3<p; sleep 1.5; %s <&3 >/dev/null) & "


# The start of an instance, by the POSIX drand48 recurrence.
def instance(count, seed, cities=2**31):
    state, draws = (seed % 2**32) << 16 | 0x330E, []
    for _ in range(2 * max(min(count, cities), 0)):
        state = (0x5DEECE66D * state + 0xB) % 2**48
        draws.append((state >> 17) % (5 * count + 1))
    cities = zip(range(1, count + 1), draws[::2], draws[1::2])
    return f"{count} 0\n" + "".join(f"{i} {x} {y}\n" for i, x, y in cities)


# The files here, and what the regular ones hold.
def files():
    return {n: open(n, errors="replace").read() if os.path.isfile(n) else None
            for n in os.listdir()}


# A run's outcome. Not a plain tuple, so that a failure shows where the two first differ
# instead of a line diff, which takes minutes for a file of megabytes.
class Run(tuple):
    pass


class Tspgen(unittest.TestCase):
    # Runs each row's command by sh with the row's answers, in a new directory beside a file
    # keep, and checks the status, standard output and standard error with `check`.
    def check_runs(self, rows, check):
        for command, answers, *expected in rows:
            label = f"{answers!r} | {command}"[:99]
            with self.subTest(row=label), tempfile.TemporaryDirectory() as directory:
                os.chdir(directory)
                ran = subprocess.run(["sh", "-c", "printf old >keep; " + command], env=ENV,
                                     input=answers.encode("latin-1"), capture_output=True,
                                     timeout=60)
                code = ran.returncode if ran.returncode >= 0 else 128 - ran.returncode
                check(str(code), ran.stdout, ran.stderr, *expected)

    # The outcome is the status, then the message if there is one.
    def check_outcome(self, code, _, error, outcome, left):
        status, _, why = outcome.partition(" ")
        self.assertEqual(Run((code, error.decode(), files())),
                         Run((status, why and f"tspgen: {why}\n", {"keep": "old", **left})))

    def test_answers_give_exactly_their_files(self):
        self.check_runs(
            [('ulimit -f 20000; echo an older and longer file >f; "$B"', a, "0",
              {"f": instance(n, s)})
             for a, n, s in [
                ("f\n3\n1\n", 3, 1), ("f 4 -1", 4, -1), ("f 010 1", 8, 1), ("f 4 0x2A", 4, 42),
                ("f 4 +0X02a", 4, 42), ("\t f\v3\f1\r", 3, 1), ("f 08", 0, 8), ("f - 4 1", -4, 1),
                ("f 2147483648 1", -2**31, 1), ("f 4 99999999999999999999", 4, 1661992959),
                ("f 0xFFFFFFFFFFFFFFFFFFFFFFFF 1", -1, 1), ("f 300000 11", 300000, 11),
            ]], self.check_outcome)
        self.assertEqual(instance(3, 1), W)

    def test_every_run_ends_with_a_whole_file_or_none(self):
        at_f, at_t = "echo old >f; exec $T -P f -e ", "echo old >t; ln -s t f; exec $T -P t -e "
        refusals = {
            "": "file name: input ended",
            "k" * 256 + " 3 1": "file name: longer than 255 bytes",
            "ke\0ep 3 1": "file name: contains a NUL byte",
            "keep": "number of cities: input ended",
            "keep 0x 1": "number of cities: not a number",
            "keep 429496730 1": "number of cities: 429496730 is above the limit of 429496729",
            "keep 3 x": "seed: not a number",
        }
        self.check_runs([
            *[('ulimit -f 9; "$B"', answers, "1 " + why, {}) for answers, why in refusals.items()],
            ('"$B"', "n" * 255 + " 3 1", "0", {"n" * 255: W}),
            ('"$B"', "no/f 3 1", "1 no/f: No such file or directory", {}),
            ('"$B" >keep', "keep 3 1", "1 keep: the same file as standard output",
             {"keep": DIALOGUE}),
            ('"$B" 2>>keep', "keep 3 1", "1",
             {"keep": "oldtspgen: keep: the same file as standard error\n"}),
            ('ln -s t f; ulimit -f 1; "$B"', "f 99999 1", "1 f: File too large", EMPTIED),
            ('ulimit -f 1; exec $T -e inject=unlink:error=EACCES "$B"', "f 99999 1",
             "1 f: File too large; could not remove the partial file: Permission denied",
             {"f": ""}),
            (at_t + 'inject=close:error=EIO "$B"', "f 3 1", "1 f: Input/output error", EMPTIED),
            ("exec 2>&-; " + at_t + 'inject=close:error=EIO:when=1 "$B"', "f 3 1", "1", EMPTIED),
            ('"$B" <&-', "", "1 standard input: Bad file descriptor", {}),
            ('exec $T -e inject=write:error=ENOSPC:when=8 "$B"', "f 3 1",
             "1 standard output: No space left on device", {"f": W}),
            ("mkfifo e; sleep 3 <e & head -c 65536 /dev/zero >e; "
             '"$B" 2>e & sleep 0.5; kill $!; wait $! 2>/dev/null', "x", "143", {"e": None}),
            (at_f + 'inject=openat:signal=INT "$B"', "f 3 1", "130", {}),
            ('echo old >f; mkfifo r; python3 -c "$L" >r & read x <r; '
             'exec $T -P f -e inject=openat:signal=INT:when=2 "$B"', "f 3 1", "130",
             {"f": "old\n", "r": None}),
            (at_f + 'inject=write:signal=TERM "$B"', "f 3 1", "143", {}),
            (at_t + 'inject=write:signal=HUP "$B"', "f 3 1", "129", EMPTIED),
            ('python3 -c "$K" $T -e inject=write:signal=TERM "$B"', "f 3 1", "0", {"f": W}),
            ('exec $T -e inject=write:signal=INT:when=7 "$B"', "f 3 1", "130", {"f": W}),
            ('mkfifo p; (sleep 0.5; timeout 9 cat p >out) & "$B"; wait', "p 3 1", "0",
             {"out": W, "p": None}),
            ('mkfifo p; timeout 9 head -c 1 p >/dev/null & "$B"', "p 99999 1", "141", {"p": None}),
            (SLOW % "cat" + '"$B"', "p 99999 1", "0", {"p": None}),
            ("printf 'a 3 1\\nb 3 1' >c; { \"$B\" && \"$B\"; } <c; rm c", "", "0",
             {"a": W, "b": W}),
            ('"$B" -x --help /dev/null', "f 3 1", "0", {"f": W}),
            ('"$B" 3>&1 >/dev/null | head -n 2001 >out', "/dev/fd/3 40000000 1", "0",
             {"out": instance(4 * 10**7, 1, 2000)}),
            ('"$B" | cat >out', "/dev/stdout 3 1", "0",
             {"out": DIALOGUE + W + "/dev/stdout TSP instance succesfully generated.\n"}),
            ('umask 004; "$B" && stat -c %a f >mode', "f 3 1", "0", {"f": W, "mode": "660\n"}),
            ('ln keep f; chmod 600 f; "$B" && stat -c %a f >mode', "f 3 1", "0",
             {"keep": W, "f": W, "mode": "600\n"}),
        ], self.check_outcome)

    def test_the_terminal_shows_progress_and_messages_on_lines_of_their_own(self):
        def check(code, seen, _, status, end):
            self.assertEqual((code, seen[-len(end):]), (status, end))

        erased, into_p = b"million cities/s\x1b[K\r\x1b[K", '"$B" >/dev/null'
        self.check_runs(
            [("script -eqc '%s' /dev/null" % command, answers, code, end)
             for command, answers, code, end in [
                ('"$B"', "", "1", b"Filename: \r\ntspgen: file name: input ended\r\n"),
                ('"$B"', "f\nx\n", "1", b"Cities: \r\ntspgen: number of cities: not a number\r\n"),
                ('"$B"', "/dev/full 3 1\n", "1",
                 b"...\r\ntspgen: /dev/full: No space left on device\r\n"),
                (SLOW % "cat" + into_p, "p 99999 1\n", "0", erased),
                (SLOW % "cat" + "echo p 429496729 1 | " + into_p
                 + " & sleep 3; kill $!; wait $! 2>/dev/null",
                 "", "143", erased),
                (SLOW % "head -c 999999" + into_p, "p 99999999 1\n", "141", erased),
                ('trap "" PIPE; ' + SLOW % "head -c 999999" + into_p, "p 99999999 1\n", "1",
                 erased + b"tspgen: p: Broken pipe\r\n"),
            ]], check)


if __name__ == "__main__":
    unittest.main(warnings="ignore")
