"""Updates and verifies the flash of a self-programming USB HID device.

The update of the ``hidiap`` tool as calls: load the inputs once, then update or verify one
device after another, real or simulated, each call returning a :class:`Result`. Nothing is
printed: the lines the tool would print reach ``on_line``, progress reaches ``on_progress``.
Calls release the GIL while a device works, so several threads may update several devices at
once (with the same inputs: the engine keeps its TTS data process-wide).
"""

from dataclasses import dataclass
from typing import Callable, Optional

from . import _hidiap

__all__ = [
    "Error", "InputError", "DeviceNotFound", "PermissionDenied", "Inputs", "Simulator",
    "Device", "Result", "list_devices", "update", "verify", "__version__",
]

__version__ = _hidiap.version


class Error(Exception):
    """A call of hidiap failed; ``code`` is the library's code (the tool's exit status)."""

    def __init__(self, message: str, code: int = 1):
        super().__init__(message)
        self.code = code


class InputError(Error):
    """Refused inputs, package, key, option or fault rule; nothing was sent (exit status 2)."""


class DeviceNotFound(Error):
    """No matching device (exit status 3)."""


class PermissionDenied(Error):
    """The device is present but could not be opened (exit status 4)."""


Inputs = _hidiap.Inputs
Simulator = _hidiap.Simulator


@dataclass(frozen=True)
class Device:
    """A device as listed: its path, IDs and strings."""

    path: str
    vid: int
    pid: int
    serial: str
    manufacturer: str
    product: str


@dataclass(frozen=True)
class Result:
    """How an update or verification ended, in the records' words.

    outcome: success, current, failed or interrupted; cause: None on success, else the records'
    cause (crc_mismatch, not_answered, differs, ...); ok: true for success and current; CRCs: the
    device's CRC-32 of the image and TTS ranges, or None when it gave none.
    """

    ok: bool
    outcome: str
    cause: Optional[str]
    reason: str
    bytes_programmed: int
    seconds: float
    image_crc: Optional[int]
    tts_crc: Optional[int]
    serial: str
    path: str


def list_devices(vid: int = 0, pid: int = 0, wait: float = 0, simulator=None):
    """The devices present with the IDs (0: the tool's own), waiting up to ``wait`` seconds."""
    return [Device(*d) for d in _hidiap.list_devices(simulator, vid, pid, wait)]


def _run(verify, inputs, simulator, vid, pid, serial, path, wait, skip_unchanged, skip_blank,
         record, on_progress, on_line, cancel):
    fields, interrupted = _hidiap.run(verify, inputs, simulator, vid, pid, serial, path, wait,
                                      skip_unchanged, skip_blank, record, on_progress, on_line,
                                      cancel)
    result = Result(**fields)
    if interrupted:
        error = KeyboardInterrupt()
        error.result = result
        raise error
    return result


def update(inputs: Inputs, *, serial: Optional[str] = None, path: Optional[str] = None,
           vid: int = 0, pid: int = 0, wait: float = 0, simulator: Optional[Simulator] = None,
           skip_unchanged: bool = False, skip_blank: bool = False, record: Optional[str] = None,
           on_progress: Optional[Callable[[str, int, int], None]] = None,
           on_line: Optional[Callable[[str], None]] = None, cancel=None) -> Result:
    """Updates the device chosen by ``serial`` or ``path`` (or the only one) with ``inputs``.

    Returns a Result for every ending the device gave (success, failed, interrupted). Raises
    InputError, DeviceNotFound or PermissionDenied when nothing was sent. ``on_line(text)`` gets
    each line the tool prints on standard output for the device, its line end included;
    ``on_progress(phase, done, total)`` the phase and bytes of the current range. Both run in the
    calling thread. ``cancel``: an object with ``is_set()`` (a threading.Event); when set, the run
    ends as interrupted within half a second. In the main thread a Ctrl-C ends the run likewise
    and raises KeyboardInterrupt with the Result as ``.result``.
    """
    return _run(False, inputs, simulator, vid, pid, serial, path, wait, skip_unchanged,
                skip_blank, record, on_progress, on_line, cancel)


def verify(inputs: Inputs, *, serial: Optional[str] = None, path: Optional[str] = None,
           vid: int = 0, pid: int = 0, wait: float = 0, simulator: Optional[Simulator] = None,
           skip_unchanged: bool = False, record: Optional[str] = None,
           on_progress: Optional[Callable[[str, int, int], None]] = None,
           on_line: Optional[Callable[[str], None]] = None, cancel=None) -> Result:
    """Compares the device's flash with ``inputs`` without writing: outcome ``current``, or
    ``failed`` with cause ``differs``. Arguments and exceptions as for :func:`update`."""
    return _run(True, inputs, simulator, vid, pid, serial, path, wait, skip_unchanged, False,
                record, on_progress, on_line, cancel)
