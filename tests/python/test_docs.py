"""Every code block of README.md and of each docs/*.md page, run exactly as printed.

Each page runs in a scratch folder of its own, top to bottom, so a page must
be self-contained (a page that needs a file makes it in a visible block):

- ```python blocks with ``>>>`` prompts are doctests sharing the page's namespace,
  their output compared (ELLIPSIS on);
- other ```python blocks are scripts, run as ``python block.py``; they must exit 0;
- ```sh blocks run in bash (``set -e``) with the installed command on PATH; they must exit 0;
- ```console blocks are ``$ command`` lines followed by the expected output
  (standard output and error together), compared with ELLIPSIS.

A ```sh block of ``pip install`` lines only is the install itself: it cannot
run in a scratch folder, and run_tests.sh's "new user's install" stage runs
it in a new environment instead.

A page is one test, so that under pytest-xdist its blocks still run on one
worker, in order.
"""

import doctest
import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.S | re.M)
RUNNERS = ("python", "sh", "console")
# Pages that need a Spark session: run_tests.sh runs them in the Spark stage only.
SPARK_PAGES = ("docs/spark.md",)


def _name(page):
    return page.relative_to(ROOT).as_posix()


def _blocks(page):
    text = page.read_text()
    for m in FENCE.finditer(text):
        yield _name(page), text.count("\n", 0, m.start()) + 1, m.group(1), m.group(2)


BLOCKS = [block for page in PAGES for block in _blocks(page)]


def _is_install(source):
    lines = [line for line in source.splitlines() if line.strip()]
    return bool(lines) and all(line.startswith("pip install ") for line in lines)


def test_every_block_has_a_runner_and_the_readme_an_install_line():
    unknown = [(page, line, lang) for page, line, lang, _ in BLOCKS if lang not in RUNNERS]
    assert not unknown, f"blocks that no runner takes: {unknown}"
    installs = [source for page, _, lang, source in BLOCKS
                if page == "README.md" and lang == "sh" and _is_install(source)]
    assert len(installs) == 1, "README.md must state the install line once, as a ```sh block of its own"


def _scratch(folder):
    env = dict(os.environ)
    env["PATH"] = os.path.dirname(sys.executable) + os.pathsep + env.get("PATH", "")
    env.pop("QUILL_HARBOR_BACKTRACE", None)
    env["COLUMNS"] = "200"
    return {"dir": folder, "env": env, "globs": {"__name__": "__docs__"}}


def _run_doctest(source, page, line, scratch):
    parser = doctest.DocTestParser()
    test = parser.get_doctest(source, scratch["globs"], f"{page}:{line}", str(ROOT / page), line)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    out = []
    cwd = os.getcwd()
    os.chdir(scratch["dir"])
    try:
        runner.run(test, out=out.append, clear_globs=False)
    finally:
        os.chdir(cwd)
        scratch["globs"].update(test.globs)  # a DocTest works on a copy
    assert runner.failures == 0, "".join(out)


def _run_console(source, where, scratch):
    commands, expected = [], []
    for text in source.splitlines():
        if text.startswith("$ "):
            commands.append(text[2:])
        else:
            expected.append(text)
    proc = subprocess.run(["bash", "-c", "exec 2>&1\n" + "\n".join(commands)], cwd=scratch["dir"],
                          env=scratch["env"], capture_output=True, text=True, timeout=300)
    want = "\n".join(expected) + "\n"
    checker = doctest.OutputChecker()
    assert checker.check_output(want, proc.stdout, doctest.ELLIPSIS), (
        f"{where}\n" + checker.output_difference(doctest.Example("", want), proc.stdout, doctest.ELLIPSIS))


@pytest.mark.parametrize("page", [_name(page) for page in PAGES])
def test_page(page, tmp_path):
    """The page's blocks in order, in one fresh folder; the first failing block fails the page."""
    if page in SPARK_PAGES and os.environ.get("QH_SPARK_DOCS") != "1":
        pytest.skip(f"{page} needs pyspark and Java: it runs in the Spark stage (QH_SPARK_DOCS=1)")
    scratch = _scratch(tmp_path)
    for _, line, lang, source in (block for block in BLOCKS if block[0] == page):
        if not (lang == "sh" and _is_install(source)):  # the install runs in its own stage
            _run_block(page, line, lang, source, scratch)


def _run_block(page, line, lang, source, scratch):
    where = f"{page}:{line}"
    if lang == "python" and ">>> " in source:
        _run_doctest(source, page, line, scratch)
    elif lang == "python":
        script = scratch["dir"] / f"block_{line}.py"
        script.write_text(source)
        proc = subprocess.run([sys.executable, script.name], cwd=scratch["dir"], env=scratch["env"],
                              capture_output=True, text=True, timeout=300)
        assert proc.returncode == 0, f"{where}\n{proc.stdout}\n{proc.stderr}"
    elif lang == "sh":
        proc = subprocess.run(["bash", "-e", "-c", source], cwd=scratch["dir"], env=scratch["env"],
                              capture_output=True, text=True, timeout=300)
        assert proc.returncode == 0, f"{where}\n{proc.stdout}\n{proc.stderr}"
    else:
        _run_console(source, where, scratch)
