"""The 64-channel network microphone array from Python.

    import zel
    data = zel.rec(2.0)                     # (88200, 64) float32, full scale [-1, 1)
    with zel.Array("127.0.0.2") as array:
        with array.capture(blocksize=4410) as stream:
            for block in stream:            # block.data: (4410, 64); block.time, block.nfnbr
                ...
"""
from ._ffi import ZelError, codes, library_path
from ._core import Array, Block, Reader, Stream, rec
from ._files import read_calibration, read_raw


def __getattr__(name):
    """The library's status codes by name: zel.ZEL_ERECV == 11, as ZelError.code holds them."""
    try:
        return codes[name]
    except KeyError:
        raise AttributeError(f"module 'zel' has no attribute {name!r}") from None


__all__ = ["Array", "Block", "Reader", "Stream", "ZelError", "rec", "read_raw",
           "read_calibration", "library_path", *codes]
__version__ = "1.0.0"
