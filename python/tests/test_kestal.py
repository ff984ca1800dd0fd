"""The kestal module against the device simulator on 127.0.0.1."""
import os
import queue
import re
import struct
import subprocess
import sys
import threading
import time

import pytest

import kestal
from conftest import PYTHON_DIR, wait_until

M64 = (1 << 64) - 1


def splitmix(state):
    while True:
        state = (state + 0x9E3779B97F4A7C15) & M64
        z = ((state ^ (state >> 30)) * 0xBF58476D1CE4E5B9) & M64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
        yield z ^ (z >> 31)


def expected_frame(seed, number, type, size):
    """The simulator's frame `number`: its seeded bytes under the header fields it sets."""
    words = splitmix(next(splitmix(seed ^ (number * 0xD6E8FEB86659FD93 & M64) ^ (type << 48 & M64))))
    data = bytearray(b"".join(next(words).to_bytes(8, "little") for _ in range((80 + size + 7) // 8))[:80 + size])
    struct.pack_into("<IHHIIQ", data, 0, number, type, 0, 640, 480, seed)
    struct.pack_into("<I", data, 76, size)
    return bytes(data)


def test_events_status_line_and_one_arm_port_at_a_time(service):
    events, lines, scanner, arm = [], [], [], []
    s = service(["--arm-state", "3"], on_event=lambda *e: events.append(e), on_status_line=lines.append,
                on_scanner_state=scanner.append, on_arm_state=arm.append)
    assert wait_until(lambda: len(events) >= 2 and lines)
    assert events[:2] == [(kestal.Event.CONNECTING, "Connecting..."), (kestal.Event.CONNECTED_OK, "Connected OK")]
    assert lines[0] == "扫描头：工作正常, 0fps; 关节臂：IO错误, 0fps"
    assert (scanner[-1], arm[-1]) == (0, 3)
    with pytest.raises(kestal.KestalError, match="another session owns the arm port 26000"):
        kestal.Service("network", host="127.0.0.1", port=9).start()
    assert s.running and s.callback_error is None


def test_order_and_its_ack(service, devsim):
    messages = []
    s = service(["--fpga-temp", "5555"], on_message=lambda t, p: messages.append((t, p)))
    temp_acks = lambda: [p for t, p in messages if t == kestal.MessageType.ORDER and p[2:4] == b"\x53\x00"]
    seq_no = s.order(kestal.OrderType.GET_FPGA_TEMP)
    assert wait_until(temp_acks)
    # seq_no u16, sub type u16, ack code u16, reply length u32, reply data: the raw reading
    assert struct.unpack_from("<HHHII", temp_acks()[0]) == (seq_no, 83, 0, 4, 5555)
    before = s.health()
    ack = s.request(kestal.OrderType.GET_FPGA_TEMP)
    assert (ack.sub_type, ack.ack_code, ack.reply, ack.truncated) == (83, 0, (5555).to_bytes(4, "little"), False)
    after = s.health()
    assert after.orders_acked > before.orders_acked and after.bytes_in > before.bytes_in > 0
    assert re.fullmatch(r"\d+\.\d+\.\d+", kestal.version())
    assert ack.fpga_temp == pytest.approx(15.55) and ack.seq_no != seq_no
    time.sleep(0.3)
    assert sorted(struct.unpack_from("<H", p)[0] for p in temp_acks()) == sorted([seq_no, ack.seq_no])
    with devsim.paused(), pytest.raises(TimeoutError) as late:  # no answer: a sure timeout
        s.request(kestal.OrderType.GET_FPGA_TEMP, timeout=0)
    assert late.value.code == kestal.ErrorCode.TIMEOUT and late.value.reason in str(late.value)


def test_ten_whole_frames(service):
    frames, messages = queue.Queue(), []
    s = service(["--image-size", "5003", "--piece-size", "1500", "--fps", "50", "--seed", "7"],
                on_frame=frames.put, on_message=lambda t, p: t == 3 and messages.append(p))
    assert s.request(kestal.OrderType.START_SCAN).ack_code == 0
    got = [frames.get(timeout=5) for _ in range(10)]
    s.request(kestal.OrderType.STOP_SCAN)
    numbers = [f.number for f in got]
    assert numbers == list(range(numbers[0], numbers[0] + 10))
    host, utc = [f.host_time_ns for f in got], [f.utc_time_ns for f in got]
    assert host == sorted(set(host)) and utc == sorted(set(utc)) and abs(utc[-1] - time.time_ns()) < 60e9
    for f in got:
        assert f.type == 3 and len(f.data) == 80 + 5003 and (f.width, f.height) == (640, 480)
        assert (f.header, f.image) == (f.data[:80], f.data[80:])
        assert f.data == expected_frame(7, f.number, 3, 5003)
    assert messages[:10] == [f.data for f in got]


def test_two_services_at_once(service):
    frames = {5000: [], 7000: []}
    one, two = (service(["--image-size", str(n), "--fps", "30"], on_frame=frames[n].append, arm_port=a)
                for n, a in ((5000, kestal.ARM_PORT), (7000, 0)))
    for s in (one, two):
        assert s.request(kestal.OrderType.START_SCAN).ack_code == 0
        assert s.request(kestal.OrderType.GET_FPGA_TEMP).sub_type == kestal.OrderType.GET_FPGA_TEMP
    assert wait_until(lambda: len(frames[5000]) > 3 and len(frames[7000]) > 3)
    one.stop()
    seen = len(frames[7000])
    assert wait_until(lambda: len(frames[7000]) > seen + 5) and two.running and not one.running
    assert {n: {len(f.image) for f in got} for n, got in frames.items()} == {5000: {5000}, 7000: {7000}}
    counts = {n: len(got) for n, got in frames.items()}  # each Service counts its own frames
    assert (one.health().image_frames >= counts[5000], two.health().image_frames >= counts[7000]) == (True, True)


def test_request_refused_without_a_link():
    details = []
    s = kestal.Service("network", host="127.0.0.1", port=9, on_event_detail=lambda *e: details.append(e))
    with s:
        assert wait_until(lambda: any(e == kestal.Event.CONNECTED_ERROR for e, _, _ in details))
        with pytest.raises(kestal.KestalError) as refused:
            s.request(kestal.OrderType.GET_FPGA_TEMP, timeout=1)
    assert refused.value.code == kestal.ErrorCode.NOT_CONNECTED and not isinstance(refused.value, TimeoutError)
    assert refused.value.reason and refused.value.reason in str(refused.value)
    assert "127.0.0.1:9" in next(d for e, _, d in details if e == kestal.Event.CONNECTED_ERROR)


def test_frame_array():
    pytest.importorskip("numpy")
    data = expected_frame(3, 9, 3, 600)
    frame = kestal.Frame(3, data)
    assert frame.number == 9 and frame.array(width=20).shape == (30, 20)
    assert frame.array(20).tobytes() == data[80:] and frame.array()[5] == data[85]
    with pytest.raises(ValueError):
        frame.array(width=7)


def test_stop_while_slow_callbacks_run(service):
    lock, seen, stopped = threading.Lock(), {"inside": 0, "calls": 0, "late": 0}, threading.Event()

    def slow(*args):  # holds up the library's threads and touches Python state
        with lock:
            seen["inside"] += 1
            seen["late"] += stopped.is_set()
        time.sleep(0.02)
        with lock:
            seen["inside"] -= 1
            seen["calls"] += 1

    s = service(["--fps", "100", "--image-size", "20000", "--piece-size", "4000"],
                on_message=slow, on_frame=slow, on_status_line=slow)
    s.request(kestal.OrderType.START_SCAN, timeout=5)
    assert wait_until(lambda: seen["calls"] > 20)
    began = time.monotonic()
    s.stop()
    elapsed = time.monotonic() - began
    with lock:
        inside, calls = seen["inside"], seen["calls"]
        stopped.set()
    time.sleep(0.5)
    assert 1.0 <= elapsed < 10 and not s.running and s.callback_error is None
    assert (inside, seen["calls"], seen["late"]) == (0, calls, 0), "a callback ran after stop() returned"


def test_context_manager_stops_on_exception_and_callback_errors_stay_in_python(devsim, capfd):
    def boom(event, text):
        raise ValueError("boom " + text)

    s = kestal.Service("network", host="127.0.0.1", port=devsim(), on_event=boom)
    with pytest.raises(ZeroDivisionError):
        with s:
            assert s.wait_connected(10)
            1 / 0
    assert not s.running
    assert isinstance(s.callback_error, ValueError) and str(s.callback_error) == "boom Connecting..."
    assert s.callback_error_count >= 2
    assert capfd.readouterr().err.count("ValueError: boom") == 1


def test_command_line(devsim, tmp_path):
    port = devsim("--fpga-temp", "5555", "--image-size", "3000", "--seed", "5")
    device = ["--host", "127.0.0.1", "--port", str(port)]

    def cli(*args):
        return subprocess.run([sys.executable, "-m", "kestal", *device, *args], capture_output=True, text=True,
                              timeout=60, env={**os.environ, "PYTHONPATH": str(PYTHON_DIR)})

    run = cli("order", "fpga-temp")
    assert run.returncode == 0, run.stderr
    assert re.fullmatch(r"ACK fpga-temp seq_no=\d+: fpga temperature 15\.55 C\n", run.stdout)
    run = cli("capture", "3", "--out", "shots")
    assert run.returncode == 0, run.stderr
    assert re.fullmatch(r"captured 3 frames to shots: [\d.]+ fps, 0 dropped\n", run.stdout)
    saved = [(tmp_path / "shots" / f"frame_000{i}.raw").read_bytes() for i in (1, 2, 3)]
    numbers = [struct.unpack_from("<I", d)[0] for d in saved]
    assert numbers == list(range(numbers[0], numbers[0] + 3))
    assert saved == [expected_frame(5, n, 3, 3000) for n in numbers]
    run = cli("order", "no-such-order")
    assert run.returncode == 2 and run.stderr.startswith("kestal: unknown order") and run.stderr.count("\n") == 1


def test_enums_and_defaults_agree_with_the_library():
    lib = kestal.library()
    for enum, name_of in ((kestal.MessageType, lib.kestal_msg_name), (kestal.OrderType, lib.kestal_order_name)):
        named = {v: name_of(v).decode() for v in range(256) if name_of(v)}
        # every type the library knows, under its name and value; nothing the library does not know
        assert {v: enum[n].value for v, n in named.items()} == {v: v for v in named}, enum
        assert {m.value for m in enum} == set(named), enum
    assert kestal.default_endpoint(kestal.CommType.NETWORK_ALT) == ("192.168.60.1", 29372)
    assert kestal.Service("network", host="127.0.0.1").port == 28992
    frame = kestal.Frame(kestal.MessageType.ORIGINAL_IMAGE, struct.pack("<IHHII", 7, 3, 0, 640, 480).ljust(80, b"\0"))
    assert (frame.number, frame.width, frame.height) == (7, 640, 480)
    assert kestal.OrderAck(struct.pack("<HHHII", 5, 83, 0, 4, 6500)).fpga_temp == 25.0
