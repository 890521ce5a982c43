"""Every code block of README.md, run exactly as printed, in README order, in one scratch folder.

- ```python blocks with ``>>>`` prompts are doctests sharing one namespace,
  their output compared (ELLIPSIS on);
- other ```python blocks are scripts, run as ``python block.py``; they must exit 0;
- ```sh blocks run in bash (``set -e``) with the installed command on PATH; they must exit 0;
- ```console blocks are ``$ command`` lines followed by the expected output
  (standard output and error together), compared with ELLIPSIS.
"""

import doctest
import os
import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.S | re.M)


def blocks():
    text = README.read_text()
    for m in FENCE.finditer(text):
        yield text.count("\n", 0, m.start()) + 1, m.group(1), m.group(2)


BLOCKS = list(blocks())


def test_every_block_has_a_runner():
    unknown = [(line, lang) for line, lang, _ in BLOCKS if lang not in ("python", "sh", "console")]
    assert not unknown, f"README blocks that no runner takes: {unknown}"


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    folder = tmp_path_factory.mktemp("readme")
    env = dict(os.environ)
    env["PATH"] = os.path.dirname(sys.executable) + os.pathsep + env.get("PATH", "")
    env.pop("QUILL_HARBOR_BACKTRACE", None)
    env["COLUMNS"] = "200"
    return {"dir": folder, "env": env, "globs": {"__name__": "__readme__"}}


def _run_doctest(source, line, scratch):
    parser = doctest.DocTestParser()
    test = parser.get_doctest(source, scratch["globs"], f"README.md:{line}", str(README), line)
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


def _run_console(source, line, scratch):
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
        f"README.md:{line}\n" + checker.output_difference(doctest.Example("", want), proc.stdout, doctest.ELLIPSIS))


@pytest.mark.parametrize("line, lang, source", BLOCKS, ids=[f"line{b[0]}-{b[1]}" for b in BLOCKS])
def test_block(line, lang, source, scratch):
    if lang == "python" and ">>> " in source:
        _run_doctest(source, line, scratch)
    elif lang == "python":
        script = scratch["dir"] / f"readme_{line}.py"
        script.write_text(source)
        proc = subprocess.run([sys.executable, script.name], cwd=scratch["dir"], env=scratch["env"],
                              capture_output=True, text=True, timeout=300)
        assert proc.returncode == 0, f"README.md:{line}\n{proc.stdout}\n{proc.stderr}"
    elif lang == "sh":
        proc = subprocess.run(["bash", "-e", "-c", source], cwd=scratch["dir"], env=scratch["env"],
                              capture_output=True, text=True, timeout=300)
        assert proc.returncode == 0, f"README.md:{line}\n{proc.stdout}\n{proc.stderr}"
    else:
        _run_console(source, line, scratch)
