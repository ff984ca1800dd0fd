"""Finding and loading libKestalHostComm / KestalHostComm.dll, and the prototypes of its C interface.

The library is loaded with ctypes.CDLL, which releases the GIL for the length of every call. That
matters for kestal_stop: it joins the library's threads, and one of them may be waiting for the
GIL to run a Python callback. Holding the GIL across the call would deadlock the two.
"""
import ctypes
import os
import sys
import threading
from pathlib import Path

from ctypes import POINTER, Structure, c_char_p, c_double, c_int, c_int64, c_ubyte, c_uint, c_uint64, c_ushort, c_void_p

# The package's folder (the wheel's library lies in it, the .deb's link to the library too) and the
# repository root (the build trees lie beside python/).
_HERE = Path(__file__).resolve().parent
_ROOT = _HERE.parent.parent

ACK_REPLY_MAX = 4096  # KESTAL_ACK_REPLY_MAX


# The structs of kestal_c.h, field for field in the header's order and types (ctypes pads them as
# the C compiler does). Pointers are addresses (c_void_p), read with ctypes.string_at.
class FrameStruct(Structure):
    _fields_ = [("kind", c_ushort), ("number", c_uint), ("width", c_uint), ("height", c_uint),
                ("pixels", c_void_p), ("pixels_len", c_uint), ("header", c_void_p), ("header_len", c_uint),
                ("host_time_ns", c_int64), ("utc_time_ns", c_int64)]


class AckStruct(Structure):
    _fields_ = [("seq_no", c_ushort), ("sub_type", c_ushort), ("code", c_ushort), ("truncated", c_ushort),
                ("reply_len", c_uint), ("reply", c_ubyte * ACK_REPLY_MAX)]


class OrderAckView(Structure):
    """kestal_protocol.h's kestal_order_ack: the decoded header of an ACK, its reply an address."""
    _fields_ = [("seq_no", c_ushort), ("sub_type", c_ushort), ("code", c_ushort), ("reply_len", c_uint),
                ("reply", c_void_p)]


class ImageHeaderStruct(Structure):
    _fields_ = [("number", c_uint), ("kind", c_ushort), ("width", c_uint), ("height", c_uint),
                ("image_size", c_uint)]


class HealthStruct(Structure):
    _fields_ = [(name, c_uint64) for name in (
        "bytes_in", "bytes_out", "frames_in", "frames_out", "checksum_errors", "resyncs", "bytes_skipped",
        "oversize_frames", "reconnects", "heartbeats_sent", "orders_sent", "orders_acked", "last_rtt_us",
        "image_frames", "image_frames_dropped", "records_skipped", "recv_queue_high", "send_queue_high")]


class SessionConfigStruct(Structure):
    """kestal_c.h's kestal_session_config; `size` must be ctypes.sizeof(SessionConfigStruct)."""
    _fields_ = [("size", c_uint), ("comm_type", c_int), ("host", c_char_p), ("port", c_ushort), ("disk", c_char_p),
                ("arm_port", c_ushort), ("arm_peer_port", c_ushort), ("log_path", c_char_p),
                ("resume_scan", c_int)]


# The callback types of kestal_c.h. Texts arrive as bytes; message data as an address, copied at once.
EVENT_FN = ctypes.CFUNCTYPE(None, c_int, c_char_p, c_void_p)
EVENT_DETAIL_FN = ctypes.CFUNCTYPE(None, c_int, c_char_p, c_char_p, c_void_p)
MESSAGE_FN = ctypes.CFUNCTYPE(None, c_ushort, c_void_p, c_uint, c_void_p)
STATE_FN = ctypes.CFUNCTYPE(None, c_ushort, c_void_p)
TEXT_FN = ctypes.CFUNCTYPE(None, c_char_p, c_void_p)
FRAME_FN = ctypes.CFUNCTYPE(None, POINTER(FrameStruct), c_void_p)

# name: (result type, argument types). Callback setters take c_void_p so that None switches one off.
_PROTOTYPES = {
    "kestal_start": (c_int, []),
    "kestal_stop": (c_int, []),
    "kestal_set_comm_type": (c_int, [c_int]),
    "kestal_set_network_endpoint": (c_int, [c_int, c_char_p, c_ushort]),
    "kestal_set_event_callback": (None, [c_void_p, c_void_p]),
    "kestal_set_message_callback": (None, [c_void_p, c_void_p]),
    "kestal_set_scanner_state_callback": (None, [c_void_p, c_void_p]),
    "kestal_set_arm_state_callback": (None, [c_void_p, c_void_p]),
    "kestal_set_status_line_callback": (None, [c_void_p, c_void_p]),
    "kestal_set_status_line_utf8_callback": (None, [c_void_p, c_void_p]),
    "kestal_set_event_detail_callback": (None, [c_void_p, c_void_p]),
    "kestal_set_frame_callback": (None, [c_void_p, c_void_p]),
    "kestal_set_storage_device": (c_int, [c_char_p]),
    "kestal_request": (c_int, [c_ushort, c_char_p, c_uint, c_uint, POINTER(AckStruct)]),
    "kestal_last_error": (c_int, [c_char_p, c_uint]),
    "kestal_get_health": (c_int, [POINTER(HealthStruct)]),
    "kestal_version": (c_char_p, []),
    "kestal_send": (c_int, [c_ushort, c_char_p, c_uint]),
    "kestal_update_firmware": (c_int, [c_ushort, c_char_p, c_uint]),
    "kestal_next_seq_no": (c_ushort, []),
    "kestal_print_volume_run_info": (None, []),
    "kestal_is_connected": (c_int, []),
    "kestal_default_endpoint": (c_int, [c_int, c_char_p, c_uint, POINTER(c_ushort)]),
    "kestal_msg_name": (c_char_p, [c_int]),
    "kestal_order_name": (c_char_p, [c_int]),
    "kestal_state_name": (c_char_p, [c_uint]),
    "kestal_decode_order_ack": (c_int, [c_char_p, c_uint, POINTER(OrderAckView)]),
    "kestal_decode_fpga_temp": (c_int, [POINTER(OrderAckView), POINTER(c_double)]),
    "kestal_decode_image_header": (c_int, [c_char_p, c_uint, POINTER(ImageHeaderStruct)]),
    # Sessions: a service of their own each; the handle is an address (c_void_p).
    "kestal_session_open": (c_int, [POINTER(SessionConfigStruct), POINTER(c_void_p)]),
    "kestal_session_close": (None, [c_void_p]),
    "kestal_session_start": (c_int, [c_void_p]),
    "kestal_session_stop": (c_int, [c_void_p]),
    "kestal_session_set_event_detail_callback": (c_int, [c_void_p, c_void_p, c_void_p]),
    "kestal_session_set_message_callback": (c_int, [c_void_p, c_void_p, c_void_p]),
    "kestal_session_set_frame_callback": (c_int, [c_void_p, c_void_p, c_void_p]),
    "kestal_session_set_scanner_state_callback": (c_int, [c_void_p, c_void_p, c_void_p]),
    "kestal_session_set_arm_state_callback": (c_int, [c_void_p, c_void_p, c_void_p]),
    "kestal_session_set_status_line_utf8_callback": (c_int, [c_void_p, c_void_p, c_void_p]),
    "kestal_session_send": (c_int, [c_void_p, c_ushort, c_char_p, c_uint]),
    "kestal_session_next_seq_no": (c_ushort, [c_void_p]),
    "kestal_session_print_volume_run_info": (None, [c_void_p]),
    "kestal_session_update_firmware": (c_int, [c_void_p, c_ushort, c_char_p, c_uint]),
    "kestal_session_request": (c_int, [c_void_p, c_ushort, c_char_p, c_uint, c_uint, POINTER(AckStruct)]),
    "kestal_session_get_health": (c_int, [c_void_p, POINTER(HealthStruct)]),
    "kestal_session_last_error": (c_int, [c_void_p, c_char_p, c_uint]),
    "kestal_session_is_connected": (c_int, [c_void_p]),
}


class LibraryNotFoundError(OSError):
    """No KestalHostComm library where it was looked for."""


def candidates():
    """The paths tried, in order: $KESTAL_LIBRARY alone when set, else the library installed with the
    package, else the build trees."""
    named = os.environ.get("KESTAL_LIBRARY")
    if named:
        return [Path(named)]
    if sys.platform == "win32":
        return [_HERE / "KestalHostComm.dll", _ROOT / "build-windows" / "bin" / "KestalHostComm.dll"]
    return [_HERE / "libKestalHostComm.so", _ROOT / "build" / "libKestalHostComm.so"]


_lib = None
_lib_lock = threading.Lock()


def library():
    """The loaded library (loaded at the first call, then kept for the life of the process)."""
    global _lib
    with _lib_lock:
        if _lib is None:
            _lib = _load()
        return _lib


def _load():
    tried = candidates()
    path = next((p for p in tried if p.is_file()), None)
    if path is None:
        raise LibraryNotFoundError(
            "KestalHostComm library not found; tried: " + ", ".join(str(p) for p in tried)
            + " (set KESTAL_LIBRARY to the path of libKestalHostComm.so or KestalHostComm.dll)")
    if sys.platform == "win32":
        os.add_dll_directory(str(path.parent.resolve()))
    try:
        lib = ctypes.CDLL(str(path.resolve()))
    except OSError as error:
        raise LibraryNotFoundError(f"cannot load {path}: {error}") from error
    for name, (restype, argtypes) in _PROTOTYPES.items():
        try:
            function = getattr(lib, name)
        except AttributeError:
            raise LibraryNotFoundError(f"{path} lacks {name}: it is not a build with the C interface") from None
        function.restype = restype
        function.argtypes = argtypes
    return lib
