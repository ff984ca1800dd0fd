"""Fixtures: the library and the device simulator on 127.0.0.1, each test in a directory of its own.

KESTAL_LIBRARY and KESTAL_DEVSIM name the library and kestal-devsim (default: ../build/ beside
python/). The library binds the arm link's fixed UDP port 26000: run these tests one at a time.
"""
import contextlib
import os
import queue
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

PYTHON_DIR = Path(__file__).resolve().parents[1]
LIBRARY = Path(os.environ.get("KESTAL_LIBRARY") or PYTHON_DIR.parent / "build" / "libKestalHostComm.so")
DEVSIM = Path(os.environ.get("KESTAL_DEVSIM") or PYTHON_DIR.parent / "build" / "tools" / "kestal-devsim")
sys.path.insert(0, str(PYTHON_DIR))
os.environ["KESTAL_LIBRARY"] = str(LIBRARY.resolve())  # for the module here and in subprocesses


def wait_until(predicate, timeout=5.0):
    """Polls `predicate` until it is true or `timeout` seconds passed; its last value."""
    deadline = time.monotonic() + timeout
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.01)
    return predicate()


@pytest.fixture(autouse=True)
def test_dir(tmp_path, monkeypatch):
    """Each test runs in a temporary directory (the library writes its log file there); a test
    still running after 60 s (a deadlock) ends the run with every thread's stack."""
    for path, what in ((LIBRARY, "library (KESTAL_LIBRARY)"), (DEVSIM, "simulator (KESTAL_DEVSIM)")):
        if not path.is_file():
            pytest.skip(f"no KestalHostComm {what} at {path}")
    monkeypatch.chdir(tmp_path)
    # SIGABRT, not a timer of this process: a deadlock may hold the GIL. pytest's fault handler
    # prints every thread's stack on the real stderr, then the run ends.
    watchdog = subprocess.Popen([sys.executable, "-c", "import os, signal, sys, time; time.sleep(60); "
                                 "os.getppid() == int(sys.argv[1]) and os.kill(int(sys.argv[1]), signal.SIGABRT)",
                                 str(os.getpid())])
    yield tmp_path
    watchdog.kill()
    watchdog.wait()


@pytest.fixture
def devsim(tmp_path):
    """devsim(*options) starts kestal-devsim on 127.0.0.1 and a free port; returns the port."""
    procs = []

    def start(*options):
        proc = subprocess.Popen([str(DEVSIM), "--listen", "127.0.0.1", "--port", "0", "--quiet",
                                 "--duration-s", "120", *options],
                                cwd=tmp_path, stdout=subprocess.PIPE, text=True)
        procs.append(proc)
        lines = queue.Queue()
        threading.Thread(target=lambda: lines.put(proc.stdout.readline()), daemon=True).start()
        try:
            line = lines.get(timeout=10)
        except queue.Empty:
            pytest.fail("kestal-devsim did not say where it listens within 10 s")
        match = re.fullmatch(r"kestal-devsim: listening on 127\.0\.0\.1:(\d+)\n", line)
        assert match, f"unexpected first line of kestal-devsim: {line!r}"
        return int(match.group(1))

    @contextlib.contextmanager
    def paused(index=0):
        """Device `index` answers nothing inside the block. A stop signal reaches a process's
        threads one by one, and a thread still running could answer: the block begins only once
        every thread has stopped."""
        proc = procs[index]
        proc.send_signal(signal.SIGSTOP)
        try:
            states = lambda: [Path(t).read_text().rsplit(")", 1)[1].split()[0]
                              for t in Path(f"/proc/{proc.pid}/task").glob("*/stat")]
            assert wait_until(lambda: set(states()) == {"T"}), f"kestal-devsim did not stop: {states()}"
            yield
        finally:
            proc.send_signal(signal.SIGCONT)

    start.paused = paused  # to see what a device that answers nothing does
    yield start
    for proc in procs:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=10)


@pytest.fixture
def service(devsim):
    """service(devsim_options, **callbacks): a started kestal.Service connected to a fresh
    simulator on 127.0.0.1; stopped after the test."""
    import kestal
    services = []

    def make(options=(), **callbacks):
        s = kestal.Service("network", host="127.0.0.1", port=devsim(*options), **callbacks)
        services.append(s)
        assert s.start() == 0
        assert s.wait_connected(10), "no Connected OK within 10 s"
        return s

    yield make
    for s in services:
        s.stop()
