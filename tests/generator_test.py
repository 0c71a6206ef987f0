#!/usr/bin/env python3
# Runs the rows of generator.rows under one heading: generator_test.py TSPGEN HEADING, where
# --list gives the headings, those with rows that need strace once more, with ", with strace".
#
# A row is its name, command, answers, outcome and the files then left beside keep, in columns
# two spaces apart; "-" is an empty column, and a line that ends in " \" goes on with the next
# column in the next.
# The command runs by /bin/sh in a new directory, the answers (escapes decoded) on its standard
# input, or typed on a terminal of the runner's own where the last column begins with "...",
# the end of what the terminal then shows; "^" in such answers waits for the next prompt. The
# outcome is the status and the message, where an errno name stands for its text. A file is
# NAME=COUNT,SEED[,CITIES] for an instance, NAME=TEXT (escaped), NAME=* for any content, or
# NAME@ for one not regular. A command that holds $n runs for each signal tspgen must catch.
import codecs, contextlib, errno, fcntl, os, pathlib, re, select, signal, subprocess, sys
import tempfile, termios, time

PRELUDE = """ulimit -c 0; ulimit -f 40000; printf old >keep
inject() { f=$1; shift; [ -e $f ] || echo old >$f; for i; do set -- "$@" -e inject=$i; shift
  done; exec $S -P $f "$@" tspgen; }
slow_reader() { mkfifo p; (exec 3<p; sleep 1.5; ${1:-cat} <&3 >/dev/null) & }
kill_after() { s=$1; shift; exec 4<&0; "$@" <&4 & sleep $s; kill $!; wait $! 2>&-; }
"""
RUN = "import os, signal as s, sys; %s; os.execvp(sys.argv[1], sys.argv[1:])"
# tspgen is the built one, found on PATH.
BIN = tempfile.TemporaryDirectory()
os.symlink(os.path.abspath(sys.argv[1]), os.path.join(BIN.name, "tspgen"))
ENV = dict(os.environ, PATH=BIN.name + os.pathsep + os.environ["PATH"], TERM="xterm", S="strace --quiet=all -o /dev/null -E ASAN_OPTIONS="
           "detect_leaks=0", B=RUN % "s.pthread_sigmask(s.SIG_BLOCK, [s.SIGTERM])",
           N=RUN % "os.set_blocking(0, False)")
# What tspgen leaves alone: SIGKILL, SIGXFSZ, which it ignores, and the signals of a fault.
LEFT_ALONE = "KILL STOP SEGV BUS ILL FPE ABRT TRAP SYS EMT XFSZ".split()


def instance(count, seed, cities=2**31):
    state, lines = (seed % 2**32) << 16 | 0x330E, [f"{count} 0\n"]
    for number in range(1, min(count, cities) + 1):
        draws = []
        for _ in "xy":
            state = (0x5DEECE66D * state + 0xB) % 2**48
            draws.append((state >> 17) % (5 * count + 1))
        lines.append(f"{number} {draws[0]} {draws[1]}\n")
    return "".join(lines)


def as_typed_at_a_shell():
    for number in signal.valid_signals() - {signal.SIGKILL, signal.SIGSTOP}:
        signal.signal(number, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_SETMASK, [])


# The signals that end a process by default, told by what each does to a sleep.
def caught_signals():
    def ends_a_sleep(number):
        with subprocess.Popen(["sleep", "9"], preexec_fn=as_typed_at_a_shell) as sleep:
            os.kill(sleep.pid, number)
            with contextlib.suppress(subprocess.TimeoutExpired):
                return sleep.wait(0.3) == -number
            sleep.kill()
    left_alone = {getattr(signal, "SIG" + name, 0) for name in LEFT_ALONE}
    return [n for n in signal.valid_signals() - left_alone if ends_a_sleep(n)]


def tests():
    tests, text = {}, pathlib.Path(__file__).with_name("generator.rows").read_text()
    for line in re.sub(r" \\\n\s*", "  ", text).splitlines():
        if line.startswith("# "):
            heading = line[2:]
        elif line:
            row = [None if column == "-" else column for column in re.split("  +", line)]
            tests.setdefault(heading + ", with strace" * bool(re.search(r"inject|\$S", row[1])),
                             []).append(row)
    return tests


def decoded(text):
    return codecs.decode(text or "", "unicode_escape")


def expected_files(column):
    files = {"keep": "old"}
    for name, _, content in (item.partition("=") for item in (column or "").split(", ") if item):
        form = re.fullmatch(r"(-?\d+),(-?\d+),?(\d*)", content)
        files[name.rstrip("@")] = None if name.endswith("@") else instance(
            *(int(number) for number in form.groups() if number)) if form else decoded(content)
    return files


def files_left(expected):
    return {name: None if os.path.islink(name) or not os.path.isfile(name) else "*"
            if expected.get(name) == "*" else pathlib.Path(name).read_text("latin-1")
            for name in os.listdir()}


# Runs a command in a session of its own, every signal at its default and none blocked, and
# kills its process group when it ends or its time is up: nothing a faulty build starts
# outlives the row. Returns the status as a shell gives it, and what `talk` saw.
def run(command, env, streams, talk, terminal=False):
    def start():
        as_typed_at_a_shell()
        terminal and fcntl.ioctl(0, termios.TIOCSCTTY, 0)
    with subprocess.Popen(["/bin/sh", "-c", PRELUDE + command], stdin=streams, stdout=streams,
                          stderr=streams, env=env, start_new_session=True,
                          preexec_fn=start) as shell:
        try:
            seen = talk(shell)
        except subprocess.TimeoutExpired:
            seen = b"(timed out)"
        with contextlib.suppress(ProcessLookupError):
            os.killpg(shell.pid, signal.SIGKILL)
    return str(shell.returncode if shell.returncode >= 0 else 128 - shell.returncode), seen


def run_on_a_terminal(command, env, typed, end):
    master, terminal = os.openpty()
    pieces = typed.split("^")

    def talk(shell):
        os.close(terminal)
        os.write(master, pieces.pop(0).encode())
        screen = b""
        while select.select([master], [], [], max(0, end - time.monotonic()))[0]:
            with contextlib.suppress(OSError):
                screen += os.read(master, 65536)
                if pieces and screen.endswith(b": "):
                    os.write(master, pieces.pop(0).encode())
                continue
            break
        shell.wait(max(0.1, end - time.monotonic()))
        return screen
    try:
        return run(command, env, terminal, talk, terminal=True)
    finally:
        os.close(master)


def outcomes(row, env, end):
    _, command, answers, outcome, files = row
    if (files or "").startswith("..."):
        screen = decoded(files[3:]).encode()
        status, seen = run_on_a_terminal(command, env, decoded(answers), end)
        return (status, seen[-len(screen):]), (outcome, screen)
    status, error = run(command, env, subprocess.PIPE, lambda shell: shell.communicate(
        decoded(answers).encode("latin-1"), max(0.1, end - time.monotonic()))[1])
    expected, (want, _, why) = expected_files(files), outcome.partition(" ")
    why = re.sub(r"\bE[A-Z]+\b", lambda name: os.strerror(getattr(errno, name[0])), why)
    return ((status, error.decode(errors="replace"), files_left(expected)),
            (want, why and f"tspgen: {why}\n", expected))


def main():
    if sys.argv[1:] == ["--list"]:
        return print("\n".join(tests()))
    rows, deadline = tests()[sys.argv[2]], time.monotonic() + 240
    if sys.argv[2].endswith("strace") and subprocess.run("strace -o /dev/null true", shell=True,
                                                          capture_output=True).returncode:
        print("strace is missing, or may not trace here (Debian: strace)")
        return 1 if "TSPGEN_NO_SKIP" in os.environ else 77
    rows = [(row, ENV) for row in rows if "$n" not in row[1]] + [
        ([f"signal {n}", command, answers, str(128 + n), files], dict(ENV, n=str(n)))
        for _, command, answers, _, files in rows if "$n" in command for n in caught_signals()]
    failures = 0
    for row, env in rows:
        with tempfile.TemporaryDirectory() as directory:
            os.chdir(directory)
            got, want = outcomes(row, env, min(time.monotonic() + 20, deadline))
            if got != want:
                failures += 1
                print(f"FAIL {row[0]}: {row[1]}\n got  {got!r:.500}\n want {want!r:.500}")
    print(f"{len(rows) - failures} of {len(rows)} rows passed")
    return 1 if failures else 0


sys.exit(main())
