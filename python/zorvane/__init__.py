"""zorvane: the packet-filter back end of a host firewall, from Python.

A rule set (a JSON text, its bytes, or a list of dicts) is checked,
translated into iptables-restore lines of the chain ZORVANE, judged by
"iptables-restore --test" and only then installed, in one commit per family.
This package is pure Python over libzorvane.so.1 (ctypes): every buffer is
sized by the package, every failure is an exception made of the library's
error channel (zorvane.Error and its subclasses), never of its log.

Functions that change the packet filter need root; each says which
commands run. A rule set used for several calls is best parsed once:
``with zorvane.Rules(text) as rules: rules.check(); rules.apply()``.
"""

from __future__ import annotations

import ctypes
import json
from dataclasses import dataclass
from typing import Any, Iterable, Optional, Sequence, Union

from . import _native as native
from .errors import (BufferTooSmall, ChainMismatch, ChainMissing, ChainTextRefused, CommandFailed, CountFailed,
                     Error, FileFailed, InstallFailed, InvalidArgument, LayoutNotCountable, ListingFailed,
                     LockTimeout, NotJson, RuleSetRefused, TestRefused, ToolFailed, ToolMissing, last_error)

__all__ = [
    "Rules", "Finding", "Count", "check", "test", "apply", "counts", "describe", "restore_text", "verify",
    "status", "chain_status", "setup", "reset_counters", "chain_text", "install_chain_text", "failsafe_text",
    "enable_ipv6", "set_layout", "set_log_limit", "set_country_source", "set_country_databases", "countries",
    "host", "Error", "InvalidArgument", "RuleSetRefused", "NotJson", "TestRefused", "ToolFailed", "FileFailed",
    "InstallFailed", "ListingFailed", "CommandFailed", "ToolMissing", "LockTimeout", "BufferTooSmall",
    "ChainMismatch", "ChainMissing", "CountFailed", "ChainTextRefused", "LayoutNotCountable",
]

RuleSetText = Union[str, bytes, Sequence[Any]]
_lib = native.lib


def _as_bytes(rules: RuleSetText) -> bytes:
    if isinstance(rules, bytes):
        return rules
    if isinstance(rules, str):
        return rules.encode("utf-8")
    return json.dumps(list(rules)).encode("utf-8")


def _json_call(call, what: str) -> Any:
    result, out = native.filled(call)
    if result < 0 or (result > 0 and not out):
        raise last_error(what, result)
    return json.loads(out)


@dataclass(frozen=True)
class Finding:
    """One finding of the check: severity "error" or "warning", its code
    ("bad-port", "shadowed", ...), the rule (from 1; 0 for the whole set),
    the key it is about (or ""), the message, and the earlier rule that
    shadows this one (0 where none)."""

    severity: str
    code: str
    rule: int
    key: str
    message: str
    other_rule: int = 0

    @property
    def is_error(self) -> bool:
        return self.severity == "error"

    @classmethod
    def from_json(cls, item: dict) -> "Finding":
        return cls(severity=item.get("severity", ""), code=item.get("code", ""), rule=int(item.get("rule", 0)),
                   key=item.get("key") or "", message=item.get("message", ""),
                   other_rule=int(item.get("other_rule", 0)))


@dataclass(frozen=True)
class Count:
    """A rule's packets and bytes (summed over its lines and families)."""

    rule: int
    packets: int
    bytes: int


class Rules:
    """A rule set read once (zvn_rules_parse_n): validated when made, and
    every call below works on it. Raises NotJson or RuleSetRefused (with the
    rule and key of the fault) for a set the library refuses; runs nothing.
    Use from one thread at a time; close() (or a with block) frees it."""

    def __init__(self, rules: RuleSetText) -> None:
        self._handle: Optional[int] = None
        data = _as_bytes(rules)
        self._text = data
        handle = _lib.zvn_rules_parse_n(data, len(data))
        if not handle:
            raise last_error("the rule set was refused")
        self._handle = handle

    def close(self) -> None:
        if getattr(self, "_handle", None):
            _lib.zvn_rules_free(self._handle)
            self._handle = None

    def __enter__(self) -> "Rules":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()

    @property
    def handle(self) -> int:
        if not self._handle:
            raise InvalidArgument("the rule set was closed")
        return self._handle

    def __len__(self) -> int:
        return _lib.zvn_rules_size(self.handle)

    def rule(self, number: int) -> tuple[bool, str]:
        """Whether rule number (from 1) allows, and what it matches in words."""
        description = ctypes.c_char_p()
        verdict = _lib.zvn_rules_rule(self.handle, number, ctypes.byref(description))
        if verdict < 0:
            raise InvalidArgument(f"there is no rule {number}")
        return verdict == 1, native.text(description.value)

    def check(self) -> list[Finding]:
        """The findings (errors and warnings), without running anything."""
        result, out = native.filled(lambda buffer, size: _lib.zvn_rules_check_json(self.handle, buffer, size))
        if result < 0:
            raise last_error("the check failed")
        return [Finding.from_json(item) for item in json.loads(out)]

    def test(self) -> None:
        """The dry run: writes the restore file(s) and runs
        "/sbin/iptables-restore --test FILE" (ip6tables-restore too with
        IPv6 on). Installs nothing. Raises TestRefused naming the rule of
        the refused line, with the tool's words and status."""
        result = _lib.zvn_rules_test(self.handle)
        if result != 0:
            raise last_error("the test run refused the rule set", result)

    def apply(self) -> None:
        """Tests and installs the set in one commit per family
        ("iptables-restore --test", then "iptables-restore -n"), all or
        nothing; the drop log is emptied once the new numbering is in force.
        Raises TestRefused (nothing changed), InstallFailed, LockTimeout."""
        result = _lib.zvn_rules_apply(self.handle)
        if result != 0:
            raise last_error("the apply failed", result)

    def counts(self, snapshot: bool = True) -> list[int]:
        """Each rule's packets. snapshot (the default): one listing per family
        ("iptables-save -c -t filter"), proved against the set (ChainMismatch
        where the chain does not hold it). snapshot=False: the specified read
        by position ("iptables -vn -L ZORVANE N --exact" per line)."""
        if not snapshot:
            return counts(self._text, snapshot=False)
        return [packets for packets, _ in self._read_counts()]

    def counts_with_bytes(self) -> list[Count]:
        """Each rule's packets and bytes from one listing (see counts)."""
        return [Count(rule=i + 1, packets=p, bytes=b) for i, (p, b) in enumerate(self._read_counts())]

    def _read_counts(self) -> list[tuple[int, int]]:
        n = len(self)
        array = (native.RuleCount * max(n, 1))()
        result = _lib.zvn_rules_counts(self.handle, array, n)
        if result != 0:
            raise last_error("the counts could not be read", result)
        # Read in one pass over the array's bytes: a field access per
        # element through ctypes would cost more than the listing's parse.
        return [(p, b) for p, b, _ in native.RULE_COUNT_LAYOUT.iter_unpack(memoryview(array).cast("B")[:n * native.RULE_COUNT_SIZE])]

    def verify(self) -> dict:
        """Per family whether the chains hold the set ("holds", and how it
        "differs"), from one listing per family."""
        return _json_call(lambda buffer, size: _lib.zvn_rules_verify_json(self.handle, buffer, size),
                          "the chain could not be verified")

    def describe(self) -> list[str]:
        """Each rule in words ("tcp ports 22 from 10.0.0.0/8 on eth0")."""
        return [self.rule(number)[1] for number in range(1, len(self) + 1)]

    def restore_text(self) -> str:
        """The restore text applying would install. Runs nothing."""
        length = _lib.zvn_rules_restore_text(self.handle, None, 0)
        if length < 0:
            raise last_error("the restore text could not be made")
        buffer = ctypes.create_string_buffer(length + 1)
        if _lib.zvn_rules_restore_text(self.handle, buffer, length + 1) < 0:
            raise last_error("the restore text could not be made")
        return native.text(buffer.value)


def check(rules: RuleSetText) -> list[Finding]:
    """The findings on a rule set (zvn_check_rules_json): a text that is not
    JSON or that validation refuses gives its one "invalid" finding rather
    than an exception. Runs nothing, takes no lock."""
    data = _as_bytes(rules)
    if b"\0" in data:
        raise RuleSetRefused(f"the rule set holds a NUL byte at offset {data.index(0)}")
    result, out = native.filled(lambda buffer, size: _lib.zvn_check_rules_json(data, buffer, size))
    if result < 0 and not out:
        raise last_error("the check failed")
    return [Finding.from_json(item) for item in json.loads(out)]


def test(rules: RuleSetText) -> None:
    """Rules(rules).test(): the dry run; raises where it is refused."""
    with Rules(rules) as parsed:
        parsed.test()


def apply(rules: RuleSetText) -> None:
    """Rules(rules).apply(): tests and installs in one commit per family."""
    with Rules(rules) as parsed:
        parsed.apply()


def counts(rules: RuleSetText, snapshot: bool = True) -> list[int]:
    """Each rule's packets: from one listing (snapshot, the default) or the
    specified read by position (zvn_get_rule_count_json). Raises
    ChainMismatch where the chain does not hold the set."""
    if snapshot:
        with Rules(rules) as parsed:
            return parsed.counts()
    data = _as_bytes(rules)
    result, out = native.filled(lambda buffer, size: _lib.zvn_get_rule_count_json(data, buffer, size))
    if result != 0:
        raise last_error("the counts could not be read", result)
    return [int(value) for value in json.loads(out)]


def describe(rules: RuleSetText) -> list[str]:
    """Each rule in words. Runs nothing."""
    with Rules(rules) as parsed:
        return parsed.describe()


def restore_text(rules: RuleSetText) -> str:
    """The restore text applying would install. Runs nothing."""
    with Rules(rules) as parsed:
        return parsed.restore_text()


def verify(rules: RuleSetText) -> dict:
    """Whether the chains hold the set, per family."""
    with Rules(rules) as parsed:
        return parsed.verify()


def status() -> dict:
    """The chain, its hooks and INPUT around it, per family, from one
    reading ("iptables-save -c -t filter" per family, under the lock):
    {"ipv4": {"chain": True, "hooks": 1, "rule_lines": N, ...}, "ipv6": ...}."""
    table = _lib.zvn_table_read()
    if not table:
        raise last_error("the packet filter could not be read")
    try:
        return _json_call(lambda buffer, size: _lib.zvn_table_status_json(table, buffer, size),
                          "the status could not be read")
    finally:
        _lib.zvn_table_free(table)


def chain_status() -> dict:
    """The specified status ("iptables -S INPUT", "iptables -S ZORVANE"):
    {"chain": bool, "hooks": H, "rule_lines": L} (and "ipv6")."""
    return _json_call(lambda buffer, size: _lib.zvn_get_chain_status_json(buffer, size), "the status failed")


def host() -> dict:
    """What the host has of what the packet filter needs. Runs nothing."""
    return _json_call(lambda buffer, size: _lib.zvn_host_json(buffer, size), "the host could not be told")


def setup(hook: str = "keep") -> None:
    """Runs "/usr/sbin/firewall.sh prepare", makes the chain and hooks it
    into INPUT: "keep" (a hook stays where it stands), "last" or "first"."""
    if hook not in native.HOOK_PLACES:
        raise InvalidArgument(f"unknown hook place {hook!r}: keep, last or first")
    _lib.zvn_setup_chain_hook(native.HOOK_PLACES[hook])


def reset_counters() -> None:
    """Zeroes the chain's counters ("iptables -Z ZORVANE")."""
    result = _lib.reset_counter()
    if result != 0:
        raise last_error("the counters could not be zeroed", result)


def chain_text() -> str:
    """The chain as the kernel holds it (every family, its sets' entries)."""
    length = ctypes.c_size_t(0)
    size = 1 << 16
    for _ in range(4):
        buffer = ctypes.create_string_buffer(size)
        result = _lib.zvn_get_chain_text(buffer, size, ctypes.byref(length))
        if result == 0:
            return native.text(buffer.value)
        if length.value + 1 <= size:
            raise last_error("the chain could not be listed", result)
        size = length.value + 1
    raise last_error("the chain could not be listed")


def install_chain_text(text: str) -> None:
    """Makes the chain hold exactly a chain text (one commit per family)."""
    result = _lib.zvn_install_chain_text(text.encode("utf-8"))
    if result != 0:
        raise last_error("the chain text could not be installed", result)


def failsafe_text(allows: Optional[RuleSetText] = None) -> str:
    """The fail-safe chain text, with extra allowing rules."""
    data = _as_bytes(allows) if allows is not None else None
    result, out = native.filled(lambda buffer, size: _lib.zvn_failsafe_text_json(data, buffer, size))
    if result != 0:
        raise last_error("the fail-safe text could not be made", result)
    return out


def enable_ipv6() -> None:
    """Both families from now on, for the rest of the process."""
    _lib.zvn_enable_ipv6()


def set_layout(layout: str) -> None:
    """How rule sets stand in the kernel: "flat", "indexed" or "auto"."""
    if layout not in native.LAYOUTS or _lib.zvn_set_layout(native.LAYOUTS[layout]) != 0:
        raise InvalidArgument(f"unknown layout {layout!r}: flat, indexed or auto")


def set_log_limit(lines_per_second: int) -> None:
    """At most this many drop-log lines a second per rule (0: every drop)."""
    if not 0 <= lines_per_second <= 10000 or _lib.zvn_set_log_limit(lines_per_second) != 0:
        raise InvalidArgument(f"a log limit of {lines_per_second} is not in 0 to 10000")


def set_country_source(source: str) -> None:
    """How src_country meets the kernel: "match" (-m geoip, the default),
    "sets" (an address set per rule and family) or "auto"."""
    if source not in native.COUNTRY_SOURCES or _lib.zvn_set_country_source(native.COUNTRY_SOURCES[source]) != 0:
        raise InvalidArgument(f"unknown country source {source!r}: match, sets or auto")


def set_country_databases(paths: Iterable[str]) -> None:
    """The country databases (none: Debian's tor-geoipdb)."""
    encoded = [path.encode("utf-8") for path in paths]
    array = (ctypes.c_char_p * max(len(encoded), 1))(*encoded)
    if _lib.zvn_set_country_databases(array, len(encoded)) != 0:
        raise last_error("the country databases were not taken")


def countries() -> dict:
    """The country source in use and the databases read."""
    return _json_call(lambda buffer, size: _lib.zvn_countries_json(buffer, size), "the countries could not be told")
