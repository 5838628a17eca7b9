"""The report's prose: pruning cards without metadata, intro/conclusion per risk, the duplication
pointer and the benchmark summary fragment."""


import pytest

from conftest import rf_messages


def meta(card, name, summary=None):
    entry = {"Benchmark Details": {"ID": card, "Name": name}}
    if summary is not None:
        entry["Benchmark Summary"] = summary
    return entry


# --- pruning ---------------------------------------------------------------------------------

def test_pruning_changes_the_callers_dictionaries_in_place(rf, rf_debug):
    inner = {"cards.keep": {"score": 1}, "cards.drop": {"score": 2}, "cards.safety.bbq.Age": {"score": 3}}
    results = {"risk-a": inner, "risk-gone": {"cards.x": {"score": 0}, "cards.y": {"score": 0}}, "risk-b": {}}
    returned = rf.remove_cards_that_do_not_have_metadata(results, ["cards.keep", "cards.other"])
    assert returned is results
    assert results == {"risk-a": {"cards.keep": {"score": 1}, "cards.safety.bbq.Age": {"score": 3}}}
    assert results["risk-a"] is inner
    assert rf_messages(rf_debug) == [
        "The card cards.drop was excluded from the PDF report generation because no metadata was found.",
        "The card cards.x was excluded from the PDF report generation because no metadata was found.",
        "The card cards.y was excluded from the PDF report generation because no metadata was found.",
        "All cards for the risk category 'risk-gone' were removed due to no metadata. Hence removing the empty risks.",
        "All cards for the risk category 'risk-b' were removed due to no metadata. Hence removing the empty risks.",
    ]


def test_pruning_keeps_every_bias_benchmark_card(rf):
    results = {"output-bias": {"cards.safety.bbq.Unlisted": {}, "my.cards.safety.bbq.x": {}, "cards.safety.other": {}}}
    rf.remove_cards_that_do_not_have_metadata(results, [])
    assert list(results["output-bias"]) == ["cards.safety.bbq.Unlisted", "my.cards.safety.bbq.x"]


# --- introduction and conclusion ---------------------------------------------------------------

def test_intro_and_conclusion_name_the_cards_datasets(rf):
    metadata = {"c.a": meta("c.a", "A"), "c.b": meta("c.b", "B"), "c.c": meta("c.c", "C")}
    results = {"one": {"c.a": {}}, "two": {"c.a": {}, "c.b": {}}, "three": {"c.a": {}, "c.b": {}, "c.c": {}}}
    texts = rf.generate_risks_intro_conclusion(results, metadata)
    assert list(texts) == ["one", "two", "three"]
    assert texts["one"] == {
        "intro": "As mentioned earlier, one risk was tested using A dataset. We now outline the results of the "
                 "testing on this dataset and also provide an overview of dataset",
        "conclusion": "This concludes the details of the testing done for the one category using A dataset.",
    }
    assert texts["two"]["intro"].endswith("tested using A and B. We now outline the results of the testing on "
                                          "these two datasets and also provide an overview of these datasets")
    assert texts["three"]["conclusion"] == ("This concludes the details of the testing done for the three category "
                                            "using A, B, and C.")


def test_a_missing_metadata_level_reads_as_none(rf):
    texts = rf.generate_risks_intro_conclusion({"r": {"c.none": {}, "c.nodetails": {}}}, {"c.nodetails": {}})
    assert "tested using None and None." in texts["r"]["intro"]


# --- duplication pointer -----------------------------------------------------------------------

@pytest.mark.parametrize("risk, text, expected", [
    ("jailbreaking", "<h3>PROMPT-INJECTION</h3>",
     "<h3>JAILBREAKING</h3>The JAILBREAKING risk category is evaluated using the same benchmarks as the prompt "
     "injection category mentioned above.<br><br><br>"),
    ("prompt-injection", "<h3>JAILBREAKING</h3>",
     "<h3>PROMPT-INJECTION</h3>The PROMPT-INJECTION risk category is evaluated using the same benchmarks as the "
     "jailbreaking category mentioned above.<br><br><br>"),
    ("jailbreaking", "<h3>TOXIC-OUTPUT</h3>", None),
    ("toxic-output", "JAILBREAKING PROMPT-INJECTION", None),
])
def test_check_duplication_in_summary(rf, risk, text, expected):
    assert rf.check_duplication_in_summary(risk, text) == expected


# --- summary ---------------------------------------------------------------------------------

METADATA = {
    "c.jb": meta("c.jb", "Jailbreak Judge", "Judged jailbreaks."),
    "c.pi": meta("c.pi", "Injection Bench", "Injected instructions."),
    "c.tox": meta("c.tox", "Toxic Set"),
    "cards.safety.bbq.Age": meta("cards.safety.bbq.Age", "BBQ - Age", "Bias family."),
    "cards.safety.bbq.SES": meta("cards.safety.bbq.SES", "BBQ - SES"),
}


@pytest.mark.parametrize("order, pointer_risk", [
    (["prompt-injection", "jailbreaking"], "jailbreaking"),
    (["jailbreaking", "prompt-injection"], "prompt-injection"),
])
def test_whichever_of_jailbreaking_and_prompt_injection_comes_second_is_a_pointer(rf, order, pointer_risk):
    cards = {"jailbreaking": {"c.jb": {}}, "prompt-injection": {"c.pi": {}}}
    summary = rf.generate_summary({risk: cards[risk] for risk in order}, METADATA, {})
    first = order[0].upper()
    assert summary.startswith(f"<h3>{first}</h3>The risk category of {first} was tested using ")
    assert summary.endswith(rf.check_duplication_in_summary(pointer_risk, f"<h3>{first}</h3>") + "<br><br>")
    second_card = "'Injection Bench'" if pointer_risk == "prompt-injection" else "'Jailbreak Judge'"
    assert second_card not in summary


def test_summary_sections_list_benchmarks_and_carry_the_rating_sentence(rf, rf_debug):
    risks = {"toxic-output": {"c.tox": {}, "c.missing": {}}, "harmful-output": {"c.tox": {}, "c.jb": {}}}
    summary = rf.generate_summary(risks, METADATA, {"toxic-output": "ORANGE", "harmful-output": None})
    assert "<h3>TOXIC-OUTPUT</h3>The risk category of TOXIC-OUTPUT was tested using benchmarks such as Toxic Set." in summary
    assert "<li style=\"padding-top: 20px;\" >The 'Toxic Set': No description available</li>" in summary
    assert ("The Model overall score for toxic-output falls within the ORANGE category. "
            + rf.category_description["ORANGE"]) in summary
    assert "<li>The 'Toxic Set' was discussed before for a previous risk category above. </li><br>" in summary
    assert "The 'Jailbreak Judge': Judged jailbreaks.</li>" in summary
    assert "harmful-output falls within" not in summary
    assert summary.count("<ul>") == summary.count("</ul>") == 2
    assert rf_messages(rf_debug) == ["No metadata found for c.missing"]


def test_bias_family_is_described_once_through_its_lead_card(rf):
    risks = {"output-bias": {"cards.safety.bbq.Age": {}, "cards.safety.bbq.SES": {}},
             "more-bias": {"cards.safety.bbq.SES": {}}}
    summary = rf.generate_summary(risks, METADATA, {"output-bias": "GREEN", "more-bias": "GREEN"})
    assert ("introduced here through 'BBQ - Age'. This family covers BBQ in two categories: Age and SES. "
            "Bias family.<br><br><br><br>") in summary
    assert "'BBQ - Age' was discussed before for a previous risk category above.<br> <br><br>" in summary
    assert summary.count("falls within the GREEN category") == 2


def test_an_unknown_rating_fails_the_summary(rf):
    with pytest.raises(KeyError):
        rf.generate_summary({"r": {"c.tox": {}}}, METADATA, {"r": "PURPLE"})


def test_metadata_text_is_escaped_inside_the_fragment(rf):
    summary = rf.generate_summary({"r": {"c.x": {}}}, {"c.x": meta("c.x", "Q&A <v2>", "a < b")}, {})
    assert "The 'Q&amp;A &lt;v2&gt;': a &lt; b</li>" in summary
