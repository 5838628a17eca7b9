"""No secret in what a user sees: log lines (the package's loggers at debug level, and every other
logger that reaches the root), exception texts (with their causes and contexts) and printed lines.
A test names its distinctive secrets with `secret_watch.guard(...)`; when the test is done, any
piece of eight characters of one (the whole of a shorter one) in those texts fails it, so a key cut
in two by a shortened message is caught as well as a whole one.

Use it as a fixture: `from secret_watch import secret_watch`, or through `no_secret_in_logs` of the
console tests. Record an exception with `secret_watch.raises(...)` (pytest.raises that also checks
the exception) or `secret_watch.exception(error)`."""

import contextlib
import logging

import pytest

PIECE = 8
LOGGERS = ("velora_metrics_plugin.mra.screen_model_hazard", "velora_metrics_plugin.mra.report_forge",
           "velora_nimbra_ai", "corvex")


class SecretWatch:
    def __init__(self):
        self.secrets = []
        self.texts = []

    def guard(self, *secrets):
        self.secrets.extend(secrets)

    def exception(self, error):
        seen = set()
        while error is not None and id(error) not in seen:
            seen.add(id(error))
            self.texts += [str(error), repr(error)]
            error = error.__cause__ or error.__context__

    @contextlib.contextmanager
    def raises(self, kind, **kwargs):
        with pytest.raises(kind, **kwargs) as caught:
            yield caught
        self.exception(caught.value)

    def leaked(self, text):
        """The secrets of which a piece is in `text`."""
        def pieces(secret):
            size = min(PIECE, len(secret))
            return {secret[i:i + size] for i in range(len(secret) - size + 1)}
        return [secret for secret in self.secrets if any(piece in text for piece in pieces(secret))]

    def check(self, texts):
        for text in texts:
            assert not self.leaked(text), f"a secret shows in: {text!r}"


@pytest.fixture
def secret_watch(caplog, capsys):
    caplog.set_level(logging.DEBUG)
    for name in LOGGERS:
        caplog.set_level(logging.DEBUG, logger=name)
    watch = SecretWatch()
    yield watch
    printed = capsys.readouterr()
    watch.check([record.getMessage() for record in caplog.records] + watch.texts + [printed.out, printed.err])
