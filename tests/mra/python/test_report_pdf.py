"""PdfGenerator.download_pdf end to end: real resource files, real template rendering, real PDF
files read back with pypdf."""

import copy
import json
import logging
import os
import re
import shutil
import time

import pytest
from nimbra_loopback import ScriptedServer, raw
from pypdf import PdfReader

RF_LOGGER = "velora_metrics_plugin.mra.report_forge"
GENERAL = "An error occurred while generating the PDF report"
EXCLUDED = {"cards.safety.goadset", "cards.data_leakage.empty_data_leakage_card", "cards.safety.simple_safety_tests",
            "cards.toxigen", "cards.pop_qa", "cards.ethos_binary", "cards.prompt_leakage.glue_qnli_with_system_prompt"}
FILE_NAME = re.compile(r"^mra_report_(\d{4}-\d{2}-\d{2}_\d{2}-\d{2}-\d{2})\.pdf$")


@pytest.fixture
def rf():
    from velora_metrics_plugin.mra import report_forge

    return report_forge


@pytest.fixture
def package_dir():
    import velora_metrics_plugin.mra as mra

    return mra.__path__[0]


@pytest.fixture
def rf_debug(caplog):
    caplog.set_level(logging.DEBUG, logger=RF_LOGGER)
    return caplog


def rf_messages(caplog):
    return [r.getMessage() for r in caplog.records if r.name == RF_LOGGER]


def details(model="meta-llama/llama-3-1-8b-instruct"):
    return {"Foundation Model Name": model, "Governance console (Varnel) Model ID": "<Not Provided>",
            "Project ID": "proj-42", "Report generated on": "March 01, 2025", "utc_date": "03/01/2025 13:05:09 UTC"}


def realistic_results(package_dir, rf):
    """Every scored card of the catalogue with a score between its corpus bounds or beyond them,
    plus one card without metadata, one risk of such cards only, and one card without a corpus row."""
    with open(os.path.join(package_dir, "catalogue", "risk_catalogue.json")) as handle:
        catalogue = json.load(handle)
    corpus = rf.read_corpus_file(os.path.join(package_dir, "resources",
                                              "22_cards_benchmark_results-25-75-corpus.csv"))
    scored, summary = {}, {}
    for index, risk in enumerate(catalogue["risks"]):
        scored[risk["id"]], summary[risk["id"]] = {}, {}
        for position, card in enumerate(c for c in risk["cards"] if c not in EXCLUDED):
            _, lower, upper, _ = corpus[card]
            value = [lower - 0.05, (lower + upper) / 2, upper + 0.05][(index + position) % 3]
            scored[risk["id"]][card] = {"score_name": "rate", "score": f"{value:.3f} +/-  0.021", "n": 40}
            summary[risk["id"]][card] = {"score": round(value, 3)}
    scored["harmful-output"]["cards.safety.simple_safety_tests"] = {"score": "0.900 +/-  0.030"}
    summary["harmful-output"]["cards.safety.simple_safety_tests"] = {"score": 0.9}
    scored["hallucination"]["cards.unlisted.card"] = {"score": "0.500 +/-  0.100"}
    summary["hallucination"]["cards.unlisted.card"] = {"score": 0.5}
    scored["unlisted-risk"] = {"cards.unlisted.other": {"score": "0.100 +/-  0.010"}}
    summary["unlisted-risk"] = {"cards.unlisted.other": {"score": 0.1}}
    return scored, summary


def pdf_text(path):
    """The PDF's text with all white space removed, so wrapped lines still match."""
    return "".join("".join(page.extract_text() for page in PdfReader(path).pages).split())


def squeezed(text):
    return "".join(text.split())


@pytest.fixture
def relocated(rf, monkeypatch, tmp_path):
    """The module's resources and templates copied into a folder of their own, with the module
    pointed at it, so a test can remove or change a file."""
    root = tmp_path / "package"
    for folder in ("resources", "templates"):
        shutil.copytree(os.path.join(os.path.dirname(rf.__file__), folder), root / folder)
    monkeypatch.setattr(rf, "__file__", str(root / "report_forge.so"))
    return root


@pytest.fixture
def small_template(relocated):
    """A one-page template, for tests about files and errors rather than layout."""
    (relocated / "templates" / "pdf_template.html").write_text(
        "<html><body><p>{{ report_details['Foundation Model Name'] }}</p>"
        "{% for risk, rating in risks_category.items() %}<p>{{ risk }}: {{ rating }}</p>{% endfor %}</body></html>")
    return relocated


@pytest.fixture
def capture(monkeypatch):
    """Records the name and variables of every template the generator renders."""
    def install(generator):
        env = generator.app.jinja_env
        original = env.get_template
        seen = []

        class Recorder:
            def __init__(self, name, template):
                self.name, self.template = name, template

            def render(self, **context):
                seen.append((self.name, context))
                return self.template.render(**context)

        monkeypatch.setattr(env, "get_template", lambda name, *a, **k: Recorder(name, original(name, *a, **k)))
        return seen

    return install


@pytest.fixture
def out_dir(tmp_path):
    folder = tmp_path / "out"
    folder.mkdir()
    return folder


# --- the real report -----------------------------------------------------------------------------

def test_writes_a_full_report_with_every_risk_rating_and_benchmark(rf, rf_debug, package_dir, out_dir):
    scored, summary = realistic_results(package_dir, rf)
    before = time.localtime()
    path = rf.PdfGenerator().download_pdf(str(out_dir), scored, details(), summary)
    after = time.localtime()

    name = os.path.basename(path)
    assert path == os.path.join(str(out_dir), name)
    stamp = FILE_NAME.match(name).group(1)
    assert time.strftime("%Y-%m-%d_%H-%M-%S", before) <= stamp <= time.strftime("%Y-%m-%d_%H-%M-%S", after)
    assert os.listdir(out_dir) == [name]  # no temporary file left beside it
    with open(path, "rb") as handle:
        assert handle.read(5) == b"%PDF-"

    text = pdf_text(path)
    assert "meta-llama/llama-3-1-8b-instruct" in text and "proj-42" in text
    for risk in scored:
        if risk != "unlisted-risk":
            assert risk in text, risk
    for card in summary["output-bias"] | summary["toxic-output"] | summary["prompt-leaking"]:
        assert squeezed(rf.PdfGenerator.metric_card_name_translation[card]) in text, card
    for word in ("Green", "Orange", "Red", "Notrated"):
        assert word in text
    assert squeezed(rf.fm_description_dict["meta-llama/llama-3-1-8b-instruct"][:60]) in text
    assert squeezed("The corpus scores shipped with this release are illustrative.") in text
    assert squeezed("Bias Benchmark for QA - Phyiscal Appearance") in text
    assert "unlisted" not in text

    # The caller's dictionaries were pruned in place.
    assert "unlisted-risk" not in scored and "unlisted-risk" not in summary
    assert "cards.unlisted.card" not in scored["hallucination"]
    assert rf_messages(rf_debug)[-1] == "PDF report generated and saved to: " + path


def test_the_template_gets_its_sixteen_variables_then_the_not_rated_reasons(rf, package_dir, small_template, capture, out_dir):
    scored, summary = realistic_results(package_dir, rf)
    report_details = details()
    generator = rf.PdfGenerator()
    seen = capture(generator)
    generator.download_pdf(output_path=str(out_dir), score_with_margin=scored, report_details=report_details,
                           executive_summary_data=summary, user_custom_percentile_thresholds=(10, 80))
    ((name, context),) = seen
    assert name == "pdf_template.html"
    assert list(context) == [
        "score_with_margin", "report_details", "risks_description", "metric_card_name_translation",
        "executive_summary_data", "meta_data_based_on_id", "summary", "fm_description_dict", "metrics_meta_data",
        "risks_intro_conclusion", "metrics_interpretation", "risks_category", "corps_data_models",
        "error_svg_path", "checkmark_svg_path", "warning_svg_path", "not_rated_reasons", "inline_stylesheet"]
    assert context["not_rated_reasons"] == {} and context["inline_stylesheet"] is None
    assert context["report_details"] is report_details
    assert context["score_with_margin"] is scored and context["executive_summary_data"] is summary
    assert context["risks_description"] is rf.PdfGenerator.risks_description
    assert context["corps_data_models"] == rf.corps_data_models
    assert list(context["metrics_interpretation"]) == list(summary) == list(context["risks_category"])
    interpretation = context["metrics_interpretation"]
    # The custom pair, mirrored for lower-is-better cards.
    assert interpretation["prompt-leaking"]["cards.prompt_leakage.glue_qnli"]["percentile_ranges_lower_upper"] == (20, 90)
    assert interpretation["jailbreaking"]["cards.jailbreak_risk.jailbreak_risk_llm_judge"][
        "percentile_ranges_lower_upper"] == (10, 80)
    assert interpretation["harmful-output"]["cards.safety.simple_safety_tests"]["category"] is None
    assert context["risks_category"]["harmful-output"] is None
    assert "cards.unlisted.card" not in interpretation["hallucination"]
    assert "cards.unlisted" not in context["summary"]
    for key in ("error_svg_path", "checkmark_svg_path", "warning_svg_path"):
        assert os.path.isabs(context[key]) and os.path.isfile(context[key])
    assert len(context["meta_data_based_on_id"]) == 26


def test_without_a_custom_pair_every_card_uses_the_stored_band(rf, package_dir, small_template, capture, out_dir):
    scored, summary = realistic_results(package_dir, rf)
    generator = rf.PdfGenerator()
    seen = capture(generator)
    generator.download_pdf(str(out_dir), scored, details(), summary)
    bands = {card["percentile_ranges_lower_upper"] for risk in seen[0][1]["metrics_interpretation"].values()
             for card in risk.values() if card["category"]}
    assert bands == {(25, 75)}


def test_two_reports_in_one_second_share_the_file_name(rf, small_template, out_dir):
    generator = rf.PdfGenerator()
    results = {"toxic-output": {"cards.value_alignment.toxic_output.vexset": {"score": 0.05}}}
    for _ in range(5):
        first = generator.download_pdf(str(out_dir), copy.deepcopy(results), details("first/model"),
                                       copy.deepcopy(results))
        second = generator.download_pdf(str(out_dir), copy.deepcopy(results), details("second/model"),
                                        copy.deepcopy(results))
        if first == second:
            break
        for leftover in out_dir.iterdir():
            leftover.unlink()
    else:
        pytest.fail("no two reports fell within one second")
    assert os.listdir(out_dir) == [os.path.basename(second)]
    assert "second/model" in pdf_text(second)


# --- failures ------------------------------------------------------------------------------------

@pytest.mark.parametrize("folder, file, message", [
    ("resources", "22_cards_benchmark_results-25-75-corpus.csv", "path_to_corps_data file not found at "),
    ("resources", "metrics_meta_data.json", "metrics_meta_data file not found at "),
    ("resources", "benchmark_card_metadata.json", "meta_data file not found at "),
])
def test_a_missing_resource_is_named_logged_and_raised(rf, rf_debug, relocated, out_dir, folder, file, message):
    missing = relocated / folder / file
    missing.unlink()
    results = {"toxic-output": {"cards.unlisted": {"score": 0.1}}}
    with pytest.raises(FileNotFoundError) as error:
        rf.PdfGenerator().download_pdf(str(out_dir), results, details(), results)
    assert str(error.value) == message + str(missing)
    assert rf_messages(rf_debug) == [GENERAL + message + str(missing)]
    assert results == {"toxic-output": {"cards.unlisted": {"score": 0.1}}}  # failed before pruning
    assert os.listdir(out_dir) == []


def test_a_missing_stylesheet_is_found_after_rendering(rf, rf_debug, small_template, capture, out_dir):
    css = small_template / "templates" / "styles.css"
    css.unlink()
    generator = rf.PdfGenerator()
    seen = capture(generator)
    results = {"toxic-output": {"cards.value_alignment.toxic_output.vexset": {"score": 0.05}}}
    with pytest.raises(FileNotFoundError, match="^CSS file not found at " + re.escape(str(css)) + "$"):
        generator.download_pdf(str(out_dir), results, details(), results)
    assert len(seen) == 1
    assert rf_messages(rf_debug)[-1] == GENERAL + "CSS file not found at " + str(css)


@pytest.mark.parametrize("content, error", [
    ('[{"Benchmark Details": {"ID": "cards.a"}}, {"Name": "no details"}]', KeyError),
    ('[{"Benchmark Details": {"Name": "no id"}}]', KeyError),
    ('[{"Benchmark Details": ', json.JSONDecodeError),
])
def test_malformed_card_metadata_fails_the_report(rf, rf_debug, relocated, out_dir, content, error):
    (relocated / "resources" / "benchmark_card_metadata.json").write_text(content)
    with pytest.raises(error):
        rf.PdfGenerator().download_pdf(str(out_dir), {}, details(), {})
    assert rf_messages(rf_debug)[-1].startswith(GENERAL)


def test_a_card_without_score_fails_the_report(rf, rf_debug, small_template, out_dir):
    summary = {"toxic-output": {"cards.value_alignment.toxic_output.vexset": {"value": 0.05}}}
    with pytest.raises(KeyError):
        rf.PdfGenerator().download_pdf(str(out_dir), copy.deepcopy(summary), details(), summary)
    assert rf_messages(rf_debug)[-1] == GENERAL + "'score'"


def test_a_missing_output_folder_fails_the_writing(rf, rf_debug, small_template, tmp_path):
    folder = tmp_path / "absent"
    results = {"toxic-output": {"cards.value_alignment.toxic_output.vexset": {"score": 0.05}}}
    with pytest.raises(FileNotFoundError) as error:
        rf.PdfGenerator().download_pdf(str(folder), copy.deepcopy(results), details(), results)
    message = str(error.value)
    assert re.fullmatch(r"\[Errno 2\] No such file or directory: '" + re.escape(str(folder)) +
                        r"/mra_report_[0-9_-]+\.pdf'", message)
    assert rf_messages(rf_debug)[-1] == GENERAL + message
    assert not folder.exists()


def test_a_failed_conversion_leaves_no_file(rf, rf_debug, small_template, out_dir, monkeypatch):
    import weasyprint

    def half_written(self, target, **kwargs):
        with open(target, "wb") as handle:
            handle.write(b"%PDF-1.7 partial")
        raise RuntimeError("conversion broke")

    monkeypatch.setattr(weasyprint.HTML, "write_pdf", half_written)
    results = {"toxic-output": {"cards.value_alignment.toxic_output.vexset": {"score": 0.05}}}
    with pytest.raises(RuntimeError, match="^conversion broke$"):
        rf.PdfGenerator().download_pdf(str(out_dir), copy.deepcopy(results), details(), results)
    assert os.listdir(out_dir) == []
    assert rf_messages(rf_debug)[-1] == GENERAL + "conversion broke"


def test_a_template_error_is_logged_and_raised(rf, rf_debug, relocated, out_dir):
    import jinja2

    (relocated / "templates" / "pdf_template.html").write_text("{% for x in %}")
    with pytest.raises(jinja2.TemplateSyntaxError):
        rf.PdfGenerator().download_pdf(str(out_dir), {}, details(), {})
    assert rf_messages(rf_debug)[-1].startswith(GENERAL)
    assert os.listdir(out_dir) == []


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "download_pdf() missing 4 required positional arguments: 'output_path', 'score_with_margin', "
             "'report_details', and 'executive_summary_data'"),
    (("out", {}, {}), {}, "download_pdf() missing 1 required positional argument: 'executive_summary_data'"),
    (("out", {}, {}, {}, None, 1), {}, "download_pdf() takes from 5 to 6 positional arguments but 7 were given"),
    (("out", {}, {}, {}), {"colour": 1}, "download_pdf() got an unexpected keyword argument 'colour'"),
])
def test_arguments_are_bound_like_a_python_method(rf, args, kwargs, message):
    with pytest.raises(TypeError) as error:
        rf.PdfGenerator().download_pdf(*args, **kwargs)
    assert str(error.value) == message


def test_the_app_carries_the_template_folder(rf, package_dir):
    app = rf.PdfGenerator().app
    assert app.name == "velora_metrics_plugin.mra.report_forge"
    assert app.template_folder == os.path.join(package_dir, "templates")
    assert "pdf_template.html" in app.jinja_env.list_templates()


def test_the_module_exposes_its_logger(rf):
    assert type(rf.logger).__name__ == "MetricLogger"
    assert rf.logger.logger.name == RF_LOGGER


# --- nothing in the data becomes markup, and the renderer reads only our own files ----------------

def embedded_files(path):
    """The names of the files a PDF carries: document attachments and file-attachment annotations."""
    reader = PdfReader(path)
    names = list(reader.attachments)
    for page in reader.pages:
        for annotation in page.get("/Annots", []):
            annotation = annotation.get_object()
            if annotation.get("/Subtype") == "/FileAttachment":
                names.append(annotation["/FS"]["/F"])
    return names


def crafted(port):
    return f'<a href="file:///etc/passwd" rel="attachment">x</a><img src="http://127.0.0.1:{port}/probe">'


@pytest.mark.parametrize("where", ["risk", "card", "model"])
def test_crafted_names_neither_attach_files_nor_reach_the_network(rf, out_dir, where):
    with ScriptedServer([raw(200, b"GIF89a")]) as server:
        text = crafted(server.url.rsplit(":", 1)[1])
        risk = text if where == "risk" else "toxic-output"
        # Bias-family card ids stay in the report even without metadata.
        card = "cards.safety.bbq." + text if where == "card" else "cards.value_alignment.toxic_output.vexset"
        results = {risk: {card: {"score": 0.05}}}
        path = rf.PdfGenerator().download_pdf(str(out_dir), copy.deepcopy(results),
                                              details(text if where == "model" else "m"), results)
        assert server.requests == []
    assert embedded_files(path) == []
    assert squeezed('href="file:///etc/passwd"') in pdf_text(path)  # shown as the text it is


def test_the_renderer_serves_our_files_and_refuses_all_others(rf, relocated, out_dir):
    with ScriptedServer([raw(200, b"GIF89a")]) as server:
        (relocated / "templates" / "pdf_template.html").write_text(
            '<html><body><p>{{ report_details["Foundation Model Name"] }}</p>'
            '<a href="{{ error_svg_path }}" rel="attachment">ours</a>'
            f'{crafted(server.url.rsplit(":", 1)[1])}'
            '<a href="file://{{ error_svg_path|replace("error.svg", "../outside.txt") }}" rel="attachment">up</a>'
            '</body></html>')
        (relocated / "outside.txt").write_text("not ours")
        path = rf.PdfGenerator().download_pdf(str(out_dir), {}, details(), {})
        assert server.requests == []
    assert embedded_files(path) == ["error.svg"]


@pytest.mark.parametrize("method, suffix", [("get_pdf_report", ".pdf"), ("get_html_report", ".html")])
def test_the_hand_off_creates_a_missing_output_folder(smh, no_judge_env, tmp_path, method, suffix):
    evaluator = smh.EvaluateFMRisk({}, "m", ["harmful-output"], lambda table: table)
    folder = tmp_path / "new" / "reports"
    results = {"toxic-output": {"cards.value_alignment.toxic_output.vexset": {"score": "0.050 +/-  0.010"}}}
    path = getattr(evaluator, method)(results, str(folder), None)
    assert os.path.dirname(path) == str(folder) and path.endswith(suffix) and os.path.isfile(path)
    (tmp_path / "blocked").write_text("a file")
    with pytest.raises(NotADirectoryError):
        getattr(evaluator, method)(results, str(tmp_path / "blocked" / "reports"), None)
