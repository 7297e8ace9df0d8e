"""Failures of the library as exceptions, made of its error channel (a code,
a message, the rule and key it stands in, the family, a tool's raw status
and words), never of its log."""

from __future__ import annotations

from . import _native as native


class Error(Exception):
    """A failed call of libzorvane.

    code: the ZVN_ERROR_ code; message: the library's words ("rule 2
    (protocol): ..."); rule: the rule it stands in, from 1 (0: none); key:
    the rule's key; family: "ipv4" or "ipv6" where a family's run failed;
    status: the raw status of the command that failed (or the function's
    result where that is a tool's status); tool_words: what the tool said.
    """

    code = 0

    def __init__(self, message: str, *, code: int = 0, rule: int = 0, key: str = "", family: str = "",
                 status: int = 0, tool_words: str = "") -> None:
        super().__init__(message)
        self.message = message
        self.code = code or type(self).code
        self.rule = rule
        self.key = key
        self.family = family
        self.status = status
        self.tool_words = tool_words

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.message!r}, code={self.code}, rule={self.rule}, key={self.key!r})"


class InvalidArgument(Error):
    """A null argument or a value the library does not take."""
    code = native.ERROR_ARGUMENT


class RuleSetRefused(Error):
    """The rule set was refused before anything changed."""
    code = native.ERROR_INVALID


class NotJson(RuleSetRefused):
    """The text is not one JSON value."""
    code = native.ERROR_NOT_JSON


class TestRefused(RuleSetRefused):
    """iptables-restore --test refused the restore file; rule names the rule
    of the refused line. Nothing was installed."""
    code = native.ERROR_TEST_REFUSED


class ToolFailed(Error):
    """A packet-filter tool failed (status: its raw status)."""
    code = native.ERROR_INSTALL


class FileFailed(ToolFailed):
    """A restore file could not be written."""
    code = native.ERROR_FILE


class InstallFailed(ToolFailed):
    """An install failed (all or nothing: the chains are as before)."""
    code = native.ERROR_INSTALL


class ListingFailed(ToolFailed):
    """A listing of the chain failed."""
    code = native.ERROR_LISTING


class CommandFailed(ToolFailed):
    """Another command failed (zeroing the counters, say)."""
    code = native.ERROR_COMMAND


class ToolMissing(ToolFailed):
    """A tool could not be run at all (not found, not executable)."""
    code = native.ERROR_TOOL


class LockTimeout(Error):
    """The lock of the chain was not had within 30 s."""
    code = native.ERROR_LOCK


class BufferTooSmall(Error):
    """A buffer the package sized was still too small (should not happen)."""
    code = native.ERROR_BUFFER


class ChainMismatch(Error):
    """The chain does not hold the rule set (or is missing); the message
    names the first rule that differs and how."""
    code = native.ERROR_MISMATCH


#: The chain missing is a chain that does not hold the set.
ChainMissing = ChainMismatch


class CountFailed(Error):
    """A count could not be read or summed."""
    code = native.ERROR_COUNT


class ChainTextRefused(Error):
    """A chain text was refused (it holds more than the chain)."""
    code = native.ERROR_CHAIN_TEXT


class LayoutNotCountable(Error):
    """The chain holds the indexed layout, which a read by position cannot count."""
    code = native.ERROR_LAYOUT


_by_code = {cls.code: cls for cls in (InvalidArgument, NotJson, RuleSetRefused, FileFailed, TestRefused,
                                       InstallFailed, LockTimeout, BufferTooSmall, ListingFailed, ChainMismatch,
                                       CountFailed, ChainTextRefused, CommandFailed, LayoutNotCountable,
                                       ToolMissing)}


def last_error(what: str = "", result: int = 0) -> Error:
    """The error the channel holds after a failed call, as its exception;
    result, where it is a tool's raw status (> 0), is the status."""
    lib = native.lib
    code = lib.zvn_last_error_code()
    message = native.text(lib.zvn_last_error())
    if not message:
        message = what or "the call failed"
    status = lib.zvn_last_error_status() or (result if result > 0 else 0)
    cls = _by_code.get(code, ToolFailed if result > 0 else Error)
    return cls(message, code=code, rule=lib.zvn_last_error_rule(), key=native.text(lib.zvn_last_error_key()),
               family=native.text(lib.zvn_last_error_family()), status=status,
               tool_words=native.text(lib.zvn_last_error_tool_words()))
