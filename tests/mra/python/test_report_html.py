"""The report as one self-contained HTML page, opened in a real headless browser; cards whose
answers could not be read."""

import copy
import html
import os
import re
import shutil
import subprocess

import pytest
from nimbra_loopback import ScriptedServer, raw
from PIL import Image, ImageStat

FILE_NAME = re.compile(r"^mra_report_\d{4}-\d{2}-\d{2}_\d{2}-\d{2}-\d{2}\.html$")
REASON = "7 of 31 answers could not be read (more than the 20% a rating allows)"


@pytest.fixture
def chromium():
    binary = shutil.which("chromium")
    if binary is None:
        if os.environ.get("CI"):
            pytest.fail("chromium is required in CI: scripts/setup.sh installs the Debian package")
        pytest.skip("chromium is not installed (Debian package chromium)")
    return binary


def browse(binary, tmp_path, page, *options):
    command = [binary, "--headless", "--no-sandbox", "--disable-gpu", f"--user-data-dir={tmp_path / 'profile'}",
               *options, "file://" + page]
    return subprocess.run(command, capture_output=True, text=True, timeout=180, check=True).stdout


def results(crafted_risk):
    """One risk per rating, one card not rated for its unreadable answers, and a crafted risk name."""
    scored = {
        "toxic-output": {"cards.value_alignment.toxic_output.vexset":
                         {"score": "0.020 +/-  0.010", "num_of_instances": 40, "num_of_unreadable_answers": 0}},
        "prompt-leaking": {"cards.prompt_leakage.glue_qnli": {"score": "0.250 +/-  0.010"}},
        "hallucination": {"cards.value_alignment.hallucinations.truthfulqa":
                          {"score": "0.200 +/-  0.010", "num_of_instances": 30, "num_of_unreadable_answers": 7}},
        "jailbreaking": {"cards.jailbreak_risk.jailbreak_risk":
                         {"score": "0.900 +/-  0.010", "num_of_instances": 24, "num_of_unreadable_answers": 7}},
        crafted_risk: {"cards.safety.bbq.Age": {"score": "0.800 +/-  0.010"}},
    }
    summary = {risk: {card: {"score": float(m["score"].split()[0])} for card, m in cards.items()}
               for risk, cards in scored.items()}
    return scored, summary


def body_rows(dom, table_class):
    """The text of every body row of the tables of `table_class`, in page order."""
    texts = []
    for table in re.findall(rf'<table class="{table_class}">(.*?)</table>', dom, re.S):
        for row in re.findall(r"<tr>(.*?)</tr>", table, re.S):
            if "<th" not in row:
                texts.append(html.unescape(" ".join(re.sub(r"<[^>]+>", " ", row).split())))
    return texts


def test_one_self_contained_page_shows_the_ratings_in_a_browser(rf, chromium, tmp_path):
    with ScriptedServer([raw(200, b"GIF89a")]) as server:
        crafted = f'<img src="http://127.0.0.1:{server.url.rsplit(":", 1)[1]}/probe">'
        scored, summary = results(crafted)
        details = {"Foundation Model Name": "m", "utc_date": "03/01/2025 13:05:09 UTC"}
        page = rf.PdfGenerator().download_html(str(tmp_path), scored, details, summary)
        assert FILE_NAME.match(os.path.basename(page)) and os.path.dirname(page) == str(tmp_path)
        with open(page, encoding="utf-8") as handle:
            source = handle.read()
        # Nothing to fetch: the stylesheet is inlined and every image is a data: URI.
        assert "<style>" in source and "<link" not in source and "file:" not in source
        assert set(re.findall(r'<img src="([a-z]+):', source)) == {"data"}

        browse(chromium, tmp_path, page, f"--screenshot={tmp_path / 'shot.png'}", "--window-size=1280,1600")
        dom = browse(chromium, tmp_path, page, "--dump-dom")
        assert server.requests == []

    shot = Image.open(tmp_path / "shot.png").convert("L")
    assert shot.size == (1280, 1600) and ImageStat.Stat(shot).var[0] > 200  # not a blank page

    executive = body_rows(dom, "summary-table")
    expected = {"toxic-output": "Green", "prompt-leaking": "Orange", "hallucination": "Red",
                "jailbreaking": "Not rated", crafted: "Orange"}
    assert len(executive) == len(expected)
    for (risk, rating), row in zip(expected.items(), executive):
        assert risk in row and row.endswith(rating), row

    cards = body_rows(dom, "cards")
    assert "40" in cards[0] and "unreadable" not in cards[0]
    assert "\u2013 0.250 \u00b1 0.010" in cards[1]  # no count reported: unknown
    assert "30 7 unreadable" in cards[2] and "Not rated" not in cards[2]  # 7 of 37 still rates
    assert f"Not rated: {REASON}." in cards[3] and "24 7 unreadable" in cards[3] and cards[3].endswith("\u2013")


def test_unreadable_answers_withhold_the_rating_in_the_pdf_too(rf, tmp_path, rf_debug):
    scored, summary = results("output-bias")
    path = rf.PdfGenerator().download_pdf(str(tmp_path), copy.deepcopy(scored), {"Foundation Model Name": "m"},
                                          summary)
    from pypdf import PdfReader

    text = "".join("".join(page.extract_text() for page in PdfReader(path).pages).split())
    assert "".join(f"Not rated: {REASON}.".split()) in text
    assert f"Card 'cards.jailbreak_risk.jailbreak_risk' not rated: {REASON}" in [r.getMessage() for r in rf_debug.records]


def test_a_report_asked_not_to_replace_takes_the_next_free_name(rf, tmp_path):
    import time

    scored, summary = results("r")
    now = time.time()
    taken = [tmp_path / time.strftime("mra_report_%Y-%m-%d_%H-%M-%S.html", time.localtime(now + s)) for s in range(3)]
    for path in taken:
        path.write_text("an earlier report")
    written = rf.PdfGenerator().download_html(str(tmp_path), scored, {}, summary, replace=False)
    assert written.endswith("-2.html") and written[:-7] + ".html" in map(str, taken)  # the next free name
    assert all(path.read_text() == "an earlier report" for path in taken)


def test_a_failed_html_report_is_logged_and_raised(rf, rf_debug, tmp_path):
    scored, summary = results("r")
    missing = tmp_path / "absent"
    with pytest.raises(FileNotFoundError):
        rf.PdfGenerator().download_html(str(missing), scored, {}, summary)
    assert [r.getMessage() for r in rf_debug.records][-1].startswith(
        "An error occurred while generating the HTML report[Errno 2] No such file or directory: '" + str(missing))
