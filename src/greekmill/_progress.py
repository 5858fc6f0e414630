"""``progress=`` of the array functions: a callable of (done, total), or a bar.

The engine's waiting caller reports how many elements are done every 50 ms
or so, and (total, total) once at the end; a bar made here turns those
reports into a progress bar on stderr.  The bar appears only once a call has
run for half a second and is projected to take two seconds or more, so short
calls never draw one.  It is tqdm's where tqdm is installed, a line of text
rewritten in place otherwise.
"""

from __future__ import annotations

import sys
import time
from typing import Any, Callable

Reporter = Callable[[int, int], Any]

# The bar waits this long before it considers appearing...
SHOW_AFTER = 0.5
# ...and appears only if the call is then projected to take at least this long.
LONG_CALL = 2.0


def reporter(progress: object, function: str) -> Reporter | None:
    """The engine's callable for ``progress``: None, the user's callable or a new bar."""
    if progress is False:
        return None
    if progress is True:
        return Bar(function)
    if callable(progress):
        return progress  # type: ignore[return-value]
    raise TypeError(f"progress must be True, False or a callable of (done, total); "
                    f"got {progress!r}")


def stages(report: Reporter | None, count: int) -> list[Reporter | bool]:
    """`count` successive calls reported as one: the i-th reports
    (i * total + done, count * total), so the whole ends at its total once."""
    if report is None:
        return [False] * count

    def stage(index: int) -> Reporter:
        def forward(done: int, total: int) -> Any:
            return report(index * total + done, count * total)
        return forward

    return [stage(i) for i in range(count)]


class Bar:
    """A progress bar on stderr for one call, drawn only if the call is long."""

    def __init__(self, description: str, *, clock: Callable[[], float] = time.monotonic,
                 stream: Any = None) -> None:
        self.description = description
        self.clock = clock
        self.stream = stream
        self.start = clock()
        self.shown = 0
        self.bar: Any = None

    def __call__(self, done: int, total: int) -> None:
        if self.bar is None:
            elapsed = self.clock() - self.start
            if done >= total or elapsed < SHOW_AFTER:
                return
            if done > 0 and elapsed * total / done < LONG_CALL:
                return
            self.bar = _new_bar(self.description, total, done, self.stream)
            self.shown = done
        self.bar.update(done - self.shown)
        self.shown = done
        if done >= total:
            self.close()

    def close(self) -> None:
        """Ends the line of the bar (also when the call was interrupted)."""
        if self.bar is not None:
            self.bar.close()
            self.bar = None


def _new_bar(description: str, total: int, done: int, stream: Any) -> Any:
    try:
        from tqdm import tqdm
    except ImportError:
        return TextBar(description, total, done, stream)
    return tqdm(total=total, initial=done, desc=description, unit="option", unit_scale=True,
                file=stream if stream is not None else sys.stderr, leave=True)


class TextBar:
    """The bar without tqdm: a line rewritten in place, at most ten times a second."""

    def __init__(self, description: str, total: int, done: int = 0, stream: Any = None) -> None:
        self.description = description
        self.total = total
        self.stream = stream if stream is not None else sys.stderr
        self.done = done
        self.start = time.monotonic()
        self.drawn = -1.0

    def update(self, count: int) -> None:
        self.done += count
        now = time.monotonic()
        if now - self.drawn >= 0.1 or self.done >= self.total:
            self.drawn = now
            self._draw(now - self.start)

    def _draw(self, elapsed: float) -> None:
        fraction = self.done / self.total if self.total else 1.0
        filled = int(30 * fraction)
        eta = elapsed * (1.0 - fraction) / fraction if fraction > 0 else float("nan")
        self.stream.write(f"\r{self.description}: {fraction:4.0%} |{'#' * filled:<30}| "
                          f"{self.done:,}/{self.total:,} [{elapsed:.1f} s, {eta:.1f} s left]")
        self.stream.flush()

    def close(self) -> None:
        self.stream.write("\n")
        self.stream.flush()
