"""The progress display of a screening on standard error: the card being answered, prompts done of
total, rate and time left. Redrawn at most four times a second from the caller's thread (no thread
of its own), so it costs the screening next to nothing."""

import contextlib
import sys
import time

_REDRAW_INTERVAL = 0.25


def _time_left(done, total, rate):
    if not rate or total is None or done >= total:
        return "-:--:--"
    seconds = int((total - done) / rate)
    return f"{seconds // 3600}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"


class ProgressDisplay:
    """A no-op when disabled; otherwise use it as a context manager around the screening."""

    def __init__(self, enabled, console=None):
        """`console`: a rich Console to draw on (default: standard error)."""
        self._progress = None
        self._task = None
        self._drawn = 0.0
        self._card = {"description": "starting", "total": None}
        self._state = {"done": 0, "total": None, "rate": 0.0}
        if enabled:
            from rich.console import Console
            from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn

            self._progress = Progress(
                TextColumn("{task.description}"), BarColumn(), MofNCompleteColumn(),
                TextColumn("{task.fields[rate]}"), TextColumn("left {task.fields[left]}"),
                console=console or Console(stderr=True), auto_refresh=False,
                # Lines for standard output stay there unless it is the terminal the display is on.
                redirect_stdout=sys.stdout.isatty())

    @property
    def enabled(self):
        return self._progress is not None

    def __enter__(self):
        if self._progress is not None:
            # The line exists before the display starts, and the first drawing waits for the first
            # interval: rich would otherwise draw on each of these steps.
            self._task = self._progress.add_task("starting", total=None, rate="", left="-:--:--")
            self._progress.live.start(refresh=False)
            self._drawn = time.monotonic()
        return self

    def __exit__(self, *exc):
        if self._progress is not None:
            self._apply()
            self._progress.stop()  # draws the last state
        return False

    def on_card(self, risk, card, index, count, prompts):
        """Called before each card is answered (screening_job.screen's on_card)."""
        self._card = {"description": f"{risk} {index}/{count} {card}", "total": prompts}
        self._state = {"done": 0, "total": prompts, "rate": 0.0}
        self._redraw()

    def on_prompts(self, state):
        """The scoring function's progress callback: {"done", "total", "rate", ...}."""
        self._state = state
        self._redraw()

    # Callbacks only keep the latest state; it is handed to rich when a drawing is due, so the
    # screening pays for neither rich's bookkeeping nor its drawing between two drawings.
    def _redraw(self):
        if self._progress is None:
            return
        now = time.monotonic()
        if now - self._drawn >= _REDRAW_INTERVAL:
            self._drawn = now
            self._apply()
            self._progress.refresh()

    def _apply(self):
        done, total, rate = self._state["done"], self._state["total"], self._state.get("rate") or 0.0
        self._progress.update(self._task, description=self._card["description"], completed=done, total=total,
                              rate=f"{rate:.1f} prompts/s" if rate else "", left=_time_left(done, total, rate))


class _WithoutRiskLines:
    """Standard output without the evaluator's "Processing <risk>" lines (its other lines pass)."""

    def __init__(self, stream):
        self._stream, self._line = stream, ""

    def write(self, text):
        self._line += text
        *lines, self._line = self._line.split("\n")
        for line in lines:
            if not line.startswith("Processing "):
                self._stream.write(line + "\n")
        return len(text)

    def flush(self):
        self._stream.flush()

    def close_line(self):
        if self._line and not self._line.startswith("Processing "):
            self._stream.write(self._line)


@contextlib.contextmanager
def without_risk_lines(quiet):
    """With `quiet`, the screening inside prints no "Processing <risk>" line; otherwise a no-op."""
    if not quiet:
        yield
        return
    stream = sys.stdout
    sys.stdout = filtered = _WithoutRiskLines(stream)
    try:
        yield
    finally:
        filtered.close_line()
        sys.stdout = stream
