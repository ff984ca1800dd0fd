"""python -m kestal: the command-line tool on the library, from Python.

    python -m kestal [--transport T] [--host H] [--port P] [--disk PATH] COMMAND
      watch [--seconds N] [--stats] connection events (with their reasons), the status line and the
                                    controller status (and the link's health counters once a second)
      order NAME [PARAMS...]        sends a named order and prints the decoded ACK
      capture N [--out DIR]         saves N whole frames as DIR/frame_NNNN.raw, prints the frame rate

Exit codes: 0 success, 1 failure (one line on stderr), 2 bad arguments.
"""
import argparse
import dataclasses
import os
import queue
import struct
import sys
import time

from . import (Event, KestalError, MessageType, OrderType, Service, TRANSPORTS,
               fpga_temp_celsius, health, last_error)

# name: (sub type, number of parameters, bytes per parameter)
ORDERS = {
    "heartbeat": (OrderType.HEARTBEAT, 0, 4), "start-scan": (OrderType.START_SCAN, 0, 4),
    "stop-scan": (OrderType.STOP_SCAN, 0, 4), "exposure": (OrderType.SET_EXPOSURE, 1, 4),
    "gain": (OrderType.SET_GAIN, 1, 4), "trigger-single": (OrderType.TRIGGER_SINGLE, 0, 4),
    "trigger-continue": (OrderType.TRIGGER_CONTINUE, 0, 4), "enter-original": (OrderType.ENTER_ORIGINAL_IMAGE, 0, 4),
    "enter-y": (OrderType.ENTER_Y_IMAGE, 0, 4), "sensor-reg": (OrderType.SET_SENSOR_REG, 2, 2),
    "sensor-map": (OrderType.GET_SENSOR_REG_MAP, 0, 4), "static-info": (OrderType.GET_DEVICE_STATIC_INFO, 0, 4),
    "fpga-temp": (OrderType.GET_FPGA_TEMP, 0, 4),
}


class Failure(Exception):
    """A runtime failure: one line on stderr, exit code 1 (or the code given)."""

    def __init__(self, message, code=1):
        super().__init__(message)
        self.code = code


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise Failure(message, 2)


def number(low, high):
    """Decimal, or hexadecimal with 0x (a leading zero does not make it octal), from low to high."""
    def parse(text):
        try:
            value = int(text, 16) if text.lower().startswith("0x") else int(text, 10)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{value} is not in {low}..{high}")
        return value
    return parse


def describe_ack(name, ack):
    """The ACK as one line, decoded for the orders that carry a reply."""
    p = ack.payload.ljust(138, b"\0")
    u16 = lambda i: p[i] | p[i + 1] << 8
    text = f"ACK {name} seq_no={ack.seq_no}"
    if ack.sub_type == OrderType.GET_SENSOR_REG_MAP:
        text += (f": roi_height={p[11]:02x} {p[12]:02x} start={p[13]:02x} {p[14]:02x} flip={p[50]:02x} "
                 f"exposure={p[52]:02x} {p[53]:02x} {p[54]:02x} gain={p[113]:02x} temp={p[136]:02x} {p[137]:02x}")
    elif ack.sub_type == OrderType.GET_DEVICE_STATIC_INFO:
        text += (f": app version {p[10]}.{p[11]}.{u16(12)}.{u16(14):04d}, "
                 f"fpga version {p[16]}.{p[17]}.{u16(18)}.{u16(20):04d}")
    elif ack.sub_type == OrderType.GET_FPGA_TEMP:
        text += f": fpga temperature {ack.fpga_temp:.2f} C"
    return text


def describe_controller_status(payload):
    r = struct.unpack_from("<8I", payload.ljust(32, b"\0"))
    return (f"controller: scanner={r[0]} arm={r[3]} fpga={r[2]}fps/{r[1]}B arm={r[4]}fps "
            f"host send/recv={r[5]}/{r[6]}B temp={fpga_temp_celsius(r[7]):.2f} C")


class Session:
    """One run of the library: the service, with what its callbacks deliver queued for the command."""

    def __init__(self, options):
        self.lines = queue.Queue()     # events and status lines, as printed
        self.messages = queue.Queue()  # watch: (type, payload); capture: frames
        self.connect_errors = 0
        self.last_detail = ""
        self.service = Service(options.transport, options.host, options.port, disk=options.disk,
                               on_event_detail=self._event,
                               on_status_line=lambda text: self.lines.put("status: " + text))
        self.endpoint = (f"{self.service.host}:{self.service.port}" if options.host
                         else options.disk if options.disk else f"the {options.transport} transport's device")

    def _event(self, event, text, detail):
        self.connect_errors += event == Event.CONNECTED_ERROR
        self.last_detail = detail or self.last_detail
        self.lines.put("event: " + text + (f" ({detail})" if detail else ""))

    def connect(self, timeout_s):
        """Waits for "Connected OK" after the service started."""
        if self.service.start_result < 0:
            raise Failure(f"the library could not start: {last_error() or 'is UDP port 26000 of the arm link in use?'}")
        if not self.service.wait_connected(timeout_s):
            if self.connect_errors:
                raise Failure(f"cannot connect to {self.endpoint} ({self.last_detail or 'refused or unreachable'})")
            raise Failure(f"timed out connecting to {self.endpoint}")

    def request(self, name, params=b"", timeout_s=3.0):
        try:
            return self.service.request(ORDERS[name][0], params, timeout_s)
        except TimeoutError:
            raise Failure(f"timed out waiting for the ACK of {name}") from None
        except KestalError as error:
            raise Failure(f"the {name} order failed: {error.reason or error}") from None

    def print_lines(self):
        while not self.lines.empty():
            print(self.lines.get_nowait())
        sys.stdout.flush()


def run_watch(session, args):
    session.service.on_message = lambda type, payload: session.messages.put((type, payload))
    return lambda: watch(session, args)


def watch(session, args):
    deadline = time.monotonic() + args.seconds
    next_stats = time.monotonic() + 1
    try:
        while args.seconds == 0 or time.monotonic() < deadline:
            if args.stats and time.monotonic() >= next_stats:
                next_stats += 1
                print("health: " + " ".join(f"{k}={v}" for k, v in dataclasses.asdict(health()).items()))
            session.print_lines()
            while not session.messages.empty():
                type, payload = session.messages.get_nowait()
                if type == MessageType.CONTROLLER_STATUS:
                    print(describe_controller_status(payload))
            time.sleep(0.1)
    except KeyboardInterrupt:
        pass
    session.service.stop()
    session.print_lines()


def run_order(session, args):
    _, count, size = ORDERS[args.name]
    if len(args.params) != count:
        raise Failure(f"{args.name} takes {count} parameter(s)", 2)
    if size == 2 and any(v > 0xFFFF for v in args.params):
        raise Failure(f"bad parameter '{max(args.params)}'", 2)
    return lambda: print(describe_ack(args.name, session.request(
        args.name, b"".join(v.to_bytes(size, "little") for v in args.params), args.timeout_ms / 1000)))


def run_capture(session, args):
    try:
        os.makedirs(args.out, exist_ok=True)
    except OSError as error:
        raise Failure(f"cannot create {args.out}: {error.strerror}")
    session.service.on_frame = session.messages.put

    def capture():
        session.request("start-scan", timeout_s=args.timeout_ms / 1000)
        first = last = None
        dropped = 0
        try:
            for i in range(args.count):
                try:
                    frame = session.messages.get(timeout=args.timeout_ms / 1000)
                except queue.Empty:
                    raise Failure(f"timed out waiting for frame {i + 1}") from None
                now = time.monotonic()
                first = first if first is not None else now
                dropped += max(0, frame.number - last - 1) if i else 0
                last = frame.number
                with open(os.path.join(args.out, f"frame_{i + 1:04d}.raw"), "wb") as file:
                    file.write(frame.data)
                end = now
        finally:
            try:
                session.service.order(OrderType.STOP_SCAN)
            except KestalError:
                pass  # the link is gone; so is the scan
        fps = (args.count - 1) / (end - first) if args.count > 1 and end > first else 0.0
        print(f"captured {args.count} frames to {args.out}: {fps:.1f} fps, {dropped} dropped")
    return capture


def parse_arguments(argv):
    parser = Parser(prog="kestal", description="Drives KestalHostComm from the command line.")
    parser.add_argument("--transport", choices=list(TRANSPORTS), default="network")
    parser.add_argument("--host", help="device address (default: the transport's)")
    parser.add_argument("--port", type=number(1, 65535), help="device port (default: the transport's)")
    parser.add_argument("--disk", help="storage: the device's disk or a disk image (default: searched)")
    parser.add_argument("--connect-timeout-ms", type=number(1, 600000), default=5000)
    commands = parser.add_subparsers(dest="command", required=True, parser_class=Parser)
    watch = commands.add_parser("watch", help="print connection events, the status line and controller status")
    watch.add_argument("--seconds", type=number(0, 86400), default=0, help="how long (0: until Ctrl-C)")
    watch.add_argument("--stats", action="store_true", help="print the link's health counters once a second")
    order = commands.add_parser("order", help="send a named order and print the decoded ACK")
    order.add_argument("name", metavar="NAME", help="one of: " + ", ".join(ORDERS))
    order.add_argument("params", metavar="PARAMS", nargs="*", type=number(0, 0xFFFFFFFF))
    order.add_argument("--timeout-ms", type=number(0, 3600000), default=3000)
    capture = commands.add_parser("capture", help="save whole image frames and report the frame rate")
    capture.add_argument("count", metavar="N", type=number(1, 100000))
    capture.add_argument("--out", default=".", help="directory of the files")
    capture.add_argument("--timeout-ms", type=number(0, 3600000), default=10000)
    args = parser.parse_args(argv)
    if args.command == "order" and args.name not in ORDERS:
        raise Failure(f"unknown order '{args.name}' (one of: {', '.join(ORDERS)})", 2)
    if args.port is not None and args.host is None:
        raise Failure("--port needs --host", 2)
    if args.transport == "storage" and args.host is not None:
        raise Failure("the storage transport takes no --host", 2)
    if args.transport != "storage" and args.disk is not None:
        raise Failure("--disk is for the storage transport", 2)
    return args


def main(argv=None):
    sys.stdout.reconfigure(errors="replace")  # a console without the status line's characters
    try:
        args = parse_arguments(argv)
        session = Session(args)
        body = {"watch": run_watch, "order": run_order, "capture": run_capture}[args.command](session, args)
        with session.service:
            session.connect(args.connect_timeout_ms / 1000)
            body()
        return 0
    except Failure as failure:
        print(f"kestal: {failure}", file=sys.stderr)
        return failure.code
    except ValueError as error:  # an address the library refuses
        print(f"kestal: {error}", file=sys.stderr)
        return 2
    except (KestalError, OSError) as error:
        print(f"kestal: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("kestal: interrupted", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
