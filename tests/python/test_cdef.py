"""The package's declarations against the public header: every call and status code of
zellib.h, declared alike, and nothing else."""
import pathlib
import re

import zel
from zel import _ffi

HEADER = pathlib.Path(__file__).resolve().parents[2] / "lib" / "zellib.h"


def _without_comments(text):
    return re.sub(r"/\*.*?\*/", " ", text, flags=re.S)


def _calls(text, prefix=""):
    """Each declared call's name -> its declaration with whitespace made single spaces."""
    found = {}
    for m in re.finditer(rf"^{prefix}([^;#{{}}]*\(.*?\))\s*;", text, flags=re.M | re.S):
        declaration = " ".join(m.group(1).split())
        name = re.search(r"(\w+)\s*\(", declaration).group(1)
        found[name] = declaration
    return found


def _header_codes(text):
    return {f"ZEL_{name}": int(code) for name, code in re.findall(r"X\((\w+), (\d+),", text)}


def test_every_public_call_is_declared_as_the_header_declares_it():
    header = _calls(_without_comments(HEADER.read_text()), prefix=r"ZEL_API\s+")
    package = _calls(_without_comments(_ffi.CDEF))
    assert len(header) > 50
    assert package == header


def test_status_codes_are_the_headers_by_name_and_value():
    header = _header_codes(HEADER.read_text())
    assert _ffi.codes == header
    assert zel.ZEL_EORDER == 9 and zel.ZEL_OK == 0
    for name, code in header.items():
        assert zel.ZelError(code).name == name


def test_records_stay_opaque():
    cdef = _without_comments(_ffi.CDEF)
    assert "typedef struct zelarray zelarray_t;" in cdef
    assert "typedef struct zelcursor zelcursor_t;" in cdef
    assert not re.search(r"struct\s+\w+\s*\{", cdef)
