#!/usr/bin/env python3
# tspgen as its users meet it: started by /bin/sh in a directory of its own, answers on
# standard input, with the user's own redirections, limits, terminals and signals.
# Usage: generator_test.py PATH-TO-TSPGEN
import os, random, re, select, shutil, signal, subprocess, sys, tempfile, time, unittest

# In the command lines below, "$B" is tspgen and $N runs it as nobody when we are root.
ENV = dict(os.environ, B=os.path.abspath(sys.argv.pop()),
           N="setpriv --reuid=65534 --regid=65534 --clear-groups" if os.geteuid() == 0 else "")
DIALOGUE = ("Random TSP Generator\nby Dr. Halvard Quist and Benno Strale\nPart of the Mirto Demo for the TSP\n"
            "Output Filename: Number of Cities: Seed: \nGenerating random TSP instance ...\n")


def reference(count, seed):  # the instance file, by the POSIX drand48 recurrence
    state, draws = (seed % 2**32) << 16 | 0x330E, []
    for _ in range(2 * count):
        state = (0x5DEECE66D * state + 0xB) % 2**48
        draws.append((state >> 17) % (5 * count + 1))
    return f"{count} 0\n" + "".join(f"{i // 2 + 1} {draws[i]} {draws[i + 1]}\n" for i in range(0, 2 * count, 2))


def sh(command, answers="", **options):
    return subprocess.run(["sh", "-c", command], input=answers.encode("latin-1"),
                          capture_output=True, env=ENV, **options)


def files():  # the regular files here, and what they hold
    return {name: open(name, errors="replace").read() for name in os.listdir(".") if os.path.isfile(name)}


def terminal(command, dialogue=()):
    # Runs a command with its standard streams on a pseudo-terminal. For each (text, action)
    # of the dialogue in turn, once the terminal shows the text, types the action's bytes or
    # sends its signal. Returns the exit status and all that the terminal showed.
    primary, secondary = os.openpty()
    process = subprocess.Popen(["sh", "-c", command], env=ENV, stdin=secondary, stdout=secondary, stderr=secondary)
    os.close(secondary)
    shown, steps = b"", list(dialogue)
    while select.select([primary], [], [], 60)[0]:
        try:
            shown += os.read(primary, 65536)
        except OSError:  # the program and all it started are gone
            break
        if steps and steps[0][0] in shown:
            action = steps.pop(0)[1]
            os.write(primary, action) if isinstance(action, bytes) else process.send_signal(action)
    os.close(primary)
    return process.wait(timeout=60), shown


class Tspgen(unittest.TestCase):
    def setUp(self):  # each test, and each row of a table that needs it, in a new directory
        os.chdir(tempfile.mkdtemp(prefix="tspgen-test-"))
        self.addCleanup(shutil.rmtree, os.getcwd())

    def test_answers_give_exactly_their_files(self):
        cases = {"3 0/1 4 5/2 5 9/3 15 15": ["f\n3\n1\n"],  # the worked runs, then other forms
                 "5 0/1 5 13/2 5 24/3 19 21/4 2 17/5 11 5": ["f\n5\n42\n"],
                 "3 0/1 7 12/2 0 8/3 2 6": ["f\n3\n-1\n"], "1 0/1 4 1": ["f 1 1"],
                 "10 0/1 19 26/2 33 7/3 20 49/4 45 0/5 29 32/6 8 13/7 45 39/8 0 18/9 3 31/10 25 8":
                     ["f 10 0"], "8 0/1 25 7/2 1 27/3 1 29/4 2 22/5 5 16/6 7 7/7 3 7/8 0 17": ["f 010 1"],
                 "3 0/1 15 13/2 3 6/3 1 15": ["f 3 0x2A", "f 3 4294967338", "f 3 052", "f 3 +0x000002a"],
                 reference(3, 1): ["\t f\v3\f1\r", "f +3 1", "f + \n 3 1", "f 0003 01", "f 0x3 0X1",
                                   "f 3 1junk", "f 4294967299 1", "n" * 255 + " 3 1"],
                 "0 0": ["f 08"], "-4 0": ["f - 4 1", "f -0x4 1", "f 4294967292 1"],
                 "-2147483648 0": ["f 2147483648 1"], "-1 0": ["f 0xFFFFFFFFFFFFFFFFFFFFFFFF 1"],
                 "-1610612737 0": ["f 99999999999999999999999999999 1"], reference(300000, 11): ["f 300000 11"],
                 **{f"-{10**digits + step} 0": [f"f -{10**digits + step} 1"]  # each power of ten
                    for digits in range(1, 10) for step in (-1, 0, 1)}}
        for file, answers in [(file, answers) for file, all in cases.items() for answers in all]:
            with self.subTest(answers[:40]):
                name = answers.split()[0]
                open(name, "w").write("an older and longer file\n" * 9)
                run = sh('"$B"', answers)
                self.assertEqual((run.returncode, run.stderr, run.stdout.decode(), list(files())),
                                 (0, b"", DIALOGUE + f"{name} TSP instance succesfully generated.\n", [name]))
                self.assertEqual(files()[name], file if file.endswith("\n") else file.replace("/", "\n") + "\n")
                os.remove(name)

    def test_every_failure_is_one_line_and_leaves_no_file_of_ours(self):
        refusals = {"file name: input ended": ["", " \n\t\n"], "seed: input ended": ["keep 3"],
                    "number of cities: input ended": ["keep", "keep -"],
                    "number of cities: not a number": ["keep x 1", "keep 0x 1"],
                    "seed: not a number": ["keep 3x", "keep 3 0xg", "keep 3 + -1"],
                    "number of cities: 429496730 is above the limit of 429496729": ["keep 429496730 1"],
                    "number of cities: 858993459 is above the limit of 429496729": ["keep 858993459 1"],
                    "file name: longer than 255 characters": ["k" * 256 + " 3 1", "b" * 2**20],
                    "file name: contains a NUL byte": ["ke\0ep 3 1"]}
        for command, answers, message, left in [
                *[('ulimit -f 1024; "$B"', answers, message, {})  # a refusal writes nothing, even by mistake
                  for message, all in refusals.items() for answers in all],
                ('"$B"', "no/f 3 1", "no/f: No such file or directory", {}),
                ('mkdir f; "$B"', "f 3 1", "f: Is a directory", {}),
                ('mkdir f; "$B"', "f/ 3 1", "f/: Is a directory", {}),
                ('chmod 444 keep; chmod 755 .; $N "$B"', "keep 3 1", "keep: Permission denied", {}),
                ('"$B"', "/dev/full 429496729 1", "/dev/full: No space left on device", {}),
                ('ulimit -f 100; "$B"', "f 100000 1", "f: File too large", {}),
                ('ulimit -f 0; "$B"', "f 100000 1", "f: File too large", {}),
                ('ln -s t f; ulimit -f 1; "$B"', "f 100000 1", "f: File too large", {"f": "", "t": ""}),
                ("mkdir d; unshare -rm sh -c 'mount -t tmpfs -o size=64k t d; ln -s d/t f; \"$B\" 2>&-; s=$?; "
                 "cp d/t kept; exit $s'", "f 100000 1", "", {"kept": ""}),  # a full disk, standard error closed
                ('echo >f; chmod 666 f; chmod 555 .; (ulimit -f 1; $N "$B"); s=$?; chmod 755 .; exit $s', "f 100000 1",
                 "f: File too large; could not remove the partial file: Permission denied", {"f": ""}),
                ('"$B" >/dev/full', "f 3 1", "standard output: No space left on device", {}),
                ('"$B" >&-', "f 3 1", "standard output: Bad file descriptor", {}),
                ('"$B" <&-', "", "standard input: Bad file descriptor", {})]:
            with self.subTest(command + " " + answers[:40]):
                self.setUp()
                run = sh("printf old >keep; " + command, answers)
                self.assertEqual((run.returncode, run.stderr.decode(), files()),
                                 (1, message and f"tspgen: {message}\n", {"keep": "old", **left}))

    def test_files_are_made_with_mode_0664_less_the_umask(self):
        for umask, mode in [("002", 0o664), ("027", 0o640)]:
            sh(f'umask {umask}; "$B"', f"new{umask} 3 1")
            self.assertEqual(os.stat(f"new{umask}").st_mode & 0o777, mode)

    def test_the_terminal_shows_prompts_progress_and_messages_on_lines_of_their_own(self):
        os.mkfifo("fifo")
        progress = rb"(\rtspgen: \d+ of \d+ cities \(\d+%\), [\d.]+ million cities/s\x1b\[K)+\r\x1b\[K"
        for command, dialogue, status, shown in [
                ('"$B"', [(b"name: ", b"c\n"), (b"Cities: ", b"3\n"), (b"Seed: ", b"1\n")], 0,
                 rb".*\n\r\nGenerating random TSP instance \.\.\.\r\nc TSP instance succesfully generated\.\r\n"),
                ('"$B"', [(b"name: ", b"\x04")], 1, rb".*Filename: \r\ntspgen: file name: input ended\r\n"),
                ('echo /dev/null 300000000 1 | "$B" >/dev/null', [], 0, progress),
                ('echo /dev/null 429496729 1 >a; exec "$B" <a >/dev/null', [(b"cities/s", signal.SIGTERM)],
                 -signal.SIGTERM, progress),
                ("trap '' PIPE; timeout 2 sh -c 'while head -c 65536; do sleep 0.05; done' <fifo >/dev/null &"
                 ' echo fifo 100000000 1 | "$B" >/dev/null', [], 1, progress + rb"tspgen: fifo: Broken pipe\r\n")]:
            with self.subTest(command):
                run = terminal(command, dialogue)
                self.assertEqual(run[0], status)
                self.assertRegex(run[1], re.compile(shown + rb"\Z", re.S))
        self.assertEqual(sh('"$B" >/dev/null', "/dev/null 300000000 1").stderr, b"")

    def test_a_fatal_signal_leaves_the_old_file_or_nothing(self):
        for number in [signal.SIGINT, signal.SIGTERM, signal.SIGHUP]:
            process = subprocess.Popen(["sh", "-c", 'exec "$B" >/dev/null <<E\nbig 429496729 1\nE'],
                                       env=ENV, stderr=subprocess.PIPE)
            while not os.path.exists("big") or os.path.getsize("big") == 0:
                time.sleep(0.001)
            process.send_signal(number)
            self.assertEqual((process.wait(), process.stderr.read(), files()), (-number, b"", {}))
        if not shutil.which("strace"):
            self.skipTest("strace sends the signal as the open of the file returns")
        for prefix, name, status in [("", "INT", -2), ("", "TERM", -15), ("echo old >f;", "HUP", -1),
                                     ("echo old >f; trap '' HUP;", "HUP", 0)]:  # ignored at the start: nohup
            # strace writes to the standard error, unchecked here; LeakSanitizer cannot work under it.
            run = sh(f'{prefix} exec strace -E ASAN_OPTIONS=detect_leaks=0 -P f -e inject=openat:signal={name} "$B"', "f 9 1")
            self.assertEqual((run.returncode, files()), (status, {"f": reference(9, 1)} if status == 0 else {}))

    def test_any_answers_end_in_one_well_formed_file_or_one_message(self):
        draw, successes = random.Random(20261206), 0
        for run in range(2000):
            blank = lambda: draw.choice([" ", "\n", " \t\n", "\v\f\r ", ""])
            number = lambda: draw.choice([  # few cities, or too many, or cut short by the file-size limit
                str(draw.randint(-9, 3000)), hex(draw.randint(0, 3000)), "0%o" % draw.randint(0, 3000),
                "-" + blank() + str(draw.randint(0, 5 * 10**9)), str(draw.randint(1, 9) << 32 | 2000),
                str(draw.randint(429496730, 2**32)), str(draw.getrandbits(130)), "0x%x" % draw.getrandbits(99),
                "0%o" % draw.getrandbits(90), "+-", "0x", "0xg", "08", "q"])
            name = draw.choice(["f", "n" * draw.randint(250, 300), "".join(draw.choices("ab\0\x80\xff\t.-\\", k=9))])
            answers = blank() + name + blank() + number() + blank() + number() + blank()
            cut = draw.randint(0, len(answers))  # some are cut short, some have a byte put in
            answers = draw.choices([answers, answers[:cut], answers[:cut] + chr(draw.randint(0, 255))
                                    + answers[cut:]], [8, 1, 1])[0]
            result, made = sh('ulimit -f 1024; exec "$B"', answers, timeout=10), os.listdir(b".")
            context, successes = f"run {run}: {answers!r} {result.stderr!r}", successes + (not result.returncode)
            if result.returncode == 0:
                file = open(made[0], "rb").read().decode()
                count, numbers = int(file.split(" ")[0]), [int(n) for n in re.findall("[0-9]+", file)[2:]]
                lines = "".join(f"{n} {x} {y}\n" for n, x, y in zip(*[iter(numbers)] * 3))
                self.assertEqual((len(made), result.stderr, numbers[::3], len(numbers)),  # cities 1 to count
                                 (1, b"", list(range(1, len(numbers) // 3 + 1)), 3 * max(count, 0)), context)
                self.assertEqual(file, f"{count} 0\n{lines}", context)
                self.assertLessEqual(max(numbers[1::3] + numbers[2::3], default=0), max(5 * count, 0), context)
                os.remove(made[0])
            else:
                self.assertEqual((result.returncode, made), (1, []), context)
                self.assertRegex(result.stderr, rb"^tspgen: [^\n]*\n\Z", context)
        self.assertTrue(200 < successes < 1800, successes)


if __name__ == "__main__":
    unittest.main(warnings="ignore")
