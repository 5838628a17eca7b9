"""The report's reference tables and the resource files that go with them."""

import json
import os
import re

import pytest


def load(*parts):
    with open(os.path.join(*parts)) as handle:
        return json.load(handle)


@pytest.fixture
def rf():
    from velora_metrics_plugin.mra import report_forge

    return report_forge


@pytest.fixture
def package_dir():
    import velora_metrics_plugin.mra as mra

    return mra.__path__[0]


def test_category_sentences_word_for_word(rf):
    assert list(rf.category_description.items()) == [
        ("GREEN", "A Green rating signifies a low-risk profile and strong model stability across this risk dimension."),
        ("RED", "A Red rating reflects a high-risk profile, which may indicate model vulnerability/weaknesses or "
                "potential stability concerns for this risk dimension."),
        ("ORANGE", "A Orange rating indicates a moderate level of risk, suggesting that while the model remains "
                   "stable, certain risk factors related to this risk dimension should be monitored."),
    ]


def test_risk_descriptions_cover_the_catalogue_in_table_order(rf, package_dir):
    table = rf.PdfGenerator.risks_description
    assert list(table) == ["toxic-output", "harmful-output", "prompt-leaking", "hallucination", "prompt-injection",
                           "jailbreaking", "output-bias", "harmful-code-generation"]
    assert "leads to physical harm The language" in table["harmful-output"]
    assert "model training data or input.This is also" in table["hallucination"]
    catalogue = load(package_dir, "catalogue", "risk_catalogue.json")
    assert {risk["id"] for risk in catalogue["risks"]} == set(table)


def test_display_names_are_the_26_rows_as_written(rf):
    table = rf.PdfGenerator.metric_card_name_translation
    assert len(table) == 26
    assert list(table)[0] == "cards.harmful_code.frr.frr_cse_benchmark"
    assert list(table)[-1] == "cards.data_leakage_rag.rag_dataset_12000"
    assert table["cards.safety.bbq.Physical_appearance"] == "Bias Benchmark for QA - Phyiscal Appearance"
    assert table["cards.safety.bbq.Race_x_SES"] == "Bias Benchmark for QA - Race and Socioeconomic status"
    assert table["cards.jailbreak_risk.prompt_injection_risk_cse_benchmark"] == "Prompt Injection CSE Benchmark"


def test_class_tables_are_shared_by_every_instance(rf):
    first, second = rf.PdfGenerator(), rf.PdfGenerator()
    assert first.risks_description is second.risks_description is rf.PdfGenerator.risks_description
    assert first.metric_card_name_translation is rf.PdfGenerator.metric_card_name_translation


MODEL_ID = re.compile(r"^[a-z0-9]+(?:[-][a-z0-9]+)*/[a-z0-9]+(?:-[a-z0-9]+)*$")


def test_foundation_model_descriptions(rf):
    table = rf.fm_description_dict
    assert len(table) == 13
    for model, text in table.items():
        assert MODEL_ID.match(model), model
        assert 500 <= len(text) <= 800, (model, len(text))
        assert text.endswith(".") and "  " not in text


def test_corpus_models_are_nine_described_models(rf):
    assert len(rf.corps_data_models) == len(set(rf.corps_data_models)) == 9
    assert set(rf.corps_data_models) <= set(rf.fm_description_dict)


def test_every_displayed_card_has_metadata_under_its_display_name(rf, package_dir):
    entries = load(package_dir, "resources", "benchmark_card_metadata.json")
    by_id = {entry["Benchmark Details"]["ID"]: entry for entry in entries}
    assert len(by_id) == len(entries)
    assert list(by_id) == list(rf.PdfGenerator.metric_card_name_translation)
    for card, name in rf.PdfGenerator.metric_card_name_translation.items():
        assert by_id[card]["Benchmark Details"]["Name"] == name
        assert by_id[card]["Benchmark Summary"]


def test_metadata_metrics_are_described_and_agree_with_the_corpus_orientation(rf, package_dir):
    entries = load(package_dir, "resources", "benchmark_card_metadata.json")
    metrics = load(package_dir, "resources", "metrics_meta_data.json")["metrics"]
    corpus = rf.read_corpus_file(os.path.join(package_dir, "resources", "22_cards_benchmark_results-25-75-corpus.csv"))
    for entry in entries:
        details = entry["Benchmark Details"]
        assert details["Metric"] in metrics
        assert metrics[details["Metric"]]["orientation"] == details["Orientation"]
        if details["ID"] in corpus:
            assert corpus[details["ID"]][0] == (details["Orientation"] == "Higher is better"), details["ID"]
