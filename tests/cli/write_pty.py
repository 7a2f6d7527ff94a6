#!/usr/bin/env python3
"""brigant-fw on a terminal (a pseudo-terminal): the confirmation prompt
answered no and yes, and Ctrl-C during the write: deferred once, and a second
one within 3 s stopping after the current command with the state saved.

Usage: write_pty.py BRIGANT_FW [JSON_SCHEMA]
"""
import fcntl
import json
import os
import pty
import select
import shutil
import signal
import sys
import tempfile
import threading

TOOL = sys.argv[1]
SCHEMA = json.load(open(sys.argv[2], encoding="utf-8")) if len(sys.argv) > 2 else None
WORK = tempfile.mkdtemp()
os.environ["XDG_STATE_HOME"] = os.path.join(WORK, "xdg")
DEFERRED = "Stopping now would leave the bridge without working firmware; the update goes on."
failures = []


def release(fifo):
    """Lets a reader still waiting for the fifo's writer (one that never
    came: the run ended first) see its end."""
    try:
        os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
    except OSError:
        pass  # no reader waits


def spawn(args, answer=None, on_trace=None, trace=None):
    """Runs brigant-fw on a new pty; returns (exit status, everything it printed)."""
    keep = None
    if trace:
        # Shrink the trace pipe before the run starts, so that the writer
        # blocks a few lines ahead of the reader from its first line on
        # (F_SETPIPE_SZ; a pipe already holding more cannot be shrunk).
        keep = os.open(trace, os.O_RDONLY | os.O_NONBLOCK)
        fcntl.fcntl(keep, 1031, 4096)
    pid, master = pty.fork()
    if pid == 0:
        os.execv(TOOL, [TOOL] + args)
    out = b""
    tracer = None
    if trace:
        tracer = threading.Thread(target=on_trace, args=(trace, pid))
        tracer.start()
    while True:
        ready, _, _ = select.select([master], [], [], 60)
        if not ready:
            os.kill(pid, signal.SIGKILL)
            break
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        out += chunk
        if answer is not None and b"[y/N]" in out:
            os.write(master, answer)
            answer = None
    _, status = os.waitpid(pid, 0)
    if tracer:
        release(trace)
        tracer.join()
    if keep is not None:
        os.close(keep)
    return os.waitstatus_to_exitcode(status), out.decode("utf-8", "replace")


def check(cond, what, out=""):
    if not cond:
        failures.append(what)
        print("FAILED:", what)
        print(out[-3000:])


def flash(state):
    with open(os.path.join(state, "flash.bin"), "rb") as f:
        return f.read()


def fresh_state(name):
    state = os.path.join(WORK, name)
    code, out = spawn(["--simulate", "quince", "--sim-state", state, "info"])
    check(code == 0, "info on " + name, out)
    return state


# The prompt: no writes nothing, yes runs the update.
state = fresh_state("prompt")
before = flash(state)
code, out = spawn(["--simulate", "quince", "--sim-state", state, "update", "--embedded"], answer=b"n\n")
check(code == 5 and "cancelled: nothing was written" in out, "answer n: exit %d" % code, out)
check("Firmware running: 1.1.0.8" in out and "Go on? [y/N]" in out, "the plan and the question", out)
check(flash(state) == before, "answer n changed the flash")
code, out = spawn(["--simulate", "quince", "--sim-state", state, "update", "--embedded"], answer=b"y\n")
check(code == 0 and "result: \x1b[32msuccess" in out, "answer y: exit %d" % code, out)


def interrupt(times, marker=b" out 3B 0E "):
    """Reads the trace from a small pipe; at the first command that holds
    `marker` (a flash write) sends Ctrl-C `times` times (the pipe holds the
    run back meanwhile)."""

    def follow(fifo, pid):
        fd = os.open(fifo, os.O_RDONLY)
        pending = b""
        sent = False
        while True:
            chunk = os.read(fd, 256)
            if not chunk:
                break
            pending += chunk
            if not sent and marker in pending:
                sent = True
                for _ in range(times):
                    os.kill(pid, signal.SIGINT)
                    threading.Event().wait(0.2)
        os.close(fd)

    return follow


# One Ctrl-C during the write: told, deferred, the update ends and passes.
state = fresh_state("once")
fifo = os.path.join(WORK, "once.fifo")
os.mkfifo(fifo)
code, out = spawn(["--simulate", "quince", "--sim-state", state, "--trace=" + fifo, "update", "--embedded",
                   "--yes"], on_trace=interrupt(1), trace=fifo)
check(DEFERRED in out, "no deferral message", out)
check(code == 0 and "result: \x1b[32msuccess" in out, "a deferred Ctrl-C cut the update: exit %d" % code, out)

# Two within 3 s: stops after the current command, says so, saves the state.
state = fresh_state("twice")
before = flash(state)
fifo = os.path.join(WORK, "twice.fifo")
os.mkfifo(fifo)
code, out = spawn(["--simulate", "quince", "--sim-state", state, "--trace=" + fifo, "update", "--embedded",
                   "--yes"], on_trace=interrupt(2), trace=fifo)
check(code == 130, "two Ctrl-C: exit %d, expected 130" % code, out)
check("in the middle of the write" in out and "the old flash is saved in" in out, "no state told", out)
check("Run the same update again" in out and "'brigant-fw recover'" in out,
      "the advice after the stop is not the one a code-16 bridge needs", out)
check("result: \x1b[32msuccess" not in out, "a stopped run passed", out)
check(flash(state) != before, "the state at the stop was not saved")
# The advice works from the state the stop left, in its ROM or not.
code, out = spawn(["--simulate", "quince", "--sim-state", state, "update", "--embedded", "--yes"])
check(code == 0, "the same update after the stop: exit %d" % code, out)
code, out = spawn(["--simulate", "quince", "--sim-state", state, "verify", "--embedded"])
check(code == 0 and "VERIFIED" in out, "verify after following the advice: exit %d" % code, out)

# With --json, a stopped write still ends with one JSON document saying so.
for name, verb, marker in [("json-update", ["update", "--embedded"], b" out 3B 0E "),
                           ("json-erase", ["erase"], b" out DF ")]:
    state = fresh_state(name)
    fifo = os.path.join(WORK, name + ".fifo")
    os.mkfifo(fifo)
    code, out = spawn(["--simulate", "quince", "--sim-state", state, "--trace=" + fifo] + verb +
                      ["--yes", "--json"], on_trace=interrupt(2, marker), trace=fifo)
    text = out.replace("\r\n", "\n")
    start = text.find('{\n  "')
    try:
        doc = json.loads(text[start:text.index("\n}\n", start) + 2])
    except ValueError:
        doc = {}
    check(code == 130 and doc.get("result") == "stopped" and doc.get("exit_status") == 130 and
          doc.get("stoppedWhile") == "writing", name + ": exit %d, document %r" % (code, doc), out)
    if SCHEMA:
        try:
            import jsonschema
        except ImportError:
            sys.path.append("/usr/lib/python3/dist-packages")  # the system's python3-jsonschema
            import jsonschema
        try:
            jsonschema.validate(doc, {"$schema": SCHEMA["$schema"], "$defs": SCHEMA["$defs"],
                                      "$ref": "#/$defs/report"})
        except jsonschema.ValidationError as e:
            check(False, name + ": the stopped document does not follow the schema: " + e.message, out)

# update --all on a terminal: a live table redrawn in place, and two Ctrl-C
# during the first bridge's write reach both workers, which stop after their
# current command; the summary says so and the run ends with 130. Each
# worker traces to FILE.NODE: fifos here, the second one drained as it goes.
all_state = os.path.join(WORK, "all")
spawn(["--simulate", "quince", "--simulate", "quince", "--sim-state", all_state, "list"])
base = os.path.join(WORK, "all.trace")
for node in ("sg0", "sg1"):
    os.mkfifo(base + "." + node)


def drain(fifo):
    fd = os.open(fifo, os.O_RDONLY)
    while os.read(fd, 4096):
        pass
    os.close(fd)


drainer = threading.Thread(target=drain, args=(base + ".sg1",))
drainer.start()
code, out = spawn(["--simulate", "quince", "--simulate", "quince", "--sim-state", all_state, "--trace=" + base,
                   "update", "--all", "--embedded", "--yes"], on_trace=interrupt(2), trace=base + ".sg0")
release(base + ".sg1")
drainer.join()
check(code == 130, "update --all, two Ctrl-C: exit %d, expected 130" % code, out)
check("\x1b[2A" in out, "update --all drew no live table", out)
check("stopped" in out and "running update(s), which finish a write" in out, "update --all: no stop told", out)

shutil.rmtree(WORK)
print("pty checks: %d failed" % len(failures))
sys.exit(1 if failures else 0)
