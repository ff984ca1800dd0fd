#!/usr/bin/env python3
"""kestal view in headless Chromium against the simulator on 127.0.0.1: the frame counter rises, the canvas holds
the simulator's image (pixels checked against its seed), the states and the status line show, the FPGA temperature
button shows the simulator's value, bad requests get clear HTTP errors, requests from other pages are refused, and
once the simulator is killed the page shows the link down, the library's invalid states and the last frame greyed out.
The view listens on 0.0.0.0 and is opened at 127.0.0.1 as it prints; a Host naming another machine is refused.

With the argument "metrics": kestal view --metrics-only watching two simulators, scraped every second by a real
Prometheus, all on 127.0.0.1: through Prometheus's HTTP API, kestal_frames_total grows for each device, labelled by
its address, and once one simulator is killed kestal_link_up is 0 for it and still 1 for the other. /metrics itself
keeps the view's Host rule.

Environment: KESTAL_CLI and KESTAL_DEVSIM (the programs); KESTAL_VIEW_SCREENSHOT, a PNG file to save the page to.
Exit 0 passed, 1 failed, 77 skipped (no browser, driver, selenium or prometheus; a tool built without the view)."""
import http.client
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

SEED, FPGA_TEMP_RAW, WIDTH, HEIGHT = 7, 5555, 640, 480


def skip(reason):
    print("skipped: " + reason)
    sys.exit(77)


def splitmix64(state):
    """The simulator's generator: yields 64-bit words."""
    mask = (1 << 64) - 1
    while True:
        state = (state + 0x9E3779B97F4A7C15) & mask
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & mask
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
        yield z ^ (z >> 31)


def expected_pixels(frame_no, points, frame_type=3):
    """The grey values at `points` of the image the simulator sends as frame `frame_no`: its frame bytes are the
    generator's words, little-endian, from a state mixed of seed, number and type; the image starts at byte 80."""
    mask = (1 << 64) - 1
    mixed = next(splitmix64((SEED ^ ((frame_no * 0xD6E8FEB86659FD93) & mask) ^ (frame_type << 48)) & mask))
    offsets = {80 + y * WIDTH + x: (x, y) for x, y in points}
    values, words = {}, splitmix64(mixed)
    for index in range(max(offsets) // 8 + 1):
        word = next(words)
        for offset in range(index * 8, index * 8 + 8):
            if offset in offsets:
                values[offsets[offset]] = (word >> (8 * (offset % 8))) & 0xFF
    return [values[p] for p in points]


def wait_for(what, condition, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + (what() if callable(what) else what))


OPEN = urllib.request.build_opener(urllib.request.ProxyHandler({})).open  # loopback only, never a proxy


def http_status(url, method="GET", headers=None):
    try:
        with OPEN(urllib.request.Request(url, data=b"" if method == "POST" else None,
                                                           method=method, headers=headers or {}), timeout=10) as reply:
            return reply.status, reply.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode()


def query(server, expression):
    """The newest value of `expression` by device; empty while Prometheus is not answering yet."""
    try:
        with OPEN(server + "/api/v1/query?" + urllib.parse.urlencode({"query": expression}), timeout=5) as reply:
            return {s["metric"]["device"]: float(s["value"][1]) for s in json.load(reply)["data"]["result"]}
    except (urllib.error.URLError, ConnectionError):
        return {}


def metrics(cli, devsim, work, processes):
    prometheus = shutil.which("prometheus") or skip("prometheus is not installed")
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


def main():
    cli, devsim = os.environ["KESTAL_CLI"], os.environ["KESTAL_DEVSIM"]
    if subprocess.run([cli, "view", "--help"], capture_output=True).returncode != 0:
        skip("kestal was built without its view (cpp-httplib missing)")
    work = tempfile.mkdtemp(prefix="kestal-view-")
    processes = []  # and the browser's driver
    try:
        return (metrics if sys.argv[1:] == ["metrics"] else browser_page)(cli, devsim, work, processes)
    finally:
        for process in reversed(processes):
            if not hasattr(process, "terminate"):
                process.quit()
                continue
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
        shutil.rmtree(work, ignore_errors=True)


def browser_page(cli, devsim, work, processes):
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By
    except ImportError:
        skip("python3-selenium is not installed")
    browser, driver_path = shutil.which("chromium"), shutil.which("chromedriver")
    if not browser or not driver_path:
        skip("chromium or chromium-driver is not installed")
    sim = subprocess.Popen([devsim, "--port", "0", "--quiet", "--duration-s", "200", "--seed", str(SEED),
                            "--fpga-temp", str(FPGA_TEMP_RAW)], cwd=work, stdout=subprocess.PIPE, text=True)
    processes.append(sim)
    port = sim.stdout.readline().strip().rsplit(":", 1)[1]
    view = subprocess.Popen([cli, "--host", "127.0.0.1", "--port", port, "view", "--listen", "0.0.0.0:0",
                             "--seconds", "200"], cwd=work, stdout=subprocess.PIPE, text=True)
    processes.append(view)
    url = view.stdout.readline().strip().split(" ", 2)[2]
    assert url.startswith("http://127.0.0.1:"), url

    options = webdriver.ChromeOptions()
    options.binary_location = browser
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1500,1000"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(driver_path), options=options)
    processes.append(driver)
    driver.get(url)
    text = lambda element_id: driver.find_element(By.ID, element_id).text
    click = lambda label: driver.find_element(By.XPATH, "//button[text()='%s']" % label).click()
    wait_for("Connected OK", lambda: "Connected OK" in text("events"))
    click("Start scan")
    wait_for("the start-scan ACK", lambda: text("ack").startswith("ACK start-scan"))
    first = wait_for("a frame", lambda: int(text("frame-counter")))
    wait_for("the frame counter to rise", lambda: int(text("frame-counter")) >= first + 5)

    points = [(0, 0), (1, 0), (320, 240), (639, 479), (17, 401)]
    drawn = wait_for("a frame on the canvas", lambda: driver.execute_script(
        "const c = document.getElementById('image'), g = c.getContext('2d');"
        "return +c.dataset.frame ? [+c.dataset.frame, c.width, c.height,"
        " arguments[0].map(p => g.getImageData(p[0], p[1], 1, 1).data[0])] : null;", points))
    frame_no, width, height, pixels = drawn
    assert (width, height) == (WIDTH, HEIGHT), (width, height)
    assert pixels == expected_pixels(frame_no, points), (frame_no, pixels, expected_pixels(frame_no, points))

    wait_for("the scanner state", lambda: text("scanner-state").startswith("0 (working normally)"))
    assert text("arm-state").startswith("0 (working normally)"), text("arm-state")
    wait_for("the status line", lambda: "扫描头：工作正常" in text("status-line"))
    click("FPGA temperature")
    wait_for("the FPGA temperature", lambda: "fpga temperature 15.55 C" in text("ack"))
    if os.environ.get("KESTAL_VIEW_SCREENSHOT"):
        driver.save_screenshot(os.environ["KESTAL_VIEW_SCREENSHOT"])

    # Bad requests; then refused ones: another Host (a page rebound to this address), an order from another
    # page's Origin, without the token that the page carries or with another; the page's own order still served.
    # Every name of this machine is its own Host.
    port, token = url.split(":")[2].strip("/"), re.search(r'const token = "(\w{32})"', http_status(url)[1])[1]
    own = {"X-Kestal-Token": token}
    localhost = {"Host": "localhost:" + port, "Origin": "http://localhost:" + port, **own}
    addresses = subprocess.run(["hostname", "-I"], capture_output=True, text=True).stdout.split()[:1]
    for method, path, status, headers in (
            *(("POST", "order?name=heartbeat", 200, {"Host": name + ":" + port, **own})
              for name in ["127.0.0.2", "[::1]", socket.gethostname(), *addresses]),
            ("GET", "", 403, {"Host": "203.0.113.9:" + port}), ("GET", "", 403, {"Host": "0.0.0.0:" + port}),
            ("GET", "nothing", 404, {}), ("POST", "order?name=bogus", 400, own), ("GET", "order", 404, {}),
            ("POST", "order?name=exposure&value=x", 400, own), ("GET", "", 403, {"Host": "a.example:" + port}),
            ("POST", "order?name=stop-scan", 403, {"Host": "127.0.0.1:1", **own}),
            ("POST", "order?name=stop-scan", 403, {"Origin": "http://a.example", **own}),
            ("POST", "order?name=stop-scan", 403, {}),
            ("POST", "order?name=stop-scan", 403, {"X-Kestal-Token": "0"}),
            ("POST", "order?name=heartbeat", 200, localhost)):
        got, body = http_status(url + path, method, headers)
        assert got == status and body.count("\n") <= 1 and body, (method, path, headers, got, body)
    bodiless = http.client.HTTPConnection("127.0.0.1", int(port), timeout=10)  # no Content-Length at all
    bodiless.putrequest("POST", "/order?name=heartbeat")
    bodiless.putheader("X-Kestal-Token", token)
    bodiless.endheaders()
    reply = bodiless.getresponse()
    assert (reply.status, reply.read()) == (400, b"400: a POST needs a Content-Length (0 for no body)\n")
    # A port that is taken is refused with the system's reason, before the library starts.
    taken = subprocess.run([cli, "--host", "127.0.0.1", "--port", "1", "--connect-timeout-ms", "1000", "view",
                            "--listen", "127.0.0.1:" + port], capture_output=True, text=True, timeout=30)
    assert (taken.returncode, taken.stderr) == (1, "kestal: cannot listen on 127.0.0.1:%s: Address already in use\n"
                                                % port), taken
    # The device gone: what the library reports (link down; state 7 once no status came for 3 s, without the last
    # frame rates) and the last frame greyed out; each event with its time.
    sim.kill()
    for element_id, pattern in (("scanner-state", r"^7 \(invalid\)$"), ("arm-state", r"^7 \(invalid\)$"),
                                ("link", "^not connected"), ("frame-age", r"^received \(\d+ s ago\)$"),
                                ("events", r"\d\d:\d\d:\d\d Comm Error")):
        wait_for(lambda: "%s to match %s, not %r" % (element_id, pattern, text(element_id)),
                 lambda: re.search(pattern, text(element_id)))
    assert "stale" in driver.find_element(By.ID, "image").get_attribute("class")
    print("passed: frame %d drawn as the simulator sent it, %s frames counted" % (frame_no, text("frame-counter")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
