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
        # No stderr (pythonw, a daemon with its streams closed): nothing to draw on.
        return Bar(function) if sys.stderr is not None else None
    if callable(progress):
        return progress  # type: ignore[return-value]
    raise TypeError(f"progress must be True, False or a callable of (done, total); "
                    f"got {progress!r}")


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
        self.broken = False

    def __call__(self, done: int, total: int) -> None:
        if self.broken:
            return
        try:
            self._advance(done, total)
        except (OSError, ValueError, AttributeError):
            # A stream closed or replaced during the call: the bar stops, the
            # computation goes on.
            self.broken = True
            self.bar = None

    def _advance(self, done: int, total: int) -> None:
        if self.bar is None:
            elapsed = self.clock() - self.start
            if done >= total or elapsed < SHOW_AFTER:
                return
            if done > 0 and elapsed * total / done < LONG_CALL:
                return
            self.bar = _new_bar(self.description, total, done, self.stream, elapsed)
            self.shown = done
        self.bar.update(done - self.shown)
        self.shown = done
        if done >= total:
            self.close()

    def close(self) -> None:
        """Ends the line of the bar (also when the call was interrupted)."""
        bar, self.bar = self.bar, None
        if bar is not None:
            try:
                bar.close()
            except (OSError, ValueError, AttributeError):
                self.broken = True


def _new_bar(description: str, total: int, done: int, stream: Any, elapsed: float) -> Any:
    try:
        from tqdm import tqdm
    except ImportError:
        return TextBar(description, total, done, stream, elapsed)
    return tqdm(total=total, initial=done, desc=description, unit="option", unit_scale=True,
                file=stream if stream is not None else sys.stderr, leave=True)


class TextBar:
    """The bar without tqdm: a line rewritten in place, at most ten times a second."""

    def __init__(self, description: str, total: int, done: int = 0, stream: Any = None,
                 elapsed: float = 0.0) -> None:
        self.description = description
        self.total = total
        self.stream = stream if stream is not None else sys.stderr
        self.done = done
        self.start = time.monotonic() - elapsed  # the call's start, not the bar's
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
        # An estimate of the time left once some work is done; none before.
        left = (f", {elapsed * (1.0 - fraction) / fraction:.1f} s left"
                if fraction > 0 and elapsed > 0 else "")
        self.stream.write(f"\r{self.description}: {fraction:4.0%} |{'#' * filled:<30}| "
                          f"{self.done:,}/{self.total:,} [{elapsed:.1f} s{left}]")
        self.stream.flush()

    def close(self) -> None:
        self.stream.write("\n")
        self.stream.flush()
