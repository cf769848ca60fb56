"""The one exception of the package, and words for codes and statuses."""

from __future__ import annotations

from typing import Optional

from . import raw

# Codes after which the device's error response says why.
ERROR_RESPONSE_CODES = frozenset({1601, 1701})  # DNM_SetAttribute/GetAttributeResponseError

# General status codes of DeviceNet error responses.
GENERAL_STATUS = {
    0x00: "success", 0x01: "connection failure", 0x02: "resource unavailable",
    0x03: "invalid parameter value", 0x04: "path segment error",
    0x05: "path destination unknown", 0x06: "partial transfer", 0x07: "connection lost",
    0x08: "service not supported", 0x09: "invalid attribute value",
    0x0A: "attribute list error", 0x0B: "already in requested mode/state",
    0x0C: "object state conflict", 0x0D: "object already exists",
    0x0E: "attribute not settable", 0x0F: "privilege violation",
    0x10: "device state conflict", 0x11: "reply data too large",
    0x12: "fragmentation of a primitive value", 0x13: "not enough data",
    0x14: "attribute not supported", 0x15: "too much data", 0x16: "object does not exist",
    0x17: "service fragmentation sequence not in progress", 0x18: "no stored attribute data",
    0x19: "store operation failure", 0x1A: "routing failure, request packet too large",
    0x1B: "routing failure, response packet too large",
    0x1C: "missing attribute list entry data", 0x1D: "invalid attribute value list",
    0x1E: "embedded service error", 0x1F: "vendor specific error", 0x20: "invalid parameter",
    0x21: "write-once value or medium already written", 0x22: "invalid reply received",
    0x25: "key failure in path", 0x26: "path size invalid",
    0x27: "unexpected attribute in list", 0x28: "invalid member ID",
    0x29: "member not settable",
}


def error_text(code: int) -> str:
    """The name of a library or driver code (``DNM_GetErrorText``), "unknown" for others."""
    name: bytes = raw.DNM_GetErrorText(code)
    return name.decode("ascii", "replace")


def status_words(general: int, additional: int) -> str:
    """An error response's statuses in words, as the ``dnm`` tool prints them."""
    meaning = GENERAL_STATUS.get(general, "unknown")
    extra = " (none)" if additional == 0xFF else ""
    return (f"general status 0x{general:02X} ({meaning}), "
            f"additional status 0x{additional:02X}{extra}")


class DnmError(Exception):
    """A call of the library failed.

    Attributes:
        export: the C function that failed, e.g. ``"DNM_Online"``.
        code: its result code (``DNM_`` codes 1100 and up, driver codes 1 to 22).
        name: the code's name from ``DNM_GetErrorText``, e.g. ``"DNM_OnlineError"``.
        general_status, additional_status: for an error response of the device
            (codes 1601 and 1701), its status bytes; ``None`` otherwise.
        status_text: those statuses in words, "" without an error response.
    """

    def __init__(self, export: str, code: int, general_status: Optional[int] = None,
                 additional_status: Optional[int] = None) -> None:
        self.export = export
        self.code = code
        self.name = error_text(code)
        self.general_status = general_status
        self.additional_status = additional_status
        self.status_text = ("" if general_status is None or additional_status is None else
                            status_words(general_status, additional_status))
        message = f"{export} failed: {code} {self.name}"
        if self.status_text:
            message += f"; the device answered with an error response: {self.status_text}"
        super().__init__(message)


def check(export: str, code: int) -> None:
    """Raise :class:`DnmError` for a code other than 0 (``DNM_NoError``)."""
    if code != 0:
        raise DnmError(export, code)
