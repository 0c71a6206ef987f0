#!/usr/bin/env python3
# Runs the rows of generator.rows, whose key stands at its top:
#     generator_test.py TSPGEN [strace] [NAME]
# runs the rows that need no strace, or with "strace" those that do (their command holds
# inject, $S or $fault); given a NAME, the row of that name alone, whatever it needs.
import codecs, contextlib, errno, fcntl, os, pathlib, re, select, signal, subprocess, sys
import tempfile, termios

PRELUDE = """ulimit -c 0; ulimit -f 40000; printf old >keep
inject() { f=$1; shift; [ -e $f ] || echo old >$f; for i; do set -- "$@" -e inject=$i; shift
  done; exec $S -P $f "$@" tspgen; }
slow_reader() { mkfifo p; (exec 3<p; sleep 1.5; ${1:-cat} <&3 >/dev/null) & }
kill_after() { s=$1; shift; exec 4<&0; "$@" <&4 & sleep $s; kill $!; wait $! 2>&-; }
"""
# $B and $N run their arguments with SIGTERM blocked, and with standard input non-blocking.
TSPGEN = os.path.realpath(sys.argv[1])
RUN = "import os, signal as s, sys; %s; os.execvp(sys.argv[1], sys.argv[1:])"
ENV = dict(os.environ, PATH=os.path.dirname(TSPGEN) + ":" + os.environ["PATH"], TERM="xterm",
           S="strace --quiet=all -o /dev/null -E ASAN_OPTIONS=detect_leaks=0",
           B=RUN % "s.pthread_sigmask(s.SIG_BLOCK, [s.SIGTERM])", N=RUN % "os.set_blocking(0, 0)")
STRACE = sys.argv[2:3] == ["strace"]
NAME = " ".join(sys.argv[2 + STRACE:])
# The sweep makes each call fail with an errno that it can give: this one, or else EIO.
ERRNO = {"ioctl": "ENOTTY", "rt_sigaction": "EINVAL", "rt_sigprocmask": "EINVAL",
         "dup": "EMFILE", "flock": "ENOLCK", "poll": "ENOMEM"}


# The instance of a count and a seed, by the drand48 recurrence; or its first cities alone.
def instance(count, seed, cities=2**31):
    state, lines = (seed % 2**32) << 16 | 0x330E, [f"{count} 0\n"]
    for number in range(1, min(count, cities) + 1):
        x = state = (0x5DEECE66D * state + 0xB) % 2**48
        y = state = (0x5DEECE66D * state + 0xB) % 2**48
        lines.append(f"{number} {(x >> 17) % (5 * count + 1)} {(y >> 17) % (5 * count + 1)}\n")
    return "".join(lines)


# Every signal at its default and none blocked, as a shell started from a terminal has them;
# a row on a terminal gets it as its controlling terminal.
def as_typed_at_a_shell(on_terminal=False):
    for number in signal.valid_signals() - {signal.SIGKILL, signal.SIGSTOP}:
        signal.signal(number, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_SETMASK, [])
    if on_terminal:
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)


# The signals that end a process by default, each sent by a shell to itself (a stop signal
# is lost on its orphaned process group), but those tspgen leaves alone: SIGKILL, SIGXFSZ,
# which it ignores, and the signals of a fault.
def caught_signals():
    left_alone = "KILL STOP SEGV BUS ILL FPE ABRT TRAP SYS EMT XFSZ".split()
    return [n for n in signal.valid_signals() - {getattr(signal, "SIG" + s, 0) for s in left_alone}
            if subprocess.run(["/bin/sh", "-c", f"kill -{n} $$"], cwd="/", start_new_session=True,
                              preexec_fn=as_typed_at_a_shell).returncode == -n]


# Runs a command by /bin/sh in a session of its own, and kills its process group when it ends,
# when it is silent or does not end for 20 seconds, or when the runner ends: nothing a faulty
# build starts outlives it. Gives the status as a shell does, and what standard error, or the
# terminal, showed.
def run(command, answers, on_terminal=False):
    master, slave = os.openpty() if on_terminal else (None, subprocess.PIPE)
    with subprocess.Popen(["/bin/sh", "-c", PRELUDE + command], stdin=slave, stdout=slave,
                          stderr=slave, env=ENV, start_new_session=True,
                          preexec_fn=lambda: as_typed_at_a_shell(on_terminal)) as shell:
        try:
            if on_terminal:
                os.close(slave)
                seen = screen(master, answers.split("^"))
            else:
                seen = shell.communicate(answers.encode("latin-1"), 20)[1]
            shell.wait(20)
        except subprocess.TimeoutExpired:
            seen = b"(timed out)"
        finally:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(shell.pid, signal.SIGKILL)
            if on_terminal:
                os.close(master)
    status = shell.returncode if shell.returncode >= 0 else 128 - shell.returncode
    return str(status), seen.decode("latin-1")


# What the terminal shows till no process holds it, a piece of the answers typed at each prompt.
def screen(master, pieces):
    os.write(master, pieces.pop(0).encode())
    seen = b""
    while select.select([master], [], [], 20)[0]:
        data = b""
        with contextlib.suppress(OSError):
            data = os.read(master, 65536)
        if not data:
            return seen
        seen += data
        if pieces and seen.endswith(b": "):
            os.write(master, pieces.pop(0).encode())
    raise subprocess.TimeoutExpired("", 0)


# The text of a regular file, or None for no file or a file of another kind.
def text(name):
    if os.path.isfile(name) and not os.path.islink(name):
        return pathlib.Path(name).read_text("latin-1")
    return None


# What a row gave, and what it must give: the status, the message and the files; on a terminal,
# the status and the end of the screen; in the sweep, the same when its promise holds.
def outcomes(row):
    _, _, command, answers, outcome, left = row
    status, seen = run(command, answers, left.startswith("..."))
    if left.startswith("..."):
        return (status, seen[3 - len(left):]), (outcome, left[3:])
    held = {name: text(name) for name in os.listdir()}
    if outcome == "~":
        return (status, seen, held), (status, seen, held) if holds(status, seen, row) else "~"
    want, _, why = re.sub(r"\bE[A-Z]+\b", lambda e: os.strerror(getattr(errno, e[0])),
                          outcome).partition(" ")
    expected = {"keep": "old"}
    for name, _, content in (item.partition("=") for item in left.split(", ") if item):
        form = re.fullmatch(r"(-?\d+),(-?\d+),?(\d*)", content)
        if form:
            content = instance(*(int(number) for number in form.groups() if number))
        if content == "*" and name in held:
            held[name] = "*"
        expected[name.rstrip("@")] = None if name.endswith("@") else content
    return (status, seen, held), (want, why and f"tspgen: {why}\n", expected)


# The sweep's promise after a fault, as the heading of its rows states it.
def holds(status, message, row):
    whole, content = instance(3, 1), text("t" if row[5] == "symlink" else "f")
    kept = (content in ("old\n", None, whole) or content == "" and row[5] != "old"
            or content == "" and "; not removed: " in message
            or "; not emptied: " in message and whole.startswith(content or ""))
    if "signal=" in row[2]:
        return status == "143" and message == "" and kept
    if status == "0":
        return message == "" and content == whole
    return status == "1" and re.fullmatch("tspgen: [^\n]*\n", message) is not None and kept


# The system calls that a sweep row's run makes from tspgen's main, as strace -k traces them
# with their stacks: so none of the dynamic loader's, nor of a sanitizer's runtime, whose own
# code (past the C library and the sanitizer's interceptors) makes the call. Each as its name,
# its occurrence among all calls of that name, and its line.
def calls(row, options=""):
    with tempfile.TemporaryDirectory() as directory:
        os.chdir(directory)
        run(row[2].replace("$fault", "-k -o trace " + options), row[3])
        made, seen = [], {}
        for entry in re.split(r"\n(?! > )", pathlib.Path("trace").read_text()):
            name = entry.partition("(")[0]
            seen[name] = seen.get(name, 0) + 1
            frames = [frame for frame in entry.split("\n > ")
                      if not re.search("libc[.]so|_interceptor_", frame)]
            if "(main+" in entry and frames[1].startswith(TSPGEN + "("):
                made.append((name, seen[name], entry.partition("\n")[0]))
        return made


# The faults of the sweep, as strace options: each call fails in turn, and SIGTERM comes at
# each call in turn; then, after the first write to the file has failed, each call of the
# clean-up fails in turn. (exit_group never returns, and strace shows no stack for it.)
def faults(row):
    made = calls(row)
    file = next(line for name, _, line in made if name == "openat").rpartition(" ")[2]
    write = next(k for _, k, line in made if line.startswith(f"write({file},"))
    first = f"-e inject=write:error=EIO:when={write}"
    cleanup = calls(row, first)
    cleanup = cleanup[1 + [line.endswith("(INJECTED)") for _, _, line in cleanup].index(True):]
    fail = "-e inject={0}:error={1}:when={2}"
    return ([fail.format(name, ERRNO.get(name, "EIO"), k) for name, k, _ in made] +
            [f"-e inject={name}:signal=TERM:when={k}" for name, k, _ in made] +
            [first + " " + fail.format(name, ERRNO.get(name, "EIO"), k)
             for name, k, _ in cleanup if name != "write"])


# The rows asked for, each with its heading, the first line of its paragraph of the table; a
# row with $n once for each signal, one with $fault once for each fault.
def rows():
    table = pathlib.Path(__file__).with_name("generator.rows").read_text()
    for paragraph in re.sub(r" \\\n\s*", "  ", table).split("\n\n"):
        for line in paragraph.splitlines():
            row = [paragraph.partition("\n")[0][2:]] + [
                codecs.decode(column, "unicode_escape") * (column != "-")
                for column in re.split("  +", line)]
            asked = NAME == row[1] or not NAME and STRACE == bool(re.search(r"inject|\$S", line))
            if not line or line.startswith("#") or not asked:
                continue
            if "$n" in line:
                yield from ([row[0], f"{row[1]}, signal {n}", f"n={n}; {row[2]}", row[3],
                             str(128 + n), row[5]] for n in caught_signals())
            elif "$fault" in line:
                yield from (row[:2] + [row[2].replace("$fault", f)] + row[3:] for f in faults(row))
            else:
                yield row


def main():
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    signal.signal(signal.SIGHUP, signal.default_int_handler)
    if STRACE and os.system("strace -o /dev/null true 2>/dev/null"):
        print("strace is missing, or may not trace here (Debian: strace)")
        return 1 if "TSPGEN_NO_SKIP" in os.environ else 77
    failures = runs = 0
    for row in rows():
        runs += 1
        with tempfile.TemporaryDirectory() as directory:
            os.chdir(directory)
            got, want = outcomes(row)
        if got != want:
            failures += 1
            print(f"FAIL {row[0]}: {row[1]}: {row[2]}\n got  {got!r:.500}\n want {want!r:.500}")
    print(f"{runs - failures} of {runs} rows passed")
    return 1 if failures or not runs else 0


sys.exit(main())
