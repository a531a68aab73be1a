"""Every relative link in the repository's Markdown files names a file of the
repository, and every #fragment a heading of that file, as GitHub makes them.

  markdown_links_test.py SOURCE_DIR
"""

import pathlib
import re
import subprocess
import sys


def anchors(markdown):
    return {re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")
            for heading in re.findall(r"^#+ (.*)$", markdown, re.M)}


def broken_links(root):
    files = subprocess.run(["git", "-C", str(root), "ls-files", "--cached", "--others",
                            "--exclude-standard", "*.md"], capture_output=True, text=True,
                           check=True).stdout.split()
    for name in files:
        page = root / name
        text = re.sub(r"```.*?```", "", page.read_text(encoding="utf-8"), flags=re.S)
        for target in re.findall(r"\]\(([^)\s]+)\)", text):
            if re.match(r"[a-z]+:", target):
                continue  # an address elsewhere
            path, _, fragment = target.partition("#")
            linked = (page.parent / path).resolve() if path else page
            if root not in linked.parents or not linked.exists():
                yield f"{name}: {target}: no such file in the repository"
            elif fragment and fragment not in anchors(linked.read_text(encoding="utf-8")):
                yield f"{name}: {target}: no such heading"


def main(argv):
    problems = list(broken_links(pathlib.Path(argv[1]).resolve()))
    for problem in problems:
        print(problem)
    print("every relative link resolves" if not problems else f"{len(problems)} broken links")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
