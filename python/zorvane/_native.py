"""The library as ctypes sees it: one load, every signature declared once,
and the buffer-filling calls sized by the library's own word."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import struct
from typing import Callable

#: Error codes of the error channel (libzorvane.h).
OK = 0
ERROR_ARGUMENT = 1
ERROR_NOT_JSON = 2
ERROR_INVALID = 3
ERROR_FILE = 4
ERROR_TEST_REFUSED = 5
ERROR_INSTALL = 6
ERROR_LOCK = 7
ERROR_BUFFER = 8
ERROR_LISTING = 9
ERROR_MISMATCH = 10
ERROR_COUNT = 11
ERROR_CHAIN_TEXT = 12
ERROR_COMMAND = 13
ERROR_LAYOUT = 14
ERROR_TOOL = 15

LAYOUTS = {"flat": 0, "indexed": 1, "auto": 2}
COUNTRY_SOURCES = {"match": 0, "sets": 1, "auto": 2}
HOOK_PLACES = {"keep": 0, "last": 1, "first": 2}


class RuleCount(ctypes.Structure):
    _fields_ = [("packets", ctypes.c_ulonglong), ("bytes", ctypes.c_ulonglong), ("told", ctypes.c_int)]


RULE_COUNT_SIZE = ctypes.sizeof(RuleCount)
# packets, bytes, told, and the padding that rounds the struct up
RULE_COUNT_LAYOUT = struct.Struct(f"=QQi{RULE_COUNT_SIZE - 20}x")


def _load() -> ctypes.CDLL:
    # ZORVANE_LIBRARY names a build tree's library (the tests use it);
    # otherwise the installed soname.
    path = os.environ.get("ZORVANE_LIBRARY") or "libzorvane.so.1"
    return ctypes.CDLL(path)


lib = _load()

_c_char_pp = ctypes.POINTER(ctypes.c_char_p)
_signatures: dict[str, tuple[object, list[object]]] = {
    "zvn_apply_rules_json": (ctypes.c_int, [ctypes.c_char_p]),
    "zvn_test_rules_json": (ctypes.c_int, [ctypes.c_char_p]),
    "zvn_check_rules_json": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]),
    "zvn_get_rule_count_json": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]),
    "zvn_get_rule_count_snapshot_json": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]),
    "zvn_restore_text_json": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]),
    "zvn_get_chain_status_json": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_size_t]),
    "zvn_get_input_json": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_size_t]),
    "zvn_get_chain_text": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_size_t, ctypes.POINTER(ctypes.c_size_t)]),
    "zvn_install_chain_text": (ctypes.c_int, [ctypes.c_char_p]),
    "zvn_failsafe_text_json": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]),
    "zvn_verify_chain_json": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]),
    "zvn_describe_rules_json": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]),
    "zvn_describe_layout_json": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]),
    "zvn_enable_ipv6": (None, []),
    "reset_counter": (ctypes.c_int, []),
    "zvn_setup_chain_hook": (None, [ctypes.c_int]),
    "zvn_set_layout": (ctypes.c_int, [ctypes.c_int]),
    "zvn_set_log_limit": (ctypes.c_int, [ctypes.c_uint]),
    "zvn_set_country_source": (ctypes.c_int, [ctypes.c_int]),
    "zvn_set_country_databases": (ctypes.c_int, [_c_char_pp, ctypes.c_size_t]),
    "zvn_countries_json": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_size_t]),
    "zvn_host_json": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_size_t]),
    "zvn_keep_tool_words": (None, [ctypes.c_int]),
    "zvn_label_installs": (ctypes.c_int, [ctypes.c_char_p]),
    "zvn_last_error": (ctypes.c_char_p, []),
    "zvn_last_error_code": (ctypes.c_int, []),
    "zvn_last_error_rule": (ctypes.c_int, []),
    "zvn_last_error_key": (ctypes.c_char_p, []),
    "zvn_last_error_family": (ctypes.c_char_p, []),
    "zvn_last_error_status": (ctypes.c_int, []),
    "zvn_last_error_tool_words": (ctypes.c_char_p, []),
    "zvn_last_error_size_needed": (ctypes.c_size_t, []),
    "zvn_rules_parse_n": (ctypes.c_void_p, [ctypes.c_char_p, ctypes.c_size_t]),
    "zvn_rules_free": (None, [ctypes.c_void_p]),
    "zvn_rules_size": (ctypes.c_size_t, [ctypes.c_void_p]),
    "zvn_rules_rule": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_size_t, _c_char_pp]),
    "zvn_rules_check_json": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]),
    "zvn_rules_test": (ctypes.c_int, [ctypes.c_void_p]),
    "zvn_rules_apply": (ctypes.c_int, [ctypes.c_void_p]),
    "zvn_rules_counts": (ctypes.c_int, [ctypes.c_void_p, ctypes.POINTER(RuleCount), ctypes.c_size_t]),
    "zvn_rules_verify_json": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]),
    "zvn_rules_describe_json": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]),
    "zvn_rules_restore_text": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]),
    "zvn_table_read": (ctypes.c_void_p, []),
    "zvn_table_free": (None, [ctypes.c_void_p]),
    "zvn_table_status_json": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]),
    "zvn_table_counts": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_void_p, ctypes.POINTER(RuleCount), ctypes.c_size_t]),
}
for _name, (_result, _arguments) in _signatures.items():
    _function = getattr(lib, _name)
    _function.restype = _result
    _function.argtypes = _arguments


def text(value: bytes | None) -> str:
    return value.decode("utf-8", "replace") if value else ""


def filled(call: Callable[[ctypes.Array, int], int], first: int = 1 << 16) -> tuple[int, str]:
    """Calls a function that fills a buffer, growing it to the size the
    library says it needs; the result and the text (or the result and ""
    where the call failed otherwise)."""
    size = first
    for _ in range(4):
        buffer = ctypes.create_string_buffer(size)
        result = call(buffer, size)
        if result >= 0 or lib.zvn_last_error_code() != ERROR_BUFFER:
            return result, text(buffer.value) if result >= 0 or lib.zvn_last_error_code() == OK else ""
        needed = lib.zvn_last_error_size_needed()
        if needed <= size:
            break
        size = needed
    return result, ""
