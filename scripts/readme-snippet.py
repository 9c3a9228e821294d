"""Runs the README's Qiskit example with this interpreter and checks that it prints what the
README shows under it. Needs only the installed package, Qiskit and qiskit-ibm-runtime.

    python scripts/readme-snippet.py README.md
"""

import subprocess
import sys

from doc_blocks import blocks  # scripts/doc_blocks.py, beside this file


def main(readme_path: str) -> int:
    with open(readme_path, encoding="utf-8") as file:
        readme = file.read()
    example = next(block for block in blocks(readme) if block.shown is not None)
    proc = subprocess.run([sys.executable, "-c", example.code], capture_output=True, text=True,
                          encoding="utf-8", timeout=600)
    if proc.returncode != 0:
        print(f"the README's Qiskit example failed:\n{proc.stderr}", file=sys.stderr)
        return 1
    if proc.stdout != example.shown:
        print(f"the README's Qiskit example printed\n{proc.stdout}\nwhere the README shows\n"
              f"{example.shown}", file=sys.stderr)
        return 1
    print(proc.stdout, end="")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
