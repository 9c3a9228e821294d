"""Runs the README's Qiskit example with this interpreter and checks that it prints what the
README shows under it. Needs only the installed package, Qiskit and qiskit-ibm-runtime.

    python scripts/readme-snippet.py README.md
"""

import subprocess
import sys


def main(readme_path: str) -> int:
    with open(readme_path, encoding="utf-8") as file:
        readme = file.read()
    section = readme.split("## Qiskit users", 1)[1].split("\n## ", 1)[0]
    code = section.split("```python\n", 1)[1].split("```", 1)[0]
    shown = section.split("prints\n\n```text\n", 1)[1].split("```", 1)[0]
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          encoding="utf-8", timeout=600)
    if proc.returncode != 0:
        print(f"the README's Qiskit example failed:\n{proc.stderr}", file=sys.stderr)
        return 1
    if proc.stdout != shown:
        print(f"the README's Qiskit example printed\n{proc.stdout}\nwhere the README shows\n{shown}",
              file=sys.stderr)
        return 1
    print(proc.stdout, end="")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
