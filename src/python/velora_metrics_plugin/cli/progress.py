"""The progress display of a screening on standard error: the card being answered, prompts done of
total, rate and time left. Redrawn at most ten times a second from the caller's thread (no thread
of its own), so it costs the screening next to nothing."""

import sys
import time

_REDRAW_INTERVAL = 0.1


def _time_left(done, total, rate):
    if not rate or done >= total:
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
            self._progress.start()
        return self

    def __exit__(self, *exc):
        if self._progress is not None:
            self._progress.stop()
        return False

    def on_card(self, risk, card, index, count, prompts):
        """Called before each card is answered (screening_job.screen's on_card)."""
        if self._progress is None:
            return
        if self._task is not None:
            self._progress.update(self._task, visible=False)
        self._task = self._progress.add_task(f"{risk} {index}/{count} {card}", total=prompts,
                                             rate="", left="-:--:--")
        self._redraw(force=True)

    def on_prompts(self, state):
        """The scoring function's progress callback: {"done", "total", "rate", ...}."""
        if self._progress is None or self._task is None:
            return
        done, total, rate = state["done"], state["total"], state.get("rate") or 0.0
        self._progress.update(self._task, completed=done, total=total, rate=f"{rate:.1f} prompts/s",
                              left=_time_left(done, total, rate))
        self._redraw(force=done >= total)

    def _redraw(self, force=False):
        now = time.monotonic()
        if force or now - self._drawn >= _REDRAW_INTERVAL:
            self._drawn = now
            self._progress.refresh()
