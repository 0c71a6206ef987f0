# The rows of generator.rows, whose key stands at its top, as the pytest test test_row, one test
# id a row; those that need strace are marked so. TSPGEN names the built tspgen.
import codecs, collections, contextlib, errno, fcntl, fnmatch, io, os, pathlib, re, signal
import subprocess, termios, pexpect.fdpexpect, pytest

HELPERS, _, TABLE = pathlib.Path(__file__).with_name("generator.rows").read_text().partition("\n\n")
ENV = dict(os.environ, TERM="xterm",
           PATH=os.path.dirname(os.path.realpath(os.environ["TSPGEN"])) + ":" + os.environ["PATH"])
# Where strace is missing, its rows are skipped, but with TSPGEN_NO_SKIP=1 they run, and fail.
STRACE = [pytest.mark.strace, pytest.mark.skipif(not os.environ.get("TSPGEN_NO_SKIP") and bool(
    os.system("strace -o /dev/null true 2>&-")), reason="strace is missing, or may not trace")]
# SIGTERM and SIGHUP stop the runner as Ctrl-C does, and each row's processes are killed then.
for number in signal.SIGTERM, signal.SIGHUP:
    signal.signal(number, signal.default_int_handler)


# Each row as its heading, name, command, answers and the outcomes it allows.
def rows():
    table = []
    for paragraph in re.sub(r" \\\n\s*", "  ", TABLE).split("\n\n"):
        for line in re.findall("^[^#\n].*", paragraph, re.M):
            columns = [codecs.decode(column, "unicode_escape") * (column != "-")
                       for column in re.split("  +", line.strip())]
            if columns[0] == "or":
                table[-1].values[-1].append(columns[1:])
            else:
                table.append(pytest.param(paragraph.partition("\n")[0][2:], *columns[:3],
                                          [columns[3:]], id=columns[0], marks=STRACE
                                          * bool(re.search(r"\$S|inject", columns[1]))))
    return table


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


# Runs a command by /bin/sh in a session of its own, and kills its process group when it ends,
# when it is silent or does not end for 20 seconds, or when the runner ends: nothing a faulty
# build starts outlives it. Gives the status as a shell does, and what standard error showed, or
# on a terminal what the terminal showed, the answers typed there a piece at each prompt.
def run(command, answers, directory, on_terminal=False):
    master, slave = os.openpty() if on_terminal else (None, subprocess.PIPE)
    # A terminal is sized before the shell starts, so that a row's own stty wins.
    if on_terminal:
        termios.tcsetwinsize(slave, (24, 80))
    with subprocess.Popen(["/bin/sh", "-c", HELPERS + "\n" + command], stdin=slave, stdout=slave,
                          stderr=slave, cwd=directory, env=ENV, start_new_session=True,
                          preexec_fn=lambda: as_typed_at_a_shell(on_terminal)) as shell:
        try:
            # A terminal shows what it shows till no process holds it; "^" waits for a prompt.
            if on_terminal:
                os.close(slave)
                with pexpect.fdpexpect.fdspawn(master, timeout=20) as terminal:
                    terminal.logfile_read = io.BytesIO()
                    for piece in re.split(r"(\^)", answers):
                        terminal.expect_exact(": ") if piece == "^" else terminal.send(piece)
                    terminal.expect(pexpect.EOF)
                    seen = terminal.logfile_read.getvalue().replace(b"\r\n", b"\n")
            else:
                seen = shell.communicate(answers.encode("latin-1"), 20)[1]
            shell.wait(20)
        finally:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(shell.pid, signal.SIGKILL)
    return str(shell.returncode if shell.returncode >= 0 else 128 - shell.returncode), seen


# Whether a run gave an outcome: its status, message and files, or its status and screen.
def holds(outcome, status, seen, directory):
    want_status, message, want = outcome
    if want.startswith("..."):
        return status == want_status and seen.endswith(want[3:])
    message = re.sub(r"\bE[A-Z]+\b", lambda name: os.strerror(getattr(errno, name[0])), message)
    lines = "".join("tspgen: " + "[^;\n]*".join(map(re.escape, line.split("*"))) + "\n"
                    for line in message.split("\n") if message)
    held = sorted(f"{path.name}@" if path.is_symlink() or not path.is_file()
                  else f"{path.name}={path.read_text('latin-1')}" for path in directory.iterdir())
    return status == want_status and re.fullmatch(lines, seen) and any(
        len(held) == len(files) and all(map(fnmatch.fnmatchcase, held, files))
        for files in ([re.sub(r"^(\w+=)(-?\d+),(-?\d+),?(\d*)$", expected, item)
                       for item in sorted(column.split(", ")) if item.strip("-")]
                      for column in want.split(" | ")))


def expected(form):
    return form[1] + instance(*map(int, filter(None, form.groups()[1:])))


# The signals that end a process by default, each sent by a shell to itself (a stop signal
# is lost on its orphaned process group), but those tspgen leaves alone: SIGKILL, SIGXFSZ,
# which it ignores, and the signals of a fault.
def caught_signals():
    left_alone = "KILL STOP SEGV BUS ILL FPE ABRT TRAP SYS EMT XFSZ".split()
    return [n for n in signal.valid_signals() - {getattr(signal, "SIG" + s, 0) for s in left_alone}
            if subprocess.run(["/bin/sh", "-c", f"kill -{n} $$"], start_new_session=True,
                              preexec_fn=as_typed_at_a_shell).returncode == -n]


# The faults of the sweep, as strace options. A traced run of the row gives the calls: with
# $fault, those with main in their stack; with $second_fault, those on f after its first write,
# which fails. Each call is named by its occurrence among the calls of its name that strace sees.
def faults(command, answers, directory):
    first = "-P f -e inject=write:error=EIO:when=1 " * (second := "$second_fault" in command)
    run(re.sub(r"\$(second_)?fault", "-k -o trace " + first, command), answers, directory)
    made, seen, injected = [], collections.Counter(), False
    for entry in re.split(r"\n(?! > )", (directory / "trace").read_text()):
        seen[name := entry.partition("(")[0]] += 1
        if re.match(r"\w+\(", entry) and (injected if second else "(main+" in entry):
            made.append(f"-e inject={name}:%s:when={seen[name]}")
        injected |= "(INJECTED)" in entry
    return [first + c % "error=EIO" for c in made] + [c % "signal=TERM" for c in made if not second]


# A row runs once, or once for each signal or fault that it sweeps, each run in a directory of
# its own; the row fails with what the runs that gave none of the outcomes allowed gave.
@pytest.mark.parametrize("heading, name, command, answers, outcomes", rows())
def test_row(heading, name, command, answers, outcomes, tmp_path):
    runs = [(command, outcomes)]
    if "$n" in command:
        runs = [(f"n={n}; {command}", [[str(128 + n), *outcomes[0][1:]]]) for n in caught_signals()]
    elif "fault" in command:
        runs = [(re.sub(r"\$(second_)?fault", fault, command), outcomes)
                for fault in faults(command, answers, tmp_path)]
    failed = []
    for number, (command, outcomes) in enumerate(runs):
        (directory := tmp_path / str(number)).mkdir()
        status, seen = run(command, answers, directory, outcomes[0][2].startswith("..."))
        if not any(holds(outcome, status, seen.decode("latin-1"), directory)
                   for outcome in outcomes):
            failed.append(f"{command}\n  gave {status}, {seen!r:.300}, in {directory}")
    assert not failed, "\n".join([heading] + failed[:5])
