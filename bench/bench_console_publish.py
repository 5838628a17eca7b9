"""Cost of our metric publishing over the HTTP requests themselves.

Against the loopback HTTPS console of the tests (tests/support/fake_console.py), in one run, two
measurements, each against the same 400 POSTs (same URL, headers and bodies, each value's parent
taken from its object's answer) made with bare libcurl driven through ctypes (no certificate check):

  run:    a console run (screen_model_hazards) whose evaluation yields 200 metric values; timed
          from its first publish to its last (read off the run's own debug lines). A run keeps
          one connection for all its requests, so the yardstick is one kept-alive easy handle,
          connected before its clock starts. This is the ratio we hold to: at most 1.3.
  calls:  200 separate calls of EvaluateFMRisk.publish_metrics_to_varnel; every call opens and
          closes its own connection, so the yardstick is one easy handle per object/value pair.

Rounds alternate between the variants. Printed are the ratios of the medians and of the minima
(on a loaded machine noise only ever adds time, so the minima are the steadier estimate).

    PYTHONPATH=build/<name>/python .venv/bin/python bench/bench_console_publish.py [--values N] [--rounds R]
"""

import argparse
import contextlib
import ctypes
import ctypes.util
import io
import json
import logging
import pathlib
import statistics
import sys
import tempfile
import time
import types

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "support"))

from fake_console import CONSOLE_TOKEN, FakeConsole, make_certificate  # noqa: E402

HEADER = {"Content-Type": "application/json", "Accept": "application/json", "Authorization": "Bearer " + CONSOLE_TOKEN}
MODEL_ID = "MOD-BENCH"

# libcurl option numbers (curl.h): LONG = 0, OBJECTPOINT = 10000, FUNCTIONPOINT = 20000.
CURLOPT_URL = 10002
CURLOPT_POSTFIELDS = 10015
CURLOPT_HTTPHEADER = 10023
CURLOPT_POSTFIELDSIZE = 60
CURLOPT_POST = 47
CURLOPT_NOSIGNAL = 99
CURLOPT_SSL_VERIFYPEER = 64
CURLOPT_SSL_VERIFYHOST = 81
CURLOPT_WRITEFUNCTION = 20011
WRITE_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_size_t, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t, ctypes.c_void_p)


class BareCurl:
    """The minimum of libcurl calls for one POST on an easy handle."""

    def __init__(self):
        self.lib = ctypes.CDLL(ctypes.util.find_library("curl") or "libcurl.so.4")
        self.lib.curl_easy_init.restype = ctypes.c_void_p
        self.lib.curl_slist_append.restype = ctypes.c_void_p
        self.lib.curl_slist_append.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
        self.lib.curl_easy_perform.argtypes = [ctypes.c_void_p]
        self.lib.curl_easy_cleanup.argtypes = [ctypes.c_void_p]
        self.lib.curl_global_init(ctypes.c_long(3))
        self.headers = None
        for name, value in HEADER.items():
            self.headers = self.lib.curl_slist_append(self.headers, f"{name}: {value}".encode())
        self.headers = self.lib.curl_slist_append(self.headers, b"Expect:")
        self.answer = bytearray()
        self.callback = WRITE_CALLBACK(self._keep)

    def _keep(self, data, size, count, _user):
        self.answer += ctypes.string_at(data, size * count)
        return size * count

    def handle(self):
        curl = ctypes.c_void_p(self.lib.curl_easy_init())
        setopt = self.lib.curl_easy_setopt
        setopt(curl, CURLOPT_HTTPHEADER, ctypes.c_void_p(self.headers))
        setopt(curl, CURLOPT_NOSIGNAL, ctypes.c_long(1))
        setopt(curl, CURLOPT_SSL_VERIFYPEER, ctypes.c_long(0))
        setopt(curl, CURLOPT_SSL_VERIFYHOST, ctypes.c_long(0))
        setopt(curl, CURLOPT_WRITEFUNCTION, self.callback)
        setopt(curl, CURLOPT_POST, ctypes.c_long(1))
        return curl

    def post(self, curl, url, body):
        self.answer.clear()
        self.lib.curl_easy_setopt(curl, CURLOPT_URL, ctypes.c_char_p(url))
        self.lib.curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, ctypes.c_long(len(body)))
        self.lib.curl_easy_setopt(curl, CURLOPT_POSTFIELDS, ctypes.c_char_p(body))
        code = self.lib.curl_easy_perform(curl)
        if code != 0:
            raise RuntimeError(f"libcurl error {code}")
        return json.loads(self.answer)["id"]

    def cleanup(self, curl):
        self.lib.curl_easy_cleanup(curl)


CARDS, METRICS_PER_CARD = 20, 10  # 200 published values: "score" and nine others per card


def install_stand_ins(smh):
    """A stand-in evaluation library and a one-risk catalogue, so that the run evaluates offline."""
    from velora_metrics_plugin.mra.mra_api import risk, risk_to_cards

    cards = [f"cards.bench_{i}" for i in range(CARDS)]
    risk.RISK_TALMAR_DICO = {"toxic-output": {"id": "toxic-output", "title": "toxic-output", "cards": cards}}
    risk_to_cards.get_recipe_for_card = lambda card: None
    library = types.ModuleType("corvex")
    library.load_dataset = lambda card=None, **kwargs: [{"source": "prompt", "card": card}]
    scores = {"score": 0.5, "score_name": "m1"}
    scores.update({f"m{k}": [0.1 * k, 0.2, 0.3] for k in range(1, METRICS_PER_CARD)})
    library.evaluate = lambda predictions, data: [{"score": {"global": dict(scores)}}]
    sys.modules["corvex"] = library


class PublishClock(logging.Handler):
    """Times the publishing phase of a run from its own debug lines."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.first = self.last = None

    def emit(self, record):
        message = record.getMessage()
        if message.endswith(":Creating metric object") and self.first is None:
            self.first = record.created
        elif ": Metric Object ID: " in message:
            self.last = record.created


def run_console_run(smh, console):
    import pandas as pd

    logger = logging.getLogger(smh.__name__)
    clock = PublishClock()
    logger.addHandler(clock)
    level = logger.level
    logger.setLevel(logging.DEBUG)
    try:
        evaluator = smh.EvaluateFMRisk({"vn_url": console.orrin_url, "vn_orrin_host": console.orrin_host,
                                        "vn_username": "risk-officer", "vn_orrin_apikey": "orrin-key-77d1a0",
                                        "vn_model_id": "bench-model"}, "bench-model", ["toxic-output"],
                                       lambda table: pd.DataFrame({"generated_text": ["answer"] * len(table)}))
        with contextlib.redirect_stdout(io.StringIO()):  # the run's progress lines
            evaluator.screen_model_hazards()
    finally:
        logger.removeHandler(clock)
        logger.setLevel(level)
    return clock.last - clock.first


def run_metric(i):
    card, k = divmod(i, METRICS_PER_CARD)
    return f"toxic-output, cards.bench_{card}, " + ("score" if k == 0 else f"m{k}"), (
        0.5 if k == 0 else round(sum([0.1 * k, 0.2, 0.3]) / 3, 3))


def metric(i):
    return f"toxic-output, cards.bench_{i // 10}, metric_{i % 10}", [0.1 * (i % 7), 0.05 * (i % 3), 0.3]


def run_ours(smh, evaluator, console, count):
    start = time.perf_counter()
    for i in range(count):
        name, value = metric(i)
        evaluator.publish_metrics_to_varnel(name, value, HEADER, MODEL_ID, console.url)
    return time.perf_counter() - start


def run_bare(smh, curl, console, count, per_pair, named=metric, base=None):
    url = ((base or console.url) + "/api/contents").encode()
    # The bodies our publisher sends, built before the clock starts.
    names = [named(i)[0] for i in range(count)]
    objects = [json.dumps(smh.get_metric_object_payload(MODEL_ID, name), separators=(",", ":")).encode()
               for name in names]
    values = []
    for i in range(count):
        value = named(i)[1]
        values.append(round(sum(value) / len(value) if isinstance(value, list) else value, 4))
    handle = None
    if not per_pair:
        handle = curl.handle()
        curl.post(handle, url, objects[0])  # connected before the clock starts, as a run's connection is
    start = time.perf_counter()
    for i in range(count):
        pair = curl.handle() if per_pair else handle
        object_id = curl.post(pair, url, objects[i])
        payload = smh.get_metric_value_payload(object_id, names[i], values[i])
        curl.post(pair, url, json.dumps(payload, separators=(",", ":")).encode())
        if per_pair:
            curl.cleanup(pair)
    if not per_pair:
        curl.cleanup(handle)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--values", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()

    from velora_metrics_plugin.mra import screen_model_hazard as smh

    console = FakeConsole(make_certificate(pathlib.Path(tempfile.mkdtemp(prefix="bench-console-"))))
    console.add_model("bench-model", MODEL_ID)
    install_stand_ins(smh)
    evaluator = smh.EvaluateFMRisk({"vn_url": console.url}, "bench-model", ["toxic-output"], lambda table: table)
    curl = BareCurl()
    run_values = CARDS * METRICS_PER_CARD
    times = {name: [] for name in ("run", "run_bare", "calls", "calls_bare")}
    try:
        run_ours(smh, evaluator, console, 10)  # warm-up: imports, first handshake
        for _ in range(args.rounds):
            for variant in times:
                console.objects.clear()
                console.requests.clear()
                if variant == "run":
                    times[variant].append(run_console_run(smh, console))
                    assert len(console.objects) == run_values
                elif variant == "run_bare":
                    times[variant].append(run_bare(smh, curl, console, run_values, False, run_metric,
                                                   console.orrin_url))
                elif variant == "calls":
                    times[variant].append(run_ours(smh, evaluator, console, args.values))
                else:
                    times[variant].append(run_bare(smh, curl, console, args.values, True))
                if variant.startswith("calls"):
                    assert len(console.requests) == 2 * args.values and len(console.objects) == args.values
    finally:
        console.close()

    print(f"publishing 200 values (400 POSTs) to the loopback console, {args.rounds} rounds")
    for label, ours, bare, yardstick in (("run", "run", "run_bare", "bare libcurl, one kept-alive handle"),
                                         ("calls", "calls", "calls_bare", "bare libcurl, one handle per pair")):
        median_ours, median_bare = statistics.median(times[ours]), statistics.median(times[bare])
        min_ours, min_bare = min(times[ours]), min(times[bare])
        print(f"  {label:5}  ours median {median_ours:6.3f} s, min {min_ours:6.3f} s;  {yardstick}: median"
              f" {median_bare:6.3f} s, min {min_bare:6.3f} s;  ratio of medians {median_ours / median_bare:.3f},"
              f" of minima {min_ours / min_bare:.3f}" + ("  (target <= 1.3)" if label == "run" else ""))


if __name__ == "__main__":
    main()
