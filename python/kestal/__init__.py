"""KestalHostComm from Python: the host side of the link to the scan head's controller.

    import kestal

    def on_frame(frame):
        print(frame.number, len(frame.image))

    with kestal.Service("network", host="127.0.0.1", port=28992, on_frame=on_frame) as service:
        service.wait_connected(5)
        print(service.request(kestal.OrderType.GET_FPGA_TEMP).fpga_temp)
        print("library", kestal.version(), "ACKs so far:", kestal.health().orders_acked)

Each `Service` is a session of its own in the library (its own workers, callbacks, sequence numbers
and counters): several may run at once, one per device. Only one at a time may own an arm relay
port (arm_port, by default the library's 26000); give the others arm_port=0 (no arm relay) or
another port. The module's health() and last_error() are the process-wide service's.

Threads: every callback (on_event, on_event_detail, on_message, on_frame, on_scanner_state,
on_arm_state, on_status_line) runs on a thread of the library, never on the thread that called
start(). Messages and frames come one at a time, in order, from one receive thread; a slow
callback delays the later ones and costs frames (the oldest waiting frame is dropped and counted in
health().image_frames_dropped), never the link, and request() works from them. The state and
status-line callbacks come once a second from the library's report worker; events from whichever
thread reports them.
Callbacks must return promptly and must never call start() or stop() (which raise RuntimeError
when they do). An exception in a callback stays in Python: the first one is kept in
`Service.callback_error` and printed to stderr, later ones are only counted
(`Service.callback_error_count`).
"""
import ctypes
import math
import weakref
import dataclasses
import struct
import sys
import threading
import traceback
import atexit
from enum import IntEnum
from os import PathLike, fspath

from ._native import (EVENT_DETAIL_FN, FRAME_FN, MESSAGE_FN, STATE_FN, TEXT_FN, AckStruct, HealthStruct,
                      ImageHeaderStruct, LibraryNotFoundError, OrderAckView, SessionConfigStruct, library)

__all__ = ["Service", "Frame", "OrderAck", "Health", "MessageType", "OrderType", "Event", "CommType", "ErrorCode",
           "KestalError", "KestalTimeoutError", "LibraryNotFoundError", "fpga_temp_celsius", "health",
           "last_error", "version", "library", "IMAGE_HEADER_LENGTH"]


class MessageType(IntEnum):
    ARM = 1
    Y_IMAGE = 2
    ORIGINAL_IMAGE = 3      # a whole original image frame: 80-byte header, then the image
    WRITE_CONFIG = 4
    READ_CONFIG = 5
    ORDER = 6               # an order to the device, and its ACK from the device
    CONTROLLER_STATUS = 7
    Y_ORIGINAL_IMAGE = 8    # a whole frame of the Y kind, laid out as ORIGINAL_IMAGE
    UPDATE_FIRMWARE = 9     # firmware chunks to the device, progress ACKs from it
    # The library's names (kestal_msg_name) where this module's differ.
    IMAGE_PIECE = 3
    Y_IMAGE_PIECE = 8


class OrderType(IntEnum):
    HEARTBEAT = 0
    START_SCAN = 1
    STOP_SCAN = 2
    START_SCAN_ALT = 3
    STOP_SCAN_ALT = 4
    SET_EXPOSURE = 21
    SET_GAIN = 22
    TRIGGER_SINGLE = 27
    TRIGGER_CONTINUE = 28
    ENTER_ORIGINAL_IMAGE = 29
    ENTER_Y_IMAGE = 30
    SET_COMM_TYPE = 70
    SET_SENSOR_REG = 80
    GET_SENSOR_REG_MAP = 81
    GET_DEVICE_STATIC_INFO = 82
    GET_FPGA_TEMP = 83
    # The library's names (kestal_order_name) where this module's differ.
    HEART_BEAT = 0
    SENSOR_REG_MAP = 81
    STATIC_INFO = 82
    FPGA_TEMP = 83


class Event(IntEnum):
    DEVICE_ARRIVAL = 0      # "Device arrival"
    DEVICE_LEFT = 1         # "Device left"
    CONNECTED_ERROR = 2     # "Connected Error"
    CONNECTED_OK = 3        # "Connected OK"
    CONNECTING = 4          # "Connecting..."
    NOT_CONNECTED = 5       # "Not connected"
    COMM_ERROR = 6          # "Comm Error"


class ErrorCode(IntEnum):
    """The library's results (KESTAL_OK, KESTAL_E_*), as KestalError.code carries them."""
    OK = 0
    INVALID = -1            # a null or malformed argument
    TIMEOUT = -2            # no answer within the time given
    NOT_CONNECTED = -3      # the library is stopped or has no link to the device
    SEND_FAILED = -4        # the link refused the message (its send queue stayed full)
    STOPPED = -5            # stop() ended the wait
    IN_CALLBACK = -6        # start or stop called from a callback, whose return it would wait for


class CommType(IntEnum):
    STORAGE = 0             # the device's 50 MiB disk used as a mailbox
    NETWORK = 1             # TCP, first device endpoint
    NETWORK_ALT = 2         # TCP, second device endpoint


TRANSPORTS = {"storage": CommType.STORAGE, "network": CommType.NETWORK, "network-alt": CommType.NETWORK_ALT}
IMAGE_HEADER_LENGTH = 80
Y_IMAGE_HEADER_LENGTH = 72
IMAGE_TYPES = (MessageType.ORIGINAL_IMAGE, MessageType.Y_ORIGINAL_IMAGE)
_ORDER_HEADER = struct.Struct("<HHI")     # seq_no, sub type, parameter length
_ACK_HEADER = struct.Struct("<HHHI")      # seq_no, sub type, ack code, reply length (to rebuild one)


class KestalError(RuntimeError):
    """The library refused an operation (a message not sent, a second service, ...).

    code: the library's result (an ErrorCode) when it gave one, else None; reason: its words for
    the failure (kestal_last_error), or "".
    """

    def __init__(self, message, code=None, reason=""):
        super().__init__(message)
        self.code = ErrorCode(code) if code in ErrorCode._value2member_map_ else code
        self.reason = reason


class KestalTimeoutError(KestalError, TimeoutError):
    """No answer within the time given (ErrorCode.TIMEOUT): a TimeoutError and a KestalError."""


def version():
    """The version of the library loaded, "MAJOR.MINOR.PATCH"."""
    return library().kestal_version().decode("ascii", "replace")


def last_error():
    """The library's words for its last reported failure (a request, a connection, a disk); "" if none."""
    lib, size = library(), 256
    while True:
        buffer = ctypes.create_string_buffer(size)
        length = lib.kestal_last_error(buffer, size)
        if length < size:
            return buffer.value.decode("utf-8", "replace")
        size = length + 1


Health = dataclasses.make_dataclass("Health", [(name, int) for name, _ in HealthStruct._fields_], frozen=True)
Health.__doc__ = """The link's counters since the last start (HealthStruct's fields, as kestal_c.h's kestal_health)."""


def health():
    """The link's counters since the last start, as a Health (dataclasses.asdict makes a dict of it)."""
    counters = HealthStruct()
    library().kestal_get_health(ctypes.byref(counters))
    return Health(**{name: getattr(counters, name) for name, _ in HealthStruct._fields_})


def fpga_temp_celsius(raw):
    """Degrees Celsius of a raw FPGA temperature reading."""
    return raw * 0.01 - 40.0


def default_endpoint(comm_type):
    """The device's (host, port) that a network comm type uses unless given another (the library's defaults)."""
    host, port = ctypes.create_string_buffer(64), ctypes.c_ushort()
    if library().kestal_default_endpoint(int(comm_type), host, len(host), ctypes.byref(port)) != 0:
        raise ValueError(f"comm type {comm_type} has no default endpoint")
    return host.value.decode("ascii"), port.value


def _image_header(data):
    """The library's reading of an image header (bytes past the end read as 0)."""
    header = ImageHeaderStruct()
    padded = bytes(data[:IMAGE_HEADER_LENGTH]).ljust(IMAGE_HEADER_LENGTH, b"\0")
    library().kestal_decode_image_header(padded, len(padded), ctypes.byref(header))
    return header


class Frame:
    """One whole image frame: its header, then the image (`data` is both, as the message carries them).

    type: ORIGINAL_IMAGE or Y_ORIGINAL_IMAGE (an 80-byte header, then 8-bit grey pixels), or Y_IMAGE
    (a 72-byte header, then 32-bit floats). number, width, height: the library's reading of the image
    header (0 for a Y image). host_time_ns: the library's steady clock when the frame's last piece
    arrived; utc_time_ns: the same moment in ns since 1970-01-01 UTC (None for a Frame made here).
    """

    __slots__ = ("type", "data", "number", "width", "height", "host_time_ns", "utc_time_ns", "header_length")

    def __init__(self, type, data, number=None, width=None, height=None, host_time_ns=None, utc_time_ns=None,
                 header_length=None):
        self.type = type
        self.data = data
        y_image = type == MessageType.Y_IMAGE
        self.header_length = header_length or (Y_IMAGE_HEADER_LENGTH if y_image else IMAGE_HEADER_LENGTH)
        # Without the library's reading given: the image header's counter, width and height.
        if not y_image and None in (number, width, height):
            header = _image_header(data)
            number, width, height = (header.number if number is None else number, header.width if width is None
                                     else width, header.height if height is None else height)
        self.number = number or 0
        self.width = width or 0
        self.height = height or 0
        self.host_time_ns = host_time_ns
        self.utc_time_ns = utc_time_ns

    @property
    def header(self):
        return self.data[:self.header_length]

    @property
    def image(self):
        return self.data[self.header_length:]

    def array(self, width=None):
        """The image as a numpy array (uint8; float32 for a Y image); with `width`, as rows of that many pixels."""
        try:
            import numpy
        except ImportError as error:
            raise ImportError("Frame.array() needs numpy (pip install numpy, or python3-numpy)") from error
        dtype = numpy.float32 if self.type == MessageType.Y_IMAGE else numpy.uint8
        size = (len(self.data) - self.header_length) // numpy.dtype(dtype).itemsize
        pixels = numpy.frombuffer(self.data, dtype=dtype, count=size, offset=self.header_length)
        if width is None:
            return pixels
        if width <= 0 or pixels.size % width:
            raise ValueError(f"{pixels.size} image pixels are not rows of {width}")
        return pixels.reshape(-1, width)

    def __repr__(self):
        return (f"Frame(type={self.type}, number={self.number}, {self.width}x{self.height}, "
                f"{len(self.data)} bytes)")


class OrderAck:
    """An order ACK (type 6 from the device): seq_no, sub type, ack code, reply data.

    truncated: True when the library cut a reply longer than 4096 bytes (request() only).
    """

    __slots__ = ("seq_no", "sub_type", "ack_code", "reply", "payload", "truncated")

    def __init__(self, payload, truncated=False):
        self.payload = bytes(payload)
        # The library's decoding; a payload shorter than the header reads as zeros past its end.
        padded = self.payload.ljust(10, b"\0")
        view = OrderAckView()
        library().kestal_decode_order_ack(padded, len(padded), ctypes.byref(view))
        self.seq_no, self.sub_type, self.ack_code = view.seq_no, view.sub_type, view.code
        self.reply = padded[10:10 + view.reply_len]
        self.truncated = truncated

    @classmethod
    def _from_struct(cls, ack):
        reply = bytes(ack.reply[:ack.reply_len])
        return cls(_ACK_HEADER.pack(ack.seq_no, ack.sub_type, ack.code, len(reply)) + reply, bool(ack.truncated))

    @property
    def fpga_temp(self):
        """Degrees Celsius in the reply of GET_FPGA_TEMP (a u32 raw value)."""
        view, celsius = OrderAckView(), ctypes.c_double()
        reply = self.reply[:4].ljust(4, b"\0")  # bytes past the end read as 0
        view.reply, view.reply_len = ctypes.cast(ctypes.c_char_p(reply), ctypes.c_void_p), len(reply)
        library().kestal_decode_fpga_temp(ctypes.byref(view), ctypes.byref(celsius))
        return celsius.value

    def __repr__(self):
        return f"OrderAck(seq_no={self.seq_no}, sub_type={self.sub_type}, ack_code={self.ack_code}, reply={len(self.reply)} bytes)"


# The running Services: kept alive while the library may call them (ctypes frees a callback's thunk
# with its object), and stopped at exit.
_running = set()
_lifecycle = threading.Lock()
_local = threading.local()
ARM_PORT = 26000  # the library's default local UDP port of the arm relay


def _refuse_in_callback(what):
    if getattr(_local, "inside", False):
        raise RuntimeError(f"{what}() must not be called from a callback: it would wait for the callback's own thread")


def _trampoline(service_ref, handler):
    def call(*args):
        service = service_ref()
        if service is None:
            return
        _local.inside = True
        try:
            getattr(service, handler)(*args[:-1])  # the last argument is the unused user data
        except BaseException as error:  # nothing may unwind into the library
            service._callback_failed(error)
        finally:
            _local.inside = False
    return call


_SETTERS = (
    ("kestal_session_set_event_detail_callback", EVENT_DETAIL_FN, "_handle_event"),
    ("kestal_session_set_message_callback", MESSAGE_FN, "_handle_message"),
    ("kestal_session_set_frame_callback", FRAME_FN, "_handle_frame"),
    ("kestal_session_set_scanner_state_callback", STATE_FN, "_handle_scanner_state"),
    ("kestal_session_set_arm_state_callback", STATE_FN, "_handle_arm_state"),
    ("kestal_session_set_status_line_utf8_callback", TEXT_FN, "_handle_status_line"),
)


def _timeout_ms(timeout):
    """Seconds as the library's milliseconds: None is no limit; a part of a millisecond rounds up."""
    return 0xFFFFFFFF if timeout is None else min(max(math.ceil(timeout * 1000), 0), 0xFFFFFFFF)


class Service:
    """The library's service on one transport, with Python callables as its callbacks.

    transport: "network", "network-alt" or "storage". host/port: the device's address for a
    network transport (port defaults to the transport's device port). arm_port: the local UDP
    port of the arm relay (0: none). resume_scan: after a reconnect, the library sends START_SCAN
    again when the application's last scan order was a start. Without a host the library
    dials the address it has: its default device address, unless an earlier Service of this
    process set another (the library keeps it). disk: for the storage transport, the device's
    disk or a disk image file ("/dev/sdc", "\\\\.\\PHYSICALDRIVE2"); without it the library searches
    the disks. Callbacks may be given here or set as attributes at any time (see the module's
    documentation for the threads they run on): on_event(event, text), on_event_detail(event, text,
    detail) with the reason of a failure event, on_message(type, payload), on_frame(Frame),
    on_scanner_state(state), on_arm_state(state), on_status_line(text).
    """

    def __init__(self, transport="network", host=None, port=None, *, disk=None, arm_port=ARM_PORT, resume_scan=False,
                 on_event=None, on_event_detail=None, on_message=None, on_frame=None, on_scanner_state=None,
                 on_arm_state=None, on_status_line=None):
        if transport not in TRANSPORTS:
            raise ValueError(f"unknown transport {transport!r} (network, network-alt or storage)")
        self.comm_type = TRANSPORTS[transport]
        if self.comm_type == CommType.STORAGE and (host is not None or port is not None):
            raise ValueError("the storage transport takes no host or port")
        if self.comm_type != CommType.STORAGE and disk is not None:
            raise ValueError("a disk is for the storage transport only")
        if disk is not None and not fspath(disk):
            raise ValueError("empty disk path")
        if port is not None and host is None:
            raise ValueError("a port needs a host")
        if host is not None and not host:
            raise ValueError("empty host")
        if port is not None and not 1 <= port <= 65535:
            raise ValueError(f"bad port {port}")
        self.transport = transport
        self.host = host
        self.port = port if port is not None or host is None else default_endpoint(self.comm_type)[1]
        self.disk = disk
        if not 0 <= arm_port <= 65535:
            raise ValueError(f"bad arm port {arm_port}")
        self.arm_port = arm_port
        self.resume_scan = bool(resume_scan)
        self._session = None  # the library's session, opened at the first start()
        self._callbacks = ()  # the ctypes callbacks the session holds, alive as long as it
        self.on_event = on_event
        self.on_event_detail = on_event_detail
        self.on_message = on_message
        self.on_frame = on_frame
        self.on_scanner_state = on_scanner_state
        self.on_arm_state = on_arm_state
        self.on_status_line = on_status_line
        self.start_result = None
        self.callback_error = None
        self.callback_error_count = 0
        self._error_lock = threading.Lock()
        self._connection = threading.Condition()  # woken by every device event

    @property
    def running(self):
        return self in _running

    def _open(self, lib):
        config = SessionConfigStruct(size=ctypes.sizeof(SessionConfigStruct), comm_type=int(self.comm_type),
                                     arm_port=self.arm_port, resume_scan=int(self.resume_scan))
        if self.host is not None:
            config.host, config.port = self.host.encode(), self.port
        disk = None if self.disk is None else fspath(self.disk)
        if disk is not None:
            config.disk = disk.encode() if isinstance(disk, str) else disk
        session = ctypes.c_void_p()
        if lib.kestal_session_open(ctypes.byref(config), ctypes.byref(session)) != 0:
            raise ValueError(f"the library refused this Service's settings: {last_error()}")
        me = weakref.ref(self)
        self._callbacks = tuple(kind(_trampoline(me, handler)) for _, kind, handler in _SETTERS)
        for (setter, _, _), callback in zip(_SETTERS, self._callbacks):
            getattr(lib, setter)(session, ctypes.cast(callback, ctypes.c_void_p), None)
        self._session = session

    def start(self):
        """Opens this service's session in the library (at the first start) and starts it.

        Returns the library's result: 0, or -1 when the arm link or the transport could not
        start; the library then keeps trying, and the service counts as running until stop().
        Raises KestalError when the library refused to start it (another Service owns its arm
        port or disk).
        """
        _refuse_in_callback("start")
        with _lifecycle:
            if self in _running:
                raise KestalError("this Service is already running")
            lib = library()
            if self._session is None:
                self._open(lib)
            self.callback_error, self.callback_error_count = None, 0
            result = lib.kestal_session_start(self._session)
            if result == ErrorCode.INVALID:
                reason = self._last_error()
                raise KestalError(f"the library refused to start: {reason}", result, reason)
            _running.add(self)
            self.start_result = result
            return result

    def stop(self):
        """Stops the service (takes at least a second); no callback runs once it returned. 0."""
        _refuse_in_callback("stop")
        with _lifecycle:
            if self not in _running:
                return 0
            try:
                return library().kestal_session_stop(self._session)
            finally:
                _running.discard(self)
                with self._connection:
                    self._connection.notify_all()

    def __del__(self):
        # Not running (a running Service is kept alive): no callback can come, the session goes.
        if getattr(self, "_session", None) is not None:
            library().kestal_session_close(self._session)
            self._session = None

    def _last_error(self):
        lib, size = library(), 256
        while True:
            buffer = ctypes.create_string_buffer(size)
            length = lib.kestal_session_last_error(self._session, buffer, size)
            if length < size:
                return buffer.value.decode("utf-8", "replace")
            size = length + 1

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    @property
    def connected(self):
        """True while this Service runs and the library has its link (kestal_is_connected)."""
        return self in _running and library().kestal_session_is_connected(self._session) != 0

    def wait_connected(self, timeout):
        """True once "Connected OK" came (and no loss of the link since), waiting up to `timeout` s."""
        with self._connection:
            return self._connection.wait_for(lambda: self.connected, timeout)

    def send(self, type, payload=b""):
        """Sends one message; the library's result: 0 when queued or written, negative otherwise."""
        payload = bytes(payload)
        if self._session is None:
            return ErrorCode.NOT_CONNECTED
        return library().kestal_session_send(self._session, type, payload, len(payload))

    def next_seq_no(self):
        """The next value of this Service's 16-bit message sequence counter, the one its requests,
        heartbeats and firmware files number with (the process-wide one before the first start)."""
        if self._session is None:
            return library().kestal_next_seq_no()
        return library().kestal_session_next_seq_no(self._session)

    def order(self, sub_type, params=b""):
        """Sends an order (seq_no, sub type, parameter length, parameters); returns its seq_no."""
        seq_no = self.next_seq_no()
        self._send_order(seq_no, sub_type, params)
        return seq_no

    def request(self, sub_type, params=b"", timeout=3.0):
        """Sends an order and waits for the ACK echoing its seq_no and sub type: an OrderAck.

        The library numbers the order and waits (kestal_session_request); any number of threads may wait at
        once. Raises KestalTimeoutError (a TimeoutError) when no ACK came within `timeout` seconds
        (None: no limit), else KestalError with the library's code and reason: NOT_CONNECTED (no
        link: nothing was sent), SEND_FAILED, STOPPED, INVALID (parameters of more than 65000
        bytes). Any thread, on_message and on_frame included: the library matches the ACK on the
        thread that reads the link.
        """
        params = bytes(params)
        ack = AckStruct()
        result = ErrorCode.NOT_CONNECTED if self._session is None else library().kestal_session_request(
            self._session, sub_type, params, len(params), _timeout_ms(timeout), ctypes.byref(ack))
        if result != 0:
            reason = "" if self._session is None else self._last_error()
            code = ErrorCode(result) if result in ErrorCode._value2member_map_ else result
            name = OrderType(sub_type).name if sub_type in OrderType._value2member_map_ else sub_type
            error = KestalTimeoutError if code == ErrorCode.TIMEOUT else KestalError
            raise error(f"order {name}: {reason or getattr(code, 'name', code)}", code, reason)
        return OrderAck._from_struct(ack)

    def _send_order(self, seq_no, sub_type, params):
        params = bytes(params)
        result = self.send(MessageType.ORDER, _ORDER_HEADER.pack(seq_no, sub_type, len(params)) + params)
        if result < 0:
            raise KestalError(f"order {sub_type} could not be sent (result {result})", result)

    def health(self):
        """This Service's link counters since start(), as a Health (all 0 before the first start)."""
        counters = HealthStruct()
        if self._session is not None:
            library().kestal_session_get_health(self._session, ctypes.byref(counters))
        return Health(**{name: getattr(counters, name) for name, _ in HealthStruct._fields_})

    def update_firmware(self, path, firmware_type=1):
        """Sends a firmware file (a path, or the file's bytes) in chunks; the library's result.

        Progress comes back as UPDATE_FIRMWARE messages to on_message.
        """
        if isinstance(path, (str, PathLike)):
            with open(path, "rb") as file:
                data = file.read()
        else:
            data = bytes(path)
        if self._session is None:
            return ErrorCode.NOT_CONNECTED
        return library().kestal_session_update_firmware(self._session, firmware_type, data, len(data))

    def print_volume_run_info(self):
        """Storage transport: writes the mailbox's summary areas to volume<time>_<type>.txt here."""
        if self._session is not None:
            library().kestal_session_print_volume_run_info(self._session)

    # The library's callbacks, on its threads.

    def _call(self, callback, *args):
        if callback is not None:
            try:
                callback(*args)
            except BaseException as error:
                self._callback_failed(error)

    def _callback_failed(self, error):
        with self._error_lock:
            first = self.callback_error is None
            if first:
                self.callback_error = error
            self.callback_error_count += 1
        if first:
            print("kestal: exception in a callback (later ones are counted, not printed):", file=sys.stderr)
            traceback.print_exception(type(error), error, error.__traceback__, file=sys.stderr)

    def _handle_event(self, event, text, detail):
        event = Event(event) if event in Event._value2member_map_ else event
        with self._connection:  # the library set its state before the event came
            self._connection.notify_all()
        text = (text or b"").decode("ascii", "replace")
        self._call(self.on_event, event, text)
        self._call(self.on_event_detail, event, text, (detail or b"").decode("utf-8", "replace"))

    def _handle_message(self, type, data, length):
        if self.on_message is not None:
            self._call(self.on_message, type, ctypes.string_at(data, length) if length else b"")

    def _handle_frame(self, frame):
        if self.on_frame is None:
            return
        f = frame.contents
        if f.header and f.pixels == f.header + f.header_len:  # one block, as the message has it
            data = ctypes.string_at(f.header, f.header_len + f.pixels_len)
        else:
            data = b"".join(ctypes.string_at(address, length) for address, length in
                            ((f.header, f.header_len), (f.pixels, f.pixels_len)) if address and length)
        kind = MessageType(f.kind) if f.kind in MessageType._value2member_map_ else f.kind
        self._call(self.on_frame, Frame(kind, data, f.number, f.width, f.height, f.host_time_ns, f.utc_time_ns,
                                        f.header_len))

    def _handle_scanner_state(self, state):
        self._call(self.on_scanner_state, state)

    def _handle_arm_state(self, state):
        self._call(self.on_arm_state, state)

    def _handle_status_line(self, text):
        # The library's UTF-8 status line (kestal_set_status_line_utf8_callback).
        self._call(self.on_status_line, (text or b"").decode("utf-8", "replace"))


@atexit.register
def _stop_at_exit():
    # No library thread may call into Python while the interpreter shuts down.
    if not getattr(_local, "inside", False):
        for service in list(_running):
            service.stop()
