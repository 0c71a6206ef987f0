#!/usr/bin/env python3
# Runs the rows of generator.rows: generator_test.py TSPGEN runs those that need no strace,
# generator_test.py TSPGEN strace those that do.
#
# A row is its name, command, answers, outcome and the files then left beside keep, in columns
# two spaces apart; "-" is an empty column, and a line that ends in " \" goes on with the next
# column in the next. The command runs by /bin/sh in a new directory, with the built tspgen
# first on PATH and the answers (escapes decoded) on standard input; or on a terminal of the
# runner's own, where the last column begins with "...", the end of what the terminal then
# shows, and "^" in the answers waits for the next prompt. The outcome is the status and the
# message, where an errno name stands for its text. A file is NAME=COUNT,SEED[,CITIES] for an
# instance, NAME=TEXT, NAME=* for any content, or NAME@ for one not regular. A command that
# holds $n runs for each signal that tspgen must catch, and ends by it. (Of the 512 bytes that
# ulimit -f 1 allows, 341 leave room for the dialogue up to the closing message, and no more.)
import codecs, contextlib, errno, fcntl, os, pathlib, re, select, signal, subprocess, sys
import tempfile, termios, time

PRELUDE = """ulimit -c 0; ulimit -f 40000; printf old >keep
inject() { f=$1; shift; [ -e $f ] || echo old >$f; for i; do set -- "$@" -e inject=$i; shift
  done; exec $S -P $f "$@" tspgen; }
slow_reader() { mkfifo p; (exec 3<p; sleep 1.5; ${1:-cat} <&3 >/dev/null) & }
kill_after() { s=$1; shift; exec 4<&0; "$@" <&4 & sleep $s; kill $!; wait $! 2>&-; }
"""
# $B and $N run their arguments with SIGTERM blocked, and with standard input non-blocking.
RUN = "import os, signal as s, sys; %s; os.execvp(sys.argv[1], sys.argv[1:])"
ENV = dict(os.environ, PATH=os.path.dirname(os.path.abspath(sys.argv[1])) + ":" +
           os.environ["PATH"], TERM="xterm",
           S="strace --quiet=all -o /dev/null -E ASAN_OPTIONS=detect_leaks=0",
           B=RUN % "s.pthread_sigmask(s.SIG_BLOCK, [s.SIGTERM])", N=RUN % "os.set_blocking(0, 0)")


def instance(count, seed, cities=2**31):
    state, lines = (seed % 2**32) << 16 | 0x330E, [f"{count} 0\n"]
    for number in range(1, min(count, cities) + 1):
        x, y = [state := (0x5DEECE66D * state + 0xB) % 2**48 for _ in "xy"]
        lines.append(f"{number} {(x >> 17) % (5 * count + 1)} {(y >> 17) % (5 * count + 1)}\n")
    return "".join(lines)


def as_typed_at_a_shell():
    for number in signal.valid_signals() - {signal.SIGKILL, signal.SIGSTOP}:
        signal.signal(number, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_SETMASK, [])


# The signals that end a process by default, each sent by a shell to itself (a stop signal
# is lost on its orphaned process group), but those tspgen leaves alone: SIGKILL, SIGXFSZ,
# which it ignores, and the signals of a fault.
def caught_signals():
    left_alone = "KILL STOP SEGV BUS ILL FPE ABRT TRAP SYS EMT XFSZ".split()
    return [n for n in signal.valid_signals() - {getattr(signal, "SIG" + s, 0) for s in left_alone}
            if subprocess.run(["/bin/sh", "-c", f"kill -{n} $$"], start_new_session=True,
                              preexec_fn=as_typed_at_a_shell).returncode == -n]


# The rows of the kind asked for, each with its heading; one with $n once for each signal.
def rows():
    rows, text = [], pathlib.Path(__file__).with_name("generator.rows").read_text()
    for line in re.sub(r" \\\n\s*", "  ", text).splitlines():
        if line.startswith("# "):
            heading = line[2:]
        elif line and ("inject" in line or "$S" in line) == (sys.argv[2:] == ["strace"]):
            row = [heading] + [codecs.decode(column, "unicode_escape") * (column != "-")
                               for column in re.split("  +", line)]
            rows += [row[:1] + [f"signal {n}", f"n={n}; {row[2]}", row[3], str(128 + n), row[5]]
                     for n in caught_signals()] if "$n" in line else [row]
    return rows


# What the terminal shows till no process holds it, a piece of the answers typed at each prompt.
def screen(master, pieces, end):
    os.write(master, pieces.pop(0).encode())
    seen = b""
    while select.select([master], [], [], max(0, end - time.monotonic()))[0]:
        with contextlib.suppress(OSError):
            data = b""
            data = os.read(master, 65536)
        if not data:
            return seen.decode("latin-1")
        seen += data
        if pieces and seen.endswith(b": "):
            os.write(master, pieces.pop(0).encode())
    raise subprocess.TimeoutExpired("", 0)


# Runs the row's command in a session of its own, every signal at its default and none
# blocked, and kills its process group when it ends or its time is up: nothing a faulty build
# starts outlives the row. The status is given as a shell gives it.
def outcomes(row, end):
    _, _, command, answers, outcome, left = row
    master, terminal = os.openpty() if left.startswith("...") else (0, subprocess.PIPE)
    start = lambda: (as_typed_at_a_shell(), master and fcntl.ioctl(0, termios.TIOCSCTTY, 0))
    with subprocess.Popen(["/bin/sh", "-c", PRELUDE + command], stdin=terminal, stdout=terminal,
                          stderr=terminal, env=ENV, start_new_session=True,
                          preexec_fn=start) as shell:
        try:
            if master:
                os.close(terminal)
                seen = screen(master, answers.split("^"), end)
            else:
                seen = shell.communicate(answers.encode("latin-1"), end - time.monotonic())[1]
                seen = seen.decode(errors="replace")
            shell.wait(max(0.1, end - time.monotonic()))
        except subprocess.TimeoutExpired:
            seen = "(timed out)"
        with contextlib.suppress(ProcessLookupError):
            os.killpg(shell.pid, signal.SIGKILL)
    status = str(shell.returncode if shell.returncode >= 0 else 128 - shell.returncode)
    if master:
        os.close(master)
        return (status, seen[3 - len(left):]), (outcome, left[3:])
    want, _, why = re.sub(r"\bE[A-Z]+\b", lambda e: os.strerror(getattr(errno, e[0])),
                          outcome).partition(" ")
    expected = {"keep": "old"}
    for name, _, content in (item.partition("=") for item in left.split(", ") if item):
        form = re.fullmatch(r"(-?\d+),(-?\d+),?(\d*)", content)
        expected[name.rstrip("@")] = None if name.endswith("@") else instance(
            *(int(number) for number in form.groups() if number)) if form else content
    left = {name: None if os.path.islink(name) or not os.path.isfile(name) else "*"
            if expected.get(name) == "*" else pathlib.Path(name).read_text("latin-1")
            for name in os.listdir()}
    return (status, seen, left), (want, why and f"tspgen: {why}\n", expected)


def main():
    failures = 0
    if sys.argv[2:] and os.system("strace -o /dev/null true 2>/dev/null"):
        print("strace is missing, or may not trace here (Debian: strace)")
        return 1 if "TSPGEN_NO_SKIP" in os.environ else 77
    table = rows()
    for row in table:
        with tempfile.TemporaryDirectory() as directory:
            os.chdir(directory)
            got, want = outcomes(row, time.monotonic() + 20)
            if got != want:
                failures += 1
                print(f"FAIL {row[0]}: {row[1]}: {row[2]}\n got  {got!r:.500}\n want {want!r:.500}")
    print(f"{len(table) - failures} of {len(table)} rows passed")
    return 1 if failures else 0


sys.exit(main())
