"""Benchmark-corpus interpretation of report_forge: reading the corpus CSV, reading score strings
back, rating scores against the corpus and folding card ratings into risk ratings."""

import csv
import math
import random

import numpy as np
import pytest

from conftest import rf_messages


def write(tmp_path, text, name="corpus.csv"):
    path = tmp_path / name
    path.write_text(text)
    return str(path)


# --- reading the corpus file -------------------------------------------------------------------

def test_reads_rows_in_file_order_and_logs_each_rejected_row(rf, rf_debug, tmp_path):
    path = write(tmp_path, "\n".join([
        "card,Higher-Better,lower,upper,scores",
        "cards.a,true,0.2, 0.8 ,\"[0.1, , 0.3]\"",
        "cards.short,TRUE,0.1",
        "cards.blank, TRUE,0.1,0.2,[]",
        "cards.bounds,FALSE,abc,0.2,[]",
        "cards.semicolon,FALSE,0.1,0.2,\"[0.1; 0.3]\"",
        "cards.a,FALSE,0.0,1.0,[]",
        "cards.b,False,1e-1,inf,,ignored,columns",
    ]) + "\n")
    table = rf.read_corpus_file(path)
    assert list(table) == ["cards.a", "cards.b"]
    assert table["cards.a"] == [True, 0.2, 0.8, [0.1, 0.3]]
    assert table["cards.b"] == [False, 0.1, math.inf, []]
    assert type(table["cards.a"][0]) is bool and type(table["cards.a"][1]) is float
    assert rf_messages(rf_debug) == [
        "Unexpected boolean value: Higher-Better",
        "Skipping malformed row: ['cards.short', 'TRUE', '0.1']",
        "Unexpected boolean value:  TRUE",
        "Invalid bounds in row: ['cards.bounds', 'FALSE', 'abc', '0.2', '[]']",
        "Invalid corpus score list: [0.1; 0.3]",
        "Duplicate card name found: cards.a",
    ]


def test_white_space_around_numbers_is_what_float_and_strip_accept(rf, rf_debug, tmp_path):
    # float() takes Unicode spaces but not the ASCII separators \x1c-\x1f; str.strip() takes both.
    path = write(tmp_path, "cards.x,TRUE,\u00a00.25\u3000,0.5,\"[\u2003 0.1 ,\x1c0.2\x1f,\u00a0]\"\n"
                           "cards.y,TRUE,\x1c0.25,0.5,[]\n")
    assert rf.read_corpus_file(path) == {"cards.x": [True, 0.25, 0.5, [0.1, 0.2]]}
    assert rf_messages(rf_debug) == ["Invalid bounds in row: ['cards.y', 'TRUE', '\\x1c0.25', '0.5', '[]']"]


def test_a_blank_line_is_a_malformed_empty_row(rf, rf_debug, tmp_path):
    assert rf.read_corpus_file(write(tmp_path, "\ncards.x,TRUE,0,1,[1]\n")) == {"cards.x": [True, 0.0, 1.0, [1.0]]}
    assert rf_messages(rf_debug) == ["Skipping malformed row: []"]


@pytest.mark.parametrize("path_type", [str, lambda p: p])
def test_a_missing_file_fails_with_the_platform_file_error(rf, tmp_path, path_type):
    missing = tmp_path / "absent.csv"
    with pytest.raises(FileNotFoundError) as error:
        rf.read_corpus_file(path_type(missing))
    assert str(error.value) == f"[Errno 2] No such file or directory: '{missing}'"


def test_a_folder_is_not_a_corpus_file(rf, tmp_path):
    with pytest.raises(IsADirectoryError):
        rf.read_corpus_file(str(tmp_path))


def test_undecodable_bytes_fail_as_in_a_text_read(rf, tmp_path):
    path = tmp_path / "latin1.csv"
    path.write_bytes(b"cards.\xe9,TRUE,0,1,[]\n")
    with pytest.raises(UnicodeDecodeError):
        rf.read_corpus_file(str(path))


def reference_read(path):
    """The corpus reading rules written out in Python, for comparison on generated files."""
    table, log = {}, []
    with open(path) as handle:
        for row in csv.reader(handle):
            if len(row) < 5:
                log.append(f"Skipping malformed row: {row}")
                continue
            flag = row[1].upper()
            if flag not in ("TRUE", "FALSE"):
                log.append(f"Unexpected boolean value: {row[1]}")
                continue
            try:
                lower, upper = float(row[2]), float(row[3])
            except ValueError:
                log.append(f"Invalid bounds in row: {row}")
                continue
            try:
                scores = [float(p.strip()) for p in row[4].strip("[]").split(",") if p.strip()]
            except ValueError:
                log.append(f"Invalid corpus score list: {row[4]}")
                continue
            if row[0] in table:
                log.append(f"Duplicate card name found: {row[0]}")
                continue
            table[row[0]] = [flag == "TRUE", lower, upper, scores]
    return table, log


NAMES = ["cards.a", "cards.b", "cards.c", "cards.a ", "é", "card,with comma", 'say "hi"']
FLAGS = ["TRUE", "FALSE", "true", "False", "fal\u017fe", " TRUE", "TRUE ", "yes", "Higher-Better", ""]
NUMBERS = ["0.5", " 0.25 ", "1e-3", "nan", "-inf", "1_000", "\t0.7\t", "\x1c0.3\x1f", "x", "", "0x10", "1__0"]
SCORE_LISTS = ["[0.1, 0.2]", "[0.1, , 0.3]", "[]", "", "[[0.4]]", "0.5,0.6", "[0.1; 0.2]", "[1,[2]",
               "[ 1e2 , -0 ]", "[nan, inf]", "[a]"]


def quoted(rng, text):
    if rng.random() < 0.3 or any(c in text for c in ',"\n'):
        return '"' + text.replace('"', '""') + '"'
    return text


def random_line(rng):
    if rng.random() < 0.1:
        return ",".join(quoted(rng, rng.choice(NUMBERS)) for _ in range(rng.randint(0, 4)))
    fields = [rng.choice(NAMES), rng.choice(FLAGS) if rng.random() < 0.5 else rng.choice(FLAGS[:4]),
              rng.choice(NUMBERS[:7]) if rng.random() < 0.8 else rng.choice(NUMBERS),
              rng.choice(NUMBERS[:7]) if rng.random() < 0.8 else rng.choice(NUMBERS),
              rng.choice(SCORE_LISTS[:6]) if rng.random() < 0.7 else rng.choice(SCORE_LISTS)]
    fields += ["extra"] * rng.randint(0, 2)
    return ",".join(quoted(rng, field) for field in fields)


@pytest.mark.parametrize("seed", range(40))
def test_agrees_with_the_reference_rules_on_generated_files(rf, rf_debug, tmp_path, seed):
    rng = random.Random(seed)
    lines = [random_line(rng) for _ in range(rng.randint(1, 12))]
    newline = rng.choice(["\n", "\r\n", "\r"])
    path = tmp_path / "generated.csv"
    path.write_bytes(newline.join(lines).encode())
    expected, expected_log = reference_read(path)
    got = rf.read_corpus_file(str(path))
    assert repr(got) == repr(expected)  # repr keeps nan == nan and key order
    assert rf_messages(rf_debug) == expected_log


# --- extracting the numeric value -----------------------------------------------------------

@pytest.mark.parametrize("text, expected", [
    ("0.8123 +/- 0.0150", 0.8123),
    ("0.800 +/-  0.050", 0.8),
    ("0.8123", 0.8123),
    ("  -1.5  ", -1.5),
    ("inf +/- nan", math.inf),
    ("1 +/- 2 +/- 3", 1.0),
])
def test_extract_numeric_value_reads_the_part_before_the_separator(rf, text, expected):
    assert rf.extract_numeric_value(text) == expected
    assert rf.extract_numeric_value(score_str=text) == expected


def test_extract_numeric_value_reads_nan(rf):
    assert math.isnan(rf.extract_numeric_value("nan +/-  0.010"))


@pytest.mark.parametrize("text", ["0.8123±0.0150", "0.8 +/-0.1", "", "abc +/- 0.1"])
def test_extract_numeric_value_fails_on_a_non_number(rf, text):
    with pytest.raises(ValueError, match="could not convert string to float"):
        rf.extract_numeric_value(text)


@pytest.mark.parametrize("value", [0.8, None, b"0.8", ["0.8"]])
def test_extract_numeric_value_wants_a_string(rf, value):
    with pytest.raises(TypeError):
        rf.extract_numeric_value(value)


# --- rating one score -----------------------------------------------------------------------

CORPUS = {
    "cards.up": [True, 2.0, 3.0, [1.0, 2.0, 3.0, 4.0]],
    "cards.down": [False, 2.0, 3.0, [1.0, 2.0, 3.0, 4.0]],
    "cards.empty": [True, 0.2, 0.4, []],
}


@pytest.mark.parametrize("card, score, expected", [
    ("cards.up", 3, (62.5, "ORANGE", (25, 75))),   # equal to the upper bound: still Orange
    ("cards.up", 3.5, (75.0, "GREEN", (25, 75))),
    ("cards.up", 1.5, (25.0, "RED", (25, 75))),
    ("cards.up", 2, (37.5, "ORANGE", (25, 75))),
    ("cards.down", 3, (37.5, "ORANGE", (25, 75))),
    ("cards.down", 1.5, (75.0, "GREEN", (25, 75))),
    ("cards.down", 3.5, (25.0, "RED", (25, 75))),
    ("cards.up", np.float64(3.5), (75.0, "GREEN", (25, 75))),
])
def test_rates_against_the_stored_bounds_by_default(rf, card, score, expected):
    assert rf.evaluate_metrics_score_percentile(CORPUS, card, score) == expected


def test_custom_pair_uses_corpus_percentiles_and_mirrors_for_lower_is_better(rf):
    # Corpus 10th and 80th percentiles: 1.3 and 3.4.
    assert rf.evaluate_metrics_score_percentile(CORPUS, "cards.down", 1.2, (10, 80)) == (75.0, "GREEN", (20, 90))
    assert rf.evaluate_metrics_score_percentile(CORPUS, "cards.down", 3.5, [10, 80]) == (25.0, "RED", (20, 90))
    assert rf.evaluate_metrics_score_percentile(CORPUS, "cards.up", 1.2, (10, 80)) == (25.0, "RED", (10, 80))
    assert rf.evaluate_metrics_score_percentile(CORPUS, "cards.up", 3.4, (10.0, 80.0)) == (75.0, "ORANGE", (10.0, 80.0))


def test_an_empty_custom_pair_means_the_default_band(rf):
    assert rf.evaluate_metrics_score_percentile(CORPUS, "cards.up", 3.5, ()) == (75.0, "GREEN", (25, 75))


def test_an_unknown_card_is_unrated_and_logged(rf, rf_debug):
    assert rf.evaluate_metrics_score_percentile(CORPUS, "cards.nope", 1) == (None, None, None)
    assert rf.evaluate_metrics_score_percentile({"cards.x": []}, "cards.x", 1) == (None, None, None)
    assert rf_messages(rf_debug) == ["Card 'cards.nope' not found in corpus data.",
                                     "Card 'cards.x' not found in corpus data."]


@pytest.mark.parametrize("corpus, thresholds, message", [
    (CORPUS, (10, 50, 80), "too many values to unpack (expected 2)"),
    (CORPUS, (10,), "not enough values to unpack (expected 2, got 1)"),
    (CORPUS, (10, 180), "Percentiles must be in the range [0, 100]"),
    ({"cards.up": [True, 1, 2]}, None, "not enough values to unpack (expected 4, got 3)"),
    ({"cards.up": [True, "low", 2, [1]]}, None, None),
])
def test_a_failure_while_rating_is_logged_and_unrated(rf, rf_debug, corpus, thresholds, message):
    assert rf.evaluate_metrics_score_percentile(corpus, "cards.up", 1.5, thresholds) == (None, None, None)
    (line,) = rf_messages(rf_debug)
    assert line.startswith("Error evaluating score for 'cards.up': ")
    if message:
        assert line == "Error evaluating score for 'cards.up': " + message


def test_an_empty_corpus_rates_on_the_bounds_with_a_nan_percentile(rf, rf_debug):
    percentile, category, band = rf.evaluate_metrics_score_percentile(CORPUS, "cards.empty", 0.5)
    assert math.isnan(percentile) and (category, band) == ("GREEN", (25, 75))
    assert rf.evaluate_metrics_score_percentile(CORPUS, "cards.empty", 0.5, (10, 90)) == (None, None, None)


@pytest.mark.parametrize("thresholds", [None, (10, 90)])
@pytest.mark.parametrize("entry, score, reason", [
    (CORPUS["cards.up"], math.nan, "the score is not a number"),
    (CORPUS["cards.down"], np.float64("nan"), "the score is not a number"),
    ([True, math.nan, 3.0, [1.0, 2.0, 4.0]], 2.5, "the corpus row holds a value that is not a number"),
    ([False, 2.0, 3.0, [1.0, math.nan, 4.0]], 2.5, "the corpus row holds a value that is not a number"),
])
def test_nan_is_not_rated(rf, rf_debug, entry, score, reason, thresholds):
    assert rf.evaluate_metrics_score_percentile({"cards.n": entry}, "cards.n", score, thresholds) == (None, None, None)
    assert rf_messages(rf_debug) == ["Error evaluating score for 'cards.n': " + reason]


def test_nan_in_a_corpus_file_or_a_score_string_leaves_its_risk_unrated(rf, tmp_path):
    corpus = rf.read_corpus_file(write(tmp_path, 'cards.a,TRUE,0.2,0.4,"[0.1, nan, 0.5]"\n'
                                                 'cards.b,TRUE,0.2,0.4,"[0.1, 0.5]"\n'))
    got = rf.get_metrics_interpretation_using_corpus_data(
        corpus, {"r1": {"cards.a": {"score": 0.3}}, "r2": {"cards.b": {"score": "nan +/-  nan"}}})
    assert [card["category"] for risk in got.values() for card in risk.values()] == [None, None]
    assert [card["percentile"] for risk in got.values() for card in risk.values()] == [None, None]
    assert rf.determine_risk_category(got) == {"r1": None, "r2": None}


def reference_rating(entry, score, pair):
    higher, lower_bound, upper_bound, scores = entry
    a = np.asarray(scores)
    raw = ((a < score).sum() + (a <= score).sum()) * 50.0 / len(a)
    low_pct, up_pct = pair if pair else (25, 75)
    low_t, up_t = ((round(float(np.percentile(a, low_pct)), 4), round(float(np.percentile(a, up_pct)), 4))
                   if pair else (lower_bound, upper_bound))
    if not higher:
        raw = 100 - raw
        low_pct, up_pct = 100 - up_pct, 100 - low_pct
        category = "GREEN" if score < low_t else "RED" if score > up_t else "ORANGE"
    else:
        category = "RED" if score < low_t else "GREEN" if score > up_t else "ORANGE"
    return round(float(raw), 1), category, (low_pct, up_pct)


@pytest.mark.parametrize("seed", range(30))
def test_agrees_with_the_array_library_on_generated_corpora(rf, seed):
    rng = random.Random(seed)
    for _ in range(20):
        scores = [round(rng.random(), rng.choice([1, 2, 3, 6])) for _ in range(rng.randint(1, 12))]
        entry = [rng.random() < 0.5, *sorted(rng.sample(scores, 2) if len(scores) > 1 else scores * 2), scores]
        score = rng.choice(scores + [round(rng.random(), 3)])
        low = rng.choice([0, 5, 10, 12.5, 25, 33.3])
        pair = rng.choice([None, (low, rng.choice([50, 66.6, 75, 90, 100]))])
        got = rf.evaluate_metrics_score_percentile({"cards.g": entry}, "cards.g", score, pair)
        assert got == reference_rating(entry, score, pair), (entry, score, pair)


# --- a whole result set, and folding ratings ------------------------------------------------

def test_interprets_every_card_in_order_keeping_unknown_cards(rf):
    results = {
        "risk-b": {"cards.up": {"score": "3.500 +/-  0.100"}, "cards.nope": {"score": 0.4}},
        "risk-a": {"cards.down": {"score": 1.5, "other": 1}},
        "risk-empty": {},
    }
    got = rf.get_metrics_interpretation_using_corpus_data(
        corpus_data=CORPUS, risks_metrics_results=results, custom_percentile_thresholds=None)
    assert list(got) == ["risk-b", "risk-a", "risk-empty"]
    assert list(got["risk-b"]) == ["cards.up", "cards.nope"]
    assert got["risk-b"]["cards.up"] == {"score": 3.5, "percentile": 75.0, "category": "GREEN",
                                         "percentile_ranges_lower_upper": (25, 75)}
    assert list(got["risk-b"]["cards.up"]) == ["score", "percentile", "category", "percentile_ranges_lower_upper"]
    assert got["risk-b"]["cards.nope"] == {"score": 0.4, "percentile": None, "category": None,
                                           "percentile_ranges_lower_upper": None}
    assert got["risk-a"]["cards.down"]["category"] == "GREEN"
    assert got["risk-empty"] == {}
    assert rf.determine_risk_category(got) == {"risk-b": None, "risk-a": "GREEN", "risk-empty": "GREEN"}


def test_custom_pair_reaches_every_card(rf):
    got = rf.get_metrics_interpretation_using_corpus_data(CORPUS, {"r": {"cards.down": {"score": 1.2}}}, (10, 80))
    assert got["r"]["cards.down"]["percentile_ranges_lower_upper"] == (20, 90)


@pytest.mark.parametrize("results, error", [
    ({"r": {"cards.up": {"value": 1}}}, KeyError),
    ({"r": {"cards.up": {"score": "1.0 ± 0.1"}}}, ValueError),
])
def test_a_card_without_a_readable_score_ends_the_call(rf, results, error):
    with pytest.raises(error):
        rf.get_metrics_interpretation_using_corpus_data(CORPUS, results)


@pytest.mark.parametrize("categories, expected", [
    (["GREEN", "ORANGE"], "ORANGE"),
    (["GREEN", None, "RED"], None),
    (["ORANGE", "RED", "GREEN"], "RED"),
    (["GREEN", "GREEN"], "GREEN"),
    ([], "GREEN"),
    ([None], None),
])
def test_folding_card_ratings(rf, categories, expected):
    assert rf._determine_risk_category(categories) == expected


def test_a_card_without_category_key_counts_as_absent(rf):
    assert rf.determine_risk_category({"r": {"c1": {"category": "GREEN"}, "c2": {}}}) == {"r": None}
