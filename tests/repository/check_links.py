#!/usr/bin/env python3
"""Every relative link in the project's documents leads somewhere: the file
exists, and an anchor names a heading of that file (as the common code hosts
make anchors of headings). Prints each broken link; exits 1 if there is one."""
import os
import re
import sys

LINK = re.compile(r"(?<!!)\[[^\]]*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")
HEADING = re.compile(r"^(#{1,6})\s+(.*?)\s*#*\s*$")
FENCE = re.compile(r"^\s*(```|~~~)")


def anchors(path):
    """The anchors of a Markdown file's headings: lower case, punctuation
    dropped, blanks as hyphens, a repeated one numbered."""
    seen = {}
    result = set()
    in_fence = False
    with open(path, encoding="utf-8") as f:
        for line in f:
            if FENCE.match(line):
                in_fence = not in_fence
                continue
            m = None if in_fence else HEADING.match(line)
            if not m:
                continue
            text = re.sub(r"`([^`]*)`", r"\1", m.group(2))
            text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", text)
            slug = re.sub(r"[^\w\- ]", "", text.lower()).replace(" ", "-")
            count = seen.get(slug, 0)
            seen[slug] = count + 1
            result.add(slug if count == 0 else "%s-%d" % (slug, count))
    return result


def links(path):
    in_fence = False
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if FENCE.match(line):
                in_fence = not in_fence
                continue
            if in_fence:
                continue
            line = re.sub(r"`[^`]*`", "", line)
            for m in LINK.finditer(line):
                yield number, m.group(1)


def main(root, documents):
    broken = 0
    for document in documents:
        path = os.path.join(root, document)
        for number, target in links(path):
            if re.match(r"^[a-z][a-z0-9+.-]*:", target):
                continue  # http:, https:, mailto: are not checked here
            file_part, _, anchor = target.partition("#")
            linked = os.path.normpath(os.path.join(os.path.dirname(path), file_part)) if file_part else path
            if not os.path.exists(linked):
                print("%s:%d: %s: no such file" % (document, number, target))
                broken += 1
            elif anchor and (not linked.endswith(".md") or anchor not in anchors(linked)):
                print("%s:%d: %s: no heading with that anchor" % (document, number, target))
                broken += 1
    print("%d document(s) checked, %d broken link(s)" % (len(documents), broken))
    return 1 if broken else 0


if __name__ == "__main__":
    root = sys.argv[1]
    documents = ["README.md"] + sorted(
        os.path.join("docs", name) for name in os.listdir(os.path.join(root, "docs")) if name.endswith(".md"))
    documents += [d for d in ("client/node/README.md", "standin/README.md") if os.path.exists(os.path.join(root, d))]
    sys.exit(main(root, documents))
