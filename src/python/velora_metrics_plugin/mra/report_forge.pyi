"""Report generation: corpus-based ratings, narrative, reference tables and the PDF generator."""

from typing import Any, Optional, Sequence

from velora_metrics_plugin.common.utils.metrics_logger import MetricLogger

Corpus = dict[str, list[Any]]  # card -> [higher_is_better, lower_bound, upper_bound, corpus_scores]
Results = dict[str, dict[str, dict[str, Any]]]

logger: MetricLogger
category_description: dict[str, str]
fm_description_dict: dict[str, str]
corps_data_models: list[str]

def read_corpus_file(file_name: str) -> Corpus: ...
def extract_numeric_value(score_str: str) -> float: ...
def evaluate_metrics_score_percentile(
    corpus_data: Corpus, card_name: str, score: float,
    user_custom_percentile_thresholds: Optional[Sequence[float]] = None,
) -> tuple[Optional[float], Optional[str], Optional[tuple[Any, Any]]]: ...
def get_metrics_interpretation_using_corpus_data(
    corpus_data: Corpus, risks_metrics_results: Results, custom_percentile_thresholds: Optional[Sequence[float]] = None
) -> Results: ...
def determine_risk_category(interpretation_results: Results) -> dict[str, Optional[str]]: ...
def _determine_risk_category(category_results: list[Optional[str]]) -> Optional[str]: ...
def remove_cards_that_do_not_have_metadata(risks_metrics_results: Results, cards_that_have_metadata: Any) -> Any: ...
def check_duplication_in_summary(risk_name: str, full_summary_str: str) -> Optional[str]: ...
def generate_risks_intro_conclusion(risks_metrics_results: Results, meta_data_based_on_id: dict[str, Any]) -> dict[str, dict[str, str]]: ...
def generate_summary(risk_data: Results, meta_data_dict: dict[str, Any], risks_category: dict[str, Optional[str]]) -> str: ...

class ReportApp:
    @property
    def name(self) -> str: ...
    @property
    def template_folder(self) -> str: ...
    @property
    def jinja_env(self) -> Any: ...
    def render_template(self, template_name: str, **variables: Any) -> str: ...

class PdfGenerator:
    risks_description: dict[str, str]
    metric_card_name_translation: dict[str, str]
    @property
    def app(self) -> ReportApp: ...
    def __init__(self) -> None: ...
    def download_pdf(
        self,
        output_path: str,
        score_with_margin: Results,
        report_details: dict[str, str],
        executive_summary_data: Results,
        user_custom_percentile_thresholds: Optional[Sequence[float]] = None,
        *,
        corpus_file: Optional[str] = None,
    ) -> str: ...
    # Same arguments; writes one self-contained .html file and returns its path.
    download_html = download_pdf
