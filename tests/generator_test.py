#!/usr/bin/env python3
# tspgen as its users meet it: started by /bin/sh in a directory of its own, answers on
# standard input, with the user's own redirections, limits, terminals and signals.
# Usage: generator_test.py PATH-TO-TSPGEN
import contextlib, os, re, select, signal, subprocess, sys, tempfile, unittest

# In the commands, "$B" is tspgen, $N runs it as nobody when we are root, $T traces it with
# strace (which LeakSanitizer cannot bear), and $L holds a lease on f for 1.5 s.
ENV = dict(
    os.environ,
    B=os.path.abspath(sys.argv.pop()),
    N="setpriv --reuid=65534 --regid=65534 --clear-groups" * (os.geteuid() == 0),
    T="strace --quiet=all -o /dev/null -E ASAN_OPTIONS=detect_leaks=0",
    L="import fcntl as f, os, signal as s, time; d = os.open('f', 0); s.signal(s.SIGIO, "
    "lambda *_: f.fcntl(d, f.F_SETLEASE, f.F_UNLCK)); f.fcntl(d, f.F_SETLEASE, 0); time.sleep(2)",
)
DIALOGUE = (
    "Random TSP Generator\nby Dr. Halvard Quist and Benno Strale\nPart of the Mirto Demo "
    "for the TSP\nOutput Filename: Number of Cities: Seed: \nGenerating random TSP instance ...\n"
)
W, EMPTIED = "3 0\n1 4 5\n2 5 9\n3 15 15\n", {"f": "", "t": ""}  # f 3 1; f a symlink to t
# A reader of the FIFO p that opens it at once but drains it only from 1.5 s on.
SLOW = "mkfifo p; (exec 3<p; sleep 1.5; %s <&3 >/dev/null) & "


def instance(count, seed, cities=2**31):  # its start, by the POSIX drand48 recurrence
    state, draws = (seed % 2**32) << 16 | 0x330E, []
    for _ in range(2 * max(min(count, cities), 0)):
        state = (0x5DEECE66D * state + 0xB) % 2**48
        draws.append((state >> 17) % (5 * count + 1))
    cities = zip(range(1, count + 1), draws[::2], draws[1::2])
    return f"{count} 0\n" + "".join(f"{i} {x} {y}\n" for i, x, y in cities)


def status(code):  # as a shell reports it
    return code if code >= 0 else 128 - code


def sh(command, answers, output=subprocess.DEVNULL):  # status, output and error of a run
    ran = subprocess.run(["sh", "-c", command], input=answers.encode("latin-1"), env=ENV,
                         stdout=output, stderr=subprocess.PIPE)
    return status(ran.returncode), ran.stdout, ran.stderr.decode()


def files():  # the regular files here, and what they hold
    return {n: open(n, errors="replace").read() for n in os.listdir() if os.path.isfile(n)}


class Tspgen(unittest.TestCase):
    @contextlib.contextmanager
    def case(self, row):  # one row of a table, run in a new directory
        with self.subTest(row=str(row)[:99]), tempfile.TemporaryDirectory() as directory:
            os.chdir(directory)
            yield

    def test_answers_give_exactly_their_files(self):
        for answers, count, seed in [
            ("f\n3\n1\n", 3, 1), ("f\n5\n42\n", 5, 42), ("f 3 -1", 3, -1), ("f 10 0", 10, 0),
            ("f 010 1", 8, 1), ("f 3 0x2A", 3, 42), ("f 3 052", 3, 42), ("f 3 +0X02a", 3, 42),
            ("f 3 4294967338", 3, 42), ("\t f\v3\f1\r", 3, 1), ("f + \n 3 1junk", 3, 1),
            ("n" * 255 + " 3 1", 3, 1), ("f 08", 0, 8), ("f - 4 1", -4, 1),
            ("f 2147483648 1", -2**31, 1), ("f 3 99999999999999999999", 3, 1661992959),
            ("f 0xFFFFFFFFFFFFFFFFFFFFFFFF 1", -1, 1), ("f 300000 11", 300000, 11),
            *[(f"f -{10**n + d} 1", -(10**n + d), 1) for n in range(1, 10) for d in (-1, 0, 1)],
        ]:
            with self.case(answers):
                name = answers.split()[0]
                open(name, "w").write("an older and longer file\n" * 9)
                shown = DIALOGUE + f"{name} TSP instance succesfully generated.\n"
                ran = sh('"$B"', answers, subprocess.PIPE)
                self.assertEqual(ran, (0, shown.encode(), ""))
                self.assertEqual(files(), {name: instance(count, seed)})
        self.assertEqual(instance(3, 1), W)

    def test_every_run_ends_with_a_whole_file_or_none(self):
        refusals = {
            "": "file name: input ended",
            "k" * 256 + " 3 1": "file name: longer than 255 characters",
            "ke\0ep 3 1": "file name: contains a NUL byte",
            "keep": "number of cities: input ended",
            "keep x 1": "number of cities: not a number",
            "keep 0x 1": "number of cities: not a number",
            "keep 429496730 1": "number of cities: 429496730 is above the limit of 429496729",
            "keep 3": "seed: input ended",
            "keep 3 x": "seed: not a number",
        }
        at_f, at_t = "echo old >f; exec $T -P f -e ", "echo old >t; ln -s t f; exec $T -P t -e "
        # A command, the status and message, the files it leaves, and its answers.
        for command, outcome, left, *answers in [
            *[('ulimit -f 9; "$B"', "1 " + why, {}, answers) for answers, why in refusals.items()],
            ('"$B"', "1 no/f: No such file or directory", {}, "no/f 3 1"),
            ('"$B" >keep', "1 keep: the same file as standard output", {"keep": DIALOGUE},
             "keep 3 1"),
            ('"$B" 2>>keep', "1", {"keep": "oldtspgen: keep: the same file as standard error\n"},
             "keep 3 1"),
            ('"$B"', "1 /dev/full: No space left on device", {}, "/dev/full 9 1"),
            ('ulimit -f 9; "$B"', "1 f: File too large", {}, "f 99999 1"),
            ('ln -s t f; ulimit -f 1; "$B"', "1 f: File too large", EMPTIED, "f 99999 1"),
            ('ln keep f; ulimit -f 1; "$B"', "1 f: File too large", {"keep": ""}, "f 99999 1"),
            ('echo >f; chmod 666 f; chmod 555 .; (ulimit -f 1; $N "$B"); s=$?; chmod 755 .; '
             "exit $s", "1 f: File too large; could not remove the partial file: Permission "
             "denied", {"f": ""}, "f 99999 1"),
            (at_t + 'inject=close:error=EIO "$B"', "1 f: Input/output error", EMPTIED),
            ("exec 2>&-; " + at_t + 'inject=close:error=EIO:when=1 "$B"', "1", EMPTIED),
            ('"$B" >/dev/full', "1 standard output: No space left on device", {}),
            ('"$B" <&-', "1 standard input: Bad file descriptor", {}),
            ('exec $T -e inject=write:error=ENOSPC:when=8 "$B"',
             "1 standard output: No space left on device", {"f": W}),
            ("mkfifo e; sleep 3 <e & head -c 65536 /dev/zero >e; "  # a stuck standard error
             '"$B" 2>e & sleep 0.5; kill $!; wait $! 2>/dev/null', "143", {}, "x"),
            (at_f + 'inject=openat:signal=INT "$B"', "130", {}),
            ('echo old >f; python3 -c "$L" & sleep 0.5; exec $T -P f '
             '-e inject=openat:signal=INT:delay_exit=99999:when=2 "$B"', "130", {"f": "old\n"}),
            (at_f + 'inject=write:signal=TERM "$B"', "143", {}),
            (at_t + 'inject=write:signal=HUP "$B"', "129", EMPTIED),
            ("trap '' HUP; " + at_f + 'inject=write:signal=HUP "$B"', "0", {"f": W}),
            ('exec $T -e inject=write:signal=INT:when=7 "$B"', "130", {"f": W}),
            ('mkfifo p; (sleep 0.5; timeout 9 cat p >out) & "$B"; wait', "0", {"out": W}, "p 3 1"),
            ('mkfifo p; timeout 9 head -c 1 p >/dev/null & "$B"', "141", {}, "p 99999 1"),
            ("trap '' PIPE; mkfifo p; timeout 9 head -c 1 p >/dev/null & \"$B\"",
             "1 p: Broken pipe", {}, "p 99999 1"),
            (SLOW % "cat" + '"$B"', "0", {}, "p 99999 1"),
            ("printf 'a 3 1\\nb 3 1' >c; { \"$B\" && \"$B\"; } <c; rm c", "0", {"a": W, "b": W}),
            ('"$B" -x --help /dev/null', "0", {"f": W}),
            ('"$B" 3>&1 >/dev/null | head -n 2001 >out', "0", {"out": instance(4 * 10**7, 1, 2000)},
             "/dev/fd/3 40000000 1"),
            ('"$B" | cat >out', "0", {"out": DIALOGUE + W + "/dev/stdout TSP instance succesfully "
                                      "generated.\n"}, "/dev/stdout 3 1"),
            ('umask 004; "$B" && stat -c %a f >mode', "0", {"f": W, "mode": "660\n"}),
        ]:
            with self.case((command, *answers)):
                code, _, why = outcome.partition(" ")
                ran = sh("printf old >keep; " + command, (answers or ["f 3 1"])[0])
                self.assertEqual((ran[0], ran[2], files()),
                                 (int(code), why and f"tspgen: {why}\n", {"keep": "old", **left}))

    def test_the_terminal_shows_progress_and_messages_on_lines_of_their_own(self):
        drawn = rb"(\rtspgen: \d+ of \d+ cities \(\d+%\), [\d.]+ million cities/s\x1b\[K)+"
        erased, into_p = drawn + rb"\r\x1b\[K", '"$B" >/dev/null <<E\np %s 1\nE'
        for command, when, action, code, shown in [
            ('"$B"', b"name: ", b"\x04", 1, rb".*Filename: \r\ntspgen: file name: input ended\r\n"),
            ('"$B"', b"name: ", b"f\nx\n", 1,
             rb".*Cities: \r\ntspgen: number of cities: not a number\r\n"),
            (SLOW % "cat" + into_p % 99999, None, None, 0, erased),
            (SLOW % "cat" + "exec " + into_p % 429496729, b"/s", signal.SIGTERM, 143, erased),
            (SLOW % "head -c 999999" + into_p % 99999999, None, None, 141, erased),
            ("trap '' PIPE; " + SLOW % "head -c 999999" + into_p % 99999999, None, None, 1,
             erased + rb"tspgen: p: Broken pipe\r\n"),
        ]:
            with self.case(command):
                # On a pseudo-terminal; once it shows `when`, `action` is typed or sent.
                primary, secondary = os.openpty()
                process = subprocess.Popen(["sh", "-c", command], env=ENV, stdin=secondary,
                                           stdout=secondary, stderr=secondary)
                os.close(secondary)
                seen = b""
                with contextlib.suppress(OSError):  # once the program and its reader are gone
                    while select.select([primary], [], [], 60)[0]:
                        seen += os.read(primary, 65536)
                        if when and when in seen:
                            if isinstance(action, bytes):
                                os.write(primary, action)
                            else:
                                process.send_signal(action)
                            when = None
                os.close(primary)
                self.assertEqual(status(process.wait(timeout=60)), code)
                self.assertRegex(seen, re.compile(shown + rb"\Z", re.S))


if __name__ == "__main__":
    unittest.main(warnings="ignore")
