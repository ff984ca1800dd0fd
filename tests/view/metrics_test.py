#!/usr/bin/env python3
"""kestal view --metrics-only watching two simulators, scraped every second by a real Prometheus, all on 127.0.0.1:
through Prometheus's HTTP API, kestal_frames_total grows for each device, labelled by its address, and once one
simulator is killed kestal_link_up is 0 for it and still 1 for the other. /metrics itself keeps the view's Host rule.

Environment: KESTAL_CLI and KESTAL_DEVSIM (the programs).
Exit 0 passed, 1 failed, 77 skipped (no prometheus; a tool built without the view)."""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

OPEN = urllib.request.build_opener(urllib.request.ProxyHandler({})).open  # loopback only, never a proxy


def wait_for(what, condition, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.2)
    raise AssertionError("timed out waiting for " + what)


def query(server, expression):
    """The newest value of `expression` by device; empty while Prometheus is not answering yet."""
    try:
        with OPEN(server + "/api/v1/query?" + urllib.parse.urlencode({"query": expression}), timeout=5) as reply:
            return {s["metric"]["device"]: float(s["value"][1]) for s in json.load(reply)["data"]["result"]}
    except (urllib.error.URLError, ConnectionError):
        return {}


def main():
    prometheus = shutil.which("prometheus")
    if not prometheus:
        print("skipped: prometheus is not installed")
        return 77
    cli, devsim = os.environ["KESTAL_CLI"], os.environ["KESTAL_DEVSIM"]
    if subprocess.run([cli, "view", "--help"], capture_output=True).returncode != 0:
        print("skipped: kestal was built without its view (cpp-httplib missing)")
        return 77
    work = tempfile.mkdtemp(prefix="kestal-metrics-")
    processes = []
    try:
        devices = []
        for _ in range(2):
            processes.append(subprocess.Popen([devsim, "--port", "0", "--quiet", "--duration-s", "120"], cwd=work,
                                              stdout=subprocess.PIPE, text=True))
            devices.append(processes[-1].stdout.readline().strip().rsplit(" ", 1)[1])  # 127.0.0.1:PORT
        hosts = [a for d in devices for a in ("--host", d.split(":")[0], "--port", d.split(":")[1])]
        processes.append(subprocess.Popen([cli, *hosts, "view", "--metrics-only", "--listen", "127.0.0.1:0",
                                           "--seconds", "120"], cwd=work, stdout=subprocess.PIPE, text=True))
        metrics = processes[-1].stdout.readline().strip().split(" ", 2)[2]
        with OPEN(metrics, timeout=10) as reply:
            assert reply.headers["Content-Type"].startswith("text/plain; version=0.0.4"), reply.headers
            assert "# TYPE kestal_frames_total counter\n" in reply.read().decode()
        try:
            OPEN(urllib.request.Request(metrics, headers={"Host": "a.example"}), timeout=10)
            raise AssertionError("a request for another Host was served")
        except urllib.error.HTTPError as error:
            assert error.code == 403, error

        with socket.socket() as free:  # Prometheus cannot pick a free port itself
            free.bind(("127.0.0.1", 0))
            port = free.getsockname()[1]
        with open(os.path.join(work, "prometheus.yml"), "w") as config:
            config.write("scrape_configs:\n  - job_name: kestal\n    scrape_interval: 1s\n"
                         "    static_configs:\n      - targets: ['%s']\n" % metrics.split("/")[2])
        log = open(os.path.join(work, "prometheus.log"), "w")
        processes.append(subprocess.Popen([prometheus, "--config.file=prometheus.yml", "--storage.tsdb.path=data",
                                           "--web.listen-address=127.0.0.1:%d" % port], cwd=work, stdout=log,
                                          stderr=subprocess.STDOUT))
        server = "http://127.0.0.1:%d" % port
        try:
            first = wait_for("a scrape of both devices", lambda: len(query(server, "kestal_frames_total")) == 2
                             and query(server, "kestal_frames_total"))
            assert sorted(first) == sorted(devices), (first, devices)
            wait_for("kestal_frames_total to grow", lambda: all(
                value > first[device] for device, value in query(server, "kestal_frames_total").items()))
            processes[0].kill()
            wait_for("the first device's link down", lambda: query(server, "kestal_link_up") == {
                devices[0]: 0.0, devices[1]: 1.0})
        except AssertionError:
            log.flush()
            print(open(log.name).read()[-3000:])
            raise
        print("passed: frames counted for %s, scraped by Prometheus; the first device's link seen down" % devices)
        return 0
    finally:
        for process in reversed(processes):
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
