"""Faults at every write position of a console run: whatever goes wrong, the run leaves nothing of
itself on the console, or the error it raises names exactly what is left."""

import os
import signal
import threading

import pandas as pd
import pytest

from fake_console import (no_secret_in_logs, CLOUD_APIKEY, SECRETS, WRITE_FAULTS, Reply, console, tls_files,  # noqa: F401
                          token_service)

CARD = {"score": 0.8, "score_name": "accuracy", "accuracy": 0.8, "num_of_instances": 3}
RUN_RISKS = ("harmful-output", "toxic-output")
# Three cards of three published metrics each: 18 writes, a metric object then its value.
WRITES = 18
FIRST_RUN_OBJECT = "5003"  # 5001 and 5002 are the metric stored before the run
POSITIONS = {"first object": 0, "first value": 1, "middle object": WRITES // 2 - 1, "middle value": WRITES // 2,
             "last object": WRITES - 2, "last value": WRITES - 1}


@pytest.fixture
def library(catalogue, fake_corvex, no_judge_env):
    catalogue({"harmful-output": ["cards.a", "cards.b"], "toxic-output": ["cards.c"], "output-bias": ["cards.d"]})
    for card in ("cards.a", "cards.b", "cards.c"):
        fake_corvex.datasets[card] = [{"source": card + " p1"}]
        fake_corvex.global_metrics[card] = CARD
    return fake_corvex


def answers(table):
    return pd.DataFrame({"generated_text": ["answer"] * len(table)})


def interrupt_once_held(console):
    """Ctrl-C as a user gives it: SIGINT to this process, once the console holds a write."""
    def send():
        if console.holding.wait(20):
            os.kill(os.getpid(), signal.SIGINT)

    thread = threading.Thread(target=send, daemon=True)
    thread.start()
    return thread


def left_of_run(console):
    return {i for i, o in console.objects.items() if o.parent == "MOD-1" and o.name.split(", ")[0] in RUN_RISKS}


@pytest.mark.parametrize("refused_delete", [False, True], ids=["deletes-work", "first-delete-refused"])
@pytest.mark.parametrize("fault", [*WRITE_FAULTS, "ctrl-c"])
@pytest.mark.parametrize("position", POSITIONS.values(), ids=POSITIONS.keys())
def test_a_faulty_write_leaves_nothing_or_names_what_is_left(smh, console, token_service, library, position, fault,
                                                             refused_delete):
    console.add_model("granite-x", "MOD-1")
    console.store("MOD-1", "output-bias, cards.d, score", 0.3)  # not the run's: stays whatever happens
    console.write_faults[position] = "no-answer" if fault == "ctrl-c" else fault
    if refused_delete:
        console.delete_faults[FIRST_RUN_OBJECT] = Reply.of({"code": 403, "message": "forbidden"}, 403)
    credentials = dict(vn_url=console.url_with_user, vn_apikey=CLOUD_APIKEY, vn_model_id="granite-x",
                       vn_write_timeout=0.5 if fault == "no-answer" else 20)
    evaluator = smh.EvaluateFMRisk(credentials, "granite-x", list(RUN_RISKS), answers)
    if fault == "ctrl-c":
        interrupt_once_held(console)

    with pytest.raises(BaseException) as excinfo:
        evaluator.screen_model_hazards()

    message = str(excinfo.value)
    if fault == "ctrl-c":
        assert type(excinfo.value) is KeyboardInterrupt
    else:
        assert type(excinfo.value) is Exception
        failed_write = "Unable to add metric value to metric object" if position % 2 else "Unable to create metrics object"
        assert message.startswith(failed_write + ", please try again")
    assert console.writes == position + 1  # nothing written after the fault
    left = left_of_run(console)
    assert left == ({FIRST_RUN_OBJECT} if refused_delete else set())
    if left:
        assert set(message.rsplit("(remove them by hand): ", 1)[1].split(", ")) == left
    else:
        assert "remove them by hand" not in message
    assert [o.name for o in console.objects.values() if o.id not in left] == ["output-bias, cards.d, score"]
