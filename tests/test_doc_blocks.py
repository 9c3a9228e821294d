"""scripts/doc_blocks.py, which checks the code blocks of the README and the docs: which text
block it takes for a block's output, and what counts as printing it."""
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))

import doc_blocks  # noqa: E402


def _check(tmp_path, page, write=False):
    path = tmp_path / "page.md"
    path.write_text(page, encoding="utf-8")
    return doc_blocks.check_page(str(path), write=write), path


PAGE = '''# A page

```python
x = 6 * 7
print(x)
```

prints

```text
42
```

A block whose output is not shown, then one that uses its names:

```python
y = x + 1
```

```sh
echo not python
```

```python
print({"b": 2, "a": [x, y]})
```
```text
{'a': [42, 43], 'b': 2}
```
'''


def test_blocks_pair_code_with_the_output_shown_under_it():
    found = doc_blocks.blocks(PAGE)
    assert [(b.code, b.shown) for b in found] == [
        ("x = 6 * 7\nprint(x)\n", "42\n"),
        ("y = x + 1\n", None),                      # the sh block is no output
        ('print({"b": 2, "a": [x, y]})\n', "{'a': [42, 43], 'b': 2}\n"),
    ]
    assert [b.line for b in found] == [4, 17, 25]


def test_text_after_two_paragraphs_or_another_block_is_not_output():
    page = "```python\nprint(1)\n```\n\nOne.\n\nTwo.\n\n```text\n1\n```\n"
    assert doc_blocks.blocks(page)[0].shown is None
    page = "```python\nprint(1)\n```\n```python\nprint(2)\n```\n```text\n2\n```\n"
    assert [b.shown for b in doc_blocks.blocks(page)] == [None, "2\n"]


def test_blocks_in_list_items_are_dedented_and_rewritten_indented(tmp_path):
    page = "- An item:\n\n  ```python\n  if True:\n      print('in')\n  ```\n\n  ```text\n  in\n  ```\n"
    (block,) = doc_blocks.blocks(page)
    assert block.code == "if True:\n    print('in')\n" and block.shown == "in\n"
    problems, path = _check(tmp_path, page.replace("  in\n", "  out\n"), write=True)
    assert problems and path.read_text(encoding="utf-8") == page


def test_a_page_runs_in_one_namespace_and_dict_order_is_free(tmp_path):
    problems, _ = _check(tmp_path, PAGE)
    assert problems == []


def test_a_wrong_output_is_reported_and_can_be_rewritten(tmp_path):
    problems, path = _check(tmp_path, PAGE.replace("42\n```", "41\n```"), write=True)
    assert len(problems) == 1 and "page.md:4" in problems[0] and "41" in problems[0]
    assert path.read_text(encoding="utf-8") == PAGE
    assert _check(tmp_path, PAGE.replace("'b': 2}", "'b': 3}"))[0]   # values still count


def test_output_written_below_python_is_captured(tmp_path):
    """The core module writes its progress lines to descriptor 1, past sys.stdout."""
    page = ("```python\nimport os\nprint('py')\nos.write(1, b'fd\\n')\n```\n\n"
            "```text\npy\nfd\n```\n")
    assert _check(tmp_path, page)[0] == []


def test_a_failing_block_fails_the_script(tmp_path):
    path = tmp_path / "bad.md"
    path.write_text("```python\nraise ValueError('no')\n```\n", encoding="utf-8")
    proc = subprocess.run([sys.executable, str(ROOT / "scripts" / "doc_blocks.py"), str(path)],
                          capture_output=True, text=True)
    assert proc.returncode == 1 and "ValueError: no" in proc.stderr
    path.write_text("```python\nprint(1)\n```\n\n```text\n2\n```\n", encoding="utf-8")
    proc = subprocess.run([sys.executable, str(ROOT / "scripts" / "doc_blocks.py"), str(path)],
                          capture_output=True, text=True)
    assert proc.returncode == 1 and "where the page shows\n2" in proc.stderr
