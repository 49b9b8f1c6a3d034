from typing import Callable, Iterable, List, Optional, Protocol, Union
import os

_Path = Union[str, "os.PathLike[str]"]

__version__: str

class Error(Exception):
    code: int
    def __init__(self, message: str, code: int = ...) -> None: ...
class InputError(Error): ...
class DeviceNotFound(Error): ...
class PermissionDenied(Error): ...

class _Settable(Protocol):
    def is_set(self) -> bool: ...

class Inputs:
    @staticmethod
    def from_files(image: _Path, tts: _Path, token: str, image_format: Optional[str] = ...,
                   tts_format: Optional[str] = ..., trusted_keys: Iterable[_Path] = ...) -> Inputs: ...
    @staticmethod
    def from_package(package: Union[_Path, bytes, bytearray, memoryview],
                     trusted_keys: Iterable[_Path] = ...) -> Inputs: ...
    @property
    def image_sha256(self) -> str: ...
    @property
    def tts_sha256(self) -> str: ...
    @property
    def token(self) -> str: ...
    @property
    def firmware_version(self) -> str: ...

class Simulator:
    def __init__(self, devices: int = ..., faults: List[str] = ..., timing: Optional[str] = ...,
                 appear_after_ms: int = ..., open_after_ms: int = ...,
                 flash_from: Optional[bytes] = ...) -> None: ...
    def flash(self, serial: str) -> bytes: ...

class Device:
    path: str
    vid: int
    pid: int
    serial: str
    manufacturer: str
    product: str

class Result:
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

def list_devices(vid: int = ..., pid: int = ..., wait: float = ...,
                 simulator: Optional[Simulator] = ...) -> List[Device]: ...
def update(inputs: Inputs, *, serial: Optional[str] = ..., path: Optional[str] = ...,
           vid: int = ..., pid: int = ..., wait: float = ..., simulator: Optional[Simulator] = ...,
           skip_unchanged: bool = ..., skip_blank: bool = ..., record: Optional[str] = ...,
           on_progress: Optional[Callable[[str, int, int], None]] = ...,
           on_line: Optional[Callable[[str], None]] = ...,
           cancel: Optional[_Settable] = ...) -> Result: ...
def verify(inputs: Inputs, *, serial: Optional[str] = ..., path: Optional[str] = ...,
           vid: int = ..., pid: int = ..., wait: float = ..., simulator: Optional[Simulator] = ...,
           skip_unchanged: bool = ..., record: Optional[str] = ...,
           on_progress: Optional[Callable[[str, int, int], None]] = ...,
           on_line: Optional[Callable[[str], None]] = ...,
           cancel: Optional[_Settable] = ...) -> Result: ...
