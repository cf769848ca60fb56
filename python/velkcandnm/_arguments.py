"""Arguments judged before they reach ctypes, which would cut a number to its C
type's bits without a word (256 would name board 0, MAC ID 259 MAC ID 3)."""

from __future__ import annotations

from typing import Collection, TypeVar

Choice = TypeVar("Choice")


def integer(name: str, value: object, low: int, high: int) -> int:
    """``value`` as an int when it is one from ``low`` to ``high``.

    TypeError for what is no integer (a float, a string) and for a bool,
    which passes for 0 or 1 where a number is meant; ValueError naming
    ``name`` outside the range.
    """
    if isinstance(value, bool) or not hasattr(type(value), "__index__"):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    number: int = value.__index__()  # type: ignore[attr-defined]
    if not low <= number <= high:
        raise ValueError(f"{name} {number} is out of range ({low}..{high})")
    return number


def flag(name: str, value: object) -> int:
    """A yes or no as 1 or 0: a bool, or the integer 0 or 1."""
    return int(value) if isinstance(value, bool) else integer(name, value, 0, 1)


def bytes_like(name: str, value: object, low: int, high: int) -> bytes:
    """The bytes of a bytes-like ``value`` (bytes, bytearray, memoryview, array),
    ``low`` to ``high`` of them."""
    try:
        content = memoryview(value).tobytes()  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be bytes-like (bytes, bytearray, memoryview), "
                        f"not {type(value).__name__}") from None
    if not low <= len(content) <= high:
        raise ValueError(f"{name} holds {len(content)} bytes, out of range ({low}..{high})")
    return content


def choice(name: str, value: Choice, choices: Collection[Choice]) -> Choice:
    """``value`` when it is one of ``choices``, which are of one type: TypeError
    for a value of another (500_000.0 is no bit rate, True no number)."""
    kind = type(next(iter(choices)))
    if isinstance(value, bool) or not isinstance(value, kind):
        raise TypeError(f"{name} must be {kind.__name__}, not {type(value).__name__}")
    if value not in choices:
        raise ValueError(f"{name} must be one of {', '.join(map(str, choices))}, not {value!r}")
    return value
