"""velora-mra: one command for the whole job around a model-risk screening.

The command only reads its arguments, calls the library (velora_metrics_plugin.mra.screening_job and
the modules it builds on) and prints. Importing this module has no side effects: the library is
loaded when a command runs.

Exit status: 0 when no card is rated at or below --fail-on, 1 when one is, 2 for usage errors
(bad options, settings or input files), 3 when risk dimensions failed to evaluate, 130 on Ctrl-C,
143 on SIGTERM.
"""

import argparse
import contextlib
import logging
import os
import pathlib
import signal
import sys
import threading

PROG = "velora-mra"
API_KEY_VARIABLE = "VELORA_MRA_API_KEY"
DEMO_MODEL = "velora/reference-model"
EXIT_USAGE = 2  # argparse's own status for usage errors; the library agrees (screening_job.EXIT_USAGE)
EXIT_INCOMPLETE = 3
EXIT_INTERRUPTED = 130  # what shells report for a command stopped by Ctrl-C
EXIT_TERMINATED = 143  # and for one stopped by SIGTERM

# What a screening takes when neither the settings file nor the command line says otherwise.
SCREEN_DEFAULTS = {
    "api": "chat", "api_key_env": None, "concurrency": "auto", "max_concurrency": 64,
    "output": "screening-output",
    "project_id": "velora-mra", "fail_on": "off", "pdf": False, "html": False, "quiet": False,
}
# Settings handed to the scoring function under their own names, when given.
GENERATION_SETTINGS = ("max_tokens", "temperature", "seed", "system_prompt", "timeout", "max_retries")
# The judge the judged cards asked, as the results header records it.
JUDGE_SETTINGS = ("judge_provider", "judge_model")


class UsageError(Exception):
    """A problem with what the user asked for: reported on standard error, exit status 2."""


class ScreeningBrokeOff(Exception):
    """The screening stopped part-way (a server or the console failed): exit status 3."""


class ScreeningInterrupted(Exception):
    """Ctrl-C during a screening: exit status 130, saying what was kept."""


def _job():
    from velora_metrics_plugin.mra import screening_job

    return screening_job


# ---------------------------------------------------------------------------------------- parser

def _thresholds(text):
    try:
        return _job().parse_thresholds(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _concurrency(text):
    """--concurrency: a number of requests, or "auto"."""
    if text == "auto":
        return text
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a number or 'auto', got {text!r}") from None


def _add_rating_options(parser, defaults=True):
    """Options of every command that rates results: corpus, thresholds, gate, JUnit file."""
    parser.add_argument("--corpus", metavar="FILE", help="corpus CSV to rate against (default: the shipped one)")
    parser.add_argument("--thresholds", metavar="LOW,HIGH", type=_thresholds,
                        help="percentiles bounding the Orange band (default: the corpus' 25,75)")
    parser.add_argument("--fail-on", choices=["off", "red", "orange"], default="off" if defaults else None,
                        help="exit with status 1 when a card is rated at or below this (default: off)")
    parser.add_argument("--junit", metavar="FILE", help="also write a JUnit XML file, one test case per card")
    parser.add_argument("--allow-unrated", action="store_true", default=None,
                        help="let cards that could not be rated pass --fail-on (default: they fail it)")


def _add_screen_options(parser):
    parser.add_argument("--config", metavar="FILE", type=pathlib.Path,
                        help="TOML settings file; its keys are these options' names with underscores")
    model = parser.add_argument_group("model")
    model.add_argument("--base-url", help="base URL of the OpenAI-compatible server")
    model.add_argument("--model", help="model name as the server knows it")
    model.add_argument("--api", choices=["chat", "completions"], help="which API to call (default: chat)")
    model.add_argument("--api-key-env", metavar="VARIABLE",
                       help=f"environment variable holding the model's API key (default: {API_KEY_VARIABLE})")
    model.add_argument("--project-id", help="project identifier sent to the server (header Nimbra-Project-Id) "
                                            "and shown on the report")
    model.add_argument("--no-check-model", dest="check_model", action="store_false", default=None,
                       help="do not check that the server lists --model (for servers that list another id)")
    run = parser.add_argument_group("screening")
    run.add_argument("--risk", dest="risks", action="append", metavar="NAME",
                     help="risk dimension to screen (repeatable; default: all, see `velora-mra risks`)")
    run.add_argument("--max-sample-size", type=int, metavar="N", help="at most N prompts per card")
    run.add_argument("--concurrency", type=_concurrency, metavar="N|auto",
                     help="requests in flight at once, or auto: as many as the server keeps up with (default: auto)")
    run.add_argument("--max-concurrency", type=int, metavar="N", help="most requests in flight with auto (default: 64)")
    run.add_argument("--max-tokens", type=int, metavar="N", help="longest answer, in tokens (default: 512)")
    run.add_argument("--temperature", type=float, help="sampling temperature (default: 0)")
    run.add_argument("--seed", type=int, help="sampling seed, for servers that honour one")
    run.add_argument("--system-prompt", metavar="TEXT", help="system prompt sent with every prompt (chat API)")
    run.add_argument("--timeout", type=float, metavar="SECONDS", help="time-out of one request (default: 120)")
    run.add_argument("--max-retries", type=int, metavar="N", help="retries of a failed request (default: 5)")
    run.add_argument("--cache", metavar="FILE", help="answer cache file; a rerun asks only for new prompts")
    run.add_argument("--resume", action="store_true", default=None,
                     help="keep the risks already in the output folder's results file, screen the others")
    run.add_argument("--ca-bundle", metavar="FILE", help="certificates to trust for an https server (PEM)")
    judge = parser.add_argument_group("judge (credentials come from the provider's environment variables)")
    judge.add_argument("--judge-provider", help="judge of the judged risks (sets CORVEX_DEFAULT_PROVIDER)")
    judge.add_argument("--judge-model", help="judge model (sets CORVEX_JUDGE_MODEL)")
    _add_output_options(parser, defaults=False)


def _add_output_options(parser, defaults=True, progress=True):
    out = parser.add_argument_group("output")
    out.add_argument("--output", metavar="FOLDER", default="screening-output" if defaults else None,
                     help="folder for results and reports, made when missing (default: screening-output)")
    out.add_argument("--pdf", action="store_true", default=None, help="write the PDF report")
    out.add_argument("--html", action="store_true", default=None, help="write the HTML report")
    if progress:
        out.add_argument("--quiet", action="store_true", default=None, help="no progress display")
    _add_rating_options(out, defaults=defaults)


def build_parser():
    parser = argparse.ArgumentParser(prog=PROG, description="Model-risk screening of generative models.",
                                     epilog="Exit status: 0 passed, 1 a card at or below --fail-on, "
                                            "2 usage error, 3 risk dimensions failed to evaluate, 130 Ctrl-C, "
                                            "143 SIGTERM.")
    parser.add_argument("--version", action="store_true", help="print the library version and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    screen = commands.add_parser("screen", help="screen one model and write its results (and reports)")
    _add_screen_options(screen)

    report = commands.add_parser("report", help="reports of stored results, without screening again")
    report.add_argument("results", metavar="RESULTS.json")
    _add_output_options(report, progress=False)

    corpus = commands.add_parser("corpus", help="build or show a benchmark corpus")
    corpus_commands = corpus.add_subparsers(dest="corpus_command", metavar="ACTION", required=True)
    build = corpus_commands.add_parser("build", help="a corpus from the results of several models")
    build.add_argument("results", metavar="RESULTS.json", nargs="+")
    build.add_argument("-o", "--output", metavar="CORPUS.csv", required=True)
    show = corpus_commands.add_parser("show", help="print a corpus (default: the shipped one)")
    show.add_argument("corpus", metavar="CORPUS.csv", nargs="?")

    commands.add_parser("risks", help="the risk dimensions, their cards and what each measures")

    demo = commands.add_parser("demo", help="screen the bundled reference model; results and both reports")
    demo.add_argument("--risk", dest="risks", action="append", metavar="NAME", help="risk dimension (repeatable)")
    demo.add_argument("--max-sample-size", type=int, metavar="N", help="at most N prompts per card")
    _add_output_options(demo)
    return parser


# -------------------------------------------------------------------------------------- settings

def _settings_file(path):
    """The TOML settings file as a dict of option names; unknown keys are usage errors."""
    try:
        import tomllib
    except ImportError:  # Python before 3.11
        import tomli as tomllib
    try:
        with open(path, "rb") as file:
            settings = tomllib.load(file)
    except OSError as error:
        raise UsageError(f"{path}: cannot be read: {error.strerror}") from None
    except tomllib.TOMLDecodeError as error:
        raise UsageError(f"{path}: not valid TOML: {error}") from None
    except UnicodeDecodeError:
        raise UsageError(f"{path}: not valid TOML: it is not UTF-8 text") from None
    except RecursionError:
        raise UsageError(f"{path}: not a settings file: it nests too deeply") from None
    known = [name for name in _screen_actions() if name != "config"]
    _job().check_settings_keys(list(settings), known, str(path))
    return settings


def _screen_actions():
    """Option name -> argparse action of the screen command."""
    parser = argparse.ArgumentParser(add_help=False)
    _add_screen_options(parser)
    return {action.dest: action for action in parser._actions}


def _check_setting(name, value, action):
    """A settings-file value of the type the option takes (TOML gives typed values)."""
    if action.type is _concurrency:
        if value == "auto" or isinstance(value, int) and not isinstance(value, bool):
            return value
        raise UsageError(f"setting '{name}' must be a number or 'auto', got {value!r}")
    expected = {int: int, float: (int, float)}.get(action.type, str)
    if isinstance(action, (argparse._StoreTrueAction, argparse._StoreFalseAction)):
        expected = bool
    elif isinstance(action, argparse._AppendAction):
        if isinstance(value, list) and all(isinstance(item, str) for item in value):
            return value
        raise UsageError(f"setting '{name}' must be a list of names")
    elif name == "thresholds" and isinstance(value, list):
        value = ",".join(str(v) for v in value)
    if isinstance(value, bool) and expected is not bool or not isinstance(value, expected):
        raise UsageError(f"setting '{name}' must be {getattr(expected, '__name__', 'a number')}, got {value!r}")
    if action.choices and value not in action.choices:
        raise UsageError(f"setting '{name}' must be one of {', '.join(action.choices)}")
    return _job().parse_thresholds(value) if name == "thresholds" else value


def screen_settings(args):
    """Defaults, then the settings file, then the command line: the settings of one screening."""
    settings = dict(SCREEN_DEFAULTS)
    if args.config is not None:
        actions = _screen_actions()
        for name, value in _settings_file(args.config).items():
            settings[name] = _check_setting(name, value, actions[name])
    settings.update({name: value for name, value in vars(args).items() if value is not None})
    for required in ("base_url", "model"):
        if not settings.get(required):
            raise UsageError(f"screen needs --{required.replace('_', '-')} (or '{required}' in --config)")
    return settings


# ------------------------------------------------------------------------------------- screening

def _scoring_function(settings, progress):
    """The concurrent scoring function over the OpenAI-compatible server."""
    from velora_metrics_plugin.mra.scoring import openai_compatible

    options = {name: settings[name] for name in GENERATION_SETTINGS if settings.get(name) is not None}
    if settings.get("ca_bundle"):
        options["verify"] = settings["ca_bundle"]
    return openai_compatible(settings["base_url"], settings["model"], api=settings["api"],
                             api_key=_api_key(settings), check_model=settings.get("check_model", True),
                             headers={_job().PROJECT_HEADER: settings["project_id"]},
                             concurrency=settings["concurrency"], max_concurrency=settings["max_concurrency"],
                             cache=settings.get("cache"),
                             progress=progress.on_prompts if progress.enabled else None, **options)


def _api_key(settings):
    """The key in the variable the settings name; a variable named on purpose must hold one."""
    variable = settings.get("api_key_env")
    key = os.environ.get(variable or API_KEY_VARIABLE)
    if variable and not key:
        raise UsageError(f"--api-key-env names {variable}, which is {'empty' if key == '' else 'not set'}")
    if key and not _is_text(key):
        raise UsageError(f"{variable or API_KEY_VARIABLE} does not hold UTF-8 text")
    return key or None


def _check_target(scoring):
    """The model server, its key and model, and the cache file, looked at once before the first risk:
    a bad target is a usage error, found before anything is screened or written."""
    from velora_metrics_plugin.mra.scoring import ServiceError

    try:
        scoring.check(skip_with="--no-check-model")
    except (ServiceError, ValueError) as error:
        raise UsageError(f"the model cannot be screened: {error}") from None


def _judge_settings(risks, resumed):
    """The judge the judged cards of `risks` ask (its settings checked now, nothing asked), as the
    results header records it. A resumed file keeps its judge: these risks may ask none, or the same."""
    judge = _job().judge_of(risks) or {}
    recorded = {"judge_provider": judge.get("provider"), "judge_model": judge.get("model")}
    if resumed is None:
        return recorded
    earlier = {name: _job().read_results(resumed)["header"]["settings"].get(name) for name in JUDGE_SETTINGS}
    if recorded["judge_provider"] is None:
        return earlier
    if earlier["judge_provider"] is not None and earlier != recorded:
        raise UsageError(f"--resume: {resumed} was screened with another judge ({earlier['judge_model']} of "
                         f"{earlier['judge_provider']}); resume with the same one, or screen into another --output")
    return recorded


def _credentials(settings):
    """system_credentials of the evaluators: the project, and the governance console when configured."""
    return {"nimbra_ai_project_id": settings["project_id"], **_job().console_credentials()}


def _recorded_settings(settings, credentials):
    """What the results header keeps: every setting of the run, never a secret."""
    kept = {name: settings.get(name) for name in (
        "base_url", "api", "risks", "max_sample_size", "concurrency", *GENERATION_SETTINGS, "cache",
        "ca_bundle", "judge_provider", "judge_model", "project_id")}
    if "vn_model_id" in credentials:
        kept["vn_model_id"] = credentials["vn_model_id"]
    return _job().stored_settings(kept)


def _set_judge(settings):
    if settings.get("judge_provider"):
        os.environ["CORVEX_DEFAULT_PROVIDER"] = settings["judge_provider"]
    if settings.get("judge_model"):
        os.environ["CORVEX_JUDGE_MODEL"] = settings["judge_model"]


def _progress_enabled(settings):
    return not settings.get("quiet") and sys.stderr.isatty()


def _risk_count(count, adjective=""):
    return f"{count} {adjective + ' ' if adjective else ''}risk dimension{'' if count == 1 else 's'}"


class _ResultsFile:
    """The results file of one screening, written again after each risk dimension: a screening that
    stops (Ctrl-C, a crash) leaves the results of the risks it finished, the others listed as failed.
    Its first writing moves an earlier file of the same name aside, unless the screening resumes it:
    then the file's results (`kept`) stay in it."""

    def __init__(self, path, model, settings, kept=None):
        self.path, self._model, self._settings = path, model, settings
        self._kept = kept or {}
        # Risk dimensions with results in the file; None before this screening has written it.
        self.finished = None if kept is None else len(kept)

    def write(self, results, failed, pending=()):
        job = _job()
        if self.finished is None:
            earlier = job.set_aside(self.path)
            if earlier:
                print(f"{PROG}: earlier results kept as {earlier}", file=sys.stderr)
        results = {**self._kept, **results}
        job.write_results(self.path, results, model=self._model, settings=self._settings,
                          failed_risks={**failed, **dict.fromkeys(pending)})
        self.finished = len(results)

    def what_is_kept(self):
        if not self.finished:
            return "no results were written"
        return (f"the results of {_risk_count(self.finished, 'finished')} are in {self.path} "
                "(the same command with --resume screens the rest)")


def _resumed_results(path, model, recorded):
    """The results a --resume keeps: those in the file at `path`, when it holds a screening of the
    same model with the same settings (None when there is no file yet)."""
    if not path.exists():
        return None
    document = _job().read_results(path)
    header = document["header"]
    if header["model"] != model:
        raise UsageError(f"--resume: {path} holds a screening of {header['model']!r}, not {model!r}")
    earlier = header["settings"]
    differing = sorted(name for name in {*recorded, *earlier}
                       if name not in ("risks", *JUDGE_SETTINGS) and recorded.get(name) != earlier.get(name))
    if differing:
        raise UsageError(f"--resume: {path} was screened with other settings ({', '.join(differing)}); "
                         "resume with the same ones, or screen into another --output")
    return _job().kept_results(document)


def _risks_to_screen(settings, kept):
    """The risks asked for (all by default), without those a resumed screening has kept."""
    if kept is None:
        return settings.get("risks")
    from velora_metrics_plugin.mra.screen_model_hazard import get_available_risks

    return [risk for risk in settings.get("risks") or get_available_risks() if risk not in kept]


def run_screening(settings):
    """Screens, writing the results file as it goes; returns its path."""
    from velora_metrics_plugin.cli.progress import ProgressDisplay, without_risk_lines

    job = _job()
    _set_judge(settings)
    credentials = _credentials(settings)
    path = pathlib.Path(settings["output"]) / job.RESULTS_FILE_NAME
    recorded = _recorded_settings(settings, credentials)
    kept = _resumed_results(path, settings["model"], recorded) if settings.get("resume") else None
    risks = _risks_to_screen(settings, kept)
    recorded.update(_judge_settings(risks, path if kept is not None else None))
    if kept is not None:
        print(f"{PROG}: resuming {path}: {_risk_count(len(kept))} kept, {len(risks)} to screen", file=sys.stderr)
    results_file = _ResultsFile(path, settings["model"], recorded, kept)
    with ProgressDisplay(_progress_enabled(settings)) as progress:
        scoring = _scoring_function(settings, progress)
        try:
            with without_risk_lines(settings.get("quiet")):
                results, failed = job.screen(settings["model"], risks, scoring,
                                             max_sample_size=settings.get("max_sample_size"),
                                             credentials=credentials, on_card=progress.on_card,
                                             on_risk=results_file.write,
                                             preflight=lambda: _check_target(scoring))
        except (job.SettingsError, UsageError):
            raise  # refused before any model was asked anything
        except KeyboardInterrupt:
            raise ScreeningInterrupted(results_file.what_is_kept()) from None
        except Exception as error:
            raise ScreeningBrokeOff(f"the screening stopped: {error}; {results_file.what_is_kept()}") from error
    results_file.write(results, failed)
    return str(results_file.path)


# --------------------------------------------------------------------------------------- output

def _formats(settings, both_by_default):
    chosen = [name for name in ("pdf", "html") if settings.get(name)]
    return chosen or (["pdf", "html"] if both_by_default else [])


def _print_summary(assessment):
    from rich.table import Table
    from rich.text import Text

    table = Table(title=Text(_text(f"{assessment['model']}: rated against {pathlib.Path(assessment['corpus']).name}")))
    for column in ("Risk", "Card", "Score", "Percentile", "Rating", "Answers", "Unreadable"):
        table.add_column(column, justify="right" if column in ("Percentile", "Answers", "Unreadable") else "left")
    for row in assessment["cards"]:
        cells = (row["risk"], row["name"], row["score"], row["percentile"], row["category"] or "not rated",
                 row["answers"], row["unreadable_answers"])
        table.add_row(*(Text(_text(cell)) for cell in cells))  # names from files are never markup
    console = _console()
    console.print(table)
    for row in assessment["cards"]:
        if row["reason"]:
            console.print(_text(f"{row['card']} not rated: {row['reason']}"), markup=False, highlight=False)
    for risk, category in assessment["risks"].items():
        reason = assessment["risk_reasons"].get(risk)
        console.print(_text(f"{risk}: {category or 'not rated'}" + (f" ({reason})" if reason else "")),
                      markup=False, highlight=False)
    for risk in assessment["failed_risks"]:
        why = assessment["failure_causes"].get(risk) or "see the warnings above"
        console.print(_text(f"{risk}: FAILED to evaluate: {why}"), markup=False, highlight=False, soft_wrap=True)


def _console():
    """Standard output as rich draws it: the terminal's width, or lines wide enough for logs and grep."""
    from rich.console import Console

    return Console() if sys.stdout.isatty() else Console(width=200)


def _text(value):
    """A value as printed: names and messages from files and servers never drive the terminal."""
    return "-" if value is None else _job().printable(str(value))


def finish(document, settings, results_path, both_reports):
    """Reports, summary, JUnit file and exit status of stored results."""
    job = _job()
    formats = _formats(settings, both_reports)
    reports = job.write_reports(document, settings["output"], formats=formats, corpus=settings.get("corpus"),
                                thresholds=settings.get("thresholds")) if formats else []
    assessment = job.assess(document, corpus=settings.get("corpus"), thresholds=settings.get("thresholds"),
                            fail_on=settings.get("fail_on") or "off",
                            allow_unrated=bool(settings.get("allow_unrated")))
    _print_summary(assessment)
    if results_path:
        print(f"results: {results_path}")
    for path in reports:
        print(f"report: {path}")
    if settings.get("junit"):
        print(f"junit: {job.write_junit(assessment, settings['junit'])}")
    return assessment["exit_status"]


# -------------------------------------------------------------------------------------- commands

def command_screen(args):
    settings = screen_settings(args)
    with _job().lock_output_folder(settings["output"]):
        results_path = run_screening(settings)
        return finish(_job().read_results(results_path), settings, results_path, both_reports=False)


def command_report(args):
    document = _job().read_results(args.results)
    return finish(document, vars(args), None, both_reports=True)


def command_corpus(args):
    job = _job()
    if args.corpus_command == "build":
        built = job.build_corpus(args.results, args.output)
        for warning in built["warnings"]:
            print(f"{PROG}: warning: {_text(warning)}", file=sys.stderr)
        print(_text(f"corpus: {built['path']} ({built['cards']} cards, models: {', '.join(built['models'])})"))
        return 0
    corpus = job.read_corpus(args.corpus)
    _print_corpus(corpus)
    return 0


def _print_corpus(corpus):
    from rich.table import Table
    from rich.text import Text

    models = corpus["models"]
    table = Table(title=Text(f"{corpus['path']}: {len(corpus['rows'])} cards, {len(models)} models"))
    for column in ("Card", "Better", "Lower bound", "Upper bound", "Scores"):
        table.add_column(column)
    for row in corpus["rows"]:
        cells = (row["card"], "higher" if row["higher_is_better"] else "lower", row["lower_bound"],
                 row["upper_bound"], ", ".join(str(score) for score in row["scores"]))
        table.add_row(*(Text(_text(cell)) for cell in cells))
    console = _console()
    console.print(table)
    console.print(_text("Models: " + (", ".join(models) if models else "not named in the file")), markup=False,
                  highlight=False)


def command_risks(args):
    from rich.text import Text

    console = _console()
    for risk in _job().risk_overview():
        console.print(Text(risk["risk"], style="bold"))
        if risk["description"]:
            console.print(f"  {risk['description']}", highlight=False, markup=False)
        for card in risk["cards"]:
            note = "" if card["screened"] else " (not screened)"
            console.print(f"  - {card['card']}: {card['name']}{note}", highlight=False, markup=False)
            if card["measures"]:
                console.print(f"      measures: {card['measures']}", highlight=False, markup=False)
    return 0


def command_demo(args):
    from velora_metrics_plugin.cli.reference_model import running_reference_model

    with running_reference_model() as endpoint:
        print(f"reference model (deterministic stand-in) listening on {endpoint}", file=sys.stderr)
        # The judged risks are judged by the reference model too, through the inference SDK.
        os.environ.update({"CORVEX_DEFAULT_PROVIDER": "nimbra-sdk", "QNR_URL": endpoint,
                           "QNR_APIKEY": "reference-model", "QNR_PROJECT_ID": "demo-project"})
        settings = dict(SCREEN_DEFAULTS, base_url=endpoint, model=DEMO_MODEL, project_id="demo-project",
                        judge_provider="nimbra-sdk")
        settings.update({name: value for name, value in vars(args).items() if value is not None})
        settings.update(pdf=True, html=True)
        with _job().lock_output_folder(settings["output"]):
            results_path = run_screening(settings)
            return finish(_job().read_results(results_path), settings, results_path, both_reports=True)


COMMANDS = {"screen": command_screen, "report": command_report, "corpus": command_corpus,
            "risks": command_risks, "demo": command_demo}


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.version:
        print(f"{PROG} {_job().library_version}")
        return 0
    if args.command is None:
        parser.print_usage(sys.stderr)
        return EXIT_USAGE
    try:
        _require_text(args)
        with _sigterm_as_ctrl_c(), _printable_log_lines():
            return COMMANDS[args.command](args)
    except ScreeningBrokeOff as error:
        return _fail(error, EXIT_INCOMPLETE)
    except ScreeningInterrupted as error:
        return _interrupted(str(error))
    except KeyboardInterrupt:
        return _interrupted(None)
    except (UsageError, ValueError, OSError) as error:  # the library's SettingsError and ResultsFileError too
        return _fail(error, EXIT_USAGE)


def _is_text(value):
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:  # bytes the shell passed that are not UTF-8 (kept as lone surrogates)
        return False
    return True


def _require_text(args):
    """Arguments that are not UTF-8 can be neither sent nor written: usage errors naming the option."""
    for name, value in vars(args).items():
        if not all(_is_text(item) for item in (value if isinstance(value, list) else [value])
                   if isinstance(item, str)):
            raise UsageError(f"{_argument_label(args.command, name)}: not UTF-8 text")


def _argument_label(command, name):
    """How the user wrote the argument stored under `name`."""
    if name == "results":
        return "RESULTS.json"
    if name == "corpus" and command == "corpus":
        return "CORPUS.csv"
    return "--risk" if name == "risks" else "--" + name.replace("_", "-")


def _interrupted(what_is_kept):
    # The library has already undone what it was publishing; files are only ever written whole.
    stopped = "terminated" if _Sigterm.received else "interrupted"
    print(f"{PROG}: {stopped}" + (f"; {what_is_kept}" if what_is_kept else ""), file=sys.stderr)
    return EXIT_TERMINATED if _Sigterm.received else EXIT_INTERRUPTED


def _fail(error, status):
    print(f"{PROG}: error: {_text(error)}", file=sys.stderr)
    return status


class _Sigterm:
    """Whether SIGTERM stopped the running command."""

    received = False


@contextlib.contextmanager
def _sigterm_as_ctrl_c():
    """SIGTERM (what CI runners, timeout and systemd send) stops a command as Ctrl-C does: the library
    rolls back what it was publishing (bounded) and the results file keeps the finished risks. The
    library runs the interpreter's signal handlers while it waits, so this one is honoured there too."""
    if threading.current_thread() is not threading.main_thread():  # only the main thread takes signals
        yield
        return

    def stop(signum, frame):
        _Sigterm.received = True
        raise KeyboardInterrupt

    _Sigterm.received = False
    previous = signal.signal(signal.SIGTERM, stop)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


class _PrintableFormatter(logging.Formatter):
    def format(self, record):
        return _job().printable(super().format(record))


@contextlib.contextmanager
def _printable_log_lines():
    """The library's warnings, shown by logging's last-resort handler, quote servers and files: they
    reach the terminal made printable."""
    handler = logging.lastResort
    previous = handler.formatter if handler is not None else None
    if handler is not None:
        handler.setFormatter(_PrintableFormatter())
    try:
        yield
    finally:
        if handler is not None:
            handler.setFormatter(previous)
